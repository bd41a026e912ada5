// State and line routines of the j003 pixel fix.
//
// Gain table rule: a bucket of 32 levels is valid with more than 4096
// measured blocks; its gains apply at its centre (level 32 b + 16; 232 for
// the top bucket, which only levels 224..239 feed). Between the centres of
// two valid buckets the gains are interpolated linearly over the level;
// below the lowest and above the highest valid centre the nearest valid
// bucket's gains are held, which also covers the levels 240..255 that are
// never measured. Without any valid bucket every gain is 1.0.
#pragma once

#include <stdint.h>

#include "filter/pixelfix/j003_pixelfix.h"

namespace img {
namespace j003 {

constexpr int kPositions = 8;  // 2 columns x 4 lines
constexpr int kBuckets = 8;
constexpr int kLevels = 256;

struct bucket {
  uint64_t sums[kPositions];  // per position
  uint32_t count;             // blocks measured
  uint32_t valid;             // count > 4096
};

struct state {
  bucket buckets[kBuckets];
  float reference[kBuckets];         // largest position mean of each valid bucket
  float gains[kLevels][kPositions];  // correction per level and position
};
static_assert(sizeof(state) <= state_bytes, "j003 state exceeds its scratch share");

// One line y of the image: `levels` is the level map row of the line's
// cells, `gains` the table; `row` = y % 4 picks the positions 2 row and
// 2 row + 1 (lines as bytes: a 16-bit line may start at an odd address).
// Plain from column `from`; the SSE4.1 routines start at 0 and
// return the columns done.
void correct_line8_c(uint8_t* line, int from, int n, const uint32_t* levels,
                     const float (*gains)[kPositions], int row);
void correct_line16_c(uint8_t* line, int from, int n, const uint32_t* levels,
                      const float (*gains)[kPositions], int row);
int correct_line8_sse41(uint8_t* line, int n, const uint32_t* levels,
                        const float (*gains)[kPositions], int row);
int correct_line16_sse41(uint8_t* line, int n, const uint32_t* levels,
                         const float (*gains)[kPositions], int row);

}  // namespace j003
}  // namespace img
