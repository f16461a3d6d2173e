// The library's own sparse LU with partial row pivoting and no column reordering
// (left-looking Gilbert-Peierls): P B = L U, L unit lower triangular.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "common/complex.hpp"
#include "common/result.hpp"
#include "sparse_matrix/sparse_matrix.hpp"

namespace corvane {

struct LuEntry {
    std::size_t row = 0;
    Complex value;
};

// Columns of (row, value) pairs stored back to back; column k is
// entries[col_ptr[k]] .. entries[col_ptr[k + 1] - 1].
struct LuColumns {
    std::vector<std::size_t> col_ptr{0};
    std::vector<LuEntry> entries;

    std::size_t size() const { return col_ptr.size() - 1; }
    std::span<const LuEntry> column(std::size_t k) const {
        return {entries.data() + col_ptr[k], col_ptr[k + 1] - col_ptr[k]};
    }
};

class SparseLu {
public:
    // Strictly lower part of L; rows are pivot steps, each column in the reach order of
    // its step.
    LuColumns lower;
    // U; rows are pivot steps, the diagonal pair (k, U[k][k]) last in column k.
    LuColumns upper;
    // row_pivots[i]: the pivot step at which row i of B was chosen (a permutation).
    std::vector<std::size_t> row_pivots;
    std::size_t n = 0;

    static Result<SparseLu> factor(const SparseMatrix& b);
    // x with B x = rhs.
    Result<std::vector<Complex>> solve(std::span<const Complex> rhs) const;
};

}  // namespace corvane
