// Shift-invert solve of the diagonal-formulation operator (4 eigenpairs, Krylov dimension
// 32) on n x n grids with PML: where the time goes (UMFPACK symbolic and numeric
// factorisation, the operator solves inside the ARPACK loop, ARPACK's own work, and the
// rest of the route) and the peak memory of the whole call.
//
// Usage: bench_eigensolve [grid ...]   (default: 300 600)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_common.hpp"
#include "bench_strip.hpp"
#include "eigensolve/arpack_driver.hpp"
#include "eigensolve/eigensolve.hpp"
#include "eigensolve/routes.hpp"
#include "eigensolve/umfpack_lu.hpp"

using namespace corvane;

namespace {

constexpr std::size_t kModes = 4;
constexpr std::size_t kKrylov = 32;
constexpr double kTol = 1e-10;
constexpr double kNeffGuess = 2.9;

// The wide strip on an n x n grid, PML n / 20 cells deep on every side.
SparseMatrix make_operator(std::size_t n) {
    return bench::strip_operator(bench::kWideStrip, n, n, n / 20, n / 20);
}

double seconds(std::chrono::steady_clock::time_point start) { return bench::seconds_since(start); }

struct Steps {
    double shift, factor, arpack, solves, candidates;
    UmfpackFactorTimes umfpack;
    bool wide;
    std::size_t applications;
    double total() const { return shift + factor + arpack + candidates; }
};

// Route 1 step by step, timed; runs first so a failing factorisation stops the benchmark
// before the whole call could fall back to the native LU.
Steps route_steps(const SparseMatrix& a, Complex sigma) {
    Steps t{};
    auto start = std::chrono::steady_clock::now();
    const SparseMatrix b = a.shifted_diagonal(sigma);
    t.shift = seconds(start);
    start = std::chrono::steady_clock::now();
    const UmfpackLu lu = UmfpackLu::factor(b).value();
    t.factor = seconds(start);
    t.umfpack = lu.factor_times();
    t.wide = lu.uses_wide_indices();

    const ShiftInvertOperator op = [&](std::span<const Complex> v) {
        const auto s0 = std::chrono::steady_clock::now();
        auto y = lu.solve(v);
        t.solves += seconds(s0);
        ++t.applications;
        return y;
    };
    const std::size_t m = effective_krylov_dim(a.rows, kKrylov, kModes);
    start = std::chrono::steady_clock::now();
    const RitzPairs ritz =
        arpack_shift_invert_vectors(op, a.rows, kModes, m, std::nullopt, kTol).value();
    t.arpack = seconds(start);
    start = std::chrono::steady_clock::now();
    std::vector<Candidate> candidates = candidates_from_ritz(a, sigma, ritz, kTol);
    order_and_truncate(candidates, sigma, kModes);
    t.candidates = seconds(start);
    return t;
}

void run(std::size_t grid) {
    const SparseMatrix a = make_operator(grid);
    const Complex sigma{-kNeffGuess * kNeffGuess, 0.0};
    std::printf("grid %zu x %zu: %zu unknowns, %zu stored entries\n", grid, grid, a.rows, a.nnz());

    const Steps t = route_steps(a, sigma);

    // The whole call, as the pipeline makes it.
    bench::reset_peak();
    const double base_mib = bench::rss_mib();
    const auto start = std::chrono::steady_clock::now();
    const auto pairs =
        selected_sparse_shift_invert_eigenpairs(a, kModes, std::nullopt, kKrylov, sigma, kTol)
            .value();
    const double total = seconds(start);
    const double peak_mib = bench::peak_rss_mib() - base_mib;

    const double arpack_own = t.arpack - t.solves;
    const double umfpack_setup = t.factor - t.umfpack.symbolic - t.umfpack.numeric;
    const double rest = t.total() - t.umfpack.symbolic - t.umfpack.numeric - t.solves;
    std::printf("  whole call            %8.3f s  backend %s, peak %.0f MiB above the operator\n",
                total, pairs.front().backend, peak_mib);
    std::printf("  route step by step    %8.3f s  (UMFPACK %s routines)\n", t.total(),
                t.wide ? "64-bit zl" : "32-bit zi");
    std::printf("    UMFPACK symbolic    %8.3f s\n", t.umfpack.symbolic);
    std::printf("    UMFPACK numeric     %8.3f s\n", t.umfpack.numeric);
    std::printf("    ARPACK loop         %8.3f s  %zu operator applications, %.3f s in solves "
                "(%.1f ms each)\n",
                t.arpack, t.applications, t.solves, 1e3 * t.solves / double(t.applications));
    std::printf("    everything else     %8.3f s  %.1f%% of the route: ARPACK's own work %.3f s, "
                "shift %.3f s, UMFPACK setup %.3f s, candidates %.3f s\n",
                rest, 100.0 * rest / t.total(), arpack_own, t.shift, umfpack_setup,
                t.candidates);
    for (const Eigenpair& p : pairs) {
        std::printf("    lambda = %.10f %+.3ei  residual %.2e\n", p.eigenvalue.re, p.eigenvalue.im,
                    p.residual);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // figures appear as each grid finishes
    std::vector<std::size_t> grids;
    for (int i = 1; i < argc; ++i) grids.push_back(std::strtoul(argv[i], nullptr, 10));
    if (grids.empty()) grids = {300, 600};
    for (const std::size_t g : grids) run(g);
    return 0;
}
