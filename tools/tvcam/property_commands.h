// tvcam's property commands (props, get, set) and the settings that set
// and capture's --set apply: NAME=VALUE with VALUE a number, min, max,
// default or auto. The commands are in cmd_props.cpp.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "capture_backend.h"
#include "cli.h"
#include "property_backend.h"

namespace tvcam {

// props [camera options] [--json]: every property with a value.
extern const char kPropsUsage[];
int cmd_props(const context& ctx, int argc, char** argv);

// get NAME... [camera options] [--json]: the values of properties.
extern const char kGetUsage[];
int cmd_get(const context& ctx, int argc, char** argv);

// set NAME=VALUE... [camera options] [--json]: sets properties.
extern const char kSetUsage[];
int cmd_set(const context& ctx, int argc, char** argv);

// One NAME=VALUE.
struct property_setting {
  std::string text;       // as given, for messages
  property_key key{};
  enum class kind { number, minimum, maximum, default_value, automatic } what = kind::number;
  int32_t value = 0;      // kind::number
};

// Parses NAME=VALUE; false with a message.
bool parse_setting(const std::string& text, property_setting* setting, std::string* error);

// Takes every "--set NAME=VALUE" (or "--set=NAME=VALUE") out of argv: the
// other arguments go to `rest` in order. False with a message for a
// missing or malformed setting.
bool take_settings(int argc, char** argv, std::vector<char*>* rest, std::vector<property_setting>* settings,
                   std::string* error);

// Applies `settings` in order through the session's properties; stops at
// the first that fails, after reporting it on ctx.err. `applied` (may be
// null) receives each property as the driver reports it afterwards.
// Returns kExitOk, kExitUsage for a property the camera lacks, a value out
// of range, a read-only property or a missing automatic mode, and
// kExitFailure when the driver refused.
int apply_settings(const context& ctx, const char* command_name, camera_session& session,
                   const std::vector<property_setting>& settings, std::vector<property_value>* applied);

}  // namespace tvcam
