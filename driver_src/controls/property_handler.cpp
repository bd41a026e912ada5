// The filter property handler and the routing of property requests: the
// control registry first, then the sets answered from driver and device
// data.
#include "controls/property_handler.h"

#include "avstream/device.h"
#include "controls/camera_control.h"
#include "controls/control_registry.h"
#include "controls/property_request.h"
#include "kernel/pool_tags.h"
#include "uvc/uvc_camera.h"
#include "uvc/uvc_descriptors.h"
#include "uvc/version_banner.h"

namespace {

constexpr ULONG property_header_size = sizeof(KSPROPERTY);  // 24
constexpr ULONG method_neither = 3;                         // low bits of the I/O control code

// Access flags of a support answer.
constexpr ULONG access_get_set = 3;
constexpr ULONG access_supported = 1;
constexpr ULONG vt_illegal = 0xFFFF;  // a description's value type when no type is described

// The driver's version as four 16-bit parts (driver information id 0), and
// its build flavour.
constexpr ULONGLONG driver_version = (2ull << 48) | (9ull << 32) | (8ull << 16) | 2001;
constexpr ULONG driver_information_kind = 4;
const WCHAR build_flavour[] = L"fre";
constexpr ULONG build_flavour_capacity = 64;  // characters

// Device identity constants.
constexpr ULONG identity_version_major = 5;
constexpr ULONG identity_version_minor = 7;
constexpr ULONG identity_interface_version = 66;

// Video control: the capability and mode words of the 32-byte records, the
// request fields of the frame rates.
constexpr ULONG video_control_record_size = 32;
constexpr ULONG video_control_word = 28;
constexpr ULONG mode_request_size = 8;        // stream index, mode (after the header)
constexpr ULONG mode_request_word = 4;
constexpr ULONG frame_rates_request_size = 16;  // stream index, range index, width, height
constexpr ULONG frame_rates_range_index = 4;
constexpr ULONG multiple_item_header = 8;  // total size, count

// Interval lists longer than this are not answered (a family's list is
// bounded far below it).
constexpr ULONG max_listed_intervals = 0x100000;

NTSTATUS answer_word(property_call* call, ULONG value) {
  if (call->data == nullptr || call->data_length < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  put_field(call->data, 0, value);
  call->bytes_returned = sizeof(ULONG);
  return STATUS_SUCCESS;
}

// A basic-support request, as kernel-streaming clients ask it: with no data
// buffer a size query (the size of a KSPROPERTY_DESCRIPTION, with
// STATUS_BUFFER_OVERFLOW); 4 bytes the access flags; a buffer too short for
// the description STATUS_BUFFER_TOO_SMALL with nothing written; a longer
// one the description (no value ranges, so no member lists).
NTSTATUS answer_basic_support(property_call* call, ULONG access) {
  if (call->data == nullptr || call->data_length == 0) {
    call->bytes_returned = sizeof(KSPROPERTY_DESCRIPTION);
    return STATUS_BUFFER_OVERFLOW;
  }
  if (call->data_length == sizeof(ULONG)) return answer_word(call, access);
  if (call->data_length < sizeof(KSPROPERTY_DESCRIPTION)) return STATUS_BUFFER_TOO_SMALL;
  KSPROPERTY_DESCRIPTION description = {};
  description.AccessFlags = access != 0 ? access | KSPROPERTY_TYPE_BASICSUPPORT : 0;
  description.DescriptionSize = sizeof(KSPROPERTY_DESCRIPTION);
  description.PropTypeSet.Set = KSPROPTYPESETID_General;
  description.PropTypeSet.Id = vt_illegal;
  RtlCopyMemory(call->data, &description, sizeof(description));
  call->bytes_returned = sizeof(KSPROPERTY_DESCRIPTION);
  return STATUS_SUCCESS;
}

// A zero-filled record of `size` bytes at the start of the data buffer,
// which must hold at least `size` (else STATUS_INVALID_PARAMETER).
NTSTATUS begin_answer(property_call* call, ULONG size) {
  if (call->data == nullptr || call->data_length < size) return STATUS_INVALID_PARAMETER;
  RtlZeroMemory(call->data, size);
  call->bytes_returned = size;
  return STATUS_SUCCESS;
}

// An 8-bit copy of a string of the camera (non-ASCII characters become
// '?'), zero-terminated within `capacity` bytes at `out`. A string the
// camera does not have stays empty.
void put_camera_string(uvc_camera* camera, ULONG selector, UCHAR* out, ULONG capacity) {
  WCHAR buffer[device_identity::text_capacity];
  UNICODE_STRING text = {0, USHORT(sizeof(buffer)), buffer};
  const NTSTATUS status = camera->get_string(selector, &text);
  if (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW) return;
  const ULONG chars = text.Length / sizeof(WCHAR);
  for (ULONG i = 0; i < chars && i + 1 < capacity; ++i) {
    out[i] = buffer[i] < 0x80 ? UCHAR(buffer[i]) : UCHAR('?');
  }
}

// ---- device identity ------------------------------------------------------------------

NTSTATUS device_identity_get(uvc_camera* camera, property_call* call) {
  const ULONG id = call->property->Id;
  auto* out = static_cast<UCHAR*>(call->data);
  NTSTATUS status;
  switch (id) {
    case device_identity::manufacturer_id:
      status = begin_answer(call, device_identity::record_size);
      if (!NT_SUCCESS(status)) return status;
      put_field(out, device_identity::vendor_id, camera->id_vendor());
      put_camera_string(camera, usb_string_manufacturer, out + device_identity::manufacturer,
                        device_identity::text_capacity);
      return STATUS_SUCCESS;
    case device_identity::product_id: {
      status = begin_answer(call, device_identity::record_size);
      if (!NT_SUCCESS(status)) return status;
      WCHAR serial[device_identity::text_capacity];
      UNICODE_STRING text = {0, USHORT(sizeof(serial)), serial};
      ULONGLONG number = 0;
      status = camera->get_string(usb_string_serial_number, &text);
      if (!NT_SUCCESS(status) || !parse_hex64(text, &number)) {
        number = device_identity::no_serial_number;
      }
      RtlCopyMemory(out + device_identity::serial_number, &number, sizeof(number));
      put_camera_string(camera, usb_string_product, out + device_identity::product,
                        device_identity::record_size - device_identity::product);
      return STATUS_SUCCESS;
    }
    case device_identity::version_id: {
      status = begin_answer(call, device_identity::version_record_size);
      if (!NT_SUCCESS(status)) return status;
      put_field(out, device_identity::version_major, identity_version_major);
      put_field(out, device_identity::version_minor, identity_version_minor);
      put_field(out, device_identity::product_number, camera->id_product());
      WCHAR banner[device_identity::text_capacity];
      UNICODE_STRING text = {0, USHORT(sizeof(banner)), banner};
      if (NT_SUCCESS(build_version_banner(&text))) {
        for (ULONG i = 0; i < text.Length / sizeof(WCHAR) && i + 1 < device_identity::text_capacity;
             ++i) {
          out[device_identity::banner + i] = banner[i] < 0x80 ? UCHAR(banner[i]) : UCHAR('?');
        }
      }
      return STATUS_SUCCESS;
    }
    case device_identity::interface_id:
      status = begin_answer(call, device_identity::record_size);
      if (!NT_SUCCESS(status)) return status;
      put_field(out, device_identity::interface_version, identity_interface_version);
      return STATUS_SUCCESS;
    default:
      return STATUS_NOT_IMPLEMENTED;
  }
}

// ---- driver information --------------------------------------------------------------------

NTSTATUS driver_information_get(uvc_camera* camera, property_call* call) {
  auto* out = static_cast<UCHAR*>(call->data);
  NTSTATUS status;
  switch (call->property->Id) {
    case driver_information::version_id: {
      status = begin_answer(call, driver_information::version_size);
      if (!NT_SUCCESS(status)) return status;
      put_field(out, driver_information::record_kind, driver_information_kind);
      const ULONGLONG version = driver_version;
      RtlCopyMemory(out + driver_information::version, &version, sizeof(version));
      for (ULONG i = 0; build_flavour[i] != 0 && i + 1 < build_flavour_capacity; ++i) {
        const WCHAR c = build_flavour[i];
        RtlCopyMemory(out + driver_information::build_flavour + i * sizeof(WCHAR), &c, sizeof(c));
      }
      return STATUS_SUCCESS;
    }
    case driver_information::device_info_id: {
      status = begin_answer(call, driver_information::device_info_size);
      if (!NT_SUCCESS(status)) return status;
      camera_device_info info;
      status = camera->get_device_info(&info);
      if (!NT_SUCCESS(status)) {
        call->bytes_returned = 0;
        return status;
      }
      RtlCopyMemory(out, &info, sizeof(info));
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_NOT_IMPLEMENTED;
  }
}

// ---- driver properties -------------------------------------------------------------------

NTSTATUS driver_property_request(uvc_camera* camera, property_call* call, ULONG flags) {
  const ULONG id = call->property->Id;
  if (flags == property_flag_get) {
    return camera->get_driver_property(id, call->extra_input, call->extra_input_length, call->data,
                                       call->data_length, &call->bytes_returned);
  }
  if (flags == property_flag_set) {
    // The value is the request's extra input, as long as the data buffer
    // says. A request too short for that carries its value in the data
    // buffer, which holds that many bytes; nothing is read past a buffer.
    PVOID value = call->extra_input;
    ULONG length = call->extra_input_length;
    if (call->data_length != 0) {
      length = call->data_length;
      if (call->extra_input_length < call->data_length) value = call->data;
    }
    return camera->set_driver_property(id, value, length);
  }
  return STATUS_NOT_IMPLEMENTED;
}

// ---- video control ---------------------------------------------------------------------------

// A control of the registry read or written with a 48-byte request, as a
// client would: the value field of the record.
NTSTATUS read_control(uvc_camera* camera, ULONG id, LONG* value) {
  UCHAR record[control_record::scalar_size] = {};
  control_call call = {};
  call.set = camera_extension_set;
  call.id = id;
  call.flags = control_request_get;
  call.input = record + control_record::header_size;
  call.input_length = sizeof(record) - control_record::header_size;
  call.output = record;
  call.output_length = sizeof(record);
  const NTSTATUS status = forward_get(camera, &call, control_level_override);
  if (NT_SUCCESS(status)) *value = LONG(get_field(record, control_record::value));
  return status;
}

NTSTATUS write_control(uvc_camera* camera, ULONG id, LONG value) {
  UCHAR record[control_record::scalar_size] = {};
  KSPROPERTY header = {};
  header.Set = camera_extension_set;
  header.Id = id;
  header.Flags = control_request_set;
  RtlCopyMemory(record, &header, sizeof(header));
  put_field(record, control_record::value, ULONG(value));
  put_field(record, control_record::flags, control_flag_manual);
  control_call call = {};
  call.set = camera_extension_set;
  call.id = id;
  call.flags = control_request_set;
  call.input = record + control_record::header_size;
  call.input_length = sizeof(record) - control_record::header_size;
  call.output = record;
  call.output_length = sizeof(record);
  return forward_set(camera, &call, control_level_override);
}

bool has_control(uvc_camera* camera, ULONG id) {
  return NT_SUCCESS(has_property(camera, camera_extension_set, id, nullptr, nullptr));
}

NTSTATUS video_control_capabilities(uvc_camera* camera, property_call* call) {
  NTSTATUS status = begin_answer(call, video_control_record_size);
  if (!NT_SUCCESS(status)) return status;
  ULONG caps = 0;
  if (has_control(camera, extension_id::trigger)) caps |= KS_VideoControlFlag_ExternalTriggerEnable;
  if (has_control(camera, extension_id::flip_x)) caps |= KS_VideoControlFlag_FlipHorizontal;
  if (has_control(camera, extension_id::flip_y)) caps |= KS_VideoControlFlag_FlipVertical;
  put_field(call->data, video_control_word, caps);
  return STATUS_SUCCESS;
}

NTSTATUS video_control_mode_get(uvc_camera* camera, property_call* call) {
  if (call->data == nullptr || call->data_length < video_control_record_size) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG mode = 0;
  LONG value = 0;
  NTSTATUS status;
  if (has_control(camera, extension_id::trigger)) {
    status = read_control(camera, extension_id::trigger, &value);
    if (!NT_SUCCESS(status)) return status;
    if ((value & KS_VideoControlFlag_ExternalTriggerEnable) == 0) {
      mode |= KS_VideoControlFlag_ExternalTriggerEnable;
    }
  }
  if (has_control(camera, extension_id::flip_x)) {
    status = read_control(camera, extension_id::flip_x, &value);
    if (!NT_SUCCESS(status)) return status;
    if (value != 0) mode |= KS_VideoControlFlag_FlipHorizontal;
  }
  if (has_control(camera, extension_id::flip_y)) {
    status = read_control(camera, extension_id::flip_y, &value);
    if (!NT_SUCCESS(status)) return status;
    if (value != 0) mode |= KS_VideoControlFlag_FlipVertical;
  }
  begin_answer(call, video_control_record_size);
  put_field(call->data, video_control_word, mode);
  return STATUS_SUCCESS;
}

NTSTATUS video_control_mode_set(uvc_camera* camera, property_call* call) {
  if (call->extra_input == nullptr || call->extra_input_length < mode_request_size) {
    return STATUS_INVALID_PARAMETER;
  }
  const ULONG mode = get_field(call->extra_input, mode_request_word);
  NTSTATUS status;
  if (has_control(camera, extension_id::trigger)) {
    LONG value = 0;
    status = read_control(camera, extension_id::trigger, &value);
    if (!NT_SUCCESS(status)) return status;
    if ((mode & KS_VideoControlFlag_ExternalTriggerEnable) != 0) {
      value &= ~LONG(7);
    } else {
      value |= KS_VideoControlFlag_ExternalTriggerEnable;
    }
    status = write_control(camera, extension_id::trigger, value);
    if (!NT_SUCCESS(status)) return status;
  }
  if (has_control(camera, extension_id::flip_x)) {
    status = write_control(camera, extension_id::flip_x, LONG(mode & 1));
    if (!NT_SUCCESS(status)) return status;
  }
  if (has_control(camera, extension_id::flip_y)) {
    status = write_control(camera, extension_id::flip_y, LONG((mode >> 1) & 1));
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

// The frame intervals of format entry `index` in a paged block the caller
// frees (null when the list is empty). `request` goes to the camera for a
// family's own list.
NTSTATUS list_intervals(uvc_camera* camera, ULONG index, PVOID request, ULONG request_size,
                        LONGLONG** intervals, ULONG* count) {
  *intervals = nullptr;
  *count = 0;
  ULONG needed = 0;
  NTSTATUS status = camera->get_frame_intervals_of(index, request, request_size, nullptr, &needed);
  if (status != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
  if (needed == 0) return STATUS_SUCCESS;
  if (needed > max_listed_intervals) return STATUS_INSUFFICIENT_RESOURCES;
  auto* list = static_cast<LONGLONG*>(
      ExAllocatePoolWithTag(PagedPool, needed * sizeof(LONGLONG), pool_tag::objects));
  if (list == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG got = needed;
  status = camera->get_frame_intervals_of(index, request, request_size, list, &got);
  if (!NT_SUCCESS(status) || got > needed) {
    ExFreePoolWithTag(list, pool_tag::objects);
    return NT_SUCCESS(status) ? STATUS_INTERNAL_ERROR : status;
  }
  *intervals = list;
  *count = got;
  return STATUS_SUCCESS;
}

void free_intervals(LONGLONG* intervals) {
  if (intervals != nullptr) ExFreePoolWithTag(intervals, pool_tag::objects);
}

// KSPROPERTY_VIDEOCONTROL_FRAME_RATES: the intervals of the pin's range
// (the request's range index) as a multiple-item list. Without data the
// size it needs (STATUS_BUFFER_OVERFLOW); the header always tells the whole
// list, and as many intervals follow as the buffer holds.
NTSTATUS video_control_frame_rates(uvc_camera* camera, property_call* call) {
  if (call->extra_input == nullptr || call->extra_input_length < frame_rates_request_size) {
    return STATUS_INVALID_PARAMETER;
  }
  const ULONG index = get_field(call->extra_input, frame_rates_range_index);
  LONGLONG* intervals = nullptr;
  ULONG count = 0;
  NTSTATUS status =
      list_intervals(camera, index, call->extra_input, call->extra_input_length, &intervals, &count);
  if (!NT_SUCCESS(status)) return status;
  const ULONG total = multiple_item_header + count * ULONG(sizeof(LONGLONG));
  if (call->data_length == 0) {
    call->bytes_returned = total;
    status = STATUS_BUFFER_OVERFLOW;
  } else if (call->data == nullptr || call->data_length < multiple_item_header) {
    status = STATUS_BUFFER_TOO_SMALL;
  } else {
    const ULONG fit = (call->data_length - multiple_item_header) / sizeof(LONGLONG);
    const ULONG written = count < fit ? count : fit;
    put_field(call->data, 0, total);
    put_field(call->data, 4, count);
    RtlCopyMemory(static_cast<UCHAR*>(call->data) + multiple_item_header, intervals,
                  written * sizeof(LONGLONG));
    call->bytes_returned = multiple_item_header + written * ULONG(sizeof(LONGLONG));
    status = STATUS_SUCCESS;
  }
  free_intervals(intervals);
  return status;
}

NTSTATUS video_control_request(uvc_camera* camera, property_call* call, ULONG flags) {
  switch (call->property->Id) {
    case KSPROPERTY_VIDEOCONTROL_CAPS:
      if (flags == property_flag_get) return video_control_capabilities(camera, call);
      break;
    case KSPROPERTY_VIDEOCONTROL_MODE:
      if (flags == property_flag_get) return video_control_mode_get(camera, call);
      if (flags == property_flag_set) return video_control_mode_set(camera, call);
      break;
    case KSPROPERTY_VIDEOCONTROL_FRAME_RATES:
      if (flags == property_flag_get) return video_control_frame_rates(camera, call);
      break;
    default:
      break;
  }
  return STATUS_NOT_IMPLEMENTED;
}

// ---- frame-interval list ----------------------------------------------------------------------

// Id 0: the count and as many intervals as fit after it. A data buffer of
// exactly 4 bytes asks for the count; a longer one too short for the list
// gets the count alone and STATUS_BUFFER_OVERFLOW.
NTSTATUS frame_interval_list_get(uvc_camera* camera, property_call* call) {
  if (call->property->Id != frame_interval_list::intervals_id) return STATUS_NOT_IMPLEMENTED;
  if (call->extra_input == nullptr || call->extra_input_length < frame_interval_list::request_size ||
      call->data == nullptr || call->data_length < sizeof(ULONG)) {
    return STATUS_INVALID_PARAMETER;
  }
  const ULONG index = get_field(call->extra_input, frame_interval_list::format_index);
  LONGLONG* intervals = nullptr;
  ULONG count = 0;
  NTSTATUS status =
      list_intervals(camera, index, call->extra_input, call->extra_input_length, &intervals, &count);
  if (!NT_SUCCESS(status)) return status;
  const ULONG fit = (call->data_length - sizeof(ULONG)) / sizeof(LONGLONG);
  put_field(call->data, 0, count);
  call->bytes_returned = sizeof(ULONG);
  if (call->data_length == sizeof(ULONG)) {
    status = STATUS_SUCCESS;
  } else if (count > fit) {
    status = STATUS_BUFFER_OVERFLOW;
  } else {
    RtlCopyMemory(static_cast<UCHAR*>(call->data) + sizeof(ULONG), intervals,
                  count * sizeof(LONGLONG));
    call->bytes_returned = sizeof(ULONG) + count * ULONG(sizeof(LONGLONG));
    status = STATUS_SUCCESS;
  }
  free_intervals(intervals);
  return status;
}

// ---- routes ----------------------------------------------------------------------------------

// A key with a registered control.
NTSTATUS registry_request(uvc_camera* camera, property_call* call, ULONG flags) {
  const KSPROPERTY* property = call->property;
  // has_property reports get and set together.
  if (flags == property_flag_set_support && call->data_length >= sizeof(ULONG)) {
    return answer_word(call, access_get_set);
  }
  if (flags == property_flag_basic_support) return answer_basic_support(call, access_get_set);
  if (flags != property_flag_get && flags != property_flag_set) return STATUS_NOT_IMPLEMENTED;
  return property_request(camera, property->Set, property->Id, flags, call->extra_input,
                          call->extra_input_length, call->data, call->data_length,
                          &call->bytes_returned);
}

// Support requests of the sets answered here.
NTSTATUS support_request(uvc_camera* camera, property_call* call, ULONG flags) {
  const bool basic = flags == property_flag_basic_support;
  if (!basic && call->data_length != sizeof(ULONG)) return STATUS_NOT_IMPLEMENTED;
  ULONG access = access_supported;
  if (same_guid(call->property->Set, driver_property_set)) {
    access = camera->is_driver_property_supported(call->property->Id) ? access_get_set : 0;
  }
  return basic ? answer_basic_support(call, access) : answer_word(call, access);
}

}  // namespace

NTSTATUS filter_property_handler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  PKSFILTER filter = irp != nullptr ? KsGetFilterFromIrp(irp) : nullptr;
  PKSDEVICE device = filter != nullptr ? KsGetDevice(filter) : nullptr;
  auto* context = device != nullptr ? static_cast<device_context*>(device->Context) : nullptr;
  if (context == nullptr || request == nullptr) return STATUS_INVALID_PARAMETER;

  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG input_length = stack->Parameters.DeviceIoControl.InputBufferLength;
  property_call call = {};
  call.irp = irp;
  call.property = request;
  if ((stack->Parameters.DeviceIoControl.IoControlCode & 3) == method_neither) {
    // The caller's own buffer: probed here, read past the property header.
    // A probe failure raises an exception, which ks.sys turns into the
    // request's status.
    auto* input = static_cast<PUCHAR>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
    ProbeForRead(input, input_length, 1);
    if (input != nullptr && input_length > property_header_size) {
      call.extra_input = input + property_header_size;
      call.extra_input_length = input_length - property_header_size;
    }
  } else {
    call.extra_input = irp->AssociatedIrp.SystemBuffer;
    call.extra_input_length = call.extra_input != nullptr ? input_length : 0;
  }
  call.data = data;
  call.data_length = data != nullptr ? stack->Parameters.DeviceIoControl.OutputBufferLength : 0;

  const NTSTATUS status = context->serve_property(&call);
  // Never more than the caller's buffer, whatever a route claims; a size
  // query (no data) reports the size it needs.
  ULONG returned = call.bytes_returned;
  if (call.data_length != 0 && returned > call.data_length) returned = call.data_length;
  irp->IoStatus.Information = returned;
  return status;
}

NTSTATUS dispatch_property(device_context* context, property_call* call) {
  uvc_camera* camera = context->camera;
  const GUID& set = call->property->Set;
  const ULONG flags = call->property->Flags;

  if (NT_SUCCESS(has_property(camera, set, call->property->Id, nullptr, nullptr))) {
    return registry_request(camera, call, flags);
  }
  if (same_guid(set, PROPSETID_VIDCAP_DROPPEDFRAMES)) {
    return context->query_dropped_frames_locked(call);
  }
  if (same_guid(set, PROPSETID_VIDCAP_VIDEOCONTROL)) {
    return video_control_request(camera, call, flags);
  }
  const bool identity = same_guid(set, device_identity_set);
  const bool information = same_guid(set, driver_information_set);
  const bool properties = same_guid(set, driver_property_set);
  const bool intervals = same_guid(set, frame_interval_list_set);
  if (!identity && !information && !properties && !intervals) return STATUS_NOT_IMPLEMENTED;
  if (flags == property_flag_set_support || flags == property_flag_basic_support) {
    return support_request(camera, call, flags);
  }
  if (properties) return driver_property_request(camera, call, flags);
  if (flags != property_flag_get) return STATUS_NOT_IMPLEMENTED;
  if (identity) return device_identity_get(camera, call);
  if (information) return driver_information_get(camera, call);
  return frame_interval_list_get(camera, call);
}
