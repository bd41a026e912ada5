// The test pattern: seven 75 % colour bars and black over the top three
// quarters, a luminance ramp below, a square moving along the boundary,
// and the frame number as 32 blocks in the top left corner. Colours are
// computed in RGB and written in each format's usual encoding, so that
// every format shows the same RGB levels when read by its convention:
// "YUY2" and "UYVY" in BT.601 studio range (Y 16-235, as UVC cameras send
// them), "Y800" and "Y16 " as full-range BT.601 luminance (0-255), "MJPG"
// as JFIF full-range YCbCr (what every JPEG decoder assumes), RGB as is.
#include "frame_source.h"

#include <algorithm>
#include <string>
#include <utility>

#include "jpeg_encoder.h"

namespace sim {
namespace {

struct rgb {
  uint8_t r, g, b;
};

// 75 % bars: white, yellow, cyan, green, magenta, red, blue, black.
constexpr rgb kBars[8] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                          {191, 0, 191},   {191, 0, 0},   {0, 0, 191},   {0, 0, 0}};
constexpr uint32_t kNumberBits = 32;
constexpr uint32_t kSquareStep = 4;  // pixels per frame
constexpr char kJpegCommentTag[] = "frame ";

struct pattern_geometry {
  uint32_t width, height;
  uint32_t ramp_top;      // first line of the ramp
  uint32_t square_side;
  uint32_t square_x, square_y;
  uint32_t block;         // side of one frame-number block
  uint32_t number;

  pattern_geometry(uint32_t w, uint32_t h, uint64_t frame)
      : width(w), height(h), number((uint32_t)frame) {
    ramp_top = h * 3 / 4;
    square_side = std::max<uint32_t>(2, std::min(w, h) / 8);
    const uint32_t travel = w > square_side ? w - square_side : 1;
    const uint64_t along = frame * kSquareStep % (2 * (uint64_t)travel);
    square_x = (uint32_t)(along < travel ? along : 2 * travel - along);  // back and forth
    square_y = ramp_top > square_side / 2 ? ramp_top - square_side / 2 : 0;
    block = std::max<uint32_t>(1, std::min(w / kNumberBits, h / 16));
  }

  rgb at(uint32_t x, uint32_t y) const {
    if (y < block && x < block * kNumberBits) {
      const bool set = (number >> (x / block)) & 1;
      return set ? rgb{255, 255, 255} : rgb{0, 0, 0};
    }
    if (x >= square_x && x < square_x + square_side && y >= square_y && y < square_y + square_side) {
      return rgb{255, 255, 255};
    }
    if (y < ramp_top) return kBars[(uint64_t)x * 8 / width];
    const uint8_t v = (uint8_t)((uint64_t)x * 255 / std::max<uint32_t>(1, width - 1));
    return rgb{v, v, v};
  }
};

// BT.601 in 8-bit fixed point (x 256), studio range (Y 16-235, C 16-240)
// or full range (Y and C 0-255, as JFIF defines it).
uint8_t to_byte(int v) { return (uint8_t)std::clamp(v, 0, 255); }
uint8_t luma(rgb c, bool full) {
  return full ? to_byte((77 * c.r + 150 * c.g + 29 * c.b + 128) >> 8)
              : to_byte(((66 * c.r + 129 * c.g + 25 * c.b + 128) >> 8) + 16);
}
uint8_t chroma_u(rgb c, bool full) {
  return full ? to_byte(((-43 * c.r - 85 * c.g + 128 * c.b + 128) >> 8) + 128)
              : to_byte(((-38 * c.r - 74 * c.g + 112 * c.b + 128) >> 8) + 128);
}
uint8_t chroma_v(rgb c, bool full) {
  return full ? to_byte(((128 * c.r - 107 * c.g - 21 * c.b + 128) >> 8) + 128)
              : to_byte(((112 * c.r - 94 * c.g - 18 * c.b + 128) >> 8) + 128);
}

// Packed 4:2:2 (YUY2 order, or UYVY when `uyvy`), 2 bytes per pixel; the
// chroma of a pixel pair is that of its left pixel. A last pixel without a
// partner (odd width) gets its luminance and U.
void render_422(const pattern_geometry& g, bool uyvy, bool full, uint8_t* out) {
  for (uint32_t y = 0; y < g.height; ++y) {
    uint8_t* p = out + (size_t)y * g.width * 2;
    for (uint32_t x = 0; x < g.width; x += 2, p += 4) {
      const rgb left = g.at(x, y);
      const uint8_t y0 = luma(left, full), u = chroma_u(left, full), v = chroma_v(left, full);
      if (x + 1 == g.width) {
        p[uyvy ? 1 : 0] = y0;
        p[uyvy ? 0 : 1] = u;
        break;
      }
      const uint8_t y1 = luma(g.at(x + 1, y), full);
      if (uyvy) {
        p[0] = u, p[1] = y0, p[2] = v, p[3] = y1;
      } else {
        p[0] = y0, p[1] = u, p[2] = y1, p[3] = v;
      }
    }
  }
}

class test_pattern final : public frame_source {
 public:
  test_pattern(int quality, std::shared_ptr<const picture_step> step) : quality_(quality), step_(std::move(step)) {}

  void render(const frame_format& format, uint64_t number, std::vector<uint8_t>& frame) override {
    const pattern_geometry g(format.width, format.height, number);
    const size_t pixels = (size_t)format.width * format.height;
    switch (format.fourcc) {
      case kFourccY800:
      case kFourccY16:
      case kFourccRGB24:
      case kFourccRGB32: {
        const uint32_t bytes = format.fourcc == kFourccY800 ? 1 : format.fourcc == kFourccY16 ? 2
                               : format.fourcc == kFourccRGB24 ? 3 : 4;
        frame.resize(pixels * bytes);
        uint8_t* p = frame.data();
        for (uint32_t y = 0; y < g.height; ++y) {
          for (uint32_t x = 0; x < g.width; ++x, p += bytes) {
            const rgb c = g.at(x, y);
            if (bytes == 1) {
              p[0] = luma(c, true);
            } else if (bytes == 2) {
              p[0] = p[1] = luma(c, true);  // 8 significant bits, left-aligned
            } else {
              p[0] = c.b, p[1] = c.g, p[2] = c.r;
              if (bytes == 4) p[3] = 0xFF;
            }
          }
        }
        break;
      }
      case kFourccYUY2:
      case kFourccUYVY:
        frame.resize(pixels * 2);
        render_422(g, format.fourcc == kFourccUYVY, false, frame.data());
        break;
      case kFourccMJPG: {
        const uint32_t even_width = format.width + (format.width & 1);
        std::vector<uint8_t> yuy2((size_t)even_width * format.height * 2);
        pattern_geometry wide(even_width, format.height, number);
        render_422(wide, false, true, yuy2.data());
        if (step_) step_->apply({kFourccYUY2, even_width, format.height, 16, 0}, yuy2.data(), yuy2.size());
        const std::string text = kJpegCommentTag + std::to_string((uint32_t)number);
        const std::vector<uint8_t> comment(text.begin(), text.end());
        // A frame above the device's limit is encoded again, coarser.
        for (int quality = quality_; quality >= 1; quality = quality > 10 ? quality - 20 : quality - 5) {
          frame = encode_jpeg_yuy2(yuy2.data(), even_width, format.height, quality, comment);
          if (format.max_bytes == 0 || frame.size() <= format.max_bytes) break;
        }
        return;  // no number in the first bytes: they are the JPEG's markers
      }
      default: {
        // A format without a rendering: bytes that differ from frame to frame.
        const size_t size = format.bits_per_pixel != 0 ? pixels * format.bits_per_pixel / 8 : format.max_bytes;
        frame.resize(size);
        for (size_t i = 0; i < size; ++i) frame[i] = (uint8_t)(i * 7 + (i >> 9) + number * 13);
        break;
      }
    }
    if (step_) step_->apply(format, frame.data(), frame.size());
    for (size_t i = 0; i < 4 && i < frame.size(); ++i) frame[i] = (uint8_t)(number >> (8 * i));
  }

 private:
  int quality_;
  std::shared_ptr<const picture_step> step_;
};

}  // namespace

uint32_t uncompressed_frame_bytes(const frame_format& format) {
  const uint32_t pixels = format.width * format.height;
  switch (format.fourcc) {
    case kFourccY800: return pixels;
    case kFourccY16:
    case kFourccYUY2:
    case kFourccUYVY: return pixels * 2;
    case kFourccRGB24: return pixels * 3;
    case kFourccRGB32: return pixels * 4;
    default: return format.bits_per_pixel != 0 ? pixels * format.bits_per_pixel / 8 : format.max_bytes;
  }
}

std::shared_ptr<frame_source> make_test_pattern(int jpeg_quality, std::shared_ptr<const picture_step> step) {
  return std::make_shared<test_pattern>(jpeg_quality, std::move(step));
}

bool pattern_frame_number(const std::vector<uint8_t>& frame, uint32_t format_fourcc, uint32_t* number) {
  if (format_fourcc != kFourccMJPG) {
    if (frame.size() < 4) return false;
    *number = (uint32_t)frame[0] | (uint32_t)frame[1] << 8 | (uint32_t)frame[2] << 16 | (uint32_t)frame[3] << 24;
    return true;
  }
  // SOI, then COM: FF FE, 16-bit length, "frame <n>".
  const size_t tag = sizeof(kJpegCommentTag) - 1;
  if (frame.size() < 6 + tag || frame[0] != 0xFF || frame[1] != 0xD8 || frame[2] != 0xFF || frame[3] != 0xFE) {
    return false;
  }
  const size_t length = (size_t)frame[4] << 8 | frame[5];
  if (length < 2 + tag || 4 + length > frame.size()) return false;
  if (!std::equal(kJpegCommentTag, kJpegCommentTag + tag, frame.begin() + 6)) return false;
  uint64_t n = 0;
  for (size_t i = 6 + tag; i < 4 + length; ++i) {
    if (frame[i] < '0' || frame[i] > '9') return false;
    n = n * 10 + (frame[i] - '0');
  }
  *number = (uint32_t)n;
  return true;
}

}  // namespace sim
