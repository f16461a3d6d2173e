#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "discretisation_helpers.hpp"
#include "operators.hpp"
#include "mode_solver/solve_arguments.hpp"

namespace corvane {
namespace {

using testing::entry;
using testing::expect_equal_values;
using testing::expect_identical;
using testing::isotropic;
using testing::real_rows;
using Rows = std::vector<std::vector<double>>;
using Vector = std::vector<Complex>;

// The derivative matrices of a single cell: 1 x 1 without entries.
DerivativeSet one_cell_derivatives() {
    return create_d_matrices_sparse(1, 1, {}, {}, false, false);
}

// A small graded grid with PML on every side, so the derivative matrices are complex.
struct Grid {
    std::size_t nx = 4, ny = 3;
    std::vector<double> fx{0.5, 0.8, 1.1, 0.9}, bx{0.45, 0.7, 1.0, 0.95};
    std::vector<double> fy{0.3, 0.6, 0.4}, by{0.35, 0.5, 0.45};
    bool pmc_x = true, pmc_y = false;
    std::uint64_t npml_x = 1, npml_y = 2;
    bool dmin_x = true, dmin_y = false;

    std::size_t n() const { return nx * ny; }
    DerivativeSet derivatives(const MaterialTensor& eps, const MaterialTensor& mu) const {
        return sparse_derivative_matrices_for_solve(nx, ny, {fx, fy}, {bx, by}, pmc_x, 1.5e15,
                                                    0.7, pmc_y, eps, mu, npml_x, npml_y,
                                                    PmlParameters{}, dmin_x, dmin_y)
            .value();
    }
    // The same cross-section with the x and y axes exchanged.
    Grid swapped() const {
        Grid g = *this;
        std::swap(g.nx, g.ny);
        std::swap(g.fx, g.fy);
        std::swap(g.bx, g.by);
        std::swap(g.pmc_x, g.pmc_y);
        std::swap(g.npml_x, g.npml_y);
        std::swap(g.dmin_x, g.dmin_y);
        return g;
    }
};

Vector random_vector(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Vector v(n);
    for (Complex& z : v) z = {u(gen), u(gen)};
    return v;
}

// Diagonal material with a different value in every cell; off-diagonals zero.
MaterialTensor graded_diagonal(std::size_t n, double base, unsigned seed) {
    MaterialTensor t = isotropic(n, Complex{});
    const Vector r = random_vector(3 * n, seed);
    for (std::size_t k = 0; k < 3; ++k) {
        for (std::size_t p = 0; p < n; ++p) {
            t[k][k][p] = {base + 0.5 * r[k * n + p].re, 0.1 * r[k * n + p].im};
        }
    }
    return t;
}

MaterialTensor anisotropic(std::size_t n, double base, unsigned seed) {
    MaterialTensor t;
    const Vector r = random_vector(9 * n, seed);
    for (std::size_t k = 0; k < 9; ++k) {
        const auto first = r.begin() + std::ptrdiff_t(k * n);
        t[k / 3][k % 3].assign(first, first + std::ptrdiff_t(n));
        if (k % 4 == 0) {
            for (Complex& z : t[k / 3][k % 3]) z.re += base;
        }
    }
    return t;
}

Vector add(const Vector& a, const Vector& b) {
    Vector out(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] + b[i];
    return out;
}
Vector times(const std::vector<Complex>& d, const Vector& v) {
    Vector out(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) out[i] = d[i] * v[i];
    return out;
}
Vector scaled(Complex s, const Vector& v) {
    Vector out(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) out[i] = s * v[i];
    return out;
}
Vector reciprocal(const std::vector<Complex>& d) {
    Vector out(d.size());
    for (std::size_t i = 0; i < d.size(); ++i) out[i] = inv(d[i]);
    return out;
}
Vector concat(const Vector& a, const Vector& b) {
    Vector out(a);
    out.insert(out.end(), b.begin(), b.end());
    return out;
}
Vector part(const Vector& v, std::size_t k, std::size_t n) {
    return Vector(v.begin() + std::ptrdiff_t(k * n), v.begin() + std::ptrdiff_t(k * n + n));
}

double norm(const Vector& v) {
    double s = 0.0;
    for (const Complex z : v) s += norm_sqr(z);
    return std::sqrt(s);
}
double relative_difference(const Vector& a, const Vector& b) {
    Vector d(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) d[i] = a[i] - b[i];
    return norm(d) / norm(b);
}

TEST(DiagonalOperators, OneCellReducesToTheMaterialProducts) {
    MaterialTensor eps = isotropic(1, Complex{});
    MaterialTensor mu = isotropic(1, Complex{});
    eps[0][0][0] = {2, 0}, eps[1][1][0] = {3, 0}, eps[2][2][0] = {11, 0};
    mu[0][0][0] = {5, 0}, mu[1][1][0] = {7, 0}, mu[2][2][0] = {13, 0};
    const SparseDiagonalOperators ops =
        assemble_sparse_diagonal_operators(eps, mu, one_cell_derivatives());
    EXPECT_EQ(real_rows(ops.mu_cross), (Rows{{0, 7}, {-5, 0}}));
    EXPECT_EQ(real_rows(ops.eps_cross), (Rows{{0, 3}, {-2, 0}}));
    EXPECT_EQ(ops.eps_zz_term.nnz(), 0u);
    EXPECT_EQ(ops.mu_zz_term.nnz(), 0u);
    expect_identical(ops.e_to_h, ops.eps_cross);
    EXPECT_EQ(real_rows(ops.eigen_operator), (Rows{{-14, 0}, {0, -15}}));

    const SparseDiagonalOperators iso = assemble_sparse_diagonal_operators(
        isotropic(1, Complex{4, 0}), isotropic(1, Complex{1, 0}), one_cell_derivatives());
    EXPECT_EQ(real_rows(iso.eigen_operator), (Rows{{-4, 0}, {0, -4}}));
    EXPECT_EQ(iso.eigen_operator.nnz(), 2u);
}

TEST(DiagonalOperators, OffDiagonalTensorEntriesAreIgnored) {
    const Grid g;
    const MaterialTensor eps = graded_diagonal(g.n(), 2.0, 1);
    const MaterialTensor mu = graded_diagonal(g.n(), 1.0, 2);
    const DerivativeSet d = g.derivatives(eps, mu);
    MaterialTensor eps_full = eps, mu_full = mu;
    for (std::size_t r = 0; r < 3; ++r) {
        for (std::size_t c = 0; c < 3; ++c) {
            if (r == c) continue;
            eps_full[r][c].assign(g.n(), Complex{NAN, 1.0});
            mu_full[r][c].assign(g.n(), Complex{3.0, -INFINITY});
        }
    }
    const SparseDiagonalOperators a = assemble_sparse_diagonal_operators(eps, mu, d);
    const SparseDiagonalOperators b = assemble_sparse_diagonal_operators(eps_full, mu_full, d);
    expect_identical(a.mu_cross, b.mu_cross);
    expect_identical(a.eps_zz_term, b.eps_zz_term);
    expect_identical(a.eps_cross, b.eps_cross);
    expect_identical(a.mu_zz_term, b.mu_zz_term);
    expect_identical(a.e_to_h, b.e_to_h);
    expect_identical(a.eigen_operator, b.eigen_operator);
}

// The operators applied to a vector agree with the fields written out component by component.
TEST(DiagonalOperators, ActOnTheTransverseFieldAsTheCurlEquationsSay) {
    const Grid g;
    const std::size_t n = g.n();
    MaterialTensor eps = graded_diagonal(n, 2.0, 3);
    const MaterialTensor mu = graded_diagonal(n, 1.0, 4);
    eps[0][0][5] = {0.0, 0.0};  // a zero transverse value stores nothing
    const DerivativeSet d = g.derivatives(eps, mu);
    const SparseDiagonalOperators ops = assemble_sparse_diagonal_operators(eps, mu, d);
    EXPECT_EQ(entry(ops.eps_cross, n + 5, 5).re, 0.0);
    EXPECT_EQ(ops.eps_cross.nnz(), 2 * n - 1);

    const Vector v = random_vector(2 * n, 5);
    const Vector ex = part(v, 0, n), ey = part(v, 1, n);
    const Vector a = reciprocal(eps[2][2]), b = reciprocal(mu[2][2]);
    // e_to_h: (eps_yy Ey + Dxb B hz, -eps_xx Ex + Dyb B hz) with hz = Dxf Ey - Dyf Ex.
    const Vector hz = times(b, add(d.dxf.matvec(ey), scaled({-1, 0}, d.dyf.matvec(ex))));
    const Vector hx = add(times(eps[1][1], ey), d.dxb.matvec(hz));
    const Vector hy = add(scaled({-1, 0}, times(eps[0][0], ex)), d.dyb.matvec(hz));
    EXPECT_LT(relative_difference(ops.e_to_h.matvec(v), concat(hx, hy)), 1e-14);
    // eigen_operator = mu_cross e_to_h + eps_zz_term eps_cross, where
    // eps_zz_term (u, w) = [Dxf; Dyf] A (Dxb w - Dyb u) and
    // eps_cross (Ex, Ey) = (eps_yy Ey, -eps_xx Ex).
    const Vector u = times(eps[1][1], ey), w = scaled({-1, 0}, times(eps[0][0], ex));
    const Vector ez = times(a, add(d.dxb.matvec(w), scaled({-1, 0}, d.dyb.matvec(u))));
    const Vector first = add(times(mu[1][1], hy), d.dxf.matvec(ez));
    const Vector second = add(scaled({-1, 0}, times(mu[0][0], hx)), d.dyf.matvec(ez));
    EXPECT_LT(relative_difference(ops.eigen_operator.matvec(v), concat(first, second)), 1e-13);

    // eps comes first: exchanging the tensors changes the operator.
    const SparseDiagonalOperators swapped = assemble_sparse_diagonal_operators(mu, eps, d);
    EXPECT_GT(relative_difference(swapped.eigen_operator.matvec(v), ops.eigen_operator.matvec(v)),
              0.1);
}

TEST(TensorialOperator, OneCellIsotropic) {
    const SparseMatrix t = assemble_sparse_tensorial_operator(
        isotropic(1, Complex{4, 0}), isotropic(1, Complex{1, 0}), one_cell_derivatives());
    const Rows m{{0, 0, 0, 1}, {0, 0, -1, 0}, {0, 4, 0, 0}, {-4, 0, 0, 0}};
    ASSERT_EQ(t.rows, 4u);
    ASSERT_EQ(t.nnz(), 4u);
    for (std::size_t r = 0; r < 4; ++r) {
        for (std::size_t c = 0; c < 4; ++c) {
            // -i times m
            EXPECT_EQ(entry(t, r, c).re, 0.0);
            EXPECT_EQ(entry(t, r, c).im, -m[r][c]) << r << ", " << c;
        }
    }
}

TEST(TensorialOperator, DiagonalMaterialsGiveTheDiagonalFormulationBlocks) {
    const Grid g;
    const std::size_t n = g.n();
    const MaterialTensor eps = graded_diagonal(n, 2.0, 6);
    const MaterialTensor mu = graded_diagonal(n, 1.0, 7);
    const DerivativeSet d = g.derivatives(eps, mu);
    const SparseDiagonalOperators ops = assemble_sparse_diagonal_operators(eps, mu, d);
    SparseMatrix zero;
    zero.col_ptr.assign(2 * n + 1, 0);
    zero.rows = zero.cols = 2 * n;
    const SparseMatrix want =
        SparseMatrix::block_2x2(zero, ops.mu_cross.add(ops.eps_zz_term), ops.e_to_h, zero)
            .scale({0.0, -1.0});
    expect_equal_values(assemble_sparse_tensorial_operator(eps, mu, d), want);
}

TEST(TensorialOperator, ReducedPermittivityEliminatesEz) {
    // eps_xz = eps_zx = 0.5, eps_xx = eps_zz = 2: reps_xx = 2 - 0.5 * 0.25 = 1.875.
    const std::size_t nx = 2;
    const std::vector<double> steps{1.0, 1.0};
    MaterialTensor eps = isotropic(nx, Complex{2, 0});
    eps[0][2].assign(nx, Complex{0.5, 0});
    eps[2][0].assign(nx, Complex{0.5, 0});
    const DerivativeSet d = create_d_matrices_sparse(nx, 1, {steps, {}}, {steps, {}}, false, false);
    const SparseMatrix t = assemble_sparse_tensorial_operator(eps, isotropic(nx, Complex{1, 0}), d);
    // Block (4, 1) is -(Dyb MI Dyf) - diag(reps_xx), times -i; ny = 1 leaves only the diagonal.
    for (std::size_t p = 0; p < nx; ++p) {
        EXPECT_EQ(entry(t, 3 * nx + p, p).re, 0.0);
        EXPECT_EQ(entry(t, 3 * nx + p, p).im, 1.875);
    }
    // Block (3, 2) keeps reps_yy = eps_yy, since eps_yz = 0.
    const SparseMatrix curl = d.dxb.matmul(d.dxf);  // mu_zz = 1
    for (std::size_t p = 0; p < nx; ++p) {
        EXPECT_EQ(entry(t, 2 * nx + p, nx + p).im, -(entry(curl, p, p).re + 2.0));
    }
}

// Exchanging the x and y axes is a reflection: E' = S E, H' = -S H, eps' = S eps S^T, so the
// operator of the transposed cross-section is the original one under that signed permutation.
TEST(TensorialOperator, AxisExchangeIsASignedPermutation) {
    const Grid g;
    const Grid h = g.swapped();
    const std::size_t n = g.n();
    const MaterialTensor eps = anisotropic(n, 3.0, 8);
    const MaterialTensor mu = anisotropic(n, 1.5, 9);
    auto transpose_grid = [&](const Vector& v) {
        Vector out(n);
        for (std::size_t ix = 0; ix < g.nx; ++ix) {
            for (std::size_t iy = 0; iy < g.ny; ++iy) out[iy * g.nx + ix] = v[ix * g.ny + iy];
        }
        return out;
    };
    auto reflect = [&](const MaterialTensor& t) {
        constexpr std::size_t s[3] = {1, 0, 2};
        MaterialTensor out;
        for (std::size_t r = 0; r < 3; ++r) {
            for (std::size_t c = 0; c < 3; ++c) out[r][c] = transpose_grid(t[s[r]][s[c]]);
        }
        return out;
    };
    auto permute = [&](const Vector& v) {
        Vector out = transpose_grid(part(v, 1, n));
        for (const Vector& b : {transpose_grid(part(v, 0, n)),
                                scaled({-1, 0}, transpose_grid(part(v, 3, n))),
                                scaled({-1, 0}, transpose_grid(part(v, 2, n)))}) {
            out.insert(out.end(), b.begin(), b.end());
        }
        return out;
    };
    const MaterialTensor eps_r = reflect(eps), mu_r = reflect(mu);
    const SparseMatrix t = assemble_sparse_tensorial_operator(eps, mu, g.derivatives(eps, mu));
    const SparseMatrix t_r =
        assemble_sparse_tensorial_operator(eps_r, mu_r, h.derivatives(eps_r, mu_r));
    for (unsigned seed : {10u, 11u}) {
        const Vector v = random_vector(4 * n, seed);
        EXPECT_LT(relative_difference(t_r.matvec(permute(v)), permute(t.matvec(v))), 1e-13);
    }
    // eps comes first: exchanging the tensors changes the operator.
    const Vector v = random_vector(4 * n, 12);
    const SparseMatrix t_swapped =
        assemble_sparse_tensorial_operator(mu, eps, g.derivatives(eps, mu));
    EXPECT_GT(relative_difference(t_swapped.matvec(v), t.matvec(v)), 0.1);
}

// TE10 of a hollow metal box of width a and height b. Ey lives on the x nodes ix * hx
// (forward differences act on E and the electric low wall drops node 0; node nx is the
// high wall) and is constant along y, so with a = nx * hx both walls are exact.
struct HollowBox {
    std::size_t nx, ny;
    double a = 0.8, b = 0.4, wavelength = 1.0;
    double k0() const { return 2.0 * std::numbers::pi / wavelength; }
    double hx() const { return a / double(nx); }

    DerivativeSet derivatives() const {
        const std::vector<double> sx(nx, hx()), sy(ny, b / double(ny));
        const MaterialTensor vac = isotropic(nx * ny, Complex{1, 0});
        return sparse_derivative_matrices_for_solve(nx, ny, {sx, sy}, {sx, sy}, false, std::nullopt,
                                                    1.0 / k0(), false, vac, vac, 0, 0,
                                                    PmlParameters{}, true, true)
            .value();
    }
    Vector te10() const {
        Vector e(2 * nx * ny);
        for (std::size_t ix = 0; ix < nx; ++ix) {
            for (std::size_t iy = 0; iy < ny; ++iy) {
                const double phase = std::numbers::pi * double(ix) / double(nx);
                e[nx * ny + ix * ny + iy] = {std::sin(phase), 0.0};
            }
        }
        return e;
    }
    // -neff^2 of the continuous guide and of the discrete one (the second difference of a
    // sampled sine is the sine times -(2 sin(pi hx / 2a) / hx)^2).
    double exact_eigenvalue() const {
        const double c = std::numbers::pi / (k0() * a);
        return -(1.0 - c * c);
    }
    double discrete_eigenvalue() const {
        const double c = 2.0 * std::sin(std::numbers::pi / (2.0 * double(nx))) / (k0() * hx());
        return -(1.0 - c * c);
    }
};

double rayleigh_quotient(const SparseMatrix& a, const Vector& v) {
    const Vector av = a.matvec(v);
    Complex num{};
    for (std::size_t i = 0; i < v.size(); ++i) num += conj(v[i]) * av[i];
    return num.re / (norm(v) * norm(v));
}

TEST(PhysicsCheck, HollowBoxTe10IsAnEigenvectorOfTheDiagonalOperator) {
    double previous_error = 0.0;
    for (std::size_t refine : {1u, 2u}) {
        const HollowBox box{20 * refine, 10 * refine};
        const DerivativeSet d = box.derivatives();
        const MaterialTensor vac = isotropic(box.nx * box.ny, Complex{1, 0});
        const SparseDiagonalOperators ops = assemble_sparse_diagonal_operators(vac, vac, d);
        const Vector e = box.te10();
        // An eigenvector of the discrete problem to rounding ...
        const Vector eigen_e = scaled({box.discrete_eigenvalue(), 0}, e);
        EXPECT_LT(relative_difference(ops.eigen_operator.matvec(e), eigen_e), 1e-12);
        // ... whose eigenvalue approaches the guide's with second-order error.
        const double error =
            std::fabs(rayleigh_quotient(ops.eigen_operator, e) - box.exact_eigenvalue());
        EXPECT_LT(error, 2e-3);
        if (refine == 2) {
            EXPECT_GT(previous_error / error, 3.9);
            EXPECT_LT(previous_error / error, 4.1);
        }
        previous_error = error;
    }
}

TEST(PhysicsCheck, HollowBoxTe10IsAnEigenvectorOfTheTensorialOperator) {
    const HollowBox box{30, 12};
    const std::size_t n = box.nx * box.ny;
    const DerivativeSet d = box.derivatives();
    const MaterialTensor vac = isotropic(n, Complex{1, 0});
    const SparseDiagonalOperators ops = assemble_sparse_diagonal_operators(vac, vac, d);
    const SparseMatrix t = assemble_sparse_tensorial_operator(vac, vac, d);
    // H = -i e_to_h E / neff, so (E, H) has eigenvalue neff itself.
    const double neff = std::sqrt(-box.discrete_eigenvalue());
    const Vector e = box.te10();
    const Vector h = scaled({0.0, -1.0 / neff}, ops.e_to_h.matvec(e));
    const Vector eh = concat(e, h);
    EXPECT_LT(relative_difference(t.matvec(eh), scaled({neff, 0}, eh)), 1e-12);
    EXPECT_NEAR(neff, std::sqrt(-box.exact_eigenvalue()), 2e-3);
}

}  // namespace
}  // namespace corvane
