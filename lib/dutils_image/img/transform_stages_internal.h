// Vector line kernels of the pipe's stages that live in target-specific
// source files. Each returns the number of pixels it did from column 0.
#pragma once

#include <stdint.h>

namespace img {
namespace stage_detail {

int expand_grey_line_ssse3(uint8_t* dst, const uint8_t* src, int dim_x);
int yuv8p_to_rgb24_line_ssse3(uint8_t* dst, const uint8_t* py, const uint8_t* pu, const uint8_t* pv, int dim_x);

}  // namespace stage_detail
}  // namespace img
