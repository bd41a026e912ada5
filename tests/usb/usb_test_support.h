// Shared pieces of the USB layer tests: descriptor builders for synthetic
// devices, a bus fixture that plugs one simulated device, and a scripted
// lower driver for the cases the simulated bus does not model (a lower
// driver that keeps a cancelled request for a while, a URB inspected as it
// arrives, a status chosen by the test).
#pragma once

#include <gtest/gtest.h>

#include <kstandin/testing_io.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kernel/kernel_api.h"
#include "sim/usb_bus.h"
#include "sim/usb_device.h"
#include "sim/uvc_camera.h"

namespace usbtest {

// ---- descriptors ------------------------------------------------------------------
inline std::vector<uint8_t> device_descriptor(uint16_t vendor = 0x199E, uint16_t product = 0x8207) {
  return {18,   1,    0x00, 0x02, 0xEF, 0x02, 0x01, 64, (uint8_t)vendor, (uint8_t)(vendor >> 8),
          (uint8_t)product, (uint8_t)(product >> 8), 0x00, 0x01, 1, 2, 3, 1};
}

struct interface_shape {
  uint8_t number;
  uint8_t alternate;
  uint8_t endpoints;  // bulk IN endpoints 0x81, 0x82, ...
};

// A configuration with the given interface descriptors, padded with
// vendor-specific descriptors (type 0x41) to exactly `total_length` bytes
// when that is larger than what the interfaces need.
inline std::vector<uint8_t> configuration(const std::vector<interface_shape>& interfaces,
                                          size_t total_length = 0) {
  std::vector<uint8_t> c{9, 2, 0, 0, 0, 1, 0, 0x80, 250};
  uint8_t count = 0;  // highest interface number + 1
  for (const interface_shape& i : interfaces) {
    c.insert(c.end(), {9, 4, i.number, i.alternate, i.endpoints, 0xFF, 0, 0, 0});
    for (uint8_t e = 0; e < i.endpoints; ++e)
      c.insert(c.end(), {7, 5, (uint8_t)(0x81 + e), 2, 0x00, 0x02, 0});
    count = std::max<uint8_t>(count, i.number + 1);
  }
  while (c.size() < total_length) {
    const size_t left = total_length - c.size();
    const size_t n = left > 255 ? 200 : left;
    if (n < 2) break;  // no room for a descriptor of its own
    c.push_back((uint8_t)n);
    c.push_back(0x41);
    c.insert(c.end(), n - 2, 0xAB);
  }
  c[4] = count;
  c[2] = (uint8_t)c.size();
  c[3] = (uint8_t)(c.size() >> 8);
  return c;
}

// ---- a simulated device on a bus ----------------------------------------------------
class bus_fixture : public ::testing::Test {
 protected:
  void TearDown() override {
    if (pdo != nullptr) bus.unplug(pdo);
    pdo = nullptr;
  }
  PDEVICE_OBJECT plug(std::shared_ptr<sim::usb_device> d) {  // unplugs the previous one
    if (pdo != nullptr) bus.unplug(pdo);
    device = d;
    pdo = bus.plug(std::move(d));
    return pdo;
  }
  PDEVICE_OBJECT plug_camera() {
    camera = sim::uvc_camera::create(sim::default_camera_desc());
    return plug(camera);
  }

  sim::usb_bus bus;
  std::shared_ptr<sim::usb_device> device;
  std::shared_ptr<sim::uvc_camera> camera;
  PDEVICE_OBJECT pdo = nullptr;
};

inline bool log_contains(const std::vector<std::string>& log, const std::string& text) {
  return std::any_of(log.begin(), log.end(),
                     [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

// ---- scripted lower driver -------------------------------------------------------------
// A device object whose internal device-control dispatch hands every IRP to
// `on_request`; it returns what the dispatch routine returns (and completes
// or keeps the IRP itself).
class scripted_device {
 public:
  using handler = std::function<NTSTATUS(PIRP irp)>;

  scripted_device() {
    driver_ = kstandin::create_driver_object("\\Driver\\usbtest_lower");
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &scripted_device::dispatch;
    IoCreateDevice(driver_, sizeof(scripted_device*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                   &device_);
    *static_cast<scripted_device**>(device_->DeviceExtension) = this;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  ~scripted_device() {
    IoDeleteDevice(device_);
    kstandin::delete_driver_object(driver_);
  }
  scripted_device(const scripted_device&) = delete;
  scripted_device& operator=(const scripted_device&) = delete;

  PDEVICE_OBJECT device() const { return device_; }
  handler on_request;

  // Completes `irp` with `status` and, for a URB, the URB's status.
  static void complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  // A handler that runs `inspect` on each IRP, then completes it with `status`.
  static handler completing(NTSTATUS status, std::function<void(PIRP)> inspect = nullptr) {
    return [status, inspect](PIRP irp) {
      if (inspect) inspect(irp);
      complete(irp, status);
      return status;
    };
  }
  static PURB urb_of(PIRP irp) {
    return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  }

 private:
  static NTSTATUS dispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* self = *static_cast<scripted_device**>(device->DeviceExtension);
    return self->on_request(irp);
  }

  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
};

}  // namespace usbtest
