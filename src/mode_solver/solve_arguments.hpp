// The one argument record of a solve, shared by corvane._core and corvane._engine, and the
// derivative matrices and cell areas it implies.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/complex.hpp"
#include "common/result.hpp"
#include "derivatives/derivatives.hpp"

namespace corvane {

enum class Formulation { diagonal, tensorial };

// Complex stretch factors s of a PML given by the caller, lengths nx, nx, ny, ny: row p of
// Dxf is divided by sx_f[ix], of Dxb by sx_b[ix], of Dyf by sy_f[iy], of Dyb by sy_b[iy].
struct PmlStretch {
    std::vector<Complex> sx_f, sx_b, sy_f, sy_b;
};

// The 25 parameters of a solver call in parameter order (the tensors in their 3 x 3 form),
// then what only the engine sets: the formulation travels with the call, a stretch may
// replace the npml PML, and the tolerance is the caller's.
struct SolveArguments {
    std::uint64_t nx = 0;
    std::uint64_t ny = 0;
    std::vector<double> dlf_x, dlf_y, dlb_x, dlb_y;
    bool pmc_x = false;
    bool pmc_y = false;
    MaterialTensor eps;
    MaterialTensor mu;
    std::uint64_t num_modes = 0;
    double neff_guess = 0.0;
    std::string direction;
    std::optional<double> derivative_scale;
    std::uint64_t npml_x = 0;
    std::uint64_t npml_y = 0;
    PmlParameters pml;
    bool dmin_pml_x = true;
    bool dmin_pml_y = true;
    std::optional<double> omega;
    std::uint64_t krylov_dim = 32;
    std::optional<std::vector<Complex>> initial_vector;

    Formulation formulation = Formulation::diagonal;
    std::optional<PmlStretch> pml_stretch;
    double tol = 1e-10;
};

// Unknowns of the eigenproblem: (Ex, Ey) per cell, or (Ex, Ey, Hx, Hy).
std::uint64_t unknown_count(const SolveArguments& args);

// Derivative matrices stretched by the PML (when npml_x or npml_y is nonzero) and scaled.
Result<DerivativeSet> sparse_derivative_matrices_for_solve(
    std::uint64_t nx, std::uint64_t ny, StepPair dlf, StepPair dlb, bool pmc_x,
    std::optional<double> omega, std::optional<double> derivative_scale, bool pmc_y,
    const MaterialTensor& eps, const MaterialTensor& mu, std::uint64_t npml_x,
    std::uint64_t npml_y, const PmlParameters& params, bool dmin_pml_x, bool dmin_pml_y);

// The derivative matrices of a call: stretched by its pml_stretch or by the npml PML.
Result<DerivativeSet> derivatives_for(const SolveArguments& args);

// |steps_y[j] * steps_x[i]| at index i * len(steps_y) + j.
std::vector<double> cell_areas_from_steps(std::span<const double> steps_x,
                                          std::span<const double> steps_y);

}  // namespace corvane
