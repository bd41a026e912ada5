// Baseline JPEG encoding through libjpeg-turbo: the YUY2 lines are widened
// to one Y, Cb, Cr triple per pixel (each chroma pair shared by its two
// pixels), and libjpeg samples the chroma back down to 4:2:2.
#include "jpeg_encoder.h"

#include <setjmp.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>

#include <jpeglib.h>  // after stdio.h and stddef.h, which it needs

namespace sim {
namespace {

// libjpeg's error exit must not return: it jumps back to the encoder.
struct jpeg_failure : jpeg_error_mgr {
  jmp_buf escape;
};

void jpeg_fail(j_common_ptr info) { longjmp(static_cast<jpeg_failure*>(info->err)->escape, 1); }

void jpeg_quiet(j_common_ptr, int) {}

}  // namespace

std::vector<uint8_t> encode_jpeg_yuy2(const uint8_t* yuy2, uint32_t width, uint32_t height, int quality,
                                      const std::vector<uint8_t>& comment) {
  std::vector<uint8_t> out;
  if (yuy2 == nullptr || width == 0 || height == 0 || width % 2 != 0 || width > 0xFFFF || height > 0xFFFF) {
    return out;
  }
  jpeg_compress_struct info;
  jpeg_failure failure;
  info.err = jpeg_std_error(&failure);
  failure.error_exit = jpeg_fail;
  failure.emit_message = jpeg_quiet;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  std::vector<uint8_t> line(static_cast<size_t>(width) * 3);
  if (setjmp(failure.escape)) {
    jpeg_destroy_compress(&info);
    free(buffer);
    return std::vector<uint8_t>();
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = width;
  info.image_height = height;
  info.input_components = 3;
  info.in_color_space = JCS_YCbCr;
  jpeg_set_defaults(&info);
  jpeg_set_colorspace(&info, JCS_YCbCr);
  jpeg_set_quality(&info, quality < 1 ? 1 : quality > 100 ? 100 : quality, TRUE);
  // 4:2:2 as USB cameras send it: two luminance blocks per chroma block.
  info.comp_info[0].h_samp_factor = 2;
  info.comp_info[0].v_samp_factor = 1;
  for (int c = 1; c < 3; ++c) info.comp_info[c].h_samp_factor = info.comp_info[c].v_samp_factor = 1;
  // Nothing between the start marker and the comment, where the frame number is read.
  info.write_JFIF_header = FALSE;
  info.write_Adobe_marker = FALSE;
  jpeg_start_compress(&info, TRUE);
  if (!comment.empty()) {
    jpeg_write_marker(&info, JPEG_COM, comment.data(), static_cast<unsigned>(comment.size()));
  }
  const size_t pitch = static_cast<size_t>(width) * 2;
  while (info.next_scanline < height) {
    const uint8_t* src = yuy2 + info.next_scanline * pitch;
    for (uint32_t x = 0; x < width; x += 2, src += 4) {  // Y0 U Y1 V
      uint8_t* dst = &line[static_cast<size_t>(x) * 3];
      dst[0] = src[0];
      dst[1] = src[1];
      dst[2] = src[3];
      dst[3] = src[2];
      dst[4] = src[1];
      dst[5] = src[3];
    }
    JSAMPROW row = line.data();
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  out.assign(buffer, buffer + size);
  jpeg_destroy_compress(&info);
  free(buffer);
  return out;
}

}  // namespace sim
