// Camera options (see camera_options.h).
#include "camera_options.h"

#include <errno.h>

#include <fstream>
#include <iterator>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fault_list.h"

namespace tvcam {

std::vector<option_def> camera_options() {
  const char* const group = "Camera options";
  return {
      {"camera", "ID", "a simulated camera model (see 'tvcam list'; default:\nthe default model)", group},
      {"descriptors", "PREFIX",
       "a camera from the descriptor files PREFIX.device.bin and\nPREFIX.config.bin of a real device", group},
      {"registry", "FILE", "keep the registry hive in FILE between runs (created\nwhen missing)", group},
      {"faults", "LIST",
       "simulated faults as NAME=P,... with P from 0 to 1, each\n"
       "drawn on its own per unit: drop, header, packet (per\n"
       "payload: a 640x480 Y800 frame is 101 payloads, so\n"
       "drop=0.01 loses about 2 frames in 3), eof, short, long,\n"
       "interrupt (per frame), empty (per isochronous packet),\n"
       "babble, request (per transfer, its data lost), stall,\n"
       "timeout (per class or vendor control request);\n"
       "e.g. drop=0.001,eof=0.005",
       group},
      {"seed", "N", "seed of the simulated faults (default 1)", group},
      {"camera-sets", "FILE", "named default sets (BSON) a camera_84xx model keeps", group},
      {"camera-genapi", "FILE", "a register description a camera_84xx model keeps", group},
      {"verbose", nullptr, "echo the driver's debug output on stderr", group},
  };
}

namespace {

std::string model_list(const std::vector<camera_model_info>& models) {
  std::string s;
  for (const camera_model_info& m : models) s += (s.empty() ? "" : ", ") + m.id;
  return s;
}

// The whole file, or false with the reason.
bool read_whole_file(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path + ": " + strerror(errno);
    return false;
  }
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

}  // namespace

bool registry_file_usable(const std::string& path, std::string* error) {
  if (path.empty()) {
    *error = "empty --registry file name";
    return false;
  }
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      *error = "--registry " + path + " is not a regular file";
      return false;
    }
    if (access(path.c_str(), R_OK | W_OK) != 0) {
      *error = "--registry " + path + " cannot be read and written: " + strerror(errno);
      return false;
    }
    return true;
  }
  if (errno != ENOENT) {
    *error = "--registry " + path + ": " + strerror(errno);
    return false;
  }
  // A new file: its directory must exist and take files.
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = "--registry " + path + ": the directory " + dir + " does not exist";
    return false;
  }
  if (access(dir.c_str(), W_OK | X_OK) != 0) {
    *error = "--registry " + path + ": the directory " + dir + " is not writable";
    return false;
  }
  return true;
}

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
    std::string error;
    if (!registry_file_usable(r.registry_file, &error)) return usage_error(ctx.err, command_name, error);
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
  // Documents a camera_84xx model keeps for the driver, from files.
  for (const char* option : {"camera-sets", "camera-genapi"}) {
    if (!args.has(option)) continue;
    std::string family;
    for (const camera_model_info& m : ctx.backend->models()) {
      if (r.camera_id.empty() ? m.is_default : m.id == r.camera_id) family = m.family;
    }
    if (!r.descriptors_prefix.empty() || family != "camera_84xx") {
      return usage_error(ctx.err, command_name, "--" + std::string(option) + " needs a camera_84xx model");
    }
    std::string error;
    std::vector<uint8_t>* bytes =
        std::string(option) == "camera-sets" ? &r.stored_sets : &r.stored_description;
    if (!read_whole_file(args.options[option], bytes, &error)) return usage_error(ctx.err, command_name, error);
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
  bool refused = false;
  std::unique_ptr<camera_session> session = ctx.backend->open(request, &error, &refused);
  if (!session) {
    *status = refused ? usage_error(ctx.err, command_name, error)
                      : command_error(ctx.err, command_name, error, kExitFailure);
  }
  return session;
}

}  // namespace tvcam
