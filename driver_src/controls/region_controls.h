// Region controls on the vendor extension unit
// {923ED695-56F2-11E1-83F7-37704824019B}: the region of interest with
// automatic centring and the binning factor (selectors 2, 3, 4), and the
// focus region held by the driver with the one-push focus that sends it
// (selectors 18, 19, 12). PASSIVE_LEVEL, see camera_control.h.
#pragma once

#include "controls/vendor_controls.h"

// Keys 211 (automatic centring, boolean, default 1), 118 (horizontal
// offset, 0 to selector 2's maximum), 119 (vertical offset, 0 to selector
// 3's maximum) and 212 (binning, 1 to selector 4's maximum, default 1).
// Offsets are set only while centring is off (else STATUS_INVALID_PARAMETER)
// and are rounded down to a multiple of 8 (horizontal) and 4 (vertical);
// switching centring off first takes the camera's current offsets. The
// binning factor is taken only with the manual flag; 3 and values outside
// the range are refused (STATUS_INVALID_PARAMETER). After every change the
// offsets (centred while centring is on) and the factor are written to
// selectors 2, 3 and 4.
class region_control : public camera_control {
 public:
  region_control(uvc_control_record* x, uvc_control_record* y, uvc_control_record* binning);
  NTSTATUS set_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS get_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS restore_value(uvc_camera* camera) override;

  // What centring works from: the sensor's size and the frame's (family,
  // when a format is chosen). Without them the centre is the middle of
  // each offset's range.
  void set_frame(ULONG sensor_width, ULONG sensor_height, ULONG width, ULONG height);
  // The offsets and factor in force, for the defect-pixel correction.
  LONG offset_x() const;
  LONG offset_y() const;
  LONG binning() const { return binning_; }
  // Writes the offsets and the factor to the camera.
  NTSTATUS apply(uvc_camera* camera);

 private:
  LONG centred(const uvc_control_record* record, ULONG sensor, ULONG frame, LONG multiple) const;
  uvc_control_record* x_;
  uvc_control_record* y_;
  uvc_control_record* binning_record_;
  bool centring_;
  LONG stored_x_;
  LONG stored_y_;
  LONG binning_;
  ULONG sensor_width_, sensor_height_, frame_width_, frame_height_;
};

// Registers the region of a camera whose unit has selectors 2, 3 and 4;
// `*control` (may be null) receives it.
NTSTATUS register_region_of_interest(uvc_camera* camera, region_control** control);

// The focus region: keys 247 (top, 0 to the sensor height), 248 (left, 0 to
// the width), 249 (bottom), 250 (right), 251 (enable, boolean), each with a
// default of half its range, values clamped, held by the driver (2592 x 1944
// sensor). Over the one-push focus (key 124, level 2): a set with a
// non-zero value while the region is enabled first writes the region to
// selectors 18 (left, top) and 19 (right, bottom), as two 16-bit values
// each, then goes to level 0.
class focus_region_control : public camera_control {
 public:
  focus_region_control(uvc_control_record* first_corner, uvc_control_record* second_corner);
  NTSTATUS set_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS get_property(uvc_camera* camera, control_call* call) override;

  static constexpr LONG sensor_width = 2592;
  static constexpr LONG sensor_height = 1944;

 private:
  LONG* field(ULONG id, LONG* maximum);
  uvc_control_record* first_corner_;
  uvc_control_record* second_corner_;
  LONG top_, left_, bottom_, right_, enabled_;
};

// Registers keys 247 to 251 and the override of key 124 at level 2.
NTSTATUS register_focus_region(uvc_camera* camera);
