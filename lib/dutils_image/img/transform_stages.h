// The simple stages of the transform pipe: raw white balance, flip-copy,
// 2x2 smoothing, grey to RGB expansion, packed/planar YUV conversions and
// the conversions of planar YUV to RGB. Each stage checks that its images fit
// their buffers and picks its processor variant from the feature mask; all
// variants of a stage give identical output unless said otherwise below.
#pragma once

#include <stdint.h>

#include "img/img_type.h"

namespace img {

// White-balance gains, 64 = 1.0 (low 8 bits used).
struct wb_gains {
  uint32_t r;
  uint32_t g;   // green on red lines
  uint32_t b;
  uint32_t g2;  // green on blue lines
};

// In place on 8-bit or 16-bit Bayer: sample * gain >> 6, clamped. Other
// types are left alone. AVX2 or SSE2 by the feature mask.
void apply_raw_white_balance(const img_descriptor& img, const wb_gains& gains, uint32_t cpu_features);

// Copies src into dst (same type and size) plane by plane; with `flip` the
// destination lines are written in reverse order.
void flip_copy(const img_descriptor& dst, const img_descriptor& src, bool flip);

// Copies min(src.buffer_length, dst.buffer_length) bytes.
void byte_copy(const img_descriptor& dst, const img_descriptor& src);

// 2x2 smoothing of "Y800" in place. Plain: lines 1 .. dim_y - 2, columns
// 0 .. dim_x - 2, P = (P + right + below + below right) >> 2. With SSE2 and
// dim_x >= 32: lines 0 .. dim_y - 2, the rounded average of the rounded
// vertical averages (a different rounding from the plain form).
void smooth_2x2(const img_descriptor& img, uint32_t cpu_features);

// "Y800" to "RGB3" (B = G = R = Y); with `flip` the lines are reversed.
// SSSE3 or SSE2 by the feature mask.
void expand_y800_to_rgb24(const img_descriptor& dst, const img_descriptor& src, bool flip, uint32_t cpu_features);

// "YUY2" to "YU8p": each pair gives its two Y and its U and V to both pixels.
void unpack_yuy2_to_yuv8p(const img_descriptor& dst, const img_descriptor& src);
// "YU8p" to "YUY2": U and V of a pair are the truncated means of the two.
void pack_yuv8p_to_yuy2(const img_descriptor& dst, const img_descriptor& src);
// "YU8p" to "I420": Y copied, chroma the truncated mean of each 2x2 block.
void convert_yuv8p_to_i420(const img_descriptor& dst, const img_descriptor& src);

// "YU8p" to "RGB3"/"RGB4": R = Y + (V - 128) 87 / 64,
// G = Y - (21 (U - 128) + 45 (V - 128)) / 64, B = Y + (U - 128) 111 / 64,
// clamped. Written bottom-up unless `flip`. The vector forms need
// dim_x > 16 and AVX2, or SSSE3 ("RGB3") or SSE2 ("RGB4").
void convert_yuv8p_to_rgb(const img_descriptor& dst, const img_descriptor& src, bool flip, uint32_t cpu_features);

// "YUGp" to "RGB6" with BT.601 coefficients in 14-bit fixed point, A = 65535,
// bottom-up unless `flip`. AVX2 or SSE2 by the feature mask.
void convert_yuv16p_to_rgb64(const img_descriptor& dst, const img_descriptor& src, bool flip, uint32_t cpu_features);
// The same a line at a time, for routes that produce "YUGp" line by line:
// the line routine of the variant, chosen once.
using yuv16p_to_rgb64_line_fn = void (*)(uint8_t* dst, const uint8_t* py, const uint8_t* pu, const uint8_t* pv,
                                         int dim_x);
yuv16p_to_rgb64_line_fn choose_yuv16p_to_rgb64_line(uint32_t cpu_features);
// The AVX2 line routine writes past the caches (non-temporal stores); a
// caller of the line routines ends the frame with this fence, so that the
// stores are ordered before the frame is handed on.
void end_streaming_stores();

}  // namespace img
