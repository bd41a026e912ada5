// tvcam's property commands (props, get, set) and the settings that set
// and capture's --set apply: NAME=VALUE with VALUE a number, min, max,
// default or auto. The commands are in cmd_props.cpp.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "capture_backend.h"
#include "cli.h"
#include "json_output.h"
#include "property_backend.h"

namespace tvcam {

// props [camera options] [--json]: every property with a value.
command props_command();

// get NAME... [camera options] [--json]: the values of properties.
command get_command();

// set NAME=VALUE... [camera options] [--json]: sets properties.
command set_command();

// One NAME=VALUE.
struct property_setting {
  std::string text;       // as given, for messages
  property_key key{};
  enum class kind { number, minimum, maximum, default_value, automatic } what = kind::number;
  int32_t value = 0;      // kind::number
};

// Parses NAME=VALUE; false with a message.
bool parse_setting(const std::string& text, property_setting* setting, std::string* error);

// The keys of 'tvcam props --json' (and of the preview's /api/props).
json property_json(const property_value& p);

// Applies `settings` in order through the session's properties; stops at
// the first that fails, after reporting it on ctx.err. `applied` (may be
// null) receives each property as the driver reports it afterwards.
// Returns kExitOk, kExitUsage for a property the camera lacks, a value out
// of range, a read-only property or a missing automatic mode, and
// kExitFailure when the driver refused.
int apply_settings(const context& ctx, const char* command_name, camera_session& session,
                   const std::vector<property_setting>& settings, std::vector<property_value>* applied);

}  // namespace tvcam
