#include "operators.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace corvane {
namespace {

// The n x n matrix without stored entries.
SparseMatrix zero_matrix(std::size_t n) {
    SparseMatrix z;
    z.col_ptr.assign(n + 1, 0);
    z.rows = n;
    z.cols = n;
    return z;
}

// diag(1 / v) with every reciprocal the full quotient (1 + 0i) / v.
SparseMatrix inverse_diagonal(const std::vector<Complex>& v) {
    std::vector<Complex> r(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) r[i] = inv(v[i]);
    return SparseMatrix::diagonal(r);
}

SparseMatrix material_diagonal(const std::vector<Complex>& v) { return SparseMatrix::diagonal(v); }

// [[Z, diag(t_yy)], [-diag(t_xx), Z]]: (u, v) -> (t_yy v, -t_xx u).
SparseMatrix cross_operator(const MaterialTensor& t, const SparseMatrix& z) {
    const SparseMatrix yy = material_diagonal(t[1][1]);
    const SparseMatrix minus_xx = material_diagonal(t[0][0]).scale(Complex{-1.0, 0.0});
    return SparseMatrix::block_2x2(z, yy, minus_xx, z);
}

// [[-(L1 M R1), L1 M R2], [-(L2 M R1), L2 M R2]] = [L1; L2] M [-R1, R2], each block
// (left matmul M) matmul right. L M is formed once per left factor; matmul is a pure
// function of its operands, so reuse leaves every value unchanged.
SparseMatrix curl_term(const SparseMatrix& l1, const SparseMatrix& l2, const SparseMatrix& m,
                       const SparseMatrix& r1, const SparseMatrix& r2) {
    const Complex minus_one{-1.0, 0.0};
    auto block_row = [&](const SparseMatrix& left) {
        const SparseMatrix lm = left.matmul(m);
        return std::pair{lm.matmul(r1).scale(minus_one), lm.matmul(r2)};
    };
    const auto [b11, b12] = block_row(l1);
    const auto [b21, b22] = block_row(l2);
    return SparseMatrix::block_2x2(b11, b12, b21, b22);
}

using ComplexArray = std::vector<Complex>;

// Element-wise a / b over the shorter of the two.
ComplexArray quotient(const ComplexArray& a, const ComplexArray& b) {
    const std::size_t n = std::min(a.size(), b.size());
    ComplexArray out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = div(a[i], b[i]);
    return out;
}

// t_ab - t_az * (t_zb / t_zz), the transverse entry with the longitudinal field eliminated;
// q holds the quotient t_zb / t_zz.
ComplexArray reduced(const ComplexArray& t_ab, const ComplexArray& t_az, const ComplexArray& q) {
    const std::size_t n = std::min({t_ab.size(), t_az.size(), q.size()});
    ComplexArray out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = t_ab[i] - t_az[i] * q[i];
    return out;
}

}  // namespace

SparseDiagonalOperators assemble_sparse_diagonal_operators(const MaterialTensor& eps,
                                                           const MaterialTensor& mu,
                                                           const DerivativeSet& derivatives) {
    const std::size_t n = eps[0][0].size();
    const SparseMatrix z = zero_matrix(n);
    const SparseMatrix& dxf = derivatives.dxf;
    const SparseMatrix& dxb = derivatives.dxb;
    const SparseMatrix& dyf = derivatives.dyf;
    const SparseMatrix& dyb = derivatives.dyb;

    SparseDiagonalOperators ops;
    {
        const SparseMatrix a = inverse_diagonal(eps[2][2]);
        const SparseMatrix b = inverse_diagonal(mu[2][2]);
        ops.mu_cross = cross_operator(mu, z);
        ops.eps_zz_term = curl_term(dxf, dyf, a, dyb, dxb);
        ops.eps_cross = cross_operator(eps, z);
        ops.mu_zz_term = curl_term(dxb, dyb, b, dyf, dxf);
    }
    ops.e_to_h = ops.eps_cross.add(ops.mu_zz_term);
    {
        const SparseMatrix t1 = ops.mu_cross.matmul(ops.e_to_h);
        const SparseMatrix t2 = ops.eps_zz_term.matmul(ops.eps_cross);
        ops.eigen_operator = t1.add(t2);
    }
    return ops;
}

namespace {

// The sixteen blocks of the tensorial operator before the factor -i, assembled into one grid.
// Every element-wise array and block lives only inside this call, so the caller's final
// scale never holds them alongside the grid and its scaled copy.
SparseMatrix tensorial_block_grid(const MaterialTensor& eps, const MaterialTensor& mu,
                                  const DerivativeSet& derivatives) {
    const SparseMatrix& dxf = derivatives.dxf;
    const SparseMatrix& dxb = derivatives.dxb;
    const SparseMatrix& dyf = derivatives.dyf;
    const SparseMatrix& dyb = derivatives.dyb;
    // -1 - 0i: the negation of the first terms, signed zero included.
    const Complex minus_one{-1.0, -0.0};

    const SparseMatrix ei = inverse_diagonal(eps[2][2]);
    const SparseMatrix mi = inverse_diagonal(mu[2][2]);

    const ComplexArray eps_zx_zz = quotient(eps[2][0], eps[2][2]);
    const ComplexArray eps_zy_zz = quotient(eps[2][1], eps[2][2]);
    const ComplexArray eps_xz_zz = quotient(eps[0][2], eps[2][2]);
    const ComplexArray eps_yz_zz = quotient(eps[1][2], eps[2][2]);
    const ComplexArray mu_zx_zz = quotient(mu[2][0], mu[2][2]);
    const ComplexArray mu_zy_zz = quotient(mu[2][1], mu[2][2]);
    const ComplexArray mu_xz_zz = quotient(mu[0][2], mu[2][2]);
    const ComplexArray mu_yz_zz = quotient(mu[1][2], mu[2][2]);

    const SparseMatrix rmu_yx = SparseMatrix::diagonal(reduced(mu[1][0], mu[1][2], mu_zx_zz));
    const SparseMatrix rmu_yy = SparseMatrix::diagonal(reduced(mu[1][1], mu[1][2], mu_zy_zz));
    const SparseMatrix rmu_xx = SparseMatrix::diagonal(reduced(mu[0][0], mu[0][2], mu_zx_zz));
    const SparseMatrix rmu_xy = SparseMatrix::diagonal(reduced(mu[0][1], mu[0][2], mu_zy_zz));
    const SparseMatrix reps_yx = SparseMatrix::diagonal(reduced(eps[1][0], eps[1][2], eps_zx_zz));
    const SparseMatrix reps_yy = SparseMatrix::diagonal(reduced(eps[1][1], eps[1][2], eps_zy_zz));
    const SparseMatrix reps_xx = SparseMatrix::diagonal(reduced(eps[0][0], eps[0][2], eps_zx_zz));
    const SparseMatrix reps_xy = SparseMatrix::diagonal(reduced(eps[0][1], eps[0][2], eps_zy_zz));

    const SparseMatrix d_eps_zx = SparseMatrix::diagonal(eps_zx_zz);
    const SparseMatrix d_eps_zy = SparseMatrix::diagonal(eps_zy_zz);
    const SparseMatrix d_eps_xz = SparseMatrix::diagonal(eps_xz_zz);
    const SparseMatrix d_eps_yz = SparseMatrix::diagonal(eps_yz_zz);
    const SparseMatrix d_mu_zx = SparseMatrix::diagonal(mu_zx_zz);
    const SparseMatrix d_mu_zy = SparseMatrix::diagonal(mu_zy_zz);
    const SparseMatrix d_mu_xz = SparseMatrix::diagonal(mu_xz_zz);
    const SparseMatrix d_mu_yz = SparseMatrix::diagonal(mu_yz_zz);

    // Each block: first term (product, then negation where marked), second term, then the
    // add or sub with the first term on the left. D EI and D MI are formed once per D.
    const SparseMatrix dxf_ei = dxf.matmul(ei);
    const SparseMatrix dyf_ei = dyf.matmul(ei);
    const SparseMatrix dxb_mi = dxb.matmul(mi);
    const SparseMatrix dyb_mi = dyb.matmul(mi);

    const SparseMatrix b11 = dxf.matmul(d_eps_zx).scale(minus_one).sub(d_mu_yz.matmul(dyf));
    const SparseMatrix b12 = dxf.matmul(d_eps_zy).scale(minus_one).add(d_mu_yz.matmul(dxf));
    const SparseMatrix b13 = dxf_ei.matmul(dyb).scale(minus_one).add(rmu_yx);
    const SparseMatrix b14 = dxf_ei.matmul(dxb).add(rmu_yy);
    const SparseMatrix b21 = dyf.matmul(d_eps_zx).scale(minus_one).add(d_mu_xz.matmul(dyf));
    const SparseMatrix b22 = dyf.matmul(d_eps_zy).scale(minus_one).sub(d_mu_xz.matmul(dxf));
    const SparseMatrix b23 = dyf_ei.matmul(dyb).scale(minus_one).sub(rmu_xx);
    const SparseMatrix b24 = dyf_ei.matmul(dxb).sub(rmu_xy);
    const SparseMatrix b31 = dxb_mi.matmul(dyf).scale(minus_one).add(reps_yx);
    const SparseMatrix b32 = dxb_mi.matmul(dxf).add(reps_yy);
    const SparseMatrix b33 = dxb.matmul(d_mu_zx).scale(minus_one).sub(d_eps_yz.matmul(dyb));
    const SparseMatrix b34 = dxb.matmul(d_mu_zy).scale(minus_one).add(d_eps_yz.matmul(dxb));
    const SparseMatrix b41 = dyb_mi.matmul(dyf).scale(minus_one).sub(reps_xx);
    const SparseMatrix b42 = dyb_mi.matmul(dxf).sub(reps_xy);
    const SparseMatrix b43 = dyb.matmul(d_mu_zx).scale(minus_one).add(d_eps_xz.matmul(dyb));
    const SparseMatrix b44 = dyb.matmul(d_mu_zy).scale(minus_one).sub(d_eps_xz.matmul(dxb));

    return SparseMatrix::block_grid({
        {b11, b12, b13, b14},
        {b21, b22, b23, b24},
        {b31, b32, b33, b34},
        {b41, b42, b43, b44},
    });
}

}  // namespace

SparseMatrix assemble_sparse_tensorial_operator(const MaterialTensor& eps,
                                                const MaterialTensor& mu,
                                                const DerivativeSet& derivatives) {
    return tensorial_block_grid(eps, mu, derivatives).scale(Complex{0.0, -1.0});
}

}  // namespace corvane
