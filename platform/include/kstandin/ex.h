// Executive part of the kernel API: pool memory, interlocked lists, fast
// mutexes and local time.
//
// Every pool block is a separate host allocation, so AddressSanitizer sees
// overruns; the platform keeps a registry of live blocks per tag for leak
// checks (kstandin/testing.h).
#pragma once

#include "kstandin/base.h"
#include "kstandin/ke.h"

// ---- pool ----------------------------------------------------------------
typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  NonPagedPoolExecute = NonPagedPool,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  DontUseThisType = 3,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolCacheAlignedMustS = 6,
  MaxPoolType = 7,
  NonPagedPoolBase = 0,
  NonPagedPoolBaseMustSucceed = 2,
  NonPagedPoolBaseCacheAligned = 4,
  NonPagedPoolBaseCacheAlignedMustS = 6,
  NonPagedPoolSession = 32,
  PagedPoolSession = 33,
  NonPagedPoolMustSucceedSession = 34,
  DontUseThisTypeSession = 35,
  NonPagedPoolCacheAlignedSession = 36,
  PagedPoolCacheAlignedSession = 37,
  NonPagedPoolCacheAlignedMustSSession = 38,
  NonPagedPoolNx = 512,
  NonPagedPoolNxCacheAligned = 516,
  NonPagedPoolSessionNx = 544,
} POOL_TYPE;

// Pageable pool types have this bit set.
#define BASE_POOL_TYPE_MASK 1
#define POOL_COLD_ALLOCATION 256
#define POOL_QUOTA_FAIL_INSTEAD_OF_RAISE 8
#define POOL_RAISE_IF_ALLOCATION_FAILURE 16

// Returns NULL when out of memory (always for more than 2 GiB). The block's contents are undefined
// (the platform fills them with 0xA5 so that code relying on zeroed memory shows up). Pageable pool
// at DISPATCH_LEVEL or above is reported
// ("paged_pool_at_dispatch").
EXTERN_C PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
EXTERN_C PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
// A pointer that is not a live block is reported ("pool_double_free") and
// left alone; a tag other than the allocation's is reported
// ("pool_tag_mismatch") and the block is freed. Tag 0 skips the tag check.
EXTERN_C VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
EXTERN_C VOID NTAPI ExFreePool(PVOID P);

// ---- interlocked lists ----------------------------------------------------
// The spin lock guards the list; callable at IRQL <= DISPATCH_LEVEL, and the
// lock must not be held by the caller. The insert and push routines return
// the previous first entry (NULL if the list was empty); the remove and pop
// routines the entry removed, or NULL.
EXTERN_C PLIST_ENTRY NTAPI ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                       PKSPIN_LOCK Lock);
EXTERN_C PLIST_ENTRY NTAPI ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                       PKSPIN_LOCK Lock);
EXTERN_C PLIST_ENTRY NTAPI ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock);
EXTERN_C PSINGLE_LIST_ENTRY NTAPI ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead,
                                                             PSINGLE_LIST_ENTRY ListEntry,
                                                             PKSPIN_LOCK Lock);
EXTERN_C PSINGLE_LIST_ENTRY NTAPI ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead,
                                                            PKSPIN_LOCK Lock);

// ---- fast mutexes -----------------------------------------------------------
// Acquiring raises to APC_LEVEL; the owner must not acquire it again.
// Count is 1 when free.
typedef struct _FAST_MUTEX {
  volatile LONG Count;
  PVOID Owner;  // owning KTHREAD
  ULONG Contention;
  KEVENT Event;
  ULONG OldIrql;  // IRQL before the acquisition, restored on release
} FAST_MUTEX, *PFAST_MUTEX;
static_assert(sizeof(FAST_MUTEX) == 56, "FAST_MUTEX layout");

EXTERN_C VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex);
EXTERN_C VOID NTAPI ExAcquireFastMutex(PFAST_MUTEX FastMutex);
EXTERN_C VOID NTAPI ExReleaseFastMutex(PFAST_MUTEX FastMutex);
EXTERN_C BOOLEAN NTAPI ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex);
// The Unsafe variants leave the IRQL alone (callers are at APC_LEVEL or in
// a critical region).
EXTERN_C VOID NTAPI ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex);
EXTERN_C VOID NTAPI ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex);

// ---- time ------------------------------------------------------------------
// Local time is the host's time zone: the offset (daylight saving included)
// in effect at the given instant.
EXTERN_C VOID NTAPI ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime);
EXTERN_C VOID NTAPI ExLocalTimeToSystemTime(PLARGE_INTEGER LocalTime, PLARGE_INTEGER SystemTime);

// ---- caller buffers ------------------------------------------------------------
// Checks that a caller's buffer of `Length` bytes may be read. The kernel
// raises an exception for a misaligned or invalid buffer; the stand-in has no
// user address space and records a violation ("probe_misaligned",
// "probe_invalid_buffer") instead.
EXTERN_C VOID NTAPI ProbeForRead(const VOID* Address, SIZE_T Length, ULONG Alignment);
