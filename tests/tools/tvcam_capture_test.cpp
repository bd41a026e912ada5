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
  const std::string& j = r.out;
  EXPECT_EQ(j.front(), '{');
  EXPECT_EQ(j.substr(j.size() - 2), "}\n");
  EXPECT_TRUE(contains(j, "\"format\": {\n    \"format\": \"RGB24\",\n    \"width\": 4,\n    \"height\": 2,\n"
                          "    \"bit_count\": 24,\n    \"interval\": 400000,\n    \"fps\": 25.000,\n"
                          "    \"requested_interval\": 333333\n"));
  EXPECT_TRUE(contains(j, "\"faults\": \"eof=0.5\",\n  \"seed\": 7,\n  \"complete\": true,"));
  EXPECT_TRUE(contains(j, "\"summary\": {\n    \"delivered\": 4,\n    \"dropped\": 1,\n    \"discontinuities\": 1,"));
  EXPECT_TRUE(contains(j, "\"first_picture\": 0,\n    \"last_picture\": 4,\n    \"picture_gaps\": 1,"));
  EXPECT_TRUE(contains(j, "\"truncated\": 0,\n    \"rate_warning\": true,\n    \"faults_sent\": {\n"
                          "      \"dropped payload frames\": 1\n    }"));
  EXPECT_TRUE(contains(j, "\"index\": 3,\n      \"file\": \"" + tmp.path() + "/frame_00003.png\",\n"
                          "      \"data_used\": 24,\n      \"picture_number\": 4,\n      \"drop_count\": 1,\n"
                          "      \"options_flags\": 276,\n"
                          "      \"flags\": [\n        \"discontinuity\",\n        \"time_valid\",\n"
                          "        \"duration_valid\"\n      ],"));
  EXPECT_FALSE(contains(j, "end_marker"));  // not a compressed format
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
  EXPECT_TRUE(contains(json.out, "\"truncated\": 1,"));
  EXPECT_TRUE(contains(json.out, "\"end_marker\": true\n    },"));
  EXPECT_TRUE(contains(json.out, "\"end_marker\": false\n    }\n  ]"));

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
  EXPECT_TRUE(contains(r.out, "\"error\": \"" + std::string(why) + "\""));
  EXPECT_TRUE(contains(r.out, "\"delivered\": 0,\n    \"dropped\": 6,"));

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
