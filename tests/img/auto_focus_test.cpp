// The contrast autofocus: the frames and regions it uses, its waits after a move, and a
// closed loop against a lens whose blur grows with the distance from the sharp position.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "auto/auto_focus.h"
#include "auto/auto_process.h"
#include "reference_transform.h"

using namespace xform_test;

namespace {

constexpr int kW = 256, kH = 192;

img::auto_settings focus_settings(int position) {
  img::auto_settings s{};
  s.focus = {true, true, false, position, 0, 1000, 1000, 300, 10, true, false, {}};
  return s;
}

// Random 16 x 16 blocks of grey: edges everywhere.
std::vector<double> textured() {
  std::mt19937 rng(7);
  std::vector<int> blocks(16 * 12);
  for (int& b : blocks) b = 40 + static_cast<int>(rng() % 181);
  std::vector<double> t(static_cast<size_t>(kW) * kH);
  for (size_t i = 0; i < t.size(); ++i) t[i] = blocks[(i / kW / 16) * 16 + i % kW / 16];
  return t;
}

// Box blur of real radius r along lines or columns (linear between the two
// whole radii around r), borders repeated.
std::vector<double> blur(const std::vector<double>& in, double r, bool vertical) {
  const int n = vertical ? kH : kW, step = vertical ? kW : 1, whole = static_cast<int>(r);
  std::vector<double> out(in.size());
  for (size_t first = 0; first < (vertical ? size_t{kW} : in.size()); first += vertical ? 1 : kW) {
    auto at = [&](int i) {
      return in[first + static_cast<size_t>(std::clamp(i, 0, n - 1) * step)];
    };
    double inner = 0;  // sliding sum over [i - whole, i + whole]
    for (int k = -whole - 1; k < whole; ++k) inner += at(k);
    for (int i = 0; i < n; ++i) {
      inner += at(i + whole) - at(i - whole - 1);
      const double outer = inner + at(i - whole - 1) + at(i + whole + 1), f = r - whole;
      out[first + static_cast<size_t>(i * step)] =
          (1 - f) * inner / (2 * whole + 1) + f * outer / (2 * whole + 3);
    }
  }
  return out;
}

// The scene through a lens at `position`: blur radius 0.1 pixel per step away from `sharp`.
struct lens_scene {
  int sharp;
  std::vector<double> scene = textured();
  std::map<int, owned_image> frames;
  const owned_image& at(int position) {
    auto it = frames.find(position);
    if (it != frames.end()) return it->second;
    const double r = std::abs(position - sharp) * 0.1;
    const std::vector<double> b = blur(blur(scene, r, false), r, true);
    owned_image im = make_image(img::FOURCC_Y800, kW, kH);
    fill_with(im, [&](int x, int y) {
      return static_cast<int>(b[static_cast<size_t>(y) * kW + x] + 0.5);
    });
    return frames.emplace(position, std::move(im)).first->second;
  }
};

}  // namespace

TEST(AutoFocus, SmallOrUnsupportedFramesNeverStartASearchAndSmallRegionsAreIgnored) {
  img::auto_focus_state st;
  img::auto_focus_reset(st);
  img::auto_settings s = focus_settings(400);
  int32_t pos = 0;
  for (const owned_image& im :
       {make_image(img::FOURCC_Y800, 127, 200), make_image(img::FOURCC_YUY2, kW, kH)}) {
    s.focus.start = false;
    img::auto_focus_step(st, 0, im.desc, s, pos);
    s.focus.start = true;
    EXPECT_FALSE(img::auto_focus_step(st, 0, im.desc, s, pos));
    EXPECT_EQ(st.phase, img::focus_idle);
    EXPECT_EQ(pos, 400);
  }
  // The start given again on a usable frame starts the search.
  lens_scene scene{500};
  s.focus.start = false;
  img::auto_focus_step(st, 0, scene.at(400).desc, s, pos);
  s.focus.start = true;
  EXPECT_TRUE(img::auto_focus_step(st, 0, scene.at(400).desc, s, pos));
  EXPECT_NE(st.phase, img::focus_idle);
  // A frame of another size ends the search: its region may lie outside.
  EXPECT_FALSE(img::auto_focus_step(st, 0, make_image(img::FOURCC_Y800, kW, 200).desc, s, pos));
  EXPECT_EQ(st.phase, img::focus_idle);
  // Regions: 63 x 200 is ignored for the 128 x 128 blocks, centred (offset
  // 36 in y); 64 x 64 inside the frame is used as configured.
  s.focus.region_enabled = true;
  s.focus.region = {10, 0, 73, 200};
  img::image_rect r = img::choose_focus_region(make_image(img::FOURCC_Y800, kW, 200).desc, s);
  EXPECT_EQ(r.width, 128);
  EXPECT_EQ(r.top, 36);
  s.focus.region = {10, 20, 74, 84};
  r = img::choose_focus_region(scene.at(400).desc, s);
  EXPECT_EQ(r.left, 10);
  EXPECT_EQ(r.width, 64);
}

TEST(AutoFocus, WaitsAfterAMoveScaleWithItsLengthDownToTheSettleTime) {
  const owned_image flat = make_image(img::FOURCC_Y800, kW, kH);
  // Defaults (nothing configured): 1000 ms for the whole range, 300 ms at least.
  for (int divisor : {1, 1000}) {
    img::auto_focus_state st;
    img::auto_focus_reset(st);
    img::auto_settings s = focus_settings(0);
    s.focus.full_travel_ms = s.focus.settle_ms = 0;
    s.focus.step_divisor = divisor;
    int32_t pos = 0;
    ASSERT_TRUE(img::auto_focus_step(st, 0, flat.desc, s, pos));
    EXPECT_EQ(pos, divisor == 1 ? 1000 : 1);
    const uint64_t wait_us = divisor == 1 ? 1000000 : 300000;
    // Three frames are skipped whatever the time, then the wait is kept.
    for (uint64_t t : {wait_us, wait_us, wait_us, wait_us - 1})
      EXPECT_FALSE(img::auto_focus_step(st, t, flat.desc, s, pos)) << t;
    EXPECT_TRUE(img::auto_focus_step(st, wait_us, flat.desc, s, pos));
  }
  // A caller that reports the camera's answers: the wait runs from the
  // answer to this move's write, and a frame counts by when it was taken.
  img::auto_focus_state st;
  img::auto_focus_reset(st);
  img::auto_settings s = focus_settings(0);
  s.focus.step_divisor = 1000;
  s.focus.written_us = 1;  // an older write, of position 0
  int32_t pos = 0;
  ASSERT_TRUE(img::auto_focus_step(st, 10, flat.desc, s, pos));
  ASSERT_EQ(pos, 1);
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(img::auto_focus_step(st, 10, flat.desc, s, pos));
  EXPECT_FALSE(img::auto_focus_step(st, 900000, flat.desc, s, pos)) << "write not answered yet";
  s.focus.written_position = 1, s.focus.written_us = 500000;
  s.frame_start_us = 799999;
  EXPECT_FALSE(img::auto_focus_step(st, 900000, flat.desc, s, pos)) << "taken within the wait";
  s.frame_start_us = 800000;
  EXPECT_TRUE(img::auto_focus_step(st, 900000, flat.desc, s, pos));
}

TEST(AutoFocus, ClosedLoopSettlesWithinTwoPercentOfTheSharpPositionFromEndsAndMiddle) {
  for (int start : {0, 1000, 500}) {
    lens_scene scene{250};
    std::vector<uint64_t> memory(img::auto_state_size() / 8 + 1);
    img::auto_state* st = img::auto_state_create(memory.data(), img::auto_state_size(), {5, false});
    img::auto_settings s = focus_settings(start);
    // From the middle with a fixed region: the sweep goes up to the far end
    // first (the farther one), then turns back past the start.
    s.focus.region_enabled = start == 500;
    s.focus.region = {64, 32, 192, 160};
    // A position handed out reaches the lens two frames later (work item,
    // then the sensor); frames come at 30 per second.
    std::map<int, int> due;
    int lens = start, frame = 0, moves = 0;
    bool searching = true;
    for (; frame < 1000 && (searching || !due.empty()); ++frame) {
      if (due.count(frame)) lens = due[frame], due.erase(frame);
      s.time_us = static_cast<uint64_t>(frame) * 33333;
      s.focus.position = lens;
      img::auto_result r;
      img::auto_process_frame(r, scene.at(lens).desc, s, *st);
      if (r.focus_move) due[frame + 2] = r.focus_position, ++moves;
      searching = r.focus_searching;
    }
    EXPECT_NEAR(lens, 250, 20) << start;
    EXPECT_LT(frame, 400) << start;
  }
}
