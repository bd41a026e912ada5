// Stage kernels compiled for SSSE3 (byte shuffles for the three-byte RGB
// layout). The whole file is built for that target; the kernels are only
// called after the feature mask has shown SSSE3 to be present.
#include <emmintrin.h>
#include <smmintrin.h>
#include <tmmintrin.h>

#pragma GCC target("ssse3")

#include "img/transform_stage_kernels.h"
#include "img/transform_stages_internal.h"

namespace img {
namespace stage_detail {

int expand_grey_line_ssse3(uint8_t* dst, const uint8_t* src, int dim_x) {
  return expand_grey_line<debayer_detail::v_ssse3>(dst, src, dim_x, false);
}

int yuv8p_to_rgb24_line_ssse3(uint8_t* dst, const uint8_t* py, const uint8_t* pu, const uint8_t* pv, int dim_x) {
  return yuv8p_to_rgb_line<debayer_detail::v_ssse3>(dst, py, pu, pv, dim_x, false);
}

}  // namespace stage_detail
}  // namespace img
