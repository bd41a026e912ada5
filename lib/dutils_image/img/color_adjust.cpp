// Colour adjustment stages of the transform pipe and the gamma tables.
#include "img/color_adjust.h"

#include "img/cpu_features.h"
#include "img/img_assert.h"
#include "img/img_math.h"
#include "img/transform_image.h"
#include "img/transform_stages_internal.h"

namespace img {
namespace {

constexpr float kPi = 3.14159265358979f;
constexpr float kMaxSaturation8 = 3.99999f;  // keeps 32 s within the 8-bit coefficient range
constexpr int kHueOne8 = 32;                 // 1.0 of the 8-bit chroma coefficients
constexpr int kHueOne16 = 64;                // 1.0 of the 16-bit chroma coefficients

// trunc(v), saturated to +-2^30 so that absurd parameters cannot overflow
// the conversion (or the sums built from it).
int trunc_to_int(float v) {
  constexpr float kLimit = 1073741824.0f;
  if (!(v > -kLimit)) return v != v ? 0 : -(1 << 30);
  return v >= kLimit ? (1 << 30) : static_cast<int>(v);
}
int clamp_int(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }
// trunc(v) limited to [0, hi]; NaN gives 0 (a gamma of 0 or below can
// produce infinities at 0).
int trunc_in_range(float v, int hi) {
  if (!(v > 0.0f)) return 0;
  return v >= static_cast<float>(hi) ? hi : static_cast<int>(v);
}

bool is_luma_type(uint32_t fcc) {
  return fcc == FOURCC_Y800 || fcc == FOURCC_Y16 || fcc == FOURCC_YUV8PLANAR || fcc == FOURCC_YUV16PLANAR;
}
bool is_16bit_luma(uint32_t fcc) { return fcc == FOURCC_Y16 || fcc == FOURCC_YUV16PLANAR; }

}  // namespace

gain_offset brightness_contrast_gain(int contrast, int brightness) {
  const float k = static_cast<float>(contrast) / 256.0f;
  gain_offset r = {1.0f, 0.0f};
  if (k > 0) {
    r.gain = 1.0f + k;
    r.offset = -k / 2.0f;
  } else if (k < 0) {
    r.gain = 1.0f + k / 2.0f;
    r.offset = -k / 4.0f;
  }
  r.offset += static_cast<float>(brightness) / 256.0f;
  return r;
}

hue_saturation hue_saturation_factors(int saturation, int hue, float max_saturation) {
  // Added in float: saturation + 64 would overflow near the top of the
  // int range, and an absurd saturation must saturate like the others.
  float s = (static_cast<float>(saturation) + 64.0f) / 64.0f;
  if (s < 0) s = 0;
  if (s > max_saturation) s = max_saturation;
  const float theta = static_cast<float>(hue) / 180.0f * kPi;
  return {s * cos_f(theta), s * sin_f(theta)};
}

void adjust_hue_saturation(const img_descriptor& img, int saturation, int hue, uint32_t cpu_features) {
  if (saturation == 0 && hue == 0) return;
  if (img.type != FOURCC_YUV8PLANAR && img.type != FOURCC_YUV16PLANAR) return;
  if (!IMG_ASSERT(image_fits(img), "image_fits( img )")) return;
  const hue_saturation f = hue_saturation_factors(saturation, hue, kMaxSaturation8);
  const bool avx2 = avx2_allowed(cpu_features);
  if (avx2) note_avx_entry("hue_saturation");
  if (img.type == FOURCC_YUV8PLANAR) {
    const int a = clamp_int(trunc_to_int(kHueOne8 * f.cos_part), -128, 127);
    const int b = clamp_int(trunc_to_int(kHueOne8 * f.sin_part), -128, 127);
    // Keeps the chroma zero point (128) fixed: c = 128 - 128 (a -+ b) / 32.
    const int cu = 128 - 4 * (a - b);
    const int cv = 128 - 4 * (a + b);
    for (int y = 0; y < img.dim_y; ++y) {
      uint8_t* u = plane_line(img, 1, y);
      uint8_t* v = plane_line(img, 2, y);
      for (int x = avx2 ? stage_detail::hue_saturation8_line_avx2(u, v, img.dim_x, a, b, cu, cv) : 0; x < img.dim_x;
           ++x) {
        const int u0 = u[x], v0 = v[x];
        u[x] = static_cast<uint8_t>(clamp_u8((a * u0 - b * v0) / kHueOne8 + cu));
        v[x] = static_cast<uint8_t>(clamp_u8((a * v0 + b * u0) / kHueOne8 + cv));
      }
    }
  } else {
    const int a = trunc_to_int(kHueOne16 * f.cos_part);
    const int b = trunc_to_int(kHueOne16 * f.sin_part);
    const int cu = 32768 - 512 * (a - b);
    const int cv = 32768 - 512 * (a + b);
    for (int y = 0; y < img.dim_y; ++y) {
      uint8_t* u = plane_line(img, 1, y);
      uint8_t* v = plane_line(img, 2, y);
      for (int x = avx2 ? stage_detail::hue_saturation16_line_avx2(u, v, img.dim_x, a, b, cu, cv) : 0; x < img.dim_x;
           ++x) {
        const int u0 = load_sample<uint16_t>(u, x), v0 = load_sample<uint16_t>(v, x);
        store_sample(u, x, static_cast<uint16_t>(clamp_u16((a * u0 - b * v0) / kHueOne16 + cu)));
        store_sample(v, x, static_cast<uint16_t>(clamp_u16((a * v0 + b * u0) / kHueOne16 + cv)));
      }
    }
  }
}

void adjust_brightness_contrast(const img_descriptor& img, int contrast, int brightness, uint32_t cpu_features) {
  if (contrast == 0 && brightness == 0) return;
  if (!is_luma_type(img.type)) return;
  if (!IMG_ASSERT(image_fits(img), "image_fits( img )")) return;
  const gain_offset go = brightness_contrast_gain(contrast, brightness);
  const int gain64 = trunc_to_int(64.0f * go.gain);
  const bool sixteen = is_16bit_luma(img.type);
  const int offset = trunc_to_int((sixteen ? 65536.0f : 256.0f) * go.offset);
  // The vector kernels multiply in 32 bits: gains beyond their range (absurd
  // contrasts) take the plain code.
  const int gain_limit = sixteen ? (1 << 15) : (1 << 22);
  const bool avx2 = avx2_allowed(cpu_features) && gain64 < gain_limit && gain64 > -gain_limit;
  if (avx2) note_avx_entry("brightness_contrast");
  for (int y = 0; y < img.dim_y; ++y) {
    uint8_t* p = line_ptr(img, y);
    if (sixteen) {
      for (int x = avx2 ? stage_detail::brightness_contrast16_line_avx2(p, img.dim_x, gain64, offset) : 0;
           x < img.dim_x; ++x)
        store_sample(p, x, static_cast<uint16_t>(clamp_u16_64(int64_t{load_sample<uint16_t>(p, x)} * gain64 / 64 + offset)));
    } else {
      for (int x = avx2 ? stage_detail::brightness_contrast8_line_avx2(p, img.dim_x, gain64, offset) : 0;
           x < img.dim_x; ++x)
        p[x] = static_cast<uint8_t>(clamp_u8_64(int64_t{p[x]} * gain64 / 64 + offset));
    }
  }
}

void apply_gamma(const img_descriptor& img, const gamma_table& lut, uint32_t cpu_features) {
  if (!is_luma_type(img.type)) return;
  if (!IMG_ASSERT(image_fits(img), "image_fits( img )")) return;
  const bool avx2 = avx2_allowed(cpu_features);
  if (avx2) note_avx_entry("gamma");
  for (int y = 0; y < img.dim_y; ++y) apply_gamma_line(line_ptr(img, y), img.dim_x, img.type, lut, avx2);
}

void apply_gamma_line(uint8_t* p, int n, uint32_t fcc, const gamma_table& lut, bool avx2) {
  if (is_16bit_luma(fcc)) {
    for (int x = avx2 ? stage_detail::gamma16_line_avx2(p, n, lut.lut16) : 0; x < n; ++x)
      store_sample(p, x, lut.lut16[load_sample<uint16_t>(p, x)]);
  } else {
    for (int x = avx2 ? stage_detail::gamma8_line_avx2(p, n, lut.lut8) : 0; x < n; ++x) p[x] = lut.lut8[p[x]];
  }
}

void color_adjust(const img_descriptor& img, const transform_params& params) {
  adjust_hue_saturation(img, params.saturation, params.hue, params.cpu_features);
  adjust_brightness_contrast(img, params.contrast, params.brightness, params.cpu_features);
  if (params.gamma_enable) apply_gamma(img, params.gamma_lut, params.cpu_features);
}

void build_gamma_lut(gamma_table& lut, int gamma) {
  const float g = static_cast<float>(gamma) / 100.0f;
  for (int i = 0; i < 256; ++i) {
    lut.lut8[i] = static_cast<uint8_t>(trunc_in_range(pow_f(static_cast<float>(i) / 255.0f, g) * 255.0f, 255));
  }
  // Scaled to 65280 (255 x 256), not 65535, so that a 16-bit sample and its
  // high byte map alike.
  for (int i = 0; i < 65536; ++i) {
    lut.lut16[i] = static_cast<uint16_t>(trunc_in_range(pow_f(static_cast<float>(i) / 65536.0f, g) * 65280.0f, 65535));
  }
}

}  // namespace img
