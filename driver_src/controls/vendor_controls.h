// Vendor controls: the controls camera families register on top of the
// standard ones, bound to registers of the camera's vendor extension units
// ({923ED695-56F2-11E1-83F7-37704824019B} and
// {DE49BA0A-0B5C-D549-8F71-0BE40F94A67A}) or to vendor registers of the
// camera terminal ("unit 2", selectors from 32 on, 4 bytes each). Each kind
// of control has a registration function that applies the registration
// rules; families call them from on_init_begin, in their own order, and
// the tables of the two extension units are register_vendor_unit_controls
// and register_sensor_unit_controls.
//
// Registration rules:
//  1. a control on an extension unit is registered only when the unit's
//     bmControls has its bit (else STATUS_NOT_IMPLEMENTED);
//  2. an automatic mode added to a standard control needs the standard key
//     to answer (its failure is returned) without the automatic capability
//     (else STATUS_ALREADY_REGISTERED);
//  3. any other control of camera_extension_set is registered only while no
//     control answers its key (else STATUS_ALREADY_REGISTERED).
//
// PASSIVE_LEVEL, see camera_control.h.
#pragma once

#include "controls/camera_control.h"
#include "controls/control_registry.h"
#include "controls/standard_controls.h"
#include "controls/uvc_control_records.h"

extern const GUID vendor_extension_unit;  // {923ED695-56F2-11E1-83F7-37704824019B}
extern const GUID sensor_extension_unit;  // {DE49BA0A-0B5C-D549-8F71-0BE40F94A67A}

// Where a control's register is: a selector of an extension unit, which
// must have bmControls bit `bit` (normally selector - 1), or, with a null
// unit, a vendor register of the camera terminal.
struct control_binding {
  const GUID* unit;
  ULONG selector;
  ULONG bit;
};
inline control_binding on_unit(const GUID& unit, ULONG selector) {
  return control_binding{&unit, selector, selector - 1};
}
inline control_binding on_camera_terminal(ULONG selector) {
  return control_binding{nullptr, selector, 0};
}

// The record of a binding (probed when new); null when the unit lacks the
// control or it does not answer.
uvc_control_record* bind_control(uvc_camera* camera, const control_binding& binding);

// Rule 3 for `key`: STATUS_ALREADY_REGISTERED when a control answers it.
NTSTATUS check_key_is_free(uvc_camera* camera, const property_key& key);

// ---- automatic modes (ExposureAuto, GainAuto, WhitebalanceAuto) ----------------
// The automatic mode of a standard control, kept in a register of its own.
// A get is first served by the level below (the standard control's value
// and range), then the register: on the standard key the answer's
// automatic flag is set while the register is non-zero; on the control's
// own key (camera_extension_set) the capabilities gain the automatic bit
// and the flags gain it while the register is non-zero. A set whose
// automatic flag differs from the register writes only the new state (0 or
// 1) and saves it under the name; otherwise the request, its automatic flag
// cleared, goes to level 0, which writes the manual value.
class auto_mode_control : public camera_control {
 public:
  auto_mode_control(uvc_control_record* mode, PCWSTR name, ULONG level);
  NTSTATUS set_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS get_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS restore_value(uvc_camera* camera) override;
  NTSTATUS apply_default(uvc_camera* camera, const control_value_provider& provider) override;

 private:
  uvc_control_record* mode_;
  ULONG level_;
  WCHAR name_[control_name_capacity];
};

// Registers an automatic mode under `keys` (the standard key first, then an
// own key of camera_extension_set if any). `check_standard`: rule 2 (the
// exposure and gain modes); the white-balance mode is registered without it.
NTSTATUS register_auto_mode_control(uvc_camera* camera, const control_binding& binding,
                                    PCWSTR name, const property_key* keys, ULONG key_count,
                                    ULONG level, bool check_standard);

// ---- registers with a value ----------------------------------------------------------
// One register as a value-and-range record: its current value with the
// camera's minimum, maximum and default, flags = capabilities = manual; a
// set writes the value and saves it under the name (none: not saved).
// WhitebalanceRed/Green/Blue, FlipX/Y, ExposureAutoReference, the strobe
// timing registers.
class register_value_control : public camera_control {
 public:
  register_value_control(uvc_control_record* record, PCWSTR name);
  NTSTATUS set_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS get_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS restore_value(uvc_camera* camera) override;
  NTSTATUS apply_default(uvc_camera* camera, const control_value_provider& provider) override;

 private:
  uvc_control_record* record_;
  WCHAR name_[control_name_capacity];  // empty: not saved
};

NTSTATUS register_value_register(uvc_camera* camera, const control_binding& binding, PCWSTR name,
                                 ULONG id, ULONG level);

// Strobe timing (203, 204, 205): all three selectors must be there.
NTSTATUS register_strobe_timing(uvc_camera* camera, const GUID& unit, ULONG delay_selector,
                                ULONG duration_selector, ULONG mode_selector);

// ---- one-push registers (107, 124) --------------------------------------------------
// A get answers 0 to 1, default 0, with the register's value being non-zero
// (or always 0 when the register is not read back); a set with a non-zero
// value writes 1, any other set does nothing.
class one_push_control : public camera_control {
 public:
  one_push_control(uvc_control_record* record, bool reads_back);
  NTSTATUS set_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS get_property(uvc_camera* camera, control_call* call) override;

 private:
  uvc_control_record* record_;
  bool reads_back_;
};

NTSTATUS register_one_push(uvc_camera* camera, const control_binding& binding, ULONG id,
                           bool reads_back);

// ---- key 122: a boolean register with a companion bit --------------------------------
// A get fills the 40-byte record with bit 1 of the register, bit 0, 1 and
// 1; a set writes bit 0 of the record's second field (a data buffer under
// 40 bytes: STATUS_INVALID_PARAMETER). Nothing is saved.
class pair_register_control : public camera_control {
 public:
  explicit pair_register_control(uvc_control_record* record);
  NTSTATUS set_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS get_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS restore_value(uvc_camera* camera) override;

 private:
  uvc_control_record* record_;
};

NTSTATUS register_pair_register(uvc_camera* camera, const control_binding& binding);

// ---- strobe (125) ------------------------------------------------------------------------
// The 88-byte record: the enable (register bit 0) in its first field, the
// polarity (bit 1) in its tenth, then 1, 1 and the mode 6. A set writes
// (polarity ? 2 : 0) | (enable ? 1 : 0) and saves it as "StrobeEnable". A
// register without a polarity bit reads and writes the polarity as 0.
class strobe_control : public camera_control {
 public:
  strobe_control(uvc_control_record* record, bool has_polarity);
  NTSTATUS set_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS get_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS restore_value(uvc_camera* camera) override;
  NTSTATUS apply_default(uvc_camera* camera, const control_value_provider& provider) override;

 private:
  uvc_control_record* record_;
  bool has_polarity_;
};

NTSTATUS register_strobe(uvc_camera* camera, const control_binding& binding, bool has_polarity);

// ---- trigger (115, 213) ------------------------------------------------------------------
// Key 115: capabilities 0x4, plus 0x02000000 when the register's capability
// bits (its maximum) have bit 1; value 0x4 while register bit 0 is 0, plus
// 0x02000000 while bit 1 is 1. A set writes bit 0 = 1 for a value without
// 0x4 and bit 1 = 1 for one with 0x02000000, and saves the register as
// "TriggerFlags". Key 213, the software trigger, is accepted only while
// register bit 0 is 1 (else STATUS_INVALID_PARAMETER): flags with 0x8, or
// with 0x2 and a non-zero value, write 1 to its selector; any other set
// does nothing.
class trigger_control : public camera_control {
 public:
  trigger_control(uvc_control_record* trigger, uvc_control_record* software);
  NTSTATUS set_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS get_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS restore_value(uvc_camera* camera) override;
  NTSTATUS apply_default(uvc_camera* camera, const control_value_provider& provider) override;

 private:
  uvc_control_record* trigger_;
  uvc_control_record* software_;  // null: key 213 not served
};

// Key 115 on `trigger`; key 213 too when `software` binds.
NTSTATUS register_trigger(uvc_camera* camera, const control_binding& trigger,
                          const control_binding& software);

// ---- focus on the camera terminal (camera control 6) -----------------------------------
// Present when camera-terminal register 32 has bit 0x4000. Range 0 to 1000,
// default and first value 500; a value v is sent to register 65 as the text
// "A<v>\r" (SET_CUR as long as the text), then kept and saved as "Focus".
// A value outside the range: STATUS_INVALID_PARAMETER, nothing sent.
class terminal_focus_control : public camera_control {
 public:
  terminal_focus_control(uvc_control_record* record);
  NTSTATUS set_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS get_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS restore_value(uvc_camera* camera) override;
  NTSTATUS apply_default(uvc_camera* camera, const control_value_provider& provider) override;

 private:
  NTSTATUS send(uvc_camera* camera, LONG value);
  uvc_control_record* record_;
  LONG value_;
};

NTSTATUS register_terminal_focus(uvc_camera* camera);

// ---- the automatic exposure's maximum (201, 202) --------------------------------------
// 201: the register's value with its range, saved as "ExposureAutoMax".
// 202: a flag the driver holds (initially set); setting it writes the
// register's default; saved as "ExposureAutoMaxAuto".
class auto_maximum_control : public camera_control {
 public:
  explicit auto_maximum_control(uvc_control_record* record);
  NTSTATUS set_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS get_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS restore_value(uvc_camera* camera) override;
  NTSTATUS apply_default(uvc_camera* camera, const control_value_provider& provider) override;

 private:
  uvc_control_record* record_;
  bool automatic_;
};

NTSTATUS register_auto_maximum(uvc_camera* camera, const control_binding& binding);

// ---- trigger delay (238) --------------------------------------------------------------------
// The 56-byte record of 32-bit floats (register ÷ 10) with flags and
// capabilities manual and its last word 1. A set needs 56 bytes (else
// STATUS_INVALID_PARAMETER) and acts only with the manual flag: the
// register gets the value × 10, truncated, saved as "TriggerDelay".
class trigger_delay_control : public camera_control {
 public:
  explicit trigger_delay_control(uvc_control_record* record);
  NTSTATUS set_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS get_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS restore_value(uvc_camera* camera) override;
  NTSTATUS apply_default(uvc_camera* camera, const control_value_provider& provider) override;

 private:
  uvc_control_record* record_;
};

NTSTATUS register_trigger_delay(uvc_camera* camera, const control_binding& binding);

// ---- the float record (56 bytes) -----------------------------------------------------------
namespace float_record {
constexpr ULONG size = 56;
constexpr ULONG value = 24;  // float
constexpr ULONG flags = 28;
constexpr ULONG capabilities = 32;
constexpr ULONG minimum = 36;  // float
constexpr ULONG maximum = 40;  // float
constexpr ULONG default_value = 44;  // float
constexpr ULONG last = 52;
}  // namespace float_record

// A float as a non-negative 32-bit count after scaling, + 0.5 when
// `rounded`; NaN and negatives give 0, values past 32 bits saturate.
ULONG float_to_count(float value, float scale, bool rounded);

// ---- the vendor extension unit's table ----------------------------------------------------
// Which variant of the registers a family has.
enum class vendor_unit_registers {
  extension_unit,                   // key 122, trigger and strobe on the extension unit
  extension_unit_then_terminal,     // those on the extension unit, else the camera terminal's
  camera_terminal,                  // those on the camera terminal only
};

// The controls of {923ED695-56F2-11E1-83F7-37704824019B} and the camera
// terminal registers in table order; each row that fails its rules is left
// out. Only a lack of memory fails the call.
NTSTATUS register_vendor_unit_controls(uvc_camera* camera, vendor_unit_registers registers);
