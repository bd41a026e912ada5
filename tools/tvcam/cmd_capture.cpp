// tvcam capture: runs the capture pin with the chosen format and writes the
// frames to a directory (PNG, MJPEG as JPEG, or raw), with a progress line
// and a summary of what the stream headers said.
#include <inttypes.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "args.h"
#include "camera_options.h"
#include "capture_backend.h"
#include "capture_stats.h"
#include "cli.h"
#include "commands.h"
#include "fault_list.h"
#include "frame_files.h"
#include "image_convert.h"
#include "img/img_type.h"
#include "json_output.h"
#include "sensor_choice.h"
#include "property_commands.h"
#include "stream_choice.h"

namespace tvcam {

namespace {

constexpr uint64_t kMaxFrames = 1000000;
constexpr unsigned kClientBuffers = 4;
constexpr size_t kWriteQueueLimit = 32;  // frames waiting for the disk before capture waits
constexpr unsigned kFrameTimeoutBaseMs = 5000;
constexpr unsigned kWaitSliceMs = 100;  // how soon Ctrl-C is noticed

struct capture_options {
  stream_wish wish;
  uint64_t frames = 30;
  std::string out_dir = "out";
  bool raw = false;
  bool json = false;
};

// How the frames of one stream are written.
struct output_plan {
  std::string dir;
  uint32_t fourcc = 0;
  int width = 0;
  int height = 0;
  bool bottom_up = false;  // RGB with a positive bitmap height
  bool raw = false;        // --raw
};

// The extension a frame is written with; frames too short to convert are
// written raw so nothing is lost.
const char* frame_extension(const output_plan& plan, size_t data_used) {
  if (plan.raw) return "raw";
  if (plan.fourcc == img::FOURCC_MJPG) return "jpg";
  if (!can_convert(plan.fourcc)) return "raw";
  const size_t pitch = frame_pitch(plan.fourcc, plan.width, plan.height, data_used);
  const size_t needed = pitch * static_cast<size_t>(plan.height - 1) + min_row_bytes(plan.fourcc, plan.width);
  return data_used >= needed ? "png" : "raw";
}

// Converts and writes frames on its own thread, so that the disk does not
// hold back the client buffers.
class frame_writer {
 public:
  explicit frame_writer(const output_plan& plan) : plan_(plan), thread_([this] { run(); }) {}
  ~frame_writer() { finish(nullptr); }

  // Queues one frame; waits while the queue is full. False once writing failed.
  bool push(std::string path, std::vector<uint8_t> data) {
    std::unique_lock<std::mutex> lock(mutex_);
    space_.wait(lock, [this] { return queue_.size() < kWriteQueueLimit || !error_.empty(); });
    if (!error_.empty()) return false;
    queue_.push_back({std::move(path), std::move(data)});
    work_.notify_one();
    return true;
  }

  // Writes what is queued and stops the thread. False with the first error.
  bool finish(std::string* error) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closing_ = true;
      work_.notify_one();
    }
    if (thread_.joinable()) thread_.join();
    if (error) *error = error_;
    return error_.empty();
  }

 private:
  struct item {
    std::string path;
    std::vector<uint8_t> data;
  };

  void run() {
    for (;;) {
      item next;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        work_.wait(lock, [this] { return !queue_.empty() || closing_; });
        if (queue_.empty()) return;
        next = std::move(queue_.front());
        queue_.pop_front();
        space_.notify_one();
      }
      std::string error;
      if (!write(next, &error)) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (error_.empty()) error_ = error;
        queue_.clear();
        space_.notify_all();
        return;
      }
    }
  }

  bool write(const item& it, std::string* error) {
    const size_t n = it.data.size();
    if (it.path.size() < 4 || it.path.compare(it.path.size() - 4, 4, ".png") != 0) {
      return write_bytes(it.path, it.data.data(), n, error);
    }
    converted_image image;
    const size_t pitch = frame_pitch(plan_.fourcc, plan_.width, plan_.height, n);
    if (!convert_frame(plan_.fourcc, plan_.width, plan_.height, pitch, plan_.bottom_up, it.data.data(), n, &image,
                       error)) {
      return false;
    }
    return write_png(it.path, image, error);
  }

  output_plan plan_;
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable space_;
  std::deque<item> queue_;
  bool closing_ = false;
  std::string error_;
  std::thread thread_;  // last: started once everything above exists
};

int parse_capture_options(const context& ctx, parsed_args& args, capture_options* o) {
  if (args.has("format")) {
    const std::string& text = args.options["format"];
    o->wish.has_format = parse_format_name(text.c_str(), &o->wish.fourcc);
    if (!o->wish.has_format) {
      return usage_error(ctx.err, "capture",
                         "bad format '" + text + "', expected a FOURCC (up to 4 characters or 0xHEX), RGB24 or RGB32");
    }
  }
  if (args.has("size")) {
    const std::string& text = args.options["size"];
    o->wish.has_size = parse_size(text.c_str(), &o->wish.size);
    if (!o->wish.has_size) {
      return usage_error(ctx.err, "capture",
                         "bad size '" + text + "', expected WxH with 1.." + std::to_string(kMaxDimension) + " each");
    }
  }
  if (args.has("fps")) {
    const std::string& text = args.options["fps"];
    o->wish.has_fps = parse_fps(text.c_str(), &o->wish.fps);
    if (!o->wish.has_fps) {
      return usage_error(ctx.err, "capture", "bad frame rate '" + text + "', expected a number above 0 up to " +
                                                 fps_text(kMaxFps));
    }
  }
  if (args.has("frames")) {
    const std::string& text = args.options["frames"];
    if (!parse_uint(text.c_str(), 1, kMaxFrames, &o->frames)) {
      return usage_error(ctx.err, "capture",
                         "bad frame count '" + text + "', expected 1.." + std::to_string(kMaxFrames));
    }
  }
  if (args.has("out")) o->out_dir = args.options["out"];
  o->raw = args.has("raw");
  o->json = args.has("json");
  return kExitOk;
}

std::vector<std::string> flag_names(const frame_record& f) {
  static const struct {
    uint32_t bit;
    const char* name;
  } kFlags[] = {
      {0x00000001, "splice_point"}, {0x00000002, "preroll"},        {0x00000004, "discontinuity"},
      {0x00000008, "type_changed"}, {0x00000010, "time_valid"},     {0x00000040, "time_discontinuity"},
      {0x00000100, "duration_valid"}, {0x00000200, "end_of_stream"},
  };
  std::vector<std::string> names;
  for (const auto& flag : kFlags) {
    if (f.options_flags & flag.bit) names.push_back(flag.name);
  }
  return names;
}

json summary_json(const capture_summary& s, bool rate_short, const std::vector<std::pair<std::string, uint64_t>>& faults) {
  json sent = json::object();
  for (const auto& f : faults) sent[f.first] = f.second;
  return {{"delivered", s.delivered},
          {"dropped", s.dropped},
          {"discontinuities", s.discontinuities},
          {"measured_fps", rounded(s.measured_fps, 3)},
          {"fps_source", s.fps_from_presentation ? "presentation_time" : "host_time"},
          {"elapsed_seconds", rounded(s.elapsed_seconds, 4)},
          {"first_picture", s.have_picture_numbers ? json(s.first_picture) : json(nullptr)},
          {"last_picture", s.have_picture_numbers ? json(s.last_picture) : json(nullptr)},
          {"picture_gaps", s.picture_gaps},
          {"missing_pictures", s.missing_pictures},
          {"bytes", s.bytes},
          {"truncated", s.truncated},
          {"rate_warning", rate_short},
          {"faults_sent", sent}};
}

json loops_json(const loop_values& v) {
  json loops = {{"ran", v.ran},
                {"brightness", v.brightness},
                {"exposure", v.exposure},
                {"gain", v.gain},
                {"white_balance", {v.wb_r, v.wb_g, v.wb_b}},
                {"temperature", v.temperature}};
  if (v.has_focus) {
    loops["focus"] = {{"position", v.focus_position},
                      {"sharpness", v.focus_sharpness},
                      {"searching", v.focus_searching},
                      {"moved", v.focus_moved}};
  }
  return loops;
}

json frame_json(const frame_record& f, const std::string& file, bool compressed) {
  json j = {{"index", f.index},
            {"file", file},
            {"data_used", f.data_used},
            {"picture_number", f.has_frame_info ? json(f.picture_number) : json(nullptr)},
            {"drop_count", f.has_frame_info ? json(f.drop_count) : json(nullptr)},
            {"options_flags", f.options_flags},
            {"flags", flag_names(f)},
            {"frame_flags", f.frame_flags},
            {"presentation_time", f.time_valid() ? json(f.presentation_time) : json(nullptr)},
            {"host_time", f.host_time},
            {"loops", f.has_loop_values ? loops_json(f.loop) : json(nullptr)}};
  if (compressed) j["end_marker"] = !f.truncated;
  return j;
}

void print_summary(FILE* out, const capture_summary& s, uint64_t requested, bool compressed,
                   const std::vector<std::pair<std::string, uint64_t>>& faults) {
  fprintf(out, "  delivered        %" PRIu64 " of %" PRIu64 "\n", s.delivered, requested);
  fprintf(out, "  dropped          %" PRIu64 "\n", s.dropped);
  if (s.delivered >= 2 && s.measured_fps > 0) {
    fprintf(out, "  measured fps     %s (%s over %.3f s)\n", fps_text(s.measured_fps).c_str(),
            s.fps_from_presentation ? "presentation times" : "receive times", s.elapsed_seconds);
  } else {
    fprintf(out, "  measured fps     - (needs two frames)\n");
  }
  if (s.have_picture_numbers) {
    fprintf(out, "  picture numbers  %" PRId64 " to %" PRId64, s.first_picture, s.last_picture);
    if (s.picture_gaps == 0 && s.backward_steps == 0) {
      fprintf(out, ", no gaps\n");
    } else {
      fprintf(out, ", %" PRIu64 " gaps (%" PRIu64 " numbers skipped), %" PRIu64 " not increasing\n", s.picture_gaps,
              s.missing_pictures, s.backward_steps);
    }
  } else {
    fprintf(out, "  picture numbers  - (no frame info in the stream headers)\n");
  }
  fprintf(out, "  discontinuities  %" PRIu64 "\n", s.discontinuities);
  if (compressed) {
    fprintf(out, "  no end marker    %" PRIu64 "%s\n", s.truncated,
            s.truncated != 0 ? " (frames cut short, written as they came)" : "");
  }
  if (!faults.empty()) {
    std::string text;
    for (const auto& f : faults) text += (text.empty() ? "" : ", ") + f.first + " " + std::to_string(f.second);
    fprintf(out, "  faults sent      %s\n", text.c_str());
  }
}

// Ctrl-C (and SIGTERM) while it exists only sets a flag: the capture loop
// stops the stream, writes what it has and exits with kExitInterrupted.
volatile sig_atomic_t g_interrupted = 0;

void on_interrupt(int) { g_interrupted = 1; }

class interrupt_catcher {
 public:
  interrupt_catcher() {
    g_interrupted = 0;
    struct sigaction action = {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previous_int_);
    sigaction(SIGTERM, &action, &previous_term_);
  }
  ~interrupt_catcher() {
    sigaction(SIGINT, &previous_int_, nullptr);
    sigaction(SIGTERM, &previous_term_, nullptr);
  }
  bool caught() const { return g_interrupted != 0; }

 private:
  struct sigaction previous_int_;
  struct sigaction previous_term_;
};

}  // namespace

int cmd_capture(const context& ctx, parsed_args& args) {
  std::vector<property_setting> settings;
  std::string error;
  for (const std::string& text : args.lists["set"]) {
    property_setting s;
    if (!parse_setting(text, &s, &error)) return usage_error(ctx.err, "capture", error);
    settings.push_back(s);
  }
  capture_options opt;
  int status = parse_capture_options(ctx, args, &opt);
  if (status != kExitOk) return status;
  camera_request request;
  status = camera_request_from(ctx, "capture", args, &request);
  if (status != kExitOk) return status;
  status = sensor_choice_from(ctx, "capture", args, &request);
  if (status != kExitOk) return status;
  // The directory first: a bad --out should not wait for a camera.
  if (!prepare_output_directory(opt.out_dir, &error)) return command_error(ctx.err, "capture", error, kExitFailure);

  std::unique_ptr<camera_session> session = open_camera(ctx, "capture", request, &status);
  if (!session) return status;
  status = apply_settings(ctx, "capture", *session, settings, nullptr);
  if (status != kExitOk) return status;
  size_t format_index = 0;
  int64_t interval = 0;
  if (!choose_stream(session->formats(), opt.wish, &format_index, &interval, &error)) {
    return usage_error(ctx.err, "capture", error);
  }
  const video_format& format = session->formats()[format_index];
  stream_request stream;
  stream.format_index = format_index;
  stream.interval = interval;
  stream.buffers = kClientBuffers;
  // Ctrl-C from here on stops the stream and still reports what came.
  interrupt_catcher interrupt;
  if (!session->start(stream, &error)) {
    return command_error(ctx.err, "capture", "cannot start the stream: " + error, kExitFailure);
  }
  const int64_t negotiated = session->negotiated_interval() > 0 ? session->negotiated_interval() : interval;
  if (args.has("autofocus")) {
    // One run of the driver's autofocus, started like a client's one-push.
    property_setting one_push;
    one_push.text = "one_push_focus=1";
    one_push.key = {kCameraExtensionSet, 124};
    one_push.value = 1;
    status = apply_settings(ctx, "capture", *session, {one_push}, nullptr);
    if (status != kExitOk) {
      session->stop();
      return status;
    }
  }

  output_plan plan;
  plan.dir = opt.out_dir;
  plan.fourcc = format.fourcc;
  plan.width = format.width;
  plan.height = format.height < 0 ? -format.height : format.height;
  plan.bottom_up = format.height > 0;
  plan.raw = opt.raw;
  frame_writer writer(plan);

  const std::string label = camera_label(request, *ctx.backend);
  std::string description = format_name(format.fourcc) + " " + std::to_string(plan.width) + "x" +
                            std::to_string(plan.height) + " at " + fps_text(interval_to_fps(negotiated)) + " fps";
  if (negotiated != interval) description += " (asked for " + fps_text(interval_to_fps(interval)) + ")";
  const unsigned timeout_ms = kFrameTimeoutBaseMs + static_cast<unsigned>(3 * negotiated / 10000);
  std::vector<frame_record> records;
  std::vector<std::string> files;
  const auto start = std::chrono::steady_clock::now();
  std::string failure;
  bool timed_out = false;
  while (records.size() < opt.frames && failure.empty()) {
    frame_record record;
    std::vector<uint8_t> data;
    // Waits in slices, so that Ctrl-C is seen at once.
    wait_result r = wait_result::timeout;
    for (unsigned waited = 0; waited < timeout_ms && r == wait_result::timeout && !interrupt.caught();
         waited += kWaitSliceMs) {
      r = session->next_frame(std::min(kWaitSliceMs, timeout_ms - waited), &record, &data, &error);
    }
    if (interrupt.caught()) {
      failure = "interrupted";
    } else if (r == wait_result::timeout) {
      timed_out = true;
      failure = "no frame within " + std::to_string(timeout_ms) + " ms after " + std::to_string(records.size()) +
                " frames";
    } else if (r == wait_result::failed) {
      failure = error;
    }
    if (r != wait_result::frame) break;
    record.index = records.size();
    record.host_time = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
                           .count() / 100;
    if (data.size() > record.data_used) data.resize(record.data_used);
    record.truncated = format.fourcc == img::FOURCC_MJPG && !jpeg_has_end_marker(data.data(), data.size());
    std::string path = frame_file_name(opt.out_dir, record.index, frame_extension(plan, data.size()));
    records.push_back(record);
    files.push_back(path);
    if (!writer.push(std::move(path), std::move(data))) break;  // the writer's error is reported below
    if (ctx.progress) {
      // The first and the newest frame are enough for a running rate.
      const capture_summary so_far = summarize({records.front(), records.back()});
      const double fps = records.size() < 2 ? 0 : so_far.measured_fps * static_cast<double>(records.size() - 1);
      fprintf(ctx.err, "\rframe %zu/%" PRIu64 "  %s fps  dropped %" PRId64 "   ", records.size(), opt.frames,
              fps_text(fps).c_str(), record.drop_count > 0 ? record.drop_count : 0);
      fflush(ctx.err);
    }
  }
  // The pin's count includes frames lost after the last one delivered.
  int64_t pin_pictures = 0;
  int64_t pin_drops = 0;
  const bool have_pin_counts = session->dropped_frames(&pin_pictures, &pin_drops);
  session->stop();
  if (ctx.progress) fputc('\n', ctx.err);
  std::string write_error;
  if (!writer.finish(&write_error) && failure.empty()) failure = write_error;

  capture_summary summary = summarize(records);
  if (have_pin_counts && pin_drops > 0 && static_cast<uint64_t>(pin_drops) > summary.dropped) {
    summary.dropped = static_cast<uint64_t>(pin_drops);
  }
  if (timed_out && summary.dropped > 0) {
    failure += records.empty() ? ": " + std::to_string(summary.dropped) + " frames were dropped as incomplete, none delivered"
                               : " (" + std::to_string(summary.dropped) + " frames dropped as incomplete)";
  }
  const double negotiated_fps = interval_to_fps(negotiated);
  const bool rate_short = rate_falls_short(summary, negotiated_fps);
  const std::vector<std::pair<std::string, uint64_t>> faults = session->faults_sent();
  std::string finish_error;
  if (!session->finish(&finish_error) && failure.empty()) failure = finish_error;

  if (opt.json) {
    json frames = json::array();
    for (size_t i = 0; i < records.size(); ++i) {
      frames.push_back(frame_json(records[i], files[i], format.fourcc == img::FOURCC_MJPG));
    }
    json doc = {{"camera", label},
                {"device", session->device_name()},
                {"format",
                 {{"format", format_name(format.fourcc)},
                  {"width", plan.width},
                  {"height", plan.height},
                  {"bit_count", format.bit_count},
                  {"interval", negotiated},
                  {"fps", rounded(negotiated_fps, 3)},
                  {"requested_interval", interval}}},
                {"requested_frames", opt.frames},
                {"out", opt.out_dir},
                {"faults", fault_list_text(request.faults)},
                {"seed", request.seed},
                {"complete", failure.empty()}};
    if (!failure.empty()) doc["error"] = failure;
    doc["summary"] = summary_json(summary, rate_short, faults);
    doc["frames"] = frames;
    print_json(ctx.out, doc);
  } else {
    fprintf(ctx.out, "captured %zu frames of %s from %s (%s)\n", records.size(), description.c_str(), label.c_str(),
            session->device_name().c_str());
    print_summary(ctx.out, summary, opt.frames, format.fourcc == img::FOURCC_MJPG, faults);
    if (!files.empty()) {
      fprintf(ctx.out, "  files            %s .. %s\n", files.front().c_str(), files.back().c_str());
    }
  }
  if (rate_short) {
    fprintf(ctx.err, "tvcam capture: warning: measured %s fps is more than 10 %% below the negotiated %s fps%s\n",
            fps_text(summary.measured_fps).c_str(), fps_text(negotiated_fps).c_str(),
            summary.dropped > 0 ? " (frames were dropped)" : "");
  }
  if (interrupt.caught()) return command_error(ctx.err, "capture", "interrupted", kExitInterrupted);
  if (!failure.empty()) return command_error(ctx.err, "capture", failure, kExitFailure);
  return kExitOk;
}

command capture_command() {
  const std::vector<option_def> own = {
      {"format", "F", "FOURCC (YUY2, UYVY, Y800, Y16, MJPG, 0xHEX) or RGB24,\nRGB32 (default: the pin's first format)"},
      {"size", "WxH", "frame size (default: the first size of the format)"},
      {"fps", "N", "frame rate the driver lists for the format, e.g. 30 or\n7.5 (default: the format's default)"},
      {"frames", "N", "frames to capture, 1..1000000 (default 30)"},
      {"out", "DIR", "output directory, created when missing (default out)"},
      {"raw", nullptr, "write every frame's bytes as they came (.raw)"},
      {"set", "NAME=VALUE", "set a property before streaming, as 'tvcam set' does\n(repeatable: applied in the order given)", nullptr, true},
      {"json", nullptr, "print the summary and one record per frame as JSON"},
      {"autofocus", nullptr, "run the driver's autofocus once, started with the\nstream (cameras with a focus motor)"},
  };
  return {"capture", "capture frames from a camera into a directory",
          "Captures frames through the driver's capture pin and writes them to DIR as\n"
          "frame_00000.png, ... (MJPEG frames as .jpg, as they came; formats that are\n"
          "not converted as .raw). Prints a summary: the negotiated rate, frames\n"
          "delivered and dropped (as the driver counts them), the measured rate (with\n"
          "a warning when it is more than 10 % below the negotiated one), picture\n"
          "numbers, discontinuities, MJPEG frames without their end marker and the\n"
          "faults the simulated camera sent. Ctrl-C stops the capture with a summary.",
          joined(joined(own, camera_options()), sensor_options()), {},
          "exit status: 0 all frames captured, 1 the capture failed, 2 bad request,\n130 interrupted",
          cmd_capture};
}

}  // namespace tvcam
