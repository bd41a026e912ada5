// The guarded entry to the image library's AVX2 kernels. Kernel code may use
// the YMM registers only between KeSaveExtendedProcessorState and
// KeRestoreExtendedProcessorState on its own thread; the frame worker calls
// one of these once per frame (not per stage or line: a save costs about as
// much as a few lines of a kernel). Nothing else in the driver gives the
// image library the word that the state is saved (img::allow_avx), so the
// AVX2 variants are reachable only from here (scripts/check_windows_build.sh
// holds the driver to that).
#pragma once

#include "img/img_transform_pipe.h"
#include "kernel/kernel_api.h"

// Runs `work(context, cpu_features)`. When `cpu_features` has feature level 8
// (AVX, AVX2 and FMA with the YMM state saved by the system) and the IRQL is
// at most APC_LEVEL, the AVX state is saved around the call and the mask
// passed on allows the AVX2 variants; otherwise, or when the save fails, the
// work runs with the SSE variants only. Never at DISPATCH_LEVEL: there the
// work runs without AVX. The caller's own word in `cpu_features` is ignored.
using extended_state_work = void (*)(PVOID context, ULONG cpu_features);
void run_with_extended_state(ULONG cpu_features, extended_state_work work, PVOID context);

// img::transform of one frame through run_with_extended_state, with
// params.cpu_features as the mask (left as it was afterwards). PASSIVE_LEVEL,
// on the frame worker.
void transform_with_extended_state(const img::img_descriptor& dst, const img::img_descriptor& src,
                                   img::transform_params& params, img::tonemapping_state* state);
