// The poisoned ARPACK lock is process-wide and permanent, so this test has its own
// executable.
#include <gtest/gtest.h>

#include <vector>

#include "common/internal_error.hpp"
#include "eigensolve/arpack_driver.hpp"
#include "eigensolve/eigensolve.hpp"
#include "eigensolve/routes.hpp"
#include "eigensolve_fixtures.hpp"

namespace corvane {
namespace {

TEST(ArpackMutex, InternalErrorUnderLockLeavesOnlyNativeRoute) {
    const SparseMatrix a = fixtures::laplacian_like(8, 7);
    const Complex sigma{0.7, 0.05};
    constexpr double tol = 1e-10;

    auto before = selected_sparse_shift_invert_eigenpairs(a, 3, std::nullopt, 20, sigma, tol);
    ASSERT_TRUE(before) << before.error().text;
    EXPECT_STREQ(before->at(0).backend, "umfpack_arpack");

    const ShiftInvertOperator throwing =
        [](std::span<const Complex>) -> Result<std::vector<Complex>> {
        throw InternalError("assertion failed: row < rows");
    };
    EXPECT_THROW((void)arpack_shift_invert_vectors(throwing, a.rows, 3, 20, std::nullopt, tol),
                 InternalError);

    EXPECT_EQ(umfpack_arpack_route(a, 3, std::nullopt, 20, sigma, tol).error().text,
              "failed to lock ARPACK mutex");
    EXPECT_EQ(arpack_route(a, 3, std::nullopt, 20, sigma, tol).error().text,
              "failed to lock ARPACK mutex");
    // The poison is never cleared.
    EXPECT_EQ(umfpack_arpack_route(a, 3, std::nullopt, 20, sigma, tol).error().text,
              "failed to lock ARPACK mutex");

    auto after = selected_sparse_shift_invert_eigenpairs(a, 3, std::nullopt, 20, sigma, tol);
    ASSERT_TRUE(after) << after.error().text;
    ASSERT_EQ(after->size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_STREQ(after->at(i).backend, "native_shift_invert");
        EXPECT_LT(abs(after->at(i).eigenvalue - before->at(i).eigenvalue), 1e-9);
    }
}

}  // namespace
}  // namespace corvane
