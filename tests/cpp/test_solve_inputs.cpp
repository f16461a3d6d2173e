#include <gtest/gtest.h>

#include <vector>

#include "discretisation_helpers.hpp"
#include "mode_solver/solve_arguments.hpp"

namespace corvane {
namespace {

using testing::entry;
using testing::expect_identical;
using testing::isotropic;
using testing::same_bits;

struct Inputs {
    std::size_t nx = 5, ny = 4;
    std::vector<double> fx{0.5, 1, 1, 1, 0.75}, bx{0.4, 1, 1, 1, 0.6};
    std::vector<double> fy{0.3, 1, 1, 0.7}, by{0.2, 1, 1, 0.9};
    MaterialTensor eps = isotropic(nx * ny, Complex{2.25, 0.01});
    MaterialTensor mu = isotropic(nx * ny, Complex{1.0, 0.0});
    PmlParameters params;

    Result<DerivativeSet> solve_inputs(std::optional<double> omega, std::optional<double> scale,
                                       std::uint64_t npml_x, std::uint64_t npml_y) const {
        return sparse_derivative_matrices_for_solve(nx, ny, {fx, fy}, {bx, by}, true, omega, scale,
                                                    false, eps, mu, npml_x, npml_y, params, true,
                                                    false);
    }
    DerivativeSet plain() const {
        return create_d_matrices_sparse(nx, ny, {fx, fy}, {bx, by}, true, false);
    }
};

TEST(SolveInputs, WithoutLayersOmegaIsNotNeeded) {
    const Inputs in;
    const auto d = in.solve_inputs(std::nullopt, std::nullopt, 0, 0);
    ASSERT_TRUE(d) << d.error().text;
    const DerivativeSet want = in.plain();
    for (std::size_t k = 0; k < 4; ++k) expect_identical((*d)[k], want[k]);
}

TEST(SolveInputs, LayersWithoutOmegaFail) {
    const Inputs in;
    for (const auto& [npml_x, npml_y] : {std::pair{0, 1}, std::pair{2, 0}}) {
        const auto d = in.solve_inputs(std::nullopt, 2.0, npml_x, npml_y);
        ASSERT_FALSE(d);
        EXPECT_EQ(d.error().text, "omega is required when num_pml is nonzero");
    }
}

TEST(SolveInputs, LayersDivideEachRowByItsStretchFactor) {
    const Inputs in;
    const double omega = 1.2e15;
    const auto d = in.solve_inputs(omega, std::nullopt, 2, 1);
    ASSERT_TRUE(d) << d.error().text;
    const DerivativeSet plain = in.plain();
    const auto s = create_s_matrices_sparse_with_profile(in.nx, in.ny, 2, 1, {in.fx, in.fy},
                                                         {in.bx, in.by}, omega, in.eps, in.mu,
                                                         true, false, in.params);
    for (std::size_t k = 0; k < 4; ++k) {
        expect_identical((*d)[k], s[k].matmul(plain[k]));
        // Row p scaled by the reciprocal stretch of its own cell only.
        for (std::size_t c = 0; c < plain[k].cols; ++c) {
            const ColumnEntries e = plain[k].column_entries(c);
            for (std::size_t j = 0; j < e.size; ++j) {
                const Complex want = entry(s[k], e.rows[j], e.rows[j]) * e.values[j];
                const Complex got = entry((*d)[k], e.rows[j], c);
                EXPECT_EQ(got.re, want.re);
                EXPECT_EQ(got.im, want.im);
            }
        }
    }
    // x layers on both sides; a one-cell y layer on the high side reaches only the last
    // forward row (at ny - 1/2), no backward row.
    EXPECT_NE(entry(d->dxf, 0, in.ny).im, 0.0);
    EXPECT_EQ(entry(d->dyf, 0, 1).im, 0.0);
    EXPECT_NE(entry(d->dyf, in.ny - 1, in.ny - 1).im, 0.0);
    EXPECT_EQ(entry(d->dyb, in.ny - 1, in.ny - 1).im, 0.0);
}

TEST(SolveInputs, ScaleMultipliesEveryStoredValueAfterStretching) {
    const Inputs in;
    const auto base = in.solve_inputs(1e15, std::nullopt, 2, 2);
    const auto twice = in.solve_inputs(1e15, 2.0, 2, 2);
    const auto zero = in.solve_inputs(1e15, 0.0, 2, 2);
    ASSERT_TRUE(base && twice && zero);
    for (std::size_t k = 0; k < 4; ++k) {
        const SparseMatrix& b = (*base)[k];
        const SparseMatrix& t = (*twice)[k];
        ASSERT_EQ(t.col_ptr, b.col_ptr);
        ASSERT_EQ(t.row_indices, b.row_indices);
        for (std::size_t j = 0; j < b.nnz(); ++j) {
            EXPECT_EQ(t.values[j].re, 2.0 * b.values[j].re);
            EXPECT_EQ(t.values[j].im, 2.0 * b.values[j].im);
        }
        // A zero scale keeps the pattern with zero values.
        ASSERT_EQ((*zero)[k].row_indices, b.row_indices);
        for (const Complex v : (*zero)[k].values) EXPECT_TRUE(is_zero(v));
    }
}

TEST(CellAreas, OuterXInnerYAbsoluteProducts) {
    const std::vector<double> x{1, 2}, y{3, 4, 5};
    EXPECT_EQ(cell_areas_from_steps(x, y), (std::vector<double>{3, 4, 5, 6, 8, 10}));
    const std::vector<double> nx{-1, 2}, ny{3, -4, -5};
    EXPECT_EQ(cell_areas_from_steps(nx, ny), (std::vector<double>{3, 4, 5, 6, 8, 10}));
    EXPECT_TRUE(cell_areas_from_steps({}, y).empty());
    EXPECT_TRUE(cell_areas_from_steps(x, {}).empty());
}

}  // namespace
}  // namespace corvane
