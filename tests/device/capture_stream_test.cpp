// A client streaming from the plain simulated camera through the capture
// pin: the state sequence, what every returned buffer says, power
// transitions and format changes while streaming, and removal.
#include <chrono>
#include <map>

#include "device_support.h"
#include "uvc/uvc_camera.h"

namespace devtest {
namespace {

constexpr LONGLONG kFrameTime = 333333;

// Checks each buffer the client gets back against the pin's rules and
// keeps what is needed to compare the frames with what the camera sent.
struct delivery {
  bool with_clock = true;
  size_t delivered = 0;  // good frames since the stream opened
  LONGLONG last_drops = 0;
  LONGLONG last_time = 0;
  size_t discontinuities = 0;
  std::vector<std::pair<uint32_t, uint64_t>> frames;  // test-pattern number, checksum

  void check(const kstandin::ks_completed_read& read) {
    if (read.status == STATUS_CANCELLED) return;  // a buffer given back without a frame
    ASSERT_EQ(read.status, STATUS_SUCCESS);
    const KSSTREAM_HEADER& h = read.header;
    EXPECT_EQ(h.DataUsed, 640u * 480u);
    EXPECT_EQ(h.Duration, kFrameTime);
    EXPECT_TRUE(h.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DURATIONVALID);
    const bool time_valid = (h.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) != 0;
    const bool discontinuity = (h.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0;
    EXPECT_EQ(time_valid, with_clock);
    if (with_clock) {
      EXPECT_GE(h.PresentationTime.Time, last_time);
      last_time = h.PresentationTime.Time;
    } else {
      EXPECT_EQ(h.PresentationTime.Time, 0);
    }
    if (read.has_frame_info) {
      const KS_FRAME_INFO& info = read.frame_info;
      EXPECT_GE(info.DropCount, last_drops);
      EXPECT_EQ(info.PictureNumber, LONGLONG(delivered) + info.DropCount);
      const bool changed = info.DropCount != last_drops && info.DropCount != 0;
      EXPECT_EQ(discontinuity, with_clock && changed) << "frame " << delivered;
      if (changed) ++discontinuities;
      last_drops = info.DropCount;
    }
    const uint32_t number = uint32_t(read.data[0]) | uint32_t(read.data[1]) << 8 |
                            uint32_t(read.data[2]) << 16 | uint32_t(read.data[3]) << 24;
    frames.emplace_back(number, sim::frame_checksum(read.data.data(), h.DataUsed));
    ++delivered;
  }
};

class capture_stream : public device_test {
 protected:
  // Plugs the plain camera, recording checksums of every frame it sends,
  // with `short_frames` per mille of its frames cut short.
  void plug_camera(unsigned short_frames = 0) {
    ASSERT_EQ(plug(), STATUS_SUCCESS);
    sim::stream_options options;
    options.seed = 7;
    options.faults.short_frame = short_frames;
    options.record_bytes = false;
    options.record_limit = 1000000;
    camera_->set_stream_options(options);
  }

  void set_state(KSSTATE state) {
    ASSERT_EQ(kstandin::ks_set_pin_state(pin_, state), STATUS_SUCCESS);
  }

  // Takes buffers, giving each back to the pin, until `count` more good
  // frames have arrived.
  void receive(delivery& d, size_t count) {
    const size_t target = d.delivered + count;
    while (d.delivered < target) {
      std::vector<kstandin::ks_completed_read> reads = kstandin::ks_take_completed(pin_, 1, 5000);
      ASSERT_FALSE(reads.empty()) << "no buffer back within 5 s after " << d.delivered;
      for (const auto& read : reads) {
        d.check(read);
        if (::testing::Test::HasFatalFailure()) return;
        queue_reads(1);
      }
    }
  }

  // Gives back every buffer completed so far without looking at it.
  void requeue_completed() {
    for (size_t n = kstandin::ks_take_completed(pin_, 0, 0).size(); n != 0; --n) queue_reads(1);
  }

  // Every delivered frame is byte for byte a frame the camera sent.
  void expect_frames_as_sent(const delivery& d) {
    std::map<uint64_t, uint64_t> sent;
    for (const sim::sent_frame& f : camera_->sent_frames()) sent[f.sequence] = f.checksum;
    for (const auto& [number, checksum] : d.frames) {
      auto it = sent.find(number);
      ASSERT_NE(it, sent.end()) << "frame " << number << " was never sent";
      EXPECT_EQ(it->second, checksum) << "frame " << number;
    }
  }

  template <class Object>
  KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped_frames(Object* object) {
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S answer;
    ULONG_PTR returned = 0;
    EXPECT_EQ(query_dropped_frames(object, &answer, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, sizeof(answer));
    return answer;
  }
};

// With a clock and cut frames: the client's state sequence, what the
// dropped-frames property says, and power transitions while paused and
// while running.
TEST_F(capture_stream, client_sequence_with_clock_camera_drops_and_power_transitions) {
  plug_camera(50);
  auto clock = std::make_shared<kstandin::reference_clock>();
  ASSERT_EQ(open_pin(clock), STATUS_SUCCESS);

  std::vector<uint8_t> framing;
  ASSERT_EQ(kstandin::ks_pin_allocator_framing(pin_, &framing), STATUS_SUCCESS);
  const auto* item =
      &reinterpret_cast<const KSALLOCATOR_FRAMING_EX*>(framing.data())->FramingItem[0];
  EXPECT_EQ(item->Frames, 3u);
  EXPECT_EQ(item->PhysicalRange.MinFrameSize, kFrameBytes);
  EXPECT_EQ(item->FramingRange.Range.MaxFrameSize, kFrameBytes);

  set_state(KSSTATE_ACQUIRE);
  EXPECT_EQ(context()->attached_pin(), kstandin::ks_pin_object(pin_)->Context);
  set_state(KSSTATE_PAUSE);
  queue_reads(4);
  set_state(KSSTATE_RUN);

  delivery d;
  ASSERT_NO_FATAL_FAILURE(receive(d, 100));
  EXPECT_GT(d.discontinuities, 0u);  // the cut frames were noticed

  set_state(KSSTATE_PAUSE);
  // Buffers filled before the pause are checked and given back, so the
  // run below has its buffers however many were filled by now.
  for (const auto& read : kstandin::ks_take_completed(pin_, 0, 0)) {
    d.check(read);
    queue_reads(1);
  }
  // The drop count is the camera's, with frames lost after the last one delivered.
  const KSPROPERTY_DROPPEDFRAMES_CURRENT_S pin_view = dropped_frames(pin_);
  EXPECT_EQ(pin_view.PictureNumber, LONGLONG(d.delivered) - 1 + d.last_drops);
  EXPECT_EQ(pin_view.DropCount, LONGLONG(context()->camera->p_drops()));
  EXPECT_GE(pin_view.DropCount, d.last_drops);
  EXPECT_EQ(pin_view.AverageFrameSize, kFrameBytes);
  const KSPROPERTY_DROPPEDFRAMES_CURRENT_S filter_view = dropped_frames(filter_);
  EXPECT_EQ(filter_view.PictureNumber, pin_view.PictureNumber);
  EXPECT_EQ(filter_view.DropCount, pin_view.DropCount);

  set_state(KSSTATE_RUN);
  ASSERT_NO_FATAL_FAILURE(receive(d, 10));
  EXPECT_LE(d.last_drops, LONGLONG(context()->camera->p_drops()));
  expect_frames_as_sent(d);

  // Paused, powered down, resumed: nothing runs until the device is back.
  set_state(KSSTATE_PAUSE);
  requeue_completed();
  ASSERT_EQ(kstandin::ks_set_power(device_, PowerDeviceD2), STATUS_SUCCESS);
  set_state(KSSTATE_RUN);
  EXPECT_EQ(context()->stream_state, stream_running);
  for (const auto& read : kstandin::ks_take_completed(pin_, 1, 300)) {
    // At most the buffer the closing stream handed back.
    EXPECT_EQ(read.status, STATUS_CANCELLED);
    queue_reads(1);
  }
  ASSERT_EQ(kstandin::ks_set_power(device_, PowerDeviceD0), STATUS_SUCCESS);
  delivery after_d2;  // the reopened stream counts its frames afresh
  ASSERT_NO_FATAL_FAILURE(receive(after_d2, 3));

  // Down to D3 and back while running.
  ASSERT_EQ(kstandin::ks_set_power(device_, PowerDeviceD3), STATUS_SUCCESS);
  requeue_completed();
  ASSERT_EQ(kstandin::ks_set_power(device_, PowerDeviceD0), STATUS_SUCCESS);
  delivery after_d3;
  ASSERT_NO_FATAL_FAILURE(receive(after_d3, 3));

  set_state(KSSTATE_STOP);
  for (const auto& read : kstandin::ks_take_completed(pin_, 0, 0)) after_d3.check(read);
  EXPECT_EQ(kstandin::ks_outstanding_reads(pin_), 0u);
  EXPECT_EQ(context()->attached_pin(), nullptr);
}

// Every frame cut short: nothing is delivered, and the dropped-frames
// answer says so.
TEST_F(capture_stream, frames_lost_with_none_delivered_are_reported_as_dropped) {
  plug_camera(1000);
  ASSERT_EQ(open_pin(nullptr), STATUS_SUCCESS);
  set_state(KSSTATE_RUN);
  queue_reads(4);
  // Until three frames were cut, however slowly a loaded machine runs the
  // camera; no buffer comes back meanwhile.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (context()->camera->p_drops() < 3 && std::chrono::steady_clock::now() < deadline) {
    ASSERT_TRUE(kstandin::ks_take_completed(pin_, 1, 10).empty());
  }
  set_state(KSSTATE_PAUSE);  // the camera is quiet now
  const KSPROPERTY_DROPPEDFRAMES_CURRENT_S pin_view = dropped_frames(pin_);
  EXPECT_GE(pin_view.DropCount, 3);
  EXPECT_EQ(pin_view.PictureNumber, 0);
  EXPECT_EQ(dropped_frames(filter_).DropCount, pin_view.DropCount);
  EXPECT_TRUE(kstandin::ks_take_completed(pin_, 0, 0).empty());
  set_state(KSSTATE_STOP);
}

// Without a clock, with cut frames and headers too short for frame info at
// first: format changes while running and paused, a restart from ACQUIRE,
// then the device is pulled out from under the running client.
TEST_F(capture_stream, format_changes_a_restart_from_acquire_and_surprise_removal) {
  plug_camera(50);
  ASSERT_EQ(open_pin(nullptr), STATUS_SUCCESS);
  set_state(KSSTATE_RUN);
  queue_reads(4, false);  // 56-byte headers: no frame info
  delivery d{false};      // no clock
  ASSERT_NO_FATAL_FAILURE(receive(d, 2));

  // Row order flipped while running: accepted and handed to the camera.
  std::vector<uint8_t> flipped = format_;
  video_info_of(flipped)->bmiHeader.biHeight = -480;
  EXPECT_EQ(kstandin::ks_set_pin_format(pin_, flipped.data()), STATUS_SUCCESS);
  EXPECT_EQ(context()->stream_format.bmiHeader.biHeight, -480);
  ASSERT_NO_FATAL_FAILURE(receive(d, 2));

  // Another frame time is refused and the format stays.
  std::vector<uint8_t> slower = flipped;
  video_info_of(slower)->AvgTimePerFrame = 2 * kFrameTime;
  EXPECT_FALSE(NT_SUCCESS(kstandin::ks_set_pin_format(pin_, slower.data())));
  // The pin's own answer for the range that matches the size (ks.sys also
  // offers the format to the other Y800 ranges, which refuse the size).
  PKSPIN ks_pin = kstandin::ks_pin_object(pin_);
  const PKSDATAFORMAT connection = ks_pin->ConnectionFormat;
  ks_pin->ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(slower.data());
  const std::vector<uint8_t> range = find_range(filter_, fourcc("Y800"), 640, 480);
  EXPECT_EQ(
      capture_pin_dispatch.SetDataFormat(
          ks_pin, connection, nullptr, reinterpret_cast<const KSDATARANGE*>(range.data()), nullptr),
      STATUS_INVALID_DEVICE_STATE);
  ks_pin->ConnectionFormat = connection;
  std::vector<uint8_t> current;
  ASSERT_EQ(kstandin::ks_get_pin_format(pin_, &current), STATUS_SUCCESS);
  EXPECT_EQ(video_info_of(current)->AvgTimePerFrame, kFrameTime);
  EXPECT_EQ(video_info_of(current)->bmiHeader.biHeight, -480);

  // A change while paused reaches the camera too, before it runs again.
  set_state(KSSTATE_PAUSE);
  EXPECT_EQ(kstandin::ks_set_pin_format(pin_, format_.data()), STATUS_SUCCESS);
  EXPECT_EQ(context()->stream_format.bmiHeader.biHeight, 480);

  // PAUSE→ACQUIRE closes the camera stream; running again reopens it, and
  // its frames count afresh.
  set_state(KSSTATE_ACQUIRE);
  EXPECT_EQ(context()->stream_state, stream_closed);
  requeue_completed();
  set_state(KSSTATE_RUN);
  EXPECT_EQ(context()->stream_state, stream_running);
  delivery reopened{false};
  ASSERT_NO_FATAL_FAILURE(receive(reopened, 20));
  expect_frames_as_sent(d);
  expect_frames_as_sent(reopened);

  // Removal steps the pin down and closes it and the filter; the stand-in
  // checks for pool blocks, IRPs and threads left behind.
  camera_->set_disconnected(true);
  kstandin::ks_surprise_remove(device_);
  pin_ = nullptr;
  filter_ = nullptr;
  remove();
}

}  // namespace
}  // namespace devtest
