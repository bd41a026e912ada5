// AVX2 tone-mapping line routines for 16-bit and 8-bit samples: eight pixels
// per step in single-precision lanes, the sigma values fetched with one
// gather. The operations are those of the plain map_pixel in the same order,
// so the output is identical. The whole file is built for AVX2; its routines
// run only when img::avx2_allowed.
#include <immintrin.h>

#pragma GCC target("avx2")

#include "filter/tonemapping/tonemapping_kernels.h"

namespace img {
namespace tm_detail {
namespace {

constexpr int kStep = 8;

struct curve_lanes8 {
  __m256 a_s, b_s, full, zero;
  explicit curve_lanes8(const curve_args& c)
      : a_s(_mm256_set1_ps(c.a_s)), b_s(_mm256_set1_ps(c.b_s)), full(_mm256_set1_ps(c.full)),
        zero(_mm256_setzero_ps()) {}
};

// map_pixel for eight pixels p (32-bit lanes) whose adaptation indices are
// `idx`: max_ps(r, 0) gives 0 for NaN like `r > 0 ? r : 0`, min_ps(r, S)
// equals `r < S ? r : S`.
inline __m256i map8(__m256i p, __m256i idx, const float* sigma, const curve_lanes8& k) {
  const __m256 v = _mm256_div_ps(_mm256_cvtepi32_ps(p), k.full);
  const __m256 d = _mm256_add_ps(v, _mm256_i32gather_ps(sigma, idx, 4));
  const __m256 t = _mm256_and_ps(_mm256_div_ps(v, d), _mm256_cmp_ps(d, k.zero, _CMP_GT_OQ));
  const __m256 r = _mm256_add_ps(_mm256_mul_ps(t, k.a_s), k.b_s);
  return _mm256_cvttps_epi32(_mm256_min_ps(_mm256_max_ps(r, k.zero), k.full));
}

inline __m256i load8x16(const uint8_t* line, int x) {
  return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(line + 2 * x)));
}
inline __m256i load8x8(const uint8_t* line, int x) {
  return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(line + x)));
}

// Lanes (32-bit) whose pixel takes the other line's sample diagonally: the
// red and blue pixels. Lane i is column x + i with x even.
inline __m256i diagonal_lanes(bool green_even) {
  return green_even ? _mm256_setr_epi32(0, -1, 0, -1, 0, -1, 0, -1) : _mm256_setr_epi32(-1, 0, -1, 0, -1, 0, -1, 0);
}

// (a + b + c) / 3 truncated: the sum is below 2^18, so the correctly rounded
// float quotient never reaches the next integer.
inline __m256i third(__m256i a, __m256i b, __m256i c) {
  const __m256i s = _mm256_add_epi32(_mm256_add_epi32(a, b), c);
  return _mm256_cvttps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(s), _mm256_set1_ps(3.0f)));
}

inline void store8x16(uint8_t* line, int x, __m256i v) {
  const __m256i w = _mm256_permute4x64_epi64(_mm256_packus_epi32(v, v), 0x08);  // lanes 0..7 in the low half
  _mm_storeu_si128(reinterpret_cast<__m128i*>(line + 2 * x), _mm256_castsi256_si128(w));
}

}  // namespace

int mono16_line_avx2(uint8_t* line, int n, const curve_args& c) {
  const curve_lanes8 k(c);
  int x = 0;
  for (; x + kStep <= n; x += kStep) {
    const __m256i p = load8x16(line, x);
    store8x16(line, x, map8(p, p, c.sigma, k));
  }
  return x;
}

int bayer16_line_avx2(uint8_t* out, const uint8_t* cur, const uint8_t* other, int n, bool green_even,
                      const curve_args& c) {
  const curve_lanes8 k(c);
  const __m256i diagonal = diagonal_lanes(green_even);
  int x = 0;
  // Reads column x + 8 (the right neighbour of the last lane).
  for (; x + kStep + 1 <= n; x += kStep) {
    const __m256i p = load8x16(cur, x);
    const __m256i vert = _mm256_blendv_epi8(load8x16(other, x), load8x16(other, x + 1), diagonal);
    store8x16(out, x, map8(p, third(p, load8x16(cur, x + 1), vert), c.sigma, k));
  }
  return x;
}

int bayer8_line_avx2(uint8_t* out, const uint8_t* cur, const uint8_t* other, int n, bool green_even,
                     const curve_args& c) {
  const curve_lanes8 k(c);
  const __m256i diagonal = diagonal_lanes(green_even);
  const __m256i low_bytes = _mm256_setr_epi32(0, 4, 0, 0, 0, 0, 0, 0);
  int x = 0;
  for (; x + kStep + 1 <= n; x += kStep) {
    const __m256i p = load8x8(cur, x);
    const __m256i vert = _mm256_blendv_epi8(load8x8(other, x), load8x8(other, x + 1), diagonal);
    const __m256i v = map8(p, third(p, load8x8(cur, x + 1), vert), c.sigma, k);
    // Eight 32-bit values (0..255) to eight bytes: each half packs its four
    // into its first dword, then the two dwords are joined.
    const __m256i words = _mm256_packus_epi32(v, v);
    const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(words, words), low_bytes);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + x), _mm256_castsi256_si128(bytes));
  }
  return x;
}

}  // namespace tm_detail
}  // namespace img
