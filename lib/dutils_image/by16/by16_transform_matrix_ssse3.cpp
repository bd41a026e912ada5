// The 8-bit matrix debayer's line routines compiled for SSSE3. The whole
// file is built for that target; the routines are only called after the
// feature mask has shown SSSE3 to be present.
#include <emmintrin.h>
#include <smmintrin.h>
#include <tmmintrin.h>

#pragma GCC target("ssse3")

#include "by16/by16_transform_matrix_kernels.h"

namespace img {
namespace matrix_detail {

line_fn get_line8_ssse3(kind8 kind) { return line8_for<true>(kind); }

}  // namespace matrix_detail
}  // namespace img
