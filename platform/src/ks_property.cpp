// ks.sys stand-in: IOCTL_KS_PROPERTY on filters and pins, and the property
// sets ks.sys answers itself (KSPROPSETID_Pin on filters, KSPROPSETID_Connection
// on pins).
//
// Routing, as ks.sys does it: the set and item are looked up in the object's
// automation table (the filter descriptor's, the pin's KSPIN.Descriptor's),
// then among the built-in sets; an unknown set is STATUS_PROPSET_NOT_FOUND,
// an unknown id in a known set (or a get or set the item has no handler for)
// STATUS_NOT_FOUND. The request and the data are captured into buffers of
// exactly their lengths before a handler sees them (so overruns show up
// under AddressSanitizer), and the data is copied back for the length the
// handler returned in IoStatus.Information.
//
// Size protocol: a request shorter than the item's MinProperty, or data
// shorter than its MinData, is STATUS_BUFFER_TOO_SMALL; with no data at all
// (a size query) the answer is STATUS_BUFFER_OVERFLOW with the needed size in
// IoStatus.Information. Variable-size answers (data ranges, intersection,
// formats, basic support) follow the same rule with their real size.
#include <algorithm>

#include "ks_internal.h"

namespace kstandin {
namespace {

constexpr ULONG kVtIllegal = 0xFFFF;  // PropTypeSet.Id of an item without values

ULONG input_length(PIRP irp) {
  return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.InputBufferLength;
}
ULONG output_length(PIRP irp) {
  return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

ULONG align8(ULONG size) { return (size + 7) & ~7u; }

// Answers `size` bytes from `source` with the size protocol.
NTSTATUS answer(PIRP irp, PVOID data, const void* source, ULONG size) {
  const ULONG out = output_length(irp);
  if (out == 0) {
    irp->IoStatus.Information = size;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (out < size) return STATUS_BUFFER_TOO_SMALL;
  memcpy(data, source, size);
  irp->IoStatus.Information = size;
  return STATUS_SUCCESS;
}

// A KSMULTIPLE_ITEM list of entries, each 8-byte aligned. A buffer of just
// the KSMULTIPLE_ITEM gets the header alone (total size and count).
NTSTATUS answer_list(PIRP irp, PVOID data, const std::vector<std::pair<const void*, ULONG>>& entries) {
  uint64_t total = sizeof(KSMULTIPLE_ITEM);
  for (const auto& entry : entries) total += align8(entry.second);
  if (total > 0xFFFFFFF8u) return STATUS_INVALID_PARAMETER;
  const ULONG out = output_length(irp);
  if (out == 0) {
    irp->IoStatus.Information = (ULONG)total;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (out < sizeof(KSMULTIPLE_ITEM)) return STATUS_BUFFER_TOO_SMALL;
  auto* header = static_cast<PKSMULTIPLE_ITEM>(data);
  header->Size = (ULONG)total;
  header->Count = (ULONG)entries.size();
  if (out == sizeof(KSMULTIPLE_ITEM)) {
    irp->IoStatus.Information = sizeof(KSMULTIPLE_ITEM);
    return STATUS_SUCCESS;
  }
  if (out < total) return STATUS_BUFFER_TOO_SMALL;
  auto* p = (UCHAR*)(header + 1);
  for (const auto& entry : entries) {
    memcpy(p, entry.first, entry.second);
    memset(p + entry.second, 0, align8(entry.second) - entry.second);
    p += align8(entry.second);
  }
  irp->IoStatus.Information = (ULONG)total;
  return STATUS_SUCCESS;
}

ks_filter* filter_of(PIRP irp) {
  PKSFILTER filter = KsGetFilterFromIrp(irp);
  if (filter == NULL) return nullptr;
  return static_cast<ks_filter*>(((ks_object_header*)((char*)filter - kPublicOffset))->object);
}

ks_pin* pin_of(PIRP irp) {
  PKSPIN pin = KsGetPinFromIrp(irp);
  if (pin == NULL) return nullptr;
  return static_cast<ks_pin*>(((ks_object_header*)((char*)pin - kPublicOffset))->object);
}

const KSPIN_DESCRIPTOR_EX* requested_pin(PIRP irp, PKSIDENTIFIER request) {
  ks_filter* filter = filter_of(irp);
  if (filter == nullptr) return nullptr;
  return pin_descriptor(filter->shell.pub.Descriptor, reinterpret_cast<PKSP_PIN>(request)->PinId);
}

// ---- KSPROPSETID_Pin ------------------------------------------------------------

NTSTATUS pin_ctypes(PIRP irp, PKSIDENTIFIER, PVOID data) {
  ks_filter* filter = filter_of(irp);
  if (filter == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  const ULONG count = filter->shell.pub.Descriptor->PinDescriptorsCount;
  return answer(irp, data, &count, sizeof count);
}

NTSTATUS pin_cinstances(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  const KSPIN_DESCRIPTOR_EX* descriptor = requested_pin(irp, request);
  if (descriptor == nullptr) return STATUS_INVALID_PARAMETER;
  ks_filter* filter = filter_of(irp);
  const ULONG id = reinterpret_cast<PKSP_PIN>(request)->PinId;
  KSPIN_CINSTANCES instances{descriptor->InstancesPossible, 0};
  {
    std::lock_guard<std::mutex> guard(filter->device->objects_lock);
    for (ks_pin* pin : filter->pins) {
      if (pin->shell.pub.Id == id) ++instances.CurrentCount;
    }
  }
  return answer(irp, data, &instances, sizeof instances);
}

NTSTATUS pin_dataflow(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  const KSPIN_DESCRIPTOR_EX* descriptor = requested_pin(irp, request);
  if (descriptor == nullptr) return STATUS_INVALID_PARAMETER;
  const KSPIN_DATAFLOW flow = descriptor->PinDescriptor.DataFlow;
  return answer(irp, data, &flow, sizeof flow);
}

NTSTATUS pin_communication(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  const KSPIN_DESCRIPTOR_EX* descriptor = requested_pin(irp, request);
  if (descriptor == nullptr) return STATUS_INVALID_PARAMETER;
  const KSPIN_COMMUNICATION communication = descriptor->PinDescriptor.Communication;
  return answer(irp, data, &communication, sizeof communication);
}

NTSTATUS pin_necessary(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  const KSPIN_DESCRIPTOR_EX* descriptor = requested_pin(irp, request);
  if (descriptor == nullptr) return STATUS_INVALID_PARAMETER;
  const ULONG necessary = descriptor->InstancesNecessary;
  return answer(irp, data, &necessary, sizeof necessary);
}

NTSTATUS pin_category(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  const KSPIN_DESCRIPTOR_EX* descriptor = requested_pin(irp, request);
  if (descriptor == nullptr) return STATUS_INVALID_PARAMETER;
  if (descriptor->PinDescriptor.Category == nullptr) return STATUS_NOT_FOUND;
  return answer(irp, data, descriptor->PinDescriptor.Category, sizeof(GUID));
}

NTSTATUS pin_dataranges(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  const KSPIN_DESCRIPTOR_EX* descriptor = requested_pin(irp, request);
  if (descriptor == nullptr) return STATUS_INVALID_PARAMETER;
  std::vector<std::pair<const void*, ULONG>> entries;
  for (ULONG i = 0; i < descriptor->PinDescriptor.DataRangesCount; ++i) {
    const KSDATARANGE* range = descriptor->PinDescriptor.DataRanges[i];
    entries.emplace_back(range, range->FormatSize);
  }
  return answer_list(irp, data, entries);
}

// The caller's ranges (a KSMULTIPLE_ITEM after the KSP_PIN) are tried in
// order against the pin's ranges; for each pair whose GUIDs match, wildcards
// included, the pin's intersect handler is asked. The first answer other
// than STATUS_NO_MATCH is the result.
NTSTATUS pin_dataintersection(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  const KSPIN_DESCRIPTOR_EX* descriptor = requested_pin(irp, request);
  if (descriptor == nullptr) return STATUS_INVALID_PARAMETER;
  ks_filter* filter = filter_of(irp);
  auto* pin_request = reinterpret_cast<PKSP_PIN>(request);
  auto* list = reinterpret_cast<PKSMULTIPLE_ITEM>(pin_request + 1);
  const ULONG available = input_length(irp) - sizeof(KSP_PIN);
  if (list->Size < sizeof(KSMULTIPLE_ITEM) || list->Size > available) {
    return STATUS_INVALID_BUFFER_SIZE;
  }
  const ULONG out = output_length(irp);
  auto* p = (UCHAR*)(list + 1);
  const UCHAR* end = (const UCHAR*)list + list->Size;
  for (ULONG i = 0; i < list->Count; ++i) {
    if ((size_t)(end - p) < sizeof(KSDATARANGE)) return STATUS_INVALID_BUFFER_SIZE;
    auto* range = reinterpret_cast<PKSDATARANGE>(p);
    if (range->FormatSize < sizeof(KSDATARANGE) || range->FormatSize > (size_t)(end - p)) {
      return STATUS_INVALID_BUFFER_SIZE;
    }
    for (ULONG j = 0; j < descriptor->PinDescriptor.DataRangesCount; ++j) {
      const PKSDATARANGE mine = descriptor->PinDescriptor.DataRanges[j];
      if (!format_guids_match(*mine, *range)) continue;
      if (descriptor->IntersectHandler == nullptr) {
        // Without a handler only a bare range can be answered: its header.
        if (mine->FormatSize != sizeof(KSDATARANGE)) continue;
        KSDATAFORMAT format = *mine;
        if (format.MajorFormat == KSDATAFORMAT_TYPE_WILDCARD) format.MajorFormat = range->MajorFormat;
        if (format.SubFormat == KSDATAFORMAT_TYPE_WILDCARD) format.SubFormat = range->SubFormat;
        if (format.Specifier == KSDATAFORMAT_TYPE_WILDCARD) format.Specifier = range->Specifier;
        return answer(irp, data, &format, sizeof format);
      }
      ULONG size = 0;
      NTSTATUS status;
      KsAcquireControl(&filter->shell.pub);
      {
        irql_guard guard("pin intersect handler");
        status = descriptor->IntersectHandler(&filter->shell.pub, irp, pin_request, range, mine, out,
                                              out != 0 ? data : NULL, &size);
      }
      KsReleaseControl(&filter->shell.pub);
      if (status == STATUS_NO_MATCH) continue;
      irp->IoStatus.Information = size;
      return status;
    }
    ULONG step = align8(range->FormatSize);
    if (range->Flags & KSDATARANGE_ATTRIBUTES) {
      // An attribute list (a KSMULTIPLE_ITEM) follows the range.
      if ((size_t)(end - p) < step + sizeof(KSMULTIPLE_ITEM)) return STATUS_INVALID_BUFFER_SIZE;
      step += align8(reinterpret_cast<PKSMULTIPLE_ITEM>(p + step)->Size);
    }
    if (step > (size_t)(end - p)) break;
    p += step;
  }
  return STATUS_NO_MATCH;
}

// ---- KSPROPSETID_Connection -----------------------------------------------------

NTSTATUS connection_state_get(PIRP irp, PKSIDENTIFIER, PVOID data) {
  ks_pin* pin = pin_of(irp);
  if (pin == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  const KSSTATE state = pin->shell.pub.DeviceState;
  return answer(irp, data, &state, sizeof state);
}

NTSTATUS connection_state_set(PIRP irp, PKSIDENTIFIER, PVOID data) {
  ks_pin* pin = pin_of(irp);
  if (pin == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  const KSSTATE to = *static_cast<const KSSTATE*>(data);
  if ((ULONG)to > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
  KsAcquireControl(&pin->shell.pub);
  const NTSTATUS status = ks_change_pin_state(pin, to);
  KsReleaseControl(&pin->shell.pub);
  attempt_processing(pin);
  return status;
}

NTSTATUS connection_format_get(PIRP irp, PKSIDENTIFIER, PVOID data) {
  ks_pin* pin = pin_of(irp);
  if (pin == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  KsAcquireControl(&pin->shell.pub);
  const PKSDATAFORMAT format = pin->shell.pub.ConnectionFormat;
  const NTSTATUS status = answer(irp, data, format, format->FormatSize);
  KsReleaseControl(&pin->shell.pub);
  return status;
}

NTSTATUS connection_format_set(PIRP irp, PKSIDENTIFIER, PVOID data) {
  ks_pin* pin = pin_of(irp);
  if (pin == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  KsAcquireControl(&pin->shell.pub);
  const NTSTATUS status =
      ks_change_pin_format(pin, static_cast<const KSDATAFORMAT*>(data), output_length(irp));
  KsReleaseControl(&pin->shell.pub);
  return status;
}

NTSTATUS connection_framing_get(PIRP irp, PKSIDENTIFIER, PVOID data) {
  ks_pin* pin = pin_of(irp);
  if (pin == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  KsAcquireControl(&pin->shell.pub);
  NTSTATUS status = STATUS_NOT_FOUND;
  const KSALLOCATOR_FRAMING_EX* framing = pin->shell.pub.Descriptor->AllocatorFraming;
  if (framing != nullptr) {
    const ULONG size = (ULONG)(offsetof(KSALLOCATOR_FRAMING_EX, FramingItem) +
                               (size_t)framing->CountItems * sizeof(KS_FRAMING_ITEM));
    status = answer(irp, data, framing, size);
  }
  KsReleaseControl(&pin->shell.pub);
  return status;
}

const KSPROPERTY_ITEM kPinItems[] = {
    {KSPROPERTY_PIN_CINSTANCES, {pin_cinstances}, sizeof(KSP_PIN), sizeof(KSPIN_CINSTANCES), {nullptr}, nullptr, 0, nullptr, nullptr, 0},
    {KSPROPERTY_PIN_CTYPES, {pin_ctypes}, sizeof(KSPROPERTY), sizeof(ULONG), {nullptr}, nullptr, 0, nullptr, nullptr, 0},
    {KSPROPERTY_PIN_DATAFLOW, {pin_dataflow}, sizeof(KSP_PIN), sizeof(KSPIN_DATAFLOW), {nullptr}, nullptr, 0, nullptr, nullptr, 0},
    {KSPROPERTY_PIN_DATARANGES, {pin_dataranges}, sizeof(KSP_PIN), 0, {nullptr}, nullptr, 0, nullptr, nullptr, 0},
    {KSPROPERTY_PIN_DATAINTERSECTION, {pin_dataintersection}, sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM), 0, {nullptr}, nullptr, 0, nullptr, nullptr, 0},
    {KSPROPERTY_PIN_COMMUNICATION, {pin_communication}, sizeof(KSP_PIN), sizeof(KSPIN_COMMUNICATION), {nullptr}, nullptr, 0, nullptr, nullptr, 0},
    {KSPROPERTY_PIN_NECESSARYINSTANCES, {pin_necessary}, sizeof(KSP_PIN), sizeof(ULONG), {nullptr}, nullptr, 0, nullptr, nullptr, 0},
    {KSPROPERTY_PIN_CATEGORY, {pin_category}, sizeof(KSP_PIN), sizeof(GUID), {nullptr}, nullptr, 0, nullptr, nullptr, 0},
};

const KSPROPERTY_ITEM kConnectionItems[] = {
    {KSPROPERTY_CONNECTION_STATE, {connection_state_get}, sizeof(KSPROPERTY), sizeof(KSSTATE), {connection_state_set}, nullptr, 0, nullptr, nullptr, 0},
    {KSPROPERTY_CONNECTION_DATAFORMAT, {connection_format_get}, sizeof(KSPROPERTY), 0, {connection_format_set}, nullptr, 0, nullptr, nullptr, 0},
    {KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX, {connection_framing_get}, sizeof(KSPROPERTY), 0, {nullptr}, nullptr, 0, nullptr, nullptr, 0},
};

const KSPROPERTY_SET kFilterSets[] = {
    {&KSPROPSETID_Pin, sizeof kPinItems / sizeof kPinItems[0], kPinItems, 0, nullptr},
};
const KSPROPERTY_SET kPinSets[] = {
    {&KSPROPSETID_Connection, sizeof kConnectionItems / sizeof kConnectionItems[0], kConnectionItems, 0,
     nullptr},
};
const KSAUTOMATION_TABLE kFilterBuiltins = {1, sizeof(KSPROPERTY_ITEM), kFilterSets, 0, 0, nullptr, 0, 0, nullptr};
const KSAUTOMATION_TABLE kPinBuiltins = {1, sizeof(KSPROPERTY_ITEM), kPinSets, 0, 0, nullptr, 0, 0, nullptr};

// ---- look-up and default answers --------------------------------------------------

enum class found { item, no_set, no_item };

found find_item(const KSAUTOMATION_TABLE* table, const GUID& set, ULONG id,
                const KSPROPERTY_ITEM** item) {
  if (table == nullptr) return found::no_set;
  bool set_known = false;
  const ULONG stride = table->PropertyItemSize != 0 ? table->PropertyItemSize : sizeof(KSPROPERTY_ITEM);
  for (ULONG s = 0; s < table->PropertySetsCount; ++s) {
    const KSPROPERTY_SET& candidate = table->PropertySets[s];
    if (candidate.Set == nullptr || *candidate.Set != set) continue;
    set_known = true;
    for (ULONG i = 0; i < candidate.PropertiesCount; ++i) {
      auto* entry = (const KSPROPERTY_ITEM*)((const char*)candidate.PropertyItem + (size_t)i * stride);
      if (entry->PropertyId == id) {
        *item = entry;
        return found::item;
      }
    }
  }
  return set_known ? found::no_item : found::no_set;
}

// KSPROPERTY_TYPE_BASICSUPPORT for an item without a support handler: its
// access flags, then a KSPROPERTY_DESCRIPTION, then each member list of its
// Values (header and members), as far as the buffer takes them.
NTSTATUS default_basic_support(const KSPROPERTY_ITEM* item, PIRP irp, PVOID data) {
  const KSPROPERTY_VALUES* values = item->Values;
  const ULONG lists = values != nullptr ? values->MembersListCount : 0;
  uint64_t total = sizeof(KSPROPERTY_DESCRIPTION);
  for (ULONG i = 0; i < lists; ++i) {
    const KSPROPERTY_MEMBERSHEADER& header = values->MembersList[i].MembersHeader;
    total += sizeof(KSPROPERTY_MEMBERSHEADER) + (uint64_t)header.MembersSize * header.MembersCount;
  }
  if (total > 0xFFFFFFFFu) return STATUS_INVALID_PARAMETER;
  ULONG access = KSPROPERTY_TYPE_BASICSUPPORT;
  if (item->GetPropertyHandler != nullptr) access |= KSPROPERTY_TYPE_GET;
  if (item->SetPropertyHandler != nullptr) access |= KSPROPERTY_TYPE_SET;
  const ULONG out = output_length(irp);
  if (out == 0) {
    irp->IoStatus.Information = (ULONG)total;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (out == sizeof(ULONG)) {
    *static_cast<ULONG*>(data) = access;
    irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
  }
  if (out < sizeof(KSPROPERTY_DESCRIPTION)) return STATUS_BUFFER_TOO_SMALL;
  auto* description = static_cast<PKSPROPERTY_DESCRIPTION>(data);
  description->AccessFlags = access;
  description->DescriptionSize = (ULONG)total;
  if (values != nullptr) {
    description->PropTypeSet = values->PropTypeSet;
  } else {
    description->PropTypeSet = {};
    description->PropTypeSet.Set = KSPROPTYPESETID_General;
    description->PropTypeSet.Id = kVtIllegal;
  }
  description->MembersListCount = lists;
  description->Reserved = 0;
  if (out < total) {
    irp->IoStatus.Information = sizeof(KSPROPERTY_DESCRIPTION);
    return STATUS_SUCCESS;
  }
  auto* p = (UCHAR*)(description + 1);
  for (ULONG i = 0; i < lists; ++i) {
    const KSPROPERTY_MEMBERSLIST& list = values->MembersList[i];
    memcpy(p, &list.MembersHeader, sizeof(KSPROPERTY_MEMBERSHEADER));
    p += sizeof(KSPROPERTY_MEMBERSHEADER);
    const size_t members = (size_t)list.MembersHeader.MembersSize * list.MembersHeader.MembersCount;
    if (members != 0) memcpy(p, list.Members, members);
    p += members;
  }
  irp->IoStatus.Information = (ULONG)total;
  return STATUS_SUCCESS;
}

NTSTATUS default_relations(const KSPROPERTY_ITEM* item, PIRP irp, PVOID data) {
  std::vector<std::pair<const void*, ULONG>> entries;
  for (ULONG i = 0; i < item->RelationsCount; ++i) {
    entries.emplace_back(&item->Relations[i], sizeof(KSPROPERTY));
  }
  return answer_list(irp, data, entries);
}

NTSTATUS call_handler(PFNKSHANDLER handler, PIRP irp, PKSPROPERTY property, PVOID data) {
  irql_guard guard("property handler");
  return handler(irp, property, data);
}

}  // namespace

NTSTATUS ks_dispatch_property(ks_object_header* object, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  const void* input = stack->Parameters.DeviceIoControl.Type3InputBuffer;
  void* output = irp->UserBuffer;
  if (input == nullptr || in < sizeof(KSPROPERTY)) return STATUS_INVALID_BUFFER_SIZE;
  if (out != 0 && output == nullptr) return STATUS_INVALID_PARAMETER;

  std::unique_ptr<uint64_t[]> request(new uint64_t[(in + 7) / 8]());
  memcpy(request.get(), input, in);
  auto* property = reinterpret_cast<PKSPROPERTY>(request.get());
  const ULONG flags = property->Flags & ~KSPROPERTY_TYPE_TOPOLOGY;
  if (property->Flags & KSPROPERTY_TYPE_TOPOLOGY) return STATUS_NOT_FOUND;  // no nodes

  const KSAUTOMATION_TABLE* table = nullptr;
  const KSAUTOMATION_TABLE* builtins = nullptr;
  if (object->kind == ks_kind::filter) {
    table = static_cast<ks_filter*>(object->object)->shell.pub.Descriptor->AutomationTable;
    builtins = &kFilterBuiltins;
  } else if (object->kind == ks_kind::pin) {
    table = static_cast<ks_pin*>(object->object)->shell.pub.Descriptor->AutomationTable;
    builtins = &kPinBuiltins;
  } else {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  const KSPROPERTY_ITEM* item = nullptr;
  const found own = find_item(table, property->Set, property->Id, &item);
  if (own != found::item) {
    const found standard = find_item(builtins, property->Set, property->Id, &item);
    if (standard != found::item) {
      return own == found::no_set && standard == found::no_set ? STATUS_PROPSET_NOT_FOUND
                                                               : STATUS_NOT_FOUND;
    }
  }
  if (in < item->MinProperty) return STATUS_BUFFER_TOO_SMALL;

  // Data capture: exactly `out` bytes; the caller's data goes in for a set.
  std::unique_ptr<UCHAR[]> data(out != 0 ? new UCHAR[out]() : nullptr);
  if (flags == KSPROPERTY_TYPE_SET && out != 0) memcpy(data.get(), output, out);
  irp->AssociatedIrp.SystemBuffer = data.get();

  NTSTATUS status;
  switch (flags) {
    case KSPROPERTY_TYPE_GET:
    case KSPROPERTY_TYPE_SET: {
      const PFNKSHANDLER handler =
          flags == KSPROPERTY_TYPE_GET ? item->GetPropertyHandler : item->SetPropertyHandler;
      if (handler == nullptr) {
        status = STATUS_NOT_FOUND;
      } else if (out < item->MinData) {
        if (out == 0) irp->IoStatus.Information = item->MinData;
        status = out == 0 ? STATUS_BUFFER_OVERFLOW : STATUS_BUFFER_TOO_SMALL;
      } else {
        status = call_handler(handler, irp, property, data.get());
      }
      break;
    }
    case KSPROPERTY_TYPE_BASICSUPPORT:
      status = item->SupportHandler != nullptr
                   ? call_handler(item->SupportHandler, irp, property, data.get())
                   : default_basic_support(item, irp, data.get());
      break;
    case KSPROPERTY_TYPE_SETSUPPORT:
      status = item->SupportHandler != nullptr
                   ? call_handler(item->SupportHandler, irp, property, data.get())
                   : STATUS_SUCCESS;
      break;
    case KSPROPERTY_TYPE_RELATIONS:
      status = item->SupportHandler != nullptr
                   ? call_handler(item->SupportHandler, irp, property, data.get())
                   : default_relations(item, irp, data.get());
      break;
    default:
      status = STATUS_INVALID_PARAMETER;
      break;
  }
  irp->AssociatedIrp.SystemBuffer = nullptr;

  if (!NT_ERROR(status) && out != 0) {
    ULONG_PTR returned = irp->IoStatus.Information;
    if (returned > out) {
      if (NT_SUCCESS(status)) {
        report_violation("ks_information_exceeds_buffer",
                         "property handler returned " + std::to_string(returned) +
                             " bytes for a buffer of " + std::to_string(out));
        irp->IoStatus.Information = out;
      }
      returned = out;
    }
    memcpy(output, data.get(), returned);
  }
  return status;
}

}  // namespace kstandin
