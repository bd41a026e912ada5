// ProbeForRead: what the kernel would raise an exception for is recorded as
// a violation.
#include <wdm.h>

#include <cstdint>
#include <string>

#include "kernel_internal.h"

EXTERN_C VOID NTAPI ProbeForRead(const VOID* Address, SIZE_T Length, ULONG Alignment) {
  if (Length == 0) return;
  const auto address = reinterpret_cast<uintptr_t>(Address);
  if (Alignment != 0 && (address & (Alignment - 1)) != 0) {
    kstandin::report_violation("probe_misaligned", "ProbeForRead of a buffer not aligned to " +
                                                       std::to_string(Alignment) + " bytes");
  }
  if (Address == nullptr || address + Length < address) {
    kstandin::report_violation("probe_invalid_buffer", "ProbeForRead of " + std::to_string(Length) +
                                                           " bytes at an invalid address");
  }
}
