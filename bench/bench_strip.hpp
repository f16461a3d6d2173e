// The diagonal-formulation operator of a rectangular core in a uniform cladding, shared by
// the native eigen and LU benchmarks.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "derivatives/derivatives.hpp"
#include "mode_solver/solve_arguments.hpp"
#include "operators.hpp"
#include "sparse_matrix/sparse_matrix.hpp"

namespace corvane::bench {

// Lengths in micrometres; the core is centred in the window.
struct StripGuide {
    double window_x, window_y;
    double core_x, core_y;
    double core_eps, clad_eps;
    double wavelength = 1.55;
};

// A 1.0 x 0.5 um silicon core (eps 12.1) in silica (eps 2.085) in a 6 um square window.
inline constexpr StripGuide kWideStrip{6.0, 6.0, 1.0, 0.5, 12.1, 2.085};

// PML layers of npml_x and npml_y cells on every side; derivatives scaled by 1/k0, so the
// eigenvalue is -neff^2. A cell belongs to the core when its centre lies strictly inside.
inline SparseMatrix strip_operator(const StripGuide& g, std::size_t nx, std::size_t ny,
                                   std::size_t npml_x, std::size_t npml_y,
                                   const PmlParameters& pml = {}, bool dmin_pml = true) {
    const double hx = g.window_x / double(nx), hy = g.window_y / double(ny);
    const std::size_t cells = nx * ny;
    MaterialTensor eps, mu;
    for (std::size_t r = 0; r < 3; ++r) {
        for (std::size_t c = 0; c < 3; ++c) {
            eps[r][c].assign(cells, Complex{});
            mu[r][c].assign(cells, r == c ? Complex{1.0, 0.0} : Complex{});
        }
    }
    for (std::size_t ix = 0; ix < nx; ++ix) {
        for (std::size_t iy = 0; iy < ny; ++iy) {
            const double x = (double(ix) + 0.5) * hx - g.window_x / 2;
            const double y = (double(iy) + 0.5) * hy - g.window_y / 2;
            const bool core = std::abs(x) < g.core_x / 2 && std::abs(y) < g.core_y / 2;
            for (std::size_t k = 0; k < 3; ++k) {
                eps[k][k][ix * ny + iy] = Complex{core ? g.core_eps : g.clad_eps, 0.0};
            }
        }
    }
    const double k0 = 2.0 * 3.141592653589793 / g.wavelength;
    const double omega = k0 * 299792458.0e6;
    const std::vector<double> steps_x(nx, hx), steps_y(ny, hy);
    const StepPair s{steps_x, steps_y};
    const DerivativeSet d =
        sparse_derivative_matrices_for_solve(nx, ny, s, s, false, omega, 1.0 / k0, false, eps,
                                             mu, npml_x, npml_y, pml, dmin_pml, dmin_pml)
            .value();
    return assemble_sparse_diagonal_operators(eps, mu, d).eigen_operator;
}

}  // namespace corvane::bench
