// AVX2 form of the sharpness/denoise line routines: sixteen 8-bit pixels per
// step in 16-bit lanes, eight 16-bit pixels per step in 32-bit lanes, with
// the arithmetic of the SSE forms (sharpness_denoise_vector.h), which equals
// the per-pixel form. Each row is loaded once as A (columns x - 2 onwards,
// one register) and B (the few columns after it); the columns x - 2 + k ..
// come from A and B with one lane-crossing permute and an in-lane alignr.
// The whole file is built for AVX2; its routines run only when
// img::avx2_allowed.
#include <immintrin.h>
#include <string.h>

#pragma GCC target("avx2")

#include "filter/sharpness_denoise/sharpness_denoise_kernels.h"

namespace img {
namespace sd_detail {
namespace {

// Columns x - 2 + k .. of a row given as A (x - 2 ..) and B (what follows),
// k = 0..4, in 16-bit lanes.
struct row16 {
  __m256i a, ab;  // ab: the high half of A, then the low half of B
  row16(__m256i lo, __m256i hi) : a(lo), ab(_mm256_permute2x128_si256(lo, hi, 0x21)) {}
  template <int K>
  __m256i at() const {
    if constexpr (K == 0) {
      return a;
    } else {
      return _mm256_alignr_epi8(ab, a, 2 * K);
    }
  }
};

// The same in 32-bit lanes.
struct row32 {
  __m256i a, ab;
  row32(__m256i lo, __m256i hi) : a(lo), ab(_mm256_permute2x128_si256(lo, hi, 0x21)) {}
  template <int K>
  __m256i at() const {
    if constexpr (K == 0) {
      return a;
    } else if constexpr (K == 4) {
      return ab;
    } else {
      return _mm256_alignr_epi8(ab, a, 4 * K);
    }
  }
};

inline __m128i load4(const uint8_t* p) {
  int32_t v;
  memcpy(&v, p, sizeof v);
  return _mm_cvtsi32_si128(v);
}

// S = 5x5 sum (at most 6375) of sixteen 8-bit pixels from column x; the rows
// (widened) are returned for the edge measure.
inline __m256i box_sum8(const uint8_t* const rows[5], int x, __m256i lo[5], __m256i hi[5]) {
  for (int r = 0; r < 5; ++r) {
    lo[r] = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[r] + x - 2)));
    hi[r] = _mm256_cvtepu8_epi16(load4(rows[r] + x + 14));
  }
  const auto sum5 = [&](const __m256i* v) {
    return _mm256_add_epi16(_mm256_add_epi16(_mm256_add_epi16(v[0], v[1]), _mm256_add_epi16(v[2], v[3])), v[4]);
  };
  const row16 v5(sum5(lo), sum5(hi));
  return _mm256_add_epi16(_mm256_add_epi16(_mm256_add_epi16(v5.at<0>(), v5.at<1>()),
                                           _mm256_add_epi16(v5.at<2>(), v5.at<3>())),
                          v5.at<4>());
}

// S / 25 for S <= 6375: (S * 5243) >> 17.
inline __m256i div25_epu16(__m256i s) {
  return _mm256_srli_epi16(_mm256_mulhi_epu16(s, _mm256_set1_epi16(5243)), 1);
}

// Sixteen 16-bit lanes (0..255) as sixteen bytes at `dst`.
inline void store_bytes16(uint8_t* dst, __m256i v) {
  const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(v, v), 0x08);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm256_castsi256_si128(packed));
}

// Eight 32-bit lanes (0..65535) as eight 16-bit samples at `dst`.
inline void store_words8(uint8_t* dst, __m256i v) {
  const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(v, v), 0x08);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm256_castsi256_si128(packed));
}

// S (at most 25 * 65535) of eight 16-bit pixels from column x.
inline __m256i box_sum16(const uint8_t* const rows[5], int x, __m256i lo[5], __m256i hi[5]) {
  for (int r = 0; r < 5; ++r) {
    lo[r] = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[r] + 2 * (x - 2))));
    hi[r] = _mm256_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(rows[r] + 2 * (x + 6))));
  }
  const auto sum5 = [&](const __m256i* v) {
    return _mm256_add_epi32(_mm256_add_epi32(_mm256_add_epi32(v[0], v[1]), _mm256_add_epi32(v[2], v[3])), v[4]);
  };
  const row32 v5(sum5(lo), sum5(hi));
  return _mm256_add_epi32(_mm256_add_epi32(_mm256_add_epi32(v5.at<0>(), v5.at<1>()),
                                           _mm256_add_epi32(v5.at<2>(), v5.at<3>())),
                          v5.at<4>());
}

// S / 25 truncated for S < 2^21 (the float quotient stays below the next
// integer).
inline __m256i div25_epi32(__m256i s) {
  return _mm256_cvttps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(s), _mm256_set1_ps(25.0f)));
}

inline __m256i clamp_epi32(__m256i v, __m256i lo, __m256i hi) { return _mm256_min_epi32(_mm256_max_epi32(v, lo), hi); }

}  // namespace

int luma8_line_avx2(uint8_t* dst, const uint8_t* const rows[5], int dim_x, const sharpness_denoise_params& k) {
  const __m256i k255 = _mm256_set1_epi16(255), zero = _mm256_setzero_si256();
  const __m256i gain = _mm256_set1_epi16(static_cast<short>(k.denoise_gain));
  const __m256i offset = _mm256_set1_epi16(static_cast<short>(k.denoise_offset));
  const __m256i s1 = _mm256_set1_epi16(static_cast<short>(k.s1)), s2 = _mm256_set1_epi16(static_cast<short>(k.s2));
  const __m128i shift = _mm_cvtsi32_si128(k.shift);
  int x = kBorder;
  // Reads columns x - 2 .. x + 17.
  for (; x + 18 <= dim_x; x += 16) {
    __m256i lo[5], hi[5];
    const __m256i s = box_sum8(rows, x, lo, hi);
    // Gx from the 3-row column sums at x - 1 and x + 1; Gy from the
    // bottom-minus-top row differences over three columns (|G| <= 765).
    const row16 v3(_mm256_add_epi16(_mm256_add_epi16(lo[1], lo[2]), lo[3]),
                   _mm256_add_epi16(_mm256_add_epi16(hi[1], hi[2]), hi[3]));
    const row16 d(_mm256_sub_epi16(lo[3], lo[1]), _mm256_sub_epi16(hi[3], hi[1]));
    const __m256i gx = _mm256_sub_epi16(v3.at<3>(), v3.at<1>());
    const __m256i gy = _mm256_add_epi16(_mm256_add_epi16(d.at<1>(), d.at<2>()), d.at<3>());
    const __m256i e =
        _mm256_min_epi16(_mm256_slli_epi16(_mm256_add_epi16(_mm256_abs_epi16(gx), _mm256_abs_epi16(gy)), 1), k255);
    __m256i p = row16(lo[2], hi[2]).at<2>();
    if (k.denoise_gain != 0) {
      const __m256i w0 =
          _mm256_add_epi16(_mm256_srli_epi16(_mm256_mullo_epi16(_mm256_sub_epi16(k255, e), gain), 6), offset);
      const __m256i w = _mm256_min_epi16(_mm256_max_epi16(w0, zero), k255);
      p = _mm256_srli_epi16(_mm256_add_epi16(_mm256_mullo_epi16(p, _mm256_sub_epi16(k255, w)),
                                             _mm256_mullo_epi16(div25_epu16(s), w)),
                            8);
    }
    if (k.s1 != 0) {
      const __m256i t = _mm256_sub_epi16(_mm256_mullo_epi16(p, s1), s);
      const __m256i t_lo = _mm256_mullo_epi16(t, s2), t_hi = _mm256_mulhi_epi16(t, s2);
      const __m256i prod0 = _mm256_sra_epi32(_mm256_unpacklo_epi16(t_lo, t_hi), shift);
      const __m256i prod1 = _mm256_sra_epi32(_mm256_unpackhi_epi16(t_lo, t_hi), shift);
      const __m256i u = _mm256_min_epi16(_mm256_max_epi16(_mm256_packs_epi32(prod0, prod1), zero), k255);
      p = _mm256_srli_epi16(
          _mm256_add_epi16(_mm256_mullo_epi16(p, _mm256_sub_epi16(k255, e)), _mm256_mullo_epi16(u, e)), 8);
    }
    store_bytes16(dst + x, p);
  }
  return x;
}

int box8_line_avx2(uint8_t* dst, const uint8_t* const rows[5], int dim_x) {
  int x = kBorder;
  for (; x + 18 <= dim_x; x += 16) {
    __m256i lo[5], hi[5];
    store_bytes16(dst + x, div25_epu16(box_sum8(rows, x, lo, hi)));
  }
  return x;
}

int luma16_line_avx2(uint8_t* dst, const uint8_t* const rows[5], int dim_x, const sharpness_denoise_params& k) {
  const __m256i k255 = _mm256_set1_epi32(255), kmax = _mm256_set1_epi32(65535), zero = _mm256_setzero_si256();
  const __m256i gain = _mm256_set1_epi32(k.denoise_gain), offset = _mm256_set1_epi32(k.denoise_offset);
  const __m256i s1 = _mm256_set1_epi32(k.s1), s2 = _mm256_set1_epi32(k.s2);
  const __m128i shift = _mm_cvtsi32_si128(k.shift);
  int x = kBorder;
  // Reads columns x - 2 .. x + 9.
  for (; x + 10 <= dim_x; x += 8) {
    __m256i lo[5], hi[5];
    const __m256i s = box_sum16(rows, x, lo, hi);
    const row32 v3(_mm256_add_epi32(_mm256_add_epi32(lo[1], lo[2]), lo[3]),
                   _mm256_add_epi32(_mm256_add_epi32(hi[1], hi[2]), hi[3]));
    const row32 d(_mm256_sub_epi32(lo[3], lo[1]), _mm256_sub_epi32(hi[3], hi[1]));
    const __m256i gx = _mm256_sub_epi32(v3.at<3>(), v3.at<1>());
    const __m256i gy = _mm256_add_epi32(_mm256_add_epi32(d.at<1>(), d.at<2>()), d.at<3>());
    const __m256i edge =
        _mm256_srli_epi32(_mm256_slli_epi32(_mm256_add_epi32(_mm256_abs_epi32(gx), _mm256_abs_epi32(gy)), 1), 8);
    const __m256i e = _mm256_min_epi32(edge, k255);
    __m256i p = row32(lo[2], hi[2]).at<2>();
    if (k.denoise_gain != 0) {
      const __m256i w0 =
          _mm256_add_epi32(_mm256_srai_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(k255, e), gain), 6), offset);
      const __m256i w = clamp_epi32(w0, zero, k255);
      p = _mm256_srli_epi32(_mm256_add_epi32(_mm256_mullo_epi32(p, _mm256_sub_epi32(k255, w)),
                                             _mm256_mullo_epi32(div25_epi32(s), w)),
                            8);
    }
    if (k.s1 != 0) {
      const __m256i t = _mm256_mullo_epi32(_mm256_sub_epi32(_mm256_mullo_epi32(p, s1), s), s2);
      const __m256i u = clamp_epi32(_mm256_sra_epi32(t, shift), zero, kmax);
      p = _mm256_srli_epi32(
          _mm256_add_epi32(_mm256_mullo_epi32(p, _mm256_sub_epi32(k255, e)), _mm256_mullo_epi32(u, e)), 8);
    }
    store_words8(dst + 2 * x, _mm256_min_epi32(p, kmax));
  }
  return x;
}

int box16_line_avx2(uint8_t* dst, const uint8_t* const rows[5], int dim_x) {
  int x = kBorder;
  for (; x + 10 <= dim_x; x += 8) {
    __m256i lo[5], hi[5];
    store_words8(dst + 2 * x, div25_epi32(box_sum16(rows, x, lo, hi)));
  }
  return x;
}

}  // namespace sd_detail
}  // namespace img
