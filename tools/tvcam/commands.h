// tvcam's commands, each with its options, help and handler in its own
// cmd_*.cpp; commands.cpp lists them in the command table.
#pragma once

#include <stddef.h>
#include <stdio.h>

#include "cli.h"

namespace tvcam {

// The command table main() runs.
const std::vector<command>& command_table();

// list [--json]: the simulated camera models.
command list_command();

// formats [camera options] [--json]: the capture pin's data ranges.
command formats_command();

// capture [camera options] [stream options]: frames to files.
command capture_command();

// preview [camera options] [stream options] [--port P]: live video and
// properties in a browser (preview_server.h).
command preview_command();

// pixfmt [--size WxH] [--fourcc XXXX]: the image library's pixel-format table.
command pixfmt_command();

// cpu: the processor feature mask the image library selects its variants by.
command cpu_command();

}  // namespace tvcam
