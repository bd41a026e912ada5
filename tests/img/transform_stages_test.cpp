// The pipe's simple stages: white balance, smoothing, grey expansion, YUV
// conversions and colour adjustment, each against its formula, with the
// vector forms bit-identical to the plain ones where they exist.
#include <gtest/gtest.h>

#include <algorithm>

#include "img/color_adjust.h"
#include "img/img_transform_pipe.h"
#include "img/transform_stages.h"
#include "reference_filters.h"

using namespace xform_test;

namespace {

int wb_gain_at(int pattern, int x, int y, const img::wb_gains& g) {
  const char c = bayer_colour(pattern, x, y & 1);
  if (c == 'R') return g.r & 0xFF;
  if (c == 'B') return g.b & 0xFF;
  const bool red_line = bayer_colour(pattern, 0, y & 1) == 'R' || bayer_colour(pattern, 1, y & 1) == 'R';
  return (red_line ? g.g : g.g2) & 0xFF;
}

}  // namespace

TEST(RawWhiteBalance, EachSiteGetsItsGainInEveryVariant) {
  // Gains above 255 use their low 8 bits; 0x1C0 is 192 (3.0) and clamps.
  const img::wb_gains gains = {0x1C0, 70, 40, 64};
  const uint32_t fcc8[4] = {img::FOURCC_BGGR8, img::FOURCC_GBRG8, img::FOURCC_GRBG8, img::FOURCC_RGGB8};
  const uint32_t fcc16[4] = {img::FOURCC_BGGR16, img::FOURCC_GBRG16, img::FOURCC_GRBG16, img::FOURCC_RGGB16};
  uint32_t seed = 5;
  for (int w : {7, 8, 16, 17, 33, 47, 70}) {
    for (int pattern = 0; pattern < 4; ++pattern) {
      for (bool sixteen : {false, true}) {
        const uint32_t fcc = sixteen ? fcc16[pattern] : fcc8[pattern];
        owned_image orig = make_image(fcc, w, 5, w % 2 ? layout::bottom_up : layout::padded);
        fill_random(orig, seed++, sixteen ? 65535 : 255);
        owned_image plain = copy_of(orig);
        img::apply_raw_white_balance(plain.desc, gains, 0);
        for (uint32_t v : kVariants) {
          owned_image vec = copy_of(orig);
          img::apply_raw_white_balance(vec.desc, gains, v & kCpu);
          ASSERT_EQ(plain.buffer, vec.buffer) << v;
        }
        // Line 4 (odd last line) uses the first line's gains.
        for (int y = 0; y < 5; ++y)
          for (int x = 0; x < w; ++x)
            ASSERT_EQ(filter_ref::sample(plain.desc, x, y),
                      std::min((filter_ref::sample(orig.desc, x, y) * wb_gain_at(pattern, x, y, gains)) >> 6,
                               sixteen ? 65535 : 255));
      }
    }
  }
  // Other types are left alone.
  owned_image y800 = make_image(img::FOURCC_Y800, 8, 2);
  fill_random(y800, 3);
  const std::vector<uint8_t> before = y800.buffer;
  img::apply_raw_white_balance(y800.desc, gains, kCpu);
  EXPECT_EQ(y800.buffer, before);
}

TEST(Smooth2x2, PlainAveragesUnchangedPixelsAndSse2UsesRoundedAverages) {
  for (int w : {31, 32, 35, 50}) {
    owned_image orig = make_image(img::FOURCC_Y800, w, 5, layout::padded);
    fill_random(orig, static_cast<uint32_t>(w));
    const auto in = [&](int x, int y) { return static_cast<int>(*at8(orig.desc, x, y)); };
    for (bool sse2 : {false, true}) {
      owned_image im = copy_of(orig);
      img::smooth_2x2(im.desc, sse2 ? (kCpu & img::cpu_sse2) : 0);
      const bool vector = sse2 && (kCpu & img::cpu_sse2) && w >= 32;
      for (int y = 0; y < 5; ++y)
        for (int x = 0; x < w; ++x) {
          int want = in(x, y);
          if (vector && y < 4 && x < w - 1) {
            const int a = (in(x, y) + in(x, y + 1) + 1) >> 1, b = (in(x + 1, y) + in(x + 1, y + 1) + 1) >> 1;
            want = (a + b + 1) >> 1;
          } else if (!vector && y >= 1 && y < 4 && x < w - 1) {
            want = (in(x, y) + in(x + 1, y) + in(x, y + 1) + in(x + 1, y + 1)) >> 2;
          }
          ASSERT_EQ(*at8(im.desc, x, y), want) << "w " << w << " sse2 " << sse2 << " at " << x << "," << y;
        }
    }
  }
}

TEST(GreyExpansion, EveryVariantWritesGreyTriplesWithFlipHonoured) {
  for (int w : {5, 16, 17, 40}) {
    owned_image src = make_image(img::FOURCC_Y800, w, 3, layout::padded);
    fill_random(src, static_cast<uint32_t>(w) + 1);
    for (uint32_t cpu : {0u, uint32_t{img::cpu_sse2}, kCpu}) {
      for (bool flip : {false, true}) {
        owned_image dst = make_image(img::FOURCC_RGB24, w, 3, layout::bottom_up);
        img::expand_y800_to_rgb24(dst.desc, src.desc, flip, cpu);
        for (int y = 0; y < 3; ++y)
          for (int x = 0; x < w; ++x)
            for (int k = 0; k < 3; ++k)
              ASSERT_EQ(*at8(dst.desc, 3 * x + k, flip ? 2 - y : y), *at8(src.desc, x, y));
      }
    }
  }
}

TEST(YuvConversions, PackedPlanarAndRgbFollowTheirFormulas) {
  // "YUY2" Y0 U Y1 V unpacks to two pixels sharing U and V, and packs back
  // with the means of neighbouring chroma.
  owned_image yuy2 = make_image(img::FOURCC_YUY2, 4, 1);
  const uint8_t bytes[8] = {10, 100, 20, 200, 30, 50, 40, 60};
  std::copy(bytes, bytes + 8, yuy2.buffer.begin());
  owned_image planar = make_image(img::FOURCC_YUV8PLANAR, 4, 1);
  img::unpack_yuy2_to_yuv8p(planar.desc, yuy2.desc);
  EXPECT_EQ(planar.buffer, (std::vector<uint8_t>{10, 20, 30, 40, 100, 100, 50, 50, 200, 200, 60, 60}));
  *at8(planar.desc, 1, 0, 1) = 103;  // U of pixel 1
  owned_image back = make_image(img::FOURCC_YUY2, 4, 1);
  img::pack_yuv8p_to_yuy2(back.desc, planar.desc);
  EXPECT_EQ(back.buffer, (std::vector<uint8_t>{10, 101, 20, 200, 30, 50, 40, 60}));

  // "I420": Y copied, chroma the truncated mean of each 2 x 2 block.
  owned_image yuv = make_image(img::FOURCC_YUV8PLANAR, 4, 2), i420 = make_image(img::FOURCC_I420, 4, 2);
  yuv.buffer = {1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 20, 21, 12, 13, 22, 24, 30, 31, 40, 41, 32, 33, 42, 44};
  img::convert_yuv8p_to_i420(i420.desc, yuv.desc);
  EXPECT_EQ(i420.buffer, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 11, 21, 31, 41}));

  // "YU8p" to RGB: formula, bottom-up, vector forms identical (dim_x > 16).
  for (int w : {9, 16, 17, 33, 48}) {
    owned_image src = make_image(img::FOURCC_YUV8PLANAR, w, 3, layout::padded);
    fill_random(src, static_cast<uint32_t>(w) * 3);
    for (uint32_t out : {img::FOURCC_RGB24, img::FOURCC_RGB32}) {
      const int n = out == img::FOURCC_RGB24 ? 3 : 4;
      owned_image plain = make_image(out, w, 3);
      img::convert_yuv8p_to_rgb(plain.desc, src.desc, false, 0);
      for (uint32_t v : kVariants) {
        owned_image vec = make_image(out, w, 3);
        img::convert_yuv8p_to_rgb(vec.desc, src.desc, false, v & kCpu);
        ASSERT_EQ(plain.buffer, vec.buffer) << w << " variant " << v;
      }
      for (int y = 0; y < 3; ++y)
        for (int x = 0; x < w; ++x) {
          const int Y = *at8(src.desc, x, y, 0), U = *at8(src.desc, x, y, 1) - 128, V = *at8(src.desc, x, y, 2) - 128;
          const uint8_t* p = at8(plain.desc, n * x, 2 - y);
          ASSERT_EQ(p[0], clamp(Y + U * 111 / 64, 0, 255));
          ASSERT_EQ(p[1], clamp(Y - (21 * U + 45 * V) / 64, 0, 255));
          ASSERT_EQ(p[2], clamp(Y + V * 87 / 64, 0, 255));
        }
    }
  }

  // "YUGp" to "RGB6": BT.601 in 14-bit fixed point, A = 65535, bottom-up,
  // vector forms identical.
  for (int w : {2, 7, 8, 9, 23, 37}) {
    owned_image src = make_image(img::FOURCC_YUV16PLANAR, w, 3, layout::padded);
    fill_random(src, static_cast<uint32_t>(w) + 40, 65535);
    set16(src.desc, 0, 0, 30000, 0), set16(src.desc, 0, 0, 40000, 1), set16(src.desc, 0, 0, 20000, 2);
    set16(src.desc, 1, 0, 65000, 0), set16(src.desc, 1, 0, 32768, 1), set16(src.desc, 1, 0, 60000, 2);
    owned_image plain = make_image(img::FOURCC_RGB64, w, 3);
    img::convert_yuv16p_to_rgb64(plain.desc, src.desc, false, 0);
    for (uint32_t v : kVariants) {
      owned_image vec = make_image(img::FOURCC_RGB64, w, 3);
      img::convert_yuv16p_to_rgb64(vec.desc, src.desc, false, v & kCpu);
      ASSERT_EQ(plain.buffer, vec.buffer) << w << " variant " << v;
    }
    const int u = 40000 - 32768, v = 20000 - 32768;
    EXPECT_EQ(get16(plain.desc, 0, 2), 30000 + ((28999 * u) >> 14));             // B
    EXPECT_EQ(get16(plain.desc, 1, 2), 30000 - ((5636 * u + 11698 * v) >> 14));  // G
    EXPECT_EQ(get16(plain.desc, 2, 2), 30000 + ((22986 * v) >> 14));              // R
    EXPECT_EQ(get16(plain.desc, 3, 2), 65535);
    EXPECT_EQ(get16(plain.desc, 6, 2), 65535);  // R of pixel 1 clamps
  }
}

TEST(ColourAdjustment, EveryVariantGivesThePlainResult) {
  // Hue/saturation, brightness/contrast and gamma on random 8- and 16-bit
  // images whose widths straddle the vector steps, strong settings included.
  const int settings[][4] = {{40, 30, 60, -20}, {-64, -170, -200, 90}, {100, 90, 3000, 255}, {5, 0, -700, -300}};
  uint32_t seed = 70;
  for (uint32_t fcc : {img::FOURCC_YUV8PLANAR, img::FOURCC_YUV16PLANAR, img::FOURCC_Y800, img::FOURCC_Y16}) {
    for (int w : {15, 16, 17, 31, 33, 47, 65}) {
      const bool sixteen = fcc == img::FOURCC_YUV16PLANAR || fcc == img::FOURCC_Y16;
      owned_image orig = make_image(fcc, w, 3, static_cast<layout>(w % 3));  // odd and negative pitches too
      fill_random(orig, seed++, sixteen ? 65535 : 255);
      for (const auto& k : settings) {
        static img::transform_params p;
        p.saturation = k[0], p.hue = k[1], p.contrast = k[2], p.brightness = k[3], p.gamma_enable = 1;
        img::build_gamma_lut(p.gamma_lut, 60 + k[1]);
        p.cpu_features = 0;
        owned_image want = copy_of(orig);
        img::color_adjust(want.desc, p);
        for (uint32_t v : kVariants) {
          owned_image got = copy_of(orig);
          p.cpu_features = v & kCpu;
          img::color_adjust(got.desc, p);
          ASSERT_EQ(got.buffer, want.buffer) << std::hex << fcc << std::dec << " " << w << " variant " << v;
        }
      }
    }
  }
}

TEST(ColourAdjustment, BrightnessContrastHueSaturationAndGamma) {
  // Neutral values leave every plane alone.
  owned_image yuv = make_image(img::FOURCC_YUV8PLANAR, 6, 2);
  fill_random(yuv, 17);
  const std::vector<uint8_t> orig = yuv.buffer;
  img::adjust_brightness_contrast(yuv.desc, 0, 0);
  img::adjust_hue_saturation(yuv.desc, 0, 0);
  EXPECT_EQ(yuv.buffer, orig);

  // Contrast 64 (k = 0.25): gain 1.25 -> 80/64, offset -0.125 -> -32; plus
  // brightness 16 (+16). Chroma planes untouched.
  img::adjust_brightness_contrast(yuv.desc, 64, 16);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(yuv.buffer[i], clamp(orig[i] * 80 / 64 - 32 + 16, 0, 255)) << i;
  for (size_t i = 12; i < orig.size(); ++i) EXPECT_EQ(yuv.buffer[i], orig[i]);
  // Negative contrast (k = -0.5): gain 0.75 -> 48/64, offset 0.125 -> 32.
  owned_image y16 = make_image(img::FOURCC_Y16, 3, 1);
  set16(y16.desc, 0, 0, 0), set16(y16.desc, 1, 0, 40000), set16(y16.desc, 2, 0, 65535);
  img::adjust_brightness_contrast(y16.desc, -128, 0);
  EXPECT_EQ(get16(y16.desc, 0, 0), 8192);
  EXPECT_EQ(get16(y16.desc, 1, 0), 40000 * 48 / 64 + 8192);
  EXPECT_EQ(get16(y16.desc, 2, 0), 65535 * 48 / 64 + 8192);

  // Saturation 2 doubles the chroma distance from 128; hue 180 mirrors it.
  owned_image c = make_image(img::FOURCC_YUV8PLANAR, 2, 1);
  c.buffer = {50, 60, 100, 140, 150, 120};  // Y Y U U V V
  owned_image c2 = copy_of(c);
  img::adjust_hue_saturation(c.desc, 64, 0);
  EXPECT_EQ(c.buffer, (std::vector<uint8_t>{50, 60, 72, 152, 172, 112}));
  img::adjust_hue_saturation(c2.desc, 0, 180);
  EXPECT_EQ(c2.buffer, (std::vector<uint8_t>{50, 60, 156, 116, 106, 136}));
  // Hue 90 rotates (U, V) by a quarter turn: U' = -V, V' = U around 128.
  owned_image q = make_image(img::FOURCC_YUV8PLANAR, 1, 1);
  q.buffer = {90, 128 + 40, 128 + 10};
  img::adjust_hue_saturation(q.desc, 0, 90);
  EXPECT_NEAR(q.buffer[1], 128 - 10, 1);
  EXPECT_NEAR(q.buffer[2], 128 + 40, 1);

  // Gamma tables: 100 is the identity for 8 bits; 16 bits scale to 65280.
  static img::gamma_table lut;
  img::build_gamma_lut(lut, 100);
  for (int i = 0; i < 256; ++i) ASSERT_NEAR(lut.lut8[i], i, 1);
  EXPECT_NEAR(lut.lut16[32768], 32640, 1);
  img::build_gamma_lut(lut, 200);
  owned_image g = make_image(img::FOURCC_Y800, 2, 1);
  g.buffer = {128, 255};
  img::apply_gamma(g.desc, lut);
  EXPECT_EQ(g.buffer, (std::vector<uint8_t>{64, 255}));  // trunc((128/255)^2 x 255) = trunc(64.25)
}
