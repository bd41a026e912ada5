// The plain 16-bit twin of the sharpness/denoise algorithm ("Y16 ", "YUGp"):
// the same steps on 16-bit samples, with the edge measure scaled to 0..255.
#include "filter/sharpness_denoise/sharpness_denoise_kernels.h"

namespace img {
namespace sd_detail {

void luma16_line_c(uint8_t* dst, const uint8_t* const rows[5], int from, int dim_x,
                   const sharpness_denoise_params& k) {
  for (int x = from; x < dim_x - kBorder; ++x)
    store_sample(dst, x, static_cast<uint16_t>(filter_pixel<uint16_t, 65535, 8>(rows, x, k)));
}

void box16_line_c(uint8_t* dst, const uint8_t* const rows[5], int from, int dim_x) {
  for (int x = from; x < dim_x - kBorder; ++x)
    store_sample(dst, x, static_cast<uint16_t>(box_sum<uint16_t>(rows, x) / 25));
}

}  // namespace sd_detail
}  // namespace img
