// Stewart's Krylov-Schur iteration for the largest-magnitude eigenpairs of a linear map
// given only by its action (typically a shift-inverted sparse operator). Unlike ARPACK it
// keeps no state outside the call, so independent calls may run on several threads at once;
// it is deterministic bit for bit, stops at the first error the map returns, and counts the
// applications of the map.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <vector>

#include "common/complex.hpp"
#include "common/result.hpp"

namespace corvane {

struct KrylovSchurOptions {
    std::size_t num_wanted = 1;  // eigenpairs wanted (largest magnitude of the map)
    std::size_t krylov_dim = 20;  // basis size m; capped at n internally
    double tol = 1e-10;  // converged when ||Op y - theta y|| <= tol * |theta| (Ritz estimate)
    std::size_t max_restarts = 1000;
    // 1 or 2: row-split of the orthogonalisation (results identical for any value)
    unsigned threads = 1;
};

struct KrylovSchurResult {
    std::vector<Complex> values;                // Ritz values theta, largest |theta| first
    std::vector<std::vector<Complex>> vectors;  // unit 2-norm Ritz vectors, n values each
    std::vector<double> estimates;              // residual estimate of each pair
    std::size_t operator_applications = 0;
    std::size_t restarts = 0;
    bool converged = false;  // all num_wanted met tol
};

// y = Op x. Returning an Error stops the iteration and returns that Error (interrupt,
// failed solve). x and y never overlap; y arrives zeroed. Called on the caller's thread.
using LinearMap = std::function<Status(std::span<const Complex> x, std::span<Complex> y)>;

// The num_wanted eigenpairs of largest |theta| (all n when n < num_wanted).
// `start` may be empty: then a fixed deterministic pseudo-random vector (seeded from n) is
// used. The effective basis size is min(n, max(krylov_dim, num_wanted + 2)); the Ritz pairs
// are checked after every step, so the iteration usually ends before the first basis is
// full. With max_restarts exhausted, or with every wanted pair locked (final) while some
// estimate still misses tol, the best num_wanted pairs come back with converged = false and
// their estimates. A multiple eigenvalue shows once: a single start vector sees one
// direction of its eigenspace. A start vector inside an invariant subspace
// is continued from fresh directions, but when that subspace exactly fills a basis cycle its
// own (exact) pairs may be returned instead of larger ones. Errors: "n must be positive", "num_wanted must
// be positive", "tol must be positive", "start vector length does not match the operator
// size", "start vector must not be zero", "start vector must be finite", "eigen iteration
// produced non-finite values" (from the map, at once), or the map's own Error.
Result<KrylovSchurResult> krylov_schur(std::size_t n, const LinearMap& apply,
                                       std::span<const Complex> start,
                                       const KrylovSchurOptions& options);

}  // namespace corvane
