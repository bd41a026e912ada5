// async_work: deferred callbacks on the system delayed work queue. Owns the
// work records ("uvcW") and their IO_WORKITEMs from queue until the work
// routine has run the callback; the callbacks belong to the owner.
#include "kernel/async_work.h"

#include "kernel/pool_tags.h"

namespace {

// One queued callback: a 32-byte header followed, when the caller asked for
// a copy, by the copied data. Non-paged because queue runs at up to
// DISPATCH_LEVEL.
struct work_record {
  async_work* owner;
  PIO_WORKITEM work_item;
  async_work_callback callback;
  PVOID context;  // the caller's pointer, or data_area(this)
};
static_assert(sizeof(work_record) == 32, "work record header is 32 bytes");

UCHAR* data_area(work_record* record) {
  return reinterpret_cast<UCHAR*>(record) + sizeof(work_record);
}

}  // namespace

void async_work::init(PDEVICE_OBJECT device_object) {
  KeInitializeEvent(&idle_event_, NotificationEvent, TRUE);
  KeInitializeSpinLock(&lock_);
  outstanding_ = 0;
  closed_ = 1;
  device_object_ = device_object;
}

NTSTATUS async_work::open() {
  // The event is signalled exactly while nothing is outstanding; after a
  // close that is already so. Setting it unconditionally would let a later
  // close return while callbacks of an earlier open were still queued when
  // open is called twice, so it is only set when the count is 0.
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  if (outstanding_ == 0) {
    KeSetEvent(&idle_event_, IO_NO_INCREMENT, FALSE);
  }
  KeReleaseSpinLock(&lock_, irql);
  InterlockedExchange(&closed_, 0);
  return STATUS_SUCCESS;
}

void async_work::close() {
  InterlockedExchange(&closed_, 1);

  // queue counts a callback only under the lock and only while closed_ is
  // clear, so after this read no new callback can be counted.
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  const LONG outstanding = outstanding_;
  KeReleaseSpinLock(&lock_, irql);
  if (outstanding == 0) {
    return;
  }
  KeWaitForSingleObject(&idle_event_, Executive, KernelMode, FALSE, nullptr);
  // The last work routine signals the event while it still holds the lock;
  // taking the lock once more makes sure it has let go of this object before
  // the owner may destroy it.
  KeAcquireSpinLock(&lock_, &irql);
  KeReleaseSpinLock(&lock_, irql);
}

NTSTATUS async_work::queue(async_work_callback callback, PVOID data, ULONG size) {
  if (callback == nullptr || (size > 0 && data == nullptr)) {
    return STATUS_INVALID_PARAMETER;
  }
  if (InterlockedCompareExchange(&closed_, 0, 0) != 0) {
    return STATUS_CANCELLED;
  }

  work_record* record = nullptr;
  PIO_WORKITEM work_item = nullptr;
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  if (InterlockedCompareExchange(&closed_, 0, 0) == 0) {
    record = static_cast<work_record*>(ExAllocatePoolWithTag(
        NonPagedPoolNx, sizeof(work_record) + static_cast<SIZE_T>(size), pool_tag::deferred_work));
    if (record != nullptr) {
      work_item = IoAllocateWorkItem(device_object_);
      if (work_item == nullptr) {
        ExFreePoolWithTag(record, pool_tag::deferred_work);
        record = nullptr;
      }
    }
    if (record != nullptr) {
      if (outstanding_++ == 0) {
        KeClearEvent(&idle_event_);
      }
    }
  }
  KeReleaseSpinLock(&lock_, irql);

  if (record == nullptr) {
    return InterlockedCompareExchange(&closed_, 0, 0) != 0 ? STATUS_CANCELLED
                                                            : STATUS_INSUFFICIENT_RESOURCES;
  }

  RtlZeroMemory(record, sizeof(work_record) + static_cast<SIZE_T>(size));
  record->owner = this;
  record->work_item = work_item;
  record->callback = callback;
  if (size > 0) {
    RtlCopyMemory(data_area(record), data, size);
    record->context = data_area(record);
  } else {
    record->context = data;
  }
  IoQueueWorkItem(work_item, work_routine, DelayedWorkQueue, record);
  return STATUS_SUCCESS;
}

// System worker thread, PASSIVE_LEVEL.
void async_work::work_routine(PDEVICE_OBJECT device_object, PVOID context) {
  work_record* record = static_cast<work_record*>(context);
  async_work* owner = record->owner;

  record->callback(device_object, record->context);

  KIRQL irql;
  KeAcquireSpinLock(&owner->lock_, &irql);
  IoFreeWorkItem(record->work_item);
  ExFreePoolWithTag(record, pool_tag::deferred_work);
  if (--owner->outstanding_ == 0) {
    KeSetEvent(&owner->idle_event_, IO_NO_INCREMENT, FALSE);
  }
  KeReleaseSpinLock(&owner->lock_, irql);
}
