// Reading a document the camera stores: its length, then its bytes chunk by
// chunk through the control-request funnel.
#include "usb/camera_document.h"

#include "usb/control_request.h"

namespace {

constexpr ULONG length_answer_size = 4;
constexpr UCHAR recipient_device = 0;

control_request vendor_in(UCHAR request, ULONG offset, USHORT length, PVOID data) {
  control_request r = {};
  r.is_out = 0;
  r.is_vendor = 1;
  r.recipient = recipient_device;
  r.request = request;
  r.value = USHORT(offset >> 16);
  r.index = USHORT(offset & 0xFFFF);
  r.length = length;
  r.data = data;
  return r;
}

}  // namespace

NTSTATUS read_camera_document(PDEVICE_OBJECT device, UCHAR length_request, UCHAR data_request,
                              ULONG tag, UCHAR** document, ULONG* length) {
  UCHAR answer[length_answer_size] = {};
  ULONG transferred = 0;
  NTSTATUS status = vendor_request(
      device, vendor_in(length_request, 0, length_answer_size, answer), &transferred);
  if (!NT_SUCCESS(status)) return status;
  if (transferred < length_answer_size) return STATUS_DEVICE_DATA_ERROR;
  const ULONG size = ULONG(answer[0]) | (ULONG(answer[1]) << 8) | (ULONG(answer[2]) << 16) |
                     (ULONG(answer[3]) << 24);
  if (size == 0) return STATUS_NOT_IMPLEMENTED;
  if (size > camera_document_max) return STATUS_BUFFER_OVERFLOW;

  auto* bytes = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, size, tag));
  if (bytes == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  for (ULONG offset = 0; offset < size; offset += camera_document_chunk) {
    const ULONG chunk = size - offset < camera_document_chunk ? size - offset : camera_document_chunk;
    transferred = 0;
    status = vendor_request(device, vendor_in(data_request, offset, USHORT(chunk), bytes + offset),
                            &transferred);
    if (NT_SUCCESS(status) && transferred < chunk) status = STATUS_DEVICE_DATA_ERROR;
    if (!NT_SUCCESS(status)) {
      ExFreePoolWithTag(bytes, tag);
      return status;
    }
  }
  *document = bytes;
  *length = size;
  return STATUS_SUCCESS;
}
