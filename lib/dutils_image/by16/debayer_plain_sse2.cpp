// The plain debayer's line routines compiled for sse2. The whole file is
// built for that target; the routines are only called after the feature mask
// has shown the instructions to be present.
#include <emmintrin.h>
#include <smmintrin.h>
#include <tmmintrin.h>

#pragma GCC target("sse2")

#include "by16/debayer_plain_kernels.h"

namespace img {
namespace debayer_detail {

line_fn get_line_sse2(out_kind out, int flag_combination, int line_kind) {
  return line_for<v_sse2>(out, flag_combination, line_kind);
}

}  // namespace debayer_detail
}  // namespace img
