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

#include "kernel/kernel_api.h"

class device_context;

// The driver's own property sets.
extern const GUID device_identity_set;      // {17B1576B-4B1B-4E5B-A677-EA9F62033727}
extern const GUID driver_information_set;   // {8E4DEEF8-B53B-4A30-B9B6-AFBBCBD182B4}
extern const GUID camera_extension_set;     // {515E97D1-C453-4772-A489-CC070A5A2442}
extern const GUID driver_property_set;      // {4CB0D141-9C2C-49E5-9005-D7C0382FD9D2}
extern const GUID camera_feature_set;       // {8CBCF1C6-53C3-4D79-8EDB-C0646575DAC8}
extern const GUID frame_interval_list_set;  // {BF3EC69E-94FC-4847-8DB0-F5636F7BE639}
extern const GUID extension_access_set;     // {9DDD5EDC-5EFF-4D3B-B85B-46FBC4E49E59}

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
