// worker_thread: queue order, stop's hand-over, refusal after stop, restart,
// the failed-start path, and posters racing stop.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "kernel/kernel_api.h"
#include "kernel/worker_thread.h"

namespace {

struct test_entry {
  LIST_ENTRY link;  // first, as the worker requires
  int id = 0;
  int poster = 0;
  std::atomic<int> runs{0};
  bool handed_back = false;  // post returned false
};

test_entry* entry_of(PLIST_ENTRY link) { return CONTAINING_RECORD(link, test_entry, link); }

void wait_for(KEVENT* event) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10LL * 1000 * 1000 * 10;  // 10 s, relative
  ASSERT_EQ(KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
}

// Records the order of the runs. Entry 0 holds the worker on `gate`, so the
// entries posted after it queue up behind it.
struct recorder {
  std::mutex mutex;
  std::vector<int> order;
  int raised_irql = 0;  // runs above PASSIVE_LEVEL
  KEVENT gate;
  KEVENT blocked;

  static void callback(PVOID context, PLIST_ENTRY link) {
    auto* self = static_cast<recorder*>(context);
    test_entry* entry = entry_of(link);
    if (entry->id == 0) {
      KeSetEvent(&self->blocked, IO_NO_INCREMENT, FALSE);
      KeWaitForSingleObject(&self->gate, Executive, KernelMode, FALSE, nullptr);
    }
    entry->runs.fetch_add(1);
    std::lock_guard<std::mutex> hold(self->mutex);
    self->order.push_back(entry->id);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) ++self->raised_irql;
  }
};

class WorkerThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KeInitializeEvent(&rec.gate, NotificationEvent, FALSE);
    KeInitializeEvent(&rec.blocked, NotificationEvent, FALSE);
    worker.init();
    ASSERT_EQ(worker.set_callback(recorder::callback, &rec), STATUS_SUCCESS);
    for (int i = 0; i < 8; ++i) entries[i].id = i;
  }
  void TearDown() override { worker.stop(); }

  recorder rec;
  worker_thread worker;
  test_entry entries[8];
};

TEST_F(WorkerThreadTest, StopRunsQueuedEntriesInOrderThenRefusesPosts) {
  ASSERT_EQ(worker.start(), STATUS_SUCCESS);
  EXPECT_EQ(worker.start(), STATUS_INVALID_DEVICE_STATE);  // one thread at a time
  ASSERT_TRUE(worker.post(&entries[0].link));
  wait_for(&rec.blocked);
  for (int i = 1; i <= 4; ++i) ASSERT_TRUE(worker.post(&entries[i].link));

  // stop begins while the thread is held with 1..4 queued behind it; all of
  // them have run by the time it returns.
  KEVENT stopping;
  KeInitializeEvent(&stopping, NotificationEvent, FALSE);
  size_t ran_when_stopped = 0;
  std::thread stopper([&] {
    KeSetEvent(&stopping, IO_NO_INCREMENT, FALSE);
    worker.stop();
    std::lock_guard<std::mutex> hold(rec.mutex);
    ran_when_stopped = rec.order.size();
  });
  wait_for(&stopping);
  KeSetEvent(&rec.gate, IO_NO_INCREMENT, FALSE);
  stopper.join();
  EXPECT_EQ(ran_when_stopped, 5u);
  EXPECT_EQ(rec.order, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(rec.raised_irql, 0);

  // Stopped: refused and not left in the queue; a second stop does nothing.
  EXPECT_FALSE(worker.post(&entries[5].link));
  worker.stop();
  EXPECT_EQ(worker.take(), nullptr);
  EXPECT_EQ(entries[5].runs.load(), 0);

  // Started again, it runs new entries.
  ASSERT_EQ(worker.start(), STATUS_SUCCESS);
  ASSERT_TRUE(worker.post(&entries[6].link));
  worker.stop();
  EXPECT_EQ(entries[6].runs.load(), 1);
}

// The stand-in cannot make PsCreateSystemThread fail on request; a start
// without a callback fails the same way (after resetting the stop flag), so
// it stands in for a failed thread creation after an earlier run.
TEST_F(WorkerThreadTest, AfterFailedStartEntriesWaitForTake) {
  ASSERT_EQ(worker.start(), STATUS_SUCCESS);
  worker.stop();
  ASSERT_EQ(worker.set_callback(nullptr, nullptr), STATUS_SUCCESS);
  ASSERT_FALSE(NT_SUCCESS(worker.start()));

  for (int i = 1; i <= 3; ++i) ASSERT_TRUE(worker.post(&entries[i].link));
  worker.stop();  // no thread: the entries stay queued
  EXPECT_FALSE(worker.post(&entries[4].link));
  for (int i = 1; i <= 3; ++i) {
    PLIST_ENTRY link = worker.take();
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(entry_of(link)->id, i);
    EXPECT_EQ(entry_of(link)->runs.load(), 0);
  }
  EXPECT_EQ(worker.take(), nullptr);
}

// Posters at DISPATCH_LEVEL race stop over many rounds: every entry is run
// exactly once or handed back, never both and never lost, and each poster's
// accepted entries run in the order it posted them.
TEST(WorkerThreadStress, PostersRacingStopRunOrHandBackEveryEntry) {
  constexpr int kPosters = 3;
  constexpr int kPerPoster = 400;
  constexpr int kRounds = 25;
  struct sink {
    std::mutex mutex;
    int last_id[kPosters] = {-1, -1, -1};
    int out_of_order = 0;
    static void callback(PVOID context, PLIST_ENTRY link) {
      auto* self = static_cast<sink*>(context);
      test_entry* entry = entry_of(link);
      entry->runs.fetch_add(1);
      std::lock_guard<std::mutex> hold(self->mutex);
      if (entry->id <= self->last_id[entry->poster]) ++self->out_of_order;
      self->last_id[entry->poster] = entry->id;
    }
  };

  worker_thread worker;
  worker.init();
  for (int round = 0; round < kRounds; ++round) {
    sink s;
    ASSERT_EQ(worker.set_callback(sink::callback, &s), STATUS_SUCCESS);
    ASSERT_EQ(worker.start(), STATUS_SUCCESS);
    std::vector<test_entry> entries(kPosters * kPerPoster);
    std::atomic<int> accepted{0};
    // Stop follows a round-dependent number of accepted posts.
    const int stop_after = 50 + (round * 37) % (kPosters * kPerPoster - 100);
    KEVENT go_stop;
    KeInitializeEvent(&go_stop, NotificationEvent, FALSE);

    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p) {
      posters.emplace_back([&, p] {
        for (int i = 0; i < kPerPoster; ++i) {
          test_entry& e = entries[p * kPerPoster + i];
          e.poster = p;
          e.id = i;
          KIRQL irql;
          KeRaiseIrql(DISPATCH_LEVEL, &irql);
          const bool ok = worker.post(&e.link);
          KeLowerIrql(irql);
          e.handed_back = !ok;
          if (ok && accepted.fetch_add(1) + 1 == stop_after) {
            KeSetEvent(&go_stop, IO_NO_INCREMENT, FALSE);
          }
        }
      });
    }
    wait_for(&go_stop);
    worker.stop();
    for (auto& t : posters) t.join();

    EXPECT_EQ(worker.take(), nullptr);
    int run = 0;
    for (const auto& e : entries) {
      const int runs = e.runs.load();
      ASSERT_TRUE((runs == 1 && !e.handed_back) || (runs == 0 && e.handed_back))
          << "round " << round << " poster " << e.poster << " entry " << e.id << ": runs " << runs
          << ", handed back " << e.handed_back;
      run += runs;
    }
    EXPECT_EQ(run, accepted.load());
    EXPECT_GE(run, stop_after);
    EXPECT_EQ(s.out_of_order, 0);
  }
}

}  // namespace
