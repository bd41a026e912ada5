// Seeded stress runs of a camera's stream through the simulated camera and
// the driver's own readers: direct, pooled worker and chunked assembly on
// bulk and isochronous pipes, with transfer and payload sizes drawn from the
// seed, bus faults, interrupt packets, clients without buffers, compressed
// frames and frames whose pixels look like payload headers. Conservation:
// every frame delivered good is byte-identical to a frame the camera sent
// intact, in order; every frame the camera sent is counted as the rule
// below says; every client buffer comes back once; nothing is allocated
// while the stream runs except by a pipe recovery.
#include <gtest/gtest.h>

#include <kstandin/testing.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "../stream/reader_test_support.h"
#include "camera_support.h"
#include "sim/uvc_profiles.h"

namespace {

using camtest::camera_fixture;
using camtest::video_format;
using readertest::eventually;

constexpr uint16_t kWidth = 160, kHeight = 120;
constexpr uint64_t kRecoveryAllocations = 6;  // work item (2 blocks), abort and reset (URB and IRP each)

// How many counts (good deliveries, p_drops and q_drops together) a frame
// the camera sent must cause:
//  - none when no payload of it arrived, or when it is the run's last frame
//    and the payload that ends it was lost (only a next frame would end it);
//  - two for a long frame: the buffer filled without EOF is one incomplete
//    frame, and the extra payloads up to EOF another;
//  - one otherwise: delivered good, dropped or delivered incomplete (p_drops),
//    or refused by the client (q_drops).
// A client refusal in direct mode skips the frame to its EOF, so runs with
// refusals have no long frames. A chunked payload whose rest was lost with
// a failed transfer arrived in part, which the record of whole payloads
// does not show: the camera counts it, and skips to the next short transfer
// (the next payload start it can be sure of), which may cost the next frame
// too. Each such frame may add one count.
uint64_t counts_of(const sim::sent_frame& frame, bool last) {
  if (frame.payloads_lost == frame.payloads) return 0;
  if (last && frame.last_payload_lost) return 0;
  return frame.fault == sim::stream_fault::long_frame ? 2 : 1;
}

// Faults of every kind, about 4 % of the frames each: the rates of payload
// faults are per payload, so they shrink with more payloads per frame.
sim::stream_faults bus_faults(unsigned payloads_per_frame, bool long_frames) {
  sim::stream_faults f;
  f.drop_payload = f.bad_header = f.packet_error = std::max(1u, 40 / payloads_per_frame);
  f.missing_eof = f.short_frame = 20;
  f.long_frame = long_frames ? 20 : 0;
  f.interrupt = 20;
  f.empty_packet = 20;
  f.babble = 5;
  f.request_error = 10;
  return f;
}

struct stress_case {
  const char* name;
  bool bulk;
  bool worker;   // the family's worker flag: pooled assembly
  bool chunked;  // bulk: the pipe takes less than a payload per transfer
  uint32_t seed;
  uint32_t frames;
  bool faults;
  unsigned refuse_per_mille;
  bool drop_incomplete;
  bool mjpg;  // fault-free only: a payload lost from a JPEG cannot be noticed
  bool dark;
};

class CameraStress : public camera_fixture, public ::testing::WithParamInterface<stress_case> {};

TEST_P(CameraStress, EveryFrameSentIsDeliveredIntactOrCountedOnce) {
  const stress_case& c = GetParam();
  std::mt19937 rng(c.seed);
  sim::uvc_camera_desc desc = c.bulk ? sim::plain_bulk_camera_desc() : sim::plain_camera_desc();
  desc.interrupt_endpoint = true;
  for (sim::uvc_format_desc& f : desc.formats) {
    f.frames.resize(1);
    f.frames[0].width = kWidth;
    f.frames[0].height = kHeight;
  }
  plug(desc);
  const WORD bits = c.mjpg ? 24 : 8;
  const ULONG fourcc = c.mjpg ? img::FOURCC_MJPG : img::FOURCC_Y800;
  use_sink(ULONG(kWidth) * kHeight * bits / 8, 3);
  create_and_init();
  cam->set_worker(c.worker);
  ASSERT_EQ(cam->set_driver_property_value(driver_property::drop_incomplete_frames, c.drop_incomplete),
            STATUS_SUCCESS);
  // Sizes from the seed: bulk transfers of 1 to 16 packets, isochronous
  // settings of 128 to 3 x 1024 bytes, payloads of a whole frame or less.
  if (c.chunked) {
    cam->device()->get_interface_info(1)->Pipes[0].MaximumTransferSize = 512 * (1 + rng() % 16);
  }
  const ULONG iso_sizes[] = {128, 512, 1024, 3072};
  cam->iso_payload = c.bulk ? 0 : iso_sizes[rng() % 4];
  KS_VIDEOINFOHEADER format = video_format(fourcc, kWidth, kHeight, bits);
  ASSERT_EQ(cam->open_stream(&format), STATUS_SUCCESS);
  ASSERT_EQ(cam->chunked(), c.chunked);
  ASSERT_EQ(cam->pooled(), c.chunked || c.worker);

  sim::stream_options options;
  options.seed = c.seed;
  options.max_payload = c.bulk && rng() % 2 ? 600 + rng() % 6000 : 0;
  const ULONG payload = c.bulk ? (options.max_payload != 0 ? options.max_payload : 100000) : cam->iso_payload;
  if (c.faults) options.faults = bus_faults(ULONG(kWidth) * kHeight / (payload - 12) + 1, c.refuse_per_mille == 0);
  options.frame_limit = options.record_limit = c.frames;
  if (c.dark) options.source = sim::make_header_like_pattern();
  sim_camera->set_stream_options(options);
  sink().refuse_share(c.seed, c.refuse_per_mille);
  ASSERT_EQ(cam->start_interrupt_reader(), STATUS_SUCCESS);
  ASSERT_EQ(cam->start_interrupt_reader(), STATUS_SUCCESS);  // one reader only
  ASSERT_EQ(cam->run_stream(), STATUS_SUCCESS);
  const auto before = kstandin::take_pool_snapshot();
  const unsigned aborts_before = sim_camera->pipe_abort_count();

  // Until the camera has sent every frame, the host has taken all of it
  // and the worker is idle.
  EXPECT_TRUE(eventually(
      [&] {
        return sim_camera->sent_counters().frames_sent == c.frames &&
               sim_camera->queued_in_blocks(sim_camera->streaming_endpoint()) == 0 &&
               sim_camera->queued_in_blocks(sim_camera->interrupt_endpoint()) == 0;
      },
      120000));
  EXPECT_TRUE(bus.settle());
  EXPECT_TRUE(eventually([&] { return cam->in_worker() == 0; }, 10000));
  ASSERT_EQ(cam->pause_stream(false), STATUS_SUCCESS);
  // Only pipe recoveries allocate (a babble may still come while the reader
  // runs), and the abort of the stop: each abort accounts for at most that.
  const unsigned aborts = sim_camera->pipe_abort_count() - aborts_before;
  EXPECT_LE(kstandin::allocations_since(before), kRecoveryAllocations * aborts) << "the stream allocated";
  // The interrupt reader (left running: it goes with the camera) keeps its
  // requests out, each of eight packets.
  const uint8_t status_endpoint = sim_camera->interrupt_endpoint();
  EXPECT_EQ(sim_camera->pending_in_transfers(status_endpoint), uvc_camera::interrupt_request_count);
  for (const sim::request_record& r : sim_camera->requests()) {
    if (r.endpoint == status_endpoint && r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
      ASSERT_EQ(r.requested_length, 8u * cam->device()->get_interface_info(0)->Pipes[0].MaximumPacketSize);
    }
  }

  const std::vector<sim::sent_frame> sent = sim_camera->sent_frames();
  ASSERT_EQ(sent.size(), c.frames);
  std::map<uint32_t, const sim::sent_frame*> by_number;
  uint64_t expected = 0, partly_lost = 0, intact = 0;
  std::set<sim::stream_fault> kinds;
  for (const sim::sent_frame& f : sent) {
    by_number[uint32_t(f.sequence)] = &f;
    expected += counts_of(f, &f == &sent.back());
    partly_lost += c.chunked && f.fault == sim::stream_fault::failed_transfer;
    intact += f.intact ? 1 : 0;
    kinds.insert(f.fault);
  }
  // Good deliveries: frames sent intact, byte for byte, in order. With
  // drop-incomplete off the others are incomplete frames, counted in p_drops.
  uint64_t good = 0;
  int64_t previous = -1;
  for (const tvtest::delivered_frame& d : sink().good_frames()) {
    uint32_t number = 0;
    const bool numbered = sim::pattern_frame_number(d.bytes, fourcc, &number);
    const auto it = numbered ? by_number.find(number) : by_number.end();
    const bool whole = it != by_number.end() && it->second->intact && d.bytes == it->second->bytes;
    EXPECT_TRUE(whole || !c.drop_incomplete) << "frame " << number << " delivered spoiled";
    if (!whole) continue;
    EXPECT_GT(int64_t(number), previous) << "out of order or twice";
    previous = number;
    ++good;
  }
  camera_statistics s;
  cam->get_statistics(&s);
  EXPECT_EQ(s.frames_delivered, sink().good_frames().size());
  EXPECT_EQ(s.q_drops, sink().refusals());  // a refused frame is skipped to its end
  EXPECT_EQ(s.no_buffer_count, s.q_drops);
  const uint64_t counted = good + s.p_drops + s.q_drops;
  EXPECT_GE(counted, expected) << "good " << good << ", p " << s.p_drops << ", q " << s.q_drops;
  EXPECT_LE(counted, expected + partly_lost) << "good " << good << ", p " << s.p_drops;
  if (!c.worker && !c.chunked && c.refuse_per_mille == 0) {
    EXPECT_EQ(good, intact);  // direct mode keeps up with any burst
  }
  if (c.faults) {
    // Every kind of fault happened, and enough survived them.
    for (sim::stream_fault kind : {sim::stream_fault::dropped_payload, sim::stream_fault::bad_header,
                                   sim::stream_fault::missing_eof, sim::stream_fault::short_frame}) {
      EXPECT_TRUE(kinds.count(kind)) << sim::fault_name(kind);
    }
    EXPECT_GT(intact, c.frames / 3);
  } else {
    EXPECT_EQ(intact, c.frames);
  }
  EXPECT_GT(good, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, CameraStress,
    ::testing::Values(
        // name, bulk, worker, chunked, seed, frames, faults, refusals, drop incomplete, MJPG, dark
        stress_case{"BulkDirect", true, false, false, 11, 800, true, 30, true, false, false},
        stress_case{"IsoDirect", false, false, false, 12, 800, true, 0, true, false, false},
        stress_case{"BulkDirectKeepingIncomplete", true, false, false, 13, 600, true, 0, false, false, true},
        stress_case{"BulkWorker", true, true, false, 14, 600, true, 0, true, false, false},
        stress_case{"IsoWorkerRefusals", false, true, false, 15, 600, true, 30, true, false, false},
        stress_case{"Chunked", true, false, true, 16, 600, true, 0, true, false, true},
        stress_case{"ChunkedWorkerRefusals", true, true, true, 17, 600, true, 30, true, false, true},
        stress_case{"ChunkedKeepingIncomplete", true, false, true, 18, 600, true, 0, false, false, false},
        stress_case{"MjpgChunked", true, false, true, 19, 200, false, 0, true, true, false},
        stress_case{"MjpgIsoWorker", false, true, false, 20, 200, false, 0, true, true, false}),
    [](const ::testing::TestParamInfo<stress_case>& info) { return info.param.name; });

}  // namespace
