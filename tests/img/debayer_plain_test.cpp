// The plain debayer: every pattern, output kind and flag combination against
// a reference written from the interpolation rules (line order of each
// output included), and every vector variant bit-identical to the plain code
// on random frames whose widths straddle the vector chunk, with padded and
// bottom-up images.
#include <gtest/gtest.h>

#include "by16/debayer_plain.h"
#include "reference_transform.h"

using namespace xform_test;

namespace {

constexpr uint32_t kPatternFcc[4] = {img::FOURCC_BGGR8, img::FOURCC_GBRG8, img::FOURCC_GRBG8, img::FOURCC_RGGB8};
constexpr uint32_t kOutputs[3] = {img::FOURCC_RGB24, img::FOURCC_RGB32, img::FOURCC_YUV8PLANAR};
// Deliberately not normalised, with negative entries, so that clamping and
// truncation toward zero both matter.
constexpr int16_t kMatrix[9] = {92, -20, -9, -14, 80, -3, 5, -31, 101};


// Compares a debayered frame with the reference rgb values: RGB as B G R
// bottom-up unless flipped, "YU8p" planes top-down unless flipped.
void expect_reference(const img::img_descriptor& dst, const std::vector<rgb>& ref, bool flip, const char* what) {
  const int w = dst.dim_x, h = dst.dim_y;
  int mismatches = 0;
  for (int y = 0; y < h && mismatches < 5; ++y) {
    for (int x = 0; x < w && mismatches < 5; ++x) {
      const rgb& e = ref[static_cast<size_t>(y) * w + x];
      int got[3], want[3] = {e.b, e.g, e.r};
      if (dst.type == img::FOURCC_YUV8PLANAR) {
        plain_yuv(e, want[0], want[1], want[2]);
        for (int k = 0; k < 3; ++k) got[k] = *at8(dst, x, flip ? h - 1 - y : y, k);
      } else {
        const uint8_t* p = at8(dst, (dst.type == img::FOURCC_RGB24 ? 3 : 4) * x, flip ? y : h - 1 - y);
        for (int k = 0; k < 3; ++k) got[k] = p[k];
      }
      for (int k = 0; k < 3; ++k) {
        if (got[k] == want[k]) continue;
        ++mismatches;
        ADD_FAILURE() << what << " at (" << x << ", " << y << ") channel " << k << ": " << got[k] << " != " << want[k];
      }
    }
  }
}

}  // namespace

TEST(DebayerPlain, PlainCodeFollowsTheInterpolationRulesForEveryPatternOutputAndFlag) {
  const int sizes[][2] = {{4, 2}, {7, 5}, {18, 6}};
  uint32_t seed = 1;
  for (const auto& size : sizes) {
    for (int pattern = 0; pattern < 4; ++pattern) {
      owned_image src = make_image(kPatternFcc[pattern], size[0], size[1], layout::padded);
      fill_random(src, seed++);
      for (int flags = 0; flags < 8; ++flags) {
        const std::vector<rgb> ref = reference_debayer_plain(src.desc, pattern, flags & 3, kMatrix);
        for (uint32_t out : kOutputs) {
          owned_image dst = make_image(out, size[0], size[1], layout::dense);
          img::debayer_plain(dst.desc, src.desc, static_cast<uint32_t>(flags), 0, kMatrix);
          expect_reference(dst.desc, ref, (flags & img::debayer_flip) != 0, "plain");
        }
      }
    }
  }
}

TEST(DebayerPlain, VectorVariantsAreBitIdenticalToThePlainCode) {
  // Widths below, at and around multiples of the 16- and 32-pixel chunks
  // (which need 18 and 34 columns), and heights around the 4-line minimum of
  // the vector path.
  const int widths[] = {15, 16, 17, 18, 19, 31, 34, 35, 50, 67, 83};
  const int heights[] = {3, 4, 7};
  const layout layouts[] = {layout::dense, layout::padded, layout::bottom_up};
  uint32_t seed = 100;
  int case_index = 0;
  for (int w : widths) {
    for (int h : heights) {
      for (int pattern = 0; pattern < 4; ++pattern) {
        const layout src_layout = layouts[case_index % 3];
        const layout dst_layout = layouts[(case_index / 3) % 3];
        ++case_index;
        owned_image src = make_image(kPatternFcc[pattern], w, h, src_layout);
        fill_random(src, seed++);
        for (int flags = 0; flags < 8; ++flags) {
          for (uint32_t out : kOutputs) {
            owned_image want = make_image(out, w, h, dst_layout);
            img::debayer_plain(want.desc, src.desc, static_cast<uint32_t>(flags), 0, kMatrix);
            for (uint32_t v : kVariants) {
              if (v == 0 || !has_variant(v)) continue;
              owned_image got = make_image(out, w, h, dst_layout);
              img::debayer_plain(got.desc, src.desc, static_cast<uint32_t>(flags), v, kMatrix);
              ASSERT_EQ(got.buffer, want.buffer) << "variant " << v << " size " << w << "x" << h << " pattern "
                                                 << pattern << " flags " << flags << " out " << std::hex << out;
            }
          }
        }
      }
    }
  }
}

TEST(DebayerPlain, FrameLevelBehaviour) {
  report_capture reports;
  // A 2 x 2 frame is below the minimum width and is left alone.
  owned_image tiny = make_image(img::FOURCC_BGGR8, 2, 2), tiny_out = make_image(img::FOURCC_RGB24, 2, 2);
  fill_random(tiny, 7);
  img::debayer_plain(tiny_out.desc, tiny.desc, 0, kCpu, nullptr);
  EXPECT_EQ(tiny_out.buffer, std::vector<uint8_t>(tiny_out.buffer.size(), 0));

  // "BY8 " is debayered as GBRG.
  owned_image by8 = make_image(img::FOURCC_BY8, 21, 5);
  fill_random(by8, 8);
  owned_image gbrg = copy_of(by8);
  gbrg.desc.type = img::FOURCC_GBRG8;
  owned_image a = make_image(img::FOURCC_RGB32, 21, 5), b = make_image(img::FOURCC_RGB32, 21, 5);
  img::debayer_plain(a.desc, by8.desc, 0, kCpu, nullptr);
  img::debayer_plain(b.desc, gbrg.desc, 0, kCpu, nullptr);
  EXPECT_EQ(a.buffer, b.buffer);
  EXPECT_TRUE(reports.reports.empty());

  // Mismatched sizes and types are reported and nothing is written.
  owned_image wrong = make_image(img::FOURCC_RGB24, 20, 5);
  img::debayer_plain(wrong.desc, by8.desc, 0, kCpu, nullptr);
  img::debayer_plain(make_image(img::FOURCC_Y16, 21, 5).desc, by8.desc, 0, kCpu, nullptr);
  EXPECT_EQ(reports.reports.size(), 2u);
  EXPECT_EQ(wrong.buffer, std::vector<uint8_t>(wrong.buffer.size(), 0));
}
