// Vector line kernels of the pipe's stages that exist for several targets,
// as templates over the variant. Included by transform_stages.cpp (SSE2) and
// transform_stages_ssse3.cpp (whole file built for SSSE3); internal linkage
// keeps the copies apart. Each kernel processes what it can and returns the
// number of pixels done; the caller finishes the line with the plain code.
#pragma once

#include <emmintrin.h>
#include <stdint.h>
#include <tmmintrin.h>

#include "by16/debayer_plain_kernels.h"

namespace img {
namespace stage_detail {
namespace {

using debayer_detail::load16;
using debayer_detail::store_rgb;

constexpr int kChunk = 16;

// Signed 16-bit lanes divided by 64, truncating toward zero like C.
inline __m128i div64_epi16(__m128i v) {
  const __m128i bias = _mm_and_si128(_mm_srai_epi16(v, 15), _mm_set1_epi16(63));
  return _mm_srai_epi16(_mm_add_epi16(v, bias), 6);
}

// Grey to B G R (or B G R X): all three colours are the grey value.
template <int V>
inline int expand_grey_line(uint8_t* dst, const uint8_t* src, int dim_x, bool four_bytes) {
  const int bytes = four_bytes ? 4 : 3;
  int x = 0;
  for (; x + kChunk <= dim_x; x += kChunk) {
    const __m128i v = load16(src + x);
    store_rgb<V>(dst + bytes * x, v, v, v, four_bytes);
  }
  return x;
}

// Eight pixels of one colour: Y + trunc(chroma / 64), still signed 16-bit.
inline __m128i add_chroma(__m128i y, __m128i chroma64) { return _mm_add_epi16(y, div64_epi16(chroma64)); }

template <int V>
inline int yuv8p_to_rgb_line(uint8_t* dst, const uint8_t* py, const uint8_t* pu, const uint8_t* pv, int dim_x,
                             bool four_bytes) {
  const int bytes = four_bytes ? 4 : 3;
  const __m128i zero = _mm_setzero_si128();
  const __m128i k128 = _mm_set1_epi16(128);
  int x = 0;
  for (; x + kChunk <= dim_x; x += kChunk) {
    const __m128i y8 = load16(py + x), u8 = load16(pu + x), v8 = load16(pv + x);
    __m128i r[2], g[2], b[2];
    for (int half = 0; half < 2; ++half) {
      const __m128i y = half ? _mm_unpackhi_epi8(y8, zero) : _mm_unpacklo_epi8(y8, zero);
      const __m128i u = _mm_sub_epi16(half ? _mm_unpackhi_epi8(u8, zero) : _mm_unpacklo_epi8(u8, zero), k128);
      const __m128i v = _mm_sub_epi16(half ? _mm_unpackhi_epi8(v8, zero) : _mm_unpacklo_epi8(v8, zero), k128);
      r[half] = add_chroma(y, _mm_mullo_epi16(v, _mm_set1_epi16(87)));
      b[half] = add_chroma(y, _mm_mullo_epi16(u, _mm_set1_epi16(111)));
      const __m128i uv = _mm_add_epi16(_mm_mullo_epi16(u, _mm_set1_epi16(21)), _mm_mullo_epi16(v, _mm_set1_epi16(45)));
      g[half] = _mm_sub_epi16(y, div64_epi16(uv));
    }
    store_rgb<V>(dst + bytes * x, _mm_packus_epi16(b[0], b[1]), _mm_packus_epi16(g[0], g[1]),
                 _mm_packus_epi16(r[0], r[1]), four_bytes);
  }
  return x;
}

}  // namespace
}  // namespace stage_detail
}  // namespace img
