// The simulated focus motor and lens blur (focus_lens.h).
#include "focus_lens.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace sim {
namespace {

constexpr size_t kFrameLogLimit = 4096;

double steady_ms() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// One box pass of real radius r along each of `lines` contiguous lines of
// n values: the mean over [i - w, i + w] and over [i - w - 1, i + w + 1]
// (w = whole part of r), mixed by the fraction of r; the ends repeat.
void box_rows(float* data, size_t n, size_t lines, double r, std::vector<double>& padded) {
  if (n < 2) return;
  const size_t whole = (size_t)r, pad = whole + 1;
  const double f = r - (double)whole, inner_n = 2.0 * whole + 1, outer_n = 2.0 * whole + 3;
  padded.resize(n + 2 * pad);
  double* const p = padded.data();
  for (size_t l = 0; l < lines; ++l) {
    float* line = data + l * n;
    for (size_t i = 0; i < pad; ++i) p[i] = line[0], p[pad + n + i] = line[n - 1];
    for (size_t i = 0; i < n; ++i) p[pad + i] = line[i];
    double inner = 0;  // sum over [i - whole, i + whole] in padded positions, slid along
    for (size_t k = 1; k < 2 * pad; ++k) inner += p[k];
    for (size_t i = 0; i < n; ++i) {
      const double outer = inner + p[i] + p[i + 2 * pad];
      line[i] = (float)((1 - f) * inner / inner_n + f * outer / outer_n);
      inner += p[i + 2 * pad] - p[i + 1];
    }
  }
}

void transpose(const std::vector<float>& in, size_t width, size_t height, std::vector<float>& out) {
  out.resize(in.size());
  const float* const from = in.data();
  float* const to = out.data();
  constexpr size_t kTile = 32;
  for (size_t y0 = 0; y0 < height; y0 += kTile) {
    for (size_t x0 = 0; x0 < width; x0 += kTile) {
      for (size_t y = y0; y < std::min(height, y0 + kTile); ++y) {
        for (size_t x = x0; x < std::min(width, x0 + kTile); ++x) to[x * height + y] = from[y * width + x];
      }
    }
  }
}

}  // namespace

focus_motor::focus_motor(const focus_motor_config& config, clock now)
    : config_(config), now_(now ? std::move(now) : clock(steady_ms)) {
  target_ = std::clamp(config_.start, config_.minimum, config_.maximum);
  from_ = target_;
  since_ms_ = now_();
}

double focus_motor::position_locked(double now) const {
  const double span = std::max(1, config_.maximum - config_.minimum);
  const double speed = config_.full_travel_ms > 0 ? span / config_.full_travel_ms : 1e300;  // steps per ms
  const double travelled = std::max(0.0, now - since_ms_) * speed;
  const double distance = target_ - from_;
  if (std::abs(distance) <= travelled) return target_;
  return from_ + (distance > 0 ? travelled : -travelled);
}

void focus_motor::move_to(int32_t target) {
  target = std::clamp(target, config_.minimum, config_.maximum);
  const double now = now_();
  std::lock_guard<std::mutex> guard(lock_);
  from_ = position_locked(now);
  target_ = target;
  since_ms_ = now;
  writes_.push_back({target, now});
}

int32_t focus_motor::target() const {
  std::lock_guard<std::mutex> guard(lock_);
  return target_;
}

double focus_motor::position() const {
  const double now = now_();
  std::lock_guard<std::mutex> guard(lock_);
  return position_locked(now);
}

bool focus_motor::moving() const { return position() != target(); }

double focus_motor::blur_radius_px(double position) const {
  return std::abs(position - config_.sharp_position) * config_.blur_per_step_px;
}

std::vector<focus_write> focus_motor::writes() const {
  std::lock_guard<std::mutex> guard(lock_);
  return writes_;
}

void focus_motor::note_frame(uint64_t frame, double position) {
  std::lock_guard<std::mutex> guard(lock_);
  frames_.emplace_back(frame, position);
  if (frames_.size() > kFrameLogLimit) frames_.erase(frames_.begin(), frames_.begin() + kFrameLogLimit / 2);
}

std::optional<double> focus_motor::position_of_frame(uint64_t frame) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto it = frames_.rbegin(); it != frames_.rend(); ++it) {
    if (it->first == frame) return it->second;
  }
  return std::nullopt;
}

void blur_plane(std::vector<float>& plane, uint32_t width, uint32_t height, double radius, uint32_t step) {
  if (radius <= 0 || width == 0 || height == 0) return;
  step = std::max(1u, step);
  const double r = radius / step;  // in sites of one sub-plane
  std::vector<double> padded;
  std::vector<float> sub, turned;
  for (uint32_t py = 0; py < step && py < height; ++py) {
    for (uint32_t px = 0; px < step && px < width; ++px) {
      // The sub-plane of one colour's sites, contiguous; rows blurred,
      // then (transposed) columns, twice each; back in place.
      const size_t columns = (width - px + step - 1) / step, lines = (height - py + step - 1) / step;
      sub.resize(columns * lines);
      float* const all = plane.data();
      for (size_t y = 0; y < lines; ++y) {
        const float* line = all + (py + y * step) * (size_t)width + px;
        float* const to = sub.data() + y * columns;
        for (size_t x = 0; x < columns; ++x) to[x] = line[x * step];
      }
      box_rows(sub.data(), columns, lines, r, padded);
      box_rows(sub.data(), columns, lines, r, padded);
      transpose(sub, columns, lines, turned);
      box_rows(turned.data(), lines, columns, r, padded);
      box_rows(turned.data(), lines, columns, r, padded);
      transpose(turned, lines, columns, sub);
      for (size_t y = 0; y < lines; ++y) {
        float* const line = all + (py + y * step) * (size_t)width + px;
        const float* const from = sub.data() + y * columns;
        for (size_t x = 0; x < columns; ++x) line[x * step] = from[x];
      }
    }
  }
}

}  // namespace sim
