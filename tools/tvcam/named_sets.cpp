// Named default sets through the driver's registers (see named_sets.h).
#include "named_sets.h"

#include <string.h>

#include <regex>

#include "status_text.h"

namespace tvcam {
namespace {

constexpr char kNamedSetsModel[] = "ZEZEzezoz_Generated_GenICam_NPS";

std::string unescape(const std::string& text) {
  static const std::pair<const char*, char> entities[] = {
      {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}, {"&amp;", '&'}};
  std::string out;
  for (size_t i = 0; i < text.size();) {
    bool replaced = false;
    for (const auto& e : entities) {
      const size_t n = strlen(e.first);
      if (text.compare(i, n, e.first) == 0) {
        out += e.second;
        i += n;
        replaced = true;
        break;
      }
    }
    if (!replaced) out += text[i++];
  }
  return out;
}

int32_t read_selected(register_access& registers, uint32_t* selected) {
  uint32_t returned = 0;
  const int32_t status = registers.read(kVirtualRegisterBase | kNamedSetSelected, selected, 4, &returned);
  return status >= 0 && returned != 4 ? int32_t(0xC0000023) /* STATUS_BUFFER_TOO_SMALL */ : status;
}

}  // namespace

bool read_named_sets(register_access& registers, std::vector<named_set>* sets, uint32_t* selected,
                     std::string* error) {
  int32_t status = 0;
  sets->clear();
  for (const std::string& document : registers.documents(&status)) {
    if (document_model_name(document) != kNamedSetsModel) continue;
    static const std::regex entry(
        "<EnumEntry Name=\"[^\"]*\">\\s*(?:<Extension>[\\s\\S]*?</Extension>\\s*)?"
        "<DisplayName>([^<]*)</DisplayName>\\s*<Value>(-?[0-9]+)</Value>");
    for (auto m = std::sregex_iterator(document.begin(), document.end(), entry); m != std::sregex_iterator(); ++m) {
      sets->push_back({std::stoll((*m)[2].str()), unescape((*m)[1].str())});
    }
  }
  if (sets->empty()) {
    *error = "the camera has no named default sets";
    return false;
  }
  status = read_selected(registers, selected);
  if (status < 0) {
    *error = "reading the selected set failed: " + status_text(status);
    return false;
  }
  return true;
}

void print_named_sets(FILE* out, camera_session& session) {
  register_access* registers = session.registers();
  std::vector<named_set> sets;
  uint32_t selected = 0;
  std::string error;
  if (registers == nullptr || !read_named_sets(*registers, &sets, &selected, &error)) return;
  fprintf(out, "named default sets (default_set=NAME|INDEX, load_default_set):\n");
  for (const named_set& s : sets) {
    fprintf(out, "  %c %lld %s\n", s.index == int64_t(selected) ? '*' : ' ', (long long)s.index, s.name.c_str());
  }
}

bool is_named_set_setting(const std::string& text) {
  return text.rfind("default_set=", 0) == 0 || text == "load_default_set" || text.rfind("load_default_set=", 0) == 0;
}

int apply_named_set_setting(const context& ctx, const char* command_name, camera_session& session,
                            const std::string& text, std::string* line) {
  register_access* registers = session.registers();
  std::vector<named_set> sets;
  uint32_t selected = 0;
  std::string error;
  if (registers == nullptr || !read_named_sets(*registers, &sets, &selected, &error)) {
    return command_error(ctx.err, command_name, registers == nullptr ? "the camera has no named default sets" : error,
                         kExitUsage);
  }
  auto name_of = [&](int64_t index) {
    for (const named_set& s : sets) {
      if (s.index == index) return s.name;
    }
    return std::string("?");
  };
  if (text.rfind("default_set=", 0) == 0) {
    const std::string wanted = text.substr(strlen("default_set="));
    const named_set* found = nullptr;
    for (const named_set& s : sets) {
      if (s.name == wanted || std::to_string(s.index) == wanted) found = &s;
    }
    if (found == nullptr) {
      std::string names;
      for (const named_set& s : sets) names += (names.empty() ? "" : ", ") + std::to_string(s.index) + " " + s.name;
      return command_error(ctx.err, command_name, "no named set '" + wanted + "'; sets: " + names, kExitUsage);
    }
    const uint32_t index = uint32_t(found->index);
    const int32_t status = registers->write(kVirtualRegisterBase | kNamedSetSelected, &index, 4);
    if (status < 0) return command_error(ctx.err, command_name, "selecting failed: " + status_text(status), kExitFailure);
    const int32_t read = read_selected(*registers, &selected);
    if (read < 0) return command_error(ctx.err, command_name, "reading back failed: " + status_text(read), kExitFailure);
    *line = "default_set=" + std::to_string(selected) + " (" + name_of(selected) + ")";
    return kExitOk;
  }
  const uint32_t one = 1;
  const int32_t status = registers->write(kVirtualRegisterBase | kNamedSetLoad, &one, 4);
  if (status < 0) return command_error(ctx.err, command_name, "loading failed: " + status_text(status), kExitFailure);
  *line = "load_default_set=" + name_of(selected);
  return kExitOk;
}

}  // namespace tvcam
