// Lorentz (reciprocity) overlap, unit-power scaling and the modified Gram-Schmidt
// orthogonalisation of a solve's modes. Every sum runs over ascending cell index.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

#include "mode_solver/mode_solver.hpp"

namespace corvane {
namespace {

// A real cell area enters the products as the complex number w + 0i.
Complex weight(double w) { return Complex{w, 0.0}; }

// X(a, b) = sum_k w_k (a.ex b.hy - a.ey b.hx): z component of E_a x H_b, nothing conjugated.
Complex cross_sum(const ModeFields& a, const ModeFields& b, std::span<const double> cell_areas) {
    const std::size_t count = std::min({a.ex.size(), b.hy.size(), a.ey.size(), b.hx.size(),
                                        cell_areas.size()});
    Complex sum{0.0, 0.0};
    for (std::size_t k = 0; k < count; ++k) {
        sum += weight(cell_areas[k]) * (a.ex[k] * b.hy[k] - a.ey[k] * b.hx[k]);
    }
    return sum;
}

// S = sum_k w_k (ex conj(hy) - ey conj(hx)).
Complex power_sum(const ModeFields& mode, std::span<const double> cell_areas) {
    const std::size_t count = std::min({mode.ex.size(), mode.hy.size(), mode.ey.size(),
                                        mode.hx.size(), cell_areas.size()});
    Complex sum{0.0, 0.0};
    for (std::size_t k = 0; k < count; ++k) {
        sum += weight(cell_areas[k]) * (mode.ex[k] * conj(mode.hy[k]) - mode.ey[k] * conj(mode.hx[k]));
    }
    return sum;
}

double power_magnitude(const ModeFields& mode, std::span<const double> cell_areas) {
    return abs(power_sum(mode, cell_areas));
}

std::array<std::vector<Complex>*, 6> components(ModeFields& mode) {
    return {&mode.ex, &mode.ey, &mode.ez, &mode.hx, &mode.hy, &mode.hz};
}
std::array<const std::vector<Complex>*, 6> components(const ModeFields& mode) {
    return {&mode.ex, &mode.ey, &mode.ez, &mode.hx, &mode.hy, &mode.hz};
}

// target -= c * source, component by component.
void subtract_multiple(ModeFields& target, const ModeFields& source, Complex c) {
    const Complex minus_c{-c.re, -c.im};
    const auto to = components(target);
    const auto from = components(source);
    for (std::size_t i = 0; i < to.size(); ++i) {
        std::vector<Complex>& t = *to[i];
        const std::vector<Complex>& s = *from[i];
        const std::size_t count = std::min(t.size(), s.size());
        for (std::size_t k = 0; k < count; ++k) t[k] = t[k] + minus_c * s[k];
    }
}

// Rotates the mode so that its largest electric entry (ex, then ey, then ez; the first of
// equal maxima) becomes real and positive. NaN entries never win the strict comparison.
void fix_phase(ModeFields& mode) {
    double best = 0.0;
    Complex z{0.0, 0.0};
    for (const std::vector<Complex>* component : {&mode.ex, &mode.ey, &mode.ez}) {
        for (const Complex value : *component) {
            const double modulus_sqr = value.re * value.re + value.im * value.im;
            if (modulus_sqr > best) {
                best = modulus_sqr;
                z = value;
            }
        }
    }
    if (!(best > kEpsilon)) return;
    const double r = std::sqrt(best);
    const Complex zc = conj(z);
    const Complex f{(zc.re * r) / (r * r), (zc.im * r) / (r * r)};
    for (std::vector<Complex>* component : components(mode)) {
        for (Complex& value : *component) value = value * f;
    }
}

}  // namespace

Complex lorentz_overlap(const ModeFields& a, const ModeFields& b,
                        std::span<const double> cell_areas) {
    const Complex ab = cross_sum(a, b, cell_areas);
    const Complex ba = cross_sum(b, a, cell_areas);
    return Complex{0.5, 0.0} * (ab + ba);
}

void normalize_to_unit_power(ModeFields& fields, std::span<const double> cell_areas) {
    const double power = power_magnitude(fields, cell_areas);
    if (power <= kEpsilon) return;
    // The power is quadratic in the fields.
    const double s = 1.0 / std::sqrt(power);
    for (std::vector<Complex>* component : components(fields)) {
        for (Complex& value : *component) value = scale_real(value, s);
    }
}

OrthogonalizationDiagnostics lorentz_orthogonalize_and_normalize(
    std::vector<ModeFields>& modes, std::span<const double> cell_areas) {
    for (ModeFields& mode : modes) normalize_to_unit_power(mode, cell_areas);

    // Modified Gram-Schmidt: mode l is projected against each final mode m < l in turn,
    // always using its current (already partly projected) fields.
    for (std::size_t l = 0; l < modes.size(); ++l) {
        for (std::size_t m = 0; m < l; ++m) {
            const Complex n = lorentz_overlap(modes[m], modes[m], cell_areas);
            if (abs(n) <= kEpsilon) continue;
            const Complex q = lorentz_overlap(modes[m], modes[l], cell_areas);
            const Complex numerator = q * conj(n);
            const double denominator = n.re * n.re + n.im * n.im;
            subtract_multiple(modes[l], modes[m],
                              Complex{numerator.re / denominator, numerator.im / denominator});
        }
        normalize_to_unit_power(modes[l], cell_areas);
        fix_phase(modes[l]);
    }

    OrthogonalizationDiagnostics diagnostics;
    diagnostics.mode_powers.reserve(modes.size());
    diagnostics.self_overlaps.reserve(modes.size());
    for (const ModeFields& mode : modes) {
        diagnostics.mode_powers.push_back(power_magnitude(mode, cell_areas));
        diagnostics.self_overlaps.push_back(lorentz_overlap(mode, mode, cell_areas));
    }
    double max_cross = 0.0;
    for (std::size_t i = 0; i < modes.size(); ++i) {
        for (std::size_t j = 0; j < modes.size(); ++j) {
            if (i == j) continue;
            const double d = std::sqrt(abs(diagnostics.self_overlaps[i]) *
                                       abs(diagnostics.self_overlaps[j]));
            if (d <= kEpsilon) continue;
            const double ratio = abs(lorentz_overlap(modes[i], modes[j], cell_areas)) / d;
            if (ratio > max_cross) max_cross = ratio;  // a NaN ratio never wins
        }
    }
    diagnostics.max_cross_overlap = max_cross;
    return diagnostics;
}

}  // namespace corvane
