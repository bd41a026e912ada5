// Text overlay: burns lines of text into a frame in any delivered format,
// for diagnostics such as the camera's statistics lines. Glyphs come from
// an 8 x 8 font scaled by an integer factor; a box of the background colour
// surrounds the text (one pixel before the first character, one after each
// character, one line above and below).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "img/img_type.h"

namespace img {

// Colour indices: 0 black, 1 white, 2 yellow, 3 cyan, 4 green, 5 magenta,
// 6 red, 7 blue, 8 grey; overlay_transparent leaves the pixels as they are
// (so does any other index outside 0..8).
constexpr int overlay_transparent = 10;
// x or y given as one of these (any value above 0xFFFFFFFD as unsigned)
// centres the box in that direction.
constexpr int overlay_centre = -1;

// Draws the zero-terminated `text` with its box's top-left corner at (x, y).
// Box: (8 scale + 1) length + 1 pixels wide, 8 scale + 2 lines high, clipped
// at the right edge and the last line (nothing wraps); nothing is drawn when
// x >= dim_x or y >= dim_y. With `bottom_up`, line y is counted from the
// bottom of the buffer (bottom-up RGB images). Codes of 128 and above are
// drawn as '?'; a scale below 1 counts as 1; at most 1024 characters are drawn.
//
// Layouts: "RGB3", "RGB4" (byte 0 blue), "RGB6" (16-bit components, alpha
// kept), "Y800", the 8-bit Bayer formats and the Y plane of "I420", "YV16",
// "YU8p"; "Y16 ", "YGB0", the 16-bit Bayer formats and the Y plane of "YUGp"
// (8-bit luminance << 8); "YUY2" and "UYVY" (luminance per pixel, U and V of
// the pixel pair from the colour of the pixel written last). Other formats
// are left untouched.
void draw_text(const img_descriptor& image, int x, int y, int scale, const char* text,
               int background, int foreground, bool bottom_up);

// The camera's statistics line, and where the camera draws its lines:
// scale dim_x / 1024 + 1, x = 10, y = 15, 30, 45, 60 times the scale,
// background white, foreground red.
struct statistics_line {
  int64_t frame_number;
  uint32_t id;
  int64_t dropped_p;
  int64_t dropped_q;
  int fps_whole;       // frames per second, integer part
  int fps_hundredths;  // 0..99
  int32_t pts;
  int64_t bps;  // bytes per second
};
// "[%6I64d] id=%2x, drop(p=%I64d, q=%I64d), fps=%3d.%02d, pts=%d, bps=%I64d"
// into `buffer`, truncated to `size` - 1 characters and zero-terminated.
// Returns the characters written (without the terminator).
size_t format_statistics_line(char* buffer, size_t size, const statistics_line& s);

constexpr int statistics_text_x = 10;
constexpr int statistics_background = 1;
constexpr int statistics_foreground = 6;
inline int statistics_text_scale(int dim_x) { return dim_x / 1024 + 1; }
// Top line of statistics line `index` (0..3).
inline int statistics_text_y(int index, int scale) { return 15 * (index + 1) * scale; }

}  // namespace img
