// IRPs travelling through a two-device stack: completion routines in order,
// STATUS_MORE_PROCESSING_REQUIRED, pending, cancellation and reuse, built
// internal device-control requests (how the driver sends URBs), and what the
// verifier's IRP ownership checks leave intact.
#include <gtest/gtest.h>

#include <kstandin/testing_io.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform_support.h"
#include "verifier_listener.h"

namespace {

constexpr ULONG kNeitherIoctl = CTL_CODE(FILE_DEVICE_USB, 0, METHOD_NEITHER, FILE_ANY_ACCESS);

// What the lower (bus) device does with each IRP; set per test.
std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> g_lower;

NTSTATUS lower_dispatch(PDEVICE_OBJECT device, PIRP irp) { return g_lower(device, irp); }

struct upper_extension {
  PDEVICE_OBJECT lower;
  std::vector<std::string>* trace;
};

NTSTATUS upper_completion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* ext = static_cast<upper_extension*>(context);
  ext->trace->push_back(device == nullptr ? "upper:null" : "upper:device");
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

// The upper device forwards with its own completion routine.
NTSTATUS upper_dispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<upper_extension*>(device->DeviceExtension);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, upper_completion, ext, TRUE, TRUE, TRUE);
  return IoCallDriver(ext->lower, irp);
}

NTSTATUS complete_now(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

struct owner_state {
  std::vector<std::string>* trace;
  NTSTATUS result = STATUS_MORE_PROCESSING_REQUIRED;
  BOOLEAN pending_returned = FALSE;
  KEVENT done;
};

NTSTATUS owner_completion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* owner = static_cast<owner_state*>(context);
  owner->trace->push_back(device == nullptr ? "owner:null" : "owner:device");
  owner->pending_returned = irp->PendingReturned;
  KeSetEvent(&owner->done, IO_NO_INCREMENT, FALSE);
  return owner->result;
}

class IoIrpStack : public ::testing::Test {
 protected:
  void SetUp() override {
    bus_ = kstandin::create_driver_object("\\Driver\\testbus");
    function_ = kstandin::create_driver_object("\\Driver\\testfunction");
    bus_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = lower_dispatch;
    function_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = upper_dispatch;
    pdo_ = kstandin::create_physical_device(bus_, "USB\\VID_199E&PID_8207\\IRP1");
    ASSERT_NE(pdo_, nullptr);
    ASSERT_EQ(IoCreateDevice(function_, sizeof(upper_extension), nullptr, FILE_DEVICE_UNKNOWN, 0,
                             FALSE, &fdo_),
              STATUS_SUCCESS);
    auto* ext = static_cast<upper_extension*>(fdo_->DeviceExtension);
    ext->lower = IoAttachDeviceToDeviceStack(fdo_, pdo_);
    ext->trace = &trace_;
    ASSERT_EQ(ext->lower, pdo_);
    KeInitializeEvent(&owner_.done, NotificationEvent, FALSE);
    owner_.trace = &trace_;
  }
  void TearDown() override {
    IoDetachDevice(pdo_);
    IoDeleteDevice(fdo_);
    kstandin::delete_physical_device(pdo_);
    kstandin::delete_driver_object(function_);
    kstandin::delete_driver_object(bus_);
    g_lower = nullptr;
  }

  // An IRP of the owner's, aimed at the top of the stack.
  PIRP make_irp() {
    PIRP irp = IoAllocateIrp(fdo_->StackSize, FALSE);
    prepare(irp);
    return irp;
  }
  void prepare(PIRP irp) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument1 = &owner_;
    IoSetCompletionRoutine(irp, owner_completion, &owner_, TRUE, TRUE, TRUE);
  }

  PDRIVER_OBJECT bus_ = nullptr;
  PDRIVER_OBJECT function_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  std::vector<std::string> trace_;
  owner_state owner_;
};

TEST_F(IoIrpStack, CompletionRunsUpTheStackAndStopsAtTheOwner) {
  PDEVICE_OBJECT seen_device = nullptr;
  PVOID seen_argument = nullptr;
  g_lower = [&](PDEVICE_OBJECT device, PIRP irp) {
    seen_device = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    seen_argument = IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
    EXPECT_EQ(irp->CurrentLocation, 1);
    return complete_now(irp, STATUS_SUCCESS, 42);
  };
  PIRP irp = make_irp();
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IoCallDriver(fdo_, irp), STATUS_SUCCESS);
  EXPECT_EQ(seen_device, pdo_);
  EXPECT_EQ(seen_argument, &owner_);  // copied down by the upper device
  EXPECT_EQ(trace_, (std::vector<std::string>{"upper:device", "owner:null"}));
  EXPECT_EQ(irp->IoStatus.Information, 42u);
  EXPECT_FALSE(owner_.pending_returned);
  // STATUS_MORE_PROCESSING_REQUIRED left the IRP with its owner, reusable.
  EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
  IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(irp->IoStatus.Information, 0u);
  prepare(irp);
  trace_.clear();
  g_lower = [&](PDEVICE_OBJECT, PIRP lower_irp) {
    return complete_now(lower_irp, STATUS_DEVICE_DATA_ERROR, 0);
  };
  EXPECT_EQ(IoCallDriver(fdo_, irp), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(trace_.size(), 2u);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_DEVICE_DATA_ERROR);
  IoFreeIrp(irp);
}

struct cancel_probe {
  KIRQL irql_in_routine = PASSIVE_LEVEL;
  int calls = 0;
};
cancel_probe g_cancel;

VOID cancel_routine(PDEVICE_OBJECT device, PIRP irp) {
  g_cancel.irql_in_routine = KeGetCurrentIrql();
  ++g_cancel.calls;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  complete_now(irp, STATUS_CANCELLED, 0);
}

TEST_F(IoIrpStack, PendingIrpBelongsToTheLowerDriverUntilItCompletesOrIsCancelled) {
  PIRP held = nullptr;
  g_lower = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  PIRP irp = make_irp();
  EXPECT_EQ(IoCallDriver(fdo_, irp), STATUS_PENDING);
  ASSERT_EQ(held, irp);

  // Neither freeing nor reusing may take it from the lower driver.
  IoFreeIrp(irp);
  EXPECT_TRUE(tvtest::take_violation("irp_freed_while_pending"));
  IoReuseIrp(irp, STATUS_SUCCESS);
  EXPECT_TRUE(tvtest::take_violation("irp_reused_while_pending"));

  // The bus completes it later, at DISPATCH_LEVEL on its own thread.
  std::thread bus([&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    complete_now(held, STATUS_SUCCESS, 7);
    KeLowerIrql(old);
  });
  EXPECT_EQ(pltest::wait_ms(&owner_.done, 10000), STATUS_SUCCESS);
  bus.join();
  EXPECT_TRUE(owner_.pending_returned);  // propagated through the upper routine
  EXPECT_EQ(trace_, (std::vector<std::string>{"upper:device", "owner:null"}));

  // Cancelled, it goes to the cancel routine of the driver holding it.
  g_cancel = cancel_probe{};
  g_lower = [&](PDEVICE_OBJECT, PIRP lower_irp) {
    IoMarkIrpPending(lower_irp);
    IoSetCancelRoutine(lower_irp, cancel_routine);
    return STATUS_PENDING;
  };
  IoReuseIrp(irp, STATUS_SUCCESS);
  prepare(irp);
  KeClearEvent(&owner_.done);
  ASSERT_EQ(IoCallDriver(fdo_, irp), STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(g_cancel.calls, 1);
  EXPECT_EQ(g_cancel.irql_in_routine, DISPATCH_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(KeReadStateEvent(&owner_.done), 1);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
  // Without a cancel routine the IRP is only marked.
  IoReuseIrp(irp, STATUS_SUCCESS);
  EXPECT_FALSE(irp->Cancel);
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_TRUE(irp->Cancel);
  EXPECT_EQ(g_cancel.calls, 1);
  IoFreeIrp(irp);
}

TEST_F(IoIrpStack, VerifierCatchesDoubleCompletionAndExhaustedStack) {
  PIRP held = nullptr;
  g_lower = [&](PDEVICE_OBJECT, PIRP irp) {
    held = irp;
    return complete_now(irp, STATUS_SUCCESS, 0);
  };
  PIRP irp = make_irp();
  owner_.result = STATUS_SUCCESS;  // lets completion run to the top
  IoCallDriver(fdo_, irp);
  complete_now(held, STATUS_SUCCESS, 0);  // the bus completes it a second time
  EXPECT_TRUE(tvtest::take_violation("irp_double_complete"));
  EXPECT_EQ(trace_.size(), 2u);  // no routine ran twice

  // A built request is freed by its first completion; the second one is
  // caught without touching the freed memory.
  IO_STATUS_BLOCK iosb{};
  PIRP built = IoBuildDeviceIoControlRequest(kNeitherIoctl, pdo_, nullptr, 0, nullptr, 0, TRUE,
                                             nullptr, &iosb);
  IoCallDriver(pdo_, built);
  EXPECT_EQ(held, built);
  IoCompleteRequest(held, IO_NO_INCREMENT);
  EXPECT_TRUE(tvtest::take_violation("irp_double_complete"));

  // A driver that passes an IRP on with no stack location left for the
  // next driver: the call is refused and the IRP stays at its location.
  IoReuseIrp(irp, STATUS_SUCCESS);
  CHAR location_at_second_call = 0;
  g_lower = [&](PDEVICE_OBJECT device, PIRP lower_irp) {
    location_at_second_call = lower_irp->CurrentLocation;
    const NTSTATUS status = IoCallDriver(device, lower_irp);
    return complete_now(lower_irp, status, 0);
  };
  PIRP small = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(small)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  EXPECT_EQ(IoCallDriver(pdo_, small), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_TRUE(tvtest::take_violation("irp_stack_overflow"));
  EXPECT_EQ(location_at_second_call, 1);
  EXPECT_EQ(small->IoStatus.Status, STATUS_INVALID_DEVICE_REQUEST);
  IoFreeIrp(small);
  IoFreeIrp(irp);
}

TEST_F(IoIrpStack, BuiltInternalRequestReportsThroughEventAndStatusBlockAndFreesItself) {
  int urb = 0;
  PIRP held = nullptr;
  g_lower = [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(stack->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(stack->Parameters.DeviceIoControl.IoControlCode, kNeitherIoctl);
    EXPECT_EQ(stack->Parameters.Others.Argument1, &urb);
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  auto build = [&] {
    PIRP irp = IoBuildDeviceIoControlRequest(kNeitherIoctl, pdo_, nullptr, 0, nullptr, 0, TRUE,
                                             &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    return irp;
  };
  ASSERT_EQ(IoCallDriver(pdo_, build()), STATUS_PENDING);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  std::thread bus([&] { complete_now(held, STATUS_SUCCESS, 6); });
  EXPECT_EQ(pltest::wait_ms(&event, 10000), STATUS_SUCCESS);
  bus.join();
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 6u);
  // The IRP is gone: the listener checks the pool.

  // Completed at once, it signals as well.
  KeClearEvent(&event);
  g_lower = [&](PDEVICE_OBJECT, PIRP irp) { return complete_now(irp, STATUS_NOT_SUPPORTED, 0); };
  EXPECT_EQ(IoCallDriver(pdo_, build()), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(iosb.Status, STATUS_NOT_SUPPORTED);
}

}  // namespace
