#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <cmath>
#include <complex>
#include <vector>

#include "eigensolve/sparse_lu.hpp"
#include "eigensolve/testing.hpp"
#include "eigensolve/umfpack_lu.hpp"
#include "eigensolve_fixtures.hpp"

namespace corvane {
namespace {

using fixtures::from_dense;
using fixtures::random_sparse;
using fixtures::random_vector;

struct Pair {
    std::size_t row;
    Complex value;
};

void expect_column(const LuColumns& columns, std::size_t k, const std::vector<Pair>& want) {
    const auto got = columns.column(k);
    ASSERT_EQ(got.size(), want.size()) << "column " << k;
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].row, want[i].row) << "column " << k << " pair " << i;
        EXPECT_NEAR(got[i].value.re, want[i].value.re, 1e-15) << "column " << k << " pair " << i;
        EXPECT_NEAR(got[i].value.im, want[i].value.im, 1e-15) << "column " << k << " pair " << i;
    }
}

void expect_vector_near(const std::vector<Complex>& got, const std::vector<Complex>& want,
                        double tol) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_NEAR(got[i].re, want[i].re, tol) << "entry " << i;
        EXPECT_NEAR(got[i].im, want[i].im, tol) << "entry " << i;
    }
}

std::vector<Complex> real_vector(std::initializer_list<double> v) {
    std::vector<Complex> out;
    for (const double x : v) out.push_back({x, 0.0});
    return out;
}

// Partial-pivoting dense LU of the same matrix, as an independent reference.
std::vector<Complex> dense_solve(const SparseMatrix& b, const std::vector<Complex>& rhs) {
    const auto n = static_cast<Eigen::Index>(b.rows);
    Eigen::MatrixXcd m = Eigen::MatrixXcd::Zero(n, n);
    for (std::size_t c = 0; c < b.cols; ++c) {
        const ColumnEntries e = b.column_entries(c);
        for (std::size_t q = 0; q < e.size; ++q) {
            m(static_cast<Eigen::Index>(e.rows[q]), static_cast<Eigen::Index>(c)) = {
                e.values[q].re, e.values[q].im};
        }
    }
    Eigen::VectorXcd r(n);
    for (Eigen::Index i = 0; i < n; ++i) r(i) = {rhs[i].re, rhs[i].im};
    const Eigen::VectorXcd x = m.partialPivLu().solve(r);
    std::vector<Complex> out(rhs.size());
    for (Eigen::Index i = 0; i < n; ++i) out[i] = {x(i).real(), x(i).imag()};
    return out;
}

TEST(SparseLu, OneByOne) {
    const Complex b{2.0, -1.0};
    auto lu = SparseLu::factor(from_dense({{b}}));
    ASSERT_TRUE(lu) << lu.error().text;
    EXPECT_EQ(lu->n, 1u);
    expect_column(lu->lower, 0, {});
    expect_column(lu->upper, 0, {{0, b}});
    EXPECT_EQ(lu->row_pivots, std::vector<std::size_t>{0});
    const Complex r{3.0, 5.0};
    const auto x = lu->solve(std::vector<Complex>{r});
    ASSERT_TRUE(x);
    EXPECT_EQ(x->at(0).re, div(r, b).re);
    EXPECT_EQ(x->at(0).im, div(r, b).im);
}

TEST(SparseLu, PivotsOnLargerRow) {
    auto lu = SparseLu::factor(from_dense({{{1, 0}, {2, 0}}, {{3, 0}, {4, 0}}}));
    ASSERT_TRUE(lu) << lu.error().text;
    EXPECT_EQ(lu->row_pivots, (std::vector<std::size_t>{1, 0}));
    expect_column(lu->lower, 0, {{1, {1.0 / 3.0, 0}}});
    expect_column(lu->lower, 1, {});
    expect_column(lu->upper, 0, {{0, {3, 0}}});
    expect_column(lu->upper, 1, {{0, {4, 0}}, {1, {2.0 / 3.0, 0}}});
    expect_vector_near(lu->solve(real_vector({5, 6})).value(), real_vector({-4, 4.5}), 1e-14);
}

TEST(SparseLu, PrefersDiagonalWhenAtLeastAsLarge) {
    auto lu = SparseLu::factor(from_dense(
        {{{0, 0}, {4, 0}, {1, 0}}, {{0, 0}, {-4, 0}, {0, 0}}, {{1, 0}, {0, 0}, {0, 0}}}));
    ASSERT_TRUE(lu) << lu.error().text;
    EXPECT_EQ(lu->row_pivots, (std::vector<std::size_t>{2, 1, 0}));
    expect_column(lu->lower, 1, {{2, {-1, 0}}});
    expect_vector_near(lu->solve(real_vector({1, 2, 3})).value(), real_vector({3, -0.5, 3}),
                       1e-15);
}

TEST(SparseLu, TieGoesToLastCandidateInReachOrder) {
    // Column 0 reaches rows (2, 1) with equal moduli and has no diagonal entry.
    auto lu = SparseLu::factor(from_dense(
        {{{0, 0}, {1, 0}, {0, 0}}, {{1, 0}, {0, 0}, {0, 0}}, {{1, 0}, {0, 0}, {1, 0}}}));
    ASSERT_TRUE(lu) << lu.error().text;
    EXPECT_EQ(lu->row_pivots, (std::vector<std::size_t>{1, 0, 2}));
    expect_column(lu->lower, 0, {{2, {1, 0}}});
    expect_vector_near(lu->solve(real_vector({1, 2, 3})).value(), real_vector({2, 1, 1}), 1e-15);
}

TEST(SparseLu, EmptyMatrix) {
    auto lu = SparseLu::factor(SparseMatrix::from_triplets(0, 0, {}));
    ASSERT_TRUE(lu) << lu.error().text;
    EXPECT_EQ(lu->lower.size(), 0u);
    EXPECT_EQ(lu->upper.size(), 0u);
    EXPECT_TRUE(lu->row_pivots.empty());
    auto x = lu->solve({});
    ASSERT_TRUE(x);
    EXPECT_TRUE(x->empty());
}

TEST(SparseLu, Failures) {
    const SparseMatrix wide = SparseMatrix::from_triplets(2, 3, {{0, 0, {1, 0}}});
    EXPECT_EQ(SparseLu::factor(wide).error().text, "LU factorization requires a square matrix");

    // Column 1 only touches row 0, which column 0 already took.
    const SparseMatrix structurally_singular = from_dense({{{1, 0}, {1, 0}}, {{0, 0}, {0, 0}}});
    EXPECT_EQ(SparseLu::factor(structurally_singular).error().text,
              "sparse LU failed to find a complete pivot set");
    const SparseMatrix empty_column = from_dense({{{1, 0}, {0, 0}}, {{1, 0}, {0, 0}}});
    EXPECT_EQ(SparseLu::factor(empty_column).error().text,
              "sparse LU failed to find a complete pivot set");

    auto lu = SparseLu::factor(from_dense({{{1, 0}, {2, 0}}, {{3, 0}, {4, 0}}}));
    ASSERT_TRUE(lu);
    EXPECT_EQ(lu->solve(real_vector({1})).error().text,
              "right-hand side length does not match LU size");
}

TEST(SparseLu, NumericallySingularTakesZeroPivot) {
    auto lu = SparseLu::factor(from_dense({{{1, 0}, {1, 0}}, {{1, 0}, {1, 0}}}));
    ASSERT_TRUE(lu) << lu.error().text;
    const auto x = lu->solve(real_vector({1, 2})).value();
    EXPECT_FALSE(std::isfinite(x[0].re) && std::isfinite(x[1].re));
}

TEST(SparseLu, MatchesDenseReferenceOnRandomComplexMatrices) {
    for (unsigned seed = 1; seed <= 6; ++seed) {
        const std::size_t n = 20 + 17 * seed;
        const SparseMatrix b = random_sparse(n, 0.06, seed);
        auto lu = SparseLu::factor(b);
        ASSERT_TRUE(lu) << lu.error().text;
        // The pivots form a permutation.
        std::vector<bool> seen(n);
        for (const std::size_t p : lu->row_pivots) {
            ASSERT_LT(p, n);
            EXPECT_FALSE(seen[p]);
            seen[p] = true;
        }
        const auto rhs = random_vector(n, 100 + seed);
        expect_vector_near(lu->solve(rhs).value(), dense_solve(b, rhs), 1e-10);
    }
}

TEST(SparseLu, FactorsAfterShiftCancelsDiagonal) {
    const Complex sigma{0.5, 0.25};
    std::vector<Triplet> t = {{0, 0, sigma}, {1, 0, {2, 0}}, {0, 1, {1, 1}}, {1, 1, {3, 0}},
                              {2, 1, {1, 0}}, {1, 2, {-1, 0}}, {2, 2, {4, 0}}};
    const SparseMatrix b = SparseMatrix::from_triplets(3, 3, std::move(t)).shifted_diagonal(sigma);
    ASSERT_EQ(b.column_entries(0).size, 1u);  // (0, 0) cancelled exactly
    const auto rhs = random_vector(3, 7);
    const auto want = dense_solve(b, rhs);

    auto lu = SparseLu::factor(b);
    ASSERT_TRUE(lu) << lu.error().text;
    EXPECT_EQ(lu->row_pivots[1], 0u);
    expect_vector_near(lu->solve(rhs).value(), want, 1e-13);

    auto u = UmfpackLu::factor(b);
    ASSERT_TRUE(u) << u.error().text;
    expect_vector_near(u->solve(rhs).value(), want, 1e-13);
}

// A chain through L as long as the matrix: column n - 1 reaches every row. A recursive
// search would exhaust the stack here.
TEST(SparseLu, DeepReachChain) {
    const std::size_t n = 1'000'000;
    std::vector<Triplet> t;
    for (std::size_t k = 0; k < n; ++k) {
        t.push_back({k, k, {1, 0}});
        if (k + 1 < n) t.push_back({k + 1, k, {0.5, 0.1}});
    }
    t.push_back({0, n - 1, {1, 0}});
    const SparseMatrix b = SparseMatrix::from_triplets(n, n, std::move(t));
    auto lu = SparseLu::factor(b);
    ASSERT_TRUE(lu) << lu.error().text;
    EXPECT_EQ(lu->upper.column(n - 1).size(), n);
    const auto rhs = random_vector(n, 3);
    const auto x = lu->solve(rhs).value();
    const auto bx = b.matvec(x);
    double worst = 0.0;
    for (std::size_t i = 0; i < n; ++i) worst = std::max(worst, abs(bx[i] - rhs[i]));
    EXPECT_LT(worst, 1e-12);
}

TEST(UmfpackLu, MatchesDenseReferenceOnRandomComplexMatrices) {
    for (unsigned seed = 1; seed <= 6; ++seed) {
        const std::size_t n = 20 + 17 * seed;
        const SparseMatrix b = random_sparse(n, 0.06, seed);
        auto lu = UmfpackLu::factor(b);
        ASSERT_TRUE(lu) << lu.error().text;
        EXPECT_EQ(lu->size(), n);
        const auto rhs = random_vector(n, 100 + seed);
        // Each solve leaves the factorisation as it was.
        const auto first = lu->solve(rhs).value();
        expect_vector_near(first, dense_solve(b, rhs), 1e-10);
        expect_vector_near(lu->solve(rhs).value(), first, 0.0);
    }
}

TEST(UmfpackLu, FallsBackToWideIndicesWhenIntRoutinesRunOutOfMemory) {
    const SparseMatrix b = random_sparse(80, 0.05, 11);
    const auto rhs = random_vector(80, 12);
    auto narrow = UmfpackLu::factor(b);
    ASSERT_TRUE(narrow) << narrow.error().text;
    EXPECT_FALSE(narrow->uses_wide_indices());

    const ScopedEigensolveFaults faults({.umfpack_int_out_of_memory = true});
    auto wide = UmfpackLu::factor(b);
    ASSERT_TRUE(wide) << wide.error().text;
    EXPECT_TRUE(wide->uses_wide_indices());
    expect_vector_near(wide->solve(rhs).value(), dense_solve(b, rhs), 1e-10);
    EXPECT_EQ(wide->solve(real_vector({1})).error().text,
              "right-hand side length does not match LU size");
    // The wide routines classify a singular matrix as the int ones do.
    EXPECT_FALSE(UmfpackLu::factor(from_dense({{{1, 0}, {1, 0}}, {{1, 0}, {1, 0}}})));
}

TEST(UmfpackLu, Failures) {
    const SparseMatrix wide = SparseMatrix::from_triplets(2, 3, {{0, 0, {1, 0}}});
    EXPECT_EQ(UmfpackLu::factor(wide).error().text, "LU factorization requires a square matrix");
    EXPECT_FALSE(UmfpackLu::factor(SparseMatrix::from_triplets(0, 0, {})));
    EXPECT_FALSE(UmfpackLu::factor(SparseMatrix::from_triplets(2, 2, {})));
    // Singular (UMFPACK's status 1 warning) is a failure.
    EXPECT_FALSE(UmfpackLu::factor(from_dense({{{1, 0}, {1, 0}}, {{1, 0}, {1, 0}}})));

    auto lu = UmfpackLu::factor(from_dense({{{1, 0}, {2, 0}}, {{3, 0}, {4, 0}}}));
    ASSERT_TRUE(lu) << lu.error().text;
    EXPECT_EQ(lu->solve(real_vector({1})).error().text,
              "right-hand side length does not match LU size");
    expect_vector_near(lu->solve(real_vector({5, 6})).value(), real_vector({-4, 4.5}), 1e-14);
}

}  // namespace
}  // namespace corvane
