// Pool accounting (what every test's leak check stands on), forced
// allocation failures, and the lists of the stand-in.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "verifier_listener.h"

namespace {

constexpr ULONG kTagA = 0x63767541;  // 'Auvc'
constexpr ULONG kTagB = 0x75766350;  // 'Pcvu'

TEST(CorePool, AccountsLiveBlocksPerTagSinceASnapshotFromAnyThread) {
  const auto before = kstandin::take_pool_snapshot();
  void* a1 = ExAllocatePoolWithTag(NonPagedPoolNx, 10, kTagA);
  void* a2 = ExAllocatePoolWithTag(PagedPool, 50, kTagA);
  void* b = ExAllocatePoolWithTag(NonPagedPoolCacheAligned, 100, kTagB);
  ASSERT_TRUE(a1 && a2 && b);
  EXPECT_EQ((uintptr_t)b % 64, 0u);
  EXPECT_NE(static_cast<unsigned char*>(a1)[0], 0);  // pool memory is not zeroed
  EXPECT_EQ(kstandin::allocations_since(before), 3u);
  const auto leaks = kstandin::leaks_since(before);
  EXPECT_EQ(leaks.size(), 2u);
  EXPECT_NE(kstandin::describe(leaks).find("tag 'Auvc': 2 blocks, 60 bytes"), std::string::npos);

  const auto middle = kstandin::take_pool_snapshot();
  ExFreePoolWithTag(a1, kTagA);
  EXPECT_TRUE(kstandin::leaks_since(middle).empty());  // older blocks do not count
  ExFreePool(a2);
  ExFreePoolWithTag(b, kTagB);
  EXPECT_TRUE(kstandin::leaks_since(before).empty());

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
      for (void* block : blocks) ExFreePoolWithTag(block, kTagA);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(kstandin::allocations_since(middle), 2000u);
  EXPECT_TRUE(kstandin::leaks_since(before).empty());
}

TEST(CorePool, ForcedFailuresHitTheirTagAndThenStop) {
  kstandin::fail_next_allocations(2, kTagA);
  void* other = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagB);
  EXPECT_NE(other, nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA), nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA), nullptr);
  void* third = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
  EXPECT_NE(third, nullptr);
  kstandin::fail_next_allocations(1);  // of any tag
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagB), nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, (SIZE_T)1 << 40, kTagA), nullptr);
  ExFreePoolWithTag(other, kTagB);
  ExFreePoolWithTag(third, kTagA);
}

struct item {
  LIST_ENTRY link;
  int value;
};

TEST(CoreList, InterlockedProducerAndConsumerKeepOrderAndListsReturnNeighbours) {
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
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
  EXPECT_TRUE(KeTestSpinLock(&lock));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  // The interlocked forms return the previous first (or last) entry.
  EXPECT_EQ(ExInterlockedInsertHeadList(&head, &items[0].link, &lock), nullptr);
  EXPECT_EQ(ExInterlockedInsertHeadList(&head, &items[1].link, &lock), &items[0].link);
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &items[2].link, &lock), &items[0].link);
  // The plain ones: RemoveEntryList says whether the list is now empty.
  EXPECT_EQ(RemoveTailList(&head), &items[2].link);
  EXPECT_FALSE(RemoveEntryList(&items[1].link));
  EXPECT_TRUE(RemoveEntryList(&items[0].link));
  EXPECT_TRUE(IsListEmpty(&head));
}

}  // namespace
