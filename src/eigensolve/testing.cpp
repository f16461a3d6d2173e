#include "eigensolve/testing.hpp"

namespace corvane {
namespace {

EigensolveFaults g_faults;

}  // namespace

const EigensolveFaults& active_eigensolve_faults() { return g_faults; }

ScopedEigensolveFaults::ScopedEigensolveFaults(const EigensolveFaults& faults)
    : previous_(g_faults) {
    g_faults = faults;
}

ScopedEigensolveFaults::~ScopedEigensolveFaults() { g_faults = previous_; }

}  // namespace corvane
