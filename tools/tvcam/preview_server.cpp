// The live view and its JSON API (see preview_server.h).
#include "preview_server.h"

#include <httplib.h>
#include <kstandin/testing.h>
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <regex>

#include "args.h"
#include "capture_stats.h"
#include "display_codec.h"
#include "image_convert.h"
#include "json_output.h"
#include "img/img_type.h"
#include "named_sets.h"
#include "property_commands.h"
#include "property_names.h"
#include "stream_choice.h"

namespace tvcam {

using clock_type = std::chrono::steady_clock;

namespace {

constexpr unsigned kFrameSliceMs = 40;        // the frame thread's wait, so requests wait no longer
constexpr unsigned kViewerWaitMs = 500;       // a viewer's wait for a frame before it looks at the server again
constexpr int kDisplayQuality = 85;           // JPEG quality of the live view
constexpr double kRateWindowSeconds = 2.0;    // the measured rate is over the frames of this last span
constexpr auto kRestartDelay = std::chrono::seconds(1);  // after the stream broke, before it is started again
constexpr size_t kMaxBody = 64 * 1024;        // request bodies are small JSON documents
constexpr size_t kServerThreads = 16;         // see listen()
const char kBoundary[] = "tvcamframe";

// Runs a command-style function with its messages caught, so that the
// property settings report the driver's words to the page as they do on a
// terminal. Returns the exit status; `*message` gets what was reported
// without the "tvcam preview: " prefix.
template <typename F>
int with_messages(camera_backend& backend, F&& f, std::string* message) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* sink = open_memstream(&buffer, &size);
  if (sink == nullptr) return kExitFailure;
  const context ctx{sink, sink, &backend, false};
  const int status = f(ctx);
  fclose(sink);
  std::string text(buffer, size);
  free(buffer);
  const std::string prefix = "tvcam preview: ";
  if (text.compare(0, prefix.size(), prefix) == 0) text.erase(0, prefix.size());
  const size_t hint = text.find("\nrun 'tvcam");
  if (hint != std::string::npos) text.erase(hint);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  *message = text;
  return status;
}

json format_json(size_t index, const video_format& f) {
  json j;
  j["index"] = index;
  j["format"] = format_name(f.fourcc);
  j["width"] = f.width;
  j["height"] = f.height < 0 ? -f.height : f.height;
  j["bit_count"] = f.bit_count;
  j["default_fps"] = interval_to_fps(f.default_interval);
  json fps = json::array();
  if (!f.intervals.empty()) {
    for (int64_t i : f.intervals) fps.push_back(interval_to_fps(i));
  } else {
    fps.push_back(interval_to_fps(f.max_interval));
    fps.push_back(interval_to_fps(f.min_interval));
  }
  j["fps"] = fps;
  j["fps_range"] = f.intervals.empty();
  return j;
}

// The NTSTATUS name in a message ("... STATUS_INVALID_PARAMETER (0xC000000D) ..."), or null.
json status_of(const std::string& message) {
  static const std::regex kStatus("STATUS_[A-Z0-9_]+");
  std::smatch m;
  if (std::regex_search(message, m, kStatus)) return m.str();
  return nullptr;
}

void reply(httplib::Response& res, int http_status, const json& body) {
  res.status = http_status;
  res.set_header("Cache-Control", "no-store");
  // Texts from the driver are ASCII; anything else is replaced, not thrown over.
  res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void fail(httplib::Response& res, int http_status, const std::string& message) {
  reply(res, http_status, json{{"error", message}});
}

// The request's JSON object, or false after answering 400.
bool body_object(const httplib::Request& req, httplib::Response& res, json* body) {
  try {
    *body = json::parse(req.body);
  } catch (const json::exception& e) {
    fail(res, 400, std::string("the body is not JSON: ") + e.what());
    return false;
  }
  if (!body->is_object()) {
    fail(res, 400, "the body must be a JSON object");
    return false;
  }
  return true;
}

// Turns a delivered frame into something a browser shows: an MJPEG frame
// as it came (when complete), any other convertible format converted and
// encoded.
bool display_jpeg(const display_frame& f, std::vector<uint8_t>* jpeg, std::string* error) {
  if (f.fourcc == img::FOURCC_MJPG) {
    if (!jpeg_has_end_marker(f.data.data(), f.data.size())) {
      *error = "a compressed frame without its end marker";
      return false;
    }
    *jpeg = f.data;
    return true;
  }
  converted_image image;
  const size_t pitch = frame_pitch(f.fourcc, f.width, f.height, f.data.size());
  if (!convert_frame(f.fourcc, f.width, f.height, pitch, f.bottom_up, f.data.data(), f.data.size(), &image, error)) {
    return false;
  }
  return encode_jpeg(image, kDisplayQuality, jpeg, error);
}

bool snapshot_image(const display_frame& f, converted_image* image, std::string* error) {
  if (f.fourcc == img::FOURCC_MJPG) return decode_jpeg(f.data.data(), f.data.size(), image, error);
  const size_t pitch = frame_pitch(f.fourcc, f.width, f.height, f.data.size());
  return convert_frame(f.fourcc, f.width, f.height, pitch, f.bottom_up, f.data.data(), f.data.size(), image, error);
}

}  // namespace

struct preview_server::frame_stats {
  clock_type::time_point started = clock_type::now();
  uint64_t sequence = 0;   // of all frames since the server started
  uint64_t delivered = 0;  // since the stream (re)started
  int64_t drop_count = 0;  // the driver's, from the newest frame's header
  uint64_t displayed = 0;  // frames sent to viewers
  uint64_t skipped = 0;    // frames no viewer was ready for
  uint64_t restarts = 0;   // times the stream broke and was started again
  std::deque<clock_type::time_point> recent;  // receive times within the rate window
  bool have_loops = false;
  loop_values loops;
  int64_t loops_picture = -1;
};

// Holds the session for a request: the frame thread gives way while any
// request waits.
class preview_server::session_lock {
 public:
  explicit session_lock(preview_server& s) : server_(s) {
    ++server_.waiting_requests_;
    lock_ = std::unique_lock<std::mutex>(server_.session_mutex_);
    --server_.waiting_requests_;
  }
  ~session_lock() {
    lock_.unlock();
    server_.session_turn_.notify_all();
  }

 private:
  preview_server& server_;
  std::unique_lock<std::mutex> lock_;
};

preview_server::preview_server(camera_backend& backend, camera_session& session, std::string camera_label)
    : backend_(backend), session_(session), label_(std::move(camera_label)), stats_(new frame_stats()) {}

preview_server::~preview_server() { stop(); }

bool preview_server::start_stream(size_t format_index, int64_t interval, std::string* error) {
  {
    session_lock lock(*this);
    session_.stop();
    streaming_ = false;
    stream_request request;
    request.format_index = format_index;
    request.interval = interval;
    request.buffers = 4;
    if (!session_.start(request, error)) {
      session_.stop();
      stream_error_ = *error;
      return false;
    }
    streaming_ = true;
    stream_error_.clear();
    format_index_ = format_index;
    interval_ = interval;
  }
  {
    std::lock_guard<std::mutex> lock(frame_mutex_);
    latest_.reset();
    const uint64_t sequence = stats_->sequence;
    const uint64_t restarts = stats_->restarts;
    *stats_ = frame_stats();
    stats_->sequence = sequence;
    stats_->restarts = restarts;
  }
  if (!frame_thread_.joinable()) frame_thread_ = std::thread([this] { frame_loop(); });
  return true;
}

uint64_t preview_server::delivered() const {
  std::lock_guard<std::mutex> lock(frame_mutex_);
  return stats_->delivered;
}

void preview_server::frame_loop() {
  clock_type::time_point restart_at{};
  while (!stopping_) {
    frame_record record;
    std::vector<uint8_t> data;
    std::string error;
    wait_result result = wait_result::timeout;
    video_format format;
    {
      std::unique_lock<std::mutex> lock(session_mutex_);
      session_turn_.wait_for(lock, std::chrono::milliseconds(200), [this] {
        return stopping_ || (waiting_requests_ == 0 && (streaming_ || !stream_error_.empty()));
      });
      if (stopping_) break;
      if (waiting_requests_ != 0) continue;
      if (!streaming_) {
        // A stream that broke (the simulated faults can break it) is
        // started again, so the view goes on.
        if (stream_error_.empty()) continue;
        if (clock_type::now() < restart_at) {
          session_turn_.wait_until(lock, restart_at, [this] { return stopping_.load(); });
          continue;
        }
        stream_request request;
        request.format_index = format_index_;
        request.interval = interval_;
        session_.stop();
        if (session_.start(request, &error)) {
          streaming_ = true;
          std::lock_guard<std::mutex> flock(frame_mutex_);
          ++stats_->restarts;
        } else {
          session_.stop();
          stream_error_ = error;
          restart_at = clock_type::now() + kRestartDelay;
        }
        continue;
      }
      result = session_.next_frame(kFrameSliceMs, &record, &data, &error);
      if (result == wait_result::failed) {
        session_.stop();
        streaming_ = false;
        stream_error_ = error;
        restart_at = clock_type::now() + kRestartDelay;
        continue;
      }
      format = session_.formats()[format_index_];
    }
    if (result != wait_result::frame) continue;
    auto frame = std::make_shared<display_frame>();
    frame->fourcc = format.fourcc;
    frame->width = format.width;
    frame->height = format.height < 0 ? -format.height : format.height;
    frame->bottom_up = format.height > 0;
    if (data.size() > record.data_used) data.resize(record.data_used);
    frame->data = std::move(data);
    const clock_type::time_point now = clock_type::now();
    std::lock_guard<std::mutex> lock(frame_mutex_);
    frame_stats& s = *stats_;
    frame->sequence = ++s.sequence;
    ++s.delivered;
    if (record.has_frame_info && record.drop_count > s.drop_count) s.drop_count = record.drop_count;
    s.recent.push_back(now);
    while (!s.recent.empty() && now - s.recent.front() > std::chrono::duration<double>(kRateWindowSeconds)) {
      s.recent.pop_front();
    }
    if (record.has_loop_values) {
      s.have_loops = true;
      s.loops = record.loop;
      s.loops_picture = record.picture_number;
    }
    latest_ = std::move(frame);
    frame_ready_.notify_all();
  }
}

std::shared_ptr<const std::vector<uint8_t>> preview_server::next_jpeg(uint64_t* after, unsigned timeout_ms,
                                                                      uint64_t* skipped) {
  std::shared_ptr<const display_frame> frame;
  {
    std::unique_lock<std::mutex> lock(frame_mutex_);
    const bool ready = frame_ready_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
      return stopping_ || (latest_ && latest_->sequence > *after);
    });
    if (!ready || stopping_) return nullptr;
    frame = latest_;
    *skipped = *after != 0 && frame->sequence > *after + 1 ? frame->sequence - *after - 1 : 0;
    *after = frame->sequence;
  }
  std::lock_guard<std::mutex> lock(jpeg_mutex_);
  if (jpeg_sequence_ != frame->sequence) {
    jpeg_sequence_ = frame->sequence;
    auto jpeg = std::make_shared<std::vector<uint8_t>>();
    std::string error;
    if (display_jpeg(*frame, jpeg.get(), &error)) {
      jpeg_ = std::move(jpeg);
      display_error_.clear();
    } else {
      jpeg_.reset();
      display_error_ = error;
    }
  }
  return jpeg_;
}

bool preview_server::listen(int port, int* bound_port, std::string* error) {
  http_.reset(new httplib::Server());
  // Each live view holds a thread for as long as it is watched, and a
  // browser keeps several more connections open: more threads than the
  // library's default, so a second tab does not wait.
  http_->new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
  install_routes();
  const char* host = "127.0.0.1";
  int bound = -1;
  if (port == 0) {
    bound = http_->bind_to_any_port(host);
  } else if (http_->bind_to_port(host, port)) {
    bound = port;
  }
  if (bound <= 0) {
    *error = "cannot listen on " + std::string(host) + ":" + std::to_string(port);
    return false;
  }
  *bound_port = bound;
  http_thread_ = std::thread([this] { http_->listen_after_bind(); });
  return true;
}

void preview_server::stop() {
  if (stopping_.exchange(true)) return;
  {
    std::lock_guard<std::mutex> lock(frame_mutex_);
    frame_ready_.notify_all();
  }
  session_turn_.notify_all();
  if (http_) http_->stop();
  if (http_thread_.joinable()) http_thread_.join();
  if (frame_thread_.joinable()) frame_thread_.join();
  std::lock_guard<std::mutex> lock(session_mutex_);
  session_.stop();
  streaming_ = false;
}

void preview_server::install_routes() {
  httplib::Server& s = *http_;
  s.set_payload_max_length(kMaxBody);
  s.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr e) {
    std::string what = "internal error";
    try {
      if (e) std::rethrow_exception(e);
    } catch (const std::exception& x) {
      what = x.what();
    } catch (...) {
    }
    fail(res, 500, what);
  });
  s.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
    if (!res.body.empty()) return;
    const std::string what = res.status == 404 ? "no such page: " + req.path
                           : res.status == 405 ? req.method + " is not allowed on " + req.path
                           : res.status == 413 ? "the request body is too large"
                                               : "bad request";
    fail(res, res.status, what);
  });

  s.Get(R"(/|/[a-z_]+\.(js|css|html))", [](const httplib::Request& req, httplib::Response& res) {
    const char* data = nullptr;
    size_t size = 0;
    const char* type = nullptr;
    if (!web_file(req.path, &data, &size, &type)) {
      fail(res, 404, "no such page: " + req.path);
      return;
    }
    res.set_content(data, size, type);
  });

  s.Get("/stream.mjpg", [this](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    auto after = std::make_shared<uint64_t>(0);
    res.set_content_provider(std::string("multipart/x-mixed-replace; boundary=") + kBoundary,
                             [this, after](size_t, httplib::DataSink& sink) {
                               uint64_t skipped = 0;
                               std::shared_ptr<const std::vector<uint8_t>> jpeg =
                                   next_jpeg(after.get(), kViewerWaitMs, &skipped);
                               if (stopping_) return false;
                               if (!jpeg) return true;  // nothing new yet: look again
                               const std::string head = std::string("--") + kBoundary +
                                                        "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                                                        std::to_string(jpeg->size()) + "\r\n\r\n";
                               if (!sink.write(head.data(), head.size()) ||
                                   !sink.write(reinterpret_cast<const char*>(jpeg->data()), jpeg->size()) ||
                                   !sink.write("\r\n", 2)) {
                                 return false;  // the viewer went away
                               }
                               std::lock_guard<std::mutex> lock(frame_mutex_);
                               ++stats_->displayed;
                               stats_->skipped += skipped;
                               return true;
                             });
  });

  s.Get("/api/snapshot.png", [this](const httplib::Request&, httplib::Response& res) {
    std::shared_ptr<const display_frame> frame;
    {
      std::lock_guard<std::mutex> lock(frame_mutex_);
      frame = latest_;
    }
    if (!frame) return fail(res, 503, "no frame has come yet");
    converted_image image;
    std::vector<uint8_t> png;
    std::string error;
    if (!snapshot_image(*frame, &image, &error) || !encode_png(image, &png, &error)) {
      return fail(res, 500, "cannot make a snapshot of frame " + std::to_string(frame->sequence) + ": " + error);
    }
    res.set_header("Content-Disposition",
                   "attachment; filename=\"snapshot_" + std::to_string(frame->sequence) + ".png\"");
    res.set_header("Cache-Control", "no-store");
    res.set_content(reinterpret_cast<const char*>(png.data()), png.size(), "image/png");
  });

  s.Get("/api/props", [this](const httplib::Request&, httplib::Response& res) {
    session_lock lock(*this);
    property_access* access = session_.properties();
    json list = json::array();
    if (access != nullptr) {
      for (const property_value& p : access->list()) list.push_back(property_json(p));
    }
    reply(res, 200, list);
  });

  s.Get(R"(/api/props/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
    property_key key;
    std::string error;
    if (!parse_property_name(req.matches[1], &key, &error)) return fail(res, 404, error);
    session_lock lock(*this);
    property_access* access = session_.properties();
    property_value p;
    const property_result r = access ? access->read(key, &p) : property_result{};
    if (!r.ok) {
      if (access == nullptr || r.absent) return fail(res, 404, "the camera has no " + property_name(key) + " control");
      return reply(res, r.no_value ? 422 : 409, json{{"error", r.error}, {"status", status_of(r.error)}});
    }
    reply(res, 200, property_json(p));
  });

  auto set_property = [this](const httplib::Request& req, httplib::Response& res) {
    const std::string name = req.matches[1];
    property_key key;
    std::string error;
    if (!parse_property_name(name, &key, &error)) return fail(res, 404, error);
    json body;
    if (!body_object(req, res, &body)) return;
    const json& v = body.contains("value") ? body["value"] : json();
    std::string value_text;
    if (v.is_number_integer()) {
      value_text = std::to_string(v.get<int64_t>());
    } else if (v.is_string()) {
      value_text = v.get<std::string>();
    } else {
      return fail(res, 400, "expected {\"value\": an integer, \"auto\", \"min\", \"max\" or \"default\"}");
    }
    property_setting setting;
    if (!parse_setting(name + "=" + value_text, &setting, &error)) return fail(res, 400, error);
    session_lock lock(*this);
    property_access* access = session_.properties();
    property_value current;
    if (access == nullptr || access->read(key, &current).absent) {
      return fail(res, 404, "the camera has no " + property_name(key) + " control");
    }
    std::vector<property_value> applied;
    std::string message;
    const int status = with_messages(
        backend_, [&](const context& ctx) { return apply_settings(ctx, "preview", session_, {setting}, &applied); },
        &message);
    if (status == kExitOk && !applied.empty()) return reply(res, 200, property_json(applied.back()));
    // Refused: the property as it now is, so the page shows the real value.
    json answer{{"error", message}, {"status", status_of(message)}};
    if (access->read(key, &current).ok) answer["property"] = property_json(current);
    reply(res, status == kExitUsage ? 422 : 409, answer);
  };
  s.Put(R"(/api/props/([^/]+))", set_property);
  s.Post(R"(/api/props/([^/]+))", set_property);

  s.Get("/api/sets", [this](const httplib::Request&, httplib::Response& res) {
    session_lock lock(*this);
    register_access* registers = session_.registers();
    std::vector<named_set> sets;
    uint32_t selected = 0;
    std::string error;
    json answer{{"sets", json::array()}, {"selected", nullptr}};
    if (registers != nullptr && read_named_sets(*registers, &sets, &selected, &error)) {
      for (const named_set& n : sets) answer["sets"].push_back(json{{"index", n.index}, {"name", n.name}});
      answer["selected"] = selected;
    }
    reply(res, 200, answer);
  });

  auto change_sets = [this](const httplib::Request& req, httplib::Response& res) {
    json body;
    if (!body_object(req, res, &body)) return;
    std::string text;
    if (body.contains("select") && body["select"].is_string()) {
      text = "default_set=" + body["select"].get<std::string>();
    } else if (body.contains("select") && body["select"].is_number_integer()) {
      text = "default_set=" + std::to_string(body["select"].get<int64_t>());
    } else if (body.value("load", false) == true) {
      text = "load_default_set";
    } else {
      return fail(res, 400, "expected {\"select\": a set's name or index} or {\"load\": true}");
    }
    session_lock lock(*this);
    std::string line;
    std::string message;
    const int status = with_messages(
        backend_,
        [&](const context& ctx) { return apply_named_set_setting(ctx, "preview", session_, text, &line); }, &message);
    if (status == kExitOk) return reply(res, 200, json{{"done", line}});
    reply(res, status == kExitUsage ? 422 : 409, json{{"error", message}, {"status", status_of(message)}});
  };
  s.Put("/api/sets", change_sets);
  s.Post("/api/sets", change_sets);

  s.Get("/api/formats", [this](const httplib::Request&, httplib::Response& res) {
    session_lock lock(*this);
    json answer{{"formats", json::array()}};
    const std::vector<video_format>& formats = session_.formats();
    for (size_t i = 0; i < formats.size(); ++i) answer["formats"].push_back(format_json(i, formats[i]));
    const int64_t negotiated = session_.negotiated_interval();
    answer["current"] = json{{"index", format_index_},
                             {"fps", interval_to_fps(negotiated > 0 ? negotiated : interval_)},
                             {"streaming", streaming_}};
    reply(res, 200, answer);
  });

  auto change_format = [this](const httplib::Request& req, httplib::Response& res) {
    json body;
    if (!body_object(req, res, &body)) return;
    if (!body.contains("index") || !body["index"].is_number_unsigned()) {
      return fail(res, 400, "expected {\"index\": a format's index, \"fps\": a rate it lists (optional)}");
    }
    const uint64_t index = body["index"].get<uint64_t>();
    std::vector<video_format> formats;
    {
      session_lock lock(*this);
      formats = session_.formats();
    }
    if (index >= formats.size()) {
      return fail(res, 422, "no format " + std::to_string(index) + "; formats 0.." + std::to_string(formats.size() - 1));
    }
    int64_t interval = 0;
    if (body.contains("fps") && !body["fps"].is_null()) {
      if (!body["fps"].is_number() || body["fps"].get<double>() <= 0) return fail(res, 400, "fps must be a number above 0");
      // Only the chosen range is offered to the choice, so its index stays.
      const video_format& f = formats[index];
      stream_wish wish;
      wish.has_fps = true;
      wish.fps = body["fps"].get<double>();
      size_t chosen = 0;
      std::string error;
      if (!choose_stream({f}, wish, &chosen, &interval, &error)) return fail(res, 422, error);
    }
    std::string error;
    if (!start_stream(index, interval, &error)) return fail(res, 409, "cannot start the stream: " + error);
    reply(res, 200, json{{"index", index}, {"fps", interval_to_fps(interval > 0 ? interval : formats[index].default_interval)}});
  };
  s.Put("/api/formats", change_format);
  s.Post("/api/formats", change_format);

  s.Get("/api/stats", [this](const httplib::Request&, httplib::Response& res) {
    json answer;
    int64_t pictures = 0, drops = 0;
    bool have_drops = false;
    {
      session_lock lock(*this);
      answer["camera"] = label_;
      answer["device"] = session_.device_name();
      answer["streaming"] = streaming_;
      answer["error"] = stream_error_.empty() ? json(nullptr) : json(stream_error_);
      const video_format& f = session_.formats()[format_index_];
      const int64_t negotiated = session_.negotiated_interval();
      answer["format"] = json{{"index", format_index_},
                              {"format", format_name(f.fourcc)},
                              {"width", f.width},
                              {"height", f.height < 0 ? -f.height : f.height},
                              {"fps", interval_to_fps(negotiated > 0 ? negotiated : f.default_interval)}};
      json faults = json::object();
      for (const auto& fault : session_.faults_sent()) faults[fault.first] = fault.second;
      answer["faults_sent"] = faults;
      have_drops = streaming_ && session_.dropped_frames(&pictures, &drops);
    }
    {
      std::lock_guard<std::mutex> lock(frame_mutex_);
      const frame_stats& s = *stats_;
      answer["delivered"] = s.delivered;
      answer["dropped"] = have_drops && drops > s.drop_count ? drops : s.drop_count;
      double fps = 0;
      if (s.recent.size() >= 2) {
        const double span = std::chrono::duration<double>(s.recent.back() - s.recent.front()).count();
        if (span > 0) fps = static_cast<double>(s.recent.size() - 1) / span;
      }
      answer["measured_fps"] = fps;
      answer["displayed"] = s.displayed;
      answer["display_skipped"] = s.skipped;
      answer["restarts"] = s.restarts;
      if (s.have_loops) {
        const loop_values& v = s.loops;
        answer["loops"] = json{{"picture", s.loops_picture},
                               {"brightness", v.brightness},
                               {"exposure", v.exposure},
                               {"gain", v.gain},
                               {"white_balance", {v.wb_r, v.wb_g, v.wb_b}},
                               {"temperature", v.temperature}};
      } else {
        answer["loops"] = nullptr;
      }
    }
    // The kernel pool the driver holds, to see that it stays flat.
    uint64_t blocks = 0, bytes = 0;
    for (const kstandin::tag_usage& t : kstandin::take_pool_snapshot().live) {
      blocks += t.live_count;
      bytes += t.live_bytes;
    }
    answer["pool"] = json{{"blocks", blocks}, {"bytes", bytes}};
    {
      std::lock_guard<std::mutex> lock(jpeg_mutex_);
      answer["display_error"] = display_error_.empty() ? json(nullptr) : json(display_error_);
    }
    reply(res, 200, answer);
  });
}

}  // namespace tvcam
