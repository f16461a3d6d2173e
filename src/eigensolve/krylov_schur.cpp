// Krylov-Schur (Stewart 2001) in complex arithmetic. The iteration keeps the relation
//
//     Op V_k = V_k S_k + v_k b^T,   V_{k+1} = [V_k, v_k] orthonormal,
//
// expands it by Arnoldi steps to k = m, brings S_m to Schur form with the wanted Ritz
// values (largest |theta|) leading, locks converged leading pairs (b_j = 0) and truncates
// back to the leading Schur vectors. The long vectors live in one n x (m + 1) block; every
// pass over it runs over fixed row blocks of two fixed halves, each reduced in ascending row
// order on four lanes, so the rounding is the same whether one thread or two do the work.
#include "eigensolve/krylov_schur.hpp"

#include <Eigen/Eigenvalues>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <memory>
#include <numeric>
#include <thread>
#include <utility>

#include "common/packed_complex.hpp"


namespace corvane {
namespace {

using Scalar = std::complex<double>;
using DenseMatrix = Eigen::MatrixXcd;
using DenseRow = Eigen::RowVectorXcd;
using Index = Eigen::Index;

Scalar to_std(Complex z) { return {z.re, z.im}; }
Complex from_std(Scalar z) { return {z.real(), z.imag()}; }
Index as_index(std::size_t i) { return static_cast<Index>(i); }

constexpr std::size_t kLanes = 4;
// Rows per block of the projection passes. Long blocks keep the hardware prefetcher
// streaming (128-row blocks over 33 vectors ran at a third of the bandwidth); the block of w
// stays in L2. The results do not depend on it: lanes restart at multiples of kLanes.
constexpr std::size_t kRowBlock = 16384;
static_assert(kRowBlock % kLanes == 0, "blocks must keep the lane of each row");
// Rows per block of the basis rotation, whose block of outputs must stay in L2.
constexpr std::size_t kCombineRows = 256;
// Below this length a second thread costs more than it saves.
constexpr std::size_t kMinRowsForThread = std::size_t{1} << 15;
// Daniel-Gragg-Kaufman-Stewart: a second Gram-Schmidt pass when the first removes more
// than half of the squared norm.
constexpr double kReorthogonaliseBelow = 0.5;
// The new direction counts as rounding noise (the basis spans an invariant subspace) when
// orthogonalisation leaves less than this fraction of Op v.
constexpr double kBreakdownRatio = 1e-13;
// A replacement direction after a breakdown must keep this much of a random vector.
constexpr double kFreshDirectionRatio = 1e-6;
constexpr int kFreshDirectionAttempts = 3;
// Shifted QR needs a few sweeps per eigenvalue; the cap only bounds a hopeless case.
constexpr Index kSchurIterationsPerRow = 1000;

// Ritz pairs are checked after every Arnoldi step once the basis holds this many vectors
// beyond the wanted ones (and always at the end of a cycle). A margin against a start vector
// close to one eigenvector ending the iteration before the others show: the tests' cases
// of that kind pass even with none, and on the strip operator of bench_krylov_schur it costs
// no applications for 1 to 8 wanted pairs.
constexpr std::size_t kCheckAfterExtra = 6;

const char* const kNonFinite = "eigen iteration produced non-finite values";

// ---------------------------------------------------------------------------------------
// Fixed-order reductions over rows.

// Lane l holds the sums of re(v) w and of im(v) w apart; conj(v) w is formed from them at
// the end, which lets the vector unit work on (re, im) pairs as they are stored.
struct ComplexLanes {
    std::array<Complex, kLanes> re_part{};  // sum re(v) w
    std::array<Complex, kLanes> im_part{};  // sum im(v) w
    Complex lane(std::size_t l) const {
        return {re_part[l].re + im_part[l].im, re_part[l].im - im_part[l].re};
    }
    Complex total() const { return (lane(0) + lane(1)) + (lane(2) + lane(3)); }
};

struct RealLanes {
    std::array<double, kLanes> part{};
    double total() const { return (part[0] + part[1]) + (part[2] + part[3]); }
};

// Lane r mod 4 of acc accumulates conj(v[r]) w[r], rows in ascending order.
#if defined(__SSE2__)
// Lanes of `count` columns v + c stride, each accumulating conj(v_c[r]) w[r]; w read once.
template <std::size_t count>
void add_dots(const Complex* v, std::size_t stride, const Complex* w, std::size_t len,
              std::array<ComplexLanes*, count> acc) {
    __m128d re[count][kLanes], im[count][kLanes];
    for (std::size_t c = 0; c < count; ++c) {
        for (std::size_t l = 0; l < kLanes; ++l) {
            re[c][l] = packed::load(&acc[c]->re_part[l]);
            im[c][l] = packed::load(&acc[c]->im_part[l]);
        }
    }
    auto step = [&](std::size_t l, std::size_t r) {
        const __m128d wr = packed::load(w + r);
        for (std::size_t c = 0; c < count; ++c) {
            packed::accumulate(re[c][l], im[c][l], packed::load(v + c * stride + r), wr);
        }
    };
    std::size_t r = 0;
    for (; r + kLanes <= len; r += kLanes) {
        step(0, r);
        step(1, r + 1);
        step(2, r + 2);
        step(3, r + 3);
    }
    for (std::size_t l = 0; r + l < len; ++l) step(l, r + l);
    for (std::size_t c = 0; c < count; ++c) {
        for (std::size_t l = 0; l < kLanes; ++l) {
            packed::store(&acc[c]->re_part[l], re[c][l]);
            packed::store(&acc[c]->im_part[l], im[c][l]);
        }
    }
}

void add_dot(const Complex* v, const Complex* w, std::size_t len, ComplexLanes& acc) {
    add_dots<1>(v, 0, w, len, {&acc});
}

// add_dot for the two columns v and v + stride at once, w read once.
void add_two_dots(const Complex* v, std::size_t stride, const Complex* w, std::size_t len,
                  ComplexLanes& acc0, ComplexLanes& acc1) {
    add_dots<2>(v, stride, w, len, {&acc0, &acc1});
}
#else
void add_dot(const Complex* v, const Complex* w, std::size_t len, ComplexLanes& acc) {
    auto step = [&](std::size_t l, std::size_t r) {
        Complex& a = acc.re_part[l];
        Complex& b = acc.im_part[l];
        a = Complex{a.re + v[r].re * w[r].re, a.im + v[r].re * w[r].im};
        b = Complex{b.re + v[r].im * w[r].re, b.im + v[r].im * w[r].im};
    };
    std::size_t r = 0;
    for (; r + kLanes <= len; r += kLanes) {
        for (std::size_t l = 0; l < kLanes; ++l) step(l, r + l);
    }
    for (std::size_t l = 0; r + l < len; ++l) step(l, r + l);
}

void add_two_dots(const Complex* v, std::size_t stride, const Complex* w, std::size_t len,
                  ComplexLanes& acc0, ComplexLanes& acc1) {
    add_dot(v, w, len, acc0);
    add_dot(v + stride, w, len, acc1);
}
#endif

// acc.part[r mod 4] += |w[r]|^2, rows in ascending order.
void add_norm_sqr(const Complex* w, std::size_t len, RealLanes& acc) {
    double a0 = acc.part[0], a1 = acc.part[1], a2 = acc.part[2], a3 = acc.part[3];
    std::size_t r = 0;
    for (; r + kLanes <= len; r += kLanes) {
        a0 += norm_sqr(w[r]);
        a1 += norm_sqr(w[r + 1]);
        a2 += norm_sqr(w[r + 2]);
        a3 += norm_sqr(w[r + 3]);
    }
    if (r < len) a0 += norm_sqr(w[r]);
    if (r + 1 < len) a1 += norm_sqr(w[r + 1]);
    if (r + 2 < len) a2 += norm_sqr(w[r + 2]);
    acc.part = {a0, a1, a2, a3};
}

// w[r] -= v[r] h (packed_complex.hpp rounds as the textbook product).
#if defined(__SSE2__)
void subtract_multiple(const Complex* v, Complex h, Complex* w, std::size_t len) {
    const packed::Factor f(h);
    for (std::size_t r = 0; r < len; ++r) {
        packed::store(w + r, _mm_sub_pd(packed::load(w + r), packed::times(packed::load(v + r), f)));
    }
}

// w[r] -= v_c[r] h[c] for the four columns c = 0..3 at v + c stride, in that order: the
// same roundings as four single subtractions, with w read and written once.
void subtract_four_multiples(const Complex* v, std::size_t stride, const Complex* h, Complex* w,
                             std::size_t len) {
    const packed::Factor f[4] = {packed::Factor(h[0]), packed::Factor(h[1]),
                                 packed::Factor(h[2]), packed::Factor(h[3])};
    for (std::size_t r = 0; r < len; ++r) {
        __m128d acc = packed::load(w + r);
        for (std::size_t c = 0; c < 4; ++c) {
            acc = _mm_sub_pd(acc, packed::times(packed::load(v + c * stride + r), f[c]));
        }
        packed::store(w + r, acc);
    }
}
#else
void subtract_multiple(const Complex* v, Complex h, Complex* w, std::size_t len) {
    for (std::size_t r = 0; r < len; ++r) w[r] = w[r] - v[r] * h;
}

void subtract_four_multiples(const Complex* v, std::size_t stride, const Complex* h, Complex* w,
                             std::size_t len) {
    for (std::size_t c = 0; c < 4; ++c) subtract_multiple(v + c * stride, h[c], w, len);
}
#endif

// t[r] = (t[r] + u[r] a) + v[r] b, the second term only when v is given.
#if defined(__SSE2__)
void add_two_multiples(const Complex* u, Complex a, const Complex* v, Complex b, Complex* t,
                       std::size_t len) {
    const packed::Factor fa(a), fb(b);
    for (std::size_t r = 0; r < len; ++r) {
        __m128d acc = _mm_add_pd(packed::load(t + r), packed::times(packed::load(u + r), fa));
        if (v != nullptr) acc = _mm_add_pd(acc, packed::times(packed::load(v + r), fb));
        packed::store(t + r, acc);
    }
}
#else
void add_two_multiples(const Complex* u, Complex a, const Complex* v, Complex b, Complex* t,
                       std::size_t len) {
    for (std::size_t r = 0; r < len; ++r) {
        t[r] = t[r] + u[r] * a;
        if (v != nullptr) t[r] = t[r] + v[r] * b;
    }
}
#endif

struct RowRange {
    std::size_t begin = 0;
    std::size_t end = 0;
};

// The two fixed halves of the rows; the split depends on n only.
std::array<RowRange, 2> halves_of(std::size_t n) {
    const std::size_t mid = n / 2;
    return {RowRange{0, mid}, RowRange{mid, n}};
}

// Partial sums of one half: one dot product per basis vector and a squared norm.
struct HalfSums {
    std::vector<ComplexLanes> dots;
    RealLanes norm;

    void reset(std::size_t cols) {
        dots.assign(cols, ComplexLanes{});
        norm = RealLanes{};
    }
};

// sum = half 0 + half 1, each half already reduced in row order.
Complex combined_dot(const std::array<HalfSums, 2>& s, std::size_t i) {
    return s[0].dots[i].total() + s[1].dots[i].total();
}
double combined_norm_sqr(const std::array<HalfSums, 2>& s) {
    return s[0].norm.total() + s[1].norm.total();
}

// ---------------------------------------------------------------------------------------
// Deterministic pseudo-random vectors (splitmix64), the same on every platform.

std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Uniform in [-1, 1) from the top 53 bits.
double uniform_signed(std::uint64_t& state) {
    return static_cast<double>(splitmix64(state) >> 11) * 0x1.0p-52 - 1.0;
}

void fill_pseudo_random(std::span<Complex> out, std::uint64_t seed) {
    std::uint64_t state = seed;
    for (Complex& c : out) {
        const double re = uniform_signed(state);
        c = Complex{re, uniform_signed(state)};
    }
}

// ---------------------------------------------------------------------------------------
// The orthonormal basis V (n x (m + 1), column-major) and the passes over it.

struct Orthogonalised {
    std::vector<Complex> h;    // V^H w of the input w, both passes summed
    double norm_before = 0.0;  // ||w|| on entry
    double norm_after = 0.0;   // ||w|| on exit
};

// Storage left unwritten by the allocation: a column costs memory only once the iteration
// reaches it, which for an early stop is a fraction of n (m + 1). Complex is an
// implicit-lifetime aggregate, so allocate() creates its objects.
class ColumnStorage {
public:
    explicit ColumnStorage(std::size_t count)
        : count_(count), data_(std::allocator<Complex>().allocate(count)) {}
    ColumnStorage(const ColumnStorage&) = delete;
    ColumnStorage& operator=(const ColumnStorage&) = delete;
    ~ColumnStorage() { std::allocator<Complex>().deallocate(data_, count_); }

    Complex* data() const { return data_; }

private:
    std::size_t count_;
    Complex* data_;
};

class Basis {
public:
    Basis(std::size_t n, std::size_t columns, unsigned threads)
        : n_(n), data_(n * columns), threads_(threads >= 2 ? 2u : 1u) {
        for (HalfSums& s : sums_) s.reset(columns);
    }

    // Every column is written (set, mapped into or rotated) before it is read.
    std::span<Complex> column(std::size_t j) { return {data_.data() + j * n_, n_}; }
    std::span<const Complex> column(std::size_t j) const { return {data_.data() + j * n_, n_}; }

    // ||w||^2 in the fixed order.
    double norm_sqr_of(std::span<const Complex> w) {
        for_each_half([&](std::size_t half, RowRange rows) {
            HalfSums& s = sums_[half];
            s.norm = RealLanes{};
            for (std::size_t b = rows.begin; b < rows.end; b += kRowBlock) {
                add_norm_sqr(w.data() + b, std::min(kRowBlock, rows.end - b), s.norm);
            }
        });
        return combined_norm_sqr(sums_);
    }

    // w <- (I - V V^H) w against columns 0 .. cols - 1 by classical Gram-Schmidt, with a
    // second pass when the first cancels much of w. The first pass also yields ||w||, and
    // with V orthonormal ||w||^2 - ||h||^2 is the squared norm left after it, so the second
    // projection is computed, in the same sweep as the first subtraction, only when needed.
    // An error when w holds non-finite values.
    Result<Orthogonalised> orthogonalise(std::size_t cols, std::span<Complex> w) {
        Orthogonalised out;
        out.h.resize(cols);
        project(cols, w);
        const double norm0_sqr = combined_norm_sqr(sums_);
        if (!std::isfinite(norm0_sqr)) return fail(kNonFinite);
        out.norm_before = std::sqrt(norm0_sqr);
        double h_norm_sqr = 0.0;
        for (std::size_t i = 0; i < cols; ++i) {
            out.h[i] = combined_dot(sums_, i);
            h_norm_sqr += norm_sqr(out.h[i]);
        }
        const bool second_pass = norm0_sqr - h_norm_sqr < kReorthogonaliseBelow * norm0_sqr;

        subtract(cols, out.h, w, /*then_project=*/second_pass);
        if (!second_pass) {
            out.norm_after = std::sqrt(combined_norm_sqr(sums_));
            return out;
        }
        std::vector<Complex> h2(cols);
        for (std::size_t i = 0; i < cols; ++i) h2[i] = combined_dot(sums_, i);
        subtract(cols, h2, w, /*then_project=*/false);
        for (std::size_t i = 0; i < cols; ++i) out.h[i] += h2[i];
        out.norm_after = std::sqrt(combined_norm_sqr(sums_));
        return out;
    }

    // Columns first .. first + keep - 1 become V[:, first .. first + count - 1] times
    // q[:, 0 .. keep - 1] (q is count x keep, column-major); then column `move_from` is
    // copied to column `move_to`, which must not be among the targets. In place, one sweep.
    void rotate_in_place(std::size_t first, std::size_t count, std::size_t keep,
                         const std::vector<Complex>& q, std::size_t move_from,
                         std::size_t move_to) {
        // Allocated here, not on the second thread, where a failure could not propagate.
        std::array<std::vector<Complex>, 2> blocks{std::vector<Complex>(keep * kCombineRows),
                                                   std::vector<Complex>(keep * kCombineRows)};
        for_each_half([&](std::size_t half, RowRange rows) {
            std::vector<Complex>& block = blocks[half];
            for (std::size_t b = rows.begin; b < rows.end; b += kCombineRows) {
                const std::size_t len = std::min(kCombineRows, rows.end - b);
                combine_block(first, count, keep, q, b, len, block);
                for (std::size_t k = 0; k < keep; ++k) {
                    std::copy_n(block.data() + k * kCombineRows, len,
                                data_.data() + (first + k) * n_ + b);
                }
                std::copy_n(data_.data() + move_from * n_ + b, len,
                            data_.data() + move_to * n_ + b);
            }
        });
    }

    // out[k] = V[:, 0 .. cols - 1] c[:, k] for k < out.size() (c is cols x out.size()).
    void combine_into(std::size_t cols, const std::vector<Complex>& c,
                      std::vector<std::vector<Complex>>& out) {
        const std::size_t count = out.size();
        std::array<std::vector<Complex>, 2> blocks{std::vector<Complex>(count * kCombineRows),
                                                   std::vector<Complex>(count * kCombineRows)};
        for_each_half([&](std::size_t half, RowRange rows) {
            std::vector<Complex>& block = blocks[half];
            for (std::size_t b = rows.begin; b < rows.end; b += kCombineRows) {
                const std::size_t len = std::min(kCombineRows, rows.end - b);
                combine_block(0, cols, count, c, b, len, block);
                for (std::size_t k = 0; k < count; ++k) {
                    std::copy_n(block.data() + k * kCombineRows, len, out[k].data() + b);
                }
            }
        });
    }

private:
    template <class Work>
    void for_each_half(Work&& work) {
        const std::array<RowRange, 2> h = halves_of(n_);
        if (threads_ == 2 && n_ >= kMinRowsForThread) {
            std::jthread second([&] { work(1, h[1]); });
            work(0, h[0]);
        } else {
            work(0, h[0]);
            work(1, h[1]);
        }
    }

    // s.dots[c] += V[b .. b + len - 1, c]^H w_block for c < cols, two columns per pass.
    void project_block(std::size_t cols, std::size_t b, std::size_t len, const Complex* w_block,
                       HalfSums& s) const {
        std::size_t c = 0;
        for (; c + 2 <= cols; c += 2) {
            add_two_dots(data_.data() + c * n_ + b, n_, w_block, len, s.dots[c], s.dots[c + 1]);
        }
        if (c < cols) add_dot(data_.data() + c * n_ + b, w_block, len, s.dots[c]);
    }

    // Half sums of V[:, 0 .. cols - 1]^H w and ||w||^2.
    void project(std::size_t cols, std::span<const Complex> w) {
        for_each_half([&](std::size_t half, RowRange rows) {
            HalfSums& s = sums_[half];
            s.reset(cols);
            for (std::size_t b = rows.begin; b < rows.end; b += kRowBlock) {
                const std::size_t len = std::min(kRowBlock, rows.end - b);
                project_block(cols, b, len, w.data() + b, s);
                add_norm_sqr(w.data() + b, len, s.norm);
            }
        });
    }

    // w <- w - V h (the terms in ascending column order), then the half sums of ||w||^2 and,
    // when asked, of V^H w, block by block while the block is in cache.
    void subtract(std::size_t cols, const std::vector<Complex>& h, std::span<Complex> w,
                  bool then_project) {
        for_each_half([&](std::size_t half, RowRange rows) {
            HalfSums& s = sums_[half];
            s.reset(cols);
            for (std::size_t b = rows.begin; b < rows.end; b += kRowBlock) {
                const std::size_t len = std::min(kRowBlock, rows.end - b);
                std::size_t c = 0;
                for (; c + 4 <= cols; c += 4) {
                    subtract_four_multiples(data_.data() + c * n_ + b, n_, h.data() + c,
                                            w.data() + b, len);
                }
                for (; c < cols; ++c) {
                    subtract_multiple(data_.data() + c * n_ + b, h[c], w.data() + b, len);
                }
                if (then_project) project_block(cols, b, len, w.data() + b, s);
                add_norm_sqr(w.data() + b, len, s.norm);
            }
        });
    }

    // block[k][r] = sum_c V[b + r, first + c] q[c, k] over c ascending, r < len.
    void combine_block(std::size_t first, std::size_t count, std::size_t outputs,
                       const std::vector<Complex>& q, std::size_t b, std::size_t len,
                       std::vector<Complex>& block) const {
        for (std::size_t k = 0; k < outputs; ++k) {
            Complex* t = block.data() + k * kCombineRows;
            std::fill_n(t, len, Complex{});
            std::size_t c = 0;
            for (; c + 1 < count; c += 2) {
                add_two_multiples(data_.data() + (first + c) * n_ + b, q[k * count + c],
                                  data_.data() + (first + c + 1) * n_ + b,
                                  q[k * count + c + 1], t, len);
            }
            if (c < count) {
                add_two_multiples(data_.data() + (first + c) * n_ + b, q[k * count + c],
                                  nullptr, Complex{}, t, len);
            }
        }
    }

    std::size_t n_;
    ColumnStorage data_;
    unsigned threads_;
    std::array<HalfSums, 2> sums_;
};

// ---------------------------------------------------------------------------------------
// The small dense problem.

// Exchanges the adjacent diagonal entries i, i + 1 of the upper triangular t by a plane
// rotation G whose first column is the eigenvector (t(i, i+1), t(i+1, i+1) - t(i, i)) of the
// 2 x 2 block for t(i+1, i+1): t <- G^H t G, q <- q G (q's columns offset by q_first),
// b <- b G. The diagonal entries are set exactly swapped.
void swap_adjacent(DenseMatrix& t, DenseMatrix& q, Index q_first, DenseRow& b, Index i) {
    const Scalar a = t(i, i);
    const Scalar c = t(i + 1, i + 1);
    const Scalar x1 = t(i, i + 1);
    const Scalar x2 = c - a;
    const double r = std::hypot(std::abs(x1), std::abs(x2));
    if (r == 0.0) return;  // equal eigenvalues, decoupled: already in either order
    const Scalar g1 = x1 / r;
    const Scalar g2 = x2 / r;
    // G = [g1, -conj(g2); g2, conj(g1)]
    auto rotate_columns = [&](DenseMatrix& m, Index col, Index rows) {
        for (Index k = 0; k < rows; ++k) {
            const Scalar u = m(k, col);
            const Scalar v = m(k, col + 1);
            m(k, col) = u * g1 + v * g2;
            m(k, col + 1) = v * std::conj(g1) - u * std::conj(g2);
        }
    };
    rotate_columns(t, i, i + 2);
    for (Index k = i; k < t.cols(); ++k) {
        const Scalar u = t(i, k);
        const Scalar v = t(i + 1, k);
        t(i, k) = std::conj(g1) * u + std::conj(g2) * v;
        t(i + 1, k) = g1 * v - g2 * u;
    }
    t(i, i) = c;
    t(i + 1, i + 1) = a;
    t(i + 1, i) = Scalar(0.0, 0.0);
    rotate_columns(q, i - q_first, q.rows());
    const Scalar u = b(i);
    const Scalar v = b(i + 1);
    b(i) = u * g1 + v * g2;
    b(i + 1) = v * std::conj(g1) - u * std::conj(g2);
}

// Eigenvector of the upper triangular t for t(p, p): x[p] = 1, x[r > p] = 0 and rows above
// by back substitution; a vanishing t(r, r) - t(p, p) is replaced by a tiny value as in
// LAPACK's triangular eigenvector routine.
std::vector<Scalar> triangular_eigenvector(const DenseMatrix& t, Index p) {
    std::vector<Scalar> x(static_cast<std::size_t>(t.rows()));
    x[static_cast<std::size_t>(p)] = 1.0;
    const Scalar lambda = t(p, p);
    const double small =
        std::max(kEpsilon * std::abs(lambda), std::numeric_limits<double>::min());
    for (Index r = p - 1; r >= 0; --r) {
        Scalar s = 0.0;
        for (Index c = r + 1; c <= p; ++c) s += t(r, c) * x[static_cast<std::size_t>(c)];
        Scalar d = t(r, r) - lambda;
        if (std::abs(d) < small) d = small;
        x[static_cast<std::size_t>(r)] = -s / d;
    }
    return x;
}

double euclidean_norm(const std::vector<Scalar>& x) {
    double s = 0.0;
    for (const Scalar& v : x) s += std::norm(v);
    return std::sqrt(s);
}

// ---------------------------------------------------------------------------------------
// The iteration.

class KrylovSchurIteration {
public:
    KrylovSchurIteration(std::size_t n, const LinearMap& apply, const KrylovSchurOptions& options)
        : n_(n),
          apply_(apply),
          options_(options),
          wanted_(std::min(options.num_wanted, n)),
          m_(std::min(n, std::max(options.krylov_dim, options.num_wanted + 2))),
          basis_(n, m_ + 1, options.threads),
          h_(DenseMatrix::Zero(as_index(m_ + 1), as_index(m_))) {}

    // Ritz pairs are checked after every Arnoldi step once enough exist: the small dense
    // problem costs far less than an application of a shift-inverted operator, and the
    // iteration stops as soon as the wanted pairs meet the tolerance instead of at the end
    // of the cycle.
    Result<KrylovSchurResult> run(std::span<const Complex> start) {
        if (Status s = set_start(start); !s) return std::move(s).error();
        for (;;) {
            while (size_ < m_) {
                if (Status s = arnoldi_step(); !s) return std::move(s).error();
                const bool cycle_end = size_ == m_ || exhausted_;
                if (!cycle_end && (breakdown_in_cycle_ || size_ < wanted_ + kCheckAfterExtra)) {
                    continue;
                }
                if (Status s = schur_form(); !s) return std::move(s).error();
                if (exhausted_ || top_converged()) return finish(true);
                // Locked pairs are final: their block of the Schur form, their vectors and
                // their estimates no longer change. A pair is locked on its own |b_j|, but its
                // estimate also carries the residuals its locked predecessors dropped, which
                // on a cluster of close Ritz values can sit just above tol for good; with
                // every wanted pair locked, more steps would only repeat this test (on a PML
                // cluster of the strip: 1,000 restarts, 17,040 applications, for the pairs
                // of the 160th).
                if (all_wanted_locked()) return finish(false);
            }
            if (restarts_ == options_.max_restarts) return finish(false);
            lock_converged();
            const std::size_t keep = restart_size();
            if (keep >= m_) return finish(false);  // nothing left to purge
            truncate(keep);
            breakdown_in_cycle_ = false;
            ++restarts_;
        }
    }

private:
    Status set_start(std::span<const Complex> start) {
        std::span<Complex> v0 = basis_.column(0);
        if (start.empty()) {
            fill_pseudo_random(v0, static_cast<std::uint64_t>(n_));
        } else {
            std::copy(start.begin(), start.end(), v0.begin());
        }
        const double norm_sqr = basis_.norm_sqr_of(v0);
        if (!std::isfinite(norm_sqr)) return fail("start vector must be finite");
        if (norm_sqr == 0.0) return fail("start vector must not be zero");
        const double inverse_norm = 1.0 / std::sqrt(norm_sqr);
        for (Complex& c : v0) c = scale_real(c, inverse_norm);
        return Unit{};
    }

    // Arnoldi step j = size_: column j of H and basis vector j + 1.
    Status arnoldi_step() {
        const std::size_t j = size_;
        std::span<Complex> w = basis_.column(j + 1);
        std::fill(w.begin(), w.end(), Complex{});  // what a map leaves unwritten reads as zero
        if (Status s = apply_(basis_.column(j), w); !s) return s;
        ++applications_;
        Result<Orthogonalised> o = basis_.orthogonalise(j + 1, w);
        if (!o) return std::move(o).error();
        for (std::size_t i = 0; i <= j; ++i) h_(as_index(i), as_index(j)) = to_std(o->h[i]);
        const Index next = as_index(j + 1);
        size_ = j + 1;
        if (j + 1 == n_) {
            // The basis spans the whole space: Op V = V H holds to rounding.
            h_(next, as_index(j)) = 0.0;
            exhausted_ = true;
        } else if (o->norm_after <= kBreakdownRatio * o->norm_before) {
            // Invariant subspace: Op V = V H exactly; go on from a fresh direction. Ritz
            // pairs are exact now but may miss what the start vector could not see: the cycle
            // runs to its end, expanding the fresh direction, before they are checked.
            h_(next, as_index(j)) = 0.0;
            breakdown_in_cycle_ = true;
            if (Status s = fresh_direction(j + 1); !s) return s;
        } else {
            h_(next, as_index(j)) = o->norm_after;
            const double inverse_norm = 1.0 / o->norm_after;
            for (Complex& c : w) c = scale_real(c, inverse_norm);
        }
        return Unit{};
    }

    // Column j: a pseudo-random vector orthogonalised against columns 0 .. j - 1.
    Status fresh_direction(std::size_t j) {
        std::span<Complex> v = basis_.column(j);
        for (int attempt = 0; attempt < kFreshDirectionAttempts; ++attempt) {
            ++fresh_directions_;
            fill_pseudo_random(v, static_cast<std::uint64_t>(n_) ^ (fresh_directions_ << 32));
            Result<Orthogonalised> o = basis_.orthogonalise(j, v);
            if (!o) return std::move(o).error();
            if (o->norm_after > kFreshDirectionRatio * o->norm_before) {
                const double inverse_norm = 1.0 / o->norm_after;
                for (Complex& c : v) c = scale_real(c, inverse_norm);
                return Unit{};
            }
        }
        throw InternalError("no direction orthogonal to a Krylov basis smaller than the space");
    }

    // t_ = Q^H H_s Q upper triangular (s = size_) with Q = diag(I_locked, q_), |t_(i, i)|
    // descending over the active (unlocked) positions; b_ = H(s, 0 .. s - 1) Q.
    Status schur_form() {
        const Index m = as_index(size_);
        q_first_ = locked_;
        const Index l = as_index(q_first_);
        const Index active = m - l;
        const DenseMatrix hm = h_.topLeftCorner(m, m);
        const DenseRow last = h_.row(m).head(m);
        if (!hm.allFinite() || !last.allFinite()) return fail(kNonFinite);
        Eigen::ComplexSchur<DenseMatrix> schur(active);
        schur.setMaxIterations(kSchurIterationsPerRow * std::max<Index>(active, 1));
        schur.compute(hm.bottomRightCorner(active, active), /*computeU=*/true);
        if (schur.info() != Eigen::Success) {
            return fail("eigen iteration failed to reduce the Rayleigh matrix to Schur form");
        }
        q_ = schur.matrixU();
        t_ = hm;
        t_.bottomRightCorner(active, active) = schur.matrixT();
        t_.bottomLeftCorner(active, l).setZero();
        t_.topRightCorner(l, active) = hm.topRightCorner(l, active) * q_;
        b_ = last;
        b_.tail(active) = last.tail(active) * q_;
        b_.head(l).setZero();

        // Selection sort by adjacent swaps; strict comparison keeps equal moduli in place.
        for (Index pos = l; pos < m; ++pos) {
            Index best = pos;
            for (Index i = pos + 1; i < m; ++i) {
                if (std::abs(t_(i, i)) > std::abs(t_(best, best))) best = i;
            }
            for (Index i = best - 1; i >= pos; --i) swap_adjacent(t_, q_, l, b_, i);
        }
        select_top();
        return Unit{};
    }

    // The wanted positions: the num_wanted largest |theta| over locked and active pairs,
    // largest first, ties in position order; and the residual estimate of each.
    void select_top() {
        std::vector<Index> order(size_);
        std::iota(order.begin(), order.end(), Index{0});
        std::stable_sort(order.begin(), order.end(), [&](Index a, Index b) {
            return std::abs(t_(a, a)) > std::abs(t_(b, b));
        });
        order.resize(wanted_);
        top_ = std::move(order);
        top_vectors_.clear();
        top_estimates_.clear();
        for (const Index p : top_) {
            std::vector<Scalar> x = triangular_eigenvector(t_, p);
            const double norm = euclidean_norm(x);
            for (Scalar& v : x) v /= norm;
            // The residual has the current part b x and, through the locked positions, the
            // parts dropped at locking; their sum of moduli bounds it.
            Scalar current = 0.0;
            Scalar dropped = 0.0;
            for (Index i = 0; i <= p; ++i) {
                const auto u = static_cast<std::size_t>(i);
                current += b_(i) * x[u];
                if (u < locked_) {
                    dropped += dropped_b_[u] * x[u];
                }
            }
            top_estimates_.push_back(std::abs(current) + std::abs(dropped));
            top_vectors_.push_back(std::move(x));
        }
    }

    // Ritz values far below the largest are held to an absolute level instead.
    double threshold(Index p) const {
        const double largest = top_.empty() ? 0.0 : std::abs(t_(top_[0], top_[0]));
        return options_.tol * std::max(std::abs(t_(p, p)), kEpsilon * largest);
    }

    bool top_converged() const {
        for (std::size_t k = 0; k < top_.size(); ++k) {
            if (!(top_estimates_[k] <= threshold(top_[k]))) return false;
        }
        return true;
    }

    // Leading active wanted positions whose Schur vector has converged get b_j = 0: from then
    // on their block of the Schur form no longer changes. The Schur residual |b_j| bounds
    // the Ritz estimate of position j once every position before it is locked.
    void lock_converged() {
        while (locked_ < m_ && is_top(as_index(locked_))) {
            const Index j = as_index(locked_);
            if (!(std::abs(b_(j)) <= threshold(j))) break;
            dropped_b_.push_back(b_(j));
            b_(j) = 0.0;
            ++locked_;
        }
    }

    bool is_top(Index p) const { return std::find(top_.begin(), top_.end(), p) != top_.end(); }

    bool all_wanted_locked() const {
        return std::all_of(top_.begin(), top_.end(),
                           [&](Index p) { return static_cast<std::size_t>(p) < locked_; });
    }

    // Locked pairs, the wanted active ones and half of the rest. On the strip operator of
    // bench_krylov_schur with m = 12, keeping none, a quarter or 70% of the rest cost as many
    // or more applications for every num_wanted from 1 to 8.
    std::size_t restart_size() const {
        std::size_t wanted_active = 0;
        for (const Index p : top_) wanted_active += static_cast<std::size_t>(p) >= locked_;
        const std::size_t active = m_ - locked_;
        return locked_ + wanted_active + (active - wanted_active) / 2;
    }

    // V[:, f .. keep - 1] <- V[:, f .. m - 1] q_[:, 0 .. keep - f - 1] (f = q_first_; pairs
    // locked since are among the leading columns of q_), v_keep <- v_m, and
    // H <- [T(0 .. keep - 1, 0 .. keep - 1); b(0 .. keep - 1)].
    void truncate(std::size_t keep) {
        const std::size_t active = m_ - q_first_;
        const std::size_t kept_active = keep - q_first_;
        std::vector<Complex> q(active * kept_active);
        for (std::size_t k = 0; k < kept_active; ++k) {
            for (std::size_t c = 0; c < active; ++c) {
                q[k * active + c] = from_std(q_(as_index(c), as_index(k)));
            }
        }
        basis_.rotate_in_place(q_first_, active, kept_active, q, m_, keep);
        const Index kk = as_index(keep);
        h_.setZero();
        h_.topLeftCorner(kk, kk) = t_.topLeftCorner(kk, kk);
        h_.row(kk).head(kk) = b_.head(kk);
        size_ = keep;
    }

    // Ritz pairs of the wanted positions, largest |theta| first.
    Result<KrylovSchurResult> finish(bool converged) {
        const std::size_t count = top_.size();
        const std::size_t size = size_;
        // Coordinates in the basis: Q x with Q = diag(I_locked, q_).
        std::vector<Complex> c(size * count);
        for (std::size_t k = 0; k < count; ++k) {
            const std::vector<Scalar>& x = top_vectors_[k];
            Complex* ck = c.data() + k * size;
            for (std::size_t i = 0; i < q_first_; ++i) ck[i] = from_std(x[i]);
            for (std::size_t i = q_first_; i < size; ++i) {
                Scalar s = 0.0;
                for (std::size_t j = q_first_; j < size; ++j) {
                    s += q_(as_index(i - q_first_), as_index(j - q_first_)) * x[j];
                }
                ck[i] = from_std(s);
            }
        }
        KrylovSchurResult result;
        result.vectors.assign(count, std::vector<Complex>(n_));
        basis_.combine_into(size, c, result.vectors);
        for (std::size_t k = 0; k < count; ++k) {
            std::vector<Complex>& y = result.vectors[k];
            const double norm_sqr = basis_.norm_sqr_of(y);
            if (!std::isfinite(norm_sqr) || norm_sqr == 0.0) return fail(kNonFinite);
            const double inverse_norm = 1.0 / std::sqrt(norm_sqr);
            for (Complex& v : y) v = scale_real(v, inverse_norm);
            result.values.push_back(from_std(t_(top_[k], top_[k])));
            result.estimates.push_back(top_estimates_[k]);
        }
        result.operator_applications = applications_;
        result.restarts = restarts_;
        result.converged = converged;
        return result;
    }

    std::size_t n_;
    const LinearMap& apply_;
    KrylovSchurOptions options_;
    std::size_t wanted_;
    std::size_t m_;
    std::size_t size_ = 0;  // basis vectors whose columns of h_ are complete
    Basis basis_;
    DenseMatrix h_;  // (m + 1) x m: Op V_m = V_{m+1} h_ after an expansion
    DenseMatrix t_;  // Schur form of h_'s leading m x m block, wanted values leading
    DenseMatrix q_;  // unitary transform of the active block
    std::size_t q_first_ = 0;  // the position q_ starts at: the locked count of schur_form
    DenseRow b_;     // last row of h_ times Q
    std::vector<Index> top_;
    std::vector<std::vector<Scalar>> top_vectors_;  // unit eigenvectors of t_ at top_
    std::vector<double> top_estimates_;
    std::size_t locked_ = 0;
    std::vector<Scalar> dropped_b_;  // b_j of each locked position when it was locked
    std::size_t applications_ = 0;
    std::size_t restarts_ = 0;
    std::uint64_t fresh_directions_ = 0;
    bool exhausted_ = false;
    bool breakdown_in_cycle_ = false;
};

}  // namespace

Result<KrylovSchurResult> krylov_schur(std::size_t n, const LinearMap& apply,
                                       std::span<const Complex> start,
                                       const KrylovSchurOptions& options) {
    if (n == 0) return fail("n must be positive");
    if (options.num_wanted == 0) return fail("num_wanted must be positive");
    if (!(options.tol > 0.0)) return fail("tol must be positive");
    if (!start.empty() && start.size() != n) {
        return fail("start vector length does not match the operator size");
    }
    KrylovSchurIteration iteration(n, apply, options);
    return iteration.run(start);
}

}  // namespace corvane
