// The standard controls: the USB Video Class controls of the camera
// terminal and processing unit bound to the standard video-processing-
// amplifier and camera-control properties (and three of the driver's own
// keys), registered at level 0 of the control registry when the control
// list is built. Families and features override them at higher levels.
//
// Saved names (registry values among the device's own values): the table in
// standard_controls.cpp, the automatic part as the name + ".auto", the
// exposure as "Exposure" and "ExposureAuto", the white-balance components
// as "WhitebalanceComponent".
//
// PASSIVE_LEVEL, see camera_control.h.
#pragma once

#include "controls/camera_control.h"
#include "controls/uvc_control_records.h"

// Longest saved name, terminator included.
constexpr ULONG control_name_capacity = 64;

// A standard control: a value record, an automatic-mode record, or both.
class uvc_value_control : public camera_control {
 public:
  // `value` or `automatic` may be null (not both); `name` is copied, and
  // the automatic name is `name` + ".auto", cut to 63 characters.
  uvc_value_control(uvc_control_record* value, uvc_control_record* automatic, PCWSTR name);

  NTSTATUS set_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS get_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS restore_value(uvc_camera* camera) override;
  NTSTATUS apply_default(uvc_camera* camera, const control_value_provider& provider) override;

 private:
  uvc_control_record* value_;
  uvc_control_record* automatic_;
  WCHAR name_[control_name_capacity];
  WCHAR automatic_name_[control_name_capacity];
};

// The processing unit's white-balance components: blue in the low 16 bits
// (key 101), red in the high 16 bits (key 102) of one 32-bit control.
class uvc_whitebalance_component_control : public camera_control {
 public:
  explicit uvc_whitebalance_component_control(uvc_control_record* record);

  NTSTATUS set_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS get_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS restore_value(uvc_camera* camera) override;
  NTSTATUS apply_default(uvc_camera* camera, const control_value_provider& provider) override;

 private:
  uvc_control_record* record_;
};

// The camera terminal's absolute exposure time (100 us) with its
// auto-exposure mode: camera-control key 4 in log2 seconds, key 109 in
// 100 us.
class uvc_exposure_control : public camera_control {
 public:
  // `mode` may be null.
  uvc_exposure_control(uvc_control_record* exposure, uvc_control_record* mode);

  NTSTATUS set_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS get_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS restore_value(uvc_camera* camera) override;
  NTSTATUS apply_default(uvc_camera* camera, const control_value_provider& provider) override;

 private:
  uvc_control_record* exposure_;
  uvc_control_record* mode_;
};

// Creates and registers at level 0 the standard controls the camera's
// records support: the 14 table rows in order, then the white-balance
// components when (5, 12) exists, then the exposure when (2, 4) exists.
// Only a lack of memory fails it.
NTSTATUS register_standard_controls(uvc_camera* camera);

// Hands `control` to the camera (destroyed with it) and registers it under
// `keys` at `level`. A null control (its allocation failed) →
// STATUS_INSUFFICIENT_RESOURCES. When the camera cannot take it, it is
// destroyed here; a registration failure leaves it with the camera.
NTSTATUS adopt_control(uvc_camera* camera, camera_control* control, const property_key* keys,
                       ULONG key_count, ULONG level);

// SET_CUR of the record's current value when the camera can write it.
NTSTATUS resend_control_record(uvc_camera* camera, uvc_control_record* record);

// resend_control_record of a value and of the automatic mode that owns it,
// in the order a camera that refuses a value while its automatic mode is on
// takes both: a manual mode (`automatic` false) before the value, an
// automatic one after it. Both are sent; the first failure is returned.
NTSTATUS resend_value_and_mode(uvc_camera* camera, uvc_control_record* value,
                               uvc_control_record* mode, bool automatic);

// Copies `name` (cut to fit) into `out` of control_name_capacity characters,
// then appends `suffix` when given, cut likewise.
void copy_control_name(WCHAR* out, PCWSTR name, PCWSTR suffix);
