// tvcam props, get and set: the filter's properties that carry a value,
// read and written through the driver as a capture application's property
// pages do, and the NAME=VALUE settings that set and capture --set apply.
// Every number printed is the driver's answer.
#include <inttypes.h>
#include <strings.h>

#include <string.h>

#include "args.h"
#include "camera_options.h"
#include "json_output.h"
#include "named_sets.h"
#include "property_commands.h"
#include "property_names.h"

namespace tvcam {

namespace {

// The help of NAME for get and set, a literal so that set's can go on.
#define TVCAM_PROPERTY_NAMES_HELP                               \
  "NAME is a property's name as 'tvcam props' lists it\n"    \
  "(brightness, exposure, ...) or SET:ID: SET one of vpa,\n" \
  "cc, ext, feature, driver or a set GUID in braces, ID a\n" \
  "number."

// A number as tvcam takes it: optional '-', decimal or 0x hexadecimal,
// within a 32-bit field (signed or unsigned).
bool parse_value(const std::string& text, int32_t* value) {
  const bool negative = !text.empty() && text[0] == '-';
  const std::string digits = negative ? text.substr(1) : text;
  uint64_t v = 0;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    if (digits.size() > 10) return false;
    for (size_t i = 2; i < digits.size(); ++i) {
      const char c = digits[i];
      const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (d < 0) return false;
      v = v << 4 | static_cast<uint64_t>(d);
    }
  } else if (!parse_uint(digits.c_str(), 0, UINT32_MAX, &v)) {
    return false;
  }
  if (negative ? v > 0x80000000ull : v > UINT32_MAX) return false;
  *value = negative ? static_cast<int32_t>(-static_cast<int64_t>(v)) : static_cast<int32_t>(static_cast<uint32_t>(v));
  return true;
}

std::string range_text(const property_value& p) {
  return std::to_string(p.min) + ".." + std::to_string(p.max) + (p.step > 1 ? " in steps of " + std::to_string(p.step) : "");
}

json flag_names(uint32_t bits) {
  json names = json::array();
  if (bits & kFlagAuto) names.push_back("auto");
  if (bits & kFlagManual) names.push_back("manual");
  return names;
}

void print_properties(FILE* out, const std::vector<property_value>& properties) {
  json list = json::array();
  for (const property_value& p : properties) list.push_back(property_json(p));
  print_json(out, list);
}

std::string mode_text(const property_value& p) {
  if (p.flags & kFlagAuto) return "auto";
  if (p.flags & kFlagManual) return "manual";
  return "-";
}

void print_table(FILE* out, const std::vector<property_value>& properties) {
  fprintf(out, "%-26s %9s %9s %9s %5s %9s  %-6s %-4s %-7s %s\n", "name", "value", "min", "max", "step",
          "default", "mode", "auto", "access", "key");
  for (const property_value& p : properties) {
    auto number = [&](int32_t v) { return p.has_range ? std::to_string(v) : std::string("-"); };
    const std::string access = std::string(p.can_get ? "get" : "") + (p.can_get && p.can_set ? "," : "") +
                               (p.can_set ? "set" : "");
    const char* has_auto = p.record == property_record::word ? "-" : (p.capabilities & kFlagAuto) ? "yes" : "no";
    fprintf(out, "%-26s %9" PRId32 " %9s %9s %5s %9s  %-6s %-4s %-7s %s:%" PRIu32 "\n",
            property_name(p.key).c_str(), p.value, number(p.min).c_str(), number(p.max).c_str(),
            number(p.step).c_str(), number(p.def).c_str(), mode_text(p).c_str(), has_auto, access.c_str(),
            set_name(p.key.set).c_str(), p.key.id);
  }
}

// The options every property command takes, parsed; the session opened.
struct property_command {
  camera_request request;
  std::unique_ptr<camera_session> session;
  property_access* properties = nullptr;
};

int start_session(const context& ctx, const char* name, property_command* c) {
  int status = kExitOk;
  c->session = open_camera(ctx, name, c->request, &status);
  if (!c->session) return status;
  c->properties = c->session->properties();
  if (c->properties == nullptr) return command_error(ctx.err, name, "the camera offers no properties", kExitFailure);
  return kExitOk;
}

// A request the camera cannot serve: reported without the usage hint.
int refuse(const context& ctx, const char* name, const std::string& message) {
  return command_error(ctx.err, name, message, kExitUsage);
}

// Reports a failed read or write of `key` and returns the exit status.
int report(const context& ctx, const char* name, const property_key& key, const property_result& r) {
  if (r.absent) return refuse(ctx, name, "the camera has no " + property_name(key) + " control");
  if (r.no_value) return refuse(ctx, name, r.error);
  return command_error(ctx.err, name, r.error, kExitFailure);
}

}  // namespace

json property_json(const property_value& p) {
  json j = {{"set", set_name(p.key.set)}, {"id", p.key.id}, {"name", property_name(p.key)}, {"value", p.value}};
  const char* range_keys[] = {"min", "max", "step", "default"};
  const int32_t range[] = {p.min, p.max, p.step, p.def};
  for (int i = 0; i < 4; ++i) j[range_keys[i]] = p.has_range ? json(range[i]) : json(nullptr);
  j["flags"] = flag_names(p.flags);
  j["capabilities"] = flag_names(p.capabilities);
  json access = json::array();
  if (p.can_get) access.push_back("get");
  if (p.can_set) access.push_back("set");
  j["access"] = access;
  return j;
}

bool parse_setting(const std::string& text, property_setting* setting, std::string* error) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0 || eq + 1 == text.size()) {
    *error = "bad setting '" + text + "', expected NAME=VALUE";
    return false;
  }
  property_setting s;
  s.text = text;
  if (!parse_property_name(text.substr(0, eq), &s.key, error)) return false;
  const std::string value = text.substr(eq + 1);
  static const struct {
    const char* word;
    property_setting::kind what;
  } kWords[] = {{"auto", property_setting::kind::automatic},
                {"min", property_setting::kind::minimum},
                {"max", property_setting::kind::maximum},
                {"default", property_setting::kind::default_value}};
  bool word = false;
  for (const auto& w : kWords) {
    if (strcasecmp(value.c_str(), w.word) == 0) {
      s.what = w.what;
      word = true;
    }
  }
  if (!word && !parse_value(value, &s.value)) {
    *error = "bad value '" + value + "' in '" + text + "', expected a number, min, max, default or auto";
    return false;
  }
  *setting = s;
  return true;
}

int apply_settings(const context& ctx, const char* name, camera_session& session,
                   const std::vector<property_setting>& settings, std::vector<property_value>* applied) {
  property_access* access = session.properties();
  if (access == nullptr && !settings.empty()) {
    return command_error(ctx.err, name, "the camera offers no properties", kExitFailure);
  }
  for (const property_setting& s : settings) {
    const std::string pname = property_name(s.key);
    property_value p;
    property_result r = access->read(s.key, &p);
    if (!r.ok) return report(ctx, name, s.key, r);
    if (!p.can_set) return refuse(ctx, name, pname + " is read-only");

    int32_t value = p.value;
    uint32_t flags = kFlagManual;
    switch (s.what) {
      case property_setting::kind::automatic:
        if (!(p.capabilities & kFlagAuto)) return refuse(ctx, name, pname + " has no automatic mode");
        flags = kFlagAuto;
        break;
      case property_setting::kind::number:
        value = s.value;
        break;
      default:
        if (!p.has_range) return refuse(ctx, name, pname + " reports no range");
        value = s.what == property_setting::kind::minimum   ? p.min
                : s.what == property_setting::kind::maximum ? p.max
                                                            : p.def;
        break;
    }
    if (s.what != property_setting::kind::automatic && p.has_range && (value < p.min || value > p.max)) {
      return refuse(ctx, name, std::to_string(value) + " is out of range for " + pname + ": " + range_text(p));
    }
    // The driver's controls take a change of mode alone: leaving the
    // automatic mode is one request, the value a second. A control already
    // automatic is left alone (its camera refuses values meanwhile).
    if (flags == kFlagManual && (p.flags & kFlagAuto)) {
      r = access->write(p, p.value, kFlagManual);
      if (!r.ok) return report(ctx, name, s.key, r);
    }
    if (flags == kFlagManual || !(p.flags & kFlagAuto)) {
      r = access->write(p, value, flags);
      if (!r.ok) return report(ctx, name, s.key, r);
    }
    r = access->read(s.key, &p);
    if (!r.ok) return report(ctx, name, s.key, r);
    if (applied != nullptr) applied->push_back(p);
  }
  return kExitOk;
}

int cmd_props(const context& ctx, parsed_args& args) {
  property_command c;
  int status = camera_request_from(ctx, "props", args, &c.request);
  if (status != kExitOk) return status;
  status = start_session(ctx, "props", &c);
  if (status != kExitOk) return status;
  const std::vector<property_value> all = c.properties->list();
  if (args.has("json")) {
    print_properties(ctx.out, all);
    return kExitOk;
  }
  fprintf(ctx.out, "%s (%s): %zu properties\n", c.session->device_name().c_str(),
          camera_label(c.request, *ctx.backend).c_str(), all.size());
  print_table(ctx.out, all);
  print_named_sets(ctx.out, *c.session);
  return kExitOk;
}

int cmd_get(const context& ctx, parsed_args& args) {
  property_command c;
  int status = camera_request_from(ctx, "get", args, &c.request);
  if (status != kExitOk) return status;
  if (args.positional.empty()) return usage_error(ctx.err, "get", "no property named");
  std::vector<property_key> keys;
  for (const std::string& name : args.positional) {
    property_key key;
    std::string error;
    if (!parse_property_name(name, &key, &error)) return usage_error(ctx.err, "get", error);
    keys.push_back(key);
  }
  status = start_session(ctx, "get", &c);
  if (status != kExitOk) return status;
  std::vector<property_value> values;
  for (const property_key& key : keys) {
    property_value v;
    const property_result r = c.properties->read(key, &v);
    if (!r.ok) return report(ctx, "get", key, r);
    values.push_back(v);
  }
  if (args.has("json")) {
    print_properties(ctx.out, values);
  } else {
    for (const property_value& v : values) fprintf(ctx.out, "%" PRId32 "\n", v.value);
  }
  return kExitOk;
}

int cmd_set(const context& ctx, parsed_args& args) {
  property_command c;
  int status = camera_request_from(ctx, "set", args, &c.request);
  if (status != kExitOk) return status;
  if (args.positional.empty()) return usage_error(ctx.err, "set", "no NAME=VALUE given");
  // Settings in the order given; the named sets' own (named_sets.h) act
  // between the others.
  std::vector<std::vector<property_setting>> runs(1);
  std::vector<std::string> named;  // after run i: named[i], when not empty
  for (const std::string& text : args.positional) {
    if (is_named_set_setting(text)) {
      named.resize(runs.size());
      named.back() = text;
      runs.emplace_back();
      continue;
    }
    property_setting s;
    std::string error;
    if (!parse_setting(text, &s, &error)) return usage_error(ctx.err, "set", error);
    runs.back().push_back(s);
  }
  status = start_session(ctx, "set", &c);
  if (status != kExitOk) return status;
  std::vector<property_value> applied;
  std::vector<std::string> lines;
  for (size_t i = 0; i < runs.size(); ++i) {
    const size_t before = applied.size();
    if (!runs[i].empty()) status = apply_settings(ctx, "set", *c.session, runs[i], &applied);
    for (size_t k = before; k < applied.size(); ++k) {
      const property_value& v = applied[k];
      lines.push_back(property_name(v.key) + "=" + std::to_string(v.value) + ((v.flags & kFlagAuto) ? " (auto)" : ""));
    }
    if (status == kExitOk && i < named.size()) {
      lines.emplace_back();
      status = apply_named_set_setting(ctx, "set", *c.session, named[i], &lines.back());
    }
    if (status != kExitOk) return status;
  }
  if (args.has("json")) {
    print_properties(ctx.out, applied);
  } else {
    for (const std::string& line : lines) fprintf(ctx.out, "%s\n", line.c_str());
  }
  return kExitOk;
}

command props_command() {
  return {"props", "list a camera's properties with their values and ranges",
          "Every property of the driver's filter that holds a value: its set and id, name,\n"
          "current value, minimum, maximum, step, default, mode (auto or manual), whether\n"
          "it has an automatic mode, and access; then the camera's named default sets.",
          joined({{"json", nullptr,
                   "print an array of {set, id, name, value, min, max, step,\n"
                   "default, flags, capabilities, access}"}},
                 camera_options()),
          {}, "", cmd_props};
}

command get_command() {
  return {"get", "print the values of properties",
          "Prints the current value of each property, one per line.",
          joined({{"json", nullptr, "print the properties as 'tvcam props --json' does"}}, camera_options()),
          {{"NAME", TVCAM_PROPERTY_NAMES_HELP, true, true}},
          "exit status: 0 success, 1 the driver failed, 2 an unknown name or a property\n"
          "the camera does not have",
          cmd_get};
}

command set_command() {
  return {"set", "set properties (NAME=VALUE)",
          "Sets properties in the order given and prints each as NAME=VALUE as the driver\n"
          "then reports it. With --registry the driver's saved values are kept in FILE and\n"
          "restored at the next run.",
          joined({{"json", nullptr, "print the properties afterwards as 'tvcam props --json'\ndoes"}},
                 camera_options()),
          {{"NAME=VALUE", TVCAM_PROPERTY_NAMES_HELP "\n"
                           "VALUE is a number (decimal or 0x hexadecimal), min, max,\n"
                           "default, or auto to switch a property with an automatic\n"
                           "mode to it; a number switches such a property to manual.\n"
                           "default_set=NAME|INDEX selects one of the camera's named\n"
                           "default sets (as 'tvcam props' lists them) and\n"
                           "load_default_set loads the selected one into the\n"
                           "camera's controls.",
            true, true}},
          "exit status: 0 success, 1 the driver refused a value, 2 an unknown name, a\n"
          "value out of range, a read-only property or one the camera does not have",
          cmd_set};
}

}  // namespace tvcam
