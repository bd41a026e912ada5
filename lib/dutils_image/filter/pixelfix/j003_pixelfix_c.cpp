// Plain correction lines of the j003 pixel fix: each pixel times its gain,
// truncated, at most the sample maximum. The reference for the SSE4.1 form.
#include "filter/pixelfix/j003_pixelfix_internal.h"
#include "img/transform_image.h"

namespace img {
namespace j003 {
namespace {

constexpr int kCellWidth = 4;

template <typename T>
void correct_line(uint8_t* line, int from, int n, const uint32_t* levels,
                  const float (*gains)[kPositions], int row, float max_value) {
  for (int x = from; x < n; ++x) {
    float v = static_cast<float>(load_sample<T>(line, x)) * gains[levels[x / kCellWidth]][2 * row + (x & 1)];
    v = v < max_value ? v : max_value;
    store_sample(line, x, static_cast<T>(v));
  }
}

}  // namespace

void correct_line8_c(uint8_t* line, int from, int n, const uint32_t* levels,
                     const float (*gains)[kPositions], int row) {
  correct_line<uint8_t>(line, from, n, levels, gains, row, 255.0f);
}

void correct_line16_c(uint8_t* line, int from, int n, const uint32_t* levels,
                      const float (*gains)[kPositions], int row) {
  correct_line<uint16_t>(line, from, n, levels, gains, row, 65535.0f);
}

}  // namespace j003
}  // namespace img
