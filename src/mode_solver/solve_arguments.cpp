#include "mode_solver/solve_arguments.hpp"

#include <array>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace corvane {
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

void scale_derivatives(DerivativeSet& d, std::optional<double> derivative_scale) {
    if (!derivative_scale) return;
    const Complex factor{*derivative_scale, 0.0};
    for (std::size_t k = 0; k < 4; ++k) d[k] = std::move(d[k]).scale(factor);
}

}  // namespace

std::uint64_t unknown_count(const SolveArguments& args) {
    return (args.formulation == Formulation::diagonal ? 2 : 4) * args.nx * args.ny;
}

Result<DerivativeSet> sparse_derivative_matrices_for_solve(
    std::uint64_t nx, std::uint64_t ny, StepPair dlf, StepPair dlb, bool pmc_x,
    std::optional<double> omega, std::optional<double> derivative_scale, bool pmc_y,
    const MaterialTensor& eps, const MaterialTensor& mu, std::uint64_t npml_x,
    std::uint64_t npml_y, const PmlParameters& params, bool dmin_pml_x, bool dmin_pml_y) {
    DerivativeSet d = create_d_matrices_sparse(nx, ny, dlf, dlb, pmc_x, pmc_y);
    if (npml_x != 0 || npml_y != 0) {
        if (!omega) return fail("omega is required when num_pml is nonzero");
        const std::array<SparseMatrix, 4> s = create_s_matrices_sparse_with_profile(
            nx, ny, npml_x, npml_y, dlf, dlb, *omega, eps, mu, dmin_pml_x, dmin_pml_y, params);
        // Stretch on the left: row p is divided by the factor of its own position.
        for (std::size_t k = 0; k < 4; ++k) d[k] = s[k].matmul(d[k]);
    }
    scale_derivatives(d, derivative_scale);
    return d;
}

Result<DerivativeSet> derivatives_for(const SolveArguments& a) {
    const StepPair dlf{a.dlf_x, a.dlf_y};
    const StepPair dlb{a.dlb_x, a.dlb_y};
    if (!a.pml_stretch) {
        return sparse_derivative_matrices_for_solve(a.nx, a.ny, dlf, dlb, a.pmc_x, a.omega,
                                                    a.derivative_scale, a.pmc_y, a.eps, a.mu,
                                                    a.npml_x, a.npml_y, a.pml, a.dmin_pml_x,
                                                    a.dmin_pml_y);
    }
    if (a.npml_x != 0 || a.npml_y != 0) {
        return fail("pml_stretch replaces the npml PML: set npml_x and npml_y to 0");
    }
    const PmlStretch& s = *a.pml_stretch;
    if (Status ok = check_stretch(s, a.nx, a.ny); !ok) return std::move(ok).error();
    DerivativeSet d = create_d_matrices_sparse(a.nx, a.ny, dlf, dlb, a.pmc_x, a.pmc_y);
    // Stretch on the left, as the npml PML does: row p divided by its own factor.
    d.dxf = reciprocal_stretch(s.sx_f, a.nx, a.ny, true).matmul(d.dxf);
    d.dxb = reciprocal_stretch(s.sx_b, a.nx, a.ny, true).matmul(d.dxb);
    d.dyf = reciprocal_stretch(s.sy_f, a.nx, a.ny, false).matmul(d.dyf);
    d.dyb = reciprocal_stretch(s.sy_b, a.nx, a.ny, false).matmul(d.dyb);
    scale_derivatives(d, a.derivative_scale);
    return d;
}

std::vector<double> cell_areas_from_steps(std::span<const double> steps_x,
                                          std::span<const double> steps_y) {
    std::size_t count = 0;
    // A count beyond the address space is an allocation that cannot succeed: MemoryError.
    if (__builtin_mul_overflow(steps_x.size(), steps_y.size(), &count)) {
        throw std::length_error("cell area count exceeds the address space");
    }
    std::vector<double> areas;
    areas.reserve(count);
    for (const double hx : steps_x) {
        for (const double hy : steps_y) areas.push_back(std::fabs(hy * hx));
    }
    return areas;
}

}  // namespace corvane
