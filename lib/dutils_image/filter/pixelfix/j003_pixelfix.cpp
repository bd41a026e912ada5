// The j003 pixel fix (see j003_pixelfix.h and the gain-table rule in
// j003_pixelfix_internal.h): statistics, bucket means, gain table and the
// row driver of the correction.
#include "filter/pixelfix/j003_pixelfix.h"

#include <string.h>

#include "filter/pixelfix/j003_pixelfix_internal.h"
#include "img/cpu_features.h"
#include "img/img_assert.h"
#include "img/transform_image.h"

namespace img {
namespace j003 {
namespace {

constexpr int kCellWidth = 4, kCellHeight = 8;
constexpr int kBlockLines = 4;
constexpr uint32_t kLevelLimit = 240;  // brighter blocks are not measured
constexpr int kBucketShift = 5;        // 32 levels per bucket
constexpr uint32_t kMinBlocks = 4096;  // a bucket is valid above this count

float bucket_centre(int b) { return b == kBuckets - 1 ? 232.0f : static_cast<float>(32 * b + 16); }

template <typename T>
void measure(const img_descriptor& img, state& st, uint32_t* map, int cells_x, int cells_y,
             int level_shift) {
  for (int cy = 0; cy < cells_y; ++cy) {
    const uint8_t* lines[kBlockLines];
    for (int r = 0; r < kBlockLines; ++r) lines[r] = line_ptr(img, cy * kCellHeight + r);
    for (int cx = 0; cx < cells_x; ++cx) {
      const int x = cx * kCellWidth;
      uint32_t px[kPositions];
      uint32_t sum = 0;
      for (int r = 0; r < kBlockLines; ++r) {
        px[2 * r] = load_sample<T>(lines[r], x), px[2 * r + 1] = load_sample<T>(lines[r], x + 1);
        sum += px[2 * r] + px[2 * r + 1];
      }
      const uint32_t level = sum >> level_shift;
      map[cy * cells_x + cx] = level;
      if (level >= kLevelLimit) continue;
      bucket& b = st.buckets[level >> kBucketShift];
      for (int k = 0; k < kPositions; ++k) b.sums[k] += px[k];
      ++b.count;
    }
  }
}

// Bucket means, gains per valid bucket and the spread over all levels.
void build_gain_table(state& st) {
  float bucket_gains[kBuckets][kPositions];
  int valid[kBuckets], n_valid = 0;
  for (int b = 0; b < kBuckets; ++b) {
    bucket& bk = st.buckets[b];
    bk.valid = bk.count > kMinBlocks;
    st.reference[b] = 0.0f;
    if (!bk.valid) continue;
    float mean[kPositions];
    for (int k = 0; k < kPositions; ++k) {
      mean[k] = static_cast<float>(static_cast<double>(bk.sums[k]) / bk.count);
      st.reference[b] = mean[k] > st.reference[b] ? mean[k] : st.reference[b];
    }
    // A position that never lit up cannot be measured: it keeps gain 1.
    for (int k = 0; k < kPositions; ++k)
      bucket_gains[b][k] = mean[k] > 0.0f ? st.reference[b] / mean[k] : 1.0f;
    valid[n_valid++] = b;
  }
  for (int level = 0; level < kLevels; ++level) {
    float* g = st.gains[level];
    if (n_valid == 0) {
      for (int k = 0; k < kPositions; ++k) g[k] = 1.0f;
      continue;
    }
    const float l = static_cast<float>(level);
    int upper = 0;
    while (upper < n_valid && bucket_centre(valid[upper]) < l) ++upper;
    if (upper == 0 || upper == n_valid) {
      const int b = valid[upper == 0 ? 0 : n_valid - 1];
      for (int k = 0; k < kPositions; ++k) g[k] = bucket_gains[b][k];
      continue;
    }
    const int lo = valid[upper - 1], hi = valid[upper];
    const float f = (l - bucket_centre(lo)) / (bucket_centre(hi) - bucket_centre(lo));
    for (int k = 0; k < kPositions; ++k)
      g[k] = bucket_gains[lo][k] + (bucket_gains[hi][k] - bucket_gains[lo][k]) * f;
  }
}

using line_c = void (*)(uint8_t*, int, int, const uint32_t*, const float (*)[kPositions], int);
using line_v = int (*)(uint8_t*, int, const uint32_t*, const float (*)[kPositions], int);

void correct(const img_descriptor& img, const state& st, const uint32_t* map, int cells_x,
             int cells_y, line_c plain, line_v vector) {
  for (int y = 0; y < img.dim_y; ++y) {
    // Lines below the last whole cell (dim_y % 8 == 4) use the cell above.
    int cy = y / kCellHeight;
    cy = cy < cells_y ? cy : cells_y - 1;
    const uint32_t* levels = map + cy * cells_x;
    uint8_t* line = line_ptr(img, y);
    const int row = y % kBlockLines;
    const int done = vector ? vector(line, img.dim_x, levels, st.gains, row) : 0;
    plain(line, done, img.dim_x, levels, st.gains, row);
  }
}

}  // namespace

size_t get_scratch_space_size(const img_type& type) {
  const int64_t cells = int64_t{type.dim_x / kCellWidth} * (type.dim_y / kCellHeight);
  return static_cast<size_t>((cells > 0 ? cells : 0) * 4) + state_bytes;
}

float gain_of(const void* scratch, int level, int pos) {
  return static_cast<const state*>(scratch)->gains[level][pos];
}

}  // namespace j003

void j003_pixelfix(const img_descriptor& dst, void* scratch, size_t scratch_size,
                   uint32_t cpu_features) {
  using namespace j003;
  if (!IMG_ASSERT(dst.type == FOURCC_Y16 || dst.type == FOURCC_Y800,
                  "dst.type == FOURCC_Y16 || dst.type == FOURCC_Y800"))
    return;
  if (!IMG_ASSERT(dst.dim_x % 4 == 0, "dst.dim_x % 4 == 0")) return;
  if (!IMG_ASSERT(dst.dim_y % 4 == 0, "dst.dim_y % 4 == 0")) return;
  if (!IMG_ASSERT(
          scratch != nullptr && scratch_size >= j003::get_scratch_space_size(img::to_img_type(dst)),
          "scratch_space_size >= get_scratch_space_size( img::to_img_type( dst ) )"))
    return;
  if (!IMG_ASSERT(image_fits(dst), "image_fits( dst )")) return;
  state& st = *static_cast<state*>(scratch);
  uint32_t* map = reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(scratch) + state_bytes);
  const int cells_x = dst.dim_x / 4, cells_y = dst.dim_y / 8;
  memset(&st, 0, sizeof st);
  if (cells_x == 0 || cells_y == 0) {
    build_gain_table(st);  // unit gains, for gain_of
    return;
  }
  const bool sixteen = dst.type == FOURCC_Y16;
  // Level: mean of the 8 pixels (8-bit), of their high bytes (16-bit).
  if (sixteen) {
    measure<uint16_t>(dst, st, map, cells_x, cells_y, 11);
  } else {
    measure<uint8_t>(dst, st, map, cells_x, cells_y, 3);
  }
  build_gain_table(st);
  const bool any_valid = st.buckets[0].valid | st.buckets[1].valid | st.buckets[2].valid |
                         st.buckets[3].valid | st.buckets[4].valid | st.buckets[5].valid |
                         st.buckets[6].valid | st.buckets[7].valid;
  if (!any_valid) return;
  const bool sse41 = (cpu_features & cpu_sse41) != 0;
  if (sixteen) {
    correct(dst, st, map, cells_x, cells_y, correct_line16_c, sse41 ? correct_line16_sse41 : nullptr);
  } else {
    correct(dst, st, map, cells_x, cells_y, correct_line8_c, sse41 ? correct_line8_sse41 : nullptr);
  }
}

}  // namespace img
