// memcpy at the traffic of the 1920x1080 kernels: copying n bytes reads n
// and writes n, so memcpy/<traffic> copies half the bytes a kernel reads and
// writes per frame. The summary of bench.sh sets each kernel's bandwidth
// beside the copy of the same traffic.
#include <benchmark/benchmark.h>

#include <stdint.h>
#include <string.h>

#include <vector>

namespace {

constexpr int64_t kPixels = int64_t{1920} * 1080;

void copy(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0)) / 2;
  std::vector<uint8_t> src(n, 0x5A), dst(n);
  for (auto _ : state) {
    memcpy(dst.data(), src.data(), n);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

}  // namespace

// Traffic in bytes per pixel: 1 + 1, 1.5 + 2, 1 + 3 (and 2 + 2), 1 + 4, 2 + 6, 2 + 8.
BENCHMARK(copy)
    ->Name("memcpy")
    ->Arg(2 * kPixels)
    ->Arg(kPixels * 7 / 2)
    ->Arg(4 * kPixels)
    ->Arg(5 * kPixels)
    ->Arg(8 * kPixels)
    ->Arg(10 * kPixels)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
