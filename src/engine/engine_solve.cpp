#include "engine/engine_solve.hpp"

#include <span>
#include <utility>

#include "eigensolve/native_arnoldi.hpp"
#include "operators.hpp"

namespace corvane::engine {
namespace {

// Diagonal matrix of 1 / s at every cell, s taken from the cell's x (or y) index.
SparseMatrix reciprocal_stretch(std::span<const Complex> s, std::uint64_t nx, std::uint64_t ny,
                                bool along_x) {
    std::vector<Complex> diagonal(nx * ny);
    for (std::uint64_t ix = 0; ix < nx; ++ix) {
        for (std::uint64_t iy = 0; iy < ny; ++iy) {
            diagonal[ix * ny + iy] = recip(along_x ? s[ix] : s[iy]);
        }
    }
    return SparseMatrix::diagonal(diagonal);
}

Status check_stretch(const PmlStretch& s, std::uint64_t nx, std::uint64_t ny) {
    if (s.sx_f.size() != nx || s.sx_b.size() != nx || s.sy_f.size() != ny || s.sy_b.size() != ny) {
        return fail("pml_stretch needs four arrays of lengths nx, nx, ny, ny");
    }
    return Unit{};
}

}  // namespace

Result<DerivativeSet> engine_derivatives(const EngineInputs& in) {
    const StepPair dlf{in.dlf_x, in.dlf_y};
    const StepPair dlb{in.dlb_x, in.dlb_y};
    if (!in.pml_stretch) {
        return sparse_derivative_matrices_for_solve(
            in.nx, in.ny, dlf, dlb, in.pmc_x, in.omega, in.derivative_scale, in.pmc_y, in.eps,
            in.mu, in.npml_x, in.npml_y, in.pml, in.dmin_pml_x, in.dmin_pml_y);
    }
    if (in.npml_x != 0 || in.npml_y != 0) {
        return fail("pml_stretch replaces the npml PML: set npml_x and npml_y to 0");
    }
    const PmlStretch& s = *in.pml_stretch;
    if (Status ok = check_stretch(s, in.nx, in.ny); !ok) return std::move(ok).error();
    DerivativeSet d = create_d_matrices_sparse(in.nx, in.ny, dlf, dlb, in.pmc_x, in.pmc_y);
    // Stretch on the left, as the npml PML does: row p divided by its own factor.
    d.dxf = reciprocal_stretch(s.sx_f, in.nx, in.ny, true).matmul(d.dxf);
    d.dxb = reciprocal_stretch(s.sx_b, in.nx, in.ny, true).matmul(d.dxb);
    d.dyf = reciprocal_stretch(s.sy_f, in.nx, in.ny, false).matmul(d.dyf);
    d.dyb = reciprocal_stretch(s.sy_b, in.nx, in.ny, false).matmul(d.dyb);
    if (in.derivative_scale) {
        const Complex factor{*in.derivative_scale, 0.0};
        for (std::size_t k = 0; k < 4; ++k) d[k] = std::move(d[k]).scale(factor);
    }
    return d;
}

Result<ModeSolveResult> run_engine_solve(EngineInputs&& in, const EigenOptions& options) {
    Result<DerivativeSet> derivatives = engine_derivatives(in);
    if (!derivatives) return std::move(derivatives).error();
    const std::vector<double> cell_areas = cell_areas_from_steps(in.dlf_x, in.dlf_y);

    // ARPACK draws a missing start from a generator whose state outlives the call: a fixed
    // start keeps two identical calls identical.
    if (!in.initial_vector && options.iteration == EigenIteration::arpack) {
        const std::size_t unknowns = (in.formulation == Formulation::diagonal ? 2 : 4) * in.nx * in.ny;
        in.initial_vector = arnoldi_start_vector(unknowns);
    }
    std::optional<std::span<const Complex>> initial_vector;
    if (in.initial_vector) initial_vector = std::span<const Complex>(*in.initial_vector);
    if (in.formulation == Formulation::diagonal) {
        return solve_diagonal_sparse_with(in.eps, in.mu, *derivatives, cell_areas, in.neff_guess, in.tol,
                                     in.num_modes, in.direction, initial_vector, in.krylov_dim,
                                     options);
    }
    return solve_tensorial_sparse_with(in.eps, in.mu, *derivatives, cell_areas, in.neff_guess, in.tol,
                                  in.num_modes, in.direction, initial_vector, in.krylov_dim,
                                  options);
}

Result<SparseMatrix> engine_operator(const EngineInputs& in) {
    Result<DerivativeSet> derivatives = engine_derivatives(in);
    if (!derivatives) return std::move(derivatives).error();
    if (in.formulation == Formulation::diagonal) {
        return std::move(assemble_sparse_diagonal_operators(in.eps, in.mu, *derivatives).eigen_operator);
    }
    return assemble_sparse_tensorial_operator(in.eps, in.mu, *derivatives);
}

}  // namespace corvane::engine
