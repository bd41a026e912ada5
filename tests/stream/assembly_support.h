// Test doubles for frame assembly: a frame sink with a bounded set of client
// buffers that checks every buffer comes back exactly once, a camera whose
// slots and assembly life cycle the tests can reach, a reader that records
// releases, and a payload builder.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "kernel/pool_tags.h"
#include "uvc/uvc_camera.h"

namespace tvtest {

struct delivered_frame {
  NTSTATUS status;
  std::vector<uint8_t> bytes;  // bytes_used bytes of the buffer (all of it when 0)
  ULONGLONG drop_count;
  ULONGLONG delivered_count;
};

class test_sink : public frame_sink {
 public:
  test_sink(ULONG buffer_size, size_t buffer_count)
      : buffers_(buffer_count, std::vector<uint8_t>(buffer_size)) {
    for (size_t i = 0; i < buffer_count; ++i) free_.push_back(i);
  }

  PVOID acquire_frame_buffer(PUCHAR* data, ULONG* capacity) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (refuse_per_mille_ != 0 && rng_() % 1000 < refuse_per_mille_) {
      ++refusals_;
      return nullptr;
    }
    if (refuse_ > 0 || free_.empty()) {
      refuse_ -= refuse_ > 0;
      return nullptr;
    }
    const size_t index = free_.back();
    free_.pop_back();
    std::fill(buffers_[index].begin(), buffers_[index].end(), 0xEE);
    *data = buffers_[index].data();
    *capacity = ULONG(buffers_[index].size());
    ++outstanding_;
    return reinterpret_cast<PVOID>(index + 1);
  }

  void frame_done(PVOID buffer, NTSTATUS status, ULONGLONG drop_count, ULONGLONG delivered_count,
                  ULONG bytes_used) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t index = reinterpret_cast<size_t>(buffer) - 1;
    if (index >= buffers_.size() ||
        std::find(free_.begin(), free_.end(), index) != free_.end()) {
      ++bad_returns_;  // never given out, or returned twice
      return;
    }
    const auto& b = buffers_[index];  // bytes_used 0: all of it
    frames_.push_back({status, {b.begin(), b.begin() + (bytes_used ? bytes_used : b.size())},
                       drop_count, delivered_count});
    free_.push_back(index);
    --outstanding_;
    cv_.notify_all();
  }

  // Makes the next `count` acquisitions fail as if the client had no buffer.
  void refuse_next(int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    refuse_ = count;
  }
  // From now on a seeded share of the acquisitions is refused as well;
  // refusals() counts those.
  void refuse_share(uint32_t seed, unsigned per_mille) {
    std::lock_guard<std::mutex> lock(mutex_);
    rng_.seed(seed);
    refuse_per_mille_ = per_mille;
  }
  template <class T>
  T locked(const T& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    return value;
  }

  // Waits (bounded) until `count` buffers have come back.
  bool wait_for_returns(size_t count, int timeout_ms = 10000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [&] { return frames_.size() >= count; });
  }

  std::vector<delivered_frame> frames() { return locked(frames_); }
  std::vector<delivered_frame> good_frames() {
    std::vector<delivered_frame> good;
    for (auto& f : frames())
      if (f.status == STATUS_SUCCESS) good.push_back(f);
    return good;
  }
  uint64_t refusals() { return locked(refusals_); }
  int outstanding() { return locked(outstanding_); }
  int bad_returns() { return locked(bad_returns_); }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::vector<uint8_t>> buffers_;
  std::vector<size_t> free_;
  std::vector<delivered_frame> frames_;
  int refuse_ = 0;
  std::mt19937 rng_;
  unsigned refuse_per_mille_ = 0;
  uint64_t refusals_ = 0;
  int outstanding_ = 0;
  int bad_returns_ = 0;
};

// A reader that never touches USB: it records which held requests come back.
class test_reader : public stream_reader {
 public:
  NTSTATUS start(USBD_PIPE_INFORMATION*, ULONG) override { return STATUS_SUCCESS; }
  NTSTATUS stop() override { return STATUS_SUCCESS; }
  NTSTATUS release(PVOID request) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++releases_[request];
    return STATUS_SUCCESS;
  }
  void set_clear_buffers(bool) override {}
  std::map<PVOID, int> releases() {
    std::lock_guard<std::mutex> lock(mutex_);
    return releases_;
  }

 private:
  std::mutex mutex_;
  std::map<PVOID, int> releases_;
};

struct camera_setup {
  ULONG frame_size = 4096;
  bool worker = false;
  bool eof_only = false;
  bool drop_incomplete = true;
};

class test_camera : public uvc_camera {
 public:
  test_camera(frame_sink* sink, const camera_setup& setup) : uvc_camera(nullptr, sink) {
    worker_flag_ = setup.worker;
    eof_only_ = setup.eof_only;
    drop_incomplete_ = setup.drop_incomplete ? 1 : 0;
    raw_type_ = img::make_img_type(img::FOURCC_Y800, int(setup.frame_size), 1);
    output_type_ = raw_type_;
  }
  ~test_camera() override { data_request_pipe_ = nullptr; }  // test_reader is the test's

  // open_stream / run_stream / close_stream as far as assembly goes.
  NTSTATUS open(bool chunked = false) {
    NTSTATUS status = open_assembly(chunked);
    if (NT_SUCCESS(status)) status = on_stream_start();
    return status;
  }
  void run() { run_assembly(); }
  NTSTATUS open_and_run(bool chunked = false) {
    const NTSTATUS status = open(chunked);
    if (NT_SUCCESS(status)) run();
    return status;
  }
  void stop_assembly_for_test() { stop_assembly(); }
  void close() {
    stop_assembly();
    close_assembly();
    on_stream_stop();
  }

  void set_reader(stream_reader* reader) { data_request_pipe_ = reader; }
  // Chunked transfers of `size` bytes from payloads of at most `payload_max`
  // bytes in packets of `packet` bytes, as open_stream sets them.
  void set_chunking(ULONG size, ULONG payload_max, ULONG packet) {
    chunk_size_ = size;
    chunk_payload_max_ = payload_max;
    chunk_packet_ = packet;
  }
  void set_pooled(bool pooled) { pooled_ = pooled; }
  void set_variable_size(bool on) { variable_size_ = on; }
  void set_drop_incomplete(bool on) { drop_incomplete_ = on ? 1 : 0; }
  void set_show_overlay(bool on) { show_overlay_ = on ? 1 : 0; }
  void set_image(int width, int height) {
    raw_type_ = img::make_img_type(img::FOURCC_Y800, width, height);
    output_type_ = raw_type_;
  }
  ULONG pool_free_count() { return frame_pool_.free_count(); }
  LONG in_worker() { return InterlockedCompareExchange(&in_worker_, 0, 0); }

  // When gated, prepare_raw_frame waits until the gate opens; `entered`
  // counts frames that reached it.
  void gate_worker(bool closed) {
    std::lock_guard<std::mutex> lock(gate_mutex_);
    gate_closed_ = closed;
    gate_cv_.notify_all();
  }
  bool wait_entered(int count) {
    std::unique_lock<std::mutex> lock(gate_mutex_);
    return gate_cv_.wait_for(lock, std::chrono::seconds(10), [&] { return entered_ >= count; });
  }

  NTSTATUS prepare_raw_frame(payload_info* raw) override {
    std::unique_lock<std::mutex> lock(gate_mutex_);
    ++entered_;
    gate_cv_.notify_all();
    gate_cv_.wait_for(lock, std::chrono::seconds(10), [&] { return !gate_closed_; });
    if (hold_raw_frames_) {
      held_.push_back(*raw);  // kept like a family that finishes the frame later
      return STATUS_PENDING;
    }
    return uvc_camera::prepare_raw_frame(raw);
  }

  // Counts completed frames with no ordering of its own (a relaxed
  // atomic), so the thread sanitizer sees only what the camera orders.
  void complete_frame(output_frame_slot* slot) override {
    uvc_camera::complete_frame(slot);
    completed_.fetch_add(1, std::memory_order_relaxed);
  }
  bool wait_completed(int count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (completed_.load(std::memory_order_relaxed) < count) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::yield();
    }
    return true;
  }

  // While set, prepare_raw_frame keeps every raw frame (STATUS_PENDING).
  void hold_raw_frames(bool on) {
    std::lock_guard<std::mutex> lock(gate_mutex_);
    hold_raw_frames_ = on;
  }
  size_t release_held_frames() {
    std::vector<payload_info> held;
    {
      std::lock_guard<std::mutex> lock(gate_mutex_);
      held.swap(held_);
    }
    for (auto& raw : held) release_raw_frame(&raw);
    return held.size();
  }

 private:
  std::mutex gate_mutex_;
  std::condition_variable gate_cv_;
  bool gate_closed_ = false;
  int entered_ = 0;
  bool hold_raw_frames_ = false;
  std::vector<payload_info> held_;
  std::atomic<int> completed_{0};
};

// One UVC payload: header of `header_length` bytes, then `data`.
inline std::vector<uint8_t> make_payload(int fid, bool eof, const uint8_t* data, size_t length,
                                         uint8_t header_length = 2, uint32_t pts = 0) {
  std::vector<uint8_t> p(header_length, 0);
  p[0] = header_length;
  p[1] = uint8_t((fid & 1) | (eof ? 0x02 : 0) | (header_length >= 6 ? 0x04 : 0) | 0x80);
  for (int i = 0; i < 4 && header_length >= 6; ++i) p[2 + i] = uint8_t(pts >> (8 * i));
  p.insert(p.end(), data, data + length);
  return p;
}

// Delivers one transfer the way a reader's completion routine does (an
// empty one with data only when it has room: a zero-length transfer).
inline NTSTATUS feed(uvc_camera* camera, std::vector<uint8_t>& transfer, PVOID request = nullptr) {
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  const NTSTATUS status = uvc_camera::data_callback(
      request, camera, transfer.capacity() == 0 ? nullptr : transfer.data(), ULONG(transfer.size()));
  KeLowerIrql(irql);
  return status;
}

inline NTSTATUS feed(uvc_camera* camera, std::vector<uint8_t>&& transfer, PVOID request = nullptr) {
  return feed(camera, transfer, request);
}

// Sends `frame` in payloads of `chunk` bytes with FID `fid`; EOF on the last
// payload when `eof`. `skip_last` bytes are left out at the end.
inline void send_frame(uvc_camera* camera, const std::vector<uint8_t>& frame, int fid, bool eof,
                       size_t chunk, size_t skip_last = 0) {
  const size_t total = frame.size() - skip_last;
  for (size_t at = 0; at < total; at += chunk) {
    const size_t n = std::min(chunk, total - at);
    EXPECT_EQ(feed(camera, make_payload(fid, eof && at + n == total, frame.data() + at, n)),
              STATUS_SUCCESS);
  }
}

inline void interrupt(uvc_camera* camera) {
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  uint8_t packet[4] = {2, 1, 0, 0};
  camera->on_interrupt_data(packet, sizeof(packet));
  KeLowerIrql(irql);
}

// Frame content: the frame number in the first 4 bytes, then a pattern.
inline std::vector<uint8_t> make_frame(uint32_t number, size_t size) {
  std::vector<uint8_t> f(size);
  for (size_t i = 0; i < size; ++i) f[i] = uint8_t(number * 31 + i * 7 + (i >> 8));
  for (size_t i = 0; i < 4 && i < size; ++i) f[i] = uint8_t(number >> (8 * i));
  return f;
}

inline uint32_t frame_number(const std::vector<uint8_t>& f) {
  return uint32_t(f[0]) | (uint32_t(f[1]) << 8) | (uint32_t(f[2]) << 16) | (uint32_t(f[3]) << 24);
}

struct camera_holder {  // test_camera has the pool new/delete of pool_object
  camera_holder(frame_sink* sink, const camera_setup& setup) : cam(sink, setup) {}
  test_camera cam;
};

// A camera of `FrameSize`-byte frames on a sink of four buffers. TearDown
// closes it unless the test did and checks every buffer came back once.
template <ULONG FrameSize, bool Worker, size_t Chunk>
class assembly_fixture : public ::testing::Test {
 protected:
  void start(camera_setup setup = {}, bool chunked = false) {
    setup.frame_size = FrameSize;
    setup.worker = Worker;
    camera_ = std::make_unique<camera_holder>(&sink_, setup);
    ASSERT_EQ(cam().open_and_run(chunked), STATUS_SUCCESS);
  }
  void close() {
    cam().close();
    closed_ = true;
  }
  void TearDown() override {
    if (camera_ && !closed_) cam().close();
    EXPECT_EQ(sink_.outstanding(), 0);
    EXPECT_EQ(sink_.bad_returns(), 0);
  }
  test_camera& cam() { return camera_->cam; }
  void send(const std::vector<uint8_t>& frame, int fid, bool eof, size_t chunk = Chunk,
            size_t skip_last = 0) {
    send_frame(&cam(), frame, fid, eof, chunk, skip_last);
  }

  test_sink sink_{FrameSize, 4};
  test_reader reader_;  // for the tests that hand reader requests over
  std::unique_ptr<camera_holder> camera_;
  bool closed_ = false;
};

}  // namespace tvtest
