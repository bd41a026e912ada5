// Vector forms of the sharpness/denoise line routines, as templates over the
// target (SSSE3 or SSE4.1 for 8-bit samples, SSE4.1 for 16-bit ones).
// Included by the files compiled for those targets; internal linkage keeps
// the copies apart.
//
// 8-bit: eight output pixels x .. x + 7 per step in 16-bit lanes. Each of the
// five rows is loaded once at column x - 2 (16 bytes: columns x - 2 ..
// x + 13) and widened into lo (x - 2 .. x + 5) and hi (x + 6 .. x + 13);
// shifted(lo, hi, k) then holds columns x - 2 + k .. x + 5 + k, so column
// sums of the rows give every horizontal offset the 5x5 and 3x3 sums need.
// All intermediate values fit their lanes (see the comments at each step),
// so the results equal the per-pixel form exactly.
//
// 16-bit: four output pixels per step in 32-bit lanes, one load of eight
// samples per row (columns x - 2 .. x + 5), the same scheme otherwise.
#pragma once

#include <emmintrin.h>
#include <smmintrin.h>
#include <tmmintrin.h>

#include "filter/sharpness_denoise/sharpness_denoise_kernels.h"

namespace img {
namespace sd_detail {
namespace {

enum variant : int { v_ssse3 = 0, v_sse41 = 1 };

// Columns x - 2 + k ..: k = 0..4, in 16-bit lanes.
template <int K>
inline __m128i shifted16(__m128i lo, __m128i hi) {
  if constexpr (K == 0) {
    return lo;
  } else {
    return _mm_alignr_epi8(hi, lo, 2 * K);
  }
}

template <int V>
inline void widen8(const uint8_t* p, __m128i& lo, __m128i& hi) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  if constexpr (V == v_sse41) {
    lo = _mm_cvtepu8_epi16(v);
  } else {
    lo = _mm_unpacklo_epi8(v, _mm_setzero_si128());
  }
  hi = _mm_unpackhi_epi8(v, _mm_setzero_si128());
}

// S = 5x5 sum (at most 6375) for the eight pixels; the rows' widened lanes
// are returned for the edge measure.
template <int V>
inline __m128i box_sum8(const uint8_t* const rows[5], int x, __m128i lo[5], __m128i hi[5]) {
  for (int r = 0; r < 5; ++r) widen8<V>(rows[r] + x - 2, lo[r], hi[r]);
  const __m128i v_lo =
      _mm_add_epi16(_mm_add_epi16(_mm_add_epi16(lo[0], lo[1]), _mm_add_epi16(lo[2], lo[3])), lo[4]);
  const __m128i v_hi =
      _mm_add_epi16(_mm_add_epi16(_mm_add_epi16(hi[0], hi[1]), _mm_add_epi16(hi[2], hi[3])), hi[4]);
  return _mm_add_epi16(
      _mm_add_epi16(_mm_add_epi16(shifted16<0>(v_lo, v_hi), shifted16<1>(v_lo, v_hi)),
                    _mm_add_epi16(shifted16<2>(v_lo, v_hi), shifted16<3>(v_lo, v_hi))),
      shifted16<4>(v_lo, v_hi));
}

// S / 25 for S <= 6375: (S * 5243) >> 17; the error is below 0.006, less
// than the smallest distance 1/25 to the next integer.
inline __m128i div25_epu16(__m128i s) {
  return _mm_srli_epi16(_mm_mulhi_epu16(s, _mm_set1_epi16(5243)), 1);
}

template <int V>
inline int luma8_line(uint8_t* dst, const uint8_t* const rows[5], int dim_x,
                      const sharpness_denoise_params& k) {
  const __m128i k255 = _mm_set1_epi16(255), zero = _mm_setzero_si128();
  const __m128i gain = _mm_set1_epi16(static_cast<short>(k.denoise_gain));
  const __m128i offset = _mm_set1_epi16(static_cast<short>(k.denoise_offset));
  const __m128i s1 = _mm_set1_epi16(static_cast<short>(k.s1)),
                s2 = _mm_set1_epi16(static_cast<short>(k.s2));
  const __m128i shift = _mm_cvtsi32_si128(k.shift);
  int x = kBorder;
  for (; x + 14 <= dim_x; x += 8) {
    __m128i lo[5], hi[5];
    const __m128i s = box_sum8<V>(rows, x, lo, hi);
    // Gx from the 3-row column sums at x - 1 and x + 1; Gy from the
    // bottom-minus-top row differences over three columns (|G| <= 765).
    const __m128i v3_lo = _mm_add_epi16(_mm_add_epi16(lo[1], lo[2]), lo[3]);
    const __m128i v3_hi = _mm_add_epi16(_mm_add_epi16(hi[1], hi[2]), hi[3]);
    const __m128i gx = _mm_sub_epi16(shifted16<3>(v3_lo, v3_hi), shifted16<1>(v3_lo, v3_hi));
    const __m128i d_lo = _mm_sub_epi16(lo[3], lo[1]), d_hi = _mm_sub_epi16(hi[3], hi[1]);
    const __m128i gy =
        _mm_add_epi16(_mm_add_epi16(shifted16<1>(d_lo, d_hi), shifted16<2>(d_lo, d_hi)),
                      shifted16<3>(d_lo, d_hi));
    const __m128i e =
        _mm_min_epi16(_mm_slli_epi16(_mm_add_epi16(_mm_abs_epi16(gx), _mm_abs_epi16(gy)), 1), k255);
    __m128i p = shifted16<2>(lo[2], hi[2]);
    if (k.denoise_gain != 0) {
      // (255 - e) * gain <= 24480; the blend sums to at most 255 * 255 and
      // is exact in unsigned 16-bit lanes.
      const __m128i w0 =
          _mm_add_epi16(_mm_srli_epi16(_mm_mullo_epi16(_mm_sub_epi16(k255, e), gain), 6), offset);
      const __m128i w = _mm_min_epi16(_mm_max_epi16(w0, zero), k255);
      p = _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(p, _mm_sub_epi16(k255, w)),
                                       _mm_mullo_epi16(div25_epu16(s), w)),
                         8);
    }
    if (k.s1 != 0) {
      // p * s1 - S lies in -6375 .. 31875; times s2 it needs 32 bits.
      const __m128i t = _mm_sub_epi16(_mm_mullo_epi16(p, s1), s);
      const __m128i t_lo = _mm_mullo_epi16(t, s2), t_hi = _mm_mulhi_epi16(t, s2);
      const __m128i prod0 = _mm_sra_epi32(_mm_unpacklo_epi16(t_lo, t_hi), shift);
      const __m128i prod1 = _mm_sra_epi32(_mm_unpackhi_epi16(t_lo, t_hi), shift);
      const __m128i u = _mm_min_epi16(_mm_max_epi16(_mm_packs_epi32(prod0, prod1), zero), k255);
      p = _mm_srli_epi16(
          _mm_add_epi16(_mm_mullo_epi16(p, _mm_sub_epi16(k255, e)), _mm_mullo_epi16(u, e)), 8);
    }
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + x), _mm_packus_epi16(p, p));
  }
  return x;
}

template <int V>
inline int box8_line(uint8_t* dst, const uint8_t* const rows[5], int dim_x) {
  int x = kBorder;
  for (; x + 14 <= dim_x; x += 8) {
    __m128i lo[5], hi[5];
    const __m128i mean = div25_epu16(box_sum8<V>(rows, x, lo, hi));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + x), _mm_packus_epi16(mean, mean));
  }
  return x;
}

// ------------------------------------------------------------ 16-bit ----

// Columns x - 2 + k ..: k = 0..4, in 32-bit lanes.
template <int K>
inline __m128i shifted32(__m128i lo, __m128i hi) {
  if constexpr (K == 0) {
    return lo;
  } else if constexpr (K == 4) {
    return hi;
  } else {
    return _mm_alignr_epi8(hi, lo, 4 * K);
  }
}

inline void widen16(const uint8_t* p, __m128i& lo, __m128i& hi) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  lo = _mm_cvtepu16_epi32(v);
  hi = _mm_cvtepu16_epi32(_mm_srli_si128(v, 8));
}

// S (at most 25 * 65535) for four pixels.
inline __m128i box_sum16(const uint8_t* const rows[5], int x, __m128i lo[5], __m128i hi[5]) {
  for (int r = 0; r < 5; ++r) widen16(rows[r] + 2 * (x - 2), lo[r], hi[r]);
  const __m128i v_lo =
      _mm_add_epi32(_mm_add_epi32(_mm_add_epi32(lo[0], lo[1]), _mm_add_epi32(lo[2], lo[3])), lo[4]);
  const __m128i v_hi =
      _mm_add_epi32(_mm_add_epi32(_mm_add_epi32(hi[0], hi[1]), _mm_add_epi32(hi[2], hi[3])), hi[4]);
  return _mm_add_epi32(
      _mm_add_epi32(_mm_add_epi32(shifted32<0>(v_lo, v_hi), shifted32<1>(v_lo, v_hi)),
                    _mm_add_epi32(shifted32<2>(v_lo, v_hi), shifted32<3>(v_lo, v_hi))),
      shifted32<4>(v_lo, v_hi));
}

// S / 25 truncated for S < 2^21: the correctly rounded float quotient stays
// below the next integer (the fraction is at most 24/25).
inline __m128i div25_epi32(__m128i s) {
  return _mm_cvttps_epi32(_mm_div_ps(_mm_cvtepi32_ps(s), _mm_set1_ps(25.0f)));
}

inline __m128i clamp_epi32(__m128i v, __m128i lo, __m128i hi) {
  return _mm_min_epi32(_mm_max_epi32(v, lo), hi);
}

inline int luma16_line(uint8_t* dst, const uint8_t* const rows[5], int dim_x,
                       const sharpness_denoise_params& k) {
  const __m128i k255 = _mm_set1_epi32(255), kmax = _mm_set1_epi32(65535),
                zero = _mm_setzero_si128();
  const __m128i gain = _mm_set1_epi32(k.denoise_gain), offset = _mm_set1_epi32(k.denoise_offset);
  const __m128i s1 = _mm_set1_epi32(k.s1), s2 = _mm_set1_epi32(k.s2);
  const __m128i shift = _mm_cvtsi32_si128(k.shift);
  int x = kBorder;
  for (; x + 6 <= dim_x; x += 4) {
    __m128i lo[5], hi[5];
    const __m128i s = box_sum16(rows, x, lo, hi);
    const __m128i v3_lo = _mm_add_epi32(_mm_add_epi32(lo[1], lo[2]), lo[3]);
    const __m128i v3_hi = _mm_add_epi32(_mm_add_epi32(hi[1], hi[2]), hi[3]);
    const __m128i gx = _mm_sub_epi32(shifted32<3>(v3_lo, v3_hi), shifted32<1>(v3_lo, v3_hi));
    const __m128i d_lo = _mm_sub_epi32(lo[3], lo[1]), d_hi = _mm_sub_epi32(hi[3], hi[1]);
    const __m128i gy =
        _mm_add_epi32(_mm_add_epi32(shifted32<1>(d_lo, d_hi), shifted32<2>(d_lo, d_hi)),
                      shifted32<3>(d_lo, d_hi));
    const __m128i edge =
        _mm_srli_epi32(_mm_slli_epi32(_mm_add_epi32(_mm_abs_epi32(gx), _mm_abs_epi32(gy)), 1), 8);
    const __m128i e = _mm_min_epi32(edge, k255);
    __m128i p = shifted32<2>(lo[2], hi[2]);
    if (k.denoise_gain != 0) {
      const __m128i w0 =
          _mm_add_epi32(_mm_srai_epi32(_mm_mullo_epi32(_mm_sub_epi32(k255, e), gain), 6), offset);
      const __m128i w = clamp_epi32(w0, zero, k255);
      p = _mm_srli_epi32(_mm_add_epi32(_mm_mullo_epi32(p, _mm_sub_epi32(k255, w)),
                                       _mm_mullo_epi32(div25_epi32(s), w)),
                         8);
    }
    if (k.s1 != 0) {
      // (p * s1 - S) * s2 stays within 32 bits for every row of the table.
      const __m128i t = _mm_mullo_epi32(_mm_sub_epi32(_mm_mullo_epi32(p, s1), s), s2);
      const __m128i u = clamp_epi32(_mm_sra_epi32(t, shift), zero, kmax);
      p = _mm_srli_epi32(
          _mm_add_epi32(_mm_mullo_epi32(p, _mm_sub_epi32(k255, e)), _mm_mullo_epi32(u, e)), 8);
    }
    p = _mm_min_epi32(p, kmax);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 2 * x), _mm_packus_epi32(p, p));
  }
  return x;
}

inline int box16_line(uint8_t* dst, const uint8_t* const rows[5], int dim_x) {
  int x = kBorder;
  for (; x + 6 <= dim_x; x += 4) {
    __m128i lo[5], hi[5];
    const __m128i mean = div25_epi32(box_sum16(rows, x, lo, hi));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 2 * x), _mm_packus_epi32(mean, mean));
  }
  return x;
}

}  // namespace
}  // namespace sd_detail
}  // namespace img
