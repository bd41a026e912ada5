// Pixel-pattern fixes on frames with a known pattern: the j003 fix against
// its reference (every variant, tails and partial cells included), the
// treatment of bright blocks, frames without a pattern, and the empia fix
// with its phase gains.
#include <gtest/gtest.h>

#include <random>

#include "auto/grid_sampler.h"
#include "filter/pixelfix/empia_pattern_fix.h"
#include "filter/pixelfix/j003_pixelfix.h"
#include "reference_filters.h"

using namespace xform_test;

namespace {

using filter_ref::samples_of;

// Samples at a level chosen per cell by `level_of(cell_x)`, with a position
// gain of 1 + strength * position, plus noise. 16-bit frames hold the value
// in the high byte with a random low byte.
template <typename F>
owned_image patterned(uint32_t fcc, int w, int h, uint32_t seed, F level_of, double strength) {
  owned_image im = make_image(fcc, w, h, layout::padded);
  std::mt19937 rng(seed);
  fill_with(im, [&](int x, int y) {
    const double v = (level_of(x / 4) + static_cast<int>(rng() % 6)) *
                     (1.0 + strength * ((y % 4) * 2 + (x & 1)));
    const int v8 = std::min(255, static_cast<int>(v));
    return fcc == img::FOURCC_Y16 ? (v8 << 8) | static_cast<int>(rng() & 0xFF) : v8;
  });
  return im;
}

// Runs the j003 fix on `im` with scratch of the advertised size and returns
// the scratch, which holds the gain table afterwards.
std::vector<uint8_t> fix(const owned_image& im, uint32_t cpu) {
  std::vector<uint8_t> scratch(img::j003::get_scratch_space_size(img::to_img_type(im.desc)));
  img::j003_pixelfix(im.desc, scratch.data(), scratch.size(), cpu);
  return scratch;
}

}  // namespace

TEST(J003PixelFix, EveryVariantMatchesTheReferenceAndTheGainTableSpreadsBetweenBuckets) {
  // Left half of the cells around level 70 (bucket 2), right half around 170
  // (bucket 5): both buckets valid, the levels between them interpolated.
  // Widths with vector tails, a height with a partial last cell.
  const int sizes[][2] = {{516, 524}, {520, 520}};
  for (uint32_t fcc : {img::FOURCC_Y800, img::FOURCC_Y16}) {
    for (const auto& size : sizes) {
      const int w = size[0], h = size[1];
      const owned_image orig = patterned(
          fcc, w, h, 9, [w](int cx) { return cx < w / 8 ? 66 : 160; }, 0.015);
      std::vector<float> table;
      const std::vector<int> want =
          filter_ref::j003(samples_of(orig), w, h, fcc == img::FOURCC_Y16, &table);
      ASSERT_GT(table[100 * 8 + 0], 1.05f) << w;  // position 0 is the darkest
      for (uint32_t cpu : {0u, kCpu}) {
        owned_image im = copy_of(orig);
        const std::vector<uint8_t> scratch = fix(im, cpu);
        EXPECT_EQ(samples_of(im), want)
            << std::hex << fcc << std::dec << " " << w << "x" << h << " cpu " << cpu;
        for (int level : {0, 70, 81, 100, 176, 200, 255})
          for (int k = 0; k < 8; ++k)
            EXPECT_EQ(img::j003::gain_of(scratch.data(), level, k), table[level * 8 + k]);
        // The measured gains undo the pattern: position 0 was made darker
        // than position 7 by the factor 1 / 1.105.
        EXPECT_NEAR(img::j003::gain_of(scratch.data(), 80, 0), 1.105, 0.01);
        EXPECT_NEAR(img::j003::gain_of(scratch.data(), 176, 0), 1.105, 0.01);
        EXPECT_EQ(img::j003::gain_of(scratch.data(), 80, 7), 1.0f);
      }
    }
  }
}

TEST(J003PixelFix, BrightBlocksAreCorrectedButNotMeasured) {
  // Dark cells carry a pattern, bright cells (level >= 240) a different,
  // much stronger one. Only the dark cells are measured, so the bright
  // cells are corrected with the dark cells' gains held up to level 255.
  const int w = 520, h = 528;
  owned_image im = make_image(img::FOURCC_Y800, w, h);
  fill_with(im, [](int x, int y) {
    const int pos = (y % 4) * 2 + (x & 1);
    return (x / 4) % 8 == 7 ? 247 - 2 * pos : 100 - pos;  // every 8th cell bright
  });
  const owned_image orig = copy_of(im);
  const std::vector<uint8_t> scratch = fix(im, kCpu);
  for (int k = 0; k < 8; ++k) {
    const float dark_gain = 100.0f / static_cast<float>(100 - k);
    EXPECT_FLOAT_EQ(img::j003::gain_of(scratch.data(), 112, k), dark_gain);
    EXPECT_FLOAT_EQ(img::j003::gain_of(scratch.data(), 245, k), dark_gain);
  }
  // A bright pixel at position 7: 233 * 100 / 93 = 250.5 -> 250.
  EXPECT_EQ(*at8(orig.desc, 29, 3), 233);
  EXPECT_EQ(*at8(im.desc, 29, 3), 250);
  EXPECT_EQ(*at8(im.desc, 1, 3), 100);  // dark pixels flattened to 100
  EXPECT_EQ(samples_of(im), filter_ref::j003(samples_of(orig), w, h, false));
}

TEST(J003PixelFix, FramesWithoutPatternOrWithoutStatisticsStayUnchanged) {
  // Uniformly lit: every gain 1.0, the frame unchanged.
  for (uint32_t fcc : {img::FOURCC_Y800, img::FOURCC_Y16}) {
    owned_image flat = make_image(fcc, 256, 520);
    std::fill(flat.buffer.begin(), flat.buffer.end(), 0x60);
    const std::vector<uint8_t> before = flat.buffer;
    const std::vector<uint8_t> scratch = fix(flat, kCpu);
    EXPECT_EQ(flat.buffer, before);
    EXPECT_EQ(img::j003::gain_of(scratch.data(), 0x60, 5), 1.0f);
  }
  // Too few cells for a valid bucket: unchanged, gains 1.0.
  owned_image small = patterned(
      img::FOURCC_Y800, 64, 32, 3, [](int) { return 90; }, 0.05);
  const std::vector<uint8_t> before = small.buffer;
  std::vector<uint8_t> scratch = fix(small, 0);
  EXPECT_EQ(small.buffer, before);
  // Preconditions: width, scratch size, type.
  report_capture reports;
  img::j003_pixelfix(make_image(img::FOURCC_Y800, 66, 32).desc, scratch.data(), scratch.size(), 0);
  img::j003_pixelfix(small.desc, scratch.data(), 100, 0);
  img::j003_pixelfix(make_image(img::FOURCC_RGB24, 64, 32).desc, scratch.data(), scratch.size(), 0);
  EXPECT_EQ(reports.reports.size(), 3u);
}

TEST(EmpiaPatternFix, PhaseGainsRaiseEveryPhaseToTheBrightest) {
  std::vector<uint8_t> scratch(img::empia_pattern_fix_scratch_size);
  for (uint32_t fcc : {img::FOURCC_Y800, img::FOURCC_Y16}) {
    // Phases (0,0) 100, (1,0) 90, (0,1) 80, (1,1) 100: gains 64, 71, 80, 64.
    owned_image im = make_image(fcc, 84, 62, layout::padded);
    const int phase[4] = {100, 90, 80, 100}, scale = fcc == img::FOURCC_Y16 ? 256 : 1;
    fill_with(im, [&](int x, int y) { return phase[(y & 1) * 2 + (x & 1)] * scale; });
    img::empia_pattern_fix(im.desc, scratch.data(), scratch.size(), kCpu);
    EXPECT_EQ(filter_ref::sample(im.desc, 0, 0), 100 * scale);
    EXPECT_EQ(filter_ref::sample(im.desc, 1, 0), 90 * scale * 71 / 64);
    EXPECT_EQ(filter_ref::sample(im.desc, 0, 1), 80 * scale * 80 / 64);
    EXPECT_EQ(filter_ref::sample(im.desc, 1, 1), 100 * scale);
  }
  // A phase darker than a quarter of the brightest gets gain 255, not a
  // wrapped-around 8-bit value.
  owned_image dark = make_image(img::FOURCC_Y800, 84, 62);
  fill_with(dark, [](int x, int y) { return ((x | y) & 1) ? 200 : 40; });
  img::empia_pattern_fix(dark.desc, scratch.data(), scratch.size(), 0);
  EXPECT_EQ(*at8(dark.desc, 0, 0), 40 * 255 / 64);
  EXPECT_EQ(*at8(dark.desc, 1, 0), 200);
  // No sample (frame below the grid size), a zero phase or too little
  // scratch: untouched.
  owned_image tiny = make_image(img::FOURCC_Y800, 40, 30),
              lit = make_image(img::FOURCC_Y800, 84, 62);
  owned_image zero = make_image(img::FOURCC_Y800, 84, 62);
  fill_random(tiny, 5);
  fill_random(lit, 6);
  fill_with(zero, [](int x, int) { return (x & 1) ? 90 : 0; });
  for (owned_image* im : {&tiny, &zero, &lit}) {
    const std::vector<uint8_t> before = im->buffer;
    img::empia_pattern_fix(im->desc, scratch.data(), im == &lit ? 10003 : scratch.size(), kCpu);
    EXPECT_EQ(im->buffer, before);
  }
}

TEST(GridSampler, SamplesBayerCellsAlignedOnThePatternAndRgbPixels) {
  // 82 x 62: steps 2 and 2; points x = 2..80, y = 2..60 -> 40 x 30 = 1200.
  owned_image bayer = make_image(img::FOURCC_GRBG16, 82, 62);
  fill_random(bayer, 7, 65535);
  img::grid_samples s;
  ASSERT_EQ(img::sample_color_grid(bayer.desc, s), 1200);
  // Third point of the first row: (6, 2); GRBG cell G R / B G.
  const img::grid_sample& g = s.samples[2];
  EXPECT_EQ(g.g1, get16(bayer.desc, 6, 2) >> 8);
  EXPECT_EQ(g.r, get16(bayer.desc, 7, 2) >> 8);
  EXPECT_EQ(g.b, get16(bayer.desc, 6, 3) >> 8);
  EXPECT_EQ(g.g2, get16(bayer.desc, 7, 3) >> 8);
  EXPECT_EQ(g.g, (g.g1 + g.g2) >> 1);
  // Many grid points: capped at 2000.
  owned_image big = make_image(img::FOURCC_RGB24, 81, 61);  // steps 1: 79 x 60 points
  fill_random(big, 8);
  EXPECT_EQ(img::sample_color_grid(big.desc, s), 2000);
  EXPECT_EQ(s.samples[0].b, *at8(big.desc, 3 * 1, 1));
  EXPECT_EQ(s.samples[0].r, *at8(big.desc, 3 * 1 + 2, 1));
  EXPECT_EQ(s.samples[79].g,
            *at8(big.desc, 3 * 1 + 1, 2));  // the second row starts after 79 points
  owned_image small = make_image(img::FOURCC_RGB24, 40, 40);
  EXPECT_EQ(img::sample_color_grid(small.desc, s), 0);
}
