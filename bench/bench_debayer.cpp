// Debayering at 1920x1080: the plain debayer to RGB24 and RGB32 per
// processor variant, the matrix debayer (8-bit to RGB, 16-bit to "YUGp"),
// 16-bit Bayer to RGB64 through the pipe, and OpenCV's Bayer conversions as
// a peer at the same size when the build found OpenCV.
#include <benchmark/benchmark.h>

#include <stdint.h>

#include <memory>
#include <random>
#include <vector>

#include "by16/by16_transform_matrix.h"
#include "by16/debayer_plain.h"
#include "img/cpu_features.h"
#include "img/img_transform_pipe.h"
#include "img/img_type.h"

#ifdef TV_BENCH_OPENCV_PEER
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

constexpr uint32_t kPlain = 0;
constexpr uint32_t kSse2 = img::cpu_sse2;
constexpr uint32_t kSsse3 = img::cpu_sse2 | img::cpu_ssse3;
constexpr uint32_t kSse41 = img::cpu_sse2 | img::cpu_ssse3 | img::cpu_sse41;
const uint32_t kAvx2 = img::allow_avx(kSse41 | img::cpu_level8);

struct image {
  std::vector<uint8_t> memory;
  img::img_descriptor desc{};
};

image make(uint32_t fcc, uint32_t seed = 0) {
  image im;
  static_cast<img::img_type&>(im.desc) = img::make_img_type(fcc, kWidth, kHeight);
  im.memory.resize(static_cast<size_t>(im.desc.buffer_length));
  if (seed) {
    std::mt19937 rng(seed);
    for (uint8_t& b : im.memory) b = static_cast<uint8_t>(rng());
  }
  im.desc.data = im.memory.data();
  return im;
}

bool unavailable(benchmark::State& state, uint32_t features) {
  if ((features & img::allow_avx(img::get_cpu_features())) == features) return false;
  state.SkipWithError("processor lacks the variant's features");
  return true;
}

void finish(benchmark::State& state) { state.SetItemsProcessed(state.iterations() * kWidth * kHeight); }

void plain_debayer(benchmark::State& state, uint32_t dst_fcc, uint32_t features) {
  if (unavailable(state, features)) return;
  const image src = make(img::FOURCC_GBRG8, 1);
  image dst = make(dst_fcc);
  for (auto _ : state) {
    img::debayer_plain(dst.desc, src.desc, 0, features, nullptr);
    benchmark::ClobberMemory();
  }
  finish(state);
}

img::matrix_debayer_params adjusted(uint32_t features) {
  static const int16_t kMatrix[9] = {80, -10, -6, -12, 78, -2, 0, -16, 80};
  img::matrix_debayer_params p = {};
  p.cpu_features = features;
  p.color_matrix = kMatrix;
  p.color_matrix_enable = true;
  p.saturation = 16;
  p.contrast = 20;
  return p;
}

void matrix_debayer8(benchmark::State& state, uint32_t dst_fcc, uint32_t features) {
  if (unavailable(state, features)) return;
  const image src = make(img::FOURCC_GBRG8, 2);
  image dst = make(dst_fcc);
  const img::matrix_debayer_params p = adjusted(features);
  for (auto _ : state) {
    img::transform_matrix_debayer8(dst.desc, src.desc, p);
    benchmark::ClobberMemory();
  }
  finish(state);
}

void matrix_debayer16(benchmark::State& state, uint32_t features) {
  if (unavailable(state, features)) return;
  const image src = make(img::FOURCC_GBRG16, 3);
  image dst = make(img::FOURCC_YUV16PLANAR);
  const img::matrix_debayer_params p = adjusted(features);
  for (auto _ : state) {
    img::transform_matrix_debayer16(dst.desc, src.desc, p);
    benchmark::ClobberMemory();
  }
  finish(state);
}

// 16-bit Bayer to RGB64 through the pipe: debayer to "YUGp", then convert.
void pipe_bayer16_to_rgb64(benchmark::State& state, uint32_t features) {
  if (unavailable(state, features)) return;
  const image src = make(img::FOURCC_GBRG16, 4);
  image dst = make(img::FOURCC_RGB64);
  std::unique_ptr<img::transform_params> params(new img::transform_params());
  const int scratch_len = img::get_scratch_space_size(dst.desc, src.desc);
  std::vector<uint8_t> scratch(static_cast<size_t>(scratch_len));
  params->cpu_features = features;
  params->scratch_space = scratch.data();
  params->scratch_space_len = scratch_len;
  for (auto _ : state) {
    img::transform(dst.desc, src.desc, *params, nullptr);
    benchmark::ClobberMemory();
  }
  finish(state);
}

#ifdef TV_BENCH_OPENCV_PEER
void opencv_peer(benchmark::State& state, int code, bool sixteen) {
  cv::setNumThreads(1);  // the library is single-threaded per frame
  cv::Mat src(kHeight, kWidth, sixteen ? CV_16UC1 : CV_8UC1);
  cv::randu(src, 0, sixteen ? 65535 : 255);
  cv::Mat dst;
  for (auto _ : state) {
    cv::cvtColor(src, dst, code);
    benchmark::ClobberMemory();
  }
  finish(state);
}
#endif

}  // namespace

BENCHMARK_CAPTURE(plain_debayer, rgb24_plain, img::FOURCC_RGB24, kPlain)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(plain_debayer, rgb24_sse2, img::FOURCC_RGB24, kSse2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(plain_debayer, rgb24_ssse3, img::FOURCC_RGB24, kSsse3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(plain_debayer, rgb24_sse41, img::FOURCC_RGB24, kSse41)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(plain_debayer, rgb24_avx2, img::FOURCC_RGB24, kAvx2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(plain_debayer, rgb32_avx2, img::FOURCC_RGB32, kAvx2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(plain_debayer, rgb32_plain, img::FOURCC_RGB32, kPlain)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(plain_debayer, rgb32_sse2, img::FOURCC_RGB32, kSse2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(plain_debayer, rgb32_ssse3, img::FOURCC_RGB32, kSsse3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(plain_debayer, rgb32_sse41, img::FOURCC_RGB32, kSse41)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(matrix_debayer8, rgb24_plain, img::FOURCC_RGB24, kPlain)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(matrix_debayer8, rgb24_ssse3, img::FOURCC_RGB24, kSsse3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(matrix_debayer8, rgb32_plain, img::FOURCC_RGB32, kPlain)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(matrix_debayer8, rgb32_ssse3, img::FOURCC_RGB32, kSsse3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(matrix_debayer8, rgb24_avx2, img::FOURCC_RGB24, kAvx2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(matrix_debayer16, yuv16_avx2, kAvx2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(pipe_bayer16_to_rgb64, avx2, kAvx2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(matrix_debayer16, yuv16_plain, kPlain)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(matrix_debayer16, yuv16_sse41, kSse41)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(pipe_bayer16_to_rgb64, plain, kPlain)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(pipe_bayer16_to_rgb64, sse41, kSse41)->Unit(benchmark::kMillisecond);
#ifdef TV_BENCH_OPENCV_PEER
BENCHMARK_CAPTURE(opencv_peer, bayer_gb2bgr, cv::COLOR_BayerGB2BGR, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(opencv_peer, bayer_gb2bgra, cv::COLOR_BayerGB2BGRA, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(opencv_peer, bayer_gb2bgr_ea, cv::COLOR_BayerGB2BGR_EA, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(opencv_peer, bayer_gb2bgr_vng, cv::COLOR_BayerGB2BGR_VNG, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(opencv_peer, bayer_gb2bgr_16, cv::COLOR_BayerGB2BGR, true)->Unit(benchmark::kMillisecond);
#endif

BENCHMARK_MAIN();
