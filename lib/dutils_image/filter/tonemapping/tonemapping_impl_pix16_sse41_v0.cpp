// SSE4.1 tone-mapping line routines for 16-bit samples. Eight pixels per
// step: two groups of four float lanes; the sigma values are fetched lane by
// lane. The whole file is built for SSE4.1 and only called when the feature
// mask has it.
#include <smmintrin.h>

#pragma GCC target("sse4.1")

#include "filter/tonemapping/tonemapping_vector.h"

namespace img {
namespace tm_detail {
namespace {

constexpr int kStep = 8;

// Eight samples from column x of a line given as bytes.
inline __m128i load8x16(const uint8_t* line, int x) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + 2 * x));
}

}  // namespace

int mono16_line_sse41(uint8_t* line, int n, const curve_args& c) {
  const curve_lanes k(c);
  int x = 0;
  for (; x + kStep <= n; x += kStep) {
    const __m128i p = load8x16(line, x);
    const __m128i lo = _mm_cvtepu16_epi32(p), hi = _mm_cvtepu16_epi32(_mm_srli_si128(p, 8));
    const __m128i out_lo = map4(lo, gather4(c.sigma, lo), k);
    const __m128i out_hi = map4(hi, gather4(c.sigma, hi), k);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(line + 2 * x), _mm_packus_epi32(out_lo, out_hi));
  }
  return x;
}

int bayer16_line_sse41(uint8_t* out, const uint8_t* cur, const uint8_t* other, int n,
                       bool green_even, const curve_args& c) {
  const curve_lanes k(c);
  const __m128i diagonal = diagonal_lanes16(green_even);
  const __m128 third = _mm_set1_ps(3.0f);
  int x = 0;
  // Reads column x + 8 (the right neighbour of the last lane).
  for (; x + kStep + 1 <= n; x += kStep) {
    const __m128i p = load8x16(cur, x), right = load8x16(cur, x + 1);
    const __m128i vert = _mm_blendv_epi8(load8x16(other, x), load8x16(other, x + 1), diagonal);
    const __m128i p_lo = _mm_cvtepu16_epi32(p), p_hi = _mm_cvtepu16_epi32(_mm_srli_si128(p, 8));
    const __m128i s_lo =
        _mm_add_epi32(_mm_add_epi32(p_lo, _mm_cvtepu16_epi32(right)), _mm_cvtepu16_epi32(vert));
    const __m128i s_hi =
        _mm_add_epi32(_mm_add_epi32(p_hi, _mm_cvtepu16_epi32(_mm_srli_si128(right, 8))),
                      _mm_cvtepu16_epi32(_mm_srli_si128(vert, 8)));
    // sum / 3 truncated: the sum is below 2^18, so the correctly rounded
    // float quotient never reaches the next integer.
    const __m128i i_lo = _mm_cvttps_epi32(_mm_div_ps(_mm_cvtepi32_ps(s_lo), third));
    const __m128i i_hi = _mm_cvttps_epi32(_mm_div_ps(_mm_cvtepi32_ps(s_hi), third));
    const __m128i out_lo = map4(p_lo, gather4(c.sigma, i_lo), k);
    const __m128i out_hi = map4(p_hi, gather4(c.sigma, i_hi), k);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * x), _mm_packus_epi32(out_lo, out_hi));
  }
  return x;
}

}  // namespace tm_detail
}  // namespace img
