// The value records controls answer with, written and read at their named
// offsets.
#include "controls/camera_control.h"

#include "uvc/uvc_descriptors.h"

bool is_standard_control_set(const GUID& set) {
  return same_guid(set, PROPSETID_VIDCAP_VIDEOPROCAMP) ||
         same_guid(set, PROPSETID_VIDCAP_CAMERACONTROL);
}

void begin_record(control_call* call, ULONG size) {
  RtlZeroMemory(call->output, size);
  KSPROPERTY header = {};
  header.Set = call->set;
  header.Id = call->id;
  header.Flags = call->flags;
  RtlCopyMemory(call->output, &header, sizeof(header));
}

control_answer boolean_answer(LONG value, LONG default_value) {
  control_answer answer = {};
  answer.value = value;
  answer.flags = control_flag_manual;
  answer.capabilities = control_flag_manual;
  answer.minimum = 0;
  answer.maximum = 1;
  answer.default_value = default_value;
  answer.step = 1;
  return answer;
}

NTSTATUS write_control_answer(control_call* call, const control_answer& answer) {
  if (call == nullptr) return STATUS_INVALID_PARAMETER;
  if (is_range_query(call)) {
    if (call->output == nullptr || call->output_length < control_record::range_size) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    void* out = call->output;
    put_field(out, 0, ULONG(answer.minimum));
    put_field(out, 4, ULONG(answer.maximum));
    put_field(out, 8, ULONG(answer.default_value));
    put_field(out, 12, answer.step);
    put_field(out, 16, answer.capabilities);
    call->bytes_returned = control_record::range_size;
    return STATUS_SUCCESS;
  }
  const bool standard = is_standard_control_set(call->set);
  const ULONG size = standard ? control_record::standard_size : control_record::scalar_size;
  if (call->output == nullptr || call->output_length < size) return STATUS_INVALID_BUFFER_SIZE;
  begin_record(call, size);
  put_field(call->output, control_record::value, ULONG(answer.value));
  put_field(call->output, control_record::flags, answer.flags);
  put_field(call->output, control_record::capabilities, answer.capabilities);
  if (!standard) {
    put_field(call->output, control_record::minimum, ULONG(answer.minimum));
    put_field(call->output, control_record::maximum, ULONG(answer.maximum));
    put_field(call->output, control_record::default_value, ULONG(answer.default_value));
  }
  call->bytes_returned = size;
  return STATUS_SUCCESS;
}

NTSTATUS read_control_value(const control_call* call, LONG* value, ULONG* flags) {
  if (call == nullptr) return STATUS_INVALID_PARAMETER;
  const ULONG size = is_standard_control_set(call->set) ? control_record::standard_size
                                                        : control_record::scalar_size;
  if (call->output == nullptr || call->output_length < size) return STATUS_INVALID_BUFFER_SIZE;
  *value = LONG(get_field(call->output, control_record::value));
  *flags = get_field(call->output, control_record::flags);
  return STATUS_SUCCESS;
}
