// usb_utils: a timed-out request is cancelled and back before the caller
// sees STATUS_IO_TIMEOUT, internal IOCTLs carry their argument, pipe
// requests, and the descriptor walk stays inside its bounds.
#include <gtest/gtest.h>

#include <kstandin/testing.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "usb/control_request.h"
#include "usb_test_support.h"
#include "usb/usbdevice.h"

namespace {

class UsbUtilsTest : public usbtest::bus_fixture {};

control_request vendor_in(UCHAR request, USHORT length, PVOID data) {
  return control_request{0, 1, 0, request, 0, 0, length, data};
}

TEST_F(UsbUtilsTest, TimedOutRequestIsCancelledAndBackBeforeTheCallerReturns) {
  plug_camera();
  device->set_vendor_handler(0x42, [](const sim::setup_packet&, std::vector<uint8_t>& data) {
    data.assign(4, 0x5A);
    return (USBD_STATUS)USBD_STATUS_SUCCESS;
  });
  device->inject_control_fault(sim::control_fault::hang, 1, 0x42);
  UCHAR data[4] = {};
  ULONG transferred = 77;
  EXPECT_EQ(control_transfer(pdo, vendor_in(0x42, 4, data), 100, &transferred), STATUS_IO_TIMEOUT);
  const uint64_t returned_at = KeQueryInterruptTime();
  EXPECT_EQ(transferred, 77u);

  ASSERT_EQ(device->control_requests().size(), 1u);
  const sim::request_record r = device->control_requests()[0];
  EXPECT_TRUE(r.cancelled && r.completed);
  EXPECT_GE(r.cancelled_at - r.submitted_at, 100 * 10000u);  // the whole time-out, in 100 ns
  EXPECT_LE(r.completed_at, returned_at);
  EXPECT_EQ(device->pending_control_requests(), 0u);
  // The device answers afterwards.
  ASSERT_EQ(vendor_request(pdo, vendor_in(0x42, 4, data), &transferred), STATUS_SUCCESS);
  EXPECT_EQ(transferred, 4u);
  kstandin::take_debug_log();
}

// Cancel routine of the lower driver below: notes the cancellation and
// keeps the IRP.
VOID note_cancel(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  static_cast<std::atomic<bool>*>(irp->Tail.Overlay.DriverContext[0])->store(true);
}

TEST_F(UsbUtilsTest, LowerDriverThatKeepsACancelledRequestIsWaitedFor) {
  // The lower driver sees the cancellation but completes the request only
  // later, on its own thread; until then the URB and the buffer are its own.
  usbtest::scripted_device lower;
  std::atomic<bool> cancelled{false};
  std::atomic<bool> completed{false};
  std::thread completer;
  lower.on_request = [&](PIRP irp) {
    IoMarkIrpPending(irp);
    irp->Tail.Overlay.DriverContext[0] = &cancelled;
    IoSetCancelRoutine(irp, note_cancel);
    completer = std::thread([&cancelled, &completed, irp] {
      for (int i = 0; i < 5000 && !cancelled; ++i)  // bounded wait for the cancel
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      IoSetCancelRoutine(irp, nullptr);
      completed = true;
      usbtest::scripted_device::complete(irp, STATUS_CANCELLED);
    });
    return STATUS_PENDING;
  };
  UCHAR data[8] = {};
  EXPECT_EQ(control_transfer(lower.device(), vendor_in(1, 8, data), 50, nullptr),
            STATUS_IO_TIMEOUT);
  EXPECT_TRUE(completed.load());
  completer.join();
  EXPECT_TRUE(cancelled.load());
  kstandin::take_debug_log();
}

TEST_F(UsbUtilsTest, PipeRequestsNameThePipeAndReportABusyUrbAndIoctlsCarryTheirArgument) {
  plug_camera();
  usb_device dev(pdo);
  ASSERT_EQ(dev.init(), STATUS_SUCCESS);
  ASSERT_EQ(dev.select_alternate_setting(1, 1), STATUS_SUCCESS);
  const USBD_PIPE_INFORMATION* pipe = &dev.get_interface_info(1)->Pipes[0];
  EXPECT_EQ(abort_pipe(pdo, pipe), STATUS_SUCCESS);
  EXPECT_EQ(reset_pipe(pdo, pipe), STATUS_SUCCESS);
  EXPECT_TRUE(device->pipe_abort_count() == 1 && device->pipe_reset_count() == 1);
  EXPECT_EQ(device->requests().back().function, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
  EXPECT_EQ(device->requests().back().endpoint, 0x81);

  // USBD_STATUS_ERROR_BUSY in the URB is the result; other URB errors are not.
  usbtest::scripted_device lower;
  USBD_STATUS urb_status = USBD_STATUS_ERROR_BUSY;
  lower.on_request = usbtest::scripted_device::completing(STATUS_SUCCESS, [&](PIRP irp) {
    usbtest::scripted_device::urb_of(irp)->UrbHeader.Status = urb_status;
  });
  EXPECT_EQ(abort_pipe(lower.device(), pipe), (NTSTATUS)USBD_STATUS_ERROR_BUSY);
  urb_status = USBD_STATUS_STALL_PID;
  EXPECT_EQ(reset_pipe(lower.device(), pipe), STATUS_SUCCESS);

  // An internal IOCTL carries its code and argument, and the lower status.
  PVOID argument = nullptr;
  ULONG code = 0;
  lower.on_request = usbtest::scripted_device::completing(STATUS_DEVICE_BUSY, [&](PIRP irp) {
    argument = IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
    code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
  });
  int marker = 0;
  EXPECT_EQ(send_ioctl_timed(lower.device(), 0x220013, &marker, 1000), STATUS_DEVICE_BUSY);
  EXPECT_TRUE(argument == &marker && code == 0x220013u);
  EXPECT_EQ(send_ioctl_sync(nullptr, IOCTL_INTERNAL_USB_RESET_PORT), STATUS_INVALID_HANDLE);
}

TEST(UsbUtilsFindDescriptor, WalksByLengthAndNeverPastTheEnd) {
  const UCHAR bytes[] = {9, 2, 0, 0, 0, 0, 0, 0, 0,  // configuration
                         3, 0x24, 1,                 // class-specific
                         7, 5, 0x81, 2, 0, 2, 0,     // endpoint
                         9, 4, 0, 0, 0, 0, 0, 0};    // interface, cut by the end
  const UCHAR* end = bytes + sizeof(bytes);
  EXPECT_EQ(find_descriptor(bytes, end, 2), bytes);
  EXPECT_EQ(find_descriptor(bytes, end, 5), bytes + 12);
  EXPECT_EQ(find_descriptor(bytes, end, 4), nullptr);
  EXPECT_EQ(find_descriptor(bytes, bytes + 12, 5), nullptr);
  EXPECT_EQ(find_descriptor(bytes, bytes + 1, 2), nullptr);
  const UCHAR zero_length[] = {0, 5, 7, 5, 0x81, 2, 0, 2, 0};
  EXPECT_EQ(find_descriptor(zero_length, zero_length + sizeof(zero_length), 5), nullptr);
}

}  // namespace
