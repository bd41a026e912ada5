// Line and plane addressing shared by the pipe's stages, and the check that
// an image really fits its buffer before a stage touches it.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "img/img_type.h"

namespace img {

// Number of planes of a format as the stages see it (1 for packed formats).
inline int plane_count(uint32_t fcc) {
  return fcc == FOURCC_YUV8PLANAR || fcc == FOURCC_YUV16PLANAR || fcc == FOURCC_YUVF32PLANAR ||
                 fcc == FOURCC_I420 || fcc == FOURCC_YV16
             ? 3
             : 1;
}

// Bytes of one line of the first plane.
inline int64_t line_bytes(uint32_t fcc, int dim_x) {
  switch (fcc) {
    case FOURCC_YUV8PLANAR:
    case FOURCC_I420:
    case FOURCC_YV16: return dim_x;
    case FOURCC_YUV16PLANAR: return 2 * int64_t{dim_x};
    case FOURCC_YUVF32PLANAR: return 4 * int64_t{dim_x};
    default: return (int64_t{get_bits_per_pixel(fcc)} * dim_x + 7) / 8;
  }
}

// Address of line y of a single-plane image (or of the first plane).
inline uint8_t* line_ptr(const img_descriptor& d, int y) {
  return d.data + static_cast<ptrdiff_t>(y) * d.pitch;
}

// Address of line y of plane `plane` of a planar image with three full-size
// planes ("YU8p", "YUGp", "YUfp"). Every plane is stored in the direction of
// the pitch: with a negative pitch each plane is bottom-up and `data` is line
// 0 of the first plane, the highest line of that plane in memory.
inline uint8_t* plane_line(const img_descriptor& d, int plane, int y) {
  const ptrdiff_t abs_pitch = d.pitch < 0 ? -static_cast<ptrdiff_t>(d.pitch) : d.pitch;
  const ptrdiff_t plane_size = abs_pitch * d.dim_y;
  return d.data + plane * plane_size + static_cast<ptrdiff_t>(y) * d.pitch;
}

// True when the image has data, a positive size, lines at least as long as
// its pixels and a buffer that holds all its planes. Stages check this before
// touching an image, so an inconsistent descriptor is reported instead of
// being read or written out of bounds.
inline bool image_fits(const img_descriptor& d) {
  if (d.data == nullptr || d.dim_x <= 0 || d.dim_y <= 0) return false;
  const int64_t abs_pitch = d.pitch < 0 ? -int64_t{d.pitch} : d.pitch;
  if (abs_pitch < line_bytes(d.type, d.dim_x)) return false;
  const int64_t need = calc_buffer_length(d.type, d.pitch, d.dim_y);
  return need > 0 && d.buffer_length >= need;
}

// Sample x of a line of 8- or 16-bit samples. A line of a 16-bit image
// starts at an odd address when its pitch is odd (or a plane is), so 16-bit
// samples are copied in and out rather than read through a uint16_t
// pointer; optimised builds turn the copies into plain loads and stores.
template <typename T>
inline T load_sample(const uint8_t* line, ptrdiff_t x) {
  T v;
  memcpy(&v, line + x * static_cast<ptrdiff_t>(sizeof(T)), sizeof(T));
  return v;
}
template <typename T>
inline void store_sample(uint8_t* line, ptrdiff_t x, T v) {
  memcpy(line + x * static_cast<ptrdiff_t>(sizeof(T)), &v, sizeof(T));
}

// Clamping helpers for the per-pixel reference code.
inline int clamp_u8(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }
inline int clamp_u16(int v) { return v < 0 ? 0 : (v > 65535 ? 65535 : v); }
inline int64_t clamp_u16_64(int64_t v) { return v < 0 ? 0 : (v > 65535 ? 65535 : v); }
inline int64_t clamp_u8_64(int64_t v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

}  // namespace img
