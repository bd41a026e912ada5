// Capture statistics (see capture_stats.h).
#include "capture_stats.h"

#include <math.h>

namespace tvcam {
namespace {

// KSSTREAM_HEADER_OPTIONSF_* values (ks.h); repeated here so the statistics
// need no kernel headers.
constexpr uint32_t kDataDiscontinuity = 0x00000004;
constexpr uint32_t kTimeValid = 0x00000010;

constexpr double kUnitsPerSecond = 1e7;  // 100 ns units

}  // namespace

bool frame_record::time_valid() const { return (options_flags & kTimeValid) != 0; }
bool frame_record::discontinuity() const { return (options_flags & kDataDiscontinuity) != 0; }

double interval_to_fps(int64_t interval) { return interval > 0 ? kUnitsPerSecond / static_cast<double>(interval) : 0; }

int64_t fps_to_interval(double fps) { return fps > 0 ? static_cast<int64_t>(llround(kUnitsPerSecond / fps)) : 0; }

capture_summary summarize(const std::vector<frame_record>& frames) {
  capture_summary s;
  s.delivered = frames.size();
  bool all_times_valid = !frames.empty();
  const frame_record* previous = nullptr;
  for (const frame_record& f : frames) {
    s.bytes += f.data_used;
    if (f.truncated) ++s.truncated;
    if (f.discontinuity()) ++s.discontinuities;
    if (!f.time_valid()) all_times_valid = false;
    if (f.has_frame_info) {
      if (f.drop_count > 0 && static_cast<uint64_t>(f.drop_count) > s.dropped) s.dropped = static_cast<uint64_t>(f.drop_count);
      if (!s.have_picture_numbers) {
        s.have_picture_numbers = true;
        s.first_picture = f.picture_number;
      } else if (previous && previous->has_frame_info) {
        const int64_t step = f.picture_number - previous->picture_number;
        if (step > 1) {
          ++s.picture_gaps;
          s.missing_pictures += static_cast<uint64_t>(step - 1);
        } else if (step < 1) {
          ++s.backward_steps;
        }
      }
      s.last_picture = f.picture_number;
    }
    previous = &f;
  }
  if (frames.size() >= 2) {
    const frame_record& first = frames.front();
    const frame_record& last = frames.back();
    // The driver's presentation times are the better clock when every frame
    // has one; otherwise the tool's own receive times.
    s.fps_from_presentation = all_times_valid && last.presentation_time > first.presentation_time;
    const int64_t span = s.fps_from_presentation ? last.presentation_time - first.presentation_time
                                                 : last.host_time - first.host_time;
    if (span > 0) {
      s.elapsed_seconds = static_cast<double>(span) / kUnitsPerSecond;
      s.measured_fps = static_cast<double>(frames.size() - 1) / s.elapsed_seconds;
    }
  }
  return s;
}

bool jpeg_has_end_marker(const uint8_t* data, size_t length) {
  while (length > 0 && data[length - 1] == 0) --length;
  return length >= 2 && data[length - 2] == 0xFF && data[length - 1] == 0xD9;
}

bool rate_falls_short(const capture_summary& s, double negotiated_fps) {
  return s.delivered >= 2 && negotiated_fps > 0 && s.measured_fps > 0 &&
         s.measured_fps < kRateWarningShare * negotiated_fps;
}

}  // namespace tvcam
