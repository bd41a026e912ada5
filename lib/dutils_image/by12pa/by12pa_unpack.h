// Unpacking of 12-bit packed Bayer ("BGCP" .. "RGDP") into 16-bit Bayer
// ("BG16", "GB16", "BA16", "RG16"). The transform pipe chooses when to call
// it; this file only converts.
#pragma once

#include <stdint.h>

#include "img/img_type.h"

namespace img {

// Unpacks `src`, 12-bit packed Bayer in layout C ("..CP": p0 high byte, both
// low nibbles, p1 high byte) or layout D ("..DP": p0 high byte, p1 high byte,
// both low nibbles), into `dst`, whose type is
// transform_by12pa_to_by16_fcc(src.type). Every output is the 12-bit value
// shifted left by 4 (low four bits 0), stored little-endian.
//
// Each line is addressed from its own start with its own image's pitch, so
// source and destination may have different padding and either may be
// stored bottom-up (negative pitch). `cpu_features` is the mask of
// get_cpu_features(); for dim_x >= 32 the AVX2 variant (img::avx2_allowed) or
// the SSSE3 one runs, with output identical to the plain code.
//
// Preconditions (reported through IMG_ASSERT): the types match, the sizes
// are equal, dim_x is even, both images have data and lines and buffers
// large enough for their size. On a size mismatch only the common area is
// converted; with an odd dim_x the last pixel of a line gets its high eight
// bits only (its low nibble is not in the line). When the source is not
// 12-bit packed Bayer, or a pitch or buffer is too small for the image,
// nothing is written.
void transform_by12pa_to_by16(const img_descriptor& dst, const img_descriptor& src, uint32_t cpu_features);

}  // namespace img
