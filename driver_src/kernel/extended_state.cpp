// The guarded entry to the AVX2 and AVX-512 image kernels (see extended_state.h).
#include "kernel/extended_state.h"

#include "img/cpu_features.h"

void run_with_extended_state(ULONG cpu_features, extended_state_work work, PVOID context) {
  const ULONG features =
      cpu_features & ~static_cast<ULONG>(img::cpu_ymm_state_saved | img::cpu_zmm_state_saved);
  XSTATE_SAVE save;
  bool saved = false;
  ULONG allowed = features;
  if ((features & img::cpu_level8) == img::cpu_level8 && KeGetCurrentIrql() <= APC_LEVEL) {
    if ((features & img::cpu_avx512) &&
        NT_SUCCESS(KeSaveExtendedProcessorState(XSTATE_MASK_AVX | XSTATE_MASK_AVX512, &save))) {
      saved = true;
      allowed = img::allow_avx512(features);
    } else if (NT_SUCCESS(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &save))) {
      saved = true;
      allowed = img::allow_avx(features);
    }
  }
  work(context, allowed);
  if (saved) KeRestoreExtendedProcessorState(&save);
}

namespace {

struct transform_call {
  const img::img_descriptor* dst;
  const img::img_descriptor* src;
  img::transform_params* params;
  img::tonemapping_state* state;
};

void run_transform(PVOID context, ULONG cpu_features) {
  transform_call& call = *static_cast<transform_call*>(context);
  const uint32_t requested = call.params->cpu_features;
  call.params->cpu_features = cpu_features;
  img::transform(*call.dst, *call.src, *call.params, call.state);
  call.params->cpu_features = requested;
}

}  // namespace

void transform_with_extended_state(const img::img_descriptor& dst, const img::img_descriptor& src,
                                   img::transform_params& params, img::tonemapping_state* state) {
  transform_call call = {&dst, &src, &params, state};
  run_with_extended_state(params.cpu_features, run_transform, &call);
}
