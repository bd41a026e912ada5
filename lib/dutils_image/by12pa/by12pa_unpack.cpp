// 12-bit packed Bayer to 16-bit Bayer: precondition checks and the row
// driver, a plain line kernel (the reference) and an SSSE3 line kernel that
// converts what it can and leaves the tail of each line to the plain one.
#include "by12pa/by12pa_unpack.h"

#include <stddef.h>

#include "by12pa/by12pa_unpack_internal.h"
#include "img/cpu_features.h"
#include "img/img_assert.h"

#if defined(__x86_64__) || defined(__i386__)
#define BY12PA_HAVE_SSSE3 1
#include <tmmintrin.h>
#else
#define BY12PA_HAVE_SSSE3 0
#endif

namespace img {
namespace {

// Where the low nibbles sit in each three-byte pair.
enum class packed_layout {
  c,  // b0 = p0 bits 11..4, b1 = p1 low nibble << 4 | p0 low nibble, b2 = p1 bits 11..4
  d,  // b0 = p0 bits 11..4, b1 = p1 bits 11..4, b2 = p1 low nibble << 4 | p0 low nibble
};

constexpr int kPairBytes = 3;       // two pixels in the source
constexpr int kOutPixelBytes = 2;   // one pixel in the destination
constexpr int kVectorMinWidth = 32; // below this the plain code runs alone

packed_layout layout_of(uint32_t fcc) {
  // The third character names the layout: "..CP" or "..DP".
  return ((fcc >> 16) & 0xFF) == 'D' ? packed_layout::d : packed_layout::c;
}

// Source bytes of one line of `width` pixels (12 bits each, rounded down).
int64_t packed_line_bytes(int64_t width) { return width * 12 / 8; }

int64_t abs64(int64_t v) { return v < 0 ? -v : v; }

// Bytes an image spans from its lowest to its highest used byte.
int64_t image_extent(int64_t pitch, int64_t lines, int64_t line_bytes) {
  return abs64(pitch) * (lines - 1) + line_bytes;
}

void store_le16(uint8_t* dst, uint32_t v) {
  dst[0] = static_cast<uint8_t>(v);
  dst[1] = static_cast<uint8_t>(v >> 8);
}

// Converts `width` pixels; the reference for every other variant.
template <packed_layout L>
void unpack_by12pa_line_plain(const uint8_t* src, uint8_t* dst, int width) {
  int x = 0;
  for (; x + 2 <= width; x += 2, src += kPairBytes, dst += 2 * kOutPixelBytes) {
    const uint32_t hi0 = src[0];
    const uint32_t hi1 = L == packed_layout::c ? src[2] : src[1];
    const uint32_t nibbles = L == packed_layout::c ? src[1] : src[2];
    store_le16(dst, hi0 << 8 | (nibbles << 4 & 0xF0));
    store_le16(dst + kOutPixelBytes, hi1 << 8 | (nibbles & 0xF0));
  }
  if (x < width) {
    // Odd width: only the high byte of the last pixel is in the line.
    store_le16(dst, uint32_t{src[0]} << 8);
  }
}

#if BY12PA_HAVE_SSSE3

constexpr int kVectorStepPixels = 16;    // two loads of four pairs each
constexpr int kVectorStepReadBytes = 28; // second load starts at byte 12 and reads 16

// Converts whole steps of 16 pixels while both 16-byte loads stay inside the
// line; returns the number of pixels converted (a multiple of 16).
template <packed_layout L>
__attribute__((target("ssse3"))) int unpack_by12pa_line_ssse3(const uint8_t* src, uint8_t* dst, int width) {
  // Gather, per output pixel, the 16-bit lane (low byte = nibble byte,
  // high byte = the pixel's high eight bits) from pairs 0..3 of a 12-byte group.
  const __m128i gather = L == packed_layout::c
                             ? _mm_setr_epi8(1, 0, 1, 2, 4, 3, 4, 5, 7, 6, 7, 8, 10, 9, 10, 11)
                             : _mm_setr_epi8(2, 0, 2, 1, 5, 3, 5, 4, 8, 6, 8, 7, 11, 9, 11, 10);
  // Even pixels keep the high byte and take the low nibble shifted up by 4;
  // odd pixels keep the high byte and the nibble byte's upper half as it is.
  const __m128i keep = _mm_set1_epi32(static_cast<int>(0xFFF0FF00u));
  const __m128i shifted_nibble = _mm_set1_epi32(0x000000F0);

  const int line_bytes = width / 2 * kPairBytes;
  int x = 0;
  for (; x / 2 * kPairBytes + kVectorStepReadBytes <= line_bytes; x += kVectorStepPixels) {
    const uint8_t* s = src + x / 2 * kPairBytes;
    uint8_t* d = dst + x * kOutPixelBytes;
    const __m128i in0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    const __m128i in1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * kPairBytes));
    // v: eight 16-bit lanes, pixel 2k = hi0 << 8 | nibbles, pixel 2k+1 = hi1 << 8 | nibbles.
    const __m128i v0 = _mm_shuffle_epi8(in0, gather);
    const __m128i v1 = _mm_shuffle_epi8(in1, gather);
    const __m128i out0 = _mm_or_si128(_mm_and_si128(v0, keep), _mm_and_si128(_mm_slli_epi16(v0, 4), shifted_nibble));
    const __m128i out1 = _mm_or_si128(_mm_and_si128(v1, keep), _mm_and_si128(_mm_slli_epi16(v1, 4), shifted_nibble));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), out0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 8 * kOutPixelBytes), out1);
  }
  return x;
}

#endif

enum class variant { plain, ssse3, avx2 };

template <packed_layout L>
void unpack_by12pa_rows(const img_descriptor& dst, const img_descriptor& src, int width, int height, variant v) {
  for (int y = 0; y < height; ++y) {
    const uint8_t* s = src.data + static_cast<ptrdiff_t>(y) * src.pitch;
    uint8_t* d = dst.data + static_cast<ptrdiff_t>(y) * dst.pitch;
    int done = 0;
#if BY12PA_HAVE_SSSE3
    if (v == variant::avx2) done = by12pa_detail::unpack_line_avx2(s, d, width, L == packed_layout::d);
    // The SSSE3 step goes on where the AVX2 one stopped (it is the smaller).
    if (v != variant::plain) {
      done += unpack_by12pa_line_ssse3<L>(s + done / 2 * kPairBytes, d + done * kOutPixelBytes, width - done);
    }
#endif
    unpack_by12pa_line_plain<L>(s + done / 2 * kPairBytes, d + done * kOutPixelBytes, width - done);
  }
}

}  // namespace

void transform_by12pa_to_by16(const img_descriptor& dst, const img_descriptor& src, uint32_t cpu_features) {
  IMG_ASSERT(transform_by12pa_to_by16_fcc(src.type) == dst.type,
             "transform_by12pa_to_by16_fcc( src.type ) == dst.type");
  IMG_ASSERT(dst.dim_x == src.dim_x && dst.dim_y == src.dim_y,
             "dst.dim_x == src.dim_x && dst.dim_y == src.dim_y");
  IMG_ASSERT(dst.dim_x % 2 == 0, "dst.dim_x % 2 == 0");
  if (!IMG_ASSERT(is_by12pa_fcc(src.type), "is_by12pa_fcc( src.type )")) return;

  // A size mismatch converts the area both images have.
  const int width = dst.dim_x < src.dim_x ? dst.dim_x : src.dim_x;
  const int height = dst.dim_y < src.dim_y ? dst.dim_y : src.dim_y;
  if (width <= 0 || height <= 0) return;

  if (!IMG_ASSERT(src.data != nullptr, "src.data != 0")) return;
  if (!IMG_ASSERT(dst.data != nullptr, "dst.data != 0")) return;
  const int64_t src_line = packed_line_bytes(width);
  const int64_t dst_line = int64_t{width} * kOutPixelBytes;
  if (!IMG_ASSERT(abs64(src.pitch) >= src_line, "abs( src.pitch ) >= src.dim_x * 12 / 8")) return;
  if (!IMG_ASSERT(abs64(dst.pitch) >= dst_line, "abs( dst.pitch ) >= dst.dim_x * 2")) return;
  if (!IMG_ASSERT(src.buffer_length >= image_extent(src.pitch, height, src_line),
                  "src.buffer_length >= abs( src.pitch ) * ( src.dim_y - 1 ) + src.dim_x * 12 / 8")) {
    return;
  }
  if (!IMG_ASSERT(dst.buffer_length >= image_extent(dst.pitch, height, dst_line),
                  "dst.buffer_length >= abs( dst.pitch ) * ( dst.dim_y - 1 ) + dst.dim_x * 2")) {
    return;
  }

  variant v = variant::plain;
  if (width >= kVectorMinWidth) {
    if (avx2_allowed(cpu_features)) {
      note_avx_entry("unpack_12bit");
      v = variant::avx2;
    } else if (cpu_features & cpu_ssse3) {
      v = variant::ssse3;
    }
  }
  if (layout_of(src.type) == packed_layout::c) {
    unpack_by12pa_rows<packed_layout::c>(dst, src, width, height, v);
  } else {
    unpack_by12pa_rows<packed_layout::d>(dst, src, width, height, v);
  }
}

}  // namespace img
