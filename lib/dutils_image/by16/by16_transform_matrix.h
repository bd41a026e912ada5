// The matrix debayer for 8-bit and 16-bit Bayer mosaics: fixed 5x5
// interpolation kernels per Bayer site, with the whole colour chain (colour
// matrix, saturation, hue, brightness, contrast, conversion to YUV or RGB)
// folded into one set of weights per site, so that every output sample is a
// single weighted sum of six neighbour groups.
#pragma once

#include <stdint.h>

#include "img/img_type.h"

namespace img {

struct matrix_debayer_params {
  uint32_t cpu_features;
  const int16_t* color_matrix;  // 9 entries, 64 = 1.0; read when color_matrix_enable
  bool color_matrix_enable;
  int contrast;    // 1/256
  int brightness;  // 1/256 of full scale
  int saturation;  // saturation - 64
  int hue;         // degrees
  bool flip;       // RGB output top-down instead of bottom-up
};

// 8-bit Bayer to "YU8p", "RGB3" or "RGB4" of the same size; dim_x and dim_y
// even. RGB is written bottom-up unless `flip`; "YU8p" top-down. SSSE3 for
// dim_x >= 64.
void transform_matrix_debayer8(const img_descriptor& dst, const img_descriptor& src,
                               const matrix_debayer_params& params);

// 16-bit Bayer to "YUGp" of the same size; dim_x and dim_y even, dim_x > 6,
// dim_y >= 4. SSE4.1 for dim_x >= 32.
void transform_matrix_debayer16(const img_descriptor& dst, const img_descriptor& src,
                                const matrix_debayer_params& params);

// The preconditions of the two debayers, reported through IMG_ASSERT when
// they fail (the debayers check them too and write nothing then). Routes
// that debayer into an intermediate image check first, so that a refused
// frame is not followed by stages reading an image that was never written.
bool matrix_debayer8_accepts(const img_type& dst, const img_type& src);
bool matrix_debayer16_accepts(const img_type& dst, const img_type& src);

// Picks the 8-bit or 16-bit debayer by the source; other sources are ignored.
void transform_matrix_debayer(const img_descriptor& dst, const img_descriptor& src,
                              const matrix_debayer_params& params);

namespace matrix_detail {

// The six neighbour groups of a site, in this order: centre; the two
// horizontal neighbours at distance 1; the two at distance 2; the two
// vertical neighbours at distance 1; the four diagonals; the two vertical
// neighbours at distance 2.
constexpr int group_count = 6;
constexpr int group_size[group_count] = {1, 2, 2, 2, 4, 2};

// Folded weights of one Bayer site in fixed point with `shift` fraction
// bits: out[j] = clamp((sum_p w[j][p] * group_p + offset[j]) >> shift).
// The offset includes the rounding half.
struct site_weights {
  int32_t w[3][group_count];
  int32_t offset[3];
};

// Site kinds, in the order of a BGGR quad.
enum site_kind : int { site_b = 0, site_g_blue_line = 1, site_g_red_line = 2, site_r = 3 };

struct folded_weights {
  site_weights site[4];
  int shift;
};

enum class output : int { yuv = 0, rgb = 1 };

// Computes the weights for one frame. `max_sample` is 255 or 65535; the
// shift is the largest that keeps every sum inside 32 bits (and, for 8-bit
// samples, every weight inside 16 bits).
void fold_weights(folded_weights& fw, const matrix_debayer_params& params, output out, int max_sample);

// Per-line data of the line routines.
struct line_args {
  const uint8_t* lines[5];  // up 2, up 1, centre, down 1, down 2 (mirrored at the borders)
  uint8_t* out[3];          // planes Y, U, V, or the RGB line in out[0]
  int dim_x;
  const site_weights* even;  // weights of the sites in even columns
  const site_weights* odd;   // and in odd columns
  int shift;
};

enum class kind8 : int { yuv8p = 0, rgb24 = 1, rgb32 = 2 };

using line_fn = void (*)(const line_args&);
line_fn get_line8_plain(kind8 kind);
line_fn get_line8_ssse3(kind8 kind);
line_fn get_line16_plain();
line_fn get_line16_sse41();

}  // namespace matrix_detail
}  // namespace img
