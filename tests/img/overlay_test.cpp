// Text overlay as a viewer sees it: the box with its glyphs in every pixel
// layout, compared with an independent rendering (each box pixel's colour
// derived from its coordinates, then the palette of the format applied),
// clipping, transparency, centring, bottom-up addressing, and the camera's
// statistics line.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "auto/text_overlay.h"
#include "auto/text_overlay_font.h"
#include "reference_transform.h"

using namespace xform_test;

namespace {

// The palettes: luminance, RGB bytes as stored, (U, Y, V).
const int kLuma[9] = {0x00, 0xFF, 0xB2, 0xE1, 0x95, 0x69, 0x1D, 0x4C, 0x80};
const int kRgb[9][3] = {{0, 0, 0},     {255, 255, 255}, {0, 255, 255}, {255, 255, 0},  {0, 255, 0},
                        {255, 0, 255}, {255, 0, 0},     {0, 0, 255},   {128, 128, 128}};
const int kUyv[9][3] = {{0x80, 0x10, 0x80}, {0x80, 0xEB, 0x80}, {0x10, 0xD3, 0x92},
                        {0xA6, 0xAA, 0x10}, {0x36, 0x91, 0x22}, {0xCA, 0x6A, 0xDE},
                        {0x5A, 0x51, 0xF0}, {0xF0, 0x29, 0x6D}, {0x80, 0x7D, 0x80}};

// Colour index of every pixel of a w x h image after drawing, -1 where the
// image is untouched. Top-down line order.
std::vector<int> canvas(int w, int h, int x, int y, int s, const std::string& text, int bg,
                        int fg) {
  std::vector<int> c(static_cast<size_t>(w) * h, -1);
  const int cell = 8 * s + 1;
  const int width = cell * static_cast<int>(text.size()) + 1, height = 8 * s + 2;
  for (int by = 0; by < height; ++by) {
    for (int bx = 0; bx < width; ++bx) {
      const int X = x + bx, Y = y + by;
      if (X >= w || Y >= h) continue;
      int colour = bg;
      if (by > 0 && by < height - 1 && bx > 0 && (bx - 1) % cell != 8 * s) {
        const unsigned char ch = static_cast<unsigned char>(text[(bx - 1) / cell]);
        const int bit = ((bx - 1) % cell) / s, row = (by - 1) / s;
        if ((img::overlay_font[ch < 128 ? ch : '?'][row] >> (7 - bit)) & 1) colour = fg;
      }
      if (colour >= 0 && colour <= 8) c[static_cast<size_t>(Y) * w + X] = colour;
    }
  }
  return c;
}

// The buffer of `before` with every pixel that `c` colours written by
// paint(descriptor, x, y, colour), in line order and left to right.
template <typename F>
std::vector<uint8_t> painted(const owned_image& before, const std::vector<int>& c, F paint) {
  owned_image want = copy_of(before);
  for (int y = 0; y < want.desc.dim_y; ++y)
    for (int x = 0; x < want.desc.dim_x; ++x)
      if (c[static_cast<size_t>(y) * want.desc.dim_x + x] >= 0)
        paint(want.desc, x, y, c[static_cast<size_t>(y) * want.desc.dim_x + x]);
  return want.buffer;
}

// Luminance formats: the palette value, shifted to the high byte for "Y16 ".
void paint_luma(const img::img_descriptor& d, int x, int y, int colour) {
  put(d, x, y, d.type == img::FOURCC_Y16 ? kLuma[colour] << 8 : kLuma[colour]);
}

}  // namespace

TEST(TextOverlay, GlyphsAreDrawnInEveryLayoutAsTheIndependentRendering) {
  const std::string text = "Fps 29.97 [ok] gy";
  const int w = 180, h = 30;
  // RGB24 bottom-up: box line i sits in buffer line h - 1 - i.
  owned_image rgb = make_image(img::FOURCC_RGB24, w, h);
  fill_random(rgb, 1);
  const owned_image rgb_before = copy_of(rgb);
  img::draw_text(rgb.desc, 5, 3, 2, text.c_str(), 1, 6, true);
  EXPECT_EQ(
      rgb.buffer,
      painted(rgb_before, canvas(w, h, 5, 3, 2, text, 1, 6), [](auto& d, int x, int y, int c) {
        for (int k = 0; k < 3; ++k)
          at8(d, 3 * x + k, d.dim_y - 1 - y)[0] = static_cast<uint8_t>(kRgb[c][k]);
      }));
  // Y800 and the Y plane of "YU8p" (chroma untouched); "Y16 " as luminance << 8.
  for (uint32_t fcc :
       {img::FOURCC_Y800, img::FOURCC_YUV8PLANAR, img::FOURCC_Y16, img::FOURCC_RGGB8}) {
    owned_image im = make_image(fcc, w, h, layout::padded);
    fill_random(im, 2);
    const owned_image before = copy_of(im);
    img::draw_text(im.desc, 0, 7, 1, text.c_str(), 3, 0, false);
    EXPECT_EQ(im.buffer, painted(before, canvas(w, h, 0, 7, 1, text, 3, 0), paint_luma))
        << std::hex << fcc;
  }
  // YUY2: Y per pixel; U and V of a pair from the pixel written last (the
  // right one when both are drawn).
  owned_image yuy2 = make_image(img::FOURCC_YUY2, w, h);
  fill_random(yuy2, 3);
  const owned_image yuy2_before = copy_of(yuy2);
  img::draw_text(yuy2.desc, 3, 2, 1, text.c_str(), 7, 2, false);
  EXPECT_EQ(yuy2.buffer, painted(yuy2_before, canvas(w, h, 3, 2, 1, text, 7, 2),
                                 [](auto& d, int x, int y, int c) {
                                   uint8_t* pair = at8(d, 2 * (x & ~1), y);
                                   pair[2 * (x & 1)] = static_cast<uint8_t>(kUyv[c][1]);
                                   pair[1] = static_cast<uint8_t>(kUyv[c][0]),
                                   pair[3] = static_cast<uint8_t>(kUyv[c][2]);
                                 }));
  // UYVY, RGB32 and RGB64 on one pixel each: byte placement.
  owned_image uyvy = make_image(img::FOURCC_UYVY, 40, 12),
              rgb32 = make_image(img::FOURCC_RGB32, 40, 12);
  owned_image rgb64 = make_image(img::FOURCC_RGB64, 40, 12);
  for (owned_image* im : {&uyvy, &rgb32, &rgb64})
    img::draw_text(im->desc, 0, 0, 1, "A", 4, 5, false);
  const auto first = [](const owned_image& im, int n) {
    return std::vector<uint8_t>(im.buffer.begin(), im.buffer.begin() + n);
  };
  // Pixel (0, 0) is background green: U Y V; the 4th byte of RGB32 is kept.
  EXPECT_EQ(first(uyvy, 3), (std::vector<uint8_t>{0x36, 0x91, 0x22}));
  EXPECT_EQ(first(rgb32, 8),
            (std::vector<uint8_t>{0x00, 0xFF, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00}));
  EXPECT_EQ(first(rgb64, 8),
            (std::vector<uint8_t>{0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00, 0x00}));
}

TEST(TextOverlay, ClippingTransparencyAndCentring) {
  // Wider than the image: clipped at the right edge, no wrap below the box.
  owned_image im = make_image(img::FOURCC_Y800, 50, 20);
  std::fill(im.buffer.begin(), im.buffer.end(), 0x33);
  const owned_image before = copy_of(im);
  img::draw_text(im.desc, 10, 2, 1, "clipped at the edge", 0, 1, false);
  EXPECT_EQ(im.buffer,
            painted(before, canvas(50, 20, 10, 2, 1, "clipped at the edge", 0, 1), paint_luma));
  EXPECT_EQ(im.buffer[12 * 50 + 10], 0x33);  // below the box: untouched

  // Foreground transparent: the box without the glyphs' pixels; background
  // transparent: only the glyphs' set bits.
  for (int which = 0; which < 2; ++which) {
    owned_image t = make_image(img::FOURCC_Y800, 40, 12);
    std::fill(t.buffer.begin(), t.buffer.end(), 0x44);
    const owned_image t_before = copy_of(t);
    const int bg = which ? img::overlay_transparent : 8, fg = which ? 4 : img::overlay_transparent;
    img::draw_text(t.desc, 1, 1, 1, "Hi", bg, fg, false);
    const std::vector<int> ct = canvas(40, 12, 1, 1, 1, "Hi", bg, fg);
    EXPECT_EQ(t.buffer, painted(t_before, ct, paint_luma));
    int drawn = 0, kept = 0;
    for (int i = 0; i < 40 * 12; ++i)
      drawn += ct[i] >= 0,
          kept += ct[i] < 0 && i / 40 >= 1 && i / 40 <= 10 && i % 40 >= 1 && i % 40 < 20;
    EXPECT_GT(drawn, 0);
    EXPECT_GT(kept, 0);  // the holes (or the gaps around the glyphs) show the picture
  }

  // Centred box: x = dim_x / 2 - width / 2; y = -2 likewise; narrower image: 0.
  owned_image wide = make_image(img::FOURCC_Y800, 100, 40);
  img::draw_text(wide.desc, -1, -2, 1, "ab", 1, 0, false);  // box 19 x 10
  EXPECT_EQ(wide.buffer[(20 - 5) * 100 + 50 - 9], 0xFF);
  EXPECT_EQ(wide.buffer[(20 - 5) * 100 + 50 - 10], 0x00);
  owned_image narrow = make_image(img::FOURCC_Y800, 10, 12);
  img::draw_text(narrow.desc, -1, 0, 1, "abc", 1, 0, false);
  EXPECT_EQ(narrow.buffer[0], 0xFF);
  // At or beyond the edge, or another negative position: nothing.
  owned_image none = make_image(img::FOURCC_Y800, 10, 12);
  img::draw_text(none.desc, 10, 0, 1, "a", 1, 1, false);
  img::draw_text(none.desc, 0, 12, 1, "a", 1, 1, false);
  img::draw_text(none.desc, -5, 0, 1, "a", 1, 1, false);
  EXPECT_EQ(none.buffer, std::vector<uint8_t>(120, 0));
}

TEST(TextOverlay, FontHasADistinctGlyphForEveryPrintableCharacter) {
  std::set<std::vector<uint8_t>> seen;
  for (int ch = 33; ch < 127; ++ch) {
    const std::vector<uint8_t> g(img::overlay_font[ch], img::overlay_font[ch] + 8);
    EXPECT_NE(g, std::vector<uint8_t>(8, 0)) << ch;
    EXPECT_TRUE(seen.insert(g).second) << "duplicate glyph " << static_cast<char>(ch);
  }
  EXPECT_EQ(std::vector<uint8_t>(img::overlay_font[' '], img::overlay_font[' '] + 8),
            std::vector<uint8_t>(8, 0));
}

TEST(TextOverlay, StatisticsLineFormatAndTruncation) {
  char line[128];
  const img::statistics_line s = {1234, 0xA, 3, 0, 29, 7, -15, 1843200};
  const size_t n = img::format_statistics_line(line, sizeof line, s);
  EXPECT_STREQ(line, "[  1234] id= a, drop(p=3, q=0), fps= 29.07, pts=-15, bps=1843200");
  EXPECT_EQ(n, strlen(line));
  char small[10];
  img::format_statistics_line(small, sizeof small, s);
  EXPECT_STREQ(small, "[  1234] ");
}
