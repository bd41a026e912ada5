// What the tests of the simulator use to talk to a simulated device the way
// a client driver does: URBs in internal device-control IRPs sent to the
// physical device object, and the USBDI query-interface request.
#pragma once

#include <gtest/gtest.h>
#include <wdm.h>
#include <usbdi.h>
#include <usbdlib.h>
#include <usbbusif.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/usb_bus.h"
#include "sim/uvc_camera.h"

namespace simtest {

// Zeroed storage for a URB of `size` bytes. It has room for the whole URB
// union, so the compiler sees every member access inside the buffer; the
// request itself still says `size`.
inline std::vector<UCHAR> urb_storage(size_t size) {
  return std::vector<UCHAR>(size > sizeof(URB) ? size : sizeof(URB), 0);
}

// A relative time-out of `ms` milliseconds in 100 ns units.
inline LARGE_INTEGER timeout_ms(LONGLONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

// Waits up to `ms` for a dispatcher object; true when it was signalled.
inline bool wait_signalled(PVOID object, LONGLONG ms) {
  LARGE_INTEGER t = timeout_ms(ms);
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS;
}

// The directory with the real cameras' descriptors.
std::string testdata_directory();
// Camera names found there (<name>.device.bin and <name>.config.bin).
std::vector<std::string> testdata_cameras();

// An IRP that a test keeps while it is pending.
struct pending_irp {
  PIRP irp = nullptr;
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  NTSTATUS call_status = STATUS_SUCCESS;  // what IoCallDriver returned
};

// Sends an internal device-control request (argument in Argument1) and
// leaves it in flight; `pending` must stay where it is until it completed.
void send_ioctl(PDEVICE_OBJECT pdo, ULONG code, PVOID argument, pending_irp* pending);
// Waits up to `timeout_ms` for the request to complete; true when it did.
inline bool wait_for(pending_irp* pending, unsigned timeout_ms = 5000) {
  return wait_signalled(&pending->event, timeout_ms);
}

// Sends and waits (bounded); returns the IRP status.
NTSTATUS submit_urb(PDEVICE_OBJECT pdo, PURB urb);
NTSTATUS send_ioctl_sync(PDEVICE_OBJECT pdo, ULONG code, PVOID argument = nullptr);

// An IRP of the test's own carrying `urb` down to `pdo`, completing to `routine`.
PIRP urb_irp(PDEVICE_OBJECT pdo, PURB urb, PIO_COMPLETION_ROUTINE routine, PVOID context);

// Class or vendor request; returns the IRP status, the URB status and the
// bytes transferred.
struct control_result {
  NTSTATUS status = STATUS_SUCCESS;
  USBD_STATUS usbd_status = USBD_STATUS_SUCCESS;
  ULONG transferred = 0;
};
control_result control(PDEVICE_OBJECT pdo, USHORT function, bool in, UCHAR request, USHORT value,
                       USHORT index, void* data, ULONG length);
// UVC class request to an interface: wValue = selector << 8, wIndex = entity << 8 | interface.
control_result uvc_request(PDEVICE_OBJECT pdo, UCHAR request, UCHAR entity, UCHAR interface_number,
                           UCHAR selector, void* data, ULONG length);

// GET_DESCRIPTOR from the device.
control_result get_descriptor(PDEVICE_OBJECT pdo, UCHAR type, UCHAR index, USHORT language,
                              void* data, ULONG length);

// Selects alternate setting 0 of every interface; returns the URB (freed by
// the caller with ExFreePool) or null and the status.
PURB select_configuration(PDEVICE_OBJECT pdo, std::vector<UCHAR>* configuration, NTSTATUS* status);

// Selects `alternate` on interface 1 (the streaming one); `out` receives the
// interface information with room for one pipe.
NTSTATUS select_interface(PDEVICE_OBJECT pdo, USBD_CONFIGURATION_HANDLE configuration,
                          UCHAR alternate, USBD_INTERFACE_INFORMATION* out = nullptr);

// Configures the device, selects `alternate` on interface 1 and returns its
// first pipe; zeroed when that failed.
USBD_PIPE_INFORMATION select_streaming(PDEVICE_OBJECT pdo, std::vector<UCHAR> configuration,
                                       UCHAR alternate);

// Fills `storage` with an isochronous IN transfer of `packets` packets of
// `packet_size` bytes into `buffer` (resized to hold them).
PURB build_iso_in(std::vector<UCHAR>* storage, USBD_PIPE_HANDLE pipe, ULONG packets,
                  ULONG packet_size, std::vector<uint8_t>* buffer);

// A pipe request (abort, reset); returns the IRP status and the URB status in `usbd`.
NTSTATUS pipe_request(PDEVICE_OBJECT pdo, USHORT function, USBD_PIPE_HANDLE pipe,
                      USBD_STATUS* usbd = nullptr);

// A bus with one simulated camera, plugged by the test.
class camera_fixture : public ::testing::Test {
 protected:
  void plug(const sim::uvc_camera_desc& desc = sim::default_camera_desc()) {
    camera = sim::uvc_camera::create(desc);
    pdo = bus.plug(camera);
    ASSERT_NE(pdo, nullptr);
  }
  sim::usb_bus bus;
  std::shared_ptr<sim::uvc_camera> camera;
  PDEVICE_OBJECT pdo = nullptr;
};

}  // namespace simtest
