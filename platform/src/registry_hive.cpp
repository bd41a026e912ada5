// The registry: an in-memory hive of keys and values behind the Zw key
// routines, the device keys of physical device objects, and the test API
// that reads, writes, saves and loads it.
//
// One mutex guards the whole hive. Key handles hold a shared reference to
// their node, so a key deleted (or a hive reset) under an open handle stays
// valid memory and answers STATUS_KEY_DELETED.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

#include "io_internal.h"

namespace kstandin {
namespace {

struct reg_value {
  std::u16string name;
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
};

struct key_node {
  std::u16string name;
  key_node* parent = nullptr;  // owner; null for the root
  std::map<std::u16string, std::shared_ptr<key_node>> children;  // by upcased name
  std::vector<reg_value> values;  // creation order
  bool deleted = false;
  bool is_volatile = false;  // not saved
  LONGLONG last_write = 0;
};

constexpr size_t kMaxKeyNameChars = 255;
const char16_t kClassGuid[] = u"{6bdd1fc6-810f-11d0-bec7-08002be2092f}";
const char16_t kControlSet[] = u"\\Registry\\Machine\\System\\CurrentControlSet";

struct hive {
  std::mutex lock;
  std::shared_ptr<key_node> root;
};

std::shared_ptr<key_node> make_node(const std::u16string& name, key_node* parent) {
  auto node = std::make_shared<key_node>();
  node->name = name;
  node->parent = parent;
  return node;
}

// Creates the path below `node` (components already split), intermediates
// included; returns the last node.
std::shared_ptr<key_node> create_path(std::shared_ptr<key_node> node,
                                      const std::vector<std::u16string>& components) {
  for (const auto& component : components) {
    auto& slot = node->children[upcase(component)];
    if (!slot) slot = make_node(component, node.get());
    node = slot;
  }
  return node;
}

std::vector<std::u16string> split(const std::u16string& path) {
  std::vector<std::u16string> parts;
  std::u16string current;
  for (char16_t c : path) {
    if (c == u'\\') {
      parts.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  parts.push_back(current);
  return parts;
}

std::shared_ptr<key_node> make_skeleton() {
  auto root = make_node(u"REGISTRY", nullptr);
  for (const char16_t* path :
       {u"Machine\\Software", u"Machine\\Hardware", u"Machine\\System\\CurrentControlSet\\Enum",
        u"Machine\\System\\CurrentControlSet\\Services",
        u"Machine\\System\\CurrentControlSet\\Control\\Class", u"User"}) {
    create_path(root, split(path));
  }
  return root;
}

hive& the_hive() {
  static auto* h = [] {
    auto* created = new hive;
    created->root = make_skeleton();
    return created;
  }();
  return *h;
}

// Splits an absolute path ("\Registry\...") into the components below the
// root. False when it does not name something under \Registry.
NTSTATUS absolute_components(const std::u16string& path, std::vector<std::u16string>* out) {
  if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  auto parts = split(path.substr(1));
  if (upcase(parts[0]) != u"REGISTRY") return STATUS_OBJECT_NAME_NOT_FOUND;
  parts.erase(parts.begin());
  if (parts.size() == 1 && parts[0].empty()) parts.clear();  // "\Registry\" is the root
  *out = std::move(parts);
  return STATUS_SUCCESS;
}

NTSTATUS check_components(const std::vector<std::u16string>& parts) {
  for (const auto& p : parts) {
    if (p.empty()) return STATUS_OBJECT_NAME_INVALID;
    if (p.size() > kMaxKeyNameChars) return STATUS_INVALID_PARAMETER;
  }
  return STATUS_SUCCESS;
}

std::shared_ptr<key_node> find_path(std::shared_ptr<key_node> node,
                                    const std::vector<std::u16string>& parts) {
  for (const auto& p : parts) {
    auto it = node->children.find(upcase(p));
    if (it == node->children.end()) return nullptr;
    node = it->second;
  }
  return node;
}

ACCESS_MASK map_key_access(ACCESS_MASK access) {
  if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= KEY_ALL_ACCESS;
  if (access & GENERIC_READ) access |= KEY_READ;
  if (access & GENERIC_WRITE) access |= KEY_WRITE;
  if (access & GENERIC_EXECUTE) access |= KEY_EXECUTE;
  return access & ~(GENERIC_ALL | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | MAXIMUM_ALLOWED);
}

HANDLE open_handle(std::shared_ptr<key_node> node, ACCESS_MASK access) {
  handle_entry entry;
  entry.kind = handle_kind::key;
  entry.access = map_key_access(access);
  entry.object = std::static_pointer_cast<void>(node);
  return insert_handle(entry);
}

// The key behind a handle, checked for `needed` access. Caller holds the
// hive lock when it goes on to use the node.
NTSTATUS key_from_handle(HANDLE handle, ACCESS_MASK needed, std::shared_ptr<key_node>* node) {
  handle_entry entry;
  if (!lookup_handle(handle, &entry)) return STATUS_INVALID_HANDLE;
  if (entry.kind != handle_kind::key) return STATUS_OBJECT_TYPE_MISMATCH;
  if ((entry.access & needed) != needed) return STATUS_ACCESS_DENIED;
  *node = std::static_pointer_cast<key_node>(entry.object);
  return STATUS_SUCCESS;
}

LONGLONG now_100ns() {
  LARGE_INTEGER t;
  KeQuerySystemTime(&t);
  return t.QuadPart;
}

NTSTATUS open_or_create(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                        POBJECT_ATTRIBUTES ObjectAttributes, bool create, ULONG CreateOptions,
                        PULONG Disposition) {
  if (KeyHandle == NULL || ObjectAttributes == NULL) return STATUS_INVALID_PARAMETER;
  const UNICODE_STRING* name = ObjectAttributes->ObjectName;
  if (name != NULL && (name->Length % 2 != 0 || name->Length > name->MaximumLength)) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  const std::u16string text = from_unicode_string(name);
  auto& h = the_hive();
  std::shared_ptr<key_node> start;
  std::vector<std::u16string> parts;
  if (ObjectAttributes->RootDirectory != NULL) {
    const NTSTATUS status = key_from_handle(ObjectAttributes->RootDirectory, 0, &start);
    if (!NT_SUCCESS(status)) return status;
    if (!text.empty() && text[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (!text.empty()) parts = split(text);
  } else {
    const NTSTATUS status = absolute_components(text, &parts);
    if (!NT_SUCCESS(status)) return status;
  }
  NTSTATUS status = check_components(parts);
  if (!NT_SUCCESS(status)) return status;

  std::lock_guard<std::mutex> guard(h.lock);
  if (!start) start = h.root;
  if (start->deleted) return STATUS_KEY_DELETED;
  std::shared_ptr<key_node> node = find_path(start, parts);
  ULONG disposition = REG_OPENED_EXISTING_KEY;
  if (!node) {
    if (!create || parts.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
    // Only the last component is created; its parent must exist.
    auto parent = find_path(start, std::vector<std::u16string>(parts.begin(), parts.end() - 1));
    if (!parent) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (parent->is_volatile && !(CreateOptions & REG_OPTION_VOLATILE)) {
      return STATUS_CHILD_MUST_BE_VOLATILE;
    }
    node = make_node(parts.back(), parent.get());
    node->is_volatile = (CreateOptions & REG_OPTION_VOLATILE) != 0;
    node->last_write = now_100ns();
    parent->children[upcase(parts.back())] = node;
    disposition = REG_CREATED_NEW_KEY;
  }
  if (Disposition != NULL) *Disposition = disposition;
  *KeyHandle = open_handle(node, DesiredAccess);
  return STATUS_SUCCESS;
}

reg_value* find_value(key_node& node, const std::u16string& name) {
  const std::u16string key = upcase(name);
  for (auto& v : node.values) {
    if (upcase(v.name) == key) return &v;
  }
  return nullptr;
}

void put_ulong(uint8_t* base, size_t offset, ULONG value) {
  memcpy(base + offset, &value, sizeof value);
}

// Fills a KEY_VALUE_*_INFORMATION record with the answers Windows gives
// for short buffers (see zw.h).
NTSTATUS fill_value_information(const reg_value& value, KEY_VALUE_INFORMATION_CLASS cls,
                                PVOID buffer, ULONG length, PULONG result_length) {
  auto* out = (uint8_t*)buffer;
  const ULONG name_bytes = (ULONG)(value.name.size() * sizeof(WCHAR));
  const ULONG data_bytes = (ULONG)value.data.size();
  ULONG minimum = 0;
  ULONG required = 0;
  switch (cls) {
    case KeyValueBasicInformation:
      minimum = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
      required = minimum + name_bytes;
      break;
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64: {
      minimum = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
      const ULONG align = cls == KeyValueFullInformation ? 4 : 8;
      const ULONG data_offset = (minimum + name_bytes + align - 1) & ~(align - 1);
      required = data_offset + data_bytes;
      break;
    }
    case KeyValuePartialInformation:
      minimum = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
      required = minimum + data_bytes;
      break;
    case KeyValuePartialInformationAlign64:
      minimum = 8;  // Type, DataLength
      required = minimum + data_bytes;
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  if (result_length != NULL) *result_length = required;
  if (length < minimum) return STATUS_BUFFER_TOO_SMALL;
  if (buffer == NULL) return STATUS_INVALID_PARAMETER;
  const bool fits = length >= required;
  switch (cls) {
    case KeyValueBasicInformation:
      put_ulong(out, 0, 0);
      put_ulong(out, 4, value.type);
      put_ulong(out, 8, name_bytes);
      memcpy(out + minimum, value.name.data(), std::min(name_bytes, length - minimum));
      break;
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64:
      put_ulong(out, 0, 0);
      put_ulong(out, 4, value.type);
      put_ulong(out, 8, required - data_bytes);
      put_ulong(out, 12, data_bytes);
      put_ulong(out, 16, name_bytes);
      memcpy(out + minimum, value.name.data(), std::min(name_bytes, length - minimum));
      if (fits && data_bytes != 0) {
        memcpy(out + required - data_bytes, value.data.data(), data_bytes);
      }
      break;
    case KeyValuePartialInformation:
      put_ulong(out, 0, 0);
      put_ulong(out, 4, value.type);
      put_ulong(out, 8, data_bytes);
      if (fits && data_bytes != 0) memcpy(out + minimum, value.data.data(), data_bytes);
      break;
    default:  // KeyValuePartialInformationAlign64
      put_ulong(out, 0, value.type);
      put_ulong(out, 4, data_bytes);
      if (fits && data_bytes != 0) memcpy(out + minimum, value.data.data(), data_bytes);
      break;
  }
  return fits ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS value_name(const UNICODE_STRING* name, std::u16string* out) {
  if (name == NULL) return STATUS_INVALID_PARAMETER;
  if (name->Length % 2 != 0 || name->Length > name->MaximumLength ||
      (name->Length != 0 && name->Buffer == NULL)) {
    return STATUS_INVALID_PARAMETER;
  }
  *out = from_unicode_string(name);
  return STATUS_SUCCESS;
}

// ---- text form of the hive ---------------------------------------------------
// [\Registry\Machine\Software\Vendor]      (keys on the way are implied)
// "Name" = dword:0x0000000a
// @ = sz:"default value"          (the unnamed value)
// "Blob" = binary:01 02 ff
// "List" = multi_sz:"one","two"
// "Odd" = hex(4):01 02            (any type/data the typed forms cannot carry)
// Quoted strings are ASCII with \\, \" and \uXXXX escapes; key paths use
// %XXXX for anything outside printable ASCII. Lines starting with # or ;
// are comments.

std::string escape(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    if (c == u'\\') {
      out += "\\\\";
    } else if (c == u'"') {
      out += "\\\"";
    } else if (c >= 0x20 && c < 0x7F) {
      out.push_back((char)c);
    } else {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04X", (unsigned)c);
      out += buf;
    }
  }
  return out;
}

// Key paths in brackets: components separated by backslashes (which key
// names cannot contain), '%', brackets and characters outside printable
// ASCII written as %XXXX.
std::string escape_path(const std::u16string& path) {
  std::string out;
  for (char16_t c : path) {
    if (c >= 0x20 && c < 0x7F && c != u'%' && c != u'[' && c != u']') {
      out.push_back((char)c);
    } else {
      char buf[8];
      snprintf(buf, sizeof buf, "%%%04X", (unsigned)c);
      out += buf;
    }
  }
  return out;
}

bool unescape_path(const std::string& text, std::u16string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 5 > text.size()) return false;
      unsigned v = 0;
      for (size_t k = i + 1; k < i + 5; ++k) {
        if (!isxdigit((unsigned char)text[k])) return false;
        v = (v << 4) | (unsigned)std::stoul(text.substr(k, 1), nullptr, 16);
      }
      out->push_back((char16_t)v);
      i += 4;
    } else if ((unsigned char)c < 0x20 || (unsigned char)c >= 0x7F || c == '[' || c == ']') {
      return false;
    } else {
      out->push_back((char16_t)c);
    }
  }
  return true;
}

// Parses an escaped string starting after its opening quote at `pos`; on
// success `pos` is after the closing quote.
bool parse_quoted(const std::string& line, size_t* pos, std::u16string* out) {
  size_t i = *pos;
  out->clear();
  while (i < line.size()) {
    const char c = line[i];
    if (c == '"') {
      *pos = i + 1;
      return true;
    }
    if (c != '\\') {
      if ((unsigned char)c < 0x20 || (unsigned char)c >= 0x7F) return false;
      out->push_back((char16_t)c);
      ++i;
      continue;
    }
    if (i + 1 >= line.size()) return false;
    const char e = line[i + 1];
    if (e == '\\' || e == '"') {
      out->push_back((char16_t)e);
      i += 2;
    } else if (e == 'u' && i + 6 <= line.size()) {
      unsigned v = 0;
      for (size_t k = i + 2; k < i + 6; ++k) {
        const char h = line[k];
        v <<= 4;
        if (h >= '0' && h <= '9') v |= (unsigned)(h - '0');
        else if (h >= 'a' && h <= 'f') v |= (unsigned)(h - 'a' + 10);
        else if (h >= 'A' && h <= 'F') v |= (unsigned)(h - 'A' + 10);
        else return false;
      }
      out->push_back((char16_t)v);
      i += 6;
    } else {
      return false;
    }
  }
  return false;
}

std::string hex_bytes(const std::vector<uint8_t>& data) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < data.size(); ++i) {
    snprintf(buf, sizeof buf, i == 0 ? "%02x" : " %02x", data[i]);
    out += buf;
  }
  return out;
}

bool parse_hex_bytes(const std::string& text, std::vector<uint8_t>* out) {
  out->clear();
  std::istringstream in(text);
  std::string token;
  while (in >> token) {
    if (token.size() != 2 || !isxdigit((unsigned char)token[0]) ||
        !isxdigit((unsigned char)token[1])) {
      return false;
    }
    out->push_back((uint8_t)std::stoul(token, nullptr, 16));
  }
  return true;
}

void append_utf16(std::vector<uint8_t>* data, const std::u16string& s) {
  for (char16_t c : s) {
    data->push_back((uint8_t)(c & 0xFF));
    data->push_back((uint8_t)(c >> 8));
  }
  data->push_back(0);
  data->push_back(0);
}

bool parse_unsigned(const std::string& text, int bytes, std::vector<uint8_t>* out) {
  if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return false;
  if (text.size() - 2 > (size_t)bytes * 2) return false;
  uint64_t v = 0;
  for (size_t i = 2; i < text.size(); ++i) {
    if (!isxdigit((unsigned char)text[i])) return false;
    v = (v << 4) | (uint64_t)std::stoul(text.substr(i, 1), nullptr, 16);
  }
  out->clear();
  for (int i = 0; i < bytes; ++i) out->push_back((uint8_t)(v >> (8 * i)));
  return true;
}

// Parses "type:payload" into a value's type and data.
bool parse_typed(const std::string& text, ULONG* type, std::vector<uint8_t>* data) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  const std::string kind = text.substr(0, colon);
  const std::string payload = text.substr(colon + 1);
  data->clear();
  if (kind == "dword") {
    *type = REG_DWORD;
    return parse_unsigned(payload, 4, data);
  }
  if (kind == "qword") {
    *type = REG_QWORD;
    return parse_unsigned(payload, 8, data);
  }
  if (kind == "binary") {
    *type = REG_BINARY;
    return parse_hex_bytes(payload, data);
  }
  if (kind == "sz" || kind == "expand_sz") {
    *type = kind == "sz" ? REG_SZ : REG_EXPAND_SZ;
    if (payload.empty() || payload[0] != '"') return false;
    size_t pos = 1;
    std::u16string s;
    if (!parse_quoted(payload, &pos, &s) || pos != payload.size()) return false;
    append_utf16(data, s);
    return true;
  }
  if (kind == "multi_sz") {
    *type = REG_MULTI_SZ;
    size_t pos = 0;
    while (pos < payload.size()) {
      if (payload[pos] != '"') return false;
      ++pos;
      std::u16string s;
      if (!parse_quoted(payload, &pos, &s)) return false;
      append_utf16(data, s);
      if (pos < payload.size()) {
        if (payload[pos] != ',') return false;
        ++pos;
      }
    }
    data->push_back(0);
    data->push_back(0);
    return true;
  }
  if (kind.size() > 5 && kind.compare(0, 4, "hex(") == 0 && kind.back() == ')') {
    const std::string number = kind.substr(4, kind.size() - 5);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos ||
        number.size() > 10) {
      return false;
    }
    const unsigned long long t = std::stoull(number);
    if (t > 0xFFFFFFFFull) return false;
    *type = (ULONG)t;
    return parse_hex_bytes(payload, data);
  }
  return false;
}

std::u16string utf16_at(const std::vector<uint8_t>& data, size_t begin, size_t end) {
  std::u16string s;
  for (size_t i = begin; i + 1 < end; i += 2) s.push_back((char16_t)(data[i] | (data[i + 1] << 8)));
  return s;
}

// The typed text of a value, or the hex(type) form when the typed form would
// not give back exactly the same bytes.
std::string format_typed(const reg_value& v) {
  std::string text;
  char buf[32];
  const auto& d = v.data;
  if (v.type == REG_DWORD && d.size() == 4) {
    ULONG x;
    memcpy(&x, d.data(), 4);
    snprintf(buf, sizeof buf, "dword:0x%08x", x);
    text = buf;
  } else if (v.type == REG_QWORD && d.size() == 8) {
    ULONGLONG x;
    memcpy(&x, d.data(), 8);
    snprintf(buf, sizeof buf, "qword:0x%016llx", x);
    text = buf;
  } else if (v.type == REG_BINARY) {
    text = "binary:" + hex_bytes(d);
  } else if ((v.type == REG_SZ || v.type == REG_EXPAND_SZ) && d.size() >= 2 && d.size() % 2 == 0) {
    text = std::string(v.type == REG_SZ ? "sz:\"" : "expand_sz:\"") +
           escape(utf16_at(d, 0, d.size() - 2)) + "\"";
  } else if (v.type == REG_MULTI_SZ && d.size() >= 2 && d.size() % 2 == 0) {
    text = "multi_sz:";
    size_t start = 0;
    bool first = true;
    for (size_t i = 0; i + 1 < d.size() - 2; i += 2) {
      if (d[i] == 0 && d[i + 1] == 0) {
        text += std::string(first ? "" : ",") + "\"" + escape(utf16_at(d, start, i)) + "\"";
        first = false;
        start = i + 2;
      }
    }
  }
  ULONG type = 0;
  std::vector<uint8_t> back;
  if (!text.empty() && parse_typed(text, &type, &back) && type == v.type && back == d) return text;
  snprintf(buf, sizeof buf, "hex(%u):", v.type);
  return buf + hex_bytes(d);
}

void save_node(const key_node& node, const std::u16string& path, std::string* out) {
  if (node.is_volatile) return;
  // Keys on the way to others are implied by them.
  if (!node.values.empty() || node.children.empty()) {
    *out += "[" + escape_path(path) + "]\n";
    for (const auto& v : node.values) {
      *out += (v.name.empty() ? std::string("@") : "\"" + escape(v.name) + "\"") + " = " +
              format_typed(v) + "\n";
    }
    *out += "\n";
  }
  for (const auto& child : node.children) {
    save_node(*child.second, path + u"\\" + child.second->name, out);
  }
}

bool parse_hive(std::istream& in, std::shared_ptr<key_node>* result) {
  auto root = make_skeleton();
  std::shared_ptr<key_node> current;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#' || line[first] == ';') continue;
    line = line.substr(first);
    if (line[0] == '[') {
      if (line.back() != ']') return false;
      std::u16string path;
      if (!unescape_path(line.substr(1, line.size() - 2), &path)) return false;
      std::vector<std::u16string> parts;
      if (!NT_SUCCESS(absolute_components(path, &parts)) ||
          !NT_SUCCESS(check_components(parts))) {
        return false;
      }
      current = create_path(root, parts);
      continue;
    }
    if (!current) return false;
    std::u16string name;
    size_t pos = 0;
    if (line[0] == '@') {
      pos = 1;
    } else if (line[0] == '"') {
      pos = 1;
      if (!parse_quoted(line, &pos, &name)) return false;
    } else {
      return false;
    }
    while (pos < line.size() && line[pos] == ' ') ++pos;
    if (pos >= line.size() || line[pos] != '=') return false;
    ++pos;
    while (pos < line.size() && line[pos] == ' ') ++pos;
    reg_value value;
    value.name = name;
    if (!parse_typed(line.substr(pos), &value.type, &value.data)) return false;
    if (reg_value* existing = find_value(*current, name)) {
      *existing = std::move(value);
    } else {
      current->values.push_back(std::move(value));
    }
  }
  if (in.bad()) return false;
  *result = root;
  return true;
}

NTSTATUS host_path_components(const std::string& key_path, std::vector<std::u16string>* parts) {
  NTSTATUS status = absolute_components(utf16_from_utf8(key_path), parts);
  if (NT_SUCCESS(status)) status = check_components(*parts);
  return status;
}

}  // namespace

// ---- internal interface ----------------------------------------------------

NTSTATUS registry_open_absolute(const std::u16string& path, ACCESS_MASK access, bool create,
                                HANDLE* handle) {
  std::vector<std::u16string> parts;
  NTSTATUS status = absolute_components(path, &parts);
  if (NT_SUCCESS(status)) status = check_components(parts);
  if (!NT_SUCCESS(status)) return status;
  auto& h = the_hive();
  std::lock_guard<std::mutex> guard(h.lock);
  auto node = create ? create_path(h.root, parts) : find_path(h.root, parts);
  if (!node) return STATUS_OBJECT_NAME_NOT_FOUND;
  *handle = open_handle(node, access);
  return STATUS_SUCCESS;
}

void registry_prepare_device(const std::string& instance_id, std::string* device_key,
                             std::string* driver_key) {
  const std::u16string control_set(kControlSet);
  const std::u16string enum_path = control_set + u"\\Enum\\" + utf16_from_utf8(instance_id);
  const std::u16string class_path = control_set + u"\\Control\\Class\\" + kClassGuid;
  std::vector<std::u16string> enum_parts;
  std::vector<std::u16string> class_parts;
  absolute_components(enum_path, &enum_parts);
  absolute_components(class_path, &class_parts);

  auto& h = the_hive();
  std::lock_guard<std::mutex> guard(h.lock);
  auto enum_node = create_path(h.root, enum_parts);
  create_path(enum_node, {u"Device Parameters"});
  auto class_node = create_path(h.root, class_parts);

  // The instance keeps its driver key number across runs through the hive.
  std::u16string driver_name;
  const std::u16string prefix = std::u16string(kClassGuid) + u"\\";
  if (reg_value* v = find_value(*enum_node, u"Driver")) {
    if (v->type == REG_SZ && v->data.size() >= 2) {
      std::u16string s = utf16_at(v->data, 0, v->data.size());
      while (!s.empty() && s.back() == 0) s.pop_back();
      if (upcase(s).compare(0, prefix.size(), upcase(prefix)) == 0 && s.size() > prefix.size() &&
          s.find(u'\\', prefix.size()) == std::u16string::npos) {
        driver_name = s.substr(prefix.size());
      }
    }
  }
  if (driver_name.empty()) {
    for (unsigned n = 0; n < 10000; ++n) {
      char buf[8];
      snprintf(buf, sizeof buf, "%04u", n);
      const std::u16string candidate = utf16_from_utf8(buf);
      if (class_node->children.count(upcase(candidate)) == 0) {
        driver_name = candidate;
        break;
      }
    }
    reg_value v;
    v.name = u"Driver";
    v.type = REG_SZ;
    append_utf16(&v.data, prefix + driver_name);
    if (reg_value* existing = find_value(*enum_node, u"Driver")) {
      *existing = std::move(v);
    } else {
      enum_node->values.push_back(std::move(v));
    }
  }
  create_path(class_node, {driver_name});
  *device_key = utf8_from_utf16(enum_path + u"\\Device Parameters");
  *driver_key = utf8_from_utf16(class_path + u"\\" + driver_name);
}

// ---- test API --------------------------------------------------------------

void registry_reset() {
  auto& h = the_hive();
  std::lock_guard<std::mutex> guard(h.lock);
  // Keys still open through handles become deleted keys.
  std::vector<key_node*> stack{h.root.get()};
  while (!stack.empty()) {
    key_node* node = stack.back();
    stack.pop_back();
    node->deleted = true;
    for (auto& child : node->children) stack.push_back(child.second.get());
  }
  h.root = make_skeleton();
}

bool registry_save(const std::string& path) {
  std::string text = "# kernel stand-in registry hive\n\n";
  {
    auto& h = the_hive();
    std::lock_guard<std::mutex> guard(h.lock);
    save_node(*h.root, u"\\Registry", &text);
  }
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << text;
    out.flush();
    if (!out) return false;
  }
  return std::rename(temp.c_str(), path.c_str()) == 0;
}

bool registry_load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::shared_ptr<key_node> root;
  if (!parse_hive(in, &root)) return false;
  registry_reset();
  auto& h = the_hive();
  std::lock_guard<std::mutex> guard(h.lock);
  h.root = root;
  return true;
}

bool registry_set_value(const std::string& key_path, const std::string& value_name, ULONG type,
                        const void* data, size_t size) {
  std::vector<std::u16string> parts;
  if (!NT_SUCCESS(host_path_components(key_path, &parts)) || (size != 0 && data == nullptr)) {
    return false;
  }
  reg_value v;
  v.name = utf16_from_utf8(value_name);
  v.type = type;
  v.data.assign((const uint8_t*)data, (const uint8_t*)data + size);
  auto& h = the_hive();
  std::lock_guard<std::mutex> guard(h.lock);
  auto node = create_path(h.root, parts);
  if (reg_value* existing = find_value(*node, v.name)) {
    *existing = std::move(v);
  } else {
    node->values.push_back(std::move(v));
  }
  return true;
}

bool registry_set_dword(const std::string& key_path, const std::string& value_name,
                        uint32_t value) {
  return registry_set_value(key_path, value_name, REG_DWORD, &value, sizeof value);
}

bool registry_set_string(const std::string& key_path, const std::string& value_name,
                         const std::string& value) {
  std::vector<uint8_t> data;
  append_utf16(&data, utf16_from_utf8(value));
  return registry_set_value(key_path, value_name, REG_SZ, data.data(), data.size());
}

std::optional<registry_value> registry_get_value(const std::string& key_path,
                                                 const std::string& value_name) {
  std::vector<std::u16string> parts;
  if (!NT_SUCCESS(host_path_components(key_path, &parts))) return std::nullopt;
  auto& h = the_hive();
  std::lock_guard<std::mutex> guard(h.lock);
  auto node = find_path(h.root, parts);
  if (!node) return std::nullopt;
  const reg_value* v = find_value(*node, utf16_from_utf8(value_name));
  if (v == nullptr) return std::nullopt;
  registry_value out;
  out.type = v->type;
  out.data = v->data;
  return out;
}

std::optional<uint32_t> registry_get_dword(const std::string& key_path,
                                           const std::string& value_name) {
  auto v = registry_get_value(key_path, value_name);
  if (!v || v->type != REG_DWORD || v->data.size() != 4) return std::nullopt;
  uint32_t x;
  memcpy(&x, v->data.data(), 4);
  return x;
}

std::optional<std::string> registry_get_string(const std::string& key_path,
                                               const std::string& value_name) {
  auto v = registry_get_value(key_path, value_name);
  if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return std::nullopt;
  std::u16string s = utf16_at(v->data, 0, v->data.size());
  const size_t nul = s.find(u'\0');
  if (nul != std::u16string::npos) s.resize(nul);
  return utf8_from_utf16(s);
}

bool registry_key_exists(const std::string& key_path) {
  std::vector<std::u16string> parts;
  if (!NT_SUCCESS(host_path_components(key_path, &parts))) return false;
  auto& h = the_hive();
  std::lock_guard<std::mutex> guard(h.lock);
  return find_path(h.root, parts) != nullptr;
}

std::vector<std::string> registry_value_names(const std::string& key_path) {
  std::vector<std::string> names;
  std::vector<std::u16string> parts;
  if (!NT_SUCCESS(host_path_components(key_path, &parts))) return names;
  auto& h = the_hive();
  std::lock_guard<std::mutex> guard(h.lock);
  auto node = find_path(h.root, parts);
  if (node) {
    for (const auto& v : node->values) names.push_back(utf8_from_utf16(v.name));
  }
  return names;
}

}  // namespace kstandin

// ---- Zw key routines ---------------------------------------------------------

using namespace kstandin;

NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                           POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                           PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
  check_zw_irql("ZwCreateKey");
  return open_or_create(KeyHandle, DesiredAccess, ObjectAttributes, true, CreateOptions,
                        Disposition);
}

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                         POBJECT_ATTRIBUTES ObjectAttributes) {
  check_zw_irql("ZwOpenKey");
  return open_or_create(KeyHandle, DesiredAccess, ObjectAttributes, false, 0, NULL);
}

NTSTATUS NTAPI ZwDeleteKey(HANDLE KeyHandle) {
  check_zw_irql("ZwDeleteKey");
  std::shared_ptr<key_node> node;
  const NTSTATUS status = key_from_handle(KeyHandle, DELETE, &node);
  if (!NT_SUCCESS(status)) return status;
  auto& h = the_hive();
  std::lock_guard<std::mutex> guard(h.lock);
  if (node->deleted) return STATUS_KEY_DELETED;
  if (!node->children.empty() || node->parent == nullptr) return STATUS_CANNOT_DELETE;
  node->deleted = true;
  node->parent->children.erase(upcase(node->name));
  node->parent = nullptr;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwFlushKey(HANDLE KeyHandle) {
  check_zw_irql("ZwFlushKey");
  std::shared_ptr<key_node> node;
  return key_from_handle(KeyHandle, 0, &node);
}

// The key behind a handle (checked for `access`) and a value name of it.
static NTSTATUS key_and_value_name(HANDLE key, ACCESS_MASK access, PUNICODE_STRING value_name_in,
                                   std::shared_ptr<key_node>* node, std::u16string* name) {
  NTSTATUS status = key_from_handle(key, access, node);
  if (NT_SUCCESS(status)) status = value_name(value_name_in, name);
  return status;
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  check_zw_irql("ZwQueryValueKey");
  std::shared_ptr<key_node> node;
  std::u16string name;
  const NTSTATUS status = key_and_value_name(KeyHandle, KEY_QUERY_VALUE, ValueName, &node, &name);
  if (!NT_SUCCESS(status)) return status;
  auto& h = the_hive();
  std::lock_guard<std::mutex> guard(h.lock);
  if (node->deleted) return STATUS_KEY_DELETED;
  const reg_value* v = find_value(*node, name);
  if (v == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  return fill_value_information(*v, KeyValueInformationClass, KeyValueInformation, Length,
                                ResultLength);
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                             ULONG Type, PVOID Data, ULONG DataSize) {
  check_zw_irql("ZwSetValueKey");
  std::shared_ptr<key_node> node;
  std::u16string name;
  const NTSTATUS status = key_and_value_name(KeyHandle, KEY_SET_VALUE, ValueName, &node, &name);
  if (!NT_SUCCESS(status)) return status;
  if (DataSize != 0 && Data == NULL) return STATUS_INVALID_PARAMETER;
  reg_value v;
  v.name = name;
  v.type = Type;
  v.data.assign((const uint8_t*)Data, (const uint8_t*)Data + DataSize);
  auto& h = the_hive();
  std::lock_guard<std::mutex> guard(h.lock);
  if (node->deleted) return STATUS_KEY_DELETED;
  if (reg_value* existing = find_value(*node, name)) {
    existing->type = Type;
    existing->data = std::move(v.data);
  } else {
    node->values.push_back(std::move(v));
  }
  node->last_write = now_100ns();
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
  check_zw_irql("ZwDeleteValueKey");
  std::shared_ptr<key_node> node;
  std::u16string name;
  const NTSTATUS status = key_and_value_name(KeyHandle, KEY_SET_VALUE, ValueName, &node, &name);
  if (!NT_SUCCESS(status)) return status;
  auto& h = the_hive();
  std::lock_guard<std::mutex> guard(h.lock);
  if (node->deleted) return STATUS_KEY_DELETED;
  const std::u16string key = upcase(name);
  for (auto it = node->values.begin(); it != node->values.end(); ++it) {
    if (upcase(it->name) == key) {
      node->values.erase(it);
      return STATUS_SUCCESS;
    }
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                   KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                   PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  check_zw_irql("ZwEnumerateValueKey");
  std::shared_ptr<key_node> node;
  const NTSTATUS status = key_from_handle(KeyHandle, KEY_QUERY_VALUE, &node);
  if (!NT_SUCCESS(status)) return status;
  auto& h = the_hive();
  std::lock_guard<std::mutex> guard(h.lock);
  if (node->deleted) return STATUS_KEY_DELETED;
  if (Index >= node->values.size()) return STATUS_NO_MORE_ENTRIES;
  return fill_value_information(node->values[Index], KeyValueInformationClass,
                                KeyValueInformation, Length, ResultLength);
}

NTSTATUS NTAPI ZwEnumerateKey(HANDLE KeyHandle, ULONG Index,
                              KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                              ULONG Length, PULONG ResultLength) {
  check_zw_irql("ZwEnumerateKey");
  std::shared_ptr<key_node> node;
  const NTSTATUS status = key_from_handle(KeyHandle, KEY_ENUMERATE_SUB_KEYS, &node);
  if (!NT_SUCCESS(status)) return status;
  if (KeyInformationClass != KeyBasicInformation) return STATUS_INVALID_PARAMETER;
  auto& h = the_hive();
  std::lock_guard<std::mutex> guard(h.lock);
  if (node->deleted) return STATUS_KEY_DELETED;
  if (Index >= node->children.size()) return STATUS_NO_MORE_ENTRIES;
  auto it = node->children.begin();
  std::advance(it, Index);
  const key_node& child = *it->second;
  const ULONG minimum = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
  const ULONG name_bytes = (ULONG)(child.name.size() * sizeof(WCHAR));
  const ULONG required = minimum + name_bytes;
  if (ResultLength != NULL) *ResultLength = required;
  if (Length < minimum) return STATUS_BUFFER_TOO_SMALL;
  if (KeyInformation == NULL) return STATUS_INVALID_PARAMETER;
  auto* out = (uint8_t*)KeyInformation;
  memcpy(out, &child.last_write, 8);
  put_ulong(out, 8, 0);
  put_ulong(out, 12, name_bytes);
  memcpy(out + minimum, child.name.data(), std::min(name_bytes, Length - minimum));
  return Length >= required ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                       ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
  check_zw_irql("IoOpenDeviceRegistryKey");
  if (DevInstRegKey == NULL) return STATUS_INVALID_PARAMETER;
  std::string instance;
  if (!physical_device_instance(DeviceObject, &instance)) return STATUS_INVALID_DEVICE_REQUEST;
  std::string device_key;
  std::string driver_key;
  registry_prepare_device(instance, &device_key, &driver_key);
  std::string path;
  if (DevInstKeyType == PLUGPLAY_REGKEY_DEVICE) {
    path = device_key;
  } else if (DevInstKeyType == PLUGPLAY_REGKEY_DRIVER) {
    path = driver_key;
  } else {
    return STATUS_INVALID_PARAMETER;
  }
  return registry_open_absolute(utf16_from_utf8(path), DesiredAccess, true, DevInstRegKey);
}
