// The plain debayer's line routines compiled for ssse3. The whole file is
// built for that target; the routines are only called after the feature mask
// has shown the instructions to be present.
#include <emmintrin.h>
#include <smmintrin.h>
#include <tmmintrin.h>

#pragma GCC target("ssse3")

#include "by16/debayer_plain_kernels.h"

namespace img {
namespace debayer_detail {

line_fn get_line_ssse3(out_kind out, int flag_combination, int line_kind) {
  return line_for<v_ssse3>(out, flag_combination, line_kind);
}

}  // namespace debayer_detail
}  // namespace img
