// Shared pieces of the reader tests: a simulated camera with a configured
// usb_device, and a consumer that records every data callback and can keep
// buffers.
#pragma once

#include <gtest/gtest.h>

#include <kstandin/testing_io.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "usb/bulk_reader.h"
#include "usb/iso_reader.h"
#include "kernel/pool_tags.h"
#include "sim/usb_bus.h"
#include "sim/uvc_camera.h"
#include "usb/usbdevice.h"

namespace readertest {

constexpr uint8_t kStreamEndpoint = 0x81;
constexpr uint8_t kInterruptEndpoint = 0x83;

// Polls `done` until it holds, for at most about `limit_ms`.
inline bool eventually(const std::function<bool()>& done, int limit_ms = 10000) {
  for (int i = 0; i < limit_ms && !done(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

// Block `seq`: its number in the first four bytes, then bytes derived from it.
inline std::vector<uint8_t> block_bytes(uint32_t seq, size_t length) {
  std::vector<uint8_t> b(length);
  uint32_t x = seq * 2654435761u + 12345u;
  for (size_t i = 0; i < length; ++i) b[i] = uint8_t((x = x * 1103515245u + 12345u) >> 24);
  for (size_t i = 0; i < 4 && i < length; ++i) b[i] = uint8_t(seq >> (8 * i));
  return b;
}
inline uint32_t block_seq(const std::vector<uint8_t>& b) {
  return b.size() < 4 ? UINT32_MAX : uint32_t(b[0] | b[1] << 8 | b[2] << 16 | uint32_t(b[3]) << 24);
}
// An empty block with a non-null data pointer (the simulated bus memcpys
// even an empty bulk block).
inline std::vector<uint8_t> empty_block() {
  std::vector<uint8_t> b;
  b.reserve(1);
  return b;
}

// The data callback's context: records every call with data; `decide`
// (default success) chooses each result, and kept requests wait in a list.
// Loss reports (no data) are only counted.
struct delivery {
  PVOID request;
  const uint8_t* data;
  std::vector<uint8_t> bytes;
  KIRQL irql;
};

class consumer {
 public:
  static NTSTATUS callback(PVOID request, PVOID context, PUCHAR data, ULONG length) {
    auto* self = static_cast<consumer*>(context);
    if (data == nullptr) {
      std::lock_guard<std::mutex> lock(self->mutex_);
      EXPECT_EQ(length, 0u);
      ++self->losses_;
      return STATUS_SUCCESS;
    }
    delivery d{request, data, std::vector<uint8_t>(data, data + length), KeGetCurrentIrql()};
    std::lock_guard<std::mutex> lock(self->mutex_);
    const NTSTATUS result = self->decide ? self->decide(self->deliveries_.size()) : STATUS_SUCCESS;
    self->data_count_ += length != 0;
    self->deliveries_.push_back(std::move(d));
    if (result == STATUS_MORE_PROCESSING_REQUIRED) self->held_.push_back(request);
    self->cv_.notify_all();
    return result;
  }

  std::function<NTSTATUS(size_t call)> decide;  // set before the reader starts

  std::vector<delivery> deliveries() const { return locked(deliveries_); }
  size_t data_count() const { return locked(data_count_); }  // deliveries with data
  size_t held_count() const { return locked(held_).size(); }
  size_t losses() const { return locked(losses_); }
  bool wait_for(size_t n, int limit_ms = 10000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(limit_ms),
                        [&] { return deliveries_.size() >= n; });
  }
  // Takes the oldest kept request, waiting up to `limit_ms`; null if none.
  PVOID take_held(int limit_ms = 0) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(limit_ms), [&] { return !held_.empty(); })) {
      return nullptr;
    }
    PVOID r = held_.front();
    held_.erase(held_.begin());
    return r;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<delivery> deliveries_;
  std::vector<PVOID> held_;
  size_t data_count_ = 0;
  size_t losses_ = 0;

  template <class T>
  T locked(const T& value) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return value;
  }
};

class reader_fixture : public ::testing::Test {
 protected:
  // A camera with a bulk streaming endpoint and an interrupt endpoint;
  // returns the bulk pipe.
  USBD_PIPE_INFORMATION* plug_bulk_camera() {
    sim::uvc_camera_desc desc = sim::default_camera_desc();
    desc.iso_packet_sizes.clear();
    desc.interrupt_endpoint = true;
    return plug(desc, 0);
  }
  // A camera with isochronous settings of 128, 512, 1024 and 3 x 1024
  // bytes; returns the pipe of alternate setting `alternate`.
  USBD_PIPE_INFORMATION* plug_iso_camera(ULONG alternate) {
    return plug(sim::default_camera_desc(), alternate);
  }
  USBD_PIPE_INFORMATION* plug(const sim::uvc_camera_desc& desc, ULONG alternate) {
    camera = sim::uvc_camera::create(desc);
    pdo = bus.plug(camera);
    device = new (NonPagedPoolNx, pool_tag::objects) usb_device(pdo);
    if (device->init() != STATUS_SUCCESS ||
        (alternate != 0 && device->select_alternate_setting(1, alternate) != STATUS_SUCCESS)) {
      return nullptr;
    }
    return pipe(1);
  }
  USBD_PIPE_INFORMATION* pipe(ULONG interface_number) {
    USBD_INTERFACE_INFORMATION* info = device->get_interface_info(interface_number);
    return info != nullptr && info->NumberOfPipes > 0 ? &info->Pipes[0] : nullptr;
  }
  size_t in_flight(uint8_t endpoint = kStreamEndpoint) const {
    return camera->pending_in_transfers(endpoint);
  }
  // IN transfers the device received on `endpoint`, in arrival order.
  std::vector<sim::request_record> transfers(uint8_t endpoint = kStreamEndpoint) const {
    std::vector<sim::request_record> out;
    for (const auto& r : camera->requests()) {
      if ((r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
           r.function == URB_FUNCTION_ISOCH_TRANSFER) &&
          r.endpoint == endpoint) {
        out.push_back(r);
      }
    }
    return out;
  }
  size_t transfers_with(USBD_STATUS status) const {
    const auto all = transfers();
    return std::count_if(all.begin(), all.end(), [&](auto& t) { return t.usbd_status == status; });
  }
  // Queued from the bus thread in one go: the next isochronous transfer
  // takes them all, one per packet.
  void queue_together(std::vector<std::vector<uint8_t>> blocks) {
    auto cam = camera;
    bus.schedule(0, [cam, blocks] {
      for (const auto& b : blocks) cam->queue_in_data(kStreamEndpoint, b);
    });
  }

  // Starts `reader` on `p` with eight requests and waits until all are out.
  bool start8(USBD_PIPE_INFORMATION* p) {
    return reader->start(p, 8) == STATUS_SUCCESS && eventually([&] { return in_flight() == 8; });
  }
  // Plugs a bulk camera (its pipe in `stream`) and starts a bulk reader on it.
  bulk_reader* start_bulk() {
    stream = plug_bulk_camera();
    auto* r = bulk_reader::create(pdo, 0, consumer::callback, &sink);
    reader = r;
    return stream != nullptr && start8(stream) ? r : nullptr;
  }
  void queue_blocks(uint32_t first, uint32_t count, size_t length) {
    for (uint32_t seq = first; seq < first + count; ++seq)
      camera->queue_in_data(kStreamEndpoint, block_bytes(seq, length));
  }

  void TearDown() override {
    delete reader;  // stops it first
    delete device;
    if (pdo != nullptr) bus.unplug(pdo);
  }

  sim::usb_bus bus;
  std::shared_ptr<sim::uvc_camera> camera;
  PDEVICE_OBJECT pdo = nullptr;
  usb_device* device = nullptr;
  pipe_reader* reader = nullptr;
  USBD_PIPE_INFORMATION* stream = nullptr;
  consumer sink;
};

}  // namespace readertest
