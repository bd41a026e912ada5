// Frame files (see frame_files.h).
#include "frame_files.h"

#include <errno.h>
#include <png.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace tvcam {
namespace {

// libpng reports errors by longjmp out of png_write_*; the message is kept
// here first. Only plain data lives in the frame that setjmp saves.
void on_png_error(png_structp png, png_const_charp message) {
  char* text = static_cast<char*>(png_get_error_ptr(png));
  snprintf(text, 256, "%s", message);
  png_longjmp(png, 1);
}

void on_png_warning(png_structp, png_const_charp) {}

// Returns 0 on success; on failure fills `message` (256 bytes).
int write_png_file(FILE* f, const converted_image& image, png_bytep* rows, char* message) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, message, on_png_error, on_png_warning);
  if (!png) {
    snprintf(message, 256, "out of memory");
    return -1;
  }
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    snprintf(message, 256, "out of memory");
    return -1;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return -1;
  }
  png_init_io(png, f);
  // Fast compression: a capture writes many frames, and size matters less.
  png_set_compression_level(png, 1);
  png_set_IHDR(png, info, static_cast<png_uint_32>(image.width), static_cast<png_uint_32>(image.height), 8,
               image.colour == png_colour::rgb ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return 0;
}

std::string errno_text(int e) { return strerror(e); }

}  // namespace

bool write_png(const std::string& path, const converted_image& image, std::string* error) {
  if (image.width <= 0 || image.height <= 0 ||
      image.pixels.size() < static_cast<size_t>(image.width) * image.height * image.channels()) {
    *error = "empty or short image for " + path;
    return false;
  }
  std::vector<png_bytep> rows(static_cast<size_t>(image.height));
  for (int y = 0; y < image.height; ++y) rows[y] = const_cast<png_bytep>(image.row(y));

  FILE* f = fopen(path.c_str(), "wb");
  if (!f) {
    *error = "cannot create " + path + ": " + errno_text(errno);
    return false;
  }
  char message[256] = {};
  const int result = write_png_file(f, image, rows.data(), message);
  const bool closed = fclose(f) == 0;
  if (result != 0 || !closed) {
    *error = "cannot write " + path + ": " + (result != 0 ? std::string(message) : errno_text(errno));
    remove(path.c_str());
    return false;
  }
  return true;
}

bool write_bytes(const std::string& path, const uint8_t* data, size_t length, std::string* error) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) {
    *error = "cannot create " + path + ": " + errno_text(errno);
    return false;
  }
  const bool written = length == 0 || fwrite(data, 1, length, f) == length;
  const int write_errno = errno;
  const bool closed = fclose(f) == 0;
  if (!written || !closed) {
    *error = "cannot write " + path + ": " + errno_text(written ? errno : write_errno);
    remove(path.c_str());
    return false;
  }
  return true;
}

bool prepare_output_directory(const std::string& dir, std::string* error) {
  if (dir.empty()) {
    *error = "empty output directory name";
    return false;
  }
  // Create each missing component in turn ("a/b/c" -> "a", "a/b", "a/b/c").
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    const std::string part = dir.substr(0, pos);
    struct stat st;
    if (stat(part.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) {
        *error = "output directory '" + dir + "': '" + part + "' is not a directory";
        return false;
      }
      continue;
    }
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
      *error = "cannot create output directory '" + part + "': " + errno_text(errno);
      return false;
    }
  }
  // Creating a file is the only honest test (permission bits say nothing
  // for root, read-only mounts and full disks).
  std::string probe = dir + "/.tvcam-XXXXXX";
  const int fd = mkstemp(&probe[0]);
  if (fd < 0) {
    *error = "output directory '" + dir + "' is not writable: " + errno_text(errno);
    return false;
  }
  close(fd);
  unlink(probe.c_str());
  return true;
}

std::string frame_file_name(const std::string& dir, uint64_t index, const char* extension) {
  char name[48];
  snprintf(name, sizeof name, "frame_%05llu.%s", static_cast<unsigned long long>(index), extension);
  return dir + (dir.back() == '/' ? "" : "/") + name;
}

}  // namespace tvcam
