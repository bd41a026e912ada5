// Tone mapping: curve table, automatic factors and the row drivers that
// apply the curve in place (see tonemapping.h). The line routines are in the
// tonemapping_impl_* files: plain ones for 8-bit and 16-bit samples and
// their SSE4.1 forms.
//
// Bayer images are mapped in pairs of lines, because each pixel's
// adaptation level reads the other line of its pair: both lines are copied
// into the scratch buffer first, so that the in-place writes never feed the
// levels of later pixels. An odd last line pairs with line dim_y - 2 as it
// was before the mapping, saved at the start.
#include "filter/tonemapping/tonemapping.h"

#include <string.h>

#include "filter/tonemapping/tonemapping_internal.h"
#include "filter/tonemapping/tonemapping_kernels.h"
#include "img/cpu_features.h"
#include "img/img_assert.h"
#include "img/img_math.h"
#include "img/transform_image.h"

namespace img {
namespace {

using tm_detail::curve_args;

constexpr float kLn2 = 0.693147180559945309f;
constexpr float kMinExponent = -126.99999f;  // limits of the base-2 exponent of sigma
constexpr float kMaxExponent = 129.0f;
constexpr float kAutoExponent = 0.3f;
constexpr int kMinWidth = 4, kMinWidthSse41 = 16, kMinHeight = 2;

float clampf(float v, float lo, float hi) { return v < lo ? lo : (v > hi ? hi : v); }

bool is_16bit(uint32_t fcc) { return fcc == FOURCC_Y16 || is_by16_fcc(fcc); }
bool is_mono(uint32_t fcc) { return fcc == FOURCC_Y16 || fcc == FOURCC_Y800; }

// The even columns of line y are green.
bool green_even(uint32_t fcc, int y) {
  const bayer_pattern pattern = get_bayer_pattern(fcc);
  const bool first_line_green = pattern == bayer_gbrg || pattern == bayer_grbg;
  return first_line_green != ((y & 1) != 0);
}

// The line a Bayer line pairs with: the other line of its pair, or the line
// before it for an odd last line.
int partner_line(int y, int dim_y) { return (y ^ 1) < dim_y ? (y ^ 1) : y - 1; }

curve_args curve_for(uint32_t fcc, const tonemapping_factors& f, const tonemapping_table& table) {
  const float full = is_16bit(fcc) ? 65535.0f : 255.0f;
  return {is_16bit(fcc) ? table.sigma : table.sigma8, f.mul * full, f.add * full, full};
}

// ------------------------------------------------------------ sampling ----

// Adaptation level and value of the pixel (x, y): the pixel itself for
// monochrome images, the three-sample mean for Bayer images.
template <typename T>
void level_at(const img_descriptor& img, int x, int y, int& level, int& value) {
  const uint8_t* cur = line_ptr(img, y);
  value = load_sample<T>(cur, x);
  if (is_mono(img.type)) {
    level = value;
  } else {
    const uint8_t* other = line_ptr(img, partner_line(y, img.dim_y));
    level = tm_detail::bayer_index<T>(cur, other, x, img.dim_x, green_even(img.type, y));
  }
}

void grid_level(const img_descriptor& img, int x, int y, int& level, int& value) {
  if (is_16bit(img.type)) {
    level_at<uint16_t>(img, x, y, level, value);
  } else {
    level_at<uint8_t>(img, x, y, level, value);
  }
}

// T = v / (v + sigma) before the normalisation, as the kernels compute it.
float mapped_value(int value, float sigma, float full) {
  const float v = static_cast<float>(value) / full;
  const float d = v + sigma;
  return d > 0.0f ? v / d : 0.0f;
}

// --------------------------------------------------------- smoothing ----

float median_of_window(const tonemapping_smoother& s) {
  float sorted[tm_detail::kWindow];
  for (int i = 0; i < tm_detail::kWindow; ++i) {
    const float v = s.window[i];
    int j = i;
    for (; j > 0 && sorted[j - 1] > v; --j) sorted[j] = sorted[j - 1];
    sorted[j] = v;
  }
  return sorted[tm_detail::kWindow / 2];
}

// Enters q into the window and moves the smoothed value a fifth of the way
// toward the window's median (toward q while the window is not yet full);
// the very first value is taken as it is.
float smooth(tonemapping_smoother& s, float q) {
  const bool first = s.fill == 0;
  s.window[s.next] = q;
  s.next = (s.next + 1) % tm_detail::kWindow;
  if (s.fill < tm_detail::kWindow) ++s.fill;
  const float target = s.fill == tm_detail::kWindow ? median_of_window(s) : q;
  s.value = first ? target : s.value + (target - s.value) / 5.0f;
  return s.value;
}

void start_automatic(tonemapping_auto_state& a) {
  memset(&a, 0, sizeof a);
  a.started = 1;
  a.scale = 1.0f;
  a.exponent.value = 0.5f;
}

// ------------------------------------------------------------ drivers ----

using bayer_line_c = void (*)(uint8_t*, const uint8_t*, const uint8_t*, int, int, bool, const curve_args&);
using bayer_line_v = int (*)(uint8_t*, const uint8_t*, const uint8_t*, int, bool, const curve_args&);

void map_bayer(const img_descriptor& img, const curve_args& c, void* scratch, int sample_bytes,
               bayer_line_c plain, bayer_line_v vector) {
  const int n = img.dim_x;
  const size_t bytes = static_cast<size_t>(n) * sample_bytes;
  uint8_t* a = static_cast<uint8_t*>(scratch);
  uint8_t* b = a + bytes;
  uint8_t* saved = b + bytes;
  const auto run = [&](int y, const uint8_t* cur, const uint8_t* other) {
    uint8_t* out = line_ptr(img, y);
    const int done = vector ? vector(out, cur, other, n, green_even(img.type, y), c) : 0;
    plain(out, cur, other, done, n, green_even(img.type, y), c);
  };
  const int last = img.dim_y - 1;
  const bool odd = (img.dim_y & 1) != 0;
  if (odd) memcpy(saved, line_ptr(img, last - 1), bytes);
  for (int y = 0; y + 1 < img.dim_y; y += 2) {
    memcpy(a, line_ptr(img, y), bytes);
    memcpy(b, line_ptr(img, y + 1), bytes);
    run(y, a, b);
    run(y + 1, b, a);
  }
  if (odd) {
    memcpy(a, line_ptr(img, last), bytes);
    run(last, a, saved);
  }
}

void map_mono16(const img_descriptor& img, const curve_args& c, int (*vector)(uint8_t*, int, const curve_args&)) {
  for (int y = 0; y < img.dim_y; ++y) {
    uint8_t* line = line_ptr(img, y);
    tm_detail::mono16_line_c(line, vector ? vector(line, img.dim_x, c) : 0, img.dim_x, c);
  }
}

void map_mono8(const img_descriptor& img, const curve_args& c) {
  uint8_t lut[256];
  tm_detail::mono8_lut_c(lut, c);
  for (int y = 0; y < img.dim_y; ++y) {
    uint8_t* line = line_ptr(img, y);
    for (int x = 0; x < img.dim_x; ++x) line[x] = lut[line[x]];
  }
}

}  // namespace

namespace tonemapping {

size_t get_scratch_space_size(const img_type& type) {
  const int64_t n = int64_t{get_bits_per_pixel(type.type)} * type.dim_x * 16;
  return n > 0 ? static_cast<size_t>(n) : 0;
}

bool accepts(uint32_t fcc) { return is_mono(fcc) || is_by8_fcc(fcc) || is_by16_fcc(fcc); }

}  // namespace tonemapping

void tonemapping_set_factors(tonemapping_table& table, const tonemapping_factors& factors) {
  IMG_ASSERT(factors.intensity >= -8.0f && factors.intensity <= 8.0f,
             "factors.intensity >= -8.0f && factors.intensity <= 8.0f");
  IMG_ASSERT(
      factors.global_brightness_factor >= 0.0f && factors.global_brightness_factor <= 1.0f,
      "factors.global_brightness_factor >= 0.0f && factors.global_brightness_factor <= 1.0f");
  const float intensity = clampf(factors.intensity, -8.0f, 8.0f);
  const float g = clampf(factors.global_brightness_factor, 0.0f, 1.0f);
  const float lum = factors.luminance_average;
  const float c = factors.pow;
  if (table.valid && table.intensity == intensity && table.global_brightness_factor == g &&
      table.luminance_average == lum && table.pow == c)
    return;
  const float m = exp_f(-intensity);
  const float c_log2 = c / kLn2;  // c * log2(base) = c / ln 2 * ln(base)
  for (int k = 0; k < 65536; ++k) {
    const float x = static_cast<float>(k + 1) / 65535.0f;
    const float base = m * ((1.0f - g) * x + g * lum);
    float e = c_log2 * log_f(base);
    if (e != e) e = 0.0f;  // c = 0 with a zero base, or a negative base: no curve
    e = clampf(e, kMinExponent, kMaxExponent);
    table.sigma[k] = exp_f(e * kLn2);
  }
  for (int k = 0; k < 256; ++k) {
    table.sigma8[k] = table.sigma[256 * k];
    table.sigma8_x255[k] = table.sigma8[k] * 255.0f;
  }
  table.intensity = intensity;
  table.global_brightness_factor = g;
  table.luminance_average = lum;
  table.pow = c;
  table.valid = 1;
}

tonemapping_table& tonemapping_state_table(tonemapping_state& state) { return state.table; }

tonemapping_factors tonemapping_compute_factors(tonemapping_state& state,
                                                const img_descriptor& image, float intensity,
                                                float global_brightness_factor) {
  tonemapping_factors f = {clampf(intensity, -8.0f, 8.0f),
                           clampf(global_brightness_factor, 0.0f, 1.0f),
                           0.0f,
                           0.0f,
                           0.0f,
                           0.0f};
  if (!IMG_ASSERT(tonemapping::accepts(image.type),
                  "false && \"Invalid FOURCC specified for function\""))
    return f;
  if (!IMG_ASSERT(image_fits(image), "image_fits( img_data )")) return f;
  tonemapping_auto_state& a = state.automatic;
  if (!a.started) start_automatic(a);
  const float full = is_16bit(image.type) ? 65535.0f : 255.0f;

  // 1. Frame mean of the adaptation levels over the grid.
  uint64_t sum = 0, count = 0;
  for (int y = 1; y < image.dim_y; y += tm_detail::kGridStep) {
    for (int x = 1; x < image.dim_x; x += tm_detail::kGridStep) {
      int level, value;
      grid_level(image, x, y, level, value);
      sum += static_cast<uint64_t>(level);
      ++count;
    }
  }
  if (count == 0) return f;
  f.luminance_average =
      static_cast<float>(static_cast<double>(sum) / static_cast<double>(count) / full);

  // 2., 3. Exponent and curve.
  f.pow = smooth(a.exponent, kAutoExponent);
  tonemapping_set_factors(state.table, f);

  // 4. Range of the mapped values over the same grid.
  const float* sigma = is_16bit(image.type) ? state.table.sigma : state.table.sigma8;
  float lo = 1e6f, hi = -1e6f;
  for (int y = 1; y < image.dim_y; y += tm_detail::kGridStep) {
    for (int x = 1; x < image.dim_x; x += tm_detail::kGridStep) {
      int level, value;
      grid_level(image, x, y, level, value);
      const float t = mapped_value(value, sigma[level], full);
      lo = t < lo ? t : lo;
      hi = t > hi ? t : hi;
    }
  }
  lo = smooth(a.minimum, lo);
  hi = smooth(a.maximum, hi);

  // 5. Normalisation onto the full range.
  if (hi - lo > 0.0f) {
    f.mul = 1.0f / (hi - lo);
    f.add = -lo / (hi - lo);
  }
  return f;
}

void tonemapping_apply(const img_descriptor& image, const tonemapping_factors& factors,
                       const tonemapping_table& table, void* scratch, size_t scratch_size,
                       uint32_t cpu_features) {
  if (!IMG_ASSERT(tonemapping::accepts(image.type),
                  "false && \"Invalid FOURCC specified for function\""))
    return;
  if (!IMG_ASSERT(image_fits(image), "image_fits( img_data )")) return;
  const bool wide = image.dim_x >= kMinWidthSse41 && image.dim_y >= kMinHeight;
  const bool avx2 = wide && avx2_allowed(cpu_features);
  const bool sse41 = wide && (cpu_features & cpu_sse41) != 0;
  if (sse41 || avx2) {
    if (!IMG_ASSERT(
            scratch != nullptr && scratch_size >= tonemapping::get_scratch_space_size(image),
            "scratch_space_size >= (size_t) get_scratch_space_size( img_data )"))
      return;
  } else {
    if (!IMG_ASSERT(image.dim_x >= kMinWidth && image.dim_y >= kMinHeight,
                    "img_data.dim_x >= 4 && img_data.dim_y >= 2"))
      return;
    if (!IMG_ASSERT(
            scratch != nullptr && scratch_size >= tonemapping::get_scratch_space_size(image),
            "scratch_space_size >= (size_t)get_scratch_space_size( img_data )"))
      return;
  }
  if (!IMG_ASSERT(table.valid, "table.valid")) return;
  const curve_args c = curve_for(image.type, factors, table);
  if (avx2 && image.type != FOURCC_Y800) note_avx_entry("tone_mapping");
  if (image.type == FOURCC_Y800) {
    map_mono8(image, c);
  } else if (image.type == FOURCC_Y16) {
    map_mono16(image, c, avx2 ? tm_detail::mono16_line_avx2 : sse41 ? tm_detail::mono16_line_sse41 : nullptr);
  } else if (is_by16_fcc(image.type)) {
    map_bayer(image, c, scratch, 2, tm_detail::bayer16_line_c,
              avx2 ? tm_detail::bayer16_line_avx2 : sse41 ? tm_detail::bayer16_line_sse41 : nullptr);
  } else {
    map_bayer(image, c, scratch, 1, tm_detail::bayer8_line_c,
              avx2 ? tm_detail::bayer8_line_avx2 : sse41 ? tm_detail::bayer8_line_sse41 : nullptr);
  }
}

}  // namespace img
