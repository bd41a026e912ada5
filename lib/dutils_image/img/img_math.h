// Single-precision math for the image library. The library does not call the
// C runtime: the same implementations run in the host build and in the
// Windows kernel build (where no C runtime exists), so both give identical
// image results. Accuracy: a few units in the last place over the ranges the
// library uses (gamma and tone curves, colour rotation).
#pragma once

namespace img {

float pow_f(float x, float y);  // x >= 0; pow_f(0, y > 0) = 0, pow_f(x, 0) = 1
float exp_f(float x);
float log_f(float x);           // x > 0
float sin_f(float x);
float cos_f(float x);
float sqrt_f(float x);          // x >= 0
float floor_f(float x);
float fabs_f(float x);

}  // namespace img
