// Sharpness and denoise: parameter tables, variant selection and the row
// driver (two-pixel frame, line pointers, planes). The line routines are in
// sharpness_denoise_y8_alg_c.cpp / _y16_alg_c.cpp (plain) and
// sharpness_denoise_ssse3.cpp / _sse41.cpp (vector).
#include "filter/sharpness_denoise/sharpness_denoise.h"

#include <string.h>

#include "filter/sharpness_denoise/sharpness_denoise_internal.h"
#include "img/cpu_features.h"
#include "img/img_assert.h"
#include "img/transform_image.h"

namespace img {
namespace {

using sd_detail::kBorder;

constexpr int kMinSize = 8;
constexpr int kVectorMinWidth = 32;
constexpr int kMaxSharpness = 14;
constexpr int kMaxDenoise = 25;

// Unsharp-mask constants per sharpness level 1..14.
struct sharpen_row {
  int s1, s2, shift;
};
constexpr sharpen_row kSharpenTable[kMaxSharpness] = {
    {125, 41, 12}, {100, 54, 12}, {83, 70, 12},  {71, 88, 12},  {62, 109, 12},
    {56, 134, 12}, {50, 164, 12}, {45, 200, 12}, {42, 245, 11}, {38, 152, 11},
    {36, 191, 11}, {33, 246, 11}, {31, 164, 10}, {29, 232, 10},
};

enum class variant { plain, ssse3, sse41 };

bool is_16bit(uint32_t fcc) { return fcc == FOURCC_Y16 || fcc == FOURCC_YUV16PLANAR; }
bool is_planar(uint32_t fcc) { return fcc == FOURCC_YUV8PLANAR || fcc == FOURCC_YUV16PLANAR; }

template <typename T>
T* plane_row(const img_descriptor& d, int plane, int y) {
  return reinterpret_cast<T*>(plane_line(d, plane, y));
}

// One plane: the two-pixel frame copied, the inside filtered line by line.
// `luma` selects the edge-adaptive filter, otherwise the box mean (chroma
// with denoise on) or a plain copy (chroma with denoise off).
template <typename T>
void filter_plane(const img_descriptor& dst, const img_descriptor& src, int plane, bool luma,
                  bool smooth, const sharpness_denoise_params& k, variant v) {
  const int w = src.dim_x, h = src.dim_y;
  const size_t line = static_cast<size_t>(w) * sizeof(T);
  for (int y = 0; y < h; ++y) {
    T* out = plane_row<T>(dst, plane, y);
    const T* in = plane_row<T>(src, plane, y);
    if (y < kBorder || y >= h - kBorder || (!luma && !smooth)) {
      memcpy(out, in, line);
      continue;
    }
    const T* rows[5];
    for (int r = 0; r < 5; ++r) rows[r] = plane_row<T>(src, plane, y - 2 + r);
    out[0] = in[0], out[1] = in[1], out[w - 2] = in[w - 2], out[w - 1] = in[w - 1];
    int done = kBorder;
    if constexpr (sizeof(T) == 1) {
      if (luma) {
        if (v == variant::sse41) done = sd_detail::luma8_line_sse41(out, rows, w, k);
        if (v == variant::ssse3) done = sd_detail::luma8_line_ssse3(out, rows, w, k);
        sd_detail::luma8_line_c(out, rows, done, w, k);
      } else {
        if (v == variant::sse41) done = sd_detail::box8_line_sse41(out, rows, w);
        if (v == variant::ssse3) done = sd_detail::box8_line_ssse3(out, rows, w);
        sd_detail::box8_line_c(out, rows, done, w);
      }
    } else {
      if (luma) {
        if (v == variant::sse41) done = sd_detail::luma16_line_sse41(out, rows, w, k);
        sd_detail::luma16_line_c(out, rows, done, w, k);
      } else {
        if (v == variant::sse41) done = sd_detail::box16_line_sse41(out, rows, w);
        sd_detail::box16_line_c(out, rows, done, w);
      }
    }
  }
}

}  // namespace

sharpness_denoise_params make_sharpness_denoise_params(int sharpness, int denoise) {
  sharpness_denoise_params k = {};
  const int d = denoise < 0 ? 0 : (denoise > kMaxDenoise ? kMaxDenoise : denoise);
  // t = trunc((d / 10 - 2) * 64), computed exactly in integers.
  const int t = (d * 64 - 1280) / 10;
  if (t < 0) {
    k.denoise_gain = t / 2 + 64;
    k.denoise_offset = (t / 8 - t / 4) * 4 - 64;
  } else {
    k.denoise_gain = t + 64;
    k.denoise_offset = (t / 8 - t / 2) * 4 - 64;
  }
  if (k.denoise_gain == 0) k.denoise_offset = 0;
  if (sharpness >= 1 && sharpness <= kMaxSharpness) {
    const sharpen_row& row = kSharpenTable[sharpness - 1];
    k.s1 = row.s1, k.s2 = row.s2, k.shift = row.shift;
  }
  return k;
}

void sharpness_denoise(const img_descriptor& dst, const img_descriptor& src, int sharpness,
                       int denoise, uint32_t cpu_features) {
  if (!IMG_ASSERT(dst.dim_x == src.dim_x, "dst.dim_x == src.dim_x")) return;
  if (!IMG_ASSERT(dst.dim_y == src.dim_y, "dst.dim_y == src.dim_y")) return;
  if (!IMG_ASSERT(dst.type == src.type, "dst.type == src.type")) return;
  if (!IMG_ASSERT(
          dst.type == FOURCC_Y800 || dst.type == FOURCC_YUV8PLANAR || dst.type == FOURCC_Y16 ||
              dst.type == FOURCC_YUV16PLANAR,
          "dst.type == FOURCC_Y800 || dst.type == FOURCC_YUV8PLANAR || dst.type == FOURCC_Y16 || "
          "dst.type == FOURCC_YUV16PLANAR"))
    return;
  if (!IMG_ASSERT(dst.dim_x >= kMinSize, "dst.dim_x >= 8")) return;
  if (!IMG_ASSERT(dst.dim_y >= kMinSize, "dst.dim_y >= 8")) return;
  if (!IMG_ASSERT(image_fits(src) && image_fits(dst), "image_fits( src ) && image_fits( dst )"))
    return;

  const sharpness_denoise_params k = make_sharpness_denoise_params(sharpness, denoise);
  const bool sixteen = is_16bit(src.type);
  const bool wide = src.dim_x >= kVectorMinWidth && src.dim_y >= kMinSize;
  variant v = variant::plain;
  if (wide && (cpu_features & cpu_sse41)) {
    v = variant::sse41;
  } else if (wide && !sixteen && (cpu_features & cpu_ssse3)) {
    v = variant::ssse3;
  }
  const int planes = is_planar(src.type) ? 3 : 1;
  for (int plane = 0; plane < planes; ++plane) {
    const bool luma = plane == 0;
    const bool smooth = k.denoise_gain != 0;
    if (sixteen) {
      filter_plane<uint16_t>(dst, src, plane, luma, smooth, k, v);
    } else {
      filter_plane<uint8_t>(dst, src, plane, luma, smooth, k, v);
    }
  }
}

}  // namespace img
