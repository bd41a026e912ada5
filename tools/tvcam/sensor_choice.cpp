// Raw-sensor options (see sensor_choice.h).
#include "sensor_choice.h"

#include <stdlib.h>

namespace tvcam {

std::vector<option_def> sensor_options() {
  const char* const group = "Raw-sensor camera options";
  return {
      {"scene", "NAME", "what a raw-sensor camera looks at: chart (default), flat", group},
      {"illuminant", "KELVIN", "colour temperature of its light, 1000..25000\n(default 5000)", group},
      {"exposure", "E", "its starting exposure: min, max or microseconds", group},
      {"gain", "G", "its starting gain: min, max or a factor (1 = 0 dB)", group},
  };
}

namespace {

constexpr uint64_t kMinKelvin = 1000, kMaxKelvin = 25000;

// "min", "max" or a positive decimal number.
bool parse_start(const std::string& text, start_choice* out) {
  if (text == "min" || text == "max") {
    out->which = text == "min" ? start_choice::kind::minimum : start_choice::kind::maximum;
    return true;
  }
  char* end = nullptr;
  const double v = strtod(text.c_str(), &end);
  if (text.empty() || end == nullptr || *end != '\0' || !(v > 0) || v > 1e9) return false;
  out->which = start_choice::kind::value;
  out->value = v;
  return true;
}

}  // namespace

int sensor_choice_from(const context& ctx, const char* command_name, parsed_args& args, camera_request* request) {
  sensor_choice c;
  if (args.has("scene")) c.scene = args.options["scene"];
  if (args.has("illuminant")) {
    uint64_t kelvin = 0;
    if (!parse_uint(args.options["illuminant"].c_str(), kMinKelvin, kMaxKelvin, &kelvin)) {
      return usage_error(ctx.err, command_name,
                         "bad illuminant '" + args.options["illuminant"] + "', expected kelvin from 1000 to 25000");
    }
    c.kelvin = static_cast<uint32_t>(kelvin);
  }
  for (const char* name : {"exposure", "gain"}) {
    if (!args.has(name)) continue;
    start_choice* target = std::string(name) == "exposure" ? &c.exposure : &c.gain;
    if (!parse_start(args.options[name], target)) {
      return usage_error(ctx.err, command_name,
                         "bad " + std::string(name) + " '" + args.options[name] + "', expected min, max or a number above 0");
    }
  }
  if (!c.any()) return kExitOk;

  const std::vector<camera_model_info> models = ctx.backend->models();
  const camera_model_info* model = nullptr;
  for (const camera_model_info& m : models) {
    if (request->camera_id.empty() ? m.is_default : m.id == request->camera_id) model = &m;
  }
  if (!request->descriptors_prefix.empty() || model == nullptr || model->scenes.empty()) {
    std::string sensors;
    for (const camera_model_info& m : models) {
      if (!m.scenes.empty()) sensors += (sensors.empty() ? "" : ", ") + m.id;
    }
    return usage_error(ctx.err, command_name,
                       "--scene, --illuminant, --exposure and --gain need a raw-sensor camera: " + sensors);
  }
  if (!c.scene.empty()) {
    bool known = false;
    std::string names;
    for (const std::string& s : model->scenes) {
      known = known || s == c.scene;
      names += (names.empty() ? "" : ", ") + s;
    }
    if (!known) return usage_error(ctx.err, command_name, "unknown scene '" + c.scene + "'; scenes: " + names);
  }
  request->sensor = c;
  return kExitOk;
}

}  // namespace tvcam
