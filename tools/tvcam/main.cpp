// tvcam: command-line access to the driver, its image library and the
// simulated cameras.
#include <kstandin/testing.h>
#include <stdio.h>
#include <unistd.h>

#include "capture_backend.h"
#include "cli.h"
#include "commands.h"

int main(int argc, char** argv) {
  std::unique_ptr<tvcam::camera_backend> backend = tvcam::make_driver_backend();
  tvcam::context ctx{stdout, stderr, backend.get(), isatty(fileno(stderr)) != 0};
  int status = tvcam::run_cli(tvcam::command_table(), argc, argv, ctx);
  // The kernel stand-in checks the driver as a verifier would; what it
  // found makes the run fail, as it fails a test.
  for (const kstandin::violation& v : kstandin::take_violations()) {
    fprintf(stderr, "tvcam: kernel verifier: %s: %s\n", v.check.c_str(), v.message.c_str());
    status = tvcam::kExitFailure;
  }
  return status;
}
