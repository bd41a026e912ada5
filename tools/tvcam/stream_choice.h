// Choosing the pin format, size and frame interval from what the user asked
// (--format, --size, --fps) and what the pin offers. Each refusal says what
// would have been accepted.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "args.h"
#include "capture_backend.h"

namespace tvcam {

struct stream_wish {
  bool has_format = false;
  uint32_t fourcc = 0;
  bool has_size = false;
  image_size size{};
  bool has_fps = false;
  double fps = 0;
};

// Relative distance within which a requested rate picks a listed interval
// (30 picks 333333, 29.97 picks 333667).
constexpr double kFpsTolerance = 0.01;

// Picks the first offered range that satisfies the wish and the interval:
// a listed discrete interval within kFpsTolerance of the rate, or for a
// range without a list, the rate's interval when it lies between the
// range's minimum and maximum. Without --fps: the range's default interval.
bool choose_stream(const std::vector<video_format>& formats, const stream_wish& wish, size_t* index,
                   int64_t* interval, std::string* error);

// "30, 15, 10" for listed intervals, "0.1 to 30" for a range.
std::string rates_text(const video_format& f);

}  // namespace tvcam
