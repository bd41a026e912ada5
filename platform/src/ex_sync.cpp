// Executive synchronisation of the stand-in: interlocked lists guarded by a
// caller's spin lock, fast mutexes, and the conversion between system and
// local time.
#include <ctime>
#include <string>

#include "ke_core.h"

using kstandin::current_irql;
using kstandin::report_violation;

namespace {

// Holds `lock` for the life of the object at DISPATCH_LEVEL (or above, when
// the caller already was), as the ExInterlocked routines do.
class interlocked_section {
 public:
  interlocked_section(PKSPIN_LOCK lock, const char* what)
      : lock_(lock), what_(what), old_irql_(current_irql()) {
    if (old_irql_ < DISPATCH_LEVEL) kstandin::set_current_irql(DISPATCH_LEVEL);
    kstandin::spin_lock_acquire_raw(lock_, what_);
  }
  ~interlocked_section() {
    kstandin::spin_lock_release_raw(lock_, what_);
    kstandin::set_current_irql(old_irql_);
  }
  interlocked_section(const interlocked_section&) = delete;
  interlocked_section& operator=(const interlocked_section&) = delete;

 private:
  PKSPIN_LOCK lock_;
  const char* what_;
  KIRQL old_irql_;
};

}  // namespace

// ---- interlocked lists ------------------------------------------------------
PLIST_ENTRY NTAPI ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                              PKSPIN_LOCK Lock) {
  interlocked_section section(Lock, "ExInterlockedInsertHeadList");
  PLIST_ENTRY first = IsListEmpty(ListHead) ? NULL : ListHead->Flink;
  InsertHeadList(ListHead, ListEntry);
  return first;
}

PLIST_ENTRY NTAPI ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                              PKSPIN_LOCK Lock) {
  interlocked_section section(Lock, "ExInterlockedInsertTailList");
  PLIST_ENTRY last = IsListEmpty(ListHead) ? NULL : ListHead->Blink;
  InsertTailList(ListHead, ListEntry);
  return last;
}

PLIST_ENTRY NTAPI ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
  interlocked_section section(Lock, "ExInterlockedRemoveHeadList");
  if (IsListEmpty(ListHead)) return NULL;
  return RemoveHeadList(ListHead);
}

PSINGLE_LIST_ENTRY NTAPI ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead,
                                                    PSINGLE_LIST_ENTRY ListEntry,
                                                    PKSPIN_LOCK Lock) {
  interlocked_section section(Lock, "ExInterlockedPushEntryList");
  PSINGLE_LIST_ENTRY first = ListHead->Next;
  PushEntryList(ListHead, ListEntry);
  return first;
}

PSINGLE_LIST_ENTRY NTAPI ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
  interlocked_section section(Lock, "ExInterlockedPopEntryList");
  return PopEntryList(ListHead);
}

// ---- fast mutexes -------------------------------------------------------------
// Count and Owner change only under the dispatcher lock (waiters test them
// there); Count is also read atomically outside it.
namespace {

LONG load_count(const FAST_MUTEX* m) { return __atomic_load_n(&m->Count, __ATOMIC_ACQUIRE); }
void store_count(FAST_MUTEX* m, LONG v) { __atomic_store_n(&m->Count, v, __ATOMIC_RELEASE); }

// Acquires for the current thread. A blocking acquisition by the owner is
// reported and returns false instead of deadlocking; a zero time-out (the
// Try variant) returns false when the mutex is owned, by anyone.
bool acquire_fast_mutex(PFAST_MUTEX FastMutex, LONGLONG timeout, const char* what) {
  const KIRQL irql = current_irql();
  if (irql >= DISPATCH_LEVEL) {
    report_violation("mutex_at_dispatch", std::string(what) + " at IRQL " + std::to_string(irql));
  }
  const PKTHREAD me = KeGetCurrentThread();
  bool recursive = false;
  bool contended = false;
  const bool acquired = kstandin::wait_until(
      [&] {
        if (FastMutex->Owner == me && load_count(FastMutex) == 0) {
          recursive = true;
          return true;
        }
        if (load_count(FastMutex) == 1) {
          store_count(FastMutex, 0);
          FastMutex->Owner = me;
          if (contended) ++FastMutex->Contention;
          return true;
        }
        contended = true;
        return false;
      },
      timeout);
  if (recursive) {
    if (timeout != 0) {
      report_violation("fast_mutex_recursion",
                       std::string(what) + " by the thread that already owns it");
    }
    return false;
  }
  return acquired;
}

// Releases for the current thread and returns the IRQL saved at its
// acquisition in `old_irql`; false (reported) when it is not the owner.
bool release_fast_mutex(PFAST_MUTEX FastMutex, const char* what, KIRQL* old_irql) {
  const PKTHREAD me = KeGetCurrentThread();
  bool owner = false;
  kstandin::dispatcher_update([&] {
    if (FastMutex->Owner != me || load_count(FastMutex) != 0) return;
    owner = true;
    // Read while still owned: the next owner overwrites it.
    *old_irql = (KIRQL)FastMutex->OldIrql;
    FastMutex->Owner = NULL;
    store_count(FastMutex, 1);
  });
  if (!owner) {
    report_violation("mutex_not_owner",
                     std::string(what) + " by a thread that does not own the fast mutex");
  }
  return owner;
}

}  // namespace

VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
  store_count(FastMutex, 1);
  FastMutex->Owner = NULL;
  FastMutex->Contention = 0;
  KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
  FastMutex->OldIrql = PASSIVE_LEVEL;
}

VOID NTAPI ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
  const KIRQL old = current_irql();
  if (!acquire_fast_mutex(FastMutex, -1, "ExAcquireFastMutex")) return;
  if (old < APC_LEVEL) kstandin::set_current_irql(APC_LEVEL);
  FastMutex->OldIrql = old;
}

BOOLEAN NTAPI ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
  const KIRQL old = current_irql();
  if (!acquire_fast_mutex(FastMutex, 0, "ExTryToAcquireFastMutex")) return FALSE;
  if (old < APC_LEVEL) kstandin::set_current_irql(APC_LEVEL);
  FastMutex->OldIrql = old;
  return TRUE;
}

VOID NTAPI ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
  KIRQL old = PASSIVE_LEVEL;
  if (release_fast_mutex(FastMutex, "ExReleaseFastMutex", &old)) KeLowerIrql(old);
}

VOID NTAPI ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex) {
  acquire_fast_mutex(FastMutex, -1, "ExAcquireFastMutexUnsafe");
}

VOID NTAPI ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex) {
  KIRQL unused;
  release_fast_mutex(FastMutex, "ExReleaseFastMutexUnsafe", &unused);
}

// ---- local time ---------------------------------------------------------------
namespace {

constexpr LONGLONG kUnixEpochIn100ns = 116444736000000000LL;
constexpr LONGLONG k100nsPerSecond = 10000000LL;

// Offset of the host's local time from UTC at the given system time, in
// 100 ns units (positive east of Greenwich).
LONGLONG local_offset_at(LONGLONG system_time) {
  const time_t seconds = (time_t)((system_time - kUnixEpochIn100ns) / k100nsPerSecond);
  struct tm local {};
  if (localtime_r(&seconds, &local) == nullptr) return 0;
  return (LONGLONG)local.tm_gmtoff * k100nsPerSecond;
}

}  // namespace

VOID NTAPI ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime) {
  LocalTime->QuadPart = SystemTime->QuadPart + local_offset_at(SystemTime->QuadPart);
}

VOID NTAPI ExLocalTimeToSystemTime(PLARGE_INTEGER LocalTime, PLARGE_INTEGER SystemTime) {
  // The offset depends on the instant it is applied to; one refinement step
  // settles it except within the hour a daylight-saving change repeats.
  LONGLONG guess = LocalTime->QuadPart - local_offset_at(LocalTime->QuadPart);
  guess = LocalTime->QuadPart - local_offset_at(guess);
  SystemTime->QuadPart = guess;
}
