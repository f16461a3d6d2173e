// Sparse LU held by SuiteSparse UMFPACK (complex routines, packed complex values; 32-bit
// indices, 64-bit only where those cannot represent the factorisation or when asked).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "common/complex.hpp"
#include "common/result.hpp"
#include "eigensolve/lu_factors.hpp"
#include "sparse_matrix/sparse_matrix.hpp"

namespace corvane {

// UMFPACK's Control/Info arrays, handles and the matrix it was handed; defined with the
// UMFPACK calls.
struct UmfpackState;
struct UmfpackSymbolic;

enum class FillOrdering { amd, metis };

// Keeps the symbolic analysis of the last pattern factorised through it, so a sequence of
// factorisations on one grid (a wavelength sweep) analyses it once. Cancellations leave
// exact zeros (not stored) or rounding residues of about 1e-16 at points that change from
// one wavelength to the next, so a matrix whose pattern lies inside the kept one, up to
// such residues (below 64 eps of its largest entry, left out), reuses it with explicit
// zeros, and one that does not is analysed on the union of both. Another ordering, index width or size replaces it.
// Safe to share between threads: each factorisation keeps the analysis it used alive.
class UmfpackSymbolicCache {
public:
    UmfpackSymbolicCache();
    UmfpackSymbolicCache(const UmfpackSymbolicCache&) = delete;
    UmfpackSymbolicCache& operator=(const UmfpackSymbolicCache&) = delete;
    ~UmfpackSymbolicCache();

    // The kept analysis when it was made with this ordering and width for this size.
    std::shared_ptr<const UmfpackSymbolic> last(FillOrdering ordering, bool wide,
                                                std::size_t rows) const;
    void store(std::shared_ptr<const UmfpackSymbolic> symbolic);
    void count_reuse();
    // Number of factorisations that reused the kept analysis.
    std::size_t hits() const;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const UmfpackSymbolic> last_;
    std::size_t hits_ = 0;
};

// How UmfpackLu::factor and its solves run. The defaults are the exact module's
// behaviour: AMD, iterative refinement in every solve, 32-bit routines first.
struct UmfpackOptions {
    FillOrdering ordering = FillOrdering::amd;
    bool refine = true;
    bool wide_indices = false;  // straight to the 64-bit routines
    UmfpackSymbolicCache* symbolic_cache = nullptr;
};

// Scratch memory of UmfpackLu::solve_into: one per thread solving on one factorisation.
struct UmfpackSolveWorkspace {
    std::vector<int> wi_narrow;
    std::vector<std::int64_t> wi_wide;
    std::vector<double> w;
};

// Wall-clock seconds UMFPACK reported for the two factorisation phases.
struct UmfpackFactorTimes {
    double symbolic = 0.0;
    double numeric = 0.0;
};

class UmfpackLu {
public:
    static Result<UmfpackLu> factor(const SparseMatrix& b);
    // When UMFPACK runs out of memory the Error has kind out_of_memory and says how much
    // the factorisation needed.
    static Result<UmfpackLu> factor(const SparseMatrix& b, const UmfpackOptions& options);
    // x with B x = rhs (UMFPACK's default iterative refinement). Writes UMFPACK's Info
    // array, so one UmfpackLu serves one thread at a time.
    Result<std::vector<Complex>> solve(std::span<const Complex> rhs) const;
    // x with B x = rhs into x, refined iteratively when `refine`. Touches only its own
    // arguments: any number of threads may solve at once, each with its own workspace.
    Status solve_into(std::span<const Complex> rhs, std::span<Complex> x,
                      UmfpackSolveWorkspace& workspace, bool refine) const;

    // L, U, the permutations and the row scaling copied into plain arrays, for solves
    // that do not go through UMFPACK (see lu_factors.hpp); UMFPACK's factorisation is then
    // freed and this object left empty. On failure it stays as it was.
    Result<CopiedLu> release_factors() &&;

    std::size_t size() const { return n_; }
    // Entries of L and U together (each diagonal counted in both).
    std::size_t factor_entries() const;
    UmfpackFactorTimes factor_times() const;
    // True when the 64-bit routines (umfpack_zl) hold the factorisation because the 32-bit
    // ones could not represent it.
    bool uses_wide_indices() const;
    // True when the symbolic analysis came from an UmfpackSymbolicCache.
    bool reused_symbolic() const;
    // True when METIS ordered the matrix.
    bool used_metis() const;

    UmfpackLu(UmfpackLu&&) noexcept;
    UmfpackLu& operator=(UmfpackLu&&) noexcept;
    ~UmfpackLu();

private:
    UmfpackLu(std::unique_ptr<UmfpackState> state, std::size_t n);

    std::unique_ptr<UmfpackState> state_;
    std::size_t n_ = 0;
};

}  // namespace corvane
