// Run-time library part of the kernel API: memory and list helpers,
// interlocked operations, counted strings, time conversion and the OS
// version query.
//
// The list helpers and interlocked operations are inline, as in the real
// headers; everything else is implemented in platform/src/rtl_*.cpp.
// WCHAR is 16 bits (-fshort-wchar), so no wide standard-library function is
// used anywhere here.
#pragma once

#include "kstandin/base.h"

#include <string.h>

#ifndef STATUS_INVALID_PARAMETER_2
#define STATUS_INVALID_PARAMETER_2 ((NTSTATUS)0xC00000F0L)
#endif
#ifndef STATUS_NAME_TOO_LONG
#define STATUS_NAME_TOO_LONG ((NTSTATUS)0xC0000106L)
#endif

// ---- memory ------------------------------------------------------------
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlSecureZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlEqualMemory(Destination, Source, Length) (!memcmp((Destination), (Source), (Length)))

EXTERN_C SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);

// ---- doubly linked lists (circular, with a head entry) -------------------
FORCEINLINE VOID InitializeListHead(PLIST_ENTRY ListHead) {
  ListHead->Flink = ListHead->Blink = ListHead;
}

FORCEINLINE BOOLEAN IsListEmpty(const LIST_ENTRY* ListHead) {
  return (BOOLEAN)(ListHead->Flink == ListHead);
}

// Returns TRUE when the list the entry was in is empty afterwards.
FORCEINLINE BOOLEAN RemoveEntryList(PLIST_ENTRY Entry) {
  PLIST_ENTRY next = Entry->Flink;
  PLIST_ENTRY prev = Entry->Blink;
  prev->Flink = next;
  next->Blink = prev;
  return (BOOLEAN)(next == prev);
}

FORCEINLINE PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead) {
  PLIST_ENTRY entry = ListHead->Flink;
  PLIST_ENTRY next = entry->Flink;
  ListHead->Flink = next;
  next->Blink = ListHead;
  return entry;
}

FORCEINLINE PLIST_ENTRY RemoveTailList(PLIST_ENTRY ListHead) {
  PLIST_ENTRY entry = ListHead->Blink;
  PLIST_ENTRY prev = entry->Blink;
  ListHead->Blink = prev;
  prev->Flink = ListHead;
  return entry;
}

FORCEINLINE VOID InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
  PLIST_ENTRY prev = ListHead->Blink;
  Entry->Flink = ListHead;
  Entry->Blink = prev;
  prev->Flink = Entry;
  ListHead->Blink = Entry;
}

FORCEINLINE VOID InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
  PLIST_ENTRY next = ListHead->Flink;
  Entry->Flink = next;
  Entry->Blink = ListHead;
  next->Blink = Entry;
  ListHead->Flink = Entry;
}

FORCEINLINE VOID AppendTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListToAppend) {
  PLIST_ENTRY tail = ListHead->Blink;
  ListHead->Blink->Flink = ListToAppend;
  ListHead->Blink = ListToAppend->Blink;
  ListToAppend->Blink->Flink = ListHead;
  ListToAppend->Blink = tail;
}

// ---- singly linked lists -------------------------------------------------
FORCEINLINE PSINGLE_LIST_ENTRY PopEntryList(PSINGLE_LIST_ENTRY ListHead) {
  PSINGLE_LIST_ENTRY first = ListHead->Next;
  if (first != NULL) ListHead->Next = first->Next;
  return first;
}

FORCEINLINE VOID PushEntryList(PSINGLE_LIST_ENTRY ListHead, PSINGLE_LIST_ENTRY Entry) {
  Entry->Next = ListHead->Next;
  ListHead->Next = Entry;
}

// ---- interlocked operations (full barriers) ---------------------------
// Increment/Decrement/Add return the new value; Exchange, CompareExchange,
// ExchangeAdd, Or, And and Xor return the previous one.
FORCEINLINE LONG InterlockedIncrement(LONG volatile* Addend) {
  return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedDecrement(LONG volatile* Addend) {
  return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedCompareExchange(LONG volatile* Destination, LONG ExChange,
                                            LONG Comperand) {
  __atomic_compare_exchange_n(Destination, &Comperand, ExChange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comperand;
}
FORCEINLINE LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
  return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedAdd(LONG volatile* Addend, LONG Value) {
  return __atomic_add_fetch(Addend, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedOr(LONG volatile* Destination, LONG Value) {
  return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedAnd(LONG volatile* Destination, LONG Value) {
  return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedXor(LONG volatile* Destination, LONG Value) {
  return __atomic_fetch_xor(Destination, Value, __ATOMIC_SEQ_CST);
}

FORCEINLINE LONG64 InterlockedIncrement64(LONG64 volatile* Addend) {
  return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG64 InterlockedDecrement64(LONG64 volatile* Addend) {
  return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG64 InterlockedExchange64(LONG64 volatile* Target, LONG64 Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG64 InterlockedCompareExchange64(LONG64 volatile* Destination, LONG64 ExChange,
                                                LONG64 Comperand) {
  __atomic_compare_exchange_n(Destination, &Comperand, ExChange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comperand;
}
FORCEINLINE LONG64 InterlockedExchangeAdd64(LONG64 volatile* Addend, LONG64 Value) {
  return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG64 InterlockedAdd64(LONG64 volatile* Addend, LONG64 Value) {
  return __atomic_add_fetch(Addend, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG64 InterlockedOr64(LONG64 volatile* Destination, LONG64 Value) {
  return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG64 InterlockedAnd64(LONG64 volatile* Destination, LONG64 Value) {
  return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}

FORCEINLINE PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID ExChange,
                                                    PVOID Comperand) {
  __atomic_compare_exchange_n(Destination, &Comperand, ExChange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comperand;
}

// Plain loads and stores that other processors may race with.
FORCEINLINE LONG ReadNoFence(LONG const volatile* Source) {
  return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
FORCEINLINE VOID WriteNoFence(LONG volatile* Destination, LONG Value) {
  __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}

// ---- counted strings -----------------------------------------------------
#define UNICODE_NULL ((WCHAR)0)
#define ANSI_NULL ((CHAR)0)
#define UNICODE_STRING_MAX_BYTES ((USHORT)65534)
#define UNICODE_STRING_MAX_CHARS (32767)

#ifdef __cplusplus
template <typename T>
constexpr T* kstandin_unconst(const T* p) {
  return const_cast<T*>(p);
}
// Initialiser for a UNICODE_STRING or STRING from a string literal.
#define RTL_CONSTANT_STRING(s) \
  { sizeof(s) - sizeof((s)[0]), sizeof(s), kstandin_unconst(s) }
#else
#define RTL_CONSTANT_STRING(s) \
  { sizeof(s) - sizeof((s)[0]), sizeof(s), (s) }
#endif
#define DECLARE_CONST_UNICODE_STRING(_var, _string) \
  const UNICODE_STRING _var = RTL_CONSTANT_STRING(_string)

EXTERN_C VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
// As RtlInitUnicodeString, but fails with STATUS_NAME_TOO_LONG instead of
// truncating a string longer than UNICODE_STRING_MAX_CHARS - 1 characters.
EXTERN_C NTSTATUS NTAPI RtlInitUnicodeStringEx(PUNICODE_STRING DestinationString,
                                               PCWSTR SourceString);
EXTERN_C VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);
EXTERN_C VOID NTAPI RtlInitString(PSTRING DestinationString, PCSTR SourceString);

// Copies as much as fits into DestinationString's buffer; terminates it
// when there is room. A null source makes the destination empty.
EXTERN_C VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                         PCUNICODE_STRING SourceString);
// STATUS_BUFFER_TOO_SMALL (destination unchanged) when the result does not fit.
EXTERN_C NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
EXTERN_C NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                                       PCUNICODE_STRING Source);

EXTERN_C LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                            BOOLEAN CaseInSensitive);
EXTERN_C BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                             BOOLEAN CaseInSensitive);
EXTERN_C BOOLEAN NTAPI RtlEqualString(const STRING* String1, const STRING* String2,
                                      BOOLEAN CaseInSensitive);
// Upper case for Basic Latin, Latin-1, Greek and Cyrillic; other characters
// are returned unchanged.
EXTERN_C WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter);

// ANSI here is ISO 8859-1: characters up to U+00FF (except the C1 controls)
// map to one byte each, everything else becomes '?'. With
// AllocateDestinationString the buffer comes from paged pool and is released
// with RtlFreeAnsiString / RtlFreeUnicodeString.
EXTERN_C NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                                     PCUNICODE_STRING SourceString,
                                                     BOOLEAN AllocateDestinationString);
EXTERN_C NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                                     PCANSI_STRING SourceString,
                                                     BOOLEAN AllocateDestinationString);
EXTERN_C VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
EXTERN_C VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString);

// Leading blanks, an optional sign and, with Base 0, a "0x", "0o" or "0b"
// prefix; conversion stops at the first character that is not a digit of
// the base. A string without any digit is STATUS_INVALID_PARAMETER.
EXTERN_C NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base,
                                                  PULONG Value);
// Base 0 means 10; 2, 8, 10 and 16 are accepted. STATUS_BUFFER_OVERFLOW when
// the digits do not fit into String's buffer.
EXTERN_C NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);

// Length helpers in the style of ntstrsafe.h: STATUS_INVALID_PARAMETER when
// no terminator is found within the maximum.
#define NTSTRSAFE_MAX_CCH 2147483647
EXTERN_C NTSTATUS NTAPI RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength);
EXTERN_C NTSTATUS NTAPI RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength);
EXTERN_C NTSTATUS NTAPI RtlStringCchLengthA(PCSTR psz, size_t cchMax, size_t* pcchLength);
EXTERN_C NTSTATUS NTAPI RtlStringCbLengthA(PCSTR psz, size_t cbMax, size_t* pcbLength);

// ---- time conversion ------------------------------------------------------
// Times are 100 ns units since 1601-01-01 00:00 UTC.
EXTERN_C VOID NTAPI RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields);
// FALSE when a field is out of range; Weekday is ignored.
EXTERN_C BOOLEAN NTAPI RtlTimeFieldsToTime(PTIME_FIELDS TimeFields, PLARGE_INTEGER Time);

// ---- OS version -------------------------------------------------------
#define NTDDI_WIN2K 0x05000000
#define NTDDI_WINXP 0x05010000
#define NTDDI_WS03 0x05020000
#define NTDDI_VISTA 0x06000000
#define NTDDI_WS08 0x06000100
#define NTDDI_WIN7 0x06010000
#define NTDDI_WIN8 0x06020000
#define NTDDI_WINBLUE 0x06030000
#define NTDDI_WINTHRESHOLD 0x0A000000
#define NTDDI_WIN10 0x0A000000
#define NTDDI_WIN10_TH2 0x0A000001
#define NTDDI_WIN10_RS1 0x0A000002
#define NTDDI_WIN10_RS2 0x0A000003
#define NTDDI_WIN10_RS3 0x0A000004
#define NTDDI_WIN10_RS4 0x0A000005
#define NTDDI_WIN10_RS5 0x0A000006
#define NTDDI_WIN10_19H1 0x0A000007
#define NTDDI_WIN10_VB 0x0A000008
#define NTDDI_WIN10_MN 0x0A000009
#define NTDDI_WIN10_FE 0x0A00000A
#define NTDDI_WIN10_CO 0x0A00000B
#define NTDDI_WIN10_NI 0x0A00000C

typedef struct _OSVERSIONINFOW {
  ULONG dwOSVersionInfoSize;
  ULONG dwMajorVersion;
  ULONG dwMinorVersion;
  ULONG dwBuildNumber;
  ULONG dwPlatformId;
  WCHAR szCSDVersion[128];
} OSVERSIONINFOW, *POSVERSIONINFOW, RTL_OSVERSIONINFOW, *PRTL_OSVERSIONINFOW;

// The stand-in is Windows 10 (NTDDI_WIN10, version 10.0, build 10240):
// TRUE for every version up to and including NTDDI_WIN10.
EXTERN_C BOOLEAN NTAPI RtlIsNtDdiVersionAvailable(ULONG Version);
EXTERN_C NTSTATUS NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation);
