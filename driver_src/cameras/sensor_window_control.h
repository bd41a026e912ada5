// sensor_window_control: the sensor window, frame timing, binning and
// skipping of a raw-sensor camera that exposes them as vendor registers of
// its camera terminal (selectors from 32 on, 4 bytes each) and a format
// mask on its processing unit (selector 33). The 0x82xx family owns one.
//
// At initialisation it finds out which registers exist; from them it offers
// the formats of the format mask at the sensor size (a ranged entry and the
// standard sizes that fit), with frame intervals computed from the pixel
// clock and the blanking; when a format is chosen it programs the window,
// its offsets, the pixel clock and the binning or skipping factor; and it
// serves five properties of camera_extension_set: 211 automatic centring,
// 118 and 119 the offsets, 212 binning, 237 skipping.
//
// Registers (camera terminal unless noted):
//   32  capability bits: 0x20|0x40 window and offsets, 0x10|0x80 timing,
//       0x100 binning, 0x10000 skipping
//   processing unit 33: bit 1 of its value says the maximum is a format mask
//   37, 38  window width and height (minimum, maximum, resolution)
//   40, 41  window offsets x, y
//   36  pixel clock (its minimum and maximum bound the frame rate)
//   39  blanking: low 16 bits horizontal, high 16 bits vertical
//   42  binning factor; 54 skipping factor
//   56, 57, 58  extended timing inputs (width, height, binning);
//   59  extended timing result (blanking for those inputs)
//
// PASSIVE_LEVEL: every operation may send control requests and wait. The
// family calls init from on_init_begin, append_records and build_formats
// while its format list is built, select_window from on_format_selected;
// property requests come serialised by the device.
#pragma once

#include "controls/camera_control.h"
#include "controls/uvc_control_records.h"
#include "uvc/uvc_camera.h"

namespace window_property {
constexpr ULONG offset_x = 118;
constexpr ULONG offset_y = 119;
constexpr ULONG auto_centre = 211;
constexpr ULONG binning = 212;
constexpr ULONG skipping = 237;
}  // namespace window_property

namespace window_selector {
constexpr ULONG capabilities = 32;
constexpr ULONG format_mask = 33;  // processing unit
constexpr ULONG pixel_clock = 36;
constexpr ULONG width = 37;
constexpr ULONG height = 38;
constexpr ULONG blanking = 39;
constexpr ULONG offset_x = 40;
constexpr ULONG offset_y = 41;
constexpr ULONG binning = 42;
constexpr ULONG skipping = 54;
constexpr ULONG timing_width = 56;
constexpr ULONG timing_height = 57;
constexpr ULONG timing_binning = 58;
constexpr ULONG timing_result = 59;
}  // namespace window_selector

// Formats of the mask's bits 0 to 10.
struct window_format {
  ULONG fourcc;
  ULONG bits_per_pixel;
};
constexpr ULONG window_format_count = 11;
// The format of mask bit `bit` (bits 7 to 10: 16-bit Bayer).
window_format window_format_of_bit(ULONG bit);

class sensor_window_control : public camera_control {
 public:
  static constexpr ULONG offset_multiple = 8;
  static constexpr ULONG refused_factor = 3;
  static constexpr ULONG max_binning = 4;
  static constexpr ULONG standard_size_count = 8;

  explicit sensor_window_control(uvc_camera* camera);

  // Discovers the registers, resets binning and skipping to 1, sets the
  // window to the whole sensor with offsets 0 and registers the properties
  // the camera supports (118, 119, 211 at level 0 with the offsets; 212
  // with binning; 237 with skipping). Only a lack of memory fails it;
  // missing registers leave their features off.
  NTSTATUS init();

  bool window_present() const { return window_; }
  bool timing_present() const { return timing_; }
  bool binning_present() const { return binning_present_; }
  bool skipping_present() const { return skipping_present_; }
  bool extended_timing_present() const { return extended_timing_; }
  // The camera's formats come from the format mask: mask, timing and
  // window present.
  bool offers_formats() const { return formats_ && timing_ && window_; }
  ULONG format_mask() const { return format_mask_; }
  ULONG sensor_width() const { return sensor_width_; }
  ULONG sensor_height() const { return sensor_height_; }

  // Appends one raw format record per format of the mask, at the sensor
  // size, with the probe indices of `container` (the camera's own format
  // that carries the window's data). `*first` receives the index of the
  // first appended record. STATUS_NOT_IMPLEMENTED when offers_formats() is
  // false or no interval can be computed.
  NTSTATUS append_records(const raw_format_record& container, raw_format_list* records,
                          ULONG* first);
  // The entries of the records append_records made (from index `first`):
  // per format the ranged entry over the window's limits and then the
  // standard sizes within them, each once. Intervals run from the shortest
  // (the maximum clock) to the longest (the minimum clock) of the sensor
  // size; the default is the shortest.
  NTSTATUS build_formats(const raw_format_list& records, ULONG first, format_entry_list* entries);

  // Programs the window for frames of `width` x `height` at `interval`
  // (100 ns): factors, offsets, timing, size, in that order. Write failures
  // do not stop the sequence; the first one is returned.
  NTSTATUS select_window(ULONG width, ULONG height, LONGLONG interval);

  // Frame intervals (100 ns) for frames of `width` x `height`, from the
  // longest (minimum clock) to the shortest (maximum clock). `*count` is
  // the array's capacity on entry and the number of values on return; a
  // null or short array gives STATUS_BUFFER_OVERFLOW with the number
  // needed. STATUS_NOT_IMPLEMENTED without timing.
  NTSTATUS get_frame_intervals(ULONG width, ULONG height, LONGLONG* intervals, ULONG* count);

  // The Bayer pattern index of the first mask format with a pattern;
  // -1 when none has one.
  LONG first_bayer_pattern() const;

  // What the frames of the selected window are: the offsets written (sensor
  // pixels) and the binning or skipping factor in force.
  LONG offset_x() const { return written_x_; }
  LONG offset_y() const { return written_y_; }
  LONG factor() const;

  NTSTATUS set_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS get_property(uvc_camera* camera, control_call* call) override;

 private:
  uvc_control_record* bind(ULONG selector);
  LONG read(uvc_control_record* record);
  NTSTATUS write(uvc_control_record* record, ULONG value);
  NTSTATUS write_if_different(uvc_control_record* record, ULONG value);
  ULONGLONG total_pixels(ULONG width, ULONG height, ULONG binning);
  ULONGLONG rate(ULONG width, ULONG height, ULONG clock);
  ULONG valid_factor(ULONG factor) const;
  void offsets_for(ULONG factor, LONG* x, LONG* y) const;
  NTSTATUS write_offsets(ULONG factor);
  NTSTATUS set_timing(LONGLONG interval, ULONG factor);
  NTSTATUS apply_factors();
  ULONG factor_in_use();
  NTSTATUS register_keys(const ULONG* ids, ULONG count);

  uvc_camera* camera_;
  // Features found by init.
  bool window_;
  bool offsets_;
  bool timing_;
  bool formats_;
  bool binning_present_;
  bool skipping_present_;
  bool extended_timing_;
  ULONG format_mask_;
  // Property state.
  bool auto_centre_;
  LONG manual_x_;
  LONG manual_y_;
  ULONG binning_;
  ULONG skipping_;
  // The last selection and what it wrote.
  ULONG requested_width_;
  ULONG requested_height_;
  LONGLONG requested_interval_;
  LONGLONG window_interval_;
  LONG written_x_;
  LONG written_y_;
  ULONG sensor_width_;
  ULONG sensor_height_;
  // Registers (null when absent).
  uvc_control_record* capabilities_;
  uvc_control_record* mask_;
  uvc_control_record* width_;
  uvc_control_record* height_;
  uvc_control_record* x_;
  uvc_control_record* y_;
  uvc_control_record* clock_;
  uvc_control_record* blanking_;
  uvc_control_record* binning_record_;
  uvc_control_record* skipping_record_;
  uvc_control_record* timing_width_;
  uvc_control_record* timing_height_;
  uvc_control_record* timing_binning_;
  uvc_control_record* timing_result_;
};
