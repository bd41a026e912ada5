// SSSE3 form of the 8-bit sharpness/denoise line routines. The whole file is
// built for that target; the routines are only called after the feature
// mask has shown SSSE3 to be present.
#include <emmintrin.h>
#include <smmintrin.h>
#include <tmmintrin.h>

#pragma GCC target("ssse3")

#include "filter/sharpness_denoise/sharpness_denoise_vector.h"

namespace img {
namespace sd_detail {

int luma8_line_ssse3(uint8_t* dst, const uint8_t* const rows[5], int dim_x,
                     const sharpness_denoise_params& k) {
  return luma8_line<v_ssse3>(dst, rows, dim_x, k);
}

int box8_line_ssse3(uint8_t* dst, const uint8_t* const rows[5], int dim_x) {
  return box8_line<v_ssse3>(dst, rows, dim_x);
}

}  // namespace sd_detail
}  // namespace img
