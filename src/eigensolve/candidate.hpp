// An eigenpair of A before its route label is attached, and the shared vector scaling.
#pragma once

#include <cmath>
#include <vector>

#include "common/complex.hpp"

namespace corvane {

struct Candidate {
    Complex eigenvalue;
    std::vector<Complex> eigenvector;
    double residual = 0.0;
};

// v / ||v||, leaving an all-zero (or NaN-norm) vector as it is.
inline void normalize_in_place(std::vector<Complex>& v) {
    double s = 0.0;
    for (const Complex c : v) s += norm_sqr(c);
    if (s > 0.0) {
        const double inverse_norm = 1.0 / std::sqrt(s);
        for (Complex& c : v) c = scale_real(c, inverse_norm);
    }
}

}  // namespace corvane
