#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "derivatives/derivatives.hpp"
#include "discretisation_helpers.hpp"

namespace corvane {
namespace {

using testing::entry;
using testing::expect_identical;
using testing::isotropic;
using testing::same_bits;

constexpr std::pair<Complex, Complex> kUnitSides{Complex{1.0, 0.0}, Complex{1.0, 0.0}};

// Order 1 with kappa running from 0 to 1 makes Re(s) the depth d itself, exactly, while
// Im(s) = sigma / w marks every layer point.
PmlParameters depth_probe() { return PmlParameters{2.0, 0.0, 1.0, 1}; }

// Ten steps on the axis plus two trailing values: the high edge step is the array's
// own last element.
const std::vector<double> kSteps{0.25, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0.5};

struct Layer {
    std::size_t i;
    double d;
    bool low;
};

void expect_layers(const std::vector<Complex>& s, const std::vector<Layer>& layers, double omega,
                   const PmlParameters& params) {
    const double w = omega * EPS0_UM;
    std::vector<bool> in_layer(s.size(), false);
    for (const Layer& l : layers) {
        in_layer[l.i] = true;
        const double h = l.low ? kSteps.front() : kSteps.back();
        EXPECT_EQ(s[l.i].re, l.d) << "i = " << l.i;
        EXPECT_DOUBLE_EQ(s[l.i].im, params.pml_sigma_max / (h * Z0) * l.d / w) << "i = " << l.i;
    }
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (!in_layer[i]) {
            EXPECT_TRUE(same_bits(s[i], Complex{1.0, 0.0})) << "i = " << i;
        }
    }
}

TEST(StretchFactors, DepthTablesOfBothStaggerings) {
    const double omega = 1.0e15;
    const PmlParameters p = depth_probe();
    expect_layers(create_sfactor("f", kSteps, 10, 3, omega, true, kUnitSides, p),
                  {{0, 2.5 / 3, true}, {1, 1.5 / 3, true}, {2, 0.5 / 3, true},
                   {7, 0.5 / 3, false}, {8, 1.5 / 3, false}, {9, 2.5 / 3, false}},
                  omega, p);
    expect_layers(create_sfactor("b", kSteps, 10, 3, omega, true, kUnitSides, p),
                  {{0, 1.0, true}, {1, 2.0 / 3, true}, {2, 1.0 / 3, true},
                   {8, 1.0 / 3, false}, {9, 2.0 / 3, false}},
                  omega, p);
    // Without the low side, only the high layer remains.
    expect_layers(create_sfactor("f", kSteps, 10, 3, omega, false, kUnitSides, p),
                  {{7, 0.5 / 3, false}, {8, 1.5 / 3, false}, {9, 2.5 / 3, false}}, omega, p);
    expect_layers(create_sfactor("b", kSteps, 10, 3, omega, false, kUnitSides, p),
                  {{8, 1.0 / 3, false}, {9, 2.0 / 3, false}}, omega, p);
}

TEST(StretchFactors, LayerThickerThanTheAxisWrapsToAllLow) {
    const double omega = 2.0e15;
    const PmlParameters p = depth_probe();
    const std::vector<Complex> f = create_sfactor("f", kSteps, 4, 6, omega, true, kUnitSides, p);
    const std::vector<Complex> b = create_sfactor("b", kSteps, 4, 6, omega, true, kUnitSides, p);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(f[i].re, ((6.0 - double(i)) - 0.5) / 6.0);
        EXPECT_EQ(b[i].re, (6.0 - double(i)) / 6.0);
    }
    // The wrapped N - npml leaves no high layer at all.
    for (const char* stagger : {"f", "b"}) {
        for (const Complex s : create_sfactor(stagger, kSteps, 4, 6, omega, false, kUnitSides, p)) {
            EXPECT_TRUE(same_bits(s, Complex{1.0, 0.0}));
        }
    }
}

TEST(StretchFactors, VacuumMatchesTheClosedForm) {
    const double omega = 1.2e15;
    const PmlParameters p;  // sigma_max 2, kappa 1..3, order 3
    const std::vector<Complex> s = create_sfactor("f", kSteps, 10, 3, omega, true, kUnitSides, p);
    for (const Layer& l : std::vector<Layer>{{0, 2.5 / 3, true}, {2, 0.5 / 3, true},
                                             {7, 0.5 / 3, false}, {9, 2.5 / 3, false}}) {
        const double q = l.d * l.d * l.d;
        const double h = l.low ? kSteps.front() : kSteps.back();
        const double kappa = 1.0 + 2.0 * q;
        const double sigma = 2.0 / (h * Z0) * q;
        EXPECT_NEAR(s[l.i].re, kappa, 1e-15 * kappa);
        EXPECT_NEAR(s[l.i].im, sigma / (omega * EPS0_UM), 1e-14 * sigma / (omega * EPS0_UM));
    }
}

TEST(StretchFactors, OrderZeroGivesFullStrengthEverywhereInTheLayer) {
    const double omega = 3.0e15;
    PmlParameters p;
    p.pml_order = 0;
    const std::vector<Complex> s = create_sfactor("b", kSteps, 10, 3, omega, true, kUnitSides, p);
    for (std::size_t i : {0u, 1u, 2u, 8u, 9u}) {
        const double h = i < 3 ? kSteps.front() : kSteps.back();
        EXPECT_EQ(s[i].re, p.pml_kappa_max);
        EXPECT_EQ(s[i].im, p.pml_sigma_max / (h * Z0) / (omega * EPS0_UM));
    }
}

TEST(StretchFactors, NegativeOrderInvertsThePower) {
    PmlParameters p = depth_probe();
    p.pml_order = -2;
    const std::vector<Complex> s = create_sfactor("b", kSteps, 10, 3, 1e15, true, kUnitSides, p);
    EXPECT_EQ(s[1].re, 1.0 / ((2.0 / 3) * (2.0 / 3)));
    EXPECT_EQ(s[0].re, 1.0);
}

TEST(StretchFactors, SideFactorScalesTheLossOfItsOwnSide) {
    const double omega = 1.0e15;
    const PmlParameters p = depth_probe();
    const std::vector<Complex> plain =
        create_sfactor("f", kSteps, 10, 3, omega, true, kUnitSides, p);
    const std::vector<Complex> s =
        create_sfactor("f", kSteps, 10, 3, omega, true, {Complex{0.5, 0.0}, Complex{0.0, 1.0}}, p);
    EXPECT_EQ(s[0].re, plain[0].re);
    EXPECT_EQ(s[0].im, 0.5 * plain[0].im);
    // C = i turns the loss into a real shift: s = kappa - sigma / w.
    EXPECT_EQ(s[9].re, plain[9].re - plain[9].im);
    EXPECT_EQ(s[9].im, 0.0);
}

TEST(StretchFactors, BadStaggeringAndEmptySteps) {
    const PmlParameters p;
    try {
        (void)create_sfactor("x", kSteps, 10, 3, 1e15, true, kUnitSides, p);
        FAIL() << "no error";
    } catch (const InternalError& e) {
        EXPECT_EQ(std::string(e.what()), "direction value x not recognized");
    }
    // Without a layer the staggering is never examined.
    EXPECT_EQ(create_sfactor("x", kSteps, 10, 0, 1e15, true, kUnitSides, p).size(), 10u);

    const std::span<const double> none;
    EXPECT_THROW((void)create_sfactor("f", none, 10, 3, 1e15, true, kUnitSides, p), InternalError);
    EXPECT_THROW((void)create_sfactor("b", none, 10, 3, 1e15, false, kUnitSides, p), InternalError);
    // Low side off and a wrapped layer: no point reads a step.
    EXPECT_EQ(create_sfactor("f", none, 2, 3, 1e15, false, kUnitSides, p).size(), 2u);
}

TEST(SideMeans, StripsOfEachSide) {
    // 4 x 3 grid, eps_xx = p, eps_yy = 10 p, eps_zz = 100 p at cell p.
    const std::size_t nx = 4, ny = 3;
    MaterialTensor t = isotropic(nx * ny, Complex{});
    for (std::size_t p = 0; p < nx * ny; ++p) {
        t[0][0][p] = {double(p), 1.0};
        t[1][1][p] = {10.0 * double(p), 1.0};
        t[2][2][p] = {100.0 * double(p), 1.0};
        t[0][1][p] = {1e9, 1e9};  // off-diagonal entries are not read
    }
    const std::array<Complex, 4> m = pml_average_all_sides(nx, ny, 2, 2, t);
    // x-low: ix < 2 -> cells 0..5, mean p = 2.5; x-high: ix > 2 -> cells 9..11, mean 10.
    // y-low: iy < 2 -> mean p over {0,1,3,4,6,7,9,10} = 5; y-high: iy > 1 -> {2,5,8,11}, 6.5.
    const double factor = (1.0 + 10.0 + 100.0) / 3.0;
    EXPECT_DOUBLE_EQ(m[0].re, 2.5 * factor);
    EXPECT_DOUBLE_EQ(m[1].re, 10.0 * factor);
    EXPECT_DOUBLE_EQ(m[2].re, 5.0 * factor);
    EXPECT_DOUBLE_EQ(m[3].re, 6.5 * factor);
    for (const Complex c : m) EXPECT_EQ(c.im, 1.0);

    // One cell thick: the x-high strip (ix > nx - 1) is empty and its mean is 1.
    const std::array<Complex, 4> thin = pml_average_all_sides(nx, ny, 1, 0, t);
    EXPECT_TRUE(same_bits(thin[1], Complex{1.0, 0.0}));
    EXPECT_TRUE(same_bits(thin[2], Complex{1.0, 0.0}));
    EXPECT_TRUE(same_bits(thin[3], Complex{1.0, 0.0}));
    EXPECT_DOUBLE_EQ(thin[0].re, 1.0 * factor);
}

// A matrix stores each value as the sum 0 + v, which turns a -0.0 part into +0.0.
Complex stored(Complex v) { return Complex{} + v; }

struct Grid {
    std::size_t nx = 6, ny = 5;
    std::vector<double> fx{0.5, 1, 1, 1, 1, 0.75}, bx{0.4, 1, 1, 1, 1, 0.6};
    std::vector<double> fy{0.3, 1, 1, 1, 0.7}, by{0.2, 1, 1, 1, 0.9};
    StepPair dlf() const { return {fx, fy}; }
    StepPair dlb() const { return {bx, by}; }
};

TEST(StretchMatrices, RowsCarryTheReciprocalOfTheirAxisFactor) {
    const Grid g;
    const PmlParameters p;
    const double omega = 1.5e15;
    const MaterialTensor vac = isotropic(g.nx * g.ny, Complex{1.0, 0.0});
    const auto s = create_s_matrices_sparse_with_profile(g.nx, g.ny, 2, 1, g.dlf(), g.dlb(), omega,
                                                         vac, vac, true, false, p);
    const std::vector<Complex> axis[4] = {
        create_sfactor("f", g.fx, g.nx, 2, omega, true, kUnitSides, p),
        create_sfactor("b", g.bx, g.nx, 2, omega, true, kUnitSides, p),
        create_sfactor("f", g.fy, g.ny, 1, omega, false, kUnitSides, p),
        create_sfactor("b", g.by, g.ny, 1, omega, false, kUnitSides, p),
    };
    for (std::size_t k = 0; k < 4; ++k) {
        ASSERT_EQ(s[k].nnz(), g.nx * g.ny);
        for (std::size_t ix = 0; ix < g.nx; ++ix) {
            for (std::size_t iy = 0; iy < g.ny; ++iy) {
                const std::size_t p_ = ix * g.ny + iy;
                const Complex f = axis[k][k < 2 ? ix : iy];
                EXPECT_TRUE(same_bits(entry(s[k], p_, p_), stored(recip(f)))) << k << " " << p_;
            }
        }
    }
    // The closed form of the vacuum: 1 / (kappa + i sigma / (omega eps0)) at the x-low edge.
    const double q = (1.5 / 2) * (1.5 / 2) * (1.5 / 2);
    const double kappa = 1.0 + 2.0 * q;
    const double loss = 2.0 / (0.5 * Z0) * q / (omega * EPS0_UM);
    const double modulus = kappa * kappa + loss * loss;
    const Complex want{kappa / modulus, -loss / modulus};
    EXPECT_NEAR(entry(s[0], 0, 0).re, want.re, 1e-15);
    EXPECT_NEAR(entry(s[0], 0, 0).im, want.im, 1e-15);
}

TEST(StretchMatrices, AxisWithoutLayerGivesIdentity) {
    const Grid g;
    const MaterialTensor vac = isotropic(g.nx * g.ny, Complex{1.0, 0.0});
    const auto s = create_s_matrices_sparse_with_profile(g.nx, g.ny, 0, 2, g.dlf(), g.dlb(), 1e15,
                                                         vac, vac, true, true, PmlParameters{});
    for (std::size_t k : {0u, 1u}) {
        ASSERT_EQ(s[k].nnz(), g.nx * g.ny);
        for (const Complex v : s[k].values) {
            EXPECT_EQ(v.re, 1.0);
            EXPECT_EQ(v.im, 0.0);
        }
    }
}

TEST(StretchMatrices, SideFactorIsTheReciprocalIndexOfTheStrip) {
    const Grid g;
    const PmlParameters p;
    const double omega = 1.5e15;
    const std::size_t n = g.nx * g.ny;
    // Index 2 (eps 4, mu 1) gives C = 1/2; eps -4 (a lossless metal) gives C = 1 / (2i).
    const struct {
        Complex eps;
        Complex c;
    } cases[] = {{{4.0, 0.0}, {0.5, 0.0}}, {{-4.0, 0.0}, {0.0, -0.5}}};
    for (const auto& cse : cases) {
        const auto s = create_s_matrices_sparse_with_profile(
            g.nx, g.ny, 2, 2, g.dlf(), g.dlb(), omega, isotropic(n, cse.eps),
            isotropic(n, Complex{1.0, 0.0}), true, true, p);
        const std::pair sides{cse.c, cse.c};
        const std::vector<Complex> fy = create_sfactor("f", g.fy, g.ny, 2, omega, true, sides, p);
        const std::vector<Complex> bx = create_sfactor("b", g.bx, g.nx, 2, omega, true, sides, p);
        for (std::size_t ix = 0; ix < g.nx; ++ix) {
            for (std::size_t iy = 0; iy < g.ny; ++iy) {
                const std::size_t q = ix * g.ny + iy;
                EXPECT_TRUE(same_bits(entry(s[2], q, q), stored(recip(fy[iy]))));
                EXPECT_TRUE(same_bits(entry(s[1], q, q), stored(recip(bx[ix]))));
            }
        }
    }
}

}  // namespace
}  // namespace corvane
