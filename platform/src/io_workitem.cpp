// Work items and the system work queues.
//
// Each queue type (critical and delayed; the others map onto these) has one
// platform worker thread, started on first use and kept for the life of the
// process. Items of one queue run one after another in the order queued, at
// PASSIVE_LEVEL. A queued item holds a reference on its device object until
// its routine has returned, so the device cannot be freed under it.
#include <condition_variable>
#include <deque>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "io_internal.h"

struct _IO_WORKITEM {
  PDEVICE_OBJECT device;
  PIO_WORKITEM_ROUTINE routine;  // set while queued
  PVOID context;
  bool queued;  // guarded by the queue lock
};

namespace kstandin {
namespace {

constexpr int kQueues = 2;  // 0 critical, 1 delayed

struct work_queues {
  std::mutex lock;
  std::condition_variable wake[kQueues];
  std::condition_variable idle;  // outstanding dropped to 0
  std::deque<PIO_WORKITEM> items[kQueues];
  bool running[kQueues] = {};
  size_t outstanding = 0;  // queued or running
};

// Never destroyed: the worker threads are detached and outlive main.
work_queues& queues() {
  static auto* q = new work_queues;
  return *q;
}

void worker_loop(int index) {
  auto& q = queues();
  std::unique_lock<std::mutex> lock(q.lock);
  for (;;) {
    q.wake[index].wait(lock, [&] { return !q.items[index].empty(); });
    PIO_WORKITEM item = q.items[index].front();
    q.items[index].pop_front();
    PDEVICE_OBJECT device = item->device;
    PIO_WORKITEM_ROUTINE routine = item->routine;
    PVOID context = item->context;
    item->queued = false;  // from here on the routine may free or requeue the item
    lock.unlock();
    if (current_irql() != PASSIVE_LEVEL) set_current_irql(PASSIVE_LEVEL);
    {
      irql_guard guard("work item routine");
      routine(device, context);
    }
    ObDereferenceObject(device);
    lock.lock();
    if (--q.outstanding == 0) q.idle.notify_all();
  }
}

}  // namespace

bool drain_work_queues(unsigned timeout_ms) {
  auto& q = queues();
  std::unique_lock<std::mutex> lock(q.lock);
  return q.idle.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                         [&] { return q.outstanding == 0; });
}

}  // namespace kstandin

using namespace kstandin;

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  auto item = (PIO_WORKITEM)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(_IO_WORKITEM),
                                                  kWorkItemTag);
  if (item == NULL) return NULL;
  item->device = DeviceObject;
  item->routine = NULL;
  item->context = NULL;
  item->queued = false;
  return item;
}

ULONG NTAPI IoSizeofWorkItem(VOID) { return sizeof(_IO_WORKITEM); }

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                           WORK_QUEUE_TYPE QueueType, PVOID Context) {
  if (current_irql() > DISPATCH_LEVEL) {
    report_violation("workitem_queue_at_wrong_irql",
                     "IoQueueWorkItem at IRQL " + std::to_string(current_irql()));
  }
  const int index = QueueType == DelayedWorkQueue || QueueType == NormalWorkQueue ||
                            QueueType == BackgroundWorkQueue
                        ? 1
                        : 0;
  auto& q = queues();
  std::lock_guard<std::mutex> guard(q.lock);
  if (IoWorkItem->queued) {
    report_violation("workitem_double_queue", "IoQueueWorkItem of a work item already queued");
    return;
  }
  ObReferenceObject(IoWorkItem->device);
  IoWorkItem->routine = WorkerRoutine;
  IoWorkItem->context = Context;
  IoWorkItem->queued = true;
  q.items[index].push_back(IoWorkItem);
  ++q.outstanding;
  if (!q.running[index]) {
    try {
      std::thread(worker_loop, index).detach();
      q.running[index] = true;
    } catch (const std::system_error&) {
      // Without a worker the item can never run; a kernel would not get here.
      fputs("kernel stand-in: cannot start a system worker thread\n", stderr);
      std::abort();
    }
  }
  q.wake[index].notify_one();
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  {
    auto& q = queues();
    std::lock_guard<std::mutex> guard(q.lock);
    if (IoWorkItem->queued) {
      // Left allocated: the worker thread will still use it.
      report_violation("workitem_freed_while_queued",
                       "IoFreeWorkItem of a work item that has not run yet");
      return;
    }
  }
  ExFreePoolWithTag(IoWorkItem, kWorkItemTag);
}
