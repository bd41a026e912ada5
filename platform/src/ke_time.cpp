// Time sources of the stand-in. System time comes from the host's real-time
// clock, converted to 100 ns units since 1601-01-01 UTC; interrupt time and
// the performance counter come from the host's monotonic clock, in 100 ns
// units (a 10 MHz counter).
#include <chrono>
#include <thread>

#include "ke_core.h"

namespace kstandin {
namespace {

// 100 ns intervals from 1601-01-01 to 1970-01-01.
constexpr LONGLONG kUnixEpochIn100ns = 116444736000000000LL;
constexpr ULONG kTimeIncrement100ns = 156250;  // 15.625 ms clock tick

LONGLONG monotonic_100ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
             .count() /
         100;
}

}  // namespace

LONGLONG system_time_100ns() {
  const auto since_unix = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return kUnixEpochIn100ns + since_unix.count() / 100;
}

LONGLONG interrupt_time_100ns() {
  static const LONGLONG start = monotonic_100ns();
  return monotonic_100ns() - start;
}

}  // namespace kstandin

LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  if (PerformanceFrequency != NULL) PerformanceFrequency->QuadPart = 10000000;
  LARGE_INTEGER counter;
  counter.QuadPart = kstandin::monotonic_100ns();
  return counter;
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = kstandin::system_time_100ns();
}

VOID NTAPI KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = kstandin::system_time_100ns();
}

ULONGLONG NTAPI KeQueryInterruptTime(VOID) { return kstandin::interrupt_time_100ns(); }

ULONGLONG NTAPI KeQueryUnbiasedInterruptTime(VOID) { return kstandin::interrupt_time_100ns(); }

VOID NTAPI KeQueryTickCount(PLARGE_INTEGER CurrentCount) {
  CurrentCount->QuadPart = kstandin::interrupt_time_100ns() / kstandin::kTimeIncrement100ns;
}

ULONG NTAPI KeQueryTimeIncrement(VOID) { return kstandin::kTimeIncrement100ns; }

VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(MicroSeconds);
  while (std::chrono::steady_clock::now() < end) std::this_thread::yield();
}
