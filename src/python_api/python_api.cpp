#include "python_api/python_api.hpp"

#include <utility>

namespace corvane {
namespace {

// The tolerance of every eigen solve started from Python; not exposed to callers.
constexpr double kEigenTolerance = 1e-10;

// Frees the storage of a flat tensor once it has been copied into its MaterialTensor.
void release(std::vector<std::vector<Complex>>& flat) {
    std::vector<std::vector<Complex>>().swap(flat);
}

}  // namespace

Result<ModeSolveResult> run_mode_solve(Formulation formulation, SolveArguments&& args,
                                       const EigenOptions& options) {
    // Wraps modulo 2^64 like the unsigned product it is; the tensor check then fails.
    const std::uint64_t cell_count = args.nx * args.ny;

    Result<MaterialTensor> eps = tensor_from_flat(args.eps_tensor, cell_count);
    if (!eps) return std::move(eps).error();
    release(args.eps_tensor);
    Result<MaterialTensor> mu = tensor_from_flat(args.mu_tensor, cell_count);
    if (!mu) return std::move(mu).error();
    release(args.mu_tensor);

    Result<DerivativeSet> derivatives = sparse_derivative_matrices_for_solve(
        args.nx, args.ny, StepPair{args.dlf_x, args.dlf_y}, StepPair{args.dlb_x, args.dlb_y},
        args.pmc_x, args.omega, args.derivative_scale, args.pmc_y, *eps, *mu, args.npml_x,
        args.npml_y, args.pml, args.dmin_pml_x, args.dmin_pml_y);
    if (!derivatives) return std::move(derivatives).error();

    const std::vector<double> cell_areas = cell_areas_from_steps(args.dlf_x, args.dlf_y);

    std::optional<std::span<const Complex>> initial_vector;
    if (args.initial_vector) initial_vector = std::span<const Complex>(*args.initial_vector);

    if (formulation == Formulation::diagonal) {
        return solve_diagonal_sparse_with(*eps, *mu, *derivatives, cell_areas, args.neff_guess,
                                     kEigenTolerance, args.num_modes, args.direction,
                                     initial_vector, args.krylov_dim, options);
    }
    return solve_tensorial_sparse_with(*eps, *mu, *derivatives, cell_areas, args.neff_guess,
                                  kEigenTolerance, args.num_modes, args.direction, initial_vector,
                                  args.krylov_dim, options);
}

}  // namespace corvane
