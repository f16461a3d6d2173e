// ARPACK-NG's complex Arnoldi (znaupd/zneupd, regular mode, largest magnitude) on a
// caller-supplied operator, serialised process-wide by ARPACK_MUTEX.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "common/complex.hpp"
#include "common/result.hpp"

namespace corvane {

// v -> (A - sigma I)^-1 v as one LU solve; an error ends the ARPACK run with its text.
using ShiftInvertOperator = std::function<Result<std::vector<Complex>>(std::span<const Complex>)>;

// nev Ritz values and vectors of the operator, in the order zneupd leaves them.
struct RitzPairs {
    std::vector<Complex> values;
    std::vector<Complex> vectors;  // column j (the partner of values[j]) at [j n, j n + n)
    std::size_t n = 0;

    std::span<const Complex> vector(std::size_t j) const { return {vectors.data() + j * n, n}; }
};

// Requires nev + 2 <= ncv <= n. Holds ARPACK_MUTEX while ARPACK runs, the operator
// applications included; an exception other than an allocation failure (std::bad_alloc,
// std::length_error) escaping in that stretch poisons the lock for the rest of the
// process, and every later call fails with "failed to lock ARPACK mutex".
Result<RitzPairs> arpack_shift_invert_vectors(
    const ShiftInvertOperator& op, std::size_t n, std::size_t nev, std::size_t ncv,
    std::optional<std::span<const Complex>> initial_vector, double tol);

}  // namespace corvane
