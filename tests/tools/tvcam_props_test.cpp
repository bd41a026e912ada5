// tvcam's property commands through the whole stack: the driver's filter
// properties of simulated cameras (the real cameras' descriptors among
// them), values kept in the registry file between runs, settings that show
// in captured frames, and the refusals a user meets.
#include <gtest/gtest.h>

#include <dirent.h>
#include <kstandin/testing.h>

#include <map>
#include <set>
#include <sstream>

#include "../../tools/tvcam/property_commands.h"
#include "sim/uvc_camera.h"
#include "tvcam_support.h"

namespace {

using tvcam_test::contains;
using tvcam_test::run;
using tvcam_test::run_result;
namespace uvc = sim::uvc;

// One row of 'tvcam props' by its key ("vpa:0"): value, min, max, step, default.
std::map<std::string, std::vector<std::string>> props_table(const std::string& out) {
  std::map<std::string, std::vector<std::string>> rows;
  std::istringstream lines(out);
  std::string line;
  std::getline(lines, line);  // title
  std::getline(lines, line);  // header
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::vector<std::string> f;
    for (std::string w; fields >> w;) f.push_back(w);
    if (f.size() == 10) rows[f[9]] = {f[1], f[2], f[3], f[4], f[5]};
  }
  return rows;
}

// A UVC value as the driver reads it: 1 byte unsigned, 2 bytes signed, else 32 bits.
std::string number(const std::vector<uint8_t>& b, int shift = 0, bool half = false) {
  int64_t v = b.size() == 1 ? b[0] : b.size() == 2 ? (int16_t)(b[0] | b[1] << 8)
                                                   : (int32_t)(b[0] | b[1] << 8 | b[2] << 16 | (uint32_t)b[3] << 24);
  if (half) v = (uint32_t)v >> shift & 0xFFFF;
  return std::to_string(v);
}

// The standard properties and the camera controls behind them: value
// control and automatic controls as (entity subtype, selector).
struct binding {
  const char* key;
  uint8_t subtype;
  uint8_t selector;
  std::vector<uint8_t> automatic;
};
const binding kBindings[] = {
    {"vpa:0", uvc::PROCESSING_UNIT, uvc::PU_BRIGHTNESS, {}},
    {"vpa:1", uvc::PROCESSING_UNIT, uvc::PU_CONTRAST, {}},
    {"vpa:2", uvc::PROCESSING_UNIT, uvc::PU_HUE, {uvc::PU_HUE_AUTO}},
    {"vpa:3", uvc::PROCESSING_UNIT, uvc::PU_SATURATION, {}},
    {"vpa:4", uvc::PROCESSING_UNIT, uvc::PU_SHARPNESS, {}},
    {"vpa:5", uvc::PROCESSING_UNIT, uvc::PU_GAMMA, {}},
    {"vpa:7", uvc::PROCESSING_UNIT, uvc::PU_WHITE_BALANCE_TEMPERATURE,
     {uvc::PU_WHITE_BALANCE_TEMPERATURE_AUTO, uvc::PU_WHITE_BALANCE_COMPONENT_AUTO}},
    {"vpa:8", uvc::PROCESSING_UNIT, uvc::PU_BACKLIGHT_COMPENSATION, {}},
    {"vpa:9", uvc::PROCESSING_UNIT, uvc::PU_GAIN, {}},
    {"cc:2", uvc::INPUT_TERMINAL, uvc::CT_ROLL_ABSOLUTE, {}},
    {"cc:3", uvc::INPUT_TERMINAL, uvc::CT_ZOOM_ABSOLUTE, {}},
    {"cc:4", uvc::INPUT_TERMINAL, uvc::CT_EXPOSURE_TIME_ABSOLUTE, {}},  // in log2 seconds: present only
    {"cc:5", uvc::INPUT_TERMINAL, uvc::CT_IRIS_ABSOLUTE, {}},
    {"cc:6", uvc::INPUT_TERMINAL, uvc::CT_FOCUS_ABSOLUTE, {uvc::CT_FOCUS_AUTO}},
    {"ext:101", uvc::PROCESSING_UNIT, uvc::PU_WHITE_BALANCE_COMPONENT, {}},  // blue: low 16 bits
    {"ext:102", uvc::PROCESSING_UNIT, uvc::PU_WHITE_BALANCE_COMPONENT, {}},  // red: high 16 bits
    {"ext:109", uvc::INPUT_TERMINAL, uvc::CT_EXPOSURE_TIME_ABSOLUTE, {}},    // 100 us, as the camera has it
};

std::vector<std::string> real_cameras() {
  std::vector<std::string> names;
  if (DIR* d = opendir(tvtest::uvc_descriptor_dir().c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string f = e->d_name;
      const std::string suffix = ".device.bin";
      if (f.size() > suffix.size() && f.compare(f.size() - suffix.size(), suffix.size(), suffix) == 0) {
        names.push_back(f.substr(0, f.size() - suffix.size()));
      }
    }
    closedir(d);
  }
  return names;
}

TEST(TvcamProps, EachRealCameraListsTheStandardControlsItsDescriptorsDeclareWithTheSimulatedRanges) {
  std::unique_ptr<tvcam::camera_backend> backend = tvcam::make_driver_backend();
  const std::vector<std::string> cameras = real_cameras();
  ASSERT_GE(cameras.size(), 6u);
  for (const std::string& name : cameras) {
    SCOPED_TRACE(name);
    auto camera = sim::uvc_camera::from_files(tvtest::uvc_descriptor_dir(), name);
    ASSERT_NE(camera, nullptr);
    const run_result r = run(backend.get(), {"props", "--descriptors", tvtest::uvc_descriptor_dir() + "/" + name});
    const std::vector<uint8_t>& config = camera->configuration_descriptor();
    if (config.size() < (size_t)(config[2] | config[3] << 8)) {
      // A configuration shorter than its wTotalLength: the driver refuses the camera.
      EXPECT_EQ(r.status, 1);
      EXPECT_TRUE(contains(r.err, "did not start")) << r.err;
      kstandin::take_violations();  // the driver's assertion on the refused configuration
      continue;
    }
    ASSERT_EQ(r.status, 0) << r.err;
    const auto rows = props_table(r.out);

    uint8_t unit[7] = {};
    for (const auto& e : camera->entities()) {
      if (e.subtype == uvc::PROCESSING_UNIT && unit[e.subtype] == 0) unit[e.subtype] = e.id;
      if (e.subtype == uvc::INPUT_TERMINAL && e.terminal_type == 0x0201 && unit[e.subtype] == 0) unit[e.subtype] = e.id;
    }
    std::set<std::string> expected;
    for (const binding& b : kBindings) {
      const auto value = camera->control(unit[b.subtype], b.selector);
      bool present = value.has_value();
      for (uint8_t a : b.automatic) present = present || camera->control(unit[b.subtype], a).has_value();
      if (!present) continue;
      expected.insert(b.key);
      SCOPED_TRACE(b.key);
      ASSERT_EQ(rows.count(b.key), 1u) << r.out;
      const std::vector<std::string>& row = rows.at(b.key);
      if (std::string(b.key) == "cc:4" || !value) continue;
      const bool half = std::string(b.key) == "ext:101" || std::string(b.key) == "ext:102";
      const int shift = std::string(b.key) == "ext:102" ? 16 : 0;
      EXPECT_EQ(row[1], number(value->min, shift, half));
      EXPECT_EQ(row[2], number(value->max, shift, half));
      EXPECT_EQ(row[4], number(value->def, shift, half));
      EXPECT_EQ(row[0], number(value->cur, shift, half));
      if (!half && std::string(b.key) != "ext:109") {
        EXPECT_EQ(row[3], number(value->res));  // the step
      }
    }
    std::set<std::string> listed;
    for (const auto& row : rows) {
      if (row.first.rfind("driver:", 0) != 0) listed.insert(row.first);
    }
    EXPECT_EQ(listed, expected) << r.out;  // no others
  }
}

TEST(TvcamProps, SetValuesPersistInTheRegistryFileAndShowInCapturedFrames) {
  std::unique_ptr<tvcam::camera_backend> backend = tvcam::make_driver_backend();
  tvcam_test::temp_dir tmp;
  const std::string hive = tmp.path() + "/r.hive";
  const run_result set = run(backend.get(), {"set", "brightness=200", "--registry", hive});
  ASSERT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(set.out, "brightness=200\n");
  const run_result get = run(backend.get(), {"get", "brightness", "--registry", hive});
  ASSERT_EQ(get.status, 0) << get.err;
  EXPECT_EQ(get.out, "200\n");
  EXPECT_EQ(run(backend.get(), {"get", "brightness"}).out, "128\n");  // a fresh camera without the file

  // Leaving an automatic mode takes the value too; auto goes back.
  const run_result modes = run(backend.get(), {"set", "white_balance=5000", "exposure=auto", "vpa:7=auto"});
  ASSERT_EQ(modes.status, 0) << modes.err;
  EXPECT_TRUE(contains(modes.out, "white_balance=5000\nexposure=")) << modes.out;
  EXPECT_TRUE(contains(modes.out, "white_balance=5000 (auto)\n")) << modes.out;

  // The lowest and the highest brightness in Y800 frames (the first 4 bytes carry the frame number).
  double mean[2] = {};
  for (int i = 0; i < 2; ++i) {
    const std::string dir = tmp.path() + (i == 0 ? "/min" : "/max");
    const run_result r = run(backend.get(), {"capture", "--format", "Y800", "--size", "320x240", "--frames", "1",
                                             "--raw", "--out", dir, "--set", i == 0 ? "brightness=min" : "brightness=max"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string frame = tvcam_test::read_file(dir + "/frame_00000.raw");
    ASSERT_EQ(frame.size(), 320u * 240);
    for (size_t p = 4; p < frame.size(); ++p) mean[i] += (uint8_t)frame[p];
    mean[i] /= frame.size() - 4;
  }
  EXPECT_GT(mean[1] - mean[0], 150) << mean[0] << " " << mean[1];
}

TEST(TvcamProps, RefusalsNameTheProblemAndExitNonZero) {
  std::unique_ptr<tvcam::camera_backend> backend = tvcam::make_driver_backend();
  const std::string c270 = tvtest::uvc_descriptor_dir() + "/logitech_c270";
  const struct {
    std::vector<std::string> args;
    int status;
    const char* message;
  } cases[] = {
      {{"get", "sharpnes"}, 2, "unknown property 'sharpnes'"},
      {{"set", "brightness=256"}, 2, "256 is out of range for brightness: 0..255"},
      {{"set", "hue=2100"}, 2, "2100 is out of range for hue: -2000..2000 in steps of 100"},
      {{"set", "firmware_revision=1"}, 2, "firmware_revision is read-only"},
      {{"set", "brightness=auto"}, 2, "brightness has no automatic mode"},
      {{"set", "zoom=200", "--descriptors", c270}, 2, "the camera has no zoom control"},
      {{"get", "ext:999"}, 2, "the camera has no ext:999 control"},
      {{"get", "strobe"}, 2, "strobe does not hold a single value"},
      {{"capture", "--set", "focus", "--frames", "1"}, 2, "bad setting 'focus', expected NAME=VALUE"},
      {{"set", "gain=ten"}, 2, "bad value 'ten'"},
  };
  for (const auto& c : cases) {
    const run_result r = run(backend.get(), c.args);
    EXPECT_EQ(r.status, c.status) << c.args[1];
    EXPECT_TRUE(contains(r.err, c.message)) << r.err;
  }
}

TEST(TvcamProps, NamesAndSettingsParseAsDocumented) {
  tvcam::property_setting s;
  std::string error;
  ASSERT_TRUE(tvcam::parse_setting("ext:0x100004=1", &s, &error)) << error;
  EXPECT_EQ(tvcam::property_name(s.key), "flip_x");
  ASSERT_TRUE(tvcam::parse_setting("{C6E13360-30AC-11D0-A18C-00A0C9118956}:0=-7", &s, &error)) << error;
  EXPECT_EQ(tvcam::property_name(s.key), "brightness");
  EXPECT_EQ(s.value, -7);
  ASSERT_TRUE(tvcam::parse_setting("Exposure=MAX", &s, &error)) << error;
  EXPECT_EQ(tvcam::property_name(s.key), "exposure");
  EXPECT_EQ(s.what, tvcam::property_setting::kind::maximum);
  // The features' registers by name, the unnamed float ones as reg:ID.
  ASSERT_TRUE(tvcam::parse_setting("reg:2=3200", &s, &error)) << error;
  EXPECT_EQ(tvcam::property_name(s.key), "wb_temperature");
  ASSERT_TRUE(tvcam::parse_setting("reg:0x24=1", &s, &error)) << error;
  EXPECT_EQ(tvcam::property_name(s.key), "reg:36");
  for (const char* bad : {"=1", "gain=", "vpa:x=1", "nope:1=1", "gain=4294967296", "gain=-2147483649"}) {
    EXPECT_FALSE(tvcam::parse_setting(bad, &s, &error)) << bad;
  }
}

}  // namespace
