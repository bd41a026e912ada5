// async_work: close draining queued callbacks, the pointer and copy forms of
// the data, queueing at DISPATCH_LEVEL, reopening, and the refusals while
// closed or out of memory.
#include <gtest/gtest.h>

#include <kstandin/testing_io.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "kernel/async_work.h"
#include "kernel/kernel_api.h"
#include "kernel/pool_tags.h"

namespace {

// What the callbacks saw; callbacks wait on `gate` while `hold` is set.
struct observations {
  std::atomic<int> runs{0};
  std::atomic<int> finished{0};
  std::atomic<int> wrong_irql{0};
  std::atomic<PVOID> seen_context{nullptr};
  unsigned char seen_bytes[16] = {};
  KEVENT gate;
  bool hold = false;
};
observations* current = nullptr;

void record(PDEVICE_OBJECT, PVOID context) {
  current->runs.fetch_add(1);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) current->wrong_irql.fetch_add(1);
  if (current->hold) KeWaitForSingleObject(&current->gate, Executive, KernelMode, FALSE, nullptr);
  current->seen_context = context;
  current->finished.fetch_add(1);
}

void record_bytes(PDEVICE_OBJECT device, PVOID context) {
  std::memcpy(current->seen_bytes, context, sizeof(current->seen_bytes));
  record(device, context);
}

class AsyncWorkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    current = &obs;
    KeInitializeEvent(&obs.gate, NotificationEvent, FALSE);
    bus = kstandin::create_driver_object("\\Driver\\testbus");
    device = kstandin::create_physical_device(bus, "USB\\VID_199E&PID_8619\\1");
    work.init(device);
    ASSERT_NE(device, nullptr);
  }
  void TearDown() override {
    work.close();
    if (device != nullptr) kstandin::delete_physical_device(device);
    kstandin::delete_driver_object(bus);
  }

  // Starts close on another thread and returns once it has begun (queue is
  // refused); callbacks accepted until then are counted in obs.runs.
  std::thread close_in_background(int* finished_when_closed) {
    std::thread closer([this, finished_when_closed] {
      work.close();
      *finished_when_closed = obs.finished.load();
    });
    int marker = 0;
    while (work.queue(record, &marker, 0) == STATUS_SUCCESS) {
    }
    return closer;
  }

  observations obs;
  PDRIVER_OBJECT bus = nullptr;
  PDEVICE_OBJECT device = nullptr;
  async_work work;
};

TEST_F(AsyncWorkTest, CloseReturnsOnlyAfterQueuedCallbacksHaveRunEvenAfterASecondOpen) {
  ASSERT_EQ(work.open(), STATUS_SUCCESS);
  obs.hold = true;
  int marker = 0;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(work.queue(record, &marker, 0), STATUS_SUCCESS);
  int finished_when_closed = -1;
  std::thread closer = close_in_background(&finished_when_closed);
  EXPECT_EQ(obs.finished.load(), 0);  // all held, close is waiting
  KeSetEvent(&obs.gate, IO_NO_INCREMENT, FALSE);
  closer.join();
  EXPECT_GE(obs.runs.load(), 3);
  EXPECT_EQ(finished_when_closed, obs.runs.load());

  // A second open does not let close skip a callback still outstanding.
  KeClearEvent(&obs.gate);
  ASSERT_EQ(work.open(), STATUS_SUCCESS);
  ASSERT_EQ(work.queue(record, &marker, 0), STATUS_SUCCESS);
  ASSERT_EQ(work.open(), STATUS_SUCCESS);
  closer = close_in_background(&finished_when_closed);
  KeSetEvent(&obs.gate, IO_NO_INCREMENT, FALSE);
  closer.join();
  EXPECT_EQ(finished_when_closed, obs.runs.load());
}

TEST_F(AsyncWorkTest, QueuedAtDispatchLevelDataIsPassedOrPrivatelyCopied) {
  ASSERT_EQ(work.open(), STATUS_SUCCESS);
  obs.hold = true;
  auto buffer = std::make_unique<unsigned char[]>(16);
  for (int i = 0; i < 16; ++i) buffer[i] = static_cast<unsigned char>(0xA0 + i);
  const void* original = buffer.get();
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  const NTSTATUS status = work.queue(record_bytes, buffer.get(), 16);
  KeLowerIrql(irql);
  ASSERT_EQ(status, STATUS_SUCCESS);
  buffer.reset();  // gone before the callback runs
  KeSetEvent(&obs.gate, IO_NO_INCREMENT, FALSE);
  work.close();
  ASSERT_EQ(obs.finished.load(), 1);
  EXPECT_NE(obs.seen_context.load(), original);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(obs.seen_bytes[i], 0xA0 + i) << i;

  ASSERT_EQ(work.open(), STATUS_SUCCESS);  // reopened; size 0 passes the pointer
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  EXPECT_EQ(work.queue(record, &irql, 0), STATUS_SUCCESS);
  KeLowerIrql(irql);
  work.close();
  EXPECT_EQ(obs.finished.load(), 2);
  EXPECT_EQ(obs.seen_context.load(), &irql);
  EXPECT_EQ(obs.wrong_irql.load(), 0);
}

TEST_F(AsyncWorkTest, RefusalsWhileClosedOrOutOfMemoryRunNothing) {
  int marker = 0;
  EXPECT_EQ(work.queue(record, &marker, 0), STATUS_CANCELLED);  // closed until opened
  ASSERT_EQ(work.open(), STATUS_SUCCESS);
  kstandin::fail_next_allocations(1, pool_tag::deferred_work);
  EXPECT_EQ(work.queue(record, &marker, 0), STATUS_INSUFFICIENT_RESOURCES);
  kstandin::fail_next_allocations(1, make_pool_tag('I', 'o', 'W', 'k'));  // the IO_WORKITEM
  EXPECT_EQ(work.queue(record, &marker, 0), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(work.queue(record, nullptr, 8), STATUS_INVALID_PARAMETER);
  ASSERT_TRUE(kstandin::drain_work_queues());
  EXPECT_EQ(obs.runs.load(), 0);
  ASSERT_EQ(work.queue(record, &marker, 0), STATUS_SUCCESS);  // close does not wait for failures
  work.close();
  EXPECT_EQ(obs.finished.load(), 1);
  EXPECT_EQ(work.queue(record, &marker, 4), STATUS_CANCELLED);
  ASSERT_TRUE(kstandin::drain_work_queues());
  EXPECT_EQ(obs.runs.load(), 1);
}

}  // namespace
