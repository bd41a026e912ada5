// The AVX2 form of the 12-bit unpacking: the SSSE3 gather of four pixel
// pairs per 128-bit half, two halves per register and two registers per step
// (32 pixels from 48 bytes). The whole file is built for AVX2; the kernel
// runs only when img::avx2_allowed.
#include <immintrin.h>

#pragma GCC target("avx2")

#include "by12pa/by12pa_unpack_internal.h"

namespace img {
namespace by12pa_detail {
namespace {

constexpr int kPairBytes = 3;
constexpr int kStepPixels = 32;
constexpr int kStepReadBytes = 52;  // the last 16-byte load starts at byte 36

// Twelve bytes (four pairs) at `s` in the low half and at `s + 12` in the high
// half of a register.
inline __m256i two_groups(const uint8_t* s) {
  const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
  const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * kPairBytes));
  return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

}  // namespace

int unpack_line_avx2(const uint8_t* src, uint8_t* dst, int width, bool layout_d) {
  // Per output pixel the 16-bit lane (low byte = nibble byte, high byte = the
  // pixel's high eight bits) from pairs 0..3 of a 12-byte group.
  const __m256i gather = layout_d ? _mm256_broadcastsi128_si256(
                                        _mm_setr_epi8(2, 0, 2, 1, 5, 3, 5, 4, 8, 6, 8, 7, 11, 9, 11, 10))
                                  : _mm256_broadcastsi128_si256(
                                        _mm_setr_epi8(1, 0, 1, 2, 4, 3, 4, 5, 7, 6, 7, 8, 10, 9, 10, 11));
  // Even pixels keep the high byte and take the low nibble shifted up by 4;
  // odd pixels keep the high byte and the nibble byte's upper half as it is.
  const __m256i keep = _mm256_set1_epi32(static_cast<int>(0xFFF0FF00u));
  const __m256i shifted_nibble = _mm256_set1_epi32(0x000000F0);
  const int line_bytes = width / 2 * kPairBytes;
  int x = 0;
  for (; x / 2 * kPairBytes + kStepReadBytes <= line_bytes; x += kStepPixels) {
    const uint8_t* s = src + x / 2 * kPairBytes;
    for (int half = 0; half < 2; ++half) {
      const __m256i v = _mm256_shuffle_epi8(two_groups(s + 24 * half), gather);
      const __m256i out = _mm256_or_si256(_mm256_and_si256(v, keep),
                                          _mm256_and_si256(_mm256_slli_epi16(v, 4), shifted_nibble));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 2 * (x + 16 * half)), out);
    }
  }
  return x;
}

}  // namespace by12pa_detail
}  // namespace img
