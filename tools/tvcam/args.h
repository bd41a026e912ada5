// Command-line argument parsing for tvcam: option scanning (CLI11), image
// sizes and FOURCC texts. Depends on nothing but CLI11 and the image
// library's FOURCC helpers.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

namespace tvcam {

struct image_size {
  int width;
  int height;
};

// Largest width or height accepted (the USB Video Class sizes are 16-bit).
constexpr int kMaxDimension = 65535;

// Parses "WxH" (decimal, 1..kMaxDimension each, 'x' or 'X').
bool parse_size(const char* text, image_size* size);

// Parses a FOURCC given as its characters ("Y800"; shorter texts are padded
// with spaces, so "Y16" is "Y16 ") or as a hexadecimal value ("0x20363159").
bool parse_fourcc(const char* text, uint32_t* fcc);

// The four characters of a FOURCC; bytes outside printable ASCII as '.'.
std::string fourcc_text(uint32_t fcc);

// Parses a decimal integer of min..max (no sign, no spaces).
bool parse_uint(const char* text, uint64_t min, uint64_t max, uint64_t* value);

// Parses a frame rate: a decimal number above 0 and at most kMaxFps, with
// an optional fraction ("30", "7.5", "29.97").
constexpr double kMaxFps = 10000;
bool parse_fps(const char* text, double* fps);

// A frame rate for people: up to two decimals, without trailing zeros
// ("30", "7.5", "29.97").
std::string fps_text(double fps);

// The name of a pin format: "RGB24", "RGB32" and "RGB8" for the Windows
// bitmap subtypes (FOURCCs "RGB3", "RGB4", "RGB8"), otherwise the FOURCC's
// characters without trailing spaces ("Y16").
std::string format_name(uint32_t fcc);

// Parses a --format value: "RGB24", "RGB32", "RGB8" (any case) or a FOURCC
// as parse_fourcc takes it.
bool parse_format_name(const char* text, uint32_t* fcc);

// One option of a command: what it is called, what its value looks like
// and what it does, for parsing and for the command's --help.
struct option_def {
  const char* name;           // without the leading "--"
  const char* value;          // its value in the help ("WxH"); null for a flag
  const char* help;           // one or more lines
  const char* group = nullptr;  // the help section; null: "Options"
  bool repeatable = false;    // every value is kept (parsed_args::lists), not only the last
};

// A positional argument, for the help only: the command checks them.
struct positional_def {
  const char* name;  // "NAME=VALUE"
  const char* help;
  bool required;
  bool many;  // may be given more than once
};

struct parsed_args {
  std::map<std::string, std::string> options;  // name -> value ("" for flags); the last one given
  std::map<std::string, std::vector<std::string>> lists;  // repeatable options: every value in order
  std::vector<std::string> positional;

  bool has(const std::string& name) const { return options.count(name) != 0; }
};

// Scans "--name value", "--name=value", "--flag" and positional arguments
// through CLI11. Returns false with a message for an unknown option, a
// missing value or a value given to a flag.
bool parse_options(int argc, char** argv, const std::vector<option_def>& defs, parsed_args* out, std::string* error);

// `a` followed by `b`.
std::vector<option_def> joined(std::vector<option_def> a, const std::vector<option_def>& b);

}  // namespace tvcam
