// The transform pipe: route selection, scratch sizing, the transform state,
// and each route as a fixed sequence of stages. Intermediate images are laid
// out densely (pitch derived from the format) at the start of the scratch
// buffer or, where a route allows it, at the start of the destination
// buffer; the final stage of a route always writes dst with dst's own pitch.
#include "img/img_transform_pipe.h"

#include <string.h>

#include "by12pa/by12pa_unpack.h"
#include "by16/by16_transform_matrix.h"
#include "by16/debayer_plain.h"
#include "filter/pixelfix/empia_pattern_fix.h"
#include "filter/pixelfix/j003_pixelfix.h"
#include "filter/sharpness_denoise/sharpness_denoise.h"
#include "filter/tonemapping/tonemapping.h"
#include "img/color_adjust.h"
#include "img/cpu_features.h"
#include "img/img_assert.h"
#include "img/transform_image.h"
#include "img/transform_stages.h"

namespace img {
namespace {

constexpr int kScratchSlack = 4096;
constexpr int64_t kJ003StateBytes = 8848;

bool is_raw_bayer(uint32_t fcc) { return is_by8_fcc(fcc) || is_by16_fcc(fcc); }

int64_t pixels(const img_type& t) {
  const int64_t w = t.dim_x < 0 ? -int64_t{t.dim_x} : t.dim_x;
  return w * t.dim_y;
}
int64_t tonemapping_scratch(const img_type& t) { return int64_t{get_bits_per_pixel(t.type)} * t.dim_x * 16; }
int64_t j003_scratch(const img_type& t) { return int64_t{t.dim_x / 4} * (t.dim_y / 8) * 4 + kJ003StateBytes; }
int64_t max3(int64_t a, int64_t b, int64_t c) {
  const int64_t ab = a > b ? a : b;
  return ab > c ? ab : c;
}

bool sharpness_or_denoise(const transform_params& p) { return p.sharpness != 0 || p.denoise != 0; }

wb_gains gains_of(const transform_params& p) { return {p.wb_gain_r, p.wb_gain_g, p.wb_gain_b, p.wb_gain_g2}; }

void raw_white_balance(const img_descriptor& img, const transform_params& p) {
  if (p.wb_enable && is_raw_bayer(img.type)) apply_raw_white_balance(img, gains_of(p), p.cpu_features);
}

constexpr int kFilterMinSize = 8;     // smallest image the sharpness/denoise filter takes
constexpr int kToneMinWidth = 4;      // smallest image tone mapping takes
constexpr int kToneMinHeight = 2;
constexpr int64_t kScratchAlign = 16;

// Sharpness and denoise from src into dst (same type and size). An image
// below the filter's 8 x 8 minimum passes through unchanged, so that the
// route still delivers it.
void filter_stage(const img_descriptor& dst, const img_descriptor& src, const transform_params& p) {
  if (src.dim_x < kFilterMinSize || src.dim_y < kFilterMinSize) {
    flip_copy(dst, src, false);
    return;
  }
  sharpness_denoise(dst, src, p.sharpness, p.denoise, p.cpu_features);
}

// dst addressed from its last line: writing it top-down delivers the image
// flipped. Single-plane images only.
img_descriptor flipped_view(const img_descriptor& dst) {
  img_descriptor v = dst;
  v.data = dst.data + static_cast<ptrdiff_t>(dst.dim_y - 1) * dst.pitch;
  v.pitch = -dst.pitch;
  return v;
}

// Tone mapping of a raw image in place, with the scratch buffer from
// `scratch_offset` on. Automatic mode measures the factors on this frame
// and writes them back (mul, add, pow, luminance average); the stage is
// skipped when mul or pow is 0, and for images below 4 x 2.
void tone_mapping(const img_descriptor& img, transform_params& p, tonemapping_state* state, int64_t scratch_offset) {
  if (!p.tonemapping_enable || !tonemapping::accepts(img.type)) return;
  if (img.dim_x < kToneMinWidth || img.dim_y < kToneMinHeight) return;
  if (!IMG_ASSERT(state != nullptr, "tonemapping_state != 0")) return;
  // NaN counts as the lower bound.
  const auto clamp = [](float v, float lo, float hi) { return !(v >= lo) ? lo : (v > hi ? hi : v); };
  const float intensity = clamp(p.tonemapping_intensity, -8.0f, 8.0f);
  const float g = clamp(p.tonemapping_global_brightness_factor, 0.0f, 1.0f);
  tonemapping_factors f;
  if (p.tonemapping_manual) {
    f = {intensity, g, p.tonemapping_factors[3], p.tonemapping_factors[2], p.tonemapping_factors[0],
         p.tonemapping_factors[1]};
    if (f.mul == 0.0f || f.pow == 0.0f) return;
    tonemapping_set_factors(tonemapping_state_table(*state), f);
  } else {
    f = tonemapping_compute_factors(*state, img, intensity, g);
    p.tonemapping_factors[0] = f.mul;
    p.tonemapping_factors[1] = f.add;
    p.tonemapping_factors[2] = f.pow;
    p.tonemapping_factors[3] = f.luminance_average;
    if (f.mul == 0.0f || f.pow == 0.0f) return;
  }
  const int64_t len = p.scratch_space_len - scratch_offset;
  uint8_t* scratch = p.scratch_space && len > 0 ? static_cast<uint8_t*>(p.scratch_space) + scratch_offset : nullptr;
  tonemapping_apply(img, f, tonemapping_state_table(*state), scratch, len > 0 ? static_cast<size_t>(len) : 0,
                    p.cpu_features);
}

// The pixel-pattern fixes of monochrome sources, in place. The j003 fix
// needs dimensions that are multiples of 4 (the camera families deliver
// them); other frames are passed on uncorrected.
void pattern_fixes(const img_descriptor& img, const transform_params& p) {
  const size_t len = p.scratch_space_len > 0 ? static_cast<size_t>(p.scratch_space_len) : 0;
  if (p.empia_pattern_fix) empia_pattern_fix(img, p.scratch_space, len, p.cpu_features);
  if (p.j003_pattern_fix && img.dim_x % 4 == 0 && img.dim_y % 4 == 0)
    j003_pixelfix(img, p.scratch_space, len, p.cpu_features);
}

// The lowest address of an image's buffer (its last line when bottom-up).
uint8_t* buffer_base(const img_descriptor& d) {
  return d.pitch < 0 ? d.data + static_cast<ptrdiff_t>(d.dim_y - 1) * d.pitch : d.data;
}

img_descriptor dense_image(uint32_t fcc, int dim_x, int dim_y, uint8_t* memory) {
  img_descriptor d;
  static_cast<img_type&>(d) = make_img_type(fcc, dim_x, dim_y);
  d.data = memory;
  return d;
}

// An intermediate image of type `fcc` at `offset` bytes into the scratch
// buffer; false (reported) when the scratch buffer is too small.
bool scratch_image(const transform_params& p, uint32_t fcc, int dim_x, int dim_y, int64_t offset,
                   img_descriptor& out) {
  out = dense_image(fcc, dim_x, dim_y, static_cast<uint8_t*>(p.scratch_space) + offset);
  const img_type tmp_img_type = out;
  return IMG_ASSERT(p.scratch_space != nullptr && offset + tmp_img_type.buffer_length <= p.scratch_space_len,
                    "params.scratch_space_len >= (int)tmp_img_type.buffer_length");
}

// An intermediate image at the start of the destination buffer.
bool dst_image(const img_descriptor& dst, uint32_t fcc, img_descriptor& out) {
  out = dense_image(fcc, dst.dim_x, dst.dim_y, buffer_base(dst));
  return IMG_ASSERT(out.buffer_length <= dst.buffer_length, "dst.buffer_length >= (int)tmp_img_type.buffer_length");
}

matrix_debayer_params matrix_params(const transform_params& p, bool with_colour, bool flip) {
  matrix_debayer_params m = {};
  m.cpu_features = p.cpu_features;
  m.color_matrix = p.color_matrix;
  m.color_matrix_enable = p.color_matrix_enable != 0;
  if (with_colour) {
    m.contrast = p.contrast;
    m.brightness = p.brightness;
    m.saturation = p.saturation;
    m.hue = p.hue;
  }
  m.flip = flip;
  return m;
}

// Gamma on the luminance after a matrix debayer (it cannot be folded into
// the linear weights).
void gamma_on_luma(const img_descriptor& img, const transform_params& p) {
  if (p.gamma_enable) apply_gamma(img, p.gamma_lut, p.cpu_features);
}

// ------------------------------------------------------------- routes ----

// Mono routes: pattern fixes, tone mapping and colour adjustment in place on
// the source, then the filter or a flip-copy into dst. The filter honours
// the flip too, by writing dst from its last line.
void route_mono(const img_descriptor& dst, const img_descriptor& src, transform_params& p,
                tonemapping_state* state) {
  if (src.type == FOURCC_Y800 && p.smooth_2x2) smooth_2x2(src, p.cpu_features);
  pattern_fixes(src, p);
  tone_mapping(src, p, state, 0);
  // Colour adjustment (brightness, contrast, gamma) in place on the source.
  color_adjust(src, p);
  if (sharpness_or_denoise(p)) {
    filter_stage(p.flip_vertical ? flipped_view(dst) : dst, src, p);
  } else {
    flip_copy(dst, src, p.flip_vertical != 0);
  }
}

void route_mono8_to_rgb24(const img_descriptor& dst, const img_descriptor& src, transform_params& p,
                          tonemapping_state* state) {
  pattern_fixes(src, p);
  tone_mapping(src, p, state, 0);
  img_descriptor work = src;
  if (sharpness_or_denoise(p)) {
    if (!scratch_image(p, FOURCC_Y800, src.dim_x, src.dim_y, 0, work)) return;
    filter_stage(work, src, p);
  }
  color_adjust(work, p);
  expand_y800_to_rgb24(dst, work, p.flip_vertical != 0, p.cpu_features);
}

void route_yuy2(const img_descriptor& dst, const img_descriptor& src, transform_params& p) {
  if (p.brightness == 0 && p.contrast == 0 && p.saturation == 0 && p.hue == 0 && !sharpness_or_denoise(p) &&
      !p.gamma_enable) {
    flip_copy(dst, src, p.flip_vertical != 0);
    return;
  }
  img_descriptor work;
  if (!scratch_image(p, FOURCC_YUV8PLANAR, src.dim_x, src.dim_y, 0, work)) return;
  unpack_yuy2_to_yuv8p(work, src);
  if (sharpness_or_denoise(p)) {
    img_descriptor second;
    if (!scratch_image(p, FOURCC_YUV8PLANAR, src.dim_x, src.dim_y, work.buffer_length, second)) return;
    filter_stage(second, work, p);
    work = second;
  }
  color_adjust(work, p);
  pack_yuv8p_to_yuy2(dst, work);
}

void route_bayer8_to_i420(const img_descriptor& dst, const img_descriptor& src, transform_params& p) {
  img_descriptor work;
  if (!scratch_image(p, FOURCC_YUV8PLANAR, src.dim_x, src.dim_y, 0, work)) return;
  if (!matrix_debayer8_accepts(work, src)) return;
  raw_white_balance(src, p);
  transform_matrix_debayer8(work, src, matrix_params(p, true, false));
  gamma_on_luma(work, p);
  if (sharpness_or_denoise(p)) {
    img_descriptor second;
    if (!scratch_image(p, FOURCC_YUV8PLANAR, src.dim_x, src.dim_y, work.buffer_length, second)) return;
    filter_stage(second, work, p);
    work = second;
  }
  convert_yuv8p_to_i420(dst, work);
}

void route_bayer8_to_rgb(const img_descriptor& dst, const img_descriptor& src, transform_params& p,
                         tonemapping_state* state) {
  raw_white_balance(src, p);
  tone_mapping(src, p, state, 0);
  const bool flip = p.flip_vertical != 0;
  if (sharpness_or_denoise(p) || p.gamma_enable) {
    // Through "YU8p": in the destination buffer when the filter follows
    // (it then writes the scratch buffer), otherwise in the scratch buffer.
    img_descriptor yuv;
    const bool filter = sharpness_or_denoise(p);
    if (filter ? !dst_image(dst, FOURCC_YUV8PLANAR, yuv)
               : !scratch_image(p, FOURCC_YUV8PLANAR, src.dim_x, src.dim_y, 0, yuv))
      return;
    if (!matrix_debayer8_accepts(yuv, src)) return;
    transform_matrix_debayer8(yuv, src, matrix_params(p, true, false));
    gamma_on_luma(yuv, p);
    if (filter) {
      img_descriptor filtered;
      if (!scratch_image(p, FOURCC_YUV8PLANAR, src.dim_x, src.dim_y, 0, filtered)) return;
      filter_stage(filtered, yuv, p);
      yuv = filtered;
    }
    convert_yuv8p_to_rgb(dst, yuv, flip, p.cpu_features);
  } else if (p.saturation != 0 || p.contrast != 0 || p.hue != 0 || p.brightness != 0) {
    transform_matrix_debayer8(dst, src, matrix_params(p, true, flip));
  } else {
    const uint32_t flags = (p.color_matrix_enable ? debayer_color_matrix : 0u) |
                           (p.empia_pattern_fix ? debayer_green_fix : 0u) | (flip ? debayer_flip : 0u);
    debayer_plain(dst, src, flags, p.cpu_features, p.color_matrix);
  }
}

int64_t align_scratch(int64_t offset) { return (offset + kScratchAlign - 1) / kScratchAlign * kScratchAlign; }

// 16-bit or 12-bit packed Bayer to "RGB6" without the filter: the "YUGp"
// image is produced a line at a time, and each line (with its gamma) goes
// straight into the conversion, so the intermediate never leaves the cache.
// The results are those of the whole-image stages. A packed source is
// unpacked into the scratch buffer (the destination is written as the lines
// come), and the three sample lines live behind it.
void route_bayer16_to_rgb64_by_lines(const img_descriptor& dst, const img_descriptor& src, transform_params& p,
                                     tonemapping_state* state) {
  img_descriptor raw = src;
  int64_t used = 0;
  if (is_by12pa_fcc(src.type)) {
    if (!scratch_image(p, transform_by12pa_to_by16_fcc(src.type), src.dim_x, src.dim_y, 0, raw)) return;
    transform_by12pa_to_by16(raw, src, p.cpu_features);
    used = align_scratch(raw.buffer_length);
  }
  const int64_t line = 2 * int64_t{src.dim_x};
  if (!IMG_ASSERT(p.scratch_space != nullptr && used + 3 * line <= p.scratch_space_len,
                  "params.scratch_space_len >= (int) temp_img_type.buffer_length"))
    return;
  raw_white_balance(raw, p);
  tone_mapping(raw, p, state, used);
  matrix16_rows rows;
  if (!matrix16_begin(rows, raw, matrix_params(p, true, false))) return;
  const yuv16p_to_rgb64_line_fn convert = choose_yuv16p_to_rgb64_line(p.cpu_features);
  const bool gamma_avx2 = p.gamma_enable && avx2_allowed(p.cpu_features);
  if (gamma_avx2) note_avx_entry("gamma");
  uint8_t* ly = static_cast<uint8_t*>(p.scratch_space) + used;
  uint8_t* lu = ly + line;
  uint8_t* lv = lu + line;
  const int h = src.dim_y;
  if (!p.gamma_enable && matrix16_rgb64_fused(rows)) {
    // Debayer and conversion in one pass; the few columns the fused steps
    // leave are converted from their sample lines.
    for (int y = 0; y < h; ++y) {
      uint8_t* out = line_ptr(dst, p.flip_vertical ? y : h - 1 - y);
      const column_span done = matrix16_rgb64_row(rows, y, out, ly, lu, lv);
      convert(out, ly, lu, lv, done.begin);
      const int64_t end = done.end;
      convert(out + 8 * end, ly + 2 * end, lu + 2 * end, lv + 2 * end, src.dim_x - done.end);
    }
  } else {
    for (int y = 0; y < h; ++y) {
      matrix16_row(rows, y, ly, lu, lv);
      if (p.gamma_enable) apply_gamma_line(ly, src.dim_x, FOURCC_YUV16PLANAR, p.gamma_lut, gamma_avx2);
      convert(line_ptr(dst, p.flip_vertical ? y : h - 1 - y), ly, lu, lv, src.dim_x);
    }
  }
  end_streaming_stores();
}

// 16-bit or 12-bit packed Bayer to "YUGp" or "RGB6". The images the route
// produces alternate between the scratch buffer and the destination buffer
// so that the last one lands in the destination; k counts the optional
// stages, and the first image goes to the scratch buffer when k is odd.
void route_bayer16(const img_descriptor& dst, const img_descriptor& src, transform_params& p,
                   tonemapping_state* state) {
  const bool packed = is_by12pa_fcc(src.type);
  const bool filter = sharpness_or_denoise(p);
  const bool rgb = dst.type == FOURCC_RGB64;
  const int k = (packed ? 1 : 0) + (filter ? 1 : 0) + (rgb ? 1 : 0);
  // The debayer's limits, checked before anything is unpacked or balanced.
  const uint32_t raw_type = packed ? transform_by12pa_to_by16_fcc(src.type) : src.type;
  if (!matrix_debayer16_accepts(make_img_type(FOURCC_YUV16PLANAR, dst.dim_x, dst.dim_y),
                                make_img_type(raw_type, src.dim_x, src.dim_y)))
    return;
  if (rgb && !filter) {
    route_bayer16_to_rgb64_by_lines(dst, src, p, state);
    return;
  }
  int produced = 0;
  // Places the next produced image of type fcc; the last one is dst itself.
  const auto next_image = [&](uint32_t fcc, img_descriptor& out) -> bool {
    const int index = produced++;
    if (index == k) {
      out = dst;
      return true;
    }
    if ((k - index) % 2 == 0) return dst_image(dst, fcc, out);
    out = dense_image(fcc, src.dim_x, src.dim_y, static_cast<uint8_t*>(p.scratch_space));
    const img_type temp_img_type = out;
    return IMG_ASSERT(p.scratch_space != nullptr && p.scratch_space_len >= temp_img_type.buffer_length,
                      "params.scratch_space_len >= (int) temp_img_type.buffer_length");
  };

  img_descriptor raw = src;
  if (packed) {
    if (!next_image(transform_by12pa_to_by16_fcc(src.type), raw)) return;
    transform_by12pa_to_by16(raw, src, p.cpu_features);
  }
  raw_white_balance(raw, p);
  // Tone mapping keeps its line copies behind the unpacked image when that
  // image lives in the scratch buffer, else at the start of it.
  tone_mapping(raw, p, state, align_scratch(raw.data == p.scratch_space ? raw.buffer_length : 0));
  img_descriptor yuv;
  if (!next_image(FOURCC_YUV16PLANAR, yuv)) return;
  transform_matrix_debayer16(yuv, raw, matrix_params(p, true, false));
  gamma_on_luma(yuv, p);
  if (filter) {
    img_descriptor filtered;
    if (!next_image(FOURCC_YUV16PLANAR, filtered)) return;
    filter_stage(filtered, yuv, p);
    yuv = filtered;
  }
  if (rgb) convert_yuv16p_to_rgb64(dst, yuv, p.flip_vertical != 0, p.cpu_features);
}

void route_bayer12_to_y16(const img_descriptor& dst, const img_descriptor& src, transform_params& p) {
  img_descriptor raw = dst;
  raw.type = transform_by12pa_to_by16_fcc(src.type);
  transform_by12pa_to_by16(raw, src, p.cpu_features);
  raw_white_balance(raw, p);
}

}  // namespace

transform_route get_transform_route(uint32_t dst_fcc, uint32_t src_fcc) {
  const bool by8 = is_by8_fcc(src_fcc);
  const bool by16 = is_by16_fcc(src_fcc);
  const bool by12 = is_by12pa_fcc(src_fcc);
  if (src_fcc == FOURCC_Y16 && dst_fcc == FOURCC_Y16) return transform_route::mono16;
  if (src_fcc == FOURCC_Y800 && dst_fcc == FOURCC_Y800) return transform_route::mono8;
  if (src_fcc == FOURCC_Y800 && dst_fcc == FOURCC_RGB24) return transform_route::mono8_to_rgb24;
  if (src_fcc == FOURCC_YUY2 && dst_fcc == FOURCC_YUY2) return transform_route::yuy2;
  if (by8 && dst_fcc == FOURCC_I420) return transform_route::bayer8_to_i420;
  if (by8 && (dst_fcc == FOURCC_RGB24 || dst_fcc == FOURCC_RGB32)) return transform_route::bayer8_to_rgb;
  if (by8 && (dst_fcc == FOURCC_BY8 || dst_fcc == FOURCC_Y800)) return transform_route::bayer8_to_raw;
  if ((by16 || by12) && (dst_fcc == FOURCC_YUV16PLANAR || dst_fcc == FOURCC_RGB64))
    return transform_route::bayer16_to_yuv_rgb;
  if (by16 && dst_fcc == FOURCC_Y16) return transform_route::bayer16_to_y16;
  if (by12 && dst_fcc == FOURCC_Y16) return transform_route::bayer12_to_y16;
  if (src_fcc == dst_fcc && get_bits_per_pixel(src_fcc) != 0) return transform_route::same_format;
  return transform_route::byte_copy;
}

int get_scratch_space_size(const img_type& dst_type, const img_type& src_type) {
  int64_t need = 0;
  switch (get_transform_route(dst_type.type, src_type.type)) {
    case transform_route::mono16:
      need = max3(tonemapping_scratch(src_type), 2 * pixels(dst_type), j003_scratch(src_type));
      break;
    case transform_route::mono8:
    case transform_route::mono8_to_rgb24:
      need = max3(tonemapping_scratch(src_type), pixels(dst_type), j003_scratch(src_type));
      break;
    case transform_route::yuy2:
    case transform_route::bayer8_to_i420: need = 6 * pixels(dst_type); break;
    case transform_route::bayer8_to_rgb:
      need = max3(tonemapping_scratch(src_type), 3 * pixels(dst_type), 0);
      break;
    case transform_route::bayer16_to_yuv_rgb: {
      const img_type gb16 = make_img_type(FOURCC_GBRG16, src_type.dim_x, src_type.dim_y);
      need = 3 * 2 * pixels(dst_type) + tonemapping_scratch(gb16);
      break;
    }
    default: need = 0; break;
  }
  if (need <= 0) return 0;
  need += kScratchSlack;
  return need > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(need);
}

void transform(const img_descriptor& dst, const img_descriptor& src, transform_params& params,
               tonemapping_state* state) {
  const transform_route route = get_transform_route(dst.type, src.type);
  if (route == transform_route::byte_copy) {
    raw_white_balance(src, params);
    byte_copy(dst, src);
    return;
  }
  if (!IMG_ASSERT(image_fits(src) && image_fits(dst), "image_fits( src ) && image_fits( dst )")) return;
  if (!IMG_ASSERT(src.dim_x == dst.dim_x && src.dim_y == dst.dim_y, "src.dim_x == dst.dim_x && src.dim_y == dst.dim_y"))
    return;
  switch (route) {
    case transform_route::mono16:
    case transform_route::mono8: route_mono(dst, src, params, state); break;
    case transform_route::mono8_to_rgb24: route_mono8_to_rgb24(dst, src, params, state); break;
    case transform_route::yuy2: route_yuy2(dst, src, params); break;
    case transform_route::bayer8_to_i420: route_bayer8_to_i420(dst, src, params); break;
    case transform_route::bayer8_to_rgb: route_bayer8_to_rgb(dst, src, params, state); break;
    case transform_route::bayer16_to_yuv_rgb: route_bayer16(dst, src, params, state); break;
    case transform_route::bayer12_to_y16: route_bayer12_to_y16(dst, src, params); break;
    case transform_route::bayer8_to_raw:
    case transform_route::bayer16_to_y16:
    case transform_route::same_format: {
      raw_white_balance(src, params);
      img_descriptor as_src = dst;  // "BY8 "/"Y800"/"Y16 " receive the raw samples unchanged
      as_src.type = src.type;
      flip_copy(as_src, src, params.flip_vertical != 0);
      break;
    }
    case transform_route::byte_copy: break;
  }
}

// -------------------------------------------------------------- state ----

tonemapping_state* create_transform_state(const transform_state_allocator& allocator) {
  if (allocator.allocate == nullptr) return nullptr;
  void* block = allocator.allocate(allocator.context, transform_state_size, transform_state_pool_tag);
  return block ? init_transform_state(block, transform_state_size) : nullptr;
}

void destroy_transform_state(tonemapping_state* state, const transform_state_allocator& allocator) {
  if (state != nullptr && allocator.release != nullptr)
    allocator.release(allocator.context, state, transform_state_pool_tag);
}

tonemapping_state* init_transform_state(void* memory, size_t size) {
  if (memory == nullptr || size < transform_state_size) return nullptr;
  memset(memory, 0, transform_state_size);
  return static_cast<tonemapping_state*>(memory);
}

}  // namespace img
