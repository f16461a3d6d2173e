#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "mode_solver/mode_solver.hpp"

namespace corvane {
namespace {

constexpr double kTight = 1e-14;

// A mode on `cells` cells with every component zero.
ModeFields zero_mode(std::size_t cells) {
    const std::vector<Complex> zeros(cells);
    return {zeros, zeros, zeros, zeros, zeros, zeros};
}

ModeFields random_mode(std::size_t cells, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    ModeFields m = zero_mode(cells);
    for (std::vector<Complex>* c : {&m.ex, &m.ey, &m.ez, &m.hx, &m.hy, &m.hz}) {
        for (Complex& v : *c) v = {u(gen), u(gen)};
    }
    return m;
}

// Independent reference for the power sum S = sum w (ex conj(hy) - ey conj(hx)).
Complex power_sum(const ModeFields& m, const std::vector<double>& w) {
    Complex s{};
    for (std::size_t k = 0; k < w.size(); ++k) {
        s += Complex{w[k], 0.0} * (m.ex[k] * conj(m.hy[k]) - m.ey[k] * conj(m.hx[k]));
    }
    return s;
}

void expect_near(Complex actual, Complex expected, double tol = kTight) {
    EXPECT_NEAR(actual.re, expected.re, tol);
    EXPECT_NEAR(actual.im, expected.im, tol);
}

void expect_components_near(const ModeFields& a, const ModeFields& b, double tol = kTight) {
    const std::vector<Complex>* ca[] = {&a.ex, &a.ey, &a.ez, &a.hx, &a.hy, &a.hz};
    const std::vector<Complex>* cb[] = {&b.ex, &b.ey, &b.ez, &b.hx, &b.hy, &b.hz};
    for (int c = 0; c < 6; ++c) {
        ASSERT_EQ(ca[c]->size(), cb[c]->size());
        for (std::size_t k = 0; k < ca[c]->size(); ++k) {
            SCOPED_TRACE(testing::Message() << "component " << c << " cell " << k);
            expect_near((*ca[c])[k], (*cb[c])[k], tol);
        }
    }
}

ModeFields scaled(ModeFields m, Complex f) {
    for (std::vector<Complex>* c : {&m.ex, &m.ey, &m.ez, &m.hx, &m.hy, &m.hz}) {
        for (Complex& v : *c) v = v * f;
    }
    return m;
}

TEST(CollectModeFields, RegroupsByComponentWithoutCopying) {
    std::vector<ModeFields> modes{random_mode(3, 1), random_mode(3, 2)};
    const Complex* a_ex = modes[0].ex.data();
    const Complex* b_hz = modes[1].hz.data();
    const ModeFields a = modes[0];
    const ModeFields b = modes[1];

    const ComponentFields f = collect_mode_fields(std::move(modes));

    ASSERT_EQ(f.ex.size(), 2u);
    ASSERT_EQ(f.hz.size(), 2u);
    EXPECT_EQ(f.ex[0].data(), a_ex);
    EXPECT_EQ(f.hz[1].data(), b_hz);
    EXPECT_EQ(f.ex[0], a.ex);
    EXPECT_EQ(f.ey[1], b.ey);
    EXPECT_EQ(f.ez[0], a.ez);
    EXPECT_EQ(f.hx[1], b.hx);
    EXPECT_EQ(f.hy[0], a.hy);
    EXPECT_EQ(f.hz[1], b.hz);
}

TEST(CollectModeFields, NoModesGiveSixEmptyLists) {
    const ComponentFields f = collect_mode_fields({});
    EXPECT_TRUE(f.ex.empty() && f.ey.empty() && f.ez.empty() && f.hx.empty() && f.hy.empty() &&
                f.hz.empty());
}

TEST(LorentzOverlap, IsSymmetricBitForBit) {
    const std::vector<double> w{0.5, 1.25, 2.0, 0.75};
    const ModeFields a = random_mode(4, 3);
    const ModeFields b = random_mode(4, 4);
    const Complex ab = lorentz_overlap(a, b, w);
    const Complex ba = lorentz_overlap(b, a, w);
    EXPECT_EQ(ab.re, ba.re);
    EXPECT_EQ(ab.im, ba.im);
}

TEST(LorentzOverlap, OneCellModesOfTheWorkedExamples) {
    ModeFields real_mode = zero_mode(1);
    real_mode.ex = {{1.0, 0.0}};
    real_mode.hy = {{1.0, 0.0}};
    const std::vector<double> area_two{2.0};
    EXPECT_EQ(lorentz_overlap(real_mode, real_mode, area_two), (Complex{2.0, 0.0}));
    EXPECT_EQ(power_sum(real_mode, area_two), (Complex{2.0, 0.0}));
    normalize_to_unit_power(real_mode, area_two);
    expect_near(lorentz_overlap(real_mode, real_mode, area_two), {1.0, 0.0});

    // For complex fields power and self-overlap differ: power 1, overlap -1.
    ModeFields imaginary_mode = zero_mode(1);
    imaginary_mode.ex = {{0.0, 1.0}};
    imaginary_mode.hy = {{0.0, 1.0}};
    const std::vector<double> area_one{1.0};
    EXPECT_EQ(power_sum(imaginary_mode, area_one), (Complex{1.0, 0.0}));
    EXPECT_EQ(lorentz_overlap(imaginary_mode, imaginary_mode, area_one), (Complex{-1.0, 0.0}));
}

TEST(LorentzOverlap, LongitudinalComponentsDoNotEnter) {
    const std::vector<double> w{1.0, 3.0};
    ModeFields a = random_mode(2, 5);
    const ModeFields b = random_mode(2, 6);
    const Complex before = lorentz_overlap(a, b, w);
    a.ez = {{7.0, -1.0}, {2.0, 2.0}};
    a.hz = {{-4.0, 0.5}, {0.0, 9.0}};
    EXPECT_EQ(lorentz_overlap(a, b, w), before);

    ModeFields p = a;
    ModeFields q = a;
    q.ez = {{100.0, 0.0}, {0.0, 100.0}};
    normalize_to_unit_power(p, w);
    normalize_to_unit_power(q, w);
    EXPECT_EQ(p.ex, q.ex);
    EXPECT_EQ(p.hy, q.hy);
}

TEST(NormalizeToUnitPower, ZeroModeStaysZero) {
    ModeFields m = zero_mode(3);
    normalize_to_unit_power(m, std::vector<double>{1.0, 1.0, 1.0});
    EXPECT_EQ(m.ex, zero_mode(3).ex);
    EXPECT_EQ(m.hz, zero_mode(3).hz);
}

TEST(NormalizeToUnitPower, RealPowerFourHalvesAllSixArrays) {
    ModeFields m = zero_mode(1);
    m.ex = {{2.0, 0.0}};
    m.ey = {{1.0, -3.0}};
    m.ez = {{3.0, 1.0}};
    m.hy = {{2.0, 0.0}};
    m.hz = {{5.0, -2.0}};
    const std::vector<double> w{1.0};
    ASSERT_EQ(power_sum(m, w), (Complex{4.0, 0.0}));
    normalize_to_unit_power(m, w);
    EXPECT_EQ(m.ex[0], (Complex{1.0, 0.0}));
    EXPECT_EQ(m.ey[0], (Complex{0.5, -1.5}));
    EXPECT_EQ(m.ez[0], (Complex{1.5, 0.5}));
    EXPECT_EQ(m.hx[0], (Complex{0.0, 0.0}));
    EXPECT_EQ(m.hy[0], (Complex{1.0, 0.0}));
    EXPECT_EQ(m.hz[0], (Complex{2.5, -1.0}));
}

TEST(NormalizeToUnitPower, KeepsThePhaseOfThePowerSum) {
    ModeFields m = zero_mode(1);
    m.ex = {{0.0, 3.0}};
    m.hy = {{3.0, 0.0}};
    const std::vector<double> w{1.0};
    ASSERT_EQ(power_sum(m, w), (Complex{0.0, 9.0}));
    normalize_to_unit_power(m, w);
    expect_near(m.ex[0], {0.0, 1.0});
    expect_near(m.hy[0], {1.0, 0.0});
    expect_near(power_sum(m, w), {0.0, 1.0});
}

TEST(NormalizeToUnitPower, LeavesPowerAtTheThresholdUnscaled) {
    ModeFields m = zero_mode(1);
    m.ex = {{1e-8, 0.0}};
    m.hy = {{1e-8, 0.0}};  // power 1e-16 < 2^-52
    const ModeFields before = m;
    normalize_to_unit_power(m, std::vector<double>{1.0});
    EXPECT_EQ(m.ex, before.ex);
    EXPECT_EQ(m.hy, before.hy);
}

TEST(NormalizeToUnitPower, NanPowerPropagates) {
    ModeFields m = zero_mode(1);
    m.ex = {{std::nan(""), 0.0}};
    m.hy = {{1.0, 0.0}};
    m.hz = {{1.0, 0.0}};
    normalize_to_unit_power(m, std::vector<double>{1.0});
    EXPECT_TRUE(std::isnan(m.hz[0].re));
}

TEST(LorentzOrthogonalize, SingleModeIsNormalisedAndPhaseFixed) {
    const std::vector<double> w{1.0, 2.0, 0.5};
    std::vector<ModeFields> modes{random_mode(3, 7)};
    const auto d = lorentz_orthogonalize_and_normalize(modes, w);
    ASSERT_EQ(d.mode_powers.size(), 1u);
    EXPECT_NEAR(d.mode_powers[0], 1.0, kTight);
    EXPECT_EQ(d.self_overlaps[0], lorentz_overlap(modes[0], modes[0], w));
    EXPECT_EQ(d.max_cross_overlap, 0.0);
}

TEST(LorentzOrthogonalize, NoModesGiveEmptyDiagnostics) {
    std::vector<ModeFields> modes;
    const auto d = lorentz_orthogonalize_and_normalize(modes, std::vector<double>{});
    EXPECT_TRUE(d.mode_powers.empty());
    EXPECT_TRUE(d.self_overlaps.empty());
    EXPECT_EQ(d.max_cross_overlap, 0.0);
}

TEST(LorentzOrthogonalize, TwoModeWorkedExample) {
    const std::vector<double> w{1.0};
    ModeFields m0 = zero_mode(1);
    m0.ex = {{1.0, 0.0}};
    m0.hy = {{1.0, 0.0}};
    ModeFields m1 = zero_mode(1);
    m1.ex = {{1.0, 0.0}};
    m1.ey = {{1.0, 0.0}};
    m1.hx = {{-1.0, 0.0}};
    m1.hy = {{1.0, 0.0}};
    std::vector<ModeFields> modes{m0, m1};

    const auto d = lorentz_orthogonalize_and_normalize(modes, w);

    expect_components_near(modes[0], m0);
    ModeFields expected1 = zero_mode(1);
    expected1.ey = {{1.0, 0.0}};
    expected1.hx = {{-1.0, 0.0}};
    expect_components_near(modes[1], expected1);
    EXPECT_NEAR(d.mode_powers[0], 1.0, kTight);
    EXPECT_NEAR(d.mode_powers[1], 1.0, kTight);
    expect_near(d.self_overlaps[0], {1.0, 0.0});
    expect_near(d.self_overlaps[1], {1.0, 0.0});
    EXPECT_NEAR(d.max_cross_overlap, 0.0, kTight);
}

TEST(LorentzOrthogonalize, ComplexMultipleIsProjectedToRoundingLevel) {
    const std::vector<double> w{1.0, 0.5, 2.0, 1.5};
    const ModeFields base = random_mode(4, 8);
    std::vector<ModeFields> modes{base, scaled(base, {2.0, -3.0})};
    ASSERT_GT(abs(lorentz_overlap(base, base, w)), 0.1);

    const auto d = lorentz_orthogonalize_and_normalize(modes, w);

    EXPECT_LE(d.mode_powers[1], kEpsilon);
    EXPECT_LT(abs(d.self_overlaps[1]), 1e-28);
    for (const Complex v : modes[1].ex) EXPECT_LT(abs(v), 1e-14);
    for (const Complex v : modes[1].hz) EXPECT_LT(abs(v), 1e-14);
    EXPECT_NEAR(d.mode_powers[0], 1.0, kTight);
}

TEST(LorentzOrthogonalize, MixedDegenerateModesComeOutOrthogonal) {
    const std::vector<double> w{1.0, 1.0};
    ModeFields a = zero_mode(2);
    a.ex = {{1.0, 0.0}, {0.0, 0.0}};
    a.hy = {{1.0, 0.0}, {0.0, 0.0}};
    ModeFields b = zero_mode(2);
    b.ey = {{0.0, 0.0}, {1.0, 0.0}};
    b.hx = {{0.0, 0.0}, {-1.0, 0.0}};
    ModeFields first = zero_mode(2);
    ModeFields second = zero_mode(2);
    for (std::size_t k = 0; k < 2; ++k) {
        first.ex[k] = a.ex[k] + Complex{0.3, 0.4} * b.ex[k];
        first.ey[k] = a.ey[k] + Complex{0.3, 0.4} * b.ey[k];
        first.hx[k] = a.hx[k] + Complex{0.3, 0.4} * b.hx[k];
        first.hy[k] = a.hy[k] + Complex{0.3, 0.4} * b.hy[k];
        second.ex[k] = Complex{0.5, 0.0} * a.ex[k] - b.ex[k];
        second.ey[k] = Complex{0.5, 0.0} * a.ey[k] - b.ey[k];
        second.hx[k] = Complex{0.5, 0.0} * a.hx[k] - b.hx[k];
        second.hy[k] = Complex{0.5, 0.0} * a.hy[k] - b.hy[k];
    }
    std::vector<ModeFields> modes{first, second};
    std::vector<ModeFields> alone{first};

    const auto d = lorentz_orthogonalize_and_normalize(modes, w);
    lorentz_orthogonalize_and_normalize(alone, w);

    expect_near(lorentz_overlap(modes[0], modes[1], w), {0.0, 0.0});
    EXPECT_LT(d.max_cross_overlap, 1e-14);
    expect_components_near(modes[0], alone[0], 0.0);
}

TEST(LorentzOrthogonalize, ModeOfVanishingSelfOverlapIsNotProjectedOut) {
    const std::vector<double> w{1.0, 1.0};
    ModeFields null_mode = zero_mode(2);
    null_mode.ex = {{1.0, 0.0}, {0.0, 1.0}};
    null_mode.hy = {{1.0, 0.0}, {0.0, 1.0}};
    ModeFields later = random_mode(2, 9);
    std::vector<ModeFields> modes{null_mode, later};
    std::vector<ModeFields> alone{later};
    ASSERT_EQ(lorentz_overlap(null_mode, null_mode, w), (Complex{0.0, 0.0}));

    const auto d = lorentz_orthogonalize_and_normalize(modes, w);
    lorentz_orthogonalize_and_normalize(alone, w);

    // Mode 1 is only normalised and phase-fixed, and keeps its overlap with mode 0; the
    // pair has a zero normalising denominator and so does not count.
    expect_components_near(modes[1], alone[0], 0.0);
    EXPECT_GT(abs(lorentz_overlap(modes[0], modes[1], w)), 1e-3);
    EXPECT_NEAR(d.mode_powers[0], 1.0, kTight);
    EXPECT_EQ(d.max_cross_overlap, 0.0);
}

TEST(LorentzOrthogonalize, EarlierModesKeepTheirDirection) {
    const std::vector<double> w{1.0, 2.0, 1.0};
    const ModeFields a = random_mode(3, 10);
    const ModeFields b = random_mode(3, 11);
    std::vector<ModeFields> ab{a, b};
    std::vector<ModeFields> ba{b, a};
    std::vector<ModeFields> a_alone{a};
    lorentz_orthogonalize_and_normalize(ab, w);
    lorentz_orthogonalize_and_normalize(ba, w);
    lorentz_orthogonalize_and_normalize(a_alone, w);

    expect_components_near(ab[0], a_alone[0], 0.0);
    // Mode a as the later mode is changed by the projection on b.
    EXPECT_GT(abs(ba[1].ex[0] - ab[0].ex[0]), 1e-6);
}

TEST(LorentzOrthogonalize, PhaseReferenceIsTheLargestElectricEntry) {
    const std::vector<double> w{1.0, 1.0};
    // ez holds the largest entry: it becomes real and positive.
    ModeFields m = zero_mode(2);
    m.ex = {{0.1, 0.0}, {0.0, 0.2}};
    m.hy = {{0.3, 0.0}, {0.0, 0.1}};
    m.ez = {{0.0, 0.0}, {0.0, -2.0}};
    m.hz = {{9.0, 9.0}, {0.0, 0.0}};  // magnetic entries are never the reference
    std::vector<ModeFields> modes{m};
    lorentz_orthogonalize_and_normalize(modes, w);
    EXPECT_GT(modes[0].ez[1].re, 0.0);
    EXPECT_NEAR(modes[0].ez[1].im, 0.0, kTight);

    // An equally large ex entry, earlier in the search, wins instead: the rotation by -i
    // that makes ex real turns ez negative.
    ModeFields tie = m;
    tie.ex[0] = {0.0, 2.0};
    std::vector<ModeFields> tied{tie};
    lorentz_orthogonalize_and_normalize(tied, w);
    EXPECT_GT(tied[0].ex[0].re, 0.0);
    EXPECT_NEAR(tied[0].ex[0].im, 0.0, kTight);
    EXPECT_LT(tied[0].ez[1].re, 0.0);
    EXPECT_NEAR(tied[0].ez[1].im, 0.0, kTight);
}

TEST(LorentzOrthogonalize, ImaginaryOneCellModeIsRotatedToReal) {
    ModeFields m = zero_mode(1);
    m.ex = {{0.0, 1.0}};
    m.hy = {{0.0, 1.0}};
    std::vector<ModeFields> modes{m};
    const auto d = lorentz_orthogonalize_and_normalize(modes, std::vector<double>{1.0});
    EXPECT_EQ(modes[0].ex[0], (Complex{1.0, 0.0}));
    EXPECT_EQ(modes[0].hy[0], (Complex{1.0, 0.0}));
    EXPECT_EQ(d.mode_powers[0], 1.0);
    EXPECT_EQ(d.self_overlaps[0], (Complex{1.0, 0.0}));
}

TEST(LorentzOrthogonalize, TinyElectricFieldKeepsItsPhase) {
    // Power 1 carried by ey ~ 1e-9 and a large hx; the electric maximum 1e-18 is below
    // the threshold on the squared modulus, so no rotation happens.
    ModeFields m = zero_mode(1);
    m.ey = {{0.0, 1e-9}};
    m.hx = {{0.0, -1e9}};
    std::vector<ModeFields> modes{m};
    lorentz_orthogonalize_and_normalize(modes, std::vector<double>{1.0});
    EXPECT_EQ(modes[0].ey[0].re, 0.0);
    EXPECT_NEAR(modes[0].ey[0].im, 1e-9, 1e-22);
}

TEST(LorentzOrthogonalize, ResultIsOrthogonalAndUnitPowerOnRandomModes) {
    std::vector<double> w(20);
    for (std::size_t k = 0; k < w.size(); ++k) w[k] = 0.5 + 0.05 * static_cast<double>(k);
    std::vector<ModeFields> modes;
    for (unsigned s = 0; s < 5; ++s) modes.push_back(random_mode(20, 20 + s));
    const auto d = lorentz_orthogonalize_and_normalize(modes, w);
    for (std::size_t i = 0; i < modes.size(); ++i) {
        EXPECT_NEAR(abs(power_sum(modes[i], w)), 1.0, 1e-13);
        EXPECT_NEAR(d.mode_powers[i], 1.0, 1e-13);
        for (std::size_t j = 0; j < i; ++j) {
            EXPECT_LT(abs(lorentz_overlap(modes[i], modes[j], w)), 1e-12);
        }
    }
    EXPECT_LT(d.max_cross_overlap, 1e-12);
}

}  // namespace
}  // namespace corvane
