// Layout of the tone-mapping state and the line routines of the tone-mapping
// kernels. The state block (transform_state_size bytes, caller-owned) holds
// the automatic smoothing first and the curve table behind it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "filter/tonemapping/tonemapping.h"

namespace img {

// One smoothed quantity: a window of the last 21 raw values, whose median
// (once the window is full) the smoothed value follows by a fifth per frame.
struct tonemapping_smoother {
  float value;       // last smoothed value
  float window[21];  // ring of raw values
  int32_t fill;      // values in the window, at most 21
  int32_t next;      // ring position of the next value
};

struct tonemapping_auto_state {
  int32_t started;  // 0 in zeroed memory: the smoothing starts over
  float scale;      // output scale, 1.0
  tonemapping_smoother exponent;
  tonemapping_smoother minimum;
  tonemapping_smoother maximum;
};

struct tonemapping_state {
  tonemapping_auto_state automatic;
  tonemapping_table table;
};

static_assert(sizeof(tonemapping_state) <= transform_state_size,
              "tone-mapping state exceeds its block");

namespace tm_detail {

constexpr int kWindow = 21;
constexpr int kGridStep = 8;

// What the line routines need: the sigma table for the sample size (65536
// entries for 16-bit samples, 256 for 8-bit) and the normalisation
// out = trunc(T * a_s + b_s) clamped to [0, full].
struct curve_args {
  const float* sigma;
  float a_s;   // a * S
  float b_s;   // b * S
  float full;  // S: 65535 or 255
};

// Plain line routines, from column `from` to the end of the line. Lines are
// passed as bytes: a 16-bit line may start at an odd address. Bayer
// lines read copies of the two lines of their pair (`cur`, `other`) and
// write `out`; `green_even` tells that the even columns of the line are
// green.
void mono16_line_c(uint8_t* line, int from, int n, const curve_args& c);
void bayer16_line_c(uint8_t* out, const uint8_t* cur, const uint8_t* other, int from, int n,
                    bool green_even, const curve_args& c);
void bayer8_line_c(uint8_t* out, const uint8_t* cur, const uint8_t* other, int from, int n,
                   bool green_even, const curve_args& c);
// "Y800": the output depends only on the pixel value, so the curve is
// evaluated once per value into `lut`.
void mono8_lut_c(uint8_t lut[256], const curve_args& c);

// SSE4.1 line routines: they do what they can from column 0 and return the
// number of columns done; the plain routines finish.
int mono16_line_sse41(uint8_t* line, int n, const curve_args& c);
int bayer16_line_sse41(uint8_t* out, const uint8_t* cur, const uint8_t* other, int n,
                       bool green_even, const curve_args& c);
int bayer8_line_sse41(uint8_t* out, const uint8_t* cur, const uint8_t* other, int n,
                      bool green_even, const curve_args& c);
// AVX2 line routines (img::avx2_allowed), in the same way.
int mono16_line_avx2(uint8_t* line, int n, const curve_args& c);
int bayer16_line_avx2(uint8_t* out, const uint8_t* cur, const uint8_t* other, int n, bool green_even,
                      const curve_args& c);
int bayer8_line_avx2(uint8_t* out, const uint8_t* cur, const uint8_t* other, int n, bool green_even,
                     const curve_args& c);

}  // namespace tm_detail
}  // namespace img
