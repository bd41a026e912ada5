// Helpers shared by the kernel-core sources of the stand-in (ke_*, ex_*,
// rtl_*, verifier and debug sources). Not part of the contract with the
// I/O part; see kernel_internal.h for that.
#pragma once

#include "kernel_internal.h"

#include <string>

namespace kstandin {

// Appends one entry to the debug log (and echoes it when echo is on).
void debug_log_append(std::string entry);

// Acquires / releases the lock word for the calling thread without touching
// the IRQL, with the same recursion and ownership checks as the Ke routines.
// `what` names the caller for reports.
void spin_lock_acquire_raw(PKSPIN_LOCK lock, const char* what);
void spin_lock_release_raw(PKSPIN_LOCK lock, const char* what);

// 100 ns units since 1601-01-01 UTC, from the host's real-time clock.
LONGLONG system_time_100ns();
// 100 ns units since the platform started, from the host's monotonic clock.
LONGLONG interrupt_time_100ns();
// A kernel time-out (NULL, negative relative, positive absolute, zero) as a
// relative time-out in 100 ns units for wait_until (-1: none).
LONGLONG relative_timeout(const LARGE_INTEGER* timeout);

// A small number that identifies the calling host thread for its life.
ULONG current_thread_number();

}  // namespace kstandin

namespace kstandin {

// Runs `change` under the dispatcher lock and wakes every waiter, for
// objects whose state is more than SignalState (fast mutexes, mutex owners).
void dispatcher_update(const std::function<void()>& change);

}  // namespace kstandin

namespace kstandin {

// Formats like DbgPrint (see debug_print.cpp for the conversions).
std::string format_kernel_message(const char* format, va_list args);

}  // namespace kstandin
