// Worker modes: pooled and chunked collection in the frame pool, the
// hand-over to the frame worker (at most two frames in it), the non-pooled
// hand-over of reader requests, and the frame pool itself.
#include "assembly_support.h"

namespace tvtest {
namespace {

constexpr ULONG kFrame = 2048;

struct worker_rig {
  explicit worker_rig(camera_setup setup = {}) : sink(kFrame, 4), cam(&sink, fix(setup)) {}
  static camera_setup fix(camera_setup s) {
    s.frame_size = kFrame;
    s.worker = true;
    return s;
  }
  void send(const std::vector<uint8_t>& frame, int fid, bool eof, size_t chunk = 512) {
    for (size_t at = 0; at < frame.size(); at += chunk) {
      const size_t n = std::min(chunk, frame.size() - at);
      auto p = make_payload(fid, eof && at + n == frame.size(), frame.data() + at, n);
      EXPECT_EQ(feed(&cam, p), STATUS_SUCCESS);
    }
  }
  test_sink sink;
  test_camera cam;
};

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

TEST(worker_assembly, third_frame_while_two_are_in_the_worker_is_dropped) {
  worker_rig rig;
  ASSERT_EQ(rig.cam.open(), STATUS_SUCCESS);
  rig.cam.run();
  rig.cam.gate_worker(true);
  const auto f1 = make_frame(1, kFrame), f2 = make_frame(2, kFrame), f3 = make_frame(3, kFrame);
  rig.send(f1, 0, true);
  ASSERT_TRUE(rig.cam.wait_entered(1));  // the worker holds frame 1
  rig.send(f2, 1, true);                 // queued behind it
  rig.send(f3, 0, true);                 // no room: dropped
  EXPECT_EQ(rig.cam.in_worker(), 2);
  EXPECT_EQ(rig.cam.p_drops(), 1u);
  EXPECT_EQ(rig.cam.pool_free_count(), uvc_camera::pool_buffer_count - 2);  // the drop went back

  rig.cam.gate_worker(false);
  ASSERT_TRUE(rig.sink.wait_for_returns(2));
  auto good = rig.sink.good_frames();
  ASSERT_EQ(good.size(), 2u);
  EXPECT_EQ(good[0].bytes, f1);
  EXPECT_EQ(good[1].bytes, f2);
  EXPECT_EQ(good[1].drop_count, 1u);
  rig.cam.close();
  EXPECT_EQ(rig.sink.outstanding(), 0);
}

TEST(worker_assembly, chunked_header_transfer_discards_the_partial_frame) {
  worker_rig rig;
  ASSERT_EQ(rig.cam.open(true), STATUS_SUCCESS);
  rig.cam.run();
  const auto f1 = make_frame(1, kFrame), f2 = make_frame(2, kFrame);
  // Frame 1: a header-bearing first transfer, then headerless chunks. The
  // first data byte of each chunk is 0x10, which is no valid header length.
  auto chunked = [&](const std::vector<uint8_t>& f, size_t stop_at) {
    auto first = make_payload(0, false, f.data(), 1000, 12, 77);
    EXPECT_EQ(feed(&rig.cam, first), STATUS_SUCCESS);
    for (size_t at = 1000; at < stop_at; at += 500) {
      std::vector<uint8_t> chunk(f.begin() + at, f.begin() + std::min<size_t>(at + 500, stop_at));
      chunk[0] = 0x10;
      EXPECT_EQ(feed(&rig.cam, chunk), STATUS_SUCCESS);
    }
  };
  auto expected = [](std::vector<uint8_t> f) {
    for (size_t at = 1000; at < f.size(); at += 500) f[at] = 0x10;
    return f;
  };
  chunked(f1, 1500);  // cut short: the next header discards it
  EXPECT_EQ(rig.cam.p_drops(), 0u);
  chunked(f2, kFrame);
  EXPECT_EQ(rig.cam.p_drops(), 1u);
  ASSERT_TRUE(rig.sink.wait_for_returns(1));
  auto good = rig.sink.good_frames();
  ASSERT_EQ(good.size(), 1u);
  EXPECT_EQ(good[0].bytes, expected(f2));

  // Headerless data with no frame started is ignored.
  std::vector<uint8_t> stray(300, 0x10);
  EXPECT_EQ(feed(&rig.cam, stray), STATUS_SUCCESS);
  rig.cam.close();
  EXPECT_EQ(rig.sink.frames().size(), 1u);
  EXPECT_EQ(rig.sink.outstanding(), 0);
}

TEST(worker_assembly, unpooled_worker_holds_each_request_until_it_has_transformed_it) {
  camera_setup setup;
  setup.drop_incomplete = false;
  worker_rig rig(setup);
  test_reader reader;
  rig.cam.set_reader(&reader);
  ASSERT_EQ(rig.cam.open(), STATUS_SUCCESS);
  rig.cam.set_pooled(false);
  rig.cam.run();
  rig.cam.gate_worker(true);

  std::vector<std::vector<uint8_t>> transfers;
  for (int i = 0; i < 4; ++i) {
    auto f = make_frame(i, kFrame - (i == 3 ? 8 : 0));  // the last one is short
    transfers.push_back(make_payload(i & 1, true, f.data(), f.size()));
  }
  EXPECT_EQ(feed(&rig.cam, transfers[0], PVOID(0x10)), STATUS_MORE_PROCESSING_REQUIRED);
  ASSERT_TRUE(rig.cam.wait_entered(1));
  EXPECT_EQ(feed(&rig.cam, transfers[1], PVOID(0x11)), STATUS_MORE_PROCESSING_REQUIRED);
  // Worker full: the data is not kept, the reader resubmits at once.
  EXPECT_EQ(feed(&rig.cam, transfers[2], PVOID(0x12)), STATUS_SUCCESS);
  EXPECT_TRUE(reader.releases().empty());
  rig.cam.gate_worker(false);
  ASSERT_TRUE(rig.sink.wait_for_returns(2));
  EXPECT_EQ(feed(&rig.cam, transfers[3], PVOID(0x13)), STATUS_MORE_PROCESSING_REQUIRED);
  ASSERT_TRUE(rig.sink.wait_for_returns(3));
  rig.cam.close();

  const auto releases = reader.releases();
  EXPECT_EQ(releases, (std::map<PVOID, int>{{PVOID(0x10), 1}, {PVOID(0x11), 1}, {PVOID(0x13), 1}}));
  auto good = rig.sink.good_frames();
  ASSERT_EQ(good.size(), 3u);
  EXPECT_EQ(good[1].bytes, make_frame(1, kFrame));
  EXPECT_EQ(good[2].bytes, make_frame(3, kFrame - 8));
  EXPECT_EQ(rig.cam.p_drops(), 2u);  // the refused one, and the short one (delivered)
  EXPECT_EQ(rig.cam.frames_delivered(), 3u);
}

TEST(worker_assembly, close_releases_queued_frames_untransformed_and_counts_them) {
  worker_rig rig;
  ASSERT_EQ(rig.cam.open(), STATUS_SUCCESS);
  rig.cam.run();
  rig.cam.gate_worker(true);
  rig.send(make_frame(1, kFrame), 0, true);
  ASSERT_TRUE(rig.cam.wait_entered(1));
  rig.send(make_frame(2, kFrame), 1, true);
  rig.cam.stop_assembly_for_test();
  rig.cam.gate_worker(false);  // frame 1 finishes; frame 2 is given up at close
  rig.cam.close();
  EXPECT_EQ(rig.sink.good_frames().size() + rig.cam.p_drops(), 2u);
  EXPECT_EQ(rig.sink.outstanding(), 0);
}

TEST(worker_assembly, frames_kept_by_the_family_starve_the_pool_and_starved_frames_are_counted) {
  worker_rig rig;
  ASSERT_EQ(rig.cam.open(), STATUS_SUCCESS);
  rig.cam.run();
  rig.cam.hold_raw_frames(true);
  const int pool = int(uvc_camera::pool_buffer_count);
  for (int i = 0; i < pool + 2; ++i) {
    rig.send(make_frame(i, kFrame), i & 1, true);
    // Reaching the worker at all needs the earlier, pending frames to have
    // left it: at most two frames are in it at a time.
    if (i < pool) {
      ASSERT_TRUE(rig.cam.wait_entered(i + 1));
    }
  }
  EXPECT_EQ(rig.cam.pool_free_count(), 0u);
  EXPECT_EQ(rig.cam.p_drops(), 2u);  // the two frames that found no buffer

  rig.cam.hold_raw_frames(false);
  EXPECT_EQ(rig.cam.release_held_frames(), size_t(pool));
  EXPECT_EQ(rig.cam.pool_free_count(), uvc_camera::pool_buffer_count);
  const auto next = make_frame(100, kFrame);
  rig.send(next, 0, true);
  ASSERT_TRUE(rig.sink.wait_for_returns(1));
  rig.cam.close();
  auto good = rig.sink.good_frames();
  ASSERT_EQ(good.size(), 1u);
  EXPECT_EQ(good[0].bytes, next);
  EXPECT_EQ(rig.cam.p_drops(), 2u);
}

TEST(worker_assembly, missing_client_buffer_in_the_worker_counts_a_q_drop) {
  worker_rig rig;
  ASSERT_EQ(rig.cam.open(), STATUS_SUCCESS);
  rig.cam.run();
  rig.sink.refuse_next(1);
  rig.send(make_frame(1, kFrame), 0, true);
  rig.send(make_frame(2, kFrame), 1, true);
  ASSERT_TRUE(rig.sink.wait_for_returns(1));
  rig.cam.close();
  auto good = rig.sink.good_frames();
  ASSERT_EQ(good.size(), 1u);
  EXPECT_EQ(frame_number(good[0].bytes), 2u);
  EXPECT_EQ(rig.cam.q_drops(), 1u);
  EXPECT_EQ(rig.cam.p_drops(), 0u);
}

}  // namespace
}  // namespace tvtest
