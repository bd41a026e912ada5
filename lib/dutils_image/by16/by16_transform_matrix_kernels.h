// Line routines of the matrix debayer as templates over the processor
// variant and the output kind. Included by one source file per variant, each
// compiled for its own target; internal linkage keeps the copies apart.
//
// Every 8-bit output sample is clamp((sum_p w_p * group_p + offset) >>
// shift) with the six neighbour groups of matrix_detail::group_size; every
// 16-bit one the fused single-precision steps of site_weights16 over the
// site's terms, in their order. The
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

// The terms of a site from its groups (exact integers below 2^19): a red or
// blue site's four, a green site's six; the count.
inline int terms16(const site_weights16& s, const int32_t g[group_count], int32_t t[max_terms16]) {
  if (s.colour) {
    t[0] = g[0], t[1] = g[1] + g[3], t[2] = g[2] + g[5], t[3] = g[4];
    return 4;
  }
  for (int p = 0; p < group_count; ++p) t[p] = g[p];
  return max_terms16;
}

// offset, then the fused steps over the terms in their order, clamped to
// [0, 65535] and truncated.
inline uint16_t weighted_sum16(const site_weights16& s, int row, const int32_t t[max_terms16], int n) {
  float acc = s.offset[row];
  for (int k = 0; k < n; ++k) acc = fused16(s.w[row][k], t[k], acc);
  acc = acc > 0.0f ? acc : 0.0f;
  acc = acc < 65535.0f ? acc : 65535.0f;
  return static_cast<uint16_t>(static_cast<int>(acc));
}

inline void pixel16(const line_args& a, int x) {
  int32_t g[group_count];
  groups_at<uint16_t>(a, x, g);
  const site_weights16& s = (x & 1) ? *a.odd16 : *a.even16;
  int32_t t[max_terms16];
  const int n = terms16(s, g, t);
  for (int row = 0; row < 3; ++row) store_sample(a.out[row], x, weighted_sum16(s, row, t, n));
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

// The SSE4.1 16-bit line takes the even and odd columns of eight apart,
// four of each in 32-bit lanes (masking and shifting a 16-byte load gives
// both), so that the weights of a vector are those of one site; one of the
// two sites of a line is red or blue, the other green.
struct lanes16 {
  __m128d w[2][3][max_terms16], offset[2][3];  // [even, odd site][row][term], in double precision
  bool even_colour;                            // the even columns are the red or blue sites
  explicit lanes16(const line_args& a) : even_colour(a.even16->colour) {
    const site_weights16* sites[2] = {a.even16, a.odd16};
    for (int k = 0; k < 2; ++k)
      for (int row = 0; row < 3; ++row) {
        offset[k][row] = _mm_set1_pd(sites[k]->offset[row]);
        for (int t = 0; t < max_terms16; ++t) w[k][row][t] = _mm_set1_pd(sites[k]->w[row][t]);
      }
  }
};

// The three rows of one site's four columns from its centre c and groups g1
// .. g5, as truncated 32-bit values of at most 65535 (negative below 0): the
// fused steps of the plain code in double precision, two lanes at a time,
// each rounded to single precision.
template <bool Colour>
inline void site16_sse41(const __m128d w[3][max_terms16], const __m128d offset[3], __m128i c, __m128i g1,
                         __m128i g2, __m128i g3, __m128i g4, __m128i g5, __m128i out[3]) {
  constexpr int n = Colour ? 4 : max_terms16;
  __m128i term[max_terms16];
  if constexpr (Colour) {
    term[0] = c, term[1] = _mm_add_epi32(g1, g3), term[2] = _mm_add_epi32(g2, g5), term[3] = g4;
  } else {
    term[0] = c, term[1] = g1, term[2] = g2, term[3] = g3, term[4] = g4, term[5] = g5;
  }
  __m128d lo[max_terms16], hi[max_terms16];  // the terms of lanes 0, 1 and 2, 3
  for (int t = 0; t < n; ++t) {
    lo[t] = _mm_cvtepi32_pd(term[t]);
    hi[t] = _mm_cvtepi32_pd(_mm_unpackhi_epi64(term[t], term[t]));
  }
  const __m128 top = _mm_set1_ps(65535.0f);
  for (int row = 0; row < 3; ++row) {
    __m128d acc_lo = offset[row], acc_hi = offset[row];
    __m128 acc = _mm_setzero_ps();
    for (int t = 0; t < n; ++t) {
      const __m128 lo_f = _mm_cvtpd_ps(_mm_add_pd(acc_lo, _mm_mul_pd(w[row][t], lo[t])));
      const __m128 hi_f = _mm_cvtpd_ps(_mm_add_pd(acc_hi, _mm_mul_pd(w[row][t], hi[t])));
      if (t + 1 < n) {
        acc_lo = _mm_cvtps_pd(lo_f), acc_hi = _mm_cvtps_pd(hi_f);
      } else {
        acc = _mm_movelh_ps(lo_f, hi_f);
      }
    }
    // min_ps(top, NaN) is NaN, which truncates to INT_MIN: 0 once packed,
    // as in the plain form.
    out[row] = _mm_cvttps_epi32(_mm_min_ps(top, acc));
  }
}

// Eight 16-bit pixels from the even column x of all three rows; SSE4.1
// (reads x - 2 .. x + 9).
template <bool EvenColour>
inline void chunk16(const line_args& a, int x, const lanes16& l) {
  const __m128i low = _mm_set1_epi32(0xFFFF);
  const auto load = [&](int line, int o) { return load128(a.lines[line] + 2 * (x + o)); };
  const auto even = [&](__m128i v) { return _mm_and_si128(v, low); };
  const auto odd = [&](__m128i v) { return _mm_srli_epi32(v, 16); };
  // Column o + 2 i of each line in lane i.
  const __m128i c_m2 = load(2, -2), c_0 = load(2, 0), c_p2 = load(2, 2);
  const __m128i c[6] = {even(c_m2), odd(c_m2), even(c_0), odd(c_0), even(c_p2), odd(c_p2)};  // o = -2 .. 3
  const __m128i u_m1 = load(1, -1), u_p1 = load(1, 1), d_m1 = load(3, -1), d_p1 = load(3, 1);
  const __m128i v13[4] = {_mm_add_epi32(even(u_m1), even(d_m1)), _mm_add_epi32(odd(u_m1), odd(d_m1)),
                          _mm_add_epi32(even(u_p1), even(d_p1)), _mm_add_epi32(odd(u_p1), odd(d_p1))};
  const __m128i uu = load(0, 0), dd = load(4, 0);
  const __m128i v04[2] = {_mm_add_epi32(even(uu), even(dd)), _mm_add_epi32(odd(uu), odd(dd))};
  __m128i e[3], o[3];
  site16_sse41<EvenColour>(l.w[0], l.offset[0], c[2], _mm_add_epi32(c[1], c[3]), _mm_add_epi32(c[0], c[4]),
                           v13[1], _mm_add_epi32(v13[0], v13[2]), v04[0], e);
  site16_sse41<!EvenColour>(l.w[1], l.offset[1], c[3], _mm_add_epi32(c[2], c[4]), _mm_add_epi32(c[1], c[5]),
                            v13[2], _mm_add_epi32(v13[1], v13[3]), v04[1], o);
  // Even and odd columns back into column order (the packs clamp to 0 ..
  // 65535).
  const __m128i interleave = _mm_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
  for (int row = 0; row < 3; ++row)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(a.out[row] + 2 * x),
                     _mm_shuffle_epi8(_mm_packus_epi32(e[row], o[row]), interleave));
}

template <bool EvenColour>
inline void line16_sse41_steps(const line_args& a, const lanes16& l) {
  int x = 0;
  for (; x < kFirstInner; ++x) pixel16(a, x);
  for (; x + kChunk16 + 2 <= a.dim_x; x += kChunk16) chunk16<EvenColour>(a, x, l);
  for (; x < a.dim_x; ++x) pixel16(a, x);
}

inline void line16_sse41(const line_args& a) {
  const lanes16 l(a);
  if (l.even_colour) {
    line16_sse41_steps<true>(a, l);
  } else {
    line16_sse41_steps<false>(a, l);
  }
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
