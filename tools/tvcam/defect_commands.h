// tvcam defects (cmd_defects.cpp): the camera's defect-pixel list.
#pragma once

#include "cli.h"

namespace tvcam {

// defects [--load FILE | --save FILE | --clear | --from-camera] [--defects N] [camera options]
extern const char kDefectsUsage[];
int cmd_defects(const context& ctx, int argc, char** argv);

}  // namespace tvcam
