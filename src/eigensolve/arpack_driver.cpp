#include "eigensolve/arpack_driver.hpp"

#include <arpack/arpack.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace corvane {
namespace {

static_assert(sizeof(a_int) == sizeof(std::int32_t), "ARPACK built with 32-bit integers");
static_assert(sizeof(double _Complex) == sizeof(Complex) &&
                  alignof(double _Complex) >= alignof(Complex) &&
                  offsetof(Complex, im) == sizeof(double),
              "Complex must share the layout of C double _Complex");

constexpr std::size_t kIntMax = static_cast<std::size_t>(std::numeric_limits<a_int>::max());

// A lock that remembers an internal error escaping while it was held: ARPACK's saved
// reverse-communication state is then unknown, so no later sequence may start. The flag is
// never cleared.
struct PoisonableMutex {
    std::mutex mutex;
    bool poisoned = false;
};

PoisonableMutex ARPACK_MUTEX;

class ArpackLockGuard {
public:
    explicit ArpackLockGuard(PoisonableMutex& m) : m_(m) { m_.mutex.lock(); }
    ArpackLockGuard(const ArpackLockGuard&) = delete;
    ArpackLockGuard& operator=(const ArpackLockGuard&) = delete;
    ~ArpackLockGuard() { m_.mutex.unlock(); }

    bool poisoned() const { return m_.poisoned; }

    // Called with the escaping exception current. A failed allocation abandons the sequence
    // as cleanly as any error return does (the next sequence starts afresh with ido = 0),
    // so the caller's MemoryError must not cost every later solve its ARPACK routes.
    void poison_unless_out_of_memory() noexcept {
        try {
            throw;
        } catch (const std::bad_alloc&) {
        } catch (const std::length_error&) {  // what the binding also reports as MemoryError
        } catch (...) {
            m_.poisoned = true;
        }
    }

private:
    PoisonableMutex& m_;
};

// ARPACK's LAPACK calls reject NaN and infinite data through xerbla, which prints (and in
// reference LAPACK stops the process); such data ends the run as a failure instead.
bool all_finite(std::span<const Complex> v) {
    for (const Complex c : v) {
        if (!std::isfinite(c.re) || !std::isfinite(c.im)) return false;
    }
    return true;
}

double _Complex* c_complex(std::vector<Complex>& v) {
    return reinterpret_cast<double _Complex*>(v.data());
}

}  // namespace

Result<RitzPairs> arpack_shift_invert_vectors(
    const ShiftInvertOperator& op, std::size_t n, std::size_t nev, std::size_t ncv,
    std::optional<std::span<const Complex>> initial_vector, double tol) {
    if (n > kIntMax) return fail("matrix size exceeds ARPACK c_int");
    if (nev > kIntMax) return fail("num_modes exceeds ARPACK c_int");
    if (ncv > kIntMax) return fail("krylov_dim exceeds ARPACK c_int");
    // ncv (3 ncv + 6) fits 64 bits for ncv below 2^31.
    const std::size_t lworkl = ncv * (3 * ncv + 6);
    if (lworkl > kIntMax) return fail("ARPACK workl exceeds c_int");

    const a_int cn = static_cast<a_int>(n);
    const a_int cnev = static_cast<a_int>(nev);
    const a_int cncv = static_cast<a_int>(ncv);
    const a_int clworkl = static_cast<a_int>(lworkl);
    const a_int maxiter = static_cast<a_int>(std::min(std::max(10 * n, std::size_t{300}), kIntMax));

    std::vector<Complex> resid(n);
    a_int info = 0;
    if (initial_vector) {
        if (initial_vector->size() != n) {
            return fail("initial vector length does not match matrix size");
        }
        if (!all_finite(*initial_vector)) return fail("initial vector holds non-finite values");
        std::copy(initial_vector->begin(), initial_vector->end(), resid.begin());
        info = 1;  // start from resid instead of a random vector
    }

    std::vector<Complex> v(n * ncv);
    std::array<a_int, 11> iparam{};
    iparam[0] = 1;  // exact shifts
    iparam[2] = maxiter;
    iparam[3] = 1;  // block size
    iparam[6] = 1;  // mode 1: the operator is the shift-invert solve
    std::array<a_int, 14> ipntr{};
    std::vector<Complex> workd(3 * n);
    std::vector<Complex> workl(lworkl);
    std::vector<double> rwork(ncv);

    RitzPairs out;
    out.n = n;
    {
        ArpackLockGuard lock(ARPACK_MUTEX);
        if (lock.poisoned()) return fail("failed to lock ARPACK mutex");

        try {
            a_int ido = 0;
            while (true) {
                znaupd_c(&ido, "I", cn, "LM", cnev, tol, c_complex(resid), cncv, c_complex(v), cn,
                         iparam.data(), ipntr.data(), c_complex(workd), c_complex(workl), clworkl,
                         rwork.data(), &info);
                if (ido == 99) break;
                if (ido != -1 && ido != 1) {
                    return fail("ARPACK returned unsupported ido=" + std::to_string(ido));
                }
                const std::int64_t xo = std::int64_t{ipntr[0]} - 1;
                if (xo < 0) return fail("ARPACK returned invalid input pointer");
                const std::int64_t yo = std::int64_t{ipntr[1]} - 1;
                if (yo < 0) return fail("ARPACK returned invalid output pointer");
                const std::size_t x_at = static_cast<std::size_t>(xo);
                const std::size_t y_at = static_cast<std::size_t>(yo);
                if (x_at + n > workd.size() || y_at + n > workd.size()) {
                    return fail("ARPACK work pointer out of bounds");
                }
                // The operator only reads its argument and returns a fresh vector, so the
                // window of workd is handed over without a copy.
                Result<std::vector<Complex>> y =
                    op(std::span<const Complex>(workd.data() + x_at, n));
                if (!y) return std::move(y).error();
                if (y->size() != n) {
                    return fail("ARPACK operator returned vector with wrong length");
                }
                if (!all_finite(*y)) return fail("ARPACK operator returned non-finite values");
                std::copy(y->begin(), y->end(), workd.begin() + static_cast<std::ptrdiff_t>(y_at));
            }
            // 1: maximum number of iterations reached; 2: no shifts could be applied. Both
            // still leave usable Ritz pairs for zneupd.
            if (info < 0 || info > 2) {
                return fail("ARPACK znaupd failed with info=" + std::to_string(info));
            }

            std::vector<a_int> select(ncv);
            std::vector<Complex> d(nev + 1);
            std::vector<Complex> z(n * nev);
            std::vector<Complex> workev(2 * ncv);
            a_int eupd_info = 0;
            const double _Complex sigma = 0.0;  // ignored in mode 1
            zneupd_c(1, "A", select.data(), c_complex(d), c_complex(z), cn, sigma,
                     c_complex(workev), "I", cn, "LM", cnev, tol, c_complex(resid), cncv,
                     c_complex(v), cn, iparam.data(), ipntr.data(), c_complex(workd),
                     c_complex(workl), clworkl, rwork.data(), &eupd_info);
            if (eupd_info != 0) {
                return fail("ARPACK zneupd failed with info=" + std::to_string(eupd_info));
            }
            d.resize(nev);
            out.values = std::move(d);
            out.vectors = std::move(z);
        } catch (...) {
            lock.poison_unless_out_of_memory();
            throw;
        }
    }
    return out;
}

}  // namespace corvane
