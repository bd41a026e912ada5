// Per-pixel form of the sharpness/denoise filter, shared by the plain line
// routines and the tails of the vector ones. Internal linkage.
//
// For the pixel p at column x of the middle row:
//   Gx, Gy: 3x3 column and row differences; e = min(2 (|Gx| + |Gy|), 255),
//     for 16-bit samples scaled down by 256 first so that e, like the
//     weights, stays on the 0..255 scale;
//   S: sum of the 5x5 neighbourhood, mean = S / 25;
//   denoise: w = clamp((255 - e) gain / 64 + offset, 0, 255),
//     p = (p (255 - w) + mean w) >> 8;
//   sharpen: u = clamp(((p s1 - S) s2) >> shift, 0, max),
//     p = (p (255 - e) + u e) >> 8.
#pragma once

#include <stdint.h>

#include "filter/sharpness_denoise/sharpness_denoise_internal.h"
#include "img/transform_image.h"

namespace img {
namespace sd_detail {
namespace {

inline int iabs(int v) { return v < 0 ? -v : v; }
inline int iclamp(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

template <typename T>
inline int box_sum(const uint8_t* const rows[5], int x) {
  int s = 0;
  for (int r = 0; r < 5; ++r)
    for (int dx = -2; dx <= 2; ++dx) s += load_sample<T>(rows[r], x + dx);
  return s;
}

// kEdgeShift: 0 for 8-bit samples, 8 for 16-bit ones.
template <typename T, int kMax, int kEdgeShift>
inline int filter_pixel(const uint8_t* const rows[5], int x, const sharpness_denoise_params& k) {
  const auto up = [&](int c) -> int { return load_sample<T>(rows[1], c); };
  const auto mid = [&](int c) -> int { return load_sample<T>(rows[2], c); };
  const auto down = [&](int c) -> int { return load_sample<T>(rows[3], c); };
  const int gy = (down(x - 1) + down(x) + down(x + 1)) - (up(x - 1) + up(x) + up(x + 1));
  const int gx = (up(x + 1) + mid(x + 1) + down(x + 1)) - (up(x - 1) + mid(x - 1) + down(x - 1));
  const int edge = (2 * (iabs(gx) + iabs(gy))) >> kEdgeShift;
  const int e = edge < 255 ? edge : 255;
  const int s = box_sum<T>(rows, x);
  int p = mid(x);
  if (k.denoise_gain != 0) {
    const int w = iclamp((255 - e) * k.denoise_gain / 64 + k.denoise_offset, 0, 255);
    p = (p * (255 - w) + (s / 25) * w) >> 8;
  }
  if (k.s1 != 0) {
    const int u = iclamp(((p * k.s1 - s) * k.s2) >> k.shift, 0, kMax);
    p = (p * (255 - e) + u * e) >> 8;
  }
  return p < kMax ? p : kMax;
}

}  // namespace
}  // namespace sd_detail
}  // namespace img
