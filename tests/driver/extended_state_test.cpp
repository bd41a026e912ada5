// The guarded entry to the AVX2 and AVX-512 image kernels: the widest state
// that the mask and the kernel allow is saved around the work exactly when
// the mask has feature level 8 and the IRQL allows it, the image library
// hears that it may use that state only there, and a frame through it runs
// the vector kernels with saved state and gives the plain result.
#include <gtest/gtest.h>

#include <kstandin/testing_xstate.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "img/cpu_features.h"
#include "kernel/extended_state.h"
#include "verifier_listener.h"

namespace {

// Every AVX2 and AVX-512 kernel entered is checked against the thread's saves.
struct avx_entries_checked {
  avx_entries_checked()
      : previous(img::set_avx_entry_handler(kstandin::check_avx_entry)),
        previous512(img::set_avx512_entry_handler(kstandin::check_avx512_entry)) {}
  ~avx_entries_checked() {
    img::set_avx_entry_handler(previous);
    img::set_avx512_entry_handler(previous512);
  }
  img::avx_entry_handler previous, previous512;
};

struct seen {
  ULONG features = 0;
  unsigned saves = 0;
  int calls = 0;
};

// Records what the work was given; a word given without the save it stands
// for is reported by the verifier (and fails the test).
void record(PVOID context, ULONG features) {
  seen& s = *static_cast<seen*>(context);
  s.features = features, s.saves = kstandin::xstate_saves_held(), ++s.calls;
  if (img::avx2_allowed(features)) kstandin::check_avx_entry("record");
  if (img::avx512_allowed(features)) kstandin::check_avx512_entry("record");
}

constexpr ULONG kLevel8 = img::cpu_sse2 | img::cpu_ssse3 | img::cpu_sse41 | img::cpu_level8;
constexpr ULONG kAvx512 = kLevel8 | img::cpu_avx512;
constexpr ULONG kCallerWords = img::cpu_ymm_state_saved | img::cpu_zmm_state_saved;

TEST(GuardedEntry, SavesTheWidestStateTheMaskAndTheKernelAllowOnlyAtPassiveOrApcLevel) {
  enum word { none, avx2, avx512 };
  struct {
    ULONG mask;
    bool dispatch;
    uint64_t failed_saves;
    word given;
  } const cases[] = {
      {kAvx512, false, 0, avx512},
      {kLevel8, false, 0, avx2},
      {kLevel8 & ~img::cpu_fma, false, 0, none},                       // level 7
      {img::cpu_sse41 | img::cpu_avx512, false, 0, none},              // AVX-512 needs level 8 too
      {img::allow_avx512(img::cpu_sse41 | img::cpu_avx512), false, 0, none},  // the caller's words are ignored
      {img::allow_avx512(kLevel8), false, 0, avx2},
      {kAvx512, false, 1, avx2},                                       // the AVX-512 save failed: AVX alone
      {kAvx512, false, 2, none},                                       // both failed: SSE only
      {kLevel8, false, 1, none},
      {kAvx512, true, 0, none},                                        // never at DISPATCH_LEVEL
  };
  for (const auto& c : cases) {
    seen s;
    kstandin::fail_next_xstate_saves(c.failed_saves);
    KIRQL old = PASSIVE_LEVEL;
    if (c.dispatch) KeRaiseIrql(DISPATCH_LEVEL, &old);
    run_with_extended_state(c.mask, record, &s);
    if (c.dispatch) KeLowerIrql(old);
    const ULONG base = c.mask & ~kCallerWords;
    const ULONG expected = c.given == avx512 ? img::allow_avx512(base) : c.given == avx2 ? img::allow_avx(base) : base;
    EXPECT_EQ(s.calls, 1);
    EXPECT_EQ(s.features, expected) << std::hex << c.mask << " with " << c.failed_saves << " failed save(s)";
    EXPECT_EQ(s.saves, c.given != none ? 1u : 0u);
    EXPECT_EQ(kstandin::xstate_saves_held(), 0u);
  }
  kstandin::fail_next_xstate_saves(0);
}

TEST(GuardedEntry, FramesRunTheVectorKernelsWithSavedStateAndGiveThePlainResult) {
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
  params->cpu_features = 0;
  img::transform(plain, src, *params, nullptr);
  // AVX2 alone, then (where the processor has it) AVX-512: each frame with
  // the state it uses saved, each the plain result.
  const bool has_avx512 = (cpu & img::cpu_avx512) != 0;
  for (const uint32_t mask : {cpu & ~img::cpu_avx512, cpu}) {
    if (mask == cpu && !has_avx512) break;
    raw = original;
    std::fill(a.begin(), a.end(), 0);
    params->cpu_features = mask;
    transform_with_extended_state(dst, src, *params, nullptr);
    EXPECT_EQ(params->cpu_features, mask);
    EXPECT_EQ(a, b) << std::hex << mask;
  }
  // The same kernels told that the state is saved when it is not.
  raw = original;
  params->cpu_features = img::allow_avx(cpu & ~img::cpu_avx512);
  img::transform(dst, src, *params, nullptr);
  EXPECT_TRUE(tvtest::take_violation("avx_without_saved_state"));
  if (!has_avx512) GTEST_SKIP() << "processor without AVX-512: its frame was not run";
}

}  // namespace
