// The native half of corvane._engine: one solve (or one operator) from inputs that already
// live in native memory. No Python types appear here; engine_binding.cpp holds those.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/complex.hpp"
#include "common/result.hpp"
#include "derivatives/derivatives.hpp"
#include "eigensolve/eigensolve.hpp"
#include "mode_solver/mode_solver.hpp"
#include "python_api/python_api.hpp"
#include "sparse_matrix/sparse_matrix.hpp"

namespace corvane::engine {

// Complex stretch factors s of a PML given by the caller, lengths nx, nx, ny, ny: row p of
// Dxf is divided by sx_f[ix], of Dxb by sx_b[ix], of Dyf by sy_f[iy], of Dyb by sy_b[iy].
struct PmlStretch {
    std::vector<Complex> sx_f, sx_b, sy_f, sy_b;
};

// The exact module's 25 inputs, the tensors already in their 3 x 3 form, plus the stretch.
struct EngineInputs {
    Formulation formulation = Formulation::diagonal;
    std::uint64_t nx = 0;
    std::uint64_t ny = 0;
    std::vector<double> dlf_x, dlf_y, dlb_x, dlb_y;
    bool pmc_x = false;
    bool pmc_y = false;
    MaterialTensor eps;
    MaterialTensor mu;
    std::uint64_t num_modes = 1;
    double neff_guess = 0.0;
    std::string direction = "+";
    std::optional<double> derivative_scale;
    std::uint64_t npml_x = 0;
    std::uint64_t npml_y = 0;
    PmlParameters pml;
    bool dmin_pml_x = true;
    bool dmin_pml_y = true;
    std::optional<double> omega;
    std::uint64_t krylov_dim = 32;
    std::optional<std::vector<Complex>> initial_vector;
    std::optional<PmlStretch> pml_stretch;
    double tol = 1e-10;
};

// Derivative matrices with the caller's stretch or the npml PML, then scaled.
Result<DerivativeSet> engine_derivatives(const EngineInputs& in);

// The whole solve: derivatives, the formulation's pipeline under the given eigen options.
Result<ModeSolveResult> run_engine_solve(EngineInputs&& in, const EigenOptions& options);

// The assembled eigen-operator (eigenvalue -neff^2 for diagonal, neff for tensorial).
Result<SparseMatrix> engine_operator(const EngineInputs& in);

}  // namespace corvane::engine
