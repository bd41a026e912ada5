// Image descriptor and pixel formats: the record that describes every image
// the driver handles (format, size, line layout), the FOURCCs the library
// knows, and small pure functions over them. Kernel-safe: no allocation, no
// state.
#pragma once

#include <stdint.h>

namespace img {

// FOURCC: the four characters in memory order, first character in the lowest
// byte (the little-endian reading of the four bytes).
constexpr uint32_t make_fourcc(char a, char b, char c, char d) {
  return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
         (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8) |
         (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24);
}

// Luminance.
constexpr uint32_t FOURCC_Y800 = make_fourcc('Y', '8', '0', '0');  // 8-bit
constexpr uint32_t FOURCC_Y16 = make_fourcc('Y', '1', '6', ' ');   // 16-bit LE, left-aligned
constexpr uint32_t FOURCC_Y12P = make_fourcc('Y', '1', '2', 'p');  // 12-bit packed (size only)
constexpr uint32_t FOURCC_YGB0 = make_fourcc('Y', 'G', 'B', '0');  // 16-bit (size only)
constexpr uint32_t FOURCC_YGB1 = make_fourcc('Y', 'G', 'B', '1');  // 16-bit (size only)
// 8-bit Bayer. "BY8 " is debayered as GBRG.
constexpr uint32_t FOURCC_BY8 = make_fourcc('B', 'Y', '8', ' ');
constexpr uint32_t FOURCC_BGGR8 = make_fourcc('B', 'A', '8', '1');
constexpr uint32_t FOURCC_GBRG8 = make_fourcc('G', 'B', 'R', 'G');
constexpr uint32_t FOURCC_GRBG8 = make_fourcc('G', 'R', 'B', 'G');
constexpr uint32_t FOURCC_RGGB8 = make_fourcc('R', 'G', 'G', 'B');
// 16-bit Bayer, values left-aligned. "BA16" is GRBG.
constexpr uint32_t FOURCC_BGGR16 = make_fourcc('B', 'G', '1', '6');
constexpr uint32_t FOURCC_GBRG16 = make_fourcc('G', 'B', '1', '6');
constexpr uint32_t FOURCC_GRBG16 = make_fourcc('B', 'A', '1', '6');
constexpr uint32_t FOURCC_RGGB16 = make_fourcc('R', 'G', '1', '6');
// 12-bit packed Bayer, layout C (p0 hi, lo nibbles, p1 hi).
constexpr uint32_t FOURCC_BGGR12_PACKED_C = make_fourcc('B', 'G', 'C', 'P');
constexpr uint32_t FOURCC_GBRG12_PACKED_C = make_fourcc('G', 'B', 'C', 'P');
constexpr uint32_t FOURCC_GRBG12_PACKED_C = make_fourcc('G', 'R', 'C', 'P');
constexpr uint32_t FOURCC_RGGB12_PACKED_C = make_fourcc('R', 'G', 'C', 'P');
// 12-bit packed Bayer, layout D (p0 hi, p1 hi, lo nibbles).
constexpr uint32_t FOURCC_BGGR12_PACKED_D = make_fourcc('B', 'G', 'D', 'P');
constexpr uint32_t FOURCC_GBRG12_PACKED_D = make_fourcc('G', 'B', 'D', 'P');
constexpr uint32_t FOURCC_GRBG12_PACKED_D = make_fourcc('G', 'R', 'D', 'P');
constexpr uint32_t FOURCC_RGGB12_PACKED_D = make_fourcc('R', 'G', 'D', 'P');
// YUV.
constexpr uint32_t FOURCC_YUY2 = make_fourcc('Y', 'U', 'Y', '2');  // Y0 U Y1 V
constexpr uint32_t FOURCC_UYVY = make_fourcc('U', 'Y', 'V', 'Y');  // U Y0 V Y1
constexpr uint32_t FOURCC_I420 = make_fourcc('I', '4', '2', '0');  // planar 4:2:0
constexpr uint32_t FOURCC_YV16 = make_fourcc('Y', 'V', '1', '6');  // planar 4:2:2
constexpr uint32_t FOURCC_IYU1 = make_fourcc('I', 'Y', 'U', '1');  // packed 4:1:1 (size only)
constexpr uint32_t FOURCC_IYU2 = make_fourcc('I', 'Y', 'U', '2');  // packed 4:4:4 (size only)
constexpr uint32_t FOURCC_YUV8PLANAR = make_fourcc('Y', 'U', '8', 'p');    // 3 planes, U/V + 128
constexpr uint32_t FOURCC_YUV16PLANAR = make_fourcc('Y', 'U', 'G', 'p');   // 3 planes, U/V + 32768
constexpr uint32_t FOURCC_YUVF32PLANAR = make_fourcc('Y', 'U', 'f', 'p');  // 3 planes of float
// RGB.
constexpr uint32_t FOURCC_RGB8 = make_fourcc('R', 'G', 'B', '8');   // size only
constexpr uint32_t FOURCC_RGB24 = make_fourcc('R', 'G', 'B', '3');  // B G R
constexpr uint32_t FOURCC_RGB32 = make_fourcc('R', 'G', 'B', '4');  // B G R X
constexpr uint32_t FOURCC_RGB64 = make_fourcc('R', 'G', 'B', '6');  // 16-bit B G R A, A = 65535
// Compressed.
constexpr uint32_t FOURCC_MJPG = make_fourcc('M', 'J', 'P', 'G');  // 24 bpp is a size estimate

// A plain value describing an image's format and layout.
struct img_type {
  uint32_t type;          // FOURCC
  int32_t dim_x;          // width in pixels
  int32_t dim_y;          // height in lines
  int32_t pitch;          // bytes from line to line; negative = stored bottom-up
  int32_t buffer_length;  // bytes of the whole image, all planes
};

// An img_type with the address of line 0 (for a negative pitch the highest
// line in memory). Does not own the memory.
struct img_descriptor : img_type {
  uint8_t* data;
};

inline img_type to_img_type(const img_descriptor& desc) { return desc; }

// Bayer pattern indices used by the debayer and white-balance kernels.
enum bayer_pattern : int {
  bayer_bggr = 0,
  bayer_gbrg = 1,
  bayer_grbg = 2,
  bayer_rggb = 3,
};

// Bits per pixel of a known FOURCC, 0 for anything else.
int get_bits_per_pixel(uint32_t fcc);
// An img_type with the pitch derived from the format: dim_x for "I420",
// "YV16" and "YU8p" (the pitch of the luminance plane), 2 x dim_x for "YUGp",
// 4 x dim_x for "YUfp", bits per pixel x dim_x / 8 for the others.
img_type make_img_type(uint32_t fcc, int dim_x, int dim_y);
// An img_type with the given pitch (negative = bottom-up).
img_type make_img_type_with_pitch(uint32_t fcc, int dim_x, int dim_y, int pitch);
// Bytes of an image of this format, pitch and height (all planes); a
// negative pitch counts by its absolute value. Sizes are computed in 64 bits:
// a size beyond 32 bits gives INT32_MAX (so that no buffer can be large
// enough), a negative height gives 0.
int calc_buffer_length(uint32_t fcc, int pitch, int dim_y);
// The known FOURCCs in table order, for listings; 0 past the last one.
uint32_t get_known_fourcc(int index);

bool is_by8_fcc(uint32_t fcc);
bool is_by16_fcc(uint32_t fcc);
bool is_by12pa_fcc(uint32_t fcc);
// The 16-bit Bayer FOURCC a 12-bit packed Bayer FOURCC unpacks to; 0 otherwise.
uint32_t transform_by12pa_to_by16_fcc(uint32_t fcc);
// Pattern index of a Bayer FOURCC (GBRG for anything unknown, "BY8 " included).
bayer_pattern get_bayer_pattern(uint32_t fcc);
// The 8-bit Bayer FOURCC of a pattern index ("BA81", "GBRG", "GRBG",
// "RGGB"); 0 for a value outside the four patterns.
uint32_t get_by8_fcc_from_pattern(bayer_pattern pattern);

}  // namespace img
