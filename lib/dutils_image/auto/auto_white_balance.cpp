// Automatic white balance (see auto_white_balance.h). Works on the grid
// samples in the state block; runs on the frame worker once per loop run.
#include "auto/auto_white_balance.h"

#include "img/transform_image.h"

namespace img {
namespace {

constexpr int kUnity = 64;           // gain 1.0
constexpr int kOnePushRuns = 5;      // temperature one-push: runs applying the estimate
constexpr int kGreySearchRuns = 20;  // gain search iterations per run in grey-search mode
constexpr int kBalanceSlack = 2;     // averages within this of their mean are balanced

int clamp_int(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

int table_gain(float multiplier) {
  const float v = multiplier * kUnity;
  if (!(v > 0.0f)) return 0;  // also NaN
  return v >= 255.0f ? 255 : static_cast<int>(v);
}

const float* table_entry(const wb_temperature_table& t, int temperature) {
  const int k = clamp_int(temperature, wb_temperature_min, wb_temperature_max);
  return t.entries[(k - wb_temperature_min) / wb_temperature_step];
}

int scaled(int v, float m) {
  const float f = static_cast<float>(v) * m;
  if (!(f > 0.0f)) return 0;
  return f >= 255.0f ? 255 : static_cast<int>(f);
}

// A multiplied sample counts for temperature T when its luma is in the
// middle of the range and its three channel ratios are within about 8 %.
bool looks_grey(int r, int g, int b) {
  const int y = (79 * r + 150 * g + 27 * b) >> 8;
  if (y < 51 || y > 239) return false;
  const float lo = 0.925f, hi = 1.081081f;
  const float fr = static_cast<float>(r), fg = static_cast<float>(g), fb = static_cast<float>(b);
  return fr > lo * fb && fr < hi * fb && fb > lo * fg && fb < hi * fg && fr > lo * fg &&
         fr < hi * fg;
}

// The first temperature of [low, high] (steps of 100 K) at which most
// samples look grey; false when the range is empty or no sample ever does.
bool estimate_temperature(const auto_settings& s, auto_state& st, int& estimate) {
  const auto_white_balance_settings& wb = s.wb;
  const int n = static_cast<int>(st.samples.count);
  // What the sensor saw: the camera's own gains divided out, unless the
  // driver applies the gains (then the samples are raw already).
  const int gr = wb.r > 0 ? wb.r : 1, gg = wb.g > 0 ? wb.g : 1, gb = wb.b > 0 ? wb.b : 1;
  for (int i = 0; i < n; ++i) {
    const grid_sample& g = st.samples.samples[i];
    st.raw[i][0] =
        static_cast<uint8_t>(wb.grey_search ? g.r : clamp_int(g.r * kUnity / gr, 0, 255));
    st.raw[i][1] =
        static_cast<uint8_t>(wb.grey_search ? g.g : clamp_int(g.g * kUnity / gg, 0, 255));
    st.raw[i][2] =
        static_cast<uint8_t>(wb.grey_search ? g.b : clamp_int(g.b * kUnity / gb, 0, 255));
  }
  // Temperatures beyond the table would only repeat its end entries.
  const int high = clamp_int(wb.temperature_high, wb_temperature_min, wb_temperature_max);
  int best = 0;
  for (int t = clamp_int(wb.temperature_low, wb_temperature_min, wb_temperature_max);
       wb.temperature_low < wb.temperature_high && t <= high; t += wb_temperature_step) {
    const float* m = table_entry(*wb.table, t);
    int count = 0;
    for (int i = 0; i < n; ++i)
      count += looks_grey(scaled(st.raw[i][0], m[0]), scaled(st.raw[i][1], m[1]),
                          scaled(st.raw[i][2], m[2]));
    if (count > best) best = count, estimate = t;
  }
  return best > 0;
}

void temperature_balance(const auto_settings& s, auto_state& st, auto_result& r) {
  const auto_white_balance_settings& wb = s.wb;
  int estimate = 0;
  const bool found = estimate_temperature(s, st, estimate);
  if (wb.one_push) {
    if (st.wb_countdown <= 0) st.wb_countdown = kOnePushRuns;
    r.temperature = found ? estimate : wb.temperature;
    r.wb_one_push_active = --st.wb_countdown > 0;
  } else {
    int64_t target = estimate;
    if (!found) {
      const bool in_range =
          wb.temperature >= wb.temperature_low && wb.temperature <= wb.temperature_high;
      target = in_range ? wb.temperature : (int64_t{wb.temperature_low} + wb.temperature_high) / 2;
    }
    r.temperature = static_cast<int32_t>(wb.temperature + (target - wb.temperature) / 3);
  }
  const float* m = table_entry(*wb.table, r.temperature);
  r.wb_r = table_gain(m[0]), r.wb_g = table_gain(m[1]), r.wb_b = table_gain(m[2]);
}

// Channel averages over the grey samples when at least 8 % are grey, else
// over all samples; with `gains` the samples are taken as the driver will
// deliver them.
void channel_averages(const auto_settings& s, const auto_state& st, const int32_t* gains,
                      int avg[3]) {
  const int n = static_cast<int>(st.samples.count);
  int64_t all[3] = {0, 0, 0}, grey[3] = {0, 0, 0};
  int grey_count = 0;
  for (int i = 0; i < n; ++i) {
    const rgb_sample c = measured_sample(st.samples.samples[i], s, gains);
    all[0] += c.r, all[1] += c.g, all[2] += c.b;
    const int y = sample_luma(c);
    auto near = [y](int v) { return 4 * (v > y ? v - y : y - v) < y; };
    if (y >= 10 && y <= 253 && near(c.r) && near(c.g) && near(c.b)) {
      grey[0] += c.r, grey[1] += c.g, grey[2] += c.b;
      ++grey_count;
    }
  }
  const bool use_grey = grey_count > 0 && grey_count * 100 >= n * 8;
  for (int c = 0; c < 3; ++c)
    avg[c] = static_cast<int>(use_grey ? grey[c] / grey_count : all[c] / n);
}

void gain_search(const auto_settings& s, auto_state& st, auto_result& r) {
  int32_t g[3] = {r.wb_r, r.wb_g, r.wb_b};
  bool raised = false;
  for (int32_t& v : g) {
    if (v < kUnity) v = kUnity, raised = true;
    if (v > 255) v = 255;
  }
  if (!raised) {
    const int32_t lowest = g[0] < g[1] ? (g[0] < g[2] ? g[0] : g[2]) : (g[1] < g[2] ? g[1] : g[2]);
    for (int32_t& v : g) v -= lowest - kUnity;
    const bool grey_search = s.wb.grey_search;
    for (int run = 0; run < (grey_search ? kGreySearchRuns : 1); ++run) {
      int avg[3];
      channel_averages(s, st, grey_search ? g : nullptr, avg);
      const int m = (avg[0] + avg[1] + avg[2]) / 3;
      bool balanced = true;
      for (int c = 0; c < 3; ++c)
        balanced = balanced && avg[c] - m <= kBalanceSlack && m - avg[c] <= kBalanceSlack;
      if (balanced) {
        r.wb_one_push_active = false;
        break;
      }
      for (int c = 0; c < 3; ++c) {
        const int diff = avg[c] - m, mag = diff < 0 ? -diff : diff;
        const int step = grey_search || mag / 4 < 1 ? 1 : mag / 4;
        g[c] = clamp_int(diff > 0 ? g[c] - step : (diff < 0 ? g[c] + step : g[c]), kUnity, 255);
      }
      if (g[0] > kUnity && g[1] > kUnity && g[2] > kUnity)
        for (int32_t& v : g) --v;
    }
  }
  r.wb_r = g[0], r.wb_g = g[1], r.wb_b = g[2];
}

}  // namespace

rgb_sample measured_sample(const grid_sample& s, const auto_settings& settings,
                           const int32_t* gains) {
  rgb_sample c = {s.r, s.g, s.b};
  if (gains != nullptr) {
    c.r = clamp_int(c.r * gains[0] / kUnity, 0, 255);
    c.g = clamp_int(c.g * gains[1] / kUnity, 0, 255);
    c.b = clamp_int(c.b * gains[2] / kUnity, 0, 255);
  }
  if (settings.stat_matrix_enable) {
    const int16_t* m = settings.stat_matrix;
    const rgb_sample in = c;
    c.r = clamp_int((m[0] * in.r + m[1] * in.g + m[2] * in.b) / kUnity, 0, 255);
    c.g = clamp_int((m[3] * in.r + m[4] * in.g + m[5] * in.b) / kUnity, 0, 255);
    c.b = clamp_int((m[6] * in.r + m[7] * in.g + m[8] * in.b) / kUnity, 0, 255);
  }
  return c;
}

void auto_white_balance(const auto_settings& s, auto_state& st, auto_result& r) {
  if (!(s.wb.auto_enabled || s.wb.one_push) || st.samples.count == 0) return;
  if (s.wb.temperature_mode && s.wb.table != nullptr) {
    temperature_balance(s, st, r);
  } else {
    gain_search(s, st, r);
  }
}

}  // namespace img
