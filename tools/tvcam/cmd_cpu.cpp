// tvcam cpu: the processor feature mask, bit by bit.
#include <stdint.h>

#include "cli.h"
#include "commands.h"
#include "img/cpu_features.h"

namespace tvcam {

const char kCpuUsage[] = "usage: tvcam cpu\n";

namespace {

struct feature_name {
  uint32_t bit;
  const char* name;
};

const feature_name kFeatures[] = {
    {img::cpu_mmx, "MMX"},       {img::cpu_sse, "SSE"},       {img::cpu_sse2, "SSE2"},
    {img::cpu_sse3, "SSE3"},     {img::cpu_ssse3, "SSSE3"},   {img::cpu_sse41, "SSE4.1"},
    {img::cpu_sse42, "SSE4.2"},  {img::cpu_avx, "AVX"},       {img::cpu_avx2, "AVX2"},
    {img::cpu_fma, "FMA"},
};

int bit_index(uint32_t bit) {
  int i = 0;
  while (bit > 1) {
    bit >>= 1;
    ++i;
  }
  return i;
}

}  // namespace

int cmd_cpu(const context& ctx, int argc, char** argv) {
  FILE* const out = ctx.out;
  FILE* const err = ctx.err;
  if (argc > 0) return usage_error(err, "cpu", std::string("unexpected argument '") + argv[0] + "'");
  const uint32_t mask = img::get_cpu_features();
  std::fprintf(out, "processor feature mask: 0x%08x\n", static_cast<unsigned>(mask));
  for (const feature_name& f : kFeatures) {
    std::fprintf(out, "  bit %2d  %-7s %s\n", bit_index(f.bit), f.name, (mask & f.bit) ? "yes" : "no");
  }
  return kExitOk;
}

}  // namespace tvcam
