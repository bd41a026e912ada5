// SSE4.1 tone-mapping line routine for 8-bit Bayer samples, eight pixels per
// step. ("Y800" needs no vector routine: its curve is a 256-entry table.)
// The whole file is built for SSE4.1 and only called when the feature mask
// has it.
#include <smmintrin.h>

#pragma GCC target("sse4.1")

#include "filter/tonemapping/tonemapping_vector.h"

namespace img {
namespace tm_detail {
namespace {

constexpr int kStep = 8;

inline __m128i load8x8(const uint8_t* p) {
  return _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

}  // namespace

int bayer8_line_sse41(uint8_t* out, const uint8_t* cur, const uint8_t* other, int n,
                      bool green_even, const curve_args& c) {
  const curve_lanes k(c);
  const __m128i diagonal = diagonal_lanes16(green_even);
  const __m128i third = _mm_set1_epi16(static_cast<short>(43691));  // 2^17 / 3, rounded up
  int x = 0;
  for (; x + kStep + 1 <= n; x += kStep) {
    const __m128i p = load8x8(cur + x);
    const __m128i vert = _mm_blendv_epi8(load8x8(other + x), load8x8(other + x + 1), diagonal);
    const __m128i sum = _mm_add_epi16(_mm_add_epi16(p, load8x8(cur + x + 1)), vert);  // at most 765
    // sum / 3 = (sum * 43691) >> 17, exact for sums below 2^15.
    const __m128i idx = _mm_srli_epi16(_mm_mulhi_epu16(sum, third), 1);
    const __m128i p_lo = _mm_cvtepu16_epi32(p), p_hi = _mm_cvtepu16_epi32(_mm_srli_si128(p, 8));
    const __m128i i_lo = _mm_cvtepu16_epi32(idx), i_hi = _mm_cvtepu16_epi32(_mm_srli_si128(idx, 8));
    const __m128i out_lo = map4(p_lo, gather4(c.sigma, i_lo), k);
    const __m128i out_hi = map4(p_hi, gather4(c.sigma, i_hi), k);
    const __m128i words = _mm_packus_epi32(out_lo, out_hi);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + x), _mm_packus_epi16(words, words));
  }
  return x;
}

}  // namespace tm_detail
}  // namespace img
