// Long seeded runs of both readers with CRC errors, babble, empty transfers
// and buffers the consumer keeps and releases from another thread.
// Conservation: every block the camera sent arrives exactly once,
// byte-identical and in order; every failed transfer is reported lost once;
// every kept buffer is released once; every recovery aborts and resets the
// pipe once.
#include <gtest/gtest.h>

#include <kstandin/testing.h>

#include <atomic>
#include <random>
#include <thread>

#include "reader_test_support.h"

namespace {

using namespace readertest;

struct soak_case {
  const char* name;
  bool iso;
  uint32_t seed;
  uint32_t blocks;  // non-empty blocks the camera sends
};
class ReaderSoak : public reader_fixture, public ::testing::WithParamInterface<soak_case> {};

// State of the bus-thread callbacks, shared so that it outlives a failed test.
struct soak_state {
  std::mutex mutex;
  std::mt19937 rng;       // block lengths and empty blocks
  std::mt19937 keep_rng;  // the consumer's choices
  uint32_t next = 0;
  std::vector<size_t> lengths;  // of each block sent
  size_t kept = 0;              // buffers the consumer kept
};

TEST_P(ReaderSoak, EveryBlockArrivesOnceInOrderThroughFaultsKeptBuffersAndRecoveries) {
  const soak_case& c = GetParam();
  USBD_PIPE_INFORMATION* p = c.iso ? plug_iso_camera(2) : plug_bulk_camera();
  ASSERT_NE(p, nullptr);
  reader = c.iso ? static_cast<pipe_reader*>(iso_reader::create(pdo, consumer::callback, &sink))
                 : bulk_reader::create(pdo, 0, consumer::callback, &sink);
  auto state = std::make_shared<soak_state>();
  state->rng.seed(c.seed);
  state->keep_rng.seed(c.seed * 31 + 7);
  const uint32_t total = c.blocks;
  camera->set_in_data_source([state, total](uint8_t, uint32_t max, std::vector<uint8_t>& block) {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->next >= total) return false;
    if (state->rng() % 8 == 0) {
      block = empty_block();  // an empty transfer, or a packet without data
    } else {
      state->lengths.push_back(4 + state->rng() % (max - 3));
      block = block_bytes(state->next++, state->lengths.back());
    }
    return true;
  });
  sink.decide = [state](size_t) {  // under the consumer's lock, in delivery order
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->keep_rng() % 6 != 0) return STATUS_SUCCESS;
    ++state->kept;
    return STATUS_MORE_PROCESSING_REQUIRED;
  };
  ASSERT_EQ(reader->start(p, 8), STATUS_SUCCESS);

  // Kept buffers go back from a thread of their own, as the frame worker's do.
  std::atomic<bool> done{false};
  std::atomic<size_t> releases{0}, refused{0};
  std::thread releaser([&] {
    while (!done) {
      if (PVOID request = sink.take_held(5)) {
        // Cancelled: released while a recovery took the requests back.
        const NTSTATUS status = reader->release(request);
        ++(status == STATUS_SUCCESS || status == STATUS_CANCELLED ? releases : refused);
      }
    }
  });

  // Faults between stretches of data. A CRC error retires its request for
  // good, so one is injected only while more than four are out; the
  // recovery after babble sends them all out again.
  std::mt19937 rng(c.seed ^ 0x9e3779b9u);
  size_t babbles = 0, crc_errors = 0;
  for (int round = 0; round < 60; ++round) {
    const size_t before = sink.data_count();
    if (!eventually([&] { return sink.data_count() >= std::min<size_t>(before + 20, total); })) {
      ADD_FAILURE() << "no progress in round " << round;
      break;
    }
    const unsigned pick = rng() % 3;
    if (pick == 0 || in_flight() <= 4) {
      camera->fail_next_in_transfer(kStreamEndpoint, USBD_STATUS_BABBLE_DETECTED);
      ++babbles;
    } else if (pick == 1) {
      camera->fail_next_in_transfer(kStreamEndpoint, USBD_STATUS_CRC);
      ++crc_errors;
    }
  }
  EXPECT_TRUE(eventually([&] { return sink.data_count() == total; }, 30000));
  // A last babble: its recovery brings every request back.
  const unsigned aborts = camera->pipe_abort_count();
  camera->fail_next_in_transfer(kStreamEndpoint, USBD_STATUS_BABBLE_DETECTED);
  ++babbles;
  EXPECT_TRUE(eventually([&] {
    return camera->pipe_abort_count() > aborts &&
           transfers_with(USBD_STATUS_BABBLE_DETECTED) == babbles;
  }));
  EXPECT_TRUE(eventually([&] { return in_flight() == 8 && sink.held_count() == 0; }));
  EXPECT_EQ(reader->stop(), STATUS_SUCCESS);
  done = true;
  releaser.join();

  // Data: in order, each block once and intact; empty packets never delivered.
  uint32_t seq = 0;
  for (const auto& d : sink.deliveries()) {
    EXPECT_EQ(d.irql, DISPATCH_LEVEL);
    if (d.bytes.empty()) {
      EXPECT_FALSE(c.iso) << "an empty packet was delivered";
      continue;
    }
    ASSERT_LT(seq, total);
    ASSERT_EQ(block_seq(d.bytes), seq) << "lost, repeated or reordered";
    ASSERT_EQ(d.bytes, block_bytes(seq, state->lengths[seq])) << "block " << seq;
    ++seq;
  }
  EXPECT_EQ(seq, total);
  // Buffers and counters.
  EXPECT_EQ(releases.load(), state->kept);
  EXPECT_EQ(refused.load(), 0u);
  EXPECT_EQ(transfers_with(USBD_STATUS_CRC), crc_errors);
  // Each failed transfer is reported lost once; those a recovery or stop
  // cancelled are not.
  EXPECT_EQ(sink.losses(), crc_errors + babbles);
  const unsigned recoveries = camera->pipe_abort_count() - 1;  // less the abort of stop
  EXPECT_EQ(camera->pipe_reset_count() - 1, recoveries);       // less the reset of start
  EXPECT_GE(recoveries, 1u);
  EXPECT_LE(recoveries, babbles);
  EXPECT_EQ(camera->port_reset_count(), 0u);
  for (const auto& t : transfers()) EXPECT_TRUE(t.completed);
  RecordProperty("recoveries", int(recoveries));
  RecordProperty("kept_buffers", int(state->kept));
}

INSTANTIATE_TEST_SUITE_P(Runs, ReaderSoak,
                         ::testing::Values(soak_case{"Bulk", false, 20261206, 3000},
                                           soak_case{"Isochronous", true, 4242, 6000}),
                         [](const ::testing::TestParamInfo<soak_case>& info) {
                           return info.param.name;
                         });

}  // namespace
