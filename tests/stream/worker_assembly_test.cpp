// Worker modes: pooled collection in the frame pool and the backlog it
// holds for the frame worker, chunked transfers put back together into
// payloads, and the non-pooled hand-over of reader requests.
#include "assembly_support.h"

namespace tvtest {
namespace {

constexpr ULONG kFrame = 2048;

using worker_assembly = assembly_fixture<kFrame, true, 512>;

// A burst of frames faster than the worker: each waits in its pool buffer,
// all but the one the next frame is collected in; only frames beyond that
// are dropped, whole and counted.
TEST_F(worker_assembly, a_burst_waits_in_the_pool_for_a_late_worker) {
  start();
  cam().gate_worker(true);
  const int waiting = int(uvc_camera::pool_buffer_count) - 1;
  for (int i = 0; i < waiting + 2; ++i) {
    send(make_frame(i, kFrame), i & 1, true);
    ASSERT_TRUE(i > 0 || cam().wait_entered(1));  // the worker holds frame 0
  }
  EXPECT_EQ(cam().in_worker(), waiting);
  EXPECT_EQ(cam().p_drops(), 2u);
  EXPECT_EQ(cam().pool_free_count(), 1u);  // the dropped frames gave theirs back

  cam().gate_worker(false);
  ASSERT_TRUE(sink_.wait_for_returns(waiting));
  const auto good = sink_.good_frames();
  ASSERT_EQ(good.size(), size_t(waiting));
  for (int i = 0; i < waiting; ++i) EXPECT_EQ(good[i].bytes, make_frame(i, kFrame));
  EXPECT_EQ(good.back().drop_count, 2u);
  close();
}

// Format changes and runs while frames pass through the worker: every
// frame is delivered whole or counted as dropped; the worker reads the
// output type under the lock the change is made under, and its statistics
// under the lock run resets them under.
TEST_F(worker_assembly, format_changes_and_runs_while_the_worker_transforms) {
  start();
  // The overlay reads the output format too (a one-line image has no room
  // for its text, so the frames stay as sent).
  ASSERT_EQ(cam().set_driver_property_value(1, 1), STATUS_SUCCESS);
  KS_VIDEOINFOHEADER format = {};
  format.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
  format.bmiHeader.biWidth = LONG(kFrame);
  format.bmiHeader.biHeight = 1;
  format.bmiHeader.biBitCount = 8;
  format.bmiHeader.biCompression = img::FOURCC_Y800;
  constexpr uint32_t kFrames = 16;
  for (uint32_t n = 0; n < kFrames; ++n) {
    send(make_frame(n, kFrame), int(n & 1), true);
    cam().update_output_format(&format);
    // A run right after the worker has delivered a frame, ordered with it
    // only by the camera's own locks.
    if (n % 4 == 3 && cam().wait_completed(n + 1)) cam().run();
  }
  close();
  const auto good = sink_.good_frames();
  for (const auto& f : good) EXPECT_EQ(f.bytes, make_frame(frame_number(f.bytes), kFrame));
  camera_statistics s;
  cam().get_statistics(&s);
  EXPECT_EQ(s.frames_delivered, good.size());
  EXPECT_EQ(good.size() + s.p_drops, kFrames);
}

// Chunked transfers of 512 bytes (packets of 512), payloads of at most
// kFrame + 12 bytes: one per frame.
class chunked_assembly : public worker_assembly {
 protected:
  static constexpr ULONG kPayloadMax = kFrame + 12;
  void SetUp() override {
    start({}, true);
    cam().set_chunking(512, kPayloadMax, 512);
  }
  // `frame` as payloads of at most `payload` bytes (EOF on the last), cut
  // into transfers of `transfer` bytes as the bus does; transfer `lost` is
  // not delivered, transfer `bad` begins with a header length of 4.
  void send_chunked(const std::vector<uint8_t>& frame, int fid, size_t payload = kPayloadMax,
                    size_t transfer = 512, size_t lost = SIZE_MAX, size_t bad = SIZE_MAX) {
    std::vector<uint8_t> stream;
    for (size_t at = 0; at < frame.size(); at += payload - 12) {
      const size_t n = std::min(payload - 12, frame.size() - at);
      const auto p = make_payload(fid, at + n == frame.size(), frame.data() + at, n, 12);
      stream.insert(stream.end(), p.begin(), p.end());
    }
    for (size_t at = 0, i = 0; at < stream.size(); at += transfer, ++i) {
      std::vector<uint8_t> t(stream.begin() + at, stream.begin() + std::min(stream.size(), at + transfer));
      if (i == bad) t[0] = 4;
      if (i != lost) {
        EXPECT_EQ(feed(&cam(), t), STATUS_SUCCESS);
      }
    }
  }
  // Frame data that begins like a header, and whose every transfer after
  // the first begins with 2, 6 or 12 and FID and EOF bits.
  static std::vector<uint8_t> header_like_frame(uint32_t number) {
    auto f = make_frame(number, kFrame);
    const uint8_t lengths[] = {2, 6, 12};
    for (size_t at = 0, i = 0; at < f.size(); at += 512, ++i) {
      const size_t first = at == 0 ? 4 : at - 12;  // behind the frame number; at a transfer start
      f[first] = lengths[(i + number) % 3];
      f[first + 1] = uint8_t(0x80 | (i & 3));
    }
    return f;
  }
};

TEST_F(chunked_assembly, pixels_that_look_like_headers_continue_the_payload) {
  for (uint32_t n = 0; n < 6; ++n) {
    send_chunked(header_like_frame(n), n & 1);
    ASSERT_TRUE(sink_.wait_for_returns(n + 1));
    EXPECT_EQ(sink_.frames()[n].bytes, header_like_frame(n));
  }
  EXPECT_EQ(cam().p_drops(), 0u);
}

// Where payloads end: at a short transfer (a frame the camera cut short is
// counted, the next one is whole), at a zero-length transfer (a JPEG that
// filled its last transfer), and inside a transfer when the maximum payload
// is a whole number of packets.
TEST_F(chunked_assembly, payloads_end_at_short_transfers_and_at_their_maximum) {
  const auto f0 = header_like_frame(0), f1 = header_like_frame(1), f2 = header_like_frame(2);
  send_chunked(std::vector<uint8_t>(f0.begin(), f0.begin() + 1500), 0);
  send_chunked(f1, 1);
  cam().set_variable_size(true);
  const std::vector<uint8_t> jpeg(f2.begin(), f2.begin() + 1024 - 12);
  send_chunked(jpeg, 0);
  ASSERT_TRUE(sink_.wait_for_returns(1));
  EXPECT_EQ(sink_.frames().size(), 1u);  // two full transfers: the JPEG may go on
  std::vector<uint8_t> zero_length;
  zero_length.reserve(1);
  EXPECT_EQ(feed(&cam(), zero_length), STATUS_SUCCESS);
  ASSERT_TRUE(sink_.wait_for_returns(2));
  cam().set_variable_size(false);
  // Payloads of 1024 bytes back to back in transfers of 1536.
  cam().set_chunking(1536, 1024, 512);
  send_chunked(f2, 1, 1024, 1536);
  ASSERT_TRUE(sink_.wait_for_returns(3));
  const auto good = sink_.good_frames();
  ASSERT_EQ(good.size(), 3u);
  EXPECT_EQ(good[0].bytes, f1);
  EXPECT_EQ(good[1].bytes, jpeg);
  EXPECT_EQ(good[2].bytes, f2);
  EXPECT_EQ(cam().p_drops(), 1u);
}

// A transfer lost on the bus: the next header arrives where the payload
// goes on, which would take it past its maximum where no packet ends. That
// frame is counted, everything up to the next short transfer skipped, and
// the frame after it is whole. A payload with an invalid header is skipped
// to its end and spoils the frame it is part of.
TEST_F(chunked_assembly, a_lost_transfer_or_a_bad_header_spoils_only_its_frames) {
  const auto f0 = header_like_frame(0), f1 = header_like_frame(1), f2 = header_like_frame(2);
  send_chunked(f0, 0, kPayloadMax, 512, 4);  // its short last transfer is lost
  send_chunked(f1, 1);                       // taken for the rest of f0, then skipped
  send_chunked(f2, 0);
  ASSERT_TRUE(sink_.wait_for_returns(1));
  EXPECT_EQ(cam().p_drops(), 1u);

  // Payloads of 1024 bytes, two transfers each: the second one's header is bad.
  cam().set_chunking(512, 1024, 512);
  send_chunked(f1, 1, 1024, 512, SIZE_MAX, 2);
  send_chunked(f0, 0, 1024, 512);
  ASSERT_TRUE(sink_.wait_for_returns(2));
  const auto good = sink_.good_frames();
  EXPECT_EQ(good[0].bytes, f2);
  EXPECT_EQ(good[1].bytes, f0);
  EXPECT_EQ(cam().p_drops(), 2u);
}

TEST_F(worker_assembly, unpooled_worker_holds_each_request_until_it_has_transformed_it) {
  camera_ = std::make_unique<camera_holder>(&sink_, camera_setup{kFrame, true, false, false});
  cam().set_reader(&reader_);
  ASSERT_EQ(cam().open(), STATUS_SUCCESS);
  cam().set_pooled(false);
  cam().run();
  cam().gate_worker(true);

  std::vector<std::vector<uint8_t>> transfers;
  for (int i = 0; i < 4; ++i) {
    auto f = make_frame(i, kFrame - (i == 3 ? 8 : 0));  // the last one is short
    transfers.push_back(make_payload(i & 1, true, f.data(), f.size()));
  }
  EXPECT_EQ(feed(&cam(), transfers[0], PVOID(0x10)), STATUS_MORE_PROCESSING_REQUIRED);
  ASSERT_TRUE(cam().wait_entered(1));
  EXPECT_EQ(feed(&cam(), transfers[1], PVOID(0x11)), STATUS_MORE_PROCESSING_REQUIRED);
  // Worker full: the data is not kept, the reader resubmits at once.
  EXPECT_EQ(feed(&cam(), transfers[2], PVOID(0x12)), STATUS_SUCCESS);
  EXPECT_TRUE(reader_.releases().empty());
  cam().gate_worker(false);
  ASSERT_TRUE(sink_.wait_for_returns(2));
  EXPECT_EQ(feed(&cam(), transfers[3], PVOID(0x13)), STATUS_MORE_PROCESSING_REQUIRED);
  ASSERT_TRUE(sink_.wait_for_returns(3));
  close();

  const auto releases = reader_.releases();
  EXPECT_EQ(releases, (std::map<PVOID, int>{{PVOID(0x10), 1}, {PVOID(0x11), 1}, {PVOID(0x13), 1}}));
  auto good = sink_.good_frames();
  ASSERT_EQ(good.size(), 3u);
  EXPECT_EQ(good[1].bytes, make_frame(1, kFrame));
  EXPECT_EQ(good[2].bytes, make_frame(3, kFrame - 8));
  EXPECT_EQ(cam().p_drops(), 2u);  // the refused one, and the short one (delivered)
  EXPECT_EQ(cam().frames_delivered(), 3u);
}

TEST_F(worker_assembly, close_releases_queued_frames_untransformed_and_counts_them) {
  start();
  cam().gate_worker(true);
  send(make_frame(1, kFrame), 0, true);
  ASSERT_TRUE(cam().wait_entered(1));
  send(make_frame(2, kFrame), 1, true);
  cam().stop_assembly_for_test();
  cam().gate_worker(false);  // frame 1 finishes; frame 2 is given up at close
  close();
  EXPECT_EQ(sink_.good_frames().size() + cam().p_drops(), 2u);
}

TEST_F(worker_assembly, frames_kept_by_the_family_starve_the_pool_and_starved_frames_are_counted) {
  start();
  cam().hold_raw_frames(true);
  const int pool = int(uvc_camera::pool_buffer_count);
  for (int i = 0; i < pool + 2; ++i) {
    send(make_frame(i, kFrame), i & 1, true);
    // Reaching the worker at all needs the earlier, pending frames to have
    // left it: at most two frames are in it at a time.
    ASSERT_TRUE(i >= pool || cam().wait_entered(i + 1));
  }
  EXPECT_EQ(cam().pool_free_count(), 0u);
  EXPECT_EQ(cam().p_drops(), 2u);  // the two frames that found no buffer

  cam().hold_raw_frames(false);
  EXPECT_EQ(cam().release_held_frames(), size_t(pool));
  EXPECT_EQ(cam().pool_free_count(), uvc_camera::pool_buffer_count);
  const auto next = make_frame(100, kFrame);
  send(next, 0, true);
  ASSERT_TRUE(sink_.wait_for_returns(1));
  close();
  auto good = sink_.good_frames();
  ASSERT_EQ(good.size(), 1u);
  EXPECT_EQ(good[0].bytes, next);
  EXPECT_EQ(cam().p_drops(), 2u);
}

// A frame the client has no buffer for is counted once, in q_drops, even
// an incomplete one that would have been delivered (drop-incomplete off).
TEST_F(worker_assembly, missing_client_buffer_in_the_worker_counts_a_q_drop) {
  start({kFrame, true, false, false});
  sink_.refuse_next(2);
  send(make_frame(1, kFrame), 0, true);
  send(make_frame(2, kFrame), 1, true, 512, 8);  // short
  send(make_frame(3, kFrame), 0, true);
  ASSERT_TRUE(sink_.wait_for_returns(1));
  close();
  auto good = sink_.good_frames();
  ASSERT_EQ(good.size(), 1u);
  EXPECT_EQ(frame_number(good[0].bytes), 3u);
  EXPECT_EQ(cam().q_drops(), 2u);
  EXPECT_EQ(cam().p_drops(), 0u);
}

}  // namespace
}  // namespace tvtest
