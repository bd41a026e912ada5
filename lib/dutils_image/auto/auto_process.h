// The automatic loops of a streaming camera: once per frame the camera
// family hands the raw frame, its current control settings and the state
// block to auto_process_frame, which samples the frame on the coarse grid
// (grid_sampler.h), measures brightness and colour and returns new values
// for exposure, gain, iris, the white-balance gains and the focus position.
// It only computes: the family writes changed values to the camera from a
// deferred work item. No allocation; the state lives in memory the family
// allocates once.
#pragma once

#include <stddef.h>

#include "auto/auto_types.h"
#include "img/img_type.h"

namespace img {

// Bytes of the state block (at least sizeof(auto_state)).
constexpr size_t auto_state_bytes = 20200;
size_t auto_state_size();

// Builds the state in `memory` (8-byte aligned, at least auto_state_size()
// bytes): zeroes it, sets the regulator constants (Kp 0.4, Ki 2.0, Kd 1.0,
// integral limit 4000) and the interval and flags of `init`, and resets it.
// Null when the memory is missing, misaligned or too small.
auto_state* auto_state_create(void* memory, size_t size, const auto_init& init);

// Back to the start of a stream: the next frame runs the loops, the
// regulator and the highlight protection start afresh, no one-push or focus
// search is running. Keeps the interval and the regulator constants.
void auto_state_reset(auto_state& state);

// One frame. Fills `result` from the current settings first, runs the focus
// search (when `settings.focus.enabled`) on every frame, and on every N-th
// frame measures and runs the loops: white balance (colour frames), then
// the exposure cascade or the trade of gain for exposure, then the iris
// regulator. Frames: "Y800", "Y16 ", "RGB3", "RGB4" and 8- and 16-bit Bayer.
// A frame that gives no sample (another format, too small for the grid, a
// descriptor that does not fit its buffer) changes nothing and is not valid.
void auto_process_frame(auto_result& result, const img_descriptor& frame,
                        const auto_settings& settings, auto_state& state);

}  // namespace img
