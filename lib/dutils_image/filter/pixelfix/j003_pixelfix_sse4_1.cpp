// SSE4.1 correction lines of the j003 pixel fix: four pixels (one 4-column
// cell, gains left, right, left, right) per float vector. The whole file is
// built for SSE4.1 and only called when the feature mask has it.
#include <smmintrin.h>

#pragma GCC target("sse4.1")

#include "filter/pixelfix/j003_pixelfix_internal.h"

namespace img {
namespace j003 {
namespace {

// Gains of one cell for line position `row`: lanes (left, right, left, right).
inline __m128 cell_gains(const float (*gains)[kPositions], uint32_t level, int row) {
  const float* g = gains[level] + 2 * row;
  return _mm_setr_ps(g[0], g[1], g[0], g[1]);
}

// trunc(min(p * g, max)) for four pixels in 32-bit lanes.
inline __m128i scale4(__m128i p, __m128 g, __m128 max_value) {
  return _mm_cvttps_epi32(_mm_min_ps(_mm_mul_ps(_mm_cvtepi32_ps(p), g), max_value));
}

}  // namespace

int correct_line8_sse41(uint8_t* line, int n, const uint32_t* levels,
                        const float (*gains)[kPositions], int row) {
  const __m128 max_value = _mm_set1_ps(255.0f);
  int x = 0;
  for (; x + 16 <= n; x += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + x));
    __m128i q[4];
    q[0] = scale4(_mm_cvtepu8_epi32(v), cell_gains(gains, levels[x / 4], row), max_value);
    q[1] = scale4(_mm_cvtepu8_epi32(_mm_srli_si128(v, 4)),
                  cell_gains(gains, levels[x / 4 + 1], row), max_value);
    q[2] = scale4(_mm_cvtepu8_epi32(_mm_srli_si128(v, 8)),
                  cell_gains(gains, levels[x / 4 + 2], row), max_value);
    q[3] = scale4(_mm_cvtepu8_epi32(_mm_srli_si128(v, 12)),
                  cell_gains(gains, levels[x / 4 + 3], row), max_value);
    // Pixels 0..7 and 8..15 as words, then bytes (values are at most 255).
    const __m128i words0 = _mm_packus_epi32(q[0], q[1]), words1 = _mm_packus_epi32(q[2], q[3]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(line + x), _mm_packus_epi16(words0, words1));
  }
  return x;
}

int correct_line16_sse41(uint8_t* line, int n, const uint32_t* levels,
                         const float (*gains)[kPositions], int row) {
  const __m128 max_value = _mm_set1_ps(65535.0f);
  int x = 0;
  for (; x + 8 <= n; x += 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + 2 * x));
    const __m128i lo =
        scale4(_mm_cvtepu16_epi32(v), cell_gains(gains, levels[x / 4], row), max_value);
    const __m128i hi = scale4(_mm_cvtepu16_epi32(_mm_srli_si128(v, 8)),
                              cell_gains(gains, levels[x / 4 + 1], row), max_value);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(line + 2 * x), _mm_packus_epi32(lo, hi));
  }
  return x;
}

}  // namespace j003
}  // namespace img
