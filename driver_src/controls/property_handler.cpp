// The filter property handler and the routing of property requests.
#include "controls/property_handler.h"

#include "avstream/device.h"
#include "kernel/mutex_guard.h"
#include "kernel/pool_tags.h"
#include "usb/usb_utils.h"
#include "uvc/uvc_camera.h"
#include "uvc/uvc_descriptors.h"

namespace {

constexpr ULONG property_header_size = sizeof(KSPROPERTY);  // 24
constexpr ULONG method_neither = 3;                         // low bits of the I/O control code

// KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S: the property header, the pin, the
// data range (format entry) and the frame size asked about.
constexpr ULONG frame_rates_range_index = 28;
constexpr ULONG frame_rates_request_size = sizeof(KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S);  // 40
// The answer: a KSMULTIPLE_ITEM (total size, count) and the 64-bit intervals.
constexpr ULONG multiple_item_size = sizeof(KSMULTIPLE_ITEM);  // 8
constexpr ULONG multiple_item_count = 4;
constexpr ULONG max_listed_rates = (MAXULONG - multiple_item_size) / sizeof(LONGLONG);

}  // namespace

NTSTATUS filter_property_handler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  PKSFILTER filter = KsGetFilterFromIrp(irp);
  PKSDEVICE device = filter != nullptr ? KsGetDevice(filter) : nullptr;
  auto* context = device != nullptr ? static_cast<device_context*>(device->Context) : nullptr;
  if (context == nullptr || context->camera == nullptr) return STATUS_INVALID_PARAMETER;

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
    call.extra_input_length = input_length;
  }
  call.data = data;
  call.data_length = stack->Parameters.DeviceIoControl.OutputBufferLength;

  const NTSTATUS status = dispatch_property(context, &call);
  irp->IoStatus.Information = call.bytes_returned;
  return status;
}

NTSTATUS dispatch_property(device_context* context, property_call* call) {
  const KSPROPERTY* property = call->property;
  if (same_guid(property->Set, PROPSETID_VIDCAP_DROPPEDFRAMES)) {
    return context->query_dropped_frames(call);
  }
  if (same_guid(property->Set, PROPSETID_VIDCAP_VIDEOCONTROL) &&
      property->Id == KSPROPERTY_VIDEOCONTROL_FRAME_RATES && property->Flags == property_flag_get) {
    return answer_frame_rates(context, call);
  }
  return STATUS_NOT_IMPLEMENTED;
}

// ---- video control: the frame rates of a data range ------------------------------

NTSTATUS answer_frame_rates(device_context* context, property_call* call) {
  const ULONG request_size =
      IoGetCurrentIrpStackLocation(call->irp)->Parameters.DeviceIoControl.InputBufferLength;
  if (request_size < frame_rates_request_size) return STATUS_INVALID_PARAMETER;
  const auto* request = reinterpret_cast<const UCHAR*>(call->property);
  const ULONG range_index = le32(request + frame_rates_range_index);

  // The camera is read under the state mutex: a restart deletes it under it.
  mutex_guard lock(&context->state_mutex);
  uvc_camera* camera = context->camera;
  if (camera == nullptr) return STATUS_INVALID_DEVICE_STATE;
  PVOID client_request = const_cast<UCHAR*>(request);  // ks.sys's copy, for families
  ULONG count = 0;
  NTSTATUS status =
      camera->get_frame_intervals_of(range_index, client_request, request_size, nullptr, &count);
  if (status != STATUS_BUFFER_OVERFLOW && !NT_SUCCESS(status)) return status;
  if (count > max_listed_rates) return STATUS_INSUFFICIENT_RESOURCES;
  const ULONG total = multiple_item_size + count * ULONG(sizeof(LONGLONG));
  if (call->data == nullptr || call->data_length == 0) {
    call->bytes_returned = total;  // a size query
    return STATUS_BUFFER_OVERFLOW;
  }
  if (call->data_length < multiple_item_size) return STATUS_BUFFER_TOO_SMALL;

  LONGLONG* intervals = nullptr;
  if (count != 0) {
    intervals = static_cast<LONGLONG*>(
        ExAllocatePoolWithTag(PagedPool, count * sizeof(LONGLONG), pool_tag::objects));
    if (intervals == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG listed = count;
    status = camera->get_frame_intervals_of(range_index, client_request, request_size, intervals,
                                            &listed);
    if (NT_SUCCESS(status) && listed != count) status = STATUS_INVALID_DEVICE_STATE;
  } else {
    status = STATUS_SUCCESS;
  }
  if (NT_SUCCESS(status)) {
    // The header tells the whole list; the intervals follow as far as they fit.
    auto* out = static_cast<UCHAR*>(call->data);
    put_le32(out, total);
    put_le32(out + multiple_item_count, count);
    ULONG fit = (call->data_length - multiple_item_size) / ULONG(sizeof(LONGLONG));
    if (fit > count) fit = count;
    if (fit != 0) RtlCopyMemory(out + multiple_item_size, intervals, fit * sizeof(LONGLONG));
    call->bytes_returned = multiple_item_size + fit * ULONG(sizeof(LONGLONG));
  }
  if (intervals != nullptr) ExFreePoolWithTag(intervals, pool_tag::objects);
  return status;
}
