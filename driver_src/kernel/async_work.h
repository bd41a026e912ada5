// async_work: short callbacks deferred to the system's delayed work queue,
// with a close that waits until every queued callback has finished. The
// owner embeds the object and decides when it accepts work (open) and when
// it stops accepting and drains (close); the callbacks and their data belong
// to the owner too.
#pragma once

#include "kernel/kernel_api.h"

// Runs at PASSIVE_LEVEL in a system worker thread. `context` is the pointer
// given to queue, or the record's private copy of the data when a size was
// given (valid only until the callback returns).
using async_work_callback = void (*)(PDEVICE_OBJECT device_object, PVOID context);

class async_work {
 public:
  // Leaves the object closed: nothing is accepted until open.
  void init(PDEVICE_OBJECT device_object);

  // Accepts callbacks from now on. PASSIVE_LEVEL or DISPATCH_LEVEL.
  NTSTATUS open();

  // Refuses new callbacks and waits, without a time-out, until the queued
  // ones have all returned. PASSIVE_LEVEL, never from one of this object's
  // callbacks (it would wait for itself).
  void close();

  // Queues `callback`. With size 0 the callback receives `data` itself; with
  // size > 0 a private copy of the `size` bytes at `data` made here, so the
  // caller's buffer may go away at once. IRQL <= DISPATCH_LEVEL.
  // STATUS_CANCELLED: the object is closed and the callback will never run.
  // STATUS_INSUFFICIENT_RESOURCES: no memory for the record or work item.
  NTSTATUS queue(async_work_callback callback, PVOID data, ULONG size);

 private:
  static void work_routine(PDEVICE_OBJECT device_object, PVOID context);

  KEVENT idle_event_;              // notification; signalled while outstanding_ is 0
  KSPIN_LOCK lock_;                // guards outstanding_ and idle_event_ transitions
  LONG outstanding_;               // callbacks queued and not yet returned
  LONG volatile closed_;           // 1: queue refuses with STATUS_CANCELLED
  PDEVICE_OBJECT device_object_;   // work items are allocated for it
};
