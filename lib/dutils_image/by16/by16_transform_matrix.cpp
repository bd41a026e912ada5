// The matrix debayer's frame level: folding the colour chain into per-site
// weights, variant selection (once per frame), and the row driver that
// mirrors lines at the top and bottom and picks the site weights of each
// line. Plain line routines are compiled here; SSSE3 (8-bit), SSE4.1 (16-bit),
// AVX2 and AVX-512 (both) in their own files.
#include "by16/by16_transform_matrix.h"

#include "by16/by16_transform_matrix_kernels.h"
#include "img/color_adjust.h"
#include "img/cpu_features.h"
#include "img/img_assert.h"
#include "img/transform_image.h"

namespace img {
namespace matrix_detail {

line_fn get_line8_plain(kind8 kind) { return line8_for<false>(kind); }
line_fn get_line16_plain() { return line16_plain; }

namespace {

// Interpolation kernels in sixteenths per site kind (BGGR quad order) and
// camera colour R, G, B, over the six groups (centre, horizontal 1,
// horizontal 2, vertical 1, diagonal, vertical 2). Each row sums to 16.
constexpr int8_t kKernels[4][3][group_count] = {
    {{12, 0, -3, 0, 4, -3}, {8, 4, -2, 4, 0, -2}, {16, 0, 0, 0, 0, 0}},   // B site
    {{10, 0, 1, 8, -2, -2}, {12, 0, -1, 0, 2, -1}, {10, 8, -2, 0, -2, 1}},  // G on a blue line
    {{10, 8, -2, 0, -2, 1}, {12, 0, -1, 0, 2, -1}, {10, 0, 1, 8, -2, -2}},  // G on a red line
    {{16, 0, 0, 0, 0, 0}, {8, 4, -2, 4, 0, -2}, {12, 0, -3, 0, 4, -3}},   // R site
};

// Luma and chroma rows over R, G, B.
constexpr double kY[3] = {0.299, 0.587, 0.114};
constexpr double kU[3] = {-0.173, -0.339, 0.512};
constexpr double kV[3] = {0.512, -0.427, -0.084};

// Colour-chain parameters saturate at these bounds: beyond them the image
// changes no further in any visible way, and within them every folded weight
// of the 8-bit kernels stays representable (contrast 65536 is a gain of 257,
// brightness 131072 twice the full scale, saturation 16320 a factor of 256).
constexpr int kMaxChainContrast = 65536;
constexpr int kMaxChainBrightness = 131072;
constexpr float kMaxChainSaturation = 256.0f;

constexpr int kMaxShift8 = 16;
constexpr int64_t kSumLimit = 0x7FFFFFFF;
constexpr int32_t kWeightLimit8 = 32767;  // weights of the 8-bit kernels are pmaddwd operands

// Rounds half away from zero; saturates at +-2^62 (such values fail the
// range checks anyway) and maps NaN to 0.
int64_t round_nearest(double v) {
  constexpr double kLimit = 4611686018427387904.0;  // 2^62
  if (v != v) return 0;
  if (v >= kLimit) return int64_t{1} << 62;
  if (v <= -kLimit) return -(int64_t{1} << 62);
  return v >= 0 ? static_cast<int64_t>(v + 0.5) : -static_cast<int64_t>(-v + 0.5);
}

int64_t abs64(int64_t v) { return v < 0 ? -v : v; }

// The folded colour transform C (rows: Y U V or R G B; columns: camera R G
// B) and the offsets of its rows in full-scale units.
struct colour_chain {
  double c[3][3];
  double offset[3];
};

colour_chain make_colour_chain(const matrix_debayer_params& p, output out) {
  const auto bound = [](int v, int limit) { return v < -limit ? -limit : (v > limit ? limit : v); };
  const gain_offset go = brightness_contrast_gain(bound(p.contrast, kMaxChainContrast),
                                                  bound(p.brightness, kMaxChainBrightness));
  const hue_saturation hs = hue_saturation_factors(p.saturation, p.hue, kMaxChainSaturation);
  const double g = go.gain, a = hs.cos_part, b = hs.sin_part;
  double t[3][3];
  double u2[3], v2[3];
  for (int k = 0; k < 3; ++k) {
    // Hue rotation with saturation: U' = a U - b V, V' = b U + a V.
    u2[k] = a * kU[k] - b * kV[k];
    v2[k] = b * kU[k] + a * kV[k];
  }
  colour_chain cc;
  for (int k = 0; k < 3; ++k) {
    if (out == output::yuv) {
      t[0][k] = g * kY[k];
      t[1][k] = u2[k];
      t[2][k] = v2[k];
    } else {
      t[0][k] = g * kY[k] + 1.370705 * v2[k];
      t[1][k] = g * kY[k] - 0.698001 * v2[k] - 0.328125 * u2[k];
      t[2][k] = g * kY[k] + 1.732446 * u2[k];
    }
  }
  cc.offset[0] = go.offset;
  cc.offset[1] = out == output::yuv ? 0.5 : go.offset;
  cc.offset[2] = out == output::yuv ? 0.5 : go.offset;
  for (int j = 0; j < 3; ++j) {
    for (int k = 0; k < 3; ++k) {
      if (p.color_matrix_enable && p.color_matrix != nullptr) {
        double s = 0;
        for (int m = 0; m < 3; ++m) s += t[j][m] * (p.color_matrix[3 * m + k] / 64.0);
        cc.c[j][k] = s;
      } else {
        cc.c[j][k] = t[j][k];
      }
    }
  }
  return cc;
}

// Interpolation kernels folded with the colour chain: w[site][row][group].
void chain_weights(const colour_chain& cc, double w[4][3][group_count]) {
  for (int s = 0; s < 4; ++s)
    for (int j = 0; j < 3; ++j)
      for (int p = 0; p < group_count; ++p)
        w[s][j][p] = (cc.c[j][0] * kKernels[s][0][p] + cc.c[j][1] * kKernels[s][1][p] +
                      cc.c[j][2] * kKernels[s][2][p]) / 16.0;
}

// Quantises the weights with `shift` fraction bits. False when a sum could
// leave 32 bits or a weight 16 bits (the weights are pmaddwd operands).
bool quantise(folded_weights& fw, const double w[4][3][group_count], const double offset[3], int shift) {
  constexpr int max_sample = 255;
  const double scale = static_cast<double>(int64_t{1} << shift);
  const int32_t round_half = shift > 0 ? (int32_t{1} << (shift - 1)) : 0;
  for (int s = 0; s < 4; ++s) {
    for (int j = 0; j < 3; ++j) {
      int64_t q[group_count];
      int64_t total = 0;
      double exact_total = 0;
      for (int p = 0; p < group_count; ++p) {
        q[p] = round_nearest(w[s][j][p] * scale);
        if (abs64(q[p]) > kSumLimit) return false;  // keeps the sums below in range
        total += group_size[p] * q[p];
        exact_total += group_size[p] * w[s][j][p];
      }
      // The centre takes the rounding remainder so that a flat area keeps
      // its exact level (grey stays grey).
      const int64_t exact = round_nearest(exact_total * scale);
      if (abs64(exact) > 16 * kSumLimit) return false;
      q[0] += exact - total;
      const int64_t off = round_nearest(offset[j] * max_sample * scale) + round_half;
      if (abs64(q[0]) > kSumLimit || abs64(off) > kSumLimit) return false;
      int64_t bound = abs64(off);
      for (int p = 0; p < group_count; ++p) {
        bound += group_size[p] * abs64(q[p]) * max_sample;
        if (abs64(q[p]) > kWeightLimit8) return false;
      }
      if (bound > kSumLimit) return false;
      for (int p = 0; p < group_count; ++p) fw.site[s].w[j][p] = static_cast<int32_t>(q[p]);
      fw.site[s].offset[j] = static_cast<int32_t>(off);
    }
  }
  fw.shift = shift;
  return true;
}

}  // namespace

void fold_weights(folded_weights& fw, const matrix_debayer_params& params, output out) {
  const colour_chain cc = make_colour_chain(params, out);
  double w[4][3][group_count];
  chain_weights(cc, w);
  for (int shift = kMaxShift8; shift >= 0; --shift)
    if (quantise(fw, w, cc.offset, shift)) return;
  // Weights beyond any representable range (absurd colour matrices): black
  // rather than sums that overflow.
  for (int s = 0; s < 4; ++s)
    for (int j = 0; j < 3; ++j) {
      for (int p = 0; p < group_count; ++p) fw.site[s].w[j][p] = 0;
      fw.site[s].offset[j] = 0;
    }
  fw.shift = 0;
}

void fold_weights16(folded_weights16& fw, const matrix_debayer_params& params) {
  const colour_chain cc = make_colour_chain(params, output::yuv);
  double w[4][3][group_count];
  chain_weights(cc, w);
  // The groups of each term (a red or blue site pairs groups 1 and 3, 2 and
  // 5, which its kernels weigh alike) and the largest value a term takes.
  constexpr int kColourTerms[4][2] = {{0, -1}, {1, 3}, {2, 5}, {4, -1}};
  double bound = 0;
  for (int s = 0; s < 4; ++s) {
    site_weights16& sw = fw.site[s];
    sw.colour = s == site_b || s == site_r;
    const int n = sw.colour ? 4 : max_terms16;
    double term_max[max_terms16];
    for (int k = 0; k < n; ++k) {
      const int p = sw.colour ? kColourTerms[k][0] : k, q = sw.colour ? kColourTerms[k][1] : -1;
      term_max[k] = 65535.0 * (group_size[p] + (q < 0 ? 0 : group_size[q]));
      for (int j = 0; j < 3; ++j) sw.w[j][k] = static_cast<float>(w[s][j][p]);
    }
    for (int k = n; k < max_terms16; ++k)
      for (int j = 0; j < 3; ++j) sw.w[j][k] = 0.0f;
    for (int j = 0; j < 3; ++j) {
      sw.offset[j] = static_cast<float>(cc.offset[j] * 65535.0 + 0.5);
      // The largest magnitude a sum of this row can reach, twice over for
      // the roundings on the way.
      double row = sw.offset[j] < 0 ? -sw.offset[j] : sw.offset[j];
      for (int k = 0; k < n; ++k) row += (sw.w[j][k] < 0 ? -sw.w[j][k] : sw.w[j][k]) * term_max[k];
      bound = row > bound ? row : bound;
    }
  }
  // Weights and offsets on the grid of 2^-q, with q the largest that keeps
  // every multiple of the grid up to twice the bound within 53 bits: every
  // sum the fused steps form is then exact in double precision, and its one
  // rounding to float is that of a fused multiply-add (fused16).
  double scale = 1.0;  // 2^q
  double limit = 2.0 * bound;
  for (int i = 0; i < 1100 && limit > 0 && limit < 4503599627370496.0; ++i) limit *= 2.0, scale *= 2.0;
  for (int i = 0; i < 1100 && limit >= 9007199254740992.0; ++i) limit /= 2.0, scale /= 2.0;
  const auto on_grid = [scale](float v) {
    return static_cast<float>(static_cast<double>(round_nearest(static_cast<double>(v) * scale)) / scale);
  };
  for (site_weights16& sw : fw.site)
    for (int j = 0; j < 3; ++j) {
      for (float& weight : sw.w[j]) weight = on_grid(weight);
      sw.offset[j] = on_grid(sw.offset[j]);
    }
  // Below 2^31 every sum truncates to an int32 exactly, which the vector
  // forms then clamp with their packs.
  fw.bounded = 2.0 * bound < 2147483648.0;
}

}  // namespace matrix_detail

namespace {

using matrix_detail::folded_weights;
using matrix_detail::line_args;
using matrix_detail::line_fn;

constexpr int kVectorMinWidth8 = 64;
constexpr int kAvx512MinWidth8 = 128;
constexpr int kVectorMinWidth16 = 32;
constexpr int kAvx512MinWidth16 = 64;

// Site kinds of the even and odd columns of a line of `pattern`'s line
// `line_parity` (0 = the pattern's first line).
void line_sites(bayer_pattern pattern, int line_parity, int& even_site, int& odd_site) {
  // Pattern index to (red line, green first) of its first line.
  bool red = pattern == bayer_grbg || pattern == bayer_rggb;
  bool green_first = pattern == bayer_gbrg || pattern == bayer_grbg;
  if (line_parity) {
    red = !red;
    green_first = !green_first;
  }
  const int colour_site = red ? matrix_detail::site_r : matrix_detail::site_b;
  const int green_site = red ? matrix_detail::site_g_red_line : matrix_detail::site_g_blue_line;
  even_site = green_first ? green_site : colour_site;
  odd_site = green_first ? colour_site : green_site;
}

void pattern_sites(bayer_pattern pattern, int sites[2][2]) {
  line_sites(pattern, 0, sites[0][0], sites[0][1]);
  line_sites(pattern, 1, sites[1][0], sites[1][1]);
}

// The five source lines around line y: lines outside the image are
// mirrored, distance 1 takes the line on the other side, distance 2 the
// centre line. `ahead` is the line below them, which the next line brings
// in from memory.
void set_source_lines(line_args& a, const img_descriptor& src, int y) {
  const int h = src.dim_y;
  a.lines[0] = line_ptr(src, y >= 2 ? y - 2 : y);
  a.lines[1] = line_ptr(src, y >= 1 ? y - 1 : y + 1);
  a.lines[2] = line_ptr(src, y);
  a.lines[3] = line_ptr(src, y + 1 < h ? y + 1 : y - 1);
  a.lines[4] = line_ptr(src, y + 2 < h ? y + 2 : y);
  a.ahead = y + 3 < h ? line_ptr(src, y + 3) : a.lines[4];
}

// Runs the 8-bit `line` over every line of the frame. `reverse` writes
// source line y to destination line dim_y - 1 - y.
void drive_rows8(const img_descriptor& dst, const img_descriptor& src, const folded_weights& fw, line_fn line,
                 bool planar, bool reverse) {
  const int h = src.dim_y;
  int sites[2][2];
  pattern_sites(get_bayer_pattern(src.type), sites);
  line_args a = {};
  a.dim_x = src.dim_x;
  a.shift = fw.shift;
  for (int y = 0; y < h; ++y) {
    set_source_lines(a, src, y);
    const int dy = reverse ? h - 1 - y : y;
    if (planar) {
      for (int k = 0; k < 3; ++k) a.out[k] = plane_line(dst, k, dy);
    } else {
      a.out[0] = line_ptr(dst, dy);
      a.out[1] = a.out[2] = nullptr;
    }
    a.even = &fw.site[sites[y & 1][0]];
    a.odd = &fw.site[sites[y & 1][1]];
    line(a);
  }
}

bool sizes_accepted(const img_type& dst, const img_type& src) {
  if (!IMG_ASSERT(src.dim_x == dst.dim_x, "src.dim_x == dst.dim_x")) return false;
  if (!IMG_ASSERT(src.dim_y == dst.dim_y, "src.dim_y == dst.dim_y")) return false;
  if (!IMG_ASSERT(src.dim_x % 2 == 0, "src.dim_x % 2 == 0")) return false;
  return IMG_ASSERT(src.dim_y % 2 == 0 && src.dim_y > 0, "src.dim_y % 2 == 0");
}

bool images_fit(const img_descriptor& dst, const img_descriptor& src) {
  return IMG_ASSERT(image_fits(src) && image_fits(dst), "image_fits( src ) && image_fits( dst )");
}

}  // namespace

bool matrix_debayer8_accepts(const img_type& dst, const img_type& src) {
  if (!IMG_ASSERT(is_by8_fcc(src.type), "img::is_by8_fcc( src.type )")) return false;
  if (!IMG_ASSERT(dst.type == FOURCC_YUV8PLANAR || dst.type == FOURCC_RGB24 || dst.type == FOURCC_RGB32,
                  "dst.type == FOURCC_YUV8PLANAR || dst.type == FOURCC_RGB24 || dst.type == FOURCC_RGB32"))
    return false;
  return sizes_accepted(dst, src);
}

bool matrix_debayer16_accepts(const img_type& dst, const img_type& src) {
  if (!IMG_ASSERT(is_by16_fcc(src.type), "img::is_by16_fcc( src.type )")) return false;
  if (!IMG_ASSERT(dst.type == FOURCC_YUV16PLANAR, "dst.type == FOURCC_YUV16PLANAR")) return false;
  if (!sizes_accepted(dst, src)) return false;
  if (!IMG_ASSERT(src.dim_x > 6, "src.dim_x > 6")) return false;
  return IMG_ASSERT(src.dim_y >= 4, "src.dim_y >= 4");
}

void transform_matrix_debayer8(const img_descriptor& dst, const img_descriptor& src,
                               const matrix_debayer_params& params) {
  if (!matrix_debayer8_accepts(dst, src) || !images_fit(dst, src)) return;
  using matrix_detail::kind8;
  const bool planar = dst.type == FOURCC_YUV8PLANAR;
  const kind8 kind = planar ? kind8::yuv8p : (dst.type == FOURCC_RGB24 ? kind8::rgb24 : kind8::rgb32);
  folded_weights fw;
  matrix_detail::fold_weights(fw, params, planar ? matrix_detail::output::yuv : matrix_detail::output::rgb);
  line_fn line = matrix_detail::get_line8_plain(kind);
  if (src.dim_x >= kVectorMinWidth8) {
    if (avx512_allowed(params.cpu_features) && src.dim_x >= kAvx512MinWidth8) {
      note_avx512_entry("matrix_debayer8");
      line = (params.cpu_features & cpu_avx512vnni) ? matrix_detail::get_line8_avx512_vnni(kind)
                                                    : matrix_detail::get_line8_avx512(kind);
    } else if (avx2_allowed(params.cpu_features)) {
      note_avx_entry("matrix_debayer8");
      line = matrix_detail::get_line8_avx2(kind);
    } else if (params.cpu_features & cpu_ssse3) {
      line = matrix_detail::get_line8_ssse3(kind);
    }
  }
  // RGB is delivered bottom-up unless flipped; "YU8p" top-down.
  drive_rows8(dst, src, fw, line, planar, !planar && !params.flip);
}

bool matrix16_begin(matrix16_rows& rows, const img_descriptor& src, const matrix_debayer_params& params) {
  if (!matrix_debayer16_accepts(make_img_type(FOURCC_YUV16PLANAR, src.dim_x, src.dim_y), src)) return false;
  if (!IMG_ASSERT(image_fits(src), "image_fits( src )")) return false;
  matrix_detail::fold_weights16(rows.weights, params);
  rows.line = matrix_detail::get_line16_plain();
  rows.rgb64 = nullptr;
  if (src.dim_x >= kVectorMinWidth16) {
    if (avx512_allowed(params.cpu_features) && src.dim_x >= kAvx512MinWidth16) {
      note_avx512_entry("matrix_debayer16");
      rows.line = matrix_detail::get_line16_avx512();
      rows.rgb64 = matrix_detail::get_line16_rgb64_avx512();
    } else if (avx2_allowed(params.cpu_features)) {
      note_avx_entry("matrix_debayer16");
      rows.line = matrix_detail::get_line16_avx2();
      rows.rgb64 = matrix_detail::get_line16_rgb64_avx2();
    } else if (params.cpu_features & cpu_sse41) {
      rows.line = matrix_detail::get_line16_sse41();
    }
  }
  rows.src = src;
  pattern_sites(get_bayer_pattern(src.type), rows.sites);
  return true;
}

namespace {

line_args row_args(const matrix16_rows& rows, int y, uint8_t* out_y, uint8_t* out_u, uint8_t* out_v) {
  line_args a = {};
  a.dim_x = rows.src.dim_x;
  set_source_lines(a, rows.src, y);
  a.out[0] = out_y, a.out[1] = out_u, a.out[2] = out_v;
  a.even16 = &rows.weights.site[rows.sites[y & 1][0]];
  a.odd16 = &rows.weights.site[rows.sites[y & 1][1]];
  a.bounded16 = rows.weights.bounded;
  return a;
}

}  // namespace

void matrix16_row(const matrix16_rows& rows, int y, uint8_t* out_y, uint8_t* out_u, uint8_t* out_v) {
  rows.line(row_args(rows, y, out_y, out_u, out_v));
}

bool matrix16_rgb64_fused(const matrix16_rows& rows) { return rows.rgb64 != nullptr; }

column_span matrix16_rgb64_row(const matrix16_rows& rows, int y, uint8_t* rgb, uint8_t* out_y, uint8_t* out_u,
                               uint8_t* out_v) {
  return rows.rgb64(row_args(rows, y, out_y, out_u, out_v), rgb);
}

void transform_matrix_debayer16(const img_descriptor& dst, const img_descriptor& src,
                                const matrix_debayer_params& params) {
  if (!matrix_debayer16_accepts(dst, src) || !images_fit(dst, src)) return;
  matrix16_rows rows;
  if (!matrix16_begin(rows, src, params)) return;
  for (int y = 0; y < src.dim_y; ++y)
    matrix16_row(rows, y, plane_line(dst, 0, y), plane_line(dst, 1, y), plane_line(dst, 2, y));
}

void transform_matrix_debayer(const img_descriptor& dst, const img_descriptor& src,
                              const matrix_debayer_params& params) {
  if (is_by8_fcc(src.type)) {
    transform_matrix_debayer8(dst, src, params);
  } else if (is_by16_fcc(src.type)) {
    transform_matrix_debayer16(dst, src, params);
  }
}

}  // namespace img
