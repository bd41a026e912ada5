// Arbitrary bytes as an "HTPX" defect file: the loader reads only through
// its byte source (here the input, with the short reads a file gives at its
// end), accepts or refuses without reading outside, frees what it refuses,
// and an accepted list holds exactly its chunk's length / 4 entries.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <kstandin/testing.h>

#include "cameras/defect_codec.h"
#include "kernel/kernel_api.h"

namespace {

struct bytes {
  const uint8_t* data;
  size_t size;
};

NTSTATUS read_bytes(PVOID context, ULONGLONG offset, PVOID buffer, ULONG length, ULONG* got) {
  const auto* b = static_cast<const bytes*>(context);
  *got = 0;
  if (offset >= b->size) return STATUS_SUCCESS;
  const size_t n = b->size - offset < length ? b->size - offset : length;
  memcpy(buffer, b->data + offset, n);
  *got = ULONG(n);
  return STATUS_SUCCESS;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0x100000) return 0;
  bytes input = {data, size};
  const defect_source source = {read_bytes, &input};
  defect_file_lists lists;
  const NTSTATUS status = parse_defect_file(source, &lists);
  if (!NT_SUCCESS(status)) {
    for (ULONG i = 0; i < 3; ++i) {
      if (lists.entries[i] != nullptr || lists.present[i]) __builtin_trap();
    }
    return 0;
  }
  for (ULONG i = 0; i < 3; ++i) {
    if (!lists.present[i] && (lists.entries[i] != nullptr || lists.count[i] != 0)) __builtin_trap();
    if ((lists.entries[i] == nullptr) != (lists.count[i] == 0)) __builtin_trap();
    if (ULONGLONG(lists.count[i]) * 4 > size) __builtin_trap();
    for (ULONG e = 0; e < lists.count[i]; ++e) {
      volatile ULONG v = lists.entries[i][e];  // every entry is readable
      (void)v;
    }
  }
  free_defect_file(&lists);
  if (!kstandin::take_pool_snapshot().live.empty()) __builtin_trap();
  return 0;
}
