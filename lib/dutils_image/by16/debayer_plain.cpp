// The plain debayer's frame level: checks, variant and line-routine
// selection (once per frame) and the row driver that supplies mirrored
// neighbour lines and the destination line for each orientation. The plain
// line routines are compiled here; the vector ones in debayer_plain_<variant>.cpp.
#include "by16/debayer_plain.h"

#include "by16/debayer_plain_kernels.h"
#include "img/cpu_features.h"
#include "img/img_assert.h"
#include "img/transform_image.h"

namespace img {
namespace debayer_detail {

line_fn get_line_plain(out_kind out, int flag_combination, int line_kind) {
  return line_for<v_plain>(out, flag_combination, line_kind);
}

}  // namespace debayer_detail

namespace {

using debayer_detail::line_fn;
using debayer_detail::out_kind;

constexpr int kVectorMinWidth = 16;
constexpr int kVectorMinHeight = 4;

int line_kind_of_pattern(bayer_pattern pattern) {
  switch (pattern) {
    case bayer_bggr: return 0;  // B G ..: blue line, colour first
    case bayer_gbrg: return 1;  // G B ..: blue line, green first
    case bayer_rggb: return 2;  // R G ..: red line, colour first
    default: return 3;          // G R ..: red line, green first
  }
}

line_fn select_line(uint32_t cpu_features, bool vector_size, out_kind out, int flags, int kind) {
  using namespace debayer_detail;
  if (vector_size) {
    if (avx2_allowed(cpu_features)) return get_line_avx2(out, flags, kind);
    if (cpu_features & cpu_sse41) return get_line_sse41(out, flags, kind);
    if (cpu_features & cpu_ssse3) return get_line_ssse3(out, flags, kind);
    if (cpu_features & cpu_sse2) return get_line_sse2(out, flags, kind);
  }
  return get_line_plain(out, flags, kind);
}

}  // namespace

void debayer_plain(const img_descriptor& dst, const img_descriptor& src, uint32_t flags, uint32_t cpu_features,
                   const int16_t* color_matrix) {
  if (!IMG_ASSERT(is_by8_fcc(src.type), "img::is_by8_fcc( src.type )")) return;
  if (!IMG_ASSERT(dst.type == FOURCC_RGB24 || dst.type == FOURCC_RGB32 || dst.type == FOURCC_YUV8PLANAR,
                  "dst.type == FOURCC_RGB24 || dst.type == FOURCC_RGB32 || dst.type == FOURCC_YUV8PLANAR"))
    return;
  if (!IMG_ASSERT(src.dim_x == dst.dim_x && src.dim_y == dst.dim_y,
                  "src.dim_x == dst.dim_x && src.dim_y == dst.dim_y"))
    return;
  if (src.dim_y < 2 || src.dim_x < 4) return;
  if (!IMG_ASSERT(image_fits(src) && image_fits(dst), "image_fits( src ) && image_fits( dst )")) return;
  const bool use_matrix = (flags & debayer_color_matrix) != 0;
  if (!IMG_ASSERT(!use_matrix || color_matrix != nullptr, "color_matrix != 0")) return;

  const out_kind out = dst.type == FOURCC_RGB24 ? out_kind::rgb24
                       : dst.type == FOURCC_RGB32 ? out_kind::rgb32
                                                  : out_kind::yuv8p;
  const int flag_combination = (use_matrix ? 1 : 0) | ((flags & debayer_green_fix) ? 2 : 0);
  const bool vector_size = src.dim_x >= kVectorMinWidth && src.dim_y >= kVectorMinHeight;
  const int kind0 = line_kind_of_pattern(get_bayer_pattern(src.type));
  const line_fn even_line = select_line(cpu_features, vector_size, out, flag_combination, kind0);
  const line_fn odd_line = select_line(cpu_features, vector_size, out, flag_combination, kind0 ^ 3);
  if (vector_size && avx2_allowed(cpu_features)) note_avx_entry("debayer_plain");

  debayer_detail::matrix_lanes lanes;
  if (use_matrix) {
    for (int row = 0; row < 3; ++row) {
      for (int lane = 0; lane < 8; lane += 2) {
        lanes.rg[row][lane] = color_matrix[3 * row + 0];
        lanes.rg[row][lane + 1] = color_matrix[3 * row + 1];
        lanes.b0[row][lane] = color_matrix[3 * row + 2];
        lanes.b0[row][lane + 1] = 0;
      }
    }
  }

  // RGB is delivered bottom-up (the first image line last in memory) and
  // "YU8p" top-down; the flip flag reverses either.
  const bool flip = (flags & debayer_flip) != 0;
  const bool reverse = out == out_kind::yuv8p ? flip : !flip;
  const int h = src.dim_y;
  debayer_detail::line_args a = {};
  a.dim_x = src.dim_x;
  a.matrix = color_matrix;
  a.lanes = &lanes;
  for (int y = 0; y < h; ++y) {
    a.prev = line_ptr(src, y == 0 ? 1 : y - 1);
    a.cur = line_ptr(src, y);
    a.next = line_ptr(src, y == h - 1 ? h - 2 : y + 1);
    const int dy = reverse ? h - 1 - y : y;
    if (out == out_kind::yuv8p) {
      a.out0 = plane_line(dst, 0, dy);
      a.out1 = plane_line(dst, 1, dy);
      a.out2 = plane_line(dst, 2, dy);
    } else {
      a.out0 = line_ptr(dst, dy);
    }
    ((y & 1) ? odd_line : even_line)(a);
  }
}

}  // namespace img
