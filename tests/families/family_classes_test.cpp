// The camera families' classes and what sets each apart, through the whole
// driver with their simulated cameras: the product table, the codes each
// class reports, the formats it offers (the "YUY2" container, frame-rate
// tables, the sensor window's sizes), the window's properties, the 1080i
// look-up, the vendor requests and driver properties, driver-held controls.
#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "cameras/camera_0109.h"
#include "cameras/camera_8101.h"
#include "cameras/camera_8102.h"
#include "cameras/camera_8209.h"
#include "cameras/camera_82xx.h"
#include "cameras/camera_83xx.h"
#include "cameras/camera_84xx.h"
#include "cameras/camera_8800.h"
#include "cameras/camera_factory.h"
#include "families_support.h"
#include "sim/families/model_0109.h"
#include "sim/families/model_810x.h"
#include "sim/families/model_82xx.h"
#include "sim/families/model_8800.h"

namespace famtest {
namespace {

TEST(camera_factory, every_product_row_creates_its_class_and_others_fall_back) {
  const std::map<USHORT, camera_creation_function> rows = {
      {0x8101, create_camera_8101}, {0x8102, create_camera_8102}, {0x8201, create_camera_8201},
      {0x8202, create_camera_8201}, {0x8203, create_camera_8203}, {0x8204, create_camera_8204},
      {0x8207, create_camera_8207}, {0x8205, create_camera_8205}, {0x8206, create_camera_8206},
      {0x8208, create_camera_8208}, {0x8302, create_camera_83xx}, {0x8307, create_camera_83xx},
      {0x8308, create_camera_83xx}, {0x8401, create_camera_84xx}, {0x8402, create_camera_84xx},
      {0x8403, create_camera_84xx}, {0x8404, create_camera_84xx}, {0x8405, create_camera_84xx},
      {0x8406, create_camera_84xx}, {0x8411, create_camera_84xx}, {0x8412, create_camera_84xx},
      {0x8413, create_camera_84xx}, {0x8414, create_camera_84xx}, {0x8415, create_camera_84xx},
      {0x8416, create_camera_84xx}, {0x8426, create_camera_84xx}, {0x8436, create_camera_84xx},
      {0x8209, create_camera_8209}, {0x8800, create_camera_8800}, {0x0109, create_camera_0109}};
  ASSERT_EQ(rows.size(), camera_model_count);
  for (const camera_model_row& row : camera_model_table) {
    SCOPED_TRACE(row.product_id);
    // Every row names a class that exists.
    ASSERT_NE(row.create, nullptr);
    ASSERT_EQ(rows.count(USHORT(row.product_id)), 1u);
    EXPECT_EQ(row.create, rows.at(USHORT(row.product_id)));
    EXPECT_EQ(find_camera_creation(USHORT(row.product_id)), row.create);
  }
  EXPECT_EQ(find_camera_creation(0x8417), create_camera_84xx);
  EXPECT_EQ(find_camera_creation(0x8900), create_camera_84xx);
  EXPECT_EQ(find_camera_creation(0x8A00), create_uvc_camera);
  EXPECT_EQ(find_camera_creation(0x8300), create_uvc_camera);
  EXPECT_EQ(find_camera_creation(0x83FF), create_uvc_camera);
  EXPECT_EQ(find_camera_creation(0x8210), create_uvc_camera);
}

// Every simulated family camera starts as its class (the class's codes in
// the device-information record), reports its firmware revision and offers
// formats.
TEST_F(family_device, each_model_starts_as_its_class_with_its_codes) {
  struct expectation {
    const char* model;
    uint32_t model_code, colour_code, firmware;
  };
  const expectation expected[] = {
      {"8201-colour", 5, 4, 0x0103}, {"8202-mono", 5, 1, 0x0103},   {"8203-colour", 5, 4, 0x0205},
      {"8203-mono", 5, 1, 0x0205},   {"8204-mono", 5, 1, 0x0207},   {"8205-colour", 5, 4, 0x0301},
      {"8206-colour", 5, 4, 0x0302}, {"8207-colour", 5, 4, 0x0410}, {"8207-mono", 5, 1, 0x0410},
      {"8208-colour", 5, 4, 0x0420}, {"8208-mono", 5, 1, 0x0420},   {"8101-colour", 6, 4, 0x0112},
      {"8101-mono", 6, 1, 0x0112},   {"8102-colour", 6, 4, 0x0120}, {"8102-mono", 6, 1, 0x0120},
      {"8209-colour", 11, 4, 0},     {"8800-hd", 12, 0, 0},         {"0109-webcam", 13, 0, 0},
  };
  ASSERT_EQ(std::size(expected), sim::family_camera_models().size());
  for (const expectation& e : expected) {
    SCOPED_TRACE(e.model);
    plug_model(e.model);
    uint32_t model = 0, colour = 0, firmware = 0;
    device_codes(&model, &colour, &firmware);
    EXPECT_EQ(model, e.model_code);
    EXPECT_EQ(colour, e.colour_code);
    if (e.firmware != 0) {
      EXPECT_EQ(firmware, e.firmware);
    }
    EXPECT_FALSE(offered_formats().empty());
    remove();
  }
}

std::vector<std::tuple<std::string, LONG, LONG, WORD>> kinds(const std::vector<offered>& list) {
  std::vector<std::tuple<std::string, LONG, LONG, WORD>> out;
  for (const offered& o : list) out.emplace_back(fourcc_text(o.code), o.width, o.height, o.bits);
  return out;
}

// "YUY2" formats are raw 8-bit frames of twice the width; the frame-rate
// table of the width gives the intervals, and a width without one (1280 on
// the 0x8203) takes the descriptor's.
TEST_F(family_device, yuy2_formats_are_raw_frames_of_twice_the_width_at_the_table_rates) {
  plug_model("8203-colour");
  const std::vector<offered> formats = offered_formats();
  using k = std::tuple<std::string, LONG, LONG, WORD>;
  std::vector<k> expected;
  for (auto size : {std::pair<LONG, LONG>{2048, 1536}, {1024, 768}, {1280, 480}}) {
    for (auto kind : {std::pair<const char*, WORD>{"RGB4", 32}, {"Y800", 8}, {"BY8 ", 8}, {"RGB3", 24}}) {
      expected.emplace_back(kind.first, size.first, size.second, kind.second);
    }
  }
  EXPECT_EQ(kinds(formats), expected);
  // 2048: the table's 1000000 to 2666664; 1024: 281690 to 1000000; 1280:
  // the descriptor's 333333 to 1333333.
  EXPECT_EQ(formats[0].min_interval, 1000000);
  EXPECT_EQ(formats[0].max_interval, 2666664);
  EXPECT_EQ(formats[4].min_interval, 281690);
  EXPECT_EQ(formats[4].max_interval, 1000000);
  EXPECT_EQ(formats[8].min_interval, 333333);
  EXPECT_EQ(formats[8].max_interval, 1333333);
  auto* camera = static_cast<camera_82xx*>(driver_camera());
  frame_rate_entry table[camera_82xx::max_rate_entries];
  ULONG count = camera_82xx::max_rate_entries;
  EXPECT_EQ(camera->get_frame_rate_table(1280, table, &count), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(count, 0u);
  count = camera_82xx::max_rate_entries;
  EXPECT_EQ(camera->get_frame_rate_table(1024, table, &count), STATUS_SUCCESS);
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(camera->pattern(), img::bayer_grbg);
  remove();

  // The 0x8204 leaves out its second uncompressed format; a mono camera
  // offers "Y800" and RGB24.
  plug_model("8204-mono");
  EXPECT_EQ(kinds(offered_formats()), (std::vector<k>{{"Y800", 1280, 960, 8}, {"RGB3", 1280, 960, 24}}));
}

// A 2592 x 1944 sensor with a format mask offers, per format, the ranged
// entry and eight standard sizes; the window's properties.
TEST_F(family_device, the_sensor_window_offers_its_sizes_and_serves_its_properties) {
  auto camera = plug_model<sim::model_82xx>("8207-mono");
  const std::vector<offered> formats = offered_formats();
  const std::vector<std::pair<LONG, LONG>> sizes = {{2592, 1944}, {2592, 1944}, {2048, 1536}, {1920, 1080},
                                                    {1600, 1200}, {1296, 972},  {1280, 960},  {648, 484},
                                                    {640, 480}};
  ASSERT_EQ(formats.size(), 2 * sizes.size());
  for (size_t i = 0; i < formats.size(); ++i) {
    EXPECT_EQ(formats[i].code, i % 2 == 0 ? fourcc("Y800") : fourcc("RGB3")) << i;
    EXPECT_EQ(std::make_pair(formats[i].width, formats[i].height), sizes[i / 2]) << i;
    EXPECT_LT(formats[i].min_interval, formats[i].max_interval);
  }
  // The ranged entry: from 96 lines (the register's 48 raised) to the sensor.
  EXPECT_EQ(formats[0].min_size.cx, 96);
  EXPECT_EQ(formats[0].min_size.cy, 96);
  EXPECT_EQ(formats[0].max_size.cx, 2592);

  // 640 x 480 asked at 15 fps, slower than the minimum clock allows for that
  // window (28.14 fps): the clock is set to its minimum, and the frames
  // follow at that clock's period, not at the clock the commit set for the
  // whole sensor. The camera's presentation times show it.
  const offered& vga = formats[2 * (sizes.size() - 1)];
  start(vga, 0, 0, 4, 666666);
  take(3);
  stop();
  const uint32_t period = camera->current_period();
  EXPECT_EQ(period, 355333u);  // (180 + 640) x (40 + 480) pixels at 12 MHz
  const double ticks = double(period) * camera->committed().dwClockFrequency / 1e7;
  const std::vector<sim::sent_frame> sent = camera->sent_frames();
  ASSERT_GE(sent.size(), 3u);
  for (size_t i = 1; i < sent.size(); ++i) EXPECT_NEAR(double(sent[i].pts - sent[i - 1].pts), ticks, 1.0) << i;

  LONG value = 0, minimum = 0, maximum = 0;
  EXPECT_EQ(get_extension(211, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(set_extension(118, 16), STATUS_INVALID_PARAMETER);  // while centring
  EXPECT_EQ(set_extension(211, 0), STATUS_SUCCESS);
  EXPECT_EQ(set_extension(118, 13), STATUS_SUCCESS);
  EXPECT_EQ(get_extension(118, &value, &minimum, &maximum), STATUS_SUCCESS);
  EXPECT_EQ(value, 8);
  EXPECT_EQ(maximum, 2592);
  EXPECT_EQ(set_extension(212, 3), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(set_extension(212, 2, control_flag_auto), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(set_extension(212, 2), STATUS_SUCCESS);
  EXPECT_EQ(set_extension(237, 2), STATUS_INVALID_PARAMETER);  // not with binning
  EXPECT_EQ(get_extension(212, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 2);
  EXPECT_EQ(camera->current_readout().bin_x, 2u);
}

// The 0x8800 looks a 1080-line format up as its 540-line field format when
// the source is interlaced, or with "force_1080i_for_1080_formats" unless
// the source says it is progressive.
TEST_F(family_device, the_capture_device_weaves_1080_lines_as_its_mode_says) {
  struct situation {
    sim::video_source source;
    bool force;
    bool remove_mode;
    uint16_t committed_height;
  };
  const situation situations[] = {
      {sim::video_source::i1080, false, false, 540},
      {sim::video_source::p1080, true, false, 1080},
      {sim::video_source::p720, false, false, 1080},
      {sim::video_source::p1080, true, true, 540},  // no mode: the option decides
  };
  for (const situation& s : situations) {
    SCOPED_TRACE(int(s.source) * 10 + s.force + 100 * s.remove_mode);
    kstandin::registry_reset();
    if (s.force) {
      kstandin::registry_set_dword("\\Registry\\Machine\\Software\\Talvexa\\usb_driver",
                                     "force_1080i_for_1080_formats", 1);
    }
    auto camera = sim::model_8800::create(s.source);
    if (s.remove_mode) camera->remove_control(3, camera_8800::mode_selector);
    ASSERT_EQ(plug(camera), STATUS_SUCCESS);
    const std::vector<offered> formats = offered_formats();
    auto full = std::find_if(formats.begin(), formats.end(), [](const offered& o) { return o.height == 1080; });
    ASSERT_NE(full, formats.end());
    start(*full, 0, 0, 2);
    const std::vector<delivered> frames = take(2);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].data.size(), 1920u * 1080 * 2);
    const sim::uvc_streaming_control committed = camera->committed();
    const auto& format = camera->formats()[committed.bFormatIndex - 1];
    EXPECT_EQ(format.frames[committed.bFrameIndex - 1].height, s.committed_height);
    EXPECT_EQ(static_cast<camera_8800*>(driver_camera())->weaving(), s.committed_height == 540);
    remove();
  }

  // Two pairs of fields and no client buffer: each pair is one frame lost
  // for want of a buffer, and its first field goes back with it rather than
  // being dropped again as replaced when the next pair begins. (Four fields
  // fit the worker's queue and the pool, however late the worker runs.)
  kstandin::registry_reset();
  auto camera = sim::model_8800::create(sim::video_source::i1080);
  sim::stream_options options;
  options.frame_limit = 4;
  camera->set_stream_options(options);
  ASSERT_EQ(plug(camera), STATUS_SUCCESS);
  const std::vector<offered> formats = offered_formats();
  auto full = std::find_if(formats.begin(), formats.end(), [](const offered& o) { return o.height == 1080; });
  ASSERT_NE(full, formats.end());
  start(*full, 0, 0, 0);
  auto* device = static_cast<camera_8800*>(driver_camera());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (device->q_drops() + device->p_drops() < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(device->q_drops(), 2u);
  EXPECT_EQ(device->p_drops(), 0u);
  EXPECT_EQ(device->replaced_fields(), 0u);
}

// Vendor requests and driver properties of the 0x8101 family and the
// 0x82xx family's file name, reader flag and focus register.
TEST_F(family_device, family_driver_properties_reach_the_device) {
  auto camera = plug_model<sim::model_810x>("8101-colour");
  ULONG value = 0;
  EXPECT_EQ(set_driver_value(family_8101_property::vendor_command, 7), STATUS_SUCCESS);
  EXPECT_EQ(camera->vendor_commands(), 1u);
  EXPECT_EQ(set_driver_value(family_8101_property::device_value, 0x12345678), STATUS_SUCCESS);
  EXPECT_EQ(camera->device_value(), 0x12345678u);
  EXPECT_EQ(get_driver_value(family_8101_property::hardware_value, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 0x0003u);
  EXPECT_EQ(get_driver_value(driver_property::firmware_revision, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 0x0112u);
  EXPECT_NE(get_driver_value(family_8101_property::device_value, &value), STATUS_SUCCESS);
  remove();

  plug_model("8205-colour");
  const wchar_t name[] = L"C:\\defects\\camera.dpx";
  EXPECT_EQ(set_driver_bytes(family_82xx_property::onload_filename, name, sizeof(name)),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(set_driver_bytes(family_82xx_property::onload_filename, name, 7), STATUS_INVALID_PARAMETER);
  std::vector<uint8_t> too_long(65522, 'a');
  EXPECT_EQ(set_driver_bytes(family_82xx_property::onload_filename, too_long.data(), ULONG(too_long.size())),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(set_driver_bytes(family_82xx_property::onload_filename, L"", 2), STATUS_SUCCESS);
  EXPECT_EQ(get_driver_value(family_82xx_property::interrupt_reader, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 0u);  // only while streaming
  EXPECT_EQ(get_driver_value(family_property::bayer_pattern, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, ULONG(img::bayer_rggb));
  EXPECT_EQ(get_driver_value(family_property::empia_pattern_fix, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 1u);
  EXPECT_NE(get_driver_value(family_property::focus_register, &value), STATUS_SUCCESS);
}

// The 0x0109 holds the values it set for the controls its camera does not
// read back, and asks for 1020-byte packets for MJPEG.
TEST_F(family_device, the_webcam_holds_its_controls_and_streams_mjpeg_in_1020_byte_packets) {
  auto camera = plug_model<sim::model_0109>("0109-webcam");
  KSPROPERTY_VIDEOPROCAMP_S s = {};
  s.Property = kstandin::ks_make_property(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS,
                                          KSPROPERTY_TYPE_SET);
  s.Value = 40;
  s.Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
  ULONG_PTR returned = 0;
  ASSERT_EQ(kstandin::ks_property(filter_, &s, sizeof(s), &s, sizeof(s), &returned), STATUS_SUCCESS);
  KSPROPERTY_VIDEOPROCAMP_S g = {};
  g.Property = kstandin::ks_make_property(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS,
                                          KSPROPERTY_TYPE_GET);
  ASSERT_EQ(kstandin::ks_property(filter_, &g, sizeof(g), &g, sizeof(g), &returned), STATUS_SUCCESS);
  EXPECT_EQ(g.Value, 40);
  // The camera applied it, though it answers its default to a read.
  ASSERT_FALSE(camera->applied(2, 2).empty());
  EXPECT_EQ(camera->applied(2, 2)[0], 40);
  EXPECT_NE(camera->control(2, 2)->def, camera->applied(2, 2));

  const std::vector<offered> formats = offered_formats();
  auto mjpeg = std::find_if(formats.begin(), formats.end(), [](const offered& o) { return o.code == fourcc("MJPG"); });
  ASSERT_NE(mjpeg, formats.end());
  start(*mjpeg, 0, 0, 2);
  EXPECT_GE(take(2).size(), 2u);
  // Settings 1 to 5 carry 192, 384, 640, 1020 and 3 x 1020 bytes: the
  // committed payload would take the last.
  EXPECT_EQ(camera->current_alternate_setting(1), 4);
}

}  // namespace
}  // namespace famtest
