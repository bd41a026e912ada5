// Colour adjustment of luminance and planar YUV images, in place: hue and
// saturation on the chroma planes, brightness and contrast and gamma on the
// luminance. The parameter derivations are shared with the matrix debayer,
// which folds the same adjustments into its interpolation weights.
#pragma once

#include <stdint.h>

#include "img/img_transform_pipe.h"
#include "img/img_type.h"

namespace img {

// Gain and offset (in full-scale units) of brightness and contrast:
// k = contrast / 256 and b = brightness / 256; gain = 1 + k, offset = -k / 2
// for k > 0; gain = 1 + k / 2, offset = -k / 4 for k < 0; then offset += b.
struct gain_offset {
  float gain;
  float offset;
};
gain_offset brightness_contrast_gain(int contrast, int brightness);

// Saturation factor s = (saturation + 64) / 64 and hue angle in radians.
struct hue_saturation {
  float cos_part;  // s * cos(hue)
  float sin_part;  // s * sin(hue)
};
hue_saturation hue_saturation_factors(int saturation, int hue, float max_saturation);

// The stages below pick their variant from `cpu_features` once per call:
// AVX2 (img::avx2_allowed) or the plain code, with identical results.

// Hue rotation and saturation of the U and V planes of "YU8p" or "YUGp".
// U' = a U - b V, V' = b U + a V around the chroma zero point, with a and b
// in fixed point (1/32 for 8-bit, 1/64 for 16-bit). Nothing happens when the
// factor is 1 and the hue 0.
void adjust_hue_saturation(const img_descriptor& img, int saturation, int hue, uint32_t cpu_features = 0);

// Brightness and contrast of "Y800", "Y16 " or the Y plane of "YU8p"/"YUGp":
// Y' = Y * trunc(64 gain) / 64 + trunc(full scale * offset), clamped.
void adjust_brightness_contrast(const img_descriptor& img, int contrast, int brightness, uint32_t cpu_features = 0);

// Replaces every luminance sample by its gamma_lut entry (8-bit table for
// "Y800"/"YU8p", 16-bit table for "Y16 "/"YUGp").
void apply_gamma(const img_descriptor& img, const gamma_table& lut, uint32_t cpu_features = 0);
// One line of `n` luminance samples of format `fcc`, for routes that produce
// a line at a time; `avx2` as chosen for the frame (after note_avx_entry).
void apply_gamma_line(uint8_t* line, int n, uint32_t fcc, const gamma_table& lut, bool avx2);

// The three steps in order, each only when its parameters are not neutral.
void color_adjust(const img_descriptor& img, const transform_params& params);

}  // namespace img
