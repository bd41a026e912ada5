// Kernel core part of the kernel API: the extended processor state. Kernel
// code may use the YMM registers (AVX), and the opmask and ZMM registers
// (AVX-512), only between KeSaveExtendedProcessorState and
// KeRestoreExtendedProcessorState on the same thread, of a save whose mask
// names that state. The stand-in keeps each thread's saves and reports to the
// verifier a save above APC_LEVEL, a restore that is not of the thread's
// latest save, and saves still held when a thread or a callback into the
// driver ends; an AVX or AVX-512 kernel entered without saved state is reported
// through kstandin/testing_xstate.h.
#pragma once

#include "kstandin/base.h"

#define XSTATE_MASK_LEGACY_FLOATING_POINT (1ULL << 0)
#define XSTATE_MASK_LEGACY_SSE (1ULL << 1)
#define XSTATE_MASK_LEGACY (XSTATE_MASK_LEGACY_FLOATING_POINT | XSTATE_MASK_LEGACY_SSE)
#define XSTATE_MASK_GSSE (1ULL << 2)
#define XSTATE_MASK_AVX XSTATE_MASK_GSSE
#define XSTATE_AVX512_KMASK (5)  // the opmask registers k0-k7
#define XSTATE_AVX512_ZMM_H (6)  // the upper halves of zmm0-zmm15
#define XSTATE_AVX512_ZMM (7)    // zmm16-zmm31
#define XSTATE_MASK_AVX512 \
  ((1ULL << XSTATE_AVX512_KMASK) | (1ULL << XSTATE_AVX512_ZMM_H) | (1ULL << XSTATE_AVX512_ZMM))

typedef struct _XSAVE_AREA XSAVE_AREA, *PXSAVE_AREA;  // the processor's save area (not modelled)

typedef struct _XSTATE_CONTEXT {
  ULONG64 Mask;  // the state components saved
  ULONG Length;
  ULONG Reserved1;
  PXSAVE_AREA Area;
  PVOID Buffer;
} XSTATE_CONTEXT, *PXSTATE_CONTEXT;

// Caller-owned (usually on the stack) from the save to the restore.
typedef struct _XSTATE_SAVE {
  struct _XSTATE_SAVE* Prev;  // the thread's previous save
  struct _KTHREAD* Thread;
  UCHAR Level;                // saves the thread holds, this one included
  XSTATE_CONTEXT XStateContext;
} XSTATE_SAVE, *PXSTATE_SAVE;

// Saves the state components of Mask for the calling thread. IRQL <=
// DISPATCH_LEVEL in the kernel; this driver's rule is stricter (at most
// APC_LEVEL, never on the DISPATCH_LEVEL paths) and the stand-in reports a
// save above APC_LEVEL.
EXTERN_C NTSTATUS NTAPI KeSaveExtendedProcessorState(ULONG64 Mask, PXSTATE_SAVE XStateSave);
EXTERN_C VOID NTAPI KeRestoreExtendedProcessorState(PXSTATE_SAVE XStateSave);
