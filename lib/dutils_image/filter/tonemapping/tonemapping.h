// Tone mapping: a global photoreceptor curve applied in place to monochrome
// and raw Bayer frames before debayering. Each pixel of value v (0..1) maps
// to T = v / (v + sigma(i)), where the adaptation index i is the pixel's
// local brightness and sigma is a curve table built from the frame mean,
// the intensity and the global brightness factor; T is then normalised by
// out = trunc(T * (a * S) + (b * S)) clamped to [0, S], S the full scale.
//
// The factors are either supplied by the user (manual mode) or measured on
// every frame and smoothed over time (tonemapping_compute_factors). The
// curve table and the smoothing state live in the caller-owned
// tonemapping_state (see img_transform_pipe.h), so nothing is allocated.
//
// Accepted images: "Y16 ", "Y800", the 16-bit and 8-bit Bayer formats.
// "BY8 " is treated as its GBRG pattern, like the debayers do.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "img/img_transform_pipe.h"
#include "img/img_type.h"

namespace img {

struct tonemapping_factors {
  float intensity;                 // -8..8
  float global_brightness_factor;  // g, 0..1: share of the frame mean in the adaptation level
  float luminance_average;         // frame mean, 0..1
  float pow;                       // curve exponent c
  float mul;                       // a
  float add;                       // b
};

// The curve table: sigma[k] = (m ((1 - g) x + g L))^c with m = e^-intensity
// and x = (k + 1) / 65535, for the four inputs in its header.
struct tonemapping_table {
  float intensity;  // the inputs the table was built from
  float global_brightness_factor;
  float luminance_average;
  float pow;
  int32_t valid;           // 0 until the first build
  float sigma[65536];      // indexed by a 16-bit adaptation level
  float sigma8[256];       // sigma[256 k], indexed by an 8-bit level
  float sigma8_x255[256];  // sigma8 * 255: the curve on the 0..255 sample scale
};

// Rebuilds `table` when intensity, g, L or c differ from its header.
// Intensity outside [-8, 8] or g outside [0, 1] is reported and clamped.
void tonemapping_set_factors(tonemapping_table& table, const tonemapping_factors& factors);

// Automatic mode: measures the frame mean and the range of the mapped values
// on a grid of every 8th pixel, smooths exponent, minimum and maximum over
// the last frames, rebuilds the table of `state` and returns all six
// factors. mul = add = 0 (stage off for this frame) when the mapped range is
// empty, as on a frame of constant value.
tonemapping_factors tonemapping_compute_factors(tonemapping_state& state,
                                                const img_descriptor& image, float intensity,
                                                float global_brightness_factor);

// The table inside a state (for manual mode).
tonemapping_table& tonemapping_state_table(tonemapping_state& state);

// Applies the curve of `table` with factors.mul and factors.add in place.
// AVX2 (img::avx2_allowed) or SSE4.1 for images of at least 16 x 2, the
// plain code for at least 4 x 2; smaller images are left untouched. Bayer
// images need scratch_size >= tonemapping::get_scratch_space_size(image).
void tonemapping_apply(const img_descriptor& image, const tonemapping_factors& factors,
                       const tonemapping_table& table, void* scratch, size_t scratch_size,
                       uint32_t cpu_features);

namespace tonemapping {
// Scratch bytes tonemapping_apply needs: bits per pixel x dim_x x 16.
size_t get_scratch_space_size(const img_type& type);
// True for the types with a kernel.
bool accepts(uint32_t fcc);
}  // namespace tonemapping

}  // namespace img
