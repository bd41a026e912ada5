// Plain tone-mapping line routines for 16-bit samples ("Y16 " and the
// 16-bit Bayer formats): the reference for the vector routines.
#include "filter/tonemapping/tonemapping_kernels.h"

namespace img {
namespace tm_detail {

void mono16_line_c(uint8_t* line, int from, int n, const curve_args& c) {
  for (int x = from; x < n; ++x) {
    const uint16_t p = load_sample<uint16_t>(line, x);
    store_sample(line, x, static_cast<uint16_t>(map_pixel(p, c.sigma[p], c)));
  }
}

void bayer16_line_c(uint8_t* out, const uint8_t* cur, const uint8_t* other, int from, int n,
                    bool green_even, const curve_args& c) {
  for (int x = from; x < n; ++x)
    store_sample(out, x,
                 static_cast<uint16_t>(map_pixel(load_sample<uint16_t>(cur, x),
                                                 c.sigma[bayer_index<uint16_t>(cur, other, x, n, green_even)], c)));
}

}  // namespace tm_detail
}  // namespace img
