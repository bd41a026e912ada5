// Controls on the sensor extension unit {DE49BA0A-0B5C-D549-8F71-0BE40F94A67A}:
// the sensor gain and the sensor exposure (one control object each for
// all their keys), and the unit's table in the order the families set it
// up. PASSIVE_LEVEL, see camera_control.h.
#pragma once

#include "controls/vendor_controls.h"

// Video processing amplifier 9 (the processing unit's gain) and key 241
// (selector 24). Both report capabilities and flags 3 while the automatic
// mode (selector 2, when the unit has it) is on, else 2. A set whose
// automatic flag differs from the mode switches only the mode; otherwise
// key 9 writes the processing unit's gain and key 241 selector 24.
class sensor_gain_control : public camera_control {
 public:
  sensor_gain_control(uvc_control_record* gain, uvc_control_record* sensor_gain,
                      uvc_control_record* mode);
  NTSTATUS set_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS get_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS restore_value(uvc_camera* camera) override;

 private:
  NTSTATUS automatic(uvc_camera* camera, bool* on);
  uvc_control_record* gain_;
  uvc_control_record* sensor_gain_;
  uvc_control_record* mode_;  // null: never automatic
};

NTSTATUS register_sensor_gain(uvc_camera* camera);

// The exposure held in microseconds (selector 27 gives its range), with its
// automatic flag (the camera terminal's auto-exposure mode, else selector
// 1; taken as set when there is neither), the automatic maximum (selector
// 30, else held by the driver over the exposure's range) and its own
// automatic flag (selector 10 when present), and the automatic reference
// (selector 4, else held, 0 to 255, default 128):
//   camera control 4 in log2 seconds; 109 in 100 us (minimum at least 1);
//   239 in us; 200 in seconds (float record); 201, 240, 246 the automatic
//   maximum in 100 us, us and seconds; 202 its automatic flag, saved as
//   "ExposureAutoMaxAuto"; 106 the reference, saved as
//   "ExposureAutoReference".
class sensor_exposure_control : public camera_control {
 public:
  sensor_exposure_control(uvc_control_record* exposure, uvc_control_record* auto_flag,
                          bool auto_flag_is_mode, uvc_control_record* auto_maximum,
                          uvc_control_record* auto_maximum_flag, uvc_control_record* reference);
  NTSTATUS set_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS get_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS restore_value(uvc_camera* camera) override;
  NTSTATUS apply_default(uvc_camera* camera, const control_value_provider& provider) override;

  // What the automatic cycle works towards.
  ULONG reference() const { return reference_; }
  ULONG auto_maximum_us() const { return auto_maximum_us_; }

 private:
  NTSTATUS automatic(uvc_camera* camera, bool* on);
  NTSTATUS set_automatic(uvc_camera* camera, bool on);
  NTSTATUS write_auto_maximum(uvc_camera* camera, ULONG us);
  NTSTATUS set_auto_maximum_flag(uvc_camera* camera, bool on);
  NTSTATUS set_reference(uvc_camera* camera, ULONG value);
  uvc_control_record* exposure_;
  uvc_control_record* auto_flag_;
  bool auto_flag_is_mode_;
  uvc_control_record* auto_maximum_;
  uvc_control_record* auto_maximum_flag_;
  uvc_control_record* reference_record_;
  ULONG auto_maximum_us_;
  bool auto_maximum_auto_;
  ULONG reference_;
};

// Registers the exposure when selector 27 exists, with the keys its
// sources allow; `*control` (may be null) receives it.
NTSTATUS register_sensor_exposure(uvc_camera* camera, sensor_exposure_control** control);

enum class sensor_unit_family {
  trigger_strobe_cameras,  // camera_8101, camera_8102
  sensor_cameras,          // camera_84xx
};

// The unit's controls in the family's order; rows that fail their rules
// are left out. Only a lack of memory fails it. The sensor window of the
// sensor cameras registers after the flips (its own issue).
NTSTATUS register_sensor_unit_controls(uvc_camera* camera, sensor_unit_family family);
