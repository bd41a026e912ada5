// Text overlay (see text_overlay.h): box geometry and glyph walk once, one
// pixel writer per pixel layout.
#include "auto/text_overlay.h"

#include "auto/text_overlay_font.h"
#include "img/img_assert.h"
#include "img/transform_image.h"

namespace img {
namespace {

constexpr int kGlyph = 8;
constexpr int kColours = 9;
constexpr uint32_t kCentreLimit = 0xFFFFFFFDu;  // unsigned values above this centre the box
// Longest text drawn; the count is bounded, which also keeps the compiler
// from turning it into a call of the C runtime's strlen.
constexpr int kMaxText = 1024;

// Palettes per colour index.
constexpr uint8_t kLuma[kColours] = {0x00, 0xFF, 0xB2, 0xE1, 0x95, 0x69, 0x1D, 0x4C, 0x80};
constexpr uint8_t kRgbBytes[kColours][3] = {
    // bytes 0, 1, 2 of the pixel as stored ("RGB3"/"RGB4": B, G, R)
    {0x00, 0x00, 0x00}, {0xFF, 0xFF, 0xFF}, {0x00, 0xFF, 0xFF},
    {0xFF, 0xFF, 0x00}, {0x00, 0xFF, 0x00}, {0xFF, 0x00, 0xFF},
    {0xFF, 0x00, 0x00}, {0x00, 0x00, 0xFF}, {0x80, 0x80, 0x80},
};
struct uyv {
  uint8_t u, y, v;
};
constexpr uyv kYuv[kColours] = {
    {0x80, 0x10, 0x80}, {0x80, 0xEB, 0x80}, {0x10, 0xD3, 0x92},
    {0xA6, 0xAA, 0x10}, {0x36, 0x91, 0x22}, {0xCA, 0x6A, 0xDE},
    {0x5A, 0x51, 0xF0}, {0xF0, 0x29, 0x6D}, {0x80, 0x7D, 0x80},
};

enum class layout { rgb24, rgb32, rgb64, luma8, luma16, yuy2, uyvy, none };

layout layout_of(uint32_t fcc) {
  switch (fcc) {
    case FOURCC_RGB24:
      return layout::rgb24;
    case FOURCC_RGB32:
      return layout::rgb32;
    case FOURCC_RGB64:
      return layout::rgb64;
    case FOURCC_Y800:
    case FOURCC_I420:
    case FOURCC_YV16:
    case FOURCC_YUV8PLANAR:
      return layout::luma8;
    case FOURCC_Y16:
    case FOURCC_YGB0:
    case FOURCC_YUV16PLANAR:
      return layout::luma16;
    case FOURCC_YUY2:
      return layout::yuy2;
    case FOURCC_UYVY:
      return layout::uyvy;
    default:
      if (is_by8_fcc(fcc)) return layout::luma8;
      if (is_by16_fcc(fcc)) return layout::luma16;
      return layout::none;
  }
}

inline void put16(uint8_t* p, uint8_t v) {
  p[0] = 0;
  p[1] = v;  // v << 8, little-endian
}

// Writes colour `c` (0..8) at pixel x of `line`.
template <layout L>
inline void put_pixel(uint8_t* line, int x, int c) {
  if constexpr (L == layout::rgb24 || L == layout::rgb32) {
    uint8_t* p = line + (L == layout::rgb24 ? 3 : 4) * x;
    p[0] = kRgbBytes[c][0], p[1] = kRgbBytes[c][1], p[2] = kRgbBytes[c][2];
  } else if constexpr (L == layout::rgb64) {
    uint8_t* p = line + 8 * x;
    put16(p, kRgbBytes[c][0]), put16(p + 2, kRgbBytes[c][1]), put16(p + 4, kRgbBytes[c][2]);
  } else if constexpr (L == layout::luma8) {
    line[x] = kLuma[c];
  } else if constexpr (L == layout::luma16) {
    put16(line + 2 * x, kLuma[c]);
  } else if constexpr (L == layout::yuy2) {
    uint8_t* pair = line + 4 * (x / 2);  // Y0 U Y1 V
    pair[(x & 1) ? 2 : 0] = kYuv[c].y, pair[1] = kYuv[c].u, pair[3] = kYuv[c].v;
  } else {
    uint8_t* pair = line + 4 * (x / 2);  // U Y0 V Y1
    pair[(x & 1) ? 3 : 1] = kYuv[c].y, pair[0] = kYuv[c].u, pair[2] = kYuv[c].v;
  }
}

struct box {
  int x, y;  // top-left corner, inside the image
  int scale;
  const char* text;
  int length;
  int background, foreground;
  bool bottom_up;
};

inline bool paints(int c) { return c >= 0 && c < kColours; }

template <layout L>
void render(const img_descriptor& img, const box& b) {
  const auto line_at = [&](int y) { return line_ptr(img, b.bottom_up ? img.dim_y - 1 - y : y); };
  const int width = (kGlyph * b.scale + 1) * b.length + 1;
  const int right =
      b.x + width < img.dim_x ? b.x + width : img.dim_x;  // one past the last column drawn
  const auto fill = [&](int y) {
    if (y >= img.dim_y || !paints(b.background)) return;
    uint8_t* line = line_at(y);
    for (int x = b.x; x < right; ++x) put_pixel<L>(line, x, b.background);
  };
  fill(b.y);
  for (int r = 0; r < kGlyph; ++r) {
    for (int rep = 0; rep < b.scale; ++rep) {
      const int y = b.y + 1 + r * b.scale + rep;
      if (y >= img.dim_y) return;
      uint8_t* line = line_at(y);
      int x = b.x;
      const auto put = [&](int c) {
        if (x < right && paints(c)) put_pixel<L>(line, x, c);
        ++x;
      };
      put(b.background);
      for (int i = 0; i < b.length && x < right; ++i) {
        const unsigned code = static_cast<unsigned char>(b.text[i]);
        const uint8_t bits = overlay_font[code < overlay_font_glyphs ? code : '?'][r];
        for (int bit = kGlyph - 1; bit >= 0; --bit)
          for (int k = 0; k < b.scale; ++k) put((bits >> bit) & 1 ? b.foreground : b.background);
        put(b.background);
      }
    }
  }
  fill(b.y + 1 + kGlyph * b.scale);
}

// ---------------------------------------------------------- formatting ----

struct writer {
  char* buffer;
  size_t size;
  size_t used;
  void put(char c) {
    if (used + 1 < size) buffer[used++] = c;
  }
  void text(const char* s) {
    while (*s) put(*s++);
  }
  // Decimal, right-aligned in `width` with `pad`.
  void number(int64_t v, int width, char pad) {
    char digits[24];
    int n = 0;
    const bool negative = v < 0;
    uint64_t u = negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    do {
      digits[n++] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u != 0);
    if (negative && pad == '0') put('-');
    for (int i = n + (negative ? 1 : 0); i < width; ++i) put(pad);
    if (negative && pad != '0') put('-');
    while (n > 0) put(digits[--n]);
  }
  void hex(uint32_t v, int width) {
    char digits[8];
    int n = 0;
    do {
      digits[n++] = "0123456789abcdef"[v & 0xF];
      v >>= 4;
    } while (v != 0);
    for (int i = n; i < width; ++i) put(' ');
    while (n > 0) put(digits[--n]);
  }
};

}  // namespace

void draw_text(const img_descriptor& image, int x, int y, int scale, const char* text,
               int background, int foreground, bool bottom_up) {
  const layout l = layout_of(image.type);
  if (l == layout::none || text == nullptr) return;
  if (!IMG_ASSERT(image_fits(image), "image_fits( img )")) return;
  box b = {0, 0, scale < 1 ? 1 : scale, text, 0, background, foreground, bottom_up};
  while (b.length < kMaxText && text[b.length] != '\0') ++b.length;
  const int64_t width = int64_t{kGlyph * b.scale + 1} * b.length + 1;
  const int64_t height = kGlyph * b.scale + 2;
  const auto place = [](int v, int64_t extent, int dim) -> int64_t {
    if (static_cast<uint32_t>(v) > kCentreLimit) {
      const int64_t c = dim / 2 - extent / 2;
      return c < 0 ? 0 : c;
    }
    return static_cast<uint32_t>(v);  // other negative values are far outside
  };
  const int64_t bx = place(x, width, image.dim_x), by = place(y, height, image.dim_y);
  if (bx >= image.dim_x || by >= image.dim_y) return;
  b.x = static_cast<int>(bx), b.y = static_cast<int>(by);
  switch (l) {
    case layout::rgb24:
      render<layout::rgb24>(image, b);
      break;
    case layout::rgb32:
      render<layout::rgb32>(image, b);
      break;
    case layout::rgb64:
      render<layout::rgb64>(image, b);
      break;
    case layout::luma8:
      render<layout::luma8>(image, b);
      break;
    case layout::luma16:
      render<layout::luma16>(image, b);
      break;
    case layout::yuy2:
      render<layout::yuy2>(image, b);
      break;
    case layout::uyvy:
      render<layout::uyvy>(image, b);
      break;
    case layout::none:
      break;
  }
}

size_t format_statistics_line(char* buffer, size_t size, const statistics_line& s) {
  if (buffer == nullptr || size == 0) return 0;
  writer w = {buffer, size, 0};
  w.put('[');
  w.number(s.frame_number, 6, ' ');
  w.text("] id=");
  w.hex(s.id, 2);
  w.text(", drop(p=");
  w.number(s.dropped_p, 0, ' ');
  w.text(", q=");
  w.number(s.dropped_q, 0, ' ');
  w.text("), fps=");
  w.number(s.fps_whole, 3, ' ');
  w.put('.');
  w.number(s.fps_hundredths, 2, '0');
  w.text(", pts=");
  w.number(s.pts, 0, ' ');
  w.text(", bps=");
  w.number(s.bps, 0, ' ');
  buffer[w.used] = '\0';
  return w.used;
}

}  // namespace img
