// System threads, thread objects and the handle table.
#include <gtest/gtest.h>

#include <kstandin/testing_io.h>

#include <atomic>
#include <thread>

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

// Starts `routine` and returns a reference to its thread object, with the
// handle already closed.
PVOID start(PKSTART_ROUTINE routine, thread_probe* probe) {
  HANDLE handle = nullptr;
  CLIENT_ID client{};
  EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, &client, routine,
                                 probe),
            STATUS_SUCCESS);
  EXPECT_NE(client.UniqueThread, nullptr);
  PVOID object = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object,
                                      nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  return object;
}

TEST(ThreadSystem, ThreadEndsByReturnOrTerminationAndItsObjectOutlivesItsHandle) {
  const size_t handles = kstandin::open_handle_count();
  thread_probe terminated, returned;
  PVOID object = start(terminating_routine, &terminated);
  EXPECT_EQ(pltest::wait_ms(object, 10000), STATUS_SUCCESS);
  EXPECT_TRUE(terminated.before_terminate);
  EXPECT_FALSE(terminated.after_terminate);
  EXPECT_EQ(terminated.irql, PASSIVE_LEVEL);
  EXPECT_EQ((PVOID)terminated.self, object);  // PsGetCurrentThread is the waitable object
  EXPECT_NE((PVOID)PsGetCurrentThread(), object);
  ObDereferenceObject(object);

  object = start(returning_routine, &returned);
  EXPECT_EQ(pltest::wait_ms(object, 10000), STATUS_SUCCESS);
  EXPECT_TRUE(returned.before_terminate);
  ObDereferenceObject(object);
  EXPECT_EQ(kstandin::open_handle_count(), handles);

  // Host threads get a thread object of their own on first use.
  PKTHREAD mine = KeGetCurrentThread();
  PKTHREAD other = nullptr;
  std::thread([&] { other = KeGetCurrentThread(); }).join();
  ASSERT_NE(mine, nullptr);
  EXPECT_NE(mine, other);
  EXPECT_EQ(mine->Header.Type, ThreadObject);
  EXPECT_EQ(KeGetCurrentThread(), mine);
}

TEST(ThreadHandles, MistypedAndClosedHandlesAreRefused) {
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
  EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
  EXPECT_TRUE(tvtest::take_violation("invalid_handle"));
  EXPECT_EQ(ObReferenceObjectByHandle(key, SYNCHRONIZE, nullptr, KernelMode, &object, nullptr),
            STATUS_INVALID_HANDLE);
}

}  // namespace
