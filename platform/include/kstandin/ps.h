// Process/thread and object manager part of the kernel API: system threads,
// object references and the handle table shared by thread, registry key and
// file handles.
//
// System threads run on host threads at PASSIVE_LEVEL. A thread object is
// waitable: KeWaitForSingleObject on the pointer ObReferenceObjectByHandle
// returns waits until the thread has ended. Thread objects are kept by the
// platform outside the pool (they live as long as a handle or reference to
// them does, and at least until the thread has ended).
#pragma once

#include "kstandin/base.h"
#include "kstandin/ke.h"

struct _OBJECT_TYPE;
typedef struct _OBJECT_TYPE* POBJECT_TYPE;

typedef struct _CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef struct _OBJECT_HANDLE_INFORMATION {
  ULONG HandleAttributes;
  ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

typedef VOID KSTART_ROUTINE(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
#define ZwCurrentProcess() NtCurrentProcess()
#define NtCurrentThread() ((HANDLE)(LONG_PTR)-2)
#define ZwCurrentThread() NtCurrentThread()

#ifndef THREAD_TERMINATE
#define THREAD_TERMINATE 0x0001
#endif
#ifndef THREAD_QUERY_INFORMATION
#define THREAD_QUERY_INFORMATION 0x0040
#endif
#ifndef MAXIMUM_ALLOWED
#define MAXIMUM_ALLOWED 0x02000000L
#endif

// Object types for ObReferenceObjectByHandle.
EXTERN_C POBJECT_TYPE* PsThreadType;
EXTERN_C POBJECT_TYPE* IoFileObjectType;

// Starts StartRoutine(StartContext) on a new system thread at PASSIVE_LEVEL
// and returns a handle to it (close it with ZwClose). ProcessHandle and
// ClientId may be NULL. PASSIVE_LEVEL. STATUS_INSUFFICIENT_RESOURCES when the
// host cannot create a thread.
EXTERN_C NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                             POBJECT_ATTRIBUTES ObjectAttributes,
                                             HANDLE ProcessHandle, PCLIENT_ID ClientId,
                                             PKSTART_ROUTINE StartRoutine, PVOID StartContext);
// Ends the calling system thread; never returns. The host thread is unwound
// with a platform exception that only the thread's own wrapper catches, so
// driver frames (compiled without exceptions but, as on every x86-64 host
// build, with unwind tables) are left without running anything further.
// Called from a thread the platform did not create it is reported
// ("terminate_foreign_thread").
EXTERN_C DECLSPEC_NORETURN NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);
EXTERN_C PETHREAD NTAPI PsGetCurrentThread(VOID);
EXTERN_C HANDLE NTAPI PsGetCurrentThreadId(VOID);
EXTERN_C HANDLE NTAPI PsGetCurrentProcessId(VOID);
EXTERN_C BOOLEAN NTAPI PsIsSystemThread(PETHREAD Thread);

// Returns the object behind a handle with one more reference. ObjectType
// may be NULL (any type); thread handles yield the KTHREAD. A handle of
// another type than asked for gives STATUS_OBJECT_TYPE_MISMATCH, an unknown
// one STATUS_INVALID_HANDLE.
EXTERN_C NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                  POBJECT_TYPE ObjectType,
                                                  KPROCESSOR_MODE AccessMode, PVOID* Object,
                                                  POBJECT_HANDLE_INFORMATION HandleInformation);
// Work on thread and device objects. Dereferencing a pointer that is not a
// referenced object is reported ("invalid_object_reference").
EXTERN_C LONG_PTR FASTCALL ObfReferenceObject(PVOID Object);
EXTERN_C LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);
#define ObReferenceObject(Object) ObfReferenceObject(Object)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)
