// End-to-end native solve of the silicon strip (0.5 x 0.22 um, n = 3.48, in silica n = 1.444,
// 2 x 1.5 um window, PML 0.2 um on every side, lambda = 1.55 um, 4 modes), both solvers,
// split into the phases of one call:
//
//   tensors        place_flat_tensors of eps and mu (the native half of argument conversion)
//   derivatives    stretched and scaled derivative matrices, cell areas
//   assembly       the eigen-operator of the formulation
//   factorisation  A - sigma I and its UMFPACK LU (symbolic + numeric)
//   eigen          the ARPACK loop on that LU (operator solves included) and the candidates
//   post           reciprocal diagonals, field reconstruction of every mode, Lorentz
//                  orthogonalisation and regrouping
//   native total   run_mode_solve, the native call the Python entry points make
//
// The phases are replayed step by step, as the pipeline and route 1 of the eigen selection
// run them; the whole call is timed separately, and "other" is its excess over the sum of
// the phases (sorting, labels, moves, and timing noise). Both runs use the same fixed start
// vector, so ARPACK performs the same iterations in both.
// Peak memory is the rise of the resident high-water mark during the whole call.
//
// The process limits its address space to half the machine's memory (see limit_memory).
//
// Usage: bench_end_to_end [diagonal|tensorial|both] [nx ...]   (default: both 100 200 400;
// ny = 3 nx / 4). Each run also prints one "RESULT key=value ..." line for scripts.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "bench_common.hpp"
#include "eigensolve/arpack_driver.hpp"
#include "eigensolve/eigensolve.hpp"
#include "eigensolve/routes.hpp"
#include "eigensolve/umfpack_lu.hpp"
#include "mode_solver/pipeline_steps.hpp"
#include "operators.hpp"
#include "mode_solver/mode_solver.hpp"
#include "python_api/python_api.hpp"

using namespace corvane;

namespace {

constexpr double kWavelength = 1.55;  // um
constexpr double kCoreIndex = 3.48;
constexpr double kCladIndex = 1.444;
constexpr double kWidth = 2.0, kHeight = 1.5;  // um
constexpr double kCoreWidth = 0.5, kCoreHeight = 0.22;
constexpr double kPml = 0.2;  // um
constexpr double kNeffGuess = kCoreIndex - 0.8;
constexpr std::uint64_t kModes = 4;
constexpr std::uint64_t kKrylov = 32;
constexpr double kTol = 1e-10;
constexpr double kPi = 3.141592653589793;

double seconds(std::chrono::steady_clock::time_point start) { return bench::seconds_since(start); }

// Share of [lo, lo + h] inside [a, b].
double overlap(double lo, double h, double a, double b) {
    const double left = std::fmax(lo, a);
    const double right = std::fmin(lo + h, b);
    return right > left ? (right - left) / h : 0.0;
}

// The arguments of one call as corvane._core's conversion leaves them, cell-averaged
// permittivity included: the record, and the tensors still flat.
struct CallArguments {
    SolveArguments args;
    FlatTensors tensors;
};

CallArguments strip_arguments(Formulation formulation, std::size_t nx, std::size_t ny) {
    const double h = kWidth / double(nx);
    const double k0 = 2.0 * kPi / kWavelength;
    CallArguments call;
    SolveArguments& args = call.args;
    args.formulation = formulation;
    args.nx = nx;
    args.ny = ny;
    args.dlf_x.assign(nx, h);
    args.dlf_y.assign(ny, h);
    args.dlb_x = args.dlf_x;
    args.dlb_y = args.dlf_y;
    const std::size_t n = nx * ny;
    std::vector<Complex> eps(n);
    for (std::size_t ix = 0; ix < nx; ++ix) {
        const double fx = overlap(double(ix) * h, h, 0.5 * (kWidth - kCoreWidth),
                                  0.5 * (kWidth + kCoreWidth));
        for (std::size_t iy = 0; iy < ny; ++iy) {
            const double fy = overlap(double(iy) * h, h, 0.5 * (kHeight - kCoreHeight),
                                      0.5 * (kHeight + kCoreHeight));
            const double clad = kCladIndex * kCladIndex;
            eps[ix * ny + iy] = {clad + (kCoreIndex * kCoreIndex - clad) * fx * fy, 0.0};
        }
    }
    for (std::size_t k = 0; k < 9; ++k) {
        const bool diagonal = k % 4 == 0;
        call.tensors.eps.push_back(diagonal ? eps : std::vector<Complex>(n));
        call.tensors.mu.push_back(std::vector<Complex>(n, diagonal ? Complex{1.0, 0.0} : Complex{}));
    }
    args.num_modes = kModes;
    args.neff_guess = kNeffGuess;
    args.direction = std::string(1, '+');  // not = "+": g++ 12 warns falsely (-Wrestrict)
    args.derivative_scale = 1.0 / k0;
    args.npml_x = args.npml_y = std::uint64_t(std::lround(kPml / h));
    args.pml.pml_sigma_max = 8.0 * h * k0 * kCladIndex;
    args.omega = 2.0 * kPi * 299792458.0 / (kWavelength * 1e-6);
    args.krylov_dim = kKrylov;
    return call;
}

std::vector<Complex> start_vector(std::size_t length) {
    std::vector<Complex> v(length);
    for (std::size_t j = 0; j < length; ++j) {
        const double t = double(j + 1);
        v[j] = {std::sin(0.37 * t), std::cos(0.53 * t)};
    }
    return v;
}

struct Phases {
    double tensors = 0, derivatives = 0, assembly = 0, factorisation = 0, eigen = 0, post = 0;
    std::size_t applications = 0;
    std::string route_failure;  // set when the UMFPACK route fails on this problem

    double sum() const { return tensors + derivatives + assembly + factorisation + eigen + post; }
};

// The phases one by one, replaying what the pipeline and route 1 of the selection do.
Phases stepwise(CallArguments&& call, std::span<const Complex> start) {
    Phases p;
    SolveArguments& args = call.args;
    auto t = std::chrono::steady_clock::now();
    place_flat_tensors(std::move(call.tensors), args).value();
    const MaterialTensor& eps = args.eps;
    const MaterialTensor& mu = args.mu;
    p.tensors = seconds(t);

    t = std::chrono::steady_clock::now();
    const StepPair dlf{args.dlf_x, args.dlf_y};
    const StepPair dlb{args.dlb_x, args.dlb_y};
    const DerivativeSet d = sparse_derivative_matrices_for_solve(
                                args.nx, args.ny, dlf, dlb, args.pmc_x, args.omega,
                                args.derivative_scale, args.pmc_y, eps, mu, args.npml_x,
                                args.npml_y, args.pml, args.dmin_pml_x, args.dmin_pml_y)
                                .value();
    const std::vector<double> areas = cell_areas_from_steps(args.dlf_x, args.dlf_y);
    p.derivatives = seconds(t);

    const bool diagonal = args.formulation == Formulation::diagonal;
    t = std::chrono::steady_clock::now();
    SparseDiagonalOperators ops;
    SparseMatrix tensorial_operator;
    if (diagonal) {
        ops = assemble_sparse_diagonal_operators(eps, mu, d);
    } else {
        tensorial_operator = assemble_sparse_tensorial_operator(eps, mu, d);
    }
    const SparseMatrix& a = diagonal ? ops.eigen_operator : tensorial_operator;
    const Complex sigma = diagonal ? Complex{(-args.neff_guess) * args.neff_guess, 0.0}
                                   : Complex{args.neff_guess, 0.0};
    p.assembly = seconds(t);

    t = std::chrono::steady_clock::now();
    auto factored = UmfpackLu::factor(a.shifted_diagonal(sigma));
    p.factorisation = seconds(t);
    if (!factored) {
        p.route_failure = factored.error().text;
        return p;
    }
    const UmfpackLu& lu = *factored;

    t = std::chrono::steady_clock::now();
    const ShiftInvertOperator op = [&](std::span<const Complex> v) {
        ++p.applications;
        return lu.solve(v);
    };
    const std::size_t m = effective_krylov_dim(a.rows, args.krylov_dim, args.num_modes);
    auto found = arpack_shift_invert_vectors(op, a.rows, args.num_modes, m, start, kTol);
    if (!found) {
        p.eigen = seconds(t);
        p.route_failure = found.error().text;
        return p;
    }
    const RitzPairs& ritz = *found;
    std::vector<Candidate> candidates = candidates_from_ritz(a, sigma, ritz, kTol);
    order_and_truncate(candidates, sigma, args.num_modes);
    p.eigen = seconds(t);

    t = std::chrono::steady_clock::now();
    const std::size_t n = args.nx * args.ny;
    const SparseMatrix ie = mode_solver_detail::reciprocal_diagonal(eps[2][2]);
    const SparseMatrix im = mode_solver_detail::reciprocal_diagonal(mu[2][2]);
    std::vector<ModeFields> modes;
    for (const Candidate& c : candidates) {
        modes.push_back(diagonal ? mode_solver_detail::diagonal_mode_fields(
                                       ops, d, ie, im, c.eigenvector,
                                       mode_solver_detail::diagonal_effective_index(c.eigenvalue), n)
                                 : mode_solver_detail::tensorial_mode_fields(eps, mu, d, ie, im,
                                                                             c.eigenvector, n));
    }
    const OrthogonalizationDiagnostics diagnostics = lorentz_orthogonalize_and_normalize(modes, areas);
    const ComponentFields fields = collect_mode_fields(std::move(modes));
    p.post = seconds(t);
    return p;
}

void run(Formulation formulation, std::size_t nx) {
    const std::size_t ny = 3 * nx / 4;
    const char* name = formulation == Formulation::diagonal ? "diagonal" : "tensorial";
    const std::size_t unknowns = (formulation == Formulation::diagonal ? 2 : 4) * nx * ny;
    const std::vector<Complex> start = start_vector(unknowns);

    const Phases p = stepwise(strip_arguments(formulation, nx, ny), start);
    if (!p.route_failure.empty()) {
        // The whole call would go on to the native LU, whose fill without column ordering
        // needs far more memory than the UMFPACK factorisation that just failed.
        std::printf("%s solver, %zu x %zu cells: %zu unknowns: the UMFPACK route fails after "
                    "%.1f s (%s); whole call skipped\n",
                    name, nx, ny, unknowns, p.tensors + p.derivatives + p.assembly +
                    p.factorisation + p.eigen, p.route_failure.c_str());
        std::printf("RESULT solver=%s nx=%zu ny=%zu unknowns=%zu route_failed=1\n", name, nx,
                    ny, unknowns);
        std::fflush(stdout);
        return;
    }

    CallArguments call = strip_arguments(formulation, nx, ny);
    call.args.initial_vector = start;
    bench::reset_peak();
    const double base_mib = bench::rss_mib();
    const auto t = std::chrono::steady_clock::now();
    place_flat_tensors(std::move(call.tensors), call.args).value();
    const ModeSolveResult result = run_mode_solve(call.args).value();
    const double total = seconds(t);
    const double peak_mib = bench::peak_rss_mib() - base_mib;

    std::printf("%s solver, %zu x %zu cells: %llu unknowns, %llu stored entries, backend %s\n",
                name, nx, ny, static_cast<unsigned long long>(result.operator_rows),
                static_cast<unsigned long long>(result.operator_nnz), result.backend.c_str());
    std::printf("  tensors        %8.3f s\n", p.tensors);
    std::printf("  derivatives    %8.3f s\n", p.derivatives);
    std::printf("  assembly       %8.3f s\n", p.assembly);
    std::printf("  factorisation  %8.3f s\n", p.factorisation);
    std::printf("  eigen          %8.3f s  (%zu operator solves)\n", p.eigen, p.applications);
    std::printf("  post           %8.3f s\n", p.post);
    std::printf("  other          %8.3f s\n", total - p.sum());
    std::printf("  native total   %8.3f s  peak +%.0f MiB\n", total, peak_mib);
    for (std::size_t k = 0; k < result.neffs.size(); ++k) {
        std::printf("    neff %.8f %+.3ei  residual %.1e  power %.12f\n", result.neffs[k].re,
                    result.neffs[k].im, result.residuals[k], result.diagnostics.mode_powers[k]);
    }
    std::printf("RESULT solver=%s nx=%zu ny=%zu unknowns=%llu tensors=%.6f derivatives=%.6f "
                "assembly=%.6f factorisation=%.6f eigen=%.6f post=%.6f total=%.6f peak_mib=%.1f "
                "solves=%zu\n",
                name, nx, ny, static_cast<unsigned long long>(result.operator_rows), p.tensors,
                p.derivatives, p.assembly, p.factorisation, p.eigen, p.post, total, peak_mib,
                p.applications);
    std::fflush(stdout);
}

}  // namespace

// Half the machine's memory as the address-space limit: a factorisation that cannot fit
// then fails inside UMFPACK (or as bad_alloc) instead of exhausting the machine.
void limit_memory() {
    const rlim_t half = rlim_t(sysconf(_SC_PAGE_SIZE)) * rlim_t(sysconf(_SC_PHYS_PAGES)) / 2;
    const rlimit limit{half, half};
    setrlimit(RLIMIT_AS, &limit);
}

int main(int argc, char** argv) {
    limit_memory();
    std::vector<Formulation> formulations{Formulation::diagonal, Formulation::tensorial};
    int first = 1;
    if (argc > 1 && std::strcmp(argv[1], "diagonal") == 0) {
        formulations = {Formulation::diagonal};
        first = 2;
    } else if (argc > 1 && std::strcmp(argv[1], "tensorial") == 0) {
        formulations = {Formulation::tensorial};
        first = 2;
    } else if (argc > 1 && std::strcmp(argv[1], "both") == 0) {
        first = 2;
    }
    std::vector<std::size_t> sizes;
    for (int i = first; i < argc; ++i) sizes.push_back(std::strtoul(argv[i], nullptr, 10));
    if (sizes.empty()) sizes = {100, 200, 400};
    for (const std::size_t nx : sizes) {
        for (const Formulation f : formulations) {
            try {
                run(f, nx);
            } catch (const std::bad_alloc&) {
                std::printf("%s solver, nx = %zu: out of memory under the limit of half the "
                            "machine\nRESULT nx=%zu route_failed=1\n",
                            f == Formulation::diagonal ? "diagonal" : "tensorial", nx, nx);
                std::fflush(stdout);
            }
        }
    }
    return 0;
}
