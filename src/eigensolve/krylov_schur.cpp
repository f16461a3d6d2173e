#include "eigensolve/krylov_schur.hpp"

namespace corvane {

Result<KrylovSchurResult> krylov_schur(std::size_t n, const LinearMap& apply,
                                       std::span<const Complex> start,
                                       const KrylovSchurOptions& options) {
    (void)n;
    (void)apply;
    (void)start;
    (void)options;
    return fail("krylov_schur is not implemented yet");
}

}  // namespace corvane
