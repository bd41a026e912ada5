// Writing captured frames to disk: PNG through libpng, JPEG and raw bytes as
// they came, and the checks on the output directory made before a capture
// starts (so a bad --out fails at once, not after the camera ran).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "image_convert.h"

namespace tvcam {

// Writes `image` as an 8-bit PNG (grey or RGB). False with a message on any
// I/O or libpng error; a partly written file is removed.
bool write_png(const std::string& path, const converted_image& image, std::string* error);

// Writes `length` bytes as they are.
bool write_bytes(const std::string& path, const uint8_t* data, size_t length, std::string* error);

// Makes sure `dir` exists (creating it and missing parents) and that files
// can be created in it. False with a message naming the directory otherwise.
bool prepare_output_directory(const std::string& dir, std::string* error);

// "<dir>/frame_00012.<extension>".
std::string frame_file_name(const std::string& dir, uint64_t index, const char* extension);

}  // namespace tvcam
