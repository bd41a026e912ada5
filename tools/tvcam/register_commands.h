// The handlers of tvcam's register-description commands (cmd_genapi.cpp).
#pragma once

#include "cli.h"

namespace tvcam {

// genapi [camera options] [--out DIR] [--json]: the documents the driver lists.
command genapi_command();

// regs ADDRESS [VALUE] [--size N] [camera options]: one register.
command regs_command();

}  // namespace tvcam
