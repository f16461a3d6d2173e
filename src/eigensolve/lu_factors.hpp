// The triangular factors of a sparse LU, P (R B) Q = L U, moved out of the factorising
// library into plain arrays and arranged so that two threads share both triangular solves.
// A fill-reducing (nested-dissection) ordering leaves a prefix of the pivot sequence that
// falls apart into two independent groups, eliminated side by side, and a shared remainder
// (the top separator) whose coupling to the groups is also summed side by side. Every entry
// of the solution sees the same operations in the same order whether one thread or two do
// the work, so results do not depend on the thread count.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/complex.hpp"

namespace corvane {

// The factors as the LU library hands them out.
struct CopiedLu {
    std::size_t n = 0;
    std::vector<std::uint32_t> row_order;     // pivot row k is row row_order[k] of B
    std::vector<std::uint32_t> column_order;  // pivot column k is column column_order[k]
    std::vector<double> row_multiplier;       // R: row i of B is multiplied by row_multiplier[i]
    // Rows of L, columns ascending, each ending with its unit diagonal.
    std::vector<std::size_t> lower_ptr;
    std::vector<std::uint32_t> lower_columns;
    std::vector<Complex> lower_values;
    // Columns of U, rows ascending, each ending with its diagonal.
    std::vector<std::size_t> upper_ptr;
    std::vector<std::uint32_t> upper_rows;
    std::vector<Complex> upper_values;
};

// Which pivots each of two threads eliminates. Pivots below `shared_begin` form two
// independent groups (no entry of L or U couples them), listed in ascending order; the
// shared pivots from `shared_begin` on are eliminated by one thread, after (L) or before (U)
// the groups. An empty plan (shared_begin 0) runs everything on one thread.
struct LuSolvePlan {
    std::size_t shared_begin = 0;
    std::array<std::vector<std::uint32_t>, 2> groups;
};

// Both factors in the layout their solves read best (the layout the frontal factorisation
// made them in): L by columns, each group's thread updating its own rows and summing its
// updates of the shared rows apart, and U by rows.
struct LuFactors {
    std::size_t n = 0;
    std::vector<std::uint32_t> row_order;
    std::vector<std::uint32_t> column_order;
    std::vector<double> row_multiplier;
    // Columns of L without the unit diagonal, rows ascending; in column k < shared_begin the
    // rows from shared_begin on start at lower_shared_from[k].
    std::vector<std::size_t> lower_ptr;
    std::vector<std::uint32_t> lower_rows;
    std::vector<Complex> lower_values;
    std::vector<std::size_t> lower_shared_from;
    // Rows of U, each starting with its diagonal, columns ascending after it.
    std::vector<std::size_t> upper_ptr;
    std::vector<std::uint32_t> upper_columns;
    std::vector<Complex> upper_values;
    LuSolvePlan plan;
};

// Plans the split that minimises the estimated work on the longer path (none when
// `two_way` is false or splitting saves less than a fifth) and turns L into columns and U
// into rows, releasing the copies as they are consumed.
LuFactors arrange_lu_factors(CopiedLu&& copied, bool two_way = true);

// Scratch values solve_with_factors needs.
std::size_t solve_work_size(const LuFactors& factors);

// x with B x = rhs. `work` holds solve_work_size values; rhs, x and work must not overlap.
// threads >= 2 runs the independent groups on two threads.
void solve_with_factors(const LuFactors& factors, std::span<const Complex> rhs,
                        std::span<Complex> x, std::span<Complex> work, unsigned threads);

}  // namespace corvane
