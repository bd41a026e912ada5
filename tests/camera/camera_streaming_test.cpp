// A plain camera streaming through the whole camera object: open, run and
// close on a simulated camera that renders, cuts and sends real frames over
// an isochronous or a bulk pipe. Every frame the camera sent arrives in a
// client buffer byte for byte, or, when the simulator spoiled it, is counted
// as dropped exactly once.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "camera_support.h"
#include "sim/uvc_profiles.h"

namespace {

using camtest::camera_fixture;
using camtest::video_format;

constexpr LONG kWidth = 320;
constexpr LONG kHeight = 240;
constexpr ULONG kFrameBytes = kWidth * kHeight;  // "Y800"
constexpr uint64_t kFrames = 100;

struct pipe_case {
  const char* name;
  sim::uvc_camera_desc (*desc)();
  bool isochronous;
};
const pipe_case kPipes[] = {
    {"isochronous", &sim::plain_camera_desc, true},
    {"bulk", &sim::plain_bulk_camera_desc, false},
};

class CameraStreaming : public camera_fixture {
 protected:
  // Streams kFrames frames with `faults` and stops the reader. Waits are
  // bounded: for the camera to send them all, then for the good ones to
  // arrive.
  void stream(const pipe_case& pipe, const sim::stream_faults& faults, uint32_t seed,
              ULONG fourcc = img::FOURCC_Y800, ULONG bits = 8) {
    if (cam != nullptr) destroy();
    if (pdo != nullptr) bus.unplug(pdo);
    plug(pipe.desc());
    use_sink(kFrameBytes * bits / 8, 4);
    create_and_init();
    KS_VIDEOINFOHEADER format = video_format(fourcc, kWidth, kHeight, bits);
    ASSERT_EQ(cam->open_stream(&format), STATUS_SUCCESS);
    EXPECT_EQ(cam->descriptors()->alternate_count > 1, pipe.isochronous);
    EXPECT_FALSE(cam->pooled());

    sim::stream_options options;
    options.header_length = 12;
    options.real_time = false;
    options.seed = seed;
    options.faults = faults;
    options.frame_limit = kFrames;
    // Several payloads per bulk transfer sequence, so that a lost payload
    // spoils a frame without hiding it.
    options.max_payload = pipe.isochronous ? 0 : 8192;
    sim_camera->set_stream_options(options);
    sim_camera->clear_sent_frames();
    ASSERT_EQ(cam->pause_stream(true), STATUS_SUCCESS);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (sim_camera->sent_counters().frames_sent < kFrames &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    sent = sim_camera->sent_frames();
    ASSERT_EQ(sent.size(), kFrames);
    size_t intact = 0;
    for (const sim::sent_frame& f : sent) intact += f.intact ? 1 : 0;
    ASSERT_TRUE(sink().wait_for_returns(intact, 30000));
    // Stopping the reader waits for every completion in flight: the
    // counters are final then.
    ASSERT_EQ(cam->pause_stream(false), STATUS_SUCCESS);
  }

  // Good deliveries are exactly the intact frames, in order and byte for
  // byte; every other frame the host saw any of is one dropped frame.
  void expect_conservation() {
    std::vector<const sim::sent_frame*> intact;
    uint64_t spoiled_seen = 0;
    for (const sim::sent_frame& f : sent) {
      if (f.intact) {
        intact.push_back(&f);
      } else if (f.payloads_lost < f.payloads) {
        ++spoiled_seen;
      }
    }
    const std::vector<tvtest::delivered_frame> good = sink().good_frames();
    ASSERT_EQ(good.size(), intact.size());
    for (size_t i = 0; i < good.size(); ++i) {
      ASSERT_EQ(good[i].bytes.size(), kFrameBytes) << i;
      ASSERT_TRUE(good[i].bytes == intact[i]->bytes) << "frame " << intact[i]->sequence;
      EXPECT_EQ(good[i].delivered_count, i + 1);
    }
    EXPECT_EQ(cam->frames_delivered(), good.size());
    EXPECT_EQ(cam->p_drops(), spoiled_seen);
    EXPECT_EQ(cam->q_drops(), 0u);
    EXPECT_EQ(sink().frames().size(), good.size());  // nothing came back without a frame
  }

  std::vector<sim::sent_frame> sent;
};

// MJPEG frames are as long as their data: EOF ends each one well before
// the client buffer (sized for 24 bits per pixel) is full, and it is still
// a complete frame.
TEST_F(CameraStreaming, CompressedFramesEndAtEofAndAreDelivered) {
  for (const pipe_case& pipe : kPipes) {
    SCOPED_TRACE(pipe.name);
    stream(pipe, sim::stream_faults{}, 7, img::FOURCC_MJPG, 24);
    const std::vector<tvtest::delivered_frame> good = sink().good_frames();
    ASSERT_EQ(good.size(), sent.size());
    for (size_t i = 0; i < good.size(); ++i) {
      ASSERT_LT(sent[i].bytes.size(), kFrameBytes * 3);
      ASSERT_TRUE(good[i].bytes == sent[i].bytes) << i;
      ASSERT_EQ(good[i].bytes[0], 0xFF);  // a JPEG starts with SOI
      ASSERT_EQ(good[i].bytes[1], 0xD8);
    }
    EXPECT_EQ(cam->p_drops(), 0u);
    ASSERT_EQ(cam->close_stream(), STATUS_SUCCESS);
  }
}

// Fault-free, every frame arrives; with faults, the spoiled frames are each
// counted once and the intact ones still arrive.
TEST_F(CameraStreaming, EveryFrameIsDeliveredByteIdenticalOrDroppedOnce) {
  sim::stream_faults spoiling;
  spoiling.drop_payload = 4;
  spoiling.bad_header = 4;
  spoiling.missing_eof = 40;
  spoiling.short_frame = 40;
  for (const pipe_case& pipe : kPipes) {
    for (const bool faults : {false, true}) {
      SCOPED_TRACE(std::string(pipe.name) + (faults ? " with faults" : ""));
      sim::stream_faults these = faults ? spoiling : sim::stream_faults{};
      if (faults && pipe.isochronous) these.packet_error = 4;
      stream(pipe, these, faults ? 20240601 : 1);
      size_t spoiled = 0;
      for (const sim::sent_frame& f : sent) spoiled += f.intact ? 0 : 1;
      if (faults) {
        // The seed gives spoiled frames of every kind, and ends with an
        // intact frame, which ends every spoiled one before it.
        ASSERT_GT(spoiled, 5u);
        ASSERT_TRUE(sent.back().intact);
      } else {
        ASSERT_EQ(spoiled, 0u);
      }
      expect_conservation();
      ASSERT_EQ(cam->close_stream(), STATUS_SUCCESS);
      EXPECT_EQ(sim_camera->current_alternate_setting(1), 0);
    }
  }
}

}  // namespace
