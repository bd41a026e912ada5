// Worker modes: pooled and chunked collection in the frame pool, the
// hand-over to the frame worker (at most two frames in it), the non-pooled
// hand-over of reader requests, and the frame pool itself.
#include "assembly_support.h"

namespace tvtest {
namespace {

constexpr ULONG kFrame = 2048;

using worker_assembly = assembly_fixture<kFrame, true, 512>;

TEST(frame_pool, hands_out_full_buffers_starves_when_empty_and_takes_them_back) {
  frame_pool pool;
  pool.init();
  ASSERT_EQ(pool.allocate(100, 2), STATUS_SUCCESS);
  uint8_t data[150];
  for (int i = 0; i < 150; ++i) data[i] = uint8_t(i);

  bool starved = false;
  EXPECT_EQ(pool.append(data, 60, false, &starved), nullptr);
  EXPECT_TRUE(pool.has_current());
  frame_pool_buffer* a = pool.append(data + 60, 90, false, &starved);  // only 40 fit
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->fill, 100u);
  EXPECT_EQ(memcmp(a->data, data, 100), 0);
  EXPECT_FALSE(pool.has_current());

  frame_pool_buffer* b = pool.append(data, 10, true, &starved);  // forced out
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->fill, 10u);
  EXPECT_EQ(pool.append(data, 10, true, &starved), nullptr);  // nothing left
  EXPECT_TRUE(starved);
  EXPECT_EQ(pool.append(nullptr, 0, true), nullptr);  // no data, no buffer taken

  pool.give_back(a);
  pool.give_back(b);
  EXPECT_EQ(pool.free_count(), 2u);
  EXPECT_EQ(pool.append(data, 5, false), nullptr);
  EXPECT_TRUE(pool.reset_current());
  frame_pool_buffer* c = pool.append(nullptr, 0, true);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->fill, 0u);
  pool.give_back(c);
  pool.free_all();
  EXPECT_EQ(pool.buffer_count(), 0u);
}

TEST_F(worker_assembly, third_frame_while_two_are_in_the_worker_is_dropped) {
  start();
  cam().gate_worker(true);
  const auto f1 = make_frame(1, kFrame), f2 = make_frame(2, kFrame), f3 = make_frame(3, kFrame);
  send(f1, 0, true);
  ASSERT_TRUE(cam().wait_entered(1));  // the worker holds frame 1
  send(f2, 1, true);                 // queued behind it
  send(f3, 0, true);                 // no room: dropped
  EXPECT_EQ(cam().in_worker(), 2);
  EXPECT_EQ(cam().p_drops(), 1u);
  EXPECT_EQ(cam().pool_free_count(), uvc_camera::pool_buffer_count - 2);  // the drop went back

  cam().gate_worker(false);
  ASSERT_TRUE(sink_.wait_for_returns(2));
  auto good = sink_.good_frames();
  ASSERT_EQ(good.size(), 2u);
  EXPECT_EQ(good[0].bytes, f1);
  EXPECT_EQ(good[1].bytes, f2);
  EXPECT_EQ(good[1].drop_count, 1u);
  close();
}

// Format changes while frames pass through the worker: every frame is
// delivered whole or counted as dropped, and the worker reads the output
// type under the lock the change is made under.
TEST_F(worker_assembly, format_changes_while_the_worker_transforms) {
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
  }
  close();
  const auto good = sink_.good_frames();
  for (const auto& f : good) EXPECT_EQ(f.bytes, make_frame(frame_number(f.bytes), kFrame));
  EXPECT_EQ(good.size() + cam().p_drops(), kFrames);
}

TEST_F(worker_assembly, chunked_header_transfer_discards_the_partial_frame) {
  start({}, true);
  const auto f1 = make_frame(1, kFrame), f2 = make_frame(2, kFrame);
  // Frame 1: a header-bearing first transfer, then headerless chunks. The
  // first data byte of each chunk is 0x10, which is no valid header length.
  auto chunked = [&](const std::vector<uint8_t>& f, size_t stop_at) {
    auto first = make_payload(0, false, f.data(), 1000, 12, 77);
    EXPECT_EQ(feed(&cam(), first), STATUS_SUCCESS);
    for (size_t at = 1000; at < stop_at; at += 500) {
      std::vector<uint8_t> chunk(f.begin() + at, f.begin() + std::min<size_t>(at + 500, stop_at));
      chunk[0] = 0x10;
      EXPECT_EQ(feed(&cam(), chunk), STATUS_SUCCESS);
    }
  };
  auto expected = [](std::vector<uint8_t> f) {
    for (size_t at = 1000; at < f.size(); at += 500) f[at] = 0x10;
    return f;
  };
  chunked(f1, 1500);  // cut short: the next header discards it
  EXPECT_EQ(cam().p_drops(), 0u);
  chunked(f2, kFrame);
  EXPECT_EQ(cam().p_drops(), 1u);
  ASSERT_TRUE(sink_.wait_for_returns(1));
  auto good = sink_.good_frames();
  ASSERT_EQ(good.size(), 1u);
  EXPECT_EQ(good[0].bytes, expected(f2));

  // A compressed frame whose header carried EOF ends with its payload: here,
  // where every transfer was full, when the next header arrives.
  cam().set_variable_size(true);
  std::vector<uint8_t> jpeg(f1.begin(), f1.begin() + 1200);
  auto head = make_payload(1, true, jpeg.data(), 700, 12, 78);
  EXPECT_EQ(feed(&cam(), head), STATUS_SUCCESS);
  std::vector<uint8_t> tail(jpeg.begin() + 700, jpeg.end());
  tail[0] = 0x10;
  EXPECT_EQ(feed(&cam(), tail), STATUS_SUCCESS);
  EXPECT_EQ(feed(&cam(), make_payload(0, true, f2.data(), 100, 12, 79)), STATUS_SUCCESS);
  ASSERT_TRUE(sink_.wait_for_returns(2));
  good = sink_.good_frames();
  ASSERT_EQ(good.size(), 2u);
  jpeg[700] = 0x10;
  EXPECT_EQ(good[1].bytes, jpeg);
  EXPECT_EQ(cam().p_drops(), 1u);
  cam().set_variable_size(false);

  // Headerless data with no frame started is ignored.
  std::vector<uint8_t> stray(300, 0x10);
  EXPECT_EQ(feed(&cam(), stray), STATUS_SUCCESS);
  close();
  EXPECT_EQ(sink_.frames().size(), 2u);
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

TEST_F(worker_assembly, missing_client_buffer_in_the_worker_counts_a_q_drop) {
  start();
  sink_.refuse_next(1);
  send(make_frame(1, kFrame), 0, true);
  send(make_frame(2, kFrame), 1, true);
  ASSERT_TRUE(sink_.wait_for_returns(1));
  close();
  auto good = sink_.good_frames();
  ASSERT_EQ(good.size(), 1u);
  EXPECT_EQ(frame_number(good[0].bytes), 2u);
  EXPECT_EQ(cam().q_drops(), 1u);
  EXPECT_EQ(cam().p_drops(), 0u);
}

}  // namespace
}  // namespace tvtest
