// Conversion of captured frames into rows a PNG file can hold: 8-bit RGB
// or 8-bit grey, top row first. The driver delivers the client's format
// untouched; turning it into something viewable is the tool's business.
//
//   YUY2, UYVY   packed 4:2:2, studio-range BT.601 to RGB
//   Y800         grey as is
//   Y16          16-bit little-endian grey, left-aligned: the high byte
//   RGB24, RGB32 B G R (X) as in Windows bitmaps: bottom-up when the
//                bitmap height is positive, so the last row in memory is
//                the top of the picture
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace tvcam {

enum class png_colour { grey, rgb };

struct converted_image {
  int width = 0;
  int height = 0;
  png_colour colour = png_colour::rgb;
  std::vector<uint8_t> pixels;  // rows top-down, width x channels bytes each

  int channels() const { return colour == png_colour::rgb ? 3 : 1; }
  const uint8_t* row(int y) const { return pixels.data() + static_cast<size_t>(y) * width * channels(); }
  uint8_t* row(int y) { return pixels.data() + static_cast<size_t>(y) * width * channels(); }
};

// Whether frames of this FOURCC can be converted ("RGB3"/"RGB4" for RGB24/RGB32).
bool can_convert(uint32_t fcc);

// Bytes of the shortest row of a frame of this format and width (no padding).
size_t min_row_bytes(uint32_t fcc, int width);

// The line pitch of a delivered frame: rows padded to four bytes as in a
// Windows bitmap when the frame is that long, otherwise packed.
size_t frame_pitch(uint32_t fcc, int width, int height, size_t data_used);

// Converts one frame of `length` bytes with the given line pitch. `bottom_up`
// applies to RGB24/RGB32 only (a positive bitmap height). False with a
// message when the format is not convertible, the size is odd for a 4:2:2
// format or the data is shorter than pitch x height.
bool convert_frame(uint32_t fcc, int width, int height, size_t pitch, bool bottom_up, const uint8_t* data,
                   size_t length, converted_image* image, std::string* error);

// One BT.601 studio-range sample to 8-bit RGB (rounded, clamped).
void yuv_to_rgb(int y, int u, int v, uint8_t rgb[3]);

}  // namespace tvcam
