// The handlers of tvcam's register-description commands (cmd_genapi.cpp).
#pragma once

#include "cli.h"

namespace tvcam {

// genapi [camera options] [--out DIR] [--json]: the documents the driver lists.
extern const char kGenapiUsage[];
int cmd_genapi(const context& ctx, int argc, char** argv);

// regs ADDRESS [VALUE] [--size N] [camera options]: one register.
extern const char kRegsUsage[];
int cmd_regs(const context& ctx, int argc, char** argv);

}  // namespace tvcam
