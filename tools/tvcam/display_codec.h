// Pictures for people looking at a stream: converted frames encoded as JPEG
// for the live view and as PNG for snapshots, and MJPEG frames decoded for
// snapshots. JPEG goes through libjpeg-turbo, PNG through libpng; all in
// memory.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "image_convert.h"

namespace tvcam {

// Encodes an 8-bit grey or RGB image as a baseline JPEG of `quality`
// (1..100). False with libjpeg's message.
bool encode_jpeg(const converted_image& image, int quality, std::vector<uint8_t>* jpeg, std::string* error);

// Decodes a JPEG into 8-bit RGB rows (grey JPEGs stay grey). False with
// libjpeg's message for data it refuses, a cut-short frame included.
bool decode_jpeg(const uint8_t* data, size_t length, converted_image* image, std::string* error);

// Encodes an image as a PNG file in memory.
bool encode_png(const converted_image& image, std::vector<uint8_t>* png, std::string* error);

}  // namespace tvcam
