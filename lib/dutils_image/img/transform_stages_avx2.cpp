// AVX2 line kernels of the pipe's colour stages: raw white balance, the
// conversions of planar YUV to RGB, hue and saturation, brightness and
// contrast, gamma. Each does what it can from column 0 with the arithmetic of
// the plain code, lane for lane, and returns the number of pixels done; the
// plain code finishes the line. The whole file is built for AVX2; its
// kernels run only when img::avx2_allowed.
#include <immintrin.h>

#pragma GCC target("avx2")

#include "img/avx2_kernels.h"
#include "img/transform_stages_internal.h"

namespace img {
namespace stage_detail {
namespace {

using namespace avx2_detail;

inline __m256i load16x16(const uint8_t* line, int x) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(line + 2 * x));
}
inline void store16x16(uint8_t* line, int x, __m256i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(line + 2 * x), v);
}
// Signed 32-bit lanes divided by 2^s, truncating toward zero like C.
template <int S>
inline __m256i div_pow2(__m256i v) {
  const __m256i bias = _mm256_and_si256(_mm256_srai_epi32(v, 31), _mm256_set1_epi32((1 << S) - 1));
  return _mm256_srai_epi32(_mm256_add_epi32(v, bias), S);
}
// Signed 16-bit lanes divided by 64, truncating toward zero.
inline __m256i div64_epi16(__m256i v) {
  const __m256i bias = _mm256_and_si256(_mm256_srai_epi16(v, 15), _mm256_set1_epi16(63));
  return _mm256_srai_epi16(_mm256_add_epi16(v, bias), 6);
}
inline __m256i pair_lanes(int lo, int hi) {
  return _mm256_set1_epi32(static_cast<int>((static_cast<uint32_t>(hi) << 16) | static_cast<uint16_t>(lo)));
}

}  // namespace

int wb_line8_avx2(uint8_t* p, int n, int even_gain, int odd_gain) {
  const __m256i zero = _mm256_setzero_si256(), gains = pair_lanes(even_gain, odd_gain);
  int x = 0;
  for (; x + 32 <= n; x += 32) {
    const __m256i v = load32(p + x);
    // Products are at most 255 x 255; >> 6 fits signed 16 bits, packus clamps.
    const __m256i lo = _mm256_srli_epi16(_mm256_mullo_epi16(_mm256_unpacklo_epi8(v, zero), gains), 6);
    const __m256i hi = _mm256_srli_epi16(_mm256_mullo_epi16(_mm256_unpackhi_epi8(v, zero), gains), 6);
    store32(p + x, _mm256_packus_epi16(lo, hi));
  }
  return x;
}

int wb_line16_avx2(uint8_t* p, int n, int even_gain, int odd_gain) {
  const __m256i gains = pair_lanes(even_gain, odd_gain), limit = _mm256_set1_epi16(63);
  int x = 0;
  for (; x + 16 <= n; x += 16) {
    const __m256i v = load16x16(p, x);
    const __m256i lo = _mm256_mullo_epi16(v, gains);  // product bits 0..15
    const __m256i hi = _mm256_mulhi_epu16(v, gains);  // product bits 16..31 (at most 254)
    const __m256i shifted = _mm256_or_si256(_mm256_srli_epi16(lo, 6), _mm256_slli_epi16(hi, 10));
    store16x16(p, x, _mm256_or_si256(shifted, _mm256_cmpgt_epi16(hi, limit)));  // saturate at 65535
  }
  return x;
}

int yuv8p_to_rgb_line_avx2(uint8_t* dst, const uint8_t* py, const uint8_t* pu, const uint8_t* pv, int n,
                           bool four_bytes) {
  const __m256i zero = _mm256_setzero_si256(), k128 = _mm256_set1_epi16(128);
  int x = 0;
  for (; x + 32 <= n; x += 32) {
    const __m256i y8 = load32(py + x), u8 = load32(pu + x), v8 = load32(pv + x);
    __m256i r[2], g[2], b[2];
    for (int half = 0; half < 2; ++half) {
      const auto widen = [&](__m256i v) { return half ? _mm256_unpackhi_epi8(v, zero) : _mm256_unpacklo_epi8(v, zero); };
      const __m256i y = widen(y8), u = _mm256_sub_epi16(widen(u8), k128), v = _mm256_sub_epi16(widen(v8), k128);
      r[half] = _mm256_add_epi16(y, div64_epi16(_mm256_mullo_epi16(v, _mm256_set1_epi16(87))));
      b[half] = _mm256_add_epi16(y, div64_epi16(_mm256_mullo_epi16(u, _mm256_set1_epi16(111))));
      const __m256i uv = _mm256_add_epi16(_mm256_mullo_epi16(u, _mm256_set1_epi16(21)),
                                          _mm256_mullo_epi16(v, _mm256_set1_epi16(45)));
      g[half] = _mm256_sub_epi16(y, div64_epi16(uv));
    }
    const __m256i b8 = _mm256_packus_epi16(b[0], b[1]), g8 = _mm256_packus_epi16(g[0], g[1]);
    const __m256i r8 = _mm256_packus_epi16(r[0], r[1]);
    if (four_bytes) {
      store_bgrx128(dst + 4 * x, b8, g8, r8);
    } else {
      store_bgr96(dst + 3 * x, b8, g8, r8);
    }
  }
  return x;
}

int yuv16p_to_rgb64_line_avx2(uint8_t* d, const uint8_t* py, const uint8_t* pu, const uint8_t* pv, int n) {
  const bool streaming = (reinterpret_cast<uintptr_t>(d) & 31) == 0;
  // BT.601 in 14-bit fixed point, as the plain code.
  constexpr int kVr = 22986, kUg = 5636, kVg = 11698, kUb = 28999, kShift = 14;
  const __m256i zero = _mm256_setzero_si256(), bias16 = _mm256_set1_epi16(static_cast<short>(0x8000));
  const __m256i bias32 = _mm256_set1_epi32(32768), alpha = _mm256_set1_epi16(-1);
  const __m256i k_vr = pair_lanes(kVr, 0), k_ub = pair_lanes(kUb, 0), k_g = pair_lanes(kUg, kVg);
  int x = 0;
  for (; x + 16 <= n; x += 16) {
    const __m256i y = load16x16(py, x);
    // Chroma minus 32768 as signed 16-bit: flip the top bit.
    const __m256i u = _mm256_xor_si256(load16x16(pu, x), bias16), v = _mm256_xor_si256(load16x16(pv, x), bias16);
    __m256i b[2], g[2], r[2];
    for (int half = 0; half < 2; ++half) {
      const auto un = [half](__m256i a, __m256i c) {
        return half ? _mm256_unpackhi_epi16(a, c) : _mm256_unpacklo_epi16(a, c);
      };
      const __m256i y32 = un(y, zero);
      // Y + (product >> 14), clamped by the signed pack below once biased by -32768.
      b[half] = _mm256_sub_epi32(_mm256_add_epi32(y32, _mm256_srai_epi32(_mm256_madd_epi16(un(u, zero), k_ub), kShift)), bias32);
      r[half] = _mm256_sub_epi32(_mm256_add_epi32(y32, _mm256_srai_epi32(_mm256_madd_epi16(un(v, zero), k_vr), kShift)), bias32);
      g[half] = _mm256_sub_epi32(_mm256_sub_epi32(y32, _mm256_srai_epi32(_mm256_madd_epi16(un(u, v), k_g), kShift)), bias32);
    }
    const __m256i b16 = _mm256_xor_si256(_mm256_packs_epi32(b[0], b[1]), bias16);
    const __m256i g16 = _mm256_xor_si256(_mm256_packs_epi32(g[0], g[1]), bias16);
    const __m256i r16 = _mm256_xor_si256(_mm256_packs_epi32(r[0], r[1]), bias16);
    const __m256i bg_lo = _mm256_unpacklo_epi16(b16, g16), bg_hi = _mm256_unpackhi_epi16(b16, g16);
    const __m256i ra_lo = _mm256_unpacklo_epi16(r16, alpha), ra_hi = _mm256_unpackhi_epi16(r16, alpha);
    const __m256i q0 = _mm256_unpacklo_epi32(bg_lo, ra_lo);  // pixels 0, 1 | 8, 9
    const __m256i q1 = _mm256_unpackhi_epi32(bg_lo, ra_lo);  // pixels 2, 3 | 10, 11
    const __m256i q2 = _mm256_unpacklo_epi32(bg_hi, ra_hi);  // pixels 4, 5 | 12, 13
    const __m256i q3 = _mm256_unpackhi_epi32(bg_hi, ra_hi);  // pixels 6, 7 | 14, 15
    uint8_t* out = d + 8 * x;
    const __m256i o0 = _mm256_permute2x128_si256(q0, q1, 0x20), o1 = _mm256_permute2x128_si256(q2, q3, 0x20);
    const __m256i o2 = _mm256_permute2x128_si256(q0, q1, 0x31), o3 = _mm256_permute2x128_si256(q2, q3, 0x31);
    if (streaming) {
      // Eight bytes a pixel: a frame is far larger than the caches and read
      // by someone else later, so it goes past them.
      __m256i* o = reinterpret_cast<__m256i*>(out);
      _mm256_stream_si256(o, o0), _mm256_stream_si256(o + 1, o1);
      _mm256_stream_si256(o + 2, o2), _mm256_stream_si256(o + 3, o3);
    } else {
      store32(out, o0), store32(out + 32, o1), store32(out + 64, o2), store32(out + 96, o3);
    }
  }
  return x;
}

int hue_saturation8_line_avx2(uint8_t* u, uint8_t* v, int n, int a, int b, int cu, int cv) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i wu = pair_lanes(a, -b), wv = pair_lanes(a, b);  // (u, v) . (a, -b) and (v, u) . (a, b)
  const __m256i ku = _mm256_set1_epi32(cu), kv = _mm256_set1_epi32(cv);
  int x = 0;
  for (; x + 32 <= n; x += 32) {
    const __m256i u8 = load32(u + x), v8 = load32(v + x);
    __m256i nu[2], nv[2];
    for (int half = 0; half < 2; ++half) {
      const __m256i u16 = half ? _mm256_unpackhi_epi8(u8, zero) : _mm256_unpacklo_epi8(u8, zero);
      const __m256i v16 = half ? _mm256_unpackhi_epi8(v8, zero) : _mm256_unpacklo_epi8(v8, zero);
      __m256i su[2], sv[2];
      for (int q = 0; q < 2; ++q) {
        const __m256i uv = q ? _mm256_unpackhi_epi16(u16, v16) : _mm256_unpacklo_epi16(u16, v16);
        const __m256i vu = q ? _mm256_unpackhi_epi16(v16, u16) : _mm256_unpacklo_epi16(v16, u16);
        su[q] = _mm256_add_epi32(div_pow2<5>(_mm256_madd_epi16(uv, wu)), ku);
        sv[q] = _mm256_add_epi32(div_pow2<5>(_mm256_madd_epi16(vu, wv)), kv);
      }
      nu[half] = _mm256_packs_epi32(su[0], su[1]);
      nv[half] = _mm256_packs_epi32(sv[0], sv[1]);
    }
    store32(u + x, _mm256_packus_epi16(nu[0], nu[1]));
    store32(v + x, _mm256_packus_epi16(nv[0], nv[1]));
  }
  return x;
}

int hue_saturation16_line_avx2(uint8_t* u, uint8_t* v, int n, int a, int b, int cu, int cv) {
  // Samples minus 32768 as signed lanes; a (u - 32768) - b (v - 32768) plus
  // 32768 (a - b) is a u - b v exactly.
  const __m256i bias16 = _mm256_set1_epi16(static_cast<short>(0x8000));
  const __m256i wu = pair_lanes(a, -b), wv = pair_lanes(a, b);
  const __m256i ru = _mm256_set1_epi32(32768 * (a - b)), rv = _mm256_set1_epi32(32768 * (a + b));
  const __m256i ku = _mm256_set1_epi32(cu), kv = _mm256_set1_epi32(cv);
  int x = 0;
  for (; x + 16 <= n; x += 16) {
    const __m256i us = _mm256_xor_si256(load16x16(u, x), bias16), vs = _mm256_xor_si256(load16x16(v, x), bias16);
    __m256i su[2], sv[2];
    for (int q = 0; q < 2; ++q) {
      const __m256i uv = q ? _mm256_unpackhi_epi16(us, vs) : _mm256_unpacklo_epi16(us, vs);
      const __m256i vu = q ? _mm256_unpackhi_epi16(vs, us) : _mm256_unpacklo_epi16(vs, us);
      su[q] = _mm256_add_epi32(div_pow2<6>(_mm256_add_epi32(_mm256_madd_epi16(uv, wu), ru)), ku);
      sv[q] = _mm256_add_epi32(div_pow2<6>(_mm256_add_epi32(_mm256_madd_epi16(vu, wv), rv)), kv);
    }
    store16x16(u, x, _mm256_packus_epi32(su[0], su[1]));
    store16x16(v, x, _mm256_packus_epi32(sv[0], sv[1]));
  }
  return x;
}

int brightness_contrast8_line_avx2(uint8_t* p, int n, int gain64, int offset) {
  // Valid for |gain64| below 2^22: the products then fit 32 bits.
  const __m256i gain = _mm256_set1_epi32(gain64), off = _mm256_set1_epi32(offset);
  int x = 0;
  for (; x + 32 <= n; x += 32) {
    __m256i w[4];
    for (int q = 0; q < 4; ++q) {
      const __m256i v = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + x + 8 * q)));
      w[q] = _mm256_add_epi32(div_pow2<6>(_mm256_mullo_epi32(v, gain)), off);
    }
    // Signed packs saturate far outside 0..255; the unsigned one clamps.
    store32(p + x, pack_bytes(pack_words_signed(w[0], w[1]), pack_words_signed(w[2], w[3])));
  }
  return x;
}

int brightness_contrast16_line_avx2(uint8_t* p, int n, int gain64, int offset) {
  // Valid for |gain64| below 2^15: the products then fit 32 bits.
  const __m256i gain = _mm256_set1_epi32(gain64), off = _mm256_set1_epi32(offset);
  int x = 0;
  for (; x + 16 <= n; x += 16) {
    __m256i w[2];
    for (int q = 0; q < 2; ++q) {
      const __m256i v = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * (x + 8 * q))));
      w[q] = _mm256_add_epi32(div_pow2<6>(_mm256_mullo_epi32(v, gain)), off);
    }
    store16x16(p, x, pack_words(w[0], w[1]));
  }
  return x;
}

int gamma8_line_avx2(uint8_t* p, int n, const uint8_t* lut8) {
  // Four-byte reads at lut8 + index (at most 3 bytes past the 8-bit table,
  // inside the 16-bit one that follows it); the low byte is the entry.
  const int* base = reinterpret_cast<const int*>(lut8);
  const __m256i low = _mm256_set1_epi32(0xFF);
  int x = 0;
  for (; x + 32 <= n; x += 32) {
    __m256i w[4];
    for (int q = 0; q < 4; ++q) {
      const __m256i idx = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + x + 8 * q)));
      w[q] = _mm256_and_si256(_mm256_i32gather_epi32(base, idx, 1), low);
    }
    store32(p + x, pack_bytes(pack_words(w[0], w[1]), pack_words(w[2], w[3])));
  }
  return x;
}

int gamma16_line_avx2(uint8_t* p, int n, const uint16_t* lut16) {
  // Four-byte reads ending at entry `index` (from 2 bytes before it, inside
  // the 8-bit table that precedes the 16-bit one); the high half is the entry.
  const int* base = reinterpret_cast<const int*>(reinterpret_cast<const uint8_t*>(lut16) - 2);
  int x = 0;
  for (; x + 16 <= n; x += 16) {
    __m256i w[2];
    for (int q = 0; q < 2; ++q) {
      const __m256i idx = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * (x + 8 * q))));
      w[q] = _mm256_srli_epi32(_mm256_i32gather_epi32(base, idx, 2), 16);
    }
    store16x16(p, x, pack_words(w[0], w[1]));
  }
  return x;
}

}  // namespace stage_detail
}  // namespace img
