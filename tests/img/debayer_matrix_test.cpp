// The matrix debayer: the fixed-point plain code against a double-precision
// reference of the kernels and colour chain (within rounding), the vector
// variants bit-identical to the plain code on random frames around their
// minimum widths and steps, flat grey and orientation.
#include <gtest/gtest.h>

#include <iterator>
#include <vector>

#include "by16/by16_transform_matrix.h"
#include "reference_transform.h"

using namespace xform_test;

namespace {

constexpr uint32_t kBayer8[4] = {img::FOURCC_BGGR8, img::FOURCC_GBRG8, img::FOURCC_GRBG8, img::FOURCC_RGGB8};
constexpr uint32_t kBayer16[4] = {img::FOURCC_BGGR16, img::FOURCC_GBRG16, img::FOURCC_GRBG16, img::FOURCC_RGGB16};
constexpr int16_t kMatrix[9] = {88, -16, -8, -10, 78, -4, 2, -26, 88};

constexpr int16_t kHugeMatrix[9] = {32767, -32768, 32767, -32768, 32767, -32768, 32767, -32768, 32767};

struct chain_case {
  bool matrix;
  int contrast, brightness, saturation, hue;
  bool huge;  // kHugeMatrix
};
constexpr chain_case kChains[] = {
    {false, 0, 0, 0, 0},      // neutral
    {true, 0, 0, 0, 0},       // colour matrix only
    {true, 60, -30, 40, 35},  // everything
    {false, -90, 20, -30, -120},
};
// Sums far beyond 2^31 (most samples clamp): the vector forms' other path.
constexpr chain_case kAbsurd = {true, 1 << 24, 0, 5000, 10, true};

img::matrix_debayer_params params_for(const chain_case& c, uint32_t cpu, bool flip = false) {
  img::matrix_debayer_params p = {};
  p.cpu_features = cpu;
  p.color_matrix = c.huge ? kHugeMatrix : kMatrix;
  p.color_matrix_enable = c.matrix;
  p.contrast = c.contrast, p.brightness = c.brightness, p.saturation = c.saturation, p.hue = c.hue;
  p.flip = flip;
  return p;
}

chain_settings settings_for(const chain_case& c) {
  chain_settings s;
  s.matrix = c.matrix ? kMatrix : nullptr;
  s.contrast = c.contrast, s.brightness = c.brightness, s.saturation = c.saturation, s.hue = c.hue;
  return s;
}

// Output sample j of pixel (x, y) as stored (RGB bottom-up).
int stored(const img::img_descriptor& d, int x, int y, int j) {
  switch (d.type) {
    case img::FOURCC_YUV16PLANAR: return get16(d, x, y, j);
    case img::FOURCC_YUV8PLANAR: return *at8(d, x, y, j);
    default: {
      const int bytes = d.type == img::FOURCC_RGB24 ? 3 : 4;
      return at8(d, bytes * x, d.dim_y - 1 - y)[2 - j];  // rows R G B, bytes B G R
    }
  }
}

void expect_near_reference(const img::img_descriptor& dst, const std::vector<double>& ref, int tolerance, int max,
                           const char* what) {
  int worst = 0;
  for (int y = 0; y < dst.dim_y; ++y)
    for (int x = 0; x < dst.dim_x; ++x)
      for (int j = 0; j < 3; ++j) {
        const double r = ref[(static_cast<size_t>(y) * dst.dim_x + x) * 3 + j];
        const int want = clamp(static_cast<int>(std::floor(r + 0.5)), 0, max);
        const int diff = std::abs(stored(dst, x, y, j) - want);
        if (diff > worst) worst = diff;
      }
  EXPECT_LE(worst, tolerance) << what;
}


}  // namespace

TEST(DebayerMatrix, PlainCodeFollowsKernelsAndColourChainWithinRounding) {
  // 8-bit "YU8p", "RGB3" and "RGB4" and 16-bit "YUGp", every pattern and
  // chain, within 1 of the exact weighted sums.
  uint32_t seed = 11;
  for (bool sixteen : {false, true}) {
    for (int pattern = 0; pattern < 4; ++pattern) {
      const layout l = sixteen ? layout::bottom_up : layout::padded;
      owned_image src = make_image((sixteen ? kBayer16 : kBayer8)[pattern], 12, 8, l);
      fill_random(src, seed++, sixteen ? 65535 : 255);
      const auto debayer = sixteen ? img::transform_matrix_debayer16 : img::transform_matrix_debayer8;
      for (const chain_case& c : kChains) {
        for (uint32_t out : sixteen ? std::vector<uint32_t>{img::FOURCC_YUV16PLANAR}
                                    : std::vector<uint32_t>{img::FOURCC_YUV8PLANAR, img::FOURCC_RGB24,
                                                            img::FOURCC_RGB32}) {
          const bool yuv = out != img::FOURCC_RGB24 && out != img::FOURCC_RGB32;
          owned_image dst = make_image(out, 12, 8);
          debayer(dst.desc, src.desc, params_for(c, 0));
          expect_near_reference(dst.desc, reference_debayer_matrix(src.desc, sixteen, yuv, settings_for(c)), 1,
                                sixteen ? 65535 : 255, sixteen ? "16-bit" : "8-bit");
        }
      }
    }
  }
}

TEST(DebayerMatrix, VectorVariantsAreBitIdenticalToThePlainCode) {
  // Every variant (SSSE3, AVX2 and AVX-512 with and without VNNI for 8
  // bits, SSE4.1, AVX2 and AVX-512 for 16 bits); widths around their minimums and steps (AVX-512,
  // 8 bits: from 128 in steps of 64, the last one overlapping when the
  // width is no multiple).
  const layout layouts[] = {layout::dense, layout::padded, layout::bottom_up};
  const struct {
    bool sixteen;
    std::vector<int> widths, heights;
    std::vector<uint32_t> outputs;
  } kinds[] = {
      {false,
       {62, 64, 66, 80, 82, 84, 98, 100, 126, 128, 130, 132, 192, 194, 196, 258, 260},
       {2, 4, 6},
       {img::FOURCC_YUV8PLANAR, img::FOURCC_RGB24, img::FOURCC_RGB32}},
      {true, {30, 32, 34, 40, 42, 44, 50, 62, 64, 66, 96, 98, 130}, {4, 6}, {img::FOURCC_YUV16PLANAR}},
  };
  // The sensible chains keep every 16-bit sum below 2^31, the absurd one not.
  for (const chain_case& c : kChains) {
    img::matrix_detail::folded_weights16 fw;
    img::matrix_detail::fold_weights16(fw, params_for(c, 0));
    EXPECT_TRUE(fw.bounded);
  }
  img::matrix_detail::folded_weights16 absurd;
  img::matrix_detail::fold_weights16(absurd, params_for(kAbsurd, 0));
  EXPECT_FALSE(absurd.bounded);
  // The 8-bit AVX-512 form also comes with VNNI.
  std::vector<uint32_t> variants(std::begin(kVariants), std::end(kVariants));
  variants.push_back(variants.back() | img::cpu_avx512vnni);
  for (const auto& k : kinds) {
    const auto debayer = k.sixteen ? img::transform_matrix_debayer16 : img::transform_matrix_debayer8;
    uint32_t seed = k.sixteen ? 41 : 31;
    int n = 0;
    for (int w : k.widths)
      for (int h : k.heights)
        for (int pattern = 0; pattern < 4; ++pattern, ++n) {
          owned_image src = make_image((k.sixteen ? kBayer16 : kBayer8)[pattern], w, h, layouts[n % 3]);
          fill_random(src, seed++, k.sixteen ? 65535 : 255);
          const chain_case& c = k.sixteen && n % 5 == 4 ? kAbsurd : kChains[n % 4];
          for (uint32_t out : k.outputs) {
            owned_image want = make_image(out, w, h, layouts[(n / 3) % 3]);
            debayer(want.desc, src.desc, params_for(c, 0));
            for (uint32_t v : variants) {
              if (v == 0 || !has_variant(v)) continue;
              owned_image got = make_image(out, w, h, layouts[(n / 3) % 3]);
              debayer(got.desc, src.desc, params_for(c, v));
              ASSERT_EQ(got.buffer, want.buffer) << w << "x" << h << " pattern " << pattern << " out " << std::hex << out
                                                 << " variant " << v;
            }
          }
        }
  }
}

TEST(DebayerMatrix, FlatGreyStaysFlatGreyAndOrientationFollowsTheOutput) {
  owned_image grey8 = make_image(img::FOURCC_RGGB8, 96, 6);
  for (auto& b : grey8.buffer) b = 180;
  for (uint32_t out : {img::FOURCC_YUV8PLANAR, img::FOURCC_RGB24, img::FOURCC_RGB32}) {
    owned_image dst = make_image(out, 96, 6);
    img::transform_matrix_debayer8(dst.desc, grey8.desc, params_for(kChains[0], kCpu));
    const int chroma = out == img::FOURCC_YUV8PLANAR ? 128 : 180;
    for (int y = 0; y < 6; ++y)
      for (int x = 0; x < 96; ++x)
        for (int j = 0; j < 3; ++j) ASSERT_EQ(stored(dst.desc, x, y, j), j ? chroma : 180);
  }
  owned_image grey16 = make_image(img::FOURCC_GRBG16, 40, 4), yug = make_image(img::FOURCC_YUV16PLANAR, 40, 4);
  fill_with(grey16, [](int, int) { return 0x8000; });
  img::transform_matrix_debayer16(yug.desc, grey16.desc, params_for(kChains[0], kCpu));
  for (int x = 0; x < 40; ++x) {
    EXPECT_EQ(get16(yug.desc, x, 3, 0), 0x8000);
    EXPECT_EQ(get16(yug.desc, x, 3, 1), 32768);
    // The V row's coefficients sum to 0.001, which shows at 16 bits.
    EXPECT_NEAR(get16(yug.desc, x, 3, 2), 32768, 40);
  }

  // A bright first line shows up in the last RGB line in memory, and in the
  // first one when flipped.
  owned_image marked = make_image(img::FOURCC_BGGR8, 64, 4);
  for (int x = 0; x < 64; ++x) *at8(marked.desc, x, 0) = 250;
  owned_image up = make_image(img::FOURCC_RGB24, 64, 4), down = make_image(img::FOURCC_RGB24, 64, 4);
  img::transform_matrix_debayer8(up.desc, marked.desc, params_for(kChains[0], kCpu));
  img::transform_matrix_debayer8(down.desc, marked.desc, params_for(kChains[0], kCpu, true));
  EXPECT_GT(*at8(up.desc, 30, 3), 100);
  EXPECT_GT(*at8(down.desc, 30, 0), 100);
  EXPECT_EQ(*at8(up.desc, 30, 0), 0);
}

TEST(DebayerMatrix, PreconditionsAreReportedAndNothingIsWritten) {
  report_capture reports;
  owned_image out = make_image(img::FOURCC_RGB24, 13, 4), yug = make_image(img::FOURCC_YUV16PLANAR, 6, 4);
  img::transform_matrix_debayer8(out.desc, make_image(img::FOURCC_BGGR8, 13, 4).desc, params_for(kChains[0], 0));
  img::transform_matrix_debayer16(yug.desc, make_image(img::FOURCC_BGGR16, 6, 4).desc, params_for(kChains[0], 0));
  // A source that is not Bayer is ignored by the dispatcher.
  img::transform_matrix_debayer(make_image(img::FOURCC_RGB24, 12, 4).desc, make_image(img::FOURCC_Y800, 12, 4).desc,
                                params_for(kChains[0], 0));
  EXPECT_EQ(reports.reports.size(), 2u);
  EXPECT_EQ(out.buffer, std::vector<uint8_t>(out.buffer.size(), 0));
  EXPECT_EQ(yug.buffer, std::vector<uint8_t>(yug.buffer.size(), 0));
}
