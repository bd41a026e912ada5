// The pieces behind tvcam's output: frame conversion to PNG rows (checked
// against pixels computed by hand), PNG files read back through libpng,
// JSON output of camera strings, and the capture statistics.
#include <gtest/gtest.h>

#include "../../tools/tvcam/capture_stats.h"
#include "../../tools/tvcam/frame_files.h"
#include "../../tools/tvcam/image_convert.h"
#include "../../tools/tvcam/json_output.h"
#include "../../tools/tvcam/status_text.h"
#include "img/img_type.h"
#include "tvcam_support.h"

namespace {

using tvcam::converted_image;
using tvcam_test::read_png;

std::vector<uint8_t> pixels(const converted_image& image) { return image.pixels; }

TEST(TvcamConvert, PackedYuvGreyAndBitmapFormats) {
  converted_image image;
  std::string error;
  // Row 0: black and white; row 1: BT.601 red (Y 81, U 90, V 240) and a
  // darker pixel sharing its chroma (Y 41: R = (298 * 25 + 128 + 409 * 112) >> 8 = 208).
  const uint8_t yuy2[] = {16, 128, 235, 128, 81, 90, 41, 240};
  ASSERT_TRUE(tvcam::convert_frame(img::FOURCC_YUY2, 2, 2, 4, false, yuy2, sizeof yuy2, &image, &error)) << error;
  EXPECT_EQ(pixels(image), (std::vector<uint8_t>{0, 0, 0, 255, 255, 255,  // Y 16 and 235 with neutral chroma
                                                 255, 0, 0, 208, 0, 0}));
  const uint8_t uyvy[] = {128, 16, 128, 235};
  ASSERT_TRUE(tvcam::convert_frame(img::FOURCC_UYVY, 2, 1, 4, false, uyvy, sizeof uyvy, &image, &error));
  EXPECT_EQ(pixels(image), (std::vector<uint8_t>{0, 0, 0, 255, 255, 255}));
  uint8_t rgb[3];
  tvcam::yuv_to_rgb(41, 240, 110, rgb);  // BT.601 blue
  EXPECT_EQ(std::vector<uint8_t>(rgb, rgb + 3), (std::vector<uint8_t>{0, 0, 255}));

  // Y16 keeps the high byte; rows with a padded pitch.
  const uint8_t y16[] = {0x34, 0x12, 0xFF, 0xAB, 0, 0, 0x00, 0x01, 0xFF, 0xFF, 0, 0};
  ASSERT_TRUE(tvcam::convert_frame(img::FOURCC_Y16, 2, 2, 6, false, y16, sizeof y16, &image, &error));
  EXPECT_EQ(image.colour, tvcam::png_colour::grey);
  EXPECT_EQ(pixels(image), (std::vector<uint8_t>{0x12, 0xAB, 0x01, 0xFF}));

  // RGB24, 1x2, bottom-up: the second row in memory is the top of the picture.
  // Rows are padded to 4 bytes as in a Windows bitmap.
  const uint8_t rgb24[] = {1, 2, 3, 0, 4, 5, 6, 0};
  EXPECT_EQ(tvcam::frame_pitch(img::FOURCC_RGB24, 1, 2, sizeof rgb24), 4u);
  ASSERT_TRUE(tvcam::convert_frame(img::FOURCC_RGB24, 1, 2, 4, true, rgb24, sizeof rgb24, &image, &error));
  EXPECT_EQ(pixels(image), (std::vector<uint8_t>{6, 5, 4, 3, 2, 1}));
  ASSERT_TRUE(tvcam::convert_frame(img::FOURCC_RGB24, 1, 2, 4, false, rgb24, sizeof rgb24, &image, &error));
  EXPECT_EQ(pixels(image), (std::vector<uint8_t>{3, 2, 1, 6, 5, 4}));
  const uint8_t rgb32[] = {10, 20, 30, 99, 40, 50, 60, 99};
  ASSERT_TRUE(tvcam::convert_frame(img::FOURCC_RGB32, 2, 1, 8, true, rgb32, sizeof rgb32, &image, &error));
  EXPECT_EQ(pixels(image), (std::vector<uint8_t>{30, 20, 10, 60, 50, 40}));
  // A packed frame (no padding) is read packed.
  EXPECT_EQ(tvcam::frame_pitch(img::FOURCC_RGB24, 1, 2, 6), 3u);

  // Refusals: short data, odd 4:2:2 width, formats without a conversion.
  EXPECT_FALSE(tvcam::convert_frame(img::FOURCC_YUY2, 2, 2, 4, false, yuy2, 7, &image, &error));
  EXPECT_EQ(error, "frame holds 7 bytes, 8 needed");
  EXPECT_FALSE(tvcam::convert_frame(img::FOURCC_YUY2, 3, 1, 6, false, yuy2, 8, &image, &error));
  EXPECT_FALSE(tvcam::convert_frame(img::FOURCC_I420, 2, 2, 2, false, yuy2, 8, &image, &error));
}

TEST(TvcamFiles, PngFilesReadBackAndBadDirectoriesAreRefused) {
  tvcam_test::temp_dir tmp;
  std::string error;
  converted_image rgb;
  rgb.width = 3;
  rgb.height = 2;
  rgb.pixels = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
  ASSERT_TRUE(tvcam::write_png(tmp.path() + "/rgb.png", rgb, &error)) << error;
  converted_image back;
  int colour_type = -1;
  ASSERT_TRUE(read_png(tmp.path() + "/rgb.png", &back, &colour_type));
  EXPECT_EQ(colour_type, 2);
  EXPECT_EQ(back.width, 3);
  EXPECT_EQ(back.pixels, rgb.pixels);

  converted_image grey;
  grey.width = 2;
  grey.height = 1;
  grey.colour = tvcam::png_colour::grey;
  grey.pixels = {0, 255};
  ASSERT_TRUE(tvcam::write_png(tmp.path() + "/grey.png", grey, &error));
  ASSERT_TRUE(read_png(tmp.path() + "/grey.png", &back, &colour_type));
  EXPECT_EQ(colour_type, 0);
  EXPECT_EQ(back.pixels, grey.pixels);

  EXPECT_FALSE(tvcam::write_png(tmp.path() + "/missing/x.png", grey, &error));
  EXPECT_TRUE(tvcam_test::contains(error, "cannot create")) << error;

  EXPECT_TRUE(tvcam::prepare_output_directory(tmp.path() + "/new/deeper/", &error)) << error;
  EXPECT_FALSE(tvcam::prepare_output_directory(tmp.path() + "/rgb.png/x", &error));
  EXPECT_TRUE(tvcam_test::contains(error, "rgb.png' is not a directory")) << error;
  EXPECT_FALSE(tvcam::prepare_output_directory("/proc/self", &error));  // exists, but takes no files
  EXPECT_TRUE(tvcam_test::contains(error, "is not writable")) << error;
  EXPECT_EQ(tvcam::frame_file_name("out/", 12, "png"), "out/frame_00012.png");
}

TEST(TvcamJson, CameraStringsOfAnyBytesGiveValidJsonAndRatesAreRounded) {
  FILE* f = tmpfile();
  // Control characters, UTF-8 kept; invalid bytes: a lone continuation byte,
  // a truncated sequence, an overlong form.
  tvcam::print_json(f, {{"name", "a\"b\\c\n\t\x01 K\xC3\xA4mera \xE2\x82\xAC"},
                        {"bad", "\x80|\xC3|\xC0\xAF"},
                        {"fps", tvcam::rounded(30000.0 / 1001, 3)},
                        {"none", tvcam::rounded(0.0 / 0.0, 3)}});
  const std::string text = tvcam_test::read_all(f);
  EXPECT_EQ(text.back(), '\n');
  const nlohmann::json j = tvcam_test::parse_json(text);
  ASSERT_FALSE(j.is_discarded()) << text;
  EXPECT_EQ(j["name"], "a\"b\\c\n\t\x01 K\xC3\xA4mera \xE2\x82\xAC");
  EXPECT_EQ(j["bad"], "\xEF\xBF\xBD|\xEF\xBF\xBD|\xEF\xBF\xBD\xEF\xBF\xBD") << text;
  EXPECT_EQ(j["fps"], 29.97) << text;  // not 29.970029970029973
  EXPECT_TRUE(j["none"].is_null());
}

TEST(TvcamStats, FramesRateGapsAndDiscontinuities) {
  std::vector<tvcam::frame_record> frames(4);
  const int64_t pictures[] = {10, 11, 14, 14};
  for (size_t i = 0; i < frames.size(); ++i) {
    frames[i].index = i;
    frames[i].data_used = 100;
    frames[i].has_frame_info = true;
    frames[i].picture_number = pictures[i];
    frames[i].drop_count = i < 2 ? 0 : 2;
    frames[i].options_flags = 0x10 | (i == 2 ? 0x4 : 0);
    frames[i].presentation_time = static_cast<int64_t>(i) * 500000;  // 20 fps
    frames[i].host_time = static_cast<int64_t>(i) * 1000000;         // 10 fps
  }
  tvcam::capture_summary s = tvcam::summarize(frames);
  EXPECT_EQ(s.delivered, 4u);
  EXPECT_EQ(s.dropped, 2u);
  EXPECT_EQ(s.discontinuities, 1u);
  EXPECT_EQ(s.first_picture, 10);
  EXPECT_EQ(s.last_picture, 14);
  EXPECT_EQ(s.picture_gaps, 1u);
  EXPECT_EQ(s.missing_pictures, 2u);
  EXPECT_EQ(s.backward_steps, 1u);
  EXPECT_EQ(s.bytes, 400u);
  EXPECT_TRUE(s.fps_from_presentation);
  EXPECT_DOUBLE_EQ(s.measured_fps, 20.0);

  // One frame without a valid time: the receive times are the clock.
  frames[1].options_flags = 0;
  s = tvcam::summarize(frames);
  EXPECT_FALSE(s.fps_from_presentation);
  EXPECT_DOUBLE_EQ(s.measured_fps, 10.0);

  EXPECT_DOUBLE_EQ(tvcam::summarize({frames[0]}).measured_fps, 0.0);
  EXPECT_EQ(tvcam::fps_to_interval(29.97), 333667);
  EXPECT_DOUBLE_EQ(tvcam::interval_to_fps(400000), 25.0);
  // 10 fps measured: a warning below 11.12 fps negotiated, none at 11.11.
  EXPECT_TRUE(tvcam::rate_falls_short(s, 11.12));
  EXPECT_FALSE(tvcam::rate_falls_short(s, 11.11));
}

TEST(TvcamStats, JpegEndMarkersAndStatusNames) {
  const uint8_t whole[] = {0xFF, 0xD8, 0xFF, 0xD9, 0, 0}, cut[] = {0xFF, 0xD8, 0xFF, 0xD9, 0x12};
  EXPECT_TRUE(tvcam::jpeg_has_end_marker(whole, sizeof whole));  // padding after EOI is allowed
  EXPECT_FALSE(tvcam::jpeg_has_end_marker(cut, sizeof cut));
  EXPECT_FALSE(tvcam::jpeg_has_end_marker(whole, 1));
  EXPECT_EQ(tvcam::status_text(static_cast<int32_t>(0xC00000B5), "the camera did not answer"),
            "STATUS_IO_TIMEOUT (0xC00000B5): the camera did not answer");
  EXPECT_EQ(tvcam::status_text(static_cast<int32_t>(0xC0001234)), "0xC0001234");
}

}  // namespace
