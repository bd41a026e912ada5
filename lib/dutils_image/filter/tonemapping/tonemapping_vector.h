// Four-lane form of map_pixel for the SSE4.1 tone-mapping routines. Included
// only by files compiled for SSE4.1; internal linkage.
#pragma once

#include <smmintrin.h>

#include "filter/tonemapping/tonemapping_kernels.h"

namespace img {
namespace tm_detail {
namespace {

struct curve_lanes {
  __m128 a_s, b_s, full, zero;
  explicit curve_lanes(const curve_args& c)
      : a_s(_mm_set1_ps(c.a_s)),
        b_s(_mm_set1_ps(c.b_s)),
        full(_mm_set1_ps(c.full)),
        zero(_mm_setzero_ps()) {}
};

// table[idx] for four 32-bit indices (SSE4.1 has no gather).
inline __m128 gather4(const float* table, __m128i idx) {
  return _mm_setr_ps(table[_mm_cvtsi128_si32(idx)], table[_mm_extract_epi32(idx, 1)],
                     table[_mm_extract_epi32(idx, 2)], table[_mm_extract_epi32(idx, 3)]);
}

// map_pixel for four pixels p (32-bit lanes) with their sigma values. Same
// operations in the same order as the plain form: max_ps(r, 0) gives 0 for
// NaN like `r > 0 ? r : 0`, min_ps(r, S) equals `r < S ? r : S`.
inline __m128i map4(__m128i p, __m128 sigma, const curve_lanes& k) {
  const __m128 v = _mm_div_ps(_mm_cvtepi32_ps(p), k.full);
  const __m128 d = _mm_add_ps(v, sigma);
  const __m128 t = _mm_and_ps(_mm_div_ps(v, d), _mm_cmpgt_ps(d, k.zero));
  __m128 r = _mm_add_ps(_mm_mul_ps(t, k.a_s), k.b_s);
  r = _mm_min_ps(_mm_max_ps(r, k.zero), k.full);
  return _mm_cvttps_epi32(r);
}

// Lanes (16-bit) whose pixel takes the other line's sample diagonally: the
// red and blue pixels. Lane i is column x + i with x even.
inline __m128i diagonal_lanes16(bool green_even) {
  return green_even ? _mm_setr_epi16(0, -1, 0, -1, 0, -1, 0, -1)
                    : _mm_setr_epi16(-1, 0, -1, 0, -1, 0, -1, 0);
}

}  // namespace
}  // namespace tm_detail
}  // namespace img
