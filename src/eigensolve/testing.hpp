// Fault injection for the fallbacks of the eigen solution. Only tests set faults; with none
// set (the default) everything runs unchanged.
#pragma once

namespace corvane {

struct EigensolveFaults {
    bool umfpack_factor_fails = false;       // route 1: UmfpackLu::factor reports a failure
    bool umfpack_arpack_shortfall = false;   // route 1: ARPACK's last Ritz value reads as 0
    bool arpack_shortfall = false;           // route 2: ARPACK's last Ritz value reads as 0
    bool umfpack_int_out_of_memory = false;  // the 32-bit UMFPACK routines run out of memory
};

const EigensolveFaults& active_eigensolve_faults();

// Installs faults for its lifetime and restores the previous ones afterwards.
class ScopedEigensolveFaults {
public:
    explicit ScopedEigensolveFaults(const EigensolveFaults& faults);
    ScopedEigensolveFaults(const ScopedEigensolveFaults&) = delete;
    ScopedEigensolveFaults& operator=(const ScopedEigensolveFaults&) = delete;
    ~ScopedEigensolveFaults();

private:
    EigensolveFaults previous_;
};

}  // namespace corvane
