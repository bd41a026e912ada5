// System threads, thread objects and the handle table.
#include <gtest/gtest.h>

#include <kstandin/testing_io.h>

#include <atomic>

#include "platform_support.h"
#include "verifier_listener.h"

namespace {

struct thread_probe {
  KIRQL irql = HIGH_LEVEL;
  PETHREAD self = nullptr;
  std::atomic<bool> before_terminate{false};
  std::atomic<bool> after_terminate{false};
};

// A driver helper a few frames below the start routine ends the thread.
void end_thread_from_helper(thread_probe* probe) {
  probe->before_terminate = true;
  PsTerminateSystemThread(STATUS_SUCCESS);
  probe->after_terminate = true;  // never runs
}

VOID terminating_routine(PVOID context) {
  auto* probe = static_cast<thread_probe*>(context);
  probe->irql = KeGetCurrentIrql();
  probe->self = PsGetCurrentThread();
  end_thread_from_helper(probe);
  probe->after_terminate = true;  // never runs
}

VOID returning_routine(PVOID context) {
  static_cast<thread_probe*>(context)->before_terminate = true;
}

// Starts `routine`, waits for the thread's end through its object, closes
// the handle, and returns the thread object pointer for comparison.
PVOID run_and_wait(PKSTART_ROUTINE routine, thread_probe* probe) {
  OBJECT_ATTRIBUTES attributes = pltest::attributes_of(nullptr);
  HANDLE handle = nullptr;
  CLIENT_ID client{};
  EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, &client,
                                 routine, probe),
            STATUS_SUCCESS);
  EXPECT_NE(client.UniqueThread, nullptr);
  PVOID object = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object,
                                      nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(pltest::wait_ms(object, 10000), STATUS_SUCCESS);
  ObDereferenceObject(object);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  return object;
}

TEST(ThreadSystem, TerminatedThreadEndsAtOnceAndSignalsItsObject) {
  const size_t handles = kstandin::open_handle_count();
  thread_probe probe;
  PVOID object = run_and_wait(terminating_routine, &probe);
  EXPECT_TRUE(probe.before_terminate);
  EXPECT_FALSE(probe.after_terminate);
  EXPECT_EQ(probe.irql, PASSIVE_LEVEL);
  EXPECT_EQ((PVOID)probe.self, object);  // PsGetCurrentThread is the waitable object
  EXPECT_NE((PVOID)PsGetCurrentThread(), object);
  EXPECT_EQ(kstandin::open_handle_count(), handles);
}

TEST(ThreadSystem, ThreadThatReturnsEndsAndItsObjectOutlivesItsHandleWhileReferenced) {
  thread_probe probe;
  HANDLE handle = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                 returning_routine, &probe),
            STATUS_SUCCESS);
  PVOID object = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, KernelMode, &object, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  // The handle is gone, the referenced object is still waitable.
  EXPECT_EQ(pltest::wait_on(object), STATUS_SUCCESS);
  EXPECT_TRUE(probe.before_terminate);
  ObDereferenceObject(object);
}

TEST(ThreadHandles, UnknownAndMistypedHandlesAreRefused) {
  EXPECT_EQ(ZwClose((HANDLE)(ULONG_PTR)0x1234), STATUS_INVALID_HANDLE);
  EXPECT_TRUE(tvtest::take_violation("invalid_handle"));

  HANDLE key = nullptr;
  pltest::ustring name(L"\\Registry\\Machine\\Software");
  OBJECT_ATTRIBUTES attributes = pltest::attributes_of(&name.s);
  ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_SUCCESS);
  PVOID object = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(key, SYNCHRONIZE, *PsThreadType, KernelMode, &object,
                                      nullptr),
            STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);  // closing twice
  EXPECT_TRUE(tvtest::take_violation("invalid_handle"));
  EXPECT_EQ(ObReferenceObjectByHandle(key, SYNCHRONIZE, nullptr, KernelMode, &object, nullptr),
            STATUS_INVALID_HANDLE);
}

}  // namespace
