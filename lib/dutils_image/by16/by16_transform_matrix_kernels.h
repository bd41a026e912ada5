// Line routines of the matrix debayer as templates over the processor
// variant and the output kind. Included by one source file per variant, each
// compiled for its own target; internal linkage keeps the copies apart.
//
// Every 8-bit output sample is clamp((sum_p w_p * group_p + offset) >>
// shift) with the six neighbour groups of matrix_detail::group_size; every
// 16-bit one the single-precision sum of site_weights16 over the centre and
// the site's detail terms, in its order. The
// weights of the site kind of the column (even or odd) are used. Columns
// outside the image are mirrored like lines: distance 1 takes the other side,
// distance 2 the centre.
#pragma once

#include <emmintrin.h>
#include <smmintrin.h>
#include <stdint.h>
#include <tmmintrin.h>

#include "by16/by16_transform_matrix.h"
#include "by16/debayer_plain_kernels.h"
#include "img/transform_image.h"

namespace img {
namespace matrix_detail {
namespace {

// ---------------------------------------------------------------- plain ----

template <typename T>
inline void groups_at(const line_args& a, int x, int32_t g[group_count]) {
  const auto s = [&](int line, int column) -> int32_t { return load_sample<T>(a.lines[line], column); };
  const int w = a.dim_x;
  const int xm1 = x >= 1 ? x - 1 : x + 1;
  const int xm2 = x >= 2 ? x - 2 : x;
  const int xp1 = x + 1 < w ? x + 1 : x - 1;
  const int xp2 = x + 2 < w ? x + 2 : x;
  g[0] = s(2, x);
  g[1] = s(2, xm1) + s(2, xp1);
  g[2] = s(2, xm2) + s(2, xp2);
  g[3] = s(1, x) + s(3, x);
  g[4] = s(1, xm1) + s(1, xp1) + s(3, xm1) + s(3, xp1);
  g[5] = s(0, x) + s(4, x);
}

inline int32_t weighted_sum(const site_weights& s, int row, const int32_t g[group_count], int shift) {
  int32_t acc = s.offset[row];
  for (int p = 0; p < group_count; ++p) acc += s.w[row][p] * g[p];
  return acc >> shift;
}

template <kind8 K>
inline void pixel8(const line_args& a, int x) {
  int32_t g[group_count];
  groups_at<uint8_t>(a, x, g);
  const site_weights& s = (x & 1) ? *a.odd : *a.even;
  const int v0 = clamp_u8(weighted_sum(s, 0, g, a.shift));
  const int v1 = clamp_u8(weighted_sum(s, 1, g, a.shift));
  const int v2 = clamp_u8(weighted_sum(s, 2, g, a.shift));
  if constexpr (K == kind8::yuv8p) {
    a.out[0][x] = static_cast<uint8_t>(v0);
    a.out[1][x] = static_cast<uint8_t>(v1);
    a.out[2][x] = static_cast<uint8_t>(v2);
  } else {
    constexpr int kBytes = K == kind8::rgb24 ? 3 : 4;
    uint8_t* p = a.out[0] + kBytes * x;
    p[0] = static_cast<uint8_t>(v2);  // rows are R, G, B; bytes B, G, R
    p[1] = static_cast<uint8_t>(v1);
    p[2] = static_cast<uint8_t>(v0);
    if constexpr (kBytes == 4) p[3] = 0xFF;
  }
}

// The centre and the three detail terms of a site from its groups (exact
// integers: the differences are at most 4 x 65535, the terms below 2^21).
inline void centre_and_details(const site_weights16& s, const int32_t g[group_count], int32_t& c, int32_t d[3]) {
  c = g[0];
  for (int t = 0; t < 3; ++t) {
    d[t] = 0;
    for (int p = 1; p < group_count; ++p) d[t] += s.detail[t][p] * (g[p] - group_size[p] * c);
  }
}

// offset + w0 c + w1 D_1 + w2 D_2 + w3 D_3 in this order, clamped to [0,
// 65535] (NaN to 0) and truncated; c and the terms are exact in single
// precision (below 2^24).
inline uint16_t weighted_sum16(const site_weights16& s, int row, int32_t c, const int32_t d[3]) {
  float acc = s.offset[row];
  acc = acc + s.w[row][0] * static_cast<float>(c);
  for (int t = 0; t < 3; ++t) acc = acc + s.w[row][t + 1] * static_cast<float>(d[t]);
  acc = acc > 0.0f ? acc : 0.0f;
  acc = acc < 65535.0f ? acc : 65535.0f;
  return static_cast<uint16_t>(static_cast<int>(acc));
}

inline void pixel16(const line_args& a, int x) {
  int32_t g[group_count];
  groups_at<uint16_t>(a, x, g);
  const site_weights16& s = (x & 1) ? *a.odd16 : *a.even16;
  int32_t c, d[3];
  centre_and_details(s, g, c, d);
  for (int row = 0; row < 3; ++row) store_sample(a.out[row], x, weighted_sum16(s, row, c, d));
}

inline void line16_plain(const line_args& a) {
  for (int x = 0; x < a.dim_x; ++x) pixel16(a, x);
}

// --------------------------------------------------------------- vector ----

constexpr int kChunk8 = 16;   // pixels per step, 8-bit
constexpr int kChunk16 = 8;   // pixels per step, 16-bit
constexpr int kFirstInner = 2;  // first column whose 5x5 neighbourhood is inside

inline __m128i load128(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }

// (even weight, odd weight) pairs for pmaddwd over interleaved groups p, q:
// lanes [w_e[p], w_e[q], w_o[p], w_o[q], ...].
inline __m128i weight_pairs(const site_weights& e, const site_weights& o, int row, int p, int q) {
  return _mm_setr_epi16(static_cast<int16_t>(e.w[row][p]), static_cast<int16_t>(e.w[row][q]),
                        static_cast<int16_t>(o.w[row][p]), static_cast<int16_t>(o.w[row][q]),
                        static_cast<int16_t>(e.w[row][p]), static_cast<int16_t>(e.w[row][q]),
                        static_cast<int16_t>(o.w[row][p]), static_cast<int16_t>(o.w[row][q]));
}

struct row_lanes8 {
  __m128i w01, w23, w45, offset;
};

// Eight pixels of one output row from the groups in 16-bit lanes.
inline __m128i row8(const row_lanes8& r, const __m128i g[group_count], __m128i shift) {
  const __m128i lo = _mm_add_epi32(
      _mm_add_epi32(r.offset, _mm_madd_epi16(_mm_unpacklo_epi16(g[0], g[1]), r.w01)),
      _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(g[2], g[3]), r.w23),
                    _mm_madd_epi16(_mm_unpacklo_epi16(g[4], g[5]), r.w45)));
  const __m128i hi = _mm_add_epi32(
      _mm_add_epi32(r.offset, _mm_madd_epi16(_mm_unpackhi_epi16(g[0], g[1]), r.w01)),
      _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(g[2], g[3]), r.w23),
                    _mm_madd_epi16(_mm_unpackhi_epi16(g[4], g[5]), r.w45)));
  return _mm_packs_epi32(_mm_sra_epi32(lo, shift), _mm_sra_epi32(hi, shift));
}

// The six groups of the eight pixels from column x, as 16-bit lanes;
// `high` selects pixels x + 8 .. x + 15 of 16-byte loads at x.
inline void groups8(const line_args& a, int x, bool high, __m128i g[group_count]) {
  const __m128i zero = _mm_setzero_si128();
  const auto widen = [&](const uint8_t* line, int offset) {
    const __m128i v = load128(line + x + offset);
    return high ? _mm_unpackhi_epi8(v, zero) : _mm_unpacklo_epi8(v, zero);
  };
  const uint8_t* const* l = a.lines;
  g[0] = widen(l[2], 0);
  g[1] = _mm_add_epi16(widen(l[2], -1), widen(l[2], 1));
  g[2] = _mm_add_epi16(widen(l[2], -2), widen(l[2], 2));
  g[3] = _mm_add_epi16(widen(l[1], 0), widen(l[3], 0));
  g[4] = _mm_add_epi16(_mm_add_epi16(widen(l[1], -1), widen(l[1], 1)),
                       _mm_add_epi16(widen(l[3], -1), widen(l[3], 1)));
  g[5] = _mm_add_epi16(widen(l[0], 0), widen(l[4], 0));
}

// Whole chunks of 16 pixels from column 2 while the reads (x - 2 .. x + 17)
// stay inside the line. Returns the first column not done.
template <kind8 K>
inline int line8_vector(const line_args& a) {
  row_lanes8 rows[3];
  for (int row = 0; row < 3; ++row) {
    rows[row].w01 = weight_pairs(*a.even, *a.odd, row, 0, 1);
    rows[row].w23 = weight_pairs(*a.even, *a.odd, row, 2, 3);
    rows[row].w45 = weight_pairs(*a.even, *a.odd, row, 4, 5);
    rows[row].offset = _mm_setr_epi32(a.even->offset[row], a.odd->offset[row], a.even->offset[row],
                                      a.odd->offset[row]);
  }
  const __m128i shift = _mm_cvtsi32_si128(a.shift);
  int x = kFirstInner;
  for (; x + kChunk8 + 2 <= a.dim_x; x += kChunk8) {
    __m128i lo[group_count], hi[group_count];
    groups8(a, x, false, lo);
    groups8(a, x, true, hi);
    __m128i v[3];
    for (int row = 0; row < 3; ++row) v[row] = _mm_packus_epi16(row8(rows[row], lo, shift), row8(rows[row], hi, shift));
    if constexpr (K == kind8::yuv8p) {
      for (int row = 0; row < 3; ++row) debayer_detail::store16(a.out[row] + x, v[row]);
    } else {
      constexpr int kBytes = K == kind8::rgb24 ? 3 : 4;
      debayer_detail::store_rgb<debayer_detail::v_ssse3>(a.out[0] + kBytes * x, v[2], v[1], v[0],
                                                         K == kind8::rgb32);
    }
  }
  return x;
}

template <bool Vector, kind8 K>
void line8(const line_args& a) {
  int x = 0;
  if constexpr (Vector) {
    for (; x < kFirstInner; ++x) pixel8<K>(a, x);
    x = line8_vector<K>(a);
  }
  for (; x < a.dim_x; ++x) pixel8<K>(a, x);
}

// Per-lane weights of the SSE4.1 16-bit line: even and odd columns
// alternate in the lanes, and so do their sites' weights and detail kernels.
struct lanes16 {
  __m128 w[3][4], offset[3];
  __m128 detail[3][group_count];  // kernels as floats; group 0 unused
  explicit lanes16(const line_args& a) {
    const site_weights16& e = *a.even16;
    const site_weights16& o = *a.odd16;
    const auto pair = [](float even, float odd) { return _mm_setr_ps(even, odd, even, odd); };
    for (int row = 0; row < 3; ++row) {
      for (int t = 0; t < 4; ++t) w[row][t] = pair(e.w[row][t], o.w[row][t]);
      offset[row] = pair(e.offset[row], o.offset[row]);
    }
    for (int t = 0; t < 3; ++t)
      for (int p = 0; p < group_count; ++p) detail[t][p] = pair(e.detail[t][p], o.detail[t][p]);
  }
};

// Eight 16-bit pixels from column x of all three rows in two groups of four
// single-precision lanes; SSE4.1. The detail terms are summed in single
// precision, which is exact for these integers (products and sums below
// 2^24), so they equal the plain code's integer terms.
inline void chunk16(const line_args& a, int x, const lanes16& l) {
  const auto widen = [&](int line, int offset_px, int half) {
    return _mm_cvtepu16_epi32(_mm_loadl_epi64(
        reinterpret_cast<const __m128i*>(a.lines[line] + 2 * (x + offset_px + 4 * half))));
  };
  for (int half = 0; half < 2; ++half) {
    const __m128i c = widen(2, 0, half), c2 = _mm_add_epi32(c, c), c4 = _mm_add_epi32(c2, c2);
    const auto diff = [](__m128i a, __m128i b, __m128i centre) {
      return _mm_cvtepi32_ps(_mm_sub_epi32(_mm_add_epi32(a, b), centre));
    };
    __m128 d[group_count];
    d[1] = diff(widen(2, -1, half), widen(2, 1, half), c2);
    d[2] = diff(widen(2, -2, half), widen(2, 2, half), c2);
    d[3] = diff(widen(1, 0, half), widen(3, 0, half), c2);
    d[4] = diff(_mm_add_epi32(widen(1, -1, half), widen(1, 1, half)),
                _mm_add_epi32(widen(3, -1, half), widen(3, 1, half)), c4);
    d[5] = diff(widen(0, 0, half), widen(4, 0, half), c2);
    __m128 term[4];
    term[0] = _mm_cvtepi32_ps(c);
    for (int t = 0; t < 3; ++t) {
      __m128 sum = _mm_mul_ps(l.detail[t][1], d[1]);
      for (int p = 2; p < group_count; ++p) sum = _mm_add_ps(sum, _mm_mul_ps(l.detail[t][p], d[p]));
      term[t + 1] = sum;
    }
    for (int row = 0; row < 3; ++row) {
      __m128 acc = l.offset[row];
      for (int t = 0; t < 4; ++t) acc = _mm_add_ps(acc, _mm_mul_ps(l.w[row][t], term[t]));
      // max_ps gives 0 for NaN, as the plain form does.
      acc = _mm_min_ps(_mm_max_ps(acc, _mm_setzero_ps()), _mm_set1_ps(65535.0f));
      const __m128i v = _mm_cvttps_epi32(acc);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(a.out[row] + 2 * (x + 4 * half)), _mm_packus_epi32(v, v));
    }
  }
}

inline void line16_sse41(const line_args& a) {
  const lanes16 l(a);
  int x = 0;
  for (; x < kFirstInner; ++x) pixel16(a, x);
  for (; x + kChunk16 + 2 <= a.dim_x; x += kChunk16) chunk16(a, x, l);
  for (; x < a.dim_x; ++x) pixel16(a, x);
}

template <bool Vector>
inline line_fn line8_for(kind8 kind) {
  switch (kind) {
    case kind8::yuv8p: return line8<Vector, kind8::yuv8p>;
    case kind8::rgb24: return line8<Vector, kind8::rgb24>;
    default: return line8<Vector, kind8::rgb32>;
  }
}

}  // namespace
}  // namespace matrix_detail
}  // namespace img
