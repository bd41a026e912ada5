// The empia pattern fix (see empia_pattern_fix.h). The image is sampled and
// corrected as if it were a "BA81" (16-bit: "BG16") mosaic: phase (0, 0) is
// the "blue" site, (1, 0) and (0, 1) the two "greens", (1, 1) the "red"
// site, so the grid sampler and the raw white balance do the work.
#include "filter/pixelfix/empia_pattern_fix.h"

#include "auto/grid_sampler.h"
#include "img/transform_image.h"
#include "img/transform_stages.h"

namespace img {

void empia_pattern_fix(const img_descriptor& image, void* scratch, size_t scratch_size,
                       uint32_t cpu_features) {
  if (image.type != FOURCC_Y800 && image.type != FOURCC_Y16) return;
  if (scratch == nullptr || scratch_size < empia_pattern_fix_scratch_size) return;
  img_descriptor mosaic = image;
  mosaic.type = image.type == FOURCC_Y800 ? FOURCC_BGGR8 : FOURCC_BGGR16;
  grid_samples& samples = *static_cast<grid_samples*>(scratch);
  const int n = sample_color_grid(mosaic, samples);
  if (n == 0) return;
  uint32_t sum[4] = {0, 0, 0, 0};  // phases (0,0), (1,0), (0,1), (1,1)
  for (int i = 0; i < n; ++i) {
    const grid_sample& s = samples.samples[i];
    sum[0] += s.b, sum[1] += s.g1, sum[2] += s.g2, sum[3] += s.r;
  }
  uint32_t avg[4], brightest = 0;
  for (int k = 0; k < 4; ++k) {
    avg[k] = sum[k] / static_cast<uint32_t>(n);
    if (avg[k] == 0) return;
    brightest = avg[k] > brightest ? avg[k] : brightest;
  }
  uint32_t gain[4];
  for (int k = 0; k < 4; ++k) {
    const uint32_t g = 64 * brightest / avg[k];
    gain[k] = g > 255 ? 255 : g;
  }
  // BGGR: first line (b, green on blue lines), second line (green on red lines, r).
  const wb_gains gains = {gain[3], gain[2], gain[0], gain[1]};
  apply_raw_white_balance(mosaic, gains, cpu_features);
}

}  // namespace img
