// The picture response of the simulated camera (see picture_controls.h).
#include "picture_controls.h"

#include <algorithm>
#include <cmath>

namespace sim {
namespace {

constexpr double kMidGrey = 128;
constexpr double kBrightnessSpan = 255;  // levels between the minimum and the maximum brightness
constexpr double kMaxGain = 4;           // amplification at the gain control's maximum
constexpr double kMinExposure = 1.0 / 64;
constexpr double kMaxExposure = 16;
constexpr double kMaxFactor = 4;         // contrast and saturation

struct range_values {
  double min, max, def, cur;
};

range_values values_of(const uvc_control& c) {
  return {(double)control_number(c.min, c.is_signed), (double)control_number(c.max, c.is_signed),
          (double)control_number(c.def, c.is_signed), (double)control_number(c.cur, c.is_signed)};
}

// (value - minimum) / (default - minimum): 0 at the minimum, 1 at the default.
double ratio_to_default(const uvc_control* c) {
  if (c == nullptr) return 1;
  const range_values v = values_of(*c);
  if (v.def <= v.min) return 1;
  return std::clamp((v.cur - v.min) / (v.def - v.min), 0.0, kMaxFactor);
}

uint8_t clamp8(double v) { return (uint8_t)std::lround(std::clamp(v, 0.0, 255.0)); }

double level_of(const picture_settings& s, double v) {
  return (v * s.exposure * s.gain - kMidGrey) * s.contrast + kMidGrey + s.brightness;
}

// Luminance levels and colour differences through 256-entry tables.
struct picture_tables {
  uint8_t level[256];
  uint8_t chroma[256];  // of a colour difference stored with an offset of 128

  explicit picture_tables(const picture_settings& s) {
    for (int v = 0; v < 256; ++v) {
      level[v] = clamp8(level_of(s, v));
      chroma[v] = clamp8((v - kMidGrey) * s.saturation + kMidGrey);
    }
  }
};

// B G R (X) pixels: each channel through the level table, then its
// distance from the pixel's luminance scaled by the saturation.
void apply_rgb(const picture_settings& s, const picture_tables& t, uint8_t* p, size_t pixels, size_t step) {
  const bool keep_colour = s.saturation == 1;
  for (size_t i = 0; i < pixels; ++i, p += step) {
    const int b = t.level[p[0]], g = t.level[p[1]], r = t.level[p[2]];
    if (keep_colour) {
      p[0] = (uint8_t)b, p[1] = (uint8_t)g, p[2] = (uint8_t)r;
      continue;
    }
    const double y = (29 * b + 150 * g + 77 * r) / 256.0;
    p[0] = clamp8(y + (b - y) * s.saturation);
    p[1] = clamp8(y + (g - y) * s.saturation);
    p[2] = clamp8(y + (r - y) * s.saturation);
  }
}

}  // namespace

bool picture_settings::neutral() const {
  return brightness == 0 && contrast == 1 && saturation == 1 && exposure == 1 && gain == 1;
}

picture_settings picture_from_controls(const picture_control_values& controls) {
  picture_settings s;
  if (controls.brightness != nullptr) {
    const range_values v = values_of(*controls.brightness);
    if (v.max > v.min) s.brightness = (v.cur - v.def) * kBrightnessSpan / (v.max - v.min);
  }
  s.contrast = ratio_to_default(controls.contrast);
  s.saturation = ratio_to_default(controls.saturation);
  if (controls.gain != nullptr) {
    const range_values v = values_of(*controls.gain);
    if (v.max > v.min) {
      auto amplification = [&](double x) { return 1 + (kMaxGain - 1) * (x - v.min) / (v.max - v.min); };
      s.gain = std::clamp(amplification(v.cur) / amplification(v.def), 1 / kMaxGain, kMaxGain);
    }
  }
  if (controls.exposure != nullptr && !controls.exposure_automatic) {
    const range_values v = values_of(*controls.exposure);
    if (v.def > 0) s.exposure = std::clamp(v.cur / v.def, kMinExposure, kMaxExposure);
  }
  return s;
}

void apply_picture(const picture_settings& s, const frame_format& format, uint8_t* pixels, size_t bytes) {
  if (s.neutral()) return;
  const size_t count = (size_t)format.width * format.height;
  switch (format.fourcc) {
    case kFourccY800: {
      const picture_tables t(s);
      for (size_t i = 0; i < std::min(count, bytes); ++i) pixels[i] = t.level[pixels[i]];
      break;
    }
    case kFourccY16:  // 16-bit little-endian, left-aligned: the whole sample on the 8-bit scale
      for (size_t i = 0; i < std::min(count, bytes / 2); ++i) {
        uint8_t* p = pixels + 2 * i;
        const double v = level_of(s, (p[0] | p[1] << 8) / 256.0) * 256;
        const uint16_t out = (uint16_t)std::lround(std::clamp(v, 0.0, 65535.0));
        p[0] = (uint8_t)out, p[1] = (uint8_t)(out >> 8);
      }
      break;
    case kFourccYUY2:  // Y U Y V: luminance at even bytes
    case kFourccUYVY: {  // U Y V Y: luminance at odd bytes
      const picture_tables t(s);
      const size_t first_luma = format.fourcc == kFourccYUY2 ? 0 : 1;
      for (size_t i = 0; i < std::min(2 * count, bytes); ++i) {
        pixels[i] = i % 2 == first_luma ? t.level[pixels[i]] : t.chroma[pixels[i]];
      }
      break;
    }
    case kFourccRGB24:
    case kFourccRGB32: {
      const size_t step = format.fourcc == kFourccRGB24 ? 3 : 4;
      apply_rgb(s, picture_tables(s), pixels, std::min(count, bytes / step), step);
      break;
    }
    default:
      break;
  }
}

void picture_controls::set(const picture_settings& settings) {
  std::lock_guard<std::mutex> guard(mutex_);
  settings_ = settings;
}

picture_settings picture_controls::get() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return settings_;
}

void picture_controls::apply(const frame_format& format, uint8_t* pixels, size_t bytes) const {
  apply_picture(get(), format, pixels, bytes);
}

}  // namespace sim
