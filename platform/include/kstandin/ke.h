// Kernel core part of the kernel API: threads and IRQL, spin locks, events,
// mutexes and semaphores, waits, time, processors, bug checks, DbgPrint and
// assertions.
//
// On the host every thread carries its own IRQL. Spin locks raise it to
// DISPATCH_LEVEL; waits, mutexes and pageable memory check it and report a
// broken rule to the verifier instead of halting (see kstandin/testing.h).
#pragma once

#include "kstandin/base.h"
#include "kstandin/rtl.h"

// ---- threads -----------------------------------------------------------
// A thread is a dispatcher object: it is signalled when it has ended, so
// KeWaitForSingleObject on a thread object waits for its end.
typedef struct _KTHREAD {
  DISPATCHER_HEADER Header;  // Type ThreadObject; SignalState 1 once ended
  PVOID PlatformContext;     // owned by the platform part that created the thread
  ULONG_PTR UniqueThread;    // host thread number, for diagnostics
} KTHREAD;

EXTERN_C PKTHREAD NTAPI KeGetCurrentThread(VOID);

// Normal kernel APCs are not modelled; the region depth is only counted.
EXTERN_C VOID NTAPI KeEnterCriticalRegion(VOID);
EXTERN_C VOID NTAPI KeLeaveCriticalRegion(VOID);
EXTERN_C BOOLEAN NTAPI KeAreApcsDisabled(VOID);

// ---- IRQL ----------------------------------------------------------------
EXTERN_C KIRQL NTAPI KeGetCurrentIrql(VOID);
// Raises to NewIrql (which must not be below the current IRQL) and returns
// the previous IRQL.
EXTERN_C KIRQL NTAPI KfRaiseIrql(KIRQL NewIrql);
#define KeRaiseIrql(NewIrql, OldIrql) (*(OldIrql) = KfRaiseIrql(NewIrql))
EXTERN_C KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID);
EXTERN_C VOID NTAPI KeLowerIrql(KIRQL NewIrql);

// ---- spin locks -------------------------------------------------------
// The lock word holds the owning thread's identity while the lock is held.
typedef struct _KSPIN_LOCK_QUEUE {
  struct _KSPIN_LOCK_QUEUE* volatile Next;
  PKSPIN_LOCK volatile Lock;
} KSPIN_LOCK_QUEUE, *PKSPIN_LOCK_QUEUE;

typedef struct _KLOCK_QUEUE_HANDLE {
  KSPIN_LOCK_QUEUE LockQueue;
  KIRQL OldIrql;
} KLOCK_QUEUE_HANDLE, *PKLOCK_QUEUE_HANDLE;

EXTERN_C VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
// Raises to DISPATCH_LEVEL, acquires, and returns the previous IRQL.
EXTERN_C KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock))
// Releases and lowers the IRQL to NewIrql (the value the acquire returned).
EXTERN_C VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
// Callers are already at DISPATCH_LEVEL; the IRQL is left alone.
EXTERN_C VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
EXTERN_C VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
EXTERN_C BOOLEAN NTAPI KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
// TRUE when the lock is free (a hint only: it can change at once).
EXTERN_C BOOLEAN NTAPI KeTestSpinLock(PKSPIN_LOCK SpinLock);

EXTERN_C VOID NTAPI KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock,
                                                   PKLOCK_QUEUE_HANDLE LockHandle);
EXTERN_C VOID NTAPI KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle);
EXTERN_C VOID NTAPI KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock,
                                                             PKLOCK_QUEUE_HANDLE LockHandle);
EXTERN_C VOID NTAPI KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle);

// ---- events, mutexes, semaphores ------------------------------------------
#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1
#define SEMAPHORE_INCREMENT 1
#define MUTANT_INCREMENT 1

// A notification event stays signalled until reset; a synchronization event
// releases one waiter and resets itself.
EXTERN_C VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
// Each returns the previous signal state.
EXTERN_C LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
EXTERN_C LONG NTAPI KeResetEvent(PRKEVENT Event);
EXTERN_C VOID NTAPI KeClearEvent(PRKEVENT Event);
EXTERN_C LONG NTAPI KeReadStateEvent(PRKEVENT Event);

// A kernel mutex is acquired with KeWaitForSingleObject; its owner may
// acquire it again and must release it as often. SignalState is 1 when free
// and 1 - depth while owned.
EXTERN_C VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
EXTERN_C LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
EXTERN_C LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex);

EXTERN_C VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
// Returns the previous count. Releasing beyond the limit is reported
// ("semaphore_limit") and leaves the count at the limit.
EXTERN_C LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment,
                                       BOOLEAN Wait);
EXTERN_C LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore);

// ---- waits -------------------------------------------------------------
typedef enum _KWAIT_REASON {
  Executive,
  FreePage,
  PageIn,
  PoolAllocation,
  DelayExecution,
  Suspended,
  UserRequest,
  WrExecutive,
  WrFreePage,
  WrPageIn,
  WrPoolAllocation,
  WrDelayExecution,
  WrSuspended,
  WrUserRequest,
  MaximumWaitReason = 40
} KWAIT_REASON;

typedef enum _WAIT_TYPE { WaitAll, WaitAny, WaitNotification, WaitDequeue } WAIT_TYPE;

typedef struct _KWAIT_BLOCK {
  LIST_ENTRY WaitListEntry;
  UCHAR WaitType;
  volatile UCHAR BlockState;
  USHORT WaitKey;
  LONG SpareLong;
  struct _KTHREAD* Thread;
  PVOID Object;
  PVOID SparePtr;
} KWAIT_BLOCK, *PKWAIT_BLOCK, *PRKWAIT_BLOCK;

#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64

// Timeout: NULL waits without limit; a negative value is relative, a
// positive one an absolute system time, both in 100 ns units; zero only
// tests the state. Returns STATUS_SUCCESS (STATUS_WAIT_0 + index for
// WaitAny) or STATUS_TIMEOUT. Waiting with a non-zero time-out at
// DISPATCH_LEVEL, or for a mutex at DISPATCH_LEVEL at all, is reported.
EXTERN_C NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                              KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                              PLARGE_INTEGER Timeout);
EXTERN_C NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                                 KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                                 BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                                 PKWAIT_BLOCK WaitBlockArray);
#define KeWaitForMutexObject KeWaitForSingleObject

// Interval as for the wait time-outs.
EXTERN_C NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                               PLARGE_INTEGER Interval);

// ---- time ----------------------------------------------------------------
// 10 MHz counter from the host's monotonic clock.
EXTERN_C LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
// 100 ns units since 1601-01-01 00:00 UTC.
EXTERN_C VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
EXTERN_C VOID NTAPI KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime);
// 100 ns units since the platform started (monotonic).
EXTERN_C ULONGLONG NTAPI KeQueryInterruptTime(VOID);
EXTERN_C ULONGLONG NTAPI KeQueryUnbiasedInterruptTime(VOID);
// Clock ticks of KeQueryTimeIncrement() 100 ns units each (15.625 ms).
EXTERN_C VOID NTAPI KeQueryTickCount(PLARGE_INTEGER CurrentCount);
EXTERN_C ULONG NTAPI KeQueryTimeIncrement(VOID);
// Busy-waits; allowed at any IRQL.
EXTERN_C VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds);

// ---- processors --------------------------------------------------------
// The number stays the same for a host thread for its whole life.
EXTERN_C ULONG NTAPI KeGetCurrentProcessorNumber(VOID);
EXTERN_C ULONG NTAPI KeQueryActiveProcessorCount(KAFFINITY* ActiveProcessors);

// ---- bug checks ----------------------------------------------------------
// Records the bug check ("bug_check"), prints it to stderr and aborts.
EXTERN_C DECLSPEC_NORETURN VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1,
                                                   ULONG_PTR BugCheckParameter2,
                                                   ULONG_PTR BugCheckParameter3,
                                                   ULONG_PTR BugCheckParameter4);
EXTERN_C DECLSPEC_NORETURN VOID NTAPI KeBugCheck(ULONG BugCheckCode);

// ---- debug output --------------------------------------------------------
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3
#define DPFLTR_MASK 0x80000000
#define DPFLTR_DEFAULT_ID 101
#define DPFLTR_IHVVIDEO_ID 78
#define DPFLTR_IHVAUDIO_ID 79
#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_IHVSTREAMING_ID 82

// printf-style formatting with the kernel's additions: %wZ (PUNICODE_STRING),
// %Z (PANSI_STRING), %ws / %S / %ls (16-bit wide string), %C / %wc (wide
// character), %I64 / %I32 / %I size prefixes. Each call is one entry of the
// debug log (kstandin::take_debug_log). Every level of every component is
// kept.
EXTERN_C ULONG DbgPrint(PCSTR Format, ...);
EXTERN_C ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);
EXTERN_C ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist);
#define KdPrint(_x_) DbgPrint _x_
#define KdPrintEx(_x_) DbgPrintEx _x_

// ---- assertions ----------------------------------------------------------
// A failed assertion writes "Assertion failed: <expression>" with its source
// position to the debug log, records an "assertion" violation and returns,
// so the code goes on to its own error handling.
EXTERN_C VOID NTAPI RtlAssert(PVOID VoidFailedAssertion, PVOID VoidFileName, ULONG LineNumber,
                              PSTR MutableMessage);

#define ASSERT(exp) \
  ((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, NULL), FALSE) : TRUE)
#define ASSERTMSG(msg, exp) \
  ((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, (PSTR)(msg)), FALSE) : TRUE)
#define NT_ASSERT(exp) ASSERT(exp)
#define NT_ASSERTMSG(msg, exp) ASSERTMSG(msg, exp)
#define NT_VERIFY(exp) ASSERT(exp)
#define NT_VERIFYMSG(msg, exp) ASSERTMSG(msg, exp)

// Pageable code must not run above APC_LEVEL; a violation is reported as a
// failed assertion.
#define PAGED_CODE()                                                               \
  ((void)((KeGetCurrentIrql() > APC_LEVEL)                                         \
              ? (RtlAssert((PVOID) "KeGetCurrentIrql() <= APC_LEVEL (PAGED_CODE)", \
                           (PVOID)__FILE__, __LINE__, NULL),                       \
                 0)                                                                \
              : 0))
#define PAGED_CODE_LOCKED() ((void)0)

// ---- barriers ------------------------------------------------------------
#define KeMemoryBarrier() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#define KeMemoryBarrierWithoutFence() __atomic_signal_fence(__ATOMIC_SEQ_CST)
#define MemoryBarrier() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#if defined(__x86_64__) || defined(__i386__)
#define YieldProcessor() __builtin_ia32_pause()
#else
#define YieldProcessor() ((void)0)
#endif
