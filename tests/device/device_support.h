// Shared pieces of the device tests: the driver loaded into the ks.sys
// stand-in, a simulated camera plugged into a bus and added as a device,
// and a client that opens the filter, picks a range, intersects it and
// creates the capture pin.
#pragma once

#include <gtest/gtest.h>

#include <kstandin/testing.h>
#include <kstandin/testing_io.h>
#include <kstandin/testing_ks.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "avstream/capture_pin.h"
#include "avstream/device.h"
#include "sim/usb_bus.h"
#include "sim/uvc_camera.h"
#include "sim/uvc_profiles.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path);

namespace devtest {

constexpr ULONG kCapturePin = 0;

inline ULONG fourcc(const char (&code)[5]) {
  return ULONG(uint8_t(code[0])) | ULONG(uint8_t(code[1])) << 8 | ULONG(uint8_t(code[2])) << 16 |
         ULONG(uint8_t(code[3])) << 24;
}

inline KS_VIDEOINFOHEADER* video_info_of(std::vector<uint8_t>& format) {
  return reinterpret_cast<KS_VIDEOINFOHEADER*>(format.data() + sizeof(KSDATAFORMAT));
}

// The driver loaded once per test, with one simulated camera plugged in and
// added as its device. TearDown removes what is left, so each test ends
// with the stand-in's removal checks.
class device_test : public ::testing::Test {
 protected:
  void SetUp() override {
    kstandin::registry_reset();
    ASSERT_EQ(kstandin::ks_load_driver(DriverEntry, &driver_), STATUS_SUCCESS);
  }

  void TearDown() override {
    close_client();
    remove();
    if (driver_ != nullptr) kstandin::ks_unload_driver(driver_);
    driver_ = nullptr;
  }

  // Plugs `camera` (default: the plain isochronous camera) and adds and
  // starts it; returns the start status.
  NTSTATUS plug(std::shared_ptr<sim::uvc_camera> camera = nullptr) {
    camera_ = camera != nullptr ? camera : sim::uvc_camera::create(sim::plain_camera_desc());
    pdo_ = bus_.plug(camera_);
    return kstandin::ks_plug_device(driver_, pdo_, &device_);
  }

  void remove() {
    if (device_ != nullptr) {
      EXPECT_EQ(kstandin::ks_remove_device(device_), STATUS_SUCCESS);
    }
    device_ = nullptr;
    if (pdo_ != nullptr) bus_.unplug(pdo_);
    pdo_ = nullptr;
  }

  device_context* context() {
    return static_cast<device_context*>(kstandin::ks_device_object(device_)->Context);
  }

  std::string device_key() const { return kstandin::device_key_path(pdo_); }

  // ---- client --------------------------------------------------------------------
  kstandin::ks_filter* open_filter() {
    kstandin::ks_filter* filter = nullptr;
    EXPECT_EQ(kstandin::ks_open_filter(device_, 0, &filter), STATUS_SUCCESS);
    return filter;
  }

  // The pin's range for a FOURCC and size (the first at that size).
  std::vector<uint8_t> find_range(kstandin::ks_filter* filter, ULONG code, LONG width,
                                  LONG height) {
    std::vector<std::vector<uint8_t>> ranges;
    EXPECT_EQ(kstandin::ks_pin_data_ranges(filter, kCapturePin, &ranges), STATUS_SUCCESS);
    for (auto& range : ranges) {
      const KS_BITMAPINFOHEADER& h =
          reinterpret_cast<const KS_DATARANGE_VIDEO*>(range.data())->VideoInfoHeader.bmiHeader;
      if (h.biCompression == code && h.biWidth == width && h.biHeight == height) return range;
    }
    ADD_FAILURE() << "no range " << width << "x" << height;
    return {};
  }

  // The format the intersection gives for that range.
  std::vector<uint8_t> format_for(kstandin::ks_filter* filter, ULONG code, LONG width,
                                  LONG height) {
    const std::vector<uint8_t> range = find_range(filter, code, width, height);
    std::vector<uint8_t> format;
    if (range.empty()) return format;
    EXPECT_EQ(kstandin::ks_intersect(filter, kCapturePin, range.data(), &format), STATUS_SUCCESS);
    return format;
  }

  // Opens the filter and creates a Y800 640x480 pin (with `clock`, or none).
  NTSTATUS open_pin(std::shared_ptr<kstandin::reference_clock> clock) {
    filter_ = open_filter();
    format_ = format_for(filter_, fourcc("Y800"), 640, 480);
    if (format_.empty()) return STATUS_NO_MATCH;
    return kstandin::ks_create_pin(filter_, kCapturePin, format_.data(), clock, &pin_);
  }

  void close_client() {
    if (pin_ != nullptr) {
      EXPECT_EQ(kstandin::ks_close_pin(pin_), STATUS_SUCCESS);
    }
    pin_ = nullptr;
    if (filter_ != nullptr) {
      EXPECT_EQ(kstandin::ks_close_filter(filter_), STATUS_SUCCESS);
    }
    filter_ = nullptr;
  }

  // KSPROPERTY_DROPPEDFRAMES_CURRENT asked of a filter or a pin.
  template <class Object>
  static NTSTATUS query_dropped_frames(Object* object, KSPROPERTY_DROPPEDFRAMES_CURRENT_S* answer,
                                       ULONG_PTR* returned) {
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S request = {};
    request.Property = kstandin::ks_make_property(
        PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT, KSPROPERTY_TYPE_GET);
    *answer = {};
    return kstandin::ks_property(object, &request, sizeof(request), answer, sizeof(*answer), returned);
  }

  void queue_reads(unsigned count, bool frame_info = true) {
    for (unsigned i = 0; i < count; ++i) {
      ASSERT_EQ(kstandin::ks_queue_read(pin_, kFrameBytes, frame_info), STATUS_PENDING);
    }
  }

  static constexpr ULONG kFrameBytes = 640 * 480;

  sim::usb_bus bus_;
  kstandin::ks_driver* driver_ = nullptr;
  kstandin::ks_device* device_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  std::shared_ptr<sim::uvc_camera> camera_;
  kstandin::ks_filter* filter_ = nullptr;
  kstandin::ks_pin* pin_ = nullptr;
  std::vector<uint8_t> format_;
};

}  // namespace devtest
