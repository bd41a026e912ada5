// The plain debayer's line routines for AVX2: 32 pixels per step in the
// 256-bit registers, then the SSE4.1 step of 16 pixels and the plain code for
// what is left of the line. The arithmetic is that of the other variants
// (debayer_plain_kernels.h), lane for lane, so the output is identical. The
// whole file is built for AVX2; its routines run only after the feature mask
// has shown feature level 8 and the caller's word that the YMM state may be
// used (img::avx2_allowed).
//
// 256-bit unpack and pack instructions work within each 128-bit half, and so
// do these kernels: a pair of unpacks followed by the matching pack keeps
// every pixel in its column, and only the stores reorder halves.
#include <immintrin.h>

#pragma GCC target("avx2")

#include "by16/debayer_plain_kernels.h"
#include "img/avx2_kernels.h"

namespace img {
namespace debayer_detail {
namespace {

using namespace avx2_detail;

constexpr int kChunk32 = 32;  // pixels per AVX2 step

inline __m256i even32(__m256i v) { return _mm256_and_si256(v, _mm256_set1_epi16(0x00FF)); }
inline __m256i odd32(__m256i v) { return _mm256_srli_epi16(v, 8); }
inline __m256i abs_diff32(__m256i a, __m256i b) { return _mm256_abs_epi16(_mm256_sub_epi16(a, b)); }
// mask ? a : b, for masks of whole lanes.
inline __m256i select32(__m256i mask, __m256i a, __m256i b) { return _mm256_blendv_epi8(b, a, mask); }
inline __m256i half(__m256i a, __m256i b) { return _mm256_srli_epi16(_mm256_add_epi16(a, b), 1); }
inline __m256i clamp_u8_32(__m256i v) {
  return _mm256_min_epi16(_mm256_max_epi16(v, _mm256_setzero_si256()), _mm256_set1_epi16(255));
}
inline __m256i div64_32(__m256i v) {
  const __m256i bias = _mm256_and_si256(_mm256_srai_epi32(v, 31), _mm256_set1_epi32(63));
  return _mm256_srai_epi32(_mm256_add_epi32(v, bias), 6);
}

struct neighbours32 {
  __m256i c, l, r, u, d, ul, ur, dl, dr;
};
struct site32 {
  __m256i own, other, g;  // line colour C, neighbouring-line colour O, green
};

inline site32 colour_site32(const neighbours32& s) {
  const __m256i dh = abs_diff32(s.l, s.r), dv = abs_diff32(s.u, s.d);
  const __m256i g4 = _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(s.l, s.r), _mm256_add_epi16(s.u, s.d)), 2);
  __m256i g = select32(_mm256_cmpgt_epi16(dv, dh), half(s.l, s.r), g4);
  g = select32(_mm256_cmpgt_epi16(dh, dv), half(s.u, s.d), g);
  const __m256i diag = _mm256_add_epi16(_mm256_add_epi16(s.ul, s.ur), _mm256_add_epi16(s.dl, s.dr));
  return {s.c, _mm256_srli_epi16(diag, 2), g};
}

template <bool GF>
inline site32 green_site32(const neighbours32& s) {
  __m256i g = s.c;
  if constexpr (GF) {
    const __m256i limit = _mm256_set1_epi16(kGreenFixLimit);
    const __m256i flat = _mm256_and_si256(_mm256_cmpgt_epi16(limit, abs_diff32(s.ul, s.ur)),
                                          _mm256_cmpgt_epi16(limit, abs_diff32(s.ul, s.dl)));
    const __m256i diag = _mm256_add_epi16(_mm256_add_epi16(s.ul, s.ur), _mm256_add_epi16(s.dl, s.dr));
    g = select32(flat, _mm256_srli_epi16(_mm256_add_epi16(_mm256_slli_epi16(s.c, 2), diag), 3), g);
  }
  return {half(s.l, s.r), half(s.u, s.d), g};
}

// One row of the colour matrix over sixteen pixels (16-bit lanes, 0..255).
inline __m256i matrix_row32(__m256i r, __m256i g, __m256i b, const int16_t* rg, const int16_t* b0) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i mrg = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(rg)));
  const __m256i mb = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(b0)));
  const __m256i lo = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(r, g), mrg),
                                      _mm256_madd_epi16(_mm256_unpacklo_epi16(b, zero), mb));
  const __m256i hi = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(r, g), mrg),
                                      _mm256_madd_epi16(_mm256_unpackhi_epi16(b, zero), mb));
  return clamp_u8_32(_mm256_packs_epi32(div64_32(lo), div64_32(hi)));
}

// (wa a + wb b + wc c + 256 * 128) >> 8, clamped: a chroma row of "YU8p".
inline __m256i chroma_row32(__m256i a, __m256i b, __m256i c, int wa, int wb, int wc) {
  const __m256i k128 = _mm256_set1_epi16(128);
  const __m256i wab = _mm256_set1_epi32(static_cast<int>((static_cast<uint32_t>(wb) << 16) | static_cast<uint16_t>(wa)));
  const __m256i wc1 = _mm256_set1_epi32(static_cast<int>((256u << 16) | static_cast<uint16_t>(wc)));
  const __m256i lo = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(a, b), wab),
                                      _mm256_madd_epi16(_mm256_unpacklo_epi16(c, k128), wc1));
  const __m256i hi = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(a, b), wab),
                                      _mm256_madd_epi16(_mm256_unpackhi_epi16(c, k128), wc1));
  return clamp_u8_32(_mm256_packs_epi32(_mm256_srai_epi32(lo, 8), _mm256_srai_epi32(hi, 8)));
}

// 29 B + 76 R + 150 G <= 65025: exact in unsigned 16-bit lanes.
inline __m256i luma32(__m256i r, __m256i g, __m256i b) {
  const __m256i s = _mm256_add_epi16(
      _mm256_add_epi16(_mm256_mullo_epi16(b, _mm256_set1_epi16(29)), _mm256_mullo_epi16(r, _mm256_set1_epi16(76))),
      _mm256_mullo_epi16(g, _mm256_set1_epi16(150)));
  return _mm256_srli_epi16(s, 8);
}

inline __m256i join32(__m256i even, __m256i odd) { return _mm256_or_si256(even, _mm256_slli_epi16(odd, 8)); }

// 32 pixels from column x; the site at column x is green when
// ChunkGreenFirst. Reads columns x - 1 .. x + 32 of the three lines.
template <out_kind O, bool CM, bool GF, bool RedLine, bool ChunkGreenFirst>
inline void chunk32(const line_args& a, int x) {
  const __m256i p_m1 = load32(a.prev + x - 1), p0 = load32(a.prev + x), p_p1 = load32(a.prev + x + 1);
  const __m256i c_m1 = load32(a.cur + x - 1), c0 = load32(a.cur + x), c_p1 = load32(a.cur + x + 1);
  const __m256i n_m1 = load32(a.next + x - 1), n0 = load32(a.next + x), n_p1 = load32(a.next + x + 1);
  // Even lanes: columns x, x + 2, ..; odd lanes: x + 1, x + 3, ..
  const neighbours32 even = {even32(c0), even32(c_m1), odd32(c0),   even32(p0), even32(n0),
                             even32(p_m1), odd32(p0),  even32(n_m1), odd32(n0)};
  const neighbours32 odd = {odd32(c0),  even32(c0), odd32(c_p1), odd32(p0),  odd32(n0),
                            even32(p0), odd32(p_p1), even32(n0), odd32(n_p1)};
  const site32 se = ChunkGreenFirst ? green_site32<GF>(even) : colour_site32(even);
  const site32 so = ChunkGreenFirst ? colour_site32(odd) : green_site32<GF>(odd);
  __m256i r_e = RedLine ? se.own : se.other, b_e = RedLine ? se.other : se.own, g_e = se.g;
  __m256i r_o = RedLine ? so.own : so.other, b_o = RedLine ? so.other : so.own, g_o = so.g;
  if constexpr (CM) {
    const matrix_lanes& m = *a.lanes;
    const __m256i r2e = matrix_row32(r_e, g_e, b_e, m.rg[0], m.b0[0]);
    const __m256i g2e = matrix_row32(r_e, g_e, b_e, m.rg[1], m.b0[1]);
    const __m256i b2e = matrix_row32(r_e, g_e, b_e, m.rg[2], m.b0[2]);
    const __m256i r2o = matrix_row32(r_o, g_o, b_o, m.rg[0], m.b0[0]);
    const __m256i g2o = matrix_row32(r_o, g_o, b_o, m.rg[1], m.b0[1]);
    const __m256i b2o = matrix_row32(r_o, g_o, b_o, m.rg[2], m.b0[2]);
    r_e = r2e, g_e = g2e, b_e = b2e, r_o = r2o, g_o = g2o, b_o = b2o;
  }
  if constexpr (O == out_kind::yuv8p) {
    store32(a.out0 + x, join32(luma32(r_e, g_e, b_e), luma32(r_o, g_o, b_o)));
    store32(a.out1 + x, join32(chroma_row32(b_e, r_e, g_e, 131, -44, -86), chroma_row32(b_o, r_o, g_o, 131, -44, -86)));
    store32(a.out2 + x,
            join32(chroma_row32(r_e, b_e, g_e, 131, -21, -109), chroma_row32(r_o, b_o, g_o, 131, -21, -109)));
  } else if constexpr (O == out_kind::rgb24) {
    store_bgr96_pairs(a.out0 + 3 * x, b_e, g_e, r_e, b_o, g_o, r_o);
  } else {
    store_bgrx128(a.out0 + 4 * x, join32(b_e, b_o), join32(g_e, g_o), join32(r_e, r_o));
  }
}

template <out_kind O, bool CM, bool GF, bool RedLine, bool GreenFirst>
void line_avx2(const line_args& a) {
  int x = 1;  // column 1 is green when column 0 is not
  for (; x + kChunk32 + 1 <= a.dim_x; x += kChunk32) chunk32<O, CM, GF, RedLine, !GreenFirst>(a, x);
  // One more step where the reads end (an odd column, so the sites keep
  // their lanes) overlaps the last one; the pixels it does again come out
  // the same. Narrower lines take 16-pixel steps (16 is even too).
  const int last = ((a.dim_x - kChunk32 - 2) & ~1) + 1;
  if (last >= 1 && x < last + kChunk32) {
    chunk32<O, CM, GF, RedLine, !GreenFirst>(a, last);
    x = last + kChunk32;
  }
  for (; x + kChunk + 1 <= a.dim_x; x += kChunk) debayer_chunk<v_sse41, O, CM, GF, RedLine, !GreenFirst>(a, x);
  for (; x <= a.dim_x - 2; ++x) debayer_pixel<O, CM, GF, RedLine, GreenFirst>(a, x);
  copy_border_pixels<O>(a);
}

template <out_kind O, bool CM, bool GF>
struct avx2_set {
  static constexpr line_fn kinds[line_kind_count] = {
      line_avx2<O, CM, GF, false, false>, line_avx2<O, CM, GF, false, true>,
      line_avx2<O, CM, GF, true, false>, line_avx2<O, CM, GF, true, true>,
  };
};

template <out_kind O>
line_fn avx2_for_flags(int flag_combination, int line_kind) {
  switch (flag_combination & 3) {
    case 0: return avx2_set<O, false, false>::kinds[line_kind & 3];
    case 1: return avx2_set<O, true, false>::kinds[line_kind & 3];
    case 2: return avx2_set<O, false, true>::kinds[line_kind & 3];
    default: return avx2_set<O, true, true>::kinds[line_kind & 3];
  }
}

}  // namespace

line_fn get_line_avx2(out_kind out, int flag_combination, int line_kind) {
  switch (out) {
    case out_kind::rgb24: return avx2_for_flags<out_kind::rgb24>(flag_combination, line_kind);
    case out_kind::rgb32: return avx2_for_flags<out_kind::rgb32>(flag_combination, line_kind);
    default: return avx2_for_flags<out_kind::yuv8p>(flag_combination, line_kind);
  }
}

}  // namespace debayer_detail
}  // namespace img
