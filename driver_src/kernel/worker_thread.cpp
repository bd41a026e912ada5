// worker_thread: the dedicated system thread, its entry queue and the
// hand-over rules between post, the thread and stop. The queued records and
// the callback belong to the owner; this object owns only the thread handle.
#include "kernel/worker_thread.h"

void worker_thread::init() {
  callback_ = nullptr;
  context_ = nullptr;
  InitializeListHead(&queue_);
  KeInitializeSpinLock(&queue_lock_);
  KeInitializeEvent(&wake_event_, NotificationEvent, FALSE);
  thread_ = nullptr;
  stop_ = 0;
}

NTSTATUS worker_thread::set_callback(worker_callback callback, PVOID context) {
  callback_ = callback;
  context_ = context;
  return STATUS_SUCCESS;
}

NTSTATUS worker_thread::start() {
  // A second thread would leave the first one running with its handle lost.
  if (thread_ != nullptr) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  KeClearEvent(&wake_event_);
  InterlockedExchange(&stop_, 0);
  // Without a callback the thread would call through null; this fails like
  // a failed thread creation (posts are accepted and wait for take).
  if (callback_ == nullptr) {
    return STATUS_INVALID_DEVICE_STATE;
  }

  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE handle = nullptr;
  const NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr,
                                               nullptr, thread_routine, this);
  if (NT_SUCCESS(status)) {
    thread_ = handle;
  }
  return status;
}

bool worker_thread::post(PLIST_ENTRY entry) {
  if (entry == nullptr) {
    return false;
  }
  // The stop flag is tested and the entry inserted under the same lock that
  // stop holds while it sets the flag. So an entry is either refused here or
  // in the queue before stop_ becomes 1, and then it is run by the thread's
  // last drain or by stop's drain on the caller. Nothing has to be taken back
  // out of the queue later, which could not tell this post's entry from one
  // that has already run and been posted again.
  KIRQL irql;
  KeAcquireSpinLock(&queue_lock_, &irql);
  const bool accepted = InterlockedCompareExchange(&stop_, 0, 0) == 0;
  if (accepted) {
    InsertTailList(&queue_, entry);
  }
  KeReleaseSpinLock(&queue_lock_, irql);
  if (accepted) {
    KeSetEvent(&wake_event_, IO_NO_INCREMENT, FALSE);
  }
  return accepted;
}

void worker_thread::stop() {
  KIRQL irql;
  KeAcquireSpinLock(&queue_lock_, &irql);
  InterlockedExchange(&stop_, 1);
  KeReleaseSpinLock(&queue_lock_, irql);

  HANDLE handle = InterlockedExchangePointer(&thread_, nullptr);
  if (handle == nullptr) {
    return;  // queued entries stay for the owner's take
  }
  // Wake the thread even if the reference below failed, so that it ends.
  KeSetEvent(&wake_event_, IO_NO_INCREMENT, FALSE);
  PVOID thread_object = nullptr;
  const NTSTATUS status =
      ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread_object, nullptr);
  if (NT_SUCCESS(status)) {
    KeWaitForSingleObject(thread_object, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread_object);
  }
  ZwClose(handle);
  drain();
}

PLIST_ENTRY worker_thread::take() {
  return ExInterlockedRemoveHeadList(&queue_, &queue_lock_);
}

// Each entry is removed under the lock and run with the lock released, so
// post can queue more meanwhile. Whoever removes an entry runs it.
void worker_thread::drain() {
  for (;;) {
    PLIST_ENTRY entry = ExInterlockedRemoveHeadList(&queue_, &queue_lock_);
    if (entry == nullptr) {
      return;
    }
    callback_(context_, entry);
  }
}

// System thread, PASSIVE_LEVEL.
void worker_thread::thread_routine(PVOID start_context) {
  worker_thread* self = static_cast<worker_thread*>(start_context);
  while (InterlockedCompareExchange(&self->stop_, 0, 0) == 0) {
    KeWaitForSingleObject(&self->wake_event_, Executive, KernelMode, FALSE, nullptr);
    // Clear, then drain. post inserts before it sets the event, so an entry
    // whose event was swallowed by this clear is already in the queue and
    // is found by the drain below; an entry inserted after the drain looked
    // at the queue sets the event after this clear and ends the next wait.
    // Draining first and clearing afterwards could wipe out the event of an
    // entry that arrived between the two and leave it queued unseen.
    KeClearEvent(&self->wake_event_);
    self->drain();
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}
