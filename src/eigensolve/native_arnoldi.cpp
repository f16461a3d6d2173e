#include "eigensolve/native_arnoldi.hpp"

#include <Eigen/Eigenvalues>
#include <Eigen/SVD>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <utility>

#include "eigensolve/eigensolve.hpp"

namespace corvane {
namespace {

// Eigen's kernels run in std::complex; everything around them stays in Complex.
std::complex<double> to_std(Complex z) { return {z.re, z.im}; }
Complex from_std(std::complex<double> z) { return {z.real(), z.imag()}; }

// Shifted QR converges in a few sweeps per eigenvalue; the cap is far above that and only
// bounds the work on a matrix that cannot converge.
constexpr Eigen::Index kSchurIterationsPerRow = 1000;

// sum_l conj(u[l]) w[l], in ascending l.
Complex dot(const std::vector<Complex>& u, const std::vector<Complex>& w) {
    Complex h;
    for (std::size_t l = 0; l < u.size(); ++l) h = h + conj(u[l]) * w[l];
    return h;
}

// Ritz vectors by one SVD of H_k - theta I per Ritz value cost O(k^4), minutes once k
// reaches a few hundred (num_modes at or above the order of a tiny operator). Beyond the
// default Krylov dimension they come from the Schur vectors instead, O(k^3) for all of
// them; up to it every result stays that of the SVDs.
constexpr std::size_t kSvdRitzVectorSteps = 32;

// Eigenvalues of h in the diagonal order of its Schur factor T, and with `vectors` its
// unit eigenvectors as the columns of a matrix.
struct HessenbergEigen {
    std::vector<Complex> theta;
    Eigen::MatrixXcd vectors;
};

// Eigenvector of the upper triangular t for its diagonal entry c, by back-substitution
// with z_c = 1. A denominator below the threshold smin (a repeated eigenvalue) is raised to
// it, and z is rescaled whenever an entry grows huge, so no entry becomes infinite.
Eigen::VectorXcd triangular_eigenvector(const Eigen::MatrixXcd& t, Eigen::Index c) {
    constexpr double kHuge = 1e150;
    const std::complex<double> tcc = t(c, c);
    const double smin = std::max(kEpsilon * std::abs(tcc), std::numeric_limits<double>::min());
    Eigen::VectorXcd z = Eigen::VectorXcd::Zero(t.rows());
    z(c) = 1.0;
    for (Eigen::Index i = c - 1; i >= 0; --i) {
        std::complex<double> sum = 0.0;
        for (Eigen::Index l = i + 1; l <= c; ++l) sum += t(i, l) * z(l);
        std::complex<double> d = t(i, i) - tcc;
        if (std::abs(d) < smin) d = smin;
        z(i) = -sum / d;
        if (std::abs(z(i)) > kHuge) z.segment(i, c - i + 1) /= std::abs(z(i));
    }
    return z;
}

Result<HessenbergEigen> hessenberg_eigen(const Eigen::MatrixXcd& h, bool vectors) {
    // NaN or infinite entries (solves with a singular shift) never deflate: fail at once
    // instead of running QR sweeps up to the cap.
    if (!h.allFinite()) return fail("failed to compute Hessenberg eigenvalues");
    const Eigen::Index k = h.rows();
    Eigen::ComplexSchur<Eigen::MatrixXcd> schur(k);
    schur.setMaxIterations(kSchurIterationsPerRow * std::max<Eigen::Index>(k, 1));
    // T does not depend on whether U is accumulated alongside it.
    schur.compute(h, /*computeU=*/vectors);
    if (schur.info() != Eigen::Success) return fail("failed to compute Hessenberg eigenvalues");
    const Eigen::MatrixXcd& t = schur.matrixT();
    HessenbergEigen eigen;
    eigen.theta.resize(static_cast<std::size_t>(k));
    for (Eigen::Index i = 0; i < k; ++i) {
        if (i + 1 < k && t(i + 1, i) != std::complex<double>(0.0, 0.0)) {
            return fail("failed to compute Hessenberg eigenvalues");
        }
        eigen.theta[static_cast<std::size_t>(i)] = from_std(t(i, i));
    }
    if (vectors) {
        eigen.vectors.resize(k, k);
        for (Eigen::Index c = 0; c < k; ++c) {
            eigen.vectors.col(c) = schur.matrixU() * triangular_eigenvector(t, c);
        }
    }
    return eigen;
}

// Right singular vector of the smallest singular value of h - theta I: conj of the last row
// of V^H, i.e. the last column of V (singular values come in descending order).
Result<std::vector<Complex>> null_vector(const std::vector<std::vector<Complex>>& h_columns,
                                         std::size_t k, Complex theta) {
    const auto ki = static_cast<Eigen::Index>(k);
    Eigen::MatrixXcd shifted = Eigen::MatrixXcd::Zero(ki, ki);
    for (std::size_t j = 0; j < k; ++j) {
        for (std::size_t i = 0; i <= std::min(j + 1, k - 1); ++i) {
            const Complex hij = h_columns[j][i];
            shifted(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)) =
                to_std(i == j ? hij - theta : hij);
        }
    }
    const Eigen::JacobiSVD<Eigen::MatrixXcd> svd(shifted, Eigen::ComputeFullV);
    if (svd.info() != Eigen::Success) return fail("failed to compute null vector SVD");
    if (!svd.computeV()) return fail("SVD did not return right singular vectors");
    const Eigen::MatrixXcd& v = svd.matrixV();
    std::vector<Complex> y(k);
    for (std::size_t i = 0; i < k; ++i) {
        y[i] = from_std(v(static_cast<Eigen::Index>(i), ki - 1));
    }
    return y;
}

std::vector<Complex> column(const Eigen::MatrixXcd& m, std::size_t c) {
    std::vector<Complex> y(static_cast<std::size_t>(m.rows()));
    for (std::size_t i = 0; i < y.size(); ++i) {
        y[i] = from_std(m(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(c)));
    }
    return y;
}

}  // namespace

std::vector<Complex> arnoldi_start_vector(std::size_t n) {
    std::vector<Complex> v(n);
    for (std::size_t j = 0; j < n; ++j) {
        const double t = static_cast<double>(j + 1);
        v[j] = Complex{std::sin(0.37 * t), std::cos(0.53 * t)};
    }
    normalize_in_place(v);
    return v;
}

Result<std::vector<Candidate>> native_shift_invert_arnoldi(
    const SparseMatrix& a, Complex sigma, const SparseLu& f, std::size_t m,
    std::optional<std::span<const Complex>> initial_vector, double tol) {
    internal_check(m >= 1, "assertion failed: m >= 1");
    const std::size_t n = a.rows;

    std::vector<std::vector<Complex>> basis;
    if (initial_vector) {
        if (initial_vector->size() != n) {
            return fail("initial vector length does not match matrix size");
        }
        basis.emplace_back(initial_vector->begin(), initial_vector->end());
        normalize_in_place(basis.back());
    } else {
        basis.push_back(arnoldi_start_vector(n));
    }

    // A Krylov space of an order-n operator has at most n dimensions: past n steps the
    // process would only orthogonalise rounding noise, so m beyond n is never run. (With
    // n = 0 the single step below breaks down at once.)
    const std::size_t max_steps = std::max<std::size_t>(1, std::min(m, n));

    // Column j of the Hessenberg matrix, rows 0 .. j + 1.
    std::vector<std::vector<Complex>> h_columns;
    std::size_t k = 0;
    for (std::size_t j = 0;; ++j) {
        Result<std::vector<Complex>> solved = f.solve(basis[j]);
        if (!solved) return std::move(solved).error();
        std::vector<Complex> w = std::move(solved).value();

        std::vector<Complex> column(j + 2);
        // Classical Gram-Schmidt twice: the second pass restores orthogonality lost to
        // cancellation in the first.
        for (int pass = 0; pass < 2; ++pass) {
            for (std::size_t i = 0; i <= j; ++i) {
                const std::vector<Complex>& vi = basis[i];
                const Complex h = dot(vi, w);
                column[i] = pass == 0 ? h : column[i] + h;
                for (std::size_t l = 0; l < n; ++l) w[l] = w[l] - h * vi[l];
            }
        }
        double beta_sq = 0.0;
        for (const Complex c : w) beta_sq += norm_sqr(c);
        const double beta = std::sqrt(beta_sq);
        column[j + 1] = Complex{beta, 0.0};
        h_columns.push_back(std::move(column));

        // A NaN beta never passes beta <= tol. Its column already holds NaN coefficients,
        // so the eigenvalue step below reports the failure.
        if (j + 1 == max_steps || beta <= tol || std::isnan(beta)) {
            k = j + 1;
            break;
        }
        const double inverse_beta = 1.0 / beta;
        for (Complex& c : w) c = scale_real(c, inverse_beta);
        basis.push_back(std::move(w));
    }

    const auto ki = static_cast<Eigen::Index>(k);
    Eigen::MatrixXcd hk = Eigen::MatrixXcd::Zero(ki, ki);
    for (std::size_t j = 0; j < k; ++j) {
        for (std::size_t i = 0; i <= std::min(j + 1, k - 1); ++i) {
            hk(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)) =
                to_std(h_columns[j][i]);
        }
    }
    const bool schur_vectors = k > kSvdRitzVectorSteps;
    Result<HessenbergEigen> eigen = hessenberg_eigen(hk, schur_vectors);
    if (!eigen) return std::move(eigen).error();

    std::vector<Candidate> candidates;
    const std::size_t used = std::min(k, basis.size());
    for (std::size_t r = 0; r < k; ++r) {
        const Complex theta = eigen->theta[r];
        if (abs(theta) <= tol) continue;  // a NaN modulus is kept
        Result<std::vector<Complex>> y =
            schur_vectors ? column(eigen->vectors, r) : null_vector(h_columns, k, theta);
        if (!y) return std::move(y).error();
        normalize_in_place(*y);

        std::vector<Complex> x(n);
        for (std::size_t i = 0; i < used; ++i) {
            const Complex yi = (*y)[i];
            const std::vector<Complex>& vi = basis[i];
            for (std::size_t l = 0; l < n; ++l) x[l] = x[l] + yi * vi[l];
        }
        normalize_in_place(x);

        const Complex lambda = sigma + recip(theta);  // sigma + conj(theta) / |theta|^2
        const double residual = sparse_residual_norm(a, x, lambda);
        candidates.push_back({lambda, std::move(x), residual});
    }
    return candidates;
}

}  // namespace corvane
