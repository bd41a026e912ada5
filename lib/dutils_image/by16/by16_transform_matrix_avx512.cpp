// The 16-bit matrix debayer's line routines for AVX-512: 32 pixels per step,
// the sixteen even and the sixteen odd columns apart in single-precision
// lanes, with the fused steps of the plain form lane for lane over the
// sites' groups. Lines of at least 64 pixels; the line ends run as steps on
// short copies with the mirrored columns beside them. The whole file is built for AVX-512 F, DQ, BW and VL;
// its routines run only when img::avx512_allowed.
#include <immintrin.h>

#pragma GCC target("avx512f,avx512dq,avx512bw,avx512vl")

#include "by16/by16_transform_matrix.h"
#include "img/avx512_kernels.h"

namespace img {
namespace matrix_detail {
namespace {

using namespace avx512_detail;

constexpr int kStep = 32;  // pixels per step


inline __m512i add32(__m512i a, __m512i b) { return _mm512_add_epi32(a, b); }
// The weights of the line's two sites; one of them is red or blue, the
// other green.
struct line_weights {
  __m512 w[2][3][max_terms16], offset[2][3];  // [even, odd site][row][term]
  bool even_colour;                           // the even columns are the red or blue sites
  bool bounded;                               // every sum below 2^31
  explicit line_weights(const line_args& a) : even_colour(a.even16->colour), bounded(a.bounded16) {
    const site_weights16* sites[2] = {a.even16, a.odd16};
    for (int k = 0; k < 2; ++k)
      for (int row = 0; row < 3; ++row) {
        offset[k][row] = _mm512_set1_ps(sites[k]->offset[row]);
        for (int t = 0; t < max_terms16; ++t) w[k][row][t] = _mm512_set1_ps(sites[k]->w[row][t]);
      }
  }
};

// The three rows of one site's sixteen columns from its centre c and groups
// g1 .. g5 (the fused steps of the plain form over the site's terms), as
// truncated 32-bit values (at most 65535 unless Bounded; negative below 0).
template <bool Colour, bool Bounded>
__attribute__((always_inline)) inline void site(const __m512 w[3][max_terms16], const __m512 offset[3], __m512i c, __m512i g1, __m512i g2,
                 __m512i g3, __m512i g4, __m512i g5, __m512i out[3]) {
  constexpr int n = Colour ? 4 : max_terms16;
  __m512 term[max_terms16];
  term[0] = _mm512_cvtepi32_ps(c);
  if constexpr (Colour) {
    term[1] = _mm512_cvtepi32_ps(add32(g1, g3));
    term[2] = _mm512_cvtepi32_ps(add32(g2, g5));
    term[3] = _mm512_cvtepi32_ps(g4);
  } else {
    const __m512i g[5] = {g1, g2, g3, g4, g5};
    for (int t = 1; t < max_terms16; ++t) term[t] = _mm512_cvtepi32_ps(g[t - 1]);
  }
  const __m512 top = _mm512_set1_ps(65535.0f);
  for (int row = 0; row < 3; ++row) {
    __m512 acc = offset[row];
    for (int t = 0; t < n; ++t) acc = _mm512_fmadd_ps(w[row][t], term[t], acc);
    // Sums below 2^31 truncate exactly and are clamped by the packs that
    // follow; larger ones are first held at 65535 (min_ps(top, NaN) is NaN,
    // which truncates to INT_MIN: 0 once clamped).
    out[row] = _mm512_cvttps_epi32(Bounded ? acc : _mm512_min_ps(top, acc));
  }
}

// Y, U and V of the even (k = 0) and odd (k = 1) columns of 32 pixels from an
// even column whose samples are at xs in the lines `in` (reads xs - 2 .. xs
// + 33): lane i of out[k][row] is column 2 i + k of the 32.
template <bool EvenColour, bool Bounded>
__attribute__((always_inline)) inline void samples(const uint8_t* const in[5], const line_weights& lw, int xs, __m512i out[2][3]) {
  const __m512i low = _mm512_set1_epi32(0xFFFF);
  const auto load = [&](int line, int o) { return load64(in[line] + 2 * (xs + o)); };
  // The low sample of each 32-bit lane by masking, the high one by a shift:
  // the two run on different ports.
  const auto even = [&](__m512i v) { return _mm512_and_si512(v, low); };
  const auto odd = [&](__m512i v) { return _mm512_srli_epi32(v, 16); };
  const __m512i c_m2 = load(2, -2), c_0 = load(2, 0), c_p2 = load(2, 2);
  const __m512i c[6] = {even(c_m2), odd(c_m2), even(c_0), odd(c_0), even(c_p2), odd(c_p2)};  // o = -2 .. 3
  const __m512i u_m1 = load(1, -1), u_p1 = load(1, 1), d_m1 = load(3, -1), d_p1 = load(3, 1);
  const __m512i v13[4] = {add32(even(u_m1), even(d_m1)), add32(odd(u_m1), odd(d_m1)), add32(even(u_p1), even(d_p1)),
                          add32(odd(u_p1), odd(d_p1))};
  const __m512i uu = load(0, 0), dd = load(4, 0);
  const __m512i v04[2] = {add32(even(uu), even(dd)), add32(odd(uu), odd(dd))};
  site<EvenColour, Bounded>(lw.w[0], lw.offset[0], c[2], add32(c[1], c[3]), add32(c[0], c[4]), v13[1], add32(v13[0], v13[2]),
                   v04[0], out[0]);
  site<!EvenColour, Bounded>(lw.w[1], lw.offset[1], c[3], add32(c[2], c[4]), add32(c[1], c[5]), v13[2],
                    add32(v13[1], v13[3]), v04[1], out[1]);
}

// The steps of a line: the first 32 columns from the copy of the line's
// start; whole steps from column 32 while the reads stay inside the line;
// one step where they end if columns before the last 32 are left (it
// overlaps the one before; the pixels it does again come out the same); the
// last 32 from the copy of the line's end.
template <typename Step>
inline void steps(const line_pointers& l, int w, Step step) {
  const line_ends<2> ends(l.in, w);
  end_step(step, ends.left_in, 2, 0);
  const int end = w - kStep - 2;
  int x = kStep;
  for (; x <= end; x += kStep) {
    prefetch(l.ahead + 2 * x);
    step(l.in, x, x);
  }
  if (x < w - kStep) end_step(step, l.in, end & ~1, end & ~1);
  end_step(step, ends.right_in, 32, w - kStep);
}

template <bool EvenColour, bool Bounded>
void line16_steps(const line_args& a, const line_weights& lw) {
  const line_pointers l(a);
  // Even and odd columns of 32-bit lanes back into 16-bit samples in column
  // order (the packs clamp to 0 .. 65535).
  const __m512i interleave = _mm512_broadcast_i32x4(_mm_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15));
  steps(l, a.dim_x, [&](const uint8_t* const in[5], int xs, int x) __attribute__((always_inline)) {
    __m512i out[2][3];
    samples<EvenColour, Bounded>(in, lw, xs, out);
    for (int row = 0; row < 3; ++row)
      store64(l.out[row] + 2 * x, _mm512_shuffle_epi8(_mm512_packus_epi32(out[0][row], out[1][row]), interleave));
  });
}

// The routine of a line's sites and bounds.
template <template <bool, bool> class Routine, typename... Args>
inline auto dispatch(const line_weights& lw, Args... args) {
  if (lw.even_colour) {
    return lw.bounded ? Routine<true, true>::run(lw, args...) : Routine<true, false>::run(lw, args...);
  }
  return lw.bounded ? Routine<false, true>::run(lw, args...) : Routine<false, false>::run(lw, args...);
}

template <bool EvenColour, bool Bounded>
struct yuv_line {
  static int run(const line_weights& lw, const line_args& a) {
    line16_steps<EvenColour, Bounded>(a, lw);
    return 0;
  }
};

void line16_avx512(const line_args& a) {
  const line_weights lw(a);
  dispatch<yuv_line>(lw, a);
}

// 32 pixels of Y, U, V (even columns in `e`, odd ones in `o`, truncated
// 32-bit lanes) as B G R A samples, 64 bits a pixel, BT.601 in 14-bit fixed
// point as convert_yuv16p_to_rgb64. The packs clamp Y, U and V to 0..65535
// and leave 16-bit lanes in the order of columns 0, 2, 4, 6, 1, 3, 5, 7 of
// each eight (a 128-bit lane). With chroma u, v less 32768 and Y less 32768
// in signed lanes, R and B are Y + v + (v 26408 >> 16) and Y + u +
// ((U 50460 >> 16) - 25230): the two addends have the sign of the chroma, so
// that saturating both additions clamps the sum. G takes the exact products
// of pmaddwd. Out: columns 8 L, 8 L + 2 | 8 L + 4, 8 L + 6 of lane L in
// e01 | e23, the odd columns likewise in o01 | o23.
__attribute__((always_inline)) inline void rgb64_of(const __m512i e[3], const __m512i o[3], __m512i& e01, __m512i& e23, __m512i& o01,
                     __m512i& o23) {
  constexpr int kUg = 5636, kVg = 11698;
  const __m512i bias = _mm512_set1_epi16(static_cast<short>(0x8000));
  const __m512i y16 = _mm512_packus_epi32(e[0], o[0]), u16 = _mm512_packus_epi32(e[1], o[1]),
                v16 = _mm512_packus_epi32(e[2], o[2]);
  const __m512i ys = _mm512_xor_si512(y16, bias), uc = _mm512_xor_si512(u16, bias), vc = _mm512_xor_si512(v16, bias);
  const __m512i r = _mm512_xor_si512(
      _mm512_adds_epi16(_mm512_adds_epi16(ys, vc), _mm512_mulhi_epi16(vc, _mm512_set1_epi16(26408))), bias);
  const __m512i ub = _mm512_sub_epi16(_mm512_mulhi_epu16(u16, _mm512_set1_epi16(static_cast<short>(50460))),
                                      _mm512_set1_epi16(25230));
  const __m512i b = _mm512_xor_si512(_mm512_adds_epi16(_mm512_adds_epi16(ys, uc), ub), bias);
  const __m512i zero = _mm512_setzero_si512();
  const __m512i kg = _mm512_set1_epi32(static_cast<int>((kVg << 16) | kUg));
  const __m512i ge = _mm512_sub_epi32(_mm512_unpacklo_epi16(y16, zero),
                                      _mm512_srai_epi32(_mm512_madd_epi16(_mm512_unpacklo_epi16(uc, vc), kg), 14));
  const __m512i go = _mm512_sub_epi32(_mm512_unpackhi_epi16(y16, zero),
                                      _mm512_srai_epi32(_mm512_madd_epi16(_mm512_unpackhi_epi16(uc, vc), kg), 14));
  const __m512i g = _mm512_packus_epi32(ge, go);
  const __m512i alpha = _mm512_set1_epi32(-1);
  const __m512i bg_e = _mm512_unpacklo_epi16(b, g), bg_o = _mm512_unpackhi_epi16(b, g);
  const __m512i ra_e = _mm512_unpacklo_epi16(r, alpha), ra_o = _mm512_unpackhi_epi16(r, alpha);
  e01 = _mm512_unpacklo_epi32(bg_e, ra_e);
  e23 = _mm512_unpackhi_epi32(bg_e, ra_e);
  o01 = _mm512_unpacklo_epi32(bg_o, ra_o);
  o23 = _mm512_unpackhi_epi32(bg_o, ra_o);
}

// The 16-bit debayer with the conversion to "RGB6" in the same step; every
// column is done here.
template <bool EvenColour, bool Bounded>
struct rgb64_line {
  static column_span run(const line_weights& lw, const line_args& a, uint8_t* rgb) {
    const line_pointers l(a);
    // Even pixels and odd ones side by side: columns 0 .. 3 and 8 .. 11 from
    // the first pair of 128-bit lanes, 16 .. 19 and 24 .. 27 from the second.
    const __m512i lanes01 = _mm512_setr_epi64(0, 8, 1, 9, 2, 10, 3, 11);
    const __m512i lanes23 = _mm512_setr_epi64(4, 12, 5, 13, 6, 14, 7, 15);
    steps(l, a.dim_x, [&](const uint8_t* const in[5], int xs, int x) __attribute__((always_inline)) {
      __m512i out[2][3];
      samples<EvenColour, Bounded>(in, lw, xs, out);
      __m512i e01, e23, o01, o23;
      rgb64_of(out[0], out[1], e01, e23, o01, o23);
      const __m512i p0 = _mm512_permutex2var_epi64(e01, lanes01, o01);  // columns 0..3 | 8..11
      const __m512i p1 = _mm512_permutex2var_epi64(e01, lanes23, o01);  // 16..19 | 24..27
      const __m512i q0 = _mm512_permutex2var_epi64(e23, lanes01, o23);  // 4..7 | 12..15
      const __m512i q1 = _mm512_permutex2var_epi64(e23, lanes23, o23);  // 20..23 | 28..31
      uint8_t* d = rgb + 8 * x;
      store_low32(d, p0), store_low32(d + 32, q0), store_high32(d + 64, p0), store_high32(d + 96, q0);
      store_low32(d + 128, p1), store_low32(d + 160, q1), store_high32(d + 192, p1), store_high32(d + 224, q1);
    });
    return {0, a.dim_x};
  }
};

column_span line16_rgb64_avx512(const line_args& a, uint8_t* rgb) {
  const line_weights lw(a);
  return dispatch<rgb64_line>(lw, a, rgb);
}

}  // namespace

line_fn get_line16_avx512() { return line16_avx512; }
rgb64_fn get_line16_rgb64_avx512() { return line16_rgb64_avx512; }

}  // namespace matrix_detail
}  // namespace img
