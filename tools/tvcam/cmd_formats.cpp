// tvcam formats: the data ranges the driver's capture pin offers for a
// camera: format, size, bits per pixel, frame bytes and frame rates.
#include <inttypes.h>

#include "args.h"
#include "camera_options.h"
#include "capture_backend.h"
#include "cli.h"
#include "commands.h"
#include "json_output.h"
#include "stream_choice.h"

namespace tvcam {

namespace {

json format_json(const video_format& f, size_t index) {
  char fourcc[16];
  snprintf(fourcc, sizeof fourcc, "0x%08x", static_cast<unsigned>(f.fourcc));
  json fps = json::array();
  if (!f.intervals.empty()) {
    for (int64_t i : f.intervals) fps.push_back(rounded(interval_to_fps(i), 3));
  } else {
    fps.push_back(rounded(interval_to_fps(f.max_interval), 3));
    fps.push_back(rounded(interval_to_fps(f.min_interval), 3));
  }
  return {{"index", index},
          {"format", format_name(f.fourcc)},
          {"fourcc", fourcc},
          {"width", f.width},
          {"height", f.height},
          {"bit_count", f.bit_count},
          {"sample_size", f.sample_size},
          {"default_interval", f.default_interval},
          {"min_interval", f.min_interval},
          {"max_interval", f.max_interval},
          {"default_fps", rounded(interval_to_fps(f.default_interval), 3)},
          {"fps", fps},
          {"fps_range", f.intervals.empty()}};
}

}  // namespace

int cmd_formats(const context& ctx, parsed_args& args) {
  camera_request request;
  int status = camera_request_from(ctx, "formats", args, &request);
  if (status != kExitOk) return status;
  std::unique_ptr<camera_session> session = open_camera(ctx, "formats", request, &status);
  if (!session) return status;

  const std::vector<video_format>& formats = session->formats();
  const std::string label = camera_label(request, *ctx.backend);
  if (args.has("json")) {
    json list = json::array();
    for (size_t i = 0; i < formats.size(); ++i) list.push_back(format_json(formats[i], i));
    print_json(ctx.out, {{"camera", label}, {"device", session->device_name()}, {"formats", list}});
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

command formats_command() {
  return {"formats", "print the formats the driver offers for a camera",
          "The data ranges of the driver's capture pin: format, size, bits per pixel,\n"
          "bytes per frame and frame rates.",
          joined({{"json", nullptr, "machine-readable output"}}, camera_options()), {}, "", cmd_formats};
}

}  // namespace tvcam
