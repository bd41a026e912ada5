// tvcam preview: streams a camera and serves its live video, properties and
// statistics as a page on the loopback interface until Ctrl-C.
#include <kstandin/testing.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "args.h"
#include "camera_options.h"
#include "capture_backend.h"
#include "cli.h"
#include "commands.h"
#include "preview_server.h"
#include "stream_choice.h"

namespace tvcam {

namespace {

constexpr uint64_t kDefaultPort = 8080;
constexpr auto kSignalPoll = std::chrono::milliseconds(100);

volatile sig_atomic_t g_stop_preview = 0;

void on_stop_signal(int) { g_stop_preview = 1; }

// SIGINT and SIGTERM only set the flag while the preview runs.
class stop_signals {
 public:
  stop_signals() {
    g_stop_preview = 0;
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previous_int_);
    sigaction(SIGTERM, &action, &previous_term_);
  }
  ~stop_signals() {
    sigaction(SIGINT, &previous_int_, nullptr);
    sigaction(SIGTERM, &previous_term_, nullptr);
  }
  bool caught() const { return g_stop_preview != 0; }

 private:
  struct sigaction previous_int_;
  struct sigaction previous_term_;
};

int parse_stream_wish(const context& ctx, parsed_args& args, stream_wish* wish) {
  if (args.has("format") && !(wish->has_format = parse_format_name(args.options["format"].c_str(), &wish->fourcc))) {
    return usage_error(ctx.err, "preview",
                       "bad format '" + args.options["format"] +
                           "', expected a FOURCC (up to 4 characters or 0xHEX), RGB24 or RGB32");
  }
  if (args.has("size") && !(wish->has_size = parse_size(args.options["size"].c_str(), &wish->size))) {
    return usage_error(ctx.err, "preview",
                       "bad size '" + args.options["size"] + "', expected WxH with 1.." +
                           std::to_string(kMaxDimension) + " each");
  }
  if (args.has("fps") && !(wish->has_fps = parse_fps(args.options["fps"].c_str(), &wish->fps))) {
    return usage_error(ctx.err, "preview",
                       "bad frame rate '" + args.options["fps"] + "', expected a number above 0 up to " +
                           fps_text(kMaxFps));
  }
  return kExitOk;
}

}  // namespace

int cmd_preview(const context& ctx, parsed_args& args) {
  std::string error;
  stream_wish wish;
  int status = parse_stream_wish(ctx, args, &wish);
  if (status != kExitOk) return status;
  uint64_t port = kDefaultPort;
  if (args.has("port") && !parse_uint(args.options["port"].c_str(), 0, 65535, &port)) {
    return usage_error(ctx.err, "preview", "bad port '" + args.options["port"] + "', expected 0..65535");
  }
  camera_request request;
  status = camera_request_from(ctx, "preview", args, &request);
  if (status != kExitOk) return status;

  // Whatever the driver allocates from here on is freed by the end.
  const kstandin::pool_snapshot pool_before = kstandin::take_pool_snapshot();
  std::unique_ptr<camera_session> session = open_camera(ctx, "preview", request, &status);
  if (!session) return status;
  size_t format_index = 0;
  int64_t interval = 0;
  if (!choose_stream(session->formats(), wish, &format_index, &interval, &error)) {
    session->finish(&error);
    return usage_error(ctx.err, "preview", error);
  }
  stop_signals signals;
  int result = kExitOk;
  {
    preview_server server(*ctx.backend, *session, camera_label(request, *ctx.backend));
    int bound = 0;
    if (!server.start_stream(format_index, interval, &error)) {
      result = command_error(ctx.err, "preview", "cannot start the stream: " + error, kExitFailure);
    } else if (!server.listen(static_cast<int>(port), &bound, &error)) {
      result = command_error(ctx.err, "preview", error, kExitFailure);
    } else {
      fprintf(ctx.out, "tvcam preview: %s (%s) on http://127.0.0.1:%d/ (Ctrl-C stops)\n",
              session->device_name().c_str(), camera_label(request, *ctx.backend).c_str(), bound);
      fflush(ctx.out);
      while (!signals.caught()) std::this_thread::sleep_for(kSignalPoll);
      fprintf(ctx.out, "tvcam preview: stopping after %llu frames\n",
              static_cast<unsigned long long>(server.delivered()));
    }
    server.stop();
  }
  std::string finish_error;
  if (!session->finish(&finish_error) && result == kExitOk) {
    result = command_error(ctx.err, "preview", finish_error, kExitFailure);
  }
  session.reset();
  const std::vector<kstandin::tag_usage> left = kstandin::leaks_since(pool_before);
  if (!left.empty()) {
    result = command_error(ctx.err, "preview", "the driver left pool memory behind: " + kstandin::describe(left),
                           kExitFailure);
  }
  return result;
}

command preview_command() {
  const std::vector<option_def> own = {
      {"format", "F", "FOURCC (YUY2, UYVY, Y800, Y16, MJPG, 0xHEX) or RGB24,\nRGB32 (default: the pin's first format)"},
      {"size", "WxH", "frame size (default: the first size of the format)"},
      {"fps", "N", "frame rate the driver lists for the format (default:\nthe format's)"},
      {"port", "P", "TCP port on 127.0.0.1, 0 for a free one (default 8080)"},
  };
  return {"preview", "show a camera's live video and properties in a browser",
          "Streams the camera and serves a page on http://127.0.0.1:P/ with the live\n"
          "video, the camera's properties as controls (each change applied at once and\n"
          "the value read back shown), format, size and rate selection, a PNG snapshot\n"
          "and the statistics: frames delivered and dropped, the measured rate and, for\n"
          "raw-sensor cameras, the automatic loops' values. The page's JSON API:\n"
          "/api/props, /api/props/NAME (GET, PUT {\"value\": ...}), /api/sets,\n"
          "/api/formats (GET, PUT {\"index\": N, \"fps\": F}), /api/stats,\n"
          "/api/snapshot.png. Prints the address; Ctrl-C stops the stream, unloads the\n"
          "driver and exits with status 0.",
          joined(own, camera_options()), {},
          "exit status: 0 stopped by Ctrl-C, 1 the camera, stream or server did not start,\n2 bad request",
          cmd_preview};
}

}  // namespace tvcam
