// Test and tool access to the stand-in's extended processor state. Never
// included by the driver.
#pragma once

#include <cstdint>

namespace kstandin {

// Reports "avx_without_saved_state" when the calling thread holds no save of
// XSTATE_MASK_AVX. Matches img::avx_entry_handler: a test that runs image
// kernels through driver code installs it with img::set_avx_entry_handler,
// so every AVX2 kernel entered is checked.
void check_avx_entry(const char* kernel);

// Reports "avx512_without_saved_state" unless the calling thread holds a
// save whose mask has XSTATE_MASK_AVX and all of XSTATE_MASK_AVX512 (the
// AVX-512 kernels use the YMM, ZMM and opmask registers). Installed with
// img::set_avx512_entry_handler.
void check_avx512_entry(const char* kernel);

// Saves the calling thread holds now.
unsigned xstate_saves_held();

// Makes the next `count` KeSaveExtendedProcessorState calls fail with
// STATUS_NOT_SUPPORTED (as on a processor without XSAVE), for tests of the
// paths that go on without the state.
void fail_next_xstate_saves(uint64_t count);

}  // namespace kstandin
