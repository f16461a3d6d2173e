#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "eigensolve/arpack_driver.hpp"
#include "eigensolve/eigensolve.hpp"
#include "eigensolve/native_arnoldi.hpp"
#include "eigensolve/routes.hpp"
#include "eigensolve/sparse_lu.hpp"
#include "eigensolve/testing.hpp"
#include "eigensolve/umfpack_lu.hpp"
#include "eigensolve_fixtures.hpp"

namespace corvane {
namespace {

using fixtures::factor_shifted;
using fixtures::laplacian_like;
using fixtures::laplacian_like_spectrum;
using fixtures::nearest;
using fixtures::norm2;
using fixtures::real_diagonal;

constexpr double kTol = 1e-10;

// Each eigenvalue within tol of one expected value, in the same order.
void expect_eigenvalues(const std::vector<Eigenpair>& pairs, const std::vector<Complex>& want,
                        double tol) {
    ASSERT_EQ(pairs.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_LT(abs(pairs[i].eigenvalue - want[i]), tol)
            << "pair " << i << ": " << pairs[i].eigenvalue.re << " + " << pairs[i].eigenvalue.im
            << "i, want " << want[i].re << " + " << want[i].im << "i";
    }
}

TEST(SparseResidualNorm, Examples) {
    const SparseMatrix a = real_diagonal({2, 3});
    EXPECT_EQ(sparse_residual_norm(a, std::vector<Complex>{{0, 0}, {1, 0}}, {3, 0}), 0.0);
    EXPECT_EQ(sparse_residual_norm(a, std::vector<Complex>{{0, 0}, {0, 0}}, {3, 0}), 0.0);
    EXPECT_EQ(sparse_residual_norm(a, std::vector<Complex>{{1, 0}, {0, 0}}, {1, 0}), 1.0);
    // Relative to ||x|| only, not to |lambda|.
    EXPECT_EQ(sparse_residual_norm(a, std::vector<Complex>{{2, 0}, {0, 0}}, {1, 0}), 1.0);
}

TEST(EffectiveKrylovDim, ClampsToSizeAndModes) {
    EXPECT_EQ(effective_krylov_dim(100, 1, 3), 5u);
    EXPECT_EQ(effective_krylov_dim(50, 1'000'000'000, 4), 50u);
    EXPECT_EQ(effective_krylov_dim(3, 32, 2), 4u);
    EXPECT_EQ(effective_krylov_dim(0, 32, 1), 3u);
}

TEST(Selection, RejectsBadArguments) {
    const SparseMatrix wide = SparseMatrix::from_triplets(2, 3, {{0, 0, {1, 0}}});
    EXPECT_EQ(selected_sparse_shift_invert_eigenpairs(wide, 1, std::nullopt, 32, {}, kTol)
                  .error()
                  .text,
              "eigenvalue matrix must be square");
    EXPECT_EQ(selected_sparse_shift_invert_eigenpairs(real_diagonal({1, 2}), 0, std::nullopt, 32,
                                                      {}, kTol)
                  .error()
                  .text,
              "num_modes must be positive");
}

TEST(Selection, EmptyMatrixGivesNoPairs) {
    auto pairs = selected_sparse_shift_invert_eigenpairs(SparseMatrix::from_triplets(0, 0, {}), 1,
                                                         std::nullopt, 32, {}, kTol);
    ASSERT_TRUE(pairs) << pairs.error().text;
    EXPECT_TRUE(pairs->empty());
}

TEST(Selection, SmallMatrixGoesStraightToNativeRoute) {
    auto pairs = selected_sparse_shift_invert_eigenpairs(real_diagonal({1, 2, 3}), 2, std::nullopt,
                                                         32, {0.1, 0}, kTol);
    ASSERT_TRUE(pairs) << pairs.error().text;
    expect_eigenvalues(*pairs, {{1, 0}, {2, 0}}, 1e-12);
    for (const Eigenpair& p : *pairs) {
        EXPECT_STREQ(p.backend, "native_shift_invert");
        EXPECT_LT(p.residual, 1e-12);
        EXPECT_NEAR(norm2(p.eigenvector), 1.0, 1e-14);
    }
}

TEST(Selection, StructurallySingularShiftIsTheCallsError) {
    // sigma = 3 cancels the only entry of column 2.
    auto pairs = selected_sparse_shift_invert_eigenpairs(
        real_diagonal({1, 2, 3, 4, 5, 6, 7, 8}), 2, std::nullopt, 32, {3, 0}, kTol);
    EXPECT_EQ(pairs.error().text, "sparse LU failed to find a complete pivot set");
}

TEST(Selection, NumericallySingularShiftFailsInEveryRoute) {
    // UMFPACK rejects the singular B; the native LU takes a zero pivot and its non-finite
    // solves end both the ARPACK route and the Arnoldi process.
    std::vector<Triplet> t;
    for (std::size_t i = 0; i < 8; ++i) {
        for (std::size_t j = 0; j < 8; ++j) t.push_back({i, j, {1, 0}});
    }
    const SparseMatrix ones = SparseMatrix::from_triplets(8, 8, std::move(t));
    auto pairs = selected_sparse_shift_invert_eigenpairs(ones, 2, std::nullopt, 6, {}, kTol);
    EXPECT_EQ(pairs.error().text, "failed to compute Hessenberg eigenvalues");
}

TEST(Selection, WrongInitialVectorLengthEndsInNativeRouteError) {
    const SparseMatrix a = laplacian_like(6, 5);
    const std::vector<Complex> short_start(29, Complex{1, 0});
    auto pairs = selected_sparse_shift_invert_eigenpairs(a, 3, short_start, 10, {0.7, 0}, kTol);
    EXPECT_EQ(pairs.error().text, "initial vector length does not match matrix size");
}

TEST(Selection, KrylovDimBelowModesIsRaised) {
    const SparseMatrix a = laplacian_like(10, 10);
    const Complex sigma{0.7, 0.05};
    auto pairs = selected_sparse_shift_invert_eigenpairs(a, 3, std::nullopt, 1, sigma, kTol);
    ASSERT_TRUE(pairs) << pairs.error().text;
    EXPECT_EQ(pairs->size(), 3u);
}

// Three nearest-first routes on one non-symmetric operator of known spectrum.
class RoutesAgree : public ::testing::Test {
protected:
    static constexpr std::size_t nx = 14, ny = 11, modes = 4, krylov = 40;
    const SparseMatrix a = laplacian_like(nx, ny);
    const Complex sigma{0.7, 0.05};
    const std::vector<Complex> want = nearest(laplacian_like_spectrum(nx, ny), sigma, modes);

    std::vector<Eigenpair> solve(const EigensolveFaults& faults) {
        const ScopedEigensolveFaults scoped(faults);
        auto pairs = selected_sparse_shift_invert_eigenpairs(a, modes, std::nullopt, krylov, sigma,
                                                             kTol);
        if (!pairs) throw InternalError(pairs.error().text);
        return std::move(pairs).value();
    }

    void expect_pairs(const std::vector<Eigenpair>& pairs, const char* backend) {
        expect_eigenvalues(pairs, want, 1e-9);
        for (const Eigenpair& p : pairs) {
            EXPECT_STREQ(p.backend, backend);
            EXPECT_LT(p.residual, 1e-8);
            EXPECT_NEAR(norm2(p.eigenvector), 1.0, 1e-13);
            EXPECT_EQ(p.residual, sparse_residual_norm(a, p.eigenvector, p.eigenvalue));
        }
    }
};

TEST_F(RoutesAgree, UmfpackArpackByDefault) { expect_pairs(solve({}), "umfpack_arpack"); }

TEST_F(RoutesAgree, FailingUmfpackFallsToNativeLuArpack) {
    expect_pairs(solve({.umfpack_factor_fails = true}), "arpack");
}

TEST_F(RoutesAgree, UmfpackArpackShortfallFallsToNativeLuArpack) {
    expect_pairs(solve({.umfpack_arpack_shortfall = true}), "arpack");
}

TEST_F(RoutesAgree, ArpackShortfallFallsToNativeArnoldi) {
    expect_pairs(solve({.umfpack_factor_fails = true, .arpack_shortfall = true}),
                 "native_shift_invert");
}

TEST_F(RoutesAgree, UmfpackWideIndicesKeepRouteOne) {
    expect_pairs(solve({.umfpack_int_out_of_memory = true}), "umfpack_arpack");
}

TEST_F(RoutesAgree, ShortfallTextsNameTheRoute) {
    const ScopedEigensolveFaults scoped(
        {.umfpack_arpack_shortfall = true, .arpack_shortfall = true});
    EXPECT_EQ(umfpack_arpack_route(a, modes, std::nullopt, krylov, sigma, kTol).error().text,
              "UMFPACK/ARPACK returned 3 usable eigenpairs, expected 4");
    EXPECT_EQ(arpack_route(a, modes, std::nullopt, krylov, sigma, kTol).error().text,
              "ARPACK returned 3 usable eigenpairs, expected 4");
}

TEST_F(RoutesAgree, FaultsEndWithTheirScope) {
    { const ScopedEigensolveFaults scoped({.umfpack_factor_fails = true}); }
    EXPECT_FALSE(active_eigensolve_faults().umfpack_factor_fails);
    expect_pairs(solve({}), "umfpack_arpack");
}

TEST_F(RoutesAgree, StartVectorIsUsed) {
    const std::vector<Complex> start = arnoldi_start_vector(a.rows);
    auto pairs = selected_sparse_shift_invert_eigenpairs(a, modes, start, krylov, sigma, kTol);
    ASSERT_TRUE(pairs) << pairs.error().text;
    expect_pairs(*pairs, "umfpack_arpack");
}

TEST(NativeArnoldi, ExhaustsKrylovSpaceOfDiagonal) {
    const SparseMatrix a = real_diagonal({1, 2, 3});
    const SparseLu f = factor_shifted(a, {});
    auto c = native_shift_invert_arnoldi(a, {}, f, 4, std::nullopt, kTol);
    ASSERT_TRUE(c) << c.error().text;
    ASSERT_EQ(c->size(), 3u);  // breakdown at k = 3 < m
    std::vector<bool> found(3);
    for (const Candidate& cand : *c) {
        const double re = cand.eigenvalue.re;
        const std::size_t idx = static_cast<std::size_t>(std::lround(re)) - 1;
        ASSERT_LT(idx, 3u);
        EXPECT_NEAR(re, double(idx + 1), 1e-12);
        EXPECT_NEAR(cand.eigenvalue.im, 0.0, 1e-12);
        EXPECT_LT(cand.residual, 1e-12);
        found[idx] = true;
    }
    EXPECT_EQ(found, std::vector<bool>(3, true));
}

TEST(NativeArnoldi, DefaultStartVector) {
    const std::vector<Complex> v = arnoldi_start_vector(2);
    const double s = std::hypot(std::hypot(std::sin(0.37), std::cos(0.53)),
                                std::hypot(std::sin(0.74), std::cos(1.06)));
    ASSERT_EQ(v.size(), 2u);
    EXPECT_NEAR(v[0].re, std::sin(0.37) / s, 1e-15);
    EXPECT_NEAR(v[0].im, std::cos(0.53) / s, 1e-15);
    EXPECT_NEAR(v[1].re, std::sin(0.74) / s, 1e-15);
    EXPECT_NEAR(v[1].im, std::cos(1.06) / s, 1e-15);
}

TEST(NativeArnoldi, EigenvectorStartGivesOneCandidate) {
    const SparseMatrix a = real_diagonal({1, 2, 3});
    const SparseLu f = factor_shifted(a, {});
    const std::vector<Complex> e1{{0, 0}, {3, 0}, {0, 0}};
    auto c = native_shift_invert_arnoldi(a, {}, f, 4, e1, kTol);
    ASSERT_TRUE(c) << c.error().text;
    ASSERT_EQ(c->size(), 1u);
    EXPECT_NEAR(c->at(0).eigenvalue.re, 2.0, 1e-14);
    EXPECT_NEAR(abs(c->at(0).eigenvector[1]), 1.0, 1e-14);
}

TEST(NativeArnoldi, Failures) {
    const SparseMatrix a = real_diagonal({1, 2, 3});
    const SparseLu f = factor_shifted(a, {});
    const std::vector<Complex> wrong(2);
    EXPECT_EQ(native_shift_invert_arnoldi(a, {}, f, 4, wrong, kTol).error().text,
              "initial vector length does not match matrix size");
    // A numerically singular shift fills H with NaN: the Schur step reports it instead of
    // iterating without end.
    const SparseMatrix ones = fixtures::from_dense({{{1, 0}, {1, 0}}, {{1, 0}, {1, 0}}});
    const SparseLu singular = factor_shifted(ones, {});
    EXPECT_EQ(native_shift_invert_arnoldi(ones, {}, singular, 4, std::nullopt, kTol).error().text,
              "failed to compute Hessenberg eigenvalues");
}

TEST(NativeArnoldi, BasisMatchesLaplacianSpectrum) {
    const SparseMatrix a = laplacian_like(9, 7);
    const Complex sigma{0.7, 0.05};
    const SparseLu f = factor_shifted(a, sigma);
    auto c = native_shift_invert_arnoldi(a, sigma, f, 30, std::nullopt, kTol);
    ASSERT_TRUE(c) << c.error().text;
    ASSERT_EQ(c->size(), 30u);
    order_and_truncate(*c, sigma, 2);
    const auto want = nearest(laplacian_like_spectrum(9, 7), sigma, 2);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_LT(abs(c->at(i).eigenvalue - want[i]), 1e-10);
        EXPECT_LT(c->at(i).residual, 1e-9);
    }
}

Candidate candidate(Complex lambda, double residual, double tag) {
    return {lambda, std::vector<Complex>{{tag, 0}}, residual};
}

TEST(OrderAndTruncate, DistanceThenResidualThenProductionOrder) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<Candidate> c = {
        candidate({3, 0}, 0.0, 0),    candidate({1, 0}, 0.5, 1), candidate({0, 1}, 0.1, 2),
        candidate({-1, 0}, 0.5, 3),   candidate({0.5, 0}, 0.0, 4),
    };
    order_and_truncate(c, {}, 4);
    ASSERT_EQ(c.size(), 4u);
    EXPECT_EQ(c[0].eigenvector[0].re, 4);  // distance 0.5
    EXPECT_EQ(c[1].eigenvector[0].re, 2);  // distance 1, smallest residual
    EXPECT_EQ(c[2].eigenvector[0].re, 1);  // distance 1, residual 0.5, produced first
    EXPECT_EQ(c[3].eigenvector[0].re, 3);

    // A NaN distance compares equal to every other, so residuals decide against it.
    std::vector<Candidate> with_nan = {candidate({2, 0}, 0.3, 0), candidate({nan, 0}, 0.1, 1)};
    order_and_truncate(with_nan, {}, 5);
    ASSERT_EQ(with_nan.size(), 2u);
    EXPECT_EQ(with_nan[0].eigenvector[0].re, 1);
}

TEST(CandidatesFromRitz, MapsBackAndSkipsZeroRitzValues) {
    const SparseMatrix a = real_diagonal({1, 2, 3, 4});
    const Complex sigma{0.5, 0};
    RitzPairs ritz;
    ritz.n = 4;
    ritz.values = {{2, 0}, {0, 0}, {1e-11, 0}, {-2.0 / 3.0, 0}};
    ritz.vectors = {{3, 0}, {0, 0}, {0, 0}, {0, 0},   // e0 scaled: normalised to e0
                    {0, 0}, {1, 0}, {0, 0}, {0, 0},   // theta = 0: skipped
                    {0, 0}, {0, 0}, {1, 0}, {0, 0},   // |theta| <= tol: skipped
                    {0, 0}, {0, 0}, {0, 0}, {0, 2}};  // lambda = 0.5 - 1.5 = -1
    const std::vector<Candidate> c = candidates_from_ritz(a, sigma, ritz, kTol);
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].eigenvalue.re, 1.0);
    EXPECT_EQ(c[0].eigenvector[0].re, 1.0);
    EXPECT_EQ(c[0].residual, 0.0);
    EXPECT_NEAR(c[1].eigenvalue.re, -1.0, 1e-15);
    EXPECT_EQ(c[1].eigenvector[3].im, 1.0);
    EXPECT_NEAR(c[1].residual, 5.0, 1e-14);  // A e3 = 4 e3, lambda = -1
}

TEST(ArpackDriver, Failures) {
    const SparseMatrix a = laplacian_like(5, 4);
    const SparseLu f = factor_shifted(a, {0.7, 0});
    const ShiftInvertOperator op = [&f](std::span<const Complex> v) { return f.solve(v); };
    const std::vector<Complex> wrong(19);
    EXPECT_EQ(arpack_shift_invert_vectors(op, 20, 2, 8, wrong, kTol).error().text,
              "initial vector length does not match matrix size");
    EXPECT_EQ(arpack_shift_invert_vectors(op, std::size_t{1} << 31, 2, 8, std::nullopt, kTol)
                  .error()
                  .text,
              "matrix size exceeds ARPACK c_int");
    EXPECT_EQ(arpack_shift_invert_vectors(op, 20, std::size_t{1} << 31, 8, std::nullopt, kTol)
                  .error()
                  .text,
              "num_modes exceeds ARPACK c_int");
    EXPECT_EQ(arpack_shift_invert_vectors(op, 20, 2, std::size_t{1} << 31, std::nullopt, kTol)
                  .error()
                  .text,
              "krylov_dim exceeds ARPACK c_int");
    EXPECT_EQ(arpack_shift_invert_vectors(op, 20, 2, 30000, std::nullopt, kTol).error().text,
              "ARPACK workl exceeds c_int");

    const ShiftInvertOperator failing =
        [](std::span<const Complex>) -> Result<std::vector<Complex>> {
        return fail("right-hand side length does not match LU size");
    };
    EXPECT_EQ(arpack_shift_invert_vectors(failing, 20, 2, 8, std::nullopt, kTol).error().text,
              "right-hand side length does not match LU size");
    const ShiftInvertOperator short_result = [](std::span<const Complex> v) {
        return Result<std::vector<Complex>>(std::vector<Complex>(v.size() - 1));
    };
    EXPECT_EQ(arpack_shift_invert_vectors(short_result, 20, 2, 8, std::nullopt, kTol).error().text,
              "ARPACK operator returned vector with wrong length");

    // NaN or infinite data would reach LAPACK's xerbla inside ARPACK.
    const ShiftInvertOperator non_finite = [](std::span<const Complex> v) {
        std::vector<Complex> y(v.begin(), v.end());
        y[3].im = std::numeric_limits<double>::infinity();
        return Result<std::vector<Complex>>(std::move(y));
    };
    EXPECT_EQ(arpack_shift_invert_vectors(non_finite, 20, 2, 8, std::nullopt, kTol).error().text,
              "ARPACK operator returned non-finite values");
    std::vector<Complex> nan_start(20, Complex{1, 0});
    nan_start[5].re = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(arpack_shift_invert_vectors(op, 20, 2, 8, nan_start, kTol).error().text,
              "initial vector holds non-finite values");

    // Those failures released the lock.
    auto ritz = arpack_shift_invert_vectors(op, 20, 2, 8, std::nullopt, kTol);
    ASSERT_TRUE(ritz) << ritz.error().text;
    EXPECT_EQ(ritz->values.size(), 2u);
    EXPECT_EQ(ritz->vectors.size(), 40u);
}

}  // namespace
}  // namespace corvane
