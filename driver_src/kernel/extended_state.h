// The guarded entry to the image library's AVX2 and AVX-512 kernels. Kernel
// code may use the YMM registers, and the opmask and ZMM registers, only
// between KeSaveExtendedProcessorState and KeRestoreExtendedProcessorState on
// its own thread, of a save whose mask names that state; the frame worker
// calls one of these once per frame (not per stage or line: a save costs
// about as much as a few lines of a kernel). Nothing else in the driver gives
// the image library the words that the state is saved (img::allow_avx,
// img::allow_avx512), so the AVX2 and AVX-512 variants are reachable only
// from here (scripts/check_windows_build.sh holds the driver to that).
#pragma once

#include "img/img_transform_pipe.h"
#include "kernel/kernel_api.h"

// Runs `work(context, cpu_features)`. When `cpu_features` has feature level 8
// (AVX, AVX2 and FMA with the YMM state saved by the system) and the IRQL is
// at most APC_LEVEL, the extended state is saved around the call:
//   - with cpu_avx512 as well, XSTATE_MASK_AVX | XSTATE_MASK_AVX512, and the
//     mask passed on allows the AVX-512 and AVX2 variants (img::allow_avx512);
//   - otherwise, or when that save fails, XSTATE_MASK_AVX alone, and the mask
//     allows the AVX2 variants (img::allow_avx);
//   - when that fails too, or without level 8, nothing is saved and the work
//     runs with the SSE variants only.
// One save at most per call. Never at DISPATCH_LEVEL: there the work runs
// without AVX. The caller's own words in `cpu_features` (cpu_ymm_state_saved,
// cpu_zmm_state_saved) are ignored.
using extended_state_work = void (*)(PVOID context, ULONG cpu_features);
void run_with_extended_state(ULONG cpu_features, extended_state_work work, PVOID context);

// img::transform of one frame through run_with_extended_state, with
// params.cpu_features as the mask (left as it was afterwards). PASSIVE_LEVEL,
// on the frame worker.
void transform_with_extended_state(const img::img_descriptor& dst, const img::img_descriptor& src,
                                   img::transform_params& params, img::tonemapping_state* state);
