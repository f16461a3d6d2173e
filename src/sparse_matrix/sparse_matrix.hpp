// The immutable complex sparse matrix in compressed-column form. Every constructor except
// scale yields sorted row indices within each column and no stored zero values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <vector>

#include "common/complex.hpp"

namespace corvane {

struct Triplet {
    std::size_t row = 0;
    std::size_t col = 0;
    Complex value;
};

// Ordered row -> value map of one column.
using ColumnMap = std::map<std::size_t, Complex>;

// The stored entries of one column, in ascending row order.
struct ColumnEntries {
    const std::size_t* rows;
    const Complex* values;
    std::size_t size;
};

class SparseMatrix;
// The blocks of one block row, left to right.
using BlockRow = std::vector<std::reference_wrapper<const SparseMatrix>>;

class SparseMatrix {
public:
    std::vector<std::size_t> col_ptr{0};
    std::vector<std::size_t> row_indices;
    std::vector<Complex> values;
    std::size_t rows = 0;
    std::size_t cols = 0;

    // Duplicates are summed in list order starting from zero; zero values are dropped.
    static SparseMatrix from_triplets(std::size_t rows, std::size_t cols,
                                      std::vector<Triplet> triplets);
    static SparseMatrix from_column_maps(std::size_t rows, std::size_t cols,
                                         std::vector<ColumnMap> maps);
    static SparseMatrix diagonal(std::span<const Complex> values);
    static SparseMatrix block_2x2(const SparseMatrix& a, const SparseMatrix& b,
                                  const SparseMatrix& c, const SparseMatrix& d);
    static SparseMatrix block_grid(const std::vector<BlockRow>& blocks);

    std::size_t nnz() const { return values.size(); }
    ColumnEntries column_entries(std::size_t col) const;

    // self - sigma I
    SparseMatrix shifted_diagonal(Complex sigma) const;
    SparseMatrix add(const SparseMatrix& other) const;
    SparseMatrix sub(const SparseMatrix& other) const;
    // Every stored value times factor; the pattern is kept, zeros included.
    SparseMatrix scale(Complex factor) const&;
    // The same on a temporary, reusing its storage.
    SparseMatrix scale(Complex factor) &&;
    SparseMatrix matmul(const SparseMatrix& other) const;
    std::vector<Complex> matvec(std::span<const Complex> x) const;
};

}  // namespace corvane
