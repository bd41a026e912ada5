// The empia pattern fix: some monochrome sensors deliver the four phases of
// every 2 x 2 cell with slightly different gains. The fix measures the four
// phase averages on the coarse grid of the automatic exposure and divides
// the pattern out in place: every phase is raised to the brightest one.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "img/img_type.h"

namespace img {

// Scratch the fix needs: the grid sample buffer.
constexpr size_t empia_pattern_fix_scratch_size = 10004;

// "Y800" and "Y16 " only, in place. Does nothing when the scratch is
// smaller than empia_pattern_fix_scratch_size, when the grid has no sample
// or when a phase average is 0. Gains are 8-bit (64 = 1.0); a phase darker
// than a quarter of the brightest is raised by at most 255/64 instead of
// wrapping around.
void empia_pattern_fix(const img_descriptor& image, void* scratch, size_t scratch_size,
                       uint32_t cpu_features);

}  // namespace img
