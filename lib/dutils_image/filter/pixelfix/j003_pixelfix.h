// The j003 pixel fix: sensors whose eight positions of every 2-column x
// 4-line block differ in gain by an amount that depends on the brightness.
// Every frame, the fix measures the eight position means per brightness
// bucket on the top-left block of every 4 x 8 cell, turns them into a gain
// table over 256 brightness levels and multiplies every block by the gains
// of its cell's level, in place.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "img/img_type.h"

namespace img {

namespace j003 {
// Bytes of the fix's state at the start of the scratch buffer; the level
// map of one 32-bit entry per 4 x 8 cell follows it.
constexpr size_t state_bytes = 8848;
// (dim_x / 4) x (dim_y / 8) x 4 + state_bytes.
size_t get_scratch_space_size(const img_type& type);
// Gain of position `pos` (line * 2 + column of the 2 x 4 block) at
// brightness `level` as computed for the last frame; 1.0 before any frame.
// For inspection by tests and diagnostics.
float gain_of(const void* scratch, int level, int pos);
}  // namespace j003

// "Y800" or "Y16 " with dim_x and dim_y multiples of 4, in place. SSE4.1
// for the correction when the feature mask has it. Frames without a valid
// bucket (too few cells below level 240) are left unchanged.
void j003_pixelfix(const img_descriptor& dst, void* scratch, size_t scratch_size,
                   uint32_t cpu_features);

}  // namespace img
