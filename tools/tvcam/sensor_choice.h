// The options of capture that set up a raw-sensor camera's sensor:
// --scene NAME, --illuminant KELVIN, --exposure min|max|MICROSECONDS and
// --gain min|max|FACTOR. They need a camera model with a sensor.
#pragma once

#include <string>

#include "args.h"
#include "capture_backend.h"
#include "cli.h"

namespace tvcam {

extern const option_def kSensorOptions[];
extern const size_t kSensorOptionCount;

#define TVCAM_SENSOR_OPTIONS_HELP                                                                      \
  "  --scene NAME         what a raw-sensor camera looks at: chart (default), flat\n"                  \
  "  --illuminant KELVIN  colour temperature of its light, 1000..25000 (default 5000)\n"               \
  "  --exposure E         its starting exposure: min, max or microseconds\n"                           \
  "  --gain G             its starting gain: min, max or a factor (1 = 0 dB)\n"

// Fills request->sensor from parsed options, checked against the chosen
// model (request->camera_id, or the default model). Returns kExitOk, or
// the exit status after reporting the problem on ctx.err.
int sensor_choice_from(const context& ctx, const char* command_name, parsed_args& args, camera_request* request);

}  // namespace tvcam
