#include "eigensolve/lu_factors.hpp"

#include <algorithm>
#include <numeric>
#include <thread>
#include <utility>


#include "common/internal_error.hpp"
#include "common/packed_complex.hpp"

namespace corvane {
namespace {

constexpr std::uint8_t kShared = 2;

// Disjoint sets over pivots with the summed work of each set.
class DisjointSets {
public:
    explicit DisjointSets(std::size_t n) : parent_(n), weight_(n, 0) {
        std::iota(parent_.begin(), parent_.end(), std::uint32_t{0});
    }

    std::uint32_t root(std::uint32_t i) {
        while (parent_[i] != i) {
            parent_[i] = parent_[parent_[i]];
            i = parent_[i];
        }
        return i;
    }

    // Joins the sets of a and b; returns the weight of the joined set.
    std::size_t join(std::uint32_t a, std::uint32_t b) {
        a = root(a);
        b = root(b);
        if (a == b) return weight_[a];
        if (weight_[a] < weight_[b]) std::swap(a, b);
        parent_[b] = a;
        weight_[a] += weight_[b];
        return weight_[a];
    }

    void set_weight(std::uint32_t i, std::size_t w) { weight_[i] = w; }
    std::size_t weight(std::uint32_t i) { return weight_[root(i)]; }

private:
    std::vector<std::uint32_t> parent_;
    std::vector<std::size_t> weight_;
};

// Work of eliminating pivot k: its entries in row k of L and column k of U.
std::size_t pivot_work(const CopiedLu& f, std::size_t k) {
    return (f.lower_ptr[k + 1] - f.lower_ptr[k]) + (f.upper_ptr[k + 1] - f.upper_ptr[k]);
}

// Adds pivot k to the sets, joined with every earlier pivot it is coupled to; returns the
// weight of its set.
std::size_t add_pivot(const CopiedLu& f, DisjointSets& sets, std::size_t k) {
    const auto pivot = static_cast<std::uint32_t>(k);
    sets.set_weight(pivot, pivot_work(f, k));
    std::size_t joined = pivot_work(f, k);
    for (std::size_t q = f.lower_ptr[k]; q + 1 < f.lower_ptr[k + 1]; ++q) {
        joined = sets.join(pivot, f.lower_columns[q]);
    }
    for (std::size_t q = f.upper_ptr[k]; q + 1 < f.upper_ptr[k + 1]; ++q) {
        joined = sets.join(pivot, f.upper_rows[q]);
    }
    return joined;
}

// The group (0 or 1) of each pivot below the split and kShared from it on; the split is 0
// when no split pays.
std::pair<std::size_t, std::vector<std::uint8_t>> choose_groups(const CopiedLu& f) {
    const std::size_t n = f.n;
    std::size_t total = 0;
    for (std::size_t k = 0; k < n; ++k) total += pivot_work(f, k);

    // Sweep the split point: with the prefix [0, s) in independent sets, the longer path is
    // at least max(largest set, half the prefix) plus the remainder.
    std::size_t best_split = 0;
    std::size_t best_cost = total;
    {
        DisjointSets sets(n);
        std::size_t prefix = 0;
        std::size_t largest = 0;
        for (std::size_t s = 0; s <= n; ++s) {
            const std::size_t cost = std::max(largest, (prefix + 1) / 2) + (total - prefix);
            if (cost < best_cost) {
                best_cost = cost;
                best_split = s;
            }
            if (s == n) break;
            largest = std::max(largest, add_pivot(f, sets, s));
            prefix += pivot_work(f, s);
        }
    }
    std::vector<std::uint8_t> group(n, kShared);
    if (best_split == 0) return {0, std::move(group)};

    // The sets of the chosen prefix, heaviest first, each to the lighter group.
    DisjointSets sets(best_split);
    for (std::size_t k = 0; k < best_split; ++k) add_pivot(f, sets, k);
    std::vector<std::uint32_t> roots;
    for (std::uint32_t k = 0; k < best_split; ++k) {
        if (sets.root(k) == k) roots.push_back(k);
    }
    std::stable_sort(roots.begin(), roots.end(), [&](std::uint32_t a, std::uint32_t b) {
        return sets.weight(a) > sets.weight(b);
    });
    std::array<std::size_t, 2> load{0, 0};
    for (const std::uint32_t r : roots) {
        const std::uint8_t g = load[1] < load[0] ? 1 : 0;
        group[r] = g;
        load[g] += sets.weight(r);
    }
    const std::size_t prefix = load[0] + load[1];
    const std::size_t cost = std::max(load[0], load[1]) + (total - prefix);
    if (5 * cost > 4 * total) return {0, std::vector<std::uint8_t>(n, kShared)};
    for (std::uint32_t k = 0; k < best_split; ++k) group[k] = group[sets.root(k)];
    return {best_split, std::move(group)};
}

// sum_q v[q] y[c[q]] over [begin, end), from the last entry down. In a row of U the
// entries nearest the diagonal multiply the values solved just before, so they come last:
// the sum does not wait on the latest value until its final step (summed from the first
// entry, the backward solve ran five times slower). Two interleaved partial sums, each
// keeping the sums of re(v) y and of im(v) y apart, combined at the end (packed_complex.hpp);
// the scalar form does the same operations.
#if defined(__SSE2__)
inline Complex gather_from_last(const std::uint32_t* c, const Complex* v, std::size_t begin,
                                std::size_t end, const Complex* y) {
    __m128d re0 = _mm_setzero_pd(), im0 = _mm_setzero_pd();
    __m128d re1 = _mm_setzero_pd(), im1 = _mm_setzero_pd();
    std::size_t q = end;
    for (; q >= begin + 2; q -= 2) {
        packed::accumulate(re0, im0, packed::load(v + q - 1), packed::load(y + c[q - 1]));
        packed::accumulate(re1, im1, packed::load(v + q - 2), packed::load(y + c[q - 2]));
    }
    if (q > begin) packed::accumulate(re0, im0, packed::load(v + q - 1), packed::load(y + c[q - 1]));
    return packed::combine_product(_mm_add_pd(re0, re1), _mm_add_pd(im0, im1));
}
#else
inline Complex gather_from_last(const std::uint32_t* c, const Complex* v, std::size_t begin,
                                std::size_t end, const Complex* y) {
    Complex re0{}, im0{}, re1{}, im1{};
    auto add = [](Complex& re, Complex& im, Complex a, Complex b) {
        re = Complex{re.re + a.re * b.re, re.im + a.re * b.im};
        im = Complex{im.re + a.im * b.re, im.im + a.im * b.im};
    };
    std::size_t q = end;
    for (; q >= begin + 2; q -= 2) {
        add(re0, im0, v[q - 1], y[c[q - 1]]);
        add(re1, im1, v[q - 2], y[c[q - 2]]);
    }
    if (q > begin) add(re0, im0, v[q - 1], y[c[q - 1]]);
    const Complex r = re0 + re1;
    const Complex i = im0 + im1;
    return Complex{r.re - i.im, r.im + i.re};
}
#endif

// y[r[q] - offset] -= v[q] s over [begin, end).
#if defined(__SSE2__)
inline void scatter_subtract(const std::uint32_t* r, const Complex* v, std::size_t begin,
                             std::size_t end, Complex s, Complex* y, std::size_t offset) {
    const packed::Factor f(s);
    for (std::size_t q = begin; q < end; ++q) {
        Complex* target = y + (std::size_t(r[q]) - offset);
        packed::store(target, _mm_sub_pd(packed::load(target), packed::times(packed::load(v + q), f)));
    }
}
#else
inline void scatter_subtract(const std::uint32_t* r, const Complex* v, std::size_t begin,
                             std::size_t end, Complex s, Complex* y, std::size_t offset) {
    for (std::size_t q = begin; q < end; ++q) y[r[q] - offset] = y[r[q] - offset] - v[q] * s;
}
#endif

// The updates of column k of L: y[i] -= L(i, k) y[k] below the split; rows from the split
// on are accumulated into `shared` (indexed from the split) instead, as subtractions from 0.
inline void lower_column(const LuFactors& f, std::size_t k, Complex* y, Complex* shared) {
    const Complex yk = y[k];
    const std::size_t begin = f.lower_ptr[k];
    const std::size_t end = f.lower_ptr[k + 1];
    const std::size_t split = f.plan.shared_begin;
    const std::size_t from = split > 0 && k < split ? f.lower_shared_from[k] : end;
    scatter_subtract(f.lower_rows.data(), f.lower_values.data(), begin, from, yk, y, 0);
    if (from < end) {
        scatter_subtract(f.lower_rows.data(), f.lower_values.data(), from, end, yk, shared,
                         split);
    }
}

// y[k] = (y[k] - U(k, k+1:) y) / U(k, k).
inline void upper_row(const LuFactors& f, std::size_t k, Complex* y) {
    const std::size_t diagonal = f.upper_ptr[k];
    const Complex s = gather_from_last(f.upper_columns.data(), f.upper_values.data(),
                                       diagonal + 1, f.upper_ptr[k + 1], y);
    y[k] = div(y[k] - s, f.upper_values[diagonal]);
}

// Runs work(0) and work(1), on two threads when asked.
template <class Work>
void both_groups(unsigned threads, Work&& work) {
    if (threads >= 2) {
        std::jthread second([&] { work(1); });
        work(0);
    } else {
        work(0);
        work(1);
    }
}

}  // namespace

LuFactors arrange_lu_factors(CopiedLu&& copied, bool two_way) {
    const std::size_t n = copied.n;
    std::size_t split = 0;
    std::vector<std::uint8_t> group;
    if (two_way) std::tie(split, group) = choose_groups(copied);

    LuFactors f;
    f.n = n;
    f.row_order = std::move(copied.row_order);
    f.column_order = std::move(copied.column_order);
    f.row_multiplier = std::move(copied.row_multiplier);
    if (split > 0) {
        f.plan.shared_begin = split;
        for (std::uint32_t k = 0; k < split; ++k) f.plan.groups[group[k]].push_back(k);
    }

    // L by columns, the unit diagonals left out (appending row by row keeps each column's
    // rows ascending), and U by rows (appending column by column puts each row's diagonal,
    // from its own column, first and the later columns after it, ascending). The two are
    // independent scatters through memory: with everything allocated first, they run on
    // two threads.
    const std::vector<std::size_t> l_row_ptr = std::move(copied.lower_ptr);
    const std::vector<std::uint32_t> l_columns = std::move(copied.lower_columns);
    const std::vector<Complex> l_values = std::move(copied.lower_values);
    const std::vector<std::size_t> u_column_ptr = std::move(copied.upper_ptr);
    const std::vector<std::uint32_t> u_rows = std::move(copied.upper_rows);
    const std::vector<Complex> u_values = std::move(copied.upper_values);
    f.lower_ptr.assign(n + 1, 0);
    f.lower_rows.resize(l_values.size() - n);
    f.lower_values.resize(l_values.size() - n);
    f.lower_shared_from.resize(split);
    std::vector<std::size_t> lower_next(n);
    f.upper_ptr.assign(n + 1, 0);
    f.upper_columns.resize(u_values.size());
    f.upper_values.resize(u_values.size());
    std::vector<std::size_t> upper_next(n);

    auto lower_by_columns = [&] {
        for (std::size_t k = 0; k < n; ++k) {
            for (std::size_t q = l_row_ptr[k]; q + 1 < l_row_ptr[k + 1]; ++q) {
                ++f.lower_ptr[l_columns[q] + 1];
            }
        }
        std::partial_sum(f.lower_ptr.begin(), f.lower_ptr.end(), f.lower_ptr.begin());
        std::copy(f.lower_ptr.begin(), f.lower_ptr.end() - 1, lower_next.begin());
        for (std::size_t k = 0; k < n; ++k) {
            for (std::size_t q = l_row_ptr[k]; q + 1 < l_row_ptr[k + 1]; ++q) {
                const std::size_t at = lower_next[l_columns[q]]++;
                f.lower_rows[at] = static_cast<std::uint32_t>(k);
                f.lower_values[at] = l_values[q];
            }
        }
        for (std::size_t k = 0; k < split; ++k) {
            const auto first = f.lower_rows.begin() + std::ptrdiff_t(f.lower_ptr[k]);
            const auto last = f.lower_rows.begin() + std::ptrdiff_t(f.lower_ptr[k + 1]);
            f.lower_shared_from[k] = std::size_t(
                std::lower_bound(first, last, static_cast<std::uint32_t>(split)) -
                f.lower_rows.begin());
        }
    };
    auto upper_by_rows = [&] {
        for (const std::uint32_t r : u_rows) ++f.upper_ptr[r + 1];
        std::partial_sum(f.upper_ptr.begin(), f.upper_ptr.end(), f.upper_ptr.begin());
        std::copy(f.upper_ptr.begin(), f.upper_ptr.end() - 1, upper_next.begin());
        for (std::size_t c = 0; c < n; ++c) {
            for (std::size_t q = u_column_ptr[c]; q < u_column_ptr[c + 1]; ++q) {
                const std::size_t at = upper_next[u_rows[q]]++;
                f.upper_columns[at] = static_cast<std::uint32_t>(c);
                f.upper_values[at] = u_values[q];
            }
        }
    };
    {
        std::jthread upper(upper_by_rows);
        lower_by_columns();
    }
    return f;
}

std::size_t solve_work_size(const LuFactors& f) {
    const std::size_t shared = f.plan.shared_begin > 0 ? f.n - f.plan.shared_begin : 0;
    return f.n + 2 * shared;
}

void solve_with_factors(const LuFactors& f, std::span<const Complex> rhs, std::span<Complex> x,
                        std::span<Complex> work, unsigned threads) {
    const std::size_t n = f.n;
    if (rhs.size() != n || x.size() != n || work.size() < solve_work_size(f)) {
        throw InternalError("LU solve vectors must match the factor size");
    }
    Complex* y = work.data();
    // The permutations are gathers and scatters through memory: halves on two threads.
    const std::array<std::size_t, 3> halves{0, n / 2, n};
    both_groups(threads, [&](std::size_t g) {
        for (std::size_t k = halves[g]; k < halves[g + 1]; ++k) {
            const std::uint32_t i = f.row_order[k];
            y[k] = scale_real(rhs[i], f.row_multiplier[i]);
        }
    });
    const LuSolvePlan& plan = f.plan;
    const std::size_t split = plan.shared_begin;
    if (split == 0) {
        for (std::size_t k = 0; k < n; ++k) lower_column(f, k, y, nullptr);
        for (std::size_t k = n; k-- > 0;) upper_row(f, k, y);
    } else {
        const std::size_t shared = n - split;
        Complex* partial = work.data() + n;  // [group][shared row]
        both_groups(threads, [&](std::size_t g) {
            Complex* mine = partial + g * shared;
            std::fill_n(mine, shared, Complex{});
            for (const std::uint32_t k : plan.groups[g]) lower_column(f, k, y, mine);
        });
        for (std::size_t r = 0; r < shared; ++r) {
            y[split + r] = (y[split + r] + partial[r]) + partial[shared + r];
        }
        for (std::size_t k = split; k < n; ++k) lower_column(f, k, y, nullptr);
        for (std::size_t k = n; k-- > split;) upper_row(f, k, y);
        both_groups(threads, [&](std::size_t g) {
            const std::vector<std::uint32_t>& pivots = plan.groups[g];
            for (auto it = pivots.rbegin(); it != pivots.rend(); ++it) upper_row(f, *it, y);
        });
    }
    both_groups(threads, [&](std::size_t g) {
        for (std::size_t k = halves[g]; k < halves[g + 1]; ++k) x[f.column_order[k]] = y[k];
    });
}

}  // namespace corvane
