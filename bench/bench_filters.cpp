// The filter stages at 1920x1080 per processor variant: tone mapping (manual
// factors, and the automatic measurement), sharpness/denoise, the j003 pixel
// fix. With OpenCV found, the nearest OpenCV operations run as peers at the
// same size: a pow curve through LUT (8-bit) or cv::pow (16-bit) for tone
// mapping, GaussianBlur unsharp masking plus a 5x5 box blur for
// sharpness/denoise, a per-pixel scale for the pixel fix.
#include <benchmark/benchmark.h>

#include <stdint.h>

#include <memory>
#include <random>
#include <vector>

#include "filter/pixelfix/j003_pixelfix.h"
#include "filter/sharpness_denoise/sharpness_denoise.h"
#include "filter/tonemapping/tonemapping.h"
#include "img/cpu_features.h"
#include "img/img_transform_pipe.h"
#include "img/img_type.h"

#ifdef TV_BENCH_OPENCV_PEER
#include <cmath>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

constexpr uint32_t kPlain = 0;
constexpr uint32_t kSsse3 = img::cpu_sse2 | img::cpu_ssse3;
constexpr uint32_t kSse41 = img::cpu_sse2 | img::cpu_ssse3 | img::cpu_sse41;
// What the pipe runs on this processor.
const uint32_t kBest = img::allow_avx512(img::get_cpu_features());

struct image {
  std::vector<uint8_t> memory;
  img::img_descriptor desc{};
};

// A frame with smooth content and noise, so that the filters see both flat
// parts and edges.
image make(uint32_t fcc, uint32_t seed) {
  image im;
  static_cast<img::img_type&>(im.desc) = img::make_img_type(fcc, kWidth, kHeight);
  im.memory.resize(static_cast<size_t>(im.desc.buffer_length));
  std::mt19937 rng(seed);
  const bool wide = img::get_bits_per_pixel(fcc) == 16 || fcc == img::FOURCC_YUV16PLANAR;
  for (size_t i = 0; i < im.memory.size(); i += wide ? 2 : 1) {
    const int v = static_cast<int>((i / 7) % 200) + static_cast<int>(rng() % 40);
    im.memory[i] = static_cast<uint8_t>(wide ? rng() : v);
    if (wide) im.memory[i + 1] = static_cast<uint8_t>(v);
  }
  im.desc.data = im.memory.data();
  return im;
}

bool unavailable(benchmark::State& state, uint32_t features) {
  if ((features & kBest) == features) return false;
  state.SkipWithError("processor lacks the variant's features");
  return true;
}

// Items are pixels; bytes are those read and written per frame.
void finish(benchmark::State& state, int bytes_per_pixel) {
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
  state.SetBytesProcessed(state.iterations() * kWidth * kHeight * bytes_per_pixel);
}

int sample_bytes(uint32_t fcc) { return img::get_bits_per_pixel(fcc) == 16 ? 2 : 1; }

struct tone_state {
  std::unique_ptr<uint8_t[]> memory{new uint8_t[img::transform_state_size]};
  img::tonemapping_state* state =
      img::init_transform_state(memory.get(), img::transform_state_size);
};

void tone_mapping(benchmark::State& state, uint32_t fcc, uint32_t features) {
  if (unavailable(state, features)) return;
  image im = make(fcc, 1);
  tone_state ts;
  const img::tonemapping_factors f = {1.0f, 0.3f, 0.4f, 0.3f, 1.1f, -0.02f};
  img::tonemapping_set_factors(img::tonemapping_state_table(*ts.state), f);
  std::vector<uint8_t> scratch(img::tonemapping::get_scratch_space_size(im.desc));
  for (auto _ : state) {
    img::tonemapping_apply(im.desc, f, img::tonemapping_state_table(*ts.state), scratch.data(),
                           scratch.size(), features);
    benchmark::ClobberMemory();
  }
  finish(state, 2 * sample_bytes(fcc));
}

// Automatic factors on alternating frames: the frame mean changes, so the
// curve table is rebuilt every time, as in a live stream.
void tone_mapping_auto_factors(benchmark::State& state, uint32_t fcc) {
  const image frames[2] = {make(fcc, 2), make(fcc, 5)};
  tone_state ts;
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        img::tonemapping_compute_factors(*ts.state, frames[i ^= 1].desc, 1.0f, 0.3f));
  }
  finish(state, 0);
}

void sharpness_denoise(benchmark::State& state, uint32_t fcc, uint32_t features) {
  if (unavailable(state, features)) return;
  const image src = make(fcc, 3);
  image dst = make(fcc, 0);
  for (auto _ : state) {
    img::sharpness_denoise(dst.desc, src.desc, 5, 10, features);
    benchmark::ClobberMemory();
  }
  const int planes = fcc == img::FOURCC_YUV8PLANAR || fcc == img::FOURCC_YUV16PLANAR ? 3 : 1;
  finish(state, 2 * planes * (fcc == img::FOURCC_YUV16PLANAR ? 2 : sample_bytes(fcc)));
}

void j003(benchmark::State& state, uint32_t fcc, uint32_t features) {
  if (unavailable(state, features)) return;
  image im = make(fcc, 4);
  std::vector<uint8_t> scratch(img::j003::get_scratch_space_size(im.desc));
  for (auto _ : state) {
    img::j003_pixelfix(im.desc, scratch.data(), scratch.size(), features);
    benchmark::ClobberMemory();
  }
  finish(state, 2 * sample_bytes(fcc));
}

}  // namespace

BENCHMARK_CAPTURE(tone_mapping, y800_plain, img::FOURCC_Y800, kPlain)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(tone_mapping, y800_sse41, img::FOURCC_Y800, kSse41)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(tone_mapping, y16_plain, img::FOURCC_Y16, kPlain)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(tone_mapping, y16_sse41, img::FOURCC_Y16, kSse41)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(tone_mapping, y16_best, img::FOURCC_Y16, kBest)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(tone_mapping, gbrg8_plain, img::FOURCC_GBRG8, kPlain)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(tone_mapping, gbrg8_sse41, img::FOURCC_GBRG8, kSse41)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(tone_mapping, gbrg16_plain, img::FOURCC_GBRG16, kPlain)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(tone_mapping, gbrg16_sse41, img::FOURCC_GBRG16, kSse41)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(tone_mapping, gbrg16_best, img::FOURCC_GBRG16, kBest)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(tone_mapping, y800_best, img::FOURCC_Y800, kBest)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(tone_mapping_auto_factors, y16, img::FOURCC_Y16)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(sharpness_denoise, y800_plain, img::FOURCC_Y800, kPlain)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(sharpness_denoise, y800_ssse3, img::FOURCC_Y800, kSsse3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(sharpness_denoise, y800_sse41, img::FOURCC_Y800, kSse41)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(sharpness_denoise, y800_best, img::FOURCC_Y800, kBest)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(sharpness_denoise, yu8p_sse41, img::FOURCC_YUV8PLANAR, kSse41)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(sharpness_denoise, y16_plain, img::FOURCC_Y16, kPlain)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(sharpness_denoise, y16_sse41, img::FOURCC_Y16, kSse41)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(sharpness_denoise, y16_best, img::FOURCC_Y16, kBest)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(j003, y800_plain, img::FOURCC_Y800, kPlain)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(j003, y800_sse41, img::FOURCC_Y800, kSse41)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(j003, y16_plain, img::FOURCC_Y16, kPlain)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(j003, y16_sse41, img::FOURCC_Y16, kSse41)->Unit(benchmark::kMillisecond);

#ifdef TV_BENCH_OPENCV_PEER
namespace {

cv::Mat peer_frame(int type, uint32_t seed) {
  const image im = make(type == CV_8UC1 ? img::FOURCC_Y800 : img::FOURCC_Y16, seed);
  return cv::Mat(kHeight, kWidth, type, const_cast<uint8_t*>(im.memory.data())).clone();
}

// Tone curve as a 256-entry pow table applied with cv::LUT.
void opencv_tone_lut8(benchmark::State& state) {
  cv::setNumThreads(1);
  cv::Mat src = peer_frame(CV_8UC1, 1), dst;
  cv::Mat lut(1, 256, CV_8UC1);
  for (int i = 0; i < 256; ++i)
    lut.at<uint8_t>(i) = cv::saturate_cast<uint8_t>(255.0 * std::pow(i / 255.0, 0.6));
  for (auto _ : state) {
    cv::LUT(src, lut, dst);
    benchmark::ClobberMemory();
  }
  finish(state, 2);
}

// 16-bit samples have no LUT path in OpenCV: per-pixel cv::pow on floats.
void opencv_tone_pow16(benchmark::State& state) {
  cv::setNumThreads(1);
  cv::Mat src = peer_frame(CV_16UC1, 1), f, p, dst;
  for (auto _ : state) {
    src.convertTo(f, CV_32F, 1.0 / 65535.0);
    cv::pow(f, 0.6, p);
    p.convertTo(dst, CV_16U, 65535.0);
    benchmark::ClobberMemory();
  }
  finish(state, 4);
}

// Unsharp masking (5x5 Gaussian, dst = 1.5 src - 0.5 blurred) plus a 5x5
// box blur: the two jobs of the sharpness/denoise filter.
void opencv_unsharp_and_blur(benchmark::State& state, int type) {
  cv::setNumThreads(1);
  cv::Mat src = peer_frame(type, 3), blurred, sharp, smooth;
  for (auto _ : state) {
    cv::GaussianBlur(src, blurred, cv::Size(5, 5), 0);
    cv::addWeighted(src, 1.5, blurred, -0.5, 0, sharp);
    cv::blur(sharp, smooth, cv::Size(5, 5));
    benchmark::ClobberMemory();
  }
  finish(state, type == CV_8UC1 ? 2 : 4);
}

// A per-pixel gain, the work of the pixel fix's correction pass.
void opencv_scale(benchmark::State& state, int type) {
  cv::setNumThreads(1);
  cv::Mat src = peer_frame(type, 4), dst;
  for (auto _ : state) {
    src.convertTo(dst, -1, 1.02);
    benchmark::ClobberMemory();
  }
  finish(state, type == CV_8UC1 ? 2 : 4);
}

}  // namespace

BENCHMARK(opencv_tone_lut8)->Unit(benchmark::kMillisecond);
BENCHMARK(opencv_tone_pow16)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(opencv_unsharp_and_blur, y800, CV_8UC1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(opencv_unsharp_and_blur, y16, CV_16UC1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(opencv_scale, y800, CV_8UC1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(opencv_scale, y16, CV_16UC1)->Unit(benchmark::kMillisecond);
#endif

BENCHMARK_MAIN();
