// The automatic exposure, gain and white-balance loops: hand-computed runs, and closed
// loops against a linear sensor from both exposure extremes under warm and cool light.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string>
#include <vector>

#include "auto/auto_process.h"
#include "reference_transform.h"

using namespace xform_test;

namespace {

struct loop {
  std::vector<uint64_t> memory = std::vector<uint64_t>(img::auto_state_size() / 8 + 1);
  img::auto_state* state;
  img::auto_settings s{};
  explicit loop(int interval = 1) {
    state = img::auto_state_create(memory.data(), img::auto_state_size(), {interval, false});
    s.exposure = {0, 20000, 333, true, 1};
    s.gain = {100, 1600, 100, true, 1, false};
    s.iris = {0, 1000, 500, false, 0.0};
    s.reference = 128;
    s.wb.r = s.wb.g = s.wb.b = 64;
    s.wb.temperature = 6500, s.wb.temperature_low = 2500, s.wb.temperature_high = 10000;
  }
  img::auto_result run(const owned_image& im) {
    img::auto_result r;
    img::auto_process_frame(r, im.desc, s, *state);
    return r;
  }
};

owned_image uniform(uint32_t fcc, int r, int g, int b, int w = 164, int h = 124) {
  owned_image im = make_image(fcc, w, h);
  const uint8_t bgr[3] = {static_cast<uint8_t>(b), static_cast<uint8_t>(g),
                          static_cast<uint8_t>(r)};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      if (fcc == img::FOURCC_RGB24)
        std::copy(bgr, bgr + 3, at8(im.desc, 3 * x, y));
      else
        put(im.desc, x, y, fcc == img::FOURCC_Y16 ? g << 8 : g);
  return im;
}

std::array<int, 3> gains(const img::auto_result& r) { return {r.wb_r, r.wb_g, r.wb_b}; }

}  // namespace

TEST(AutoExposure, CascadeChangesOneControlPerRunInItsOrder) {
  loop l(5);
  // Within 4 % (125 of 128): only the trade, exposure 333 * 105 / 100.
  l.s.gain.value = 400;
  img::auto_result r = l.run(uniform(img::FOURCC_Y800, 0, 125, 0));
  EXPECT_TRUE(r.valid);
  EXPECT_EQ(r.brightness, 125);
  EXPECT_EQ(r.exposure, 349);
  EXPECT_EQ(r.gain, 400);
  // Frames 2..5 of the interval do not run; the 6th does.
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(l.run(uniform(img::FOURCC_Y800, 0, 64, 0)).valid);
  // Too dark (ratio 200, damped to 133): exposure first.
  r = l.run(uniform(img::FOURCC_Y16, 0, 64, 0));
  EXPECT_EQ(r.brightness, 64);
  EXPECT_EQ(r.exposure, 442);
  EXPECT_EQ(r.gain, 400);
  // Exposure at its maximum: the gain rises next.
  loop dark;
  dark.s.exposure.value = 20000;
  r = dark.run(uniform(img::FOURCC_Y800, 0, 64, 0));
  EXPECT_EQ(r.exposure, 20000);
  EXPECT_EQ(r.gain, 133);
  // Too bright (ratio 64): gain first, undamped; logarithmic gain by
  // trunc(301 log2 0.64) = -193; with the gain at its minimum, exposure.
  dark.s.gain.value = 400;
  EXPECT_EQ(dark.run(uniform(img::FOURCC_Y800, 0, 200, 0)).gain, 256);
  dark.s.gain = {0, 1000, 600, true, 1, true};
  EXPECT_EQ(dark.run(uniform(img::FOURCC_Y800, 0, 200, 0)).gain, 407);
  dark.s.gain.value = 0;
  EXPECT_EQ(dark.run(uniform(img::FOURCC_Y800, 0, 200, 0)).exposure, 12800);
  // An exposure of 0 can still rise (scaled from 1), and a frame without
  // samples changes nothing.
  dark.s.exposure.value = 0;
  EXPECT_EQ(dark.run(uniform(img::FOURCC_Y800, 0, 0, 0)).exposure, 43);
  r = dark.run(uniform(img::FOURCC_Y800, 0, 0, 0, 40, 40));
  EXPECT_FALSE(r.valid);
  EXPECT_EQ(r.exposure, 0);
  // A mono frame never touches the white balance.
  dark.s.wb.auto_enabled = true, dark.s.wb.r = 90;
  EXPECT_EQ(dark.run(uniform(img::FOURCC_Y800, 0, 128, 0)).wb_r, 90);
  // The iris regulator opens the iris from the middle of its range while the
  // image is too dark: 500 + 0.4 * 64 + 2.0 * 64.
  loop reg;
  reg.s.iris = {0, 1000, 500, true, 0.0};
  reg.s.iris_regulator = true, reg.s.exposure.auto_enabled = reg.s.gain.auto_enabled = false;
  EXPECT_EQ(reg.run(uniform(img::FOURCC_Y800, 0, 64, 0)).iris, 653);
}

TEST(AutoExposure, HighlightProtectionLowersTheTargetAtMostEightStepsARunAndRecovers) {
  loop l;
  l.s.highlight_protection = true;
  owned_image half = uniform(img::FOURCC_Y800, 0, 100, 0);
  fill_with(half, [](int x, int) { return x < 82 ? 255 : 100; });
  // An exposure region, mapped as (sensor - offset) / scale, measures only its part.
  loop roi;
  roi.s.region = {2 * 82 + 100, 0, 2 * 164 + 100, 2 * 124};
  roi.s.offset_x = 100, roi.s.scale_x = roi.s.scale_y = 2;
  EXPECT_EQ(roi.run(half).brightness, 100);
  // Half the samples clip: f falls by min(8, trunc(40 * 0.5 - 3.5)) per run;
  // the target follows once the factor moved by 9.
  l.run(half);
  EXPECT_EQ(l.state->factor, 120);
  EXPECT_EQ(l.state->factor_in_use, 128);
  l.run(half);
  EXPECT_EQ(l.state->factor_in_use, 112);
  // Nothing clips: the factor recovers by 2 per run back to 1.0, never above
  // it, also with a reference above 128.
  l.s.reference = 200;
  for (int i = 0; i < 12; ++i) l.run(uniform(img::FOURCC_Y800, 0, 100, 0));
  EXPECT_EQ(l.state->factor, 128);
  EXPECT_EQ(l.state->factor_in_use, 128);
}

TEST(AutoWhiteBalance, TemperatureEstimateUsesMidToneGreysOnly) {
  // Multipliers that make (R 60, G 120, B 80) grey at 3000 K only.
  img::wb_temperature_table table;
  for (int i = 0; i < img::wb_temperature_count; ++i) {
    const float d = static_cast<float>(100 * i - 500);
    table.entries[i][0] = 2.0f + d * 0.002f, table.entries[i][1] = 1.0f;
    table.entries[i][2] = std::max(0.0f, 1.5f - d * 0.0015f);
  }
  loop l;
  l.s.wb = {64, 64, 64, false, true, true, true, 6500, 2500, 10000, &table};
  img::auto_result r = l.run(uniform(img::FOURCC_RGB24, 60, 120, 80));
  EXPECT_EQ(r.temperature, 3000);
  EXPECT_EQ(gains(r), (std::array<int, 3>{128, 64, 96}));
  // One-push applies the estimate for 5 runs, then ends.
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(l.run(uniform(img::FOURCC_RGB24, 60, 120, 80)).wb_one_push_active);
  EXPECT_FALSE(l.run(uniform(img::FOURCC_RGB24, 60, 120, 80)).wb_one_push_active);
  // Greys whose luma lands below 51 or at 240 give no estimate: the current
  // temperature stays.
  EXPECT_EQ(l.run(uniform(img::FOURCC_RGB24, 24, 48, 32)).temperature, 6500);
  EXPECT_EQ(l.run(uniform(img::FOURCC_RGB24, 120, 240, 160)).temperature, 6500);
  // Continuous: a third of the way per run toward the estimate.
  l.s.wb.one_push = false, l.s.wb.auto_enabled = true;
  EXPECT_EQ(l.run(uniform(img::FOURCC_RGB24, 60, 120, 80)).temperature, 5334);
  // Gain search without a table, normal mode: a quarter of the distance to
  // the mean per run, gains kept at or above 64.
  l.s.wb.temperature_mode = false, l.s.wb.grey_search = false;
  r = l.run(uniform(img::FOURCC_RGB24, 100, 120, 140));
  EXPECT_EQ(gains(r), (std::array<int, 3>{69, 64, 64}));
}

namespace {

int wb_gain(const img::auto_settings& s, int c) {
  return c == 0 ? s.wb.r : c == 1 ? s.wb.g : s.wb.b;
}

// A linear sensor behind a BGGR mosaic: reflectance x illuminant x exposure
// x gain, clipped. Left half a grey ramp, right half four colour patches.
// With `camera_gains` the sensor applies the white-balance gains itself.
struct linear_sensor {
  double light[3];  // R, G, B
  bool sixteen;
  bool camera_gains;
  double level(double refl, int c, const img::auto_settings& s) const {
    return refl * light[c] * s.exposure.value * s.gain.value / 100.0 * 0.77 *
           (camera_gains ? wb_gain(s, c) / 64.0 : 1.0);
  }
  // A grey of reflectance 0.5 as the client sees it.
  double delivered(int c, const img::auto_settings& s) const {
    return level(0.5, c, s) * (camera_gains ? 1.0 : wb_gain(s, c) / 64.0);
  }
  owned_image expose(const img::auto_settings& s) const {
    static const double kPatches[4][3] = {
        {0.6, 0.2, 0.2}, {0.2, 0.5, 0.2}, {0.2, 0.3, 0.6}, {0.6, 0.6, 0.2}};
    owned_image im = make_image(sixteen ? img::FOURCC_BGGR16 : img::FOURCC_BGGR8, 164, 124);
    fill_with(im, [&](int x, int y) {
      const int c = (x & 1) && (y & 1) ? 0 : ((x & 1) || (y & 1) ? 1 : 2);
      const double v =
          std::min(255.0, level(x < 82 ? 0.2 + 0.6 * x / 82 : kPatches[(y / 31) % 4][c], c, s));
      return sixteen ? std::min(65535, static_cast<int>(v * 256.0)) : static_cast<int>(v);
    });
    return im;
  }
};

}  // namespace

TEST(AutoLoops, ClosedLoopReachesTheBandFromBothExtremesAndBalancesWarmAndCoolLight) {
  const struct {
    linear_sensor sensor;
    bool from_max;
  } scenarios[] = {{{{1.45, 1.0, 0.55}, false, false}, false},  // warm light
                   {{{0.8, 1.0, 1.3}, true, true}, true},       // cool light
                   {{{1.45, 1.0, 0.55}, true, true}, true},
                   {{{0.8, 1.0, 1.3}, false, false}, false}};
  for (const auto& [sensor, from_max] : scenarios) {
    // The camera's loop interval of 5 frames; a written value reaches the
    // sensor two frames later.
    loop l(5);
    l.s.wb.auto_enabled = true, l.s.wb.grey_search = !sensor.camera_gains;
    l.s.exposure.value = from_max ? 20000 : 0;
    l.s.gain.value = from_max ? 1600 : 100;
    std::vector<img::auto_settings> applied(2, l.s);
    int reached = -1, settled = -1;
    double worst = 0;  // largest deviation from the target once the band was reached
    for (int frame = 1; frame <= 200; ++frame) {
      const img::auto_result r = l.run(sensor.expose(applied.front()));
      applied.erase(applied.begin());
      const int ratio = 128 * 100 / std::max(1, r.brightness);  // the loop's own band
      const bool in_band = ratio >= 96 && ratio <= 104;
      if (r.valid && reached > 0) worst = std::max(worst, std::abs(r.brightness - 128) / 128.0);
      if (r.valid && in_band && reached < 0) reached = frame;
      if (r.valid) settled = in_band ? (settled < 0 ? frame : settled) : -1;
      l.s.exposure.value = r.exposure, l.s.gain.value = r.gain;
      l.s.wb.r = r.wb_r, l.s.wb.g = r.wb_g, l.s.wb.b = r.wb_b;
      applied.push_back(l.s);
    }
    // With the camera's gains the brightness moves while the balance
    // settles: the exposure follows, within a few percent.
    const std::string what =
        std::string(sensor.light[0] > 1 ? "warm" : "cool") + (sensor.sixteen ? " BG16" : " BA81") +
        (sensor.camera_gains ? " camera" : " driver") + (from_max ? " from max" : " from min");
    ASSERT_GT(settled, 0) << what;
    EXPECT_LE(reached, 60) << what;
    EXPECT_LE(worst, 0.08) << what;
    const double mean =
        (sensor.delivered(0, l.s) + sensor.delivered(1, l.s) + sensor.delivered(2, l.s)) / 3;
    for (int c = 0; c < 3; ++c)
      EXPECT_NEAR(sensor.delivered(c, l.s), mean, 0.04 * mean) << what << c;
  }
}
