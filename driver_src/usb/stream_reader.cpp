// pipe_reader: the read engine shared by bulk_reader and iso_reader. Owns the
// requests (IRP, URB, data buffer and MDL of each, all "Pcvu") from start to
// stop, the recovery work item and the mutex that serialises start, stop and
// recovery. How a request's URB is built and how its data reaches the
// callback belong to the two readers.
//
// Status codes of this file:
//   STATUS_MORE_PROCESSING_REQUIRED  returned by the completion routine for
//       every request, so that the I/O manager leaves the IRP with the
//       reader; from the data callback: the consumer holds the buffer.
//   STATUS_CANCELLED  the result of a request that is retired instead of
//       resubmitted (transfer error, cancellation, or the reader taking its
//       requests back); release reports it when it retires the request.
#include "usb/stream_reader.h"

#include "kernel/pool_tags.h"
#include "usb/usb_utils.h"

namespace {

// Who has a request's IRP. Changed only with interlocked operations: a
// cancelling thread may call IoCancelIrp only while the IRP is with the lower
// driver, never while the completion routine or release reuses it
// (IoReuseIrp rewrites the whole IRP, its Cancel flag included), and the
// completion routine leaves an IRP alone while it is inside IoCancelIrp.
enum read_request_state : LONG {
  rq_reader = 0,      // with the reader: idle, retired, held, or being completed or submitted
  rq_lower = 1,       // handed to the lower driver (or about to be)
  rq_cancelling = 2,  // a canceller is inside IoCancelIrp with it
  rq_completed_while_cancelling = 3,  // completed meanwhile; the canceller finishes it
};

// Requests being taken back are waited for in slices; after each slice the
// cancel is sent again, in case the first reached a driver that had not
// queued the IRP yet.
constexpr LONG cancel_wait_slice_ms = 1000;
// A pipe reset answered with USBD_STATUS_ERROR_BUSY is retried this much later.
constexpr LONG busy_pipe_retry_ms = 50;
constexpr ULONG port_reset_timeout_ms = 1000;

LARGE_INTEGER relative_timeout_ms(LONG ms) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10000LL * ms;  // relative, 100 ns units
  return timeout;
}

void free_request_resources(read_request* request) {
  if (request->irp != nullptr) {
    IoFreeIrp(request->irp);
  }
  if (request->mdl != nullptr) {
    IoFreeMdl(request->mdl);
  }
  if (request->buffer != nullptr) {
    ExFreePoolWithTag(request->buffer, pool_tag::usb_configuration);
  }
  if (request->urb != nullptr) {
    ExFreePoolWithTag(request->urb, pool_tag::usb_configuration);
  }
  RtlZeroMemory(request, sizeof(*request));
}

}  // namespace

pipe_reader::pipe_reader(PDEVICE_OBJECT target, stream_data_callback callback, PVOID context)
    : pipe_handle_(nullptr),
      buffer_size_(0),
      urb_size_(0),
      target_(target),
      callback_(callback),
      context_(context),
      pipe_(nullptr),
      requests_(nullptr),
      request_count_(0),
      request_capacity_(0),
      recovery_pending_(0),
      cancelling_(0),
      clear_buffers_(0),
      running_(FALSE) {
  recovery_work_.init(target);
  KeInitializeMutex(&mutex_, 0);
}

pipe_reader::~pipe_reader() { pipe_reader::stop(); }

// ---- start and stop: PASSIVE_LEVEL ----------------------------------------------

NTSTATUS pipe_reader::start(USBD_PIPE_INFORMATION* pipe, ULONG request_count) {
  if (pipe == nullptr || request_count == 0 || target_ == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  KeWaitForSingleObject(&mutex_, Executive, KernelMode, FALSE, nullptr);
  if (running_) {
    KeReleaseMutex(&mutex_, FALSE);
    return STATUS_SUCCESS;
  }
  pipe_ = pipe;
  pipe_handle_ = pipe->PipeHandle;
  InterlockedExchange(&recovery_pending_, 0);
  free_requests();

  NTSTATUS status = configure(pipe);
  if (NT_SUCCESS(status)) {
    status = reset_pipe(target_, pipe);
  }
  if (NT_SUCCESS(status)) {
    status = recovery_work_.open();
  }
  if (NT_SUCCESS(status)) {
    status = allocate_requests(request_count);
  }
  if (NT_SUCCESS(status)) {
    InterlockedExchange(&cancelling_, 0);
    status = submit_all();
  }
  if (NT_SUCCESS(status)) {
    running_ = TRUE;
  }
  KeReleaseMutex(&mutex_, FALSE);

  if (!NT_SUCCESS(status)) {
    // Takes back what was submitted, frees what was allocated and closes the
    // recovery work item again.
    pipe_reader::stop();
  }
  return status;
}

NTSTATUS pipe_reader::stop() {
  // Before the mutex: a queued or running recovery needs the mutex to finish,
  // and close waits for it. Babble seen from here on queues nothing.
  recovery_work_.close();

  KeWaitForSingleObject(&mutex_, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = STATUS_SUCCESS;
  if (requests_ != nullptr) {
    // Set before the abort, so that nothing completed by the abort is sent
    // down again.
    InterlockedExchange(&cancelling_, 1);
    if (running_) {
      status = abort_pipe(target_, pipe_);
    }
    cancel_all_and_wait();
    free_requests();
  }
  running_ = FALSE;
  KeReleaseMutex(&mutex_, FALSE);
  return status;
}

void pipe_reader::set_clear_buffers(bool clear) {
  InterlockedExchange(&clear_buffers_, clear ? 1 : 0);
}

// ---- requests: allocated under the mutex at PASSIVE_LEVEL -------------------------

NTSTATUS pipe_reader::allocate_requests(ULONG count) {
  if (count > MAXULONG / sizeof(read_request) || buffer_size_ == 0 ||
      urb_size_ < sizeof(struct _URB_HEADER)) {
    return STATUS_INVALID_PARAMETER;
  }
  requests_ = static_cast<read_request*>(ExAllocatePoolWithTag(
      NonPagedPoolNx, count * sizeof(read_request), pool_tag::usb_configuration));
  if (requests_ == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(requests_, count * sizeof(read_request));
  request_capacity_ = count;
  request_count_ = 0;

  // One location more than the target needs, as for any IRP a driver
  // allocates for the device below it.
  const CCHAR stack_size = static_cast<CCHAR>(target_->StackSize + 1);
  for (ULONG i = 0; i < count; ++i) {
    read_request* request = &requests_[i];
    request->reader = this;
    request->irp = IoAllocateIrp(stack_size, FALSE);
    request->urb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPoolNx, urb_size_, pool_tag::usb_configuration));
    request->buffer = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPoolNx, buffer_size_, pool_tag::usb_configuration));
    if (request->buffer != nullptr) {
      request->mdl = IoAllocateMdl(request->buffer, buffer_size_, FALSE, FALSE, nullptr);
      if (request->mdl != nullptr) {
        MmBuildMdlForNonPagedPool(request->mdl);
      }
    }
    if (request->irp == nullptr || request->urb == nullptr || request->buffer == nullptr ||
        request->mdl == nullptr) {
      free_request_resources(request);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(request->urb, urb_size_);
    RtlZeroMemory(request->buffer, buffer_size_);
    KeInitializeEvent(&request->idle_event, NotificationEvent, TRUE);
    ++request_count_;
  }
  return STATUS_SUCCESS;
}

// Only once every request is retired (or was never submitted).
void pipe_reader::free_requests() {
  if (requests_ == nullptr) {
    return;
  }
  for (ULONG i = 0; i < request_count_; ++i) {
    free_request_resources(&requests_[i]);
  }
  ExFreePoolWithTag(requests_, pool_tag::usb_configuration);
  requests_ = nullptr;
  request_count_ = 0;
  request_capacity_ = 0;
}

// ---- submission and completion: IRQL <= DISPATCH_LEVEL ------------------------------

// Sends the request down once more. The IRP is the caller's (state
// rq_reader). Returns the lower driver's answer (STATUS_PENDING normally),
// or STATUS_CANCELLED when the reader is taking its requests back and the
// request was retired instead. Whatever the answer, the completion routine
// decides what happens next; the request is not touched here after the call.
NTSTATUS pipe_reader::submit(read_request* request) {
  PIRP irp = request->irp;
  IoReuseIrp(irp, STATUS_SUCCESS);
  build_urb(request);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = request->urb;
  IoSetCompletionRoutine(irp, completion_routine, request, TRUE, TRUE, TRUE);

  KeClearEvent(&request->idle_event);
  if (InterlockedCompareExchange(&clear_buffers_, 0, 0) != 0) {
    RtlZeroMemory(request->buffer, buffer_size_);
  }
  InterlockedIncrement(&request->pending);
  InterlockedExchange(&request->state, rq_lower);

  // A canceller sets cancelling_ before it looks at the requests. If it
  // looked at this one after the exchange above, it cancels the IRP, and the
  // Cancel flag set now survives into the lower driver, which completes the
  // IRP at once. If it looked before, nobody will cancel this IRP, so it is
  // not sent.
  if (InterlockedCompareExchange(&cancelling_, 0, 0) != 0 &&
      InterlockedCompareExchange(&request->state, rq_reader, rq_lower) == rq_lower) {
    InterlockedDecrement(&request->pending);
    retire(request);
    return STATUS_CANCELLED;
  }
  return IoCallDriver(target_, irp);
}

// Under the mutex. Every request is tried; the first failure is returned.
NTSTATUS pipe_reader::submit_all() {
  NTSTATUS result = STATUS_SUCCESS;
  for (ULONG i = 0; i < request_count_; ++i) {
    const NTSTATUS status = submit(&requests_[i]);
    if (!NT_SUCCESS(status) && NT_SUCCESS(result)) {
      result = status;
    }
  }
  return result;
}

// The request stays idle until the next start or recovery. Signalling the
// event hands it to a waiting stop, which may free it at once: nothing of
// the request or the reader is touched afterwards.
void pipe_reader::retire(read_request* request) {
  KeSetEvent(&request->idle_event, IO_NO_INCREMENT, FALSE);
}

// DISPATCH_LEVEL, any processor, concurrently for different requests.
NTSTATUS pipe_reader::completion_routine(PDEVICE_OBJECT, PIRP, PVOID context) {
  read_request* request = static_cast<read_request*>(context);
  InterlockedDecrement(&request->pending);
  for (;;) {
    if (InterlockedCompareExchange(&request->state, rq_reader, rq_lower) == rq_lower) {
      break;
    }
    if (InterlockedCompareExchange(&request->state, rq_completed_while_cancelling, rq_cancelling) ==
        rq_cancelling) {
      // The canceller is inside IoCancelIrp with this IRP and finishes the
      // request when it comes out.
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
    // The canceller came out between the two exchanges: the IRP is ours now.
  }
  request->reader->finish(request);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// DISPATCH_LEVEL; the request's IRP has come back and is the caller's.
// Data that arrived is delivered even while the reader takes its requests
// back (a recovery must not lose payloads the device did send); the request
// then goes down again, is kept by the consumer, or is retired, and submit
// retires it anyway while cancelling_ is set. A transfer that failed on the
// bus lost whatever the device sent in it: the consumer hears of the loss
// before the request is retired, so that the frame it was assembling is not
// taken for whole. A cancelled request (stop, recovery) lost nothing.
void pipe_reader::finish(read_request* request) {
  const NTSTATUS irp_status = request->irp->IoStatus.Status;
  const USBD_STATUS urb_status = request->urb->UrbHeader.Status;
  NTSTATUS result = STATUS_CANCELLED;
  if (irp_status != STATUS_CANCELLED && NT_SUCCESS(irp_status) && USBD_SUCCESS(urb_status)) {
    // The delivery's own reference: releases that come while later packets
    // are still being delivered cannot send the request down yet.
    InterlockedExchange(&request->holds, 1);
    result = deliver(request);
    if (InterlockedDecrement(&request->holds) != 0) {
      return;  // the consumer's until the last release
    }
    if (result == STATUS_MORE_PROCESSING_REQUIRED) {
      result = STATUS_SUCCESS;  // kept and already released: back into circulation
    }
  } else {
    if (irp_status != STATUS_CANCELLED && urb_status != USBD_STATUS_CANCELED) {
      report_loss(request);
    }
    if (urb_status == USBD_STATUS_BABBLE_DETECTED) {
      queue_recovery();
    }
  }
  if (NT_SUCCESS(result)) {
    submit(request);
  } else {
    retire(request);
  }
}

NTSTATUS pipe_reader::release(PVOID handle) {
  read_request* request = static_cast<read_request*>(handle);
  if (request == nullptr || request->reader != this) {
    return STATUS_INVALID_PARAMETER;
  }
  // One release per kept buffer; a request given back more often than it
  // was kept would be submitted twice.
  for (;;) {
    const LONG holds = InterlockedCompareExchange(&request->holds, 0, 0);
    if (holds <= 0) {
      return STATUS_INVALID_DEVICE_STATE;
    }
    if (InterlockedCompareExchange(&request->holds, holds - 1, holds) == holds) {
      if (holds > 1) {
        return STATUS_SUCCESS;  // still kept, or still being delivered
      }
      break;
    }
  }
  const NTSTATUS status = submit(request);
  return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

// ---- cancellation: under the mutex at PASSIVE_LEVEL ---------------------------------

// Cancels the request's IRP if a lower driver has it. A request with the
// reader needs nothing: submit sees cancelling_ and retires it.
void pipe_reader::cancel(read_request* request) {
  if (InterlockedCompareExchange(&request->state, rq_cancelling, rq_lower) != rq_lower) {
    return;
  }
  IoCancelIrp(request->irp);
  if (InterlockedCompareExchange(&request->state, rq_lower, rq_cancelling) ==
      rq_completed_while_cancelling) {
    // The completion routine left the request to this thread; it is
    // finished here as it would have been there, at DISPATCH_LEVEL.
    InterlockedExchange(&request->state, rq_reader);
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    finish(request);
    KeLowerIrql(irql);
  }
}

// Returns once every request is retired: those with the lower driver when
// their cancelled IRPs have come back, those the consumer holds when it has
// released them. Leaves cancelling_ set; the caller clears it before
// submitting again.
void pipe_reader::cancel_all_and_wait() {
  InterlockedExchange(&cancelling_, 1);
  for (ULONG i = 0; i < request_count_; ++i) {
    cancel(&requests_[i]);
  }
  for (ULONG i = 0; i < request_count_; ++i) {
    read_request* request = &requests_[i];
    LARGE_INTEGER slice = relative_timeout_ms(cancel_wait_slice_ms);
    while (KeWaitForSingleObject(&request->idle_event, Executive, KernelMode, FALSE, &slice) ==
           STATUS_TIMEOUT) {
      cancel(request);
    }
  }
}

// ---- pipe recovery ---------------------------------------------------------------

// DISPATCH_LEVEL, from the completion routine of a request that saw babble.
// At most one recovery is queued or running at a time.
void pipe_reader::queue_recovery() {
  if (InterlockedExchange(&recovery_pending_, 1) != 0) {
    return;
  }
  if (!NT_SUCCESS(recovery_work_.queue(recovery_routine, this, 0))) {
    InterlockedExchange(&recovery_pending_, 0);  // closed (stopping) or out of pool
  }
}

// System worker thread, PASSIVE_LEVEL. stop closes the work item before it
// frees anything, so the reader outlives this call.
void pipe_reader::recovery_routine(PDEVICE_OBJECT, PVOID context) {
  static_cast<pipe_reader*>(context)->recover();
}

void pipe_reader::recover() {
  KeWaitForSingleObject(&mutex_, Executive, KernelMode, FALSE, nullptr);
  if (!running_) {
    // A start that failed after queuing this: its stop frees the requests.
    InterlockedExchange(&recovery_pending_, 0);
    KeReleaseMutex(&mutex_, FALSE);
    return;
  }
  InterlockedExchange(&cancelling_, 1);
  abort_pipe(target_, pipe_);
  cancel_all_and_wait();

  NTSTATUS status = reset_pipe(target_, pipe_);
  if (!NT_SUCCESS(status)) {
    status =
        send_ioctl_timed(target_, IOCTL_INTERNAL_USB_RESET_PORT, nullptr, port_reset_timeout_ms);
  }
  if (status == static_cast<NTSTATUS>(USBD_STATUS_ERROR_BUSY)) {
    // The pipe is still finishing the aborted transfers.
    LARGE_INTEGER delay = relative_timeout_ms(busy_pipe_retry_ms);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    status = reset_pipe(target_, pipe_);
  }

  // Cleared before the requests go out again, so that babble on one of them
  // queues the next recovery instead of only retiring the request.
  InterlockedExchange(&recovery_pending_, 0);
  if (NT_SUCCESS(status)) {
    InterlockedExchange(&cancelling_, 0);
    submit_all();
  } else {
    // The requests stay retired; the next start tries again.
    DbgPrint("pipe recovery failed: 0x%08X\n", static_cast<unsigned>(status));
  }
  KeReleaseMutex(&mutex_, FALSE);
}
