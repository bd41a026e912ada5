// The simple stages of the transform pipe (see transform_stages.h). Plain
// line code is the reference; the SSE2 kernels here and the SSSE3 ones in
// transform_stages_ssse3.cpp do what they can and the plain code finishes.
#include "img/transform_stages.h"

#include <emmintrin.h>
#include <string.h>

#include "img/cpu_features.h"
#include "img/img_assert.h"
#include "img/transform_image.h"
#include "img/transform_stage_kernels.h"
#include "img/transform_stages_internal.h"

namespace img {
namespace {

constexpr int kWbShift = 6;  // gains: 64 = 1.0

// ------------------------------------------------------ white balance ----

// Gains of the even and odd columns of a pattern's first and second line.
struct line_gains {
  int even;
  int odd;
};

void pattern_gains(bayer_pattern pattern, const wb_gains& g, line_gains& first, line_gains& second) {
  const int r = g.r & 0xFF, gr = g.g & 0xFF, b = g.b & 0xFF, gb = g.g2 & 0xFF;
  switch (pattern) {
    case bayer_bggr: first = {b, gb}; second = {gr, r}; break;
    case bayer_gbrg: first = {gb, b}; second = {r, gr}; break;
    case bayer_grbg: first = {gr, r}; second = {b, gb}; break;
    default: first = {r, gr}; second = {gb, b}; break;  // RGGB
  }
}

inline __m128i gain_lanes(int even, int odd) {
  return _mm_set1_epi32(static_cast<int>((static_cast<uint32_t>(odd) << 16) | static_cast<uint32_t>(even)));
}

int wb_line8_sse2(uint8_t* p, int n, int even, int odd) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i gains = gain_lanes(even, odd);
  int x = 0;
  for (; x + 16 <= n; x += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + x));
    // Products are at most 255 x 255; >> 6 fits signed 16 bits, packus clamps.
    const __m128i lo = _mm_srli_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(v, zero), gains), kWbShift);
    const __m128i hi = _mm_srli_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(v, zero), gains), kWbShift);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + x), _mm_packus_epi16(lo, hi));
  }
  return x;
}

int wb_line16_sse2(uint8_t* p, int n, int even, int odd) {
  const __m128i gains = gain_lanes(even, odd);
  const __m128i limit = _mm_set1_epi16((1 << kWbShift) - 1);
  int x = 0;
  for (; x + 8 <= n; x += 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * x));
    const __m128i lo = _mm_mullo_epi16(v, gains);  // product bits 0..15
    const __m128i hi = _mm_mulhi_epu16(v, gains);  // product bits 16..31 (at most 254)
    const __m128i shifted = _mm_or_si128(_mm_srli_epi16(lo, kWbShift), _mm_slli_epi16(hi, 16 - kWbShift));
    const __m128i overflow = _mm_cmpgt_epi16(hi, limit);  // product >> 6 does not fit 16 bits
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 2 * x), _mm_or_si128(shifted, overflow));
  }
  return x;
}

template <typename T>
void wb_line_plain(uint8_t* p, int from, int n, const line_gains& g) {
  constexpr int kMax = sizeof(T) == 1 ? 255 : 65535;
  for (int x = from; x < n; ++x) {
    const int v = (load_sample<T>(p, x) * ((x & 1) ? g.odd : g.even)) >> kWbShift;
    store_sample(p, x, static_cast<T>(v > kMax ? kMax : v));
  }
}

// ------------------------------------------------------------- copies ----

struct plane_view {
  uint8_t* line0;
  ptrdiff_t pitch;
  int lines;
  int64_t bytes;  // per line
};

// Plane k of an image; false when the image has no such plane.
bool get_plane(const img_descriptor& d, int k, plane_view& pv) {
  const int planes = plane_count(d.type);
  if (k >= planes) return false;
  if (d.type == FOURCC_I420 || d.type == FOURCC_YV16) {
    // Chroma planes at half the pitch, stored after the luminance plane in
    // the direction of the buffer.
    const ptrdiff_t abs_pitch = d.pitch < 0 ? -static_cast<ptrdiff_t>(d.pitch) : d.pitch;
    uint8_t* base = d.pitch < 0 ? d.data + static_cast<ptrdiff_t>(d.dim_y - 1) * d.pitch : d.data;
    const int chroma_lines = d.type == FOURCC_I420 ? d.dim_y / 2 : d.dim_y;
    const ptrdiff_t chroma_size = (abs_pitch / 2) * chroma_lines;
    if (k == 0) {
      pv = {d.data, d.pitch, d.dim_y, d.dim_x};
      return true;
    }
    uint8_t* plane = base + abs_pitch * d.dim_y + (k - 1) * chroma_size;
    const ptrdiff_t cp = abs_pitch / 2;
    pv = {d.pitch < 0 ? plane + (chroma_lines - 1) * cp : plane, d.pitch < 0 ? -cp : cp, chroma_lines, d.dim_x / 2};
    return true;
  }
  pv = {plane_line(d, k, 0), d.pitch, d.dim_y, line_bytes(d.type, d.dim_x)};
  return true;
}

// ----------------------------------------------------- YUV16 to RGB64 ----

// BT.601 in 14-bit fixed point: 1.40296, 0.34399, 0.71399, 1.76996.
constexpr int kVr = 22986, kUg = 5636, kVg = 11698, kUb = 28999, kShift = 14;

// Y + (chroma product >> 14) for four pixels, clamped to 0..65535 and
// returned biased by -32768 in signed 16-bit range (packs_epi32 then
// saturates exactly at the clamp limits).
inline __m128i add_scaled(__m128i y32, __m128i product) {
  return _mm_sub_epi32(_mm_add_epi32(y32, _mm_srai_epi32(product, kShift)), _mm_set1_epi32(32768));
}

int yuv16p_to_rgb64_line_sse2(uint8_t* d, const uint8_t* py, const uint8_t* pu, const uint8_t* pv, int n) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i bias16 = _mm_set1_epi16(static_cast<short>(0x8000));
  const __m128i k_vr = debayer_detail::pair16(kVr, 0);
  const __m128i k_ub = debayer_detail::pair16(kUb, 0);
  const __m128i k_g = debayer_detail::pair16(kUg, kVg);
  const __m128i alpha = _mm_set1_epi16(-1);
  int x = 0;
  for (; x + 8 <= n; x += 8) {
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(py + 2 * x));
    // Chroma minus 32768 as signed 16-bit: flip the top bit.
    const __m128i u = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(pu + 2 * x)), bias16);
    const __m128i v = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(pv + 2 * x)), bias16);
    __m128i b[2], g[2], r[2];
    for (int half = 0; half < 2; ++half) {
      const __m128i y32 = half ? _mm_unpackhi_epi16(y, zero) : _mm_unpacklo_epi16(y, zero);
      const __m128i u0 = half ? _mm_unpackhi_epi16(u, zero) : _mm_unpacklo_epi16(u, zero);  // (u, 0) pairs
      const __m128i v0 = half ? _mm_unpackhi_epi16(v, zero) : _mm_unpacklo_epi16(v, zero);
      const __m128i uv = half ? _mm_unpackhi_epi16(u, v) : _mm_unpacklo_epi16(u, v);
      b[half] = add_scaled(y32, _mm_madd_epi16(u0, k_ub));
      r[half] = add_scaled(y32, _mm_madd_epi16(v0, k_vr));
      // G = Y - ((5636 u + 11698 v) >> 14)
      g[half] = _mm_sub_epi32(_mm_sub_epi32(y32, _mm_srai_epi32(_mm_madd_epi16(uv, k_g), kShift)),
                              _mm_set1_epi32(32768));
    }
    const __m128i b16 = _mm_xor_si128(_mm_packs_epi32(b[0], b[1]), bias16);
    const __m128i g16 = _mm_xor_si128(_mm_packs_epi32(g[0], g[1]), bias16);
    const __m128i r16 = _mm_xor_si128(_mm_packs_epi32(r[0], r[1]), bias16);
    const __m128i bg_lo = _mm_unpacklo_epi16(b16, g16), bg_hi = _mm_unpackhi_epi16(b16, g16);
    const __m128i ra_lo = _mm_unpacklo_epi16(r16, alpha), ra_hi = _mm_unpackhi_epi16(r16, alpha);
    __m128i* out = reinterpret_cast<__m128i*>(d + 8 * x);
    _mm_storeu_si128(out + 0, _mm_unpacklo_epi32(bg_lo, ra_lo));  // pixels 0, 1: B G R A each
    _mm_storeu_si128(out + 1, _mm_unpackhi_epi32(bg_lo, ra_lo));  // pixels 2, 3
    _mm_storeu_si128(out + 2, _mm_unpacklo_epi32(bg_hi, ra_hi));  // pixels 4, 5
    _mm_storeu_si128(out + 3, _mm_unpackhi_epi32(bg_hi, ra_hi));  // pixels 6, 7
  }
  return x;
}

}  // namespace

void apply_raw_white_balance(const img_descriptor& img, const wb_gains& gains, uint32_t cpu_features) {
  const bool by8 = is_by8_fcc(img.type);
  if (!by8 && !is_by16_fcc(img.type)) return;
  if (!IMG_ASSERT(image_fits(img), "image_fits( img )")) return;
  line_gains first, second;
  pattern_gains(get_bayer_pattern(img.type), gains, first, second);
  int (*vector)(uint8_t*, int, int, int) = nullptr;
  if (avx2_allowed(cpu_features)) {
    note_avx_entry("white_balance");
    vector = by8 ? stage_detail::wb_line8_avx2 : stage_detail::wb_line16_avx2;
  } else if (cpu_features & cpu_sse2) {
    vector = by8 ? wb_line8_sse2 : wb_line16_sse2;
  }
  const auto plain = by8 ? wb_line_plain<uint8_t> : wb_line_plain<uint16_t>;
  for (int y = 0; y < img.dim_y; ++y) {
    const line_gains& g = (y & 1) ? second : first;
    uint8_t* p = line_ptr(img, y);
    plain(p, vector ? vector(p, img.dim_x, g.even, g.odd) : 0, img.dim_x, g);
  }
}

void flip_copy(const img_descriptor& dst, const img_descriptor& src, bool flip) {
  if (!IMG_ASSERT(dst.type == src.type && dst.dim_x == src.dim_x && dst.dim_y == src.dim_y,
                  "dst.type == src.type && dst.dim_x == src.dim_x && dst.dim_y == src.dim_y"))
    return;
  if (!IMG_ASSERT(image_fits(src) && image_fits(dst), "image_fits( src ) && image_fits( dst )")) return;
  const int64_t line = line_bytes(src.type, src.dim_x);
  if (!flip && src.pitch == dst.pitch && src.pitch == line) {
    memcpy(dst.data, src.data, static_cast<size_t>(calc_buffer_length(src.type, src.pitch, src.dim_y)));
    return;
  }
  for (int k = 0; k < plane_count(src.type); ++k) {
    plane_view s, d;
    get_plane(src, k, s);
    get_plane(dst, k, d);
    for (int y = 0; y < s.lines; ++y) {
      const int dy = flip ? s.lines - 1 - y : y;
      memcpy(d.line0 + dy * d.pitch, s.line0 + y * s.pitch, static_cast<size_t>(s.bytes));
    }
  }
}

void byte_copy(const img_descriptor& dst, const img_descriptor& src) {
  if (dst.data == nullptr || src.data == nullptr || dst.buffer_length <= 0 || src.buffer_length <= 0) return;
  // For bottom-up images the buffer starts at the last line.
  const uint8_t* s = src.pitch < 0 ? src.data + static_cast<ptrdiff_t>(src.dim_y - 1) * src.pitch : src.data;
  uint8_t* d = dst.pitch < 0 ? dst.data + static_cast<ptrdiff_t>(dst.dim_y - 1) * dst.pitch : dst.data;
  const int n = src.buffer_length < dst.buffer_length ? src.buffer_length : dst.buffer_length;
  memmove(d, s, static_cast<size_t>(n));
}

void smooth_2x2(const img_descriptor& img, uint32_t cpu_features) {
  if (img.type != FOURCC_Y800) return;
  if (!IMG_ASSERT(image_fits(img), "image_fits( img )")) return;
  const int w = img.dim_x, h = img.dim_y;
  if ((cpu_features & cpu_sse2) && w >= 32) {
    for (int y = 0; y + 1 < h; ++y) {
      uint8_t* a = line_ptr(img, y);
      const uint8_t* b = line_ptr(img, y + 1);
      int x = 0;
      for (; x + 17 <= w; x += 16) {
        const __m128i v0 = _mm_avg_epu8(debayer_detail::load16(a + x), debayer_detail::load16(b + x));
        const __m128i v1 = _mm_avg_epu8(debayer_detail::load16(a + x + 1), debayer_detail::load16(b + x + 1));
        debayer_detail::store16(a + x, _mm_avg_epu8(v0, v1));
      }
      for (; x < w - 1; ++x) {
        const int v0 = (a[x] + b[x] + 1) >> 1;
        const int v1 = (a[x + 1] + b[x + 1] + 1) >> 1;
        a[x] = static_cast<uint8_t>((v0 + v1 + 1) >> 1);
      }
    }
    return;
  }
  for (int y = 1; y + 1 < h; ++y) {
    uint8_t* a = line_ptr(img, y);
    const uint8_t* b = line_ptr(img, y + 1);
    for (int x = 0; x < w - 1; ++x) a[x] = static_cast<uint8_t>((a[x] + a[x + 1] + b[x] + b[x + 1]) >> 2);
  }
}

namespace {
int expand_grey_line_sse2(uint8_t* dst, const uint8_t* src, int dim_x) {
  return stage_detail::expand_grey_line<debayer_detail::v_sse2>(dst, src, dim_x, false);
}
}  // namespace

void expand_y800_to_rgb24(const img_descriptor& dst, const img_descriptor& src, bool flip, uint32_t cpu_features) {
  if (!IMG_ASSERT(src.type == FOURCC_Y800 && dst.type == FOURCC_RGB24,
                  "src.type == FOURCC_Y800 && dst.type == FOURCC_RGB24"))
    return;
  if (!IMG_ASSERT(src.dim_x == dst.dim_x && src.dim_y == dst.dim_y, "src.dim_x == dst.dim_x && src.dim_y == dst.dim_y"))
    return;
  if (!IMG_ASSERT(image_fits(src) && image_fits(dst), "image_fits( src ) && image_fits( dst )")) return;
  int (*vector)(uint8_t*, const uint8_t*, int) = nullptr;
  if (cpu_features & cpu_ssse3) {
    vector = stage_detail::expand_grey_line_ssse3;
  } else if (cpu_features & cpu_sse2) {
    vector = expand_grey_line_sse2;
  }
  const int h = src.dim_y;
  for (int y = 0; y < h; ++y) {
    const uint8_t* s = line_ptr(src, y);
    uint8_t* d = line_ptr(dst, flip ? h - 1 - y : y);
    for (int x = vector ? vector(d, s, src.dim_x) : 0; x < src.dim_x; ++x) d[3 * x] = d[3 * x + 1] = d[3 * x + 2] = s[x];
  }
}

void unpack_yuy2_to_yuv8p(const img_descriptor& dst, const img_descriptor& src) {
  if (!IMG_ASSERT(src.type == FOURCC_YUY2 && dst.type == FOURCC_YUV8PLANAR,
                  "src.type == FOURCC_YUY2 && dst.type == FOURCC_YUV8PLANAR"))
    return;
  if (!IMG_ASSERT(src.dim_x == dst.dim_x && src.dim_y == dst.dim_y, "src.dim_x == dst.dim_x && src.dim_y == dst.dim_y"))
    return;
  if (!IMG_ASSERT(image_fits(src) && image_fits(dst), "image_fits( src ) && image_fits( dst )")) return;
  for (int y = 0; y < src.dim_y; ++y) {
    const uint8_t* s = line_ptr(src, y);
    uint8_t* py = plane_line(dst, 0, y);
    uint8_t* pu = plane_line(dst, 1, y);
    uint8_t* pv = plane_line(dst, 2, y);
    for (int x = 0; x + 1 < src.dim_x; x += 2, s += 4) {
      py[x] = s[0];
      py[x + 1] = s[2];
      pu[x] = pu[x + 1] = s[1];
      pv[x] = pv[x + 1] = s[3];
    }
    if (src.dim_x & 1) {  // a lone last pixel has only Y0 and U of its pair
      const int x = src.dim_x - 1;
      py[x] = s[0];
      pu[x] = s[1];
      pv[x] = 128;
    }
  }
}

void pack_yuv8p_to_yuy2(const img_descriptor& dst, const img_descriptor& src) {
  if (!IMG_ASSERT(src.type == FOURCC_YUV8PLANAR && dst.type == FOURCC_YUY2,
                  "src.type == FOURCC_YUV8PLANAR && dst.type == FOURCC_YUY2"))
    return;
  if (!IMG_ASSERT(src.dim_x == dst.dim_x && src.dim_y == dst.dim_y, "src.dim_x == dst.dim_x && src.dim_y == dst.dim_y"))
    return;
  if (!IMG_ASSERT(image_fits(src) && image_fits(dst), "image_fits( src ) && image_fits( dst )")) return;
  for (int y = 0; y < src.dim_y; ++y) {
    const uint8_t* py = plane_line(src, 0, y);
    const uint8_t* pu = plane_line(src, 1, y);
    const uint8_t* pv = plane_line(src, 2, y);
    uint8_t* d = line_ptr(dst, y);
    for (int x = 0; x + 1 < src.dim_x; x += 2, d += 4) {
      d[0] = py[x];
      d[1] = static_cast<uint8_t>((pu[x] + pu[x + 1]) >> 1);
      d[2] = py[x + 1];
      d[3] = static_cast<uint8_t>((pv[x] + pv[x + 1]) >> 1);
    }
    if (src.dim_x & 1) {
      const int x = src.dim_x - 1;
      d[0] = py[x];
      d[1] = pu[x];
    }
  }
}

void convert_yuv8p_to_i420(const img_descriptor& dst, const img_descriptor& src) {
  if (!IMG_ASSERT(src.type == FOURCC_YUV8PLANAR && dst.type == FOURCC_I420,
                  "src.type == FOURCC_YUV8PLANAR && dst.type == FOURCC_I420"))
    return;
  if (!IMG_ASSERT(src.dim_x == dst.dim_x && src.dim_y == dst.dim_y, "src.dim_x == dst.dim_x && src.dim_y == dst.dim_y"))
    return;
  if (!IMG_ASSERT(image_fits(src) && image_fits(dst), "image_fits( src ) && image_fits( dst )")) return;
  plane_view dy, du, dv;
  get_plane(dst, 0, dy);
  get_plane(dst, 1, du);
  get_plane(dst, 2, dv);
  for (int y = 0; y < src.dim_y; ++y)
    memcpy(dy.line0 + y * dy.pitch, plane_line(src, 0, y), static_cast<size_t>(src.dim_x));
  for (int cy = 0; cy < du.lines; ++cy) {
    for (int k = 1; k < 3; ++k) {
      const uint8_t* a = plane_line(src, k, 2 * cy);
      const uint8_t* b = plane_line(src, k, 2 * cy + 1);
      uint8_t* d = (k == 1 ? du : dv).line0 + cy * du.pitch;
      for (int cx = 0; cx < src.dim_x / 2; ++cx)
        d[cx] = static_cast<uint8_t>((a[2 * cx] + a[2 * cx + 1] + b[2 * cx] + b[2 * cx + 1]) >> 2);
    }
  }
}

namespace {

using rgb_line_fn = int (*)(uint8_t*, const uint8_t*, const uint8_t*, const uint8_t*, int);

int rgb24_line_ssse3(uint8_t* d, const uint8_t* py, const uint8_t* pu, const uint8_t* pv, int n) {
  return stage_detail::yuv8p_to_rgb24_line_ssse3(d, py, pu, pv, n);
}
int rgb32_line_sse2(uint8_t* d, const uint8_t* py, const uint8_t* pu, const uint8_t* pv, int n) {
  return stage_detail::yuv8p_to_rgb_line<debayer_detail::v_sse2>(d, py, pu, pv, n, true);
}
int rgb24_line_avx2(uint8_t* d, const uint8_t* py, const uint8_t* pu, const uint8_t* pv, int n) {
  return stage_detail::yuv8p_to_rgb_line_avx2(d, py, pu, pv, n, false);
}
int rgb32_line_avx2(uint8_t* d, const uint8_t* py, const uint8_t* pu, const uint8_t* pv, int n) {
  return stage_detail::yuv8p_to_rgb_line_avx2(d, py, pu, pv, n, true);
}

// "YUGp" to "RGB6", one line from column `from`: the plain code.
void rgb64_line_from(uint8_t* d, const uint8_t* py, const uint8_t* pu, const uint8_t* pv, int from, int n) {
  for (int x = from; x < n; ++x) {
    const int yy = load_sample<uint16_t>(py, x), u = load_sample<uint16_t>(pu, x) - 32768,
              v = load_sample<uint16_t>(pv, x) - 32768;
    store_sample(d, 4 * x + 0, static_cast<uint16_t>(clamp_u16(yy + ((kUb * u) >> kShift))));
    store_sample(d, 4 * x + 1, static_cast<uint16_t>(clamp_u16(yy - ((kUg * u + kVg * v) >> kShift))));
    store_sample(d, 4 * x + 2, static_cast<uint16_t>(clamp_u16(yy + ((kVr * v) >> kShift))));
    store_sample(d, 4 * x + 3, uint16_t{0xFFFF});
  }
}
void rgb64_line_plain(uint8_t* d, const uint8_t* py, const uint8_t* pu, const uint8_t* pv, int n) {
  rgb64_line_from(d, py, pu, pv, 0, n);
}
// The vector kernel, the plain code for the rest. The kernel starts at the
// first pixel whose output is aligned to 32 bytes (when the line's pixels
// are aligned to 8 at all), so that it can write past the caches.
template <int (*Vector)(uint8_t*, const uint8_t*, const uint8_t*, const uint8_t*, int)>
void rgb64_line(uint8_t* d, const uint8_t* py, const uint8_t* pu, const uint8_t* pv, int n) {
  const uintptr_t address = reinterpret_cast<uintptr_t>(d);
  int head = (address & 7) == 0 ? static_cast<int>(((32 - (address & 31)) & 31) / 8) : 0;
  head = head < n ? head : n;
  rgb64_line_from(d, py, pu, pv, 0, head);
  const int done = head + Vector(d + 8 * head, py + 2 * head, pu + 2 * head, pv + 2 * head, n - head);
  rgb64_line_from(d, py, pu, pv, done, n);
}

}  // namespace

void convert_yuv8p_to_rgb(const img_descriptor& dst, const img_descriptor& src, bool flip, uint32_t cpu_features) {
  if (!IMG_ASSERT(src.type == FOURCC_YUV8PLANAR && (dst.type == FOURCC_RGB24 || dst.type == FOURCC_RGB32),
                  "src.type == FOURCC_YUV8PLANAR && (dst.type == FOURCC_RGB24 || dst.type == FOURCC_RGB32)"))
    return;
  if (!IMG_ASSERT(src.dim_x == dst.dim_x && src.dim_y == dst.dim_y, "src.dim_x == dst.dim_x && src.dim_y == dst.dim_y"))
    return;
  if (!IMG_ASSERT(image_fits(src) && image_fits(dst), "image_fits( src ) && image_fits( dst )")) return;
  const bool four = dst.type == FOURCC_RGB32;
  const int bytes = four ? 4 : 3;
  rgb_line_fn vector = nullptr;
  if (src.dim_x > 16) {
    if (avx2_allowed(cpu_features)) {
      note_avx_entry("yuv8p_to_rgb");
      vector = four ? rgb32_line_avx2 : rgb24_line_avx2;
    } else if (!four && (cpu_features & cpu_ssse3)) {
      vector = rgb24_line_ssse3;
    } else if (four && (cpu_features & cpu_sse2)) {
      vector = rgb32_line_sse2;
    }
  }
  const int h = src.dim_y;
  for (int y = 0; y < h; ++y) {
    const uint8_t* py = plane_line(src, 0, y);
    const uint8_t* pu = plane_line(src, 1, y);
    const uint8_t* pv = plane_line(src, 2, y);
    uint8_t* d = line_ptr(dst, flip ? y : h - 1 - y);
    for (int x = vector ? vector(d, py, pu, pv, src.dim_x) : 0; x < src.dim_x; ++x) {
      const int yy = py[x], u = pu[x] - 128, v = pv[x] - 128;
      uint8_t* p = d + bytes * x;
      p[0] = static_cast<uint8_t>(clamp_u8(yy + u * 111 / 64));
      p[1] = static_cast<uint8_t>(clamp_u8(yy - (21 * u + 45 * v) / 64));
      p[2] = static_cast<uint8_t>(clamp_u8(yy + v * 87 / 64));
      if (four) p[3] = 0xFF;
    }
  }
}

yuv16p_to_rgb64_line_fn choose_yuv16p_to_rgb64_line(uint32_t cpu_features) {
  if (avx2_allowed(cpu_features)) {
    note_avx_entry("yuv16p_to_rgb64");
    return rgb64_line<stage_detail::yuv16p_to_rgb64_line_avx2>;
  }
  if (cpu_features & cpu_sse2) return rgb64_line<yuv16p_to_rgb64_line_sse2>;
  return rgb64_line_plain;
}

void convert_yuv16p_to_rgb64(const img_descriptor& dst, const img_descriptor& src, bool flip, uint32_t cpu_features) {
  if (!IMG_ASSERT(src.type == FOURCC_YUV16PLANAR && dst.type == FOURCC_RGB64,
                  "src.type == FOURCC_YUV16PLANAR && dst.type == FOURCC_RGB64"))
    return;
  if (!IMG_ASSERT(src.dim_x == dst.dim_x && src.dim_y == dst.dim_y, "src.dim_x == dst.dim_x && src.dim_y == dst.dim_y"))
    return;
  if (!IMG_ASSERT(image_fits(src) && image_fits(dst), "image_fits( src ) && image_fits( dst )")) return;
  const yuv16p_to_rgb64_line_fn line = choose_yuv16p_to_rgb64_line(cpu_features);
  const int h = src.dim_y;
  for (int y = 0; y < h; ++y)
    line(line_ptr(dst, flip ? y : h - 1 - y), plane_line(src, 0, y), plane_line(src, 1, y), plane_line(src, 2, y),
         src.dim_x);
  end_streaming_stores();
}

void end_streaming_stores() { _mm_sfence(); }

}  // namespace img
