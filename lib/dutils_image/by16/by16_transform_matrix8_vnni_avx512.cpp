// The 8-bit matrix debayer's AVX-512 line routines
// (by16_transform_matrix8_avx512.h) with VNNI. The whole file is built for
// AVX-512 F, DQ, BW, VL and VNNI; its routines run only when
// img::avx512_allowed and the mask has img::cpu_avx512vnni.
#include <immintrin.h>

#pragma GCC target("avx512f,avx512dq,avx512bw,avx512vl,avx512vnni")

#include "by16/by16_transform_matrix8_avx512.h"

namespace img {
namespace matrix_detail {

line_fn get_line8_avx512_vnni(kind8 kind) { return line8_avx512_for<true>(kind); }

}  // namespace matrix_detail
}  // namespace img
