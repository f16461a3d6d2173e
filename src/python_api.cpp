// Placeholder until the argument layer lands.
#include "python_api.hpp"

namespace corvane {

Result<ModeSolveResult> run_mode_solve(Formulation, SolveArguments&&) {
    return fail("mode solver not built yet");
}

}  // namespace corvane
