// The transform pipe as a camera family uses it: route selection (every
// route runs with a scratch buffer of exactly the advertised size, so that
// the address sanitizer catches any overrun), each route on a
// small frame against the stages it is made of or a hand-derived result, and
// the transform state. Every route is also run with every stage switched on
// and compared with its stages composed by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>

#include "by12pa/by12pa_unpack.h"
#include "by16/by16_transform_matrix.h"
#include "by16/debayer_plain.h"
#include "filter/pixelfix/empia_pattern_fix.h"
#include "filter/pixelfix/j003_pixelfix.h"
#include "filter/sharpness_denoise/sharpness_denoise.h"
#include "img/color_adjust.h"
#include "img/transform_image.h"
#include "img/transform_stages.h"
#include "reference_filters.h"

using namespace xform_test;
using img::transform_route;

namespace {

// A parameter record (large: it holds the gamma tables) with a scratch
// buffer of exactly get_scratch_space_size bytes for the pair, and a
// transform state of its own.
struct pipe_fixture {
  std::unique_ptr<img::transform_params> params{new img::transform_params()};
  std::unique_ptr<uint8_t[]> scratch;
  filter_ref::state_holder state;

  void prepare(const img::img_type& dst, const img::img_type& src) {
    *params = img::transform_params();
    params->cpu_features = kCpu;
    const int n = img::get_scratch_space_size(dst, src);
    scratch.reset(n ? new uint8_t[n] : nullptr);
    params->scratch_space = scratch.get();
    params->scratch_space_len = n;
  }
  void run(const owned_image& dst, const owned_image& src, img::tonemapping_state* st = nullptr) {
    img::transform(dst.desc, src.desc, *params, st);
  }
};

img::matrix_debayer_params matrix_params(const img::transform_params& p, bool flip) {
  img::matrix_debayer_params m = {};
  m.cpu_features = p.cpu_features;
  m.color_matrix = p.color_matrix;
  m.color_matrix_enable = p.color_matrix_enable;
  m.contrast = p.contrast, m.brightness = p.brightness, m.saturation = p.saturation, m.hue = p.hue;
  m.flip = flip;
  return m;
}

}  // namespace

TEST(TransformRoutes, SelectionFollowsTheFormatPair) {
  using namespace img;
  using r = transform_route;
  const struct {
    uint32_t dst, src;
    transform_route route;
  } routes[] = {
      {FOURCC_Y16, FOURCC_Y16, r::mono16},           {FOURCC_Y800, FOURCC_Y800, r::mono8},
      {FOURCC_RGB24, FOURCC_Y800, r::mono8_to_rgb24}, {FOURCC_YUY2, FOURCC_YUY2, r::yuy2},
      {FOURCC_I420, FOURCC_BY8, r::bayer8_to_i420},  {FOURCC_RGB32, FOURCC_RGGB8, r::bayer8_to_rgb},
      {FOURCC_Y800, FOURCC_GRBG8, r::bayer8_to_raw}, {FOURCC_BY8, FOURCC_BGGR8, r::bayer8_to_raw},
      {FOURCC_RGB64, FOURCC_GBRG12_PACKED_D, r::bayer16_to_yuv_rgb},
      {FOURCC_YUV16PLANAR, FOURCC_RGGB16, r::bayer16_to_yuv_rgb},
      {FOURCC_Y16, FOURCC_GRBG16, r::bayer16_to_y16}, {FOURCC_Y16, FOURCC_BGGR12_PACKED_C, r::bayer12_to_y16},
      {FOURCC_UYVY, FOURCC_UYVY, r::same_format},    {FOURCC_BGGR8, FOURCC_GBRG8, r::byte_copy},
      {FOURCC_RGB24, FOURCC_UYVY, r::byte_copy},     {make_fourcc('a', 'b', 'c', 'd'), make_fourcc('a', 'b', 'c', 'd'),
                                                      r::byte_copy},
  };
  for (const auto& e : routes) EXPECT_EQ(get_transform_route(e.dst, e.src), e.route) << std::hex << e.src << " " << e.dst;
}

TEST(TransformRoutes, NeutralSettingsFlipCopyPlaneByPlane) {
  // Pairs without a route are copied byte for byte up to the shorter buffer.
  pipe_fixture f;
  owned_image uyvy = make_image(img::FOURCC_UYVY, 8, 4), rgb24 = make_image(img::FOURCC_RGB24, 8, 4);
  fill_random(uyvy, 1);
  f.prepare(rgb24.desc, uyvy.desc);
  f.run(rgb24, uyvy);
  EXPECT_TRUE(std::equal(uyvy.buffer.begin(), uyvy.buffer.end(), rgb24.buffer.begin()));  // 64 of 96 bytes
  EXPECT_EQ(rgb24.buffer[64], 0);
  owned_image y800 = make_image(img::FOURCC_Y800, 8, 2);  // 16 bytes
  f.run(y800, uyvy);
  EXPECT_TRUE(std::equal(y800.buffer.begin(), y800.buffer.end(), uyvy.buffer.begin()));
  // With every adjustment neutral the mono, "YUY2" and same-format routes
  // copy; flip_vertical reverses the lines, of each plane on its own.
  for (uint32_t fcc : {img::FOURCC_Y800, img::FOURCC_Y16, img::FOURCC_YUY2, img::FOURCC_UYVY}) {
    owned_image src = make_image(fcc, 12, 4, layout::padded), dst = make_image(fcc, 12, 4, layout::bottom_up);
    fill_random(src, 2);
    f.prepare(dst.desc, src.desc);
    for (int flip : {0, 1}) {
      f.params->flip_vertical = static_cast<uint8_t>(flip);
      f.run(dst, src);
      for (int y = 0; y < 4; ++y)
        EXPECT_EQ(0, memcmp(at8(dst.desc, 0, flip ? 3 - y : y), at8(src.desc, 0, y), src.desc.pitch - kPadding));
    }
  }
  owned_image i420 = make_image(img::FOURCC_I420, 4, 4), i420_out = make_image(img::FOURCC_I420, 4, 4);
  for (size_t i = 0; i < i420.buffer.size(); ++i) i420.buffer[i] = static_cast<uint8_t>(i);
  f.run(i420_out, i420);
  EXPECT_EQ(i420_out.buffer, (std::vector<uint8_t>{12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3,
                                                   18, 19, 16, 17, 22, 23, 20, 21}));
  // "Y800" to "RGB3": grey triples, top-down unless flipped.
  owned_image grey = make_image(img::FOURCC_Y800, 20, 3), rgb = make_image(img::FOURCC_RGB24, 20, 3);
  fill_random(grey, 3);
  f.prepare(rgb.desc, grey.desc);
  f.params->flip_vertical = 1;
  f.run(rgb, grey);
  for (int x = 0; x < 20; ++x) EXPECT_EQ(*at8(rgb.desc, 3 * x + 1, 2), *at8(grey.desc, x, 0));
}

TEST(TransformRoutes, Bayer8RoutesComposeTheirStages) {
  pipe_fixture f;
  owned_image src = make_image(img::FOURCC_GBRG8, 24, 6, layout::padded);
  fill_random(src, 5);
  static const int16_t kM[9] = {70, -4, -2, -3, 66, -1, 0, -8, 72};

  // No colour adjustment: the plain debayer with matrix, green fix and flip.
  for (uint32_t out : {img::FOURCC_RGB24, img::FOURCC_RGB32}) {
    owned_image dst = make_image(out, 24, 6);
    f.prepare(dst.desc, src.desc);
    std::copy(kM, kM + 9, f.params->color_matrix);
    f.params->color_matrix_enable = 1;
    f.params->empia_pattern_fix = 1;
    f.params->flip_vertical = 1;
    f.run(dst, src);
    owned_image want = make_image(out, 24, 6);
    img::debayer_plain(want.desc, src.desc, img::debayer_color_matrix | img::debayer_green_fix | img::debayer_flip, 0, kM);
    EXPECT_EQ(dst.buffer, want.buffer);

    // Colour adjustment: the matrix debayer straight into RGB.
    f.params->saturation = 20;
    f.params->brightness = -10;
    f.run(dst, src);
    img::transform_matrix_debayer8(want.desc, src.desc, matrix_params(*f.params, true));
    EXPECT_EQ(dst.buffer, want.buffer);

    // Gamma: through "YU8p" with gamma on Y, then converted bottom-up.
    f.params->flip_vertical = 0;
    f.params->gamma_enable = 1;
    img::build_gamma_lut(f.params->gamma_lut, 150);
    f.run(dst, src);
    owned_image yuv = make_image(img::FOURCC_YUV8PLANAR, 24, 6);
    img::transform_matrix_debayer8(yuv.desc, src.desc, matrix_params(*f.params, false));
    for (int i = 0; i < 24 * 6; ++i) yuv.buffer[i] = f.params->gamma_lut.lut8[yuv.buffer[i]];
    img::convert_yuv8p_to_rgb(want.desc, yuv.desc, false, 0);
    EXPECT_EQ(dst.buffer, want.buffer);
  }
}

TEST(TransformRoutes, RawOutputsAreWhiteBalancedCopies) {
  // 8-bit Bayer to "Y800" and 16-bit Bayer to "Y16 ": balanced in place on
  // the source, then flip-copied; 12-bit packed to "Y16 ": unpacked into the
  // destination and balanced there, unflipped.
  pipe_fixture f;
  owned_image by8 = make_image(img::FOURCC_GBRG8, 24, 6, layout::padded), raw8 = make_image(img::FOURCC_Y800, 24, 6);
  fill_random(by8, 5);
  const owned_image before8 = copy_of(by8);
  f.prepare(raw8.desc, by8.desc);
  f.params->wb_enable = 1;
  f.params->wb_gain_r = 128, f.params->wb_gain_b = 32, f.params->wb_gain_g = 64, f.params->wb_gain_g2 = 64;
  f.run(raw8, by8);
  // GBRG: (1, 0) is blue, (0, 1) red.
  EXPECT_EQ(*at8(raw8.desc, 1, 0), *at8(before8.desc, 1, 0) * 32 >> 6);
  EXPECT_EQ(*at8(raw8.desc, 0, 1), std::min(255, *at8(before8.desc, 0, 1) * 128 >> 6));
  EXPECT_EQ(*at8(raw8.desc, 0, 0), *at8(before8.desc, 0, 0));

  owned_image packed = make_image(img::FOURCC_GBRG12_PACKED_C, 40, 6), unpacked = make_image(img::FOURCC_GBRG16, 40, 6);
  fill_random(packed, 6);
  img::transform_by12pa_to_by16(unpacked.desc, packed.desc, 0);
  owned_image y16 = make_image(img::FOURCC_Y16, 40, 6);
  f.prepare(y16.desc, packed.desc);
  f.params->wb_enable = 1;
  f.params->wb_gain_r = f.params->wb_gain_g = f.params->wb_gain_b = f.params->wb_gain_g2 = 32;
  f.params->flip_vertical = 1;
  f.run(y16, packed);
  EXPECT_EQ(get16(y16.desc, 3, 0), get16(unpacked.desc, 3, 0) / 2);
  const owned_image before16 = copy_of(unpacked);
  f.run(y16, unpacked);
  EXPECT_EQ(get16(y16.desc, 3, 5), get16(before16.desc, 3, 0) / 2);
}

namespace {

// Every stage switched on, tone mapping in manual mode.
void all_stages(img::transform_params& p) {
  p.sharpness = 5, p.denoise = 10;
  p.tonemapping_enable = 1, p.tonemapping_manual = 1;
  p.tonemapping_intensity = 0.5f, p.tonemapping_global_brightness_factor = 0.3f;
  p.tonemapping_factors[0] = 1.2f, p.tonemapping_factors[1] = 0.05f;
  p.tonemapping_factors[2] = 0.4f, p.tonemapping_factors[3] = 0.6f;
  p.j003_pattern_fix = 1, p.empia_pattern_fix = 1, p.smooth_2x2 = 1;
  p.wb_enable = 1, p.wb_gain_r = 80, p.wb_gain_g = 64, p.wb_gain_b = 50, p.wb_gain_g2 = 70;
  p.contrast = 20, p.brightness = 8, p.saturation = 10, p.hue = 5;
  p.gamma_enable = 1;
  img::build_gamma_lut(p.gamma_lut, 120);
  p.flip_vertical = 1;
}

// A fixture for `dst` from `src` with every stage on, run with its state.
void run_all_stages(pipe_fixture& f, const owned_image& dst, const owned_image& src) {
  f.prepare(dst.desc, src.desc);
  all_stages(*f.params);
  f.run(dst, src, f.state.state);
}

void tone_map_by_hand(const owned_image& im, const img::transform_params& p) {
  filter_ref::state_holder st;
  const img::tonemapping_factors f = {p.tonemapping_intensity, p.tonemapping_global_brightness_factor,
                                      p.tonemapping_factors[3], p.tonemapping_factors[2],
                                      p.tonemapping_factors[0], p.tonemapping_factors[1]};
  img::tonemapping_set_factors(st.table(), f);
  std::vector<uint8_t> scratch(img::tonemapping::get_scratch_space_size(im.desc));
  img::tonemapping_apply(im.desc, f, st.table(), scratch.data(), scratch.size(), p.cpu_features);
}

void raw_white_balance(const owned_image& im, const img::transform_params& p) {
  img::apply_raw_white_balance(im.desc, {p.wb_gain_r, p.wb_gain_g, p.wb_gain_b, p.wb_gain_g2}, kCpu);
}

img::img_descriptor flipped(const img::img_descriptor& d) {
  img::img_descriptor v = d;
  v.data = d.data + static_cast<ptrdiff_t>(d.dim_y - 1) * d.pitch;
  v.pitch = -d.pitch;
  return v;
}

// A grey frame around level 100 whose 2 x 4 blocks carry a fixed gain per
// position and whose 2 x 2 cells carry another: what the pattern fixes remove.
owned_image patterned_frame(uint32_t fcc, int w, int h, uint32_t seed) {
  owned_image im = make_image(fcc, w, h);
  std::mt19937 rng(seed);
  fill_with(im, [&](int x, int y) {
    const int v = (100 + static_cast<int>(rng() % 12)) * (100 + 2 * ((y % 4) * 2 + (x & 1))) / 100;
    return fcc == img::FOURCC_Y16 ? v << 8 : v;
  });
  return im;
}

}  // namespace

TEST(TransformRoutes, MonoRoutesRunFixesToneMappingAdjustmentAndFilterInOrder) {
  // Large enough for valid j003 buckets (more than 4096 cells of one level).
  for (uint32_t fcc : {img::FOURCC_Y800, img::FOURCC_Y16}) {
    const owned_image orig = patterned_frame(fcc, 272, 520, 40);
    owned_image src = copy_of(orig), dst = make_image(fcc, 272, 520);
    pipe_fixture f;
    run_all_stages(f, dst, src);

    owned_image want_src = copy_of(orig), want = make_image(fcc, 272, 520);
    std::vector<uint8_t> scratch(static_cast<size_t>(f.params->scratch_space_len));
    if (fcc == img::FOURCC_Y800) img::smooth_2x2(want_src.desc, kCpu);
    img::empia_pattern_fix(want_src.desc, scratch.data(), scratch.size(), kCpu);
    img::j003_pixelfix(want_src.desc, scratch.data(), scratch.size(), kCpu);
    EXPECT_NE(img::j003::gain_of(scratch.data(), 100, 0), 1.0f);  // the pattern was seen
    tone_map_by_hand(want_src, *f.params);
    img::color_adjust(want_src.desc, *f.params);
    img::sharpness_denoise(flipped(want.desc), want_src.desc, 5, 10, kCpu);
    EXPECT_EQ(dst.buffer, want.buffer) << std::hex << fcc;
    EXPECT_EQ(src.buffer, want_src.buffer) << std::hex << fcc;  // the in-place stages ran on the source
  }

  // "Y800" to "RGB3": the filtered grey image is adjusted and expanded.
  const owned_image orig = patterned_frame(img::FOURCC_Y800, 32, 16, 41);
  owned_image src = copy_of(orig), dst = make_image(img::FOURCC_RGB24, 32, 16);
  pipe_fixture f;
  run_all_stages(f, dst, src);
  owned_image want_src = copy_of(orig), grey = make_image(img::FOURCC_Y800, 32, 16);
  owned_image want = make_image(img::FOURCC_RGB24, 32, 16);
  std::vector<uint8_t> scratch(static_cast<size_t>(f.params->scratch_space_len));
  img::empia_pattern_fix(want_src.desc, scratch.data(), scratch.size(), kCpu);
  tone_map_by_hand(want_src, *f.params);
  img::sharpness_denoise(grey.desc, want_src.desc, 5, 10, kCpu);
  img::color_adjust(grey.desc, *f.params);
  img::expand_y800_to_rgb24(want.desc, grey.desc, true, kCpu);
  EXPECT_EQ(dst.buffer, want.buffer);
}

TEST(TransformRoutes, ColourRoutesRunToneMappingAndTheFilterWhereTheirPathHasThem) {
  // "YUY2": unpacked, filtered, adjusted, repacked (no tone mapping, no flip).
  {
    owned_image src = make_image(img::FOURCC_YUY2, 32, 8), dst = make_image(img::FOURCC_YUY2, 32, 8);
    fill_random(src, 50);
    pipe_fixture f;
    run_all_stages(f, dst, src);
    owned_image a = make_image(img::FOURCC_YUV8PLANAR, 32, 8), b = make_image(img::FOURCC_YUV8PLANAR, 32, 8);
    owned_image want = make_image(img::FOURCC_YUY2, 32, 8);
    img::unpack_yuy2_to_yuv8p(a.desc, src.desc);
    img::sharpness_denoise(b.desc, a.desc, 5, 10, kCpu);
    img::color_adjust(b.desc, *f.params);
    img::pack_yuv8p_to_yuy2(want.desc, b.desc);
    EXPECT_EQ(dst.buffer, want.buffer);
  }
  // 8-bit Bayer to "I420" (no tone mapping) and to RGB (tone mapping first).
  owned_image bayer8 = make_image(img::FOURCC_BGGR8, 40, 12, layout::padded);
  fill_random(bayer8, 51);
  for (uint32_t out : {img::FOURCC_I420, img::FOURCC_RGB24, img::FOURCC_RGB32}) {
    owned_image src = copy_of(bayer8), dst = make_image(out, 40, 12);
    pipe_fixture f;
    run_all_stages(f, dst, src);
    owned_image raw = copy_of(bayer8);
    raw_white_balance(raw, *f.params);
    if (out != img::FOURCC_I420) tone_map_by_hand(raw, *f.params);
    owned_image a = make_image(img::FOURCC_YUV8PLANAR, 40, 12), b = make_image(img::FOURCC_YUV8PLANAR, 40, 12);
    img::transform_matrix_debayer8(a.desc, raw.desc, matrix_params(*f.params, false));
    for (int i = 0; i < 40 * 12; ++i) a.buffer[i] = f.params->gamma_lut.lut8[a.buffer[i]];
    img::sharpness_denoise(b.desc, a.desc, 5, 10, kCpu);
    owned_image want = make_image(out, 40, 12);
    if (out == img::FOURCC_I420) {
      img::convert_yuv8p_to_i420(want.desc, b.desc);
    } else {
      img::convert_yuv8p_to_rgb(want.desc, b.desc, true, kCpu);
    }
    EXPECT_EQ(dst.buffer, want.buffer) << std::hex << out;
  }
  // 16-bit and 12-bit packed Bayer to "YUGp" and "RGB6", with and without
  // filter and gamma: every count of optional stages places the images
  // differently between scratch and destination buffer.
  owned_image packed = make_image(img::FOURCC_GBRG12_PACKED_C, 40, 12);
  fill_random(packed, 52);
  owned_image unpacked = make_image(img::FOURCC_GBRG16, 40, 12);
  img::transform_by12pa_to_by16(unpacked.desc, packed.desc, 0);
  for (const owned_image* orig : {&packed, &unpacked}) {
    for (uint32_t out : {img::FOURCC_YUV16PLANAR, img::FOURCC_RGB64}) {
      for (bool all : {true, false}) {
        owned_image src = copy_of(*orig), dst = make_image(out, 40, 12);
        pipe_fixture f;
        f.prepare(dst.desc, src.desc);
        all_stages(*f.params);
        if (!all) f.params->sharpness = f.params->denoise = f.params->gamma_enable = 0;
        f.run(dst, src, f.state.state);
        owned_image raw = copy_of(unpacked);
        raw_white_balance(raw, *f.params);
        tone_map_by_hand(raw, *f.params);
        owned_image a = make_image(img::FOURCC_YUV16PLANAR, 40, 12), b = copy_of(a);
        img::transform_matrix_debayer16(a.desc, raw.desc, matrix_params(*f.params, false));
        if (all) img::apply_gamma(a.desc, f.params->gamma_lut);
        if (all) img::sharpness_denoise(b.desc, a.desc, 5, 10, kCpu);
        const owned_image& yuv = all ? b : a;
        owned_image want = copy_of(yuv);
        if (out == img::FOURCC_RGB64) {
          want = make_image(out, 40, 12);
          img::convert_yuv16p_to_rgb64(want.desc, yuv.desc, true, kCpu);
        }
        EXPECT_EQ(dst.buffer, want.buffer) << std::hex << orig->desc.type << " to " << out << " all " << all;
      }
    }
  }
  // Without gamma and filter the route to "RGB6" debayers and converts in
  // one pass: at widths around its steps and at every alignment of the
  // output lines it gives the image of the two stages.
  // The AVX2 form on padded lines, the AVX-512 form on the others (where the
  // processor has them).
  for (int w : {32, 34, 48, 64, 70, 98, 130}) {
    for (layout l : {layout::dense, layout::padded, layout::bottom_up}) {
      const uint32_t variant = kVariants[l == layout::padded ? 4 : 5];
      if (!has_variant(variant)) continue;
      owned_image src = make_image(img::FOURCC_RGGB16, w, 6, l), dst = make_image(img::FOURCC_RGB64, w, 6, l);
      fill_random(src, 54 + w, 65535);
      pipe_fixture f;
      f.prepare(dst.desc, src.desc);
      f.params->cpu_features = variant;
      f.params->saturation = 20, f.params->hue = 15, f.params->contrast = 30;
      if (l == layout::bottom_up) {
        // A colour matrix whose sums pass 2^31.
        for (int k = 0; k < 9; ++k) f.params->color_matrix[k] = k % 2 ? -32768 : 32767;
        f.params->color_matrix_enable = 1;
      }
      f.run(dst, src, f.state.state);
      owned_image yuv = make_image(img::FOURCC_YUV16PLANAR, w, 6), want = make_image(img::FOURCC_RGB64, w, 6, l);
      img::transform_matrix_debayer16(yuv.desc, src.desc, matrix_params(*f.params, false));
      img::convert_yuv16p_to_rgb64(want.desc, yuv.desc, false, 0);
      EXPECT_EQ(dst.buffer, want.buffer) << w << " layout " << static_cast<int>(l);
    }
  }
}

TEST(TransformRoutes, AutomaticToneMappingWritesItsFactorsBackAndSkipsWhenTheyAreZero) {
  owned_image src = make_image(img::FOURCC_Y16, 64, 16), dst = make_image(img::FOURCC_Y16, 64, 16);
  fill_random(src, 53, 30000);
  const owned_image orig = copy_of(src);
  pipe_fixture f;
  f.prepare(dst.desc, src.desc);
  f.params->tonemapping_enable = 1;
  f.params->tonemapping_intensity = 20.0f;  // clamped to 8
  f.params->tonemapping_global_brightness_factor = 0.5f;
  f.run(dst, src, f.state.state);
  // The factors of a fresh automatic state on this frame.
  filter_ref::state_holder fresh;
  const img::tonemapping_factors want = img::tonemapping_compute_factors(*fresh.state, orig.desc, 8.0f, 0.5f);
  EXPECT_EQ(std::vector<float>(f.params->tonemapping_factors, f.params->tonemapping_factors + 4),
            (std::vector<float>{want.mul, want.add, want.pow, want.luminance_average}));
  EXPECT_NE(dst.buffer, orig.buffer);
  // A constant frame measures no range (mul = add = 0); manual factors with
  // mul = 0 or pow = 0: the image is left as it is.
  owned_image flat = make_image(img::FOURCC_Y16, 64, 16);
  std::fill(flat.buffer.begin(), flat.buffer.end(), 0x40);
  img::init_transform_state(f.state.memory.get(), img::transform_state_size);
  f.run(dst, flat, f.state.state);
  EXPECT_EQ(f.params->tonemapping_factors[0], 0.0f);
  EXPECT_EQ(dst.buffer, flat.buffer);
  f.params->tonemapping_manual = 1;
  for (int zero : {0, 2}) {
    owned_image s2 = copy_of(orig);
    f.params->tonemapping_factors[0] = 1.0f, f.params->tonemapping_factors[2] = 0.5f;
    f.params->tonemapping_factors[zero] = 0.0f;
    f.run(dst, s2, f.state.state);
    EXPECT_EQ(dst.buffer, orig.buffer);
  }
}

namespace {

// Every parameter at an end of its range, floats infinite or NaN.
void absurd_settings(img::transform_params& p, bool high) {
  const int32_t v = high ? INT32_MAX : INT32_MIN;
  p.saturation = p.hue = p.sharpness = p.denoise = p.brightness = p.contrast = v;
  p.wb_gain_r = p.wb_gain_g = p.wb_gain_b = p.wb_gain_g2 = 0xFFFFFFFFu;
  for (int16_t& m : p.color_matrix) m = high ? INT16_MAX : INT16_MIN;
  const float inf = high ? HUGE_VALF : -HUGE_VALF;
  p.tonemapping_intensity = inf, p.tonemapping_global_brightness_factor = NAN;
  for (float& t : p.tonemapping_factors) t = high ? NAN : inf;
  img::build_gamma_lut(p.gamma_lut, v);
}

}  // namespace

TEST(TransformRoutes, EveryRouteStaysInsideItsBuffersWithExactlyTheAdvertisedScratch) {
  // Seeded sweep over the routes with random sizes, layouts and settings,
  // the last two rounds with every parameter at an end of its range; the
  // sanitizers check every access against buffers of exactly the sizes the
  // caller would allocate and every arithmetic step. No assertion may fire.
  const uint32_t pairs[][2] = {
      {img::FOURCC_Y16, img::FOURCC_Y16},          {img::FOURCC_Y800, img::FOURCC_Y800},
      {img::FOURCC_Y800, img::FOURCC_RGB24},       {img::FOURCC_YUY2, img::FOURCC_YUY2},
      {img::FOURCC_BY8, img::FOURCC_I420},         {img::FOURCC_RGGB8, img::FOURCC_RGB24},
      {img::FOURCC_GRBG8, img::FOURCC_RGB32},      {img::FOURCC_BGGR8, img::FOURCC_Y800},
      {img::FOURCC_GBRG16, img::FOURCC_RGB64},     {img::FOURCC_RGGB16, img::FOURCC_YUV16PLANAR},
      {img::FOURCC_BGGR12_PACKED_D, img::FOURCC_RGB64}, {img::FOURCC_GRBG12_PACKED_C, img::FOURCC_YUV16PLANAR},
      {img::FOURCC_RGGB16, img::FOURCC_Y16},       {img::FOURCC_GBRG12_PACKED_D, img::FOURCC_Y16},
      {img::FOURCC_YUV8PLANAR, img::FOURCC_YUV8PLANAR},
  };
  std::mt19937 rng(2024);
  report_capture reports;
  pipe_fixture f;
  for (int round = 0; round < 8; ++round) {
    for (const auto& pair : pairs) {
      const int w = 8 + 2 * static_cast<int>(rng() % 40), h = 4 + 2 * static_cast<int>(rng() % 6);
      const bool packed = img::is_by12pa_fcc(pair[0]);
      // Packed sources and planar images are dense; the others vary.
      const layout src_layout = packed || pair[0] == img::FOURCC_YUV8PLANAR ? layout::dense : static_cast<layout>(rng() % 3);
      const layout dst_layout = static_cast<layout>(rng() % 3);
      owned_image src = make_image(pair[0], w, h, src_layout);
      fill_random(src, rng());
      owned_image dst = make_image(pair[1], w, h, dst_layout);
      f.prepare(dst.desc, src.desc);
      img::transform_params& p = *f.params;
      const auto pick = [&](int n, int step, int from) { return static_cast<int>(rng() % n) * step + from; };
      p.flip_vertical = rng() % 2;
      p.wb_enable = rng() % 2;
      p.wb_gain_r = rng() % 256, p.wb_gain_g = rng() % 256, p.wb_gain_b = rng() % 256, p.wb_gain_g2 = rng() % 256;
      p.saturation = pick(3, 20, -20), p.hue = pick(3, 45, -45);
      p.brightness = pick(3, 16, -16), p.contrast = pick(3, 40, -40);
      p.sharpness = pick(2, 4, 0), p.denoise = pick(2, 8, 0);
      p.smooth_2x2 = rng() % 2;
      p.tonemapping_enable = rng() % 2;
      p.tonemapping_manual = rng() % 2;
      p.tonemapping_intensity = static_cast<float>(rng() % 9) - 4.0f;
      p.tonemapping_global_brightness_factor = 0.5f;
      p.tonemapping_factors[0] = 1.1f, p.tonemapping_factors[1] = -0.05f, p.tonemapping_factors[2] = 0.4f;
      p.tonemapping_factors[3] = 0.5f;
      p.empia_pattern_fix = rng() % 2;
      p.j003_pattern_fix = rng() % 2;
      p.color_matrix_enable = rng() % 2;
      for (int16_t& m : p.color_matrix) m = static_cast<int16_t>(static_cast<int>(rng() % 160) - 40);
      p.gamma_enable = rng() % 2;
      if (p.gamma_enable) img::build_gamma_lut(p.gamma_lut, 60 + static_cast<int>(rng() % 100));
      if (rng() % 2) p.cpu_features = 0;
      if (round >= 6) absurd_settings(p, round == 6);
      f.run(dst, src, f.state.state);
    }
  }
  EXPECT_EQ(reports.reports, std::vector<std::string>{});
}

TEST(TransformRoutes, AnAbsurdSaturationSaturates) {
  // Through the colour-adjustment stage ("YUY2") and folded into the matrix
  // debayer (8-bit RGB, 16-bit "YUGp"): the top of the int range acts as the
  // stage's largest factor, like every saturation beyond it.
  const uint32_t pairs[][2] = {{img::FOURCC_YUY2, img::FOURCC_YUY2},
                               {img::FOURCC_GRBG8, img::FOURCC_RGB24},
                               {img::FOURCC_GRBG16, img::FOURCC_YUV16PLANAR}};
  for (const auto& pair : pairs) {
    owned_image src = make_image(pair[0], 64, 8);
    fill_random(src, 61);
    owned_image top = make_image(pair[1], 64, 8), large = make_image(pair[1], 64, 8);
    pipe_fixture f;
    f.prepare(top.desc, src.desc);
    f.params->saturation = INT32_MAX;
    f.run(top, src);
    f.params->saturation = 20000;
    f.run(large, src);
    EXPECT_EQ(top.buffer, large.buffer) << std::hex << pair[0];
    EXPECT_NE(top.buffer, std::vector<uint8_t>(top.buffer.size(), 0));
  }
}

TEST(TransformRoutes, SixteenBitRoutesGiveTheSameImageAtOddPitches) {
  // Every route with 16-bit samples, every stage on: with both images at odd
  // pitches (16-bit lines and planes at odd addresses, top-down and
  // bottom-up) the result equals the one of dense images.
  const uint32_t pairs[][2] = {
      {img::FOURCC_Y16, img::FOURCC_Y16},           {img::FOURCC_GBRG16, img::FOURCC_YUV16PLANAR},
      {img::FOURCC_RGGB16, img::FOURCC_RGB64},      {img::FOURCC_BGGR12_PACKED_C, img::FOURCC_RGB64},
      {img::FOURCC_GRBG12_PACKED_D, img::FOURCC_YUV16PLANAR}, {img::FOURCC_GRBG16, img::FOURCC_Y16},
      {img::FOURCC_GBRG12_PACKED_C, img::FOURCC_Y16}, {img::FOURCC_YUV16PLANAR, img::FOURCC_YUV16PLANAR},
  };
  const auto relayout = [](const owned_image& im, int pitch) {
    owned_image out = make_image_with_pitch(im.desc.type, im.desc.dim_x, im.desc.dim_y, pitch);
    const int line = img::make_img_type(im.desc.type, im.desc.dim_x, im.desc.dim_y).pitch;
    for (int k = 0; k < img::plane_count(im.desc.type); ++k)
      for (int y = 0; y < im.desc.dim_y; ++y) memcpy(at8(out.desc, 0, y, k), at8(im.desc, 0, y, k), line);
    return out;
  };
  for (const auto& pair : pairs) {
    for (uint32_t cpu : {0u, kCpu}) {
      owned_image src = make_image(pair[0], 48, 20), dst = make_image(pair[1], 48, 20);
      fill_random(src, 60, img::is_by12pa_fcc(pair[0]) ? 255 : 65535);
      owned_image odd_src = relayout(src, -(src.desc.pitch + 3)), odd_dst = relayout(dst, dst.desc.pitch + 1);
      pipe_fixture f;
      for (int odd = 0; odd < 2; ++odd) {
        f.prepare(dst.desc, src.desc);
        all_stages(*f.params);
        f.params->cpu_features = cpu;
        f.run(odd ? odd_dst : dst, odd ? odd_src : src, f.state.state);
      }
      EXPECT_EQ(relayout(odd_dst, dst.desc.pitch).buffer, dst.buffer) << std::hex << pair[0] << " " << pair[1];
    }
  }
}

TEST(TransformRoutes, TooSmallScratchOrMismatchedImagesAreReportedAndNothingIsWritten) {
  // Too little scratch, mismatched sizes, a short buffer, and sizes the
  // matrix debayer refuses (the route stops before any stage reads an
  // intermediate image that was never written): one report each.
  report_capture reports;
  pipe_fixture f;
  owned_image src = make_image(img::FOURCC_BGGR8, 16, 4), i420 = make_image(img::FOURCC_I420, 16, 4);
  fill_random(src, 9);
  owned_image other = make_image(img::FOURCC_RGB24, 16, 6), short_buffer = make_image(img::FOURCC_RGB24, 16, 4);
  short_buffer.desc.buffer_length -= 1;
  owned_image odd = make_image(img::FOURCC_BGGR8, 14, 5), odd_out = make_image(img::FOURCC_I420, 14, 5);
  owned_image narrow = make_image(img::FOURCC_GBRG12_PACKED_C, 6, 4), narrow_out = make_image(img::FOURCC_RGB64, 6, 4);
  const std::pair<owned_image*, owned_image*> cases[] = {
      {&i420, &src}, {&other, &src}, {&short_buffer, &src}, {&odd_out, &odd}, {&narrow_out, &narrow}};
  for (const auto& c : cases) {
    f.prepare(c.first->desc, c.second->desc);
    if (c.first == &i420) f.params->scratch_space_len = 100;
    f.run(*c.first, *c.second);
    EXPECT_EQ(c.first->buffer, std::vector<uint8_t>(c.first->buffer.size(), 0));
  }
  EXPECT_EQ(reports.reports.size(), 5u);
}

TEST(TransformState, ComesZeroedFromTheCallersAllocatorAndGoesBackToIt) {
  static std::vector<uint8_t> block;
  static int released = 0;
  img::transform_state_allocator alloc = {};
  alloc.allocate = [](void*, size_t size, uint32_t tag) -> void* {
    block.assign(size, 0xAB);
    return tag == img::make_fourcc('I', 'T', 'U', 'D') ? block.data() : nullptr;
  };
  alloc.release = [](void*, void* b, uint32_t) { released += b == block.data(); };
  img::tonemapping_state* s = img::create_transform_state(alloc);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(block, std::vector<uint8_t>(264508, 0));
  img::destroy_transform_state(s, alloc);
  img::destroy_transform_state(nullptr, alloc);
  EXPECT_EQ(released, 1);
  alloc.allocate = [](void*, size_t, uint32_t) -> void* { return nullptr; };
  EXPECT_EQ(img::create_transform_state(alloc), nullptr);
  uint8_t small[16];
  EXPECT_EQ(img::init_transform_state(small, sizeof small), nullptr);
}
