// The coarse sampling grid shared by the automatic exposure and white
// balance and by the empia pattern fix: step_y = dim_y / 31 and
// step_x = dim_x / 41, points at y = step_y, 2 step_y, ... < dim_y and
// x = step_x, 2 step_x, ...; no point at all when either step is 0. At most
// grid_max_samples samples are taken, the rest of the grid is ignored.
#pragma once

#include <stdint.h>

#include "img/img_type.h"

namespace img {

constexpr int grid_max_samples = 2000;

// One grid sample. From Bayer frames: the 2 x 2 cell at the grid point,
// aligned on even columns and lines so that it holds one red, one blue and
// two green sites; g1 is the green of the cell's first line, g2 that of its
// second line, g their mean. From RGB frames: the pixel, g1 = g2 = g.
// 16-bit samples are reduced to their high byte.
struct grid_sample {
  uint8_t r;
  uint8_t g;
  uint8_t b;
  uint8_t g1;
  uint8_t g2;
};

struct grid_samples {
  uint32_t count;
  grid_sample samples[grid_max_samples];
};
static_assert(sizeof(grid_samples) == 10004, "grid sample buffer layout");

struct grid_steps {
  int step_x;  // 0: no grid
  int step_y;
};
grid_steps get_grid_steps(int dim_x, int dim_y);

// Samples a colour frame ("RGB3", "RGB4", 8-bit or 16-bit Bayer) into
// `out`; other types, or a frame that does not fit its buffer, give no
// samples. For RGB frames x stays below dim_x - 1. Returns the count.
int sample_color_grid(const img_descriptor& frame, grid_samples& out);

}  // namespace img
