// The transform pipe: turns one assembled camera frame into the format the
// client negotiated, applying the image corrections switched on in the
// per-frame parameter record. The route is chosen from the pair (source
// FOURCC, destination FOURCC); intermediates live in a caller-owned scratch
// buffer sized by get_scratch_space_size, so the pipe never allocates.
//
// Runs at PASSIVE_LEVEL on the frame worker; one camera object transforms one
// frame at a time, so a parameter record and its scratch buffer are never
// shared between threads.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "img/img_type.h"

namespace img {

// Gamma tables built by build_gamma_lut: one for 8-bit samples, one for
// 16-bit samples (0x20100 bytes in all).
struct gamma_table {
  uint8_t lut8[256];
  uint16_t lut16[65536];
};

// Per-frame parameters. The camera family zeroes the whole record at every
// stream start, sets the scratch buffer and then rewrites the other fields
// before each frame.
struct transform_params {
  uint32_t cpu_features;        // mask of get_cpu_features()
  int16_t color_matrix[9];      // rows R, G, B; columns R, G, B; 64 = 1.0
  uint8_t color_matrix_enable;  // use color_matrix in the debayer
  uint8_t wb_enable;            // white balance on raw Bayer sources
  uint32_t wb_gain_r;           // low 8 bits used, 64 = 1.0
  uint32_t wb_gain_g;           // green on red lines
  uint32_t wb_gain_b;
  uint32_t wb_gain_g2;          // green on blue lines
  int32_t saturation;           // saturation - 64 (0 is neutral)
  int32_t hue;                  // degrees (0 is neutral)
  int32_t sharpness;            // 0 is off
  int32_t denoise;              // 0 is off
  uint8_t empia_pattern_fix;
  uint8_t flip_vertical;        // deliver the lines in reverse order
  int32_t brightness;           // 1/256 of full scale (0 is neutral)
  int32_t contrast;             // 1/256 (0 is neutral)
  int32_t gamma;                // gamma x 100 (100 is neutral)
  uint8_t gamma_enable;         // apply gamma_lut
  gamma_table gamma_lut;
  void* scratch_space;          // owned by the caller, allocated at stream start
  int32_t scratch_space_len;    // bytes
  uint8_t tonemapping_enable;
  uint8_t tonemapping_manual;   // use tonemapping_factors as given
  float tonemapping_intensity;                 // [-8, 8]
  float tonemapping_global_brightness_factor;  // [0, 1]
  float tonemapping_factors[4];  // mul, add, pow, luminance average; written back in automatic mode
  uint8_t smooth_2x2;            // 2x2 smoothing of "Y800" sources
  uint8_t j003_pattern_fix;
};

// State of automatic tone mapping, carried from frame to frame. Its layout
// belongs to the tone-mapping stage; the pipe only passes it on.
struct tonemapping_state;

constexpr size_t transform_state_size = 264508;
// Pool tag under which the driver allocates the state ("ITUD" in memory).
constexpr uint32_t transform_state_pool_tag = make_fourcc('I', 'T', 'U', 'D');

// How the state memory is obtained: the image library cannot reach the
// kernel pool itself, so the driver passes its allocator (non-paged pool,
// tag transform_state_pool_tag). `allocate` returns null on failure.
struct transform_state_allocator {
  void* (*allocate)(void* context, size_t size, uint32_t pool_tag);
  void (*release)(void* context, void* block, uint32_t pool_tag);
  void* context;
};

// Allocates transform_state_size bytes through `allocator` and zeroes them
// (a zeroed state starts automatic tone mapping afresh). Null when the
// allocation fails. PASSIVE_LEVEL, with the camera object.
tonemapping_state* create_transform_state(const transform_state_allocator& allocator);
// Returns the state to the allocator it came from; null is accepted.
void destroy_transform_state(tonemapping_state* state, const transform_state_allocator& allocator);
// Alternative for callers that own suitable memory already: zeroes `memory`
// and returns it as a state, or null when `size` is below
// transform_state_size.
tonemapping_state* init_transform_state(void* memory, size_t size);

// The routes of the pipe, chosen from the pair of FOURCCs (first match of
// the list wins).
enum class transform_route : int {
  mono16,              // "Y16 " to "Y16 "
  mono8,               // "Y800" to "Y800"
  mono8_to_rgb24,      // "Y800" to "RGB3"
  yuy2,                // "YUY2" to "YUY2"
  bayer8_to_i420,      // 8-bit Bayer to "I420"
  bayer8_to_rgb,       // 8-bit Bayer to "RGB3" or "RGB4"
  bayer8_to_raw,       // 8-bit Bayer to "BY8 " or "Y800": white balance, flip-copy
  bayer16_to_yuv_rgb,  // 16-bit or 12-bit packed Bayer to "YUGp" or "RGB6"
  bayer16_to_y16,      // 16-bit Bayer to "Y16 ": white balance, flip-copy
  bayer12_to_y16,      // 12-bit packed Bayer to "Y16 ": unpack, white balance
  same_format,         // equal known FOURCCs: white balance, flip-copy
  byte_copy,           // anything else: white balance, then a plain byte copy
};
transform_route get_transform_route(uint32_t dst_fcc, uint32_t src_fcc);

// Scratch bytes the route from `src_type` to `dst_type` needs (4096 bytes of
// slack included), or 0 when the route needs none.
int get_scratch_space_size(const img_type& dst_type, const img_type& src_type);

// Builds both gamma tables for gamma x 100 = `gamma` (100 is the identity).
void build_gamma_lut(gamma_table& lut, int gamma);

// Transforms `src` into `dst`. The source may be modified in place by the
// raw stages (white balance, smoothing, pattern fixes, tone mapping, colour
// adjustment of mono images). `state` carries automatic tone mapping from
// frame to frame; it may be null only while tonemapping_enable is clear.
// Preconditions are reported through IMG_ASSERT; a route whose images do not
// fit their buffers, or whose scratch buffer is too small, writes nothing.
void transform(const img_descriptor& dst, const img_descriptor& src, transform_params& params,
               tonemapping_state* state);

}  // namespace img
