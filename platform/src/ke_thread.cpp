// Per-thread kernel state of the stand-in: the current IRQL, the current
// KTHREAD, critical regions, system threads and the IRQL checks made when a
// callback into driver code returns.
//
// Every host thread that touches the kernel API has a thread_state
// (thread_local). Threads started with start_system_thread run as the
// KTHREAD handed in; any other host thread (the test's main thread, a
// simulated bus thread) gets its own KTHREAD on first use, at PASSIVE_LEVEL.
#include <atomic>
#include <system_error>
#include <string>
#include <thread>

#include "ke_core.h"

namespace kstandin {

struct thread_state {
  thread_state();

  KIRQL irql = PASSIVE_LEVEL;
  PKTHREAD thread = nullptr;  // the current KTHREAD: own_thread or a system thread's
  KTHREAD own_thread{};       // for host threads the platform did not create
  LONG critical_region_depth = 0;
  ULONG number = 0;  // host thread number, from 1
};

namespace {
std::atomic<ULONG> next_thread_number{1};
}  // namespace

thread_state::thread_state() {
  number = next_thread_number.fetch_add(1, std::memory_order_relaxed);
  own_thread.Header.Type = ThreadObject;
  own_thread.Header.Size = sizeof(KTHREAD) / sizeof(LONG);
  InitializeListHead(&own_thread.Header.WaitListHead);
  own_thread.UniqueThread = number;
  thread = &own_thread;
}

thread_state& current_thread_state() {
  thread_local thread_state state;
  return state;
}

KIRQL current_irql() { return current_thread_state().irql; }

void set_current_irql(KIRQL irql) { current_thread_state().irql = irql; }

ULONG current_thread_number() { return current_thread_state().number; }

bool start_system_thread(PKTHREAD thread_object, std::function<void()> body) {
  try {
    std::thread host([thread_object, body = std::move(body)]() mutable {
      thread_state& state = current_thread_state();
      state.irql = PASSIVE_LEVEL;
      if (thread_object != nullptr) {
        thread_object->UniqueThread = state.number;
        state.thread = thread_object;
      }
      body();
      check_xstate_released("system thread", 0);
      // Whatever the body captured is released before the end is signalled:
      // a waiter may free what those captures refer to.
      body = nullptr;
      if (state.irql != PASSIVE_LEVEL) {
        report_violation("irql_mismatch_on_return", "system thread ended at IRQL " +
                                                        std::to_string(state.irql) +
                                                        " instead of PASSIVE_LEVEL");
        state.irql = PASSIVE_LEVEL;
      }
      // The object may be freed by a waiter as soon as it is signalled, so
      // this thread stops referring to it first.
      state.thread = &state.own_thread;
      if (thread_object != nullptr) signal_object(&thread_object->Header, 1);
    });
    host.detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

irql_guard::irql_guard(const char* what)
    : what_(what), entry_(current_irql()), xstate_entry_(xstate_saves_held()) {}

irql_guard::~irql_guard() {
  const KIRQL now = current_irql();
  if (now != entry_) {
    report_violation("irql_mismatch_on_return", std::string(what_) + " returned at IRQL " +
                                                    std::to_string(now) + ", entered at " +
                                                    std::to_string(entry_));
    // Restored so that one broken callback does not cascade into reports
    // from everything the caller does afterwards.
    set_current_irql(entry_);
  }
  check_xstate_released(what_, xstate_entry_);
}

}  // namespace kstandin

using kstandin::current_thread_state;
using kstandin::report_violation;

PKTHREAD NTAPI KeGetCurrentThread(VOID) { return current_thread_state().thread; }

VOID NTAPI KeEnterCriticalRegion(VOID) { ++current_thread_state().critical_region_depth; }

VOID NTAPI KeLeaveCriticalRegion(VOID) { --current_thread_state().critical_region_depth; }

BOOLEAN NTAPI KeAreApcsDisabled(VOID) {
  const auto& state = current_thread_state();
  return state.critical_region_depth > 0 || state.irql >= APC_LEVEL;
}

KIRQL NTAPI KeGetCurrentIrql(VOID) { return current_thread_state().irql; }

KIRQL NTAPI KfRaiseIrql(KIRQL NewIrql) {
  auto& state = current_thread_state();
  const KIRQL old = state.irql;
  if (NewIrql < old) {
    report_violation("irql_raise_below_current", "KeRaiseIrql to " + std::to_string(NewIrql) +
                                                     " at IRQL " + std::to_string(old));
    return old;  // the IRQL stays where it is
  }
  state.irql = NewIrql;
  return old;
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID) { return KfRaiseIrql(DISPATCH_LEVEL); }

VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
  auto& state = current_thread_state();
  if (NewIrql > state.irql) {
    report_violation("irql_lower_above_current", "KeLowerIrql to " + std::to_string(NewIrql) +
                                                     " at IRQL " + std::to_string(state.irql));
    return;
  }
  state.irql = NewIrql;
}

ULONG NTAPI KeQueryActiveProcessorCount(KAFFINITY* ActiveProcessors) {
  // One processor group of at most 64, fixed for the life of the process.
  static const ULONG count = [] {
    const unsigned host = std::thread::hardware_concurrency();
    return (ULONG)(host == 0 ? 1 : host > 64 ? 64 : host);
  }();
  if (ActiveProcessors != NULL) {
    *ActiveProcessors = count == 64 ? ~(KAFFINITY)0 : (((KAFFINITY)1 << count) - 1);
  }
  return count;
}

ULONG NTAPI KeGetCurrentProcessorNumber(VOID) {
  return (current_thread_state().number - 1) % KeQueryActiveProcessorCount(NULL);
}
