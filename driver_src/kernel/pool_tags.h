// Pool tags of the whole driver, one per kind of allocation, so that a pool
// dump or a leak report names the owner of every block. A tag is shown by the
// debugger as its four bytes in memory order; make_pool_tag builds the ULONG
// whose little-endian bytes are those characters.
#pragma once

#include "kernel/kernel_api.h"

constexpr ULONG make_pool_tag(char c0, char c1, char c2, char c3) {
  return static_cast<ULONG>(static_cast<UCHAR>(c0)) |
         (static_cast<ULONG>(static_cast<UCHAR>(c1)) << 8) |
         (static_cast<ULONG>(static_cast<UCHAR>(c2)) << 16) |
         (static_cast<ULONG>(static_cast<UCHAR>(c3)) << 24);
}

namespace pool_tag {

// Driver objects (camera, controls, features) and general allocations.
constexpr ULONG objects = make_pool_tag('A', 'u', 'v', 'c');
// Per-device descriptor copies and the pin's data ranges.
constexpr ULONG device_descriptors = make_pool_tag('C', 'c', 'v', 'u');
// The pin's format copies and edited filter descriptors.
constexpr ULONG pin_formats = make_pool_tag('U', 'V', 'C', 'D');
// Deferred-work records of async_work.
constexpr ULONG deferred_work = make_pool_tag('u', 'v', 'c', 'W');
// Configuration URBs, configuration descriptors and read buffers.
constexpr ULONG usb_configuration = make_pool_tag('P', 'c', 'v', 'u');
// URBs of the USB utility functions (control requests).
constexpr ULONG usb_utility_urbs = make_pool_tag('u', 'v', 'c', 'U');
// Registry value buffers.
constexpr ULONG registry_values = make_pool_tag('C', 'n', 'x', 't');
// Defect-pixel lists.
constexpr ULONG defect_lists = make_pool_tag('h', 'a', 'a', 't');
// Camera record store: the store object and the record data.
constexpr ULONG record_store = make_pool_tag('S', 'F', 'E', 'E');
constexpr ULONG record_store_data = make_pool_tag('s', 'f', 'e', 'p');
// Tone-mapping state carried from frame to frame.
constexpr ULONG tone_mapping = make_pool_tag('I', 'T', 'U', 'D');
// BSON documents being read: the reader's copy and its node tree (paged).
constexpr ULONG bson = make_pool_tag('b', 's', 'o', 'n');

static_assert(deferred_work == 0x57637675u, "tag bytes are in memory order");

}  // namespace pool_tag
