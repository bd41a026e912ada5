// The per-frame automatic loops (see auto_process.h): grid measurement of
// brightness, the highlight-protected target, the exposure cascade with its
// gain-for-exposure trade, and the iris regulator. White balance and focus
// live in their own files. Runs on the frame worker; reads the frame only.
#include "auto/auto_process.h"

#include <string.h>

#include "auto/auto_focus.h"
#include "auto/auto_region.h"
#include "auto/auto_white_balance.h"
#include "img/img_math.h"
#include "img/transform_image.h"

namespace img {
namespace {

constexpr int kNeutralFactor = 128;   // highlight-protection factor 1.0
constexpr int kFactorHysteresis = 9;  // factor change that reaches the target
constexpr int kClipLevel8 = 240;      // a sample at or above this is clipped
constexpr int kClipLevel16 = 61440;
constexpr int kBandLow = 96;  // target / measured within [96 %, 104 %]: no correction
constexpr int kBandHigh = 104;
constexpr int kTradePercent = 105;        // exposure raised per trade
constexpr int kLogGainPerDoubling = 301;  // 1/100 dB of power
constexpr double kMaxTimeConstant = 60.0;
constexpr int kMaxRatio = 100000;  // target / measured in percent, saturated

int32_t clamp_to(int64_t v, int32_t lo, int32_t hi) {
  return static_cast<int32_t>(v < lo ? lo : (v > hi ? hi : v));
}

struct measurement {
  int brightness;  // mean, 8-bit scale
  float clipped;   // fraction of clipped samples
};

// "Y800" and "Y16 ": the grid points themselves.
bool measure_mono(const img_descriptor& f, measurement& m) {
  const grid_steps s = get_grid_steps(f.dim_x, f.dim_y);
  if (s.step_x == 0) return false;
  const bool y16 = f.type == FOURCC_Y16;
  uint64_t sum = 0;
  uint32_t count = 0, clipped = 0;
  for (int y = s.step_y; y < f.dim_y; y += s.step_y) {
    const uint8_t* line = line_ptr(f, y);
    for (int x = s.step_x; x < f.dim_x; x += s.step_x) {
      const int v = y16 ? line[2 * x] | (line[2 * x + 1] << 8) : line[x];
      sum += static_cast<uint32_t>(v);
      clipped += v >= (y16 ? kClipLevel16 : kClipLevel8);
      ++count;
    }
  }
  m.brightness = static_cast<int>(sum / count) >> (y16 ? 8 : 0);
  m.clipped = static_cast<float>(clipped) / static_cast<float>(count);
  return true;
}

// Colour frames: luma of the samples as the driver will deliver them.
bool measure_colour(const auto_settings& s, const auto_state& st, const auto_result& r,
                    measurement& m) {
  const int n = static_cast<int>(st.samples.count);
  if (n == 0) return false;
  const int32_t gains[3] = {r.wb_r, r.wb_g, r.wb_b};
  int64_t sum = 0;
  int clipped = 0;
  for (int i = 0; i < n; ++i) {
    const int y =
        sample_luma(measured_sample(st.samples.samples[i], s, s.wb.grey_search ? gains : nullptr));
    sum += y;
    clipped += y >= kClipLevel8;
  }
  m.brightness = static_cast<int>(sum / n);
  m.clipped = static_cast<float>(clipped) / static_cast<float>(n);
  return true;
}

bool is_mono(uint32_t fcc) { return fcc == FOURCC_Y800 || fcc == FOURCC_Y16; }

// The frame cut to the exposure region, or the whole frame when no region
// is set or the region leaves too little for the grid.
img_descriptor measured_part(const img_descriptor& f, const auto_settings& s) {
  img_descriptor part;
  if (!region_is_set(s.region) || !crop_frame(f, map_region(s.region, s), part)) return f;
  return get_grid_steps(part.dim_x, part.dim_y).step_x != 0 ? part : f;
}

// Highlight protection: the factor falls while more than 15 % of the samples
// clip and recovers toward 1.0 while almost none do; the target follows the
// factor in steps of at least 9 (and whenever it is back at 1.0).
int exposure_target(const auto_settings& s, auto_state& st, const measurement& m) {
  if (!s.highlight_protection) return s.reference;
  if (s.exposure.auto_enabled || s.gain.auto_enabled || s.iris.auto_enabled) {
    int f = st.factor;
    if (m.clipped > 0.15f) {
      const int drop = static_cast<int>(40.0f * m.clipped - 4.0f + 0.5f);
      f -= drop < 8 ? drop : 8;
    } else if (f < kNeutralFactor && m.clipped < 0.01f) {
      f += static_cast<int>(400.0f * m.clipped + 2.0f);
      if (f > kNeutralFactor) f = kNeutralFactor;
    }
    st.factor = clamp_to(f, 0, 255);
    const int change = st.factor - st.factor_in_use;
    if (change >= kFactorHysteresis || -change >= kFactorHysteresis || st.factor == kNeutralFactor)
      st.factor_in_use = st.factor;
  }
  return clamp_to(int64_t{st.factor_in_use} * s.reference / kNeutralFactor, INT32_MIN, INT32_MAX);
}

// The correction applied to gain and exposure: a rise is damped to a third.
int damped(int ratio) {
  const int r = ratio >= 100 ? (ratio + 200) / 3 : ratio;
  return r < 1 ? 1 : r;
}

int32_t scaled_gain(const auto_gain_control& g, int ratio) {
  const int r = damped(ratio);
  if (g.logarithmic) {
    const float db = log_f(static_cast<float>(r) / 100.0f) / log_f(2.0f) * kLogGainPerDoubling;
    return clamp_to(int64_t{g.value} + static_cast<int64_t>(db), g.min, g.max);
  }
  return clamp_to(int64_t{g.value > 1 ? g.value : 1} * r / 100, g.min, g.max);
}

int32_t scaled_iris(const auto_iris_control& i, int ratio) {
  return clamp_to(int64_t{(ratio + 300) >> 2} * (i.value > 1 ? i.value : 1) / 100, i.min, i.max);
}

int32_t scaled_exposure(const auto_exposure_control& e, int ratio) {
  const int32_t v =
      clamp_to(int64_t{e.value > 1 ? e.value : 1} * damped(ratio) / 100, e.min, e.max);
  const int64_t diff = v > e.value ? int64_t{v} - e.value : int64_t{e.value} - v;
  return diff >= e.step / 2 ? v : e.value;
}

// 5 % more, at least one unit, within the control's range.
int32_t traded(int32_t value, int32_t lo, int32_t hi) {
  const int64_t v = int64_t{value} * kTradePercent / 100;
  return clamp_to(v > value ? v : int64_t{value} + 1, lo, hi);
}

// One control changes per run: a too-bright image lowers gain, then iris,
// then exposure; a too-dark one raises exposure (damped), then iris, then
// gain. Inside the band, exposure is raised a little while gain (or iris)
// has room to come down, so the following runs trade gain for exposure.
void exposure_cascade(const auto_settings& s, int target, int measured, auto_result& r) {
  const int ratio = clamp_to(int64_t{target} * 100 / (measured > 0 ? measured : 1), 0, kMaxRatio);
  const auto_gain_control& g = s.gain;
  const auto_exposure_control& e = s.exposure;
  const auto_iris_control& i = s.iris;
  const bool iris = i.auto_enabled && !s.iris_regulator;
  if (ratio >= kBandLow && ratio <= kBandHigh) {
    if (e.auto_enabled && e.value < e.max &&
        ((g.auto_enabled && g.value > g.min) || (iris && i.value > i.min)))
      r.exposure = traded(e.value, e.min, e.max);
    else if (g.auto_enabled && iris && g.value > g.min && i.value < i.max)
      r.iris = traded(i.value, i.min, i.max);
    return;
  }
  const int32_t gain = g.auto_enabled ? scaled_gain(g, ratio) : g.value;
  const int32_t aperture = iris ? scaled_iris(i, ratio) : i.value;
  const int32_t exposure = e.auto_enabled ? scaled_exposure(e, ratio) : e.value;
  if (gain < g.value)
    r.gain = gain;
  else if (aperture < i.value)
    r.iris = aperture;
  else if (exposure != e.value)
    r.exposure = exposure;
  else if (aperture != i.value)
    r.iris = aperture;
  else if (gain != g.value)
    r.gain = gain;
}

// Light the sensor would see at the minimum gain and exposure.
double normalised_brightness(const auto_settings& s, const auto_result& r, int measured) {
  double b = measured;
  if (s.gain.auto_enabled) {
    if (s.gain.logarithmic) {
      const double doublings = (static_cast<double>(r.gain) - s.gain.min) / kLogGainPerDoubling;
      b /= static_cast<double>(pow_f(2.0f, static_cast<float>(doublings)));
    } else {
      b /= static_cast<double>(r.gain > 1 ? r.gain : 1) / (s.gain.min > 1 ? s.gain.min : 1);
    }
  }
  if (s.exposure.auto_enabled)
    b /= static_cast<double>(r.exposure > 1 ? r.exposure : 1) /
         (s.exposure.min > 1 ? s.exposure.min : 1);
  return b;
}

// The iris regulator: a PI(D) controller on the normalised brightness that
// opens the iris from the middle of its range while the image is too dark.
void iris_regulator(const auto_settings& s, auto_state& st, int measured, auto_result& r) {
  const double e = s.reference - normalised_brightness(s, r, measured);
  st.integral += e;
  if (st.integral > st.integral_limit) st.integral = st.integral_limit;
  if (st.integral < -st.integral_limit) st.integral = -st.integral_limit;
  double dt = s.iris.time_constant;
  if (!(dt > 0.0)) dt = 1.0;
  if (dt > kMaxTimeConstant) dt = kMaxTimeConstant;
  double out = st.kp * e + st.ki * st.integral / dt;
  if (st.pid_derivative) out += st.kd * (e - st.previous_error) / dt;
  st.previous_error = e;
  const double middle = s.iris.min + (static_cast<double>(s.iris.max) - s.iris.min) / 2.0;
  const double v = middle + out;
  r.iris =
      !(v > s.iris.min) ? s.iris.min : (v >= s.iris.max ? s.iris.max : static_cast<int32_t>(v));
}

}  // namespace

bool crop_frame(const img_descriptor& f, image_rect r, img_descriptor& out) {
  int64_t x0 = r.left, y0 = r.top, x1 = x0 + r.width, y1 = y0 + r.height;
  if (x0 < 0) x0 = 0;
  if (y0 < 0) y0 = 0;
  if (x1 > f.dim_x) x1 = f.dim_x;
  if (y1 > f.dim_y) y1 = f.dim_y;
  if (is_by8_fcc(f.type) || is_by16_fcc(f.type)) x0 &= ~int64_t{1}, y0 &= ~int64_t{1};
  const int bits = get_bits_per_pixel(f.type);
  if (x1 <= x0 || y1 <= y0 || bits % 8 != 0 || !image_fits(f)) return false;
  out = f;
  out.dim_x = static_cast<int32_t>(x1 - x0);
  out.dim_y = static_cast<int32_t>(y1 - y0);
  out.data = line_ptr(f, static_cast<int>(y0)) + x0 * (bits / 8);
  const int64_t abs_pitch = f.pitch < 0 ? -int64_t{f.pitch} : f.pitch;
  out.buffer_length = static_cast<int32_t>(abs_pitch * out.dim_y);
  return true;
}

size_t auto_state_size() { return auto_state_bytes; }

auto_state* auto_state_create(void* memory, size_t size, const auto_init& init) {
  static_assert(sizeof(auto_state) <= auto_state_bytes, "state block size");
  if (memory == nullptr || size < auto_state_bytes ||
      reinterpret_cast<uintptr_t>(memory) % alignof(auto_state) != 0)
    return nullptr;
  memset(memory, 0, auto_state_bytes);
  auto_state* st = static_cast<auto_state*>(memory);
  st->kp = 0.4, st->ki = 2.0, st->kd = 1.0;
  st->integral_limit = 4000.0;
  st->frame_interval = init.frame_interval;
  st->pid_derivative = init.pid_derivative;
  auto_state_reset(*st);
  return st;
}

void auto_state_reset(auto_state& st) {
  st.frame_counter = st.frame_interval > 1 ? st.frame_interval : 1;
  st.integral = 0.0, st.previous_error = 0.0;
  st.factor = st.factor_in_use = kNeutralFactor;
  st.wb_countdown = 0;
  st.brightness = 128;
  st.samples.count = 0;
  auto_focus_reset(st.focus);
}

void auto_process_frame(auto_result& r, const img_descriptor& frame, const auto_settings& s,
                        auto_state& st) {
  r = {};
  r.exposure = s.exposure.value, r.gain = s.gain.value, r.iris = s.iris.value;
  r.wb_r = s.wb.r, r.wb_g = s.wb.g, r.wb_b = s.wb.b;
  r.wb_one_push_active = s.wb.one_push;
  r.temperature = s.wb.temperature;
  r.brightness = st.brightness;
  r.focus_position = s.focus.position;
  if (s.focus.enabled) {
    r.focus_move = auto_focus_step(st.focus, s.time_us, frame, s, r.focus_position);
    r.focus_searching = st.focus.phase != focus_idle;
    r.focus_sharpness = st.focus.sharpness;
  }

  const int interval = st.frame_interval > 1 ? st.frame_interval : 1;
  if (st.frame_counter < interval) {
    ++st.frame_counter;
    return;
  }
  st.frame_counter = 1;

  if (!image_fits(frame)) return;
  const img_descriptor part = measured_part(frame, s);
  measurement m;
  if (is_mono(frame.type)) {
    if (!measure_mono(part, m)) return;
  } else {
    if (sample_color_grid(part, st.samples) == 0) return;
    auto_white_balance(s, st, r);
    if (!measure_colour(s, st, r, m)) return;
  }
  r.valid = true;
  r.brightness = st.brightness = m.brightness;
  exposure_cascade(s, exposure_target(s, st, m), m.brightness, r);
  if (s.iris_regulator && s.iris.auto_enabled) iris_regulator(s, st, m.brightness, r);
}

}  // namespace img
