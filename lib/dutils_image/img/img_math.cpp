// Single-precision math for the image library, without the C runtime.
//
// The float functions evaluate in double precision (SSE2 scalar arithmetic,
// which x64 code may use in kernel mode as well) and round once at the end,
// so results are within one unit in the last place of the exact value and do
// not depend on the build: the host and the Windows driver run these same
// instructions. Bits move between integer and floating-point registers
// through SSE2 intrinsics, so nothing here calls memcpy or any other library
// function. No state, no static initialisation.
#include "img/img_math.h"

#include <emmintrin.h>
#include <stdint.h>

namespace img {
namespace {

// --- bit access -------------------------------------------------------------

inline uint32_t bits_of(float x) {
  return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_castps_si128(_mm_set_ss(x))));
}

inline float float_of(uint32_t u) {
  return _mm_cvtss_f32(_mm_castsi128_ps(_mm_cvtsi32_si128(static_cast<int>(u))));
}

inline double double_of(uint64_t u) {
  return _mm_cvtsd_f64(_mm_castsi128_pd(_mm_cvtsi64_si128(static_cast<long long>(u))));
}

constexpr uint32_t kSignMask = 0x80000000u;
constexpr uint32_t kAbsMask = 0x7FFFFFFFu;
constexpr uint32_t kExpMask = 0x7F800000u;
constexpr uint32_t kMantMask = 0x007FFFFFu;
constexpr uint32_t kInfBits = 0x7F800000u;
constexpr uint32_t kQuietNanBits = 0x7FC00000u;

inline float infinity() { return float_of(kInfBits); }
inline float quiet_nan() { return float_of(kQuietNanBits); }
inline bool is_nan(float x) { return (bits_of(x) & kAbsMask) > kInfBits; }

// 2^k for -1022 <= k <= 1023.
inline double pow2_d(int k) { return double_of(static_cast<uint64_t>(k + 1023) << 52); }

// Nearest integer of a double with |v| < 2^31 (ties away from zero).
inline int round_to_int(double v) { return static_cast<int>(v < 0.0 ? v - 0.5 : v + 0.5); }

// --- exp and log in double --------------------------------------------------

constexpr double kInvLn2 = 0x1.71547652b82fep+0;
constexpr double kLn2Hi = 0x1.62e42fee00000p-1;  // 32 significant bits: k * kLn2Hi is exact
constexpr double kLn2Lo = 0x1.a39ef35793c76p-33;

// Beyond these, expf overflows to infinity or underflows to zero (the
// smallest subnormal float is 2^-149, ln = -103.28; half of it rounds to 0).
constexpr double kExpOverflow = 88.8;
constexpr double kExpUnderflow = -104.0;

// e^t for kExpUnderflow <= t <= kExpOverflow, relative error ~1e-15.
// t = k ln2 + r with |r| <= ln2/2; e^r by its Taylor series to r^12 (the
// first dropped term is below 1e-14 relative).
double exp_d(double t) {
  const int k = round_to_int(t * kInvLn2);
  const double r = (t - k * kLn2Hi) - k * kLn2Lo;
  double p = 1.0 / 479001600.0;  // 1/12!
  p = p * r + 1.0 / 39916800.0;
  p = p * r + 1.0 / 3628800.0;
  p = p * r + 1.0 / 362880.0;
  p = p * r + 1.0 / 40320.0;
  p = p * r + 1.0 / 5040.0;
  p = p * r + 1.0 / 720.0;
  p = p * r + 1.0 / 120.0;
  p = p * r + 1.0 / 24.0;
  p = p * r + 1.0 / 6.0;
  p = p * r + 0.5;
  p = p * r + 1.0;
  p = p * r + 1.0;
  return p * pow2_d(k);
}

// ln x for a finite float x > 0 (subnormals included), relative error ~1e-16.
// x = m 2^e with sqrt(1/2) <= m < sqrt(2); ln m = 2 atanh(s), s = (m-1)/(m+1),
// |s| <= 0.172, series to s^19.
double log_d(float x) {
  uint32_t u = bits_of(x);
  int e = 0;
  if ((u & kExpMask) == 0) {  // subnormal: scale into the normal range
    u = bits_of(x * 0x1p25f);
    e = -25;
  }
  e += static_cast<int>(u >> 23) - 127;
  uint32_t mant_bits = (u & kMantMask) | 0x3F800000u;  // m in [1, 2)
  if (mant_bits > 0x3FB504F3u) {                      // m > sqrt(2): use m/2
    mant_bits -= 0x00800000u;
    ++e;
  }
  const double m = float_of(mant_bits);
  const double s = (m - 1.0) / (m + 1.0);
  const double s2 = s * s;
  double p = 2.0 / 19.0;
  p = p * s2 + 2.0 / 17.0;
  p = p * s2 + 2.0 / 15.0;
  p = p * s2 + 2.0 / 13.0;
  p = p * s2 + 2.0 / 11.0;
  p = p * s2 + 2.0 / 9.0;
  p = p * s2 + 2.0 / 7.0;
  p = p * s2 + 2.0 / 5.0;
  p = p * s2 + 2.0 / 3.0;
  p = p * s2 + 2.0;
  return e * kLn2Hi + (s * p + e * kLn2Lo);
}

float exp_of(double t) {
  if (t > kExpOverflow) return infinity();
  if (t < kExpUnderflow) return 0.0f;
  return static_cast<float>(exp_d(t));
}

// --- sin and cos --------------------------------------------------------------

// pi/2 in three parts; the first two have 33 significant bits, so k * part is
// exact for k < 2^20.
constexpr double kPio2_1 = 0x1.921fb54400000p+0;
constexpr double kPio2_2 = 0x1.0b4611a600000p-34;
constexpr double kPio2_3 = 0x1.3198a2e037073p-69;
constexpr double kPio2 = 0x1.921fb54442d18p+0;
constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;

// Bits of 2/pi after the binary point, most significant first; enough for the
// largest float exponent plus a 96-bit window.
constexpr uint32_t kTwoOverPiBits[] = {
    0xA2F9836E, 0x4E441529, 0xFC2757D1, 0xF534DDC0,
    0xDB629599, 0x3C439041, 0xFE5163AB, 0xDEBBC561,
};
constexpr int kTwoOverPiWords = static_cast<int>(sizeof(kTwoOverPiBits) / sizeof(kTwoOverPiBits[0]));

// 32 bits of 2/pi starting at bit `pos` (bit 0 has weight 1/2; negative
// positions are the zero integer bits).
uint32_t two_over_pi_window(int pos) {
  if (pos <= -32) return 0;
  if (pos < 0) return kTwoOverPiBits[0] >> -pos;
  const int w = pos / 32;
  const int s = pos % 32;
  const uint32_t hi = w < kTwoOverPiWords ? kTwoOverPiBits[w] : 0;
  if (s == 0) return hi;
  const uint32_t lo = w + 1 < kTwoOverPiWords ? kTwoOverPiBits[w + 1] : 0;
  return (hi << s) | (lo >> (32 - s));
}

// x = q pi/2 + r with |r| <= pi/4 (plus rounding); returns r, q mod 4 in *quadrant.
double reduce_pio2(float x, int* quadrant) {
  const uint32_t ax = bits_of(x) & kAbsMask;
  if (ax < 0x49800000u) {  // |x| < 2^20: Cody-Waite with a three-part pi/2
    const double xd = x;
    const int k = round_to_int(xd * kTwoOverPi);
    *quadrant = k & 3;
    return ((xd - k * kPio2_1) - k * kPio2_2) - k * kPio2_3;
  }
  // Large |x| (Payne-Hanek): |x| = m 2^e with a 24-bit integer m. Bits of 2/pi
  // with weight 2^-(e+1) and above contribute multiples of 4 to |x| 2/pi, so
  // only a 96-bit window starting there matters; m times the window, modulo
  // 2^96, is |x| 2/pi modulo 4 with 94 fractional bits.
  const int e = static_cast<int>(ax >> 23) - 150;
  const uint64_t m = (ax & kMantMask) | 0x00800000u;
  const int start = e - 2;  // bit position (weight 2^-(pos+1)) of weight 2^(-e+1)
  const uint64_t w0 = two_over_pi_window(start);
  const uint64_t w1 = two_over_pi_window(start + 32);
  const uint64_t w2 = two_over_pi_window(start + 64);
  const uint64_t lo = m * w2;
  const uint64_t mid = m * w1 + (lo >> 32);
  const uint64_t hi = m * w0 + (mid >> 32);
  // 64 most significant bits of the 96: 2 integer bits, 62 fraction bits.
  const uint64_t top = (hi << 32) | (mid & 0xFFFFFFFFu);
  // The fraction as a signed 64-bit fixed-point number in [-1/2, 1/2):
  // rounding to the nearest quadrant.
  const int64_t frac = static_cast<int64_t>(top << 2);
  int q = static_cast<int>(top >> 62) + (frac < 0 ? 1 : 0);
  double r = static_cast<double>(frac) * 0x1p-64 * kPio2;
  if (bits_of(x) & kSignMask) {
    q = -q;
    r = -r;
  }
  *quadrant = q & 3;
  return r;
}

// Taylor series on |r| <= pi/4: to r^15 for sin, r^16 for cos (first dropped
// terms below 1e-16).
double sin_poly(double r) {
  const double r2 = r * r;
  double p = -1.0 / 1307674368000.0;  // -1/15!
  p = p * r2 + 1.0 / 6227020800.0;
  p = p * r2 - 1.0 / 39916800.0;
  p = p * r2 + 1.0 / 362880.0;
  p = p * r2 - 1.0 / 5040.0;
  p = p * r2 + 1.0 / 120.0;
  p = p * r2 - 1.0 / 6.0;
  return r + r * (r2 * p);
}

double cos_poly(double r) {
  const double r2 = r * r;
  double p = 1.0 / 20922789888000.0;  // 1/16!
  p = p * r2 - 1.0 / 87178291200.0;
  p = p * r2 + 1.0 / 479001600.0;
  p = p * r2 - 1.0 / 3628800.0;
  p = p * r2 + 1.0 / 40320.0;
  p = p * r2 - 1.0 / 720.0;
  p = p * r2 + 1.0 / 24.0;
  p = p * r2 - 0.5;
  return 1.0 + r2 * p;
}

// sin(x + quadrant_shift pi/2).
float sin_shifted(float x, int quadrant_shift) {
  if ((bits_of(x) & kAbsMask) >= kInfBits) return quiet_nan();  // inf or NaN
  int q = 0;
  const double r = reduce_pio2(x, &q);
  double v = 0.0;
  switch ((q + quadrant_shift) & 3) {
    case 0: v = sin_poly(r); break;
    case 1: v = cos_poly(r); break;
    case 2: v = -sin_poly(r); break;
    default: v = -cos_poly(r); break;
  }
  return static_cast<float>(v);
}

// Whether a finite float is an integer, and if so whether it is odd.
bool is_integer(float y, bool* odd) {
  const uint32_t ay = bits_of(y) & kAbsMask;
  const int e = static_cast<int>(ay >> 23) - 127;
  *odd = false;
  if (ay == 0) return true;
  if (e < 0) return false;
  if (e >= 24) return true;  // every float this large is even
  const uint32_t mant = (ay & kMantMask) | 0x00800000u;
  const int frac_bits = 23 - e;
  if (frac_bits > 0 && (mant & ((1u << frac_bits) - 1)) != 0) return false;
  *odd = ((mant >> frac_bits) & 1u) != 0;
  return true;
}

}  // namespace

float fabs_f(float x) { return float_of(bits_of(x) & kAbsMask); }

float sqrt_f(float x) { return _mm_cvtss_f32(_mm_sqrt_ss(_mm_set_ss(x))); }

float floor_f(float x) {
  // 2^23 and above (and infinities, NaN) are integers already.
  if (!(fabs_f(x) < 0x1p23f)) return x;
  float t = static_cast<float>(static_cast<int32_t>(x));  // truncates toward zero
  if (t == x) return x;  // keeps the sign of -0
  if (t > x) t -= 1.0f;
  return t;
}

float exp_f(float x) {
  if (is_nan(x)) return x;
  return exp_of(x);
}

float log_f(float x) {
  const uint32_t u = bits_of(x);
  if (is_nan(x)) return x;
  if ((u & kAbsMask) == 0) return -infinity();
  if (u & kSignMask) return quiet_nan();
  if (u == kInfBits) return x;
  return static_cast<float>(log_d(x));
}

float pow_f(float x, float y) {
  if (y == 0.0f) return 1.0f;  // also for x = 0 and NaN x
  if (x == 1.0f) return 1.0f;  // also for NaN y
  if (is_nan(x) || is_nan(y)) return quiet_nan();
  const uint32_t ay = bits_of(y) & kAbsMask;
  bool negate = false;
  if (bits_of(x) & kSignMask) {
    // A negative base has a real power only for integer exponents.
    bool odd = false;
    if (!is_integer(y, &odd)) return quiet_nan();
    negate = odd;
    x = fabs_f(x);
  }
  float result;
  if (x == 0.0f) {
    result = (bits_of(y) & kSignMask) ? infinity() : 0.0f;
  } else if (ay == kInfBits) {
    const bool grows = (x > 1.0f) == !(bits_of(y) & kSignMask);
    result = grows ? infinity() : 0.0f;
  } else if (bits_of(x) == kInfBits) {
    result = (bits_of(y) & kSignMask) ? 0.0f : infinity();
  } else {
    result = exp_of(static_cast<double>(y) * log_d(x));
  }
  return negate ? -result : result;
}

float sin_f(float x) {
  if (x == 0.0f) return x;  // keeps the sign of -0
  return sin_shifted(x, 0);
}

float cos_f(float x) { return sin_shifted(x, 1); }

}  // namespace img
