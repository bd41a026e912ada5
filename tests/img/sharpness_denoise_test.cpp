// Sharpness and denoise: every variant against the per-pixel reference on
// random images of all four types (strengths off and out of range, the
// unfiltered two-pixel frame and flat areas included), and the smallest
// accepted image.
#include <gtest/gtest.h>

#include <random>

#include "filter/sharpness_denoise/sharpness_denoise.h"
#include "reference_filters.h"

using namespace xform_test;

namespace {


bool planar(uint32_t fcc) {
  return fcc == img::FOURCC_YUV8PLANAR || fcc == img::FOURCC_YUV16PLANAR;
}
bool wide(uint32_t fcc) { return fcc == img::FOURCC_Y16 || fcc == img::FOURCC_YUV16PLANAR; }

std::vector<int> plane_of(const owned_image& im, int plane) {
  std::vector<int> v;
  for (int y = 0; y < im.desc.dim_y; ++y)
    for (int x = 0; x < im.desc.dim_x; ++x)
      v.push_back(wide(im.desc.type) ? get16(im.desc, x, y, plane) : *at8(im.desc, x, y, plane));
  return v;
}

}  // namespace

TEST(SharpnessDenoise, EveryVariantMatchesTheReferenceOnRandomImages) {
  std::mt19937 rng(11);
  const uint32_t types[] = {img::FOURCC_Y800, img::FOURCC_YUV8PLANAR, img::FOURCC_Y16,
                            img::FOURCC_YUV16PLANAR};
  const int widths[] = {8, 9, 31, 32, 33, 45, 64, 77};
  // Both ends of the sharpening table, strengths beyond it (off) and a
  // denoise beyond its limit of 25.
  const int settings[][2] = {{0, 0}, {5, 0}, {0, 10}, {14, 25}, {9, 3}, {1, 20}, {12, 40}, {15, 0}, {-3, 17}};
  for (uint32_t fcc : types) {
    for (int w : widths) {
      const int h = 8 + static_cast<int>(rng() % 5);
      // Full-range noise saturates the edge measure; low-amplitude noise
      // keeps it in the middle of its range, where both blends mix.
      owned_image src =
          make_image(fcc, w, h, planar(fcc) ? layout::dense : static_cast<layout>(rng() % 3));
      const bool faint = rng() % 2;
      fill_random(src, rng(), wide(fcc) ? (faint ? 4000 : 65535) : (faint ? 30 : 255));
      for (const auto& st : settings) {
        const filter_ref::sd_params k = filter_ref::sd_params_of(st[0], st[1]);
        for (uint32_t cpu : kVariants) {
          if (!has_variant(cpu)) continue;
          owned_image dst = make_image(fcc, w, h, static_cast<layout>(rng() % 2));
          img::sharpness_denoise(dst.desc, src.desc, st[0], st[1], cpu);
          for (int plane = 0; plane < (planar(fcc) ? 3 : 1); ++plane) {
            const std::vector<int> want = filter_ref::sharpen_plane(
                plane_of(src, plane), w, h, plane == 0, k, wide(fcc) ? 65535 : 255);
            EXPECT_EQ(plane_of(dst, plane), want)
                << std::hex << fcc << std::dec << " " << w << "x" << h << " s" << st[0] << " d"
                << st[1] << " cpu " << cpu << " plane " << plane;
          }
        }
      }
    }
  }
}

TEST(SharpnessDenoise, SmallestImageIsEightByEightAndMismatchesAreRefused) {
  report_capture reports;
  owned_image src = make_image(img::FOURCC_Y800, 8, 8), dst = make_image(img::FOURCC_Y800, 8, 8);
  fill_random(src, 8);
  img::sharpness_denoise(dst.desc, src.desc, 3, 3, 0);
  EXPECT_TRUE(reports.reports.empty());
  EXPECT_NE(dst.buffer, std::vector<uint8_t>(64, 0));
  const auto run = [](uint32_t dst_fcc, uint32_t src_fcc, int w) {
    img::sharpness_denoise(make_image(dst_fcc, w, 8).desc, make_image(src_fcc, w, 8).desc, 3, 3, 0);
  };
  run(img::FOURCC_Y800, img::FOURCC_Y800, 7);
  run(img::FOURCC_Y16, img::FOURCC_Y800, 8);
  run(img::FOURCC_RGB24, img::FOURCC_RGB24, 8);
  EXPECT_EQ(reports.reports,
            (std::vector<std::string>{"dst.dim_x >= 8", "dst.type == src.type",
                                      "dst.type == FOURCC_Y800 || dst.type == FOURCC_YUV8PLANAR || "
                                      "dst.type == FOURCC_Y16 || dst.type == FOURCC_YUV16PLANAR"}));
}
