#include "derivatives/derivatives.hpp"

#include <cstdlib>
#include <string>

#include "derivatives/step_access.hpp"

namespace corvane {
namespace {

// Square-and-multiply over the bits of |m| from the lowest, so the rounding of every
// layer point is fixed; a negative order inverts the result.
double integer_power(double d, std::int32_t m) {
    std::uint32_t e = m < 0 ? std::uint32_t(-std::int64_t(m)) : std::uint32_t(m);
    double q = (e & 1u) ? d : 1.0;
    double base = d;
    for (e >>= 1; e != 0; e >>= 1) {
        base = base * base;
        if (e & 1u) q = q * base;
    }
    return m < 0 ? 1.0 / q : q;
}

double last_step(std::span<const double> steps) {
    if (steps.empty()) throw_index_error(0, 0);
    return steps.back();
}

// s = kappa + i sigma C / (omega eps0) at layer depth d, edge step h and side factor c.
Complex stretch_at(double d, double h, Complex c, double w, double dk,
                   const PmlParameters& params) {
    const double q = integer_power(d, params.pml_order);
    const double kappa = dk * q + params.pml_kappa_min;
    const double sigma = (params.pml_sigma_max / (h * Z0)) * q;
    const Complex v{sigma * c.re, sigma * c.im};
    const Complex t{0.0 * v.re - v.im, 0.0 * v.im + v.re};  // i * v
    return {kappa + t.re / w, 0.0 + t.im / w};
}

std::vector<Complex> reciprocals(const std::vector<Complex>& s) {
    std::vector<Complex> r(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) r[i] = recip(s[i]);
    return r;
}

// Whether create_sfactor would read a missing step of an empty array: its low layer reads
// the first step, its high layer (present when npml <= cells) the last.
bool reads_missing_step(std::span<const double> steps, std::uint64_t cells, std::uint64_t npml,
                        bool low_side) {
    return npml != 0 && steps.empty() && (low_side || npml <= cells);
}

}  // namespace

std::array<Complex, 4> pml_average_all_sides(std::uint64_t nx, std::uint64_t ny,
                                             std::uint64_t npml_x, std::uint64_t npml_y,
                                             const MaterialTensor& tensor) {
    const std::uint64_t tx = npml_x > nx ? 0 : nx - npml_x;
    const std::uint64_t ty = npml_y > ny ? 0 : ny - npml_y;
    // Running sums in the order the strip values are met (component, ix, iy), from 0 + 0i.
    std::array<Complex, 4> sum{};
    std::array<std::uint64_t, 4> count{};
    auto gather = [&](int side, Complex v) {
        sum[side] += v;
        ++count[side];
    };
    if (nx != 0 && ny != 0) {
        for (std::size_t k = 0; k < 3; ++k) {
            const std::vector<Complex>& component = tensor[k][k];
            for (std::size_t ix = 0; ix < nx; ++ix) {
                for (std::size_t iy = 0; iy < ny; ++iy) {
                    const Complex v = at(component, ix * ny + iy);
                    if (ix < npml_x) gather(0, v);
                    if (ix > tx) gather(1, v);
                    if (iy < npml_y) gather(2, v);
                    if (iy > ty) gather(3, v);
                }
            }
        }
    }
    std::array<Complex, 4> mean;
    for (std::size_t side = 0; side < 4; ++side) {
        const double c = double(count[side]);
        mean[side] = count[side] == 0 ? Complex{1.0, 0.0}
                                      : Complex{sum[side].re / c, sum[side].im / c};
    }
    return mean;
}

std::vector<Complex> create_sfactor(std::string_view staggering, std::span<const double> steps,
                                    std::uint64_t cells, std::uint64_t npml, double omega,
                                    bool low_side, std::pair<Complex, Complex> side_factors,
                                    const PmlParameters& params) {
    std::vector<Complex> s(cells, Complex{1.0, 0.0});
    if (npml == 0) return s;
    const bool forward = staggering == "f";
    if (!forward && staggering != "b") {
        throw InternalError("direction value " + std::string(staggering) + " not recognized");
    }
    const double w = omega * EPS0_UM;
    const double dk = params.pml_kappa_max - params.pml_kappa_min;
    const double h_lo = low_side ? step_at(steps, 0) : 0.0;
    // Wraps when npml > cells, which leaves the high layer empty.
    const std::uint64_t inner = cells - npml;
    const double depth = double(npml);
    const double edge = double(inner);
    for (std::size_t i = 0; i < cells; ++i) {
        const double di = double(i);
        if (low_side && i < npml) {
            const double d = forward ? ((depth - di) - 0.5) / depth : (depth - di) / depth;
            s[i] = stretch_at(d, h_lo, side_factors.first, w, dk, params);
        } else if (forward ? i >= inner : i > inner) {
            const double d = forward ? ((di - edge) + 0.5) / depth : (di - edge) / depth;
            s[i] = stretch_at(d, last_step(steps), side_factors.second, w, dk, params);
        }
    }
    return s;
}

std::array<SparseMatrix, 4> create_s_matrices_sparse_with_profile(
    std::uint64_t nx, std::uint64_t ny, std::uint64_t npml_x, std::uint64_t npml_y, StepPair dlf,
    StepPair dlb, double omega, const MaterialTensor& eps, const MaterialTensor& mu,
    bool dmin_pml_x, bool dmin_pml_y, const PmlParameters& params) {
    const std::array<Complex, 4> mean_eps = pml_average_all_sides(nx, ny, npml_x, npml_y, eps);
    const std::array<Complex, 4> mean_mu = pml_average_all_sides(nx, ny, npml_x, npml_y, mu);
    // Layer strength over the side's mean refractive index: C = 1 / sqrt(eps mu).
    std::array<Complex, 4> c;
    for (std::size_t k = 0; k < 4; ++k) {
        c[k] = recip(principal_sqrt(mean_eps[k] * mean_mu[k], /*copy_zero_sign=*/true));
    }
    const std::size_t n = nx * ny;
    if (n == 0) {
        // No row to stretch: the factors of the other axis, O(nx + ny) work for an empty
        // result, are skipped, but a missing edge step stays the fault it is.
        if (reads_missing_step(dlf.x, nx, npml_x, dmin_pml_x) ||
            reads_missing_step(dlb.x, nx, npml_x, dmin_pml_x) ||
            reads_missing_step(dlf.y, ny, npml_y, dmin_pml_y) ||
            reads_missing_step(dlb.y, ny, npml_y, dmin_pml_y)) {
            throw_index_error(0, 0);
        }
        const SparseMatrix empty = SparseMatrix::diagonal({});
        return {empty, empty, empty, empty};
    }
    const auto x_sides = std::pair{c[0], c[1]};
    const auto y_sides = std::pair{c[2], c[3]};
    const auto sx_f = reciprocals(
        create_sfactor("f", dlf.x, nx, npml_x, omega, dmin_pml_x, x_sides, params));
    const auto sx_b = reciprocals(
        create_sfactor("b", dlb.x, nx, npml_x, omega, dmin_pml_x, x_sides, params));
    const auto sy_f = reciprocals(
        create_sfactor("f", dlf.y, ny, npml_y, omega, dmin_pml_y, y_sides, params));
    const auto sy_b = reciprocals(
        create_sfactor("b", dlb.y, ny, npml_y, omega, dmin_pml_y, y_sides, params));

    std::array<std::vector<Complex>, 4> diagonals;
    for (auto& d : diagonals) d.resize(n);
    for (std::size_t ix = 0; ix < nx; ++ix) {
        for (std::size_t iy = 0; iy < ny; ++iy) {
            const std::size_t p = ix * ny + iy;
            diagonals[0][p] = sx_f[ix];
            diagonals[1][p] = sx_b[ix];
            diagonals[2][p] = sy_f[iy];
            diagonals[3][p] = sy_b[iy];
        }
    }
    return {SparseMatrix::diagonal(diagonals[0]), SparseMatrix::diagonal(diagonals[1]),
            SparseMatrix::diagonal(diagonals[2]), SparseMatrix::diagonal(diagonals[3])};
}

}  // namespace corvane
