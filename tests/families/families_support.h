// Shared pieces of the camera-family tests: the driver with one simulated
// family camera (sim/families/) plugged in, the formats its pin offers, a
// pin streaming one of them, and the driver's own property sets.
#pragma once

#include <gtest/gtest.h>

#include <kstandin/testing.h>
#include <kstandin/testing_io.h>
#include <kstandin/testing_ks.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "avstream/device.h"
#include "controls/camera_control.h"
#include "controls/property_sets.h"
#include "sim/families/family_models.h"
#include "sim/usb_bus.h"
#include "sim/uvc_profiles.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path);

namespace famtest {

constexpr ULONG kCapturePin = 0;

inline ULONG fourcc(const char (&code)[5]) {
  return ULONG(uint8_t(code[0])) | ULONG(uint8_t(code[1])) << 8 | ULONG(uint8_t(code[2])) << 16 |
         ULONG(uint8_t(code[3])) << 24;
}

inline std::string fourcc_text(ULONG code) {
  const char c[5] = {char(code), char(code >> 8), char(code >> 16), char(code >> 24), 0};
  return c;
}

// One range of the pin: FOURCC ("RGB3"/"RGB4" for the RGB subtypes), size,
// bits, intervals and the output size limits.
struct offered {
  ULONG code = 0;
  LONG width = 0, height = 0;
  WORD bits = 0;
  LONGLONG min_interval = 0, max_interval = 0;
  SIZE min_size{}, max_size{};
  std::vector<uint8_t> range;
};

inline const sim::camera_model& family_model(const std::string& id) {
  static const std::vector<sim::camera_model> models = sim::family_camera_models();
  for (const sim::camera_model& m : models) {
    if (m.id == id) return m;
  }
  ADD_FAILURE() << "no model " << id;
  return models.front();
}

// Polls `done` for at most `limit_ms`.
inline bool eventually(const std::function<bool()>& done, int limit_ms = 20000) {
  for (int i = 0; i < limit_ms && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

struct delivered {
  std::vector<uint8_t> data;
  KS_FRAME_INFO info{};
};

class family_device : public ::testing::Test {
 protected:
  void SetUp() override {
    kstandin::registry_reset();
    ASSERT_EQ(kstandin::ks_load_driver(DriverEntry, &driver_), STATUS_SUCCESS);
  }

  void TearDown() override {
    remove();
    if (driver_ != nullptr) kstandin::ks_unload_driver(driver_);
    driver_ = nullptr;
  }

  // Plugs `camera`, starts it and opens the filter.
  NTSTATUS plug(std::shared_ptr<sim::uvc_camera> camera) {
    camera_ = std::move(camera);
    pdo_ = bus_.plug(camera_);
    const NTSTATUS status = kstandin::ks_plug_device(driver_, pdo_, &device_);
    if (NT_SUCCESS(status)) {
      EXPECT_EQ(kstandin::ks_open_filter(device_, 0, &filter_), STATUS_SUCCESS);
    }
    return status;
  }
  template <class Model = sim::uvc_camera>
  std::shared_ptr<Model> plug_model(const std::string& id, const sim::sensor_options& options = {}) {
    const sim::camera_model& m = family_model(id);
    std::shared_ptr<sim::uvc_camera> camera = m.create_with ? m.create_with(options) : m.create();
    EXPECT_EQ(plug(camera), STATUS_SUCCESS) << id;
    return std::static_pointer_cast<Model>(camera);
  }

  void remove() {
    stop();
    if (filter_ != nullptr) {
      EXPECT_EQ(kstandin::ks_close_filter(filter_), STATUS_SUCCESS);
    }
    filter_ = nullptr;
    if (device_ != nullptr) {
      EXPECT_EQ(kstandin::ks_remove_device(device_), STATUS_SUCCESS);
    }
    device_ = nullptr;
    if (pdo_ != nullptr) bus_.unplug(pdo_);
    pdo_ = nullptr;
  }

  uvc_camera* driver_camera() {
    return static_cast<device_context*>(kstandin::ks_device_object(device_)->Context)->camera;
  }

  std::vector<offered> offered_formats() {
    std::vector<std::vector<uint8_t>> ranges;
    EXPECT_EQ(kstandin::ks_pin_data_ranges(filter_, kCapturePin, &ranges), STATUS_SUCCESS);
    std::vector<offered> list;
    for (auto& bytes : ranges) {
      const auto& r = *reinterpret_cast<const KS_DATARANGE_VIDEO*>(bytes.data());
      const KS_BITMAPINFOHEADER& h = r.VideoInfoHeader.bmiHeader;
      offered o;
      o.code = h.biCompression != 0 ? h.biCompression : h.biBitCount == 32 ? fourcc("RGB4") : fourcc("RGB3");
      o.width = h.biWidth;
      o.height = h.biHeight;
      o.bits = h.biBitCount;
      o.min_interval = r.ConfigCaps.MinFrameInterval;
      o.max_interval = r.ConfigCaps.MaxFrameInterval;
      o.min_size = r.ConfigCaps.MinOutputSize;
      o.max_size = r.ConfigCaps.MaxOutputSize;
      o.range = bytes;
      list.push_back(std::move(o));
    }
    return list;
  }

  // Creates the pin for `range` (the intersection's format, with its size
  // and interval replaced when given), runs it with `reads` buffers queued.
  void start(const offered& range, LONG width = 0, LONG height = 0, unsigned reads = 4, LONGLONG interval = 0) {
    std::vector<uint8_t> format;
    ASSERT_EQ(kstandin::ks_intersect(filter_, kCapturePin, range.range.data(), &format), STATUS_SUCCESS);
    auto* info = reinterpret_cast<KS_VIDEOINFOHEADER*>(format.data() + sizeof(KSDATAFORMAT));
    if (width != 0) {
      info->bmiHeader.biWidth = width;
      info->bmiHeader.biHeight = height;
      info->bmiHeader.biSizeImage = ULONG(width) * ULONG(height) * info->bmiHeader.biBitCount / 8;
      reinterpret_cast<KSDATAFORMAT*>(format.data())->SampleSize = info->bmiHeader.biSizeImage;
    }
    if (interval != 0) info->AvgTimePerFrame = interval;
    frame_bytes_ = info->bmiHeader.biSizeImage;
    ASSERT_EQ(kstandin::ks_create_pin(filter_, kCapturePin, format.data(), nullptr, &pin_), STATUS_SUCCESS);
    ASSERT_EQ(kstandin::ks_set_pin_state(pin_, KSSTATE_PAUSE), STATUS_SUCCESS);
    for (unsigned i = 0; i < reads; ++i) requeue();
    ASSERT_EQ(kstandin::ks_set_pin_state(pin_, KSSTATE_RUN), STATUS_SUCCESS);
  }

  void requeue() { ASSERT_EQ(kstandin::ks_queue_read(pin_, frame_bytes_, true), STATUS_PENDING); }

  // The next `count` frames delivered whole (each read queued again).
  std::vector<delivered> take(size_t count, unsigned timeout_ms = 20000) {
    std::vector<delivered> frames;
    while (frames.size() < count) {
      std::vector<kstandin::ks_completed_read> reads = kstandin::ks_take_completed(pin_, 1, timeout_ms);
      if (reads.empty()) {
        ADD_FAILURE() << "no frame within " << timeout_ms << " ms after " << frames.size();
        break;
      }
      for (auto& read : reads) {
        if (read.status == STATUS_SUCCESS) {
          read.data.resize(read.header.DataUsed);
          frames.push_back({std::move(read.data), read.frame_info});
        }
        requeue();
      }
    }
    return frames;
  }

  void stop() {
    if (pin_ != nullptr) {
      EXPECT_EQ(kstandin::ks_close_pin(pin_), STATUS_SUCCESS);
    }
    pin_ = nullptr;
  }

  // ---- properties ------------------------------------------------------------------
  // A 48-byte value record of camera_extension_set `id`: get (value, then
  // minimum and maximum in the answer) or set (value and flags).
  NTSTATUS get_extension(ULONG id, LONG* value, LONG* minimum = nullptr, LONG* maximum = nullptr) {
    uint8_t record[control_record::scalar_size] = {};
    const KSPROPERTY request = kstandin::ks_make_property(camera_extension_set, id, KSPROPERTY_TYPE_GET);
    memcpy(record, &request, sizeof(request));
    ULONG_PTR returned = 0;
    const NTSTATUS status = kstandin::ks_property(filter_, record, sizeof(record), record, sizeof(record), &returned);
    memcpy(value, record + control_record::value, 4);
    if (minimum != nullptr) memcpy(minimum, record + control_record::minimum, 4);
    if (maximum != nullptr) memcpy(maximum, record + control_record::maximum, 4);
    return status;
  }
  NTSTATUS set_extension(ULONG id, LONG value, ULONG flags = control_flag_manual) {
    uint8_t record[control_record::scalar_size] = {};
    const KSPROPERTY request = kstandin::ks_make_property(camera_extension_set, id, KSPROPERTY_TYPE_SET);
    memcpy(record, &request, sizeof(request));
    memcpy(record + control_record::value, &value, 4);
    memcpy(record + control_record::flags, &flags, 4);
    uint8_t data[sizeof(record)];
    memcpy(data, record, sizeof(record));
    ULONG_PTR returned = 0;
    return kstandin::ks_property(filter_, record, sizeof(record), data, sizeof(data), &returned);
  }
  // A driver property (driver_property_set) as a 32-bit value, or bytes.
  NTSTATUS get_driver_value(ULONG id, ULONG* value) {
    const KSPROPERTY request = kstandin::ks_make_property(driver_property_set, id, KSPROPERTY_TYPE_GET);
    ULONG_PTR returned = 0;
    return kstandin::ks_property(filter_, &request, sizeof(request), value, sizeof(*value), &returned);
  }
  NTSTATUS set_driver_bytes(ULONG id, const void* data, ULONG size) {
    const KSPROPERTY request = kstandin::ks_make_property(driver_property_set, id, KSPROPERTY_TYPE_SET);
    std::vector<uint8_t> buffer(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    ULONG_PTR returned = 0;
    return kstandin::ks_property(filter_, &request, sizeof(request), buffer.data(), size, &returned);
  }
  NTSTATUS set_driver_value(ULONG id, ULONG value) { return set_driver_bytes(id, &value, sizeof(value)); }

  // The device-information record's model and colour codes and firmware.
  void device_codes(uint32_t* model, uint32_t* colour, uint32_t* firmware) {
    std::vector<uint8_t> request(424), info(424);
    const KSPROPERTY header = kstandin::ks_make_property(driver_information_set, 1, KSPROPERTY_TYPE_GET);
    memcpy(request.data(), &header, sizeof(header));
    ULONG_PTR returned = 0;
    ASSERT_EQ(kstandin::ks_property(filter_, request.data(), 424, info.data(), 424, &returned), STATUS_SUCCESS);
    memcpy(model, info.data() + 272, 4);
    memcpy(colour, info.data() + 280, 4);
    memcpy(firmware, info.data() + 288, 4);
  }

  sim::usb_bus bus_;
  kstandin::ks_driver* driver_ = nullptr;
  kstandin::ks_device* device_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  std::shared_ptr<sim::uvc_camera> camera_;
  kstandin::ks_filter* filter_ = nullptr;
  kstandin::ks_pin* pin_ = nullptr;
  ULONG frame_bytes_ = 0;
};

}  // namespace famtest
