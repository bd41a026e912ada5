// Plain tone-mapping line routines for 16-bit samples ("Y16 " and the
// 16-bit Bayer formats): the reference for the vector routines.
#include "filter/tonemapping/tonemapping_kernels.h"

namespace img {
namespace tm_detail {

void mono16_line_c(uint16_t* line, int from, int n, const curve_args& c) {
  for (int x = from; x < n; ++x)
    line[x] = static_cast<uint16_t>(map_pixel(line[x], c.sigma[line[x]], c));
}

void bayer16_line_c(uint16_t* out, const uint16_t* cur, const uint16_t* other, int from, int n,
                    bool green_even, const curve_args& c) {
  for (int x = from; x < n; ++x)
    out[x] = static_cast<uint16_t>(
        map_pixel(cur[x], c.sigma[bayer_index(cur, other, x, n, green_even)], c));
}

}  // namespace tm_detail
}  // namespace img
