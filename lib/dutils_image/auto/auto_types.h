// Records of the automatic loops (exposure, gain, iris, white balance and
// focus): what the camera family fills from its properties before each
// frame (`auto_settings`), what the loops keep from frame to frame
// (`auto_state`, in memory the family allocates once) and what they hand
// back (`auto_result`). The loops run on the frame worker at PASSIVE_LEVEL,
// one frame at a time per camera; nothing here is shared between cameras.
//
// Units: gains and matrix factors in 1/64 (64 = 1.0); exposure and iris in
// the camera's control units; brightness on the 8-bit scale; time in
// microseconds; focus waits in milliseconds.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "auto/grid_sampler.h"

namespace img {

// Colour-temperature table of a sensor: R, G and B multipliers for 2500 K,
// 2600 K, ... 10000 K. Entry of temperature T:
// (clamp(T, 2500, 10000) - 2500) / 100; gains from an entry are
// trunc(multiplier * 64) clamped to [0, 255].
constexpr int wb_temperature_min = 2500;
constexpr int wb_temperature_max = 10000;
constexpr int wb_temperature_step = 100;
constexpr int wb_temperature_count = 76;
struct wb_temperature_table {
  float entries[wb_temperature_count][3];  // R, G, B
};

// A rectangle: left and top inclusive, right and bottom exclusive. In
// settings it is in sensor coordinates and all zero means "none"; it maps to
// image coordinates as (coordinate - offset) / scale (`auto_settings`).
struct auto_region {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
};

struct auto_gain_control {
  int32_t min;
  int32_t max;
  int32_t value;
  bool auto_enabled;
  int32_t step;
  bool logarithmic;  // value in 1/100 dB of power: 301 per doubling
};

struct auto_exposure_control {
  int32_t min;
  int32_t max;
  int32_t value;
  bool auto_enabled;
  int32_t step;  // a change smaller than step / 2 is not made
};

// A higher iris value lets more light in.
struct auto_iris_control {
  int32_t min;
  int32_t max;
  int32_t value;
  bool auto_enabled;
  double time_constant;  // of the iris regulator; capped at 60, <= 0 counts as 1
};

struct auto_white_balance_settings {
  int32_t r;  // current gains, 64 = 1.0
  int32_t g;
  int32_t b;
  bool auto_enabled;
  bool one_push;     // one balance, then the flag is dropped (auto_result)
  bool grey_search;  // the driver applies the gains itself (the camera has no
                     // colour-channel control): samples are raw
  bool temperature_mode;
  int32_t temperature;  // kelvin
  int32_t temperature_low;
  int32_t temperature_high;
  const wb_temperature_table* table;  // owned by the camera family; may be null
};

// One-shot contrast autofocus (auto_focus.h).
struct auto_focus_settings {
  bool enabled;      // the camera has a focus motor and the focus feature is attached
  bool start;        // a search starts when this turns on (it may stay on)
  bool stop;         // ends a running search where it is
  int32_t position;  // the camera's current focus position
  int32_t range_min;
  int32_t range_max;
  int32_t full_travel_ms;  // time the motor needs for the whole range; <= 0: 1000
  int32_t settle_ms;       // shortest wait after a move; <= 0: 300
  int32_t step_divisor;    // first move = distance to the farther end / divisor; <= 0: 10
  bool coarse_sweep;       // sweep the range in tenths before refining
  bool region_enabled;
  auto_region region;  // sensor coordinates, mapped like the exposure region
  // The newest position the camera has taken a write of, and when it
  // answered (time_us clock). A caller that reports these (written_us
  // non-zero) has the wait after a move run from that answer, so a write
  // that goes out late does not shorten the wait.
  int32_t written_position;
  uint64_t written_us;
};

struct auto_settings {
  auto_region region;  // exposure region of interest; all zero: whole image
  int32_t offset_x;    // region mapping: image = (sensor - offset) / scale
  int32_t offset_y;
  int32_t scale_x;  // <= 0 counts as 1
  int32_t scale_y;
  auto_gain_control gain;
  auto_exposure_control exposure;
  int32_t reference;  // target mean brightness, 8-bit scale
  auto_iris_control iris;
  bool iris_regulator;  // drive the iris by the regulator instead of the cascade
  auto_white_balance_settings wb;
  int16_t stat_matrix[9];  // rows R, G, B; 64 = 1.0; applied to samples before measuring
  bool stat_matrix_enable;
  bool highlight_protection;  // lower the target when highlights clip
  auto_focus_settings focus;
  uint64_t time_us;  // time of this frame
  // When the frame began to arrive, on the clock of time_us (0: time_us).
  // A frame that waited behind others is judged by when it was taken.
  uint64_t frame_start_us;
};

// Focus search phases.
enum auto_focus_phase : int32_t {
  focus_idle = 0,
  focus_start = 1,
  focus_coarse = 2,
  focus_coarse_reversed = 3,
  focus_refine = 4,
};

// One measured focus position of the coarse sweep.
struct auto_focus_probe {
  int32_t position;
  int32_t sharpness;
};

constexpr int auto_focus_max_probes = 32;

struct auto_focus_state {
  int32_t phase;     // auto_focus_phase
  int32_t frames;    // usable frames since the search started (1 = the first)
  int32_t position;  // last position handed out: the lens is there or on its way
  int32_t origin;    // where the search started
  int32_t low;       // search interval
  int32_t high;
  int32_t best;  // best sharpness so far and where it was measured
  int32_t best_position;
  int32_t step;  // coarse step, signed
  int32_t range_min;
  int32_t range_max;
  int32_t full_travel_ms;
  int32_t settle_ms;
  int32_t step_divisor;
  bool coarse_sweep;
  bool start_seen;    // settings' start flag at the previous call
  int32_t countdown;  // frames still to skip after a move
  uint64_t measure_after_us;
  uint64_t moved_at_us;  // when the last move was handed out
  uint64_t wait_us;      // and the wait it needs
  int32_t sharpness;  // last measured sharpness
  // The region measured and what it was computed for.
  int32_t left;
  int32_t top;
  int32_t width;
  int32_t height;
  int32_t dim_x;
  int32_t dim_y;
  int32_t offset_x;
  int32_t offset_y;
  int32_t scale_x;
  int32_t scale_y;
  int32_t probe_count;
  auto_focus_probe probes[auto_focus_max_probes];
};

struct auto_init {
  int32_t frame_interval;  // run the loops every N frames; <= 0 counts as 1
  bool pid_derivative;     // use the regulator's derivative term
};

// State of the loops. Lives in memory the camera family allocates once
// (auto_state_size bytes) and passes to every call; one per camera.
struct auto_state {
  int32_t frame_interval;
  int32_t frame_counter;
  double kp;  // iris regulator
  double ki;
  double kd;
  double integral_limit;
  double integral;
  double previous_error;
  bool pid_derivative;
  int32_t factor;         // highlight-protection factor, 128 = 1.0
  int32_t factor_in_use;  // the factor the target is computed with
  int32_t wb_countdown;   // one-push runs left in temperature mode
  int32_t brightness;     // last measured mean brightness
  grid_samples samples;
  uint8_t raw[grid_max_samples][3];  // samples with the camera's gains divided out
  auto_focus_state focus;
};

// Values for this frame. Every field holds the current setting unless a
// loop changed it.
struct auto_result {
  int32_t exposure;
  int32_t gain;
  int32_t iris;
  int32_t wb_r;
  int32_t wb_g;
  int32_t wb_b;
  bool wb_one_push_active;  // false once a one-push balance has finished
  int32_t temperature;
  int32_t brightness;  // measured mean (8-bit scale); the last one when the loops did not run
  int32_t focus_position;
  bool valid;       // the loops measured and ran on this frame
  bool focus_move;  // focus_position is a new position to write to the camera
  bool focus_searching;
  int32_t focus_sharpness;  // last sharpness measured by the focus search
};

}  // namespace img
