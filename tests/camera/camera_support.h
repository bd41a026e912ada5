// Shared pieces of the camera tests: a simulated camera on a bus, a camera
// object on its physical device object with a view of its protected state,
// the registry places the camera reads its options from, and the video
// format a capture pin would ask for.
#pragma once

#include <gtest/gtest.h>

#include <kstandin/testing.h>
#include <kstandin/testing_io.h>

#include <memory>
#include <string>

#include "../stream/assembly_support.h"
#include "kernel/pool_tags.h"
#include "sim/usb_bus.h"
#include "sim/uvc_camera.h"
#include "uvc/uvc_camera.h"

namespace camtest {

// A camera whose protected state the tests read.
class camera_view : public uvc_camera {
 public:
  using uvc_camera::uvc_camera;
  bool pooled() const { return pooled_; }
  bool chunked() const { return chunked_; }
  const img::img_type& raw_type() const { return raw_type_; }
  const img::img_type& output_type() const { return output_type_; }
  UCHAR flip() const { return flip_; }
  stream_reader* reader() const { return data_request_pipe_; }
  usb_device* device() const { return usb(); }
  const char* overlay_line(int line) const { return overlay_text_[line]; }
  bool option_show_overlay() const { return show_overlay_ != 0; }
  bool option_force_clear() const { return force_clear_buffers_ != 0; }
  bool option_drop_incomplete() const { return drop_incomplete_ != 0; }
  const raw_format_list& raw_formats() const { return raw_formats_; }
  const format_entry& entry(ULONG i) const { return format_entries_[i]; }
  using uvc_camera::start_interrupt_reader;
  using uvc_camera::stop_interrupt_reader;
  void set_worker(bool on) { worker_flag_ = on; }  // as a family sets it
  LONG in_worker() { return InterlockedCompareExchange(&in_worker_, 0, 0); }

  // Family-like changes of two slots, for the failure paths of open.
  ULONG iso_payload = 0;                    // 0: the default slot
  NTSTATUS stream_start_status = STATUS_SUCCESS;
  ULONG get_iso_payload_size(const UCHAR* committed, ULONG raw_length) override {
    return iso_payload != 0 ? iso_payload : uvc_camera::get_iso_payload_size(committed, raw_length);
  }
  NTSTATUS on_stream_start() override {
    const NTSTATUS status = uvc_camera::on_stream_start();
    return NT_SUCCESS(status) ? stream_start_status : status;
  }
  // When set, the first entry-list allocation after the entries are built
  // (the list the registry's constraints keep) fails.
  bool fail_kept_entries = false;
  NTSTATUS build_format_entries(const raw_format_list& records,
                                format_entry_list* entries) override {
    const NTSTATUS status = uvc_camera::build_format_entries(records, entries);
    if (fail_kept_entries) kstandin::fail_next_allocations(1, pool_tag::objects);
    return status;
  }
};

inline const char* settings_key() { return "\\Registry\\Machine\\Software\\Talvexa\\usb_driver"; }

inline std::string fourcc_text(ULONG fourcc) {
  std::string s(4, ' ');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(fourcc >> (8 * i));
  return s;
}

// What a capture pin hands to open_stream.
inline KS_VIDEOINFOHEADER video_format(ULONG fourcc, LONG width, LONG height, WORD bits,
                                       LONGLONG interval = 333333) {
  KS_VIDEOINFOHEADER f = {};
  f.AvgTimePerFrame = interval;
  f.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
  f.bmiHeader.biWidth = width;
  f.bmiHeader.biHeight = height;
  f.bmiHeader.biPlanes = 1;
  f.bmiHeader.biBitCount = bits;
  f.bmiHeader.biCompression = fourcc;
  f.bmiHeader.biSizeImage = ULONG(width) * ULONG(height < 0 ? -height : height) * bits / 8;
  return f;
}

// A simulated camera on a bus and a camera object on it. The registry is
// emptied before and after each test; the camera is destroyed before the
// device is unplugged.
class camera_fixture : public ::testing::Test {
 protected:
  void SetUp() override { kstandin::registry_reset(); }
  void TearDown() override {
    destroy();
    if (pdo != nullptr) bus.unplug(pdo);
    pdo = nullptr;
    kstandin::registry_reset();
    EXPECT_EQ(sink().outstanding(), 0);
    EXPECT_EQ(sink().bad_returns(), 0);
  }

  // Client buffers of `bytes` each (a frame fills its buffer exactly), for
  // the camera created next.
  void use_sink(ULONG bytes, size_t count = 4) {
    destroy();
    sink_ = std::make_unique<tvtest::test_sink>(bytes, count);
  }
  tvtest::test_sink& sink() { return *sink_; }

  PDEVICE_OBJECT plug(std::shared_ptr<sim::uvc_camera> device) {
    sim_camera = std::move(device);
    pdo = bus.plug(sim_camera);
    return pdo;
  }
  PDEVICE_OBJECT plug(const sim::uvc_camera_desc& desc) { return plug(sim::uvc_camera::create(desc)); }

  // The device's own option values ("DriverData" of its device key).
  std::string device_values() const { return kstandin::device_key_path(pdo) + "\\DriverData"; }

  // Creates the camera (after any registry values the test sets).
  camera_view& create() {
    destroy();
    cam = new (NonPagedPoolNx, pool_tag::objects) camera_view(pdo, sink_.get());
    EXPECT_NE(cam, nullptr);
    return *cam;
  }
  camera_view& create_and_init() {
    create();
    EXPECT_EQ(cam->init(), STATUS_SUCCESS);
    return *cam;
  }
  void destroy() {
    if (cam != nullptr) {
      cam->close_stream();
      delete cam;
    }
    cam = nullptr;
  }

  sim::usb_bus bus;
  std::shared_ptr<sim::uvc_camera> sim_camera;
  PDEVICE_OBJECT pdo = nullptr;
  std::unique_ptr<tvtest::test_sink> sink_ = std::make_unique<tvtest::test_sink>(640 * 480, 4);
  camera_view* cam = nullptr;
};

}  // namespace camtest
