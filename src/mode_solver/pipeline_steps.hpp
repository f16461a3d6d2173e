// Steps shared by the two solve pipelines, small enough to test on their own.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/complex.hpp"
#include "common/result.hpp"
#include "derivatives/derivatives.hpp"
#include "mode_solver/mode_solver.hpp"
#include "operators.hpp"
#include "sparse_matrix/sparse_matrix.hpp"

namespace corvane::mode_solver_detail {

// 1 / Z0 = 0.002654418727993071: turns the solved magnetic samples into H.
inline constexpr double kMagneticFactor = 1.0 / Z0;

// The grid must have one finite, positive area per cell (subnormals pass).
inline Status check_cell_areas(std::span<const double> cell_areas, std::size_t n) {
    if (cell_areas.size() != n) {
        return fail("cell area vector length " + std::to_string(cell_areas.size()) +
                    " does not match grid size " + std::to_string(n));
    }
    for (const double area : cell_areas) {
        if (!(std::isfinite(area) && area > 0.0)) return fail("cell areas must be finite and positive");
    }
    return Unit{};
}

// The diagonal operator's eigenvalue is -neff^2: neff = principal sqrt of -lambda, with
// the negative real axis mapped to +i sqrt(|w|).
inline Complex diagonal_effective_index(Complex lambda) {
    const Complex w{0.0 - lambda.re, 0.0 - lambda.im};
    return principal_sqrt(w);
}

// x / (i neff), written out.
inline Complex divide_by_i_neff(Complex x, Complex neff) {
    const double d = neff.re * neff.re + neff.im * neff.im;
    return {(x.im * neff.re - x.re * neff.im) / d, (-(x.im * neff.im) - x.re * neff.re) / d};
}

// x * (0, -c), the full complex product.
inline Complex times_minus_i_c(Complex x, double c) {
    return {0.0 * x.re + c * x.im, 0.0 * x.im - c * x.re};
}

// Stable sort by descending Re(neff); equal (or NaN) real parts keep their order.
template <class Item, class NeffOf>
void sort_by_descending_index(std::vector<Item>& items, NeffOf neff_of) {
    std::stable_sort(items.begin(), items.end(), [&](const Item& a, const Item& b) {
        return neff_of(a).re > neff_of(b).re;
    });
}

// Only the one-character text "-" selects the backward direction.
inline bool is_backward(std::string_view direction) { return direction == "-"; }

inline void negate(std::vector<Complex>& values) {
    for (Complex& v : values) v = Complex{-v.re, -v.im};
}

// Diagonal matrix of the full-quotient reciprocals (1 + 0i) / z; a zero gives NaN parts.
SparseMatrix reciprocal_diagonal(const std::vector<Complex>& values);

// The six components of a diagonal-formulation mode from its eigenvector v = (Ex, Ey):
// H from e_to_h v / (i neff), Hz from the curl of E, Ez from the divergence of the
// transverse D / (i neff). ie, im: the reciprocal diagonals of eps_zz and mu_zz.
ModeFields diagonal_mode_fields(const SparseDiagonalOperators& ops, const DerivativeSet& d,
                                const SparseMatrix& ie, const SparseMatrix& im,
                                std::span<const Complex> v, Complex neff, std::size_t n);

// The six components of a tensorial-formulation mode from v = (Ex, Ey, Hx', Hy'); v must
// hold exactly 4n values.
ModeFields tensorial_mode_fields(const MaterialTensor& eps, const MaterialTensor& mu,
                                 const DerivativeSet& d, const SparseMatrix& ie,
                                 const SparseMatrix& im, std::span<const Complex> v,
                                 std::size_t n);

}  // namespace corvane::mode_solver_detail
