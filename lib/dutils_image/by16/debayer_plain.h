// The plain debayer: edge-directed bilinear interpolation of 8-bit Bayer
// mosaics into "RGB3", "RGB4" or "YU8p", with an optional colour matrix and
// green-imbalance correction. Selection of the line routine happens once per
// frame here; the line routines themselves live in debayer_plain_kernels.h
// and are instantiated once per processor variant.
#pragma once

#include <stdint.h>

#include "img/img_type.h"

namespace img {

// Flag word of debayer_plain.
enum debayer_flag : uint32_t {
  debayer_color_matrix = 1u << 0,  // apply the 3x3 colour matrix (64 = 1.0)
  debayer_green_fix = 1u << 1,     // green-imbalance correction
  debayer_flip = 1u << 2,          // RGB top-down, "YU8p" bottom-up
};

// Debayers `src` (8-bit Bayer) into `dst` ("RGB3", "RGB4" or "YU8p") of the
// same size. RGB is written bottom-up and "YU8p" top-down unless
// debayer_flip is set. Does nothing when dim_y < 2 or dim_x < 4, or when the
// types or sizes do not match (reported). `color_matrix` is read only with
// debayer_color_matrix. The variant is chosen from `cpu_features`: AVX2
// (img::avx2_allowed), SSE4.1, SSSE3 or SSE2 for dim_x >= 16 and dim_y >= 4;
// all give identical output.
void debayer_plain(const img_descriptor& dst, const img_descriptor& src, uint32_t flags,
                   uint32_t cpu_features, const int16_t* color_matrix);

namespace debayer_detail {

enum class out_kind : int { rgb24 = 0, rgb32 = 1, yuv8p = 2 };

// The colour matrix prepared for pmaddwd: per output row, the pair
// (m_R, m_G) and the pair (m_B, 0) repeated over the eight 16-bit lanes.
struct matrix_lanes {
  alignas(16) int16_t rg[3][8];
  alignas(16) int16_t b0[3][8];
};

struct line_args {
  const uint8_t* prev;  // line above (mirrored at the top)
  const uint8_t* cur;
  const uint8_t* next;  // line below (mirrored at the bottom)
  uint8_t* out0;        // RGB line, or the "YU8p" Y line
  uint8_t* out1;        // "YU8p" U line
  uint8_t* out2;        // "YU8p" V line
  int dim_x;
  const int16_t* matrix;      // 9 entries, R_R .. B_B
  const matrix_lanes* lanes;  // the same for the vector variants
};

using line_fn = void (*)(const line_args&);

// Line kinds: bit 1 = the line carries red (else blue), bit 0 = column 0 is
// green. The next line's kind is kind ^ 3.
constexpr int line_kind_count = 4;
constexpr int flag_combinations = 4;  // colour matrix x green fix

line_fn get_line_plain(out_kind out, int flag_combination, int line_kind);
line_fn get_line_sse2(out_kind out, int flag_combination, int line_kind);
line_fn get_line_ssse3(out_kind out, int flag_combination, int line_kind);
line_fn get_line_sse41(out_kind out, int flag_combination, int line_kind);
line_fn get_line_avx2(out_kind out, int flag_combination, int line_kind);

}  // namespace debayer_detail
}  // namespace img
