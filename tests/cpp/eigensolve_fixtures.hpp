// Matrices and factorisations shared by the eigen solution tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>
#include <random>
#include <span>
#include <utility>
#include <vector>

#include "common/complex.hpp"
#include "common/internal_error.hpp"
#include "eigensolve/sparse_lu.hpp"
#include "sparse_matrix/sparse_matrix.hpp"

namespace corvane::fixtures {

inline SparseMatrix from_dense(const std::vector<std::vector<Complex>>& rows) {
    std::vector<Triplet> t;
    const std::size_t cols = rows.empty() ? 0 : rows[0].size();
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (std::size_t c = 0; c < cols; ++c) t.push_back({r, c, rows[r][c]});
    }
    return SparseMatrix::from_triplets(rows.size(), cols, std::move(t));
}

inline SparseMatrix real_diagonal(const std::vector<double>& d) {
    std::vector<Complex> v;
    for (const double x : d) v.push_back({x, 0.0});
    return SparseMatrix::diagonal(v);
}

// Structurally nonsingular random matrix: a random permutation pattern (so pivots must
// leave the diagonal) plus about density * n^2 further entries, all complex.
inline SparseMatrix random_sparse(std::size_t n, double density, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<std::size_t> perm(n);
    std::iota(perm.begin(), perm.end(), std::size_t{0});
    std::shuffle(perm.begin(), perm.end(), gen);
    std::vector<Triplet> t;
    for (std::size_t c = 0; c < n; ++c) {
        t.push_back({perm[c], c, {2.0 + value(gen), value(gen)}});
        for (std::size_t r = 0; r < n; ++r) {
            if (unit(gen) < density) t.push_back({r, c, {value(gen), value(gen)}});
        }
    }
    return SparseMatrix::from_triplets(n, n, std::move(t));
}

inline std::vector<Complex> random_vector(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::vector<Complex> v(n);
    for (Complex& c : v) c = {value(gen), value(gen)};
    return v;
}

// Non-symmetric 5-point operator on an nx x ny grid with Dirichlet edges (flat index
// ix * ny + iy): T_x (x) I + I (x) T_y + 0.05i I, where T has diagonal 2 and off-diagonals
// (lower, upper) = (-1.2, -0.8) along x and (-0.9, -1.1) along y. Its spectrum is known in
// closed form (see laplacian_like_spectrum).
struct LaplacianLike {
    static constexpr double x_lower = -1.2, x_upper = -0.8;
    static constexpr double y_lower = -0.9, y_upper = -1.1;
    static constexpr double imag_shift = 0.05;
};

inline SparseMatrix laplacian_like(std::size_t nx, std::size_t ny) {
    using L = LaplacianLike;
    std::vector<Triplet> t;
    for (std::size_t ix = 0; ix < nx; ++ix) {
        for (std::size_t iy = 0; iy < ny; ++iy) {
            const std::size_t p = ix * ny + iy;
            t.push_back({p, p, {4.0, L::imag_shift}});
            if (ix > 0) t.push_back({p, p - ny, {L::x_lower, 0.0}});
            if (ix + 1 < nx) t.push_back({p, p + ny, {L::x_upper, 0.0}});
            if (iy > 0) t.push_back({p, p - 1, {L::y_lower, 0.0}});
            if (iy + 1 < ny) t.push_back({p, p + 1, {L::y_upper, 0.0}});
        }
    }
    return SparseMatrix::from_triplets(nx * ny, nx * ny, std::move(t));
}

// Tridiagonal (l, d, u) of order N has eigenvalues d - 2 sqrt(l u) cos(k pi / (N + 1)).
inline std::vector<Complex> laplacian_like_spectrum(std::size_t nx, std::size_t ny) {
    using L = LaplacianLike;
    std::vector<Complex> ev;
    for (std::size_t p = 1; p <= nx; ++p) {
        for (std::size_t q = 1; q <= ny; ++q) {
            const double mx = 2.0 - 2.0 * std::sqrt(L::x_lower * L::x_upper) *
                                        std::cos(std::numbers::pi * double(p) / double(nx + 1));
            const double my = 2.0 - 2.0 * std::sqrt(L::y_lower * L::y_upper) *
                                        std::cos(std::numbers::pi * double(q) / double(ny + 1));
            ev.push_back({mx + my, L::imag_shift});
        }
    }
    return ev;
}

// Euclidean norm, summed in order.
inline double norm2(std::span<const Complex> v) {
    double s = 0.0;
    for (const Complex c : v) s += norm_sqr(c);
    return std::sqrt(s);
}

// The library's own LU of A - sigma I; a test matrix that does not factor is a broken fixture.
inline SparseLu factor_shifted(const SparseMatrix& a, Complex sigma) {
    auto lu = SparseLu::factor(a.shifted_diagonal(sigma));
    if (!lu) throw InternalError(lu.error().text);
    return std::move(lu).value();
}

// The `count` eigenvalues nearest sigma, nearest first.
inline std::vector<Complex> nearest(std::vector<Complex> ev, Complex sigma, std::size_t count) {
    std::sort(ev.begin(), ev.end(),
              [sigma](Complex a, Complex b) { return abs(a - sigma) < abs(b - sigma); });
    ev.resize(std::min(count, ev.size()));
    return ev;
}

}  // namespace corvane::fixtures
