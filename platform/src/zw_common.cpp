// Helpers shared by the registry and file routines: the IRQL rule of the Zw
// routines and the UTF-16 / UTF-8 conversions between driver names and the
// host.
#include "io_internal.h"

namespace kstandin {

void check_zw_irql(const char* routine) {
  const KIRQL irql = current_irql();
  if (irql != PASSIVE_LEVEL) {
    report_violation("zw_at_dispatch", std::string(routine) + " called at IRQL " +
                                           std::to_string(irql) + ", needs PASSIVE_LEVEL");
  }
}

std::u16string utf16_from_utf8(const std::string& text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = (unsigned char)text[i];
    uint32_t cp = 0xFFFD;
    size_t len = 1;
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0 && i + 1 < text.size()) {
      cp = ((c & 0x1Fu) << 6) | (text[i + 1] & 0x3Fu);
      len = 2;
    } else if ((c & 0xF0) == 0xE0 && i + 2 < text.size()) {
      cp = ((c & 0x0Fu) << 12) | ((text[i + 1] & 0x3Fu) << 6) | (text[i + 2] & 0x3Fu);
      len = 3;
    } else if ((c & 0xF8) == 0xF0 && i + 3 < text.size()) {
      cp = ((c & 0x07u) << 18) | ((text[i + 1] & 0x3Fu) << 12) | ((text[i + 2] & 0x3Fu) << 6) |
           (text[i + 3] & 0x3Fu);
      len = 4;
    }
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back((char16_t)(0xD800 + (cp >> 10)));
      out.push_back((char16_t)(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back((char16_t)cp);
    }
  }
  return out;
}

std::string utf8_from_utf16(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = text[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    if (cp < 0x80) {
      out.push_back((char)cp);
    } else if (cp < 0x800) {
      out.push_back((char)(0xC0 | (cp >> 6)));
      out.push_back((char)(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back((char)(0xE0 | (cp >> 12)));
      out.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back((char)(0x80 | (cp & 0x3F)));
    } else {
      out.push_back((char)(0xF0 | (cp >> 18)));
      out.push_back((char)(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back((char)(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::u16string from_unicode_string(const UNICODE_STRING* s) {
  if (s == nullptr || s->Buffer == nullptr) return std::u16string();
  return std::u16string((const char16_t*)s->Buffer, s->Length / sizeof(WCHAR));
}

// Case folding as the registry and the file system see it for the names a
// driver uses: ASCII and Latin-1 letters.
char16_t upcase(char16_t c) {
  if (c >= u'a' && c <= u'z') return (char16_t)(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return (char16_t)(c - 0x20);
  return c;
}

std::u16string upcase(const std::u16string& s) {
  std::u16string out(s);
  for (auto& c : out) c = upcase(c);
  return out;
}

}  // namespace kstandin
