// Arbitrary bytes as a raw Bayer frame and the colour settings of the pipe:
// every processor variant the machine has (plain, SSE2, SSSE3, SSE4.1,
// AVX2, AVX-512 with and without VNNI) gives the same bytes through the
// matrix debayers and the 16-bit route to RGB64, whatever the colour matrix,
// saturation, hue, brightness, contrast and white balance, and none writes
// outside its image.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "img/cpu_features.h"
#include "img/img_transform_pipe.h"
#include "img/img_type.h"

namespace {

struct reader {
  const uint8_t* data;
  size_t size, at = 0;
  uint32_t take(int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<uint32_t>(at < size ? data[at++] : 0) << (8 * i);
    return v;
  }
};

constexpr uint32_t kSources[] = {img::FOURCC_BGGR16, img::FOURCC_GBRG16, img::FOURCC_GRBG16, img::FOURCC_RGGB16,
                                 img::FOURCC_BGGR8,  img::FOURCC_GBRG8,  img::FOURCC_GRBG8,  img::FOURCC_RGGB8};
constexpr uint32_t kOutputs16[] = {img::FOURCC_YUV16PLANAR, img::FOURCC_RGB64};
constexpr uint32_t kOutputs8[] = {img::FOURCC_RGB24, img::FOURCC_RGB32, img::FOURCC_YUV8PLANAR};
constexpr size_t kGuard = 64;  // bytes checked untouched after each image

std::vector<uint8_t> run(const img::img_descriptor& src_in, const std::vector<uint8_t>& frame, uint32_t dst_fcc,
                         const img::transform_params& settings, uint32_t features) {
  std::vector<uint8_t> src_mem(frame);  // white balance works in place
  img::img_descriptor src = src_in;
  src.data = src_mem.data();
  img::img_descriptor dst{};
  static_cast<img::img_type&>(dst) = img::make_img_type(dst_fcc, src.dim_x, src.dim_y);
  std::vector<uint8_t> out(static_cast<size_t>(dst.buffer_length) + kGuard, 0xA5);
  dst.data = out.data();
  img::transform_params p = settings;
  const int scratch_len = img::get_scratch_space_size(dst, src);
  std::vector<uint8_t> scratch(static_cast<size_t>(scratch_len) + kGuard, 0x5A);
  p.scratch_space = scratch_len > 0 ? scratch.data() : nullptr;
  p.scratch_space_len = scratch_len;
  p.cpu_features = features;
  img::transform(dst, src, p, nullptr);
  for (size_t i = 0; i < kGuard; ++i) {
    if (out[out.size() - kGuard + i] != 0xA5 || scratch[scratch.size() - kGuard + i] != 0x5A) __builtin_trap();
  }
  out.resize(static_cast<size_t>(dst.buffer_length));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  reader r{data, size};
  const uint32_t choice = r.take(1);
  const uint32_t src_fcc = kSources[choice % 8];
  const bool sixteen = choice % 8 < 4;
  const uint32_t dst_fcc = sixteen ? kOutputs16[(choice / 8) % 2] : kOutputs8[(choice / 8) % 3];
  const int w = 8 + 2 * static_cast<int>(r.take(1) % 100);  // 8 .. 206, even
  const int h = 4 + 2 * static_cast<int>(r.take(1) % 4);    // 4 .. 10, even

  img::transform_params settings{};
  const uint32_t flags = r.take(1);
  settings.color_matrix_enable = flags & 1;
  settings.flip_vertical = (flags >> 1) & 1;
  settings.wb_enable = (flags >> 2) & 1;
  for (int16_t& m : settings.color_matrix) m = static_cast<int16_t>(r.take(2));
  settings.wb_gain_r = r.take(1), settings.wb_gain_g = r.take(1), settings.wb_gain_b = r.take(1),
  settings.wb_gain_g2 = r.take(1);
  // Small values most of the time, any value now and then.
  const auto setting = [&](int small) {
    const uint32_t v = r.take(4);
    return (v & 0x80000000u) ? static_cast<int32_t>(v) : static_cast<int32_t>(v % (2 * small + 1)) - small;
  };
  settings.saturation = setting(128), settings.hue = setting(180);
  settings.brightness = setting(256), settings.contrast = setting(256);
  settings.gamma = 100;

  img::img_descriptor src{};
  static_cast<img::img_type&>(src) = img::make_img_type(src_fcc, w, h);
  std::vector<uint8_t> frame(static_cast<size_t>(src.buffer_length));
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = r.at < size ? data[r.at++] : static_cast<uint8_t>(i * 131);

  const uint32_t all = img::allow_avx512(img::get_cpu_features());
  const uint32_t sse41 = img::cpu_sse2 | img::cpu_ssse3 | img::cpu_sse41;
  const uint32_t variants[] = {img::cpu_sse2, img::cpu_sse2 | img::cpu_ssse3, sse41,
                               img::allow_avx(sse41 | img::cpu_level8),
                               img::allow_avx512(sse41 | img::cpu_level8 | img::cpu_avx512),
                               img::allow_avx512(sse41 | img::cpu_level8 | img::cpu_avx512 |
                                                 img::cpu_avx512vnni)};
  const std::vector<uint8_t> want = run(src, frame, dst_fcc, settings, 0);
  for (uint32_t v : variants) {
    if ((all & v) != v) continue;
    if (run(src, frame, dst_fcc, settings, v) != want) __builtin_trap();
  }
  return 0;
}
