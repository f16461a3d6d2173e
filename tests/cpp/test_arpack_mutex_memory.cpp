// A failed allocation inside the ARPACK section must leave the process-wide lock usable;
// its own executable, because a wrongly poisoned lock would stay poisoned for the rest of
// the process.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <vector>

#include "eigensolve/arpack_driver.hpp"
#include "eigensolve/eigensolve.hpp"
#include "eigensolve/routes.hpp"
#include "eigensolve_fixtures.hpp"

namespace corvane {
namespace {

TEST(ArpackMutex, AllocationFailureUnderLockLeavesArpackRoutesUsable) {
    const SparseMatrix a = fixtures::laplacian_like(8, 7);
    const Complex sigma{0.7, 0.05};
    constexpr double tol = 1e-10;

    auto before = selected_sparse_shift_invert_eigenpairs(a, 3, std::nullopt, 20, sigma, tol);
    ASSERT_TRUE(before) << before.error().text;

    const ShiftInvertOperator out_of_memory =
        [](std::span<const Complex>) -> Result<std::vector<Complex>> { throw std::bad_alloc(); };
    const ShiftInvertOperator too_long =
        [](std::span<const Complex>) -> Result<std::vector<Complex>> {
        throw std::length_error("vector");
    };
    EXPECT_THROW((void)arpack_shift_invert_vectors(out_of_memory, a.rows, 3, 20, std::nullopt, tol),
                 std::bad_alloc);
    EXPECT_THROW((void)arpack_shift_invert_vectors(too_long, a.rows, 3, 20, std::nullopt, tol),
                 std::length_error);

    auto after = selected_sparse_shift_invert_eigenpairs(a, 3, std::nullopt, 20, sigma, tol);
    ASSERT_TRUE(after) << after.error().text;
    ASSERT_EQ(after->size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_STREQ(after->at(i).backend, "umfpack_arpack");
        EXPECT_LT(abs(after->at(i).eigenvalue - before->at(i).eigenvalue), 1e-9);
    }
    EXPECT_TRUE(arpack_route(a, 3, std::nullopt, 20, sigma, tol));
}

}  // namespace
}  // namespace corvane
