// The guarded entry to the AVX2 image kernels: the AVX state is saved around
// the work exactly when the mask has feature level 8 and the IRQL allows it,
// the image library hears that it may use it only there, and a frame through
// it runs the AVX2 kernels with saved state and gives the plain result.
#include <gtest/gtest.h>

#include <kstandin/testing_xstate.h>

#include <memory>
#include <vector>

#include "img/cpu_features.h"
#include "kernel/extended_state.h"
#include "verifier_listener.h"

namespace {

// Every AVX2 kernel entered is checked against the thread's saves.
struct avx_entries_checked {
  avx_entries_checked() : previous(img::set_avx_entry_handler(kstandin::check_avx_entry)) {}
  ~avx_entries_checked() { img::set_avx_entry_handler(previous); }
  img::avx_entry_handler previous;
};

struct seen {
  ULONG features = 0;
  unsigned saves = 0;
  int calls = 0;
};

void record(PVOID context, ULONG features) {
  seen& s = *static_cast<seen*>(context);
  s.features = features, s.saves = kstandin::xstate_saves_held(), ++s.calls;
}

constexpr ULONG kLevel8 = img::cpu_sse2 | img::cpu_ssse3 | img::cpu_sse41 | img::cpu_level8;

TEST(GuardedEntry, SavesTheAvxStateOnlyForLevel8AtPassiveOrApcLevel) {
  struct {
    ULONG mask;
    bool dispatch, fail_save, allowed;
  } const cases[] = {
      {kLevel8, false, false, true},
      {kLevel8 & ~img::cpu_fma, false, false, false},           // level 7
      {img::allow_avx(img::cpu_sse41), false, false, false},    // the caller's own word is ignored
      {kLevel8, true, false, false},                            // never at DISPATCH_LEVEL
      {kLevel8, false, true, false},                            // a failed save: SSE only
  };
  for (const auto& c : cases) {
    seen s;
    kstandin::fail_next_xstate_saves(c.fail_save ? 1 : 0);
    KIRQL old = PASSIVE_LEVEL;
    if (c.dispatch) KeRaiseIrql(DISPATCH_LEVEL, &old);
    run_with_extended_state(c.mask, record, &s);
    if (c.dispatch) KeLowerIrql(old);
    EXPECT_EQ(s.calls, 1);
    EXPECT_EQ(img::avx2_allowed(s.features), c.allowed) << std::hex << c.mask;
    EXPECT_EQ(s.saves, c.allowed ? 1u : 0u);
    EXPECT_EQ(s.features & ~img::cpu_ymm_state_saved, c.mask & ~img::cpu_ymm_state_saved);
    EXPECT_EQ(kstandin::xstate_saves_held(), 0u);
  }
  kstandin::fail_next_xstate_saves(0);
}

TEST(GuardedEntry, FramesRunTheAvx2KernelsWithSavedStateAndGiveThePlainResult) {
  const uint32_t cpu = img::get_cpu_features();
  if ((cpu & img::cpu_level8) != img::cpu_level8) GTEST_SKIP() << "processor without feature level 8";
  avx_entries_checked checked;
  const int w = 96, h = 8;
  img::img_descriptor src{}, dst{}, plain{};
  static_cast<img::img_type&>(src) = img::make_img_type(img::FOURCC_GBRG16, w, h);
  static_cast<img::img_type&>(dst) = static_cast<img::img_type&>(plain) = img::make_img_type(img::FOURCC_RGB64, w, h);
  std::vector<uint8_t> raw(static_cast<size_t>(src.buffer_length)), a(static_cast<size_t>(dst.buffer_length)),
      b(a.size());
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<uint8_t>(i * 7919 >> 3);
  src.data = raw.data(), dst.data = a.data(), plain.data = b.data();
  std::unique_ptr<img::transform_params> params(new img::transform_params());
  std::vector<uint8_t> scratch(static_cast<size_t>(img::get_scratch_space_size(dst, src)));
  params->scratch_space = scratch.data();
  params->scratch_space_len = static_cast<int32_t>(scratch.size());
  params->saturation = 20, params->contrast = 30, params->wb_enable = 1, params->wb_gain_r = 80;
  const std::vector<uint8_t> original = raw;  // white balance works on the source in place
  params->cpu_features = cpu;
  transform_with_extended_state(dst, src, *params, nullptr);
  EXPECT_EQ(params->cpu_features, cpu);
  raw = original;
  params->cpu_features = 0;
  img::transform(plain, src, *params, nullptr);
  EXPECT_EQ(a, b);
  // The same kernels told that the state is saved when it is not.
  params->cpu_features = img::allow_avx(cpu);
  img::transform(dst, src, *params, nullptr);
  EXPECT_TRUE(tvtest::take_violation("avx_without_saved_state"));
}

}  // namespace
