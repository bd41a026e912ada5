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

bool is_16bit(uint32_t fcc) { return fcc == FOURCC_Y16 || fcc == FOURCC_YUV16PLANAR; }
bool is_planar(uint32_t fcc) { return fcc == FOURCC_YUV8PLANAR || fcc == FOURCC_YUV16PLANAR; }

// The line routines of one frame, chosen once: a vector routine (or none)
// that starts at column 2 and returns the first column it left, and the
// plain routine that finishes the line.
struct line_routines {
  int (*luma_vector)(uint8_t*, const uint8_t* const[5], int, const sharpness_denoise_params&);
  void (*luma_plain)(uint8_t*, const uint8_t* const[5], int, int, const sharpness_denoise_params&);
  int (*box_vector)(uint8_t*, const uint8_t* const[5], int);
  void (*box_plain)(uint8_t*, const uint8_t* const[5], int, int);
};

line_routines choose_routines(bool sixteen, bool wide, uint32_t cpu_features) {
  using namespace sd_detail;
  line_routines r = {};
  r.luma_plain = sixteen ? luma16_line_c : luma8_line_c;
  r.box_plain = sixteen ? box16_line_c : box8_line_c;
  if (!wide) return r;
  if (avx2_allowed(cpu_features)) {
    note_avx_entry("sharpness_denoise");
    r.luma_vector = sixteen ? luma16_line_avx2 : luma8_line_avx2;
    r.box_vector = sixteen ? box16_line_avx2 : box8_line_avx2;
  } else if (cpu_features & cpu_sse41) {
    r.luma_vector = sixteen ? luma16_line_sse41 : luma8_line_sse41;
    r.box_vector = sixteen ? box16_line_sse41 : box8_line_sse41;
  } else if (!sixteen && (cpu_features & cpu_ssse3)) {
    r.luma_vector = luma8_line_ssse3;
    r.box_vector = box8_line_ssse3;
  }
  return r;
}

// One plane: the two-pixel frame copied, the inside filtered line by line.
// `luma` selects the edge-adaptive filter, otherwise the box mean (chroma
// with denoise on) or a plain copy (chroma with denoise off).
void filter_plane(const img_descriptor& dst, const img_descriptor& src, int plane, bool luma, bool smooth,
                  const sharpness_denoise_params& k, const line_routines& r, int sample_bytes) {
  const int w = src.dim_x, h = src.dim_y;
  const size_t line = static_cast<size_t>(w) * sample_bytes;
  const size_t edge = static_cast<size_t>(kBorder) * sample_bytes;
  for (int y = 0; y < h; ++y) {
    uint8_t* out = plane_line(dst, plane, y);
    const uint8_t* in = plane_line(src, plane, y);
    if (y < kBorder || y >= h - kBorder || (!luma && !smooth)) {
      memcpy(out, in, line);
      continue;
    }
    const uint8_t* rows[5];
    for (int i = 0; i < 5; ++i) rows[i] = plane_line(src, plane, y - 2 + i);
    memcpy(out, in, edge);
    memcpy(out + line - edge, in + line - edge, edge);
    if (luma) {
      const int done = r.luma_vector ? r.luma_vector(out, rows, w, k) : kBorder;
      r.luma_plain(out, rows, done, w, k);
    } else {
      const int done = r.box_vector ? r.box_vector(out, rows, w) : kBorder;
      r.box_plain(out, rows, done, w);
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
  const line_routines r = choose_routines(sixteen, wide, cpu_features);
  const int planes = is_planar(src.type) ? 3 : 1;
  for (int plane = 0; plane < planes; ++plane)
    filter_plane(dst, src, plane, plane == 0, k.denoise_gain != 0, k, r, sixteen ? 2 : 1);
}

}  // namespace img
