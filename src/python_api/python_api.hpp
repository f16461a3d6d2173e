// The native half of the Python interface: preparing a call's inputs and running one
// solve on converted arguments. No Python types appear here; the CPython layer lives in
// python_api_binding.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/complex.hpp"
#include "common/result.hpp"
#include "derivatives/derivatives.hpp"
#include "mode_solver/mode_solver.hpp"

namespace corvane {

// Derivative matrices stretched by the PML (when npml_x or npml_y is nonzero) and scaled.
Result<DerivativeSet> sparse_derivative_matrices_for_solve(
    std::uint64_t nx, std::uint64_t ny, StepPair dlf, StepPair dlb, bool pmc_x,
    std::optional<double> omega, std::optional<double> derivative_scale, bool pmc_y,
    const MaterialTensor& eps, const MaterialTensor& mu, std::uint64_t npml_x,
    std::uint64_t npml_y, const PmlParameters& params, bool dmin_pml_x, bool dmin_pml_y);

// |steps_y[j] * steps_x[i]| at index i * len(steps_y) + j.
std::vector<double> cell_areas_from_steps(std::span<const double> steps_x,
                                          std::span<const double> steps_y);

// The 25 arguments of a solver call after conversion, in parameter order.
struct SolveArguments {
    std::uint64_t nx = 0;
    std::uint64_t ny = 0;
    std::vector<double> dlf_x, dlf_y, dlb_x, dlb_y;
    bool pmc_x = false;
    bool pmc_y = false;
    std::vector<std::vector<Complex>> eps_tensor;
    std::vector<std::vector<Complex>> mu_tensor;
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
};

enum class Formulation { diagonal, tensorial };

// Tensors, derivatives, cell areas, then the pipeline of the formulation. The options carry
// the interrupt check; their defaults are the module's fixed eigen route.
Result<ModeSolveResult> run_mode_solve(Formulation formulation, SolveArguments&& args,
                                       const EigenOptions& options = {});

}  // namespace corvane
