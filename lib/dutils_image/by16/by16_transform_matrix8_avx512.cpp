// The 8-bit matrix debayer's AVX-512 line routines
// (by16_transform_matrix8_avx512.h) without VNNI. The whole file is built for
// AVX-512 F, DQ, BW and VL; its routines run only when img::avx512_allowed.
#include <immintrin.h>

#pragma GCC target("avx512f,avx512dq,avx512bw,avx512vl")

#include "by16/by16_transform_matrix8_avx512.h"

namespace img {
namespace matrix_detail {

line_fn get_line8_avx512(kind8 kind) { return line8_avx512_for<false>(kind); }

}  // namespace matrix_detail
}  // namespace img
