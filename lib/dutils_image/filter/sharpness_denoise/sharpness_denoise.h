// Sharpness and denoise: one edge-adaptive filter from a source image into a
// destination of the same type and size. For every luminance pixel it
// measures the local edge strength e (3x3 gradients), blends flat areas
// toward the 5x5 mean (denoise) and edges toward an unsharp-masked value
// (sharpness). Chroma planes are only smoothed (5x5 box mean) when denoise
// is on. A two-pixel frame around every plane is copied unchanged.
//
// Accepted: "Y800", "YU8p", "Y16 ", "YUGp", at least 8 x 8. Source and
// destination must not overlap. The destination may be addressed bottom-up
// (negative pitch), which is how the pipe flips while filtering.
#pragma once

#include <stdint.h>

#include "img/img_type.h"

namespace img {

// Parameters derived from the two strengths.
struct sharpness_denoise_params {
  int denoise_gain;    // 0: denoise off; 64 = 1.0
  int denoise_offset;  // added to the weight (0..255 scale)
  int s1;              // 0: sharpening off
  int s2;
  int shift;
};

// sharpness 1..14 selects a row of the sharpening table, anything else turns
// sharpening off; denoise is clamped to 0..25, 0 is off. The 16-bit twin uses
// the same parameters: the denoise weight is on the same 0..255 scale for
// both sample sizes.
sharpness_denoise_params make_sharpness_denoise_params(int sharpness, int denoise);

// Filters src into dst. AVX2 (img::avx2_allowed), SSE4.1 (8-bit and 16-bit)
// or SSSE3 (8-bit) when the feature mask has them and the image is at least
// 32 x 8; the plain algorithm otherwise. All variants give identical results.
void sharpness_denoise(const img_descriptor& dst, const img_descriptor& src, int sharpness,
                       int denoise, uint32_t cpu_features);

}  // namespace img
