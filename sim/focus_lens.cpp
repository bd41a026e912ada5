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

// One box pass of real radius r over n values `stride` apart: the mean
// over [i - w, i + w] and over [i - w - 1, i + w + 1] (w = whole part of
// r), mixed by the fraction of r; the ends repeat.
void box_pass(float* data, size_t n, size_t stride, double r, std::vector<double>& line) {
  if (n < 2) return;
  line.resize(n);
  for (size_t i = 0; i < n; ++i) line[i] = data[i * stride];
  const long whole = (long)r, last = (long)n - 1;
  const double f = r - whole;
  auto at = [&](long i) { return line[(size_t)std::clamp(i, 0L, last)]; };
  double inner = 0;  // sum over [i - whole, i + whole], slid along
  for (long k = -whole - 1; k < whole; ++k) inner += at(k);
  for (long i = 0; i < (long)n; ++i) {
    inner += at(i + whole) - at(i - whole - 1);
    const double outer = inner + at(i - whole - 1) + at(i + whole + 1);
    data[(size_t)i * stride] = (float)((1 - f) * inner / (2 * whole + 1) + f * outer / (2 * whole + 3));
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
  std::vector<double> line;
  for (uint32_t py = 0; py < step && py < height; ++py) {
    for (uint32_t px = 0; px < step && px < width; ++px) {
      const size_t columns = (width - px + step - 1) / step, lines = (height - py + step - 1) / step;
      for (int pass = 0; pass < 2; ++pass) {
        for (size_t y = 0; y < lines; ++y) {
          box_pass(&plane[(py + y * step) * (size_t)width + px], columns, step, r, line);
        }
        for (size_t x = 0; x < columns; ++x) {
          box_pass(&plane[(size_t)py * width + px + x * step], lines, (size_t)step * width, r, line);
        }
      }
    }
  }
}

}  // namespace sim
