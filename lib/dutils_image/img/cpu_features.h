// Processor feature mask: which vector variants of the image kernels may run.
#pragma once

#include <stdint.h>

namespace img {

// Bits of the processor feature mask.
enum cpu_feature : uint32_t {
  cpu_mmx = 1u << 0,
  cpu_sse = 1u << 1,
  cpu_sse2 = 1u << 2,
  cpu_sse3 = 1u << 3,
  cpu_ssse3 = 1u << 4,
  cpu_sse41 = 1u << 5,
  cpu_sse42 = 1u << 6,
  cpu_avx = 1u << 8,
  cpu_avx2 = 1u << 9,
  cpu_fma = 1u << 11,
};

// The processor's feature mask from CPUID and XGETBV; computed on the first
// call and cached for the process (or the kernel). The SSE-family bits come
// from CPUID leaf 1; AVX, FMA and AVX2 (leaf 7) are reported only when the
// operating system saves the XMM and YMM state (OSXSAVE and XCR0 bits 1, 2).
// Any thread, any IRQL.
uint32_t get_cpu_features();

}  // namespace img
