// DbgPrint and its relatives, the debug log that tests read, assertions and
// bug checks.
//
// The formatter understands what the kernel's DbgPrint does beyond printf:
// %wZ (PUNICODE_STRING), %Z (PANSI_STRING), 16-bit wide strings and
// characters (%ws, %ls, %S, %wc, %lc, %C) and the %I64 / %I32 / %I size
// prefixes. Sizes follow LLP64: %ld and %lx take a 32-bit argument. Wide
// text is written to the log as UTF-8.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include <kstandin/testing.h>

#include "ke_core.h"

namespace kstandin {
namespace {

std::mutex& log_lock() {
  static auto* lock = new std::mutex;
  return *lock;
}
std::atomic<bool> echo{false};

// Long runs that nobody reads the log of (tools, fuzzers, benchmarks) keep
// only the newest entries.
constexpr size_t kMaxLogEntries = 100000;

// Never destroyed: detached system threads may still print during exit.
std::deque<std::string>& debug_log() {
  static auto* log = new std::deque<std::string>;
  return *log;
}

void append_utf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += (char)code;
  } else if (code < 0x800) {
    out += (char)(0xC0 | (code >> 6));
    out += (char)(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += (char)(0xE0 | (code >> 12));
    out += (char)(0x80 | ((code >> 6) & 0x3F));
    out += (char)(0x80 | (code & 0x3F));
  } else {
    out += (char)(0xF0 | (code >> 18));
    out += (char)(0x80 | ((code >> 12) & 0x3F));
    out += (char)(0x80 | ((code >> 6) & 0x3F));
    out += (char)(0x80 | (code & 0x3F));
  }
}

// `count` UTF-16 code units (or up to the terminator when count < 0), at
// most `limit` of them (limit < 0: no limit).
std::string wide_to_utf8(const WCHAR* text, long count, long limit) {
  std::string out;
  if (limit >= 0 && (count < 0 || count > limit)) count = limit;
  for (long i = 0; count < 0 || i < count; ++i) {
    uint32_t code = (uint16_t)text[i];
    if (count < 0 && code == 0) break;
    if (code >= 0xD800 && code < 0xDC00 && (count < 0 || i + 1 < count)) {
      const uint32_t low = (uint16_t)text[i + 1];
      if (low >= 0xDC00 && low < 0xE000) {
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    append_utf8(out, code);
  }
  return out;
}

struct conv_spec {
  bool left = false;
  bool plus = false;
  bool space = false;
  bool alternate = false;
  bool zero = false;
  int width = 0;
  int precision = -1;  // -1: none
};

void pad_and_append(std::string& out, const std::string& text, const conv_spec& s) {
  const size_t width = s.width > 0 ? (size_t)s.width : 0;
  if (text.size() >= width) {
    out += text;
  } else if (s.left) {
    out += text;
    out.append(width - text.size(), ' ');
  } else {
    out.append(width - text.size(), ' ');
    out += text;
  }
}

// printf-style conversion of one number, with the flags, width and
// precision given.
template <typename T>
void append_number(std::string& out, const conv_spec& s, const char* length, char conversion, T value) {
  std::string format = "%";
  if (s.left) format += '-';
  if (s.plus) format += '+';
  if (s.space) format += ' ';
  if (s.alternate) format += '#';
  if (s.zero) format += '0';
  if (s.width > 0) format += std::to_string(s.width);
  if (s.precision >= 0) format += "." + std::to_string(s.precision);
  format += length;
  format += conversion;
  char buffer[512];
  std::snprintf(buffer, sizeof(buffer), format.c_str(), value);
  out += buffer;
}

enum class size_class { normal, byte, half, wide, quad, pointer };

}  // namespace

std::string format_kernel_message(const char* format, va_list args) {
  std::string out;
  if (format == nullptr) return out;
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    const char* start = p++;
    if (*p == '%') {
      out += '%';
      continue;
    }
    conv_spec s;
    for (;; ++p) {
      if (*p == '-')
        s.left = true;
      else if (*p == '+')
        s.plus = true;
      else if (*p == ' ')
        s.space = true;
      else if (*p == '#')
        s.alternate = true;
      else if (*p == '0')
        s.zero = true;
      else
        break;
    }
    if (*p == '*') {
      s.width = va_arg(args, int);
      if (s.width < 0) {
        s.left = true;
        s.width = -s.width;
      }
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') s.width = s.width * 10 + (*p++ - '0');
    }
    if (*p == '.') {
      ++p;
      s.precision = 0;
      if (*p == '*') {
        s.precision = va_arg(args, int);
        ++p;
      } else {
        while (*p >= '0' && *p <= '9') s.precision = s.precision * 10 + (*p++ - '0');
      }
    }
    size_class size = size_class::normal;
    bool wide = false;    // w or l before a character or string conversion
    bool narrow = false;  // h before a character or string conversion
    if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      size = size_class::quad;
      p += 3;
    } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
      p += 3;
    } else if (*p == 'I' || *p == 'z' || *p == 't' || *p == 'j') {
      size = size_class::pointer;
      ++p;
    } else if (p[0] == 'l' && p[1] == 'l') {
      size = size_class::quad;
      p += 2;
    } else if (p[0] == 'h' && p[1] == 'h') {
      size = size_class::byte;
      p += 2;
    } else if (*p == 'l' || *p == 'w') {
      wide = true;  // LLP64: a long is 32 bits, so the integer size stays normal
      ++p;
    } else if (*p == 'h') {
      size = size_class::half;
      narrow = true;
      ++p;
    } else if (*p == 'L') {
      ++p;
    }
    const char conversion = *p;
    switch (conversion) {
      case 'd':
      case 'i': {
        long long value;
        if (size == size_class::quad || size == size_class::pointer)
          value = va_arg(args, long long);
        else
          value = va_arg(args, int);
        if (size == size_class::half) value = (short)value;
        if (size == size_class::byte) value = (signed char)value;
        append_number(out, s, "ll", 'd', value);
        break;
      }
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        unsigned long long value;
        if (size == size_class::quad || size == size_class::pointer) {
          value = va_arg(args, unsigned long long);
        } else {
          value = va_arg(args, unsigned int);
        }
        if (size == size_class::half) value = (unsigned short)value;
        if (size == size_class::byte) value = (unsigned char)value;
        append_number(out, s, "ll", conversion, value);
        break;
      }
      case 'p': {
        const void* value = va_arg(args, void*);
        conv_spec pointer_conv = s;
        pointer_conv.zero = true;
        if (pointer_conv.width < 16) pointer_conv.width = 16;
        append_number(out, pointer_conv, "ll", 'X', (unsigned long long)(uintptr_t)value);
        break;
      }
      case 'c':
      case 'C': {
        const int value = va_arg(args, int);
        std::string text;
        if ((conversion == 'C' && !narrow) || wide)
          append_utf8(text, (uint16_t)value);
        else
          text += (char)value;
        pad_and_append(out, text, s);
        break;
      }
      case 's':
      case 'S': {
        const bool is_wide = (conversion == 'S' && !narrow) || wide;
        std::string text;
        if (is_wide) {
          const WCHAR* value = va_arg(args, const WCHAR*);
          text = value == nullptr ? "(null)" : wide_to_utf8(value, -1, s.precision);
        } else {
          const char* value = va_arg(args, const char*);
          if (value == nullptr) {
            text = "(null)";
          } else {
            size_t length = 0;
            while (value[length] != '\0' && (s.precision < 0 || length < (size_t)s.precision)) {
              ++length;
            }
            text.assign(value, length);
          }
        }
        pad_and_append(out, text, s);
        break;
      }
      case 'Z': {
        std::string text;
        if (wide) {
          const UNICODE_STRING* value = va_arg(args, const UNICODE_STRING*);
          if (value == nullptr || value->Buffer == nullptr)
            text = "(null)";
          else
            text = wide_to_utf8(value->Buffer, value->Length / sizeof(WCHAR), s.precision);
        } else {
          const ANSI_STRING* value = va_arg(args, const ANSI_STRING*);
          if (value == nullptr || value->Buffer == nullptr) {
            text = "(null)";
          } else {
            size_t length = value->Length;
            if (s.precision >= 0 && length > (size_t)s.precision) length = s.precision;
            text.assign(value->Buffer, length);
          }
        }
        pad_and_append(out, text, s);
        break;
      }
      case 'e':
      case 'E':
      case 'f':
      case 'F':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        append_number(out, s, "", conversion, va_arg(args, double));
        break;
      case 'n':
        (void)va_arg(args, void*);  // writing back counts is not supported
        break;
      case '\0':
        out.append(start);
        return out;
      default:
        out.append(start, p + 1);  // unknown conversion: kept as written
        break;
    }
  }
  return out;
}

void debug_log_append(std::string entry) {
  if (echo.load(std::memory_order_relaxed)) {
    std::fputs(entry.c_str(), stderr);
  }
  std::lock_guard<std::mutex> guard(log_lock());
  auto& log = debug_log();
  if (log.size() >= kMaxLogEntries) log.pop_front();
  log.push_back(std::move(entry));
}

std::vector<std::string> take_debug_log() {
  std::lock_guard<std::mutex> guard(log_lock());
  auto& log = debug_log();
  std::vector<std::string> taken(std::make_move_iterator(log.begin()),
                                 std::make_move_iterator(log.end()));
  log.clear();
  return taken;
}

void set_debug_echo(bool on) { echo.store(on, std::memory_order_relaxed); }

}  // namespace kstandin

ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist) {
  kstandin::debug_log_append(kstandin::format_kernel_message(Format, arglist));
  return STATUS_SUCCESS;
}

ULONG DbgPrint(PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  vDbgPrintEx(DPFLTR_DEFAULT_ID, DPFLTR_ERROR_LEVEL, Format, args);
  va_end(args);
  return STATUS_SUCCESS;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  vDbgPrintEx(ComponentId, Level, Format, args);
  va_end(args);
  return STATUS_SUCCESS;
}

VOID NTAPI RtlAssert(PVOID VoidFailedAssertion, PVOID VoidFileName, ULONG LineNumber,
                     PSTR MutableMessage) {
  const char* expression = static_cast<const char*>(VoidFailedAssertion);
  const char* file = static_cast<const char*>(VoidFileName);
  if (file == nullptr) file = "?";
  for (const char* p = file; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') file = p + 1;
  }
  std::string where = std::string(file) + ", line " + std::to_string(LineNumber);
  std::string text = "Assertion failed: ";
  if (MutableMessage != nullptr) text += std::string(MutableMessage) + ": ";
  text += expression != nullptr ? expression : "?";
  kstandin::debug_log_append(text + " (" + where + ")\n");
  kstandin::report_violation("assertion", text + " at " + where);
}

VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1,
                        ULONG_PTR BugCheckParameter2, ULONG_PTR BugCheckParameter3,
                        ULONG_PTR BugCheckParameter4) {
  char text[160];
  std::snprintf(text, sizeof(text), "bug check 0x%08X (0x%llX, 0x%llX, 0x%llX, 0x%llX)",
                BugCheckCode, (unsigned long long)BugCheckParameter1,
                (unsigned long long)BugCheckParameter2, (unsigned long long)BugCheckParameter3,
                (unsigned long long)BugCheckParameter4);
  kstandin::report_violation("bug_check", text);
  kstandin::debug_log_append(std::string("*** STOP: ") + text + "\n");
  std::fprintf(stderr, "*** STOP: %s\n", text);
  std::fflush(stderr);
  std::abort();
}

VOID NTAPI KeBugCheck(ULONG BugCheckCode) { KeBugCheckEx(BugCheckCode, 0, 0, 0, 0); }
