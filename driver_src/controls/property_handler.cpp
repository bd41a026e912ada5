// The filter property handler and the routing of property requests.
#include "controls/property_handler.h"

#include "avstream/device.h"
#include "uvc/uvc_descriptors.h"

namespace {

constexpr ULONG property_header_size = sizeof(KSPROPERTY);  // 24
constexpr ULONG method_neither = 3;                         // low bits of the I/O control code

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
  const GUID& set = call->property->Set;
  if (same_guid(set, PROPSETID_VIDCAP_DROPPEDFRAMES)) return context->query_dropped_frames(call);
  return STATUS_NOT_IMPLEMENTED;
}
