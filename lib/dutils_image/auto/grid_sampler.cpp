// The coarse sampling grid (see grid_sampler.h). Reads the frame only.
#include "auto/grid_sampler.h"

#include "img/transform_image.h"

namespace img {
namespace {

constexpr int kGridDivX = 41;
constexpr int kGridDivY = 31;

uint8_t high_byte(const uint8_t* line, int x, bool sixteen) {
  return sixteen ? line[2 * x + 1] : line[x];
}

}  // namespace

grid_steps get_grid_steps(int dim_x, int dim_y) {
  grid_steps s = {dim_x > 0 ? dim_x / kGridDivX : 0, dim_y > 0 ? dim_y / kGridDivY : 0};
  if (s.step_x == 0 || s.step_y == 0) s.step_x = s.step_y = 0;
  return s;
}

int sample_color_grid(const img_descriptor& frame, grid_samples& out) {
  out.count = 0;
  const bool rgb = frame.type == FOURCC_RGB24 || frame.type == FOURCC_RGB32;
  const bool by8 = is_by8_fcc(frame.type), by16 = is_by16_fcc(frame.type);
  if (!(rgb || by8 || by16) || !image_fits(frame)) return 0;
  const grid_steps s = get_grid_steps(frame.dim_x, frame.dim_y);
  if (s.step_x == 0) return 0;
  const int bytes = frame.type == FOURCC_RGB24 ? 3 : 4;
  const bayer_pattern pattern = get_bayer_pattern(frame.type);
  // Colour of the cell's sites: index (line * 2 + column) in pattern order.
  static const char kSites[4][5] = {"BGGR", "GBRG", "GRBG", "RGGB"};
  for (int y = s.step_y; y < frame.dim_y; y += s.step_y) {
    for (int x = s.step_x; x < frame.dim_x; x += s.step_x) {
      if (out.count == grid_max_samples) return static_cast<int>(out.count);
      grid_sample& g = out.samples[out.count];
      if (rgb) {
        if (x >= frame.dim_x - 1) break;
        const uint8_t* p = line_ptr(frame, y) + bytes * x;
        g.b = p[0], g.g = p[1], g.r = p[2], g.g1 = g.g2 = p[1];
      } else {
        const int cx = x & ~1, cy = y & ~1;
        if (cx + 1 >= frame.dim_x || cy + 1 >= frame.dim_y) break;
        int first_green = -1;
        for (int site = 0; site < 4; ++site) {
          const uint8_t v = high_byte(line_ptr(frame, cy + site / 2), cx + site % 2, by16);
          switch (kSites[pattern][site]) {
            case 'R':
              g.r = v;
              break;
            case 'B':
              g.b = v;
              break;
            default:
              if (first_green < 0) {
                first_green = site;
                g.g1 = v;
              } else {
                g.g2 = v;
              }
              break;
          }
        }
        g.g = static_cast<uint8_t>((g.g1 + g.g2) >> 1);
      }
      ++out.count;
    }
  }
  return static_cast<int>(out.count);
}

}  // namespace img
