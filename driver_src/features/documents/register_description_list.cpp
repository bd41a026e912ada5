// The register description list: document sizes and texts, and register
// reads and writes routed to the virtual registers or the camera's UVC
// controls.
#include "features/documents/register_description_list.h"

#include "controls/control_registry.h"
#include "controls/property_sets.h"
#include "kernel/pool_tags.h"
#include "usb/camera_document.h"
#include "usb/control_request.h"

namespace {

constexpr ULONG word_size = 4;
constexpr ULONG address_size = 8;          // the register address: first 8 bytes of the input
constexpr ULONG document_index_offset = 4;  // the document index: second 32-bit word
constexpr ULONG virtual_space = 0xCEBB0001;

ULONGLONG read_address(const void* input) {
  const ULONG low = get_field(input, 0);
  const ULONG high = get_field(input, 4);
  return (ULONGLONG(high) << 32) | low;
}

// The register request as the control that serves the register sees it:
// the client's data buffer is its input and its data.
control_call register_call(const control_call* call, ULONGLONG address, ULONG flags) {
  control_call r = {};
  r.set = named_property_set;
  r.id = ULONG(address & 0xFFFFFFFF);
  r.flags = flags;
  r.input = call->output;
  r.input_length = call->output_length;
  r.output = call->output;
  r.output_length = call->output_length;
  return r;
}

UCHAR address_unit(ULONGLONG address) { return UCHAR((address >> 16) & 0xFF); }
UCHAR address_selector(ULONGLONG address) { return UCHAR(address & 0xFF); }

}  // namespace

NTSTATUS register_description_list::get_property(uvc_camera* camera, control_call* call) {
  if (call->input == nullptr || call->input_length < word_size || call->output == nullptr ||
      call->output_length < word_size) {
    return STATUS_INVALID_PARAMETER;
  }
  if (is_range_query(call) || call->extra_flags != 0) return STATUS_NOT_IMPLEMENTED;
  if (call->id == extension_access_id::register_access) {
    if (call->input_length < address_size) return STATUS_BUFFER_OVERFLOW;
    return read_register(camera, call, read_address(call->input));
  }
  if (call->id != extension_access_id::document_size && call->id != extension_access_id::document_text) {
    return STATUS_NOT_IMPLEMENTED;
  }
  const ULONG index =
      call->input_length >= address_size ? get_field(call->input, document_index_offset) : 0;
  ULONG size = 0;
  const char* text = documents_.document(index, &size);
  if (text == nullptr) return STATUS_INVALID_PARAMETER;
  if (call->id == extension_access_id::document_size) {
    put_field(call->output, 0, size);
    call->bytes_returned = word_size;
    return STATUS_SUCCESS;
  }
  if (call->output_length < size) return STATUS_BUFFER_OVERFLOW;
  RtlCopyMemory(call->output, text, size);
  call->bytes_returned = size;
  return STATUS_SUCCESS;
}

NTSTATUS register_description_list::set_property(uvc_camera* camera, control_call* call) {
  if (call->id != extension_access_id::register_access) return STATUS_NOT_IMPLEMENTED;
  if (call->input == nullptr || call->input_length < address_size) return STATUS_BUFFER_OVERFLOW;
  return write_register(camera, call, read_address(call->input));
}

NTSTATUS register_description_list::read_register(uvc_camera* camera, control_call* call,
                                                  ULONGLONG address) {
  if (ULONG(address >> 32) == virtual_space) {
    control_call r = register_call(call, address, control_request_get);
    const NTSTATUS status = forward_get(camera, &r, control_level_override);
    if (NT_SUCCESS(status)) call->bytes_returned = r.bytes_returned;
    return status;
  }
  // A UVC control is at most 64 KiB less one: wLength is 16 bits.
  if (call->output_length > 0xFFFF) return STATUS_INVALID_PARAMETER;
  ULONG transferred = 0;
  const NTSTATUS status =
      uvc_get_cur(camera->device_object(), address_unit(address), address_selector(address),
                  USHORT(call->output_length), call->output, &transferred);
  if (NT_SUCCESS(status)) call->bytes_returned = transferred;
  return status;
}

NTSTATUS register_description_list::write_register(uvc_camera* camera, control_call* call,
                                                   ULONGLONG address) {
  if (ULONG(address >> 32) == virtual_space) {
    control_call r = register_call(call, address, control_request_set);
    return forward_set(camera, &r, control_level_override);
  }
  if (call->output_length > 0xFFFF || (call->output == nullptr && call->output_length != 0)) {
    return STATUS_INVALID_PARAMETER;
  }
  return uvc_set_cur(camera->device_object(), address_unit(address), address_selector(address),
                     USHORT(call->output_length), call->output);
}

NTSTATUS read_camera_register_description(uvc_camera* camera, register_description_list* list) {
  UCHAR* document = nullptr;
  ULONG length = 0;
  NTSTATUS status = read_camera_document(camera->device_object(), register_description_length_request,
                                         register_description_data_request, pool_tag::objects,
                                         &document, &length);
  if (!NT_SUCCESS(status)) return status;
  status = list->append_register_description_array(document, length);
  ExFreePoolWithTag(document, pool_tag::objects);
  return status;
}

NTSTATUS register_with_camera(register_description_list* list, uvc_camera* camera) {
  if (list->count() == 0) return STATUS_ALREADY_REGISTERED;
  const property_key keys[] = {{extension_access_set, extension_access_id::document_size},
                               {extension_access_set, extension_access_id::document_text},
                               {extension_access_set, extension_access_id::register_access}};
  return register_control(camera, keys, ARRAYSIZE(keys), list, control_level_base);
}
