// Plain tone-mapping routines for 8-bit samples ("Y800" and the 8-bit Bayer
// formats). 8-bit images index the 256-entry table sigma8 with an 8-bit
// adaptation level (the pixel itself, or the Bayer three-sample mean).
#include "filter/tonemapping/tonemapping_kernels.h"

namespace img {
namespace tm_detail {

void mono8_lut_c(uint8_t lut[256], const curve_args& c) {
  for (int p = 0; p < 256; ++p) lut[p] = static_cast<uint8_t>(map_pixel(p, c.sigma[p], c));
}

void bayer8_line_c(uint8_t* out, const uint8_t* cur, const uint8_t* other, int from, int n,
                   bool green_even, const curve_args& c) {
  for (int x = from; x < n; ++x)
    out[x] = static_cast<uint8_t>(
        map_pixel(cur[x], c.sigma[bayer_index<uint8_t>(cur, other, x, n, green_even)], c));
}

}  // namespace tm_detail
}  // namespace img
