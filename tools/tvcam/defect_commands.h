// tvcam defects (cmd_defects.cpp): the camera's defect-pixel list.
#pragma once

#include "cli.h"

namespace tvcam {

// defects [--load FILE | --save FILE | --clear | --from-camera] [--defects N] [camera options]
command defects_command();

}  // namespace tvcam
