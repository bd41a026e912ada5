// Per-pixel tone-mapping arithmetic shared by the plain and the SSE4.1 line
// routines (the vector code finishes its lines with these). Internal linkage:
// each target's copy stays its own.
#pragma once

#include <stdint.h>

#include "filter/tonemapping/tonemapping_internal.h"
#include "img/transform_image.h"

namespace img {
namespace tm_detail {
namespace {

// T = v / (v + sigma), then trunc(T * a_s + b_s) clamped to [0, full]. A
// zero denominator (v = 0 with sigma = 0) gives T = 0 instead of 0 / 0.
// The clamps are written so that a NaN ends as 0, as in the vector form.
inline int map_pixel(int p, float sigma, const curve_args& c) {
  const float v = static_cast<float>(p) / c.full;
  const float d = v + sigma;
  const float t = d > 0.0f ? v / d : 0.0f;
  float r = t * c.a_s + c.b_s;
  r = r > 0.0f ? r : 0.0f;
  r = r < c.full ? r : c.full;
  return static_cast<int>(r);
}

// Adaptation index of a Bayer pixel: the mean of three samples covering the
// three colours within the line pair. The horizontal neighbour is the next
// column (the previous one for the last column); the sample of the other
// line is taken below/above a green pixel, and below/above the horizontal
// neighbour (diagonally) for a red or blue pixel, so that the three samples
// always hold one red, one green and one blue.
template <typename T>
inline int bayer_index(const uint8_t* cur, const uint8_t* other, int x, int n, bool green_even) {
  const int h = x + 1 < n ? x + 1 : x - 1;
  const bool green = ((x & 1) == 0) == green_even;
  return (load_sample<T>(cur, x) + load_sample<T>(cur, h) + load_sample<T>(other, green ? x : h)) / 3;
}

}  // namespace
}  // namespace tm_detail
}  // namespace img
