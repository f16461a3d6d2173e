// Shift-invert selection: the eigenvalues theta of (A - sigma I)^-1 of largest modulus
// belong to the eigenvalues lambda = sigma + 1/theta of A nearest sigma. Three routes are
// tried in order; the first two fall back silently.
#include "eigensolve/eigensolve.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <utility>

#include "eigensolve/native_arnoldi.hpp"
#include "eigensolve/routes.hpp"
#include "eigensolve/sparse_lu.hpp"
#include "eigensolve/testing.hpp"
#include "eigensolve/umfpack_lu.hpp"

namespace corvane {
namespace {

// num_modes + 2 without wrapping at the top of the range.
std::size_t plus_two(std::size_t num_modes) {
    return num_modes > std::numeric_limits<std::size_t>::max() - 2
               ? std::numeric_limits<std::size_t>::max()
               : num_modes + 2;
}

// Runs ARPACK on op and keeps the num_modes nearest candidates; `who` names the route in
// its shortfall message.
Result<std::vector<Candidate>> arpack_candidates(
    const SparseMatrix& a, const ShiftInvertOperator& op, std::size_t num_modes,
    std::optional<std::span<const Complex>> initial_vector, std::size_t m, Complex sigma,
    double tol, const char* who, bool zero_last_ritz_value) {
    Result<RitzPairs> ritz =
        arpack_shift_invert_vectors(op, a.rows, num_modes, m, initial_vector, tol);
    if (!ritz) return std::move(ritz).error();
    if (zero_last_ritz_value && !ritz->values.empty()) ritz->values.back() = Complex{};
    std::vector<Candidate> candidates = candidates_from_ritz(a, sigma, *ritz, tol);
    order_and_truncate(candidates, sigma, num_modes);
    if (candidates.size() < num_modes) {
        return fail(std::string(who) + " returned " + std::to_string(candidates.size()) +
                    " usable eigenpairs, expected " + std::to_string(num_modes));
    }
    return candidates;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The operator of a route with the interrupt check and the application count around it.
ShiftInvertOperator counted(ShiftInvertOperator op, const EigenOptions& options) {
    if (!options.interrupted && options.statistics == nullptr) return op;
    return [op = std::move(op), &options](std::span<const Complex> v)
               -> Result<std::vector<Complex>> {
        if (options.interrupted && options.interrupted()) {
            return fail("interrupted", ErrorKind::interrupted);
        }
        if (options.statistics != nullptr) ++options.statistics->operator_applications;
        return op(v);
    };
}

void record_factorization(const UmfpackLu& lu, const EigenOptions& options) {
    if (options.statistics == nullptr) return;
    const UmfpackFactorTimes times = lu.factor_times();
    options.statistics->symbolic_seconds = times.symbolic;
    options.statistics->numeric_seconds = times.numeric;
    options.statistics->reused_symbolic = lu.reused_symbolic();
    options.statistics->wide_indices = lu.uses_wide_indices();
    options.statistics->metis = lu.used_metis();
}

// Interruptions and a factorisation out of memory end the selection: no other route can do
// better.
bool is_final(const Error& error) { return error.kind != ErrorKind::failure; }

std::vector<Eigenpair> labelled(std::vector<Candidate> candidates, const char* backend) {
    std::vector<Eigenpair> pairs;
    pairs.reserve(candidates.size());
    for (Candidate& c : candidates) {
        pairs.push_back({c.eigenvalue, std::move(c.eigenvector), c.residual, backend});
    }
    return pairs;
}

}  // namespace

std::size_t effective_krylov_dim(std::size_t n, std::size_t krylov_dim, std::size_t num_modes) {
    return std::max(std::min(n, krylov_dim), plus_two(num_modes));
}

std::vector<Candidate> candidates_from_ritz(const SparseMatrix& a, Complex sigma,
                                            const RitzPairs& ritz, double tol) {
    std::vector<Candidate> candidates;
    candidates.reserve(ritz.values.size());
    for (std::size_t j = 0; j < ritz.values.size(); ++j) {
        const Complex theta = ritz.values[j];
        if (abs(theta) <= tol) continue;  // a NaN modulus is kept
        const std::span<const Complex> v = ritz.vector(j);
        std::vector<Complex> x(v.begin(), v.end());
        normalize_in_place(x);
        const Complex lambda = sigma + recip(theta);  // sigma + conj(theta) / |theta|^2
        const double residual = sparse_residual_norm(a, x, lambda);
        candidates.push_back({lambda, std::move(x), residual});
    }
    return candidates;
}

void order_and_truncate(std::vector<Candidate>& candidates, Complex sigma, std::size_t num_modes) {
    struct Key {
        double distance;
        double residual;
    };
    std::vector<Key> keys(candidates.size());
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        keys[i] = {abs(candidates[i].eigenvalue - sigma), candidates[i].residual};
    }
    std::vector<std::size_t> order(candidates.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    // Unordered (NaN) comparisons count as equal, so the next key or the production order
    // decides.
    std::stable_sort(order.begin(), order.end(), [&keys](std::size_t l, std::size_t r) {
        if (keys[l].distance < keys[r].distance) return true;
        if (keys[r].distance < keys[l].distance) return false;
        return keys[l].residual < keys[r].residual;
    });
    std::vector<Candidate> sorted;
    const std::size_t kept = std::min(num_modes, candidates.size());
    sorted.reserve(kept);
    for (std::size_t i = 0; i < kept; ++i) sorted.push_back(std::move(candidates[order[i]]));
    candidates = std::move(sorted);
}

Result<UmfpackLu> shifted_umfpack_factor(const SparseMatrix& a, Complex sigma,
                                         const EigenOptions& options) {
    const EigensolveFaults& faults = active_eigensolve_faults();
    // B is released once factorised: UMFPACK keeps its own copy of the matrix.
    const SparseMatrix b = a.shifted_diagonal(sigma);
    if (faults.umfpack_factor_fails) return fail("UMFPACK factorization disabled");
    Result<UmfpackLu> lu = UmfpackLu::factor(b, options.umfpack);
    if (lu) record_factorization(*lu, options);
    return lu;
}

Result<std::vector<Candidate>> umfpack_arpack_route(
    const SparseMatrix& a, std::size_t num_modes,
    std::optional<std::span<const Complex>> initial_vector, std::size_t m, Complex sigma,
    double tol, const EigenOptions& options) {
    Result<UmfpackLu> lu = shifted_umfpack_factor(a, sigma, options);
    if (!lu) return std::move(lu).error();
    const UmfpackLu& u = *lu;
    ShiftInvertOperator op;
    if (options.umfpack.refine) {
        op = [&u](std::span<const Complex> v) { return u.solve(v); };
    } else {
        op = [&u, workspace = UmfpackSolveWorkspace{}](
                 std::span<const Complex> v) mutable -> Result<std::vector<Complex>> {
            std::vector<Complex> x(v.size());
            if (Status s = u.solve_into(v, x, workspace, false); !s) return std::move(s).error();
            return x;
        };
    }
    const auto start = std::chrono::steady_clock::now();
    Result<std::vector<Candidate>> candidates =
        arpack_candidates(a, counted(std::move(op), options), num_modes, initial_vector, m, sigma,
                          tol, "UMFPACK/ARPACK", active_eigensolve_faults().umfpack_arpack_shortfall);
    if (options.statistics != nullptr) options.statistics->iteration_seconds = seconds_since(start);
    return candidates;
}

Result<std::vector<Candidate>> arpack_route(const SparseMatrix& a, std::size_t num_modes,
                                            std::optional<std::span<const Complex>> initial_vector,
                                            std::size_t m, Complex sigma, double tol,
                                            const EigenOptions& options) {
    Result<SparseLu> lu = SparseLu::factor(a.shifted_diagonal(sigma));
    if (!lu) return std::move(lu).error();
    const SparseLu& f = *lu;
    ShiftInvertOperator op = [&f](std::span<const Complex> v) { return f.solve(v); };
    return arpack_candidates(a, counted(std::move(op), options), num_modes, initial_vector, m,
                             sigma, tol, "ARPACK", active_eigensolve_faults().arpack_shortfall);
}

Result<std::vector<Candidate>> native_shift_invert_route(
    const SparseMatrix& a, std::size_t num_modes,
    std::optional<std::span<const Complex>> initial_vector, std::size_t m, Complex sigma,
    double tol) {
    if (m < num_modes) return fail("krylov_dim must be at least num_modes");
    Result<SparseLu> lu = SparseLu::factor(a.shifted_diagonal(sigma));
    if (!lu) return std::move(lu).error();
    Result<std::vector<Candidate>> candidates =
        native_shift_invert_arnoldi(a, sigma, *lu, m, initial_vector, tol);
    if (!candidates) return candidates;
    order_and_truncate(*candidates, sigma, num_modes);
    return candidates;
}

Result<std::vector<Eigenpair>> selected_sparse_shift_invert_eigenpairs(
    const SparseMatrix& a, std::size_t num_modes,
    std::optional<std::span<const Complex>> initial_vector, std::size_t krylov_dim, Complex sigma,
    double tol, const EigenOptions& options) {
    if (a.rows != a.cols) return fail("eigenvalue matrix must be square");
    if (num_modes == 0) return fail("num_modes must be positive");
    const std::size_t n = a.rows;
    const std::size_t m = effective_krylov_dim(n, krylov_dim, num_modes);

    if (options.iteration == EigenIteration::krylov_schur) {
        Result<std::vector<Candidate>> c =
            umfpack_krylov_schur_route(a, num_modes, initial_vector, m, sigma, tol, options);
        if (!c) return std::move(c).error();
        return labelled(std::move(c).value(), "umfpack_krylov_schur");
    }

    // ARPACK needs nev + 2 <= ncv <= n; m >= num_modes + 2 holds by construction.
    if (n >= plus_two(num_modes)) {
        Result<std::vector<Candidate>> c1 =
            umfpack_arpack_route(a, num_modes, initial_vector, m, sigma, tol, options);
        if (c1) return labelled(std::move(c1).value(), "umfpack_arpack");
        if (is_final(c1.error())) return std::move(c1).error();
        Result<std::vector<Candidate>> c2 =
            arpack_route(a, num_modes, initial_vector, m, sigma, tol, options);
        if (c2) return labelled(std::move(c2).value(), "arpack");
        if (is_final(c2.error())) return std::move(c2).error();
    }
    Result<std::vector<Candidate>> c =
        native_shift_invert_route(a, num_modes, initial_vector, m, sigma, tol);
    if (!c) return std::move(c).error();
    return labelled(std::move(c).value(), "native_shift_invert");
}

double sparse_residual_norm(const SparseMatrix& a, std::span<const Complex> x, Complex lambda) {
    const std::vector<Complex> y = a.matvec(x);
    check_equal(y.size(), x.size());
    double residual_sq = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) residual_sq += norm_sqr(y[i] - lambda * x[i]);
    double x_sq = 0.0;
    for (const Complex c : x) x_sq += norm_sqr(c);
    const double x_norm = std::sqrt(x_sq);
    // The floor also replaces a NaN norm.
    const double denominator = x_norm > kEpsilon ? x_norm : kEpsilon;
    return std::sqrt(residual_sq) / denominator;
}

}  // namespace corvane
