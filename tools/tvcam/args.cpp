// Argument parsing for tvcam: options through CLI11, sizes, rates and
// FOURCC texts here.
#include "args.h"

#include <strings.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "img/img_type.h"

namespace tvcam {
namespace {

// Parses a decimal number of 1..kMaxDimension from [*p, end of digits);
// advances *p past the digits.
bool parse_dimension(const char** p, int* value) {
  const char* s = *p;
  long v = 0;
  int digits = 0;
  while (*s >= '0' && *s <= '9') {
    v = v * 10 + (*s - '0');
    if (v > kMaxDimension) return false;
    ++s;
    ++digits;
  }
  if (digits == 0 || v < 1) return false;
  *p = s;
  *value = static_cast<int>(v);
  return true;
}

bool is_printable(char c) { return c >= 0x20 && c < 0x7F; }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

const option_def* find_option(const std::vector<option_def>& defs, const std::string& name) {
  for (const option_def& d : defs) {
    if (name == d.name) return &d;
  }
  return nullptr;
}

}  // namespace

bool parse_size(const char* text, image_size* size) {
  const char* p = text;
  image_size s{};
  if (!parse_dimension(&p, &s.width)) return false;
  if (*p != 'x' && *p != 'X') return false;
  ++p;
  if (!parse_dimension(&p, &s.height) || *p != '\0') return false;
  *size = s;
  return true;
}

bool parse_fourcc(const char* text, uint32_t* fcc) {
  const size_t len = std::strlen(text);
  if (len > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    if (len > 10) return false;
    uint32_t v = 0;
    for (size_t i = 2; i < len; ++i) {
      const int d = hex_digit(text[i]);
      if (d < 0) return false;
      v = v << 4 | static_cast<uint32_t>(d);
    }
    *fcc = v;
    return true;
  }
  if (len == 0 || len > 4) return false;
  char c[4] = {' ', ' ', ' ', ' '};
  for (size_t i = 0; i < len; ++i) {
    if (!is_printable(text[i])) return false;
    c[i] = text[i];
  }
  *fcc = img::make_fourcc(c[0], c[1], c[2], c[3]);
  return true;
}

std::string fourcc_text(uint32_t fcc) {
  std::string s(4, '.');
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((fcc >> (8 * i)) & 0xFF);
    if (is_printable(c)) s[i] = c;
  }
  return s;
}

bool parse_uint(const char* text, uint64_t min, uint64_t max, uint64_t* value) {
  uint64_t v = 0;
  const char* p = text;
  if (*p == '\0') return false;
  for (; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(*p - '0');
    if (v > (max - digit) / 10) return false;  // v * 10 + digit would exceed max
    v = v * 10 + digit;
  }
  if (v < min) return false;
  *value = v;
  return true;
}

bool parse_fps(const char* text, double* fps) {
  const char* p = text;
  double v = 0;
  int digits = 0;
  for (; *p >= '0' && *p <= '9'; ++p, ++digits) {
    v = v * 10 + (*p - '0');
    if (v > kMaxFps) return false;
  }
  if (*p == '.') {
    ++p;
    double scale = 0.1;
    for (; *p >= '0' && *p <= '9'; ++p, ++digits, scale /= 10) v += (*p - '0') * scale;
  }
  if (*p != '\0' || digits == 0 || !(v > 0) || v > kMaxFps) return false;
  *fps = v;
  return true;
}

std::string fps_text(double fps) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", fps);
  std::string s = buf;
  while (!s.empty() && s.back() == '0') s.pop_back();
  if (!s.empty() && s.back() == '.') s.pop_back();
  return s;
}

std::string format_name(uint32_t fcc) {
  if (fcc == img::FOURCC_RGB24) return "RGB24";
  if (fcc == img::FOURCC_RGB32) return "RGB32";
  if (fcc == img::FOURCC_RGB8) return "RGB8";
  std::string s = fourcc_text(fcc);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

bool parse_format_name(const char* text, uint32_t* fcc) {
  static const struct {
    const char* name;
    uint32_t fcc;
  } kBitmapNames[] = {{"RGB24", img::FOURCC_RGB24}, {"RGB32", img::FOURCC_RGB32}, {"RGB8", img::FOURCC_RGB8}};
  for (const auto& n : kBitmapNames) {
    if (strcasecmp(text, n.name) == 0) {
      *fcc = n.fcc;
      return true;
    }
  }
  return parse_fourcc(text, fcc);
}

std::vector<option_def> joined(std::vector<option_def> a, const std::vector<option_def>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

bool parse_options(int argc, char** argv, const std::vector<option_def>& defs, parsed_args* out, std::string* error) {
  // A flag given a value ("--json=1") is refused before CLI11, which would
  // take it as the flag's value.
  for (int i = 0; i < argc; ++i) {
    const char* eq = std::strchr(argv[i], '=');
    if (std::strncmp(argv[i], "--", 2) != 0 || eq == nullptr) continue;
    const option_def* def = find_option(defs, std::string(argv[i] + 2, static_cast<size_t>(eq - argv[i] - 2)));
    if (def != nullptr && def->value == nullptr) {
      *error = "option '--" + std::string(def->name) + "' takes no value";
      return false;
    }
  }
  CLI::App app;
  app.set_help_flag();  // help is the command table's business (cli.cpp)
  app.allow_extras();   // positional arguments and unknown options come back in order
  const size_t count = defs.size();
  std::vector<std::vector<std::string>> values(count);
  std::vector<CLI::Option*> options(count);
  for (size_t i = 0; i < count; ++i) {
    const std::string name = std::string("--") + defs[i].name;
    options[i] = defs[i].value != nullptr ? app.add_option(name, values[i])->expected(1)->allow_extra_args(false) : app.add_flag(name);
    // Given twice, the last counts, unless every one is wanted.
    options[i]->multi_option_policy(defs[i].repeatable ? CLI::MultiOptionPolicy::TakeAll
                                                       : CLI::MultiOptionPolicy::TakeLast);
  }
  std::vector<std::string> args(argv, argv + argc);
  std::reverse(args.begin(), args.end());  // CLI11 takes them last first
  try {
    app.parse(args);
  } catch (const CLI::ParseError&) {
    // The one way this grammar fails: an option without its value.
    for (size_t i = 0; i < count; ++i) {
      const std::string name = std::string("--") + defs[i].name;
      const std::string last = argc > 0 ? argv[argc - 1] : "";
      if (defs[i].value != nullptr && (last == name || last.compare(0, name.size() + 1, name + "=") == 0)) {
        *error = "option '" + name + "' needs a value";
        return false;
      }
    }
    *error = "bad arguments";
    return false;
  }
  parsed_args result;
  for (size_t i = 0; i < count; ++i) {
    if (options[i]->count() == 0) continue;
    result.options[defs[i].name] = values[i].empty() ? "" : values[i].back();
    if (defs[i].repeatable) result.lists[defs[i].name] = values[i];
  }
  for (const std::string& arg : app.remaining()) {
    if (arg.size() >= 3 && arg.compare(0, 2, "--") == 0) {
      *error = "unknown option '" + arg.substr(0, arg.find('=')) + "'";
      return false;
    }
    result.positional.push_back(arg);
  }
  *out = result;
  return true;
}

}  // namespace tvcam
