// bulk_reader: URBs and data delivery for bulk and interrupt IN pipes; the
// requests themselves are pipe_reader's.
#include "usb/bulk_reader.h"

#include "kernel/pool_tags.h"

namespace {

// Requests of a reader created with transfer size 0 hold this many packets.
constexpr ULONG default_packets_per_transfer = 8;

}  // namespace

bulk_reader::bulk_reader(PDEVICE_OBJECT target, ULONG transfer_size, stream_data_callback callback,
                         PVOID context)
    : pipe_reader(target, callback, context), requested_transfer_size_(transfer_size) {}

bulk_reader* bulk_reader::create(PDEVICE_OBJECT target, ULONG transfer_size,
                                 stream_data_callback callback, PVOID context) {
  if (target == nullptr || callback == nullptr) {
    return nullptr;
  }
  return new (NonPagedPoolNx, pool_tag::objects)
      bulk_reader(target, transfer_size, callback, context);
}

// Under the reader's mutex at start.
NTSTATUS bulk_reader::configure(const USBD_PIPE_INFORMATION* pipe) {
  ULONG size = requested_transfer_size_;
  if (size == 0) {
    size = default_packets_per_transfer * pipe->MaximumPacketSize;
  }
  if (size == 0) {
    return STATUS_INVALID_PARAMETER;  // a pipe without packets
  }
  buffer_size_ = size;
  urb_size_ = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  return STATUS_SUCCESS;
}

// IRQL <= DISPATCH_LEVEL. The whole URB is rebuilt: the lower driver wrote
// the status, the length received and its own area into it last time.
void bulk_reader::build_urb(read_request* request) {
  PURB urb = request->urb;
  RtlZeroMemory(urb, urb_size_);
  UsbBuildInterruptOrBulkTransferRequest(
      urb, static_cast<USHORT>(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)), pipe_handle_,
      nullptr, request->mdl, buffer_size_, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
      nullptr);
}

// DISPATCH_LEVEL, in the completion routine: one callback with what arrived.
NTSTATUS bulk_reader::deliver(read_request* request) {
  ULONG length = request->urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  if (length > buffer_size_) {
    length = buffer_size_;  // never more than the buffer, whatever the URB says
  }
  return call_back(request, request->buffer, length);
}
