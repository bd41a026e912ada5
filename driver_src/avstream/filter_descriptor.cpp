// The capture filter's descriptor template and its per-device copy. The
// template is constant data; build_filter_descriptor copies what varies per
// camera (the pin's data ranges, the property items' value ranges) into the
// device's object bag at device start.
#include "avstream/filter_descriptor.h"

#include "avstream/capture_pin.h"
#include "controls/property_handler.h"
#include "controls/property_request.h"
#include "avstream/device.h"
#include "kernel/mutex_guard.h"
#include "kernel/pool_tags.h"
#include "uvc/uvc_camera.h"

namespace {

// ---- property items ------------------------------------------------------------------
// Handlers an item has; each present one is filter_property_handler.
constexpr ULONG get = 1;      // G
constexpr ULONG set = 2;      // S
constexpr ULONG support = 4;  // U
constexpr ULONG gs = get | set;
constexpr ULONG gsu = get | set | support;

constexpr PFNKSHANDLER handler_if(ULONG handlers, ULONG which) {
  return (handlers & which) != 0 ? filter_property_handler : nullptr;
}

// An item without values, relations or fast-I/O entries.
constexpr KSPROPERTY_ITEM item(ULONG id, ULONG min_property, ULONG min_data, ULONG handlers,
                               ULONG serialized_size = 0) {
  return KSPROPERTY_ITEM{id,
                         {handler_if(handlers, get)},
                         min_property,
                         min_data,
                         {handler_if(handlers, set)},
                         nullptr,  // Values: added per device
                         0,
                         nullptr,
                         handler_if(handlers, support),
                         serialized_size};
}

// Device identity: manufacturer, serial number and product, version banner.
constexpr KSPROPERTY_ITEM device_identity_items[] = {
    item(100, 288, 288, get),
    item(101, 288, 288, get),
    item(103, 288, 288, get),
    item(102, 296, 296, get),
};

// Driver information: version record, the camera's device information.
constexpr KSPROPERTY_ITEM driver_information_items[] = {
    item(0, 144, 144, gsu),
    item(1, 424, 424, gsu),
};

// Standard video processing amplifier: brightness to digital multiplier
// limit (0-11) and power-line frequency (13).
constexpr KSPROPERTY_ITEM video_procamp_items[] = {
    item(0, 40, 40, gs, 4),  item(1, 40, 40, gs, 4),  item(2, 40, 40, gs, 4),
    item(3, 40, 40, gs, 4),  item(4, 40, 40, gs, 4),  item(5, 40, 40, gs, 4),
    item(6, 40, 40, gs, 4),  item(7, 40, 40, gs, 4),  item(8, 40, 40, gs, 4),
    item(9, 40, 40, gs, 4),  item(10, 40, 40, gs, 4), item(11, 40, 40, gs, 4),
    item(13, 40, 40, gs, 4),
};

// Standard camera control: pan to privacy (0-8), the relative controls
// (10-15) and focal length (16).
constexpr KSPROPERTY_ITEM camera_control_items[] = {
    item(0, 40, 40, gs, 4),  item(1, 40, 40, gs, 4),  item(2, 40, 40, gs, 4),
    item(3, 40, 40, gs, 4),  item(4, 40, 40, gs, 4),  item(5, 40, 40, gs, 4),
    item(6, 40, 40, gs, 4),  item(7, 40, 40, gs, 4),  item(8, 40, 40, gs, 4),
    item(10, 40, 40, gs, 4), item(11, 40, 40, gs, 4), item(12, 40, 40, gs, 4),
    item(13, 40, 40, gs, 4), item(14, 40, 40, gs, 4), item(15, 40, 40, gs, 4),
    item(16, 40, 40, gs, 4),
};

// The driver's own controls, in the order ks.sys is given them (it looks
// items up by id). Sizes are those of the controls' request records.
constexpr KSPROPERTY_ITEM camera_extension_items[] = {
    item(101, 48, 48, gsu),      item(102, 48, 48, gsu),      item(107, 48, 48, gsu),
    item(106, 48, 48, gsu),      item(115, 48, 48, gsu),      item(125, 88, 88, gsu),
    item(122, 40, 40, gsu),      item(109, 48, 48, gsu),      item(201, 48, 48, gsu),
    item(202, 48, 48, gsu),      item(255, 48, 48, gsu),      item(203, 48, 48, gsu),
    item(204, 48, 48, gsu),      item(205, 48, 48, gsu),      item(206, 48, 48, gsu),
    item(118, 48, 48, gsu),      item(119, 48, 48, gsu),      item(211, 48, 48, gsu),
    item(212, 48, 48, gsu),      item(213, 48, 48, gsu),      item(124, 48, 48, gsu),
    item(237, 48, 48, gsu),      item(244, 48, 48, gsu),      item(245, 48, 48, gsu),
    item(241, 48, 48, gsu),      item(247, 48, 48, gsu),      item(248, 48, 48, gsu),
    item(249, 48, 48, gsu),      item(250, 48, 48, gsu),      item(251, 48, 48, gsu),
    item(252, 60, 60, gsu),      item(238, 56, 56, gsu),      item(239, 48, 48, gsu),
    item(240, 48, 48, gsu),      item(200, 56, 56, gsu),      item(246, 56, 56, gsu),
    item(0x100004, 48, 48, gsu), item(0x100005, 48, 48, gsu), item(254, 48, 48, gsu),
    item(253, 60, 60, gsu),      item(256, 48, 48, gsu),      item(257, 48, 48, gsu),
};

// Standard video control: frame rates (2, no minimum data: a size query),
// capabilities (0), mode (3).
constexpr KSPROPERTY_ITEM video_control_items[] = {
    item(2, 40, 0, get),
    item(0, 32, 32, get),
    item(3, 32, 32, gs),
};

// Driver properties: 32-bit values, except 6 and 29 whose length varies,
// and the raw-sensor cameras' loop statistics (64, read only).
constexpr KSPROPERTY_ITEM driver_property_items[] = {
    item(1, 4, 4, gsu),  item(2, 4, 4, gsu),  item(3, 4, 4, gsu),  item(4, 4, 4, gsu),
    item(5, 4, 4, gsu),  item(6, 0, 0, gsu),  item(11, 4, 4, gsu), item(14, 4, 4, gsu),
    item(16, 4, 4, gsu), item(18, 4, 4, gsu), item(20, 4, 4, gsu), item(21, 4, 4, gsu),
    item(22, 4, 4, gsu), item(23, 4, 4, gsu), item(34, 4, 4, gsu), item(24, 4, 4, gsu),
    item(25, 4, 4, gsu), item(26, 4, 4, gsu), item(27, 4, 4, gsu), item(29, 0, 0, gsu),
    item(32, 4, 4, gsu), item(64, 0, 0, get | support),
};

// Dropped frames at filter level (the pin has its own item).
constexpr KSPROPERTY_ITEM dropped_frames_items[] = {
    item(KSPROPERTY_DROPPEDFRAMES_CURRENT, sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),
         sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S), get),
};

// Camera feature properties, with the defect-pixel list controls 32, 36-39.
constexpr KSPROPERTY_ITEM camera_feature_items[] = {
    item(0, 48, 48, gsu),  item(1, 48, 48, gsu),  item(2, 48, 48, gsu),  item(3, 48, 48, gsu),
    item(4, 48, 48, gsu),  item(5, 48, 48, gsu),  item(6, 48, 48, gsu),  item(7, 48, 48, gsu),
    item(8, 48, 48, gsu),  item(9, 48, 48, gsu),  item(10, 48, 48, gsu), item(11, 48, 48, gsu),
    item(12, 48, 48, gsu), item(32, 48, 48, gsu), item(33, 8, 8, gsu),   item(34, 8, 8, gsu),
    item(35, 8, 8, gsu),   item(36, 48, 48, gsu), item(37, 0, 0, gsu),   item(38, 4, 4, gsu),
    item(39, 4, 4, gsu),
};

// Frame-interval list: variable-length answers.
constexpr KSPROPERTY_ITEM frame_interval_list_items[] = {
    item(0, 0, 0, get | support),
    item(1, 0, 0, get | support),
};

// Extension access.
constexpr KSPROPERTY_ITEM extension_access_items[] = {
    item(1, 4, 4, gsu),
    item(2, 4, 4, gsu),
    item(3, 4, 4, gsu),
    item(16, 4, 4, gsu),
};

#define TV_PROPERTY_SET(guid, items) \
  KSPROPERTY_SET { &(guid), ARRAYSIZE(items), (items), 0, nullptr }

const KSPROPERTY_SET filter_property_sets[] = {
    TV_PROPERTY_SET(device_identity_set, device_identity_items),
    TV_PROPERTY_SET(driver_information_set, driver_information_items),
    TV_PROPERTY_SET(PROPSETID_VIDCAP_VIDEOPROCAMP, video_procamp_items),
    TV_PROPERTY_SET(PROPSETID_VIDCAP_CAMERACONTROL, camera_control_items),
    TV_PROPERTY_SET(camera_extension_set, camera_extension_items),
    TV_PROPERTY_SET(PROPSETID_VIDCAP_VIDEOCONTROL, video_control_items),
    TV_PROPERTY_SET(driver_property_set, driver_property_items),
    TV_PROPERTY_SET(PROPSETID_VIDCAP_DROPPEDFRAMES, dropped_frames_items),
    TV_PROPERTY_SET(camera_feature_set, camera_feature_items),
    TV_PROPERTY_SET(frame_interval_list_set, frame_interval_list_items),
    TV_PROPERTY_SET(extension_access_set, extension_access_items),
};

#undef TV_PROPERTY_SET

const KSAUTOMATION_TABLE filter_automation_table = {
    ARRAYSIZE(filter_property_sets),
    sizeof(KSPROPERTY_ITEM),
    filter_property_sets,
    0,
    sizeof(KSMETHOD_ITEM),
    nullptr,  // no methods
    0,
    sizeof(KSEVENT_ITEM),
    nullptr,  // no events
};

// The filter registers its interfaces under both categories.
const GUID filter_categories[] = {
    {STATIC_KSCATEGORY_VIDEO},
    {STATIC_KSCATEGORY_CAPTURE},
};

const KSPIN_DESCRIPTOR_EX capture_pin_descriptors[] = {{
    &capture_pin_dispatch,
    &capture_pin_automation_table,
    {
        0,
        nullptr,  // interfaces: the standard streaming interface
        0,
        nullptr,  // mediums: the standard medium
        0,
        nullptr,  // data ranges: the camera's, set per device
        KSPIN_DATAFLOW_OUT,
        KSPIN_COMMUNICATION_BOTH,
        &PINNAME_VIDEO_CAPTURE,  // category
        &PINNAME_VIDEO_CAPTURE,  // name
        {0},                     // no constrained ranges
    },
    KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY,
    1,  // instances possible
    1,  // instances necessary
    &capture_pin_framing,
    pin_intersect,
}};

// Bag blocks of descriptor copies and data ranges are freed with their tag.
void free_descriptor_block(PVOID block) { ExFreePoolWithTag(block, pool_tag::device_descriptors); }

void free_filter_context(PVOID context) { ExFreePoolWithTag(context, pool_tag::objects); }

}  // namespace

extern const KSFILTER_DISPATCH capture_filter_dispatch = {
    filter_create,  // Create
    nullptr,        // Close
    nullptr,        // Process: none, the camera pulls client buffers through the pin
    nullptr,        // Reset
};

// Each pin edits its own copy (capture_pin.cpp): three frames of exactly the
// format's image size.
extern const KSALLOCATOR_FRAMING_EX capture_pin_framing = {
    1,          // CountItems
    0,          // PinFlags
    {1, 1, 0},  // OutputCompression: 1/1, no margin
    0,          // PinWeight
    {{
        {STATIC_KSMEMORY_TYPE_KERNEL_NONPAGED},  // MemoryType
        {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}},     // BusType: none
        0,                                       // MemoryFlags
        0,                                       // BusFlags
        KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY | KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY,
        2,                            // Frames
        {0},                          // FileAlignment: bytes
        0,                            // MemoryTypeWeight
        {0, 0xFFFFFFFF, 1},           // PhysicalRange
        {{0x2000, 0x2000, 1}, 0, 0},  // FramingRange, in-place and not-in-place weights
    }},
};

extern const KSFILTER_DESCRIPTOR filter_descriptor_template = {
    &capture_filter_dispatch,
    &filter_automation_table,
    KSFILTER_DESCRIPTOR_VERSION,
    0,  // Flags
    &KSNAME_Filter,
    ARRAYSIZE(capture_pin_descriptors),
    sizeof(KSPIN_DESCRIPTOR_EX),
    capture_pin_descriptors,
    ARRAYSIZE(filter_categories),
    filter_categories,
    0,
    sizeof(KSNODE_DESCRIPTOR),
    nullptr,  // no nodes
    0,
    nullptr,  // no connections
    nullptr,  // no component id
};

// ---- filter create ---------------------------------------------------------------

NTSTATUS filter_create(PKSFILTER filter, PIRP irp) {
  auto* context = static_cast<capture_filter*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(capture_filter), pool_tag::objects));
  if (context == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  context->filter = filter;
  const NTSTATUS status = KsAddItemToObjectBag(filter->Bag, context, free_filter_context);
  if (!NT_SUCCESS(status)) {
    free_filter_context(context);
    return status;
  }
  filter->Context = context;
  return STATUS_SUCCESS;
}

// ---- per-device descriptor ---------------------------------------------------------

namespace {

// Every block of a device's descriptor starts with this link: the blocks
// of one start form a list (newest first), so that a start that fails, or
// the next start, takes them out of the device bag again. 16 bytes keep
// the copy behind it aligned as pool memory is.
struct alignas(16) descriptor_block {
  descriptor_block* next;
};
static_assert(sizeof(descriptor_block) == 16, "descriptor block link is 16 bytes");

}  // namespace

NTSTATUS bag_copy(device_context* context, const void* source, ULONG size, void** copy) {
  *copy = nullptr;
  if (size > MAXULONG - sizeof(descriptor_block)) return STATUS_INSUFFICIENT_RESOURCES;
  auto* block = static_cast<descriptor_block*>(ExAllocatePoolWithTag(
      PagedPool, sizeof(descriptor_block) + size, pool_tag::device_descriptors));
  if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  void* data = block + 1;
  if (source != nullptr) {
    RtlCopyMemory(data, source, size);
  } else {
    RtlZeroMemory(data, size);
  }
  if (!NT_SUCCESS(KsAddItemToObjectBag(context->device->Bag, block, free_descriptor_block))) {
    free_descriptor_block(block);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  block->next = static_cast<descriptor_block*>(context->descriptor_blocks);
  context->descriptor_blocks = block;
  *copy = data;
  return STATUS_SUCCESS;
}

void release_filter_descriptor(device_context* context) {
  auto* block = static_cast<descriptor_block*>(context->descriptor_blocks);
  context->descriptor_blocks = nullptr;
  while (block != nullptr) {
    descriptor_block* next = block->next;
    KsRemoveItemFromObjectBag(context->device->Bag, block, TRUE);
    block = next;
  }
}

NTSTATUS build_filter_descriptor(device_context* context,
                                 const KSFILTER_DESCRIPTOR* template_descriptor,
                                 const KSFILTER_DESCRIPTOR** descriptor) {
  *descriptor = nullptr;
  void* block = nullptr;
  NTSTATUS status = bag_copy(context, template_descriptor, sizeof(KSFILTER_DESCRIPTOR), &block);
  if (!NT_SUCCESS(status)) return status;
  auto* copy = static_cast<KSFILTER_DESCRIPTOR*>(block);

  // Without a copy of the automation table the filter still works, only
  // without value ranges on its properties.
  const KSAUTOMATION_TABLE* table = nullptr;
  if (NT_SUCCESS(clone_automation_table(context, template_descriptor->AutomationTable, &table))) {
    copy->AutomationTable = table;
  }

  status = bag_copy(
      context, template_descriptor->PinDescriptors,
      template_descriptor->PinDescriptorsCount * template_descriptor->PinDescriptorSize, &block);
  if (!NT_SUCCESS(status)) return status;
  copy->PinDescriptors = static_cast<const KSPIN_DESCRIPTOR_EX*>(block);

  status = build_pin_data_ranges(context, copy);
  if (!NT_SUCCESS(status)) return status;
  *descriptor = copy;
  return STATUS_SUCCESS;
}

NTSTATUS clone_automation_table(device_context* context, const KSAUTOMATION_TABLE* table,
                                const KSAUTOMATION_TABLE** copy) {
  *copy = nullptr;
  if (table == nullptr) return STATUS_INVALID_PARAMETER;
  void* block = nullptr;
  NTSTATUS status = bag_copy(context, table, sizeof(KSAUTOMATION_TABLE), &block);
  if (!NT_SUCCESS(status)) return status;
  auto* table_copy = static_cast<KSAUTOMATION_TABLE*>(block);

  if (table->PropertySetsCount != 0 && table->PropertySets != nullptr) {
    status = bag_copy(context, table->PropertySets,
                      table->PropertySetsCount * sizeof(KSPROPERTY_SET), &block);
    if (!NT_SUCCESS(status)) return status;
    auto* sets = static_cast<KSPROPERTY_SET*>(block);
    table_copy->PropertySets = sets;

    for (ULONG s = 0; s < table->PropertySetsCount; ++s) {
      KSPROPERTY_SET& set = sets[s];
      if (set.PropertyItem == nullptr) continue;
      status = bag_copy(context, set.PropertyItem, set.PropertiesCount * sizeof(KSPROPERTY_ITEM),
                        &block);
      if (!NT_SUCCESS(status)) return status;
      auto* items = static_cast<KSPROPERTY_ITEM*>(block);
      set.PropertyItem = items;
      for (ULONG i = 0; i < set.PropertiesCount; ++i) {
        status = resolve_property_values(context, set.Set, &items[i]);
        if (status == STATUS_INSUFFICIENT_RESOURCES) return status;
      }
    }
  }
  // Method and event sets keep the template's pointers.
  *copy = table_copy;
  return STATUS_SUCCESS;
}

NTSTATUS resolve_property_values(device_context* context, const GUID* set, KSPROPERTY_ITEM* item) {
  bool provided = false;
  NTSTATUS status = query_property_range(context, set, item, &provided);
  if (!NT_SUCCESS(status) || provided) return status;
  if (item->Values == nullptr) return STATUS_SUCCESS;

  // The template's own values, copied so that the device owns all of them.
  void* block = nullptr;
  status = bag_copy(context, item->Values, sizeof(KSPROPERTY_VALUES), &block);
  if (!NT_SUCCESS(status)) return STATUS_INSUFFICIENT_RESOURCES;
  auto* values = static_cast<KSPROPERTY_VALUES*>(block);
  item->Values = values;
  if (values->MembersListCount == 0 || values->MembersList == nullptr) return STATUS_SUCCESS;

  status = bag_copy(context, values->MembersList,
                    values->MembersListCount * sizeof(KSPROPERTY_MEMBERSLIST), &block);
  if (!NT_SUCCESS(status)) return STATUS_INSUFFICIENT_RESOURCES;
  auto* lists = static_cast<KSPROPERTY_MEMBERSLIST*>(block);
  values->MembersList = lists;
  for (ULONG i = 0; i < values->MembersListCount; ++i) {
    const KSPROPERTY_MEMBERSHEADER& header = lists[i].MembersHeader;
    if (lists[i].Members == nullptr) continue;
    status = bag_copy(context, lists[i].Members, header.MembersSize * header.MembersCount, &block);
    if (!NT_SUCCESS(status)) return STATUS_INSUFFICIENT_RESOURCES;
    lists[i].Members = block;
  }
  return STATUS_SUCCESS;
}

NTSTATUS query_property_range(device_context* context, const GUID* set, KSPROPERTY_ITEM* item,
                              bool* provided) {
  *provided = false;
  LONG answer[property_range_answer_size / sizeof(LONG)] = {};
  ULONG returned = 0;
  NTSTATUS status;
  {
    // The range comes from the camera's controls, which every property
    // request reaches under the state mutex.
    mutex_guard lock(&context->state_mutex);
    status = context->camera != nullptr
                 ? property_request(context->camera, *set, item->PropertyId, property_request_range,
                                    answer, sizeof(answer), answer, sizeof(answer), &returned)
                 : STATUS_NOT_IMPLEMENTED;
  }
  if (!NT_SUCCESS(status)) {
    return status == STATUS_INSUFFICIENT_RESOURCES ? status : STATUS_SUCCESS;
  }
  const NTSTATUS made = make_stepped_range_values(context, item, answer);
  if (NT_SUCCESS(made)) {
    *provided = true;
    return STATUS_SUCCESS;
  }
  return made == STATUS_INSUFFICIENT_RESOURCES ? made : STATUS_SUCCESS;
}

namespace {

// The values block of one item: the values record, its two member lists,
// and the members they point at.
struct stepped_range_values {
  KSPROPERTY_VALUES values;
  KSPROPERTY_MEMBERSLIST lists[2];
  KSPROPERTY_STEPPING_LONG stepping;
  LONG default_value;
};

// Words of a range answer.
enum range_word { range_minimum, range_maximum, range_default, range_delta, range_capabilities };

}  // namespace

NTSTATUS make_stepped_range_values(device_context* context, KSPROPERTY_ITEM* item,
                                   const LONG* answer) {
  void* block = nullptr;
  const NTSTATUS status = bag_copy(context, nullptr, sizeof(stepped_range_values), &block);
  if (!NT_SUCCESS(status)) return status;
  auto* v = static_cast<stepped_range_values*>(block);

  v->values.PropTypeSet.Set = KSPROPTYPESETID_General;
  v->values.PropTypeSet.Id = VT_I4;
  v->values.PropTypeSet.Flags = 0;
  v->values.MembersListCount = 2;
  v->values.MembersList = v->lists;

  v->lists[0].MembersHeader.MembersFlags = KSPROPERTY_MEMBER_STEPPEDRANGES;
  v->lists[0].MembersHeader.MembersSize = sizeof(KSPROPERTY_STEPPING_LONG);
  v->lists[0].MembersHeader.MembersCount = 1;
  v->lists[0].MembersHeader.Flags = 0;
  v->lists[0].Members = &v->stepping;

  v->lists[1].MembersHeader.MembersFlags = KSPROPERTY_MEMBER_VALUES;
  v->lists[1].MembersHeader.MembersSize = sizeof(LONG);
  v->lists[1].MembersHeader.MembersCount = 1;
  v->lists[1].MembersHeader.Flags = KSPROPERTY_MEMBER_FLAG_DEFAULT;
  v->lists[1].Members = &v->default_value;

  v->stepping.SteppingDelta = static_cast<ULONG>(answer[range_delta]);
  v->stepping.Reserved = 0;
  v->stepping.Bounds.SignedMinimum = answer[range_minimum];
  v->stepping.Bounds.SignedMaximum = answer[range_maximum];
  v->default_value = answer[range_default];

  item->Values = &v->values;
  return STATUS_SUCCESS;
}

NTSTATUS build_pin_data_ranges(device_context* context, KSFILTER_DESCRIPTOR* descriptor) {
  uvc_camera* camera = context->camera;
  const ULONG count = camera->get_format_count();
  if (count == 0) return STATUS_UNSUCCESSFUL;
  // The pointer array; far below any size that could overflow (the camera
  // offers a few hundred formats at most).
  if (count > 0x10000) return STATUS_INSUFFICIENT_RESOURCES;

  void* array = nullptr;
  NTSTATUS status = bag_copy(context, nullptr, count * sizeof(PKSDATARANGE), &array);
  if (!NT_SUCCESS(status)) return status;
  auto* ranges = static_cast<PKSDATARANGE*>(array);

  for (ULONG i = 0; i < count; ++i) {
    void* block = nullptr;
    status = bag_copy(context, nullptr, pin_data_range_size, &block);
    if (!NT_SUCCESS(status)) return STATUS_INSUFFICIENT_RESOURCES;
    ranges[i] = static_cast<PKSDATARANGE>(block);
  }

  status = camera->copy_format_entries(reinterpret_cast<KS_DATARANGE_VIDEO* const*>(ranges), count);
  if (!NT_SUCCESS(status)) return status;

  // The template's pin descriptors are a bag copy by now (build_filter_descriptor).
  auto* pin = const_cast<KSPIN_DESCRIPTOR_EX*>(descriptor->PinDescriptors);
  pin->PinDescriptor.DataRanges = ranges;
  pin->PinDescriptor.DataRangesCount = count;
  for (ULONG i = 0; i < count; ++i) ranges[i]->FormatSize = pin_data_range_size;
  return STATUS_SUCCESS;
}
