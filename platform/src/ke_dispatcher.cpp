// Dispatcher objects of the stand-in: events, kernel mutexes, semaphores and
// thread objects, and the waits on them.
//
// One process-wide dispatcher lock with one condition variable serialises
// every state change and every wait test, so a waiter can never miss a
// signal. SignalState is also read without the lock (KeReadStateEvent and
// friends), so it is always accessed atomically.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ke_core.h"
#include "kstandin/testing.h"

namespace kstandin {
namespace {

// Never destroyed: detached system threads may still signal objects while
// the process exits.
struct dispatcher {
  std::mutex lock;
  std::condition_variable wakeup;
};
dispatcher& the_dispatcher() {
  static auto* instance = new dispatcher;
  return *instance;
}

// Longer time-outs (about three years) count as none.
constexpr LONGLONG kLongestTimeout100ns = 1000000000000000LL;

LONG load_state(const DISPATCHER_HEADER* header) {
  return __atomic_load_n(&header->SignalState, __ATOMIC_ACQUIRE);
}

void store_state(DISPATCHER_HEADER* header, LONG state) {
  __atomic_store_n(&header->SignalState, state, __ATOMIC_RELEASE);
}

bool is_mutex(const DISPATCHER_HEADER* header) { return header->Type == MutantObject; }

// Under the dispatcher lock: whether a wait by `me` on the object would be
// satisfied now.
bool ready_for(const DISPATCHER_HEADER* header, PKTHREAD me) {
  if (is_mutex(header)) {
    const auto* mutex = reinterpret_cast<const KMUTEX*>(header);
    return load_state(header) > 0 || mutex->OwnerThread == me;
  }
  return load_state(header) > 0;
}

// Under the dispatcher lock: the side effect of a satisfied wait.
void satisfy(DISPATCHER_HEADER* header, PKTHREAD me) {
  switch (header->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
      store_state(header, 0);
      break;
    case SemaphoreObject:
      store_state(header, load_state(header) - 1);
      break;
    case MutantObject:
      store_state(header, load_state(header) - 1);
      reinterpret_cast<KMUTEX*>(header)->OwnerThread = me;
      break;
    default:  // notification events, threads: the state stays
      break;
  }
}

// IRQL rules for a wait on `count` objects; reports at most one violation.
void check_wait_irql(DISPATCHER_HEADER* const* headers, ULONG count, LONGLONG relative,
                     const char* what) {
  const KIRQL irql = current_irql();
  if (irql < DISPATCH_LEVEL) return;
  for (ULONG i = 0; i < count; ++i) {
    if (is_mutex(headers[i])) {
      report_violation("mutex_at_dispatch",
                       std::string(what) + " for a KMUTEX at IRQL " + std::to_string(irql));
      return;
    }
  }
  if (relative != 0) {
    report_violation("wait_at_dispatch", std::string(what) + " with a non-zero time-out at IRQL " +
                                             std::to_string(irql));
  }
}

}  // namespace

void signal_object(DISPATCHER_HEADER* header, LONG signal_state) {
  {
    std::lock_guard<std::mutex> guard(the_dispatcher().lock);
    store_state(header, signal_state);
  }
  the_dispatcher().wakeup.notify_all();
}

void dispatcher_update(const std::function<void()>& change) {
  {
    std::lock_guard<std::mutex> guard(the_dispatcher().lock);
    change();
  }
  the_dispatcher().wakeup.notify_all();
}

bool wait_until(const std::function<bool()>& ready, LONGLONG timeout_100ns) {
  std::unique_lock<std::mutex> guard(the_dispatcher().lock);
  if (timeout_100ns < 0 || timeout_100ns > kLongestTimeout100ns) {
    the_dispatcher().wakeup.wait(guard, ready);
    return true;
  }
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::nanoseconds(timeout_100ns * 100);
  return the_dispatcher().wakeup.wait_until(guard, deadline, ready);
}

LONGLONG relative_timeout(const LARGE_INTEGER* timeout) {
  if (timeout == nullptr) return -1;
  if (timeout->QuadPart < 0) {
    return timeout->QuadPart == INT64_MIN ? -1 : -timeout->QuadPart;
  }
  if (timeout->QuadPart == 0) return 0;
  const LONGLONG remaining = timeout->QuadPart - system_time_100ns();
  return remaining > 0 ? remaining : 0;
}

}  // namespace kstandin

using kstandin::dispatcher_update;
using kstandin::load_state;
using kstandin::report_violation;
using kstandin::store_state;

// ---- events ---------------------------------------------------------------
VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Header.Type =
      (UCHAR)(Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject);
  Event->Header.Signalling = 0;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.Reserved1 = 0;
  InitializeListHead(&Event->Header.WaitListHead);
  store_state(&Event->Header, State ? 1 : 0);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  LONG previous = 0;
  dispatcher_update([&] {
    previous = load_state(&Event->Header);
    store_state(&Event->Header, 1);
  });
  return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  LONG previous = 0;
  dispatcher_update([&] {
    previous = load_state(&Event->Header);
    store_state(&Event->Header, 0);
  });
  return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) { store_state(&Event->Header, 0); }

LONG NTAPI KeReadStateEvent(PRKEVENT Event) { return load_state(&Event->Header); }

// ---- kernel mutexes -----------------------------------------------------------
VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
  Mutex->Header.Type = MutantObject;
  Mutex->Header.Signalling = 0;
  Mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
  Mutex->Header.Reserved1 = 0;
  InitializeListHead(&Mutex->Header.WaitListHead);
  InitializeListHead(&Mutex->MutantListEntry);
  Mutex->OwnerThread = NULL;
  Mutex->Abandoned = FALSE;
  Mutex->ApcDisable = 1;
  store_state(&Mutex->Header, 1);
}

LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
  const PKTHREAD me = KeGetCurrentThread();
  LONG previous = 0;
  bool owner = true;
  dispatcher_update([&] {
    previous = load_state(&Mutex->Header);
    if (Mutex->OwnerThread != me || previous > 0) {
      owner = false;
      return;
    }
    store_state(&Mutex->Header, previous + 1);
    if (previous + 1 > 0) Mutex->OwnerThread = NULL;
  });
  if (!owner) {
    report_violation("mutex_not_owner", "KeReleaseMutex by a thread that does not own the mutex");
  }
  return previous;
}

LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex) { return load_state(&Mutex->Header); }

// ---- semaphores -----------------------------------------------------------------
VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
  Semaphore->Header.Type = SemaphoreObject;
  Semaphore->Header.Signalling = 0;
  Semaphore->Header.Size = sizeof(KSEMAPHORE) / sizeof(LONG);
  Semaphore->Header.Reserved1 = 0;
  InitializeListHead(&Semaphore->Header.WaitListHead);
  Semaphore->Limit = Limit;
  store_state(&Semaphore->Header, Count);
}

LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment,
                              BOOLEAN Wait) {
  LONG previous = 0;
  bool over_limit = false;
  dispatcher_update([&] {
    previous = load_state(&Semaphore->Header);
    const LONGLONG next = (LONGLONG)previous + Adjustment;
    if (Adjustment <= 0 || next > Semaphore->Limit) {
      over_limit = true;
      return;
    }
    store_state(&Semaphore->Header, (LONG)next);
  });
  if (over_limit) {
    report_violation("semaphore_limit", "KeReleaseSemaphore by " + std::to_string(Adjustment) +
                                            " at count " + std::to_string(previous));
  }
  return previous;
}

LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore) { return load_state(&Semaphore->Header); }

// ---- waits ---------------------------------------------------------------------
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout) {
  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  const LONGLONG relative = kstandin::relative_timeout(Timeout);
  kstandin::check_wait_irql(&header, 1, relative, "KeWaitForSingleObject");
  const PKTHREAD me = KeGetCurrentThread();
  const bool done = kstandin::wait_until(
      [&] {
        if (!kstandin::ready_for(header, me)) return false;
        kstandin::satisfy(header, me);
        return true;
      },
      relative);
  return done ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                        KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                        BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PKWAIT_BLOCK WaitBlockArray) {
  if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS ||
      (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == NULL)) {
    report_violation("wait_object_count", "KeWaitForMultipleObjects for " + std::to_string(Count) +
                                              " objects without a large enough wait block array");
    return STATUS_INVALID_PARAMETER;
  }
  auto** headers = reinterpret_cast<DISPATCHER_HEADER**>(Object);
  const LONGLONG relative = kstandin::relative_timeout(Timeout);
  kstandin::check_wait_irql(headers, Count, relative, "KeWaitForMultipleObjects");
  const PKTHREAD me = KeGetCurrentThread();
  ULONG satisfied_index = 0;
  const bool done = kstandin::wait_until(
      [&] {
        if (WaitType == WaitAny) {
          for (ULONG i = 0; i < Count; ++i) {
            if (kstandin::ready_for(headers[i], me)) {
              kstandin::satisfy(headers[i], me);
              satisfied_index = i;
              return true;
            }
          }
          return false;
        }
        for (ULONG i = 0; i < Count; ++i) {
          if (!kstandin::ready_for(headers[i], me)) return false;
        }
        for (ULONG i = 0; i < Count; ++i) kstandin::satisfy(headers[i], me);
        return true;
      },
      relative);
  if (!done) return STATUS_TIMEOUT;
  return WaitType == WaitAny ? (NTSTATUS)(STATUS_WAIT_0 + satisfied_index) : STATUS_SUCCESS;
}

namespace {
thread_local std::vector<int64_t> thread_delays;
}  // namespace

std::vector<int64_t> kstandin::take_thread_delays() {
  std::vector<int64_t> taken;
  taken.swap(thread_delays);
  return taken;
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval) {
  LONGLONG relative = kstandin::relative_timeout(Interval);
  // The newest 4096 are kept (threads that poll would grow it forever).
  if (thread_delays.size() >= 4096) thread_delays.erase(thread_delays.begin(), thread_delays.begin() + 2048);
  thread_delays.push_back(relative);
  const KIRQL irql = kstandin::current_irql();
  if (irql >= DISPATCH_LEVEL && relative != 0) {
    report_violation("wait_at_dispatch", "KeDelayExecutionThread at IRQL " + std::to_string(irql));
  }
  if (relative < 0 || relative > kstandin::kLongestTimeout100ns) {
    relative = kstandin::kLongestTimeout100ns;
  }
  if (relative == 0) {
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_for(std::chrono::nanoseconds(relative * 100));
  }
  return STATUS_SUCCESS;
}
