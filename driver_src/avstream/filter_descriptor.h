// filter_descriptor: the capture filter's shape and its per-device copy.
// Owns the constant filter descriptor template (filter dispatch, the
// automation table with the eleven property sets, the capture pin
// descriptor and its allocator framing), the driver's own property-set
// GUIDs, build_filter_descriptor, which turns the template into the
// device's descriptor at start (the camera's data ranges on the pin, the
// camera's value ranges on the property items), and the filter's create
// callback. The pin's callbacks are capture_pin's; the property handler is
// controls/property_handler's.
//
// Everything here runs at PASSIVE_LEVEL. Per-device copies live in the
// device's object bag from device start until the next start or the
// removal; a start that fails takes its copies out again.
#pragma once

#include "controls/property_sets.h"
#include "kernel/kernel_api.h"

class device_context;

// The constant template; never modified.
extern const KSFILTER_DESCRIPTOR filter_descriptor_template;
extern const KSFILTER_DISPATCH capture_filter_dispatch;
extern const KSALLOCATOR_FRAMING_EX capture_pin_framing;

// Every data range block on the pin: a KS_DATARANGE_VIDEO followed by room
// for a 256-entry palette and three colour masks.
constexpr ULONG pin_data_range_size = 1332;

// The filter's context, in KSFILTER.Context and the filter's object bag.
struct capture_filter {
  PKSFILTER filter;
};

// KSFILTER_DISPATCH Create.
NTSTATUS filter_create(PKSFILTER filter, PIRP irp);

// The device's own descriptor from `template_descriptor`: copies in the
// device bag, the camera's data ranges on the first pin, the camera's value
// ranges on the property items (when the automation table cannot be copied
// the descriptor keeps the template's table). On success `*descriptor` is
// the copy.
NTSTATUS build_filter_descriptor(device_context* context,
                                 const KSFILTER_DESCRIPTOR* template_descriptor,
                                 const KSFILTER_DESCRIPTOR** descriptor);

// Bag copy of an automation table with its property sets and items, each
// item given the camera's value range where it has one.
NTSTATUS clone_automation_table(device_context* context, const KSAUTOMATION_TABLE* table,
                                const KSAUTOMATION_TABLE** copy);

// Gives a copied item values: the camera's range when it answers, else bag
// copies of the values the template has.
NTSTATUS resolve_property_values(device_context* context, const GUID* set, KSPROPERTY_ITEM* item);

// Asks the camera for the item's range. A camera failure other than out of
// memory is success with `*provided` false.
NTSTATUS query_property_range(device_context* context, const GUID* set, KSPROPERTY_ITEM* item,
                              bool* provided);

// The camera's answer (minimum, maximum, default, stepping delta,
// capabilities) as the item's values: a stepped range, then the default.
NTSTATUS make_stepped_range_values(device_context* context, KSPROPERTY_ITEM* item,
                                   const LONG* answer);

// One 1332-byte range block per camera format entry on the descriptor's
// first pin, each reporting FormatSize 1332.
NTSTATUS build_pin_data_ranges(device_context* context, KSFILTER_DESCRIPTOR* descriptor);

// A block of `size` bytes from paged pool ("Ccvu") in the device bag,
// holding a copy of `source` (zero-filled when `source` is null), listed
// among the blocks of the device's current descriptor.
NTSTATUS bag_copy(device_context* context, const void* source, ULONG size, void** copy);

// Takes every block of the device's current descriptor out of the device
// bag and frees it. Only while no filter factory uses the descriptor: after
// a start that failed, or before the next start (the factory went with the
// stop).
void release_filter_descriptor(device_context* context);
