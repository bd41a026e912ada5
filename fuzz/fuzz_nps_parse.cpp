// Arbitrary bytes as a camera's default-set document: the list built from
// it and the built-in documents holds names that fit their buffers and end
// in their zero, one set per name, mappings that address a unit and a
// selector byte, and is sorted by seqnum; nothing outlives the list.
#include <stddef.h>
#include <stdint.h>

#include <kstandin/testing.h>

#include "controls/default_sets.h"
#include "kernel/kernel_api.h"

namespace {

void check_name(const char* name, ULONG length) {
  if (length == 0 || length > nps_name_capacity || name[length - 1] != 0) __builtin_trap();
}

void check_list(const nps_set_list& list) {
  for (ULONG i = 0; i < list.count(); ++i) {
    const nps_set& s = list[i];
    check_name(s.name, s.name_length);
    if (i > 0 && list[i - 1].seqnum > s.seqnum) __builtin_trap();
    if (list.find(s.name, s.name_length) != &s) __builtin_trap();
    if ((s.properties == nullptr) != (s.property_count == 0)) __builtin_trap();
    for (ULONG p = 0; p < s.property_count; ++p) {
      const nps_property& property = s.properties[p];
      check_name(property.name, property.name_length);
      if (property.name_length < 2) __builtin_trap();
      if ((property.unit == 0) != (property.control == 0) || property.unit > 0xFF ||
          property.control > 0xFF) {
        __builtin_trap();
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0x100000) return 0;
  struct take_at_exit {
    ~take_at_exit() {
      kstandin::take_debug_log();
      kstandin::take_violations();
    }
  } take;
  {
    // The document alone, for every product and for one.
    nps_set_list all;
    nps_parse(data, ULONG(size), 0, &all);
    all.sort();
    check_list(all);
    nps_set_list one;
    nps_parse(data, ULONG(size), 0x8406, &one);
    if (one.count() > all.count()) __builtin_trap();
  }
  nps_set_list list;
  if (nps_build_list(data, ULONG(size), 0x8406, &list) != STATUS_SUCCESS) __builtin_trap();
  check_list(list);
  if (list.count() < 2) __builtin_trap();  // the built-in sets of 0x8406 are always there
  return 0;
}
