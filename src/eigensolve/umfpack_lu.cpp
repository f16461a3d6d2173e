#include "eigensolve/umfpack_lu.hpp"

#include <suitesparse/umfpack.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

#include "eigensolve/testing.hpp"

namespace corvane {
namespace {

static_assert(sizeof(Complex) == 2 * sizeof(double) && offsetof(Complex, im) == sizeof(double),
              "UMFPACK's packed complex form is (re, im) pairs");

using WideInt = SuiteSparse_long;
static_assert(sizeof(WideInt) == sizeof(std::int64_t) && std::is_signed_v<WideInt>,
              "UMFPACK's 64-bit index is a signed 64-bit integer");

// The complex routines for one index type: umfpack_zi (int) and umfpack_zl (64-bit).
template <class Int>
struct Routines;

template <>
struct Routines<int> {
    static constexpr auto symbolic = umfpack_zi_symbolic;
    static constexpr auto numeric = umfpack_zi_numeric;
    static constexpr auto solve = umfpack_zi_solve;
    static constexpr auto wsolve = umfpack_zi_wsolve;
    static constexpr auto free_symbolic = umfpack_zi_free_symbolic;
    static constexpr auto free_numeric = umfpack_zi_free_numeric;
    static constexpr auto defaults = umfpack_zi_defaults;
    static constexpr auto get_lunz = umfpack_zi_get_lunz;
    static constexpr auto get_numeric = umfpack_zi_get_numeric;
};

template <>
struct Routines<WideInt> {
    static constexpr auto symbolic = umfpack_zl_symbolic;
    static constexpr auto numeric = umfpack_zl_numeric;
    static constexpr auto solve = umfpack_zl_solve;
    static constexpr auto wsolve = umfpack_zl_wsolve;
    static constexpr auto free_symbolic = umfpack_zl_free_symbolic;
    static constexpr auto free_numeric = umfpack_zl_free_numeric;
    static constexpr auto defaults = umfpack_zl_defaults;
    static constexpr auto get_lunz = umfpack_zl_get_lunz;
    static constexpr auto get_numeric = umfpack_zl_get_numeric;
};

// One UMFPACK handle; the free functions accept a null handle and reset it.
template <void (*Free)(void**)>
class UmfpackHandle {
public:
    UmfpackHandle() = default;
    UmfpackHandle(const UmfpackHandle&) = delete;
    UmfpackHandle& operator=(const UmfpackHandle&) = delete;
    ~UmfpackHandle() { reset(); }

    void reset() { Free(&handle_); }
    void* get() const { return handle_; }
    void** out() { return &handle_; }

private:
    void* handle_ = nullptr;
};

constexpr int kSizeOverflow = std::numeric_limits<int>::min();
constexpr int kMisplacedDiagonal = std::numeric_limits<int>::min() + 1;
// 64-bit factors up to this many entries are copied on two threads, both index temporaries
// held at once (half a GiB at this size).
constexpr std::size_t kSideBySideWideEntries = std::size_t{1} << 26;

std::string status_text(const char* phase, long status) {
    return std::string("UMFPACK ") + phase + " failed with status " + std::to_string(status);
}

std::string gibibytes(double bytes) {
    const double gib = bytes / (1024.0 * 1024.0 * 1024.0);
    std::string text = std::to_string(gib);
    return text.substr(0, text.find('.') + 3) + " GiB";
}

}  // namespace

// A compressed-column pattern: ascending rows in each column, no duplicates.
struct Pattern {
    std::vector<std::size_t> col_ptr;
    std::vector<std::size_t> row_indices;
};

// One symbolic analysis and, when it is kept for reuse, the pattern it was made for.
struct UmfpackSymbolic {
    void* handle = nullptr;
    bool wide = false;
    FillOrdering ordering = FillOrdering::amd;
    bool metis_used = false;
    Pattern pattern;

    UmfpackSymbolic() = default;
    UmfpackSymbolic(const UmfpackSymbolic&) = delete;
    UmfpackSymbolic& operator=(const UmfpackSymbolic&) = delete;
    ~UmfpackSymbolic() {
        if (wide) {
            umfpack_zl_free_symbolic(&handle);
        } else {
            umfpack_zi_free_symbolic(&handle);
        }
    }
};

UmfpackSymbolicCache::UmfpackSymbolicCache() = default;
UmfpackSymbolicCache::~UmfpackSymbolicCache() = default;

std::shared_ptr<const UmfpackSymbolic> UmfpackSymbolicCache::last(FillOrdering ordering, bool wide,
                                                                  std::size_t rows) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!last_ || last_->wide != wide || last_->ordering != ordering ||
        last_->pattern.col_ptr.size() != rows + 1) {
        return nullptr;
    }
    return last_;
}

void UmfpackSymbolicCache::store(std::shared_ptr<const UmfpackSymbolic> symbolic) {
    const std::lock_guard<std::mutex> lock(mutex_);
    last_ = std::move(symbolic);
}

void UmfpackSymbolicCache::count_reuse() {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++hits_;
}

std::size_t UmfpackSymbolicCache::hits() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return hits_;
}

namespace {

// Entries below this size relative to the largest one are rounding residues of
// cancellations (they come and go from one sweep point to the next); leaving one out
// perturbs B by less than the backward error of its LU factorisation.
constexpr double kNegligibleEntry = 64.0 * kEpsilon;

double largest_entry(const SparseMatrix& b) {
    double largest = 0.0;
    for (const Complex v : b.values) largest = std::max(largest, abs(v));
    return largest;
}

// b's values laid out on the pattern p (zeros where b stores nothing); false when b has an
// entry outside p that is not negligible.
bool embed_values(const SparseMatrix& b, const Pattern& p, std::vector<Complex>& out) {
    const double negligible = kNegligibleEntry * largest_entry(b);
    out.assign(p.row_indices.size(), Complex{});
    for (std::size_t c = 0; c < b.cols; ++c) {
        std::size_t q = p.col_ptr[c];
        const std::size_t q_end = p.col_ptr[c + 1];
        for (std::size_t k = b.col_ptr[c]; k < b.col_ptr[c + 1]; ++k) {
            while (q < q_end && p.row_indices[q] < b.row_indices[k]) ++q;
            if (q == q_end || p.row_indices[q] != b.row_indices[k]) {
                if (abs(b.values[k]) <= negligible) continue;
                return false;
            }
            out[q] = b.values[k];
        }
    }
    return true;
}

// The entries of p and of b, column by column in ascending row order.
Pattern pattern_union(const Pattern& p, const SparseMatrix& b) {
    Pattern u;
    u.col_ptr.reserve(b.cols + 1);
    u.col_ptr.push_back(0);
    u.row_indices.reserve(std::max(p.row_indices.size(), b.row_indices.size()));
    for (std::size_t c = 0; c < b.cols; ++c) {
        const auto p_rows = std::span(p.row_indices).subspan(p.col_ptr[c], p.col_ptr[c + 1] - p.col_ptr[c]);
        const auto b_rows = std::span(b.row_indices).subspan(b.col_ptr[c], b.col_ptr[c + 1] - b.col_ptr[c]);
        std::set_union(p_rows.begin(), p_rows.end(), b_rows.begin(), b_rows.end(),
                       std::back_inserter(u.row_indices));
        u.col_ptr.push_back(u.row_indices.size());
    }
    return u;
}

Pattern pattern_of(const SparseMatrix& b) { return Pattern{b.col_ptr, b.row_indices}; }

// Debian's METIS 5.1 draws its random matchings from the C library's rand(), reseeded by
// srand(4321) at the start of every ordering: one generator for the whole process. Two
// orderings at once interleave their draws, get different permutations and so LU factors
// rounded differently. Held for a METIS analysis, this lock keeps each ordering's draws to
// itself; AMD draws nothing and runs without it.
std::mutex& metis_ordering_lock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

// One factorisation with Int indices: the parameter and statistics arrays, the two handles
// and the matrix, which stays with them because the numeric factorisation and every solve
// (iterative refinement) read the same arrays.
template <class Int>
struct UmfpackFactorization {
    using R = Routines<Int>;

    std::array<double, UMFPACK_CONTROL> control{};
    std::array<double, UMFPACK_INFO> info{};
    std::shared_ptr<const UmfpackSymbolic> symbolic;
    UmfpackHandle<R::free_numeric> numeric;
    std::int32_t symbolic_done = 0;
    std::int32_t numeric_done = 0;
    std::vector<Int> col_ptr;
    std::vector<Int> row_indices;
    std::vector<Complex> values;
    Int n = 0;
    Int nnz = 0;
    UmfpackFactorTimes times;
    bool reused_symbolic = false;
    // Bytes the symbolic analysis expected the factorisation to need at its peak.
    double peak_memory_estimate = 0.0;

    // UMFPACK's status (0 on success), or kSizeOverflow when the matrix does not fit Int.
    // `phase` names the failing step.
    long factor(const SparseMatrix& b, const UmfpackOptions& options, const char*& phase) {
        phase = "index conversion";
        constexpr bool is_wide = std::is_same_v<Int, WideInt>;
        UmfpackSymbolicCache* cache = options.symbolic_cache;
        // With a cache, the factorised pattern is the kept one when b fits in it, else the
        // union of both; without, b's own.
        std::shared_ptr<const UmfpackSymbolic> kept =
            cache != nullptr ? cache->last(options.ordering, is_wide, b.rows) : nullptr;
        std::vector<Complex> embedded;
        Pattern merged;
        const Pattern* layout = nullptr;
        if (kept && embed_values(b, kept->pattern, embedded)) {
            symbolic = kept;
            reused_symbolic = true;
            layout = &kept->pattern;
            cache->count_reuse();
        } else if (cache != nullptr) {
            merged = kept ? pattern_union(kept->pattern, b) : pattern_of(b);
            if (!embed_values(b, merged, embedded)) {
                throw InternalError("a pattern union holds every entry of the matrix");
            }
            layout = &merged;
        }
        const std::vector<std::size_t>& pattern_cols = layout ? layout->col_ptr : b.col_ptr;
        const std::vector<std::size_t>& pattern_rows = layout ? layout->row_indices : b.row_indices;

        constexpr auto int_max = static_cast<std::size_t>(std::numeric_limits<Int>::max());
        if (b.rows > int_max || pattern_rows.size() > int_max) return kSizeOverflow;
        R::defaults(control.data());

        // The stored columns are already in compressed-column form with ascending rows and
        // no duplicates: the conversion only narrows the indices.
        n = static_cast<Int>(b.rows);
        nnz = static_cast<Int>(pattern_rows.size());
        col_ptr.resize(b.cols + 1);
        for (std::size_t c = 0; c <= b.cols; ++c) col_ptr[c] = static_cast<Int>(pattern_cols[c]);
        row_indices.resize(pattern_rows.size());
        for (std::size_t q = 0; q < pattern_rows.size(); ++q) {
            row_indices[q] = static_cast<Int>(pattern_rows[q]);
        }
        if (layout != nullptr) {
            values = std::move(embedded);
        } else {
            values = b.values;
        }

        control[UMFPACK_STRATEGY] = UMFPACK_STRATEGY_AUTO;
        control[UMFPACK_ORDERING] =
            options.ordering == FillOrdering::metis ? UMFPACK_ORDERING_METIS : UMFPACK_ORDERING_AMD;
        control[UMFPACK_SCALE] = UMFPACK_SCALE_SUM;
        control[UMFPACK_PRL] = 0.0;
        if (!options.refine) control[UMFPACK_IRSTEP] = 0.0;

        const double* ax = reinterpret_cast<const double*>(values.data());
        long status = UMFPACK_OK;
        if (!symbolic) {
            auto analysis = std::make_shared<UmfpackSymbolic>();
            analysis->wide = is_wide;
            analysis->ordering = options.ordering;
            phase = "symbolic analysis";
            std::optional<std::scoped_lock<std::mutex>> ordering_lock;
            if (options.ordering == FillOrdering::metis) ordering_lock.emplace(metis_ordering_lock());
            status = R::symbolic(n, n, col_ptr.data(), row_indices.data(), ax, nullptr,
                                 &analysis->handle, control.data(), info.data());
            if (status != UMFPACK_OK) return status;
            times.symbolic = info[UMFPACK_SYMBOLIC_WALLTIME];
            peak_memory_estimate = info[UMFPACK_PEAK_MEMORY_ESTIMATE] * info[UMFPACK_SIZE_OF_UNIT];
            analysis->metis_used = info[UMFPACK_ORDERING_USED] == UMFPACK_ORDERING_METIS;
            if (cache != nullptr) {
                analysis->pattern = std::move(merged);
                cache->store(analysis);
            }
            symbolic = std::move(analysis);
        }
        symbolic_done = 1;

        phase = "numeric factorization";
        if (numeric_done == 1) numeric.reset();
        status = R::numeric(col_ptr.data(), row_indices.data(), ax, nullptr, symbolic->handle,
                            numeric.out(), control.data(), info.data());
        numeric_done = 1;
        // A singular matrix (UMFPACK_WARNING_singular_matrix, status 1) fails as well.
        if (status != UMFPACK_OK) return status;
        times.numeric = info[UMFPACK_NUMERIC_WALLTIME];
        return UMFPACK_OK;
    }

    // Thread-safe: a private copy of the parameters, private statistics and workspace.
    long solve_into(std::span<const Complex> rhs, std::span<Complex> x, std::span<Int> wi,
                    std::span<double> w, bool refine) const {
        std::array<double, UMFPACK_CONTROL> local_control = control;
        local_control[UMFPACK_PRL] = 0.0;
        local_control[UMFPACK_IRSTEP] = refine ? UMFPACK_DEFAULT_IRSTEP : 0.0;
        std::array<double, UMFPACK_INFO> local_info{};
        return R::wsolve(UMFPACK_A, col_ptr.data(), row_indices.data(),
                         reinterpret_cast<const double*>(values.data()), nullptr,
                         reinterpret_cast<double*>(x.data()), nullptr,
                         reinterpret_cast<const double*>(rhs.data()), nullptr, numeric.get(),
                         local_control.data(), local_info.data(), wi.data(), w.data());
    }

    // L, U, the permutations and the row scaling as plain arrays; UMFPACK's status, or
    // kMisplacedDiagonal when a row of L or a column of U does not end with its diagonal.
    long copy_factors(CopiedLu& f) const {
        Int lnz = 0, unz = 0, rows = 0, cols = 0, diagonal_nz = 0;
        long status = R::get_lunz(&lnz, &unz, &rows, &cols, &diagonal_nz, numeric.get());
        if (status != UMFPACK_OK) return status;
        const auto size = static_cast<std::size_t>(n);
        f.n = size;
        std::vector<Int> row_order(size);
        std::vector<Int> column_order(size);
        std::vector<Int> ptr(size + 1);
        Int do_recip = 0;
        f.row_multiplier.resize(size);
        f.lower_values.resize(static_cast<std::size_t>(lnz));
        f.lower_columns.resize(static_cast<std::size_t>(lnz));
        f.upper_values.resize(static_cast<std::size_t>(unz));
        f.upper_rows.resize(static_cast<std::size_t>(unz));
        std::vector<Int> upper_ptr(size + 1);
        // 64-bit indices arrive in temporaries and are narrowed.
        constexpr bool wide = sizeof(Int) != sizeof(std::uint32_t);
        const std::size_t entries = static_cast<std::size_t>(lnz) + static_cast<std::size_t>(unz);
        const bool side_by_side = !wide || entries <= kSideBySideWideEntries;
        std::vector<Int> lower_scratch(wide ? static_cast<std::size_t>(lnz) : 0);
        std::vector<Int> upper_scratch(wide && side_by_side ? static_cast<std::size_t>(unz) : 0);
        auto copy_lower = [&] {
            return copy_factor(/*lower=*/true, ptr, f.lower_columns, f.lower_values,
                               lower_scratch, &do_recip, row_order.data(), column_order.data(),
                               f.row_multiplier.data());
        };
        auto copy_upper = [&](std::vector<Int>& scratch) {
            return copy_factor(/*lower=*/false, upper_ptr, f.upper_rows, f.upper_values,
                               scratch, nullptr, nullptr, nullptr, nullptr);
        };
        long upper_status = UMFPACK_OK;
        if (side_by_side) {
            // Both copies only read the factorisation and allocate nothing: side by side on
            // two threads.
            std::jthread upper([&] { upper_status = copy_upper(upper_scratch); });
            status = copy_lower();
        } else {
            // One 64-bit temporary at a time at the peak of memory.
            status = copy_lower();
            std::vector<Int>().swap(lower_scratch);
            if (status == UMFPACK_OK) {
                upper_scratch.resize(static_cast<std::size_t>(unz));
                upper_status = copy_upper(upper_scratch);
            }
        }
        if (status != UMFPACK_OK) return status;
        if (upper_status != UMFPACK_OK) return upper_status;
        // Without do_recip UMFPACK divides each row by its factor.
        if (do_recip == 0) {
            for (double& r : f.row_multiplier) r = 1.0 / r;
        }
        f.lower_ptr.assign(ptr.begin(), ptr.end());
        f.upper_ptr.assign(upper_ptr.begin(), upper_ptr.end());
        f.row_order.assign(row_order.begin(), row_order.end());
        f.column_order.assign(column_order.begin(), column_order.end());
        for (std::size_t k = 0; k < size; ++k) {
            if (f.lower_ptr[k + 1] == f.lower_ptr[k] || f.upper_ptr[k + 1] == f.upper_ptr[k] ||
                f.lower_columns[f.lower_ptr[k + 1] - 1] != k ||
                f.upper_rows[f.upper_ptr[k + 1] - 1] != k) {
                return kMisplacedDiagonal;
            }
        }
        return UMFPACK_OK;
    }

    // L (by rows) or U (by columns) straight into the caller's arrays; 64-bit indices go
    // through `scratch` (as long as the factor) and are narrowed.
    long copy_factor(bool lower, std::vector<Int>& ptr, std::vector<std::uint32_t>& index,
                     std::vector<Complex>& values_out, std::vector<Int>& scratch, Int* do_recip,
                     Int* row_order, Int* column_order, double* row_scale) const {
        auto* x = reinterpret_cast<double*>(values_out.data());
        auto get = [&](Int* i) {
            return lower ? R::get_numeric(ptr.data(), i, x, nullptr, nullptr, nullptr, nullptr,
                                          nullptr, row_order, column_order, nullptr, nullptr,
                                          do_recip, row_scale, numeric.get())
                         : R::get_numeric(nullptr, nullptr, nullptr, nullptr, ptr.data(), i, x,
                                          nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                          nullptr, numeric.get());
        };
        if constexpr (sizeof(Int) == sizeof(std::uint32_t)) {
            // Indices are below n, so the int and unsigned representations agree.
            (void)scratch;
            return get(reinterpret_cast<Int*>(index.data()));
        } else {
            const long status = get(scratch.data());
            std::copy(scratch.begin(), scratch.end(), index.begin());
            return status;
        }
    }

    std::size_t factor_entries() const {
        Int lnz = 0, unz = 0, rows = 0, cols = 0, diagonal_nz = 0;
        if (R::get_lunz(&lnz, &unz, &rows, &cols, &diagonal_nz, numeric.get()) != UMFPACK_OK) {
            return 0;
        }
        return static_cast<std::size_t>(lnz) + static_cast<std::size_t>(unz);
    }

    long solve(std::span<const Complex> rhs, std::vector<Complex>& x) {
        control[UMFPACK_PRL] = 0.0;
        return R::solve(UMFPACK_A, col_ptr.data(), row_indices.data(),
                        reinterpret_cast<const double*>(values.data()), nullptr,
                        reinterpret_cast<double*>(x.data()), nullptr,
                        reinterpret_cast<const double*>(rhs.data()), nullptr, numeric.get(),
                        control.data(), info.data());
    }
};

// The 32-bit routines hold the factorisation unless they cannot represent it (indices or
// UMFPACK's own workspace beyond int); then the 64-bit routines do.
struct UmfpackState {
    std::unique_ptr<UmfpackFactorization<int>> narrow;
    std::unique_ptr<UmfpackFactorization<WideInt>> wide;
};

UmfpackLu::UmfpackLu(std::unique_ptr<UmfpackState> state, std::size_t n)
    : state_(std::move(state)), n_(n) {}
UmfpackLu::UmfpackLu(UmfpackLu&&) noexcept = default;
UmfpackLu& UmfpackLu::operator=(UmfpackLu&&) noexcept = default;
UmfpackLu::~UmfpackLu() = default;

Result<UmfpackLu> UmfpackLu::factor(const SparseMatrix& b) { return factor(b, UmfpackOptions{}); }

Result<UmfpackLu> UmfpackLu::factor(const SparseMatrix& b, const UmfpackOptions& options) {
    if (b.rows != b.cols) return fail("LU factorization requires a square matrix");
    if (b.rows == 0 || b.nnz() == 0) {
        return fail("UMFPACK requires a matrix with at least one entry");
    }

    auto state = std::make_unique<UmfpackState>();
    const char* phase = "";
    long status = kSizeOverflow;
    if (!options.wide_indices) {
        state->narrow = std::make_unique<UmfpackFactorization<int>>();
        status = active_eigensolve_faults().umfpack_int_out_of_memory
                     ? UMFPACK_ERROR_out_of_memory
                     : state->narrow->factor(b, options, phase);
    }
    // The int routines report their workspace limit as running out of memory: the
    // symbolic upper bound of that workspace outgrows int on grids of a few 10^5 cells.
    if (status == kSizeOverflow || status == UMFPACK_ERROR_out_of_memory) {
        state->narrow.reset();
        state->wide = std::make_unique<UmfpackFactorization<WideInt>>();
        status = state->wide->factor(b, options, phase);
    }
    if (status == kSizeOverflow) return fail("matrix size exceeds UMFPACK index range");
    // The native LU has no fill-reducing ordering: where UMFPACK ran out of memory it
    // would need more, so the failure is final.
    if (status == UMFPACK_ERROR_out_of_memory) {
        const double needed = state->wide->peak_memory_estimate;
        std::string text = std::string("UMFPACK ran out of memory in its ") + phase;
        if (needed > 0.0) text += ": its analysis estimated a need of up to " + gibibytes(needed);
        return fail(std::move(text), ErrorKind::out_of_memory);
    }
    if (status != UMFPACK_OK) return fail(status_text(phase, status));
    return UmfpackLu(std::move(state), b.rows);
}

Result<std::vector<Complex>> UmfpackLu::solve(std::span<const Complex> rhs) const {
    if (rhs.size() != n_) return fail("right-hand side length does not match LU size");
    std::vector<Complex> x(n_);
    const long status =
        state_->narrow ? state_->narrow->solve(rhs, x) : state_->wide->solve(rhs, x);
    if (status != UMFPACK_OK) return fail(status_text("solve", status));
    return x;
}

Status UmfpackLu::solve_into(std::span<const Complex> rhs, std::span<Complex> x,
                             UmfpackSolveWorkspace& workspace, bool refine) const {
    if (rhs.size() != n_ || x.size() != n_) {
        return fail("right-hand side length does not match LU size");
    }
    // W holds 10 n doubles with refinement, 4 n without.
    const std::size_t w_size = (refine ? 10 : 4) * n_;
    if (workspace.w.size() < w_size) workspace.w.resize(w_size);
    long status = UMFPACK_OK;
    if (state_->narrow) {
        if (workspace.wi_narrow.size() < n_) workspace.wi_narrow.resize(n_);
        status = state_->narrow->solve_into(rhs, x, workspace.wi_narrow, workspace.w, refine);
    } else {
        if (workspace.wi_wide.size() < n_) workspace.wi_wide.resize(n_);
        const std::span<WideInt> wi(reinterpret_cast<WideInt*>(workspace.wi_wide.data()), n_);
        status = state_->wide->solve_into(rhs, x, wi, workspace.w, refine);
    }
    // A singular factor only warns; the solution then holds infinities or NaNs.
    if (status != UMFPACK_OK) return fail(status_text("solve", status));
    return Unit{};
}

Result<CopiedLu> UmfpackLu::release_factors() && {
    if (n_ > std::numeric_limits<std::uint32_t>::max()) {
        return fail("matrix size exceeds the range of the copied LU factors");
    }
    CopiedLu f;
    const long status =
        state_->narrow ? state_->narrow->copy_factors(f) : state_->wide->copy_factors(f);
    if (status == UMFPACK_ERROR_out_of_memory) {
        return fail("UMFPACK ran out of memory copying its factors", ErrorKind::out_of_memory);
    }
    if (status == kMisplacedDiagonal) return fail("UMFPACK's factors lack a diagonal entry");
    if (status != UMFPACK_OK) return fail(status_text("factor copy", status));
    state_.reset();
    n_ = 0;
    return f;
}

std::size_t UmfpackLu::factor_entries() const {
    return state_->narrow ? state_->narrow->factor_entries() : state_->wide->factor_entries();
}

bool UmfpackLu::reused_symbolic() const {
    return state_->narrow ? state_->narrow->reused_symbolic : state_->wide->reused_symbolic;
}

bool UmfpackLu::used_metis() const {
    return state_->narrow ? state_->narrow->symbolic->metis_used
                          : state_->wide->symbolic->metis_used;
}

UmfpackFactorTimes UmfpackLu::factor_times() const {
    return state_->narrow ? state_->narrow->times : state_->wide->times;
}

bool UmfpackLu::uses_wide_indices() const { return state_->wide != nullptr; }

}  // namespace corvane
