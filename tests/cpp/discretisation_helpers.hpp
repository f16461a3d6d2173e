// Helpers shared by the derivative, PML, solve-input and operator tests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "derivatives/derivatives.hpp"
#include "sparse_matrix/sparse_matrix.hpp"

namespace corvane::testing {

using Dense = std::vector<std::vector<Complex>>;

inline Dense to_dense(const SparseMatrix& m) {
    Dense d(m.rows, std::vector<Complex>(m.cols));
    for (std::size_t c = 0; c < m.cols; ++c) {
        const ColumnEntries e = m.column_entries(c);
        for (std::size_t k = 0; k < e.size; ++k) d[e.rows[k]][c] = e.values[k];
    }
    return d;
}

// Real parts of a real-valued matrix, row by row; every imaginary part must be 0.
inline std::vector<std::vector<double>> real_rows(const SparseMatrix& m) {
    std::vector<std::vector<double>> out(m.rows, std::vector<double>(m.cols, 0.0));
    const Dense d = to_dense(m);
    for (std::size_t r = 0; r < m.rows; ++r) {
        for (std::size_t c = 0; c < m.cols; ++c) {
            EXPECT_EQ(d[r][c].im, 0.0) << "(" << r << ", " << c << ")";
            out[r][c] = d[r][c].re;
        }
    }
    return out;
}

// The stored value at (row, col), or 0 + 0i.
inline Complex entry(const SparseMatrix& m, std::size_t row, std::size_t col) {
    const ColumnEntries e = m.column_entries(col);
    for (std::size_t k = 0; k < e.size; ++k) {
        if (e.rows[k] == row) return e.values[k];
    }
    return {};
}

inline bool same_bits(Complex a, Complex b) { return std::memcmp(&a, &b, sizeof(Complex)) == 0; }

// Same shape, same stored pattern, same bits in every stored value.
inline void expect_identical(const SparseMatrix& a, const SparseMatrix& b) {
    ASSERT_EQ(a.rows, b.rows);
    ASSERT_EQ(a.cols, b.cols);
    ASSERT_EQ(a.col_ptr, b.col_ptr);
    ASSERT_EQ(a.row_indices, b.row_indices);
    for (std::size_t k = 0; k < a.nnz(); ++k) {
        EXPECT_TRUE(same_bits(a.values[k], b.values[k]))
            << "entry " << k << ": " << a.values[k].re << "+" << a.values[k].im << "i vs "
            << b.values[k].re << "+" << b.values[k].im << "i";
    }
}

// Numerically equal as dense matrices (signed zeros compare equal).
inline void expect_equal_values(const SparseMatrix& a, const SparseMatrix& b) {
    ASSERT_EQ(a.rows, b.rows);
    ASSERT_EQ(a.cols, b.cols);
    const Dense da = to_dense(a);
    const Dense db = to_dense(b);
    for (std::size_t r = 0; r < a.rows; ++r) {
        for (std::size_t c = 0; c < a.cols; ++c) {
            EXPECT_EQ(da[r][c].re, db[r][c].re) << "(" << r << ", " << c << ")";
            EXPECT_EQ(da[r][c].im, db[r][c].im) << "(" << r << ", " << c << ")";
        }
    }
}

// A tensor holding value on its diagonal and zero elsewhere in every one of n cells.
inline MaterialTensor isotropic(std::size_t n, Complex value) {
    MaterialTensor t;
    for (std::size_t r = 0; r < 3; ++r) {
        for (std::size_t c = 0; c < 3; ++c) t[r][c].assign(n, r == c ? value : Complex{});
    }
    return t;
}

}  // namespace corvane::testing
