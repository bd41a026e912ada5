// iso_reader: the stream reader of an isochronous IN pipe. Each request spans
// 40 packets (bus intervals) of the pipe's MaximumPacketSize, and every
// packet received without error and with data is one data callback, in
// packet order; a packet that completed with an error is a loss report
// (stream_data_callback) in its place. A callback may keep the buffer for
// several packets of one request; the consumer then releases the request
// once for each, and it goes back into circulation with the last release.
// The request machinery (start, stop, release, recovery) is pipe_reader's.
#pragma once

#include "usb/stream_reader.h"

class iso_reader final : public pipe_reader {
 public:
  static constexpr ULONG packets_per_request = 40;

  // `target` is the USB device's physical device object and must outlive the
  // reader. Null when the pool is exhausted. PASSIVE_LEVEL.
  static iso_reader* create(PDEVICE_OBJECT target, stream_data_callback callback, PVOID context);

  // Bytes per packet of the started (or last started) pipe; 0 before start.
  ULONG packet_size() const { return packet_size_; }

  // Stops a reader its owner left running: here, while completions still
  // find the whole object (pipe_reader's destructor would be too late).
  ~iso_reader() override { stop(); }

 protected:
  NTSTATUS configure(const USBD_PIPE_INFORMATION* pipe) override;
  void build_urb(read_request* request) override;
  NTSTATUS deliver(read_request* request) override;

 private:
  iso_reader(PDEVICE_OBJECT target, stream_data_callback callback, PVOID context);

  ULONG packet_size_;     // the pipe's MaximumPacketSize (all transactions of a bus interval)
  ULONG transfer_flags_;  // of every URB, from the endpoint's direction
};
