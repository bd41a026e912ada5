// Debayering and the colour routes at 1920x1080: the plain debayer to RGB24
// and RGB32 per processor variant, the matrix debayer (8-bit to RGB, 16-bit
// to "YUGp"), 16-bit Bayer to RGB64 through the pipe, the full colour route
// (white balance, colour matrix, saturation, hue, brightness, contrast,
// gamma) through the pipe, and their OpenCV peers at the same size when the
// build found OpenCV (one thread: the library transforms a frame on one).
// "best" is what the pipe runs on this processor. Every case reports the
// bytes it reads and writes (bytes_per_second) for the summary of bench.sh.
#include <benchmark/benchmark.h>

#include <stdint.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "by16/by16_transform_matrix.h"
#include "by16/debayer_plain.h"
#include "img/cpu_features.h"
#include "img/img_transform_pipe.h"
#include "img/img_type.h"

#ifdef TV_BENCH_OPENCV_PEER
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int64_t kPixels = int64_t{kWidth} * kHeight;

constexpr uint32_t kPlain = 0;
constexpr uint32_t kSse2 = img::cpu_sse2;
constexpr uint32_t kSsse3 = img::cpu_sse2 | img::cpu_ssse3;
constexpr uint32_t kSse41 = img::cpu_sse2 | img::cpu_ssse3 | img::cpu_sse41;
const uint32_t kAvx2 = img::allow_avx(kSse41 | img::cpu_level8);
const uint32_t kAvx512 = img::allow_avx512(kSse41 | img::cpu_level8 | img::cpu_avx512);
const uint32_t kAvx512Vnni = kAvx512 | img::cpu_avx512vnni;
const uint32_t kBest = img::allow_avx512(img::get_cpu_features());

struct image {
  std::vector<uint8_t> memory;
  img::img_descriptor desc{};
};

// Images start on a cache line, as OpenCV's matrices and the driver's frame
// buffers do (a heap block of this size starts 16 bytes past one, which
// splits a quarter of the 32-byte stores across two lines).
image make(uint32_t fcc, uint32_t seed = 0) {
  image im;
  static_cast<img::img_type&>(im.desc) = img::make_img_type(fcc, kWidth, kHeight);
  im.memory.resize(static_cast<size_t>(im.desc.buffer_length) + 63);
  const size_t skip = (64 - reinterpret_cast<uintptr_t>(im.memory.data()) % 64) % 64;
  if (seed) {
    std::mt19937 rng(seed);
    for (uint8_t& b : im.memory) b = static_cast<uint8_t>(rng());
  }
  im.desc.data = im.memory.data() + skip;
  return im;
}

bool unavailable(benchmark::State& state, uint32_t features) {
  if ((features & kBest) == features) return false;
  state.SkipWithError("processor lacks the variant's features");
  return true;
}

// Items are pixels; bytes are those read and written per frame.
void finish(benchmark::State& state, double bytes_per_pixel) {
  state.SetItemsProcessed(state.iterations() * kPixels);
  state.SetBytesProcessed(static_cast<int64_t>(static_cast<double>(state.iterations() * kPixels) * bytes_per_pixel));
}

void plain_debayer(benchmark::State& state, uint32_t dst_fcc, uint32_t features) {
  if (unavailable(state, features)) return;
  const image src = make(img::FOURCC_GBRG8, 1);
  image dst = make(dst_fcc);
  for (auto _ : state) {
    img::debayer_plain(dst.desc, src.desc, 0, features, nullptr);
    benchmark::ClobberMemory();
  }
  finish(state, 1 + img::get_bits_per_pixel(dst_fcc) / 8);
}

const int16_t kMatrix[9] = {80, -10, -6, -12, 78, -2, 0, -16, 80};

img::matrix_debayer_params adjusted(uint32_t features) {
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
  finish(state, 1 + img::get_bits_per_pixel(dst_fcc) / 8);
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
  finish(state, 2 + 6);
}

// One route of the pipe with a scratch buffer of the advertised size.
struct route {
  std::unique_ptr<img::transform_params> params{new img::transform_params()};
  std::vector<uint8_t> scratch;
  image src, dst;

  route(uint32_t src_fcc, uint32_t dst_fcc, uint32_t features) : src(make(src_fcc, 4)), dst(make(dst_fcc)) {
    const int n = img::get_scratch_space_size(dst.desc, src.desc);
    scratch.resize(static_cast<size_t>(n));
    params->cpu_features = features;
    params->scratch_space = scratch.data();
    params->scratch_space_len = n;
  }
  void run(benchmark::State& state, double bytes_per_pixel) {
    for (auto _ : state) {
      img::transform(dst.desc, src.desc, *params, nullptr);
      benchmark::ClobberMemory();
    }
    finish(state, bytes_per_pixel);
  }
};

// 16-bit Bayer to RGB64 through the pipe: debayer to "YUGp", then convert.
void pipe_bayer16_to_rgb64(benchmark::State& state, uint32_t features) {
  if (unavailable(state, features)) return;
  route r(img::FOURCC_GBRG16, img::FOURCC_RGB64, features);
  r.run(state, 2 + 8);
}

// The full colour route: 8-bit Bayer to RGB24 with white balance, colour
// matrix, saturation, hue, brightness, contrast and gamma.
void colour_route(benchmark::State& state, uint32_t features) {
  if (unavailable(state, features)) return;
  route r(img::FOURCC_GBRG8, img::FOURCC_RGB24, features);
  img::transform_params& p = *r.params;
  // White balance scales the source in place: unity gains keep it stable
  // between iterations and cost the same.
  p.wb_enable = 1, p.wb_gain_r = p.wb_gain_g = p.wb_gain_b = p.wb_gain_g2 = 64;
  std::copy(kMatrix, kMatrix + 9, p.color_matrix);
  p.color_matrix_enable = 1;
  p.saturation = 16, p.hue = 10, p.brightness = 8, p.contrast = 20;
  p.gamma_enable = 1;
  img::build_gamma_lut(p.gamma_lut, 80);
  r.run(state, 1 + 3);
}

#ifdef TV_BENCH_OPENCV_PEER
void opencv_peer(benchmark::State& state, int code, bool sixteen, double bytes_per_pixel) {
  cv::setNumThreads(1);
  cv::Mat src(kHeight, kWidth, sixteen ? CV_16UC1 : CV_8UC1);
  cv::randu(src, 0, sixteen ? 65535 : 255);
  cv::Mat dst;
  for (auto _ : state) {
    cv::cvtColor(src, dst, code);
    benchmark::ClobberMemory();
  }
  finish(state, bytes_per_pixel);
}

// The colour route as an OpenCV chain: Bayer conversion, white balance per
// channel (multiply), colour matrix with saturation, hue, brightness and
// contrast folded into one 3x4 transform, gamma through a LUT.
void opencv_colour_chain(benchmark::State& state) {
  cv::setNumThreads(1);
  cv::Mat src(kHeight, kWidth, CV_8UC1);
  cv::randu(src, 0, 255);
  cv::Mat bgr, balanced, mixed, out;
  const cv::Matx34f matrix(1.05f, -0.08f, -0.02f, 4.0f, -0.03f, 1.1f, -0.06f, 4.0f, -0.01f, -0.1f, 1.12f, 4.0f);
  cv::Mat lut(1, 256, CV_8UC1);
  for (int i = 0; i < 256; ++i) lut.at<uint8_t>(i) = cv::saturate_cast<uint8_t>(255.0 * std::pow(i / 255.0, 0.8));
  for (auto _ : state) {
    cv::cvtColor(src, bgr, cv::COLOR_BayerGB2BGR);
    cv::multiply(bgr, cv::Scalar(1.1, 1.0, 1.2), balanced);
    cv::transform(balanced, mixed, matrix);
    cv::LUT(mixed, lut, out);
    benchmark::ClobberMemory();
  }
  finish(state, 1 + 3);
}
#endif

}  // namespace

#define TV_MS ->Unit(benchmark::kMillisecond)

BENCHMARK_CAPTURE(plain_debayer, rgb24_plain, img::FOURCC_RGB24, kPlain) TV_MS;
BENCHMARK_CAPTURE(plain_debayer, rgb24_sse2, img::FOURCC_RGB24, kSse2) TV_MS;
BENCHMARK_CAPTURE(plain_debayer, rgb24_ssse3, img::FOURCC_RGB24, kSsse3) TV_MS;
BENCHMARK_CAPTURE(plain_debayer, rgb24_sse41, img::FOURCC_RGB24, kSse41) TV_MS;
BENCHMARK_CAPTURE(plain_debayer, rgb24_avx2, img::FOURCC_RGB24, kAvx2) TV_MS;
BENCHMARK_CAPTURE(plain_debayer, rgb24_best, img::FOURCC_RGB24, kBest) TV_MS;
BENCHMARK_CAPTURE(plain_debayer, rgb32_plain, img::FOURCC_RGB32, kPlain) TV_MS;
BENCHMARK_CAPTURE(plain_debayer, rgb32_sse41, img::FOURCC_RGB32, kSse41) TV_MS;
BENCHMARK_CAPTURE(plain_debayer, rgb32_best, img::FOURCC_RGB32, kBest) TV_MS;
BENCHMARK_CAPTURE(matrix_debayer8, rgb24_plain, img::FOURCC_RGB24, kPlain) TV_MS;
BENCHMARK_CAPTURE(matrix_debayer8, rgb24_ssse3, img::FOURCC_RGB24, kSsse3) TV_MS;
BENCHMARK_CAPTURE(matrix_debayer8, rgb24_avx2, img::FOURCC_RGB24, kAvx2) TV_MS;
BENCHMARK_CAPTURE(matrix_debayer8, rgb24_avx512, img::FOURCC_RGB24, kAvx512) TV_MS;
BENCHMARK_CAPTURE(matrix_debayer8, rgb24_avx512_vnni, img::FOURCC_RGB24, kAvx512Vnni) TV_MS;
BENCHMARK_CAPTURE(matrix_debayer8, rgb24_best, img::FOURCC_RGB24, kBest) TV_MS;
BENCHMARK_CAPTURE(matrix_debayer8, rgb32_best, img::FOURCC_RGB32, kBest) TV_MS;
BENCHMARK_CAPTURE(matrix_debayer16, yuv16_plain, kPlain) TV_MS;
BENCHMARK_CAPTURE(matrix_debayer16, yuv16_sse41, kSse41) TV_MS;
BENCHMARK_CAPTURE(matrix_debayer16, yuv16_avx2, kAvx2) TV_MS;
BENCHMARK_CAPTURE(matrix_debayer16, yuv16_avx512, kAvx512) TV_MS;
BENCHMARK_CAPTURE(matrix_debayer16, yuv16_best, kBest) TV_MS;
BENCHMARK_CAPTURE(pipe_bayer16_to_rgb64, plain, kPlain) TV_MS;
BENCHMARK_CAPTURE(pipe_bayer16_to_rgb64, sse41, kSse41) TV_MS;
BENCHMARK_CAPTURE(pipe_bayer16_to_rgb64, avx2, kAvx2) TV_MS;
BENCHMARK_CAPTURE(pipe_bayer16_to_rgb64, avx512, kAvx512) TV_MS;
BENCHMARK_CAPTURE(pipe_bayer16_to_rgb64, best, kBest) TV_MS;
BENCHMARK_CAPTURE(colour_route, sse41, kSse41) TV_MS;
BENCHMARK_CAPTURE(colour_route, best, kBest) TV_MS;
#ifdef TV_BENCH_OPENCV_PEER
BENCHMARK_CAPTURE(opencv_peer, bayer_gb2bgr, cv::COLOR_BayerGB2BGR, false, 1 + 3) TV_MS;
BENCHMARK_CAPTURE(opencv_peer, bayer_gb2bgra, cv::COLOR_BayerGB2BGRA, false, 1 + 4) TV_MS;
BENCHMARK_CAPTURE(opencv_peer, bayer_gb2bgr_ea, cv::COLOR_BayerGB2BGR_EA, false, 1 + 3) TV_MS;
BENCHMARK_CAPTURE(opencv_peer, bayer_gb2bgr_16, cv::COLOR_BayerGB2BGR, true, 2 + 6) TV_MS;
BENCHMARK(opencv_colour_chain) TV_MS;
#endif

BENCHMARK_MAIN();
