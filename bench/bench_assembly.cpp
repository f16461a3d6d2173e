// Assembly of both eigen-operators on n x n grids with PML on all four sides: wall seconds
// split into user and kernel CPU time (the kernel part is mostly the first touch of freshly
// mapped pages, counted in fault MiB), peak memory above the inputs, and stored entries.
// The last column shows how wall time grows from the previous grid, which has 4x fewer
// cells (x4.0 is exactly linear).
#include <sys/resource.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "bench_common.hpp"
#include "operators.hpp"
#include "mode_solver/solve_arguments.hpp"

using namespace corvane;

namespace {

struct Case {
    std::size_t n;
    std::vector<double> steps;
    MaterialTensor eps, mu;
};

// A graded square grid of about 10 um with a high-index core; anisotropic adds a rotated
// in-plane permittivity and a tilted optic axis so that all nine components are non-zero.
Case make_case(std::size_t n, bool anisotropic) {
    Case c{n, {}, {}, {}};
    for (std::size_t i = 0; i < n; ++i) {
        const double t = (double(i) + 0.5) / double(n) - 0.5;
        c.steps.push_back(10.0 / double(n) * (1.0 + 0.5 * t * t));
    }
    const std::size_t cells = n * n;
    for (std::size_t r = 0; r < 3; ++r) {
        for (std::size_t col = 0; col < 3; ++col) {
            c.eps[r][col].assign(cells, Complex{});
            c.mu[r][col].assign(cells, r == col ? Complex{1.0, 0.0} : Complex{});
        }
    }
    for (std::size_t ix = 0; ix < n; ++ix) {
        for (std::size_t iy = 0; iy < n; ++iy) {
            const std::size_t p = ix * n + iy;
            const bool core = 4 * ix > n && 4 * ix < 3 * n && 3 * iy > n && 3 * iy < 2 * n;
            const double e = core ? 12.0 : 2.1;
            for (std::size_t k = 0; k < 3; ++k) c.eps[k][k][p] = {e, 1e-4};
            if (anisotropic && core) {
                c.eps[0][1][p] = c.eps[1][0][p] = {0.3, 0.0};
                c.eps[0][2][p] = c.eps[2][0][p] = {0.2, 0.0};
                c.eps[1][2][p] = c.eps[2][1][p] = {0.1, 0.0};
            }
        }
    }
    return c;
}

DerivativeSet derivatives(const Case& c) {
    const StepPair steps{c.steps, c.steps};
    return sparse_derivative_matrices_for_solve(c.n, c.n, steps, steps, false, 1.2e15, 0.5,
                                                false, c.eps, c.mu, c.n / 20, c.n / 20,
                                                PmlParameters{}, true, true)
        .value();
}

struct CpuTimes {
    double user, sys;
    long faults;
};

CpuTimes cpu_times() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return {double(u.ru_utime.tv_sec) + 1e-6 * double(u.ru_utime.tv_usec),
            double(u.ru_stime.tv_sec) + 1e-6 * double(u.ru_stime.tv_usec), u.ru_minflt};
}

struct Figure {
    double seconds = 0, user = 0, sys = 0;
    double peak_mib = 0, faulted_mib = 0;
    std::size_t nnz = 0;
};

// Runs build, which returns the stored-entry count of what it made.
template <class Build>
Figure measure(Build build) {
    bench::reset_peak();
    const double base = bench::rss_mib();
    const CpuTimes cpu = cpu_times();
    const auto start = std::chrono::steady_clock::now();
    Figure f;
    f.nnz = build();
    f.seconds = bench::seconds_since(start);
    const CpuTimes end = cpu_times();
    f.user = end.user - cpu.user;
    f.sys = end.sys - cpu.sys;
    f.peak_mib = bench::peak_rss_mib() - base;
    f.faulted_mib = double(end.faults - cpu.faults) * 4096.0 / (1024.0 * 1024.0);
    return f;
}

}  // namespace

int main() {
    std::printf("%-26s %5s %7s %7s %7s %9s %10s %10s %7s\n", "operator", "grid", "wall s", "user s",
                "sys s", "peak MiB", "fault MiB", "entries", "growth");
    const char* names[] = {"derivatives (PML, scale)", "diagonal (all six)",
                           "tensorial, diagonal eps", "tensorial, anisotropic"};
    double previous[4] = {0, 0, 0, 0};
    for (std::size_t n : {250u, 500u, 1000u}) {
        Figure f[4];
        {
            const Case iso = make_case(n, false);
            DerivativeSet d;
            f[0] = measure([&] {
                d = derivatives(iso);
                return d.dxf.nnz() + d.dxb.nnz() + d.dyf.nnz() + d.dyb.nnz();
            });
            f[1] = measure([&] {
                return assemble_sparse_diagonal_operators(iso.eps, iso.mu, d).eigen_operator.nnz();
            });
            f[2] = measure(
                [&] { return assemble_sparse_tensorial_operator(iso.eps, iso.mu, d).nnz(); });
        }
        {
            const Case aniso = make_case(n, true);
            const DerivativeSet d = derivatives(aniso);
            f[3] = measure(
                [&] { return assemble_sparse_tensorial_operator(aniso.eps, aniso.mu, d).nnz(); });
        }
        for (std::size_t k = 0; k < 4; ++k) {
            char growth[16] = "";
            if (previous[k] > 0) {
                std::snprintf(growth, sizeof growth, "x%.2f", f[k].seconds / previous[k]);
            }
            std::printf("%-26s %5zu %7.3f %7.3f %7.3f %9.0f %10.0f %10zu %7s\n", names[k], n,
                        f[k].seconds, f[k].user, f[k].sys, f[k].peak_mib, f[k].faulted_mib,
                        f[k].nnz, growth);
            previous[k] = f[k].seconds;
        }
        std::fflush(stdout);
    }
    std::printf("fault MiB: pages first touched (minor faults x 4 KiB)\n"
                "entries: all four derivative matrices; eigen_operator; the 4n x 4n operator\n");
}
