// Inputs that must end quickly and in bounded memory: non-finite data in the native
// Arnoldi process, more modes than a tiny operator has, empty grids with a PML.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "common/internal_error.hpp"
#include "derivatives/derivatives.hpp"
#include "discretisation_helpers.hpp"
#include "eigensolve/eigensolve.hpp"
#include "eigensolve/native_arnoldi.hpp"
#include "eigensolve/routes.hpp"
#include "eigensolve/sparse_lu.hpp"
#include "eigensolve_fixtures.hpp"

namespace corvane {
namespace {

using fixtures::factor_shifted;
using fixtures::laplacian_like;
using fixtures::laplacian_like_spectrum;
using fixtures::nearest;
using fixtures::real_diagonal;

constexpr double kTol = 1e-10;

TEST(NativeArnoldiLimits, NonFiniteStartEndsWithTheEigenvalueError) {
    const SparseMatrix a = laplacian_like(6, 5);
    const SparseLu f = factor_shifted(a, {0.7, 0.05});
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (const Complex bad : {Complex{nan, 0}, Complex{0, inf}}) {
        std::vector<Complex> start(a.rows, Complex{1, 0});
        start[7] = bad;
        // m far above the order: neither the NaN nor m may keep the process going.
        auto c = native_shift_invert_arnoldi(a, {0.7, 0.05}, f, 1000, start, kTol);
        EXPECT_EQ(c.error().text, "failed to compute Hessenberg eigenvalues");
    }
}

TEST(NativeArnoldiLimits, NumModesAboveTheOrderReturnsEveryEigenpair) {
    // 63 unknowns and 200 modes asked: only the native route applies, with m = 202. The
    // Ritz vectors of the 63-step process come from the Schur vectors.
    const SparseMatrix a = laplacian_like(9, 7);
    const Complex sigma{0.7, 0.05};
    auto pairs = selected_sparse_shift_invert_eigenpairs(a, 200, std::nullopt, 32, sigma, kTol);
    ASSERT_TRUE(pairs) << pairs.error().text;
    ASSERT_EQ(pairs->size(), 63u);
    const auto want = nearest(laplacian_like_spectrum(9, 7), sigma, 63);
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_STREQ(pairs->at(i).backend, "native_shift_invert");
        EXPECT_LT(abs(pairs->at(i).eigenvalue - want[i]), 1e-9) << "pair " << i;
        EXPECT_LT(pairs->at(i).residual, 1e-8) << "pair " << i;
    }
}

TEST(NativeArnoldiLimits, SchurAndSvdRitzVectorsAgree) {
    // 32 steps take the SVD null vectors, 33 the Schur vectors; the nearest pairs of both
    // are the same eigenvectors up to a phase.
    const SparseMatrix a = laplacian_like(9, 7);
    const Complex sigma{0.7, 0.05};
    const SparseLu f = factor_shifted(a, sigma);
    auto by_svd = native_shift_invert_arnoldi(a, sigma, f, 32, std::nullopt, kTol);
    auto by_schur = native_shift_invert_arnoldi(a, sigma, f, 33, std::nullopt, kTol);
    ASSERT_TRUE(by_svd && by_schur);
    order_and_truncate(*by_svd, sigma, 3);
    order_and_truncate(*by_schur, sigma, 3);
    for (std::size_t i = 0; i < 3; ++i) {
        const Candidate& s = by_svd->at(i);
        const Candidate& t = by_schur->at(i);
        EXPECT_LT(abs(s.eigenvalue - t.eigenvalue), 1e-12);
        Complex inner;
        for (std::size_t l = 0; l < a.rows; ++l) inner += conj(s.eigenvector[l]) * t.eigenvector[l];
        EXPECT_NEAR(abs(inner), 1.0, 1e-9) << "pair " << i;
        EXPECT_LT(t.residual, 1e-9);
    }
}

TEST(NativeArnoldiLimits, RepeatedEigenvaluesGiveFiniteSchurVectors) {
    // 40 distinct values, each twice: rounding carries the process past the 40-dimensional
    // Krylov space, so Ritz values repeat and the back-substitution meets equal diagonal
    // entries of T. Every Ritz vector must still be a finite eigenvector.
    std::vector<double> d;
    for (int i = 0; i < 80; ++i) d.push_back(1.0 + 0.25 * double(i / 2));
    const SparseMatrix a = real_diagonal(d);
    const Complex sigma{0.3, 0.0};
    const SparseLu f = factor_shifted(a, sigma);
    auto c = native_shift_invert_arnoldi(a, sigma, f, 80, std::nullopt, kTol);
    ASSERT_TRUE(c) << c.error().text;
    ASSERT_GT(c->size(), 32u);
    std::vector<bool> found(40, false);
    for (const Candidate& cand : *c) {
        const double j = std::round((cand.eigenvalue.re - 1.0) / 0.25);
        ASSERT_TRUE(j >= 0 && j < 40) << cand.eigenvalue.re;
        EXPECT_LT(abs(cand.eigenvalue - Complex{1.0 + 0.25 * j, 0.0}), 1e-9);
        EXPECT_LT(cand.residual, 1e-8);
        for (const Complex v : cand.eigenvector) {
            ASSERT_TRUE(std::isfinite(v.re) && std::isfinite(v.im));
        }
        found[static_cast<std::size_t>(j)] = true;
    }
    EXPECT_EQ(found, std::vector<bool>(40, true));
}

struct EmptyGridCase {
    std::uint64_t nx, ny, npml_x, npml_y;
};

TEST(EmptyGridPml, NoWorkAlongTheOtherAxis) {
    // 2^40 cells along one axis would be 16 TiB of stretch factors.
    const std::uint64_t huge = std::uint64_t{1} << 40;
    const std::vector<double> one{1.0};
    const MaterialTensor empty = testing::isotropic(0, Complex{1, 0});
    for (const EmptyGridCase g : {EmptyGridCase{0, huge, 0, 2}, EmptyGridCase{huge, 0, 3, 0},
                                  EmptyGridCase{0, huge, 1, 1}}) {
        const auto s = create_s_matrices_sparse_with_profile(
            g.nx, g.ny, g.npml_x, g.npml_y, StepPair{one, one}, StepPair{one, one}, 1.0, empty,
            empty, true, true, PmlParameters{});
        for (const SparseMatrix& m : s) {
            EXPECT_EQ(m.rows, 0u);
            EXPECT_EQ(m.cols, 0u);
            EXPECT_EQ(m.nnz(), 0u);
        }
    }
}

TEST(EmptyGridPml, MissingEdgeStepIsStillAnInternalError) {
    const std::vector<double> one{1.0};
    const std::vector<double> none;
    const MaterialTensor empty = testing::isotropic(0, Complex{1, 0});
    auto build = [&](std::uint64_t ny, std::uint64_t npml_y, bool low_side, StepPair dlb) {
        return create_s_matrices_sparse_with_profile(0, ny, 0, npml_y, StepPair{none, one}, dlb,
                                                     1.0, empty, empty, true, low_side,
                                                     PmlParameters{});
    };
    // The low layer reads the first step; the high layer, present when npml <= ny, the last.
    EXPECT_THROW(build(5, 1, true, StepPair{none, none}), InternalError);
    EXPECT_THROW(build(5, 2, false, StepPair{none, none}), InternalError);
    EXPECT_THROW(build(0, 1, true, StepPair{none, none}), InternalError);
    // Without a layer point no step is read.
    EXPECT_NO_THROW(build(1, 2, false, StepPair{none, none}));
    EXPECT_NO_THROW(build(5, 0, true, StepPair{none, none}));
}

}  // namespace
}  // namespace corvane
