#include <cmath>
#include <stdexcept>
#include <utility>

#include "python_api/python_api.hpp"

namespace corvane {

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
    if (derivative_scale) {
        const Complex factor{*derivative_scale, 0.0};
        for (std::size_t k = 0; k < 4; ++k) d[k] = std::move(d[k]).scale(factor);
    }
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
