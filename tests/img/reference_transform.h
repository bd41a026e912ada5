// Test images with their own buffers, and reference implementations of the
// debayers and pipe stages written straight from their formulas (per pixel,
// no shared code with the library), for bit-exact and tolerance comparisons.
#pragma once

#include <stdint.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "img/cpu_features.h"
#include "img/img_assert.h"
#include "img/img_type.h"

namespace xform_test {

// Everything this processor has, and the YMM and ZMM state (user mode: always
// saved).
inline const uint32_t kCpu = img::allow_avx512(img::get_cpu_features());
// The masks of the processor variants, plain first; a variant runs where the
// processor has its features (has_variant).
inline const uint32_t kVariants[] = {0, img::cpu_sse2, img::cpu_sse2 | img::cpu_ssse3,
                                     img::cpu_sse2 | img::cpu_ssse3 | img::cpu_sse41,
                                     img::allow_avx(img::cpu_sse2 | img::cpu_ssse3 | img::cpu_sse41 | img::cpu_level8),
                                     img::allow_avx512(img::cpu_sse2 | img::cpu_ssse3 | img::cpu_sse41 | img::cpu_level8 |
                                                       img::cpu_avx512)};
inline bool has_variant(uint32_t mask) { return (kCpu & mask) == mask; }

enum class layout { dense, padded, bottom_up };

// An image and the buffer it lives in. Padded and bottom-up layouts add
// `kPadding` bytes to every line; bottom-up also negates the pitch.
struct owned_image {
  std::vector<uint8_t> buffer;
  img::img_descriptor desc{};
};

constexpr int kPadding = 25;

// An image with the given pitch (negative: bottom-up) in a buffer of
// exactly buffer_length bytes set to `fill`.
inline owned_image make_image_with_pitch(uint32_t fcc, int w, int h, int pitch, uint8_t fill = 0) {
  owned_image im;
  static_cast<img::img_type&>(im.desc) = img::make_img_type_with_pitch(fcc, w, h, pitch);
  im.buffer.assign(static_cast<size_t>(im.desc.buffer_length), fill);
  im.desc.data = im.buffer.data() + (pitch < 0 ? static_cast<size_t>(h - 1) * static_cast<size_t>(-pitch) : 0);
  return im;
}

inline owned_image make_image(uint32_t fcc, int w, int h, layout l = layout::dense) {
  const int pitch = img::make_img_type(fcc, w, h).pitch + (l == layout::dense ? 0 : kPadding);
  return make_image_with_pitch(fcc, w, h, l == layout::bottom_up ? -pitch : pitch);
}

// A copy whose descriptor points into the copy's own buffer.
inline owned_image copy_of(const owned_image& im) {
  owned_image c = im;
  c.desc.data = c.buffer.data() + (im.desc.data - im.buffer.data());
  return c;
}

// Collects the conditions the image library reports while it lives, with the
// failure counter reset at both ends.
class report_capture {
 public:
  report_capture() : previous_(img::set_assert_handler(record)) {
    sink() = &reports;
    img::reset_assert_failure_count();
  }
  ~report_capture() {
    img::set_assert_handler(previous_);
    sink() = nullptr;
    img::reset_assert_failure_count();
  }
  bool has(const std::string& text) const {
    for (const std::string& r : reports)
      if (r == text) return true;
    return false;
  }
  std::vector<std::string> reports;

 private:
  static std::vector<std::string>*& sink() {
    static std::vector<std::string>* s = nullptr;
    return s;
  }
  static void record(const char* condition, const char*, int) {
    if (sink() != nullptr) sink()->push_back(condition);
  }
  img::assert_handler previous_;
};

inline void fill_random(owned_image& im, uint32_t seed, int max_value = 255) {
  std::mt19937 rng(seed);
  if (max_value <= 255) {
    for (auto& b : im.buffer) b = static_cast<uint8_t>(rng() % (max_value + 1));
  } else {
    for (size_t i = 0; i + 1 < im.buffer.size(); i += 2) {
      const uint32_t v = rng() % (static_cast<uint32_t>(max_value) + 1);
      im.buffer[i] = static_cast<uint8_t>(v);
      im.buffer[i + 1] = static_cast<uint8_t>(v >> 8);
    }
  }
}

// Pixel access for line-addressed and planar images.
inline uint8_t* at8(const img::img_descriptor& d, int x, int y, int plane = 0) {
  const ptrdiff_t abs_pitch = d.pitch < 0 ? -d.pitch : d.pitch;
  return d.data + plane * abs_pitch * d.dim_y + static_cast<ptrdiff_t>(y) * d.pitch + x;
}
inline uint16_t get16(const img::img_descriptor& d, int x, int y, int plane = 0) {
  const uint8_t* p = at8(d, 2 * x, y, plane);
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline void set16(const img::img_descriptor& d, int x, int y, uint16_t v, int plane = 0) {
  uint8_t* p = at8(d, 2 * x, y, plane);
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

// Writes one sample of a line-addressed 8- or 16-bit image.
inline void put(const img::img_descriptor& d, int x, int y, int v) {
  if (img::get_bits_per_pixel(d.type) == 16) {
    set16(d, x, y, static_cast<uint16_t>(v));
  } else {
    *at8(d, x, y) = static_cast<uint8_t>(v);
  }
}

// Sets every sample of a line-addressed 8- or 16-bit image to value_of(x, y).
template <typename F>
void fill_with(const owned_image& im, F value_of) {
  for (int y = 0; y < im.desc.dim_y; ++y)
    for (int x = 0; x < im.desc.dim_x; ++x) put(im.desc, x, y, value_of(x, y));
}

inline int clamp(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

struct rgb {
  int r, g, b;
};

// Colour of the Bayer site (x, y) of a pattern index: 'R', 'G' or 'B'.
inline char bayer_colour(int pattern, int x, int y) {
  static const char* const kLayouts[4] = {"BGGR", "GBRG", "GRBG", "RGGB"};
  return kLayouts[pattern][(y & 1) * 2 + (x & 1)];
}

// The plain debayer from its description: image order, one rgb per pixel.
// flags: 1 colour matrix, 2 green-imbalance correction.
inline std::vector<rgb> reference_debayer_plain(const img::img_descriptor& src, int pattern, int flags,
                                                const int16_t* m) {
  const int w = src.dim_x, h = src.dim_y;
  std::vector<rgb> out(static_cast<size_t>(w) * h);
  const auto s = [&](int x, int y) { return static_cast<int>(*at8(src, x, y)); };
  for (int y = 0; y < h; ++y) {
    const int yu = y == 0 ? 1 : y - 1;
    const int yd = y == h - 1 ? h - 2 : y + 1;
    for (int x = 1; x <= w - 2; ++x) {
      int c[3] = {0, 0, 0};  // R, G, B
      const auto index = [](char colour) { return colour == 'R' ? 0 : (colour == 'G' ? 1 : 2); };
      const char here = bayer_colour(pattern, x, y);
      if (here == 'G') {
        int g = s(x, y);
        const int ul = s(x - 1, yu), ur = s(x + 1, yu), dl = s(x - 1, yd), dr = s(x + 1, yd);
        if ((flags & 2) && std::abs(ul - ur) < 7 && std::abs(ul - dl) < 7) g = (4 * g + ul + ur + dl + dr) >> 3;
        c[1] = g;
        c[index(bayer_colour(pattern, x + 1, y))] = (s(x - 1, y) + s(x + 1, y)) >> 1;
        c[index(bayer_colour(pattern, x, y + 1))] = (s(x, yu) + s(x, yd)) >> 1;
      } else {
        c[index(here)] = s(x, y);
        const int l = s(x - 1, y), r = s(x + 1, y), u = s(x, yu), d = s(x, yd);
        const int dh = std::abs(l - r), dv = std::abs(u - d);
        c[1] = dh < dv ? (l + r) / 2 : (dh > dv ? (u + d) / 2 : (l + r + u + d) / 4);
        c[2 - index(here)] = (s(x - 1, yu) + s(x + 1, yu) + s(x - 1, yd) + s(x + 1, yd)) / 4;
      }
      if (flags & 1) {
        const int r2 = clamp((m[0] * c[0] + m[1] * c[1] + m[2] * c[2]) / 64, 0, 255);
        const int g2 = clamp((m[3] * c[0] + m[4] * c[1] + m[5] * c[2]) / 64, 0, 255);
        const int b2 = clamp((m[6] * c[0] + m[7] * c[1] + m[8] * c[2]) / 64, 0, 255);
        c[0] = r2, c[1] = g2, c[2] = b2;
      }
      out[static_cast<size_t>(y) * w + x] = {c[0], c[1], c[2]};
    }
    out[static_cast<size_t>(y) * w] = out[static_cast<size_t>(y) * w + 1];
    out[static_cast<size_t>(y) * w + w - 1] = out[static_cast<size_t>(y) * w + w - 2];
  }
  return out;
}

// YUV of the plain debayer's "YU8p" output.
inline void plain_yuv(const rgb& p, int& y, int& u, int& v) {
  y = (29 * p.b + 76 * p.r + 150 * p.g) >> 8;
  u = clamp((131 * p.b - 44 * p.r - 86 * p.g + 32768) >> 8, 0, 255);
  v = clamp((131 * p.r - 21 * p.b - 109 * p.g + 32768) >> 8, 0, 255);
}

// Settings of the matrix debayer's colour chain.
struct chain_settings {
  const int16_t* matrix = nullptr;  // 64 = 1.0, or null
  int contrast = 0, brightness = 0, saturation = 0, hue = 0;
};

// The matrix debayer in double precision from its description: the camera
// colours of each site from the 5x5 kernels (mirrored borders), then the
// colour chain. Rows: Y U V (yuv) or R G B. Unclamped, unrounded.
inline std::vector<double> reference_debayer_matrix(const img::img_descriptor& src, bool sixteen, bool yuv,
                                                    const chain_settings& cs) {
  static const int kK[4][3][6] = {
      {{12, 0, -3, 0, 4, -3}, {8, 4, -2, 4, 0, -2}, {16, 0, 0, 0, 0, 0}},
      {{10, 0, 1, 8, -2, -2}, {12, 0, -1, 0, 2, -1}, {10, 8, -2, 0, -2, 1}},
      {{10, 8, -2, 0, -2, 1}, {12, 0, -1, 0, 2, -1}, {10, 0, 1, 8, -2, -2}},
      {{16, 0, 0, 0, 0, 0}, {8, 4, -2, 4, 0, -2}, {12, 0, -3, 0, 4, -3}}};
  const double k = cs.contrast / 256.0;
  double gain = 1, offset = 0;
  if (k > 0) gain = 1 + k, offset = -k / 2;
  if (k < 0) gain = 1 + k / 2, offset = -k / 4;
  offset += cs.brightness / 256.0;
  const double s = (cs.saturation + 64) / 64.0, th = cs.hue / 180.0 * M_PI;
  const double a = s * std::cos(th), b = s * std::sin(th);
  const double Y[3] = {0.299, 0.587, 0.114}, U[3] = {-0.173, -0.339, 0.512}, V[3] = {0.512, -0.427, -0.084};
  double T[3][3];
  for (int c = 0; c < 3; ++c) {
    const double u2 = a * U[c] - b * V[c], v2 = b * U[c] + a * V[c];
    if (yuv) {
      T[0][c] = gain * Y[c], T[1][c] = u2, T[2][c] = v2;
    } else {
      T[0][c] = gain * Y[c] + 1.370705 * v2;
      T[1][c] = gain * Y[c] - 0.698001 * v2 - 0.328125 * u2;
      T[2][c] = gain * Y[c] + 1.732446 * u2;
    }
  }
  const double full = sixteen ? 65535.0 : 255.0;
  const double offs[3] = {offset, yuv ? 0.5 : offset, yuv ? 0.5 : offset};
  const int w = src.dim_x, h = src.dim_y;
  const int pattern = img::get_bayer_pattern(src.type);
  const auto px = [&](int x, int y) -> double {
    return sixteen ? get16(src, x, y) : *at8(src, x, y);
  };
  const auto mirror = [](int i, int centre, int n) {
    if (i >= 0 && i < n) return i;
    return std::abs(i - centre) == 2 ? centre : 2 * centre - i;
  };
  std::vector<double> out(static_cast<size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const auto n = [&](int dx, int dy) { return px(mirror(x + dx, x, w), mirror(y + dy, y, h)); };
      const double g[6] = {n(0, 0),
                           n(-1, 0) + n(1, 0),
                           n(-2, 0) + n(2, 0),
                           n(0, -1) + n(0, 1),
                           n(-1, -1) + n(1, -1) + n(-1, 1) + n(1, 1),
                           n(0, -2) + n(0, 2)};
      const char here = bayer_colour(pattern, x, y);
      const bool blue_line = bayer_colour(pattern, x, y) == 'B' || bayer_colour(pattern, x + 1, y) == 'B';
      const int site = here == 'B' ? 0 : (here == 'R' ? 3 : (blue_line ? 1 : 2));
      double cam[3];
      for (int c = 0; c < 3; ++c) {
        cam[c] = 0;
        for (int p = 0; p < 6; ++p) cam[c] += kK[site][c][p] * g[p] / 16.0;
      }
      double e[3] = {cam[0], cam[1], cam[2]};
      if (cs.matrix)
        for (int r = 0; r < 3; ++r)
          e[r] = (cs.matrix[3 * r] * cam[0] + cs.matrix[3 * r + 1] * cam[1] + cs.matrix[3 * r + 2] * cam[2]) / 64.0;
      for (int j = 0; j < 3; ++j)
        out[(static_cast<size_t>(y) * w + x) * 3 + j] = T[j][0] * e[0] + T[j][1] * e[1] + T[j][2] * e[2] + offs[j] * full;
    }
  }
  return out;
}

}  // namespace xform_test
