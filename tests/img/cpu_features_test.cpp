// The processor feature mask agrees with what the compiler's own run-time
// detection reports for this processor, and stays the same across calls.
#include <gtest/gtest.h>

#include <utility>

#include "img/cpu_features.h"

namespace {

#if defined(__x86_64__) || defined(__i386__)

TEST(CpuFeatures, MaskMatchesTheCompilersDetection) {
  __builtin_cpu_init();
  const uint32_t mask = img::get_cpu_features();
  const std::pair<uint32_t, bool> expected[] = {
      {img::cpu_mmx, __builtin_cpu_supports("mmx")},       {img::cpu_sse, __builtin_cpu_supports("sse")},
      {img::cpu_sse2, __builtin_cpu_supports("sse2")},     {img::cpu_sse3, __builtin_cpu_supports("sse3")},
      {img::cpu_ssse3, __builtin_cpu_supports("ssse3")},   {img::cpu_sse41, __builtin_cpu_supports("sse4.1")},
      {img::cpu_sse42, __builtin_cpu_supports("sse4.2")},  {img::cpu_avx, __builtin_cpu_supports("avx")},
      {img::cpu_avx2, __builtin_cpu_supports("avx2")},     {img::cpu_fma, __builtin_cpu_supports("fma")},
      {img::cpu_avx512, __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                            __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl")},
      {img::cpu_avx512vnni, (mask & img::cpu_avx512) && __builtin_cpu_supports("avx512vnni")},
  };
  uint32_t all = 0;
  for (const auto& e : expected) {
    EXPECT_EQ((mask & e.first) != 0, e.second) << "bit 0x" << std::hex << e.first;
    all |= e.first;
  }
  EXPECT_EQ(mask & ~all, 0u);
  EXPECT_EQ(img::get_cpu_features(), mask);
}

#endif

}  // namespace
