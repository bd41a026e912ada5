// tvcam formats: the data ranges the driver's capture pin offers for a
// camera: format, size, bits per pixel, frame bytes and frame rates.
#include <inttypes.h>

#include "args.h"
#include "camera_options.h"
#include "capture_backend.h"
#include "cli.h"
#include "commands.h"
#include "json_writer.h"
#include "stream_choice.h"

namespace tvcam {

const char kFormatsUsage[] =
    "usage: tvcam formats [--camera ID | --descriptors PREFIX] [--json]\n"
    "                     [--registry FILE] [--faults LIST] [--seed N] [--verbose]\n"
    "\n"
    "The data ranges of the driver's capture pin: format, size, bits per pixel,\n"
    "bytes per frame and frame rates.\n"
    "\n" TVCAM_CAMERA_OPTIONS_HELP
    "  --json               machine-readable output\n";

namespace {

void write_format_json(json_writer& json, const video_format& f, size_t index) {
  char fourcc[16];
  snprintf(fourcc, sizeof fourcc, "0x%08x", static_cast<unsigned>(f.fourcc));
  json.begin_object();
  json.member("index", static_cast<uint64_t>(index));
  json.member("format", format_name(f.fourcc));
  json.member("fourcc", std::string(fourcc));
  json.member("width", f.width);
  json.member("height", f.height);
  json.member("bit_count", f.bit_count);
  json.member("sample_size", static_cast<uint64_t>(f.sample_size));
  json.member("default_interval", static_cast<int64_t>(f.default_interval));
  json.member("min_interval", static_cast<int64_t>(f.min_interval));
  json.member("max_interval", static_cast<int64_t>(f.max_interval));
  json.member("default_fps", interval_to_fps(f.default_interval), 3);
  json.key("fps");
  json.begin_array();
  if (!f.intervals.empty()) {
    for (int64_t i : f.intervals) json.value(interval_to_fps(i), 3);
  } else {
    json.value(interval_to_fps(f.max_interval), 3);
    json.value(interval_to_fps(f.min_interval), 3);
  }
  json.end_array();
  json.member("fps_range", f.intervals.empty());
  json.end_object();
}

}  // namespace

int cmd_formats(const context& ctx, int argc, char** argv) {
  std::vector<option_def> options(kCameraOptions, kCameraOptions + kCameraOptionCount);
  options.push_back({"json", false});
  parsed_args args;
  std::string error;
  if (!parse_options(argc, argv, options.data(), options.size(), &args, &error)) {
    return usage_error(ctx.err, "formats", error);
  }
  if (!args.positional.empty()) {
    return usage_error(ctx.err, "formats", "unexpected argument '" + args.positional[0] + "'");
  }
  camera_request request;
  int status = camera_request_from(ctx, "formats", args, &request);
  if (status != kExitOk) return status;
  std::unique_ptr<camera_session> session = open_camera(ctx, "formats", request, &status);
  if (!session) return status;

  const std::vector<video_format>& formats = session->formats();
  const std::string label = camera_label(request, *ctx.backend);
  if (args.has("json")) {
    json_writer json(ctx.out);
    json.begin_object();
    json.member("camera", label);
    json.member("device", session->device_name());
    json.key("formats");
    json.begin_array();
    for (size_t i = 0; i < formats.size(); ++i) write_format_json(json, formats[i], i);
    json.end_array();
    json.end_object();
    json.finish();
    return kExitOk;
  }
  fprintf(ctx.out, "%s (%s): %zu formats\n", session->device_name().c_str(), label.c_str(), formats.size());
  fprintf(ctx.out, "%3s  %-6s %-11s %4s %11s  %s\n", "#", "format", "size", "bits", "frame bytes", "fps");
  for (size_t i = 0; i < formats.size(); ++i) {
    const video_format& f = formats[i];
    const std::string size = std::to_string(f.width) + "x" + std::to_string(f.height);
    fprintf(ctx.out, "%3zu  %-6s %-11s %4d %11" PRIu32 "  %s (default %s)\n", i, format_name(f.fourcc).c_str(),
            size.c_str(), f.bit_count, f.sample_size, rates_text(f).c_str(),
            fps_text(interval_to_fps(f.default_interval)).c_str());
  }
  return kExitOk;
}

}  // namespace tvcam
