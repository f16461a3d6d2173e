// The three routes of the shift-invert selection and the steps they share. Internal to
// eigensolve; the tests call the routes one by one.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "common/complex.hpp"
#include "common/result.hpp"
#include "eigensolve/arpack_driver.hpp"
#include "eigensolve/candidate.hpp"
#include "eigensolve/eigensolve.hpp"
#include "sparse_matrix/sparse_matrix.hpp"

namespace corvane {

// m = max(min(n, krylov_dim), num_modes + 2), the Krylov dimension every route uses.
std::size_t effective_krylov_dim(std::size_t n, std::size_t krylov_dim, std::size_t num_modes);

// One candidate per Ritz value theta with |theta| > tol: lambda = sigma + 1/theta, the
// normalised Ritz vector and its residual against a.
std::vector<Candidate> candidates_from_ritz(const SparseMatrix& a, Complex sigma,
                                            const RitzPairs& ritz, double tol);

// Stable sort by (|lambda - sigma|, residual), NaN comparing equal; keeps the first num_modes.
void order_and_truncate(std::vector<Candidate>& candidates, Complex sigma, std::size_t num_modes);

// Route 1: UMFPACK LU of A - sigma I under ARPACK; fails on fewer than num_modes pairs.
Result<std::vector<Candidate>> umfpack_arpack_route(
    const SparseMatrix& a, std::size_t num_modes,
    std::optional<std::span<const Complex>> initial_vector, std::size_t m, Complex sigma,
    double tol, const EigenOptions& options = {});

// Route 2: the native SparseLu under ARPACK; fails on fewer than num_modes pairs.
Result<std::vector<Candidate>> arpack_route(const SparseMatrix& a, std::size_t num_modes,
                                            std::optional<std::span<const Complex>> initial_vector,
                                            std::size_t m, Complex sigma, double tol,
                                            const EigenOptions& options = {});

// The engine's route: UMFPACK LU of A - sigma I under the library's Krylov-Schur iteration.
// A candidate whose residual misses the tolerance gets one refined inverse-iteration step.
Result<std::vector<Candidate>> umfpack_krylov_schur_route(
    const SparseMatrix& a, std::size_t num_modes,
    std::optional<std::span<const Complex>> initial_vector, std::size_t m, Complex sigma,
    double tol, const EigenOptions& options);

// Route 3: the native Arnoldi process; may return fewer than num_modes pairs.
Result<std::vector<Candidate>> native_shift_invert_route(
    const SparseMatrix& a, std::size_t num_modes,
    std::optional<std::span<const Complex>> initial_vector, std::size_t m, Complex sigma,
    double tol);

}  // namespace corvane
