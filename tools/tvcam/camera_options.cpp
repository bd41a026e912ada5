// Camera options (see camera_options.h).
#include "camera_options.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "fault_list.h"

namespace tvcam {

const option_def kCameraOptions[] = {
    {"camera", true}, {"descriptors", true}, {"registry", true}, {"faults", true}, {"seed", true}, {"verbose", false},
};
const size_t kCameraOptionCount = sizeof(kCameraOptions) / sizeof(kCameraOptions[0]);

namespace {

std::string model_list(const std::vector<camera_model_info>& models) {
  std::string s;
  for (const camera_model_info& m : models) s += (s.empty() ? "" : ", ") + m.id;
  return s;
}

}  // namespace

int camera_request_from(const context& ctx, const char* command_name, parsed_args& args, camera_request* request) {
  camera_request r;
  if (args.has("camera") && args.has("descriptors")) {
    return usage_error(ctx.err, command_name, "use either --camera or --descriptors, not both");
  }
  if (!ctx.backend) return command_error(ctx.err, command_name, "no camera backend in this build", kExitFailure);

  if (args.has("camera")) {
    r.camera_id = args.options["camera"];
    const std::vector<camera_model_info> models = ctx.backend->models();
    bool known = false;
    for (const camera_model_info& m : models) known = known || m.id == r.camera_id;
    if (!known) {
      return usage_error(ctx.err, command_name,
                         "unknown camera '" + r.camera_id + "'; cameras: " + model_list(models));
    }
  }
  if (args.has("descriptors")) {
    r.descriptors_prefix = args.options["descriptors"];
    for (const char* suffix : {".device.bin", ".config.bin"}) {
      const std::string path = r.descriptors_prefix + suffix;
      if (access(path.c_str(), R_OK) != 0) {
        return usage_error(ctx.err, command_name,
                           "cannot read " + path + ": " + strerror(errno) +
                               "; --descriptors PREFIX needs PREFIX.device.bin and PREFIX.config.bin");
      }
    }
  }
  if (args.has("registry")) {
    r.registry_file = args.options["registry"];
    if (r.registry_file.empty()) return usage_error(ctx.err, command_name, "empty --registry file name");
  }
  if (args.has("faults")) {
    std::string error;
    if (!parse_fault_list(args.options["faults"], &r.faults, &error)) return usage_error(ctx.err, command_name, error);
  }
  if (args.has("seed")) {
    const std::string& text = args.options["seed"];
    uint64_t seed = 0;
    if (!parse_uint(text.c_str(), 0, UINT32_MAX, &seed)) {
      return usage_error(ctx.err, command_name, "bad seed '" + text + "', expected 0.." + std::to_string(UINT32_MAX));
    }
    r.seed = static_cast<uint32_t>(seed);
  }
  r.verbose = args.has("verbose");
  *request = r;
  return kExitOk;
}

std::string camera_label(const camera_request& request, const camera_backend& backend) {
  if (!request.descriptors_prefix.empty()) return request.descriptors_prefix;
  if (!request.camera_id.empty()) return request.camera_id;
  for (const camera_model_info& m : backend.models()) {
    if (m.is_default) return m.id;
  }
  return "default";
}

std::unique_ptr<camera_session> open_camera(const context& ctx, const char* command_name,
                                            const camera_request& request, int* status) {
  std::string error;
  std::unique_ptr<camera_session> session = ctx.backend->open(request, &error);
  if (!session) *status = command_error(ctx.err, command_name, error, kExitFailure);
  return session;
}

}  // namespace tvcam
