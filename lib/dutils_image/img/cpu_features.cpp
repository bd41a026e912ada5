// Processor feature mask from CPUID and XGETBV. Computed once and kept in a
// plain global: two threads racing on the first call compute the same value,
// so the race is harmless and no lock or constructor is needed.
#include "img/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace img {
namespace {

// Set in the cached value once it is valid, so that a processor without any
// of the features (mask 0) is not probed again on every call.
constexpr uint32_t kCachedFlag = 0x80000000u;

uint32_t g_cpu_features = 0;

#if defined(__x86_64__) || defined(__i386__)

// CPUID leaf 1, EDX.
constexpr uint32_t kLeaf1EdxMmx = 1u << 23;
constexpr uint32_t kLeaf1EdxSse = 1u << 25;
constexpr uint32_t kLeaf1EdxSse2 = 1u << 26;
// CPUID leaf 1, ECX.
constexpr uint32_t kLeaf1EcxSse3 = 1u << 0;
constexpr uint32_t kLeaf1EcxSsse3 = 1u << 9;
constexpr uint32_t kLeaf1EcxFma = 1u << 12;
constexpr uint32_t kLeaf1EcxSse41 = 1u << 19;
constexpr uint32_t kLeaf1EcxSse42 = 1u << 20;
constexpr uint32_t kLeaf1EcxOsxsave = 1u << 27;
constexpr uint32_t kLeaf1EcxAvx = 1u << 28;
// CPUID leaf 7, sub-leaf 0, EBX.
constexpr uint32_t kLeaf7EbxAvx2 = 1u << 5;
constexpr uint32_t kLeaf7EbxAvx512 = (1u << 16) | (1u << 17) | (1u << 30) | (1u << 31);  // F, DQ, BW, VL
// CPUID leaf 7, sub-leaf 0, ECX.
constexpr uint32_t kLeaf7EcxAvx512Vnni = 1u << 11;
// XCR0: the operating system saves the XMM (bit 1) and YMM (bit 2) state.
constexpr uint32_t kXcr0XmmYmm = 0x6;
// XCR0: the opmask (bit 5) and ZMM (bits 6, 7) state.
constexpr uint32_t kXcr0Zmm = 0xE0;

// XCR0 (XGETBV with ECX = 0); only valid when CPUID reports OSXSAVE.
uint32_t read_xcr0() {
  uint32_t eax = 0;
  uint32_t edx = 0;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return eax;
}

uint32_t detect() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return 0;

  uint32_t mask = 0;
  if (edx & kLeaf1EdxMmx) mask |= cpu_mmx;
  if (edx & kLeaf1EdxSse) mask |= cpu_sse;
  if (edx & kLeaf1EdxSse2) mask |= cpu_sse2;
  if (ecx & kLeaf1EcxSse3) mask |= cpu_sse3;
  if (ecx & kLeaf1EcxSsse3) mask |= cpu_ssse3;
  if (ecx & kLeaf1EcxSse41) mask |= cpu_sse41;
  if (ecx & kLeaf1EcxSse42) mask |= cpu_sse42;

  // AVX, AVX2 and FMA use the VEX encoding and the YMM registers: they may
  // only run when the operating system saves that state on a context switch.
  // FMA is held to the same condition; without it an FMA instruction faults.
  const bool os_saves_ymm = (ecx & kLeaf1EcxOsxsave) && (read_xcr0() & kXcr0XmmYmm) == kXcr0XmmYmm;
  if (os_saves_ymm && (ecx & kLeaf1EcxAvx)) {
    mask |= cpu_avx;
    if (ecx & kLeaf1EcxFma) mask |= cpu_fma;
    unsigned eax7 = 0, ebx7 = 0, ecx7 = 0, edx7 = 0;
    if (__get_cpuid_count(7, 0, &eax7, &ebx7, &ecx7, &edx7) && (ebx7 & kLeaf7EbxAvx2)) {
      mask |= cpu_avx2;
      if ((ebx7 & kLeaf7EbxAvx512) == kLeaf7EbxAvx512 && (read_xcr0() & kXcr0Zmm) == kXcr0Zmm) {
        mask |= cpu_avx512;
        if (ecx7 & kLeaf7EcxAvx512Vnni) mask |= cpu_avx512vnni;
      }
    }
  }
  return mask;
}

#else

uint32_t detect() { return 0; }

#endif

// The AVX entry hook: a plain zero-initialised global, exchanged atomically.
avx_entry_handler g_avx_entry_handler = nullptr;
avx_entry_handler g_avx512_entry_handler = nullptr;

}  // namespace

uint32_t allow_avx(uint32_t cpu_features) { return cpu_features | cpu_ymm_state_saved; }
uint32_t allow_avx512(uint32_t cpu_features) { return cpu_features | cpu_ymm_state_saved | cpu_zmm_state_saved; }

avx_entry_handler set_avx_entry_handler(avx_entry_handler handler) {
  return __atomic_exchange_n(&g_avx_entry_handler, handler, __ATOMIC_ACQ_REL);
}

void note_avx_entry(const char* kernel) {
  const avx_entry_handler handler = __atomic_load_n(&g_avx_entry_handler, __ATOMIC_ACQUIRE);
  if (handler) handler(kernel);
}

avx_entry_handler set_avx512_entry_handler(avx_entry_handler handler) {
  return __atomic_exchange_n(&g_avx512_entry_handler, handler, __ATOMIC_ACQ_REL);
}

void note_avx512_entry(const char* kernel) {
  const avx_entry_handler handler = __atomic_load_n(&g_avx512_entry_handler, __ATOMIC_ACQUIRE);
  if (handler) handler(kernel);
}

uint32_t get_cpu_features() {
  uint32_t cached = __atomic_load_n(&g_cpu_features, __ATOMIC_RELAXED);
  if (!(cached & kCachedFlag)) {
    cached = detect() | kCachedFlag;
    __atomic_store_n(&g_cpu_features, cached, __ATOMIC_RELAXED);
  }
  return cached & ~kCachedFlag;
}

}  // namespace img
