// The live view of `tvcam preview`: a camera session streaming, and a web
// page with its JSON API served on the loopback interface.
//
//   GET  /                     the page (tools/tvcam/web/, built into the tool)
//   GET  /stream.mjpg          the live view, multipart/x-mixed-replace JPEGs
//   GET  /api/snapshot.png     the newest frame as PNG
//   GET  /api/props            every property as 'tvcam props --json' lists it
//   GET  /api/props/NAME       one property
//   PUT  /api/props/NAME       {"value": N | "auto" | "min" | "max" | "default"}:
//                              set as 'tvcam set' does; answers the property read back
//   GET  /api/sets             the camera's named default sets
//   PUT  /api/sets             {"select": NAME | INDEX} or {"load": true}
//   GET  /api/formats          the pin's formats and the one streaming
//   PUT  /api/formats          {"index": N, "fps": F}: restarts the stream
//   GET  /api/stats            frames delivered and dropped, measured rate,
//                              the automatic loops' values, the faults sent
//
// Frames are converted for display here, never in the driver. One thread
// takes frames from the pin and keeps only the newest; each viewer is sent
// the newest frame when it is ready for one, so a slow viewer skips frames
// instead of queueing them. Every call into the session is serialised by
// one lock, which the frame thread gives up whenever a request waits.
#pragma once

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture_backend.h"
#include "cli.h"

namespace httplib {
class Server;
}

namespace tvcam {

// What the frame thread keeps of one delivered frame.
struct display_frame {
  uint64_t sequence = 0;  // 1-based order of delivery since the server started
  uint32_t fourcc = 0;
  int width = 0;
  int height = 0;          // positive
  bool bottom_up = false;  // RGB with a positive bitmap height
  std::vector<uint8_t> data;
};

class preview_server {
 public:
  // `backend` and `session` outlive the server; the session is open, not streaming.
  preview_server(camera_backend& backend, camera_session& session, std::string camera_label);
  ~preview_server();

  // Starts the stream with range `format_index` of the session's formats at
  // `interval` (100 ns, 0: the range's default). False with a message.
  bool start_stream(size_t format_index, int64_t interval, std::string* error);

  // Binds to 127.0.0.1:`port` (0: a free port) and serves on a thread of
  // its own. False with a message; `*bound_port` gets the port.
  bool listen(int port, int* bound_port, std::string* error);

  // Stops serving, the frame thread and the stream. The session stays open.
  void stop();

  // Frames the pin delivered since the stream (re)started.
  uint64_t delivered() const;

 private:
  struct frame_stats;
  class session_lock;

  void frame_loop();
  void install_routes();
  // The newest frame as JPEG, encoded once per frame; waits up to
  // `timeout_ms` for one newer than `*after`. Null on timeout or when
  // stopping; `*after` is set to the frame's sequence and `*skipped` gets
  // the frames passed over.
  std::shared_ptr<const std::vector<uint8_t>> next_jpeg(uint64_t* after, unsigned timeout_ms, uint64_t* skipped);

  camera_backend& backend_;
  camera_session& session_;
  const std::string label_;
  std::unique_ptr<httplib::Server> http_;
  std::thread http_thread_;
  std::thread frame_thread_;
  std::atomic<bool> stopping_{false};

  // The session and everything about the running stream.
  std::mutex session_mutex_;
  std::condition_variable session_turn_;  // the frame thread waits here while requests wait
  std::atomic<int> waiting_requests_{0};
  bool streaming_ = false;
  size_t format_index_ = 0;
  int64_t interval_ = 0;
  std::string stream_error_;

  // The newest frame and what was measured (frame_mutex_).
  mutable std::mutex frame_mutex_;
  std::condition_variable frame_ready_;
  std::shared_ptr<const display_frame> latest_;
  std::unique_ptr<frame_stats> stats_;

  // The newest frame as JPEG (jpeg_mutex_).
  std::mutex jpeg_mutex_;
  uint64_t jpeg_sequence_ = 0;
  std::shared_ptr<const std::vector<uint8_t>> jpeg_;
  std::string display_error_;
};

// The page and its files, built into the tool: the bytes of `path` ("/",
// "/preview.js", ...) and their content type; false for a path there is no
// file for.
bool web_file(const std::string& path, const char** data, size_t* size, const char** content_type);

}  // namespace tvcam
