// The driver's one view of the kernel API. Every driver source includes this
// header and no kernel header directly. On the host the headers come from the
// platform stand-in; in the Windows build from the real kernel headers, with
// their known gaps closed here.
#pragma once

#if defined(_WIN32) || defined(__MINGW64__)

// ---- Windows kernel build (mingw-w64 kernel headers) ---------------------
//
// wdm.h defines InterlockedBitTestAndSet/Reset as static inline functions,
// which the compiler intrinsics (intrin.h) already declare; the definitions
// are given other names while wdm.h is read, and wdm.h then maps both names
// to the _interlockedbittest* intrinsics itself.
#include <intrin.h>
#define InterlockedBitTestAndSet tv_wdm_unused_InterlockedBitTestAndSet
#define InterlockedBitTestAndReset tv_wdm_unused_InterlockedBitTestAndReset
#include <ntddk.h>
#include <wdm.h>

// wdm.h routes RtlIsNtDdiVersionAvailable to the static helper library that
// kits for pre-Vista kernels carried (WdmlibRtlIsNtDdiVersionAvailable),
// which mingw-w64 does not ship; every supported kernel exports the function
// itself.
#undef RtlIsNtDdiVersionAvailable
extern "C" NTSYSAPI BOOLEAN NTAPI RtlIsNtDdiVersionAvailable(ULONG Version);

// ksmedia.h uses the basic Win32 types (BYTE, DWORD, RECT, SIZE, COLORREF,
// MAX_PATH), which windef.h declares without anything user-mode, and TCHAR,
// which is WCHAR in kernel mode (always Unicode).
#include <windef.h>
typedef WCHAR TCHAR;

// ks.h declares the COM-style interfaces (IKsReferenceClock with
// KsPinGetReferenceClockInterface, IKsControl) only when a kernel-mode
// IUnknown exists; mingw-w64's header for it (punknown.h) does not compile,
// so IUnknown is declared here as the kernel defines it. The interface
// macros come from basetyps.h; its `interface` keyword macro is dropped
// again after ks.h, so that driver code may use the word as a name.
#include <basetyps.h>
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW
#endif
#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE
#endif
#ifndef __IUnknown_INTERFACE_DEFINED__
#define __IUnknown_INTERFACE_DEFINED__
struct IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE QueryInterface(REFIID interface_id, PVOID* object) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
typedef IUnknown* PUNKNOWN;
#endif

// mingw-w64's KSDEVICE_DESCRIPTOR lacks the Flags member that follows
// Version (the kernel's record has it, in what is padding there: both are
// 32 bytes). ks.h's record, and its three functions that take one, are
// renamed while ks.h is read and never used; the complete record and the
// functions are declared below under their real names.
#define _KSDEVICE_DESCRIPTOR tv_mingw_ksdevice_descriptor
#define KSDEVICE_DESCRIPTOR TV_MINGW_KSDEVICE_DESCRIPTOR
#define PKSDEVICE_DESCRIPTOR TV_MINGW_PKSDEVICE_DESCRIPTOR
#define KsInitializeDriver tv_mingw_unused_KsInitializeDriver
#define KsCreateDevice tv_mingw_unused_KsCreateDevice
#define KsInitializeDevice tv_mingw_unused_KsInitializeDevice
#include <ks.h>
#undef _KSDEVICE_DESCRIPTOR
#undef KSDEVICE_DESCRIPTOR
#undef PKSDEVICE_DESCRIPTOR
#undef KsInitializeDriver
#undef KsCreateDevice
#undef KsInitializeDevice
#undef interface

typedef struct _KSDEVICE_DESCRIPTOR {
  const KSDEVICE_DISPATCH* Dispatch;
  ULONG FilterDescriptorsCount;
  const KSFILTER_DESCRIPTOR* const* FilterDescriptors;
  ULONG Version;
  ULONG Flags;  // KSDEVICE_FLAG_*, read when Version is 0x110 or later
} KSDEVICE_DESCRIPTOR, *PKSDEVICE_DESCRIPTOR;
static_assert(sizeof(KSDEVICE_DESCRIPTOR) == sizeof(tv_mingw_ksdevice_descriptor),
              "KSDEVICE_DESCRIPTOR extends the mingw-w64 record within its size");

extern "C" {
KSDDKAPI NTSTATUS NTAPI KsInitializeDriver(PDRIVER_OBJECT DriverObject,
                                           PUNICODE_STRING RegistryPath,
                                           const KSDEVICE_DESCRIPTOR* Descriptor);
KSDDKAPI NTSTATUS NTAPI KsCreateDevice(PDRIVER_OBJECT DriverObject,
                                       PDEVICE_OBJECT PhysicalDeviceObject,
                                       const KSDEVICE_DESCRIPTOR* Descriptor, ULONG ExtensionSize,
                                       PKSDEVICE* Device);
KSDDKAPI NTSTATUS NTAPI KsInitializeDevice(PDEVICE_OBJECT FunctionalDeviceObject,
                                           PDEVICE_OBJECT PhysicalDeviceObject,
                                           PDEVICE_OBJECT NextDeviceObject,
                                           const KSDEVICE_DESCRIPTOR* Descriptor);
}

#include <ksmedia.h>
#include <usb.h>
#include <usbdi.h>
// usbdlib.h declares the usbd.sys functions without C linkage.
extern "C" {
#include <usbdlib.h>
}
#include <usbioctl.h>
#include <usbbusif.h>

// The masks of the AVX and AVX-512 state components are named in the
// user-mode winnt.h only; ntddk.h spells the older AVX name with an
// MSVC-only literal suffix and has no AVX-512 components.
#ifndef XSTATE_MASK_AVX
#define XSTATE_MASK_AVX (1ULL << XSTATE_GSSE)
#endif
#ifndef XSTATE_AVX512_KMASK
#define XSTATE_AVX512_KMASK (5)
#endif
#ifndef XSTATE_AVX512_ZMM_H
#define XSTATE_AVX512_ZMM_H (6)
#endif
#ifndef XSTATE_AVX512_ZMM
#define XSTATE_AVX512_ZMM (7)
#endif
#ifndef XSTATE_MASK_AVX512
#define XSTATE_MASK_AVX512 \
  ((1ULL << XSTATE_AVX512_KMASK) | (1ULL << XSTATE_AVX512_ZMM_H) | (1ULL << XSTATE_AVX512_ZMM))
#endif

#else

// ---- host build (platform stand-in) -----------------------------------------
#include <ntddk.h>
#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>
#include <usb.h>
#include <usbdi.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <usbbusif.h>

#endif
