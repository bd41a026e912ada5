// bulk_reader: the stream reader of a bulk or interrupt IN pipe. Each request
// is one transfer of transfer-size bytes, and each completed transfer is one
// data callback with the bytes received. The request machinery (start, stop,
// release, recovery) is pipe_reader's.
#pragma once

#include "usb/stream_reader.h"

class bulk_reader final : public pipe_reader {
 public:
  // `target` is the USB device's physical device object and must outlive the
  // reader. `transfer_size` is in bytes per request; 0 means 8 times the
  // pipe's MaximumPacketSize, taken at each start. Null when the pool is
  // exhausted. PASSIVE_LEVEL.
  static bulk_reader* create(PDEVICE_OBJECT target, ULONG transfer_size,
                             stream_data_callback callback, PVOID context);

  // Bytes per request of the started (or last started) pipe; 0 before start.
  ULONG transfer_size() const { return buffer_size_; }

  // Stops a reader its owner left running: here, while completions still
  // find the whole object (pipe_reader's destructor would be too late).
  ~bulk_reader() override { stop(); }

 protected:
  NTSTATUS configure(const USBD_PIPE_INFORMATION* pipe) override;
  void build_urb(read_request* request) override;
  NTSTATUS deliver(read_request* request) override;

 private:
  bulk_reader(PDEVICE_OBJECT target, ULONG transfer_size, stream_data_callback callback,
              PVOID context);

  ULONG requested_transfer_size_;  // as created; 0 = 8 x MaximumPacketSize
};
