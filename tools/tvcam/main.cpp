// tvcam: command-line access to the driver, its image library and the
// simulated cameras.
#include <stdio.h>

#include "cli.h"
#include "commands.h"

namespace {

const tvcam::command kCommands[] = {
    {"formats", "print the pixel formats with their sizes", tvcam::kFormatsUsage, tvcam::cmd_formats},
    {"cpu", "print the processor feature mask", tvcam::kCpuUsage, tvcam::cmd_cpu},
};

}  // namespace

int main(int argc, char** argv) {
  return tvcam::run_cli(kCommands, sizeof(kCommands) / sizeof(kCommands[0]), argc, argv, stdout, stderr);
}
