// A small JSON emitter for tvcam's --json output: objects, arrays, strings,
// integers, numbers and booleans, written to a FILE as they come. Commas and
// nesting are tracked here; strings are escaped (quotes, backslash, control
// characters) and bytes that are not valid UTF-8 become U+FFFD, so the
// output is always valid JSON whatever a camera's strings hold.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace tvcam {

class json_writer {
 public:
  // `indent` > 0 puts each member on its own line; 0 writes one line.
  explicit json_writer(FILE* out, int indent = 2);

  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  // The name of the next member of the current object.
  void key(const char* name);

  void value(const std::string& s);
  void value(const char* s);
  void value(int64_t v);
  void value(uint64_t v);
  void value(int v) { value(static_cast<int64_t>(v)); }
  void value(unsigned v) { value(static_cast<uint64_t>(v)); }
  // Non-finite numbers are written as null; `decimals` fixed digits.
  void value(double v, int decimals = 3);
  void value(bool v);
  void null();

  // key + value in one call.
  template <typename T>
  void member(const char* name, const T& v) {
    key(name);
    value(v);
  }
  void member(const char* name, double v, int decimals) {
    key(name);
    value(v, decimals);
  }

  // Ends the document with a newline (all containers must be closed).
  void finish();

  // The escaped, quoted form of `s`.
  static std::string quote(const std::string& s);

 private:
  void before_value();
  void newline();

  FILE* out_;
  int indent_;
  struct level {
    bool is_object;
    bool empty;
  };
  std::vector<level> stack_;
  bool after_key_ = false;
};

}  // namespace tvcam
