// The engine's route: one UMFPACK factorisation of A - sigma I, solved without iterative
// refinement under the Krylov-Schur iteration. Refinement changes a solve's backward error
// by about machine epsilon times ||B||, far below the tolerance the iteration works to, so
// it is spent only on a candidate whose residual misses that tolerance.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <span>
#include <utility>
#include <vector>

#include "eigensolve/krylov_schur.hpp"
#include "eigensolve/routes.hpp"
#include "eigensolve/umfpack_lu.hpp"

namespace corvane {
namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// CPU seconds used so far by every thread of the process.
double process_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// max_j sum_i |a_ij|
double norm_1(const SparseMatrix& a) {
    double largest = 0.0;
    for (std::size_t c = 0; c < a.cols; ++c) {
        double sum = 0.0;
        for (std::size_t q = a.col_ptr[c]; q < a.col_ptr[c + 1]; ++q) sum += abs(a.values[q]);
        largest = std::max(largest, sum);
    }
    return largest;
}

Complex dot_conj(std::span<const Complex> x, std::span<const Complex> y) {
    Complex s{};
    for (std::size_t i = 0; i < x.size(); ++i) s += conj(x[i]) * y[i];
    return s;
}

// One inverse-iteration step with a refined solve, y = B^-1 x, and the Rayleigh quotient of
// A at y; kept when its residual is smaller than the candidate's.
Status refine_candidate(const SparseMatrix& a, const UmfpackLu& lu, UmfpackSolveWorkspace& ws,
                        Candidate& c) {
    std::vector<Complex> y(c.eigenvector.size());
    if (Status s = lu.solve_into(c.eigenvector, y, ws, /*refine=*/true); !s) return s;
    normalize_in_place(y);
    const std::vector<Complex> ay = a.matvec(y);
    const Complex lambda = dot_conj(y, ay);  // y has unit norm
    const double residual = sparse_residual_norm(a, y, lambda);
    if (residual < c.residual) c = Candidate{lambda, std::move(y), residual};
    return Unit{};
}

}  // namespace

Result<std::vector<Candidate>> umfpack_krylov_schur_route(
    const SparseMatrix& a, std::size_t num_modes,
    std::optional<std::span<const Complex>> initial_vector, std::size_t m, Complex sigma,
    double tol, const EigenOptions& options) {
    const std::size_t n = a.rows;
    if (initial_vector && initial_vector->size() != n) {
        return fail("initial vector length does not match matrix size");
    }
    const double cpu_at_start = process_cpu_seconds();
    Result<UmfpackLu> factored = [&]() -> Result<UmfpackLu> {
        // B is released once factorised: UMFPACK keeps its own copy of the matrix.
        const SparseMatrix b = a.shifted_diagonal(sigma);
        return UmfpackLu::factor(b, options.umfpack);
    }();
    if (!factored) return std::move(factored).error();
    const UmfpackLu& lu = *factored;
    EigenStatistics* stats = options.statistics;
    if (stats != nullptr) {
        const UmfpackFactorTimes times = lu.factor_times();
        stats->symbolic_seconds = times.symbolic;
        stats->numeric_seconds = times.numeric;
        stats->reused_symbolic = lu.reused_symbolic();
        stats->wide_indices = lu.uses_wide_indices();
        stats->metis = lu.used_metis();
        stats->factor_cpu_seconds = process_cpu_seconds() - cpu_at_start;
    }

    UmfpackSolveWorkspace workspace;
    const bool refine_each = options.umfpack.refine;
    const LinearMap apply = [&](std::span<const Complex> x, std::span<Complex> y) -> Status {
        if (options.interrupted && options.interrupted()) {
            return fail("interrupted", ErrorKind::interrupted);
        }
        return lu.solve_into(x, y, workspace, refine_each);
    };
    KrylovSchurOptions ks;
    ks.num_wanted = num_modes;
    ks.krylov_dim = m;
    ks.tol = tol;
    ks.threads = options.threads;
    const auto start = std::chrono::steady_clock::now();
    const double cpu_before_iteration = process_cpu_seconds();
    Result<KrylovSchurResult> ritz = krylov_schur(
        n, apply, initial_vector ? *initial_vector : std::span<const Complex>{}, ks);
    if (stats != nullptr) {
        stats->iteration_seconds = seconds_since(start);
        stats->iteration_cpu_seconds = process_cpu_seconds() - cpu_before_iteration;
    }
    if (!ritz) return std::move(ritz).error();
    if (stats != nullptr) stats->operator_applications = ritz->operator_applications;

    std::vector<Candidate> candidates;
    candidates.reserve(ritz->values.size());
    for (std::size_t j = 0; j < ritz->values.size(); ++j) {
        const Complex theta = ritz->values[j];
        if (abs(theta) <= tol) continue;  // a NaN modulus is kept
        std::vector<Complex> x = std::move(ritz->vectors[j]);
        normalize_in_place(x);
        const Complex lambda = sigma + recip(theta);
        const double residual = sparse_residual_norm(a, x, lambda);
        candidates.push_back({lambda, std::move(x), residual});
    }
    // The iteration's own bound on the residual of a converged pair: tol ||B||.
    const double residual_tolerance = tol * (norm_1(a) + abs(sigma));
    for (Candidate& c : candidates) {
        if (c.residual <= residual_tolerance || !std::isfinite(c.residual)) continue;
        if (Status s = refine_candidate(a, lu, workspace, c); !s) return std::move(s).error();
        if (stats != nullptr) ++stats->refined_candidates;
    }
    order_and_truncate(candidates, sigma, num_modes);
    return candidates;
}

}  // namespace corvane
