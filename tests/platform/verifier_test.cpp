// The verifier: each rule of the stand-in, broken once, is reported under
// its own name and nothing else is. Rules whose breaking has consequences
// beyond the report (no deadlock, nothing freed twice, the caller's state
// kept) are broken in the tests of their routines, which check those too:
// spin locks, mutexes, handles, IRP ownership, work items, stream pointers
// and the removal checks.
#include <gtest/gtest.h>
#include <ks.h>

#include <kstandin/testing_io.h>

#include <string>
#include <vector>

#include "../../platform/src/kernel_internal.h"
#include "platform_support.h"
#include "verifier_listener.h"

namespace {

using pltest::at_dispatch;

constexpr ULONG kTag = 0x74736554;  // "Test"

// The checks reported since the last call are exactly `checks`, and the
// caller is back at PASSIVE_LEVEL.
void expect_reported(const std::vector<std::string>& checks) {
  EXPECT_EQ(tvtest::take_violation_checks(), checks);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << checks[0];
}

KIRQL raise_to(KIRQL irql) {
  KIRQL old;
  KeRaiseIrql(irql, &old);
  return old;
}

VOID no_work(PVOID) {}
VOID no_cancel(PDEVICE_OBJECT, PIRP) {}
VOID no_device_work(PDEVICE_OBJECT, PVOID) {}

// An IRP of one stack location, as its driver holds it while completing it.
PIRP irp_in_a_driver() {
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoSetNextIrpStackLocation(irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  return irp;
}

TEST(Verifier, EachBrokenRuleIsReportedUnderItsName) {
  UCHAR buffer[64] = {};  // neither an object, a handle, an IRP nor pool
  LARGE_INTEGER zero{};

  KIRQL old = raise_to(DISPATCH_LEVEL);
  raise_to(APC_LEVEL);
  KeLowerIrql(old);
  expect_reported({"irql_raise_below_current"});
  KeLowerIrql(DISPATCH_LEVEL);
  expect_reported({"irql_lower_above_current"});
  {
    kstandin::irql_guard guard("callback");
    raise_to(DISPATCH_LEVEL);
  }
  expect_reported({"irql_mismatch_on_return"});

  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KeAcquireSpinLockAtDpcLevel(&lock);
  KeReleaseSpinLockFromDpcLevel(&lock);
  expect_reported({"spin_lock_below_dispatch"});

  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  old = raise_to(DISPATCH_LEVEL);
  pltest::wait_on(&event);
  KeLowerIrql(old);
  expect_reported({"wait_at_dispatch"});
  old = raise_to(DISPATCH_LEVEL);
  pltest::wait_on(&mutex, &zero);
  KeLowerIrql(old);
  KeReleaseMutex(&mutex, FALSE);
  expect_reported({"mutex_at_dispatch"});
  FAST_MUTEX fast;  // its owner may not take it again: reported, no deadlock
  ExInitializeFastMutex(&fast);
  ExAcquireFastMutex(&fast);
  ExAcquireFastMutex(&fast);
  ExReleaseFastMutex(&fast);
  expect_reported({"fast_mutex_recursion"});
  KSEMAPHORE semaphore;
  KeInitializeSemaphore(&semaphore, 1, 1);
  KeReleaseSemaphore(&semaphore, SEMAPHORE_INCREMENT, 1, FALSE);
  expect_reported({"semaphore_limit"});
  PVOID objects[1] = {&event};
  KeWaitForMultipleObjects(0, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr);
  expect_reported({"wait_object_count"});

  old = raise_to(DISPATCH_LEVEL);
  void* paged = ExAllocatePoolWithTag(PagedPool, 8, kTag);
  KeLowerIrql(old);
  ExFreePoolWithTag(paged, kTag);
  expect_reported({"paged_pool_at_dispatch"});
  ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag), kTag + 1);
  expect_reported({"pool_tag_mismatch"});  // and freed: the listener sees no leak
  ExFreePool(buffer);
  expect_reported({"pool_double_free"});
  ProbeForRead(buffer + 1, 4, 4);
  expect_reported({"probe_misaligned"});
  ProbeForRead(nullptr, 4, 1);
  expect_reported({"probe_invalid_buffer"});

  ObReferenceObject(buffer);
  expect_reported({"invalid_object_reference"});
  HANDLE key = nullptr;
  pltest::ustring name(L"\\Registry\\Machine\\Software");
  OBJECT_ATTRIBUTES attributes = pltest::attributes_of(&name.s);
  if (NT_SUCCESS(at_dispatch([&] { return ZwOpenKey(&key, KEY_READ, &attributes); }))) ZwClose(key);
  expect_reported({"zw_at_dispatch"});

  HANDLE thread = nullptr;
  at_dispatch([&] {
    return PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr, no_work, nullptr);
  });
  PVOID object = nullptr;
  ObReferenceObjectByHandle(thread, SYNCHRONIZE, nullptr, KernelMode, &object, nullptr);
  pltest::wait_on(object);
  ObDereferenceObject(object);
  ZwClose(thread);
  expect_reported({"thread_create_at_dispatch"});
  try {
    PsTerminateSystemThread(STATUS_SUCCESS);
  } catch (...) {  // how the stand-in ends a system thread
  }
  expect_reported({"terminate_foreign_thread"});

  PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
  MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
  expect_reported({"mdl_not_locked"});
  MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
  MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
  expect_reported({"mdl_double_lock"});
  MmUnlockPages(mdl);
  old = raise_to(HIGH_LEVEL);
  MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
  KeLowerIrql(old);
  IoFreeMdl(mdl);
  expect_reported({"mdl_lock_at_wrong_irql", "mdl_freed_locked"});

  PDRIVER_OBJECT driver = kstandin::create_driver_object("\\Driver\\verifiertest");
  PDEVICE_OBJECT pdo = kstandin::create_physical_device(nullptr, "USB\\VID_199E&PID_8207\\V1");
  PDEVICE_OBJECT fdo = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_KS, 0, FALSE, &fdo), STATUS_SUCCESS);
  IoAttachDeviceToDeviceStack(fdo, pdo);
  PDEVICE_OBJECT held = IoGetAttachedDeviceReference(pdo);  // keeps its memory
  IoDeleteDevice(fdo);
  IoDetachDevice(pdo);
  ObDereferenceObject(held);
  expect_reported({"device_deleted_while_attached"});
  IoDeleteDevice(fdo);
  expect_reported({"invalid_device_object"});
  driver->DeviceObject = pdo;  // only looked at
  kstandin::delete_driver_object(driver);
  expect_reported({"driver_deleted_with_devices"});

  old = raise_to(HIGH_LEVEL);
  IoCallDriver(nullptr, nullptr);
  KeLowerIrql(old);
  expect_reported({"call_driver_at_wrong_irql", "invalid_device_object"});
  IoCallDriver(pdo, reinterpret_cast<PIRP>(buffer));
  expect_reported({"invalid_irp"});
  IoFreeIrp(reinterpret_cast<PIRP>(buffer));
  expect_reported({"irp_double_free"});
  PIRP irp = irp_in_a_driver();
  irp->IoStatus.Status = STATUS_PENDING;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  IoFreeIrp(irp);
  expect_reported({"irp_completed_with_pending_status"});
  irp = irp_in_a_driver();
  IoSetCancelRoutine(irp, no_cancel);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  IoFreeIrp(irp);
  expect_reported({"irp_completed_with_cancel_routine"});
  irp = irp_in_a_driver();
  old = raise_to(HIGH_LEVEL);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  IoCancelIrp(irp);
  KeLowerIrql(old);
  IoFreeIrp(irp);
  expect_reported({"completion_at_wrong_irql", "cancel_at_wrong_irql", "irql_raise_below_current"});

  PIO_WORKITEM item = IoAllocateWorkItem(pdo);
  old = raise_to(HIGH_LEVEL);
  IoQueueWorkItem(item, no_device_work, DelayedWorkQueue, nullptr);
  KeLowerIrql(old);
  ASSERT_TRUE(kstandin::drain_work_queues(10000));
  IoFreeWorkItem(item);
  expect_reported({"workitem_queue_at_wrong_irql"});
  kstandin::delete_physical_device(pdo);

  KsGetDevice(nullptr);
  KsGetDevice(buffer);
  expect_reported({"ks_invalid_object", "ks_invalid_object"});
}

TEST(VerifierDeathTest, BugCheckStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(KeBugCheckEx(0x1E, 1, 2, 3, 4), "bug check 0x0000001E \\(0x1, 0x2, 0x3, 0x4\\)");
}

}  // namespace
