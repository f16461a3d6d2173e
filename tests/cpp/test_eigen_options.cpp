// The eigen options record: UMFPACK's ordering, refinement, index width and symbolic reuse,
// the interrupt check and the statistics, against the fixed defaults of the exact module.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "eigensolve/eigensolve.hpp"
#include "eigensolve/routes.hpp"
#include "eigensolve/umfpack_lu.hpp"
#include "eigensolve_fixtures.hpp"

namespace corvane {
namespace {

using fixtures::laplacian_like;
using fixtures::laplacian_like_spectrum;
using fixtures::nearest;
using fixtures::random_sparse;
using fixtures::random_vector;

double relative_residual(const SparseMatrix& b, const std::vector<Complex>& x,
                         const std::vector<Complex>& rhs) {
    const std::vector<Complex> bx = b.matvec(x);
    double r = 0.0;
    double s = 0.0;
    for (std::size_t i = 0; i < rhs.size(); ++i) {
        r += norm_sqr(bx[i] - rhs[i]);
        s += norm_sqr(rhs[i]);
    }
    return std::sqrt(r / s);
}

UmfpackLu factored(const SparseMatrix& b, const UmfpackOptions& options) {
    auto lu = UmfpackLu::factor(b, options);
    if (!lu) throw InternalError(lu.error().text);
    return std::move(lu).value();
}

TEST(UmfpackOptions, EveryOrderingWidthAndRefinementSolves) {
    const SparseMatrix b = random_sparse(300, 0.01, /*seed=*/3);
    const std::vector<Complex> rhs = random_vector(300, 4);
    for (FillOrdering ordering : {FillOrdering::amd, FillOrdering::metis}) {
        for (bool wide : {false, true}) {
            UmfpackOptions options;
            options.ordering = ordering;
            options.wide_indices = wide;
            const UmfpackLu lu = factored(b, options);
            EXPECT_EQ(lu.uses_wide_indices(), wide);
            EXPECT_EQ(lu.used_metis(), ordering == FillOrdering::metis);
            UmfpackSolveWorkspace ws;
            for (bool refine : {false, true}) {
                std::vector<Complex> x(300);
                ASSERT_TRUE(lu.solve_into(rhs, x, ws, refine));
                EXPECT_LT(relative_residual(b, x, rhs), 1e-13) << "refine " << refine;
            }
        }
    }
}

TEST(UmfpackOptions, RefinedSolveIntoEqualsTheDefaultSolveBitForBit) {
    const SparseMatrix b = random_sparse(200, 0.02, /*seed=*/5);
    const std::vector<Complex> rhs = random_vector(200, 6);
    const UmfpackLu lu = factored(b, UmfpackOptions{});
    auto plain = lu.solve(rhs);
    ASSERT_TRUE(plain);
    UmfpackSolveWorkspace ws;
    std::vector<Complex> x(200);
    ASSERT_TRUE(lu.solve_into(rhs, x, ws, /*refine=*/true));
    EXPECT_EQ(x, *plain);
}

TEST(UmfpackOptions, SolveIntoRejectsWrongLengths) {
    const UmfpackLu lu = factored(random_sparse(20, 0.1, 1), UmfpackOptions{});
    UmfpackSolveWorkspace ws;
    std::vector<Complex> rhs(19);
    std::vector<Complex> x(20);
    const Status s = lu.solve_into(rhs, x, ws, false);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().text, "right-hand side length does not match LU size");
}

TEST(UmfpackOptions, ConcurrentSolvesOnOneFactorisationAgreeWithSerialOnes) {
    const SparseMatrix b = random_sparse(400, 0.01, /*seed=*/8);
    const UmfpackLu lu = factored(b, UmfpackOptions{FillOrdering::metis, false, false, nullptr});
    std::vector<std::vector<Complex>> rhs = {random_vector(400, 1), random_vector(400, 2)};
    std::vector<std::vector<Complex>> serial(2, std::vector<Complex>(400));
    std::vector<std::vector<Complex>> parallel(2, std::vector<Complex>(400));
    UmfpackSolveWorkspace ws;
    for (int k = 0; k < 2; ++k) ASSERT_TRUE(lu.solve_into(rhs[k], serial[k], ws, false));
    std::vector<std::thread> threads;
    for (int k = 0; k < 2; ++k) {
        threads.emplace_back([&, k] {
            UmfpackSolveWorkspace own;
            for (int repeat = 0; repeat < 20; ++repeat) {
                if (!lu.solve_into(rhs[k], parallel[k], own, false)) return;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(parallel, serial);
}

TEST(UmfpackSymbolicCache, ReusesOnePatternAndReanalysesAnother) {
    UmfpackSymbolicCache cache;
    UmfpackOptions options{FillOrdering::metis, false, false, &cache};
    const SparseMatrix a = laplacian_like(12, 9);
    const std::vector<Complex> rhs = random_vector(a.rows, 2);

    const UmfpackLu first = factored(a.shifted_diagonal({0.5, 0.0}), options);
    EXPECT_FALSE(first.reused_symbolic());
    // Same pattern, other values (a sweep point): the analysis is reused and still exact.
    const SparseMatrix b2 = a.shifted_diagonal({0.7, 0.1});
    const UmfpackLu second = factored(b2, options);
    EXPECT_TRUE(second.reused_symbolic());
    EXPECT_EQ(cache.hits(), 1u);
    UmfpackSolveWorkspace ws;
    std::vector<Complex> x(a.rows);
    ASSERT_TRUE(second.solve_into(rhs, x, ws, false));
    EXPECT_LT(relative_residual(b2, x, rhs), 1e-13);

    // Another pattern and another ordering are analysed afresh.
    const UmfpackLu other = factored(laplacian_like(9, 12).shifted_diagonal({0.5, 0.0}), options);
    EXPECT_FALSE(other.reused_symbolic());
    options.ordering = FillOrdering::amd;
    const UmfpackLu amd = factored(laplacian_like(9, 12).shifted_diagonal({0.5, 0.0}), options);
    EXPECT_FALSE(amd.reused_symbolic());
    EXPECT_EQ(cache.hits(), 1u);
}

// Entries that are exactly zero at one sweep point are not stored: the kept analysis must
// still serve a matrix with fewer entries, and one with more must widen it.
TEST(UmfpackSymbolicCache, FollowsPatternsThatLoseOrGainEntries) {
    UmfpackSymbolicCache cache;
    const UmfpackOptions options{FillOrdering::metis, false, false, &cache};
    const SparseMatrix full = laplacian_like(8, 7).shifted_diagonal({0.5, 0.0});
    std::vector<Triplet> t;
    for (std::size_t c = 0; c < full.cols; ++c) {
        for (std::size_t q = full.col_ptr[c]; q < full.col_ptr[c + 1]; ++q) {
            if (full.row_indices[q] + 1 != c) t.push_back({full.row_indices[q], c, full.values[q]});
        }
    }
    const SparseMatrix thinner = SparseMatrix::from_triplets(full.rows, full.cols, std::move(t));
    ASSERT_LT(thinner.nnz(), full.nnz());
    const std::vector<Complex> rhs = random_vector(full.rows, 3);
    UmfpackSolveWorkspace ws;
    std::vector<Complex> x(full.rows);

    EXPECT_FALSE(factored(thinner, options).reused_symbolic());
    const UmfpackLu widened = factored(full, options);  // analysed on the union
    EXPECT_FALSE(widened.reused_symbolic());
    ASSERT_TRUE(widened.solve_into(rhs, x, ws, false));
    EXPECT_LT(relative_residual(full, x, rhs), 1e-13);
    const UmfpackLu inside = factored(thinner, options);  // fits the union
    EXPECT_TRUE(inside.reused_symbolic());
    ASSERT_TRUE(inside.solve_into(rhs, x, ws, false));
    EXPECT_LT(relative_residual(thinner, x, rhs), 1e-13);
    EXPECT_TRUE(factored(full, options).reused_symbolic());
    EXPECT_EQ(cache.hits(), 2u);
}

TEST(EigenOptions, StatisticsAndInterruptHookLeaveTheDefaultRouteBitIdentical) {
    const SparseMatrix a = laplacian_like(10, 8);
    const Complex sigma{0.3, 0.0};
    // A fixed start: without one ARPACK draws from a generator whose state persists.
    const std::vector<Complex> start = random_vector(a.rows, 9);
    auto plain = selected_sparse_shift_invert_eigenpairs(a, 3, start, 12, sigma, 1e-10);
    ASSERT_TRUE(plain);
    EigenStatistics stats;
    EigenOptions options;
    options.statistics = &stats;
    options.interrupted = [] { return false; };
    auto observed =
        selected_sparse_shift_invert_eigenpairs(a, 3, start, 12, sigma, 1e-10, options);
    ASSERT_TRUE(observed);
    ASSERT_EQ(observed->size(), plain->size());
    for (std::size_t i = 0; i < plain->size(); ++i) {
        EXPECT_EQ((*observed)[i].eigenvalue, (*plain)[i].eigenvalue);
        EXPECT_EQ((*observed)[i].eigenvector, (*plain)[i].eigenvector);
    }
    EXPECT_GT(stats.operator_applications, 3u);
    EXPECT_FALSE(stats.metis);
}

TEST(EigenOptions, EngineUmfpackOptionsUnderArpackFindTheNearestEigenvalues) {
    const SparseMatrix a = laplacian_like(14, 11);
    const Complex sigma{0.4, 0.0};
    EigenOptions options;
    options.umfpack = UmfpackOptions{FillOrdering::metis, false, true, nullptr};
    auto pairs =
        selected_sparse_shift_invert_eigenpairs(a, 4, std::nullopt, 20, sigma, 1e-10, options);
    ASSERT_TRUE(pairs);
    const std::vector<Complex> want = nearest(laplacian_like_spectrum(14, 11), sigma, 4);
    ASSERT_EQ(pairs->size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_LT(abs((*pairs)[i].eigenvalue - want[i]), 1e-9);
}

TEST(EigenOptions, KrylovSchurRouteFindsTheNearestEigenvaluesAndReportsItsWork) {
    const SparseMatrix a = laplacian_like(16, 13);
    const Complex sigma{0.45, 0.0};
    UmfpackSymbolicCache cache;
    EigenStatistics stats;
    EigenOptions options;
    options.umfpack = UmfpackOptions{FillOrdering::metis, false, false, &cache};
    options.iteration = EigenIteration::krylov_schur;
    options.statistics = &stats;
    auto pairs = selected_sparse_shift_invert_eigenpairs(a, 4, std::nullopt, 16, sigma, 1e-10, options);
    ASSERT_TRUE(pairs);
    const std::vector<Complex> want = nearest(laplacian_like_spectrum(16, 13), sigma, 4);
    ASSERT_EQ(pairs->size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_LT(abs((*pairs)[i].eigenvalue - want[i]), 1e-9);
        EXPECT_STREQ((*pairs)[i].backend, "umfpack_krylov_schur");
    }
    EXPECT_GT(stats.operator_applications, 4u);
    EXPECT_TRUE(stats.metis);
    EXPECT_FALSE(stats.reused_symbolic);
    // Bit for bit again, the second time on the kept analysis.
    EigenStatistics again;
    options.statistics = &again;
    auto repeated = selected_sparse_shift_invert_eigenpairs(a, 4, std::nullopt, 16, sigma, 1e-10, options);
    ASSERT_TRUE(repeated);
    EXPECT_TRUE(again.reused_symbolic);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ((*repeated)[i].eigenvalue, (*pairs)[i].eigenvalue);
    }
}

TEST(EigenOptions, InterruptStopsEveryRouteAndReleasesTheArpackLock) {
    const SparseMatrix a = laplacian_like(10, 8);
    for (EigenIteration iteration : {EigenIteration::arpack, EigenIteration::krylov_schur}) {
        int calls = 0;
        EigenOptions options;
        options.iteration = iteration;
        options.interrupted = [&calls] { return ++calls > 3; };
        auto stopped =
            selected_sparse_shift_invert_eigenpairs(a, 2, std::nullopt, 10, {0.3, 0.0}, 1e-10, options);
        ASSERT_FALSE(stopped);
        EXPECT_EQ(stopped.error().kind, ErrorKind::interrupted);
        EXPECT_EQ(calls, 4) << "no fallback route may run after an interrupt";
    }
    // ARPACK's lock was released without poisoning: the next solve runs.
    auto after = selected_sparse_shift_invert_eigenpairs(a, 2, std::nullopt, 10, {0.3, 0.0}, 1e-10);
    EXPECT_TRUE(after);
}

}  // namespace
}  // namespace corvane
