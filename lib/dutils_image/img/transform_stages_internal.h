// Vector line kernels of the pipe's stages that live in target-specific
// source files. Each returns the number of pixels it did from column 0; lines
// of 16-bit samples are passed as bytes (they may start at odd addresses).
#pragma once

#include <stdint.h>

namespace img {
namespace stage_detail {

int expand_grey_line_ssse3(uint8_t* dst, const uint8_t* src, int dim_x);
int yuv8p_to_rgb24_line_ssse3(uint8_t* dst, const uint8_t* py, const uint8_t* pu, const uint8_t* pv, int dim_x);

// AVX2 (img::avx2_allowed).
int wb_line8_avx2(uint8_t* p, int n, int even_gain, int odd_gain);
int wb_line16_avx2(uint8_t* p, int n, int even_gain, int odd_gain);
int yuv8p_to_rgb_line_avx2(uint8_t* dst, const uint8_t* py, const uint8_t* pu, const uint8_t* pv, int n,
                           bool four_bytes);
int yuv16p_to_rgb64_line_avx2(uint8_t* d, const uint8_t* py, const uint8_t* pu, const uint8_t* pv, int n);
int hue_saturation8_line_avx2(uint8_t* u, uint8_t* v, int n, int a, int b, int cu, int cv);
int hue_saturation16_line_avx2(uint8_t* u, uint8_t* v, int n, int a, int b, int cu, int cv);
// Valid for |gain64| < 2^22 (8-bit) and < 2^15 (16-bit).
int brightness_contrast8_line_avx2(uint8_t* p, int n, int gain64, int offset);
int brightness_contrast16_line_avx2(uint8_t* p, int n, int gain64, int offset);
// The tables of one img::gamma_table (the reads stay inside it).
int gamma8_line_avx2(uint8_t* p, int n, const uint8_t* lut8);
int gamma16_line_avx2(uint8_t* p, int n, const uint16_t* lut16);

}  // namespace stage_detail
}  // namespace img
