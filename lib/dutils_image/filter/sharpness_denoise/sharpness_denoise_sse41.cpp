// SSE4.1 form of the sharpness/denoise line routines, 8-bit and 16-bit. The
// whole file is built for that target; the routines are only called after
// the feature mask has shown SSE4.1 to be present.
#include <emmintrin.h>
#include <smmintrin.h>
#include <tmmintrin.h>

#pragma GCC target("sse4.1")

#include "filter/sharpness_denoise/sharpness_denoise_vector.h"

namespace img {
namespace sd_detail {

int luma8_line_sse41(uint8_t* dst, const uint8_t* const rows[5], int dim_x,
                     const sharpness_denoise_params& k) {
  return luma8_line<v_sse41>(dst, rows, dim_x, k);
}

int box8_line_sse41(uint8_t* dst, const uint8_t* const rows[5], int dim_x) {
  return box8_line<v_sse41>(dst, rows, dim_x);
}

int luma16_line_sse41(uint8_t* dst, const uint8_t* const rows[5], int dim_x,
                      const sharpness_denoise_params& k) {
  return luma16_line(dst, rows, dim_x, k);
}

int box16_line_sse41(uint8_t* dst, const uint8_t* const rows[5], int dim_x) {
  return box16_line(dst, rows, dim_x);
}

}  // namespace sd_detail
}  // namespace img
