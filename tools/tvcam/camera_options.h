// The options that say which camera a command talks to, shared by the
// camera commands: --camera ID | --descriptors PREFIX, --registry FILE,
// --faults LIST, --seed N, and the documents a camera_84xx model keeps
// (--camera-sets FILE, --camera-genapi FILE). Checks what can be checked before the driver
// runs: a known model id, readable descriptor files, a fault list that
// parses.
#pragma once

#include <string>

#include "args.h"
#include "capture_backend.h"
#include "cli.h"

namespace tvcam {

// The camera options, for a command's table.
std::vector<option_def> camera_options();

// Whether --registry PATH can be loaded (when it exists) and saved: a
// readable and writable regular file, or a new one in a writable directory.
bool registry_file_usable(const std::string& path, std::string* error);

// Fills `request` from parsed options. Returns kExitOk, or the exit status
// after reporting the problem on ctx.err.
int camera_request_from(const context& ctx, const char* command_name, parsed_args& args, camera_request* request);

// The id or PREFIX a request names, for output ("plain", "…/logitech_c270").
std::string camera_label(const camera_request& request, const camera_backend& backend);

// Opens the camera; on failure reports and returns null with `*status` set.
std::unique_ptr<camera_session> open_camera(const context& ctx, const char* command_name,
                                            const camera_request& request, int* status);

}  // namespace tvcam
