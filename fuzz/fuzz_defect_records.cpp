// Arbitrary bytes as the defect stores the cameras keep: the input is the
// EEPROM window (header in its last 4 bytes, records below) and the
// camera-memory window (header first, records after it). Both walks stay
// inside the window and hand over only records that lie wholly inside it;
// every record found is decoded as a compressed list for a few sensor
// widths, which must stay inside the record, write no more entries than
// its count, and, when it decodes, encode back to entries it decodes to
// again.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <kstandin/testing.h>

#include "cameras/defect_codec.h"
#include "kernel/kernel_api.h"

namespace {

struct window {
  const uint8_t* data;
  ULONG start;
  ULONG size;
};

NTSTATUS read_window(PVOID context, ULONGLONG offset, PVOID buffer, ULONG length, ULONG* got) {
  const auto* w = static_cast<const window*>(context);
  *got = 0;
  if (offset < w->start || offset - w->start > w->size || w->size - (offset - w->start) < length) {
    __builtin_trap();  // the walks never read outside the window
  }
  memcpy(buffer, w->data + (offset - w->start), length);
  *got = length;
  return STATUS_SUCCESS;
}

const window* g_window = nullptr;

void check_decode(const UCHAR* data, ULONG length) {
  static const ULONG widths[] = {1, 7, 640, 1920, 65535};
  for (ULONG width : widths) {
    ULONG count = 0;
    if (!NT_SUCCESS(compressed_defect_count(data, length, &count))) continue;
    if (count > length) __builtin_trap();
    ULONG* out = new ULONG[count + 1];
    ULONG n = 0;
    if (NT_SUCCESS(decode_defects(data, length, width, out, count, &n))) {
      if (n > count) __builtin_trap();
      // Entries inside the sensor's columns survive a round trip.
      UCHAR* packed = new UCHAR[4 + 6 * (n + 1)];
      ULONG size = 0, written = 0;
      if (width >= 16 && NT_SUCCESS(compress_defects(out, n, width, 0x10000, packed, 4 + 6 * (n + 1), &size,
                                                       &written))) {
        ULONG again_count = 0;
        if (written != 0) {
          if (!NT_SUCCESS(compressed_defect_count(packed, size, &again_count)) || again_count != written) {
            __builtin_trap();
          }
          ULONG* again = new ULONG[again_count];
          ULONG m = 0;
          if (!NT_SUCCESS(decode_defects(packed, size, width, again, again_count, &m)) || m != written) {
            __builtin_trap();
          }
          delete[] again;
        }
      }
      delete[] packed;
    }
    delete[] out;
  }
}

NTSTATUS visit(PVOID, USHORT id, ULONG offset, ULONG length) {
  if (id == 0 || id == 0xFFFF || id == 0x8FFF) __builtin_trap();
  const window* w = g_window;
  if (offset < w->start || offset - w->start > w->size || w->size - (offset - w->start) < length) {
    __builtin_trap();
  }
  check_decode(w->data + (offset - w->start), length);
  return STATUS_SUCCESS;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0x10000) return 0;
  window w = {data, 0x4000, ULONG(size)};
  g_window = &w;
  const defect_source source = {read_window, &w};
  UCHAR version = 0;
  walk_eeprom_records(source, w.start, w.start + w.size, visit, nullptr, &version);
  walk_memory_records(source, w.start, w.start + w.size, visit, nullptr);
  check_decode(data, ULONG(size));
  kstandin::take_violations();
  return 0;
}
