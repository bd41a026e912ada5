// tvcam pixfmt: every pixel format the image library knows, with its line
// and buffer size for one image size.
#include <stdint.h>

#include <string>

#include "args.h"
#include "cli.h"
#include "commands.h"
#include "img/img_type.h"

namespace tvcam {

namespace {

struct format_text {
  uint32_t fcc;
  const char* description;
};

const format_text kDescriptions[] = {
    {img::FOURCC_Y800, "8-bit luminance"},
    {img::FOURCC_Y16, "16-bit luminance, left-aligned"},
    {img::FOURCC_Y12P, "12-bit packed luminance"},
    {img::FOURCC_YGB0, "16-bit luminance variant"},
    {img::FOURCC_YGB1, "16-bit luminance variant"},
    {img::FOURCC_BY8, "8-bit Bayer"},
    {img::FOURCC_BGGR8, "8-bit Bayer"},
    {img::FOURCC_GBRG8, "8-bit Bayer"},
    {img::FOURCC_GRBG8, "8-bit Bayer"},
    {img::FOURCC_RGGB8, "8-bit Bayer"},
    {img::FOURCC_BGGR16, "16-bit Bayer, left-aligned"},
    {img::FOURCC_GBRG16, "16-bit Bayer, left-aligned"},
    {img::FOURCC_GRBG16, "16-bit Bayer, left-aligned"},
    {img::FOURCC_RGGB16, "16-bit Bayer, left-aligned"},
    {img::FOURCC_BGGR12_PACKED_C, "12-bit packed Bayer, layout C"},
    {img::FOURCC_GBRG12_PACKED_C, "12-bit packed Bayer, layout C"},
    {img::FOURCC_GRBG12_PACKED_C, "12-bit packed Bayer, layout C"},
    {img::FOURCC_RGGB12_PACKED_C, "12-bit packed Bayer, layout C"},
    {img::FOURCC_BGGR12_PACKED_D, "12-bit packed Bayer, layout D"},
    {img::FOURCC_GBRG12_PACKED_D, "12-bit packed Bayer, layout D"},
    {img::FOURCC_GRBG12_PACKED_D, "12-bit packed Bayer, layout D"},
    {img::FOURCC_RGGB12_PACKED_D, "12-bit packed Bayer, layout D"},
    {img::FOURCC_YUY2, "packed 4:2:2, Y0 U Y1 V"},
    {img::FOURCC_UYVY, "packed 4:2:2, U Y0 V Y1"},
    {img::FOURCC_I420, "planar 4:2:0, Y U V"},
    {img::FOURCC_YV16, "planar 4:2:2"},
    {img::FOURCC_IYU1, "packed 4:1:1"},
    {img::FOURCC_IYU2, "packed 4:4:4"},
    {img::FOURCC_YUV8PLANAR, "planar 4:4:4, 8-bit"},
    {img::FOURCC_YUV16PLANAR, "planar 4:4:4, 16-bit"},
    {img::FOURCC_YUVF32PLANAR, "planar 4:4:4, 32-bit float"},
    {img::FOURCC_RGB8, "8-bit RGB"},
    {img::FOURCC_RGB24, "RGB24, B G R"},
    {img::FOURCC_RGB32, "RGB32, B G R X"},
    {img::FOURCC_RGB64, "RGB64, 16-bit B G R A"},
    {img::FOURCC_MJPG, "Motion JPEG (size is an estimate)"},
};

const char* const kPatternNames[] = {"BGGR", "GBRG", "GRBG", "RGGB"};

const char* describe(uint32_t fcc) {
  for (const format_text& t : kDescriptions) {
    if (t.fcc == fcc) return t.description;
  }
  return "";
}

bool is_bayer(uint32_t fcc) { return img::is_by8_fcc(fcc) || img::is_by16_fcc(fcc) || img::is_by12pa_fcc(fcc); }

void print_row(FILE* out, uint32_t fcc, const image_size& size) {
  const img::img_type t = img::make_img_type(fcc, size.width, size.height);
  const std::string fcc_quoted = "\"" + fourcc_text(fcc) + "\"";
  const std::string pattern = is_bayer(fcc) ? kPatternNames[img::get_bayer_pattern(fcc)] : "-";
  // A length that does not fit in 32 bits is saturated by the library.
  const std::string length = t.buffer_length == INT32_MAX ? "too large" : std::to_string(t.buffer_length);
  std::fprintf(out, "%-7s 0x%08x %4d %7d %10s  %-6s %s\n", fcc_quoted.c_str(), static_cast<unsigned>(fcc),
               img::get_bits_per_pixel(fcc), static_cast<int>(t.pitch), length.c_str(), pattern.c_str(),
               describe(fcc));
}

}  // namespace

int cmd_pixfmt(const context& ctx, parsed_args& args) {
  FILE* const out = ctx.out;
  FILE* const err = ctx.err;

  image_size size{640, 480};
  if (args.has("size") && !parse_size(args.options["size"].c_str(), &size)) {
    return usage_error(err, "pixfmt",
                       "bad size '" + args.options["size"] + "', expected WxH with 1.." +
                           std::to_string(kMaxDimension) + " each");
  }
  uint32_t only = 0;
  if (args.has("fourcc")) {
    const std::string& text = args.options["fourcc"];
    if (!parse_fourcc(text.c_str(), &only)) {
      return usage_error(err, "pixfmt", "bad FOURCC '" + text + "', expected up to 4 characters or 0xHEX");
    }
    if (img::get_bits_per_pixel(only) == 0) {
      return usage_error(err, "pixfmt", "\"" + fourcc_text(only) + "\" is not a known pixel format");
    }
  }

  std::fprintf(out, "pixel formats for %dx%d\n", size.width, size.height);
  std::fprintf(out, "%-7s %-10s %4s %7s %10s  %-6s %s\n", "FOURCC", "value", "bpp", "pitch", "buffer", "Bayer",
               "description");
  for (int i = 0; img::get_known_fourcc(i) != 0; ++i) {
    const uint32_t fcc = img::get_known_fourcc(i);
    if (only == 0 || fcc == only) print_row(out, fcc, size);
  }
  return kExitOk;
}

command pixfmt_command() {
  return {"pixfmt", "print the image library's pixel formats with their sizes",
          "Every pixel format the image library knows: FOURCC, value, bits per pixel, line\n"
          "pitch and buffer length for one image size, Bayer pattern and description.",
          {{"size", "WxH", "image size for pitch and buffer length (default 640x480)"},
           {"fourcc", "XXXX", "only this format: its characters (\"Y16\" is \"Y16 \")\nor 0xHEX"}},
          {}, "", cmd_pixfmt};
}

}  // namespace tvcam
