// Kernel core of the stand-in: IRQL, spin locks, dispatcher objects, waits
// and clocks, and what becomes of a lock or mutex its owner misuses.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform_support.h"
#include "verifier_listener.h"

namespace {

using pltest::relative_ms;
using pltest::wait_on;

LARGE_INTEGER zero{};  // a zero time-out

TEST(CoreIrql, EachThreadHasItsOwnIrql) {
  KIRQL old = HIGH_LEVEL;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KIRQL other = HIGH_LEVEL;
  std::thread([&] { other = KeGetCurrentIrql(); }).join();
  EXPECT_EQ(other, PASSIVE_LEVEL);
  KeLowerIrql(old);
}

TEST(CoreSync, SpinLocksAndMutexesSerialiseThreadsAtTheirIrql) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  long counter = 0, under_mutex = 0;  // not atomic: the locks are the only guard
  std::atomic<int> wrong_irql{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        if (KeGetCurrentIrql() != DISPATCH_LEVEL) ++wrong_irql;
        ++counter;
        KeReleaseSpinLock(&lock, old);
        if (KeGetCurrentIrql() != PASSIVE_LEVEL) ++wrong_irql;
        if (i % 2) continue;
        wait_on(&mutex);
        ++under_mutex;
        KeReleaseMutex(&mutex, FALSE);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 20000);
  EXPECT_EQ(under_mutex, 10000);
  EXPECT_EQ(wrong_irql.load(), 0);
  EXPECT_TRUE(KeTestSpinLock(&lock));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(CoreSpinLock, MisuseIsReportedWithoutDeadlock) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  // A second acquisition by the owner is reported; the lock stays held until
  // the outer release.
  KeAcquireSpinLock(&lock, &old);
  KIRQL inner;
  KeAcquireSpinLock(&lock, &inner);
  EXPECT_TRUE(tvtest::take_violation("spin_lock_recursion"));
  KeReleaseSpinLock(&lock, inner);
  EXPECT_FALSE(KeTestSpinLock(&lock));

  // Another thread can neither take nor release it.
  BOOLEAN other_got_it = TRUE;
  std::thread([&] {
    KIRQL o = KeRaiseIrqlToDpcLevel();
    other_got_it = KeTryToAcquireSpinLockAtDpcLevel(&lock);
    KeReleaseSpinLockFromDpcLevel(&lock);
    KeLowerIrql(o);
  }).join();
  EXPECT_FALSE(other_got_it);
  EXPECT_TRUE(tvtest::take_violation("spin_lock_not_held"));
  EXPECT_FALSE(KeTestSpinLock(&lock));

  KeReleaseSpinLock(&lock, old);
  EXPECT_TRUE(KeTestSpinLock(&lock));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(CoreEvent, NotificationStaysSignalledSynchronizationReleasesOne) {
  KEVENT notification, synchronization;
  KeInitializeEvent(&notification, NotificationEvent, FALSE);
  KeInitializeEvent(&synchronization, SynchronizationEvent, FALSE);

  EXPECT_EQ(wait_on(&notification, &zero), STATUS_TIMEOUT);
  EXPECT_EQ(KeSetEvent(&notification, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(wait_on(&notification, &zero), STATUS_SUCCESS);
  EXPECT_EQ(wait_on(&notification), STATUS_SUCCESS);
  EXPECT_EQ(KeResetEvent(&notification), 1);
  EXPECT_EQ(KeReadStateEvent(&notification), 0);

  KeSetEvent(&synchronization, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(wait_on(&synchronization, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&synchronization), 0);
  EXPECT_EQ(wait_on(&synchronization, &zero), STATUS_TIMEOUT);

  // Each set of a synchronization event lets exactly one of the waiters go.
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      wait_on(&synchronization);
      ++woken;
    });
  }
  for (int i = 1; i <= 3; ++i) {
    KeSetEvent(&synchronization, IO_NO_INCREMENT, FALSE);
    while (woken.load() < i) std::this_thread::yield();
    EXPECT_EQ(woken.load(), i);
  }
  for (auto& t : waiters) t.join();
  EXPECT_EQ(KeReadStateEvent(&synchronization), 0);
}

TEST(CoreEvent, TimeOutsRelativeAndAbsolute) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  const auto start = std::chrono::steady_clock::now();
  LARGE_INTEGER relative = relative_ms(20);
  EXPECT_EQ(wait_on(&event, &relative), STATUS_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));

  LARGE_INTEGER absolute;
  KeQuerySystemTime(&absolute);
  absolute.QuadPart += 20 * 10000;
  EXPECT_EQ(wait_on(&event, &absolute), STATUS_TIMEOUT);
  absolute.QuadPart -= 3600LL * 10000000;  // in the past: only a test
  EXPECT_EQ(wait_on(&event, &absolute), STATUS_TIMEOUT);

  std::thread setter([&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
  LARGE_INTEGER long_wait = relative_ms(10000);
  EXPECT_EQ(wait_on(&event, &long_wait), STATUS_SUCCESS);
  setter.join();
}

TEST(CoreMutex, OwnerMayRecurseOthersMayNotReleaseOrTake) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  EXPECT_EQ(KeReadStateMutex(&mutex), 1);
  EXPECT_EQ(wait_on(&mutex), STATUS_SUCCESS);
  EXPECT_EQ(wait_on(&mutex), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateMutex(&mutex), -1);

  auto other_takes = [&] {  // and releases, owner or not
    NTSTATUS status;
    std::thread([&] {
      status = wait_on(&mutex, &zero);
      KeReleaseMutex(&mutex, FALSE);
    }).join();
    return status;
  };
  EXPECT_EQ(other_takes(), STATUS_TIMEOUT);
  EXPECT_TRUE(tvtest::take_violation("mutex_not_owner"));
  EXPECT_EQ(KeReadStateMutex(&mutex), -1);

  EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -1);
  EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
  EXPECT_EQ(KeReadStateMutex(&mutex), 1);
  EXPECT_EQ(mutex.OwnerThread, nullptr);

  EXPECT_EQ(other_takes(), STATUS_SUCCESS);
}

TEST(CoreTime, ClocksAndUnits) {
  LARGE_INTEGER frequency;
  const LARGE_INTEGER first = KeQueryPerformanceCounter(&frequency);
  EXPECT_EQ(frequency.QuadPart, 10000000);
  LARGE_INTEGER delay = relative_ms(2);
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
  const LARGE_INTEGER second = KeQueryPerformanceCounter(NULL);
  EXPECT_GE(second.QuadPart - first.QuadPart, 2 * 10000);

  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  const LONGLONG unix_seconds = (now.QuadPart - 116444736000000000LL) / 10000000;
  EXPECT_NEAR((double)unix_seconds, (double)time(nullptr), 2.0);
}

}  // namespace
