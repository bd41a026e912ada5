// tvcam cpu: the processor feature mask, bit by bit.
#include <stdint.h>

#include "cli.h"
#include "commands.h"
#include "img/cpu_features.h"

namespace tvcam {

namespace {

struct feature_name {
  uint32_t bit;
  const char* name;
};

const feature_name kFeatures[] = {
    {img::cpu_mmx, "MMX"},       {img::cpu_sse, "SSE"},       {img::cpu_sse2, "SSE2"},
    {img::cpu_sse3, "SSE3"},     {img::cpu_ssse3, "SSSE3"},   {img::cpu_sse41, "SSE4.1"},
    {img::cpu_sse42, "SSE4.2"},  {img::cpu_avx, "AVX"},       {img::cpu_avx2, "AVX2"},
    {img::cpu_fma, "FMA"},       {img::cpu_avx512, "AVX-512"}, {img::cpu_avx512vnni, "VNNI"},
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

int cmd_cpu(const context& ctx, parsed_args&) {
  FILE* const out = ctx.out;
  const uint32_t mask = img::get_cpu_features();
  std::fprintf(out, "processor feature mask: 0x%08x\n", static_cast<unsigned>(mask));
  for (const feature_name& f : kFeatures) {
    std::fprintf(out, "  bit %2d  %-7s %s\n", bit_index(f.bit), f.name, (mask & f.bit) ? "yes" : "no");
  }
  return kExitOk;
}

command cpu_command() {
  return {"cpu", "print the processor feature mask",
          "The processor features the image library selects its variants by, bit by bit.", {}, {}, "", cmd_cpu};
}

}  // namespace tvcam
