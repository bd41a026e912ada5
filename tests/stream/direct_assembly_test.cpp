// Direct assembly: payloads go straight into client buffers. Each group
// feeds payloads at DISPATCH_LEVEL as a reader would and checks what the
// client receives and what the camera counts.
#include "assembly_support.h"

namespace tvtest {
namespace {

constexpr ULONG kFrame = 1000;

using direct_assembly = assembly_fixture<kFrame, false, 300>;

TEST(payload_header, malformed_headers_are_not_payloads_and_pts_needs_room) {
  uint8_t bytes[16] = {4, 0x03, 1, 2, 3, 4, 5, 6};
  payload_info info = {};
  EXPECT_FALSE(parse_payload_header(bytes, sizeof(bytes), &info));  // length 4
  bytes[0] = 12;
  EXPECT_FALSE(parse_payload_header(bytes, 11, &info));  // header past the payload
  EXPECT_FALSE(parse_payload_header(bytes, 1, &info));
  EXPECT_FALSE(parse_payload_header(nullptr, 8, &info));
  bytes[1] = 0x04;
  ASSERT_TRUE(parse_payload_header(bytes, 16, &info));
  EXPECT_EQ(info.pts, 0x04030201u);
  EXPECT_EQ(info.data, bytes + 12);
  EXPECT_EQ(info.length, 4u);
  EXPECT_EQ(info.fid + info.eof, 0u);
  // A 2-byte header with the PTS flag has no time to read.
  bytes[0] = 2;
  bytes[1] = 0x07;
  ASSERT_TRUE(parse_payload_header(bytes, 2, &info));
  EXPECT_EQ(info.pts, 0u);
  EXPECT_EQ(info.length, 0u);
  EXPECT_EQ(info.fid + info.eof, 2u);
}

TEST_F(direct_assembly, header_length_4_is_ignored_and_the_frame_goes_on) {
  start();
  const auto frame = make_frame(1, kFrame);
  send(std::vector<uint8_t>(frame.begin(), frame.begin() + 600), 0, false);
  auto bogus = make_payload(0, false, frame.data(), 100);
  bogus[0] = 4;
  EXPECT_EQ(feed(&cam(), bogus), STATUS_SUCCESS);
  EXPECT_EQ(feed(&cam(), make_payload(0, true, frame.data() + 600, 400)), STATUS_SUCCESS);

  auto good = sink_.good_frames();
  ASSERT_EQ(good.size(), 1u);
  EXPECT_EQ(good[0].bytes, frame);
  EXPECT_EQ(cam().p_drops(), 0u);
  EXPECT_EQ(cam().callback_count(), 4u);
  EXPECT_EQ(cam().fid_toggles(), 1u);  // the first payload only

  // Too short to hold any header: not even counted as a callback.
  EXPECT_EQ(feed(&cam(), {2}), STATUS_SUCCESS);
  EXPECT_EQ(cam().callback_count(), 4u);
}

TEST_F(direct_assembly, eof_at_full_buffer_is_good_one_byte_short_is_dropped) {
  start();
  const auto f1 = make_frame(1, kFrame);
  const auto f2 = make_frame(2, kFrame);
  const auto f3 = make_frame(3, kFrame);
  send(f1, 0, true);
  send(f2, 1, true, 300, 1);  // EOF one byte before the buffer is full
  send(f3, 0, true);

  auto good = sink_.good_frames();
  ASSERT_EQ(good.size(), 2u);
  EXPECT_EQ(good[0].bytes, f1);
  EXPECT_EQ(good[1].bytes, f3);
  EXPECT_EQ(good[1].drop_count, 1u);       // the sink learns about the drop
  EXPECT_EQ(good[1].delivered_count, 2u);
  EXPECT_EQ(cam().p_drops(), 1u);
  EXPECT_EQ(cam().frames_delivered(), 2u);
  // EOF moved the expected FID on, so no payload after an EOF is a toggle.
  EXPECT_EQ(cam().fid_toggles(), 1u);

  // With drop_incomplete off the short frame is delivered, and still counted.
  cam().set_drop_incomplete(false);
  const auto f4 = make_frame(4, kFrame);
  send(f4, 1, true, 300, 1);
  good = sink_.good_frames();
  ASSERT_EQ(good.size(), 3u);
  EXPECT_EQ(good[2].bytes, std::vector<uint8_t>(f4.begin(), f4.end() - 1));
  EXPECT_EQ(cam().p_drops(), 2u);
  EXPECT_EQ(cam().frames_delivered(), 3u);
}

TEST_F(direct_assembly, camera_without_eof_ends_every_frame_by_the_fid_toggle) {
  start();
  for (int i = 0; i < 5; ++i) send(make_frame(i, kFrame - 100), i & 1, false);
  EXPECT_TRUE(sink_.frames().empty());
  EXPECT_EQ(cam().p_drops(), 4u);  // the fifth is still open
  EXPECT_EQ(cam().fid_toggles(), 5u);

  cam().set_drop_incomplete(false);
  send(make_frame(5, kFrame - 100), 1, false);
  auto frames = sink_.good_frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].bytes, make_frame(4, kFrame - 100));  // reused buffer, fresh content
  EXPECT_EQ(cam().p_drops(), 5u);
}

TEST_F(direct_assembly, interrupt_packet_makes_the_current_frame_incomplete) {
  start();
  const auto f1 = make_frame(1, kFrame);
  send(std::vector<uint8_t>(f1.begin(), f1.begin() + 600), 0, false);
  interrupt(&cam());
  feed(&cam(), make_payload(0, true, f1.data() + 600, 400));
  EXPECT_TRUE(sink_.frames().empty());
  EXPECT_EQ(cam().p_drops(), 1u);

  // The mark is cleared at the frame end: the next frame is good.
  send(make_frame(2, kFrame), 1, true);
  EXPECT_EQ(sink_.good_frames().size(), 1u);
  EXPECT_EQ(cam().p_drops(), 1u);
}

TEST_F(direct_assembly, eof_only_camera_ends_frames_by_eof_and_counts_overflow) {
  start({kFrame, false, true});  // eof_only
  const auto small = make_frame(1, 400);  // shorter than the buffer: still a frame
  send(small, 0, true);
  auto good = sink_.good_frames();
  ASSERT_EQ(good.size(), 1u);
  EXPECT_EQ(good[0].bytes, small);

  send(make_frame(2, kFrame + 50), 1, true);  // does not fit
  EXPECT_EQ(sink_.good_frames().size(), 1u);
  EXPECT_EQ(cam().p_drops(), 1u);
}

TEST_F(direct_assembly, stopped_stream_retires_requests_and_close_returns_the_open_buffer) {
  start();
  const auto f1 = make_frame(1, kFrame);
  send(std::vector<uint8_t>(f1.begin(), f1.begin() + 500), 0, false);
  EXPECT_EQ(sink_.outstanding(), 1);
  close();
  EXPECT_EQ(feed(&cam(), make_payload(0, true, f1.data(), 10)), STATUS_CANCELLED);
  auto frames = sink_.frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].status, STATUS_CANCELLED);
}

TEST(direct_overlay, statistics_text_is_drawn_into_whole_frames_only) {
  constexpr ULONG kSide = 64;
  test_sink sink(kSide * kSide, 2);
  camera_setup setup;
  setup.frame_size = kSide * kSide;
  test_camera cam(&sink, setup);
  cam.set_image(kSide, kSide);
  cam.set_show_overlay(true);
  cam.set_overlay_text("custom");
  ASSERT_EQ(cam.open_and_run(), STATUS_SUCCESS);
  const std::vector<uint8_t> grey(kSide * kSide, 0x80);
  feed(&cam, make_payload(0, true, grey.data(), grey.size()));
  auto good = sink.good_frames();
  ASSERT_EQ(good.size(), 1u);
  const auto& f = good[0].bytes;
  // The statistics line starts at (10, 45): its white box replaces grey.
  EXPECT_EQ(f[45 * kSide + 10], 0xFF);
  EXPECT_EQ(f[0], 0x80);                    // above the first line
  EXPECT_EQ(f[14 * kSide + 5], 0x80);       // left of the text
  // Lines that would not fit a smaller image are clipped, not written past it.
  cam.close();

  test_sink small(kSide * 8, 1);
  test_camera narrow(&small, setup);
  narrow.set_image(kSide, 8);
  narrow.set_show_overlay(true);
  ASSERT_EQ(narrow.open_and_run(), STATUS_SUCCESS);
  feed(&narrow, make_payload(0, true, grey.data(), kSide * 8));
  ASSERT_EQ(small.good_frames().size(), 1u);
  EXPECT_EQ(small.good_frames()[0].bytes, std::vector<uint8_t>(kSide * 8, 0x80));
  narrow.close();
}

}  // namespace
}  // namespace tvtest
