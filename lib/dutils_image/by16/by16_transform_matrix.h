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
// even. RGB is written bottom-up unless `flip`; "YU8p" top-down. AVX-512
// (img::avx512_allowed) for dim_x >= 128, AVX2 (img::avx2_allowed) or SSSE3
// for dim_x >= 64. Weights in fixed point: every
// sample within 1 of the exact weighted sum.
void transform_matrix_debayer8(const img_descriptor& dst, const img_descriptor& src,
                               const matrix_debayer_params& params);

// 16-bit Bayer to "YUGp" of the same size; dim_x and dim_y even, dim_x > 6,
// dim_y >= 4. AVX-512 (img::avx512_allowed) for dim_x >= 64, AVX2
// (img::avx2_allowed) or SSE4.1 for dim_x >= 32. Fused multiply-adds of
// single precision over the sites' neighbour groups (site_weights16), the
// same bits on every processor, which hold every sample within 1 of the
// exact weighted sum (rounded to nearest, clamped).
void transform_matrix_debayer16(const img_descriptor& dst, const img_descriptor& src,
                                const matrix_debayer_params& params);

// The 16-bit debayer a line at a time, for routes that take each "YUGp" line
// on at once instead of keeping the whole image (the lines equal those of
// transform_matrix_debayer16). begin checks the preconditions (reported) and
// chooses the variant; row debayers source line y into the three given
// sample lines.
struct matrix16_rows;
bool matrix16_begin(matrix16_rows& rows, const img_descriptor& src, const matrix_debayer_params& params);
void matrix16_row(const matrix16_rows& rows, int y, uint8_t* out_y, uint8_t* out_u, uint8_t* out_v);

// Columns [begin, end) of a line.
struct column_span {
  int begin, end;
};
// Where the chosen variant has it (matrix16_rgb64_fused), the same line
// converted to "RGB6" in one pass, as convert_yuv16p_to_rgb64 converts the
// "YUGp" line: the columns of the returned span go straight into `rgb`; the others get
// their samples in the three sample lines, for the caller to convert.
bool matrix16_rgb64_fused(const matrix16_rows& rows);
column_span matrix16_rgb64_row(const matrix16_rows& rows, int y, uint8_t* rgb, uint8_t* out_y, uint8_t* out_u,
                               uint8_t* out_v);

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

// Folded weights of one Bayer site of the 8-bit debayer in fixed point with
// `shift` fraction bits: out[j] = clamp((sum_p w[j][p] * group_p + offset[j])
// >> shift). The offset includes the rounding half.
struct site_weights {
  int32_t w[3][group_count];
  int32_t offset[3];
};

// The 16-bit debayer in single precision over the site's groups: out[j] =
// trunc(clamp(acc, 0, 65535)) with acc = offset[j], then acc = fma(w[j][k],
// term_k, acc) for the terms in their order, each a fused multiply-add of
// single precision (one rounding). The terms of a green site are its six
// groups; a red or blue site weighs its horizontal and vertical neighbours
// at distance 1 alike, and those at distance 2 too (every colour's kernel
// does), so its four terms are the centre, groups 1 + 3, groups 2 + 5 and
// the diagonals. w[j][k] is the colour chain's row j folded with the site's
// kernels for term k's groups; the offset includes the rounding half. Every
// term is an exact integer below 2^19, and the roundings stay far below a
// half (the partial sums of sensible chains stay below 2^18). Weights and
// offsets lie on a grid fine enough for the sums and coarse enough that
// every sum of a step is exact in double precision, so that processors
// without a fused multiply-add get its result from double precision
// (fused16).
constexpr int max_terms16 = 6;
struct site_weights16 {
  float w[3][max_terms16];
  float offset[3];
  bool colour;  // a red or blue site: four terms, else six
};

// Site kinds, in the order of a BGGR quad.
enum site_kind : int { site_b = 0, site_g_blue_line = 1, site_g_red_line = 2, site_r = 3 };

struct folded_weights {
  site_weights site[4];
  int shift;
};
struct folded_weights16 {
  site_weights16 site[4];
  bool bounded;  // every sum below 2^31: its truncation fits an int32
};

// The fused multiply-add of single precision, w t + acc rounded once, from
// double precision: exact there for the grid of the weights (the product
// of a weight and a term, and its sum with a value of the grid, need fewer
// than 53 bits).
inline float fused16(float w, int32_t t, float acc) {
  return static_cast<float>(static_cast<double>(acc) + static_cast<double>(w) * static_cast<double>(t));
}

enum class output : int { yuv = 0, rgb = 1 };

// Computes the 8-bit weights for one frame: the shift is the largest that
// keeps every sum inside 32 bits and every weight inside 16 bits.
void fold_weights(folded_weights& fw, const matrix_debayer_params& params, output out);
// The 16-bit ("YUGp") weights for one frame.
void fold_weights16(folded_weights16& fw, const matrix_debayer_params& params);

// Per-line data of the line routines.
struct line_args {
  const uint8_t* lines[5];  // up 2, up 1, centre, down 1, down 2 (mirrored at the borders)
  const uint8_t* ahead;     // the line the next line's routine reads first (for prefetching)
  uint8_t* out[3];          // planes Y, U, V, or the RGB line in out[0]
  int dim_x;
  const site_weights* even;  // 8-bit: weights of the sites in even columns
  const site_weights* odd;   // and in odd columns
  int shift;
  const site_weights16* even16;  // 16-bit: the same
  const site_weights16* odd16;
  bool bounded16;  // folded_weights16::bounded
};

// The five source lines and three output lines of a vector line routine,
// held in locals: stores through byte pointers could alias line_args, which
// the compiler would then read again after every store.
struct line_pointers {
  const uint8_t* in[5];
  const uint8_t* ahead;
  uint8_t* out[3];
  explicit line_pointers(const line_args& a) : ahead(a.ahead) {
    for (int i = 0; i < 5; ++i) in[i] = a.lines[i];
    for (int i = 0; i < 3; ++i) out[i] = a.out[i];
  }
};

// A vector step at a line's end (from the copies of the line's ends, or the
// step that overlaps the one before), out of the loop: one copy of the
// step's code serves the three of a line, while the loop keeps its own,
// inlined. step(in, xs, x) does the step from column x with its samples at
// xs in the lines `in`.
template <typename Step>
__attribute__((noinline)) void end_step(const Step& step, const uint8_t* const in[5], int xs, int x) {
  step(in, xs, x);
}

enum class kind8 : int { yuv8p = 0, rgb24 = 1, rgb32 = 2 };

using line_fn = void (*)(const line_args&);
line_fn get_line8_plain(kind8 kind);
line_fn get_line8_ssse3(kind8 kind);
line_fn get_line8_avx2(kind8 kind);
// AVX-512 (img::avx512_allowed), lines of at least 128 pixels; the second
// with VNNI (img::cpu_avx512vnni).
line_fn get_line8_avx512(kind8 kind);
line_fn get_line8_avx512_vnni(kind8 kind);
line_fn get_line16_plain();
line_fn get_line16_sse41();
line_fn get_line16_avx2();
using rgb64_fn = column_span (*)(const line_args&, uint8_t* rgb);
rgb64_fn get_line16_rgb64_avx2();
// AVX-512 (img::avx512_allowed), lines of at least 64 pixels.
line_fn get_line16_avx512();
rgb64_fn get_line16_rgb64_avx512();

}  // namespace matrix_detail

struct matrix16_rows {
  matrix_detail::folded_weights16 weights;
  matrix_detail::line_fn line;
  matrix_detail::rgb64_fn rgb64;  // the fused form, or null
  img_descriptor src;
  int sites[2][2];  // site kinds of even and odd columns, per line parity
};

}  // namespace img
