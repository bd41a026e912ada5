// The 16-bit matrix debayer's line routine compiled for SSE4.1 (zero
// extension of 16-bit samples and unsigned 16-bit packing). The whole file
// is built for that target; the routine is only called after the feature
// mask has shown SSE4.1 to be present.
#include <emmintrin.h>
#include <smmintrin.h>
#include <tmmintrin.h>

#pragma GCC target("sse4.1")

#include "by16/by16_transform_matrix_kernels.h"

namespace img {
namespace matrix_detail {

line_fn get_line16_sse41() { return line16_sse41; }

}  // namespace matrix_detail
}  // namespace img
