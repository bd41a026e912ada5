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
  virtual int value() const { return 1; }
};

class derived_object : public base_object {
 public:
  ~derived_object() override { ++destroyed; }
  int value() const override { return payload_[7]; }

 private:
  int payload_[8] = {0, 0, 0, 0, 0, 0, 0, 42};
};

uint64_t live_blocks(ULONG tag) {
  for (const auto& usage : kstandin::take_pool_snapshot().live) {
    if (usage.tag == tag) return usage.live_count;
  }
  return 0;
}

TEST(KernelNew, ObjectLivesInATaggedPoolBlockAndAnExhaustedPoolYieldsNull) {
  constructed = destroyed = 0;
  base_object* object = new (NonPagedPoolNx, kTag) derived_object;
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(constructed, 1);
  EXPECT_EQ(object->value(), 42);
  EXPECT_EQ(live_blocks(kTag), 1u);
  delete object;  // through the base: both destructors, then the pool
  EXPECT_EQ(destroyed, 2);
  EXPECT_EQ(live_blocks(kTag), 0u);

  // A failed allocation runs no constructor; the next one succeeds again.
  kstandin::fail_next_allocations(1, kTag);
  EXPECT_EQ(new (NonPagedPoolNx, kTag) derived_object, nullptr);
  EXPECT_EQ(constructed, 1);
  EXPECT_EQ(live_blocks(kTag), 0u);
  object = new (PagedPool, kTag) base_object;
  ASSERT_NE(object, nullptr);
  delete object;
  EXPECT_EQ(destroyed, 3);
}

TEST(KernelNew, PlainRecordsAndArraysComeFromThePoolToo) {
  struct record {
    ULONG a;
    ULONG b;
  };
  record* r = new (NonPagedPoolNx, kTag) record{1, 2};
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->b, 2u);
  UCHAR* bytes = new (NonPagedPoolNx, kTag) UCHAR[64];
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(live_blocks(kTag), 2u);
  ExFreePoolWithTag(bytes, kTag);
  ExFreePoolWithTag(r, kTag);
  EXPECT_EQ(live_blocks(kTag), 0u);

  kstandin::fail_next_allocations(1, kTag);
  EXPECT_EQ(new (NonPagedPoolNx, kTag) UCHAR[16], nullptr);
}

}  // namespace
