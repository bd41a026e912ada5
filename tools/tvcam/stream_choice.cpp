// Stream choice (see stream_choice.h).
#include "stream_choice.h"

#include <math.h>

#include <algorithm>

namespace tvcam {
namespace {

std::string size_text(int w, int h) { return std::to_string(w) + "x" + std::to_string(h); }

// Appends `item` to a ", "-separated list unless it is there already.
void add_unique(std::vector<std::string>* list, const std::string& item) {
  if (std::find(list->begin(), list->end(), item) == list->end()) list->push_back(item);
}

std::string join(const std::vector<std::string>& list, const char* separator = ", ") {
  std::string s;
  for (const std::string& item : list) s += (s.empty() ? "" : separator) + item;
  return s;
}

// The interval of `f` that serves `fps`, or 0.
int64_t matching_interval(const video_format& f, double fps) {
  const int64_t wanted = fps_to_interval(fps);
  if (wanted <= 0) return 0;
  if (!f.intervals.empty()) {
    int64_t best = 0;
    double best_distance = kFpsTolerance;
    for (int64_t i : f.intervals) {
      const double distance = fabs(static_cast<double>(i - wanted)) / static_cast<double>(wanted);
      if (i > 0 && distance <= best_distance) {
        best = i;
        best_distance = distance;
      }
    }
    return best;
  }
  if (f.min_interval <= 0 || f.max_interval < f.min_interval) return 0;
  // Rates at the ends of the range within the tolerance take the end itself.
  const double slack = static_cast<double>(wanted) * kFpsTolerance;
  if (wanted < f.min_interval - slack || wanted > f.max_interval + slack) return 0;
  return std::min(std::max(wanted, f.min_interval), f.max_interval);
}

}  // namespace

std::string rates_text(const video_format& f) {
  if (!f.intervals.empty()) {
    std::vector<std::string> rates;
    for (int64_t i : f.intervals) add_unique(&rates, fps_text(interval_to_fps(i)));
    return join(rates);
  }
  if (f.min_interval == f.max_interval) return fps_text(interval_to_fps(f.min_interval));
  return fps_text(interval_to_fps(f.max_interval)) + " to " + fps_text(interval_to_fps(f.min_interval));
}

bool choose_stream(const std::vector<video_format>& formats, const stream_wish& wish, size_t* index,
                   int64_t* interval, std::string* error) {
  if (formats.empty()) {
    *error = "the camera offers no formats";
    return false;
  }
  std::vector<size_t> candidates;
  std::vector<std::string> names;
  for (size_t i = 0; i < formats.size(); ++i) {
    add_unique(&names, format_name(formats[i].fourcc));
    if (!wish.has_format || formats[i].fourcc == wish.fourcc) candidates.push_back(i);
  }
  if (candidates.empty()) {
    *error = "format " + format_name(wish.fourcc) + " is not offered; offered: " + join(names);
    return false;
  }

  if (wish.has_size) {
    std::vector<size_t> sized;
    std::vector<std::string> sizes;
    for (size_t i : candidates) {
      add_unique(&sizes, size_text(formats[i].width, formats[i].height));
      if (formats[i].width == wish.size.width && formats[i].height == wish.size.height) sized.push_back(i);
    }
    if (sized.empty()) {
      *error = "size " + size_text(wish.size.width, wish.size.height) + " is not offered" +
               (wish.has_format ? " for " + format_name(wish.fourcc) : std::string()) + "; offered: " + join(sizes);
      return false;
    }
    candidates = sized;
  }

  if (!wish.has_fps) {
    *index = candidates.front();
    *interval = formats[*index].default_interval;
    return true;
  }
  std::vector<std::string> offered;
  for (size_t i : candidates) {
    const int64_t match = matching_interval(formats[i], wish.fps);
    if (match > 0) {
      *index = i;
      *interval = match;
      return true;
    }
    const video_format& f = formats[i];
    add_unique(&offered, format_name(f.fourcc) + " " + size_text(f.width, f.height) + ": " + rates_text(f));
  }
  *error = fps_text(wish.fps) + " fps is not offered; offered: " + join(offered, "; ");
  return false;
}

}  // namespace tvcam
