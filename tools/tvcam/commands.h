// The handlers of tvcam's commands and their option help, one cmd_*.cpp
// each; main.cpp lists them in its command table.
#pragma once

#include <stdio.h>

namespace tvcam {

// formats [--size WxH] [--fourcc XXXX]: the pixel-format table.
extern const char kFormatsUsage[];
int cmd_formats(int argc, char** argv, FILE* out, FILE* err);

// cpu: the processor feature mask the image library selects its variants by.
extern const char kCpuUsage[];
int cmd_cpu(int argc, char** argv, FILE* out, FILE* err);

}  // namespace tvcam
