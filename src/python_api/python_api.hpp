// The native half of corvane._core's argument conversion: the material tensors arrive as
// nine flat components each and become the record's 3 x 3 form. No Python types appear
// here; the CPython layer lives in python_api_binding.cpp.
#pragma once

#include <vector>

#include "common/complex.hpp"
#include "common/result.hpp"
#include "mode_solver/solve_arguments.hpp"

namespace corvane {

// eps_tensor and mu_tensor as converted from their sequences.
struct FlatTensors {
    std::vector<std::vector<Complex>> eps;
    std::vector<std::vector<Complex>> mu;
};

// Checks eps, then mu, against nx * ny and moves each into the record, freeing its flat
// storage as soon as it has been copied.
Status place_flat_tensors(FlatTensors&& flat, SolveArguments& args);

}  // namespace corvane
