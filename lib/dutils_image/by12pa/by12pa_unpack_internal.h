// Line kernels of the 12-bit unpacking that live in target-specific source
// files. Each converts whole steps from column 0 while its loads stay inside
// the line and returns the number of pixels done; the plain code finishes.
#pragma once

#include <stdint.h>

namespace img {
namespace by12pa_detail {

// AVX2 (img::avx2_allowed): 32 pixels per step; `layout_d` for "..DP"
// sources, else layout C.
int unpack_line_avx2(const uint8_t* src, uint8_t* dst, int width, bool layout_d);

}  // namespace by12pa_detail
}  // namespace img
