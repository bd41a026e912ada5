// The 8-bit matrix debayer's line routines for AVX-512 as templates over
// the use of AVX-512 VNNI: 64 pixels per step, the 32 even and the 32 odd
// columns apart in 16-bit lanes, pmaddwd over pairs of groups as the AVX2
// form does (with VNNI, vpdpwssd adds each product pair to its sum in the
// same instruction). Lines of at least 128 pixels; the line ends run as
// steps on short copies with the mirrored columns beside them. Included only
// by the AVX-512 units, each built for its own target; internal linkage keeps
// the copies apart.
#pragma once

#include <immintrin.h>
#include <stdint.h>

#include "by16/by16_transform_matrix.h"
#include "img/avx2_kernels.h"  // the byte-pair rotations of the B G R output (tables only)
#include "img/avx512_kernels.h"

namespace img {
namespace matrix_detail {
namespace {

using namespace avx512_detail;

constexpr int kStep = 64;  // pixels per step

// The weight pairs of one output row, for pmaddwd over interleaved groups.
struct row_weights {
  __m512i w[3];
  __m512i offset;
};

// Whether a site's groups 1 and 3, and 2 and 5, have the same weights in
// every row.
inline bool paired_site(const site_weights& s) {
  for (int row = 0; row < 3; ++row)
    if (s.w[row][1] != s.w[row][3] || s.w[row][2] != s.w[row][5]) return false;
  return true;
}

__attribute__((always_inline)) inline void set_row_weights(row_weights& r, const site_weights& s,
                                                           int row, bool paired) {
  const auto pair = [&](int p, int q) {
    return _mm512_set1_epi32(
        static_cast<int>((static_cast<uint32_t>(static_cast<uint16_t>(s.w[row][q])) << 16) |
                         static_cast<uint16_t>(s.w[row][p])));
  };
  r.w[0] = pair(0, 1);
  r.w[1] = paired ? pair(2, 4) : pair(2, 3);
  r.w[2] = paired ? _mm512_setzero_si512() : pair(4, 5);
  r.offset = _mm512_set1_epi32(s.offset[row]);
}

// 32 pixels of one output row from N pairs of groups (lo and hi halves of
// each) in 16-bit lanes, as signed-saturated 16-bit values in the order of
// the groups' lanes (unpack and pack both work within 128-bit lanes).
template <bool Vnni, int N>
__attribute__((always_inline)) inline __m512i row32(const row_weights& r,
                                                    const __m512i pairs[2 * N],
                                                    const __m512i& shift) {
  __m512i s[2];
  for (int half = 0; half < 2; ++half) {
    if constexpr (Vnni) {
      // vpdpwssd: the pmaddwd and the addition in one instruction (both
      // wrap modulo 2^32; the sums stay inside 32 bits anyway).
      __m512i a = _mm512_dpwssd_epi32(r.offset, pairs[half], r.w[0]);
      a = _mm512_dpwssd_epi32(a, pairs[2 + half], r.w[1]);
      if constexpr (N == 3) a = _mm512_dpwssd_epi32(a, pairs[4 + half], r.w[2]);
      s[half] = a;
    } else {
      const __m512i a = _mm512_add_epi32(r.offset, _mm512_madd_epi16(pairs[half], r.w[0]));
      if constexpr (N == 3) {
        s[half] = _mm512_add_epi32(a, _mm512_add_epi32(_mm512_madd_epi16(pairs[2 + half], r.w[1]),
                                                       _mm512_madd_epi16(pairs[4 + half], r.w[2])));
      } else {
        s[half] = _mm512_add_epi32(a, _mm512_madd_epi16(pairs[2 + half], r.w[1]));
      }
    }
  }
  return _mm512_packs_epi32(_mm512_srav_epi32(s[0], shift), _mm512_srav_epi32(s[1], shift));
}

// The three rows of 32 pixels of one site kind from their groups. A colour
// site (red or blue) weighs its groups 1 and 3, and 2 and 5, alike: they are
// summed first, which leaves two pairs instead of three.
template <bool Vnni, bool Paired>
__attribute__((always_inline)) inline void rows32(const row_weights w[3],
                                                  const __m512i g[group_count],
                                                  const __m512i& shift, __m512i out[3]) {
  if constexpr (Paired) {
    const __m512i g13 = _mm512_add_epi16(g[1], g[3]), g25 = _mm512_add_epi16(g[2], g[5]);
    const __m512i pairs[4] = {_mm512_unpacklo_epi16(g[0], g13), _mm512_unpackhi_epi16(g[0], g13),
                              _mm512_unpacklo_epi16(g25, g[4]), _mm512_unpackhi_epi16(g25, g[4])};
    for (int row = 0; row < 3; ++row) out[row] = row32<Vnni, 2>(w[row], pairs, shift);
  } else {
    const __m512i pairs[6] = {_mm512_unpacklo_epi16(g[0], g[1]), _mm512_unpackhi_epi16(g[0], g[1]),
                              _mm512_unpacklo_epi16(g[2], g[3]), _mm512_unpackhi_epi16(g[2], g[3]),
                              _mm512_unpacklo_epi16(g[4], g[5]), _mm512_unpackhi_epi16(g[4], g[5])};
    for (int row = 0; row < 3; ++row) out[row] = row32<Vnni, 3>(w[row], pairs, shift);
  }
}

// Even-column and odd-column values (16-bit lanes; lane i of 128-bit lane h
// is pixel 16 h + 2 i, or 16 h + 2 i + 1) as 64 unsigned-saturated bytes in
// column order.
__attribute__((always_inline)) inline __m512i join_pairs(const __m512i& even, const __m512i& odd) {
  const __m512i interleave =
      _mm512_broadcast_i32x4(_mm_setr_epi8(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15));
  return _mm512_shuffle_epi8(_mm512_packus_epi16(even, odd), interleave);
}

// The byte shuffles of the AVX2 form's pairs (avx2_detail::kPairRotations)
// for all four 128-bit lanes.
struct pair_rotations512 {
  int8_t bytes[3][64];
};
constexpr pair_rotations512 make_pair_rotations512() {
  pair_rotations512 t{};
  for (int s = 0; s < 3; ++s)
    for (int b = 0; b < 64; ++b) t.bytes[s][b] = avx2_detail::kPairRotations.bytes[s][b % 16];
  return t;
}
constexpr pair_rotations512 kPairRotations512 = make_pair_rotations512();

// 64 pixels from their rows R, G, B (even columns in e, odd ones in o) as
// 192 bytes B G R: the byte pairs of the AVX2 form ((B, G) of the even
// pixels, (R even, B odd), (G, R) of the odd ones) rotated and blended within
// each 128-bit lane, which then holds the three 16-byte blocks of its sixteen
// pixels; two permutes per output vector gather the blocks.
__attribute__((always_inline)) inline void store_bgr192(uint8_t* dst, const __m512i e[3],
                                                        const __m512i o[3]) {
  const __m512i* rotations = reinterpret_cast<const __m512i*>(kPairRotations512.bytes);
  const auto rotation = [rotations](int s) { return _mm512_loadu_si512(rotations + s); };
  // The word blend of one 128-bit lane for all four.
  constexpr auto blend = [](int k, int s) {
    return static_cast<__mmask32>(0x01010101u * avx2_detail::pair_blend(k, s));
  };
  const __m512i p0 = _mm512_shuffle_epi8(_mm512_packus_epi16(e[2], e[1]), rotation(0));
  const __m512i p1 = _mm512_shuffle_epi8(_mm512_packus_epi16(e[0], o[2]), rotation(1));
  const __m512i p2 = _mm512_shuffle_epi8(_mm512_packus_epi16(o[1], o[0]), rotation(2));
  // x_k: block k of the 48 bytes of pixels 16 L .. 16 L + 15 in lane L.
  const __m512i x0 =
      _mm512_mask_blend_epi16(blend(0, 2), _mm512_mask_blend_epi16(blend(0, 1), p0, p1), p2);
  const __m512i x1 =
      _mm512_mask_blend_epi16(blend(1, 2), _mm512_mask_blend_epi16(blend(1, 1), p0, p1), p2);
  const __m512i x2 =
      _mm512_mask_blend_epi16(blend(2, 2), _mm512_mask_blend_epi16(blend(2, 1), p0, p1), p2);
  // Output blocks in order: x0.0 x1.0 x2.0 x0.1 | x1.1 x2.1 x0.2 x1.2 |
  // x2.2 x0.3 x1.3 x2.3 (x_k.L: lane L of x_k); quadwords 0 .. 7 of x0,
  // 8 .. 15 of x1 in the two-source permutes, then those of x2 put in.
  const __m512i t0 = _mm512_permutex2var_epi64(x0, _mm512_setr_epi64(0, 1, 8, 9, 0, 0, 2, 3), x1);
  const __m512i t1 =
      _mm512_permutex2var_epi64(x0, _mm512_setr_epi64(10, 11, 0, 0, 4, 5, 12, 13), x1);
  const __m512i t2 = _mm512_permutex2var_epi64(x0, _mm512_setr_epi64(0, 0, 6, 7, 14, 15, 0, 0), x1);
  store64(dst,
          _mm512_mask_permutexvar_epi64(t0, 0x30, _mm512_setr_epi64(0, 0, 0, 0, 0, 1, 0, 0), x2));
  store64(dst + 64,
          _mm512_mask_permutexvar_epi64(t1, 0x0C, _mm512_setr_epi64(0, 0, 2, 3, 0, 0, 0, 0), x2));
  store64(dst + 128,
          _mm512_mask_permutexvar_epi64(t2, 0xC3, _mm512_setr_epi64(4, 5, 0, 0, 0, 0, 6, 7), x2));
}

// 64 pixels (B, G, R bytes in column order) as 256 bytes B G R X. The
// unpacks take four pixels of every 128-bit lane into each output vector;
// the 32-bit lanes are first transposed four by four, so that output vector
// q receives pixels 16 q + 4 L .. 16 q + 4 L + 3 in lane L.
__attribute__((always_inline)) inline void store_bgrx256(uint8_t* dst, const __m512i& b,
                                                         const __m512i& g, const __m512i& r) {
  const __m512i transpose = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
  const __m512i bt = _mm512_permutexvar_epi32(transpose, b),
                gt = _mm512_permutexvar_epi32(transpose, g),
                rt = _mm512_permutexvar_epi32(transpose, r);
  const __m512i x8 = _mm512_set1_epi8(static_cast<char>(0xFF));
  const __m512i bg_lo = _mm512_unpacklo_epi8(bt, gt), bg_hi = _mm512_unpackhi_epi8(bt, gt);
  const __m512i rx_lo = _mm512_unpacklo_epi8(rt, x8), rx_hi = _mm512_unpackhi_epi8(rt, x8);
  store64(dst, _mm512_unpacklo_epi16(bg_lo, rx_lo));
  store64(dst + 64, _mm512_unpackhi_epi16(bg_lo, rx_lo));
  store64(dst + 128, _mm512_unpacklo_epi16(bg_hi, rx_hi));
  store64(dst + 192, _mm512_unpackhi_epi16(bg_hi, rx_hi));
}

template <bool Vnni, kind8 K, bool EvenPaired, bool OddPaired>
void line8_steps(const line_args& a) {
  row_weights even_w[3], odd_w[3];
  for (int row = 0; row < 3; ++row) {
    set_row_weights(even_w[row], *a.even, row, EvenPaired);
    set_row_weights(odd_w[row], *a.odd, row, OddPaired);
  }
  const __m512i shift = _mm512_set1_epi32(a.shift);
  const __m512i low_bytes = _mm512_set1_epi16(0x00FF);
  const line_pointers l(a);
  const int w = a.dim_x;
  // 64 pixels from the even column x, whose source columns are at xs in the
  // lines `in` (reads xs - 2 .. xs + 66).
  const auto step = [&](const uint8_t* const in[5], int xs, int x) __attribute__((always_inline)) {
    // Column x + o + 2 i of a line in lane i: the low bytes of a load at
    // x + o.
    const auto at = [&](int line, int o) {
      return _mm512_and_si512(load64(in[line] + xs + o), low_bytes);
    };
    // Centre line columns x - 2 .. x + 3 (+ 2 i).
    const __m512i c[6] = {at(2, -2), at(2, -1), at(2, 0), at(2, 1), at(2, 2), at(2, 3)};
    // Lines 1 and 3 summed, columns x - 1 .. x + 2; lines 0 and 4 at x, x + 1.
    const __m512i v13[4] = {
        _mm512_add_epi16(at(1, -1), at(3, -1)), _mm512_add_epi16(at(1, 0), at(3, 0)),
        _mm512_add_epi16(at(1, 1), at(3, 1)), _mm512_add_epi16(at(1, 2), at(3, 2))};
    const __m512i v04[2] = {_mm512_add_epi16(at(0, 0), at(4, 0)),
                            _mm512_add_epi16(at(0, 1), at(4, 1))};
    const __m512i ge[group_count] = {
        c[2],   _mm512_add_epi16(c[1], c[3]),     _mm512_add_epi16(c[0], c[4]),
        v13[1], _mm512_add_epi16(v13[0], v13[2]), v04[0]};
    const __m512i go[group_count] = {
        c[3],   _mm512_add_epi16(c[2], c[4]),     _mm512_add_epi16(c[1], c[5]),
        v13[2], _mm512_add_epi16(v13[1], v13[3]), v04[1]};
    __m512i e[3], o[3];  // rows R, G, B (or Y, U, V)
    rows32<Vnni, EvenPaired>(even_w, ge, shift, e);
    rows32<Vnni, OddPaired>(odd_w, go, shift, o);
    if constexpr (K == kind8::yuv8p) {
      for (int row = 0; row < 3; ++row) store64(l.out[row] + x, join_pairs(e[row], o[row]));
    } else if constexpr (K == kind8::rgb24) {
      store_bgr192(l.out[0] + 3 * x, e, o);
    } else {
      store_bgrx256(l.out[0] + 4 * x, join_pairs(e[2], o[2]), join_pairs(e[1], o[1]),
                    join_pairs(e[0], o[0]));
    }
  };
  // The first and last 64 columns from the copies of the line ends; whole
  // steps while the reads stay inside the line, then one step where they end
  // (an even column, so the sites keep their lanes) if columns before the
  // last 64 are left: it overlaps the one before, and the pixels it does
  // again come out the same.
  const line_ends<1> ends(l.in, w);
  end_step(step, ends.left_in, 2, 0);
  const int end = w - kStep - 3;
  int x = kStep;
  for (; x <= end; x += kStep) {
    prefetch(l.ahead + x);
    step(l.in, x, x);
  }
  if (x < w - kStep) end_step(step, l.in, end & ~1, end & ~1);
  end_step(step, ends.right_in, 64, w - kStep);
}

template <bool Vnni, kind8 K>
void line8_avx512(const line_args& a) {
  if (paired_site(*a.even)) {
    line8_steps<Vnni, K, true, false>(a);
  } else if (paired_site(*a.odd)) {
    line8_steps<Vnni, K, false, true>(a);
  } else {
    line8_steps<Vnni, K, false, false>(a);
  }
}

template <bool Vnni>
line_fn line8_avx512_for(kind8 kind) {
  switch (kind) {
    case kind8::yuv8p: return line8_avx512<Vnni, kind8::yuv8p>;
    case kind8::rgb24: return line8_avx512<Vnni, kind8::rgb24>;
    default: return line8_avx512<Vnni, kind8::rgb32>;
  }
}

}  // namespace
}  // namespace matrix_detail
}  // namespace img
