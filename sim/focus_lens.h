// A motorised focus lens for the simulated sensors: a motor that drives the
// focus position toward the last position written to the camera's focus
// control, at a constant speed (the whole range in `full_travel_ms`), and
// the blur the lens puts on the image at each position. The scene is sharp
// at `sharp_position`; away from it the image is blurred by a radius that
// grows linearly with the distance, so any contrast measure peaks there.
//
// Blur: two passes of a box filter of radius r (linear between the two
// whole radii around r) along lines, then along columns, borders repeated.
// On a colour sensor each colour plane is blurred on its own sites (every
// second pixel), as the optical image is blurred before the colour filter.
//
// Time: the motor runs on a clock of milliseconds (the host's steady clock
// unless a test sets its own), not on frames: the driver paces its focus
// search by wall time too.
//
// Threads: every member may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace sim {

struct focus_motor_config {
  bool present = false;  // the camera has a focus motor
  int32_t minimum = 0;
  int32_t maximum = 1000;
  int32_t start = 500;           // where the lens is when the camera is made
  int32_t sharp_position = 500;  // where the scene is in focus
  double full_travel_ms = 500;   // time for minimum to maximum
  double blur_per_step_px = 0.12;  // blur radius in sensor pixels per step from sharp_position
};

// One position written to the motor.
struct focus_write {
  int32_t target = 0;
  double at_ms = 0;  // clock time of the write
};

class focus_motor {
 public:
  using clock = std::function<double()>;  // milliseconds, never decreasing
  explicit focus_motor(const focus_motor_config& config, clock now = {});

  const focus_motor_config& config() const { return config_; }
  // Starts a move from where the lens is now to `target` (clamped to the range).
  void move_to(int32_t target);
  int32_t target() const;
  // Where the lens is now, and whether it has arrived.
  double position() const;
  bool moving() const;
  // Blur radius in sensor pixels at a lens position.
  double blur_radius_px(double position) const;
  // Positions written so far, oldest first.
  std::vector<focus_write> writes() const;
  // The lens position each rendered frame was exposed at (the newest 4096).
  void note_frame(uint64_t frame, double position);
  std::optional<double> position_of_frame(uint64_t frame) const;

 private:
  double position_locked(double now) const;

  const focus_motor_config config_;
  const clock now_;
  mutable std::mutex lock_;
  double from_ = 0;     // position when the current move began
  int32_t target_ = 0;
  double since_ms_ = 0;  // clock time the current move began
  std::vector<focus_write> writes_;
  std::vector<std::pair<uint64_t, double>> frames_;
};

// Blurs a width x height plane in place by radius `radius` (in pixels of
// the plane; 0 or less leaves it unchanged). `step` 2 blurs the four
// interleaved sub-planes of a colour mosaic each on its own sites.
void blur_plane(std::vector<float>& plane, uint32_t width, uint32_t height, double radius, uint32_t step);

}  // namespace sim
