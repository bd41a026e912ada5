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

// Option definitions of the camera options, for a command's table.
extern const option_def kCameraOptions[];
extern const size_t kCameraOptionCount;

// Help lines of the camera options, a string literal so that the commands'
// usage texts are constants.
#define TVCAM_CAMERA_OPTIONS_HELP                                                                     \
  "  --camera ID          a simulated camera model (see 'tvcam list'; default: the default model)\n"  \
  "  --descriptors PREFIX a camera from the descriptor files PREFIX.device.bin and\n"                 \
  "                       PREFIX.config.bin of a real device\n"                                       \
  "  --registry FILE      keep the registry hive in FILE between runs (created when missing)\n"       \
  "  --faults LIST        simulated faults as NAME=P,... with P from 0 to 1, each drawn\n"             \
  "                       on its own per unit: drop, header, packet (per payload: a\n"               \
  "                       640x480 Y800 frame is 101 payloads, so drop=0.01 loses about\n"            \
  "                       2 frames in 3), eof, short, long, interrupt (per frame),\n"                \
  "                       empty (per isochronous packet), babble, request (per\n"                    \
  "                       transfer, its data lost), stall, timeout (per class or\n"                  \
  "                       vendor control request); e.g. drop=0.001,eof=0.005\n"                       \
  "  --seed N             seed of the simulated faults (default 1)\n"                                 \
  "  --camera-sets FILE   named default sets (BSON) a camera_84xx model keeps\n"                    \
  "  --camera-genapi FILE a register description a camera_84xx model keeps\n"                     \
  "  --verbose            echo the driver's debug output on stderr\n"

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
