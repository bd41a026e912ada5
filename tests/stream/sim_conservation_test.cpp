// End to end: the simulated camera streams through the driver's own readers
// (bulk_reader or iso_reader for video, a bulk_reader on the interrupt
// endpoint) into frame assembly in direct and worker mode, with seeded bus
// faults and clients without buffers. Conservation: every frame delivered is
// byte-identical to a frame the camera sent intact, every frame the camera
// sent is accounted for exactly as the rule below says, every client buffer
// comes back once, and nothing is allocated while the stream runs.
#include <gtest/gtest.h>

#include <kstandin/testing.h>

#include <map>
#include <memory>

#include "assembly_support.h"
#include "usb/control_request.h"
#include "reader_test_support.h"
#include "sim/uvc_profiles.h"

namespace tvtest {
namespace {

constexpr uint16_t kWidth = 160, kHeight = 120;
constexpr ULONG kFrameBytes = kWidth * kHeight;  // "Y800"
constexpr ULONG kBulkTransfer = 2048;            // 4 packets of 512: one payload per transfer
constexpr ULONG kIsoAlternate = 1;               // 128-byte packets: a frame spans about 4 transfers
constexpr uint64_t kRecoveryAllocations = 6;     // work item (2 blocks), abort and reset (URB and IRP each)

// How many counts (frames_delivered, p_drops, q_drops together) a frame
// the camera sent must cause, drop-incomplete on:
//  - none when no payload of it arrived (the host never saw it), or when it
//    is the run's last frame and the payload that ends it was lost: only
//    the next frame's FID toggle would end it;
//  - two for a long frame: the buffer filled without EOF is one incomplete
//    frame, and the extra payloads that follow, up to EOF, another;
//  - one otherwise: delivered, dropped incomplete, dropped because the
//    worker was full, or refused by the client.
// A client refusal makes a frame one count (q_drops) whatever else happens
// to it, so the runs with refusals have no long frames.
uint64_t counts_of(const sim::sent_frame& frame, bool last) {
  if (frame.payloads_lost == frame.payloads) return 0;
  if (last && frame.last_payload_lost) return 0;
  return frame.fault == sim::stream_fault::long_frame ? 2 : 1;
}

NTSTATUS interrupt_callback(PVOID, PVOID context, PUCHAR data, ULONG length) {
  static_cast<uvc_camera*>(context)->on_interrupt_data(data, length);
  return STATUS_SUCCESS;
}

struct conservation_case {
  const char* name;
  bool iso;
  bool worker;
  uint32_t seed;
  uint32_t frames;
  unsigned refuse_per_mille;
  sim::stream_faults faults;
};

sim::stream_faults bus_faults(bool long_frames) {
  sim::stream_faults f;
  f.drop_payload = f.bad_header = f.packet_error = 1;
  f.missing_eof = f.short_frame = 20;
  f.long_frame = long_frames ? 20 : 0;
  f.interrupt = 20;
  f.empty_packet = 20;
  f.babble = 5;
  f.request_error = 10;
  return f;
}

class sim_conservation : public readertest::reader_fixture,
                         public ::testing::WithParamInterface<conservation_case> {};

TEST_P(sim_conservation, every_frame_sent_is_delivered_intact_or_counted_once) {
  const conservation_case& c = GetParam();
  sim::uvc_camera_desc desc = c.iso ? sim::plain_camera_desc() : sim::plain_bulk_camera_desc();
  desc.interrupt_endpoint = true;
  sim::uvc_format_desc y800;
  y800.guid = sim::fourcc_guid("Y800");
  y800.bits_per_pixel = 8;
  y800.frames[0].width = kWidth;
  y800.frames[0].height = kHeight;
  desc.formats = {y800};
  USBD_PIPE_INFORMATION* video = plug(desc, c.iso ? kIsoAlternate : 0);
  ASSERT_NE(video, nullptr);
  USBD_PIPE_INFORMATION* status_pipe = pipe(0);
  ASSERT_NE(status_pipe, nullptr);

  sim::stream_options options;
  options.seed = c.seed;
  options.faults = c.faults;
  options.max_payload = c.iso ? 0 : kBulkTransfer;
  options.frame_limit = c.frames;
  options.record_limit = c.frames;
  camera->set_stream_options(options);
  UCHAR desired[uvc_probe::size] = {1, 0, 1, 1};  // bmHint 1, format 1, frame 1
  UCHAR committed[uvc_probe::size] = {};
  ASSERT_EQ(negotiate_stream_format(pdo, desired, FALSE, committed), STATUS_SUCCESS);

  test_sink sink(kFrameBytes, 3);
  sink.refuse_share(c.seed, c.refuse_per_mille);
  auto held = std::make_unique<camera_holder>(&sink, camera_setup{kFrameBytes, c.worker, false, true});
  test_camera& cam = held->cam;
  ASSERT_EQ(cam.open_and_run(), STATUS_SUCCESS);

  bulk_reader* interrupts = bulk_reader::create(pdo, 0, interrupt_callback, &cam);
  ASSERT_NE(interrupts, nullptr);
  ASSERT_EQ(interrupts->start(status_pipe, uvc_camera::interrupt_request_count), STATUS_SUCCESS);
  reader = c.iso ? static_cast<pipe_reader*>(iso_reader::create(pdo, uvc_camera::data_callback, &cam))
                 : bulk_reader::create(pdo, kBulkTransfer, uvc_camera::data_callback, &cam);
  ASSERT_NE(reader, nullptr);
  ASSERT_EQ(reader->start(video, uvc_camera::stream_request_count), STATUS_SUCCESS);
  const auto before = kstandin::take_pool_snapshot();
  const unsigned aborts_before = camera->pipe_abort_count();

  // Until the camera has sent every frame and the host has taken all of it.
  const uint8_t video_endpoint = camera->streaming_endpoint();
  const uint8_t status_endpoint = camera->interrupt_endpoint();
  EXPECT_TRUE(readertest::eventually(
      [&] {
        return camera->sent_counters().frames_sent == c.frames && camera->queued_in_blocks(video_endpoint) == 0 &&
               camera->queued_in_blocks(status_endpoint) == 0;
      },
      120000));
  EXPECT_TRUE(bus.settle());
  EXPECT_TRUE(readertest::eventually([&] { return cam.in_worker() == 0; }));
  EXPECT_TRUE(kstandin::drain_work_queues());
  const uint64_t allocations = kstandin::allocations_since(before);
  const unsigned recoveries = camera->pipe_abort_count() - aborts_before;
  EXPECT_EQ(reader->stop(), STATUS_SUCCESS);
  EXPECT_EQ(interrupts->stop(), STATUS_SUCCESS);
  delete interrupts;
  cam.close();

  // Only a pipe recovery after babble allocates (on its work item, not on
  // the data path): the work item and the abort and reset requests.
  EXPECT_LE(allocations, kRecoveryAllocations * recoveries) << "the stream allocated";
  EXPECT_EQ(sink.outstanding(), 0);
  EXPECT_EQ(sink.bad_returns(), 0);

  // Delivered frames: each one a frame sent intact, in order, byte for byte.
  const std::vector<sim::sent_frame> sent = camera->sent_frames();
  ASSERT_EQ(sent.size(), c.frames);
  std::map<uint32_t, const sim::sent_frame*> by_number;
  uint64_t expected = 0, intact = 0;
  std::map<sim::stream_fault, int> faults;
  for (const auto& f : sent) {
    by_number[uint32_t(f.sequence)] = &f;
    expected += counts_of(f, &f == &sent.back());
    intact += f.intact ? 1 : 0;
    ++faults[f.fault];
  }
  const std::vector<delivered_frame> good = sink.good_frames();
  int64_t previous = -1;
  for (const auto& d : good) {
    ASSERT_EQ(d.bytes.size(), kFrameBytes);
    const uint32_t number = frame_number(d.bytes);
    const auto it = by_number.find(number);
    ASSERT_NE(it, by_number.end()) << "frame " << number << " was never sent";
    EXPECT_TRUE(it->second->intact) << "frame " << number << ": " << sim::fault_name(it->second->fault);
    EXPECT_EQ(d.bytes, it->second->bytes) << "frame " << number;
    EXPECT_GT(int64_t(number), previous) << "out of order or twice";
    previous = number;
  }

  // Counters: every frame sent counted as the rule says, refusals exactly once.
  const uint64_t delivered = good.size(), p = cam.p_drops(), q = cam.q_drops();
  EXPECT_EQ(cam.frames_delivered(), delivered);
  EXPECT_EQ(q, sink.refusals());
  EXPECT_EQ(delivered + p + q, expected) << "delivered " << delivered << ", p " << p << ", q " << q;
  if (!c.worker && c.refuse_per_mille == 0) {
    EXPECT_EQ(delivered, intact);
  }
  EXPECT_LE(delivered, intact);
  if (c.faults.missing_eof == 0 && c.refuse_per_mille == 0) {
    EXPECT_EQ(intact, c.frames);
    if (!c.worker) {
      EXPECT_EQ(p, 0u);
    }
  } else {
    // Every kind of fault the run asks for happened.
    const std::pair<unsigned, sim::stream_fault> kinds[] = {
        {c.faults.drop_payload, sim::stream_fault::dropped_payload},
        {c.faults.bad_header, sim::stream_fault::bad_header},
        {c.iso ? c.faults.packet_error : 0, sim::stream_fault::packet_error},
        {c.faults.missing_eof, sim::stream_fault::missing_eof},
        {c.faults.short_frame, sim::stream_fault::short_frame},
        {c.faults.long_frame, sim::stream_fault::long_frame},
        {c.faults.interrupt, sim::stream_fault::interrupt}};
    for (const auto& kind : kinds) {
      if (kind.first != 0) {
        EXPECT_GT(faults[kind.second], 0) << sim::fault_name(kind.second);
      }
    }
    EXPECT_GT(intact, c.frames / 3);
  }
  EXPECT_GT(delivered, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    runs, sim_conservation,
    ::testing::Values(
        conservation_case{"bulk_clean", false, false, 11, 400, 0, {}},
        conservation_case{"iso_clean", true, false, 12, 400, 0, {}},
        conservation_case{"iso_direct", true, false, 13, 1200, 0, bus_faults(true)},
        conservation_case{"bulk_direct_refusals", false, false, 14, 1200, 30, bus_faults(false)},
        conservation_case{"bulk_worker", false, true, 15, 800, 0, bus_faults(true)},
        conservation_case{"iso_worker_refusals", true, true, 16, 800, 30, bus_faults(false)}),
    [](const ::testing::TestParamInfo<conservation_case>& info) { return info.param.name; });

}  // namespace
}  // namespace tvtest
