// tvcam's command table.
#include "commands.h"
#include "defect_commands.h"
#include "property_commands.h"
#include "register_commands.h"

namespace tvcam {

const command kCommands[] = {
    {"list", "list the simulated camera models", kListUsage, cmd_list},
    {"formats", "print the formats the driver offers for a camera", kFormatsUsage, cmd_formats},
    {"capture", "capture frames from a camera into a directory", kCaptureUsage, cmd_capture},
    {"props", "list a camera's properties with their values and ranges", kPropsUsage, cmd_props},
    {"get", "print the values of properties", kGetUsage, cmd_get},
    {"set", "set properties (NAME=VALUE)", kSetUsage, cmd_set},
    {"genapi", "list and save a camera's GenICam register descriptions", kGenapiUsage, cmd_genapi},
    {"regs", "read or write a register, virtual or the camera's", kRegsUsage, cmd_regs},
    {"defects", "show and manage a camera's defect-pixel list (\"x y\" per line)", kDefectsUsage, cmd_defects},
    {"pixfmt", "print the image library's pixel formats with their sizes", kPixfmtUsage, cmd_pixfmt},
    {"cpu", "print the processor feature mask", kCpuUsage, cmd_cpu},
};
const size_t kCommandCount = sizeof(kCommands) / sizeof(kCommands[0]);

}  // namespace tvcam
