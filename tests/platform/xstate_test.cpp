// The extended processor state: saves nest per thread and are checked like
// the kernel's rules for AVX code: a save above APC_LEVEL, a restore of
// anything but the thread's latest save, a save a thread or callback leaves
// behind, and an AVX or AVX-512 kernel entered without the state it uses
// saved are each reported.
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
  kstandin::check_avx512_entry("outside");
  EXPECT_TRUE(tvtest::take_violation("avx512_without_saved_state"));
  XSTATE_SAVE outer, inner, wide;
  ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_LEGACY, &outer), STATUS_SUCCESS);
  kstandin::check_avx_entry("legacy state only");
  EXPECT_TRUE(tvtest::take_violation("avx_without_saved_state"));
  ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &inner), STATUS_SUCCESS);
  EXPECT_EQ(inner.Prev, &outer);
  EXPECT_EQ(inner.Thread, KeGetCurrentThread());
  EXPECT_EQ(inner.Level, 2);
  EXPECT_EQ(kstandin::xstate_saves_held(), 2u);
  kstandin::check_avx_entry("inside");  // no report
  // The YMM state alone, or the ZMM state without the opmask registers, is
  // not enough for an AVX-512 kernel.
  kstandin::check_avx512_entry("avx state only");
  EXPECT_TRUE(tvtest::take_violation("avx512_without_saved_state"));
  ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX | (1ULL << XSTATE_AVX512_ZMM_H) |
                                             (1ULL << XSTATE_AVX512_ZMM), &wide),
            STATUS_SUCCESS);
  kstandin::check_avx512_entry("no opmask state");
  EXPECT_TRUE(tvtest::take_violation("avx512_without_saved_state"));
  KeRestoreExtendedProcessorState(&wide);
  ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX | XSTATE_MASK_AVX512, &wide), STATUS_SUCCESS);
  kstandin::check_avx512_entry("inside");  // no report
  kstandin::check_avx_entry("inside");
  KeRestoreExtendedProcessorState(&wide);
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
