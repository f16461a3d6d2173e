#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <Eigen/Eigenvalues>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "eigensolve/krylov_schur.hpp"
#include "eigensolve/sparse_lu.hpp"
#include "eigensolve_fixtures.hpp"

namespace corvane {
namespace {

using Scalar = std::complex<double>;
using Dense = Eigen::MatrixXcd;

Complex from_std(Scalar z) { return {z.real(), z.imag()}; }
Scalar to_std(Complex z) { return {z.re, z.im}; }

// y = A x by rows, in a fixed order.
LinearMap dense_map(const Dense& a) {
    return [&a](std::span<const Complex> x, std::span<Complex> y) -> Status {
        for (Eigen::Index r = 0; r < a.rows(); ++r) {
            Complex s;
            for (Eigen::Index c = 0; c < a.cols(); ++c) {
                s += from_std(a(r, c)) * x[static_cast<std::size_t>(c)];
            }
            y[static_cast<std::size_t>(r)] = s;
        }
        return Unit{};
    };
}

Dense random_dense(Eigen::Index n, std::mt19937& gen) {
    std::normal_distribution<double> g(0.0, 1.0);
    Dense m(n, n);
    for (Eigen::Index c = 0; c < n; ++c) {
        for (Eigen::Index r = 0; r < n; ++r) m(r, c) = Scalar(g(gen), g(gen));
    }
    return m;
}

// X diag(d) X^-1 with X = I + 0.3 G / sqrt(n): non-normal, eigenvectors moderately
// conditioned, spectrum exactly d.
Dense with_spectrum(const std::vector<Scalar>& d, unsigned seed) {
    std::mt19937 gen(seed);
    const auto n = static_cast<Eigen::Index>(d.size());
    const Dense x = Dense::Identity(n, n) + random_dense(n, gen) * (0.3 / std::sqrt(double(n)));
    Dense diag = Dense::Zero(n, n);
    for (Eigen::Index i = 0; i < n; ++i) diag(i, i) = d[static_cast<std::size_t>(i)];
    return x * diag * x.inverse();
}

// Moduli 0.93^k with random phases: well separated.
std::vector<Scalar> separated_spectrum(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> phase(0.0, 2.0 * 3.141592653589793);
    std::vector<Scalar> d;
    for (std::size_t k = 0; k < n; ++k) {
        d.push_back(std::polar(std::pow(0.93, double(k)), phase(gen)));
    }
    return d;
}

// Ten values within 1% of modulus 1 (relative gaps of 1e-3), the rest at most 0.6.
std::vector<Scalar> clustered_spectrum(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> phase(0.0, 2.0 * 3.141592653589793);
    std::uniform_real_distribution<double> bulk(0.0, 0.6);
    std::vector<Scalar> d;
    for (std::size_t k = 0; k < n; ++k) {
        const double modulus = k < 10 ? 1.0 - 1e-3 * double(k) : bulk(gen);
        d.push_back(std::polar(modulus, phase(gen)));
    }
    return d;
}

// Eigenvalues of a by Eigen's dense solver, largest modulus first.
std::vector<Scalar> dense_eigenvalues(const Dense& a) {
    Eigen::ComplexEigenSolver<Dense> solver(a, /*computeEigenvectors=*/false);
    std::vector<Scalar> ev(solver.eigenvalues().begin(), solver.eigenvalues().end());
    std::sort(ev.begin(), ev.end(), [](Scalar p, Scalar q) { return std::abs(p) > std::abs(q); });
    return ev;
}

// ||Op y - theta y|| with Op given as a map.
double residual(const LinearMap& op, std::span<const Complex> y, Complex theta) {
    std::vector<Complex> ay(y.size());
    EXPECT_TRUE(op(y, ay).has_value());
    for (std::size_t i = 0; i < y.size(); ++i) ay[i] -= theta * y[i];
    return fixtures::norm2(ay);
}

// Values agree with the dense reference, in order; each vector is a unit Ritz vector with a
// small true residual that its estimate does not understate by much.
void expect_matches_dense(const Dense& a, const KrylovSchurResult& r, std::size_t wanted,
                          double value_tol, double tol) {
    const std::vector<Scalar> ref = dense_eigenvalues(a);
    const LinearMap op = dense_map(a);
    ASSERT_TRUE(r.converged);
    ASSERT_EQ(r.values.size(), wanted);
    ASSERT_EQ(r.vectors.size(), wanted);
    ASSERT_EQ(r.estimates.size(), wanted);
    const double scale = std::abs(ref[0]);
    for (std::size_t k = 0; k < wanted; ++k) {
        EXPECT_LT(std::abs(to_std(r.values[k]) - ref[k]), value_tol * scale) << "pair " << k;
        EXPECT_NEAR(fixtures::norm2(r.vectors[k]), 1.0, 1e-13) << "pair " << k;
        const double res = residual(op, r.vectors[k], r.values[k]);
        EXPECT_LT(res, 10.0 * tol * scale) << "pair " << k;
        EXPECT_LT(res, 10.0 * r.estimates[k] + 1e-13 * scale) << "pair " << k;
    }
}

// Same counts and the same bits in every value, estimate and vector.
bool bit_identical(const KrylovSchurResult& p, const KrylovSchurResult& q) {
    auto same = [](const auto& a, const auto& b) {
        return a.size() == b.size() &&
               std::memcmp(a.data(), b.data(), a.size() * sizeof(a[0])) == 0;
    };
    if (p.operator_applications != q.operator_applications || p.restarts != q.restarts ||
        p.converged != q.converged || !same(p.values, q.values) ||
        !same(p.estimates, q.estimates) || p.vectors.size() != q.vectors.size()) {
        return false;
    }
    for (std::size_t k = 0; k < p.vectors.size(); ++k) {
        if (!same(p.vectors[k], q.vectors[k])) return false;
    }
    return true;
}

KrylovSchurOptions options_for(std::size_t wanted, std::size_t krylov_dim) {
    KrylovSchurOptions o;
    o.num_wanted = wanted;
    o.krylov_dim = krylov_dim;
    return o;
}

constexpr std::span<const Complex> kNoStart{};

TEST(KrylovSchur, MatchesDenseSolverOnNonNormalMatrices) {
    struct Case {
        std::size_t n;
        bool clustered;
        std::size_t wanted;
        std::size_t krylov_dim;
    };
    const Case cases[] = {{30, false, 1, 10}, {30, false, 4, 12},  {80, false, 8, 24},
                          {200, false, 3, 20}, {80, true, 1, 20},  {80, true, 5, 24},
                          {200, true, 8, 30},  {200, true, 2, 20}, {200, false, 2, 5}};
    unsigned seed = 10;
    for (const Case& c : cases) {
        SCOPED_TRACE("n " + std::to_string(c.n) + (c.clustered ? " clustered" : " separated") +
                     ", wanted " + std::to_string(c.wanted) + ", m " +
                     std::to_string(c.krylov_dim));
        const std::vector<Scalar> d =
            c.clustered ? clustered_spectrum(c.n, seed) : separated_spectrum(c.n, seed);
        const Dense a = with_spectrum(d, seed + 1);
        seed += 2;
        auto r = krylov_schur(c.n, dense_map(a), kNoStart, options_for(c.wanted, c.krylov_dim));
        ASSERT_TRUE(r) << r.error().text;
        expect_matches_dense(a, *r, c.wanted, 1e-8, 1e-10);
    }
}

TEST(KrylovSchur, MatchesDenseSolverOnGaussianMatrix) {
    // (A basis smaller than a tight cluster of the largest values may converge to other
    // members of the cluster, as any restarted Krylov method may: not tested.)
    // Eigenvalues of a Gaussian matrix crowd the rim of a disc: small relative gaps.
    std::mt19937 gen(3);
    const Dense a = random_dense(120, gen);
    auto r = krylov_schur(120, dense_map(a), kNoStart, options_for(4, 40));
    ASSERT_TRUE(r) << r.error().text;
    expect_matches_dense(a, *r, 4, 1e-8, 1e-10);
}

TEST(KrylovSchur, UsesTheGivenStartVector) {
    const Dense a = with_spectrum(separated_spectrum(60, 5), 6);
    const std::vector<Complex> start = fixtures::random_vector(60, 7);
    auto from_start = krylov_schur(60, dense_map(a), start, options_for(3, 12));
    auto from_default = krylov_schur(60, dense_map(a), kNoStart, options_for(3, 12));
    ASSERT_TRUE(from_start && from_default);
    expect_matches_dense(a, *from_start, 3, 1e-8, 1e-10);
    EXPECT_FALSE(bit_identical(*from_start, *from_default));
}

TEST(KrylovSchur, WholeSpaceFinishesWithinNApplications) {
    for (const std::size_t krylov_dim : {12u, 13u, 50u}) {
        SCOPED_TRACE("krylov_dim " + std::to_string(krylov_dim));
        const Dense a = with_spectrum(clustered_spectrum(12, 8), 9);
        auto r = krylov_schur(12, dense_map(a), kNoStart, options_for(5, krylov_dim));
        ASSERT_TRUE(r) << r.error().text;
        EXPECT_LE(r->operator_applications, 12u);
        EXPECT_EQ(r->restarts, 0u);
        expect_matches_dense(a, *r, 5, 1e-12, 1e-12);
    }
    // More pairs wanted than exist: all of them.
    const Dense a = with_spectrum(separated_spectrum(4, 1), 2);
    auto r = krylov_schur(4, dense_map(a), kNoStart, options_for(9, 20));
    ASSERT_TRUE(r) << r.error().text;
    expect_matches_dense(a, *r, 4, 1e-12, 1e-12);
}

TEST(KrylovSchur, OneByOne) {
    Dense a(1, 1);
    a(0, 0) = Scalar(2.0, -3.0);
    const std::vector<Complex> start{{0.0, 5.0}};
    auto r = krylov_schur(1, dense_map(a), start, options_for(2, 20));
    ASSERT_TRUE(r) << r.error().text;
    ASSERT_EQ(r->values.size(), 1u);
    EXPECT_NEAR(r->values[0].re, 2.0, 1e-15);
    EXPECT_NEAR(r->values[0].im, -3.0, 1e-15);
    EXPECT_NEAR(abs(r->vectors[0][0]), 1.0, 1e-15);
    EXPECT_EQ(r->operator_applications, 1u);
    EXPECT_TRUE(r->converged);
}

// Block diagonal: a 3 x 3 block holding the start vector (an invariant subspace) and a
// block with the dominant eigenvalues. Arnoldi breaks down after 3 steps and must go on
// from a fresh direction to find what the start vector cannot see.
TEST(KrylovSchur, ContinuesAfterInvariantSubspaceBreakdown) {
    const std::size_t n = 40;
    std::vector<Scalar> d = separated_spectrum(n, 11);
    std::rotate(d.begin(), d.begin() + 6, d.end());  // the small block gets 0.93^6 .. 0.93^8
    const Dense a = with_spectrum(d, 12);
    Dense blocked = Dense::Zero(n, n);
    const Dense small = with_spectrum({d.begin(), d.begin() + 3}, 13);
    blocked.topLeftCorner(3, 3) = small;
    blocked.bottomRightCorner(n - 3, n - 3) = with_spectrum({d.begin() + 3, d.end()}, 14);
    std::vector<Complex> start(n);
    start[0] = {1.0, 0.0};
    start[1] = {0.5, -0.5};
    start[2] = {-0.25, 1.0};
    for (const std::size_t wanted : {2u, 8u}) {
        SCOPED_TRACE("wanted " + std::to_string(wanted));
        auto r = krylov_schur(n, dense_map(blocked), start, options_for(wanted, 16));
        ASSERT_TRUE(r) << r.error().text;
        expect_matches_dense(blocked, *r, wanted, 1e-8, 1e-10);
    }
    // A multiple of the identity: every start vector spans an invariant subspace.
    const Dense twice = Dense::Identity(10, 10) * Scalar(2.0, 1.0);
    auto r = krylov_schur(10, dense_map(twice), kNoStart, options_for(3, 6));
    ASSERT_TRUE(r) << r.error().text;
    EXPECT_TRUE(r->converged);
    for (const Complex theta : r->values) EXPECT_LT(abs(theta - Complex{2.0, 1.0}), 1e-14);
    EXPECT_LE(r->operator_applications, 6u);
}

// A start vector on (or very near) the eigenvector of a smaller eigenvalue converges to
// that pair within a step or two; the iteration must not stop before the dominant ones show.
TEST(KrylovSchur, StartNearAnotherEigenvectorStillFindsTheLargest) {
    const std::size_t n = 60;
    const std::vector<Scalar> d = separated_spectrum(n, 21);
    const Dense a = with_spectrum(d, 22);
    Eigen::ComplexEigenSolver<Dense> solver(a);
    Eigen::Index third = 0;  // the eigenvector of the third largest |lambda|
    std::vector<Scalar> ref = dense_eigenvalues(a);
    for (Eigen::Index i = 0; i < a.rows(); ++i) {
        if (std::abs(solver.eigenvalues()(i) - ref[2]) < 1e-12) third = i;
    }
    const std::vector<Complex> noise = fixtures::random_vector(n, 23);
    for (const double perturbation : {0.0, 1e-9, 1e-6}) {
        for (const std::size_t wanted : {1u, 2u}) {
            SCOPED_TRACE("perturbation " + std::to_string(perturbation) + ", wanted " +
                         std::to_string(wanted));
            std::vector<Complex> start(n);
            for (std::size_t i = 0; i < n; ++i) {
                start[i] = from_std(solver.eigenvectors()(Eigen::Index(i), third)) +
                           scale_real(noise[i], perturbation);
            }
            auto r = krylov_schur(n, dense_map(a), start, options_for(wanted, 16));
            ASSERT_TRUE(r) << r.error().text;
            expect_matches_dense(a, *r, wanted, 1e-8, 1e-10);
        }
    }
}

TEST(KrylovSchur, NonFiniteMapOutputFailsAtOnce) {
    const Dense a = with_spectrum(separated_spectrum(50, 15), 16);
    const LinearMap good = dense_map(a);
    for (const double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
        std::size_t calls = 0;
        const LinearMap op = [&](std::span<const Complex> x, std::span<Complex> y) -> Status {
            Status s = good(x, y);
            if (++calls == 3) y[17].im = bad;
            return s;
        };
        auto r = krylov_schur(50, op, kNoStart, options_for(2, 10));
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().text, "eigen iteration produced non-finite values");
        EXPECT_EQ(calls, 3u);
    }
}

TEST(KrylovSchur, MapErrorStopsTheIteration) {
    const Dense a = with_spectrum(clustered_spectrum(60, 17), 18);
    const LinearMap good = dense_map(a);
    std::size_t calls = 0;
    const LinearMap op = [&](std::span<const Complex> x, std::span<Complex> y) -> Status {
        if (++calls == 25) return fail("interrupted by the caller");
        return good(x, y);
    };
    auto r = krylov_schur(60, op, kNoStart, options_for(4, 12));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().text, "interrupted by the caller");
    EXPECT_EQ(calls, 25u);
}

TEST(KrylovSchur, RejectsCallerMistakes) {
    const Dense a = Dense::Identity(4, 4);
    const LinearMap op = dense_map(a);
    const std::vector<Complex> zeros(4);
    const std::vector<Complex> short_start(3, Complex{1.0, 0.0});
    std::vector<Complex> nan_start(4, Complex{1.0, 0.0});
    nan_start[2].re = std::nan("");
    KrylovSchurOptions no_tol = options_for(1, 4);
    no_tol.tol = 0.0;
    EXPECT_EQ(krylov_schur(4, op, kNoStart, options_for(0, 4)).error().text,
              "num_wanted must be positive");
    EXPECT_EQ(krylov_schur(0, op, kNoStart, options_for(1, 4)).error().text,
              "n must be positive");
    EXPECT_EQ(krylov_schur(4, op, kNoStart, no_tol).error().text, "tol must be positive");
    EXPECT_EQ(krylov_schur(4, op, short_start, options_for(1, 4)).error().text,
              "start vector length does not match the operator size");
    EXPECT_EQ(krylov_schur(4, op, zeros, options_for(1, 4)).error().text,
              "start vector must not be zero");
    EXPECT_EQ(krylov_schur(4, op, nan_start, options_for(1, 4)).error().text,
              "start vector must be finite");
}

TEST(KrylovSchur, RestartLimitReturnsBestPairsUnconverged) {
    const Dense a = with_spectrum(clustered_spectrum(150, 19), 20);
    KrylovSchurOptions o = options_for(6, 10);
    o.max_restarts = 2;
    auto r = krylov_schur(150, dense_map(a), kNoStart, o);
    ASSERT_TRUE(r) << r.error().text;
    EXPECT_FALSE(r->converged);
    EXPECT_EQ(r->restarts, 2u);
    ASSERT_EQ(r->values.size(), 6u);
    EXPECT_EQ(r->vectors.size(), 6u);
    const LinearMap op = dense_map(a);
    bool some_estimate_large = false;
    for (std::size_t k = 0; k < 6; ++k) {
        some_estimate_large |= r->estimates[k] > 1e-10 * abs(r->values[k]);
        // The estimates are honest even before convergence.
        EXPECT_NEAR(residual(op, r->vectors[k], r->values[k]), r->estimates[k],
                    1e-3 * r->estimates[k] + 1e-12);
    }
    EXPECT_TRUE(some_estimate_large);
}

// Shift-invert on the sparse operator whose spectrum is known in closed form: the engine's
// use, Op = (A - sigma I)^-1 and lambda = sigma + 1 / theta.
TEST(KrylovSchur, ShiftInvertFindsEigenvaluesNearestTheShift) {
    const std::size_t nx = 30, ny = 25;
    const SparseMatrix a = fixtures::laplacian_like(nx, ny);
    const Complex sigma{2.1, 0.0};
    auto lu = SparseLu::factor(a.shifted_diagonal(sigma));
    ASSERT_TRUE(lu) << lu.error().text;
    const LinearMap op = [&](std::span<const Complex> x, std::span<Complex> y) -> Status {
        auto solved = lu->solve(x);
        if (!solved) return std::move(solved).error();
        std::copy(solved->begin(), solved->end(), y.begin());
        return Unit{};
    };
    for (const std::size_t wanted : {1u, 4u, 8u}) {
        SCOPED_TRACE("wanted " + std::to_string(wanted));
        auto r = krylov_schur(a.rows, op, kNoStart, options_for(wanted, 2 * wanted + 12));
        ASSERT_TRUE(r) << r.error().text;
        ASSERT_TRUE(r->converged);
        const std::vector<Complex> want =
            fixtures::nearest(fixtures::laplacian_like_spectrum(nx, ny), sigma, wanted);
        for (std::size_t k = 0; k < wanted; ++k) {
            const Complex lambda = sigma + inv(r->values[k]);
            EXPECT_LT(abs(lambda - want[k]), 1e-9) << "pair " << k;
            std::vector<Complex> ay = a.matvec(r->vectors[k]);
            for (std::size_t i = 0; i < ay.size(); ++i) ay[i] -= lambda * r->vectors[k][i];
            EXPECT_LT(fixtures::norm2(ay), 1e-8) << "pair " << k;
        }
    }
}

// Upper bidiagonal with diagonal 1 / (1 + k + 0.2 i k) and a weak coupling (so that the
// pseudospectrum of the long tail stays well inside the wanted values): eigenvalues are the
// diagonal, and n is long enough for the orthogonalisation to run on two threads.
SparseMatrix long_bidiagonal(std::size_t n) {
    std::vector<Triplet> t;
    for (std::size_t k = 0; k < n; ++k) {
        const double kk = static_cast<double>(k);
        t.push_back({k, k, inv(Complex{1.0 + kk, 0.2 * kk})});
        if (k + 1 < n) t.push_back({k, k + 1, {0.02, 0.01}});
    }
    return SparseMatrix::from_triplets(n, n, std::move(t));
}

TEST(KrylovSchur, BitIdenticalAcrossCallsThreadsAndConcurrentCalls) {
    const std::size_t n = 70'000;
    const SparseMatrix a = long_bidiagonal(n);
    const LinearMap op = [&](std::span<const Complex> x, std::span<Complex> y) -> Status {
        const std::vector<Complex> ax = a.matvec(x);
        std::copy(ax.begin(), ax.end(), y.begin());
        return Unit{};
    };
    KrylovSchurOptions one = options_for(4, 14);
    KrylovSchurOptions two = one;
    two.threads = 2;
    auto first = krylov_schur(n, op, kNoStart, one);
    ASSERT_TRUE(first) << first.error().text;
    ASSERT_TRUE(first->converged);
    for (std::size_t k = 0; k < 4; ++k) {
        const double kk = static_cast<double>(k);
        EXPECT_LT(abs(first->values[k] - inv(Complex{1.0 + kk, 0.2 * kk})), 1e-10) << k;
    }
    auto again = krylov_schur(n, op, kNoStart, one);
    auto threaded = krylov_schur(n, op, kNoStart, two);
    ASSERT_TRUE(again && threaded);
    EXPECT_TRUE(bit_identical(*first, *again));
    EXPECT_TRUE(bit_identical(*first, *threaded));

    // Two calls at once, one of them itself on two threads: no shared state between calls.
    std::optional<Result<KrylovSchurResult>> left, right;
    {
        std::jthread t1([&] { left.emplace(krylov_schur(n, op, kNoStart, one)); });
        std::jthread t2([&] { right.emplace(krylov_schur(n, op, kNoStart, two)); });
    }
    ASSERT_TRUE(left && *left && right && *right);
    EXPECT_TRUE(bit_identical(*first, **left));
    EXPECT_TRUE(bit_identical(*first, **right));
}

}  // namespace
}  // namespace corvane
