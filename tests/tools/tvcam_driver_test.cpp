// tvcam through the whole stack: the driver loaded into the kernel
// stand-in with a simulated camera, the capture pin run by the tool. The
// shared test main fails the test if the session leaves pool blocks or
// verifier reports behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "sim/families/family_models.h"
#include "tvcam_support.h"

namespace {

using tvcam_test::contains;
using tvcam_test::read_file;
using tvcam_test::run;
using tvcam_test::run_result;

TEST(TvcamDriver, CapturesFivePngFramesWithAJsonSummary) {
  std::unique_ptr<tvcam::camera_backend> backend = tvcam::make_driver_backend();
  tvcam_test::temp_dir tmp;
  const run_result r = run(backend.get(), {"capture", "--camera", "plain-bulk", "--format", "YUY2", "--size",
                                           "320x240", "--fps", "15", "--frames", "5", "--out", tmp.path(), "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  const nlohmann::json j = tvcam_test::parse_json(r.out);
  tvcam_test::expect_members(j, {{"device", "Talvexa Plain UVC Bulk Camera"}, {"complete", true}});
  tvcam_test::expect_members(j["format"], {{"interval", 666666}, {"fps", 15.0}});  // as the camera committed it
  tvcam_test::expect_members(j["summary"], {{"delivered", 5}, {"dropped", 0}, {"discontinuities", 0},
                                            {"first_picture", 0}, {"last_picture", 4}, {"picture_gaps", 0}});
  tvcam_test::expect_members(j["frames"][4], {{"data_used", 153600}, {"picture_number", 4}});
  for (int i = 0; i < 5; ++i) {  // 8-bit RGB pictures of the frame size
    tvcam::converted_image png;
    int colour_type = -1;
    ASSERT_TRUE(tvcam_test::read_png(tmp.path() + "/frame_0000" + std::to_string(i) + ".png", &png, &colour_type));
    EXPECT_EQ(png.width, 320);
    EXPECT_EQ(png.height, 240);
    EXPECT_EQ(colour_type, 2);
  }
}

// Every 640x480 frame loses a payload (with seed 7 the first intact one
// would be frame 321, 10 s in): nothing is delivered, and the driver's count
// of what it threw away reaches the user with the reason.
TEST(TvcamDriver, ACaptureThatLosesEveryFrameReportsTheDriversDrops) {
  std::unique_ptr<tvcam::camera_backend> backend = tvcam::make_driver_backend();
  tvcam_test::temp_dir tmp;
  const run_result r = run(backend.get(), {"capture", "--faults", "drop=0.05", "--seed", "7", "--out", tmp.path(),
                                           "--json"});
  EXPECT_EQ(r.status, 1);
  const nlohmann::json j = tvcam_test::parse_json(r.out);
  EXPECT_EQ(j["summary"]["delivered"], 0) << r.out;
  EXPECT_GT(j["summary"]["dropped"], 0);
  EXPECT_TRUE(contains(j["error"], "frames were dropped as incomplete, none delivered"));
  EXPECT_GT(j["summary"]["faults_sent"]["dropped payload frames"], 0);
}

TEST(TvcamDriver, FormatsRatesStatusesAndARegistryKeptBetweenRuns) {
  std::unique_ptr<tvcam::camera_backend> backend = tvcam::make_driver_backend();
  tvcam_test::temp_dir tmp;
  const std::string hive = tmp.path() + "/hive.txt";
  const run_result first = run(backend.get(), {"formats", "--registry", hive});
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_TRUE(contains(first.out, "Talvexa Plain UVC Camera (plain): 7 formats"));
  EXPECT_TRUE(contains(first.out, "  2  YUY2   640x480       16      614400  30, 15, 5 (default 30)\n"));
  EXPECT_TRUE(contains(read_file(hive), "\"VendorName\""));
  ASSERT_EQ(run(backend.get(), {"formats", "--registry", hive}).status, 0);  // loads what the first run saved

  const run_result c270 = run(backend.get(), {"formats", "--json", "--descriptors",
                                              tvtest::uvc_descriptor_dir() + "/logitech_c270"});
  ASSERT_EQ(c270.status, 0) << c270.err;
  bool yuy2_640 = false;
  const nlohmann::json formats = tvcam_test::parse_json(c270.out)["formats"];
  for (const nlohmann::json& f : formats) {
    yuy2_640 = yuy2_640 || (f["format"] == "YUY2" && f["fourcc"] == "0x32595559" && f["width"] == 640);
    EXPECT_EQ(f["fps_range"], false);
  }
  EXPECT_TRUE(yuy2_640) << c270.out;

  // A rate the driver does not list, and a start the camera stalls.
  const run_result fps = run(backend.get(), {"capture", "--format", "YUY2", "--size", "320x240", "--fps", "10",
                                             "--out", tmp.path()});
  EXPECT_EQ(fps.status, 2);
  EXPECT_TRUE(contains(fps.err, "10 fps is not offered; offered: YUY2 320x240: 30, 15, 5\n")) << fps.err;
  const run_result stall = run(backend.get(), {"capture", "--faults", "stall=1", "--out", tmp.path()});
  EXPECT_EQ(stall.status, 1);
  EXPECT_TRUE(contains(stall.err, "the pin did not reach PAUSE: STATUS_")) << stall.err;
  EXPECT_TRUE(contains(stall.err, "): control request 0x")) << stall.err;

  ASSERT_TRUE(tvcam_test::write_file(hive, "not a hive\n"));
  const run_result bad = run(backend.get(), {"formats", "--registry", hive});
  EXPECT_EQ(bad.status, 1);
  EXPECT_TRUE(contains(bad.err, "cannot load the registry hive")) << bad.err;
  EXPECT_EQ(read_file(hive), "not a hive\n");  // left as it was
}

TEST(TvcamDriver, RawSensorCameraShowsItsSceneDarkerAtMinimumExposureThanAtMaximum) {
  std::unique_ptr<tvcam::camera_backend> backend = tvcam::make_driver_backend();
  double means[2];
  for (int i = 0; i < 2; ++i) {
    tvcam_test::temp_dir tmp;
    const run_result r = run(backend.get(), {"capture", "--camera", "8308-mono", "--format", "Y800",
                                             "--size", "640x480", "--frames", "2",
                                             "--scene", "flat", "--illuminant", "2800", "--exposure",
                                             i == 0 ? "min" : "max", "--out", tmp.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Talvexa Raw Sensor Camera 8308"));
    tvcam::converted_image png;
    int colour_type = -1;
    ASSERT_TRUE(tvcam_test::read_png(tmp.path() + "/frame_00001.png", &png, &colour_type));
    EXPECT_EQ(colour_type, 0);  // grey
    double sum = 0;
    for (uint8_t v : png.pixels) sum += v;
    means[i] = sum / png.pixels.size();
  }
  EXPECT_LT(means[0], 8);    // 100 us: little above the black level
  EXPECT_GT(means[1], 250);  // 33.3 ms: the grey card clips
}

// Every model of the other camera families is listed with its product
// identifier and class, and captures through the driver with its defaults
// (the 0x8209 at its smallest size: a 2592 x 1944 picture takes the
// simulator longer than the first frame's wait in this build).
TEST(TvcamDriver, ListsAndCapturesFromEveryFamilysModels) {
  std::unique_ptr<tvcam::camera_backend> backend = tvcam::make_driver_backend();
  const run_result list = run(backend.get(), {"list"});
  ASSERT_EQ(list.status, 0) << list.err;
  for (const sim::camera_model& m : sim::family_camera_models()) {
    SCOPED_TRACE(m.id);
    char line[64];
    snprintf(line, sizeof line, "%-12s %04X:%04X %-12s ", m.id.c_str(), m.vendor_id, m.product_id, m.family.c_str());
    EXPECT_TRUE(contains(list.out, line)) << line;
    tvcam_test::temp_dir tmp;
    std::vector<std::string> args = {"capture", "--camera", m.id, "--frames", "2", "--out", tmp.path(), "--json"};
    if (m.family == "camera_8209") args.insert(args.end(), {"--size", "640x480"});
    const run_result r = run(backend.get(), args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tvcam_test::parse_json(r.out)["summary"]["delivered"], 2) << r.out;
  }
}

// --autofocus starts the driver's search with the stream on a camera with a
// focus motor: the frame records carry the focus and the search running;
// a camera without one refuses it, and the listing tells them apart.
TEST(TvcamDriver, AutofocusRunsOnCamerasWithAFocusMotorOnly) {
  std::unique_ptr<tvcam::camera_backend> backend = tvcam::make_driver_backend();
  std::map<std::string, nlohmann::json> cameras;
  const nlohmann::json list = tvcam_test::parse_json(run(backend.get(), {"list", "--json"}).out);
  for (const nlohmann::json& c : list["cameras"]) {
    cameras[c["id"]] = c;
  }
  tvcam_test::expect_members(cameras["8307-colour"], {{"product_id", "0x8307"}, {"colour", true}, {"focus", true}});
  tvcam_test::expect_members(cameras["8308-mono"], {{"colour", false}, {"focus", false}});

  tvcam_test::temp_dir tmp;
  const run_result r = run(backend.get(), {"capture", "--camera", "8307-colour", "--format", "RGB24", "--size",
                                           "640x480", "--frames", "6", "--out", tmp.path(), "--autofocus", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  bool searching = false, moved = false;
  const nlohmann::json frames = tvcam_test::parse_json(r.out)["frames"];
  for (const nlohmann::json& f : frames) {
    if (!f["loops"].contains("focus")) continue;
    searching = searching || f["loops"]["focus"]["searching"] == true;
    moved = moved || f["loops"]["focus"]["moved"] == true;
  }
  EXPECT_TRUE(searching) << r.out;
  EXPECT_TRUE(moved);

  const run_result mono = run(backend.get(), {"capture", "--camera", "8308-mono", "--frames", "2", "--out",
                                              tmp.path(), "--autofocus"});
  EXPECT_EQ(mono.status, 2);
  EXPECT_TRUE(contains(mono.err, "has no one_push_focus control")) << mono.err;
}

// The defect-pixel list through tvcam: a camera's stored list (EEPROM on the
// 83xx, camera memory on the 84xx) shown and saved as "x y" lines, a file
// loaded in its place, a cleared list, and a camera without one refused.
TEST(TvcamDriver, DefectListsAreShownSavedLoadedAndCleared) {
  std::unique_ptr<tvcam::camera_backend> backend = tvcam::make_driver_backend();
  tvcam_test::temp_dir tmp;
  const std::string saved = tmp.path() + "/saved.txt";
  const run_result shown = run(backend.get(), {"defects", "--camera", "8307-colour", "--defects", "5"});
  ASSERT_EQ(shown.status, 0) << shown.err;
  EXPECT_EQ(std::count(shown.out.begin(), shown.out.end(), '\n'), 5) << shown.out;
  // The same seeded camera again: the saved file holds the lines shown.
  const run_result save = run(backend.get(), {"defects", "--camera", "8307-colour", "--defects", "5", "--save", saved});
  ASSERT_EQ(save.status, 0) << save.err;
  EXPECT_EQ(read_file(saved), shown.out);

  const std::string list = tmp.path() + "/list.txt";
  FILE* f = fopen(list.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("10 20\n# a comment\n30 40\n", f);
  fclose(f);
  const run_result loaded = run(backend.get(), {"defects", "--camera", "8406-colour", "--defects", "3", "--load", list});
  ASSERT_EQ(loaded.status, 0) << loaded.err;
  EXPECT_EQ(loaded.out, "10 20\n30 40\n");

  const run_result cleared = run(backend.get(), {"defects", "--camera", "8406-colour", "--defects", "3", "--clear"});
  ASSERT_EQ(cleared.status, 0) << cleared.err;
  EXPECT_EQ(cleared.out, "");

  const run_result none = run(backend.get(), {"defects", "--camera", "plain"});
  EXPECT_EQ(none.status, 2);
  EXPECT_TRUE(contains(none.err, "the camera has no defect-pixel list")) << none.err;
}

}  // namespace
