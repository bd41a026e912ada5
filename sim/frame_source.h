// What a simulated camera shows: the frame_source interface that renders
// frame N of a format into bytes, and the default source, a synthetic test
// pattern. A sensor model plugs in behind the same interface.
//
// Layouts (every line top to bottom, no padding between lines):
//   "Y800"  8-bit luminance            "Y16 "  16-bit little-endian luminance, left-aligned
//   "YUY2"  Y0 U Y1 V                  "UYVY"  U Y0 V Y1
//   "RGB3"  RGB24: B G R               "RGB4"  RGB32: B G R X
//   "MJPG"  one baseline JPEG (4:2:2) per frame, of varying size
// Any other FOURCC gets a byte pattern of width x height x bits per pixel / 8
// bytes (or max_bytes when the bit depth is unknown).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace sim {

// FOURCC with the first character in the lowest byte ("YUY2" -> 0x32595559).
constexpr uint32_t fourcc(const char (&code)[5]) {
  return (uint32_t)(uint8_t)code[0] | (uint32_t)(uint8_t)code[1] << 8 | (uint32_t)(uint8_t)code[2] << 16 |
         (uint32_t)(uint8_t)code[3] << 24;
}

constexpr uint32_t kFourccY800 = fourcc("Y800");
constexpr uint32_t kFourccY16 = fourcc("Y16 ");
constexpr uint32_t kFourccYUY2 = fourcc("YUY2");
constexpr uint32_t kFourccUYVY = fourcc("UYVY");
constexpr uint32_t kFourccRGB24 = fourcc("RGB3");
constexpr uint32_t kFourccRGB32 = fourcc("RGB4");
constexpr uint32_t kFourccMJPG = fourcc("MJPG");

struct frame_format {
  uint32_t fourcc = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint8_t bits_per_pixel = 0;  // from the format descriptor; sizes formats the source does not know
  uint32_t max_bytes = 0;      // dwMaxVideoFrameSize: a compressed frame stays below it
};

// What a frame says about itself beyond its bytes.
struct frame_traits {
  uint32_t interval = 0;    // 100 ns until the next frame is due (real-time pacing); 0: the committed interval
  uint8_t header_bits = 0;  // bits 4 and 5 of bmHeaderInfo on every payload of the frame; other bits ignored
};

class frame_source {
 public:
  virtual ~frame_source() = default;
  // Writes frame `number` of `format` into `frame`, resizing it. A stream
  // calls it on the bus thread, one frame at a time; a source shared by
  // several cameras must take concurrent calls (the test pattern does).
  virtual void render(const frame_format& format, uint64_t number, std::vector<uint8_t>& frame) = 0;
  // Asked once per frame, right after render(): a source with timing or
  // header bits of its own (a sensor's pixel clock, an interlaced source's
  // fields) says so here.
  virtual frame_traits traits(const frame_format& format, uint64_t number) {
    (void)format;
    (void)number;
    return {};
  }
};

// A change of the rendered picture (the camera's image controls,
// picture_controls.h): the test pattern applies it to every uncompressed
// picture before it stamps the frame number, and to an "MJPG" frame's
// picture before it is encoded. Called on the rendering thread.
class picture_step {
 public:
  virtual ~picture_step() = default;
  virtual void apply(const frame_format& format, uint8_t* pixels, size_t bytes) const = 0;
};

// Bytes of an uncompressed frame of `format` as the test pattern renders it.
uint32_t uncompressed_frame_bytes(const frame_format& format);

// Colour bars over a luminance ramp, a square that moves 4 pixels per frame,
// the same RGB levels in every format read by its convention ("YUY2" and
// "UYVY" BT.601 studio range, "Y800" and "Y16 " full-range luminance,
// "MJPG" JFIF full-range YCbCr),
// and the frame number twice: as a strip of 32 black and white blocks in
// the top left corner and, in uncompressed formats, as the first 4 bytes of
// the frame (little-endian). A JPEG carries the number in a comment segment
// right after its start marker instead. `jpeg_quality` is 1..100; `step`,
// when given, changes the picture (see picture_step).
std::shared_ptr<frame_source> make_test_pattern(int jpeg_quality = 80,
                                                std::shared_ptr<const picture_step> step = nullptr);

// Dark raw frames: the frame number in the first 4 bytes, then runs of 97
// bytes of 2, 6 and 12 (the payload header lengths), so that most pieces
// of a frame a host receives begin like a payload header ("02 02" even like
// a 2-byte header with EOF). Uncompressed formats only.
std::shared_ptr<frame_source> make_header_like_pattern();

// The frame number the test pattern put into the first bytes of an
// uncompressed frame (or a JPEG's comment); false when there is none.
bool pattern_frame_number(const std::vector<uint8_t>& frame, uint32_t format_fourcc, uint32_t* number);

}  // namespace sim
