// property_request: a control_call for the key, handed to the highest level
// of the key's registry entry.
#include "controls/property_request.h"

#include "controls/camera_control.h"
#include "controls/control_registry.h"

static_assert(property_request_range == control_request_range, "one range flag");
static_assert(property_range_answer_size == control_record::range_size, "one range answer");

NTSTATUS property_request(uvc_camera* camera, const GUID& set, ULONG id, ULONG flags, PVOID input,
                          ULONG input_length, PVOID output, ULONG output_length,
                          ULONG* bytes_returned) {
  if (bytes_returned != nullptr) *bytes_returned = 0;
  if (camera == nullptr) return STATUS_INVALID_PARAMETER;
  control_call call = {};
  call.set = set;
  call.id = id;
  call.flags = flags;
  call.input = input_length != 0 ? input : nullptr;
  call.input_length = call.input != nullptr ? input_length : 0;
  call.output = output_length != 0 ? output : nullptr;
  call.output_length = call.output != nullptr ? output_length : 0;

  NTSTATUS status;
  if (flags == control_request_get || flags == control_request_range) {
    status = forward_get(camera, &call, control_level_override);
  } else if (flags == control_request_set) {
    status = forward_set(camera, &call, control_level_override);
  } else {
    return STATUS_NOT_IMPLEMENTED;
  }
  // A control never claims more than the buffer it was given.
  if (call.bytes_returned > call.output_length) call.bytes_returned = call.output_length;
  if (bytes_returned != nullptr) *bytes_returned = call.bytes_returned;
  return status;
}
