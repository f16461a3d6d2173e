// The complex scalar of the whole library. Arithmetic is the textbook one, written out,
// so every rounding is fixed: no rescaled division, no fused multiply-add (the build
// sets -ffp-contract=off). std::complex is avoided because its division rescales.
#pragma once

#include <cmath>

namespace corvane {

struct Complex {
    double re = 0.0;
    double im = 0.0;

    // Part-wise IEEE comparison: -0.0 equals 0.0 and NaN equals nothing.
    friend constexpr bool operator==(Complex, Complex) = default;
};

static_assert(sizeof(Complex) == 2 * sizeof(double), "Complex must be two packed doubles");

inline constexpr Complex operator+(Complex a, Complex b) { return {a.re + b.re, a.im + b.im}; }
inline constexpr Complex operator-(Complex a, Complex b) { return {a.re - b.re, a.im - b.im}; }
// (a + bi)(c + di) = (ac - bd) + (ad + bc)i
inline constexpr Complex operator*(Complex a, Complex b) {
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}
inline constexpr Complex& operator+=(Complex& a, Complex b) { return a = a + b; }
inline constexpr Complex& operator-=(Complex& a, Complex b) { return a = a - b; }

inline constexpr Complex conj(Complex a) { return {a.re, -a.im}; }

// (a + bi) / (c + di) = ((ac + bd) + (bc - ad)i) / (c^2 + d^2), no rescaling.
inline constexpr Complex div(Complex x, Complex y) {
    const double d = y.re * y.re + y.im * y.im;
    return {(x.re * y.re + x.im * y.im) / d, (x.im * y.re - x.re * y.im) / d};
}

// (1 + 0i) / z as the full quotient: ((a + 0 b), (0 a - b)) / (a^2 + b^2).
// Unlike recip, an infinite part turns the other part into NaN.
inline constexpr Complex inv(Complex z) { return div(Complex{1.0, 0.0}, z); }

// 1 / (a + bi) as (a, -b) / (a^2 + b^2).
inline constexpr Complex recip(Complex z) {
    const double d = z.re * z.re + z.im * z.im;
    return {z.re / d, -z.im / d};
}

// Zero when both parts compare equal to 0.0: -0.0 is zero, a NaN part never is.
inline constexpr bool is_zero(Complex z) { return z.re == 0.0 && z.im == 0.0; }

inline double abs(Complex z) { return std::hypot(z.re, z.im); }
inline constexpr double norm_sqr(Complex z) { return z.re * z.re + z.im * z.im; }

inline constexpr Complex scale_real(Complex z, double s) { return {z.re * s, z.im * s}; }

// Principal square root by explicit branches. On the negative real axis the imaginary
// part is +sqrt(-re), or takes the sign of the signed zero w.im when copy_zero_sign is set.
inline Complex principal_sqrt(Complex w, bool copy_zero_sign = false) {
    if (w.im == 0.0) {
        if (!std::signbit(w.re)) return {std::sqrt(w.re), w.im};
        const double r = std::sqrt(-w.re);
        return {0.0, copy_zero_sign ? std::copysign(r, w.im) : r};
    }
    if (w.re == 0.0) {
        const double r = std::sqrt(std::fabs(w.im) * 0.5);
        return {r, w.im > 0.0 ? r : -r};
    }
    const double m = std::hypot(w.re, w.im);
    const double t = std::atan2(w.im, w.re);
    const double s = std::sqrt(m);
    return {s * std::cos(t / 2.0), s * std::sin(t / 2.0)};
}

// The zero threshold of post-processing and the residual floor: 2^-52.
inline constexpr double kEpsilon = 2.220446049250313e-16;

}  // namespace corvane
