// iso_reader: URBs and per-packet data delivery for isochronous IN pipes; the
// requests themselves are pipe_reader's.
#include "usb/iso_reader.h"

#include "kernel/pool_tags.h"

iso_reader::iso_reader(PDEVICE_OBJECT target, stream_data_callback callback, PVOID context)
    : pipe_reader(target, callback, context), packet_size_(0), transfer_flags_(0) {}

iso_reader* iso_reader::create(PDEVICE_OBJECT target, stream_data_callback callback,
                               PVOID context) {
  if (target == nullptr || callback == nullptr) {
    return nullptr;
  }
  return new (NonPagedPoolNx, pool_tag::objects) iso_reader(target, callback, context);
}

// Under the reader's mutex at start.
NTSTATUS iso_reader::configure(const USBD_PIPE_INFORMATION* pipe) {
  if (pipe->MaximumPacketSize == 0) {
    return STATUS_INVALID_PARAMETER;  // alternate setting 0: no bandwidth
  }
  packet_size_ = pipe->MaximumPacketSize;
  buffer_size_ = packets_per_request * packet_size_;
  urb_size_ = GET_ISO_URB_SIZE(packets_per_request);
  transfer_flags_ = USBD_SHORT_TRANSFER_OK | USBD_START_ISO_TRANSFER_ASAP;
  if (USB_ENDPOINT_DIRECTION_IN(pipe->EndpointAddress)) {
    transfer_flags_ |= USBD_TRANSFER_DIRECTION_IN;
  }
  return STATUS_SUCCESS;
}

// IRQL <= DISPATCH_LEVEL. Packet i starts at i x packet size; the lower
// driver reports each packet's length and status in place.
void iso_reader::build_urb(read_request* request) {
  PURB urb = request->urb;
  RtlZeroMemory(urb, urb_size_);
  urb->UrbHeader.Length = static_cast<USHORT>(urb_size_);
  urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
  struct _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
  iso.PipeHandle = pipe_handle_;
  iso.TransferFlags = transfer_flags_;
  iso.TransferBufferLength = buffer_size_;
  iso.TransferBufferMDL = request->mdl;
  iso.NumberOfPackets = packets_per_request;
  USBD_ISO_PACKET_DESCRIPTOR* packets = iso.IsoPacket;
  for (ULONG i = 0; i < packets_per_request; ++i) {
    packets[i].Offset = i * packet_size_;
    packets[i].Length = packet_size_;
  }
}

// DISPATCH_LEVEL, in the completion routine. Packets without data are
// skipped; a packet that completed with an error lost what the device sent
// in it, which the consumer is told in the packet's place (report_loss), so
// that a frame missing that payload is not taken for whole. A request
// without any good packet is resubmitted. Every good packet is delivered,
// also after a callback kept the buffer (the request cannot go back into
// circulation before this returns); the result is then
// STATUS_MORE_PROCESSING_REQUIRED, otherwise the last data callback's.
NTSTATUS iso_reader::deliver(read_request* request) {
  const struct _URB_ISOCH_TRANSFER& iso = request->urb->UrbIsochronousTransfer;
  const USBD_ISO_PACKET_DESCRIPTOR* packets = iso.IsoPacket;
  NTSTATUS result = STATUS_SUCCESS;
  bool kept = false;
  for (ULONG i = 0; i < packets_per_request; ++i) {
    if (!USBD_SUCCESS(packets[i].Status)) {
      report_loss(request);
      continue;
    }
    if (packets[i].Length == 0 || iso.TransferBufferLength == 0) {
      continue;
    }
    ULONG length = packets[i].Length;
    if (length > packet_size_) {
      length = packet_size_;  // a packet never reaches into the next one
    }
    result = call_back(request, request->buffer + i * packet_size_, length);
    if (result == STATUS_MORE_PROCESSING_REQUIRED) {
      kept = true;
    }
  }
  return kept ? STATUS_MORE_PROCESSING_REQUIRED : result;
}
