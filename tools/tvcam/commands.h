// The handlers of tvcam's commands and their option help, one cmd_*.cpp
// each; commands.cpp lists them in the command table.
#pragma once

#include <stddef.h>
#include <stdio.h>

#include "cli.h"

namespace tvcam {

// The command table main() runs.
extern const command kCommands[];
extern const size_t kCommandCount;

// list [--json]: the simulated camera models.
extern const char kListUsage[];
int cmd_list(const context& ctx, int argc, char** argv);

// formats [camera options] [--json]: the capture pin's data ranges.
extern const char kFormatsUsage[];
int cmd_formats(const context& ctx, int argc, char** argv);

// capture [camera options] [stream options]: frames to files.
extern const char kCaptureUsage[];
int cmd_capture(const context& ctx, int argc, char** argv);

// preview [camera options] [stream options] [--port P]: live video and
// properties in a browser (preview_server.h).
extern const char kPreviewUsage[];
int cmd_preview(const context& ctx, int argc, char** argv);

// pixfmt [--size WxH] [--fourcc XXXX]: the image library's pixel-format table.
extern const char kPixfmtUsage[];
int cmd_pixfmt(const context& ctx, int argc, char** argv);

// cpu: the processor feature mask the image library selects its variants by.
extern const char kCpuUsage[];
int cmd_cpu(const context& ctx, int argc, char** argv);

}  // namespace tvcam
