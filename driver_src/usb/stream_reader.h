// stream_reader: the interface of the streaming read engine. A reader keeps a
// fixed number of read requests outstanding on one IN pipe and hands every
// piece of received data to the data callback given at its creation:
// bulk_reader once per completed transfer, iso_reader once per received
// packet. The consumer of the data (the camera's payload assembly) sees only
// this interface.
#pragma once

#include "kernel/kernel_api.h"
#include "kernel/kernel_new.h"
#include "kernel/async_work.h"

// Data callback, called at DISPATCH_LEVEL from the completion routine of a
// read request, concurrently for different requests. `request` identifies
// the request that owns `data`; the consumer passes it back to release.
// Return values:
//   STATUS_SUCCESS                   the data has been consumed; the request
//                                    is resubmitted at once.
//   STATUS_MORE_PROCESSING_REQUIRED  the consumer keeps `data` (and with it
//                                    the request) until it calls release.
//   any other failure (normally STATUS_CANCELLED)
//                                    the request is retired: it stays idle
//                                    until the reader is started again.
// A call with `data` null and `length` 0 reports data lost on the pipe, in
// its place among the data: an isochronous packet that completed with an
// error status, or a transfer that failed on the bus (any failure but a
// cancellation). The consumer cannot keep it, and its result is ignored:
// the request's fate is decided by its data alone.
using stream_data_callback = NTSTATUS (*)(PVOID request, PVOID context, PUCHAR data,
                                          ULONG length);

class stream_reader : public pool_object {
 public:
  // The owner calls stop before destroying a started reader.
  virtual ~stream_reader() {}

  // Allocates `request_count` requests and submits them all. PASSIVE_LEVEL.
  // Success at once when already running.
  virtual NTSTATUS start(USBD_PIPE_INFORMATION* pipe, ULONG request_count) = 0;

  // Aborts the pipe, cancels every request and waits until each has come
  // back, then frees them. PASSIVE_LEVEL. Requests held by the consumer come
  // back when it releases them, so stop waits for those releases as well.
  // Returns the status of the pipe abort; a second stop is harmless.
  virtual NTSTATUS stop() = 0;

  // Gives back a request whose data the callback kept: resubmits it, or
  // retires it (STATUS_CANCELLED) when it was cancelled meanwhile.
  // IRQL <= DISPATCH_LEVEL, any thread.
  virtual NTSTATUS release(PVOID request) = 0;

  // When set, every request buffer is zeroed before each submission.
  virtual void set_clear_buffers(bool clear) = 0;
};

// ---- machinery shared by bulk_reader and iso_reader --------------------------
//
// pipe_reader owns the requests and everything that does not depend on the
// kind of pipe: start and stop, submission from the completion routine,
// holding and release, retirement, cancel-and-wait, and pipe recovery after
// babble on the reader's async_work. The two readers add only how large a
// request's buffer and URB are, how the URB is built and how a completed
// request's data is handed to the callback.

class pipe_reader;

// One read request: allocated at start, reused until stop. Non-paged; the
// completion routine reads it at DISPATCH_LEVEL.
struct read_request {
  pipe_reader* reader;    // owner
  PIRP irp;               // reused with IoReuseIrp for every submission
  PURB urb;               // "Pcvu", the reader's urb_size_ bytes
  PUCHAR buffer;          // "Pcvu", non-paged, the reader's buffer_size_ bytes
  PMDL mdl;               // describes buffer; built once
  LONG volatile pending;  // 1 while the IRP is with the lower driver
  LONG volatile state;    // who has the IRP (stream_reader.cpp), changed only atomically
  LONG volatile holds;    // references keeping it out of circulation: the delivery in
                          // progress, and each callback that kept the buffer until release
  KEVENT idle_event;      // notification; signalled while the request is retired
};

class pipe_reader : public stream_reader {
 public:
  // Calls stop (harmless when the owner already has). A derived reader
  // stops in its own destructor as well, since completions call its
  // virtual operations until stop returns.
  ~pipe_reader() override;

  NTSTATUS start(USBD_PIPE_INFORMATION* pipe, ULONG request_count) override;
  NTSTATUS stop() override;
  // STATUS_SUCCESS: sent down again, or still kept for another packet of
  // the same request; STATUS_CANCELLED: retired because the reader is taking
  // its requests back (stop or recovery); STATUS_INVALID_DEVICE_STATE: the
  // request was not kept (released twice), nothing is done.
  NTSTATUS release(PVOID request) override;
  void set_clear_buffers(bool clear) override;

 protected:
  pipe_reader(PDEVICE_OBJECT target, stream_data_callback callback, PVOID context);

  // Under the mutex at start, before anything is allocated: derives
  // buffer_size_ and urb_size_ from the pipe. A failure ends the start.
  virtual NTSTATUS configure(const USBD_PIPE_INFORMATION* pipe) = 0;
  // Fills the request's URB for the next submission. Any IRQL <= DISPATCH_LEVEL.
  virtual void build_urb(read_request* request) = 0;
  // Hands the data of a request that completed successfully to the callback
  // (through call_back) and returns what decides the request's fate:
  // STATUS_MORE_PROCESSING_REQUIRED when any callback kept the buffer, else
  // as in stream_data_callback. DISPATCH_LEVEL, in the completion routine.
  virtual NTSTATUS deliver(read_request* request) = 0;

  // One data callback. A callback that keeps the buffer
  // (STATUS_MORE_PROCESSING_REQUIRED) owes one release; the request goes back
  // into circulation with the last release, and not before the delivery of
  // its data has ended.
  NTSTATUS call_back(read_request* request, PUCHAR data, ULONG length) {
    // Counted before the call: the consumer may release from another thread
    // before the callback has returned.
    InterlockedIncrement(&request->holds);
    const NTSTATUS result = callback_(request, context_, data, length);
    if (result != STATUS_MORE_PROCESSING_REQUIRED) {
      InterlockedDecrement(&request->holds);
    }
    return result;
  }
  // Reports data lost on the pipe (stream_data_callback): no hold, the
  // result is ignored.
  void report_loss(read_request* request) { callback_(request, context_, nullptr, 0); }

  PVOID pipe_handle_;  // of the started pipe, for build_urb
  ULONG buffer_size_;  // bytes of every request buffer, set by configure
  ULONG urb_size_;     // bytes of every request URB, set by configure

 private:
  static NTSTATUS completion_routine(PDEVICE_OBJECT device, PIRP irp, PVOID context);
  static void recovery_routine(PDEVICE_OBJECT device, PVOID context);

  NTSTATUS allocate_requests(ULONG count);
  void free_requests();
  void finish(read_request* request);
  NTSTATUS submit(read_request* request);
  NTSTATUS submit_all();
  void retire(read_request* request);
  void cancel(read_request* request);
  void cancel_all_and_wait();
  void queue_recovery();
  void recover();

  PDEVICE_OBJECT target_;          // the USB device's PDO; receives every URB
  stream_data_callback callback_;  // from construction
  PVOID context_;                  // first argument after the request handle
  USBD_PIPE_INFORMATION* pipe_;    // inside the usb_device interface copy; set by start
  read_request* requests_;         // "Pcvu" array of request_capacity_ entries, or null
  ULONG request_count_;            // entries whose resources are allocated
  ULONG request_capacity_;
  async_work recovery_work_;        // runs recover; open while started
  KMUTEX mutex_;                    // serialises start, stop and recover
  LONG volatile recovery_pending_;  // 1 from queuing a recovery until it has reset the pipe
  LONG volatile cancelling_;        // 1 while stop or recover takes the requests back
  LONG volatile clear_buffers_;     // 1: zero each buffer before submission
  BOOLEAN running_;                 // under mutex_
};
