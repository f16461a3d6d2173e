// Complex arithmetic on the vector unit's pairs of doubles, as Complex is stored: (re, im).
// A product z a is formed as re(z) a + im(z) (i a), which rounds exactly as the textbook
// product of complex.hpp: re(z) re(a) + im(z) (-im(a)) equals re(z) re(a) - im(z) im(a)
// bit for bit, and no multiply-add is fused.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>

#include "common/complex.hpp"

namespace corvane::packed {

inline __m128d load(const Complex* z) { return _mm_loadu_pd(&z->re); }
inline void store(Complex* z, __m128d v) { _mm_storeu_pd(&z->re, v); }

// A fixed factor a held as (re a, im a) and i a = (-im a, re a).
struct Factor {
    __m128d a;
    __m128d ia;
    explicit Factor(Complex z) : a(_mm_set_pd(z.im, z.re)), ia(_mm_set_pd(z.re, -z.im)) {}
};

// z a
inline __m128d times(__m128d z, const Factor& f) {
    return _mm_add_pd(_mm_mul_pd(_mm_unpacklo_pd(z, z), f.a), _mm_mul_pd(_mm_unpackhi_pd(z, z), f.ia));
}

// re += re(v) w and im += im(v) w: the two halves of a sum of products v w (or conj(v) w),
// combined at the end by combine_product or combine_conjugate_product.
inline void accumulate(__m128d& re, __m128d& im, __m128d v, __m128d w) {
    re = _mm_add_pd(re, _mm_mul_pd(_mm_unpacklo_pd(v, v), w));
    im = _mm_add_pd(im, _mm_mul_pd(_mm_unpackhi_pd(v, v), w));
}

// sum v w from its halves: (sum re(v) re(w) - sum im(v) im(w), sum re(v) im(w) + sum im(v) re(w)).
inline Complex combine_product(__m128d re, __m128d im) {
    alignas(16) double r[2], i[2];
    _mm_store_pd(r, re);
    _mm_store_pd(i, im);
    return Complex{r[0] - i[1], r[1] + i[0]};
}

}  // namespace corvane::packed
#endif
