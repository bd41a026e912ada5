// Reference implementations of the filter stages (tone mapping, sharpness
// and denoise, the j003 pixel fix), written per pixel from their formulas
// and sharing no code with the library, for bit-exact comparisons.
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "filter/tonemapping/tonemapping.h"
#include "img/img_transform_pipe.h"
#include "reference_transform.h"

namespace filter_ref {

using xform_test::at8;
using xform_test::get16;

inline bool sixteen_bit(uint32_t fcc) { return fcc == img::FOURCC_Y16 || img::is_by16_fcc(fcc); }

inline int sample(const img::img_descriptor& d, int x, int y) {
  return sixteen_bit(d.type) || d.type == img::FOURCC_YUV16PLANAR ? get16(d, x, y) : *at8(d, x, y);
}

// Every sample of the first plane, top-down.
inline std::vector<int> samples_of(const xform_test::owned_image& im) {
  std::vector<int> v;
  for (int y = 0; y < im.desc.dim_y; ++y)
    for (int x = 0; x < im.desc.dim_x; ++x) v.push_back(sample(im.desc, x, y));
  return v;
}

// A zeroed transform state in memory of its own.
struct state_holder {
  std::unique_ptr<uint8_t[]> memory{new uint8_t[img::transform_state_size]};
  img::tonemapping_state* state =
      img::init_transform_state(memory.get(), img::transform_state_size);
  img::tonemapping_table& table() { return img::tonemapping_state_table(*state); }
};

// ------------------------------------------------------------ tone map ----

// Adaptation level of pixel (x, y) in `orig` (the image before mapping):
// the pixel itself for "Y800"/"Y16 "; for Bayer images the mean of the
// pixel, the next pixel of its line (the previous one in the last column)
// and the sample of the other line of its pair that completes the three
// colours. A block without such a sample fails the test.
inline int tone_level(const img::img_descriptor& orig, int x, int y) {
  if (orig.type == img::FOURCC_Y800 || orig.type == img::FOURCC_Y16) return sample(orig, x, y);
  const int pattern = img::get_bayer_pattern(orig.type);
  const int yo = (y ^ 1) < orig.dim_y ? (y ^ 1) : y - 1;
  const int xh = x + 1 < orig.dim_x ? x + 1 : x - 1;
  const char c0 = xform_test::bayer_colour(pattern, x, y),
             c1 = xform_test::bayer_colour(pattern, xh, y);
  for (int xv : {x, xh}) {
    const char c2 = xform_test::bayer_colour(pattern, xv, yo);
    if (c0 != c1 && c0 != c2 && c1 != c2)
      return (sample(orig, x, y) + sample(orig, xh, y) + sample(orig, xv, yo)) / 3;
  }
  ADD_FAILURE() << "no three colours around (" << x << ", " << y << ")";
  return 0;
}

inline int tone_pixel(int p, float sigma, float a, float b, float full) {
  const float v = static_cast<float>(p) / full;
  const float t = v + sigma > 0.0f ? v / (v + sigma) : 0.0f;
  float r = t * (a * full) + b * full;
  if (!(r > 0.0f)) r = 0.0f;
  if (r > full) r = full;
  return static_cast<int>(r);
}

// Expected image after tone mapping `orig` with the given table (65536
// entries; 8-bit images use sigma[256 * level]).
inline std::vector<int> tone_map(const img::img_descriptor& orig, const float* sigma, float a,
                                 float b) {
  const bool wide = sixteen_bit(orig.type);
  const float full = wide ? 65535.0f : 255.0f;
  std::vector<int> out;
  for (int y = 0; y < orig.dim_y; ++y) {
    for (int x = 0; x < orig.dim_x; ++x) {
      const int level = tone_level(orig, x, y);
      out.push_back(tone_pixel(sample(orig, x, y), sigma[wide ? level : 256 * level], a, b, full));
    }
  }
  return out;
}

// --------------------------------------------------- sharpness/denoise ----

inline int64_t floor_shift(int64_t v, int s) {
  return v >= 0 ? v >> s : -((-v + (int64_t{1} << s) - 1) >> s);
}

struct sd_params {
  int gain, offset, s1, s2, shift;
};

inline sd_params sd_params_of(int sharpness, int denoise) {
  static const int kTable[14][3] = {{125, 41, 12}, {100, 54, 12}, {83, 70, 12},  {71, 88, 12},
                                    {62, 109, 12}, {56, 134, 12}, {50, 164, 12}, {45, 200, 12},
                                    {42, 245, 11}, {38, 152, 11}, {36, 191, 11}, {33, 246, 11},
                                    {31, 164, 10}, {29, 232, 10}};
  sd_params k = {0, 0, 0, 0, 0};
  const double d = std::min(std::max(denoise, 0), 25);
  const int t = static_cast<int>((d / 10.0 - 2.0) * 64.0);
  if (t < 0) {
    k.gain = t / 2 + 64, k.offset = (t / 8 - t / 4) * 4 - 64;
  } else {
    k.gain = t + 64, k.offset = (t / 8 - t / 2) * 4 - 64;
  }
  if (sharpness >= 1 && sharpness <= 14)
    k.s1 = kTable[sharpness - 1][0], k.s2 = kTable[sharpness - 1][1],
    k.shift = kTable[sharpness - 1][2];
  return k;
}

// One plane of sharpness/denoise; `max` is 255 or 65535. For 16-bit samples
// the edge measure is 2 (|Gx| + |Gy|) / 256 before the 255 limit.
inline std::vector<int> sharpen_plane(const std::vector<int>& in, int w, int h, bool luma,
                                      const sd_params& k, int max) {
  std::vector<int> out = in;
  const auto P = [&](int x, int y) { return in[static_cast<size_t>(y) * w + x]; };
  for (int y = 2; y <= h - 3; ++y) {
    for (int x = 2; x <= w - 3; ++x) {
      int64_t s = 0;
      for (int dy = -2; dy <= 2; ++dy)
        for (int dx = -2; dx <= 2; ++dx) s += P(x + dx, y + dy);
      if (!luma) {
        if (k.gain != 0) out[static_cast<size_t>(y) * w + x] = static_cast<int>(s / 25);
        continue;
      }
      int64_t gx = 0, gy = 0;
      for (int d = -1; d <= 1; ++d) {
        gy += P(x + d, y + 1) - P(x + d, y - 1);
        gx += P(x + 1, y + d) - P(x - 1, y + d);
      }
      int64_t e = 2 * (std::abs(gx) + std::abs(gy));
      if (max > 255) e /= 256;
      e = std::min<int64_t>(e, 255);
      int64_t p = P(x, y);
      if (k.gain != 0) {
        const int64_t w8 =
            std::min<int64_t>(std::max<int64_t>((255 - e) * k.gain / 64 + k.offset, 0), 255);
        p = (p * (255 - w8) + (s / 25) * w8) / 256;
      }
      if (k.s1 != 0) {
        const int64_t u = std::min<int64_t>(
            std::max<int64_t>(floor_shift((p * k.s1 - s) * k.s2, k.shift), 0), max);
        p = (p * (255 - e) + u * e) / 256;
      }
      out[static_cast<size_t>(y) * w + x] = static_cast<int>(std::min<int64_t>(p, max));
    }
  }
  return out;
}

// ------------------------------------------------------------ j003 fix ----

// The j003 fix on a w x h image given as samples (top-down), from its rule:
// levels of the top-left 2 x 4 block of every 4 x 8 cell, buckets of 32
// levels below 240 valid above 4096 blocks, gains max mean / mean (1 for a
// zero mean), spread linearly between bucket centres (32 b + 16; 232 for the
// top bucket) and held beyond them; lines of a partial last cell use the cell
// above. `gains_out` receives the 256 x 8 table.
inline std::vector<int> j003(const std::vector<int>& in, int w, int h, bool sixteen,
                             std::vector<float>* gains_out = nullptr) {
  const int cx_n = w / 4, cy_n = h / 8;
  std::vector<int> level(static_cast<size_t>(cx_n) * cy_n);
  uint64_t sums[8][8] = {};
  uint32_t count[8] = {};
  for (int cy = 0; cy < cy_n; ++cy) {
    for (int cx = 0; cx < cx_n; ++cx) {
      int s = 0;
      for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 2; ++c) s += in[static_cast<size_t>(cy * 8 + r) * w + cx * 4 + c];
      const int l = sixteen ? s / 2048 : s / 8;
      level[cy * cx_n + cx] = l;
      if (l >= 240) continue;
      for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 2; ++c)
          sums[l / 32][2 * r + c] += in[static_cast<size_t>(cy * 8 + r) * w + cx * 4 + c];
      ++count[l / 32];
    }
  }
  std::vector<int> valid;
  float g[8][8];
  for (int b = 0; b < 8; ++b) {
    if (count[b] <= 4096) continue;
    float mean[8], top = 0;
    for (int k = 0; k < 8; ++k)
      mean[k] = static_cast<float>(static_cast<double>(sums[b][k]) / count[b]),
      top = std::max(top, mean[k]);
    for (int k = 0; k < 8; ++k) g[b][k] = mean[k] > 0 ? top / mean[k] : 1.0f;
    valid.push_back(b);
  }
  const auto centre = [](int b) { return b == 7 ? 232.0f : 32.0f * b + 16.0f; };
  std::vector<float> table(256 * 8, 1.0f);
  for (int l = 0; l < 256 && !valid.empty(); ++l) {
    for (int k = 0; k < 8; ++k) {
      float v;
      if (l <= centre(valid.front())) {
        v = g[valid.front()][k];
      } else if (l > centre(valid.back())) {
        v = g[valid.back()][k];
      } else {
        size_t i = 1;
        while (centre(valid[i]) < l) ++i;
        const int lo = valid[i - 1], hi = valid[i];
        v = g[lo][k] + (g[hi][k] - g[lo][k]) * ((l - centre(lo)) / (centre(hi) - centre(lo)));
      }
      table[l * 8 + k] = v;
    }
  }
  if (gains_out) *gains_out = table;
  if (valid.empty()) return in;
  std::vector<int> out = in;
  const float top = sixteen ? 65535.0f : 255.0f;
  for (int y = 0; y < h; ++y) {
    const int cy = std::min(y / 8, cy_n - 1);
    for (int x = 0; x < w; ++x) {
      float v = static_cast<float>(in[static_cast<size_t>(y) * w + x]) *
                table[level[cy * cx_n + x / 4] * 8 + (y % 4) * 2 + (x & 1)];
      if (v > top) v = top;
      out[static_cast<size_t>(y) * w + x] = static_cast<int>(v);
    }
  }
  return out;
}

}  // namespace filter_ref
