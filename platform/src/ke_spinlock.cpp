// Spin locks of the stand-in. The KSPIN_LOCK word holds the owning host
// thread's number (0 = free), so a release by the wrong thread and a second
// acquisition by the owner are detected. Waiting spins with a yield, which
// on a host with few cores lets the owner run.
//
// A recursive acquisition is reported and does not deadlock: it is noted as
// a phantom acquisition of this thread, and the matching release only drops
// the note, so the outer acquisition keeps the lock until its own release.
#include <string>
#include <thread>
#include <vector>

#include "ke_core.h"

namespace kstandin {
namespace {

thread_local std::vector<PKSPIN_LOCK> phantom_acquisitions;

ULONG_PTR owner_of(PKSPIN_LOCK lock) { return __atomic_load_n(lock, __ATOMIC_ACQUIRE); }

}  // namespace

void spin_lock_acquire_raw(PKSPIN_LOCK lock, const char* what) {
  const ULONG_PTR me = current_thread_number();
  if (owner_of(lock) == me) {
    report_violation("spin_lock_recursion",
                     std::string(what) + ": spin lock already held by this thread");
    phantom_acquisitions.push_back(lock);
    return;
  }
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED)) {
      return;
    }
    std::this_thread::yield();
  }
}

void spin_lock_release_raw(PKSPIN_LOCK lock, const char* what) {
  for (auto it = phantom_acquisitions.rbegin(); it != phantom_acquisitions.rend(); ++it) {
    if (*it == lock) {
      phantom_acquisitions.erase(std::next(it).base());
      return;
    }
  }
  const ULONG_PTR owner = owner_of(lock);
  if (owner != current_thread_number()) {
    report_violation("spin_lock_not_held",
                     std::string(what) + (owner == 0 ? ": spin lock is not held"
                                                     : ": spin lock is held by another thread"));
    return;
  }
  __atomic_store_n(lock, (ULONG_PTR)0, __ATOMIC_RELEASE);
}

}  // namespace kstandin

using kstandin::current_irql;
using kstandin::report_violation;
using kstandin::spin_lock_acquire_raw;
using kstandin::spin_lock_release_raw;

namespace {

void check_at_dispatch(const char* what) {
  const KIRQL irql = current_irql();
  if (irql < DISPATCH_LEVEL) {
    report_violation("spin_lock_below_dispatch",
                     std::string(what) + " called at IRQL " + std::to_string(irql));
  }
}

}  // namespace

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  __atomic_store_n(SpinLock, (ULONG_PTR)0, __ATOMIC_RELEASE);
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  const KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  spin_lock_acquire_raw(SpinLock, "KeAcquireSpinLock");
  return old;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  spin_lock_release_raw(SpinLock, "KeReleaseSpinLock");
  KeLowerIrql(NewIrql);
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  check_at_dispatch("KeAcquireSpinLockAtDpcLevel");
  spin_lock_acquire_raw(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  spin_lock_release_raw(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

BOOLEAN NTAPI KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  check_at_dispatch("KeTryToAcquireSpinLockAtDpcLevel");
  ULONG_PTR expected = 0;
  return __atomic_compare_exchange_n(SpinLock, &expected,
                                     (ULONG_PTR)kstandin::current_thread_number(), false,
                                     __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
}

BOOLEAN NTAPI KeTestSpinLock(PKSPIN_LOCK SpinLock) {
  return __atomic_load_n(SpinLock, __ATOMIC_RELAXED) == 0;
}

VOID NTAPI KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
  LockHandle->LockQueue.Next = NULL;
  LockHandle->LockQueue.Lock = SpinLock;
  LockHandle->OldIrql = KeAcquireSpinLockRaiseToDpc(SpinLock);
}

VOID NTAPI KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle) {
  KeReleaseSpinLock(LockHandle->LockQueue.Lock, LockHandle->OldIrql);
}

VOID NTAPI KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock,
                                                    PKLOCK_QUEUE_HANDLE LockHandle) {
  LockHandle->LockQueue.Next = NULL;
  LockHandle->LockQueue.Lock = SpinLock;
  KeAcquireSpinLockAtDpcLevel(SpinLock);
}

VOID NTAPI KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle) {
  KeReleaseSpinLockFromDpcLevel(LockHandle->LockQueue.Lock);
}
