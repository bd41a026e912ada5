// Arbitrary bytes as a camera's configuration descriptor: the descriptor set
// parser, the raw format records, the frame-interval lists and the unit
// look-ups must stay inside the bytes, and every descriptor the set points
// at must lie wholly inside them. Seeds: the real cameras' *.config.bin.
#include <stddef.h>
#include <stdint.h>

#include <kstandin/testing.h>

#include "kernel/kernel_api.h"
#include "uvc/uvc_descriptors.h"
#include "uvc/uvc_format_records.h"

namespace {

const uint8_t* g_begin = nullptr;
const uint8_t* g_end = nullptr;

void check_inside(const UCHAR* p) {
  if (p == nullptr) return;
  if (p < g_begin || g_end - p < 2 || p[0] < 2 || g_end - p < p[0]) __builtin_trap();
}

void check_list(const uvc_unit_list& list) {
  if (list.count > uvc_max_units) __builtin_trap();
  for (ULONG i = 0; i < list.count; ++i) check_inside(list.units[i]);
}

void use_unit(const uvc_descriptor_set& set, const UCHAR* unit) {
  const UCHAR* bitmap = nullptr;
  ULONG size = 0;
  if (get_unit_controls(unit, &bitmap, &size)) {
    if (bitmap < unit || bitmap + size > unit + unit[0]) __builtin_trap();
    for (ULONG bit = 0; bit < size * 8 + 8; ++bit) unit_has_control(unit, bit);
  }
  if (unit[0] >= uvc_desc::extension_unit_size) {
    find_extension_unit(&set, read_wire_guid(unit + uvc_desc::xu_guidExtensionCode), 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xFFFF) return 0;
  // The stand-in keeps every DbgPrint line (and verifier report) until it is
  // taken. Whatever one input leaves there is taken before the next, so no
  // input's allocations outlive it and libFuzzer keeps checking every input
  // for leaks (it stops once the allocations of runs do not balance).
  struct take_at_exit {
    ~take_at_exit() {
      kstandin::take_debug_log();
      kstandin::take_violations();
    }
  } take;
  g_begin = data;
  g_end = data + size;

  uvc_descriptor_set set;
  parse_uvc_descriptors(&set, data, static_cast<ULONG>(size));
  check_inside(set.vc_interface);
  check_inside(set.vc_header);
  check_inside(set.vs_interface);
  check_inside(set.vs_input_header);
  check_list(set.input_terminals);
  check_list(set.selector_units);
  check_list(set.output_terminals);
  check_list(set.extension_units);
  check_list(set.processing_units);
  if (set.format_count > uvc_max_formats || set.alternate_count > uvc_max_alternate_settings) {
    __builtin_trap();
  }
  for (ULONG f = 0; f < set.format_count; ++f) {
    const uvc_format_slot& slot = set.formats[f];
    if (slot.frame_count > uvc_max_frames) __builtin_trap();
    check_inside(slot.format);
    check_inside(slot.color_matching);
    for (ULONG r = 0; r < slot.frame_count; ++r) check_inside(slot.frames[r]);
  }
  for (ULONG i = 1; i < set.alternate_count; ++i) {
    if (set.alternates[i - 1].max_packet_size > set.alternates[i].max_packet_size) __builtin_trap();
  }

  UCHAR id = 0;
  for (ULONG kind = 0; kind < 8; ++kind) find_unit_id(&set, kind, &id);
  for (ULONG i = 0; i < set.input_terminals.count; ++i) use_unit(set, set.input_terminals.units[i]);
  for (ULONG i = 0; i < set.processing_units.count; ++i)
    use_unit(set, set.processing_units.units[i]);
  for (ULONG i = 0; i < set.extension_units.count; ++i) use_unit(set, set.extension_units.units[i]);

  raw_format_list records;
  build_raw_format_records(&set, &records);
  for (const raw_format_record& record : records) {
    LONGLONG intervals[uvc_max_listed_intervals];
    ULONG count = 0;
    if (list_frame_intervals(&set, record.format_index, record.frame_index, nullptr, &count) !=
            STATUS_BUFFER_OVERFLOW ||
        count == 0 || count > uvc_max_listed_intervals) {
      __builtin_trap();
    }
    const ULONG needed = count;
    if (list_frame_intervals(&set, record.format_index, record.frame_index, intervals, &count) !=
            STATUS_SUCCESS ||
        count != needed) {
      __builtin_trap();
    }
    for (ULONG i = 1; i < count; ++i) {
      if (intervals[i - 1] > intervals[i]) __builtin_trap();
    }
    fourcc_from_subtype(record.subtype);
  }
  return 0;
}
