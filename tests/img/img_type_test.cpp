// Image descriptors and pixel formats as the rest of the driver sees them:
// line and buffer sizes, Bayer patterns.
#include <gtest/gtest.h>

#include <stdint.h>

#include <tuple>

#include "img/img_type.h"

namespace {

TEST(PixelFormats, SizesOfImagesOfEveryLayoutSaturateAndUnknownFormatsHaveNone) {
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
  // Unknown formats have no size; sizes that do not fit saturate.
  EXPECT_EQ(img::get_bits_per_pixel(img::make_fourcc('Y', '1', '6', '\0')), 0);
  EXPECT_EQ(img::get_bits_per_pixel(0), 0);
  EXPECT_EQ(img::make_img_type(img::make_fourcc('A', 'B', 'C', 'D'), 640, 480).buffer_length, 0);
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
