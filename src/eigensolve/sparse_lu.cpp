#include "eigensolve/sparse_lu.hpp"

#include <cstdint>
#include <limits>

namespace corvane {
namespace {

constexpr std::size_t kNotPivotal = std::numeric_limits<std::size_t>::max();

// Workspace of the factorisation, allocated once for all columns.
struct FactorWork {
    explicit FactorWork(std::size_t n)
        : x(n), pivot_step(n, kNotPivotal), visited(n, 0), reach(n), stack(n), next_child(n) {}

    std::vector<Complex> x;                // dense column, zero outside the current reach
    std::vector<std::size_t> pivot_step;   // per row of B; kNotPivotal until chosen
    std::vector<std::uint8_t> visited;     // marks of the current reach only
    std::vector<std::size_t> reach;        // reach[top..n) in topological order
    std::vector<std::size_t> stack;        // depth-first search path
    std::vector<std::size_t> next_child;   // per stack level: next position in its L column
};

// Depth-first search from row `start` over the graph of L (a pivotal row's children are
// the rows of its L column, in stored order); rows are entered into reach[..top) as they
// finish, so the reach reads front to back in reverse finishing order. Iterative: the
// path can be as long as n.
std::size_t depth_first_search(std::size_t start, std::size_t top, const LuColumns& lower,
                               FactorWork& w) {
    std::size_t depth = 0;
    auto enter = [&](std::size_t row) {
        w.visited[row] = 1;
        w.stack[depth] = row;
        const std::size_t p = w.pivot_step[row];
        w.next_child[depth] = p == kNotPivotal ? 0 : lower.col_ptr[p];
        ++depth;
    };
    enter(start);
    while (depth > 0) {
        const std::size_t row = w.stack[depth - 1];
        const std::size_t p = w.pivot_step[row];
        bool descended = false;
        if (p != kNotPivotal) {
            const std::size_t end = lower.col_ptr[p + 1];
            for (std::size_t q = w.next_child[depth - 1]; q < end; ++q) {
                const std::size_t child = lower.entries[q].row;
                if (!w.visited[child]) {
                    w.next_child[depth - 1] = q + 1;
                    enter(child);
                    descended = true;
                    break;
                }
            }
        }
        if (!descended) {
            --depth;
            w.reach[--top] = row;
        }
    }
    return top;
}

}  // namespace

Result<SparseLu> SparseLu::factor(const SparseMatrix& b) {
    if (b.rows != b.cols) return fail("LU factorization requires a square matrix");
    const std::size_t n = b.rows;
    SparseLu lu;
    lu.n = n;
    lu.lower.col_ptr.reserve(n + 1);
    lu.upper.col_ptr.reserve(n + 1);
    lu.lower.entries.reserve(b.nnz());
    lu.upper.entries.reserve(b.nnz());
    FactorWork w(n);

    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t begin = b.col_ptr[k];
        const std::size_t end = b.col_ptr[k + 1];

        std::size_t top = n;
        for (std::size_t q = begin; q < end; ++q) {
            const std::size_t r = b.row_indices[q];
            if (!w.visited[r]) top = depth_first_search(r, top, lu.lower, w);
        }
        const std::span<const std::size_t> reach(w.reach.data() + top, n - top);

        for (std::size_t q = begin; q < end; ++q) w.x[b.row_indices[q]] = b.values[q];

        // Rows of the reach in topological order: each x[r] is final before it updates others.
        for (const std::size_t r : reach) {
            const std::size_t p = w.pivot_step[r];
            if (p == kNotPivotal) continue;
            const Complex xr = w.x[r];
            for (const LuEntry& e : lu.lower.column(p)) {
                w.x[e.row] = w.x[e.row] - e.value * xr;  // x(s) -= L(s,p) x(r)
            }
        }

        // Largest modulus among the candidates, the last one in reach order on ties; the
        // diagonal row wins whenever it is at least as large.
        std::size_t choice = kNotPivotal;
        double largest = 0.0;
        for (const std::size_t r : reach) {
            if (w.pivot_step[r] != kNotPivotal) continue;
            const double modulus = abs(w.x[r]);
            if (choice == kNotPivotal || modulus >= largest) {
                choice = r;
                largest = modulus;
            }
        }
        if (choice == kNotPivotal) {
            // Each column pivots on one new row, so a column without candidates leaves
            // some row unpivoted.
            return fail("sparse LU failed to find a complete pivot set");
        }
        const std::size_t pivot =
            w.pivot_step[k] == kNotPivotal && abs(w.x[k]) >= largest ? k : choice;
        const Complex pivot_value = w.x[pivot];

        for (const std::size_t r : reach) {
            const std::size_t p = w.pivot_step[r];
            if (p != kNotPivotal) lu.upper.entries.push_back({p, w.x[r]});
        }
        lu.upper.entries.push_back({k, pivot_value});
        lu.upper.col_ptr.push_back(lu.upper.entries.size());

        w.pivot_step[pivot] = k;

        for (const std::size_t r : reach) {
            if (w.pivot_step[r] == kNotPivotal) {
                lu.lower.entries.push_back({r, div(w.x[r], pivot_value)});
            }
        }
        lu.lower.col_ptr.push_back(lu.lower.entries.size());

        for (const std::size_t r : reach) {
            w.visited[r] = 0;
            w.x[r] = Complex{};
        }
    }

    // Every column chose one new row, so pivot_step is now a permutation.
    for (LuEntry& e : lu.lower.entries) e.row = w.pivot_step[e.row];
    lu.row_pivots = std::move(w.pivot_step);
    return lu;
}

Result<std::vector<Complex>> SparseLu::solve(std::span<const Complex> rhs) const {
    if (rhs.size() != n) return fail("right-hand side length does not match LU size");
    std::vector<Complex> x(n);
    for (std::size_t i = 0; i < n; ++i) x[row_pivots[i]] = rhs[i];

    for (std::size_t k = 0; k < n; ++k) {
        const Complex xk = x[k];
        for (const LuEntry& e : lower.column(k)) x[e.row] = x[e.row] - e.value * xk;
    }

    for (std::size_t k = n; k-- > 0;) {
        const std::span<const LuEntry> column = upper.column(k);
        // The diagonal pair is last in its column and is met first.
        x[k] = div(x[k], column.back().value);
        const Complex xk = x[k];
        for (std::size_t q = column.size() - 1; q-- > 0;) {
            const LuEntry& e = column[q];
            x[e.row] = x[e.row] - e.value * xk;
        }
    }
    return x;
}

}  // namespace corvane
