// property_request: no camera registers controls yet, so every key answers
// STATUS_NOT_IMPLEMENTED; the descriptor builder then leaves the item
// without value ranges and the handler reports the property as unanswered.
#include "controls/property_request.h"

NTSTATUS property_request(uvc_camera* camera, const GUID& set, ULONG id, ULONG flags, PVOID input,
                          ULONG input_length, PVOID output, ULONG output_length,
                          ULONG* bytes_returned) {
  if (bytes_returned != nullptr) *bytes_returned = 0;
  return STATUS_NOT_IMPLEMENTED;
}
