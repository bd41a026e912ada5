// Transform pipe routes and stages at 1920x1080: grey expansion, raw white
// balance, 2x2 smoothing, YUY2 with colour adjustment, Bayer to I420 and
// Bayer to RGB24 through "YU8p" with gamma, each plain and vector.
#include <benchmark/benchmark.h>

#include <stdint.h>

#include <memory>
#include <random>
#include <vector>

#include "img/cpu_features.h"
#include "img/img_transform_pipe.h"
#include "img/img_type.h"
#include "img/transform_stages.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr uint32_t kPlain = 0;

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

uint32_t all_features() { return img::allow_avx512(img::get_cpu_features()); }

// Items are pixels; bytes are those read and written per frame.
void finish(benchmark::State& state, int bytes_per_pixel) {
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
  state.SetBytesProcessed(state.iterations() * kWidth * kHeight * bytes_per_pixel);
}

void grey_expansion(benchmark::State& state, uint32_t features) {
  const image src = make(img::FOURCC_Y800, 1);
  image dst = make(img::FOURCC_RGB24);
  for (auto _ : state) {
    img::expand_y800_to_rgb24(dst.desc, src.desc, false, features & all_features());
    benchmark::ClobberMemory();
  }
  finish(state, 4);
}

void white_balance(benchmark::State& state, uint32_t fcc, uint32_t features) {
  image im = make(fcc, 2);
  const img::wb_gains gains = {64, 64, 64, 64};  // unity keeps the data stable between runs
  for (auto _ : state) {
    img::apply_raw_white_balance(im.desc, gains, features & all_features());
    benchmark::ClobberMemory();
  }
  finish(state, 2 * (img::get_bits_per_pixel(fcc) / 8));
}

void smoothing(benchmark::State& state, uint32_t features) {
  image im = make(img::FOURCC_Y800, 3);
  for (auto _ : state) {
    img::smooth_2x2(im.desc, features & all_features());
    benchmark::ClobberMemory();
  }
  finish(state, 2);
}

// One route of the pipe with a scratch buffer of the advertised size.
struct route_setup {
  std::unique_ptr<img::transform_params> params{new img::transform_params()};
  std::vector<uint8_t> scratch;
  image src, dst;

  route_setup(uint32_t src_fcc, uint32_t dst_fcc, uint32_t features) : src(make(src_fcc, 4)), dst(make(dst_fcc)) {
    const int n = img::get_scratch_space_size(dst.desc, src.desc);
    scratch.resize(static_cast<size_t>(n));
    params->cpu_features = features & all_features();
    params->scratch_space = scratch.data();
    params->scratch_space_len = n;
  }
};

void run_route(benchmark::State& state, route_setup& r, int bytes_per_pixel) {
  for (auto _ : state) {
    img::transform(r.dst.desc, r.src.desc, *r.params, nullptr);
    benchmark::ClobberMemory();
  }
  finish(state, bytes_per_pixel);
}

void yuy2_adjusted(benchmark::State& state, uint32_t features) {
  route_setup r(img::FOURCC_YUY2, img::FOURCC_YUY2, features);
  r.params->saturation = 10;  // forces unpack, adjustment and repack
  run_route(state, r, 4);
}

void bayer_to_i420(benchmark::State& state, uint32_t features) {
  route_setup r(img::FOURCC_BGGR8, img::FOURCC_I420, features);
  run_route(state, r, 1);
}

void bayer_to_rgb24_gamma(benchmark::State& state, uint32_t features) {
  route_setup r(img::FOURCC_BGGR8, img::FOURCC_RGB24, features);
  r.params->gamma_enable = 1;
  img::build_gamma_lut(r.params->gamma_lut, 80);
  run_route(state, r, 4);
}

}  // namespace

BENCHMARK_CAPTURE(grey_expansion, plain, kPlain)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(grey_expansion, sse2, uint32_t{img::cpu_sse2})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(grey_expansion, ssse3, uint32_t{img::cpu_sse2 | img::cpu_ssse3})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(white_balance, by8_plain, img::FOURCC_BGGR8, kPlain)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(white_balance, by8_sse2, img::FOURCC_BGGR8, uint32_t{img::cpu_sse2})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(white_balance, by16_plain, img::FOURCC_BGGR16, kPlain)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(white_balance, by16_sse2, img::FOURCC_BGGR16, uint32_t{img::cpu_sse2})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(white_balance, by8_best, img::FOURCC_BGGR8, ~0u)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(white_balance, by16_best, img::FOURCC_BGGR16, ~0u)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(smoothing, plain, kPlain)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(smoothing, sse2, uint32_t{img::cpu_sse2})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(yuy2_adjusted, plain, kPlain)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(bayer_to_i420, plain, kPlain)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(bayer_to_i420, vector, ~0u)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(bayer_to_rgb24_gamma, plain, kPlain)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(bayer_to_rgb24_gamma, vector, ~0u)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
