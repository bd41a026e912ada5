// Pool accounting and checks, and the interlocked lists of the stand-in.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "verifier_listener.h"

namespace {

constexpr ULONG kTagA = 0x63767541;  // 'Auvc'
constexpr ULONG kTagB = 0x75766350;  // 'Pcvu'

TEST(CorePool, AccountsLiveBlocksPerTagSinceASnapshot) {
  const auto before = kstandin::take_pool_snapshot();
  void* a1 = ExAllocatePoolWithTag(NonPagedPoolNx, 10, kTagA);
  void* a2 = ExAllocatePoolWithTag(NonPagedPoolNx, 20, kTagA);
  void* a3 = ExAllocatePoolWithTag(PagedPool, 30, kTagA);
  void* b = ExAllocatePoolWithTag(NonPagedPoolCacheAligned, 100, kTagB);
  ASSERT_TRUE(a1 && a2 && a3 && b);
  EXPECT_EQ((uintptr_t)b % 64, 0u);
  EXPECT_NE(static_cast<unsigned char*>(a1)[0], 0);  // pool memory is not zeroed

  EXPECT_EQ(kstandin::allocations_since(before), 4u);
  auto leaks = kstandin::leaks_since(before);
  ASSERT_EQ(leaks.size(), 2u);
  const auto& usage_a = leaks[0].tag == kTagA ? leaks[0] : leaks[1];
  EXPECT_EQ(usage_a.live_count, 3u);
  EXPECT_EQ(usage_a.live_bytes, 60u);
  EXPECT_NE(kstandin::describe(leaks).find("tag 'Auvc': 3 blocks, 60 bytes"), std::string::npos);

  const auto middle = kstandin::take_pool_snapshot();
  ExFreePoolWithTag(a1, kTagA);
  ExFreePool(a2);
  EXPECT_TRUE(kstandin::leaks_since(middle).empty());  // older blocks do not count
  ExFreePoolWithTag(a3, kTagA);
  ExFreePoolWithTag(b, kTagB);
  EXPECT_TRUE(kstandin::leaks_since(before).empty());
  EXPECT_EQ(kstandin::allocations_since(middle), 0u);
}

TEST(CorePool, MisuseIsReportedAndNeverFreesTwice) {
  void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagA);
  ASSERT_NE(block, nullptr);
  ExFreePoolWithTag(block, kTagB);
  EXPECT_TRUE(tvtest::take_violation("pool_tag_mismatch"));
  ExFreePoolWithTag(block, kTagA);  // already freed above: reported, not passed on
  EXPECT_TRUE(tvtest::take_violation("pool_double_free"));
  int on_stack = 0;
  ExFreePool(&on_stack);
  EXPECT_TRUE(tvtest::take_violation("pool_double_free"));

  const KIRQL old = KeRaiseIrqlToDpcLevel();
  void* nonpaged = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
  EXPECT_TRUE(kstandin::take_violations().empty());
  void* paged = ExAllocatePoolWithTag(PagedPool, 8, kTagA);
  EXPECT_TRUE(tvtest::take_violation("paged_pool_at_dispatch"));
  ExFreePoolWithTag(nonpaged, kTagA);
  KeLowerIrql(old);
  ExFreePoolWithTag(paged, kTagA);
}

TEST(CorePool, FailNextAllocationsByTag) {
  kstandin::fail_next_allocations(2, kTagA);
  void* other = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagB);
  EXPECT_NE(other, nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA), nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA), nullptr);
  void* third = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
  EXPECT_NE(third, nullptr);
  ExFreePoolWithTag(other, kTagB);
  ExFreePoolWithTag(third, kTagA);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, (SIZE_T)1 << 40, kTagA), nullptr);

  kstandin::fail_next_allocations(1);
  UNICODE_STRING out{};
  ANSI_STRING in;
  RtlInitAnsiString(&in, "abc");
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&out, &in, TRUE), STATUS_NO_MEMORY);
}

TEST(CorePool, ConcurrentAllocationsBalance) {
  const auto before = kstandin::take_pool_snapshot();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      std::vector<void*> blocks;
      for (int i = 0; i < 500; ++i) {
        blocks.push_back(ExAllocatePoolWithTag(NonPagedPoolNx, 1 + (i * 7 + t) % 97, kTagA));
        if (i % 3 == 0) {
          ExFreePoolWithTag(blocks.back(), kTagA);
          blocks.pop_back();
        }
      }
      for (void* b : blocks) ExFreePoolWithTag(b, kTagA);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(kstandin::allocations_since(before), 2000u);
  EXPECT_TRUE(kstandin::leaks_since(before).empty());
}

struct item {
  LIST_ENTRY link;
  int value;
};

TEST(CoreInterlockedList, ProducerAndConsumerKeepOrder) {
  LIST_ENTRY head;
  InitializeListHead(&head);
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  constexpr int kCount = 5000;
  std::vector<item> items(kCount);

  std::thread producer([&] {
    for (int i = 0; i < kCount; ++i) {
      items[i].value = i;
      ExInterlockedInsertTailList(&head, &items[i].link, &lock);
    }
  });
  int expected = 0;
  bool in_order = true;
  while (expected < kCount) {
    PLIST_ENTRY entry = ExInterlockedRemoveHeadList(&head, &lock);
    if (entry == nullptr) {
      std::this_thread::yield();
      continue;
    }
    in_order = in_order && CONTAINING_RECORD(entry, item, link)->value == expected;
    ++expected;
  }
  producer.join();
  EXPECT_TRUE(in_order);
  EXPECT_TRUE(IsListEmpty(&head));
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  // Return values: the previous first (or last) entry, NULL on an empty list.
  EXPECT_EQ(ExInterlockedInsertHeadList(&head, &items[0].link, &lock), nullptr);
  EXPECT_EQ(ExInterlockedInsertHeadList(&head, &items[1].link, &lock), &items[0].link);
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &items[2].link, &lock), &items[0].link);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &items[1].link);

  SINGLE_LIST_ENTRY stack{nullptr};
  SINGLE_LIST_ENTRY s1, s2;
  EXPECT_EQ(ExInterlockedPushEntryList(&stack, &s1, &lock), nullptr);
  EXPECT_EQ(ExInterlockedPushEntryList(&stack, &s2, &lock), &s1);
  EXPECT_EQ(ExInterlockedPopEntryList(&stack, &lock), &s2);
  EXPECT_EQ(ExInterlockedPopEntryList(&stack, &lock), &s1);
  EXPECT_EQ(ExInterlockedPopEntryList(&stack, &lock), nullptr);
  EXPECT_TRUE(KeTestSpinLock(&lock));
}

}  // namespace
