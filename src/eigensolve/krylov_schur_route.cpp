// The engine's route: one UMFPACK factorisation of A - sigma I, solved without iterative
// refinement under the Krylov-Schur iteration. Refinement changes a solve's backward error
// by about machine epsilon times ||B||, far below the tolerance the iteration works to, so
// it is spent only on a candidate whose residual misses that tolerance. Without refinement
// the factors are copied out of UMFPACK (which is then released) and solved by the
// library's own two-thread triangular solves, about five times as fast per solve.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "eigensolve/krylov_schur.hpp"
#include "eigensolve/lu_factors.hpp"
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

// Factors up to this many entries (about 2.5 GiB) are copied. A copy needs UMFPACK's
// factorisation and its own at once, which on grids of millions of cells would outgrow the
// memory the UMFPACK solves need; those keep UMFPACK's solves.
constexpr std::size_t kMaxCopiedEntries = std::size_t{1} << 27;

// Solves with B = A - sigma I: UMFPACK's, refined in every solve when asked, or the copied
// factors. One instance serves the iteration's thread.
class ShiftedSolver {
public:
    static Result<ShiftedSolver> factor(const SparseMatrix& a, Complex sigma,
                                        const EigenOptions& options) {
        Result<UmfpackLu> lu = [&]() -> Result<UmfpackLu> {
            // B is released once factorised: UMFPACK keeps its own copy of the matrix.
            const SparseMatrix b = a.shifted_diagonal(sigma);
            return UmfpackLu::factor(b, options.umfpack);
        }();
        if (!lu) return std::move(lu).error();
        ShiftedSolver solver(a, sigma, options);
        solver.times_ = lu->factor_times();
        solver.reused_symbolic_ = lu->reused_symbolic();
        solver.wide_indices_ = lu->uses_wide_indices();
        solver.metis_ = lu->used_metis();
        if (!options.umfpack.refine && lu->factor_entries() <= kMaxCopiedEntries) {
            Result<CopiedLu> copied = std::move(*lu).release_factors();
            if (copied) {
                solver.factors_ = arrange_lu_factors(std::move(*copied));
                solver.work_.resize(solve_work_size(*solver.factors_));
                return solver;
            }
            // Without memory for the copy (or with factors of an unexpected layout),
            // UMFPACK's own solves still serve.
        }
        solver.lu_.emplace(std::move(*lu));
        return solver;
    }

    // y = B^-1 x
    Status apply(std::span<const Complex> x, std::span<Complex> y) {
        if (factors_) {
            solve_with_factors(*factors_, x, y, work_, threads_);
            return Unit{};
        }
        return lu_->solve_into(x, y, umfpack_workspace_, options_refine_);
    }

    // y = B^-1 x refined: with UMFPACK's refinement, or one correction step on the residual
    // of B with the copied factors.
    Status apply_refined(std::span<const Complex> x, std::span<Complex> y) {
        if (!factors_) return lu_->solve_into(x, y, umfpack_workspace_, /*refine=*/true);
        solve_with_factors(*factors_, x, y, work_, threads_);
        std::vector<Complex> r = a_.matvec(y);
        for (std::size_t i = 0; i < r.size(); ++i) r[i] = x[i] - (r[i] - sigma_ * y[i]);
        std::vector<Complex> correction(r.size());
        solve_with_factors(*factors_, r, correction, work_, threads_);
        for (std::size_t i = 0; i < r.size(); ++i) y[i] += correction[i];
        return Unit{};
    }

    UmfpackFactorTimes factor_times() const { return times_; }
    bool reused_symbolic() const { return reused_symbolic_; }
    bool wide_indices() const { return wide_indices_; }
    bool metis() const { return metis_; }

private:
    ShiftedSolver(const SparseMatrix& a, Complex sigma, const EigenOptions& options)
        : a_(a), sigma_(sigma), threads_(options.threads >= 2 ? 2u : 1u),
          options_refine_(options.umfpack.refine) {}

    const SparseMatrix& a_;
    Complex sigma_;
    unsigned threads_;
    bool options_refine_;
    std::optional<UmfpackLu> lu_;
    UmfpackSolveWorkspace umfpack_workspace_;
    std::optional<LuFactors> factors_;
    std::vector<Complex> work_;
    UmfpackFactorTimes times_;
    bool reused_symbolic_ = false;
    bool wide_indices_ = false;
    bool metis_ = false;
};

// One inverse-iteration step with a refined solve, y = B^-1 x, and the Rayleigh quotient of
// A at y; kept when its residual is smaller than the candidate's.
Status refine_candidate(const SparseMatrix& a, ShiftedSolver& solver, Candidate& c) {
    std::vector<Complex> y(c.eigenvector.size());
    if (Status s = solver.apply_refined(c.eigenvector, y); !s) return s;
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
    Result<ShiftedSolver> factored = ShiftedSolver::factor(a, sigma, options);
    if (!factored) return std::move(factored).error();
    ShiftedSolver& solver = *factored;
    EigenStatistics* stats = options.statistics;
    if (stats != nullptr) {
        const UmfpackFactorTimes times = solver.factor_times();
        stats->symbolic_seconds = times.symbolic;
        stats->numeric_seconds = times.numeric;
        stats->reused_symbolic = solver.reused_symbolic();
        stats->wide_indices = solver.wide_indices();
        stats->metis = solver.metis();
        stats->factor_cpu_seconds = process_cpu_seconds() - cpu_at_start;
    }

    const LinearMap apply = [&](std::span<const Complex> x, std::span<Complex> y) -> Status {
        if (options.interrupted && options.interrupted()) {
            return fail("interrupted", ErrorKind::interrupted);
        }
        return solver.apply(x, y);
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
        if (Status s = refine_candidate(a, solver, c); !s) return std::move(s).error();
        if (stats != nullptr) ++stats->refined_candidates;
    }
    order_and_truncate(candidates, sigma, num_modes);
    return candidates;
}

}  // namespace corvane
