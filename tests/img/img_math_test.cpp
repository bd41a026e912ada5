// The image library's own math functions against the C library, evaluated in
// double precision, over the ranges the image pipe uses and at the special
// values its curves rely on. Errors are measured in units in the last place
// of the float nearest to the exact value; each sweep prints its maximum.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>

#include "img/img_math.h"

namespace {

float float_from_bits(uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

uint32_t bits_from_float(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

// Error of `got` against the exact value `want`, in ulps of float at `want`.
// Where `want` rounds to an infinity, only that infinity is right.
double ulp_error(float got, double want) {
  if (std::isnan(want)) return std::isnan(got) ? 0.0 : 1e30;
  const float near = static_cast<float>(want);
  if (std::isinf(near) || std::isinf(got)) return got == near ? 0.0 : 1e30;
  const float a = std::fabs(near);
  double ulp = static_cast<double>(std::nextafter(a, std::numeric_limits<float>::infinity())) - a;
  if (a == std::numeric_limits<float>::max()) ulp = std::ldexp(1.0, 104);  // largest binade
  return std::fabs(static_cast<double>(got) - want) / ulp;
}

// The functions round a result that is good to ~1e-15 once, so they are
// correctly rounded (0.5 ulp) except where that result lies within its own
// error of a rounding boundary. Each sweep prints its worst case and checks it.
struct error_record {
  const char* name;
  double max_ulp = 0.0, worst_x = 0.0, worst_y = 0.0;
  long count = 0;
  ~error_record() {
    std::printf("[ math     ] %-34s max %.3f ulp at (%.9g, %.9g), %ld points\n", name, max_ulp, worst_x, worst_y,
                count);
    EXPECT_LT(max_ulp, 0.6) << name;
  }
  void add(float got, double want, double x, double y = 0.0) {
    ++count;
    const double ulp = ulp_error(got, want);
    if (ulp > max_ulp) max_ulp = ulp, worst_x = x, worst_y = y;
  }
};

double pow_d(float x, float y) { return std::pow(static_cast<double>(x), static_cast<double>(y)); }

// Gamma and tone curves: pow_f(x, y) with x in [0, 1] (8- and 16-bit pixel
// values normalised as the curves do it) and y in [0.1, 10], then wide ranges.
TEST(ImgMath, PowMatchesTheCLibraryOnGammaCurves) {
  error_record rec{"pow_f x in [0,1], y in [0.1,10]"};
  for (int iy = 0; iy <= 400; ++iy) {
    const float y = static_cast<float>(0.1 * std::pow(100.0, iy / 400.0));
    for (int ix = 0; ix <= 4096; ++ix) {
      const float x = static_cast<float>(ix) / 4096.0f;
      rec.add(img::pow_f(x, y), pow_d(x, y), x, y);
    }
    for (int v = 0; v < 65536; v += 97) {
      const float x = static_cast<float>(v) / 65535.0f;
      rec.add(img::pow_f(x, y), pow_d(x, y), x, y);
    }
  }
  error_record wide{"pow_f x in [1e-30,1e30], y in [-8,8]"};
  std::mt19937 rng(1234);
  std::uniform_real_distribution<double> log_x(-30.0, 30.0), yd(-8.0, 8.0);
  for (int i = 0; i < 200000; ++i) {
    const float x = static_cast<float>(std::pow(10.0, log_x(rng))), y = static_cast<float>(yd(rng));
    wide.add(img::pow_f(x, y), pow_d(x, y), x, y);
  }
}

TEST(ImgMath, ExpLogSinAndCosMatchTheCLibrary) {
  error_record e{"exp_f x in [-104,89]"};
  for (int i = -400000; i <= 400000; ++i) {
    const float x = static_cast<float>(i) * 5e-5f;  // [-20, 20] densely
    e.add(img::exp_f(x), std::exp(static_cast<double>(x)), x);
  }
  for (int i = 0; i <= 200000; ++i) {
    const float x = -104.0f + 193.0f * static_cast<float>(i) / 200000.0f;
    e.add(img::exp_f(x), std::exp(static_cast<double>(x)), x);
  }

  error_record l{"log_f x in (0,inf)"};
  for (int i = 1; i <= 1000000; ++i) {
    const float x = static_cast<float>(std::pow(10.0, -6.0 + 12.0 * i / 1000000.0));
    l.add(img::log_f(x), std::log(static_cast<double>(x)), x);
  }
  // Around 1, where ln x is small and cancellation would show (every 7th
  // float), then subnormal and extreme inputs.
  for (uint32_t u = bits_from_float(0.5f); u < bits_from_float(2.0f); u += 7)
    l.add(img::log_f(float_from_bits(u)), std::log(static_cast<double>(float_from_bits(u))), float_from_bits(u));
  for (uint32_t u = 1; u < 0x7F800000u; u = u * 3 + 1)
    l.add(img::log_f(float_from_bits(u)), std::log(static_cast<double>(float_from_bits(u))), float_from_bits(u));

  constexpr double kPi = 3.14159265358979323846;
  error_record sc{"sin_f/cos_f x in [-4pi,4pi] and any"};
  const auto both = [&sc](float x) {
    sc.add(img::sin_f(x), std::sin(static_cast<double>(x)), x);
    sc.add(img::cos_f(x), std::cos(static_cast<double>(x)), x);
  };
  for (int i = -1000000; i <= 1000000; ++i) both(static_cast<float>(4.0 * kPi * i / 1000000));
  // The floats nearest to multiples of pi/2, where the result is small and an
  // imprecise reduction would show; then random finite floats of any size.
  for (int k = -8; k <= 8; ++k) {
    float x = static_cast<float>(k * kPi / 2);
    for (int j = 0; j < 8; ++j, x = std::nextafter(x, std::numeric_limits<float>::infinity())) both(x);
  }
  std::mt19937 rng(42);
  for (int i = 0; i < 300000; ++i) {
    const uint32_t u = static_cast<uint32_t>(rng());
    if ((u & 0x7F800000u) != 0x7F800000u) both(float_from_bits(u));
  }
}

TEST(ImgMath, SpecialValuesAreExact) {
  const float inf = std::numeric_limits<float>::infinity(), nan = std::nanf("");
  for (float y : {0.1f, 0.45f, 1.0f, 2.2f, 10.0f, 1e30f}) {
    EXPECT_EQ(img::pow_f(0.0f, y), 0.0f) << y;
    EXPECT_EQ(img::pow_f(1.0f, y), 1.0f) << y;
    EXPECT_EQ(img::pow_f(1.0f, -y), 1.0f) << y;
  }
  for (float x : {0.0f, 1e-40f, 0.5f, 1.0f, 3.0f, 1e38f, inf}) {
    EXPECT_EQ(img::pow_f(x, 0.0f), 1.0f) << x;
    EXPECT_EQ(img::pow_f(x, -0.0f), 1.0f) << x;
  }
  // A curve with exponent 1 is the identity, bit for bit.
  for (int v = 0; v <= 255; ++v) EXPECT_EQ(img::pow_f(v / 255.0f, 1.0f), v / 255.0f) << v;
  const struct {
    float got, want;
  } exact[] = {
      {img::pow_f(2.0f, 10.0f), 1024.0f}, {img::pow_f(0.5f, 2.0f), 0.25f}, {img::pow_f(4.0f, 0.5f), 2.0f},
      {img::pow_f(0.0f, -1.0f), inf},     {img::pow_f(10.0f, 50.0f), inf}, {img::pow_f(0.1f, 100.0f), 0.0f},
      // A negative base has a real power only for integer exponents.
      {img::pow_f(-2.0f, 3.0f), -8.0f},   {img::pow_f(-2.0f, 2.0f), 4.0f},
      {img::exp_f(0.0f), 1.0f},           {img::exp_f(-0.0f), 1.0f},       {img::exp_f(89.0f), inf},
      {img::exp_f(1.0f), static_cast<float>(std::exp(1.0))},               {img::exp_f(inf), inf},
      {img::exp_f(-200.0f), 0.0f},        {img::exp_f(-inf), 0.0f},        {img::log_f(1.0f), 0.0f},
      {img::log_f(0.0f), -inf},           {img::log_f(inf), inf},
      {img::log_f(2.0f), static_cast<float>(std::log(2.0))},               {img::sin_f(0.0f), 0.0f},
      {img::cos_f(0.0f), 1.0f},           {img::cos_f(-0.0f), 1.0f},       {img::sin_f(1.5707964f), 1.0f},
      {img::cos_f(3.1415927f), -1.0f},
  };
  for (size_t i = 0; i < sizeof exact / sizeof exact[0]; ++i) EXPECT_EQ(exact[i].got, exact[i].want) << i;
  EXPECT_GT(img::exp_f(-100.0f), 0.0f);  // subnormal result, not flushed
  EXPECT_TRUE(std::signbit(img::sin_f(-0.0f)));
  for (float r : {img::pow_f(-2.0f, 0.5f), img::pow_f(nan, 2.0f), img::exp_f(nan), img::log_f(-1.0f),
                  img::log_f(nan), img::sin_f(inf), img::cos_f(nan)})
    EXPECT_TRUE(std::isnan(r));
}

// floor_f, fabs_f and sqrt_f are exact operations: bit-identical to the C library.
TEST(ImgMath, FloorFabsAndSqrtAreExact) {
  std::mt19937 rng(7);
  for (int i = 0; i < 200000; ++i) {
    const float x = float_from_bits(static_cast<uint32_t>(rng()));
    if (std::isnan(x)) {
      EXPECT_TRUE(std::isnan(img::floor_f(x)));
      continue;
    }
    EXPECT_EQ(bits_from_float(img::floor_f(x)), bits_from_float(std::floor(x))) << x;
    EXPECT_EQ(bits_from_float(img::fabs_f(x)), bits_from_float(std::fabs(x))) << x;
    if (x >= 0.0f) {
      EXPECT_EQ(bits_from_float(img::sqrt_f(x)), bits_from_float(std::sqrt(x))) << x;
    }
  }
  // Around the integers the curves index tables with.
  for (int i = -1000; i <= 1000; ++i)
    for (float x : {i - 0.5f, static_cast<float>(i), std::nextafter(static_cast<float>(i), -1e9f),
                    std::nextafter(static_cast<float>(i), 1e9f)})
      EXPECT_EQ(bits_from_float(img::floor_f(x)), bits_from_float(std::floor(x))) << x;
  EXPECT_TRUE(std::signbit(img::floor_f(-0.0f)));
  EXPECT_EQ(img::floor_f(16777217.0f), 16777217.0f);
  EXPECT_TRUE(std::isnan(img::sqrt_f(-1.0f)));
}

// The same results from every build: the driver and the host run this code
// with different compilers, and the image tests only speak for the driver if
// both compute the same bits. A fused multiply-add (from -march flags or
// another compiler's contraction default) or a change of evaluation order
// changes this fingerprint; a deliberate change of the functions updates it.
TEST(ImgMath, ResultsAreTheSameBitsInEveryBuild) {
  uint64_t hash = 1469598103934665603ull;  // FNV-1a over the result bits
  auto mix = [&hash](float f) { hash = (hash ^ bits_from_float(f)) * 1099511628211ull; };
  for (int i = 0; i < 200000; ++i) {
    const float x = static_cast<float>(i) / 200000.0f;
    const float y = 0.1f + 9.9f * static_cast<float>((i % 1000) * 7919 % 1000) / 1000.0f;
    mix(img::pow_f(x, y));
    mix(img::exp_f(x * 40 - 20));
    mix(img::log_f(x * 1e6f + 1e-6f));
    mix(img::sin_f(x * 25 - 12.5f));
    mix(img::cos_f(x * 1e6f));
  }
  EXPECT_EQ(hash, 0xc88169fc805213e2ull);
}

}  // namespace
