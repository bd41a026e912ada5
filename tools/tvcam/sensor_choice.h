// The options of capture that set up a raw-sensor camera's sensor:
// --scene NAME, --illuminant KELVIN, --exposure min|max|MICROSECONDS and
// --gain min|max|FACTOR. They need a camera model with a sensor.
#pragma once

#include <string>

#include "args.h"
#include "capture_backend.h"
#include "cli.h"

namespace tvcam {

// The raw-sensor options, for a command's table.
std::vector<option_def> sensor_options();

// Fills request->sensor from parsed options, checked against the chosen
// model (request->camera_id, or the default model). Returns kExitOk, or
// the exit status after reporting the problem on ctx.err.
int sensor_choice_from(const context& ctx, const char* command_name, parsed_args& args, camera_request* request);

}  // namespace tvcam
