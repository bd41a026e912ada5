// Tone mapping as the pipe uses it: the curve table built from its four
// inputs, every kernel variant against the per-pixel reference on random
// images, the degenerate factors, and the automatic factors with their
// smoothing over frames.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "reference_filters.h"

using namespace xform_test;

namespace {

using filter_ref::samples_of;
using filter_ref::state_holder;

void apply(const owned_image& im, const img::tonemapping_factors& f,
           const img::tonemapping_table& t, uint32_t cpu) {
  std::vector<uint8_t> scratch(img::tonemapping::get_scratch_space_size(im.desc));
  img::tonemapping_apply(im.desc, f, t, scratch.data(), scratch.size(), cpu);
}

const uint32_t kTypes[] = {img::FOURCC_Y800,   img::FOURCC_Y16,    img::FOURCC_BGGR8,
                           img::FOURCC_GBRG8,  img::FOURCC_GRBG8,  img::FOURCC_RGGB8,
                           img::FOURCC_BY8,    img::FOURCC_BGGR16, img::FOURCC_GBRG16,
                           img::FOURCC_GRBG16, img::FOURCC_RGGB16};

}  // namespace

TEST(ToneMapping, CurveTableFollowsItsFourInputsAndIsRebuiltOnlyWhenTheyChange) {
  state_holder s;
  img::tonemapping_table& t = s.table();
  const img::tonemapping_factors f = {1.5f, 0.3f, 0.4f, 0.7f, 1.0f, 0.0f};
  img::tonemapping_set_factors(t, f);
  const double m = std::exp(-1.5);
  for (int k : {0, 1, 255, 4096, 30000, 65535}) {
    const double x = (k + 1) / 65535.0;
    const double want = std::pow(m * (0.7 * x + 0.3 * 0.4), 0.7);
    EXPECT_NEAR(t.sigma[k], want, want * 2e-6) << k;
  }
  // The 8-bit curve on the 0..255 scale (sigma8 itself is what the 8-bit images use).
  for (int k = 0; k < 256; ++k) EXPECT_FLOAT_EQ(t.sigma8_x255[k], t.sigma[256 * k] * 255.0f);
  // Same inputs: the table is kept (a marked entry survives); new ones rebuild it.
  t.sigma[7] = -1.0f;
  img::tonemapping_factors g = f;
  g.mul = 3.0f, g.add = 0.5f;  // not inputs of the table
  img::tonemapping_set_factors(t, g);
  EXPECT_EQ(t.sigma[7], -1.0f);
  g.pow = 0.71f;
  img::tonemapping_set_factors(t, g);
  EXPECT_GT(t.sigma[7], 0.0f);

  // Intensity 0, g = 0: sigma(x) = x^c, the curve depends only on the pixel.
  img::tonemapping_set_factors(t, {0.0f, 0.0f, 0.9f, 0.5f, 1.0f, 0.0f});
  EXPECT_NEAR(t.sigma[16383], std::sqrt(16384 / 65535.0), 1e-6);
  // Out-of-range intensity is reported and clamped.
  report_capture reports;
  img::tonemapping_set_factors(t, {12.0f, 0.0f, 0.5f, 1.0f, 1.0f, 0.0f});
  EXPECT_EQ(reports.reports.size(), 1u);
  EXPECT_NEAR(t.sigma[65535], std::exp(-8.0), 1e-7);
}

TEST(ToneMapping, EveryVariantMatchesTheReferenceOnRandomImages) {
  state_holder s;
  std::mt19937 rng(31);
  const int widths[] = {4, 5, 15, 16, 17, 24, 31, 40, 67};
  const int heights[] = {2, 3, 5, 8};
  for (uint32_t fcc : kTypes) {
    for (int w : widths) {
      const int h = heights[rng() % 4];
      std::uniform_real_distribution<float> u(0.0f, 1.0f);
      const img::tonemapping_factors f = {u(rng) * 4 - 2, u(rng),        u(rng),
                                          0.2f + u(rng),  0.6f + u(rng), u(rng) * 0.4f - 0.2f};
      img::tonemapping_set_factors(s.table(), f);
      owned_image src = make_image(fcc, w, h, static_cast<layout>(rng() % 3));
      fill_random(src, rng(), filter_ref::sixteen_bit(fcc) ? 65535 : 255);
      const std::vector<int> want = filter_ref::tone_map(src.desc, s.table().sigma, f.mul, f.add);
      for (uint32_t cpu : kVariants) {
        if (!has_variant(cpu)) continue;
        owned_image im = copy_of(src);
        apply(im, f, s.table(), cpu);
        EXPECT_EQ(samples_of(im), want)
            << std::hex << fcc << std::dec << " " << w << "x" << h << " cpu " << cpu;
      }
    }
  }
}

TEST(ToneMapping, DegenerateFactorsAndSizes) {
  state_holder s;
  img::tonemapping_table& t = s.table();
  const img::tonemapping_factors f = {0.0f, 0.0f, 0.5f, 1.0f, 1.0f, 0.0f};
  img::tonemapping_set_factors(t, f);
  // sigma = 0 everywhere with a = 1, b = 0: every lit pixel goes to full
  // scale, black stays black (0 / 0 is taken as 0).
  std::fill(std::begin(t.sigma), std::end(t.sigma), 0.0f);
  std::fill(std::begin(t.sigma8), std::end(t.sigma8), 0.0f);
  for (uint32_t fcc : {img::FOURCC_Y800, img::FOURCC_Y16, img::FOURCC_RGGB16}) {
    const int full = filter_ref::sixteen_bit(fcc) ? 65535 : 255;
    owned_image im = make_image(fcc, 20, 4);
    fill_random(im, 5, full);
    im.buffer[0] = im.buffer[1] = 0;
    const std::vector<int> before = samples_of(im);
    for (uint32_t cpu : {0u, kCpu}) {
      owned_image out = copy_of(im);
      apply(out, f, t, cpu);
      const std::vector<int> after = samples_of(out);
      for (size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i], before[i] ? full : 0);
    }
  }
  // Smaller than 4 x 2 (left untouched), an unsupported type, or too little
  // scratch for a Bayer image: each reported.
  report_capture reports;
  owned_image tiny = make_image(img::FOURCC_Y800, 3, 2);
  fill_random(tiny, 6);
  const std::vector<uint8_t> tiny_before = tiny.buffer;
  apply(tiny, f, t, 0);
  EXPECT_EQ(tiny.buffer, tiny_before);
  apply(make_image(img::FOURCC_YUY2, 16, 4), f, t, kCpu);
  owned_image bayer = make_image(img::FOURCC_BGGR16, 16, 4);
  uint8_t small[8];
  img::tonemapping_apply(bayer.desc, f, t, small, sizeof small, kCpu);
  EXPECT_EQ(reports.reports.size(), 3u);
}

TEST(ToneMapping, AutomaticFactorsNormaliseTheGridRangeAndSmoothOverFrames) {
  state_holder s;
  // A reference of the smoothing: window of 21, median once full, a fifth
  // of the way per frame, the first value taken as is.
  struct smoother {
    std::vector<float> window;
    float value = 0;
    float push(float q) {
      const bool first = window.empty();
      window.push_back(q);
      if (window.size() > 21) window.erase(window.begin());
      float target = q;
      if (window.size() == 21) {
        std::vector<float> sorted = window;
        std::sort(sorted.begin(), sorted.end());
        target = sorted[10];
      }
      value = first ? target : value + (target - value) / 5.0f;
      return value;
    }
  } lo_ref, hi_ref;
  std::mt19937 rng(77);
  for (int frame = 0; frame < 30; ++frame) {
    const uint32_t fcc = frame % 2 ? img::FOURCC_GBRG16 : img::FOURCC_Y16;  // same sample scale
    owned_image im = make_image(fcc, 50, 27);
    fill_random(im, rng(), 20000 + 1500 * frame);
    const img::tonemapping_factors f =
        img::tonemapping_compute_factors(*s.state, im.desc, 1.0f, 0.25f);
    EXPECT_FLOAT_EQ(f.pow, 0.3f);
    EXPECT_EQ(f.intensity, 1.0f);
    EXPECT_EQ(f.global_brightness_factor, 0.25f);
    // Over the grid of every 8th pixel from (1, 1): the mean level, and the
    // range of the values mapped with the curve just built.
    double sum = 0;
    int n = 0;
    float lo = 1e6f, hi = -1e6f;
    for (int y = 1; y < 27; y += 8) {
      for (int x = 1; x < 50; x += 8, ++n) {
        const int level = filter_ref::tone_level(im.desc, x, y);
        const float v = filter_ref::sample(im.desc, x, y) / 65535.0f;
        const float t = v / (v + s.table().sigma[level]);
        sum += level, lo = std::min(lo, t), hi = std::max(hi, t);
      }
    }
    EXPECT_FLOAT_EQ(f.luminance_average, static_cast<float>(sum / n / 65535.0));
    lo = lo_ref.push(lo), hi = hi_ref.push(hi);
    EXPECT_FLOAT_EQ(f.mul, 1.0f / (hi - lo)) << frame;
    EXPECT_FLOAT_EQ(f.add, -lo / (hi - lo)) << frame;
  }
}
