// The plain 8-bit sharpness/denoise algorithm: the reference for the SSSE3
// and SSE4.1 forms.
#include "filter/sharpness_denoise/sharpness_denoise_kernels.h"

namespace img {
namespace sd_detail {

void luma8_line_c(uint8_t* dst, const uint8_t* const rows[5], int from, int dim_x,
                  const sharpness_denoise_params& k) {
  for (int x = from; x < dim_x - kBorder; ++x)
    dst[x] = static_cast<uint8_t>(filter_pixel<uint8_t, 255, 0>(rows, x, k));
}

void box8_line_c(uint8_t* dst, const uint8_t* const rows[5], int from, int dim_x) {
  for (int x = from; x < dim_x - kBorder; ++x) dst[x] = static_cast<uint8_t>(box_sum<uint8_t>(rows, x) / 25);
}

}  // namespace sd_detail
}  // namespace img
