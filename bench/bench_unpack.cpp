// Unpacking 12-bit packed Bayer to 16-bit Bayer at 1920x1080, plain and
// SSSE3, for both packed layouts.
#include <benchmark/benchmark.h>

#include <stdint.h>

#include <random>
#include <vector>

#include "by12pa/by12pa_unpack.h"
#include "img/cpu_features.h"
#include "img/img_type.h"

#ifdef TV_BENCH_OPENCV_PEER
#include <opencv2/core.hpp>
#endif

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

void unpack(benchmark::State& state, uint32_t src_fcc, uint32_t features) {
  if ((features & img::allow_avx512(img::get_cpu_features())) != features) {
    state.SkipWithError("processor lacks the variant's features");
    return;
  }
  img::img_descriptor src{};
  img::img_descriptor dst{};
  static_cast<img::img_type&>(src) = img::make_img_type(src_fcc, kWidth, kHeight);
  static_cast<img::img_type&>(dst) = img::make_img_type(img::transform_by12pa_to_by16_fcc(src_fcc), kWidth, kHeight);
  std::vector<uint8_t> src_memory(static_cast<size_t>(src.buffer_length));
  std::vector<uint8_t> dst_memory(static_cast<size_t>(dst.buffer_length));
  std::mt19937 rng(1);
  for (uint8_t& b : src_memory) b = static_cast<uint8_t>(rng());
  src.data = src_memory.data();
  dst.data = dst_memory.data();

  for (auto _ : state) {
    img::transform_by12pa_to_by16(dst, src, features);
    benchmark::DoNotOptimize(dst_memory.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
  state.SetBytesProcessed(state.iterations() * (int64_t{src.buffer_length} + dst.buffer_length));
}

BENCHMARK_CAPTURE(unpack, layout_c_plain, img::FOURCC_GBRG12_PACKED_C, 0u)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(unpack, layout_c_ssse3, img::FOURCC_GBRG12_PACKED_C, uint32_t{img::cpu_ssse3})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(unpack, layout_d_plain, img::FOURCC_GBRG12_PACKED_D, 0u)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(unpack, layout_d_ssse3, img::FOURCC_GBRG12_PACKED_D, uint32_t{img::cpu_ssse3})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(unpack, layout_c_best, img::FOURCC_GBRG12_PACKED_C, img::allow_avx512(img::get_cpu_features()))
    ->Unit(benchmark::kMicrosecond);

#ifdef TV_BENCH_OPENCV_PEER
// The nearest OpenCV operation: widening 8-bit samples to 16 bits with a
// scale (convertTo).
void opencv_widen(benchmark::State& state) {
  cv::setNumThreads(1);
  cv::Mat src(kHeight, kWidth, CV_8UC1), dst;
  cv::randu(src, 0, 255);
  for (auto _ : state) {
    src.convertTo(dst, CV_16U, 16.0);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
  state.SetBytesProcessed(state.iterations() * kWidth * kHeight * 3);
}
BENCHMARK(opencv_widen)->Unit(benchmark::kMicrosecond);
#endif

}  // namespace

BENCHMARK_MAIN();
