// Shift-invert eigen solution: the eigenpairs of a sparse matrix nearest a shift.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "common/complex.hpp"
#include "common/result.hpp"
#include "sparse_matrix/sparse_matrix.hpp"

namespace corvane {

struct Eigenpair {
    Complex eigenvalue;
    std::vector<Complex> eigenvector;  // unit 2-norm
    double residual = 0.0;
    const char* backend = "";  // "umfpack_arpack", "arpack" or "native_shift_invert"
};

// Pairs ordered by distance from sigma (then residual), at most num_modes of them.
Result<std::vector<Eigenpair>> selected_sparse_shift_invert_eigenpairs(
    const SparseMatrix& a, std::size_t num_modes,
    std::optional<std::span<const Complex>> initial_vector, std::size_t krylov_dim, Complex sigma,
    double tol);

// ||A x - lambda x|| / max(||x||, 2^-52)
double sparse_residual_norm(const SparseMatrix& a, std::span<const Complex> x, Complex lambda);

}  // namespace corvane
