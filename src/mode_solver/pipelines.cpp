// Placeholder until the solve pipelines land.
#include "mode_solver/mode_solver.hpp"

namespace corvane {

Result<ModeSolveResult> solve_diagonal_sparse(const MaterialTensor&, const MaterialTensor&,
                                              const DerivativeSet&, std::span<const double>, double,
                                              double, std::uint64_t, std::string_view,
                                              std::optional<std::span<const Complex>>, std::uint64_t) {
    return fail("mode solver not built yet");
}
Result<ModeSolveResult> solve_tensorial_sparse(const MaterialTensor&, const MaterialTensor&,
                                               const DerivativeSet&, std::span<const double>, double,
                                               double, std::uint64_t, std::string_view,
                                               std::optional<std::span<const Complex>>, std::uint64_t) {
    return fail("mode solver not built yet");
}

}  // namespace corvane
