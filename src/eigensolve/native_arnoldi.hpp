// One Arnoldi process without restart on (A - sigma I)^-1, using only the library's own
// sparse LU and a dense Schur decomposition and SVD of the small Hessenberg matrix.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "common/complex.hpp"
#include "common/result.hpp"
#include "eigensolve/candidate.hpp"
#include "eigensolve/sparse_lu.hpp"
#include "sparse_matrix/sparse_matrix.hpp"

namespace corvane {

// v_j = sin(0.37 (j + 1)) + i cos(0.53 (j + 1)), scaled to unit norm.
std::vector<Complex> arnoldi_start_vector(std::size_t n);

// Candidates (unsorted, in the diagonal order of the Schur factor) from at most
// min(m, order of a) Arnoldi steps; f factors B = A - sigma I. Ritz values with
// |theta| <= tol yield none. Non-finite solves end the process and fail with
// "failed to compute Hessenberg eigenvalues". Ritz vectors are null vectors of
// H_k - theta I by SVD for k <= 32, eigenvectors from the Schur form of H_k beyond.
Result<std::vector<Candidate>> native_shift_invert_arnoldi(
    const SparseMatrix& a, Complex sigma, const SparseLu& f, std::size_t m,
    std::optional<std::span<const Complex>> initial_vector, double tol);

}  // namespace corvane
