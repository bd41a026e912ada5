// tvcam capture with a test camera: the chosen format, size and rate reach
// the stream, frames land in the output directory as PNG (JPEG as it came,
// or raw), and the summary and per-frame JSON carry what the stream headers
// and the pin said: the negotiated rate, picture-number gaps, drops,
// discontinuities, JPEGs without their end marker; a capture that ends early
// says why.
#include <gtest/gtest.h>

#include "tvcam_support.h"

namespace {

using tvcam_test::contains;
using tvcam_test::read_file;
using tvcam_test::read_png;
using tvcam_test::run;
using tvcam_test::run_result;

TEST(TvcamCapture, WritesPngFramesAndATextSummary) {
  tvcam_test::temp_dir tmp;
  tvcam_test::fake_backend backend;
  const std::string out = tmp.path() + "/a/b";  // created with its parent
  const run_result r = run(&backend, {"capture", "--frames", "5", "--out", out, "--fps", "15"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(backend.last_stream.format_index, 0u);
  EXPECT_EQ(backend.last_stream.interval, 666666);
  for (int i = 0; i < 5; ++i) {
    tvcam::converted_image png;
    int colour_type = -1;
    ASSERT_TRUE(read_png(out + "/frame_0000" + std::to_string(i) + ".png", &png, &colour_type)) << i;
    EXPECT_EQ(png.width, 8);
    EXPECT_EQ(png.height, 4);
    EXPECT_EQ(colour_type, 2);  // RGB
  }
  EXPECT_TRUE(read_file(out + "/frame_00005.png").empty());
  EXPECT_TRUE(contains(r.out, "captured 5 frames of YUY2 8x4 at 15 fps from plain (Test \"Camera\")"));
  EXPECT_TRUE(contains(r.out, "  delivered        5 of 5\n  dropped          1\n"));
  EXPECT_TRUE(contains(r.out, "  measured fps     12 (presentation times over 0.333 s)"));  // 4 frames over 5 intervals
  EXPECT_TRUE(contains(r.out, "  picture numbers  0 to 5, 1 gaps (1 numbers skipped), 0 not increasing"));
  EXPECT_TRUE(contains(r.out, "  discontinuities  1\n"));
  EXPECT_FALSE(contains(r.out, "no end marker"));
  EXPECT_TRUE(contains(r.err, "warning: measured 12 fps is more than 10 % below the negotiated 15 fps "
                              "(frames were dropped)"));
}

TEST(TvcamCapture, JsonHasTheNegotiatedRateTheSummaryAndOneRecordPerFrame) {
  tvcam_test::temp_dir tmp;
  tvcam_test::fake_backend backend;
  backend.negotiated = 400000;  // the camera runs at 25 fps whatever was asked
  const run_result r = run(&backend, {"capture", "--frames", "4", "--out", tmp.path(), "--format", "rgb24",
                                      "--json", "--faults", "eof=0.5", "--seed", "7"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(backend.last_stream.format_index, 3u);
  const nlohmann::json j = tvcam_test::parse_json(r.out);
  EXPECT_EQ(j["format"], (nlohmann::json{{"format", "RGB24"}, {"width", 4}, {"height", 2}, {"bit_count", 24},
                                         {"interval", 400000}, {"fps", 25.0}, {"requested_interval", 333333}}));
  tvcam_test::expect_members(j, {{"faults", "eof=0.5"}, {"seed", 7}, {"complete", true}});
  tvcam_test::expect_members(j["summary"], {{"delivered", 4}, {"dropped", 1}, {"discontinuities", 1},
                                            {"first_picture", 0}, {"last_picture", 4}, {"picture_gaps", 1},
                                            {"truncated", 0}, {"rate_warning", true},
                                            {"faults_sent", {{"dropped payload frames", 1}}}});
  ASSERT_EQ(j["frames"].size(), 4u);
  tvcam_test::expect_members(j["frames"][3], {{"index", 3}, {"file", tmp.path() + "/frame_00003.png"},
                                              {"data_used", 24}, {"picture_number", 4}, {"drop_count", 1},
                                              {"options_flags", 276},
                                              {"flags", {"discontinuity", "time_valid", "duration_valid"}}});
  EXPECT_FALSE(j["frames"][3].contains("end_marker"));  // not a compressed format
  tvcam::converted_image png;
  int colour_type = -1;
  ASSERT_TRUE(read_png(tmp.path() + "/frame_00003.png", &png, &colour_type));
  EXPECT_EQ(png.width, 4);
  EXPECT_EQ(png.height, 2);
}

TEST(TvcamCapture, MjpegAndRawFramesAreWrittenAsTheyCameAndCutJpegsMarked) {
  tvcam_test::temp_dir tmp;
  tvcam_test::fake_backend backend;
  const run_result mjpg = run(&backend, {"capture", "--frames", "3", "--out", tmp.path(), "--format", "MJPG"});
  ASSERT_EQ(mjpg.status, 0) << mjpg.err;
  EXPECT_EQ(read_file(tmp.path() + "/frame_00000.jpg"), std::string("\xFF\xD8\xFF\xD9\0", 5));
  EXPECT_EQ(read_file(tmp.path() + "/frame_00001.jpg"), std::string("\xFF\xD8\xFF"));
  EXPECT_TRUE(contains(mjpg.out, "  no end marker    1 (frames cut short, written as they came)\n"));
  const run_result json =
      run(&backend, {"capture", "--frames", "2", "--out", tmp.path(), "--format", "MJPG", "--json"});
  const nlohmann::json j = tvcam_test::parse_json(json.out);
  EXPECT_EQ(j["summary"]["truncated"], 1);
  EXPECT_EQ(j["frames"][0]["end_marker"], true);
  EXPECT_EQ(j["frames"][1]["end_marker"], false);

  ASSERT_EQ(run(&backend, {"capture", "--frames", "1", "--out", tmp.path(), "--size", "4x2", "--raw"}).status, 0);
  EXPECT_EQ(read_file(tmp.path() + "/frame_00000.raw"), std::string(16, '\x80'));
}

TEST(TvcamCapture, ACaptureThatEndsEarlyReportsWhatCameAndWhy) {
  tvcam_test::temp_dir tmp;
  tvcam_test::fake_backend backend;
  backend.stall_after = 2;
  run_result r = run(&backend, {"capture", "--frames", "5", "--out", tmp.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "tvcam capture: no frame within 5099 ms after 2 frames\n")) << r.err;
  EXPECT_TRUE(contains(r.out, "  delivered        2 of 5"));
  tvcam::converted_image png;
  int colour_type = -1;
  EXPECT_TRUE(read_png(tmp.path() + "/frame_00001.png", &png, &colour_type));

  // Nothing delivered, but the pin counted the frames it threw away.
  backend.stall_after = 0;
  backend.lost_at_end = 6;
  r = run(&backend, {"capture", "--out", tmp.path(), "--json"});
  EXPECT_EQ(r.status, 1);
  const char* why = "no frame within 5099 ms after 0 frames: 6 frames were dropped as incomplete, none delivered";
  EXPECT_TRUE(contains(r.err, why)) << r.err;
  const nlohmann::json j = tvcam_test::parse_json(r.out);
  EXPECT_EQ(j["error"], why);
  tvcam_test::expect_members(j["summary"], {{"delivered", 0}, {"dropped", 6}});

  // Ctrl-C: the stream stops, the summary is written, the exit status says so.
  backend.stall_after = ~0u;
  backend.lost_at_end = 0;
  backend.interrupt_after = 3;
  r = run(&backend, {"capture", "--frames", "100", "--out", tmp.path()});
  EXPECT_EQ(r.status, 130);
  EXPECT_TRUE(contains(r.out, "captured 4 frames"));  // the frame that came with it is kept
  EXPECT_TRUE(contains(r.err, "tvcam capture: interrupted\n")) << r.err;
}

}  // namespace
