// Line routines of the plain debayer, as templates over the processor
// variant, the output kind, the flags and the kind of line. Included by one
// source file per variant, each compiled under its own target (SSE2 is the
// x86-64 baseline; the SSSE3 and SSE4.1 files raise the target for the whole
// file). Everything here has internal linkage so that the copies compiled for
// different targets can never be merged by the linker.
//
// A line has a colour C (red or blue, the colour of its non-green sites) and
// the other colour O, which lives on the neighbouring lines. Per site:
//   C site: C = sample; G by gradient (horizontal pair when it is flatter,
//           vertical pair when that is flatter, all four on a tie); O = mean
//           of the four diagonals.
//   G site: G = sample (optionally smoothed with its four diagonal greens);
//           C = mean of left and right; O = mean of up and down.
#pragma once

#include <emmintrin.h>
#include <smmintrin.h>
#include <stdint.h>
#include <tmmintrin.h>

#include "by16/debayer_plain.h"
#include "img/transform_image.h"

namespace img {
namespace debayer_detail {
namespace {

enum variant : int { v_plain = 0, v_sse2 = 1, v_ssse3 = 2, v_sse41 = 3 };

constexpr int kChunk = 16;         // pixels per vector step
constexpr int kGreenFixLimit = 7;  // diagonal greens must differ by less than this

inline int abs_diff(int a, int b) { return a > b ? a - b : b - a; }

// ---------------------------------------------------------------- plain ----

template <out_kind O>
inline void store_pixel(const line_args& a, int x, int r, int g, int b) {
  if constexpr (O == out_kind::rgb24) {
    uint8_t* p = a.out0 + 3 * x;
    p[0] = static_cast<uint8_t>(b);
    p[1] = static_cast<uint8_t>(g);
    p[2] = static_cast<uint8_t>(r);
  } else if constexpr (O == out_kind::rgb32) {
    uint8_t* p = a.out0 + 4 * x;
    p[0] = static_cast<uint8_t>(b);
    p[1] = static_cast<uint8_t>(g);
    p[2] = static_cast<uint8_t>(r);
    p[3] = 0xFF;
  } else {
    a.out0[x] = static_cast<uint8_t>((29 * b + 76 * r + 150 * g) >> 8);
    a.out1[x] = static_cast<uint8_t>(clamp_u8((131 * b - 44 * r - 86 * g + 32768) >> 8));
    a.out2[x] = static_cast<uint8_t>(clamp_u8((131 * r - 21 * b - 109 * g + 32768) >> 8));
  }
}

// One pixel at column x, 1 <= x <= dim_x - 2.
template <out_kind O, bool CM, bool GF, bool RedLine, bool GreenFirst>
inline void debayer_pixel(const line_args& a, int x) {
  const uint8_t* p = a.prev;
  const uint8_t* c = a.cur;
  const uint8_t* n = a.next;
  const bool green_site = ((x & 1) == 0) == GreenFirst;
  int own;    // the line's colour C
  int other;  // the colour O of the neighbouring lines
  int g;
  if (!green_site) {
    own = c[x];
    const int l = c[x - 1], r = c[x + 1], u = p[x], d = n[x];
    const int dh = abs_diff(l, r), dv = abs_diff(u, d);
    g = dh < dv ? (l + r) >> 1 : (dh > dv ? (u + d) >> 1 : (l + r + u + d) >> 2);
    other = (p[x - 1] + p[x + 1] + n[x - 1] + n[x + 1]) >> 2;
  } else {
    g = c[x];
    if constexpr (GF) {
      const int ul = p[x - 1], ur = p[x + 1], dl = n[x - 1], dr = n[x + 1];
      if (abs_diff(ul, ur) < kGreenFixLimit && abs_diff(ul, dl) < kGreenFixLimit)
        g = (4 * g + ul + ur + dl + dr) >> 3;
    }
    own = (c[x - 1] + c[x + 1]) >> 1;
    other = (p[x] + n[x]) >> 1;
  }
  int r = RedLine ? own : other;
  int b = RedLine ? other : own;
  if constexpr (CM) {
    const int16_t* m = a.matrix;
    const int r2 = clamp_u8((m[0] * r + m[1] * g + m[2] * b) / 64);
    const int g2 = clamp_u8((m[3] * r + m[4] * g + m[5] * b) / 64);
    const int b2 = clamp_u8((m[6] * r + m[7] * g + m[8] * b) / 64);
    r = r2;
    g = g2;
    b = b2;
  }
  store_pixel<O>(a, x, r, g, b);
}

// Columns 0 and dim_x - 1 repeat their inner neighbours.
template <out_kind O>
inline void copy_border_pixels(const line_args& a) {
  const int last = a.dim_x - 1;
  if constexpr (O == out_kind::yuv8p) {
    uint8_t* planes[3] = {a.out0, a.out1, a.out2};
    for (uint8_t* plane : planes) {
      plane[0] = plane[1];
      plane[last] = plane[last - 1];
    }
  } else {
    constexpr int kBytes = O == out_kind::rgb24 ? 3 : 4;
    for (int i = 0; i < kBytes; ++i) {
      a.out0[i] = a.out0[kBytes + i];
      a.out0[last * kBytes + i] = a.out0[(last - 1) * kBytes + i];
    }
  }
}

// --------------------------------------------------------------- vector ----

inline __m128i even_lanes(__m128i v) { return _mm_and_si128(v, _mm_set1_epi16(0x00FF)); }
inline __m128i odd_lanes(__m128i v) { return _mm_srli_epi16(v, 8); }
inline __m128i load16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store16(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
// The pair (lo, hi) in every 32-bit lane, for pmaddwd.
inline __m128i pair16(int lo, int hi) {
  return _mm_set1_epi32(static_cast<int>((static_cast<uint32_t>(hi) << 16) | static_cast<uint16_t>(lo)));
}

template <int V>
inline __m128i abs_diff16(__m128i a, __m128i b) {
  const __m128i d = _mm_sub_epi16(a, b);
  if constexpr (V >= v_ssse3) {
    return _mm_abs_epi16(d);
  } else {
    return _mm_max_epi16(d, _mm_sub_epi16(_mm_setzero_si128(), d));
  }
}

// mask ? a : b, for masks of whole lanes.
template <int V>
inline __m128i select16(__m128i mask, __m128i a, __m128i b) {
  if constexpr (V >= v_sse41) {
    return _mm_blendv_epi8(b, a, mask);
  } else {
    return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
  }
}

// Signed 32-bit lanes divided by 64, truncating toward zero like C.
inline __m128i div64_epi32(__m128i v) {
  const __m128i bias = _mm_and_si128(_mm_srai_epi32(v, 31), _mm_set1_epi32(63));
  return _mm_srai_epi32(_mm_add_epi32(v, bias), 6);
}

inline __m128i clamp_u8_epi16(__m128i v) {
  return _mm_min_epi16(_mm_max_epi16(v, _mm_setzero_si128()), _mm_set1_epi16(255));
}

// One row of the colour matrix over eight pixels (16-bit lanes, 0..255).
inline __m128i matrix_row(__m128i r, __m128i g, __m128i b, const int16_t* rg, const int16_t* b0) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i mrg = _mm_load_si128(reinterpret_cast<const __m128i*>(rg));
  const __m128i mb = _mm_load_si128(reinterpret_cast<const __m128i*>(b0));
  const __m128i lo = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(r, g), mrg),
                                   _mm_madd_epi16(_mm_unpacklo_epi16(b, zero), mb));
  const __m128i hi = _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(r, g), mrg),
                                   _mm_madd_epi16(_mm_unpackhi_epi16(b, zero), mb));
  return clamp_u8_epi16(_mm_packs_epi32(div64_epi32(lo), div64_epi32(hi)));
}

// (w_a * a + w_b * b + w_c * c + 256 * 128) >> 8 over eight pixels, clamped to
// 0..255: the chroma rows of the "YU8p" output.
inline __m128i chroma_row(__m128i a, __m128i b, __m128i c, int wa, int wb, int wc) {
  const __m128i k128 = _mm_set1_epi16(128);
  const __m128i wab = pair16(wa, wb);
  const __m128i wc1 = pair16(wc, 256);
  const __m128i lo = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(a, b), wab),
                                   _mm_madd_epi16(_mm_unpacklo_epi16(c, k128), wc1));
  const __m128i hi = _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(a, b), wab),
                                   _mm_madd_epi16(_mm_unpackhi_epi16(c, k128), wc1));
  return clamp_u8_epi16(_mm_packs_epi32(_mm_srai_epi32(lo, 8), _mm_srai_epi32(hi, 8)));
}

// Even and odd 16-bit lanes (values 0..255) back into 16 bytes in column order.
inline __m128i join_bytes(__m128i even, __m128i odd) { return _mm_or_si128(even, _mm_slli_epi16(odd, 8)); }

// Four B G R X pixels (16 bytes) to twelve B G R bytes in the low part.
template <int V>
inline __m128i pack_bgrx_to_bgr(__m128i v) {
  if constexpr (V >= v_ssse3) {
    return _mm_shuffle_epi8(v, _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
  } else {
    // In each 64-bit half: pixel 0 stays, pixel 1 moves down one byte.
    const __m128i lo_px = _mm_set1_epi64x(0x0000000000FFFFFFll);
    const __m128i hi_px = _mm_set1_epi64x(0x00FFFFFF00000000ll);
    const __m128i t = _mm_or_si128(_mm_and_si128(v, lo_px), _mm_srli_epi64(_mm_and_si128(v, hi_px), 8));
    // t: [p0 p1 0 0 | p2 p3 0 0] (three bytes per pixel); close the gap.
    return _mm_or_si128(_mm_move_epi64(t), _mm_slli_si128(_mm_srli_si128(t, 8), 6));
  }
}

template <int V>
inline void store_rgb(uint8_t* dst, __m128i b8, __m128i g8, __m128i r8, bool four_bytes) {
  const __m128i x8 = _mm_set1_epi8(static_cast<char>(0xFF));
  const __m128i bg_lo = _mm_unpacklo_epi8(b8, g8);
  const __m128i bg_hi = _mm_unpackhi_epi8(b8, g8);
  const __m128i rx_lo = _mm_unpacklo_epi8(r8, x8);
  const __m128i rx_hi = _mm_unpackhi_epi8(r8, x8);
  const __m128i px0 = _mm_unpacklo_epi16(bg_lo, rx_lo);  // pixels 0..3, B G R X each
  const __m128i px1 = _mm_unpackhi_epi16(bg_lo, rx_lo);  // pixels 4..7
  const __m128i px2 = _mm_unpacklo_epi16(bg_hi, rx_hi);  // pixels 8..11
  const __m128i px3 = _mm_unpackhi_epi16(bg_hi, rx_hi);  // pixels 12..15
  if (four_bytes) {
    store16(dst, px0);
    store16(dst + 16, px1);
    store16(dst + 32, px2);
    store16(dst + 48, px3);
    return;
  }
  const __m128i q0 = pack_bgrx_to_bgr<V>(px0);  // 12 bytes each
  const __m128i q1 = pack_bgrx_to_bgr<V>(px1);
  const __m128i q2 = pack_bgrx_to_bgr<V>(px2);
  const __m128i q3 = pack_bgrx_to_bgr<V>(px3);
  store16(dst, _mm_or_si128(q0, _mm_slli_si128(q1, 12)));
  store16(dst + 16, _mm_or_si128(_mm_srli_si128(q1, 4), _mm_slli_si128(q2, 8)));
  store16(dst + 32, _mm_or_si128(_mm_srli_si128(q2, 8), _mm_slli_si128(q3, 4)));
}

// The eight same-parity pixels of a chunk and their neighbours.
struct neighbours {
  __m128i c, l, r, u, d, ul, ur, dl, dr;
};

struct site_colours {
  __m128i own, other, g;  // line colour C, neighbouring-line colour O, green
};

template <int V>
inline site_colours colour_site(const neighbours& s) {
  const __m128i dh = abs_diff16<V>(s.l, s.r);
  const __m128i dv = abs_diff16<V>(s.u, s.d);
  const __m128i gh = _mm_srli_epi16(_mm_add_epi16(s.l, s.r), 1);
  const __m128i gv = _mm_srli_epi16(_mm_add_epi16(s.u, s.d), 1);
  const __m128i g4 = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(s.l, s.r), _mm_add_epi16(s.u, s.d)), 2);
  __m128i g = select16<V>(_mm_cmplt_epi16(dh, dv), gh, g4);
  g = select16<V>(_mm_cmpgt_epi16(dh, dv), gv, g);
  const __m128i diag = _mm_add_epi16(_mm_add_epi16(s.ul, s.ur), _mm_add_epi16(s.dl, s.dr));
  return {s.c, _mm_srli_epi16(diag, 2), g};
}

template <int V, bool GF>
inline site_colours green_site(const neighbours& s) {
  __m128i g = s.c;
  if constexpr (GF) {
    const __m128i limit = _mm_set1_epi16(kGreenFixLimit);
    const __m128i flat = _mm_and_si128(_mm_cmplt_epi16(abs_diff16<V>(s.ul, s.ur), limit),
                                       _mm_cmplt_epi16(abs_diff16<V>(s.ul, s.dl), limit));
    const __m128i diag = _mm_add_epi16(_mm_add_epi16(s.ul, s.ur), _mm_add_epi16(s.dl, s.dr));
    const __m128i fixed = _mm_srli_epi16(_mm_add_epi16(_mm_slli_epi16(s.c, 2), diag), 3);
    g = select16<V>(flat, fixed, g);
  }
  return {_mm_srli_epi16(_mm_add_epi16(s.l, s.r), 1), _mm_srli_epi16(_mm_add_epi16(s.u, s.d), 1), g};
}

// Sixteen pixels from column x; the site at column x is green when
// ChunkGreenFirst. Reads columns x - 1 .. x + 16 of the three lines.
template <int V, out_kind O, bool CM, bool GF, bool RedLine, bool ChunkGreenFirst>
inline void debayer_chunk(const line_args& a, int x) {
  const __m128i p_m1 = load16(a.prev + x - 1), p0 = load16(a.prev + x), p_p1 = load16(a.prev + x + 1);
  const __m128i c_m1 = load16(a.cur + x - 1), c0 = load16(a.cur + x), c_p1 = load16(a.cur + x + 1);
  const __m128i n_m1 = load16(a.next + x - 1), n0 = load16(a.next + x), n_p1 = load16(a.next + x + 1);
  // Even lanes: columns x, x + 2, ..; odd lanes: x + 1, x + 3, ..
  const neighbours even = {even_lanes(c0),  even_lanes(c_m1), odd_lanes(c0),   even_lanes(p0), even_lanes(n0),
                           even_lanes(p_m1), odd_lanes(p0),    even_lanes(n_m1), odd_lanes(n0)};
  const neighbours odd = {odd_lanes(c0),  even_lanes(c0), odd_lanes(c_p1), odd_lanes(p0), odd_lanes(n0),
                          even_lanes(p0), odd_lanes(p_p1), even_lanes(n0),  odd_lanes(n_p1)};
  const site_colours se = ChunkGreenFirst ? green_site<V, GF>(even) : colour_site<V>(even);
  const site_colours so = ChunkGreenFirst ? colour_site<V>(odd) : green_site<V, GF>(odd);
  __m128i r_e = RedLine ? se.own : se.other, b_e = RedLine ? se.other : se.own, g_e = se.g;
  __m128i r_o = RedLine ? so.own : so.other, b_o = RedLine ? so.other : so.own, g_o = so.g;
  if constexpr (CM) {
    const matrix_lanes& m = *a.lanes;
    const __m128i r2e = matrix_row(r_e, g_e, b_e, m.rg[0], m.b0[0]);
    const __m128i g2e = matrix_row(r_e, g_e, b_e, m.rg[1], m.b0[1]);
    const __m128i b2e = matrix_row(r_e, g_e, b_e, m.rg[2], m.b0[2]);
    const __m128i r2o = matrix_row(r_o, g_o, b_o, m.rg[0], m.b0[0]);
    const __m128i g2o = matrix_row(r_o, g_o, b_o, m.rg[1], m.b0[1]);
    const __m128i b2o = matrix_row(r_o, g_o, b_o, m.rg[2], m.b0[2]);
    r_e = r2e, g_e = g2e, b_e = b2e, r_o = r2o, g_o = g2o, b_o = b2o;
  }
  if constexpr (O == out_kind::yuv8p) {
    const auto luma = [](__m128i r, __m128i g, __m128i b) {
      // 29 B + 76 R + 150 G <= 65025: exact in unsigned 16-bit lanes.
      const __m128i s = _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(b, _mm_set1_epi16(29)),
                                                    _mm_mullo_epi16(r, _mm_set1_epi16(76))),
                                      _mm_mullo_epi16(g, _mm_set1_epi16(150)));
      return _mm_srli_epi16(s, 8);
    };
    store16(a.out0 + x, join_bytes(luma(r_e, g_e, b_e), luma(r_o, g_o, b_o)));
    store16(a.out1 + x, join_bytes(chroma_row(b_e, r_e, g_e, 131, -44, -86), chroma_row(b_o, r_o, g_o, 131, -44, -86)));
    store16(a.out2 + x, join_bytes(chroma_row(r_e, b_e, g_e, 131, -21, -109), chroma_row(r_o, b_o, g_o, 131, -21, -109)));
  } else {
    constexpr int kBytes = O == out_kind::rgb24 ? 3 : 4;
    store_rgb<V>(a.out0 + kBytes * x, join_bytes(b_e, b_o), join_bytes(g_e, g_o), join_bytes(r_e, r_o),
                 O == out_kind::rgb32);
  }
}

// ----------------------------------------------------------------- line ----

// The vector part of a line: whole chunks from column 1 while their reads
// stay inside the line. Returns the number of pixels done.
template <int V, out_kind O, bool CM, bool GF, bool RedLine, bool GreenFirst>
inline int debayer_line_vector(const line_args& a) {
  if constexpr (V == v_plain) {
    return 0;
  } else {
    int x = 1;  // column 1 is green when column 0 is not
    for (; x + kChunk + 1 <= a.dim_x; x += kChunk) debayer_chunk<V, O, CM, GF, RedLine, !GreenFirst>(a, x);
    return x - 1;
  }
}

template <int V, out_kind O, bool CM, bool GF, bool RedLine, bool GreenFirst>
void debayer_line(const line_args& a) {
  const int done = debayer_line_vector<V, O, CM, GF, RedLine, GreenFirst>(a);
  for (int x = 1 + done; x <= a.dim_x - 2; ++x) debayer_pixel<O, CM, GF, RedLine, GreenFirst>(a, x);
  copy_border_pixels<O>(a);
}

// Routines of one variant: [output kind][flag combination][line kind].
template <int V, out_kind O, bool CM, bool GF>
struct line_set {
  static constexpr line_fn kinds[line_kind_count] = {
      debayer_line<V, O, CM, GF, false, false>,  // blue line, colour first
      debayer_line<V, O, CM, GF, false, true>,   // blue line, green first
      debayer_line<V, O, CM, GF, true, false>,   // red line, colour first
      debayer_line<V, O, CM, GF, true, true>,    // red line, green first
  };
};

template <int V, out_kind O>
inline line_fn line_for_flags(int flag_combination, int line_kind) {
  switch (flag_combination & 3) {
    case 0: return line_set<V, O, false, false>::kinds[line_kind & 3];
    case 1: return line_set<V, O, true, false>::kinds[line_kind & 3];
    case 2: return line_set<V, O, false, true>::kinds[line_kind & 3];
    default: return line_set<V, O, true, true>::kinds[line_kind & 3];
  }
}

template <int V>
inline line_fn line_for(out_kind out, int flag_combination, int line_kind) {
  switch (out) {
    case out_kind::rgb24: return line_for_flags<V, out_kind::rgb24>(flag_combination, line_kind);
    case out_kind::rgb32: return line_for_flags<V, out_kind::rgb32>(flag_combination, line_kind);
    default: return line_for_flags<V, out_kind::yuv8p>(flag_combination, line_kind);
  }
}

}  // namespace
}  // namespace debayer_detail
}  // namespace img
