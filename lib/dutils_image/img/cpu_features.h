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
  // AVX-512 F, DQ, BW and VL, reported only when the operating system also
  // saves the opmask and ZMM state (XCR0 bits 5, 6, 7).
  cpu_avx512 = 1u << 12,
  // AVX-512 VNNI (vpdpwssd), reported only with cpu_avx512.
  cpu_avx512vnni = 1u << 13,
};

// Feature level 8: what the AVX2 variants of the image kernels need (only the
// 16-bit matrix debayer uses FMA instructions, in a form whose results the
// plain code reproduces exactly).
constexpr uint32_t cpu_level8 = cpu_avx | cpu_avx2 | cpu_fma;

// The processor's feature mask from CPUID and XGETBV; computed on the first
// call and cached for the process (or the kernel). The SSE-family bits come
// from CPUID leaf 1; AVX, FMA and AVX2 (leaf 7) are reported only when the
// operating system saves the XMM and YMM state (OSXSAVE and XCR0 bits 1, 2).
// Any thread, any IRQL.
uint32_t get_cpu_features();

// Feature level 8 tells that the processor could run the AVX2 variants; the
// caller must also say that the YMM registers may be used on its thread now.
// User-mode callers may always say so (the operating system saves the YMM
// state of every thread). In the kernel, code may use that state only
// between KeSaveExtendedProcessorState and KeRestoreExtendedProcessorState;
// the driver's guarded entry (driver_src/kernel/extended_state.h) is the one
// caller that does. allow_avx returns `cpu_features` with that word added;
// masks without it never select an AVX2 variant.
uint32_t allow_avx(uint32_t cpu_features);

// The word allow_avx adds (not a processor feature).
constexpr uint32_t cpu_ymm_state_saved = 1u << 16;

// True when the AVX2 variants may run: level 8 and the caller's word.
inline bool avx2_allowed(uint32_t cpu_features) {
  const uint32_t need = cpu_level8 | cpu_ymm_state_saved;
  return (cpu_features & need) == need;
}

// The AVX-512 variants: the processor has cpu_avx512 besides level 8, and
// the caller says that the opmask and ZMM registers may be used on its
// thread now as well (in the kernel: a save that includes XSTATE_MASK_AVX512).
// allow_avx512 adds both words; allow_avx alone never selects an AVX-512
// variant.
constexpr uint32_t cpu_zmm_state_saved = 1u << 17;
uint32_t allow_avx512(uint32_t cpu_features);
inline bool avx512_allowed(uint32_t cpu_features) {
  const uint32_t need = cpu_level8 | cpu_avx512 | cpu_ymm_state_saved | cpu_zmm_state_saved;
  return (cpu_features & need) == need;
}

// Called with the kernel's name each time an AVX2 variant is entered (once
// per stage and frame, before any YMM register is touched). None by default;
// the kernel stand-in's verifier installs one that checks the calling thread
// holds saved extended state. Returns the previous handler.
using avx_entry_handler = void (*)(const char* kernel);
avx_entry_handler set_avx_entry_handler(avx_entry_handler handler);
// What the AVX2 selectors call.
void note_avx_entry(const char* kernel);
// The same for the AVX-512 variants: the verifier's handler checks that the
// calling thread holds a save of the AVX-512 state.
avx_entry_handler set_avx512_entry_handler(avx_entry_handler handler);
void note_avx512_entry(const char* kernel);

}  // namespace img
