#include "derivatives/derivatives.hpp"

#include <vector>

#include "derivatives/step_access.hpp"

namespace corvane {
namespace {

// 1/h of every index of one axis, each read once.
std::vector<double> reciprocal_steps(std::span<const double> steps, std::uint64_t count) {
    std::vector<double> r(count);
    for (std::size_t i = 0; i < count; ++i) r[i] = 1.0 / step_at(steps, i);
    return r;
}

// One axis of the grid seen from the flat index p = ix * ny + iy: the index along the
// axis, the axis length and the flat distance between neighbours.
struct Axis {
    bool along_x;
    std::uint64_t length;
    std::uint64_t stride;

    std::size_t index(std::size_t ix, std::size_t iy) const { return along_x ? ix : iy; }
};

// (f[i+1] - f[i]) / hf[i]: the sample past the high edge is zero; at an electric low
// wall (no pmc) the first sample drops out, so row 0 keeps only its neighbour.
SparseMatrix forward_difference(std::uint64_t nx, std::uint64_t ny, Axis axis,
                                std::span<const double> steps, bool pmc) {
    const std::size_t n = nx * ny;
    if (n == 0 || axis.length <= 1) return SparseMatrix::from_triplets(n, n, {});
    const std::vector<double> r = reciprocal_steps(steps, axis.length);
    std::vector<Triplet> triplets;
    triplets.reserve(2 * n);
    for (std::size_t ix = 0; ix < nx; ++ix) {
        for (std::size_t iy = 0; iy < ny; ++iy) {
            const std::size_t p = ix * ny + iy;
            const std::size_t i = axis.index(ix, iy);
            if (i != 0 || pmc) triplets.push_back({p, p, Complex{-r[i], 0.0}});
            if (i + 1 < axis.length) triplets.push_back({p, p + axis.stride, Complex{r[i], 0.0}});
        }
    }
    return SparseMatrix::from_triplets(n, n, std::move(triplets));
}

// (g[i] - g[i-1]) / hb[i]: the sample before the first equals it at an electric wall
// (row 0 vanishes) and is its negative at a magnetic wall (row 0 is 2 g[0] / hb[0]).
SparseMatrix backward_difference(std::uint64_t nx, std::uint64_t ny, Axis axis,
                                 std::span<const double> steps, bool pmc) {
    const std::size_t n = nx * ny;
    if (n == 0 || axis.length <= 1) return SparseMatrix::from_triplets(n, n, {});
    const std::vector<double> r = reciprocal_steps(steps, axis.length);
    std::vector<Triplet> triplets;
    triplets.reserve(2 * n);
    for (std::size_t ix = 0; ix < nx; ++ix) {
        for (std::size_t iy = 0; iy < ny; ++iy) {
            const std::size_t p = ix * ny + iy;
            const std::size_t i = axis.index(ix, iy);
            if (i == 0) {
                if (pmc) triplets.push_back({p, p, Complex{r[0] + r[0], 0.0}});
                continue;
            }
            triplets.push_back({p, p, Complex{r[i], 0.0}});
            triplets.push_back({p, p - axis.stride, Complex{-r[i], 0.0}});
        }
    }
    return SparseMatrix::from_triplets(n, n, std::move(triplets));
}

}  // namespace

DerivativeSet create_d_matrices_sparse(std::uint64_t nx, std::uint64_t ny, StepPair dlf,
                                       StepPair dlb, bool pmc_x, bool pmc_y) {
    const Axis x{true, nx, ny};
    const Axis y{false, ny, 1};
    SparseMatrix dxf = forward_difference(nx, ny, x, dlf.x, pmc_x);
    SparseMatrix dxb = backward_difference(nx, ny, x, dlb.x, pmc_x);
    SparseMatrix dyf = forward_difference(nx, ny, y, dlf.y, pmc_y);
    SparseMatrix dyb = backward_difference(nx, ny, y, dlb.y, pmc_y);
    return DerivativeSet{std::move(dxf), std::move(dxb), std::move(dyf), std::move(dyb)};
}

}  // namespace corvane
