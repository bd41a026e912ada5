// Regions of the automatic loops in image coordinates: the exposure and
// focus regions arrive in sensor coordinates and are mapped with the
// settings' offset and scale. Used by the exposure measurement and the
// focus search.
#pragma once

#include <stdint.h>

#include "auto/auto_types.h"

namespace img {

struct image_rect {
  int32_t left;
  int32_t top;
  int32_t width;  // 0: none
  int32_t height;
};

// (coordinate - offset) / scale for each edge, a scale <= 0 counting as 1.
// Edges given in reverse order (a mirrored region) are put in order. Not
// clamped to any image; values beyond 32 bits saturate.
inline image_rect map_region(const auto_region& r, const auto_settings& s) {
  const int64_t sx = s.scale_x > 0 ? s.scale_x : 1, sy = s.scale_y > 0 ? s.scale_y : 1;
  int64_t x0 = (int64_t{r.left} - s.offset_x) / sx, x1 = (int64_t{r.right} - s.offset_x) / sx;
  int64_t y0 = (int64_t{r.top} - s.offset_y) / sy, y1 = (int64_t{r.bottom} - s.offset_y) / sy;
  if (x1 < x0) {
    const int64_t t = x0;
    x0 = x1, x1 = t;
  }
  if (y1 < y0) {
    const int64_t t = y0;
    y0 = y1, y1 = t;
  }
  auto sat = [](int64_t v) {
    return static_cast<int32_t>(v < INT32_MIN ? INT32_MIN : (v > INT32_MAX ? INT32_MAX : v));
  };
  const int64_t w = x1 - x0, h = y1 - y0;
  return {sat(x0), sat(y0), sat(w), sat(h)};
}

inline bool region_is_set(const auto_region& r) {
  return r.left != 0 || r.top != 0 || r.right != 0 || r.bottom != 0;
}

// A single-plane image of the part of `frame` inside `r` (clamped to the
// frame). Bayer frames are cut on even columns and lines so that the crop
// keeps the frame's pattern. False when nothing is left.
bool crop_frame(const img_descriptor& frame, image_rect r, img_descriptor& out);

}  // namespace img
