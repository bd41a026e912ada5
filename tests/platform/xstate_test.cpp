// The extended processor state: saves nest per thread and are checked like
// the kernel's rules for AVX code: a save above APC_LEVEL, a restore of
// anything but the thread's latest save, a save a thread or callback leaves
// behind, and an AVX kernel entered without saved state are each reported.
#include <gtest/gtest.h>

#include <kstandin/testing_xstate.h>

#include "platform_support.h"
#include "verifier_listener.h"

namespace {

VOID save_and_return(PVOID context) {
  KeSaveExtendedProcessorState(XSTATE_MASK_AVX, static_cast<PXSTATE_SAVE>(context));
}

TEST(ExtendedState, SavesNestPerThreadAndAvxNeedsOne) {
  kstandin::check_avx_entry("outside");
  EXPECT_TRUE(tvtest::take_violation("avx_without_saved_state"));
  XSTATE_SAVE outer, inner;
  ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_LEGACY, &outer), STATUS_SUCCESS);
  kstandin::check_avx_entry("legacy state only");
  EXPECT_TRUE(tvtest::take_violation("avx_without_saved_state"));
  ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &inner), STATUS_SUCCESS);
  EXPECT_EQ(inner.Prev, &outer);
  EXPECT_EQ(inner.Thread, KeGetCurrentThread());
  EXPECT_EQ(inner.Level, 2);
  EXPECT_EQ(kstandin::xstate_saves_held(), 2u);
  kstandin::check_avx_entry("inside");  // no report
  KeRestoreExtendedProcessorState(&inner);
  KeRestoreExtendedProcessorState(&outer);
  EXPECT_EQ(kstandin::xstate_saves_held(), 0u);
  // A forced failure records nothing.
  kstandin::fail_next_xstate_saves(1);
  EXPECT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &outer), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(kstandin::xstate_saves_held(), 0u);
}

TEST(ExtendedState, BrokenRulesAreReported) {
  // Above APC_LEVEL (the save is still made, as the kernel would).
  XSTATE_SAVE a, b;
  EXPECT_EQ(pltest::at_dispatch([&] { return KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &a); }),
            STATUS_SUCCESS);
  EXPECT_TRUE(tvtest::take_violation("xstate_save_above_apc_level"));
  // Restoring the older of two saves: reported, both are gone.
  ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &b), STATUS_SUCCESS);
  KeRestoreExtendedProcessorState(&a);
  EXPECT_TRUE(tvtest::take_violation("xstate_restore_mismatch"));
  EXPECT_EQ(kstandin::xstate_saves_held(), 0u);
  // A system thread that ends holding a save.
  XSTATE_SAVE left;
  OBJECT_ATTRIBUTES attributes = pltest::attributes_of(nullptr);
  HANDLE handle = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, save_and_return, &left),
            STATUS_SUCCESS);
  PVOID thread = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(pltest::wait_ms(thread, 10000), STATUS_SUCCESS);
  ObDereferenceObject(thread);
  ZwClose(handle);
  EXPECT_TRUE(tvtest::take_violation("xstate_not_restored"));
}

}  // namespace
