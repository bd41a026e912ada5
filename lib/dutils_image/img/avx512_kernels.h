// Helpers shared by the AVX-512 units (*_avx512.cpp): unaligned 512-bit
// loads and stores, the stores of 256-bit halves, a prefetch. Included only by files
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

}  // namespace
}  // namespace avx512_detail
}  // namespace img
