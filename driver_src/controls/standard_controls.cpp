// The standard controls bound to the UVC control records: the value
// controls of the table, the white-balance components and the exposure.
#include "controls/standard_controls.h"

#include "controls/control_registry.h"
#include "kernel/kernel_new.h"
#include "kernel/pool_tags.h"
#include "usb/control_request.h"
#include "uvc/uvc_descriptors.h"

namespace {

// One row: a key, the value and automatic controls as (entity type,
// selector) (0: none) and the saved name.
struct standard_row {
  const GUID* set;
  ULONG id;
  UCHAR value_entity;
  UCHAR value_selector;
  UCHAR auto_entity;
  UCHAR auto_selector;
  PCWSTR name;
};

constexpr UCHAR ct = control_entity_camera_terminal;
constexpr UCHAR pu = control_entity_processing_unit;

// Row 7 comes after row 6 under the same key: where the processing unit has
// the white-balance-component automatic mode, it takes the key over.
const standard_row standard_rows[] = {
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, 0, pu, 2, 0, 0, L"Brightness"},
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, 1, pu, 3, 0, 0, L"Contrast"},
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, 2, pu, 6, pu, 16, L"Hue"},
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, 3, pu, 7, 0, 0, L"Saturation"},
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, 4, pu, 8, 0, 0, L"Sharpness"},
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, 5, pu, 9, 0, 0, L"Gamma"},
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, 7, pu, 10, pu, 11, L"WhitebalanceTemperature"},
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, 7, 0, 0, pu, 13, L"WhitebalanceTemperature"},
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, 8, pu, 1, 0, 0, L"BacklightCompensation"},
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, 9, pu, 4, 0, 0, L"Gain"},
    {&PROPSETID_VIDCAP_CAMERACONTROL, 6, ct, 6, ct, 8, L"Focus"},
    {&PROPSETID_VIDCAP_CAMERACONTROL, 5, ct, 9, 0, 0, L"Iris"},
    {&PROPSETID_VIDCAP_CAMERACONTROL, 3, ct, 11, 0, 0, L"Zoom"},
    {&PROPSETID_VIDCAP_CAMERACONTROL, 2, ct, 15, 0, 0, L"Roll"},
};

const WCHAR automatic_suffix[] = L".auto";
const WCHAR exposure_name[] = L"Exposure";
const WCHAR exposure_mode_name[] = L"ExposureAuto";
// The component pair keeps a name of its own: its packed 32-bit value is
// no white-balance temperature.
const WCHAR whitebalance_component_name[] = L"WhitebalanceComponent";

// Processing unit (5, 12) and camera terminal (2, 4), (2, 2).
constexpr ULONG whitebalance_component_selector = 12;
constexpr ULONG exposure_selector = 4;
constexpr ULONG exposure_mode_selector = 2;

// Auto-exposure modes (a bitmap value each).
constexpr LONG exposure_mode_manual = 1;
constexpr LONG exposure_mode_auto = 2;
constexpr LONG exposure_mode_aperture_priority = 8;

// A record that exists and answers.
uvc_control_record* present(uvc_control_record* record) {
  return record != nullptr && record->length != 0 ? record : nullptr;
}

NTSTATUS read_current(uvc_camera* camera, uvc_control_record* record) {
  return control_record_request(camera, record, uvc_request_code::get_cur);
}

// Writes the provider's value for `name`, if it has one, to `record`.
void apply_named_value(uvc_camera* camera, uvc_control_record* record, PCWSTR name,
                       const control_value_provider& provider) {
  ULONG value = 0;
  if (record != nullptr && NT_SUCCESS(provider.lookup(provider.context, name, &value))) {
    write_control_record(camera, record, value);
  }
}

}  // namespace

void copy_control_name(WCHAR* out, PCWSTR name, PCWSTR suffix) {
  ULONG n = 0;
  for (; name != nullptr && name[n] != 0 && n + 1 < control_name_capacity; ++n) out[n] = name[n];
  for (ULONG i = 0; suffix != nullptr && suffix[i] != 0 && n + 1 < control_name_capacity; ++i) {
    out[n++] = suffix[i];
  }
  out[n] = 0;
}

NTSTATUS resend_control_record(uvc_camera* camera, uvc_control_record* record) {
  if (record == nullptr || record->length == 0 || (record->info & control_info_set) == 0) {
    return STATUS_SUCCESS;
  }
  return control_record_request(camera, record, uvc_request_code::set_cur);
}

NTSTATUS resend_value_and_mode(uvc_camera* camera, uvc_control_record* value,
                               uvc_control_record* mode, bool automatic) {
  uvc_control_record* first = automatic ? value : mode;
  uvc_control_record* second = automatic ? mode : value;
  const NTSTATUS status = resend_control_record(camera, first);
  const NTSTATUS then = resend_control_record(camera, second);
  return NT_SUCCESS(status) ? then : status;
}

// ---- uvc_value_control ------------------------------------------------------------------

uvc_value_control::uvc_value_control(uvc_control_record* value, uvc_control_record* automatic,
                                     PCWSTR name)
    : value_(value), automatic_(automatic) {
  copy_control_name(name_, name, nullptr);
  copy_control_name(automatic_name_, name, automatic_suffix);
}

NTSTATUS uvc_value_control::get_property(uvc_camera* camera, control_call* call) {
  if (value_ == nullptr && automatic_ == nullptr) return STATUS_NOT_IMPLEMENTED;
  if (!is_standard_control_set(call->set) && !same_guid(call->set, camera_extension_set)) {
    return STATUS_NOT_IMPLEMENTED;
  }
  control_answer answer = {};
  answer.capabilities = (automatic_ != nullptr ? control_flag_auto : 0) |
                        (value_ != nullptr ? control_flag_manual : 0);
  NTSTATUS status;
  if (value_ != nullptr) {
    status = read_current(camera, value_);
    if (!NT_SUCCESS(status)) return status;
    answer.value = control_value(value_, value_->current);
    answer.flags = control_flag_manual;
    answer.minimum = control_value(value_, value_->minimum);
    answer.maximum = control_value(value_, value_->maximum);
    answer.default_value = control_value(value_, value_->default_value);
    answer.step = ULONG(control_value(value_, value_->resolution));
  }
  if (automatic_ != nullptr) {
    status = read_current(camera, automatic_);
    if (!NT_SUCCESS(status)) return status;
    if (control_value(automatic_, automatic_->current) != 0) {
      answer.flags = control_flag_auto;
    } else {
      answer.flags = value_ != nullptr ? control_flag_manual : 0;
    }
  }
  return write_control_answer(call, answer);
}

NTSTATUS uvc_value_control::set_property(uvc_camera* camera, control_call* call) {
  LONG value = 0;
  ULONG flags = 0;
  NTSTATUS status = read_control_value(call, &value, &flags);
  if (!NT_SUCCESS(status)) return status;
  const ULONG wants_auto = flags & control_flag_auto;
  if (automatic_ != nullptr && ULONG(automatic_->current[0] != 0) != wants_auto) {
    // A change of mode changes only the mode.
    status = write_control_record(camera, automatic_, wants_auto);
    if (NT_SUCCESS(status)) save_control_value(camera, automatic_name_, le32(automatic_->current));
    return status;
  }
  if (value_ == nullptr) return STATUS_SUCCESS;
  status = write_control_record(camera, value_, ULONG(value));
  if (NT_SUCCESS(status)) save_control_value(camera, name_, ULONG(value));
  return status;
}

NTSTATUS uvc_value_control::restore_value(uvc_camera* camera) {
  const bool automatic =
      automatic_ != nullptr && automatic_->length != 0 && control_value(automatic_, automatic_->current) != 0;
  return resend_value_and_mode(camera, value_, automatic_, automatic);
}

// A camera refuses the value while its automatic mode is on: a saved
// manual mode goes first, a saved automatic one last.
NTSTATUS uvc_value_control::apply_default(uvc_camera* camera,
                                          const control_value_provider& provider) {
  ULONG mode = 0;
  const bool has_mode =
      automatic_ != nullptr && NT_SUCCESS(provider.lookup(provider.context, automatic_name_, &mode));
  if (has_mode && mode == 0) write_control_record(camera, automatic_, mode);
  apply_named_value(camera, value_, name_, provider);
  if (has_mode && mode != 0) write_control_record(camera, automatic_, mode);
  return STATUS_SUCCESS;
}

// ---- uvc_whitebalance_component_control ---------------------------------------------------

uvc_whitebalance_component_control::uvc_whitebalance_component_control(uvc_control_record* record)
    : record_(record) {}

namespace {

// The half of a 32-bit component value a key stands for.
ULONG component_half(ULONG id, ULONG packed) {
  return id == extension_id::whitebalance_red ? packed >> 16 : packed & 0xFFFF;
}

}  // namespace

NTSTATUS uvc_whitebalance_component_control::get_property(uvc_camera* camera, control_call* call) {
  if (!same_guid(call->set, camera_extension_set) ||
      (call->id != extension_id::whitebalance_blue && call->id != extension_id::whitebalance_red)) {
    return STATUS_NOT_IMPLEMENTED;
  }
  const NTSTATUS status = read_current(camera, record_);
  if (!NT_SUCCESS(status)) return status;
  control_answer answer = {};
  answer.value = LONG(component_half(call->id, le32(record_->current)));
  answer.flags = control_flag_manual;
  answer.capabilities = control_flag_manual;
  answer.minimum = LONG(component_half(call->id, le32(record_->minimum)));
  answer.maximum = LONG(component_half(call->id, le32(record_->maximum)));
  answer.default_value = LONG(component_half(call->id, le32(record_->default_value)));
  answer.step = component_half(call->id, le32(record_->resolution));
  return write_control_answer(call, answer);
}

NTSTATUS uvc_whitebalance_component_control::set_property(uvc_camera* camera, control_call* call) {
  if (!same_guid(call->set, camera_extension_set) ||
      (call->id != extension_id::whitebalance_blue && call->id != extension_id::whitebalance_red)) {
    return STATUS_NOT_IMPLEMENTED;
  }
  LONG value = 0;
  ULONG flags = 0;
  NTSTATUS status = read_control_value(call, &value, &flags);
  if (!NT_SUCCESS(status)) return status;
  ULONG packed = le32(record_->current);
  const ULONG half = ULONG(value) & 0xFFFF;
  packed = call->id == extension_id::whitebalance_red ? (packed & 0xFFFF) | (half << 16)
                                                  : (packed & 0xFFFF0000u) | half;
  status = write_control_record(camera, record_, packed);
  if (NT_SUCCESS(status)) save_control_value(camera, whitebalance_component_name, packed);
  return status;
}

NTSTATUS uvc_whitebalance_component_control::restore_value(uvc_camera* camera) {
  return resend_control_record(camera, record_);
}

NTSTATUS uvc_whitebalance_component_control::apply_default(
    uvc_camera* camera, const control_value_provider& provider) {
  apply_named_value(camera, record_, whitebalance_component_name, provider);
  return STATUS_SUCCESS;
}

// ---- uvc_exposure_control --------------------------------------------------------------------

uvc_exposure_control::uvc_exposure_control(uvc_control_record* exposure, uvc_control_record* mode)
    : exposure_(exposure), mode_(mode) {}

namespace {

bool is_camera_control_exposure(const control_call* call) {
  return same_guid(call->set, PROPSETID_VIDCAP_CAMERACONTROL) &&
         call->id == KSPROPERTY_CAMERACONTROL_EXPOSURE;
}

bool is_extension_exposure(const control_call* call) {
  return same_guid(call->set, camera_extension_set) && call->id == extension_id::exposure;
}

LONG log2_of(const uvc_control_record* record, const UCHAR* field) {
  return us100_to_seconds_log2(ULONG(control_value(record, field)));
}

}  // namespace

NTSTATUS uvc_exposure_control::get_property(uvc_camera* camera, control_call* call) {
  const bool logarithmic = is_camera_control_exposure(call);
  if (!logarithmic && !is_extension_exposure(call)) return STATUS_NOT_IMPLEMENTED;
  control_answer answer = {};
  NTSTATUS status = read_current(camera, exposure_);
  if (!NT_SUCCESS(status)) return status;
  answer.capabilities = control_flag_manual;
  answer.flags = control_flag_manual;
  if (mode_ != nullptr) {
    status = read_current(camera, mode_);
    if (!NT_SUCCESS(status)) return status;
    answer.capabilities |= control_flag_auto;
    const LONG mode = control_value(mode_, mode_->current);
    if (mode == exposure_mode_auto || mode == exposure_mode_aperture_priority) {
      answer.flags = control_flag_auto | control_flag_manual;
    }
  }
  if (logarithmic) {
    answer.value = log2_of(exposure_, exposure_->current);
    answer.minimum = log2_of(exposure_, exposure_->minimum);
    answer.maximum = log2_of(exposure_, exposure_->maximum);
    answer.default_value = log2_of(exposure_, exposure_->default_value);
    answer.step = 1;
  } else {
    answer.value = control_value(exposure_, exposure_->current);
    answer.minimum = control_value(exposure_, exposure_->minimum);
    answer.maximum = control_value(exposure_, exposure_->maximum);
    answer.default_value = control_value(exposure_, exposure_->default_value);
    answer.step = 1;
  }
  return write_control_answer(call, answer);
}

NTSTATUS uvc_exposure_control::set_property(uvc_camera* camera, control_call* call) {
  const bool logarithmic = is_camera_control_exposure(call);
  if (!logarithmic && !is_extension_exposure(call)) return STATUS_NOT_IMPLEMENTED;
  LONG value = 0;
  ULONG flags = 0;
  NTSTATUS status = read_control_value(call, &value, &flags);
  if (!NT_SUCCESS(status)) return status;
  const ULONG time = logarithmic ? seconds_log2_to_100us(value) : ULONG(value);
  const bool wants_auto = (flags & control_flag_auto) != 0;
  if (mode_ != nullptr && (control_value(mode_, mode_->current) != exposure_mode_manual) != wants_auto) {
    const ULONG mode = wants_auto ? exposure_mode_aperture_priority : exposure_mode_manual;
    status = write_control_record(camera, mode_, mode);
    if (NT_SUCCESS(status)) save_control_value(camera, exposure_mode_name, mode);
    return status;
  }
  status = write_control_record(camera, exposure_, time);
  if (NT_SUCCESS(status)) save_control_value(camera, exposure_name, time);
  return status;
}

NTSTATUS uvc_exposure_control::restore_value(uvc_camera* camera) {
  const bool automatic = mode_ != nullptr && mode_->length != 0 &&
                         control_value(mode_, mode_->current) != exposure_mode_manual;
  return resend_value_and_mode(camera, exposure_, mode_, automatic);
}

// As for the other controls: a saved manual mode before the time, a saved
// automatic one after it.
NTSTATUS uvc_exposure_control::apply_default(uvc_camera* camera,
                                             const control_value_provider& provider) {
  ULONG mode = 0;
  const bool has_mode =
      mode_ != nullptr && NT_SUCCESS(provider.lookup(provider.context, exposure_mode_name, &mode));
  const bool automatic = LONG(mode) != exposure_mode_manual;
  if (has_mode && !automatic) write_control_record(camera, mode_, mode);
  apply_named_value(camera, exposure_, exposure_name, provider);
  if (has_mode && automatic) write_control_record(camera, mode_, mode);
  return STATUS_SUCCESS;
}

// ---- registration ------------------------------------------------------------------------------

NTSTATUS adopt_control(uvc_camera* camera, camera_control* control, const property_key* keys,
                       ULONG key_count, ULONG level) {
  if (control == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = camera->add_owned_object(control);
  if (!NT_SUCCESS(status)) {
    delete control;
    return status;
  }
  return register_control(camera, keys, key_count, control, level);
}

NTSTATUS register_standard_controls(uvc_camera* camera) {
  NTSTATUS status = STATUS_SUCCESS;
  for (const standard_row& row : standard_rows) {
    uvc_control_record* value =
        row.value_entity != 0 ? find_control(camera, row.value_entity, row.value_selector) : nullptr;
    uvc_control_record* automatic =
        row.auto_entity != 0 ? present(find_control(camera, row.auto_entity, row.auto_selector))
                             : nullptr;
    // A value control that did not answer its probe leaves the row out.
    if ((value != nullptr && value->length == 0) || (value == nullptr && automatic == nullptr)) {
      continue;
    }
    const property_key key = {*row.set, row.id};
    status = adopt_control(
        camera, new (NonPagedPoolNx, pool_tag::objects) uvc_value_control(value, automatic, row.name),
        &key, 1, control_level_base);
    if (!NT_SUCCESS(status)) return status;
  }

  uvc_control_record* component = present(
      find_control(camera, control_entity_processing_unit, whitebalance_component_selector));
  if (component != nullptr) {
    const property_key keys[] = {{camera_extension_set, extension_id::whitebalance_blue},
                                 {camera_extension_set, extension_id::whitebalance_red}};
    status = adopt_control(
        camera, new (NonPagedPoolNx, pool_tag::objects) uvc_whitebalance_component_control(component),
        keys, ARRAYSIZE(keys), control_level_base);
    if (!NT_SUCCESS(status)) return status;
  }

  uvc_control_record* exposure =
      present(find_control(camera, control_entity_camera_terminal, exposure_selector));
  if (exposure != nullptr) {
    uvc_control_record* mode =
        camera->controls_flag()
            ? nullptr
            : present(find_control(camera, control_entity_camera_terminal, exposure_mode_selector));
    const property_key keys[] = {{PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_EXPOSURE},
                                 {camera_extension_set, extension_id::exposure}};
    status = adopt_control(
        camera, new (NonPagedPoolNx, pool_tag::objects) uvc_exposure_control(exposure, mode), keys,
        ARRAYSIZE(keys), control_level_base);
  }
  return status;
}
