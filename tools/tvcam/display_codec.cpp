// JPEG and PNG in memory (see display_codec.h).
#include "display_codec.h"

#include <jpeglib.h>
#include <png.h>
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>

namespace tvcam {
namespace {

// libjpeg reports errors through error_exit, which must not return: it
// jumps back to the caller with the message kept.
struct jpeg_failure : jpeg_error_mgr {
  jmp_buf escape;
  char message[JMSG_LENGTH_MAX];
};

void jpeg_fail(j_common_ptr info) {
  jpeg_failure* f = static_cast<jpeg_failure*>(info->err);
  (*info->err->format_message)(info, f->message);
  longjmp(f->escape, 1);
}

// Warnings (corrupt data the decoder worked around) end decoding too: a
// snapshot of a broken frame is worse than none.
void jpeg_warn(j_common_ptr info, int level) {
  if (level < 0) jpeg_fail(info);
}

bool image_complete(const converted_image& image) {
  return image.width > 0 && image.height > 0 &&
         image.pixels.size() >= static_cast<size_t>(image.width) * image.height * image.channels();
}

}  // namespace

bool encode_jpeg(const converted_image& image, int quality, std::vector<uint8_t>* jpeg, std::string* error) {
  if (!image_complete(image)) {
    *error = "empty or short image";
    return false;
  }
  jpeg_compress_struct info;
  jpeg_failure failure;
  info.err = jpeg_std_error(&failure);
  failure.error_exit = jpeg_fail;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  if (setjmp(failure.escape)) {
    jpeg_destroy_compress(&info);
    free(buffer);
    *error = std::string("JPEG encoding failed: ") + failure.message;
    return false;
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = static_cast<JDIMENSION>(image.width);
  info.image_height = static_cast<JDIMENSION>(image.height);
  info.input_components = image.channels();
  info.in_color_space = image.colour == png_colour::rgb ? JCS_RGB : JCS_GRAYSCALE;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(image.row(static_cast<int>(info.next_scanline)));
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg->assign(buffer, buffer + size);
  jpeg_destroy_compress(&info);
  free(buffer);
  return true;
}

bool decode_jpeg(const uint8_t* data, size_t length, converted_image* image, std::string* error) {
  jpeg_decompress_struct info;
  jpeg_failure failure;
  info.err = jpeg_std_error(&failure);
  failure.error_exit = jpeg_fail;
  failure.emit_message = jpeg_warn;
  if (setjmp(failure.escape)) {
    jpeg_destroy_decompress(&info);
    *error = std::string("JPEG decoding failed: ") + failure.message;
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, data, static_cast<unsigned long>(length));
  jpeg_read_header(&info, TRUE);
  const bool grey = info.jpeg_color_space == JCS_GRAYSCALE;
  info.out_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_start_decompress(&info);
  converted_image out;
  out.width = static_cast<int>(info.output_width);
  out.height = static_cast<int>(info.output_height);
  out.colour = grey ? png_colour::grey : png_colour::rgb;
  out.pixels.resize(static_cast<size_t>(out.width) * out.height * out.channels());
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = out.row(static_cast<int>(info.output_scanline));
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  *image = std::move(out);
  return true;
}

namespace {

struct png_sink {
  std::vector<uint8_t>* bytes;
};

void png_append(png_structp png, png_bytep data, png_size_t length) {
  png_sink* sink = static_cast<png_sink*>(png_get_io_ptr(png));
  sink->bytes->insert(sink->bytes->end(), data, data + length);
}

void png_flush_nothing(png_structp) {}

}  // namespace

bool encode_png(const converted_image& image, std::vector<uint8_t>* bytes, std::string* error) {
  if (!image_complete(image)) {
    *error = "empty or short image";
    return false;
  }
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    *error = "out of memory";
    return false;
  }
  std::vector<png_bytep> rows(static_cast<size_t>(image.height));
  for (int y = 0; y < image.height; ++y) rows[y] = const_cast<png_bytep>(image.row(y));
  png_sink sink{bytes};
  bytes->clear();
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    *error = "PNG encoding failed";
    return false;
  }
  png_set_write_fn(png, &sink, png_append, png_flush_nothing);
  png_set_IHDR(png, info, static_cast<png_uint_32>(image.width), static_cast<png_uint_32>(image.height), 8,
               image.colour == png_colour::rgb ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace tvcam
