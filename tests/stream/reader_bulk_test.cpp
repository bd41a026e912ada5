// bulk_reader against the simulated camera: requests stay in flight and
// carry every transfer in order without allocating, a kept buffer keeps its
// request out until released (and stop waits for it), errors retire
// requests, babble recovers the pipe once, and a start that runs out of pool
// leaves nothing behind.
#include <gtest/gtest.h>

#include <kstandin/testing.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include "reader_test_support.h"

namespace {

using namespace readertest;

class BulkReader : public reader_fixture {};

// Holds the delayed work queue (one thread, items in order) while it exists.
class work_queue_gate {
 public:
  explicit work_queue_gate(PDEVICE_OBJECT device) : item_(IoAllocateWorkItem(device)) {
    IoQueueWorkItem(
        item_,
        [](PDEVICE_OBJECT, PVOID self) {
          auto* gate = static_cast<work_queue_gate*>(self);
          std::unique_lock<std::mutex> lock(gate->mutex_);
          gate->cv_.wait_for(lock, std::chrono::seconds(10), [&] { return gate->open_; });
          gate->ran_ = true;
          gate->cv_.notify_all();
        },
        DelayedWorkQueue, this);
  }
  ~work_queue_gate() {
    std::unique_lock<std::mutex> lock(mutex_);
    open_ = true;
    cv_.notify_all();
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return ran_; });
    IoFreeWorkItem(item_);
  }

 private:
  PIO_WORKITEM item_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false, ran_ = false;
};

TEST_F(BulkReader, EightRequestsStayInFlightAndCarryEveryTransferInOrderWithoutAllocating) {
  bulk_reader* r = start_bulk();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->start(stream, 8), STATUS_SUCCESS);  // already running: nothing more goes out
  const ULONG size = 8u * stream->MaximumPacketSize;
  EXPECT_EQ(r->transfer_size(), size);
  ASSERT_EQ(transfers().size(), 8u);
  for (const auto& t : transfers()) EXPECT_EQ(t.requested_length, size);
  EXPECT_EQ(camera->pipe_reset_count(), 1u);

  // Short, full and empty transfers.
  const kstandin::pool_snapshot snapshot = kstandin::take_pool_snapshot();
  std::vector<std::vector<uint8_t>> sent;
  for (uint32_t seq = 0; seq < 400; ++seq) {
    sent.push_back(seq % 37 == 5 ? empty_block()
                                 : block_bytes(seq, 4 + (seq * 7919u) % (size - 3)));
    camera->queue_in_data(kStreamEndpoint, sent.back().empty() ? empty_block() : sent.back());
  }
  ASSERT_TRUE(sink.wait_for(400));
  ASSERT_TRUE(eventually([&] { return in_flight() == 8; }));
  EXPECT_EQ(kstandin::allocations_since(snapshot), 0u);
  const auto got = sink.deliveries();
  std::set<PVOID> requests;
  for (uint32_t i = 0; i < 400; ++i) {
    EXPECT_EQ(got[i].bytes, sent[i]) << "transfer " << i;
    EXPECT_EQ(got[i].irql, DISPATCH_LEVEL);
    requests.insert(got[i].request);
  }
  EXPECT_EQ(requests.size(), 8u);  // the same eight, reused

  EXPECT_EQ(r->stop(), STATUS_SUCCESS);
  EXPECT_EQ(in_flight(), 0u);
  EXPECT_EQ(r->stop(), STATUS_SUCCESS);  // a second stop does nothing
  EXPECT_EQ(camera->pipe_abort_count(), 1u);
  ASSERT_TRUE(start8(stream));  // and it starts again
}

TEST_F(BulkReader, KeptBufferStaysOutUntilReleasedAndStopWaitsForIt) {
  sink.decide = [](size_t call) {
    return call % 21 == 0 ? STATUS_MORE_PROCESSING_REQUIRED : STATUS_SUCCESS;
  };
  ASSERT_NE(start_bulk(), nullptr);
  queue_blocks(0, 21, 100);
  ASSERT_TRUE(sink.wait_for(21));
  ASSERT_TRUE(eventually([&] { return in_flight() == 7; }));
  PVOID kept = sink.take_held();
  auto got = sink.deliveries();
  for (size_t i = 1; i < got.size(); ++i) EXPECT_NE(got[i].request, kept);  // twenty through seven
  EXPECT_EQ(got[0].bytes, block_bytes(0, 100));
  EXPECT_EQ(transfers().size(), 8u + 20u);

  EXPECT_EQ(reader->release(kept), STATUS_SUCCESS);
  ASSERT_TRUE(eventually([&] { return in_flight() == 8; }));
  EXPECT_EQ(reader->release(kept), STATUS_INVALID_DEVICE_STATE);  // once only
  EXPECT_EQ(transfers().size(), 8u + 21u);

  // Keep one more, then stop: the seven in flight come back, stop waits for
  // the kept one, and its release after the abort sends nothing.
  queue_blocks(21, 1, 100);
  kept = sink.take_held(10000);
  ASSERT_NE(kept, nullptr);
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    EXPECT_EQ(reader->stop(), STATUS_SUCCESS);
    stopped = true;
  });
  ASSERT_TRUE(eventually([&] { return camera->pipe_abort_count() == 1 && in_flight() == 0; }));
  EXPECT_FALSE(stopped.load());
  const size_t sent = transfers().size();
  // STATUS_CANCELLED, or STATUS_SUCCESS when the delivery that handed the
  // buffer over has not yet dropped its own hold on a busy machine (that
  // hold's end then retires the request); either way nothing is sent.
  const NTSTATUS released = reader->release(kept);
  EXPECT_TRUE(released == STATUS_CANCELLED || released == STATUS_SUCCESS) << std::hex << released;
  stopper.join();
  EXPECT_EQ(transfers().size(), sent);
  for (const auto& t : transfers()) EXPECT_TRUE(t.completed);
}

TEST_F(BulkReader, TransferErrorsRetireRequestsAndARefusingConsumerDrainsTheReader) {
  std::atomic<bool> refuse{false};
  sink.decide = [&](size_t) { return refuse ? STATUS_CANCELLED : STATUS_SUCCESS; };
  ASSERT_NE(start_bulk(), nullptr);
  camera->fail_next_in_transfer(kStreamEndpoint, USBD_STATUS_CRC);
  ASSERT_TRUE(eventually([&] { return in_flight() == 7; }));
  ASSERT_TRUE(kstandin::drain_work_queues());
  EXPECT_EQ(camera->pipe_abort_count(), 0u);  // no recovery for a CRC error

  refuse = true;
  queue_blocks(0, 7, 32);
  ASSERT_TRUE(sink.wait_for(7));
  ASSERT_TRUE(eventually([&] { return in_flight() == 0; }));
  EXPECT_EQ(transfers().size(), 8u);
  EXPECT_EQ(reader->stop(), STATUS_SUCCESS);
}

TEST_F(BulkReader, TwoBabbleErrorsInQuickSuccessionQueueOneRecovery) {
  ASSERT_NE(start_bulk(), nullptr);
  {
    work_queue_gate gate(pdo);  // the recovery runs only once both errors are in
    camera->fail_next_in_transfer(kStreamEndpoint, USBD_STATUS_BABBLE_DETECTED);
    camera->fail_next_in_transfer(kStreamEndpoint, USBD_STATUS_BABBLE_DETECTED);
    ASSERT_TRUE(eventually([&] { return in_flight() == 6; }));
  }
  ASSERT_TRUE(kstandin::drain_work_queues());
  EXPECT_EQ(camera->pipe_abort_count(), 1u);
  EXPECT_EQ(camera->pipe_reset_count(), 2u);  // after the one of start
  EXPECT_EQ(camera->port_reset_count(), 0u);
  ASSERT_TRUE(eventually([&] { return in_flight() == 8; }));
  queue_blocks(0, 1, 200);
  ASSERT_TRUE(sink.wait_for(1));
  EXPECT_EQ(sink.deliveries()[0].bytes, block_bytes(0, 200));
}

// A failed pipe reset falls back to a port reset; a port reset that reports
// the pipe busy is followed by another pipe reset 50 ms later. Requests go
// out again only after a successful recovery; stop and start always work.
struct fallback_case {
  const char* name;
  NTSTATUS port_status;
  unsigned pipe_resets;  // including the one of start
  size_t in_flight_after;
};
class BulkReaderRecovery : public reader_fixture,
                           public ::testing::WithParamInterface<fallback_case> {};

TEST_P(BulkReaderRecovery, FailedPipeResetFallsBackToThePort) {
  const fallback_case& c = GetParam();
  ASSERT_NE(start_bulk(), nullptr);
  camera->inject_pipe_fault(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, USBD_STATUS_STALL_PID);
  camera->inject_port_fault(c.port_status);
  camera->fail_next_in_transfer(kStreamEndpoint, USBD_STATUS_BABBLE_DETECTED);
  ASSERT_TRUE(eventually([&] { return camera->pipe_abort_count() == 1; }));
  ASSERT_TRUE(kstandin::drain_work_queues());
  EXPECT_EQ(camera->port_reset_count(), 1u);
  EXPECT_EQ(camera->pipe_reset_count(), c.pipe_resets);
  ASSERT_TRUE(eventually([&] { return in_flight() == c.in_flight_after; }));
  const auto log = kstandin::take_debug_log();
  EXPECT_EQ(
      std::any_of(log.begin(), log.end(),
                  [](const std::string& line) { return line.find("pipe recovery failed") == 0; }),
      c.in_flight_after == 0);
  EXPECT_EQ(reader->stop(), STATUS_SUCCESS);
  ASSERT_TRUE(start8(stream));
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, BulkReaderRecovery,
    ::testing::Values(fallback_case{"PortReset", STATUS_SUCCESS, 2, 8},
                      fallback_case{"PortResetFails", STATUS_UNSUCCESSFUL, 2, 0},
                      fallback_case{"PortBusy", NTSTATUS(USBD_STATUS_ERROR_BUSY), 3, 8}),
    [](const ::testing::TestParamInfo<fallback_case>& info) { return info.param.name; });

TEST_F(BulkReader, StartOutOfPoolLeavesNothingBehind) {
  USBD_PIPE_INFORMATION* p = plug_bulk_camera();
  reader = bulk_reader::create(pdo, 0, consumer::callback, &sink);
  const kstandin::pool_snapshot before = kstandin::take_pool_snapshot();
  // The request array; the first request's MDL, after its IRP, URB and
  // buffer; the IRP of the pipe reset that comes first.
  for (ULONG tag : {pool_tag::usb_configuration, make_pool_tag('M', 'd', 'l', ' '),
                    make_pool_tag('I', 'r', 'p', ' ')}) {
    kstandin::fail_next_allocations(1, tag);
    EXPECT_EQ(reader->start(p, 8), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(kstandin::leaks_since(before).empty())
        << kstandin::describe(kstandin::leaks_since(before));
  }
  USBD_PIPE_INFORMATION no_packets = *p;
  no_packets.MaximumPacketSize = 0;
  EXPECT_EQ(reader->start(&no_packets, 8), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(transfers().size(), 0u);
  ASSERT_TRUE(start8(p));
}

}  // namespace
