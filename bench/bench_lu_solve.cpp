// One shift-inverted solve of the strip operator, three ways: UMFPACK's own solve without
// refinement, and the copied factors on one and on two threads. Prints the factor sizes,
// the time to copy the factors and arrange them for the two-way split, the share of the work each side
// of the split carries, the milliseconds per solve (best of --repeats) and the largest
// difference between the solutions.
//
// Usage: bench_lu_solve [nx [ny [repeats]]]   (default: 270 242 20, the 10 nm strip)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_common.hpp"
#include "bench_strip.hpp"
#include "eigensolve/lu_factors.hpp"
#include "eigensolve/umfpack_lu.hpp"

using namespace corvane;

namespace {

constexpr double kWidth = 2.7, kHeight = 2.42, kPml = 0.2;
constexpr double kNeffGuess = 2.68;

// A 0.5 x 0.22 um silicon core in silica, a 0.2 um PML on every side whose conductivity
// scales with the step.
SparseMatrix make_operator(std::size_t nx, std::size_t ny) {
    const bench::StripGuide strip{kWidth, kHeight, 0.5, 0.22, 3.48 * 3.48, 1.444 * 1.444, 1.55};
    const double hx = kWidth / double(nx), hy = kHeight / double(ny);
    PmlParameters pml;
    pml.pml_sigma_max = 8 * std::min(hx, hy) * (2.0 * 3.141592653589793 / strip.wavelength) * 1.444;
    return bench::strip_operator(strip, nx, ny, std::size_t(kPml / hx + 0.5),
                                 std::size_t(kPml / hy + 0.5), pml, false);
}

template <class Solve>
double best_ms(int repeats, Solve&& solve) {
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        solve();
        best = std::min(best, 1e3 * bench::seconds_since(start));
    }
    return best;
}

double max_difference(const std::vector<Complex>& a, const std::vector<Complex>& b) {
    double worst = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, abs(a[i] - b[i]));
    return worst;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t nx = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 270;
    const std::size_t ny = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 242;
    const int repeats = argc > 3 ? std::atoi(argv[3]) : 20;

    const SparseMatrix a = make_operator(nx, ny);
    const Complex sigma{-kNeffGuess * kNeffGuess, 0.0};
    UmfpackOptions options;
    options.ordering = FillOrdering::metis;
    options.refine = false;
    auto start = std::chrono::steady_clock::now();
    const UmfpackLu lu = UmfpackLu::factor(a.shifted_diagonal(sigma), options).value();
    const double factor_s = bench::seconds_since(start);
    UmfpackLu copy_source = UmfpackLu::factor(a.shifted_diagonal(sigma), options).value();
    start = std::chrono::steady_clock::now();
    CopiedLu copied = std::move(copy_source).release_factors().value();
    const double copy_s = bench::seconds_since(start);
    start = std::chrono::steady_clock::now();
    const LuFactors f = arrange_lu_factors(std::move(copied));
    const double plan_s = bench::seconds_since(start);

    const LuSolvePlan& plan = f.plan;
    const double total = double(f.lower_values.size() + f.upper_values.size());
    std::size_t group_work[2] = {0, 0};
    for (int g = 0; g < 2; ++g) {
        for (const std::uint32_t k : plan.groups[g]) {
            group_work[g] += (f.lower_ptr[k + 1] - f.lower_ptr[k]) + (f.upper_ptr[k + 1] - f.upper_ptr[k]);
        }
    }
    std::size_t shared_lower = 0;
    for (std::size_t k = plan.shared_begin; k < f.n; ++k) shared_lower += f.lower_ptr[k + 1] - f.lower_ptr[k];
    const std::size_t shared_upper = f.upper_values.size() - f.upper_ptr[plan.shared_begin];
    std::printf("strip %zux%zu: %zu unknowns, L %zu + U %zu entries (%.0f MiB), factor %.2f s, "
                "copy %.3f s, arrange %.3f s\n",
                nx, ny, f.n, f.lower_values.size(), f.upper_values.size(),
                (total * 20.0) / (1 << 20), factor_s, copy_s, plan_s);
    std::printf("split at pivot %zu of %zu: group pivots carry %.1f%% and %.1f%% of the entries, "
                "the shared pivots' own block %.1f%%\n",
                plan.shared_begin, f.n, 100.0 * double(group_work[0]) / total,
                100.0 * double(group_work[1]) / total,
                100.0 * double(shared_lower + shared_upper) / total);

    std::vector<Complex> rhs(f.n);
    for (std::size_t i = 0; i < f.n; ++i) rhs[i] = Complex{std::sin(0.37 * double(i)), std::cos(0.53 * double(i))};
    std::vector<Complex> x_umf(f.n), x1(f.n), x2(f.n), work(solve_work_size(f));
    UmfpackSolveWorkspace ws;
    const double umf_ms = best_ms(repeats, [&] { (void)lu.solve_into(rhs, x_umf, ws, false); });
    const double one_ms = best_ms(repeats, [&] { solve_with_factors(f, rhs, x1, work, 1); });
    const double two_ms = best_ms(repeats, [&] { solve_with_factors(f, rhs, x2, work, 2); });
    std::printf("per solve: umfpack %.1f ms | copied factors, 1 thread %.1f ms, 2 threads %.1f ms\n",
                umf_ms, one_ms, two_ms);
    std::printf("max |x - x_umfpack| %.1e, threads 1 and 2 identical: %s\n",
                max_difference(x1, x_umf), x1 == x2 ? "yes" : "no");
    return 0;
}
