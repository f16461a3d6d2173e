#include "eigensolve/umfpack_lu.hpp"

#include <suitesparse/umfpack.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "eigensolve/testing.hpp"

namespace corvane {
namespace {

static_assert(sizeof(Complex) == 2 * sizeof(double) && offsetof(Complex, im) == sizeof(double),
              "UMFPACK's packed complex form is (re, im) pairs");

using WideInt = SuiteSparse_long;

// The complex routines for one index type: umfpack_zi (int) and umfpack_zl (64-bit).
template <class Int>
struct Routines;

template <>
struct Routines<int> {
    static constexpr auto symbolic = umfpack_zi_symbolic;
    static constexpr auto numeric = umfpack_zi_numeric;
    static constexpr auto solve = umfpack_zi_solve;
    static constexpr auto free_symbolic = umfpack_zi_free_symbolic;
    static constexpr auto free_numeric = umfpack_zi_free_numeric;
    static constexpr auto defaults = umfpack_zi_defaults;
};

template <>
struct Routines<WideInt> {
    static constexpr auto symbolic = umfpack_zl_symbolic;
    static constexpr auto numeric = umfpack_zl_numeric;
    static constexpr auto solve = umfpack_zl_solve;
    static constexpr auto free_symbolic = umfpack_zl_free_symbolic;
    static constexpr auto free_numeric = umfpack_zl_free_numeric;
    static constexpr auto defaults = umfpack_zl_defaults;
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

std::string status_text(const char* phase, long status) {
    return std::string("UMFPACK ") + phase + " failed with status " + std::to_string(status);
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
    UmfpackHandle<R::free_symbolic> symbolic;
    UmfpackHandle<R::free_numeric> numeric;
    std::int32_t symbolic_done = 0;
    std::int32_t numeric_done = 0;
    std::vector<Int> col_ptr;
    std::vector<Int> row_indices;
    std::vector<Complex> values;
    Int n = 0;
    Int nnz = 0;
    UmfpackFactorTimes times;

    // UMFPACK's status (0 on success), or kSizeOverflow when the matrix does not fit Int.
    // `phase` names the failing step.
    long factor(const SparseMatrix& b, const char*& phase) {
        phase = "index conversion";
        constexpr auto int_max = static_cast<std::size_t>(std::numeric_limits<Int>::max());
        if (b.rows > int_max || b.nnz() > int_max) return kSizeOverflow;
        R::defaults(control.data());

        // The stored columns are already in compressed-column form with ascending rows and
        // no duplicates: the conversion only narrows the indices.
        n = static_cast<Int>(b.rows);
        nnz = static_cast<Int>(b.nnz());
        col_ptr.resize(b.cols + 1);
        for (std::size_t c = 0; c <= b.cols; ++c) col_ptr[c] = static_cast<Int>(b.col_ptr[c]);
        row_indices.resize(b.nnz());
        for (std::size_t q = 0; q < b.nnz(); ++q) {
            row_indices[q] = static_cast<Int>(b.row_indices[q]);
        }
        values = b.values;

        control[UMFPACK_STRATEGY] = UMFPACK_STRATEGY_AUTO;
        control[UMFPACK_ORDERING] = UMFPACK_ORDERING_AMD;
        control[UMFPACK_SCALE] = UMFPACK_SCALE_SUM;
        control[UMFPACK_PRL] = 0.0;

        const double* ax = reinterpret_cast<const double*>(values.data());
        phase = "symbolic analysis";
        long status = R::symbolic(n, n, col_ptr.data(), row_indices.data(), ax, nullptr,
                                  symbolic.out(), control.data(), info.data());
        if (status != UMFPACK_OK) return status;
        symbolic_done = 1;
        times.symbolic = info[UMFPACK_SYMBOLIC_WALLTIME];

        phase = "numeric factorization";
        if (numeric_done == 1) numeric.reset();
        status = R::numeric(col_ptr.data(), row_indices.data(), ax, nullptr, symbolic.get(),
                            numeric.out(), control.data(), info.data());
        numeric_done = 1;
        // A singular matrix (UMFPACK_WARNING_singular_matrix, status 1) fails as well.
        if (status != UMFPACK_OK) return status;
        times.numeric = info[UMFPACK_NUMERIC_WALLTIME];
        return UMFPACK_OK;
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

Result<UmfpackLu> UmfpackLu::factor(const SparseMatrix& b) {
    if (b.rows != b.cols) return fail("LU factorization requires a square matrix");
    if (b.rows == 0 || b.nnz() == 0) {
        return fail("UMFPACK requires a matrix with at least one entry");
    }

    auto state = std::make_unique<UmfpackState>();
    const char* phase = "";
    state->narrow = std::make_unique<UmfpackFactorization<int>>();
    long status = active_eigensolve_faults().umfpack_int_out_of_memory
                      ? UMFPACK_ERROR_out_of_memory
                      : state->narrow->factor(b, phase);
    // The int routines report their workspace limit as running out of memory: the
    // symbolic upper bound of that workspace outgrows int on grids of a few 10^5 cells.
    if (status == kSizeOverflow || status == UMFPACK_ERROR_out_of_memory) {
        state->narrow.reset();
        state->wide = std::make_unique<UmfpackFactorization<WideInt>>();
        status = state->wide->factor(b, phase);
    }
    if (status == kSizeOverflow) return fail("matrix size exceeds UMFPACK index range");
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

UmfpackFactorTimes UmfpackLu::factor_times() const {
    return state_->narrow ? state_->narrow->times : state_->wide->times;
}

bool UmfpackLu::uses_wide_indices() const { return state_->wide != nullptr; }

}  // namespace corvane
