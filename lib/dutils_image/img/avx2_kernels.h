// Helpers shared by the AVX2 units (*_avx2.cpp): unaligned 256-bit loads and
// stores and the interleaving of byte planes into B G R and B G R X pixels.
// Included only by files compiled for AVX2; internal linkage.
//
// 256-bit unpack and pack instructions work within each 128-bit half. The
// kernels keep every pixel in its column by pairing each unpack with the
// matching pack; only stores (and the packs that end a step) reorder halves.
#pragma once

#include <immintrin.h>
#include <stdint.h>

namespace img {
namespace avx2_detail {
namespace {

inline __m256i load32(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
inline void store32(uint8_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

// Two vectors of sixteen 16-bit values (pixels 0..15 and 16..31) as 32
// unsigned-saturated bytes in pixel order.
inline __m256i pack_bytes(__m256i first, __m256i second) {
  return _mm256_permute4x64_epi64(_mm256_packus_epi16(first, second), 0xD8);
}
// Two vectors of eight 32-bit values as sixteen unsigned-saturated 16-bit
// values in pixel order.
inline __m256i pack_words(__m256i first, __m256i second) {
  return _mm256_permute4x64_epi64(_mm256_packus_epi32(first, second), 0xD8);
}
// The same with signed saturation (to -32768 .. 32767).
inline __m256i pack_words_signed(__m256i first, __m256i second) {
  return _mm256_permute4x64_epi64(_mm256_packs_epi32(first, second), 0xD8);
}

// Byte shuffles that gather the B, G and R bytes of chunk k (bytes 16 k ..
// 16 k + 15) of the 48 interleaved bytes of sixteen pixels, the same for both
// 128-bit halves (-128: a zero byte).
struct bgr_shuffle_table {
  int8_t bytes[3][3][32];  // [chunk][colour B, G, R][byte]
};
constexpr bgr_shuffle_table make_bgr_shuffles() {
  bgr_shuffle_table t{};
  for (int k = 0; k < 3; ++k)
    for (int colour = 0; colour < 3; ++colour)
      for (int j = 0; j < 32; ++j) {
        const int byte = 16 * k + j % 16;
        t.bytes[k][colour][j] = static_cast<int8_t>(byte % 3 == colour ? byte / 3 : -128);
      }
  return t;
}
alignas(32) constexpr bgr_shuffle_table kBgrShuffles = make_bgr_shuffles();

inline __m256i bgr_shuffle(int chunk, int colour) {
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(kBgrShuffles.bytes[chunk][colour]));
}

// 32 pixels of B, G, R (bytes in column order) as 96 bytes B G R.
inline void store_bgr96(uint8_t* dst, __m256i b, __m256i g, __m256i r) {
  __m256i x[3];  // x[k]: chunk k of pixels 0..15 in the low half, of 16..31 in the high half
  for (int k = 0; k < 3; ++k)
    x[k] = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(b, bgr_shuffle(k, 0)),
                                           _mm256_shuffle_epi8(g, bgr_shuffle(k, 1))),
                           _mm256_shuffle_epi8(r, bgr_shuffle(k, 2)));
  store32(dst, _mm256_permute2x128_si256(x[0], x[1], 0x20));       // chunks 0, 1
  store32(dst + 32, _mm256_permute2x128_si256(x[2], x[0], 0x30));  // chunks 2, 3
  store32(dst + 64, _mm256_permute2x128_si256(x[1], x[2], 0x31));  // chunks 4, 5
}

// Sixteen even-column and sixteen odd-column pixels of 32 (16-bit lanes,
// values 0..255; lane i of each 128-bit half is pixel 2 i, or 2 i + 1, of
// that half's sixteen) as 96 bytes B G R. The six vectors are packed into
// three of byte pairs, (B, G) of the even pixels, (R even, B odd) and (G, R)
// of the odd ones, which follow each other word by word in the output: one
// byte shuffle per vector puts every word where it lands in its 16-byte block,
// and word blends take each block together.
struct pair_rotation_table {
  int8_t bytes[3][32];  // [vector][byte]
};
constexpr pair_rotation_table make_pair_rotations() {
  pair_rotation_table t{};
  for (int s = 0; s < 3; ++s)
    for (int q = 0; q < 8; ++q)
      for (int k = 0; k < 3; ++k)
        if ((8 * k + q) % 3 == s)
          for (int half = 0; half < 2; ++half) {
            const int word = (8 * k + q) / 3;
            t.bytes[s][16 * half + 2 * q] = static_cast<int8_t>(word);
            t.bytes[s][16 * half + 2 * q + 1] = static_cast<int8_t>(8 + word);
          }
  return t;
}
alignas(32) constexpr pair_rotation_table kPairRotations = make_pair_rotations();
// Words of output block k that come from vector s.
constexpr int pair_blend(int k, int s) {
  int mask = 0;
  for (int q = 0; q < 8; ++q)
    if ((8 * k + q) % 3 == s) mask |= 1 << q;
  return mask;
}

constexpr int kPairBlend01 = pair_blend(0, 1), kPairBlend02 = pair_blend(0, 2);
constexpr int kPairBlend11 = pair_blend(1, 1), kPairBlend12 = pair_blend(1, 2);
constexpr int kPairBlend21 = pair_blend(2, 1), kPairBlend22 = pair_blend(2, 2);

inline __m256i pair_rotation(int s) {
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(kPairRotations.bytes[s]));
}

inline void store_bgr96_pairs(uint8_t* dst, __m256i b_e, __m256i g_e, __m256i r_e, __m256i b_o, __m256i g_o,
                              __m256i r_o) {
  const __m256i p0 = _mm256_shuffle_epi8(_mm256_packus_epi16(b_e, g_e), pair_rotation(0));
  const __m256i p1 = _mm256_shuffle_epi8(_mm256_packus_epi16(r_e, b_o), pair_rotation(1));
  const __m256i p2 = _mm256_shuffle_epi8(_mm256_packus_epi16(g_o, r_o), pair_rotation(2));
  // Block k of each half: pixels 16 h + 16 k / 3 ..
  const __m256i x0 = _mm256_blend_epi16(_mm256_blend_epi16(p0, p1, kPairBlend01), p2, kPairBlend02);
  const __m256i x1 = _mm256_blend_epi16(_mm256_blend_epi16(p0, p1, kPairBlend11), p2, kPairBlend12);
  const __m256i x2 = _mm256_blend_epi16(_mm256_blend_epi16(p0, p1, kPairBlend21), p2, kPairBlend22);
  store32(dst, _mm256_permute2x128_si256(x0, x1, 0x20));       // blocks 0, 1
  store32(dst + 32, _mm256_permute2x128_si256(x2, x0, 0x30));  // blocks 2, 3
  store32(dst + 64, _mm256_permute2x128_si256(x1, x2, 0x31));  // blocks 4, 5
}

// Even-column and odd-column values (16-bit lanes, as above, signed) as 32
// unsigned-saturated bytes in column order.
inline __m256i join_pairs(__m256i even, __m256i odd) {
  const __m256i interleave = _mm256_setr_epi8(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15,  //
                                              0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15);
  return _mm256_shuffle_epi8(_mm256_packus_epi16(even, odd), interleave);
}

// 32 pixels as 128 bytes B G R X.
inline void store_bgrx128(uint8_t* dst, __m256i b, __m256i g, __m256i r) {
  const __m256i x8 = _mm256_set1_epi8(static_cast<char>(0xFF));
  const __m256i bg_lo = _mm256_unpacklo_epi8(b, g), bg_hi = _mm256_unpackhi_epi8(b, g);
  const __m256i rx_lo = _mm256_unpacklo_epi8(r, x8), rx_hi = _mm256_unpackhi_epi8(r, x8);
  const __m256i p0 = _mm256_unpacklo_epi16(bg_lo, rx_lo);  // pixels 0..3 | 16..19
  const __m256i p1 = _mm256_unpackhi_epi16(bg_lo, rx_lo);  // pixels 4..7 | 20..23
  const __m256i p2 = _mm256_unpacklo_epi16(bg_hi, rx_hi);  // pixels 8..11 | 24..27
  const __m256i p3 = _mm256_unpackhi_epi16(bg_hi, rx_hi);  // pixels 12..15 | 28..31
  store32(dst, _mm256_permute2x128_si256(p0, p1, 0x20));
  store32(dst + 32, _mm256_permute2x128_si256(p2, p3, 0x20));
  store32(dst + 64, _mm256_permute2x128_si256(p0, p1, 0x31));
  store32(dst + 96, _mm256_permute2x128_si256(p2, p3, 0x31));
}

}  // namespace
}  // namespace avx2_detail
}  // namespace img
