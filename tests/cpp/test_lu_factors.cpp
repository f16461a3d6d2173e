// Solves with LU factors copied out of UMFPACK: against UMFPACK's own solve, with and
// without the two-way split, on one and two threads.
#include <gtest/gtest.h>

#include <vector>

#include "eigensolve/lu_factors.hpp"
#include "eigensolve/umfpack_lu.hpp"
#include "eigensolve_fixtures.hpp"

namespace corvane {
namespace {

using fixtures::laplacian_like;
using fixtures::random_sparse;
using fixtures::random_vector;

UmfpackLu factor(const SparseMatrix& b, FillOrdering ordering, bool wide = false) {
    UmfpackOptions options;
    options.ordering = ordering;
    options.refine = false;
    options.wide_indices = wide;
    return UmfpackLu::factor(b, options).value();
}

std::vector<Complex> solve(const LuFactors& f, const std::vector<Complex>& rhs, unsigned threads) {
    std::vector<Complex> x(f.n), work(solve_work_size(f));
    solve_with_factors(f, rhs, x, work, threads);
    return x;
}

double max_difference(const std::vector<Complex>& a, const std::vector<Complex>& b) {
    double worst = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, abs(a[i] - b[i]));
    return worst;
}

double residual(const SparseMatrix& b, const std::vector<Complex>& x, const std::vector<Complex>& rhs) {
    const std::vector<Complex> bx = b.matvec(x);
    return max_difference(bx, rhs);
}

// A grid operator, which nested dissection splits in two, and a random matrix whose pivots
// leave the diagonal and whose rows are scaled.
struct Case {
    const char* name;
    SparseMatrix b;
    FillOrdering ordering;
    bool wide = false;  // UMFPACK's 64-bit routines: their indices are narrowed in the copy
};

std::vector<Case> cases() {
    std::vector<Case> out;
    out.push_back({"grid metis", laplacian_like(40, 30), FillOrdering::metis});
    out.push_back({"grid metis wide", laplacian_like(40, 30), FillOrdering::metis, true});
    out.push_back({"grid amd", laplacian_like(40, 30), FillOrdering::amd});
    out.push_back({"random", random_sparse(80, 0.05, 7), FillOrdering::amd});
    return out;
}

TEST(LuFactors, SolvesLikeUmfpackWithAndWithoutTheSplitOnAnyThreadCount) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        const std::vector<Complex> rhs = random_vector(c.b.rows, 3);
        const UmfpackLu reference = factor(c.b, c.ordering, c.wide);
        const std::vector<Complex> want = reference.solve(rhs).value();

        for (const bool two_way : {true, false}) {
            SCOPED_TRACE(two_way ? "two-way" : "one-way");
            const LuFactors f =
                arrange_lu_factors(factor(c.b, c.ordering, c.wide).release_factors().value(), two_way);
            const std::vector<Complex> one = solve(f, rhs, 1);
            const std::vector<Complex> two = solve(f, rhs, 2);
            EXPECT_EQ(one, two);  // bit for bit
            EXPECT_LT(max_difference(one, want), 1e-12);
            EXPECT_LT(residual(c.b, one, rhs), 1e-12);
        }
    }
}

TEST(LuFactors, NestedDissectionSplitsIntoTwoIndependentBalancedGroups) {
    const SparseMatrix b = laplacian_like(60, 50);
    const LuFactors f = arrange_lu_factors(factor(b, FillOrdering::metis).release_factors().value());
    const LuSolvePlan& plan = f.plan;
    ASSERT_GT(plan.shared_begin, f.n / 2);
    ASSERT_EQ(plan.groups[0].size() + plan.groups[1].size(), plan.shared_begin);
    // Each group gets a fair share.
    for (const auto& g : plan.groups) EXPECT_GT(g.size(), plan.shared_begin / 4);

    std::vector<int> group(f.n, 2);
    for (int g = 0; g < 2; ++g) {
        for (const std::uint32_t k : plan.groups[g]) group[k] = g;
    }
    auto coupled_across = [&](std::size_t i, std::size_t j) {
        return group[i] != 2 && group[j] != 2 && group[i] != group[j];
    };
    for (std::size_t k = 0; k < f.n; ++k) {
        for (std::size_t q = f.lower_ptr[k]; q < f.lower_ptr[k + 1]; ++q) {
            ASSERT_FALSE(coupled_across(f.lower_rows[q], k)) << "L column " << k;
        }
        for (std::size_t q = f.upper_ptr[k]; q < f.upper_ptr[k + 1]; ++q) {
            ASSERT_FALSE(coupled_across(k, f.upper_columns[q])) << "U row " << k;
        }
    }
}

TEST(LuFactors, CopiedFactorsKeepEachDiagonalLast) {
    const SparseMatrix b = laplacian_like(12, 9);
    UmfpackLu lu = factor(b, FillOrdering::amd);
    const Result<CopiedLu> copied = std::move(lu).release_factors();
    ASSERT_TRUE(copied);
    EXPECT_EQ(copied->n, b.rows);
    // Every row of L ends with its unit diagonal; every column of U with its diagonal.
    for (std::size_t k = 0; k < copied->n; ++k) {
        EXPECT_EQ(copied->lower_columns[copied->lower_ptr[k + 1] - 1], k);
        EXPECT_EQ(copied->lower_values[copied->lower_ptr[k + 1] - 1], (Complex{1.0, 0.0}));
        EXPECT_EQ(copied->upper_rows[copied->upper_ptr[k + 1] - 1], k);
    }
}

}  // namespace
}  // namespace corvane
