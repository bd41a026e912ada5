// Host stand-in for the Windows kernel's wdm.h: the kernel API a WDM driver
// sees, split into one header per kernel component.
#pragma once

#include "kstandin/base.h"
#include "kstandin/rtl.h"   // strings, lists, interlocked operations, time conversion
#include "kstandin/ke.h"    // IRQL, spin locks, events, mutexes, waits, time, DbgPrint
#include "kstandin/ke_xstate.h"  // extended processor state (AVX)
#include "kstandin/ex.h"    // pool, interlocked lists, system time
#include "kstandin/io.h"    // devices, IRPs, MDLs, work items
#include "kstandin/ps.h"    // system threads and object references
#include "kstandin/zw.h"    // registry and files
