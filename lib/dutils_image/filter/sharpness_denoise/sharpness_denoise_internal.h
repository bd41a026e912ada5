// Line routines of the sharpness/denoise filter. A line routine gets the
// five source lines y - 2 .. y + 2 of one plane (16-bit lines as bytes: they
// may start at odd addresses) and writes the destination
// line for the columns it handles; the row driver copies the two-pixel
// frame. Plain routines run from `from` to dim_x - 3; vector routines start
// at column 2 and return the first column they did not do.
#pragma once

#include <stdint.h>

#include "filter/sharpness_denoise/sharpness_denoise.h"

namespace img {
namespace sd_detail {

constexpr int kBorder = 2;

void luma8_line_c(uint8_t* dst, const uint8_t* const rows[5], int from, int dim_x,
                  const sharpness_denoise_params& k);
void box8_line_c(uint8_t* dst, const uint8_t* const rows[5], int from, int dim_x);
void luma16_line_c(uint8_t* dst, const uint8_t* const rows[5], int from, int dim_x,
                   const sharpness_denoise_params& k);
void box16_line_c(uint8_t* dst, const uint8_t* const rows[5], int from, int dim_x);

int luma8_line_ssse3(uint8_t* dst, const uint8_t* const rows[5], int dim_x,
                     const sharpness_denoise_params& k);
int box8_line_ssse3(uint8_t* dst, const uint8_t* const rows[5], int dim_x);
int luma8_line_sse41(uint8_t* dst, const uint8_t* const rows[5], int dim_x,
                     const sharpness_denoise_params& k);
int box8_line_sse41(uint8_t* dst, const uint8_t* const rows[5], int dim_x);
int luma16_line_sse41(uint8_t* dst, const uint8_t* const rows[5], int dim_x,
                      const sharpness_denoise_params& k);
int box16_line_sse41(uint8_t* dst, const uint8_t* const rows[5], int dim_x);
int luma8_line_avx2(uint8_t* dst, const uint8_t* const rows[5], int dim_x, const sharpness_denoise_params& k);
int box8_line_avx2(uint8_t* dst, const uint8_t* const rows[5], int dim_x);
int luma16_line_avx2(uint8_t* dst, const uint8_t* const rows[5], int dim_x, const sharpness_denoise_params& k);
int box16_line_avx2(uint8_t* dst, const uint8_t* const rows[5], int dim_x);

}  // namespace sd_detail
}  // namespace img
