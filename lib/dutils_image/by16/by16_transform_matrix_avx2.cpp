// The matrix debayer's line routines for AVX2: 8-bit samples 32 pixels per
// step in 16-bit lanes (pmaddwd over pairs of groups, as the SSSE3 form, with
// the even and odd columns apart),
// 16-bit samples 16 pixels per step in single-precision lanes (the fused
// multiply-adds of the plain form, lane for lane, over the sites' groups). The line ends use the plain code. The whole
// file is built for AVX2; its routines run only when img::avx2_allowed.
#include <immintrin.h>

#pragma GCC target("avx2,fma")

#include "by16/by16_transform_matrix_kernels.h"
#include "img/avx2_kernels.h"

namespace img {
namespace matrix_detail {
namespace {

using namespace avx2_detail;

constexpr int kStep8 = 32;   // pixels per step, 8-bit
constexpr int kStep16 = 16;  // pixels per step, 16-bit

// ------------------------------------------------------------- 8-bit ----

// The even and odd columns of 32 are done apart, sixteen of each in 16-bit
// lanes: masking and shifting a 32-byte load gives both without a shuffle,
// and the weights of a vector are those of one site.
struct row_weights8 {
  __m256i w[3];  // weight pairs of the group pairs
  __m256i offset;
};

// Sixteen pixels of one output row from N pairs of groups (lo and hi halves
// of each) in 16-bit lanes, as signed-saturated 16-bit values in the order
// of the groups' lanes.
template <int N>
inline __m256i row16(const row_weights8& r, const __m256i pairs[2 * N], __m256i shift) {
  const auto sum = [&](int half) {
    __m256i s = _mm256_add_epi32(r.offset, _mm256_madd_epi16(pairs[half], r.w[0]));
    if constexpr (N == 3) {
      return _mm256_add_epi32(s, _mm256_add_epi32(_mm256_madd_epi16(pairs[2 + half], r.w[1]),
                                                  _mm256_madd_epi16(pairs[4 + half], r.w[2])));
    } else {
      return _mm256_add_epi32(s, _mm256_madd_epi16(pairs[2 + half], r.w[1]));
    }
  };
  return _mm256_packs_epi32(_mm256_srav_epi32(sum(0), shift), _mm256_srav_epi32(sum(1), shift));
}

// The three rows of sixteen pixels of one site kind from their groups. A
// colour site (red or blue) weighs the horizontal and vertical neighbours at
// distance 1 alike, and those at distance 2 too (its kernels give the same
// weight to both, and so does every colour chain): its groups 1 and 3, and 2
// and 5, are summed first, which leaves two pairs instead of three.
template <bool Paired>
inline void rows16(const row_weights8 w[3], const __m256i g[group_count], __m256i shift, __m256i out[3]) {
  if constexpr (Paired) {
    const __m256i g13 = _mm256_add_epi16(g[1], g[3]), g25 = _mm256_add_epi16(g[2], g[5]);
    const __m256i pairs[4] = {_mm256_unpacklo_epi16(g[0], g13), _mm256_unpackhi_epi16(g[0], g13),
                              _mm256_unpacklo_epi16(g25, g[4]), _mm256_unpackhi_epi16(g25, g[4])};
    for (int row = 0; row < 3; ++row) out[row] = row16<2>(w[row], pairs, shift);
  } else {
    const __m256i pairs[6] = {_mm256_unpacklo_epi16(g[0], g[1]), _mm256_unpackhi_epi16(g[0], g[1]),
                              _mm256_unpacklo_epi16(g[2], g[3]), _mm256_unpackhi_epi16(g[2], g[3]),
                              _mm256_unpacklo_epi16(g[4], g[5]), _mm256_unpackhi_epi16(g[4], g[5])};
    for (int row = 0; row < 3; ++row) out[row] = row16<3>(w[row], pairs, shift);
  }
}

// Brings the cache line at p towards the core: the line a routine reads
// first is fetched during the line before, where its first loads would
// otherwise wait for memory (the streams the processor follows by itself
// start only after some misses of a line).
inline void prefetch(const uint8_t* p) { _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T0); }

// Whether a site's groups 1 and 3, and 2 and 5, have the same weights in
// every row.
inline bool paired_site(const site_weights& s) {
  for (int row = 0; row < 3; ++row)
    if (s.w[row][1] != s.w[row][3] || s.w[row][2] != s.w[row][5]) return false;
  return true;
}

inline row_weights8 weights8(const site_weights& s, int row, bool paired) {
  const auto pair = [&](int p, int q) {
    return _mm256_set1_epi32(static_cast<int>((static_cast<uint32_t>(static_cast<uint16_t>(s.w[row][q])) << 16) |
                                              static_cast<uint16_t>(s.w[row][p])));
  };
  if (paired) return {{pair(0, 1), pair(2, 4), _mm256_setzero_si256()}, _mm256_set1_epi32(s.offset[row])};
  return {{pair(0, 1), pair(2, 3), pair(4, 5)}, _mm256_set1_epi32(s.offset[row])};
}

template <kind8 K, bool EvenPaired, bool OddPaired>
void line8_steps(const line_args& a) {
  row_weights8 even_w[3], odd_w[3];
  for (int row = 0; row < 3; ++row) {
    even_w[row] = weights8(*a.even, row, EvenPaired);
    odd_w[row] = weights8(*a.odd, row, OddPaired);
  }
  const __m256i shift = _mm256_set1_epi32(a.shift);
  const __m256i low_bytes = _mm256_set1_epi16(0x00FF);
  const line_pointers l(a);
  const int w = a.dim_x;
  // 32 pixels from column x, whose source columns are at xs in the lines
  // `in` (reads xs - 2 .. xs + 34).
  const auto step = [&](const uint8_t* const in[5], int xs, int x) {
    // Column x + o + 2 i of a line in lane i: the low bytes of a load at x + o
    // (the masking runs on any of three ports, a shift only on two).
    const auto at = [&](int line, int o) { return _mm256_and_si256(load32(in[line] + xs + o), low_bytes); };
    // Centre line columns x - 2 .. x + 3 (+ 2 i).
    const __m256i c[6] = {at(2, -2), at(2, -1), at(2, 0), at(2, 1), at(2, 2), at(2, 3)};
    // Lines 1 and 3 summed, columns x - 1 .. x + 2; lines 0 and 4 at x, x + 1.
    const __m256i v13[4] = {_mm256_add_epi16(at(1, -1), at(3, -1)), _mm256_add_epi16(at(1, 0), at(3, 0)),
                            _mm256_add_epi16(at(1, 1), at(3, 1)), _mm256_add_epi16(at(1, 2), at(3, 2))};
    const __m256i v04[2] = {_mm256_add_epi16(at(0, 0), at(4, 0)), _mm256_add_epi16(at(0, 1), at(4, 1))};
    const __m256i ge[group_count] = {c[2],   _mm256_add_epi16(c[1], c[3]), _mm256_add_epi16(c[0], c[4]),
                                     v13[1], _mm256_add_epi16(v13[0], v13[2]), v04[0]};
    const __m256i go[group_count] = {c[3],   _mm256_add_epi16(c[2], c[4]), _mm256_add_epi16(c[1], c[5]),
                                     v13[2], _mm256_add_epi16(v13[1], v13[3]), v04[1]};
    __m256i e[3], o[3];  // rows R, G, B (or Y, U, V)
    rows16<EvenPaired>(even_w, ge, shift, e);
    rows16<OddPaired>(odd_w, go, shift, o);
    if constexpr (K == kind8::yuv8p) {
      for (int row = 0; row < 3; ++row) store32(l.out[row] + x, join_pairs(e[row], o[row]));
    } else if constexpr (K == kind8::rgb24) {
      store_bgr96_pairs(l.out[0] + 3 * x, e[2], e[1], e[0], o[2], o[1], o[0]);  // bytes B, G, R
    } else {
      store_bgrx128(l.out[0] + 4 * x, join_pairs(e[2], o[2]), join_pairs(e[1], o[1]), join_pairs(e[0], o[0]));
    }
  };
  // The first and last 32 columns come from short copies of the line ends
  // with the mirrored columns beside them (-2 and -1 are 0 and 1; w and
  // w + 1 are w - 2 and w - 1), so that the whole line runs in steps.
  uint8_t left[5][64], right[5][96];
  const uint8_t* left_in[5];
  const uint8_t* right_in[5];
  for (int k = 0; k < 5; ++k) {
    const uint8_t* line = l.in[k];
    store32(left[k] + 2, load32(line));  // columns 0 .. 61 at 2 ..
    store32(left[k] + 32, load32(line + 30));
    left[k][0] = line[0], left[k][1] = line[1];
    store32(right[k], load32(line + w - 64));  // columns w - 64 .. w - 1
    store32(right[k] + 32, load32(line + w - 32));
    store32(right[k] + 64, _mm256_setzero_si256());
    right[k][64] = line[w - 2], right[k][65] = line[w - 1];
    left_in[k] = left[k], right_in[k] = right[k];
  }
  step(left_in, 2, 0);
  // Whole steps while the reads stay inside the line, then one step where
  // they end (an even column, so the sites keep their lanes) if columns
  // before the last 32 are left; it overlaps the one before, and the pixels
  // it does again come out the same.
  const int end = w - kStep8 - 3;
  int x = kStep8;
  for (; x <= end; x += kStep8) {
    prefetch(l.ahead + x);
    step(l.in, x, x);
  }
  if (x < w - kStep8) step(l.in, end & ~1, end & ~1);
  step(right_in, 32, w - kStep8);
}

template <kind8 K>
void line8_avx2(const line_args& a) {
  const bool even = paired_site(*a.even), odd = paired_site(*a.odd);
  if (even) {
    line8_steps<K, true, false>(a);
  } else if (odd) {
    line8_steps<K, false, true>(a);
  } else {
    line8_steps<K, false, false>(a);
  }
}

// ------------------------------------------------------------ 16-bit ----

// The even and odd columns of sixteen are done apart, eight of each in
// 32-bit lanes: masking and shifting a 32-byte load gives both without a
// shuffle, and the weights of a vector are those of one site. One of the
// two sites of a line is red or blue, the other green.
struct line_weights16 {
  __m256 w[2][3][max_terms16], offset[2][3];  // [even, odd site][row][term]
  bool even_colour;                           // the even columns are the red or blue sites
  bool bounded;                               // every sum below 2^31
  explicit line_weights16(const line_args& a) : even_colour(a.even16->colour), bounded(a.bounded16) {
    const site_weights16* sites[2] = {a.even16, a.odd16};
    for (int k = 0; k < 2; ++k)
      for (int row = 0; row < 3; ++row) {
        offset[k][row] = _mm256_set1_ps(sites[k]->offset[row]);
        for (int t = 0; t < max_terms16; ++t) w[k][row][t] = _mm256_set1_ps(sites[k]->w[row][t]);
      }
  }
};

inline __m256i add32(__m256i a, __m256i b) { return _mm256_add_epi32(a, b); }

// The three rows of one site's eight columns from its centre c and groups
// g1 .. g5, as truncated 32-bit values (at most 65535 unless Bounded;
// negative below 0): the fused steps of the plain code over the site's
// terms, in its order.
template <bool Colour, bool Bounded>
__attribute__((always_inline)) inline void site16(const __m256 w[3][max_terms16], const __m256 offset[3], __m256i c, __m256i g1, __m256i g2,
                   __m256i g3, __m256i g4, __m256i g5, __m256i out[3]) {
  constexpr int n = Colour ? 4 : max_terms16;
  __m256 term[max_terms16];
  term[0] = _mm256_cvtepi32_ps(c);
  if constexpr (Colour) {
    term[1] = _mm256_cvtepi32_ps(add32(g1, g3));
    term[2] = _mm256_cvtepi32_ps(add32(g2, g5));
    term[3] = _mm256_cvtepi32_ps(g4);
  } else {
    const __m256i g[5] = {g1, g2, g3, g4, g5};
    for (int t = 1; t < max_terms16; ++t) term[t] = _mm256_cvtepi32_ps(g[t - 1]);
  }
  const __m256 top = _mm256_set1_ps(65535.0f);
  for (int row = 0; row < 3; ++row) {
    __m256 acc = offset[row];
    for (int t = 0; t < n; ++t) acc = _mm256_fmadd_ps(w[row][t], term[t], acc);
    // Sums below 2^31 truncate exactly and are clamped by the packs that
    // follow; larger ones are first held at 65535 (min_ps(top, NaN) is NaN,
    // which truncates to INT_MIN: 0 once clamped, as in the plain form).
    out[row] = _mm256_cvttps_epi32(Bounded ? acc : _mm256_min_ps(top, acc));
  }
}

// Y, U and V of the even (k = 0) and odd (k = 1) columns of sixteen pixels
// from an even column whose samples are at xs in the lines `in` (reads xs -
// 2 .. xs + 17), as truncated 32-bit values of at most 65535 (to be clamped
// at 0 by the caller): lane i of out[k][row] is column 2 i + k of the
// sixteen.
template <bool EvenColour, bool Bounded>
__attribute__((always_inline)) inline void samples16(const uint8_t* const in[5], const line_weights16& lw, int xs, __m256i out[2][3]) {
  const __m256i low = _mm256_set1_epi32(0xFFFF);
  // The high sample of each 32-bit lane moved down by a byte shuffle rather
  // than a shift (shifts run on two of the three vector ports, shuffles on
  // the third).
  const __m256i high = _mm256_setr_epi8(2, 3, -1, -1, 6, 7, -1, -1, 10, 11, -1, -1, 14, 15, -1, -1,  //
                                        2, 3, -1, -1, 6, 7, -1, -1, 10, 11, -1, -1, 14, 15, -1, -1);
  const auto load = [&](int line, int o) { return load32(in[line] + 2 * (xs + o)); };
  const auto even = [&](__m256i v) { return _mm256_and_si256(v, low); };
  const auto odd = [&](__m256i v) { return _mm256_shuffle_epi8(v, high); };
  // Column o + 2 i of each line in lane i.
  const __m256i c_m2 = load(2, -2), c_0 = load(2, 0), c_p2 = load(2, 2);
  const __m256i c[6] = {even(c_m2), odd(c_m2), even(c_0), odd(c_0), even(c_p2), odd(c_p2)};  // o = -2 .. 3
  const __m256i u_m1 = load(1, -1), u_p1 = load(1, 1), d_m1 = load(3, -1), d_p1 = load(3, 1);
  const __m256i v13[4] = {add32(even(u_m1), even(d_m1)), add32(odd(u_m1), odd(d_m1)), add32(even(u_p1), even(d_p1)),
                          add32(odd(u_p1), odd(d_p1))};
  const __m256i uu = load(0, 0), dd = load(4, 0);
  const __m256i v04[2] = {add32(even(uu), even(dd)), add32(odd(uu), odd(dd))};
  // The groups of column k: centre, horizontal 1 and 2, vertical 1,
  // diagonal, vertical 2.
  site16<EvenColour, Bounded>(lw.w[0], lw.offset[0], c[2], add32(c[1], c[3]), add32(c[0], c[4]), v13[1],
                     add32(v13[0], v13[2]), v04[0], out[0]);
  site16<!EvenColour, Bounded>(lw.w[1], lw.offset[1], c[3], add32(c[2], c[4]), add32(c[1], c[5]), v13[2],
                      add32(v13[1], v13[3]), v04[1], out[1]);
}

// The line ends with their mirrored columns beside them (-2 and -1 are 0
// and 1; w and w + 1 are w - 2 and w - 1), so that the first and last
// sixteen columns run as steps too: column 0 at sample 2 of `left`, column
// w - 16 at sample 16 of `right`.
struct line_ends16 {
  uint8_t left[5][64], right[5][96];
  const uint8_t* left_in[5];
  const uint8_t* right_in[5];
  line_ends16(const line_pointers& l, int w) {
    const uint8_t* const* in = l.in;
    for (int k = 0; k < 5; ++k) {
      const uint8_t* line = in[k];
      store32(left[k] + 4, load32(line));  // columns 0 .. 29 at 2 ..
      store32(left[k] + 32, load32(line + 28));
      store32(right[k], load32(line + 2 * w - 64));  // columns w - 32 .. w - 1
      store32(right[k] + 32, load32(line + 2 * w - 32));
      store32(right[k] + 64, _mm256_setzero_si256());
      for (int b = 0; b < 4; ++b) left[k][b] = line[b], right[k][64 + b] = line[2 * w - 4 + b];
      left_in[k] = left[k], right_in[k] = right[k];
    }
  }
};

// The steps of a line: the first sixteen columns from the copy of the line's
// start; whole steps from column 16 while the reads
// stay inside the line; one step where they end if columns before the last
// sixteen are left (it overlaps the one before; the pixels it does again
// come out the same); the last sixteen from the copy of the line's end.
// step(in, xs, x) stores the sixteen pixels from column x; the steps of the
// loop are inlined into it (each would otherwise be a call that reloads the
// weights).
template <typename Step>
inline void steps16(const line_pointers& l, int w, Step step) {
  const line_ends16 ends(l, w);
  end_step(step, ends.left_in, 2, 0);
  const int end = w - kStep16 - 2;
  int x = kStep16;
  for (; x <= end; x += kStep16) {
    prefetch(l.ahead + 2 * x);
    step(l.in, x, x);
  }
  if (x < w - kStep16) end_step(step, l.in, end & ~1, end & ~1);
  end_step(step, ends.right_in, 16, w - kStep16);
}

template <bool EvenColour, bool Bounded>
struct yuv_line16 {
  static int run(const line_weights16& lw, const line_args& a) {
    const line_pointers l(a);
    // Even and odd columns of 32-bit lanes back into 16-bit samples in
    // column order (the packs clamp to 0 .. 65535).
    const __m256i interleave = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15,  //
                                                0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
    steps16(l, a.dim_x, [&](const uint8_t* const in[5], int xs, int x) __attribute__((always_inline)) {
      __m256i out[2][3];
      samples16<EvenColour, Bounded>(in, lw, xs, out);
      for (int row = 0; row < 3; ++row)
        store32(l.out[row] + 2 * x, _mm256_shuffle_epi8(_mm256_packus_epi32(out[0][row], out[1][row]), interleave));
    });
    return 0;
  }
};

// The routine of a line's sites and bounds.
template <template <bool, bool> class Routine, typename... Args>
inline auto dispatch16(const line_weights16& lw, Args... args) {
  if (lw.even_colour) {
    return lw.bounded ? Routine<true, true>::run(lw, args...) : Routine<true, false>::run(lw, args...);
  }
  return lw.bounded ? Routine<false, true>::run(lw, args...) : Routine<false, false>::run(lw, args...);
}

void line16_avx2(const line_args& a) {
  const line_weights16 lw(a);
  dispatch16<yuv_line16>(lw, a);
}

// Sixteen pixels of Y, U, V (even columns in `e`, odd ones in `o`, truncated
// 32-bit lanes) as B G R A samples, 64 bits a pixel, BT.601 in 14-bit fixed
// point as convert_yuv16p_to_rgb64. The packs clamp Y, U and V to 0..65535
// and leave 16-bit lanes in the order of columns 0, 2, 4, 6, 1, 3, 5, 7 of
// each eight (a 128-bit lane). With chroma u, v less 32768 and Y less 32768
// in signed lanes, R and B are Y + v + (v 26408 >> 16) and Y + u +
// ((U 50460 >> 16) - 25230): the two addends have the sign of the chroma, so
// that saturating both additions clamps the sum. G takes the exact products
// of pmaddwd. Out: columns 8 L, 8 L + 2 | 8 L + 4, 8 L + 6 of lane L in
// e01 | e23, the odd columns likewise in o01 | o23.
__attribute__((always_inline)) inline void rgb64_of(const __m256i e[3], const __m256i o[3], __m256i& e01,
                                                    __m256i& e23, __m256i& o01, __m256i& o23) {
  constexpr int kUg = 5636, kVg = 11698;
  const __m256i bias = _mm256_set1_epi16(static_cast<short>(0x8000));
  const __m256i y16 = _mm256_packus_epi32(e[0], o[0]), u16 = _mm256_packus_epi32(e[1], o[1]),
                v16 = _mm256_packus_epi32(e[2], o[2]);
  const __m256i ys = _mm256_xor_si256(y16, bias), uc = _mm256_xor_si256(u16, bias), vc = _mm256_xor_si256(v16, bias);
  const __m256i r = _mm256_xor_si256(
      _mm256_adds_epi16(_mm256_adds_epi16(ys, vc), _mm256_mulhi_epi16(vc, _mm256_set1_epi16(26408))), bias);
  const __m256i ub = _mm256_sub_epi16(_mm256_mulhi_epu16(u16, _mm256_set1_epi16(static_cast<short>(50460))),
                                      _mm256_set1_epi16(25230));
  const __m256i b = _mm256_xor_si256(_mm256_adds_epi16(_mm256_adds_epi16(ys, uc), ub), bias);
  const __m256i zero = _mm256_setzero_si256();
  const __m256i kg = _mm256_set1_epi32(static_cast<int>((kVg << 16) | kUg));
  const __m256i ge = _mm256_sub_epi32(_mm256_unpacklo_epi16(y16, zero),
                                      _mm256_srai_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(uc, vc), kg), 14));
  const __m256i go = _mm256_sub_epi32(_mm256_unpackhi_epi16(y16, zero),
                                      _mm256_srai_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(uc, vc), kg), 14));
  const __m256i g = _mm256_packus_epi32(ge, go);
  const __m256i alpha = _mm256_set1_epi32(-1);
  const __m256i bg_e = _mm256_unpacklo_epi16(b, g), bg_o = _mm256_unpackhi_epi16(b, g);
  const __m256i ra_e = _mm256_unpacklo_epi16(r, alpha), ra_o = _mm256_unpackhi_epi16(r, alpha);
  e01 = _mm256_unpacklo_epi32(bg_e, ra_e);
  e23 = _mm256_unpackhi_epi32(bg_e, ra_e);
  o01 = _mm256_unpacklo_epi32(bg_o, ra_o);
  o23 = _mm256_unpackhi_epi32(bg_o, ra_o);
}

// The 16-bit debayer with the conversion to "RGB6" in the same step. Every
// column is done here. The output goes through the caches: stores past
// them measured slower on the shared machine this runs on (they wait for
// memory while the ordinary ones overlap the next steps' work).
template <bool EvenColour, bool Bounded>
struct rgb64_line16 {
  static column_span run(const line_weights16& lw, const line_args& a, uint8_t* rgb) {
    const line_pointers l(a);
    steps16(l, a.dim_x, [&](const uint8_t* const in[5], int xs, int x) __attribute__((always_inline)) {
      __m256i out[2][3];
      samples16<EvenColour, Bounded>(in, lw, xs, out);
      __m256i e01, e23, o01, o23;
      rgb64_of(out[0], out[1], e01, e23, o01, o23);
      const __m256i c01 = _mm256_unpacklo_epi64(e01, o01), c23 = _mm256_unpackhi_epi64(e01, o01);  // | 8 9, | 10 11
      const __m256i c45 = _mm256_unpacklo_epi64(e23, o23), c67 = _mm256_unpackhi_epi64(e23, o23);  // | 12 13, | 14 15
      // The halves go to their own places: stores take the upper halves
      // without a shuffle.
      const __m256i px[4] = {c01, c23, c45, c67};
      uint8_t* d = rgb + 8 * x;
      for (int k = 0; k < 4; ++k) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16 * k), _mm256_castsi256_si128(px[k]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 64 + 16 * k), _mm256_extracti128_si256(px[k], 1));
      }
    });
    return {0, a.dim_x};
  }
};

column_span line16_rgb64_avx2(const line_args& a, uint8_t* rgb) {
  const line_weights16 lw(a);
  return dispatch16<rgb64_line16>(lw, a, rgb);
}

}  // namespace

line_fn get_line8_avx2(kind8 kind) {
  switch (kind) {
    case kind8::yuv8p: return line8_avx2<kind8::yuv8p>;
    case kind8::rgb24: return line8_avx2<kind8::rgb24>;
    default: return line8_avx2<kind8::rgb32>;
  }
}

line_fn get_line16_avx2() { return line16_avx2; }
rgb64_fn get_line16_rgb64_avx2() { return line16_rgb64_avx2; }

}  // namespace matrix_detail
}  // namespace img
