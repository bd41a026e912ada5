// ks.sys stand-in: a pin's stream queue. Client reads arrive as
// IOCTL_KS_READ_STREAM IRPs and queue as frames; the driver walks them with
// the leading edge stream pointer and holds them with clones; a frame's IRP
// completes, with its stream header as the driver left it and the status it
// set, once the leading edge has passed it and no clone holds it.
//
// The stream pointer routines may be called at up to DISPATCH_LEVEL from any
// thread (USB completion routines, worker threads) concurrently with the
// client queueing and with state changes: all queue state is guarded by the
// pin's queue lock, which is never held while driver code runs or an IRP
// completes. Misuse is reported to the verifier: deleting a clone twice or
// using it after its delete (deleted clones stay parked, a bounded number
// per pin, before their memory is reused), advancing or cloning an unlocked
// pointer, deleting the leading edge, calls above DISPATCH_LEVEL, and clones
// still held when the pin closes.
#include <algorithm>

#include "ks_internal.h"

namespace kstandin {
namespace {

constexpr size_t kParkedClones = 64;

using done_list = std::vector<ks_frame*>;

ks_pin* pin_from_public(PKSPIN pin, const char* routine) {
  ks_object_header* header = header_of(pin, routine);
  if (header == nullptr || header->kind != ks_kind::pin) return nullptr;
  return static_cast<ks_pin*>(header->object);
}

KSSTATE device_state(ks_pin* pin) {
  return (KSSTATE)__atomic_load_n((int*)&pin->shell.pub.DeviceState, __ATOMIC_ACQUIRE);
}

// Sets the public fields of `sp` for `frame` (null: no frame).
void point_at(ks_stream_pointer* sp, ks_frame* frame) {
  sp->frame = frame;
  KSSTREAM_POINTER& pub = sp->pub;
  pub.OffsetIn = {};
  pub.OffsetOut = {};
  pub.StreamHeader = nullptr;
  if (frame != nullptr) {
    PKSSTREAM_HEADER header = frame->header;
    pub.StreamHeader = header;
    pub.OffsetOut.Data = static_cast<PUCHAR>(header->Data);
    pub.OffsetOut.Count = header->FrameExtent;
    pub.OffsetOut.Remaining = header->FrameExtent;
    pub.OffsetIn.Data = static_cast<PUCHAR>(header->Data);
    pub.OffsetIn.Count = header->DataUsed;
    pub.OffsetIn.Remaining = header->DataUsed;
  }
  pub.Offset = sp->pin->shell.pub.DataFlow == KSPIN_DATAFLOW_IN ? &pub.OffsetIn : &pub.OffsetOut;
}

// Caller holds the queue lock.
void release_frame(ks_pin* pin, ks_frame* frame, done_list& done) {
  if (--frame->refs != 0 || !frame->passed) return;
  auto it = std::find(pin->frames.begin(), pin->frames.end(), frame);
  if (it != pin->frames.end()) pin->frames.erase(it);
  done.push_back(frame);
}

// Completes the IRPs of finished frames; the queue lock is not held.
void complete_frames(const done_list& done) {
  for (ks_frame* frame : done) {
    PIRP irp = frame->irp;
    irp->IoStatus.Status = frame->status;
    irp->IoStatus.Information = frame->header->Size;
    delete frame;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

// Moves `sp` to the frame after its own, keeping its lock state; the leading
// edge passes its frame. No next frame: the pointer is left without one,
// unlocked, and STATUS_DEVICE_NOT_READY is returned. Queue lock held.
NTSTATUS advance(ks_pin* pin, ks_stream_pointer* sp, done_list& done) {
  ks_frame* current = sp->frame;
  ks_frame* next = nullptr;
  if (current != nullptr) {
    auto it = std::find(pin->frames.begin(), pin->frames.end(), current);
    if (it != pin->frames.end() && ++it != pin->frames.end()) next = *it;
    if (sp->leading_edge) current->passed = true;
  }
  if (next != nullptr) ++next->refs;
  point_at(sp, next);
  if (current != nullptr) release_frame(pin, current, done);
  if (next == nullptr) {
    sp->locked = false;
    return STATUS_DEVICE_NOT_READY;
  }
  return STATUS_SUCCESS;
}

// The record behind a public stream pointer, or null (reported).
ks_stream_pointer* record_of(PKSSTREAM_POINTER pointer, const char* routine) {
  if (current_irql() > DISPATCH_LEVEL) {
    report_violation("stream_pointer_at_wrong_irql",
                     std::string(routine) + " at IRQL " + std::to_string(current_irql()));
  }
  if (pointer == nullptr) {
    report_violation("stream_pointer_invalid", std::string(routine) + " with a null stream pointer");
    return nullptr;
  }
  auto* sp = reinterpret_cast<ks_stream_pointer*>(pointer);
  if (sp->magic != kStreamPointerMagic) {
    report_violation("stream_pointer_invalid",
                     std::string(routine) + " with something that is not a stream pointer");
    return nullptr;
  }
  return sp;
}

// With the queue lock held: false (reported) when `sp` was deleted.
bool alive(ks_stream_pointer* sp, const char* routine) {
  if (!sp->deleted) return true;
  report_violation("stream_pointer_use_after_delete",
                   std::string(routine) + " on a clone that was already deleted");
  return false;
}

bool locked_for(ks_stream_pointer* sp, const char* routine) {
  if (sp->locked) return true;
  report_violation("stream_pointer_not_locked",
                   std::string(routine) + " on a stream pointer that is not locked");
  return false;
}

struct async_processing_work {
  ks_pin* pin;
  PIO_WORKITEM item;
};

VOID process_work_routine(PDEVICE_OBJECT, PVOID context) {
  auto* work = static_cast<async_processing_work*>(context);
  ks_pin* pin = work->pin;
  attempt_processing(pin);
  IoFreeWorkItem(work->item);
  delete work;
  std::lock_guard<std::mutex> guard(pin->reads_lock);
  pin->async_processing.fetch_sub(1);
  pin->reads_changed.notify_all();
}

}  // namespace

void queue_frame(ks_pin* pin, ks_frame* frame) {
  std::lock_guard<std::mutex> guard(pin->queue_lock);
  pin->frames.push_back(frame);
  ks_stream_pointer* edge = &pin->leading_edge;
  if (edge->frame == nullptr) {
    // Every earlier frame has been passed: the new one is the leading frame.
    ++frame->refs;
    point_at(edge, frame);
    edge->locked = false;
  }
}

bool pin_has_frame(ks_pin* pin) {
  std::lock_guard<std::mutex> guard(pin->queue_lock);
  return pin->leading_edge.frame != nullptr;
}

size_t flush_queue(ks_pin* pin) {
  done_list done;
  std::vector<ks_stream_pointer*> to_cancel;
  {
    std::lock_guard<std::mutex> guard(pin->queue_lock);
    // A leading edge the driver holds locked keeps its frame; otherwise it
    // lets go of it.
    ks_stream_pointer* edge = &pin->leading_edge;
    ks_frame* kept = edge->locked ? edge->frame : nullptr;
    if (edge->frame != nullptr && kept == nullptr) {
      --edge->frame->refs;
      point_at(edge, nullptr);
    }
    for (ks_frame* frame : std::vector<ks_frame*>(pin->frames.begin(), pin->frames.end())) {
      if (frame == kept) continue;
      frame->passed = true;
      if (frame->refs == 0) {
        frame->status = STATUS_CANCELLED;
        pin->frames.erase(std::find(pin->frames.begin(), pin->frames.end(), frame));
        done.push_back(frame);
        continue;
      }
      for (ks_stream_pointer* clone : pin->clones) {
        if (!clone->deleted && clone->frame == frame && clone->cancel_callback != nullptr) {
          to_cancel.push_back(clone);
        }
      }
    }
  }
  complete_frames(done);
  for (ks_stream_pointer* clone : to_cancel) {
    irql_guard guard("stream pointer cancel callback");
    clone->cancel_callback(&clone->pub);
  }
  return done.size();
}

void release_stream_pointers(ks_pin* pin) {
  done_list done;
  size_t leaked = 0;
  {
    std::lock_guard<std::mutex> guard(pin->queue_lock);
    for (ks_stream_pointer* clone : pin->clones) {
      if (clone->deleted) continue;
      ++leaked;
      clone->deleted = true;
      if (clone->frame != nullptr) {
        ks_frame* frame = clone->frame;
        if (NT_SUCCESS(frame->status)) frame->status = STATUS_CANCELLED;
        frame->passed = true;
        point_at(clone, nullptr);
        release_frame(pin, frame, done);
      }
    }
    // Anything still queued (nothing should be, after the flush at STOP).
    for (ks_frame* frame : pin->frames) {
      frame->status = STATUS_CANCELLED;
      done.push_back(frame);
    }
    pin->frames.clear();
    point_at(&pin->leading_edge, nullptr);
  }
  if (leaked != 0) {
    report_violation("stream_pointer_leaked",
                     "pin closed with " + std::to_string(leaked) +
                         " stream pointer clone(s) the driver did not delete");
  }
  complete_frames(done);
  for (ks_stream_pointer* clone : pin->clones) {
    delete[] clone->context_storage;
    delete clone;
  }
  pin->clones.clear();
  pin->parked.clear();
}

void attempt_processing(ks_pin* pin) {
  const KSPIN_DESCRIPTOR_EX* descriptor = pin->shell.pub.Descriptor;
  const KSPIN_DISPATCH* dispatch = descriptor->Dispatch;
  if (dispatch == nullptr || dispatch->Process == nullptr) return;
  // One thread runs Process; requests arriving meanwhile make it run again.
  if (pin->process_requests.fetch_add(1) != 0) return;
  for (;;) {
    const int seen = pin->process_requests.load();
    const KSSTATE state = device_state(pin);
    const bool state_ok =
        state == KSSTATE_RUN ||
        (state == KSSTATE_PAUSE && !(descriptor->Flags & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY));
    const bool data_ok =
        (descriptor->Flags & KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING) || pin_has_frame(pin);
    if (state_ok && data_ok) {
      irql_guard guard("pin Process");
      dispatch->Process(&pin->shell.pub);
    }
    if (pin->process_requests.fetch_sub(seen) == seen) break;
  }
}

NTSTATUS ks_queue_stream_read(ks_pin* pin, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG length = stack->Parameters.DeviceIoControl.OutputBufferLength;
  auto* header = static_cast<PKSSTREAM_HEADER>(irp->UserBuffer);
  if (header == nullptr || length < sizeof(KSSTREAM_HEADER) || header->Size != length ||
      (header->Size & 7) != 0) {
    return STATUS_INVALID_PARAMETER;
  }
  if (header->FrameExtent != 0 && header->Data == nullptr) return STATUS_INVALID_PARAMETER;
  if (device_state(pin) == KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
  IoMarkIrpPending(irp);
  auto* frame = new ks_frame;
  frame->irp = irp;
  frame->header = header;
  queue_frame(pin, frame);
  attempt_processing(pin);
  return STATUS_PENDING;
}

}  // namespace kstandin

using namespace kstandin;

PKSSTREAM_POINTER NTAPI KsPinGetLeadingEdgeStreamPointer(PKSPIN Pin, KSSTREAM_POINTER_STATE State) {
  ks_pin* pin = pin_from_public(Pin, "KsPinGetLeadingEdgeStreamPointer");
  if (pin == nullptr) return NULL;
  std::lock_guard<std::mutex> guard(pin->queue_lock);
  ks_stream_pointer* edge = &pin->leading_edge;
  if (edge->frame == nullptr) return NULL;
  edge->locked = State == KSSTREAM_POINTER_STATE_LOCKED;
  return &edge->pub;
}

NTSTATUS NTAPI KsStreamPointerAdvance(PKSSTREAM_POINTER StreamPointer) {
  ks_stream_pointer* sp = record_of(StreamPointer, "KsStreamPointerAdvance");
  if (sp == nullptr) return STATUS_INVALID_PARAMETER;
  ks_pin* pin = sp->pin;
  done_list done;
  NTSTATUS status;
  {
    std::lock_guard<std::mutex> guard(pin->queue_lock);
    if (!alive(sp, "KsStreamPointerAdvance")) return STATUS_INVALID_PARAMETER;
    if (!locked_for(sp, "KsStreamPointerAdvance")) return STATUS_INVALID_PARAMETER;
    status = advance(pin, sp, done);
  }
  complete_frames(done);
  return status;
}

NTSTATUS NTAPI KsStreamPointerClone(PKSSTREAM_POINTER StreamPointer,
                                    PFNKSSTREAMPOINTER CancelCallback, ULONG ContextSize,
                                    PKSSTREAM_POINTER* CloneStreamPointer) {
  if (CloneStreamPointer != NULL) *CloneStreamPointer = NULL;
  ks_stream_pointer* sp = record_of(StreamPointer, "KsStreamPointerClone");
  if (sp == nullptr || CloneStreamPointer == NULL) return STATUS_INVALID_PARAMETER;
  ks_pin* pin = sp->pin;
  std::lock_guard<std::mutex> guard(pin->queue_lock);
  if (!alive(sp, "KsStreamPointerClone")) return STATUS_INVALID_PARAMETER;
  if (!locked_for(sp, "KsStreamPointerClone")) return STATUS_INVALID_PARAMETER;
  if (sp->frame == nullptr) return STATUS_DEVICE_NOT_READY;
  ks_stream_pointer* clone;
  if (pin->parked.size() > kParkedClones) {
    clone = pin->parked.front();
    pin->parked.pop_front();
  } else {
    clone = new ks_stream_pointer{};
    pin->clones.push_back(clone);
  }
  clone->magic = kStreamPointerMagic;
  clone->leading_edge = false;
  clone->locked = sp->locked;
  clone->deleted = false;
  clone->pin = pin;
  clone->frame = sp->frame;
  clone->cancel_callback = CancelCallback;
  clone->context_storage = ContextSize != 0 ? new uint64_t[(ContextSize + 7) / 8]() : nullptr;
  ++sp->frame->refs;
  clone->pub = sp->pub;  // same frame and offsets
  clone->pub.Context = clone->context_storage;
  clone->pub.Offset = sp->pub.Offset == &sp->pub.OffsetIn ? &clone->pub.OffsetIn : &clone->pub.OffsetOut;
  *CloneStreamPointer = &clone->pub;
  return STATUS_SUCCESS;
}

VOID NTAPI KsStreamPointerUnlock(PKSSTREAM_POINTER StreamPointer, BOOLEAN Eject) {
  ks_stream_pointer* sp = record_of(StreamPointer, "KsStreamPointerUnlock");
  if (sp == nullptr) return;
  ks_pin* pin = sp->pin;
  done_list done;
  {
    std::lock_guard<std::mutex> guard(pin->queue_lock);
    if (!alive(sp, "KsStreamPointerUnlock")) return;
    if (Eject && sp->frame != nullptr) advance(pin, sp, done);
    sp->locked = false;
  }
  complete_frames(done);
}

NTSTATUS NTAPI KsStreamPointerLock(PKSSTREAM_POINTER StreamPointer) {
  ks_stream_pointer* sp = record_of(StreamPointer, "KsStreamPointerLock");
  if (sp == nullptr) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(sp->pin->queue_lock);
  if (!alive(sp, "KsStreamPointerLock")) return STATUS_INVALID_PARAMETER;
  if (sp->frame == nullptr) return STATUS_DEVICE_NOT_READY;
  sp->locked = true;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI KsStreamPointerSetStatusCode(PKSSTREAM_POINTER StreamPointer, NTSTATUS Status) {
  ks_stream_pointer* sp = record_of(StreamPointer, "KsStreamPointerSetStatusCode");
  if (sp == nullptr) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(sp->pin->queue_lock);
  if (!alive(sp, "KsStreamPointerSetStatusCode")) return STATUS_INVALID_PARAMETER;
  if (sp->frame != nullptr) sp->frame->status = Status;
  return STATUS_SUCCESS;
}

VOID NTAPI KsStreamPointerDelete(PKSSTREAM_POINTER StreamPointer) {
  ks_stream_pointer* sp = record_of(StreamPointer, "KsStreamPointerDelete");
  if (sp == nullptr) return;
  ks_pin* pin = sp->pin;
  done_list done;
  {
    std::lock_guard<std::mutex> guard(pin->queue_lock);
    if (sp->leading_edge) {
      report_violation("stream_pointer_invalid", "KsStreamPointerDelete of the leading edge");
      return;
    }
    if (sp->deleted) {
      report_violation("stream_pointer_double_delete",
                       "KsStreamPointerDelete of a clone that was already deleted");
      return;
    }
    sp->deleted = true;
    sp->locked = false;
    ks_frame* frame = sp->frame;
    point_at(sp, nullptr);
    if (frame != nullptr) release_frame(pin, frame, done);
    delete[] sp->context_storage;
    sp->context_storage = nullptr;
    sp->pub.Context = nullptr;
    pin->parked.push_back(sp);
  }
  complete_frames(done);
}

VOID NTAPI KsPinAttemptProcessing(PKSPIN Pin, BOOLEAN Asynchronous) {
  ks_pin* pin = pin_from_public(Pin, "KsPinAttemptProcessing");
  if (pin == nullptr) return;
  if (!Asynchronous && current_irql() == PASSIVE_LEVEL) {
    attempt_processing(pin);
    return;
  }
  // Later, at PASSIVE_LEVEL, from a system work item; the pin's close waits
  // for it.
  PIO_WORKITEM item = IoAllocateWorkItem(pin->device->shell.pub.FunctionalDeviceObject);
  if (item == NULL) return;
  auto* work = new async_processing_work{pin, item};
  pin->async_processing.fetch_add(1);
  IoQueueWorkItem(item, process_work_routine, DelayedWorkQueue, work);
}
