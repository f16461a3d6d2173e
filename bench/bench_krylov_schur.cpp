// The Krylov-Schur iteration against ARPACK on the same shift-inverted operator: operator
// applications, wall time of the eigen iteration (the LU solves included, the factorisation
// not) and the largest eigenvalue difference, for 1 to 8 wanted pairs. The operator is the
// diagonal formulation of a silicon strip in silica (as in bench_eigensolve) with shift
// -2.9^2; both iterations use the same Krylov dimension and tolerance 1e-10.
// Then the cost of the iteration itself on long vectors: a diagonal map (almost free) of
// length `long_n` whose eigenvalues 0.97^k make both iterations restart, the time outside
// the map for ARPACK and for Krylov-Schur on one and two threads, and the memory of the call.
//
// Usage: bench_krylov_schur [grid [krylov_dim [long_n]]]   (default: 150 32 1000000)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_common.hpp"
#include "bench_strip.hpp"
#include "eigensolve/arpack_driver.hpp"
#include "eigensolve/krylov_schur.hpp"
#include "eigensolve/routes.hpp"
#include "eigensolve/umfpack_lu.hpp"

using namespace corvane;

namespace {

constexpr double kTol = 1e-10;
constexpr double kNeffGuess = 2.9;

// The wide strip on an n x n grid, PML n / 20 cells deep on every side.
SparseMatrix make_operator(std::size_t n) {
    return bench::strip_operator(bench::kWideStrip, n, n, n / 20, n / 20);
}

struct Run {
    std::size_t applications = 0;
    double seconds = 0.0;
    double solve_seconds = 0.0;
    std::vector<Complex> lambdas;  // sigma + 1 / theta, in the iteration's order
};

Run run_arpack(const UmfpackLu& lu, std::size_t n, std::size_t nev, std::size_t m,
               Complex sigma) {
    Run r;
    const ShiftInvertOperator op = [&](std::span<const Complex> v) {
        const auto s0 = std::chrono::steady_clock::now();
        auto y = lu.solve(v);
        r.solve_seconds += bench::seconds_since(s0);
        ++r.applications;
        return y;
    };
    const auto start = std::chrono::steady_clock::now();
    const RitzPairs ritz = arpack_shift_invert_vectors(op, n, nev, m, std::nullopt, kTol).value();
    r.seconds = bench::seconds_since(start);
    for (const Complex theta : ritz.values) r.lambdas.push_back(sigma + inv(theta));
    return r;
}

// The iteration as both measurements run it, at the benchmark's tolerance.
KrylovSchurOptions options(std::size_t wanted, std::size_t krylov_dim, unsigned threads) {
    KrylovSchurOptions o;
    o.num_wanted = wanted;
    o.krylov_dim = krylov_dim;
    o.tol = kTol;
    o.threads = threads;
    return o;
}

Run run_krylov_schur(const UmfpackLu& lu, std::size_t n, std::size_t nev, std::size_t m,
                     Complex sigma, unsigned threads, bool& converged) {
    Run r;
    const LinearMap op = [&](std::span<const Complex> x, std::span<Complex> y) -> Status {
        const auto s0 = std::chrono::steady_clock::now();
        auto solved = lu.solve(x);
        r.solve_seconds += bench::seconds_since(s0);
        if (!solved) return std::move(solved).error();
        std::copy(solved->begin(), solved->end(), y.begin());
        return Unit{};
    };
    const auto start = std::chrono::steady_clock::now();
    const KrylovSchurResult result = krylov_schur(n, op, {}, options(nev, m, threads)).value();
    r.seconds = bench::seconds_since(start);
    r.applications = result.operator_applications;
    converged = result.converged;
    for (const Complex theta : result.values) r.lambdas.push_back(sigma + inv(theta));
    return r;
}

// Largest distance from a value of `p` to the nearest value of `q`.
double max_mismatch(const std::vector<Complex>& p, const std::vector<Complex>& q) {
    double worst = 0.0;
    for (const Complex a : p) {
        double best = 1e300;
        for (const Complex b : q) best = std::min(best, abs(a - b));
        worst = std::max(worst, best);
    }
    return worst;
}

std::vector<Complex> slowly_decaying_diagonal(std::size_t n) {
    std::vector<Complex> d(n);
    for (std::size_t k = 0; k < n; ++k) {
        const double modulus = std::pow(0.97, std::min(double(k), 400.0));
        d[k] = {modulus * std::cos(0.7 * double(k)), modulus * std::sin(0.7 * double(k))};
    }
    return d;
}

void run_long(std::size_t n, std::size_t krylov_dim) {
    const std::vector<Complex> d = slowly_decaying_diagonal(n);
    constexpr std::size_t kWanted = 4;
    std::printf("\ndiagonal map, n = %zu, %zu pairs, Krylov dimension %zu (basis %.0f MiB)\n", n,
                kWanted, krylov_dim, double(n * (krylov_dim + 1) * sizeof(Complex)) / 1048576.0);
    {
        double map_seconds = 0.0;
        std::size_t applications = 0;
        const ShiftInvertOperator op = [&](std::span<const Complex> v) {
            const auto s0 = std::chrono::steady_clock::now();
            std::vector<Complex> y(v.size());
            for (std::size_t k = 0; k < v.size(); ++k) y[k] = d[k] * v[k];
            map_seconds += bench::seconds_since(s0);
            ++applications;
            return Result<std::vector<Complex>>(std::move(y));
        };
        bench::reset_peak();
        const double base = bench::rss_mib();
        const auto start = std::chrono::steady_clock::now();
        const RitzPairs ritz =
            arpack_shift_invert_vectors(op, n, kWanted, krylov_dim, std::nullopt, kTol).value();
        const double total = bench::seconds_since(start);
        std::printf("  ARPACK                 %4zu apps  %8.3f s outside the map (%.2f ms per app)"
                    "  peak %+.0f MiB  theta0 %.12f\n",
                    applications, total - map_seconds,
                    1e3 * (total - map_seconds) / double(applications),
                    bench::peak_rss_mib() - base, abs(ritz.values.front()));
    }
    for (const unsigned threads : {1u, 2u}) {
        double map_seconds = 0.0;
        const LinearMap op = [&](std::span<const Complex> x, std::span<Complex> y) -> Status {
            const auto s0 = std::chrono::steady_clock::now();
            for (std::size_t k = 0; k < x.size(); ++k) y[k] = d[k] * x[k];
            map_seconds += bench::seconds_since(s0);
            return Unit{};
        };
        bench::reset_peak();
        const double base = bench::rss_mib();
        const auto start = std::chrono::steady_clock::now();
        const KrylovSchurResult r =
            krylov_schur(n, op, {}, options(kWanted, krylov_dim, threads)).value();
        const double total = bench::seconds_since(start);
        std::printf("  Krylov-Schur %u thread%s  %4zu apps  %8.3f s outside the map "
                    "(%.2f ms per app)  peak %+.0f MiB  theta0 %.12f%s\n",
                    threads, threads == 1 ? " " : "s", r.operator_applications,
                    total - map_seconds,
                    1e3 * (total - map_seconds) / double(r.operator_applications),
                    bench::peak_rss_mib() - base, abs(r.values.front()),
                    r.converged ? "" : " (not converged)");
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::size_t grid = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 150;
    const std::size_t krylov_dim = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 32;
    const std::size_t long_n = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 1000000;
    const SparseMatrix a = make_operator(grid);
    const Complex sigma{-kNeffGuess * kNeffGuess, 0.0};
    const UmfpackLu lu = UmfpackLu::factor(a.shifted_diagonal(sigma)).value();
    std::printf("grid %zu x %zu: n = %zu, Krylov dimension %zu, tol %.0e\n", grid, grid, a.rows,
                krylov_dim, kTol);
    std::printf("%4s  %22s  %38s  %10s  %9s\n", "nev", "ARPACK apps / s",
                "Krylov-Schur apps / s (1 thr, 2 thr)", "max |dl|", "solve ms");
    for (std::size_t nev = 1; nev <= 8; ++nev) {
        const std::size_t m = effective_krylov_dim(a.rows, krylov_dim, nev);
        const Run arpack = run_arpack(lu, a.rows, nev, m, sigma);
        bool converged1 = false, converged2 = false;
        const Run ks1 = run_krylov_schur(lu, a.rows, nev, m, sigma, 1, converged1);
        const Run ks2 = run_krylov_schur(lu, a.rows, nev, m, sigma, 2, converged2);
        std::printf("%4zu  %10zu %9.3f s  %10zu %9.3f s %9.3f s %s  %10.2e  %9.2f\n", nev,
                    arpack.applications, arpack.seconds, ks1.applications, ks1.seconds,
                    ks2.seconds, converged1 && converged2 ? "  " : "NC",
                    max_mismatch(ks1.lambdas, arpack.lambdas),
                    1e3 * ks1.solve_seconds / double(ks1.applications));
    }
    run_long(long_n, krylov_dim);
    return 0;
}
