// Helpers shared by the AVX-512 units (*_avx512.cpp): unaligned 512-bit
// loads and stores, the stores of 256-bit halves, a prefetch, the copies of
// a line's ends. Included only by files
// compiled for AVX-512; internal linkage. Every helper that takes or returns
// a vector is inlined: no 512-bit value crosses a call (the kernel's calling
// convention passes them by reference).
#pragma once

// GCC 12's AVX-512 intrinsics start some results from an undefined vector
// that its flow analysis then reports as maybe uninitialized.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include <immintrin.h>
#include <stdint.h>

namespace img {
namespace avx512_detail {
namespace {

__attribute__((always_inline)) inline __m512i load64(const uint8_t* p) { return _mm512_loadu_si512(p); }
__attribute__((always_inline)) inline void store64(uint8_t* p, __m512i v) { _mm512_storeu_si512(p, v); }
__attribute__((always_inline)) inline void store_low32(uint8_t* p, __m512i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm512_castsi512_si256(v));
}
__attribute__((always_inline)) inline void store_high32(uint8_t* p, __m512i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm512_extracti64x4_epi64(v, 1));
}

// Brings the cache line at p towards the core: the line a routine reads
// first is fetched during the line before, where its first loads would
// otherwise wait for memory.
inline void prefetch(const uint8_t* p) { _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T0); }

// The ends of five lines of w samples of `Bytes` bytes (lines of at least
// 128 bytes), copied with their mirrored columns beside them (-2 and -1 are
// 0 and 1; w and w + 1 are w - 2 and w - 1), so that the first and last
// steps of a line run like the others: column 0 at sample 2 of `left`, the
// last 128 bytes' columns from byte 0 of `right`, followed by the mirrored
// ones and zeros.
template <int Bytes>
struct line_ends {
  uint8_t left[5][128], right[5][192];
  const uint8_t* left_in[5];
  const uint8_t* right_in[5];
  line_ends(const uint8_t* const in[5], int w) {
    const int end = Bytes * w;
    for (int k = 0; k < 5; ++k) {
      const uint8_t* line = in[k];
      store64(left[k] + 2 * Bytes, load64(line));
      store64(left[k] + 64, load64(line + 64 - 2 * Bytes));
      store64(right[k], load64(line + end - 128));
      store64(right[k] + 64, load64(line + end - 64));
      store64(right[k] + 128, _mm512_setzero_si512());
      for (int b = 0; b < 2 * Bytes; ++b) left[k][b] = line[b], right[k][128 + b] = line[end - 2 * Bytes + b];
      left_in[k] = left[k], right_in[k] = right[k];
    }
  }
};

}  // namespace
}  // namespace avx512_detail
}  // namespace img
