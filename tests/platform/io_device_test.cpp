// Device objects, device stacks and references, the removal leak check,
// MDLs, and system work items.
#include <gtest/gtest.h>

#include <kstandin/testing_io.h>

#include <atomic>
#include <thread>
#include <vector>

#include "verifier_listener.h"

namespace {

constexpr ULONG kTestTag = 0x74736554;  // "Test" as a pool tag

class IoDevice : public ::testing::Test {
 protected:
  void SetUp() override { driver_ = kstandin::create_driver_object("\\Driver\\devicetest"); }
  void TearDown() override { kstandin::delete_driver_object(driver_); }

  PDEVICE_OBJECT create(ULONG extension = 0) {
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver_, extension, nullptr, FILE_DEVICE_KS, 0, FALSE, &device),
              STATUS_SUCCESS);
    return device;
  }

  PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(IoDevice, StackLinksSizesAndDeferredFree) {
  PDEVICE_OBJECT pdo = kstandin::create_physical_device(nullptr, "USB\\VID_199E&PID_8207\\DEV1");
  ASSERT_NE(pdo, nullptr);
  PDEVICE_OBJECT fdo = create(40);
  ASSERT_NE(fdo, nullptr);
  EXPECT_EQ(fdo->Type, IO_TYPE_DEVICE);
  EXPECT_TRUE(fdo->Flags & DO_DEVICE_INITIALIZING);
  EXPECT_EQ((ULONG_PTR)fdo->DeviceExtension % 16, 0u);
  const std::vector<UCHAR> zeros(40, 0);
  EXPECT_EQ(memcmp(fdo->DeviceExtension, zeros.data(), 40), 0);
  EXPECT_EQ(driver_->DeviceObject, fdo);

  EXPECT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), pdo);
  EXPECT_EQ(fdo->StackSize, pdo->StackSize + 1);
  EXPECT_EQ(pdo->AttachedDevice, fdo);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  EXPECT_EQ(top, fdo);
  EXPECT_EQ(fdo->ReferenceCount, 1);
  PDEVICE_OBJECT lower = IoGetLowerDeviceObject(fdo);
  EXPECT_EQ(lower, pdo);
  ObDereferenceObject(lower);

  IoDetachDevice(pdo);
  EXPECT_EQ(pdo->AttachedDevice, nullptr);
  // Still referenced: unlinked from the driver now, freed on the last
  // dereference (AddressSanitizer would see a use after free otherwise).
  IoDeleteDevice(fdo);
  EXPECT_EQ(driver_->DeviceObject, nullptr);
  EXPECT_EQ(fdo->ReferenceCount, 1);
  ObDereferenceObject(top);
  kstandin::delete_physical_device(pdo);
}

TEST_F(IoDevice, RemovalReportsDriverBlocksStillLive) {
  PDEVICE_OBJECT clean = create();
  void* freed = ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTestTag);
  ExFreePoolWithTag(freed, kTestTag);
  PIRP irp = IoAllocateIrp(2, FALSE);  // the platform's own tag is not the driver's leak
  IoDeleteDevice(clean);
  EXPECT_EQ(kstandin::pending_violation_count(), 0u);

  PDEVICE_OBJECT leaky = create();
  void* kept = ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTestTag);
  IoDeleteDevice(leaky);
  const auto violations = kstandin::take_violations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0].check, "pool_leak_at_removal");
  EXPECT_NE(violations[0].message.find("1 block"), std::string::npos) << violations[0].message;
  ExFreePoolWithTag(kept, kTestTag);
  IoFreeIrp(irp);
}

TEST_F(IoDevice, MdlDescribesTheBufferAndMapsItOnceLocked) {
  std::vector<UCHAR> storage(3 * PAGE_SIZE);
  UCHAR* buffer = storage.data() + 100;
  const ULONG length = 2 * PAGE_SIZE;
  PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
  ASSERT_NE(mdl, nullptr);
  EXPECT_EQ(MmGetMdlVirtualAddress(mdl), buffer);
  EXPECT_EQ(MmGetMdlByteCount(mdl), length);
  EXPECT_EQ(MmGetMdlByteOffset(mdl), BYTE_OFFSET(buffer));
  EXPECT_EQ(mdl->StartVa, PAGE_ALIGN(buffer));

  MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), buffer);
  MmUnlockPages(mdl);
  IoFreeMdl(mdl);

  PMDL pool_mdl = IoAllocateMdl(buffer, 16, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(pool_mdl);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(pool_mdl, NormalPagePriority), buffer);
  IoFreeMdl(pool_mdl);
}

// ---- work items -------------------------------------------------------------

struct work_probe {
  std::atomic<int> runs{0};
  KIRQL irql = HIGH_LEVEL;
  std::thread::id thread;
  PDEVICE_OBJECT device = nullptr;
  std::vector<int> order;  // written by the single delayed-queue worker
  KEVENT release;          // a blocking routine waits for it
};

struct work_context {
  work_probe* probe;
  int number;
  PIO_WORKITEM item = nullptr;  // freed by the blocking routine
};

VOID record_routine(PDEVICE_OBJECT device, PVOID context) {
  auto* c = static_cast<work_context*>(context);
  c->probe->irql = KeGetCurrentIrql();
  c->probe->thread = std::this_thread::get_id();
  c->probe->device = device;
  c->probe->order.push_back(c->number);
  c->probe->runs++;
}

VOID blocking_routine(PDEVICE_OBJECT device, PVOID context) {
  auto* c = static_cast<work_context*>(context);
  KeWaitForSingleObject(&c->probe->release, Executive, KernelMode, FALSE, nullptr);
  IoFreeWorkItem(c->item);  // a routine may free its own item
  c->probe->runs++;
}

TEST_F(IoDevice, WorkItemsRunInOrderAtPassiveLevelOnAWorkerThread) {
  PDEVICE_OBJECT device = create();
  work_probe probe;
  work_context contexts[3] = {{&probe, 1}, {&probe, 2}, {&probe, 3}};
  PIO_WORKITEM items[3];
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);  // queueing is allowed at DISPATCH_LEVEL
  for (int i = 0; i < 3; ++i) {
    items[i] = IoAllocateWorkItem(device);
    ASSERT_NE(items[i], nullptr);
    IoQueueWorkItem(items[i], record_routine, DelayedWorkQueue, &contexts[i]);
  }
  KeLowerIrql(old);
  ASSERT_TRUE(kstandin::drain_work_queues(10000));
  EXPECT_EQ(probe.runs.load(), 3);
  EXPECT_EQ(probe.order, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(probe.irql, PASSIVE_LEVEL);
  EXPECT_NE(probe.thread, std::this_thread::get_id());
  EXPECT_EQ(probe.device, device);
  EXPECT_EQ(device->ReferenceCount, 0);
  for (auto* item : items) IoFreeWorkItem(item);
  IoDeleteDevice(device);
}

TEST_F(IoDevice, QueuedWorkItemKeepsItsDeviceAndCannotBeQueuedTwice) {
  PDEVICE_OBJECT device = create();
  work_probe probe;
  KeInitializeEvent(&probe.release, NotificationEvent, FALSE);
  work_context first{&probe, 1, IoAllocateWorkItem(device)};
  work_context second{&probe, 2, IoAllocateWorkItem(device)};
  IoQueueWorkItem(first.item, blocking_routine, CriticalWorkQueue, &first);
  IoQueueWorkItem(second.item, blocking_routine, CriticalWorkQueue, &second);  // behind the first
  IoQueueWorkItem(second.item, blocking_routine, CriticalWorkQueue, &second);
  EXPECT_TRUE(tvtest::take_violation("workitem_double_queue"));
  IoFreeWorkItem(second.item);
  EXPECT_TRUE(tvtest::take_violation("workitem_freed_while_queued"));

  // Deleting the device while items are queued: the memory stays until the
  // last routine has returned (the listener would report it otherwise).
  IoDeleteDevice(device);
  EXPECT_FALSE(kstandin::drain_work_queues(0));
  KeSetEvent(&probe.release, IO_NO_INCREMENT, FALSE);
  ASSERT_TRUE(kstandin::drain_work_queues(10000));
  EXPECT_EQ(probe.runs.load(), 2);
}

}  // namespace
