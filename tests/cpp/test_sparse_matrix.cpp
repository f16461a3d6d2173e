#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "common/internal_error.hpp"
#include "sparse_matrix/sparse_matrix.hpp"

namespace corvane {
namespace {

using Dense = std::vector<std::vector<Complex>>;

Dense to_dense(const SparseMatrix& m) {
    Dense d(m.rows, std::vector<Complex>(m.cols));
    for (std::size_t c = 0; c < m.cols; ++c) {
        const ColumnEntries e = m.column_entries(c);
        for (std::size_t k = 0; k < e.size; ++k) d[e.rows[k]][c] = e.values[k];
    }
    return d;
}

// Rows strictly ascending within each column, below rows, and no stored zero.
void expect_canonical(const SparseMatrix& m) {
    ASSERT_EQ(m.col_ptr.size(), m.cols + 1);
    EXPECT_EQ(m.col_ptr.front(), 0u);
    EXPECT_EQ(m.col_ptr.back(), m.nnz());
    ASSERT_EQ(m.row_indices.size(), m.values.size());
    for (std::size_t c = 0; c < m.cols; ++c) {
        for (std::size_t p = m.col_ptr[c]; p < m.col_ptr[c + 1]; ++p) {
            EXPECT_LT(m.row_indices[p], m.rows);
            if (p > m.col_ptr[c]) {
                EXPECT_LT(m.row_indices[p - 1], m.row_indices[p]);
            }
            EXPECT_FALSE(is_zero(m.values[p]));
        }
    }
}

bool same_bits(Complex a, Complex b) {
    return std::memcmp(&a, &b, sizeof(Complex)) == 0;
}

void expect_dense_eq(const Dense& got, const Dense& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t r = 0; r < got.size(); ++r) {
        ASSERT_EQ(got[r].size(), want[r].size());
        for (std::size_t c = 0; c < got[r].size(); ++c) {
            EXPECT_TRUE(same_bits(got[r][c], want[r][c]))
                << "(" << r << ", " << c << "): " << got[r][c].re << "+" << got[r][c].im << "i vs "
                << want[r][c].re << "+" << want[r][c].im << "i";
        }
    }
}

// Small integer-valued entries make cancellations and exact comparisons likely.
SparseMatrix random_matrix(std::size_t rows, std::size_t cols, double density, std::mt19937& rng) {
    std::uniform_real_distribution<double> coin(0.0, 1.0);
    std::uniform_int_distribution<int> value(-3, 3);
    std::vector<Triplet> triplets;
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < cols; ++c) {
            if (coin(rng) < density) {
                triplets.push_back({r, c, {double(value(rng)), double(value(rng))}});
            }
        }
    }
    std::shuffle(triplets.begin(), triplets.end(), rng);
    return SparseMatrix::from_triplets(rows, cols, std::move(triplets));
}

std::string error_text(const auto& fn) {
    try {
        fn();
    } catch (const InternalError& e) {
        return e.what();
    }
    return "<no error>";
}

TEST(SparseMatrixConstruction, DuplicatesSumInOrderAndCancellationDrops) {
    const SparseMatrix m = SparseMatrix::from_triplets(
        2, 2, {{0, 0, {1, 2}}, {1, 1, {3, 0}}, {0, 0, {4, -2}}, {1, 1, {-3, 0}}});
    expect_canonical(m);
    EXPECT_EQ(m.nnz(), 1u);
    EXPECT_TRUE(same_bits(m.values[0], {5, 0}));
}

TEST(SparseMatrixConstruction, ZeroTripletsAreSkippedButStillChecked) {
    const SparseMatrix m = SparseMatrix::from_triplets(2, 2, {{0, 1, {0.0, 0.0}}, {1, 0, {-0.0, 0.0}}});
    EXPECT_EQ(m.nnz(), 0u);
    EXPECT_EQ(error_text([] { SparseMatrix::from_triplets(2, 2, {{2, 0, {0.0, 0.0}}}); }),
              "assertion failed: row < rows");
    EXPECT_EQ(error_text([] { SparseMatrix::from_triplets(2, 2, {{0, 2, {1.0, 0.0}}}); }),
              "assertion failed: col < cols");
    // The row check comes first.
    EXPECT_EQ(error_text([] { SparseMatrix::from_triplets(2, 2, {{5, 5, {1.0, 0.0}}}); }),
              "assertion failed: row < rows");
}

TEST(SparseMatrixConstruction, NanIsNeverZeroAndSignedZeroIsNormalised) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const SparseMatrix m =
        SparseMatrix::from_triplets(2, 1, {{0, 0, {nan, 0.0}}, {1, 0, {-0.0, 1.0}}});
    ASSERT_EQ(m.nnz(), 2u);
    EXPECT_TRUE(std::isnan(m.values[0].re));
    // Summation starts from +0, so a -0.0 part becomes +0.0.
    EXPECT_FALSE(std::signbit(m.values[1].re));
}

TEST(SparseMatrixConstruction, EmptyShapes) {
    const SparseMatrix m = SparseMatrix::from_triplets(3, 2, {});
    EXPECT_EQ(m.col_ptr, (std::vector<std::size_t>{0, 0, 0}));
    const SparseMatrix none = SparseMatrix::from_triplets(4, 0, {});
    EXPECT_EQ(none.col_ptr, (std::vector<std::size_t>{0}));
    EXPECT_EQ(none.matvec({}), std::vector<Complex>(4));
    EXPECT_EQ(SparseMatrix::diagonal({}).rows, 0u);
}

TEST(SparseMatrixConstruction, ColumnMapsDropZerosAndCheckCount) {
    std::vector<ColumnMap> maps(2);
    maps[0][1] = {2, 0};
    maps[0][0] = {0, 0};
    maps[1][0] = {1, 1};
    const SparseMatrix m = SparseMatrix::from_column_maps(2, 2, std::move(maps));
    expect_canonical(m);
    EXPECT_EQ(m.row_indices, (std::vector<std::size_t>{1, 0}));
    EXPECT_THROW(SparseMatrix::from_column_maps(2, 3, std::vector<ColumnMap>(2)), InternalError);
}

TEST(SparseMatrixConstruction, DiagonalSkipsZeros) {
    const std::vector<Complex> d{{1, 0}, {0, 0}, {2, 0}};
    const SparseMatrix m = SparseMatrix::diagonal(d);
    EXPECT_EQ(m.rows, 3u);
    EXPECT_EQ(m.row_indices, (std::vector<std::size_t>{0, 2}));
    EXPECT_EQ(m.col_ptr, (std::vector<std::size_t>{0, 1, 1, 2}));
}

TEST(SparseMatrixOperations, ShiftedDiagonalRemovesExactMatchAndFillsGaps) {
    const Complex sigma{2, 1};
    const SparseMatrix a = SparseMatrix::from_triplets(
        3, 3, {{0, 0, sigma}, {1, 0, {5, 0}}, {0, 2, {7, 0}}, {2, 2, {4, 0}}});
    const SparseMatrix s = a.shifted_diagonal(sigma);
    expect_canonical(s);
    Dense want(3, std::vector<Complex>(3));
    want[1][0] = {5, 0};
    want[1][1] = Complex{0, 0} - sigma;
    want[0][2] = {7, 0};
    want[2][2] = Complex{4, 0} - sigma;
    expect_dense_eq(to_dense(s), want);
    EXPECT_THROW(SparseMatrix::from_triplets(2, 3, {}).shifted_diagonal(sigma), InternalError);
}

TEST(SparseMatrixOperations, ScaleKeepsPatternAndAddDropsItsZeros) {
    std::mt19937 rng(7);
    const SparseMatrix a = random_matrix(5, 4, 0.5, rng);
    const SparseMatrix z = a.scale({0, 0});
    EXPECT_EQ(z.col_ptr, a.col_ptr);
    EXPECT_EQ(z.row_indices, a.row_indices);
    for (const Complex& v : z.values) EXPECT_TRUE(is_zero(v));
    SparseMatrix copy = a;
    const SparseMatrix moved = std::move(copy).scale({0.5, -2.0});
    const SparseMatrix kept = a.scale({0.5, -2.0});
    EXPECT_EQ(moved.values, kept.values);
    EXPECT_EQ(moved.row_indices, a.row_indices);
    const SparseMatrix sum = z.add(SparseMatrix::from_triplets(5, 4, {}));
    EXPECT_EQ(sum.nnz(), 0u);
    EXPECT_EQ(a.sub(a).nnz(), 0u);
}

TEST(SparseMatrixOperations, ShapeChecksAreInternalErrors) {
    const SparseMatrix a = SparseMatrix::from_triplets(2, 3, {});
    const SparseMatrix b = SparseMatrix::from_triplets(3, 2, {});
    EXPECT_THROW(a.add(b), InternalError);
    EXPECT_THROW(a.matmul(a), InternalError);
    EXPECT_THROW(a.matvec(std::vector<Complex>(2)), InternalError);
    EXPECT_THROW(a.column_entries(3), InternalError);
    EXPECT_NO_THROW(a.matmul(b));
}

TEST(SparseMatrixOperations, MatvecSkipsZeroColumnsEvenWithNan) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const SparseMatrix m =
        SparseMatrix::from_triplets(2, 2, {{0, 0, {nan, 0}}, {1, 1, {2, 0}}, {0, 1, {1, 0}}});
    const std::vector<Complex> y = m.matvec(std::vector<Complex>{{0, 0}, {1, 0}});
    EXPECT_TRUE(same_bits(y[0], {1, 0}));
    EXPECT_TRUE(same_bits(y[1], {2, 0}));
    const std::vector<Complex> zero = m.matvec(std::vector<Complex>{{-0.0, 0}, {0, 0}});
    EXPECT_TRUE(same_bits(zero[0], {0, 0}));
}

TEST(SparseMatrixBlocks, BlockGridChecksInOrder) {
    const SparseMatrix a = SparseMatrix::from_triplets(2, 2, {});
    const SparseMatrix b = SparseMatrix::from_triplets(3, 2, {});
    EXPECT_EQ(error_text([] { SparseMatrix::block_grid({}); }), "assertion failed: !blocks.is_empty()");
    EXPECT_EQ(error_text([] { SparseMatrix::block_grid({BlockRow{}}); }),
              "assertion failed: !blocks[0].is_empty()");
    EXPECT_EQ(error_text([&] { SparseMatrix::block_grid({{a, a}, {a}}); }),
              "assertion failed: blocks.iter().all(|row| row.len() == block_cols)");
    EXPECT_THROW(SparseMatrix::block_grid({{a, b}}), InternalError);
    EXPECT_THROW(SparseMatrix::block_2x2(a, b, a, a), InternalError);
    const SparseMatrix single = SparseMatrix::block_grid({{a}});
    EXPECT_EQ(single.rows, 2u);
}

// Randomised comparison of every arithmetic operation with a dense reference evaluated in
// the same summation order, bit for bit.
class SparseMatrixRandom : public ::testing::TestWithParam<int> {};

TEST_P(SparseMatrixRandom, AgreesWithDenseReference) {
    std::mt19937 rng(GetParam());
    std::uniform_int_distribution<std::size_t> dim(0, 6);
    const std::size_t r = dim(rng), k = dim(rng), c = dim(rng);
    const SparseMatrix a = random_matrix(r, k, 0.4, rng);
    const SparseMatrix a2 = random_matrix(r, k, 0.4, rng);
    const SparseMatrix b = random_matrix(k, c, 0.4, rng);
    expect_canonical(a);
    const Dense da = to_dense(a), da2 = to_dense(a2), db = to_dense(b);

    Dense sum(r, std::vector<Complex>(k)), diff(r, std::vector<Complex>(k));
    for (std::size_t i = 0; i < r; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
            sum[i][j] = Complex{} + da[i][j] + da2[i][j];
            diff[i][j] = Complex{} + da[i][j] + da2[i][j] * Complex{-1, 0};
        }
    }
    const SparseMatrix s = a.add(a2), d = a.sub(a2);
    expect_canonical(s);
    expect_canonical(d);
    expect_dense_eq(to_dense(s), sum);
    expect_dense_eq(to_dense(d), diff);

    Dense prod(r, std::vector<Complex>(c));
    for (std::size_t i = 0; i < r; ++i) {
        for (std::size_t j = 0; j < c; ++j) {
            for (std::size_t q = 0; q < k; ++q) prod[i][j] += da[i][q] * db[q][j];
        }
    }
    const SparseMatrix p = a.matmul(b);
    expect_canonical(p);
    // Structural zeros contribute exact zeros in the dense sum, so the values agree when the
    // dense reference skips them too; compare numerically here.
    const Dense dp = to_dense(p);
    for (std::size_t i = 0; i < r; ++i) {
        for (std::size_t j = 0; j < c; ++j) {
            EXPECT_EQ(dp[i][j].re, prod[i][j].re);
            EXPECT_EQ(dp[i][j].im, prod[i][j].im);
        }
    }

    std::vector<Complex> x(k);
    for (std::size_t q = 0; q < k; ++q) x[q] = {double(q % 3), double(q % 2) - 1.0};
    const std::vector<Complex> y = a.matvec(x);
    for (std::size_t i = 0; i < r; ++i) {
        Complex want{};
        for (std::size_t q = 0; q < k; ++q) want += da[i][q] * x[q];
        EXPECT_EQ(y[i].re, want.re);
        EXPECT_EQ(y[i].im, want.im);
    }

    const SparseMatrix e = random_matrix(dim(rng), c, 0.4, rng);
    const SparseMatrix f = random_matrix(e.rows, k, 0.4, rng);
    const SparseMatrix g = SparseMatrix::block_2x2(p, a, e, f);
    const SparseMatrix grid = SparseMatrix::block_grid({{p, a}, {e, f}});
    expect_canonical(g);
    EXPECT_EQ(g.col_ptr, grid.col_ptr);
    EXPECT_EQ(g.row_indices, grid.row_indices);
    const Dense dg = to_dense(g), de = to_dense(e), df = to_dense(f);
    for (std::size_t i = 0; i < g.rows; ++i) {
        for (std::size_t j = 0; j < g.cols; ++j) {
            const Complex want = i < r ? (j < c ? dp[i][j] : da[i][j - c])
                                       : (j < c ? de[i - r][j] : df[i - r][j - c]);
            EXPECT_TRUE(same_bits(dg[i][j], want));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, SparseMatrixRandom, ::testing::Range(0, 40));

}  // namespace
}  // namespace corvane
