// Frame to PNG row conversion (see image_convert.h).
#include "image_convert.h"

#include "img/img_type.h"

namespace tvcam {
namespace {

uint8_t clamp8(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// Byte offsets of Y0, U, Y1, V in one 4-byte group of a packed 4:2:2 format.
struct yuv422_layout {
  int y0, u, y1, v;
};
constexpr yuv422_layout kYuy2{0, 1, 2, 3};
constexpr yuv422_layout kUyvy{1, 0, 3, 2};

void convert_yuv422_row(const uint8_t* src, int width, const yuv422_layout& l, uint8_t* dst) {
  for (int x = 0; x < width; x += 2, src += 4, dst += 6) {
    yuv_to_rgb(src[l.y0], src[l.u], src[l.v], dst);
    yuv_to_rgb(src[l.y1], src[l.u], src[l.v], dst + 3);
  }
}

void convert_y16_row(const uint8_t* src, int width, uint8_t* dst) {
  for (int x = 0; x < width; ++x) dst[x] = src[2 * x + 1];  // little-endian: the high byte second
}

// B G R (X) to R G B; `step` is 3 or 4 source bytes per pixel.
void convert_bgr_row(const uint8_t* src, int width, int step, uint8_t* dst) {
  for (int x = 0; x < width; ++x, src += step, dst += 3) {
    dst[0] = src[2];
    dst[1] = src[1];
    dst[2] = src[0];
  }
}

bool is_yuv422(uint32_t fcc) { return fcc == img::FOURCC_YUY2 || fcc == img::FOURCC_UYVY; }

}  // namespace

void yuv_to_rgb(int y, int u, int v, uint8_t rgb[3]) {
  const int c = 298 * (y - 16) + 128;
  const int d = u - 128;
  const int e = v - 128;
  // Arithmetic shifts of the scaled sums; the clamp absorbs the negative ones.
  rgb[0] = clamp8((c + 409 * e) >> 8);
  rgb[1] = clamp8((c - 100 * d - 208 * e) >> 8);
  rgb[2] = clamp8((c + 516 * d) >> 8);
}

bool can_convert(uint32_t fcc) {
  return is_yuv422(fcc) || fcc == img::FOURCC_Y800 || fcc == img::FOURCC_Y16 || fcc == img::FOURCC_RGB24 ||
         fcc == img::FOURCC_RGB32;
}

size_t min_row_bytes(uint32_t fcc, int width) {
  const size_t bits = static_cast<size_t>(img::get_bits_per_pixel(fcc)) * static_cast<size_t>(width);
  return (bits + 7) / 8;
}

size_t frame_pitch(uint32_t fcc, int width, int height, size_t data_used) {
  const size_t packed = min_row_bytes(fcc, width);
  const size_t padded = (packed + 3) & ~static_cast<size_t>(3);
  if (padded != packed && height > 0 && data_used >= padded * static_cast<size_t>(height)) return padded;
  return packed;
}

bool convert_frame(uint32_t fcc, int width, int height, size_t pitch, bool bottom_up, const uint8_t* data,
                   size_t length, converted_image* image, std::string* error) {
  if (!can_convert(fcc)) {
    *error = "frames of this format are not converted (use --raw)";
    return false;
  }
  if (width <= 0 || height <= 0) {
    *error = "empty image size";
    return false;
  }
  if (is_yuv422(fcc) && width % 2 != 0) {
    *error = "a 4:2:2 frame needs an even width";
    return false;
  }
  if (pitch < min_row_bytes(fcc, width)) {
    *error = "line pitch shorter than a line";
    return false;
  }
  // Every row read ends within the data: (height - 1) pitches plus one row.
  const size_t needed = pitch * static_cast<size_t>(height - 1) + min_row_bytes(fcc, width);
  if (length < needed) {
    *error = "frame holds " + std::to_string(length) + " bytes, " + std::to_string(needed) + " needed";
    return false;
  }

  image->width = width;
  image->height = height;
  image->colour = (fcc == img::FOURCC_Y800 || fcc == img::FOURCC_Y16) ? png_colour::grey : png_colour::rgb;
  image->pixels.assign(static_cast<size_t>(width) * height * image->channels(), 0);
  const bool flip = bottom_up && (fcc == img::FOURCC_RGB24 || fcc == img::FOURCC_RGB32);
  for (int y = 0; y < height; ++y) {
    const uint8_t* src = data + pitch * static_cast<size_t>(flip ? height - 1 - y : y);
    uint8_t* dst = image->row(y);
    if (fcc == img::FOURCC_YUY2) {
      convert_yuv422_row(src, width, kYuy2, dst);
    } else if (fcc == img::FOURCC_UYVY) {
      convert_yuv422_row(src, width, kUyvy, dst);
    } else if (fcc == img::FOURCC_Y800) {
      for (int x = 0; x < width; ++x) dst[x] = src[x];
    } else if (fcc == img::FOURCC_Y16) {
      convert_y16_row(src, width, dst);
    } else {
      convert_bgr_row(src, width, fcc == img::FOURCC_RGB24 ? 3 : 4, dst);
    }
  }
  return true;
}

}  // namespace tvcam
