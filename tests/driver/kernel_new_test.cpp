// Pool allocation of driver objects (kernel_new.h): the block carries the
// caller's tag, a failed allocation yields null without running the
// constructor, and delete through a base pointer runs the destructors and
// returns the block to the pool.
#include <gtest/gtest.h>

#include "kernel/kernel_api.h"
#include "kernel/kernel_new.h"
#include "kstandin/testing.h"

namespace {

constexpr ULONG kTag = 0x7473654E;  // 'Nest'

int constructed = 0;
int destroyed = 0;

class base_object : public pool_object {
 public:
  base_object() { ++constructed; }
  virtual ~base_object() { ++destroyed; }
};

class derived_object : public base_object {
 public:
  ~derived_object() override { ++destroyed; }
  int payload[8] = {0, 0, 0, 0, 0, 0, 0, 42};
};

uint64_t live_blocks() {
  for (const auto& usage : kstandin::take_pool_snapshot().live) {
    if (usage.tag == kTag) return usage.live_count;
  }
  return 0;
}

TEST(KernelNew, ObjectsAndArraysLiveInTaggedPoolBlocksAndAnExhaustedPoolYieldsNull) {
  constructed = destroyed = 0;
  base_object* object = new (NonPagedPoolNx, kTag) derived_object;
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(static_cast<derived_object*>(object)->payload[7], 42);
  UCHAR* bytes = new (NonPagedPoolNx, kTag) UCHAR[64];
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(live_blocks(), 2u);
  delete object;  // through the base: both destructors, then the pool
  ExFreePoolWithTag(bytes, kTag);
  EXPECT_EQ(destroyed, 2);
  EXPECT_EQ(live_blocks(), 0u);

  // A failed allocation runs no constructor; the next one succeeds again.
  kstandin::fail_next_allocations(2, kTag);
  EXPECT_EQ(new (NonPagedPoolNx, kTag) derived_object, nullptr);
  EXPECT_EQ(new (NonPagedPoolNx, kTag) UCHAR[16], nullptr);
  EXPECT_EQ(constructed, 1);
  object = new (PagedPool, kTag) base_object;
  ASSERT_NE(object, nullptr);
  delete object;
  EXPECT_EQ(destroyed, 3);
}

}  // namespace
