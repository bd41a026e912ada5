// worker_thread: one dedicated system thread with a queue of caller-owned
// entries and a single callback (the camera's frame worker). The entries are
// LIST_ENTRYs at the start of records that always belong to the caller: an
// entry is either run by the callback exactly once or handed back (post
// returns false, or the owner reclaims it with take).
#pragma once

#include "kernel/kernel_api.h"

// Called at PASSIVE_LEVEL, on the worker thread or on the thread that calls
// stop, once for every entry that post accepted.
using worker_callback = void (*)(PVOID context, PLIST_ENTRY entry);

class worker_thread {
 public:
  // Empty queue, no thread, not stopped.
  void init();

  NTSTATUS set_callback(worker_callback callback, PVOID context);

  // Creates the thread. PASSIVE_LEVEL. Returns the status of the thread
  // creation; STATUS_INVALID_DEVICE_STATE when a thread is already running
  // or no callback is set. After a failed start post still accepts entries;
  // the owner reclaims them with take after stop.
  NTSTATUS start();

  // Queues `entry` for the thread. IRQL <= DISPATCH_LEVEL, any processor.
  // true: the callback will run for it exactly once (or the owner takes it
  // back after a failed start); false: the worker is stopping or stopped
  // and the entry stays with the caller.
  bool post(PLIST_ENTRY entry);

  // Ends the thread and then runs the callback on the calling thread for
  // every entry still queued, oldest first. Without a thread only the
  // refusal of new entries takes effect. PASSIVE_LEVEL, never from the
  // worker thread itself (it would wait for its own end).
  void stop();

  // Removes and returns the oldest queued entry, or null.
  PLIST_ENTRY take();

 private:
  static void thread_routine(PVOID start_context);
  void drain();

  worker_callback callback_;
  PVOID context_;         // first argument of callback_
  LIST_ENTRY queue_;      // oldest first
  KSPIN_LOCK queue_lock_; // guards queue_, and orders stop_ against insertions
  KEVENT wake_event_;     // notification; set when an entry is queued or on stop
  HANDLE thread_;         // kernel handle of the system thread; null when none
  LONG volatile stop_;    // 1: the thread must end and post refuses
};
