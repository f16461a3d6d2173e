#include "sparse_matrix/sparse_matrix.hpp"

#include <algorithm>
#include <utility>

#include "common/internal_error.hpp"

namespace corvane {
namespace {

constexpr Complex kZero{0.0, 0.0};

// Appends one finished column: its entries must already be in ascending row order.
void close_column(SparseMatrix& m) { m.col_ptr.push_back(m.row_indices.size()); }

void push_entry(SparseMatrix& m, std::size_t row, Complex value) {
    if (is_zero(value)) return;
    m.row_indices.push_back(row);
    m.values.push_back(value);
}

SparseMatrix empty_shell(std::size_t rows, std::size_t cols, std::size_t reserve) {
    SparseMatrix m;
    m.rows = rows;
    m.cols = cols;
    m.col_ptr.reserve(cols + 1);
    m.row_indices.reserve(reserve);
    m.values.reserve(reserve);
    return m;
}

// Entries of one column gathered in list order: (row, value).
struct Entry {
    std::size_t row;
    Complex value;
};

// Stable sort by row of a short run, then duplicates summed in list order from zero.
void emit_sorted_column(SparseMatrix& m, Entry* first, Entry* last) {
    const bool sorted = std::is_sorted(first, last, [](const Entry& a, const Entry& b) {
        return a.row < b.row;
    });
    if (!sorted) {
        std::stable_sort(first, last, [](const Entry& a, const Entry& b) { return a.row < b.row; });
    }
    for (Entry* e = first; e != last;) {
        const std::size_t row = e->row;
        Complex sum = kZero;
        for (; e != last && e->row == row; ++e) sum += e->value;
        push_entry(m, row, sum);
    }
}

// Block matrix assembly shared by block_2x2 and block_grid: equal to building the triplet
// list of all blocks and calling from_triplets, without materialising it. Blocks never
// overlap, so each stored value becomes (0 + 0i) + v and exact zeros are dropped.
SparseMatrix assemble_blocks(const std::vector<std::vector<const SparseMatrix*>>& grid,
                             const std::vector<std::size_t>& heights,
                             const std::vector<std::size_t>& widths) {
    std::size_t total_rows = 0;
    std::size_t total_cols = 0;
    std::size_t nnz = 0;
    for (std::size_t h : heights) total_rows += h;
    for (std::size_t w : widths) total_cols += w;
    for (const auto& row : grid) {
        for (const SparseMatrix* b : row) nnz += b->nnz();
    }
    SparseMatrix m = empty_shell(total_rows, total_cols, nnz);
    for (std::size_t j = 0; j < widths.size(); ++j) {
        for (std::size_t c = 0; c < widths[j]; ++c) {
            std::size_t row_offset = 0;
            for (std::size_t i = 0; i < grid.size(); ++i) {
                const SparseMatrix& b = *grid[i][j];
                for (std::size_t p = b.col_ptr[c]; p < b.col_ptr[c + 1]; ++p) {
                    push_entry(m, b.row_indices[p] + row_offset, kZero + b.values[p]);
                }
                row_offset += heights[i];
            }
            close_column(m);
        }
    }
    return m;
}

}  // namespace

SparseMatrix SparseMatrix::from_column_maps(std::size_t rows, std::size_t cols,
                                            std::vector<ColumnMap> maps) {
    check_equal(maps.size(), cols);
    SparseMatrix m = empty_shell(rows, cols, 0);
    for (ColumnMap& map : maps) {
        for (const auto& [row, value] : map) push_entry(m, row, value);
        close_column(m);
        ColumnMap().swap(map);
    }
    return m;
}

SparseMatrix SparseMatrix::from_triplets(std::size_t rows, std::size_t cols,
                                         std::vector<Triplet> triplets) {
    // Counting sort by column keeps list order within a column, so duplicates are summed in
    // the order they were given.
    std::vector<std::size_t> start(cols + 1, 0);
    for (const Triplet& t : triplets) {
        internal_check(t.row < rows, "assertion failed: row < rows");
        internal_check(t.col < cols, "assertion failed: col < cols");
        if (!is_zero(t.value)) ++start[t.col + 1];
    }
    for (std::size_t c = 0; c < cols; ++c) start[c + 1] += start[c];
    std::vector<Entry> entries(start[cols]);
    {
        std::vector<std::size_t> next(start.begin(), start.end() - 1);
        for (const Triplet& t : triplets) {
            if (!is_zero(t.value)) entries[next[t.col]++] = Entry{t.row, t.value};
        }
    }
    std::vector<Triplet>().swap(triplets);

    SparseMatrix m = empty_shell(rows, cols, entries.size());
    for (std::size_t c = 0; c < cols; ++c) {
        emit_sorted_column(m, entries.data() + start[c], entries.data() + start[c + 1]);
        close_column(m);
    }
    return m;
}

ColumnEntries SparseMatrix::column_entries(std::size_t col) const {
    if (col >= cols) throw_index_error(col, cols);
    const std::size_t begin = col_ptr[col];
    return ColumnEntries{row_indices.data() + begin, values.data() + begin,
                         col_ptr[col + 1] - begin};
}

SparseMatrix SparseMatrix::diagonal(std::span<const Complex> values) {
    const std::size_t n = values.size();
    SparseMatrix m = empty_shell(n, n, n);
    for (std::size_t j = 0; j < n; ++j) {
        if (!is_zero(values[j])) push_entry(m, j, kZero + values[j]);
        close_column(m);
    }
    return m;
}

SparseMatrix SparseMatrix::shifted_diagonal(Complex sigma) const {
    check_equal(rows, cols);
    SparseMatrix m = empty_shell(rows, cols, nnz() + cols);
    for (std::size_t l = 0; l < cols; ++l) {
        bool diagonal_done = false;
        for (std::size_t p = col_ptr[l]; p < col_ptr[l + 1]; ++p) {
            const std::size_t r = row_indices[p];
            if (!diagonal_done && r >= l) {
                if (r == l) {
                    push_entry(m, l, values[p] - sigma);
                    diagonal_done = true;
                    continue;
                }
                push_entry(m, l, kZero - sigma);
                diagonal_done = true;
            }
            push_entry(m, r, values[p]);
        }
        if (!diagonal_done) push_entry(m, l, kZero - sigma);
        close_column(m);
    }
    return m;
}

namespace {

// Column-wise merge computing (0 + a) + f(b); f is the identity for add, the product with
// -1 + 0i for sub.
template <class MapOther>
SparseMatrix merge_columns(const SparseMatrix& a, const SparseMatrix& b, MapOther map_other) {
    check_equal_pair(a.rows, a.cols, b.rows, b.cols);
    SparseMatrix m = empty_shell(a.rows, a.cols, a.nnz() + b.nnz());
    for (std::size_t c = 0; c < a.cols; ++c) {
        std::size_t p = a.col_ptr[c];
        std::size_t q = b.col_ptr[c];
        const std::size_t p_end = a.col_ptr[c + 1];
        const std::size_t q_end = b.col_ptr[c + 1];
        while (p < p_end || q < q_end) {
            const std::size_t ra = p < p_end ? a.row_indices[p] : SIZE_MAX;
            const std::size_t rb = q < q_end ? b.row_indices[q] : SIZE_MAX;
            if (ra < rb) {
                push_entry(m, ra, kZero + a.values[p++]);
            } else if (rb < ra) {
                push_entry(m, rb, kZero + map_other(b.values[q++]));
            } else {
                push_entry(m, ra, (kZero + a.values[p++]) + map_other(b.values[q++]));
            }
        }
        close_column(m);
    }
    return m;
}

}  // namespace

SparseMatrix SparseMatrix::add(const SparseMatrix& other) const {
    return merge_columns(*this, other, [](Complex v) { return v; });
}

SparseMatrix SparseMatrix::sub(const SparseMatrix& other) const {
    // Same values as adding other.scale(-1 + 0i), without the temporary.
    return merge_columns(*this, other, [](Complex v) { return v * Complex{-1.0, 0.0}; });
}

SparseMatrix SparseMatrix::scale(Complex factor) && {
    for (Complex& v : values) v = v * factor;
    return std::move(*this);
}

SparseMatrix SparseMatrix::scale(Complex factor) const& {
    SparseMatrix m;
    m.col_ptr = col_ptr;
    m.row_indices = row_indices;
    m.values.reserve(values.size());
    for (const Complex& v : values) m.values.push_back(v * factor);
    m.rows = rows;
    m.cols = cols;
    return m;
}

SparseMatrix SparseMatrix::matmul(const SparseMatrix& other) const {
    check_equal(cols, other.rows);
    SparseMatrix m = empty_shell(rows, other.cols, nnz() + other.nnz());
    // Dense accumulator over the rows of one result column, with the rows it touched.
    std::vector<Complex> acc(rows);
    std::vector<std::size_t> stamp(rows, SIZE_MAX);
    std::vector<std::size_t> touched;
    for (std::size_t j = 0; j < other.cols; ++j) {
        touched.clear();
        // Summed over k in ascending order so the rounding of every entry is fixed.
        for (std::size_t q = other.col_ptr[j]; q < other.col_ptr[j + 1]; ++q) {
            const std::size_t k = other.row_indices[q];
            const Complex b = other.values[q];
            for (std::size_t p = col_ptr[k]; p < col_ptr[k + 1]; ++p) {
                const std::size_t i = row_indices[p];
                if (stamp[i] != j) {
                    stamp[i] = j;
                    acc[i] = kZero;
                    touched.push_back(i);
                }
                acc[i] += values[p] * b;
            }
        }
        std::sort(touched.begin(), touched.end());
        for (std::size_t i : touched) push_entry(m, i, acc[i]);
        close_column(m);
    }
    return m;
}

std::vector<Complex> SparseMatrix::matvec(std::span<const Complex> x) const {
    check_equal(cols, x.size());
    std::vector<Complex> y(rows);
    for (std::size_t c = 0; c < cols; ++c) {
        const Complex xc = x[c];
        if (is_zero(xc)) continue;
        for (std::size_t p = col_ptr[c]; p < col_ptr[c + 1]; ++p) {
            const std::size_t r = row_indices[p];
            if (r >= rows) throw_index_error(r, rows);
            y[r] += values[p] * xc;
        }
    }
    return y;
}

SparseMatrix SparseMatrix::block_2x2(const SparseMatrix& a, const SparseMatrix& b,
                                     const SparseMatrix& c, const SparseMatrix& d) {
    check_equal(a.rows, b.rows);
    check_equal(c.rows, d.rows);
    check_equal(a.cols, c.cols);
    check_equal(b.cols, d.cols);
    return assemble_blocks({{&a, &b}, {&c, &d}}, {a.rows, c.rows}, {a.cols, b.cols});
}

SparseMatrix SparseMatrix::block_grid(const std::vector<BlockRow>& blocks) {
    internal_check(!blocks.empty(), "assertion failed: !blocks.is_empty()");
    const std::size_t block_cols = blocks[0].size();
    internal_check(block_cols != 0, "assertion failed: !blocks[0].is_empty()");
    internal_check(std::all_of(blocks.begin(), blocks.end(),
                               [&](const BlockRow& row) { return row.size() == block_cols; }),
                   "assertion failed: blocks.iter().all(|row| row.len() == block_cols)");
    std::vector<std::size_t> heights;
    std::vector<std::size_t> widths;
    for (const BlockRow& row : blocks) heights.push_back(row[0].get().rows);
    for (const auto& block : blocks[0]) widths.push_back(block.get().cols);
    std::vector<std::vector<const SparseMatrix*>> grid;
    grid.reserve(blocks.size());
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        std::vector<const SparseMatrix*> row;
        row.reserve(block_cols);
        for (std::size_t j = 0; j < block_cols; ++j) {
            const SparseMatrix& b = blocks[i][j];
            check_equal(b.rows, heights[i]);
            check_equal(b.cols, widths[j]);
            row.push_back(&b);
        }
        grid.push_back(std::move(row));
    }
    return assemble_blocks(grid, heights, widths);
}

}  // namespace corvane
