// What a capture observed, frame by frame, and the summary made from it:
// frames delivered and dropped, the measured frame rate, the picture-number
// range with its gaps, and discontinuities. Works on the records alone, so
// it is the same for every source of frames.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace tvcam {

// What the driver's automatic loops recorded for one delivered frame
// (raw-sensor cameras: driver property 64, docs/tvcam.md).
struct loop_values {
  bool ran = false;      // the loops measured this frame (they run every few frames)
  int32_t brightness = 0;   // measured mean, 8-bit scale
  int32_t exposure = 0;     // the camera's exposure unit
  int32_t gain = 0;         // 64 = 1.0
  int32_t wb_r = 0, wb_g = 0, wb_b = 0;  // white-balance gains, 64 = 1.0
  int32_t temperature = 0;  // colour temperature, kelvin
  bool has_focus = false;        // the driver records the focus (cameras with a focus motor)
  bool focus_searching = false;  // the autofocus search runs
  bool focus_moved = false;      // it handed out a new position on this frame
  int32_t focus_position = 0;    // the focus control's unit
  int32_t focus_sharpness = 0;   // last measured sharpness of the focus region
};

// One completed client buffer as the stream header described it.
struct frame_record {
  uint64_t index = 0;            // 0-based order of delivery
  uint32_t data_used = 0;        // bytes
  bool has_frame_info = false;   // KS_FRAME_INFO followed the header
  int64_t picture_number = -1;   // -1 without frame info
  int64_t drop_count = -1;       // -1 without frame info
  uint32_t options_flags = 0;    // KSSTREAM_HEADER_OPTIONSF_*
  uint32_t frame_flags = 0;      // KS_FRAME_INFO dwFrameFlags
  int64_t presentation_time = 0; // 100 ns, valid with KSSTREAM_HEADER_OPTIONSF_TIMEVALID
  int64_t duration = 0;          // 100 ns
  int64_t host_time = 0;         // 100 ns since the capture started, when the tool received it
  bool has_loop_values = false;  // the driver keeps the loops' values and had this frame's
  loop_values loop;
  bool truncated = false;        // a compressed frame without its end marker (a JPEG without EOI)

  bool time_valid() const;
  bool discontinuity() const;
};

struct capture_summary {
  uint64_t delivered = 0;
  uint64_t dropped = 0;            // the last drop count the driver reported
  uint64_t discontinuities = 0;    // frames flagged KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY
  bool have_picture_numbers = false;
  int64_t first_picture = -1;
  int64_t last_picture = -1;
  uint64_t picture_gaps = 0;       // places where a picture number skipped
  uint64_t missing_pictures = 0;   // numbers skipped in all
  uint64_t backward_steps = 0;     // picture numbers that did not increase
  double measured_fps = 0;         // 0 with fewer than two frames or no elapsed time
  bool fps_from_presentation = false;  // measured from presentation times (else from host times)
  double elapsed_seconds = 0;      // first to last frame
  uint64_t bytes = 0;
  uint64_t truncated = 0;          // frames marked truncated
};

capture_summary summarize(const std::vector<frame_record>& frames);

// Whether a JPEG frame ends with its end-of-image marker (FF D9), after
// any zero bytes a camera padded it with.
bool jpeg_has_end_marker(const uint8_t* data, size_t length);

// A measured rate more than 10 % below the negotiated one is worth a warning.
constexpr double kRateWarningShare = 0.9;
bool rate_falls_short(const capture_summary& s, double negotiated_fps);

// Frames per second of a frame interval in 100 ns (0 for a non-positive one).
double interval_to_fps(int64_t interval);
// The frame interval (100 ns) nearest to `fps` frames per second.
int64_t fps_to_interval(double fps);

}  // namespace tvcam
