// Image descriptors and pixel formats as the rest of the driver sees them:
// FOURCC values, line and buffer sizes, Bayer patterns.
#include <gtest/gtest.h>

#include <stdint.h>

#include <tuple>

#include "img/img_type.h"

namespace {

struct format_row {
  const char* text;  // the four characters
  uint32_t value;    // its little-endian reading
  uint32_t constant;
  int bits_per_pixel;
};

// Values and sizes as published for each format, checked against the
// library's constants and table.
const format_row kPublished[] = {
    {"Y800", 0x30303859, img::FOURCC_Y800, 8}, {"Y16 ", 0x20363159, img::FOURCC_Y16, 16},
    {"BY8 ", 0x20385942, img::FOURCC_BY8, 8}, {"BA81", 0x31384142, img::FOURCC_BGGR8, 8},
    {"GBRG", 0x47524247, img::FOURCC_GBRG8, 8}, {"GRBG", 0x47425247, img::FOURCC_GRBG8, 8},
    {"RGGB", 0x42474752, img::FOURCC_RGGB8, 8}, {"BG16", 0x36314742, img::FOURCC_BGGR16, 16},
    {"GB16", 0x36314247, img::FOURCC_GBRG16, 16}, {"BA16", 0x36314142, img::FOURCC_GRBG16, 16},
    {"RG16", 0x36314752, img::FOURCC_RGGB16, 16}, {"BGCP", 0x50434742, img::FOURCC_BGGR12_PACKED_C, 12},
    {"GBCP", 0x50434247, img::FOURCC_GBRG12_PACKED_C, 12}, {"GRCP", 0x50435247, img::FOURCC_GRBG12_PACKED_C, 12},
    {"RGCP", 0x50434752, img::FOURCC_RGGB12_PACKED_C, 12}, {"BGDP", 0x50444742, img::FOURCC_BGGR12_PACKED_D, 12},
    {"GBDP", 0x50444247, img::FOURCC_GBRG12_PACKED_D, 12}, {"GRDP", 0x50445247, img::FOURCC_GRBG12_PACKED_D, 12},
    {"RGDP", 0x50444752, img::FOURCC_RGGB12_PACKED_D, 12}, {"Y12p", 0x70323159, img::FOURCC_Y12P, 12},
    {"YGB0", 0x30424759, img::FOURCC_YGB0, 16}, {"YGB1", 0x31424759, img::FOURCC_YGB1, 16},
    {"YUY2", 0x32595559, img::FOURCC_YUY2, 16}, {"UYVY", 0x59565955, img::FOURCC_UYVY, 16},
    {"I420", 0x30323449, img::FOURCC_I420, 12}, {"YV16", 0x36315659, img::FOURCC_YV16, 16},
    {"IYU1", 0x31555949, img::FOURCC_IYU1, 12}, {"IYU2", 0x32555949, img::FOURCC_IYU2, 24},
    {"RGB8", 0x38424752, img::FOURCC_RGB8, 8}, {"RGB3", 0x33424752, img::FOURCC_RGB24, 24},
    {"RGB4", 0x34424752, img::FOURCC_RGB32, 32}, {"RGB6", 0x36424752, img::FOURCC_RGB64, 64},
    {"YU8p", 0x70385559, img::FOURCC_YUV8PLANAR, 24}, {"YUGp", 0x70475559, img::FOURCC_YUV16PLANAR, 48},
    {"YUfp", 0x70665559, img::FOURCC_YUVF32PLANAR, 96}, {"MJPG", 0x47504a4d, img::FOURCC_MJPG, 24},
};

TEST(PixelFormats, ConstantsValuesAndBitsMatchThePublishedTable) {
  int known = 0;
  while (img::get_known_fourcc(known) != 0) ++known;
  EXPECT_EQ(known, static_cast<int>(sizeof(kPublished) / sizeof(kPublished[0])));

  for (const format_row& row : kPublished) {
    SCOPED_TRACE(row.text);
    const char* t = row.text;
    EXPECT_EQ(img::make_fourcc(t[0], t[1], t[2], t[3]), row.value);
    EXPECT_EQ(row.constant, row.value);
    EXPECT_EQ(img::get_bits_per_pixel(row.value), row.bits_per_pixel);
    bool listed = false;
    for (int i = 0; i < known; ++i) listed |= img::get_known_fourcc(i) == row.value;
    EXPECT_TRUE(listed);
  }
  // Unknown formats have no size.
  EXPECT_EQ(img::get_bits_per_pixel(img::make_fourcc('Y', '1', '6', '\0')), 0);
  EXPECT_EQ(img::get_bits_per_pixel(0), 0);
  EXPECT_EQ(img::make_img_type(img::make_fourcc('A', 'B', 'C', 'D'), 640, 480).buffer_length, 0);
}

TEST(PixelFormats, SizesOfA640x480Image) {
  const int cases[][3] = {
      {img::FOURCC_I420, 640, 640 * 480 * 3 / 2}, {img::FOURCC_YV16, 640, 640 * 480 * 2},
      {img::FOURCC_YUV8PLANAR, 640, 3 * 640 * 480}, {img::FOURCC_YUV16PLANAR, 1280, 3 * 1280 * 480},
      {img::FOURCC_RGB24, 1920, 1920 * 480},        {img::FOURCC_BGGR12_PACKED_C, 960, 960 * 480},
      {img::FOURCC_Y16, 1280, 1280 * 480},
  };
  for (const auto& c : cases) {
    const uint32_t fcc = static_cast<uint32_t>(c[0]);
    const img::img_type t = img::make_img_type(fcc, 640, 480);
    EXPECT_EQ(std::make_tuple(t.type, t.dim_x, t.dim_y, t.pitch, t.buffer_length),
              std::make_tuple(fcc, 640, 480, c[1], c[2]));
    // Bottom-up storage keeps the pitch's sign but not its size.
    const img::img_type flipped = img::make_img_type_with_pitch(fcc, 640, 480, -c[1]);
    EXPECT_EQ(std::make_pair(flipped.pitch, flipped.buffer_length), std::make_pair(-c[1], c[2]));
  }
  // A padded pitch sizes every plane; 12 bits per pixel rounds the pitch down.
  EXPECT_EQ(img::make_img_type_with_pitch(img::FOURCC_I420, 640, 480, 704).buffer_length, 704 * 480 * 3 / 2);
  EXPECT_EQ(img::make_img_type(img::FOURCC_Y12P, 5, 1).pitch, 7);
}

TEST(PixelFormats, SizesThatDoNotFitSaturateInsteadOfWrapping) {
  const img::img_type huge = img::make_img_type(img::FOURCC_YUVF32PLANAR, 65535, 65535);
  EXPECT_EQ(huge.pitch, 4 * 65535);
  EXPECT_EQ(huge.buffer_length, INT32_MAX);
  EXPECT_EQ(img::make_img_type_with_pitch(img::FOURCC_Y800, 1, 2, INT32_MIN).buffer_length, INT32_MAX);
  EXPECT_EQ(img::make_img_type(img::FOURCC_Y800, 640, -1).buffer_length, 0);
}

TEST(PixelFormats, BayerFamiliesPatternsAndUnpackedTypes) {
  // Per pattern BGGR, GBRG, GRBG, RGGB: 8-bit, 16-bit, packed C, packed D;
  // then "BY8 " (8-bit, debayered as GBRG) and formats of no family.
  using namespace img;
  const uint32_t families[4][4] = {
      {FOURCC_BGGR8, FOURCC_BGGR16, FOURCC_BGGR12_PACKED_C, FOURCC_BGGR12_PACKED_D},
      {FOURCC_GBRG8, FOURCC_GBRG16, FOURCC_GBRG12_PACKED_C, FOURCC_GBRG12_PACKED_D},
      {FOURCC_GRBG8, FOURCC_GRBG16, FOURCC_GRBG12_PACKED_C, FOURCC_GRBG12_PACKED_D},
      {FOURCC_RGGB8, FOURCC_RGGB16, FOURCC_RGGB12_PACKED_C, FOURCC_RGGB12_PACKED_D}};
  const auto family = [](uint32_t f) { return is_by8_fcc(f) * 1 + is_by16_fcc(f) * 2 + is_by12pa_fcc(f) * 4; };
  for (int p = 0; p < 4; ++p) {
    for (int k = 0; k < 4; ++k) {
      const uint32_t fcc = families[p][k];
      EXPECT_EQ(family(fcc), k == 0 ? 1 : (k == 1 ? 2 : 4)) << std::hex << fcc;
      EXPECT_EQ(get_bayer_pattern(fcc), static_cast<bayer_pattern>(p)) << std::hex << fcc;
      EXPECT_EQ(transform_by12pa_to_by16_fcc(fcc), k >= 2 ? families[p][1] : 0u) << std::hex << fcc;
    }
    EXPECT_EQ(get_by8_fcc_from_pattern(static_cast<bayer_pattern>(p)), families[p][0]);  // telling a camera
  }
  EXPECT_EQ(get_by8_fcc_from_pattern(static_cast<bayer_pattern>(4)), 0u);
  for (uint32_t fcc : {FOURCC_BY8, FOURCC_Y800, FOURCC_Y16, FOURCC_RGB24, 0u}) {
    EXPECT_EQ(family(fcc), fcc == FOURCC_BY8 ? 1 : 0) << std::hex << fcc;
    EXPECT_EQ(get_bayer_pattern(fcc), bayer_gbrg);
    EXPECT_EQ(transform_by12pa_to_by16_fcc(fcc), 0u);
  }
}

}  // namespace
