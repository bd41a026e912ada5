// JSON emitter (see json_writer.h).
#include "json_writer.h"

#include <inttypes.h>
#include <math.h>

namespace tvcam {
namespace {

// Length of the valid UTF-8 sequence starting at s[i] (1..4), or 0 when the
// bytes there are not one (overlong forms, surrogates and values above
// U+10FFFF included).
size_t utf8_sequence_length(const std::string& s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  size_t n;
  uint32_t cp;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    const unsigned char t = static_cast<unsigned char>(s[i + k]);
    if ((t & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (t & 0x3F);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  return n;
}

}  // namespace

json_writer::json_writer(FILE* out, int indent) : out_(out), indent_(indent) {}

std::string json_writer::quote(const std::string& s) {
  std::string r = "\"";
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t n = utf8_sequence_length(s, i);
    if (n == 0) {
      r += "\\ufffd";
      ++i;
      continue;
    }
    if (n > 1) {
      r.append(s, i, n);
      i += n;
      continue;
    }
    switch (c) {
      case '"': r += "\\\""; break;
      case '\\': r += "\\\\"; break;
      case '\n': r += "\\n"; break;
      case '\r': r += "\\r"; break;
      case '\t': r += "\\t"; break;
      case '\b': r += "\\b"; break;
      case '\f': r += "\\f"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          snprintf(buf, sizeof buf, "\\u%04x", c);
          r += buf;
        } else {
          r += static_cast<char>(c);
        }
    }
    ++i;
  }
  r += '"';
  return r;
}

void json_writer::newline() {
  if (indent_ <= 0) return;
  fputc('\n', out_);
  for (size_t i = 0; i < stack_.size() * static_cast<size_t>(indent_); ++i) fputc(' ', out_);
}

void json_writer::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!stack_.empty()) {
    if (!stack_.back().empty) fputc(',', out_);
    stack_.back().empty = false;
    newline();
  }
}

void json_writer::key(const char* name) {
  before_value();
  fputs(quote(name).c_str(), out_);
  fputs(indent_ > 0 ? ": " : ":", out_);
  after_key_ = true;
}

void json_writer::begin_object() {
  before_value();
  fputc('{', out_);
  stack_.push_back({true, true});
}

void json_writer::begin_array() {
  before_value();
  fputc('[', out_);
  stack_.push_back({false, true});
}

void json_writer::end_object() {
  const bool empty = stack_.back().empty;
  stack_.pop_back();
  if (!empty) newline();
  fputc('}', out_);
}

void json_writer::end_array() {
  const bool empty = stack_.back().empty;
  stack_.pop_back();
  if (!empty) newline();
  fputc(']', out_);
}

void json_writer::value(const std::string& s) {
  before_value();
  fputs(quote(s).c_str(), out_);
}

void json_writer::value(const char* s) { value(std::string(s ? s : "")); }

void json_writer::value(int64_t v) {
  before_value();
  fprintf(out_, "%" PRId64, v);
}

void json_writer::value(uint64_t v) {
  before_value();
  fprintf(out_, "%" PRIu64, v);
}

void json_writer::value(double v, int decimals) {
  before_value();
  if (!isfinite(v)) {
    fputs("null", out_);
    return;
  }
  fprintf(out_, "%.*f", decimals, v);
}

void json_writer::value(bool v) {
  before_value();
  fputs(v ? "true" : "false", out_);
}

void json_writer::null() {
  before_value();
  fputs("null", out_);
}

void json_writer::finish() { fputc('\n', out_); }

}  // namespace tvcam
