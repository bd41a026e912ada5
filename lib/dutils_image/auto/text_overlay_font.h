// The 8 x 8 bitmap font of the text overlay (code page 437 arrangement,
// codes 0..127).
#pragma once

#include <stdint.h>

namespace img {

constexpr int overlay_font_glyphs = 128;
extern const uint8_t overlay_font[overlay_font_glyphs][8];

}  // namespace img
