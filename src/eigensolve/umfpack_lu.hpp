// Sparse LU held by SuiteSparse UMFPACK (complex routines, packed complex values; 32-bit
// indices, 64-bit only where those cannot represent the factorisation).
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "common/complex.hpp"
#include "common/result.hpp"
#include "sparse_matrix/sparse_matrix.hpp"

namespace corvane {

// UMFPACK's Control/Info arrays, handles and the matrix it was handed; defined with the
// UMFPACK calls.
struct UmfpackState;

// Wall-clock seconds UMFPACK reported for the two factorisation phases.
struct UmfpackFactorTimes {
    double symbolic = 0.0;
    double numeric = 0.0;
};

class UmfpackLu {
public:
    static Result<UmfpackLu> factor(const SparseMatrix& b);
    // x with B x = rhs (UMFPACK's default iterative refinement). Writes UMFPACK's Info
    // array, so one UmfpackLu serves one thread at a time.
    Result<std::vector<Complex>> solve(std::span<const Complex> rhs) const;

    std::size_t size() const { return n_; }
    UmfpackFactorTimes factor_times() const;
    // True when the 64-bit routines (umfpack_zl) hold the factorisation because the 32-bit
    // ones could not represent it.
    bool uses_wide_indices() const;

    UmfpackLu(UmfpackLu&&) noexcept;
    UmfpackLu& operator=(UmfpackLu&&) noexcept;
    ~UmfpackLu();

private:
    UmfpackLu(std::unique_ptr<UmfpackState> state, std::size_t n);

    std::unique_ptr<UmfpackState> state_;
    std::size_t n_ = 0;
};

}  // namespace corvane
