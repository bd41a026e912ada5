// The extended processor state: KeSaveExtendedProcessorState and
// KeRestoreExtendedProcessorState keep a stack of saves per thread (the
// caller's XSTATE_SAVE records, linked through Prev), and the verifier checks
// that go with it. The host's YMM registers are the process's own, so nothing
// is really saved; what is checked is that driver code follows the rules a
// real kernel would enforce by corrupting another thread's registers.
#include <atomic>
#include <string>

#include <kstandin/testing_xstate.h>

#include "ke_core.h"

namespace kstandin {
namespace {

struct xstate_stack {
  PXSTATE_SAVE top = nullptr;
  unsigned held = 0;
};

xstate_stack& thread_saves() {
  thread_local xstate_stack saves;
  return saves;
}

std::atomic<uint64_t> forced_failures{0};

bool take_forced_failure() {
  uint64_t n = forced_failures.load();
  while (n > 0 && !forced_failures.compare_exchange_weak(n, n - 1)) {
  }
  return n > 0;
}

}  // namespace

unsigned xstate_saves_held() { return thread_saves().held; }

void fail_next_xstate_saves(uint64_t count) { forced_failures.store(count); }

void check_avx_entry(const char* kernel) {
  for (PXSTATE_SAVE s = thread_saves().top; s != nullptr; s = s->Prev) {
    if (s->XStateContext.Mask & XSTATE_MASK_AVX) return;
  }
  report_violation("avx_without_saved_state", std::string("AVX kernel ") + (kernel ? kernel : "?") +
                                                  " entered without saved extended state (XSTATE_MASK_AVX)");
}

void check_avx512_entry(const char* kernel) {
  constexpr ULONG64 need = XSTATE_MASK_AVX | XSTATE_MASK_AVX512;
  for (PXSTATE_SAVE s = thread_saves().top; s != nullptr; s = s->Prev) {
    if ((s->XStateContext.Mask & need) == need) return;
  }
  report_violation("avx512_without_saved_state",
                   std::string("AVX-512 kernel ") + (kernel ? kernel : "?") +
                       " entered without saved extended state (XSTATE_MASK_AVX | XSTATE_MASK_AVX512)");
}

void check_xstate_released(const char* what, unsigned held_at_entry) {
  xstate_stack& saves = thread_saves();
  if (saves.held <= held_at_entry) return;
  report_violation("xstate_not_restored", std::string(what) + " ended holding " +
                                              std::to_string(saves.held - held_at_entry) +
                                              " extended-state save(s) not restored");
  while (saves.held > held_at_entry && saves.top != nullptr) {
    saves.top = saves.top->Prev;
    --saves.held;
  }
}

}  // namespace kstandin

using kstandin::report_violation;

NTSTATUS NTAPI KeSaveExtendedProcessorState(ULONG64 Mask, PXSTATE_SAVE XStateSave) {
  if (XStateSave == nullptr) return STATUS_INVALID_PARAMETER;
  const KIRQL irql = kstandin::current_irql();
  if (irql > APC_LEVEL) {
    report_violation("xstate_save_above_apc_level",
                     "KeSaveExtendedProcessorState at IRQL " + std::to_string(irql) + " (at most APC_LEVEL)");
  }
  if (kstandin::take_forced_failure()) return STATUS_NOT_SUPPORTED;
  kstandin::xstate_stack& saves = kstandin::thread_saves();
  *XStateSave = XSTATE_SAVE{};
  XStateSave->Prev = saves.top;
  XStateSave->Thread = KeGetCurrentThread();
  XStateSave->Level = static_cast<UCHAR>(saves.held + 1);
  XStateSave->XStateContext.Mask = Mask;
  saves.top = XStateSave;
  ++saves.held;
  return STATUS_SUCCESS;
}

VOID NTAPI KeRestoreExtendedProcessorState(PXSTATE_SAVE XStateSave) {
  kstandin::xstate_stack& saves = kstandin::thread_saves();
  if (XStateSave != nullptr && XStateSave == saves.top) {
    saves.top = XStateSave->Prev;
    --saves.held;
    return;
  }
  report_violation("xstate_restore_mismatch",
                   "KeRestoreExtendedProcessorState of a save that is not the calling thread's latest");
  // A save further down the stack: the ones above it go with it.
  for (PXSTATE_SAVE s = saves.top; s != nullptr; s = s->Prev) {
    if (s != XStateSave) continue;
    while (saves.top != XStateSave) {
      saves.top = saves.top->Prev;
      --saves.held;
    }
    saves.top = XStateSave->Prev;
    --saves.held;
    return;
  }
}
