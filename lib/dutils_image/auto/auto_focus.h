// One-shot contrast autofocus: when the user triggers it, the search moves
// the focus step by step, measures the sharpness of a region after each
// move has settled, and ends on the sharpest position found. It only
// computes the next position and when to hand it out; the camera family
// writes it to the camera from its deferred work item.
//
// Search: a coarse sweep in tenths of the range toward the farther end
// (reversed once at the end) until a position is sharper than
// focus_sharp_enough, then a golden-section refinement inside the bracket of
// the nearest measured positions around the best one, until the bracket is
// narrower than 3. After every move the search skips 3 frames and waits
// max(full travel * |move| / range, settle) milliseconds: from the
// camera's answer to the write when the caller reports it, judging each
// frame by when it began to arrive when the caller gives that.
#pragma once

#include <stdint.h>

#include "auto/auto_region.h"
#include "auto/auto_types.h"
#include "img/img_type.h"

namespace img {

// Sharpness above which the coarse sweep hands over to the refinement.
constexpr int32_t focus_sharp_enough = 300;
// Side of the blocks the region is chosen from, and the smallest frame.
constexpr int32_t focus_block = 128;
// Smallest configured region (width and height).
constexpr int32_t focus_min_region = 64;

// Back to idle with the default waits (1000 ms full travel, 300 ms settle).
void auto_focus_reset(auto_focus_state& state);

// One frame at time `now_us`. Returns true when `position` is a new focus
// position to write; otherwise `position` is where the lens is (the
// settings' position while idle). Only "Y800", "Y16 ", "RGB3", "RGB4" and
// 8- and 16-bit Bayer frames of at least 128 x 128 are used; other frames
// neither start a search nor advance one. A change of the frame size or of
// the region mapping during a search ends it where it is.
bool auto_focus_step(auto_focus_state& state, uint64_t now_us, const img_descriptor& frame,
                     const auto_settings& settings, int32_t& position);

// The region to measure: the configured focus region in image coordinates
// when enabled, at least 64 x 64 and inside the frame; otherwise the first
// sharpest of the 128 x 128 blocks tiling the frame, centred. Width 0 when
// the frame is below one block.
image_rect choose_focus_region(const img_descriptor& frame, const auto_settings& settings);

// Sharpness of a region inside the frame: over horizontal bands 4 lines high
// (from line h / 8 + 5, every h / 8 + 1 lines) the largest difference between
// the left and right halves of a 16-column window stepping by 4 from column
// 16, each half's sum divided by 16; the same over vertical bands; summed.
// 16-bit samples are measured on the 8-bit scale, RGB as (B + 2 G + R) / 4.
int32_t focus_sharpness(const img_descriptor& frame, const image_rect& region);

}  // namespace img
