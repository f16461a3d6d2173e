#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "discretisation_helpers.hpp"
#include "mode_solver/mode_solver.hpp"
#include "mode_solver/pipeline_steps.hpp"
#include "operators.hpp"

namespace corvane {
namespace {

using namespace mode_solver_detail;

using testing::isotropic;

TEST(DiagonalEffectiveIndex, FollowsThePrincipalBranches) {
    EXPECT_EQ(diagonal_effective_index({-4.0, 0.0}), (Complex{2.0, 0.0}));
    EXPECT_EQ(diagonal_effective_index({-4.0, -0.0}), (Complex{2.0, 0.0}));
    // w = -4 on the negative real axis: the imaginary part is +2.
    EXPECT_EQ(diagonal_effective_index({4.0, 0.0}), (Complex{0.0, 2.0}));
    // w on the imaginary axis.
    EXPECT_EQ(diagonal_effective_index({0.0, -2.0}), (Complex{1.0, 1.0}));
    EXPECT_EQ(diagonal_effective_index({0.0, 2.0}), (Complex{1.0, -1.0}));
    // w = 4 + 4i: first quadrant, the square of the root gives w back.
    const Complex root = diagonal_effective_index({-4.0, -4.0});
    EXPECT_GT(root.re, 0.0);
    EXPECT_GT(root.im, 0.0);
    const Complex square = root * root;
    EXPECT_NEAR(square.re, 4.0, 1e-14);
    EXPECT_NEAR(square.im, 4.0, 1e-14);
    // A lossy mode: lambda = -(n - ik)^2 with small k maps back to n - ik.
    const Complex lossy{1.5, -0.01};
    const Complex lambda = Complex{-1.0, 0.0} * (lossy * lossy);
    const Complex back = diagonal_effective_index(lambda);
    EXPECT_NEAR(back.re, 1.5, 1e-14);
    EXPECT_NEAR(back.im, -0.01, 1e-14);
}

TEST(FieldScaling, DivisionByINeffAndMagneticFactor) {
    EXPECT_EQ(kMagneticFactor, 0.002654418727993071);
    const Complex x{0.7, -1.3};
    const Complex neff{1.9, 0.02};
    const Complex expected = div(x, Complex{0.0, 1.0} * neff);
    const Complex got = divide_by_i_neff(x, neff);
    EXPECT_NEAR(got.re, expected.re, 1e-15);
    EXPECT_NEAR(got.im, expected.im, 1e-15);
    // A zero index gives non-finite fields, not an error.
    EXPECT_FALSE(std::isfinite(divide_by_i_neff(x, {0.0, 0.0}).re));

    const Complex h = times_minus_i_c(x, kMagneticFactor);
    EXPECT_EQ(h, (x * Complex{0.0, -kMagneticFactor}));
    EXPECT_EQ(h.re, -1.3 * kMagneticFactor);
    EXPECT_EQ(h.im, -0.7 * kMagneticFactor);
}

TEST(ModeOrder, StableDescendingRealPart) {
    struct Item {
        Complex neff;
        int tag;
    };
    std::vector<Item> items{{{1.0, 0.0}, 0}, {{2.0, 0.0}, 1}, {{1.0, 5.0}, 2},
                            {{3.0, -1.0}, 3}, {{2.0, -4.0}, 4}};
    sort_by_descending_index(items, [](const Item& i) { return i.neff; });
    std::vector<int> order;
    for (const Item& i : items) order.push_back(i.tag);
    EXPECT_EQ(order, (std::vector<int>{3, 1, 4, 0, 2}));
}

TEST(Direction, OnlyTheMinusTextIsBackward) {
    EXPECT_TRUE(is_backward("-"));
    EXPECT_FALSE(is_backward(""));
    EXPECT_FALSE(is_backward("+"));
    EXPECT_FALSE(is_backward("--"));
    EXPECT_FALSE(is_backward("- "));
}

TEST(CellAreaCheck, AcceptsPositiveSubnormals) {
    const std::vector<double> areas{1.0, std::numeric_limits<double>::denorm_min(), 1e300};
    EXPECT_TRUE(check_cell_areas(areas, 3).has_value());
}

// Both pipelines reject bad areas before any operator is built, so an empty derivative
// set suffices here.
class CellAreaMessages : public ::testing::TestWithParam<bool> {
protected:
    std::string solve_error(const std::vector<double>& areas) const {
        SolveArguments args;
        args.formulation = GetParam() ? Formulation::tensorial : Formulation::diagonal;
        args.eps = isotropic(2, {4.0, 0.0});
        args.mu = isotropic(2, {1.0, 0.0});
        args.num_modes = 1;
        args.neff_guess = 2.0;
        const DerivativeSet d;
        const auto result = solve_modes(args, d, areas);
        return result ? std::string("(no error)") : result.error().text;
    }
};

TEST_P(CellAreaMessages, LengthMismatchNamesAreasFirst) {
    EXPECT_EQ(solve_error({1.0}), "cell area vector length 1 does not match grid size 2");
    EXPECT_EQ(solve_error({1.0, 1.0, 1.0}), "cell area vector length 3 does not match grid size 2");
}

TEST_P(CellAreaMessages, NonPositiveOrNonFiniteAreasFail) {
    const double inf = std::numeric_limits<double>::infinity();
    for (const double bad : {0.0, -0.0, -1.0, std::nan(""), inf, -inf}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(solve_error({1.0, bad}), "cell areas must be finite and positive");
    }
}

// A single cell has no derivatives: the modes are plane waves, for which both formulations
// must rebuild the same field, H = n z x E / Z0 for the forward direction.
TEST(ModeFieldReconstruction, OneCellPlaneWaveInBothFormulations) {
    const MaterialTensor eps = isotropic(1, {4.0, 0.0});
    const MaterialTensor mu = isotropic(1, {1.0, 0.0});
    const std::vector<double> step{1.0};
    const DerivativeSet d = create_d_matrices_sparse(1, 1, {step, step}, {step, step}, false, false);
    const SparseMatrix ie = reciprocal_diagonal(eps[2][2]);
    const SparseMatrix im = reciprocal_diagonal(mu[2][2]);
    const Complex ex{0.6, 0.8};
    const Complex ey{-0.3, 0.1};
    const double n_over_z0 = 2.0 * kMagneticFactor;

    const SparseDiagonalOperators ops = assemble_sparse_diagonal_operators(eps, mu, d);
    const std::vector<Complex> transverse{ex, ey};
    const ModeFields diagonal = diagonal_mode_fields(ops, d, ie, im, transverse, {2.0, 0.0}, 1);

    // Eigenvector of the tensorial operator for neff = 2: its magnetic block holds
    // (Hx, Hy) before the factor (0, -1/Z0), i.e. -2i Ey and 2i Ex.
    const SparseMatrix a = assemble_sparse_tensorial_operator(eps, mu, d);
    const std::vector<Complex> full{ex, ey, Complex{0.0, -2.0} * ey, Complex{0.0, 2.0} * ex};
    const std::vector<Complex> applied = a.matvec(full);
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_NEAR(applied[k].re, 2.0 * full[k].re, 1e-15);
        EXPECT_NEAR(applied[k].im, 2.0 * full[k].im, 1e-15);
    }
    const ModeFields tensorial = tensorial_mode_fields(eps, mu, d, ie, im, full, 1);

    for (const ModeFields* mode : {&diagonal, &tensorial}) {
        EXPECT_EQ(mode->ex[0], ex);
        EXPECT_EQ(mode->ey[0], ey);
        EXPECT_NEAR(mode->hx[0].re, -n_over_z0 * ey.re, 1e-18);
        EXPECT_NEAR(mode->hx[0].im, -n_over_z0 * ey.im, 1e-18);
        EXPECT_NEAR(mode->hy[0].re, n_over_z0 * ex.re, 1e-18);
        EXPECT_NEAR(mode->hy[0].im, n_over_z0 * ex.im, 1e-18);
        EXPECT_EQ(mode->ez[0], (Complex{0.0, 0.0}));
        EXPECT_EQ(mode->hz[0], (Complex{0.0, 0.0}));
    }
}

INSTANTIATE_TEST_SUITE_P(BothPipelines, CellAreaMessages, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param_info) {
                             return param_info.param ? "tensorial" : "diagonal";
                         });

}  // namespace
}  // namespace corvane
