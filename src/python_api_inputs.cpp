// Placeholder until the solve inputs land.
#include "python_api.hpp"

namespace corvane {

Result<DerivativeSet> sparse_derivative_matrices_for_solve(
    std::uint64_t, std::uint64_t, StepPair, StepPair, bool, std::optional<double>,
    std::optional<double>, bool, const MaterialTensor&, const MaterialTensor&, std::uint64_t,
    std::uint64_t, const PmlParameters&, bool, bool) {
    throw InternalError("sparse_derivative_matrices_for_solve not built yet");
}
std::vector<double> cell_areas_from_steps(std::span<const double>, std::span<const double>) {
    throw InternalError("cell_areas_from_steps not built yet");
}

}  // namespace corvane
