// The matrix debayer's line routines for AVX2: 8-bit samples 32 pixels per
// step in 16-bit lanes (pmaddwd over pairs of groups, as the SSSE3 form),
// 16-bit samples 16 pixels per step in single-precision lanes (the sums of the
// plain form, lane for lane). The line ends use the plain code. The whole
// file is built for AVX2; its routines run only when img::avx2_allowed.
#include <immintrin.h>

#pragma GCC target("avx2")

#include "by16/by16_transform_matrix_kernels.h"
#include "img/avx2_kernels.h"

namespace img {
namespace matrix_detail {
namespace {

using namespace avx2_detail;

constexpr int kStep8 = 32;   // pixels per step, 8-bit
constexpr int kStep16 = 16;  // pixels per step, 16-bit

// ------------------------------------------------------------- 8-bit ----

struct row_weights8 {
  __m256i w01, w23, w45, offset;
};

// Sixteen pixels of one output row from the groups in 16-bit lanes.
inline __m256i row16(const row_weights8& r, const __m256i g[group_count], __m128i shift) {
  const auto sum = [&](bool high) {
    const auto pairs = [high](__m256i a, __m256i b) {
      return high ? _mm256_unpackhi_epi16(a, b) : _mm256_unpacklo_epi16(a, b);
    };
    const __m256i s = _mm256_add_epi32(_mm256_add_epi32(r.offset, _mm256_madd_epi16(pairs(g[0], g[1]), r.w01)),
                                       _mm256_add_epi32(_mm256_madd_epi16(pairs(g[2], g[3]), r.w23),
                                                        _mm256_madd_epi16(pairs(g[4], g[5]), r.w45)));
    return _mm256_sra_epi32(s, shift);
  };
  return _mm256_packs_epi32(sum(false), sum(true));
}

// The five source lines and three output lines of a line routine, held in
// locals: stores through byte pointers could alias line_args, which the
// compiler would then read again after every store.
struct line_pointers {
  const uint8_t* in[5];
  uint8_t* out[3];
  explicit line_pointers(const line_args& a) {
    for (int i = 0; i < 5; ++i) in[i] = a.lines[i];
    for (int i = 0; i < 3; ++i) out[i] = a.out[i];
  }
};

// The six groups of sixteen pixels from column x in 16-bit lanes.
inline void groups16(const line_pointers& l, int x, __m256i g[group_count]) {
  const auto w = [&](int line, int offset) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(l.in[line] + x + offset)));
  };
  g[0] = w(2, 0);
  g[1] = _mm256_add_epi16(w(2, -1), w(2, 1));
  g[2] = _mm256_add_epi16(w(2, -2), w(2, 2));
  g[3] = _mm256_add_epi16(w(1, 0), w(3, 0));
  g[4] = _mm256_add_epi16(_mm256_add_epi16(w(1, -1), w(1, 1)), _mm256_add_epi16(w(3, -1), w(3, 1)));
  g[5] = _mm256_add_epi16(w(0, 0), w(4, 0));
}

template <kind8 K>
void line8_avx2(const line_args& a) {
  // (even, odd) weight pairs for pmaddwd; the lanes of each 128-bit half
  // hold pixels of alternating columns, starting with an even one.
  row_weights8 rows[3];
  for (int row = 0; row < 3; ++row) {
    const auto pairs = [&](int p, int q) {
      return _mm256_broadcastsi128_si256(weight_pairs(*a.even, *a.odd, row, p, q));
    };
    rows[row] = {pairs(0, 1), pairs(2, 3), pairs(4, 5),
                 _mm256_setr_epi32(a.even->offset[row], a.odd->offset[row], a.even->offset[row], a.odd->offset[row],
                                   a.even->offset[row], a.odd->offset[row], a.even->offset[row], a.odd->offset[row])};
  }
  const __m128i shift = _mm_cvtsi32_si128(a.shift);
  const line_pointers l(a);
  const int end = a.dim_x - kStep8 - 2;
  int x = 0;
  for (; x < kFirstInner; ++x) pixel8<K>(a, x);
  // Reads columns x - 2 .. x + 33.
  for (; x <= end; x += kStep8) {
    // One half of sixteen pixels at a time keeps the registers for the weights.
    __m256i half[2][3];
    for (int h = 0; h < 2; ++h) {
      __m256i g[group_count];
      groups16(l, x + 16 * h, g);
      for (int row = 0; row < 3; ++row) half[h][row] = row16(rows[row], g, shift);
    }
    __m256i v[3];
    for (int row = 0; row < 3; ++row) v[row] = pack_bytes(half[0][row], half[1][row]);
    if constexpr (K == kind8::yuv8p) {
      for (int row = 0; row < 3; ++row) store32(l.out[row] + x, v[row]);
    } else if constexpr (K == kind8::rgb24) {
      store_bgr96(l.out[0] + 3 * x, v[2], v[1], v[0]);  // rows R, G, B; bytes B, G, R
    } else {
      store_bgrx128(l.out[0] + 4 * x, v[2], v[1], v[0]);
    }
  }
  for (; x < a.dim_x; ++x) pixel8<K>(a, x);
}

// ------------------------------------------------------------ 16-bit ----

void line16_avx2(const line_args& a) {
  __m256 w[3][group_count], offset[3];
  for (int row = 0; row < 3; ++row) {
    const float e = a.even16->offset[row], o = a.odd16->offset[row];
    offset[row] = _mm256_setr_ps(e, o, e, o, e, o, e, o);
    for (int p = 0; p < group_count; ++p) {
      const float we = a.even16->w[row][p], wo = a.odd16->w[row][p];
      w[row][p] = _mm256_setr_ps(we, wo, we, wo, we, wo, we, wo);
    }
  }
  const __m256 zero = _mm256_setzero_ps(), top = _mm256_set1_ps(65535.0f);
  const line_pointers l(a);
  const int end = a.dim_x - kStep16 - 2;
  int x = 0;
  for (; x < kFirstInner; ++x) pixel16(a, x);
  // Reads columns x - 2 .. x + 17.
  for (; x <= end; x += kStep16) {
    __m256i out[3][2];
    for (int half = 0; half < 2; ++half) {
      const int c = x + 8 * half;
      const auto s = [&](int line, int offset) {
        return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(l.in[line] + 2 * (c + offset))));
      };
      // The centre and the differences of the other groups from it.
      const __m256i centre = s(2, 0), c2 = _mm256_add_epi32(centre, centre), c4 = _mm256_add_epi32(c2, c2);
      const auto diff = [&](__m256i a, __m256i b, __m256i c) {
        return _mm256_cvtepi32_ps(_mm256_sub_epi32(_mm256_add_epi32(a, b), c));
      };
      __m256 g[group_count];
      g[0] = _mm256_cvtepi32_ps(centre);
      g[1] = diff(s(2, -1), s(2, 1), c2);
      g[2] = diff(s(2, -2), s(2, 2), c2);
      g[3] = diff(s(1, 0), s(3, 0), c2);
      g[4] = diff(_mm256_add_epi32(s(1, -1), s(1, 1)), _mm256_add_epi32(s(3, -1), s(3, 1)), c4);
      g[5] = diff(s(0, 0), s(4, 0), c2);
      for (int row = 0; row < 3; ++row) {
        __m256 acc = offset[row];
        for (int p = 0; p < group_count; ++p) acc = _mm256_add_ps(acc, _mm256_mul_ps(w[row][p], g[p]));
        out[row][half] = _mm256_cvttps_epi32(_mm256_min_ps(_mm256_max_ps(acc, zero), top));
      }
    }
    for (int row = 0; row < 3; ++row) store32(l.out[row] + 2 * x, pack_words(out[row][0], out[row][1]));
  }
  for (; x < a.dim_x; ++x) pixel16(a, x);
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

}  // namespace matrix_detail
}  // namespace img
