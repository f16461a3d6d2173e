// Shift-invert eigen solution: the eigenpairs of a sparse matrix nearest a shift.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "common/complex.hpp"
#include "common/result.hpp"
#include "eigensolve/umfpack_lu.hpp"
#include "sparse_matrix/sparse_matrix.hpp"

namespace corvane {

struct Eigenpair {
    Complex eigenvalue;
    std::vector<Complex> eigenvector;  // unit 2-norm
    double residual = 0.0;
    const char* backend = "";  // "umfpack_arpack", "arpack" or "native_shift_invert"
};

// The iteration on the shift-inverted operator: ARPACK (process-wide lock) or the
// library's Krylov-Schur (no shared state, so solves on several threads run at once).
enum class EigenIteration { arpack, krylov_schur };

// Called between operator applications; true stops the solve with an Error of kind
// interrupted. It may take a while to return (e.g. to look at the interpreter's signals).
using InterruptCheck = std::function<bool()>;

// What one eigen solution did; wall-clock seconds.
struct EigenStatistics {
    std::size_t operator_applications = 0;
    std::size_t refined_candidates = 0;
    double symbolic_seconds = 0.0;
    double numeric_seconds = 0.0;
    double iteration_seconds = 0.0;
    // CPU seconds of the whole process (all its threads) in the two phases.
    double factor_cpu_seconds = 0.0;
    double iteration_cpu_seconds = 0.0;
    bool reused_symbolic = false;
    bool wide_indices = false;
    bool metis = false;
};

// How the eigen solution runs. The defaults reproduce the exact module bit for bit: UMFPACK
// with AMD and iterative refinement in every solve under ARPACK, then the fallback routes.
struct EigenOptions {
    UmfpackOptions umfpack;
    EigenIteration iteration = EigenIteration::arpack;
    unsigned threads = 1;  // for the Krylov-Schur orthogonalisation
    InterruptCheck interrupted;
    EigenStatistics* statistics = nullptr;  // filled when set
};

// Pairs ordered by distance from sigma (then residual), at most num_modes of them. With the
// Krylov-Schur iteration only the UMFPACK route runs: its failure is final.
Result<std::vector<Eigenpair>> selected_sparse_shift_invert_eigenpairs(
    const SparseMatrix& a, std::size_t num_modes,
    std::optional<std::span<const Complex>> initial_vector, std::size_t krylov_dim, Complex sigma,
    double tol, const EigenOptions& options = {});

// ||A x - lambda x|| / max(||x||, 2^-52)
double sparse_residual_norm(const SparseMatrix& a, std::span<const Complex> x, Complex lambda);

}  // namespace corvane
