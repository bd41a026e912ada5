// Pixel-format facts and the pure functions over FOURCCs: bits per pixel,
// pitch and buffer size, Bayer pattern and the 12-bit packed to 16-bit
// mapping. Everything is read from one constant table; the conversions
// themselves live with their stages.
#include "img/img_type.h"

#include <stddef.h>

namespace img {
namespace {

// How the lines of the first (or only) plane are sized.
enum class pitch_rule : uint8_t {
  from_bpp,   // bits per pixel x dim_x / 8
  bytes_1,    // 1 x dim_x: the 8-bit luminance plane of a planar format
  bytes_2,    // 2 x dim_x: planes of 16-bit samples
  bytes_4,    // 4 x dim_x: planes of 32-bit floats
};

// How many bytes the whole image takes, in units of |pitch| x dim_y.
enum class plane_rule : uint8_t {
  single,      // one plane
  yuv420,      // luminance plane plus two quarter-size chroma planes
  yuv422,      // luminance plane plus two half-size chroma planes
  three_full,  // three full-size planes
};

enum class raw_kind : uint8_t { none, by8, by16, by12pa };

constexpr int8_t kNoPattern = -1;

struct format_info {
  uint32_t fcc;
  uint8_t bits_per_pixel;
  pitch_rule pitch;
  plane_rule planes;
  raw_kind raw;
  int8_t pattern;     // bayer_pattern of a raw format, kNoPattern otherwise
  uint32_t unpacked;  // 16-bit Bayer FOURCC a 12-bit packed format unpacks to
};

constexpr format_info kFormats[] = {
    // Luminance.
    {FOURCC_Y800, 8, pitch_rule::from_bpp, plane_rule::single, raw_kind::none, kNoPattern, 0},
    {FOURCC_Y16, 16, pitch_rule::from_bpp, plane_rule::single, raw_kind::none, kNoPattern, 0},
    {FOURCC_Y12P, 12, pitch_rule::from_bpp, plane_rule::single, raw_kind::none, kNoPattern, 0},
    {FOURCC_YGB0, 16, pitch_rule::from_bpp, plane_rule::single, raw_kind::none, kNoPattern, 0},
    {FOURCC_YGB1, 16, pitch_rule::from_bpp, plane_rule::single, raw_kind::none, kNoPattern, 0},
    // 8-bit Bayer; "BY8 " carries no pattern of its own and is taken as GBRG.
    {FOURCC_BY8, 8, pitch_rule::from_bpp, plane_rule::single, raw_kind::by8, bayer_gbrg, 0},
    {FOURCC_BGGR8, 8, pitch_rule::from_bpp, plane_rule::single, raw_kind::by8, bayer_bggr, 0},
    {FOURCC_GBRG8, 8, pitch_rule::from_bpp, plane_rule::single, raw_kind::by8, bayer_gbrg, 0},
    {FOURCC_GRBG8, 8, pitch_rule::from_bpp, plane_rule::single, raw_kind::by8, bayer_grbg, 0},
    {FOURCC_RGGB8, 8, pitch_rule::from_bpp, plane_rule::single, raw_kind::by8, bayer_rggb, 0},
    // 16-bit Bayer ("BA16" is GRBG).
    {FOURCC_BGGR16, 16, pitch_rule::from_bpp, plane_rule::single, raw_kind::by16, bayer_bggr, 0},
    {FOURCC_GBRG16, 16, pitch_rule::from_bpp, plane_rule::single, raw_kind::by16, bayer_gbrg, 0},
    {FOURCC_GRBG16, 16, pitch_rule::from_bpp, plane_rule::single, raw_kind::by16, bayer_grbg, 0},
    {FOURCC_RGGB16, 16, pitch_rule::from_bpp, plane_rule::single, raw_kind::by16, bayer_rggb, 0},
    // 12-bit packed Bayer, layout C.
    {FOURCC_BGGR12_PACKED_C, 12, pitch_rule::from_bpp, plane_rule::single, raw_kind::by12pa, bayer_bggr, FOURCC_BGGR16},
    {FOURCC_GBRG12_PACKED_C, 12, pitch_rule::from_bpp, plane_rule::single, raw_kind::by12pa, bayer_gbrg, FOURCC_GBRG16},
    {FOURCC_GRBG12_PACKED_C, 12, pitch_rule::from_bpp, plane_rule::single, raw_kind::by12pa, bayer_grbg, FOURCC_GRBG16},
    {FOURCC_RGGB12_PACKED_C, 12, pitch_rule::from_bpp, plane_rule::single, raw_kind::by12pa, bayer_rggb, FOURCC_RGGB16},
    // 12-bit packed Bayer, layout D.
    {FOURCC_BGGR12_PACKED_D, 12, pitch_rule::from_bpp, plane_rule::single, raw_kind::by12pa, bayer_bggr, FOURCC_BGGR16},
    {FOURCC_GBRG12_PACKED_D, 12, pitch_rule::from_bpp, plane_rule::single, raw_kind::by12pa, bayer_gbrg, FOURCC_GBRG16},
    {FOURCC_GRBG12_PACKED_D, 12, pitch_rule::from_bpp, plane_rule::single, raw_kind::by12pa, bayer_grbg, FOURCC_GRBG16},
    {FOURCC_RGGB12_PACKED_D, 12, pitch_rule::from_bpp, plane_rule::single, raw_kind::by12pa, bayer_rggb, FOURCC_RGGB16},
    // YUV; the planar formats give the pitch of their first plane.
    {FOURCC_YUY2, 16, pitch_rule::from_bpp, plane_rule::single, raw_kind::none, kNoPattern, 0},
    {FOURCC_UYVY, 16, pitch_rule::from_bpp, plane_rule::single, raw_kind::none, kNoPattern, 0},
    {FOURCC_I420, 12, pitch_rule::bytes_1, plane_rule::yuv420, raw_kind::none, kNoPattern, 0},
    {FOURCC_YV16, 16, pitch_rule::bytes_1, plane_rule::yuv422, raw_kind::none, kNoPattern, 0},
    {FOURCC_IYU1, 12, pitch_rule::from_bpp, plane_rule::single, raw_kind::none, kNoPattern, 0},
    {FOURCC_IYU2, 24, pitch_rule::from_bpp, plane_rule::single, raw_kind::none, kNoPattern, 0},
    {FOURCC_YUV8PLANAR, 24, pitch_rule::bytes_1, plane_rule::three_full, raw_kind::none, kNoPattern, 0},
    {FOURCC_YUV16PLANAR, 48, pitch_rule::bytes_2, plane_rule::three_full, raw_kind::none, kNoPattern, 0},
    {FOURCC_YUVF32PLANAR, 96, pitch_rule::bytes_4, plane_rule::three_full, raw_kind::none, kNoPattern, 0},
    // RGB.
    {FOURCC_RGB8, 8, pitch_rule::from_bpp, plane_rule::single, raw_kind::none, kNoPattern, 0},
    {FOURCC_RGB24, 24, pitch_rule::from_bpp, plane_rule::single, raw_kind::none, kNoPattern, 0},
    {FOURCC_RGB32, 32, pitch_rule::from_bpp, plane_rule::single, raw_kind::none, kNoPattern, 0},
    {FOURCC_RGB64, 64, pitch_rule::from_bpp, plane_rule::single, raw_kind::none, kNoPattern, 0},
    // Compressed; 24 bits per pixel is only the size estimate.
    {FOURCC_MJPG, 24, pitch_rule::from_bpp, plane_rule::single, raw_kind::none, kNoPattern, 0},
};

constexpr int kFormatCount = static_cast<int>(sizeof(kFormats) / sizeof(kFormats[0]));

// The 8-bit Bayer FOURCC of each pattern index.
constexpr uint32_t kBy8ByPattern[] = {
    FOURCC_BGGR8,  // bayer_bggr
    FOURCC_GBRG8,  // bayer_gbrg
    FOURCC_GRBG8,  // bayer_grbg
    FOURCC_RGGB8,  // bayer_rggb
};

const format_info* find_format(uint32_t fcc) {
  for (const format_info& f : kFormats) {
    if (f.fcc == fcc) return &f;
  }
  return nullptr;
}

// Clamps a 64-bit size into the 32-bit fields of img_type. Saturating keeps
// an oversized image from wrapping into a small, seemingly valid length.
int32_t clamp_to_int32(int64_t v) {
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

}  // namespace

int get_bits_per_pixel(uint32_t fcc) {
  const format_info* f = find_format(fcc);
  return f ? f->bits_per_pixel : 0;
}

int calc_buffer_length(uint32_t fcc, int pitch, int dim_y) {
  if (dim_y < 0) return 0;
  const int64_t abs_pitch = pitch < 0 ? -static_cast<int64_t>(pitch) : pitch;
  const int64_t plane = abs_pitch * dim_y;
  const format_info* f = find_format(fcc);
  const plane_rule planes = f ? f->planes : plane_rule::single;
  int64_t total = plane;
  switch (planes) {
    case plane_rule::single: total = plane; break;
    case plane_rule::yuv420: total = plane + 2 * (plane / 4); break;
    case plane_rule::yuv422: total = plane + 2 * (plane / 2); break;
    case plane_rule::three_full: total = 3 * plane; break;
  }
  return clamp_to_int32(total);
}

img_type make_img_type_with_pitch(uint32_t fcc, int dim_x, int dim_y, int pitch) {
  img_type t;
  t.type = fcc;
  t.dim_x = dim_x;
  t.dim_y = dim_y;
  t.pitch = pitch;
  t.buffer_length = calc_buffer_length(fcc, pitch, dim_y);
  return t;
}

img_type make_img_type(uint32_t fcc, int dim_x, int dim_y) {
  const format_info* f = find_format(fcc);
  int64_t pitch = 0;
  if (f) {
    switch (f->pitch) {
      case pitch_rule::from_bpp: pitch = int64_t{f->bits_per_pixel} * dim_x / 8; break;
      case pitch_rule::bytes_1: pitch = dim_x; break;
      case pitch_rule::bytes_2: pitch = 2 * int64_t{dim_x}; break;
      case pitch_rule::bytes_4: pitch = 4 * int64_t{dim_x}; break;
    }
  }
  return make_img_type_with_pitch(fcc, dim_x, dim_y, clamp_to_int32(pitch));
}

uint32_t get_known_fourcc(int index) {
  return index >= 0 && index < kFormatCount ? kFormats[index].fcc : 0;
}

bool is_by8_fcc(uint32_t fcc) {
  const format_info* f = find_format(fcc);
  return f && f->raw == raw_kind::by8;
}

bool is_by16_fcc(uint32_t fcc) {
  const format_info* f = find_format(fcc);
  return f && f->raw == raw_kind::by16;
}

bool is_by12pa_fcc(uint32_t fcc) {
  const format_info* f = find_format(fcc);
  return f && f->raw == raw_kind::by12pa;
}

uint32_t transform_by12pa_to_by16_fcc(uint32_t fcc) {
  const format_info* f = find_format(fcc);
  return f ? f->unpacked : 0;
}

bayer_pattern get_bayer_pattern(uint32_t fcc) {
  const format_info* f = find_format(fcc);
  if (!f || f->pattern == kNoPattern) return bayer_gbrg;
  return static_cast<bayer_pattern>(f->pattern);
}

uint32_t get_by8_fcc_from_pattern(bayer_pattern pattern) {
  const int index = static_cast<int>(pattern);
  return index >= 0 && index < 4 ? kBy8ByPattern[index] : 0;
}

}  // namespace img
