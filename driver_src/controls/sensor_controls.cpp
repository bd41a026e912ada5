// The sensor unit's gain and exposure, and its table.
#include "controls/sensor_controls.h"

#include "kernel/kernel_new.h"
#include "kernel/pool_tags.h"
#include "usb/control_request.h"
#include "uvc/uvc_camera.h"

namespace {

// Selectors of {DE49BA0A-0B5C-D549-8F71-0BE40F94A67A}.
namespace sensor_selector {
constexpr ULONG exposure_auto = 1;
constexpr ULONG gain_auto = 2;
constexpr ULONG one_push = 3;
constexpr ULONG exposure_reference = 4;
constexpr ULONG trigger = 5;
constexpr ULONG strobe = 6;
constexpr ULONG strobe_polarity = 7;
constexpr ULONG pair_register = 8;
constexpr ULONG auto_maximum_flag = 10;
constexpr ULONG strobe_delay = 11;
constexpr ULONG strobe_duration = 12;
constexpr ULONG strobe_mode = 13;
constexpr ULONG software_trigger = 15;
constexpr ULONG gain = 24;
constexpr ULONG trigger_delay = 26;
constexpr ULONG exposure = 27;
constexpr ULONG one_push_focus = 28;
constexpr ULONG auto_maximum = 30;
constexpr ULONG flip_x = 46;
constexpr ULONG flip_y = 47;
}  // namespace sensor_selector

constexpr ULONG processing_unit_gain = 4;       // (5, 4)
constexpr ULONG terminal_exposure_mode = 2;     // (2, 2)
constexpr LONG exposure_mode_manual = 1;
constexpr LONG exposure_mode_auto = 2;
constexpr LONG exposure_mode_aperture_priority = 8;

constexpr ULONG microseconds_per_second = 1000000;
constexpr ULONG microseconds_per_100us = 100;
constexpr ULONG reference_maximum = 255;
constexpr ULONG reference_default = 128;

const WCHAR auto_maximum_auto_name[] = L"ExposureAutoMaxAuto";
const WCHAR reference_name[] = L"ExposureAutoReference";

bool fatal(NTSTATUS status) { return status == STATUS_INSUFFICIENT_RESOURCES; }

NTSTATUS read_current(uvc_camera* camera, uvc_control_record* record) {
  return control_record_request(camera, record, uvc_request_code::get_cur);
}

ULONG value_of(const uvc_control_record* record, const UCHAR* field) {
  return ULONG(control_value(record, field));
}

ULONG at_least_one(ULONG value) { return value != 0 ? value : 1; }

ULONG multiply_saturated(ULONG value, ULONG factor) {
  const ULONGLONG product = ULONGLONG(value) * factor;
  return product > MAXULONG ? MAXULONG : ULONG(product);
}

void put_float(void* buffer, ULONG offset, float value) {
  RtlCopyMemory(static_cast<UCHAR*>(buffer) + offset, &value, sizeof(value));
}

float get_float(const void* buffer, ULONG offset) {
  float value;
  RtlCopyMemory(&value, static_cast<const UCHAR*>(buffer) + offset, sizeof(value));
  return value;
}

float seconds_of(ULONG us) { return float(us) / float(microseconds_per_second); }

// The 56-byte float record of times in seconds.
NTSTATUS write_seconds_answer(control_call* call, ULONG value, ULONG minimum, ULONG maximum,
                              ULONG default_value, ULONG flags) {
  if (call->output == nullptr || call->output_length < float_record::size) {
    return STATUS_INVALID_BUFFER_SIZE;
  }
  RtlZeroMemory(call->output, float_record::size);
  KSPROPERTY header = {};
  header.Set = call->set;
  header.Id = call->id;
  header.Flags = call->flags;
  RtlCopyMemory(call->output, &header, sizeof(header));
  put_float(call->output, float_record::value, seconds_of(value));
  put_field(call->output, float_record::flags, flags);
  put_field(call->output, float_record::capabilities, control_flag_auto | control_flag_manual);
  put_float(call->output, float_record::minimum, seconds_of(minimum));
  put_float(call->output, float_record::maximum, seconds_of(maximum));
  put_float(call->output, float_record::default_value, seconds_of(default_value));
  call->bytes_returned = float_record::size;
  return STATUS_SUCCESS;
}

// The value of a float set request in microseconds (56 bytes needed).
NTSTATUS read_seconds(const control_call* call, ULONG* us) {
  if (call->output == nullptr || call->output_length < float_record::size) {
    return STATUS_INVALID_BUFFER_SIZE;
  }
  *us = float_to_count(get_float(call->output, float_record::value), float(microseconds_per_second),
                       true);
  return STATUS_SUCCESS;
}

control_answer answer_of(ULONG value, ULONG minimum, ULONG maximum, ULONG default_value,
                         ULONG flags, ULONG capabilities) {
  control_answer answer = {};
  answer.value = LONG(value);
  answer.flags = flags;
  answer.capabilities = capabilities;
  answer.minimum = LONG(minimum);
  answer.maximum = LONG(maximum);
  answer.default_value = LONG(default_value);
  answer.step = 1;
  return answer;
}

}  // namespace

// ---- sensor_gain_control -----------------------------------------------------------------

sensor_gain_control::sensor_gain_control(uvc_control_record* gain, uvc_control_record* sensor_gain,
                                         uvc_control_record* mode)
    : gain_(gain), sensor_gain_(sensor_gain), mode_(mode) {}

NTSTATUS sensor_gain_control::automatic(uvc_camera* camera, bool* on) {
  *on = false;
  if (mode_ == nullptr) return STATUS_SUCCESS;
  const NTSTATUS status = read_current(camera, mode_);
  if (NT_SUCCESS(status)) *on = control_value(mode_, mode_->current) != 0;
  return status;
}

NTSTATUS sensor_gain_control::get_property(uvc_camera* camera, control_call* call) {
  const bool standard = is_standard_control_set(call->set);
  uvc_control_record* record = standard ? gain_ : sensor_gain_;
  bool on = false;
  NTSTATUS status = automatic(camera, &on);
  if (NT_SUCCESS(status)) status = read_current(camera, record);
  if (!NT_SUCCESS(status)) return status;
  const ULONG flags = on ? control_flag_auto | control_flag_manual : control_flag_manual;
  control_answer answer = {};
  answer.value = control_value(record, record->current);
  answer.flags = flags;
  answer.capabilities = flags;
  answer.minimum = control_value(record, record->minimum);
  answer.maximum = control_value(record, record->maximum);
  answer.default_value = control_value(record, record->default_value);
  answer.step = 1;
  return write_control_answer(call, answer);
}

NTSTATUS sensor_gain_control::set_property(uvc_camera* camera, control_call* call) {
  LONG value = 0;
  ULONG flags = 0;
  NTSTATUS status = read_control_value(call, &value, &flags);
  if (!NT_SUCCESS(status)) return status;
  const bool wants_auto = (flags & control_flag_auto) != 0;
  bool on = false;
  status = automatic(camera, &on);
  if (!NT_SUCCESS(status)) return status;
  if (mode_ != nullptr && wants_auto != on) {
    return write_control_record(camera, mode_, wants_auto ? 1 : 0);
  }
  return write_control_record(camera, is_standard_control_set(call->set) ? gain_ : sensor_gain_,
                              ULONG(value));
}

// The gains are refused while the automatic mode is on: a manual mode goes
// before them, an automatic one after.
NTSTATUS sensor_gain_control::restore_value(uvc_camera* camera) {
  const bool automatic =
      mode_ != nullptr && mode_->length != 0 && control_value(mode_, mode_->current) != 0;
  NTSTATUS result = automatic ? STATUS_SUCCESS : resend_control_record(camera, mode_);
  uvc_control_record* const values[] = {gain_, sensor_gain_};
  for (uvc_control_record* record : values) {
    const NTSTATUS status = resend_control_record(camera, record);
    if (NT_SUCCESS(result)) result = status;
  }
  if (automatic) {
    const NTSTATUS status = resend_control_record(camera, mode_);
    if (NT_SUCCESS(result)) result = status;
  }
  return result;
}

NTSTATUS register_sensor_gain(uvc_camera* camera) {
  uvc_control_record* gain = find_control(camera, control_entity_processing_unit, processing_unit_gain);
  uvc_control_record* sensor_gain =
      bind_control(camera, on_unit(sensor_extension_unit, sensor_selector::gain));
  if (gain == nullptr || gain->length == 0 || sensor_gain == nullptr) return STATUS_NOT_IMPLEMENTED;
  uvc_control_record* mode =
      bind_control(camera, on_unit(sensor_extension_unit, sensor_selector::gain_auto));
  const property_key keys[] = {{PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAIN},
                               {camera_extension_set, extension_id::gain}};
  return adopt_control(camera,
                       new (NonPagedPoolNx, pool_tag::objects)
                           sensor_gain_control(gain, sensor_gain, mode),
                       keys, ARRAYSIZE(keys), control_level_family);
}

// ---- sensor_exposure_control -------------------------------------------------------------

sensor_exposure_control::sensor_exposure_control(uvc_control_record* exposure,
                                                 uvc_control_record* auto_flag,
                                                 bool auto_flag_is_mode,
                                                 uvc_control_record* auto_maximum,
                                                 uvc_control_record* auto_maximum_flag,
                                                 uvc_control_record* reference)
    : exposure_(exposure),
      auto_flag_(auto_flag),
      auto_flag_is_mode_(auto_flag_is_mode),
      auto_maximum_(auto_maximum),
      auto_maximum_flag_(auto_maximum_flag),
      reference_record_(reference),
      auto_maximum_us_(value_of(exposure, exposure->maximum)),
      auto_maximum_auto_(auto_maximum == nullptr || auto_maximum_flag != nullptr),
      reference_(reference != nullptr ? value_of(reference, reference->current) : reference_default) {}

NTSTATUS sensor_exposure_control::automatic(uvc_camera* camera, bool* on) {
  *on = true;  // without a source the camera decides alone
  if (auto_flag_ == nullptr) return STATUS_SUCCESS;
  const NTSTATUS status = read_current(camera, auto_flag_);
  if (!NT_SUCCESS(status)) return status;
  const LONG value = control_value(auto_flag_, auto_flag_->current);
  *on = auto_flag_is_mode_
            ? value == exposure_mode_auto || value == exposure_mode_aperture_priority
            : value != 0;
  return STATUS_SUCCESS;
}

NTSTATUS sensor_exposure_control::set_automatic(uvc_camera* camera, bool on) {
  if (auto_flag_ == nullptr) return STATUS_INVALID_PARAMETER;
  const ULONG value = auto_flag_is_mode_
                          ? ULONG(on ? exposure_mode_aperture_priority : exposure_mode_manual)
                          : ULONG(on ? 1 : 0);
  return write_control_record(camera, auto_flag_, value);
}

NTSTATUS sensor_exposure_control::write_auto_maximum(uvc_camera* camera, ULONG us) {
  if (auto_maximum_ != nullptr) {
    const NTSTATUS status = write_control_record(camera, auto_maximum_, us);
    if (!NT_SUCCESS(status)) return status;
  }
  auto_maximum_us_ = us;
  return STATUS_SUCCESS;
}

NTSTATUS sensor_exposure_control::set_auto_maximum_flag(uvc_camera* camera, bool on) {
  NTSTATUS status = STATUS_SUCCESS;
  if (auto_maximum_flag_ != nullptr) {
    status = write_control_record(camera, auto_maximum_flag_, on ? 1 : 0);
  } else if (on) {
    const uvc_control_record* range = auto_maximum_ != nullptr ? auto_maximum_ : exposure_;
    status = write_auto_maximum(camera, value_of(range, range->default_value));
  }
  if (!NT_SUCCESS(status)) return status;
  auto_maximum_auto_ = on;
  save_control_value(camera, auto_maximum_auto_name, on ? 1 : 0);
  return STATUS_SUCCESS;
}

NTSTATUS sensor_exposure_control::set_reference(uvc_camera* camera, ULONG value) {
  if (reference_record_ != nullptr) {
    const NTSTATUS status = write_control_record(camera, reference_record_, value);
    if (!NT_SUCCESS(status)) return status;
  } else if (value > reference_maximum) {
    return STATUS_INVALID_PARAMETER;
  }
  reference_ = value;
  save_control_value(camera, reference_name, value);
  return STATUS_SUCCESS;
}

NTSTATUS sensor_exposure_control::get_property(uvc_camera* camera, control_call* call) {
  bool on = false;
  NTSTATUS status = automatic(camera, &on);
  if (NT_SUCCESS(status)) status = read_current(camera, exposure_);
  if (!NT_SUCCESS(status)) return status;
  const ULONG flags = on ? control_flag_auto | control_flag_manual : control_flag_manual;
  const ULONG caps = control_flag_auto | control_flag_manual;
  const ULONG value = value_of(exposure_, exposure_->current);
  const ULONG minimum = value_of(exposure_, exposure_->minimum);
  const ULONG maximum = value_of(exposure_, exposure_->maximum);
  const ULONG default_value = value_of(exposure_, exposure_->default_value);
  const uvc_control_record* max_range = auto_maximum_ != nullptr ? auto_maximum_ : exposure_;
  if (auto_maximum_ != nullptr) {
    status = read_current(camera, auto_maximum_);
    if (!NT_SUCCESS(status)) return status;
    auto_maximum_us_ = value_of(auto_maximum_, auto_maximum_->current);
  }
  const ULONG max_minimum = value_of(max_range, max_range->minimum);
  const ULONG max_maximum = value_of(max_range, max_range->maximum);
  const ULONG max_default = value_of(max_range, max_range->default_value);

  if (same_guid(call->set, PROPSETID_VIDCAP_CAMERACONTROL)) {
    control_answer answer = answer_of(0, 0, 0, 0, flags, caps);
    answer.value = units_to_seconds_log2(value, microseconds_per_second);
    answer.minimum = units_to_seconds_log2(minimum, microseconds_per_second);
    answer.maximum = units_to_seconds_log2(maximum, microseconds_per_second);
    answer.default_value = units_to_seconds_log2(default_value, microseconds_per_second);
    return write_control_answer(call, answer);
  }
  switch (call->id) {
    case extension_id::exposure:
      return write_control_answer(
          call, answer_of(value / microseconds_per_100us,
                          at_least_one(minimum / microseconds_per_100us),
                          maximum / microseconds_per_100us,
                          default_value / microseconds_per_100us, flags, caps));
    case extension_id::exposure_us:
      return write_control_answer(call, answer_of(value, minimum, maximum, default_value, flags, caps));
    case extension_id::exposure_seconds:
      if (is_range_query(call)) break;
      return write_seconds_answer(call, value, minimum, maximum, default_value, flags);
    case extension_id::exposure_auto_max:
      return write_control_answer(
          call, answer_of(at_least_one(auto_maximum_us_ / microseconds_per_100us),
                          at_least_one(max_minimum / microseconds_per_100us),
                          max_maximum / microseconds_per_100us, max_default / microseconds_per_100us,
                          control_flag_manual, control_flag_manual));
    case extension_id::exposure_auto_max_us:
      return write_control_answer(call, answer_of(auto_maximum_us_, max_minimum, max_maximum,
                                                  max_default, control_flag_manual,
                                                  control_flag_manual));
    case extension_id::exposure_auto_max_seconds:
      if (is_range_query(call)) break;
      return write_seconds_answer(call, auto_maximum_us_, max_minimum, max_maximum, max_default,
                                  control_flag_manual);
    case extension_id::exposure_auto_max_auto:
      return write_control_answer(call, answer_of(auto_maximum_auto_ ? 1 : 0, 0, 1, 1,
                                                  control_flag_manual, control_flag_manual));
    case extension_id::exposure_auto_reference: {
      ULONG low = 0, high = reference_maximum, initial = reference_default;
      if (reference_record_ != nullptr) {
        status = read_current(camera, reference_record_);
        if (!NT_SUCCESS(status)) return status;
        reference_ = value_of(reference_record_, reference_record_->current);
        low = value_of(reference_record_, reference_record_->minimum);
        high = value_of(reference_record_, reference_record_->maximum);
        initial = value_of(reference_record_, reference_record_->default_value);
      }
      return write_control_answer(call, answer_of(reference_, low, high, initial,
                                                  control_flag_manual, control_flag_manual));
    }
    default:
      break;
  }
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS sensor_exposure_control::set_property(uvc_camera* camera, control_call* call) {
  LONG value = 0;
  ULONG flags = 0;
  ULONG us = 0;
  NTSTATUS status;
  const bool seconds =
      call->id == extension_id::exposure_seconds || call->id == extension_id::exposure_auto_max_seconds;
  if (seconds && !is_standard_control_set(call->set)) {
    status = read_seconds(call, &us);
    flags = call->output_length >= float_record::size ? get_field(call->output, float_record::flags) : 0;
  } else {
    status = read_control_value(call, &value, &flags);
  }
  if (!NT_SUCCESS(status)) return status;

  const bool exposure_key = same_guid(call->set, PROPSETID_VIDCAP_CAMERACONTROL) ||
                            call->id == extension_id::exposure ||
                            call->id == extension_id::exposure_us ||
                            call->id == extension_id::exposure_seconds;
  if (exposure_key) {
    if (same_guid(call->set, PROPSETID_VIDCAP_CAMERACONTROL)) {
      us = seconds_log2_to_units(value, microseconds_per_second);
    } else if (call->id == extension_id::exposure) {
      us = multiply_saturated(ULONG(value), microseconds_per_100us);
    } else if (call->id == extension_id::exposure_us) {
      us = ULONG(value);
    }
    const bool keyed_auto = same_guid(call->set, PROPSETID_VIDCAP_CAMERACONTROL) ||
                            call->id == extension_id::exposure;
    if (keyed_auto && auto_flag_ != nullptr) {
      bool on = false;
      status = automatic(camera, &on);
      if (!NT_SUCCESS(status)) return status;
      if (((flags & control_flag_auto) != 0) != on) return set_automatic(camera, !on);
    }
    return write_control_record(camera, exposure_, us);
  }
  switch (call->id) {
    case extension_id::exposure_auto_max:
      return write_auto_maximum(camera, multiply_saturated(ULONG(value), microseconds_per_100us));
    case extension_id::exposure_auto_max_us:
      return write_auto_maximum(camera, ULONG(value));
    case extension_id::exposure_auto_max_seconds:
      return write_auto_maximum(camera, us);
    case extension_id::exposure_auto_max_auto:
      return set_auto_maximum_flag(camera, value != 0);
    case extension_id::exposure_auto_reference:
      return set_reference(camera, ULONG(value));
    default:
      return STATUS_NOT_IMPLEMENTED;
  }
}

// Each value goes while the flag that owns it is off: a manual flag before
// its value, an automatic one after.
NTSTATUS sensor_exposure_control::restore_value(uvc_camera* camera) {
  auto on = [](const uvc_control_record* record) {
    return record != nullptr && record->length != 0 && control_value(record, record->current) != 0;
  };
  bool exposure_auto = on(auto_flag_);
  if (exposure_auto && auto_flag_is_mode_) {
    const LONG mode = control_value(auto_flag_, auto_flag_->current);
    exposure_auto = mode == exposure_mode_auto || mode == exposure_mode_aperture_priority;
  }
  NTSTATUS result = resend_value_and_mode(camera, exposure_, auto_flag_, exposure_auto);
  const NTSTATUS maximum =
      resend_value_and_mode(camera, auto_maximum_, auto_maximum_flag_, on(auto_maximum_flag_));
  const NTSTATUS reference = resend_control_record(camera, reference_record_);
  if (NT_SUCCESS(result)) result = maximum;
  return NT_SUCCESS(result) ? reference : result;
}

NTSTATUS sensor_exposure_control::apply_default(uvc_camera* camera,
                                                const control_value_provider& provider) {
  ULONG value = 0;
  if (NT_SUCCESS(provider.lookup(provider.context, auto_maximum_auto_name, &value))) {
    set_auto_maximum_flag(camera, value != 0);
  }
  if (NT_SUCCESS(provider.lookup(provider.context, reference_name, &value))) {
    set_reference(camera, value);
  }
  return STATUS_SUCCESS;
}

NTSTATUS register_sensor_exposure(uvc_camera* camera, sensor_exposure_control** control) {
  if (control != nullptr) *control = nullptr;
  const GUID& unit = sensor_extension_unit;
  uvc_control_record* exposure = bind_control(camera, on_unit(unit, sensor_selector::exposure));
  if (exposure == nullptr) return STATUS_NOT_IMPLEMENTED;
  uvc_control_record* auto_flag = nullptr;
  bool is_mode = false;
  uvc_control_record* mode =
      find_control(camera, control_entity_camera_terminal, terminal_exposure_mode);
  if (mode != nullptr && mode->length != 0) {
    auto_flag = mode;
    is_mode = true;
  } else {
    auto_flag = bind_control(camera, on_unit(unit, sensor_selector::exposure_auto));
  }
  uvc_control_record* auto_maximum = bind_control(camera, on_unit(unit, sensor_selector::auto_maximum));
  uvc_control_record* auto_maximum_flag =
      auto_maximum != nullptr ? bind_control(camera, on_unit(unit, sensor_selector::auto_maximum_flag))
                              : nullptr;
  uvc_control_record* reference =
      bind_control(camera, on_unit(unit, sensor_selector::exposure_reference));

  property_key keys[9] = {
      {PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_EXPOSURE},
      {camera_extension_set, extension_id::exposure},
      {camera_extension_set, extension_id::exposure_us},
      {camera_extension_set, extension_id::exposure_seconds},
  };
  ULONG count = 4;
  // With an automatic-flag source the reference and the maximum keys need
  // their selectors; without one the driver holds all five.
  if (auto_flag == nullptr || reference != nullptr) {
    keys[count++] = {camera_extension_set, extension_id::exposure_auto_reference};
  }
  if (auto_flag == nullptr || auto_maximum != nullptr) {
    keys[count++] = {camera_extension_set, extension_id::exposure_auto_max};
    keys[count++] = {camera_extension_set, extension_id::exposure_auto_max_auto};
    keys[count++] = {camera_extension_set, extension_id::exposure_auto_max_us};
    keys[count++] = {camera_extension_set, extension_id::exposure_auto_max_seconds};
  }
  auto* object = new (NonPagedPoolNx, pool_tag::objects) sensor_exposure_control(
      exposure, auto_flag, is_mode, auto_maximum, auto_maximum_flag, reference);
  const NTSTATUS status = adopt_control(camera, object, keys, count, control_level_family);
  if (NT_SUCCESS(status) && control != nullptr) *control = object;
  return status;
}

// ---- the sensor unit's table -------------------------------------------------------------

NTSTATUS register_sensor_unit_controls(uvc_camera* camera, sensor_unit_family family) {
  const GUID& unit = sensor_extension_unit;
  const bool sensor_camera = family == sensor_unit_family::sensor_cameras;
  const property_key exposure_keys[] = {
      {PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_EXPOSURE},
      {camera_extension_set, extension_id::exposure}};
  const property_key gain_key = {PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAIN};

  NTSTATUS status = STATUS_NOT_IMPLEMENTED;
  // The software trigger comes only with the trigger.
  if (extension_has_control(camera, unit, sensor_selector::trigger)) {
    status = register_trigger(camera, on_unit(unit, sensor_selector::trigger),
                              on_unit(unit, sensor_selector::software_trigger));
  }
  if (fatal(status)) return status;
  status = register_strobe(camera, on_unit(unit, sensor_selector::strobe),
                           extension_has_control(camera, unit, sensor_selector::strobe_polarity));
  if (fatal(status)) return status;
  if (!sensor_camera) {
    status = register_one_push(camera, on_unit(unit, sensor_selector::one_push), extension_id::one_push,
                               true);
    if (fatal(status)) return status;
  }
  status = register_pair_register(camera, on_unit(unit, sensor_selector::pair_register));
  if (fatal(status)) return status;

  if (!sensor_camera) {
    status = register_auto_mode_control(camera, on_unit(unit, sensor_selector::gain_auto),
                                        L"GainAuto", &gain_key, 1, control_level_family, true);
    if (fatal(status)) return status;
    status = register_auto_maximum(camera, on_unit(unit, sensor_selector::auto_maximum_flag));
    if (fatal(status)) return status;
    status = register_value_register(camera, on_unit(unit, sensor_selector::exposure_reference),
                                     L"ExposureAutoReference", extension_id::exposure_auto_reference,
                                     control_level_base);
    if (fatal(status)) return status;
    status = register_auto_mode_control(camera, on_unit(unit, sensor_selector::exposure_auto),
                                        L"ExposureAuto", exposure_keys, ARRAYSIZE(exposure_keys),
                                        control_level_family, true);
    if (fatal(status)) return status;
    return register_strobe_timing(camera, unit, sensor_selector::strobe_delay,
                                  sensor_selector::strobe_duration, sensor_selector::strobe_mode) ==
                   STATUS_INSUFFICIENT_RESOURCES
               ? STATUS_INSUFFICIENT_RESOURCES
               : STATUS_SUCCESS;
  }

  status = register_value_register(camera, on_unit(unit, sensor_selector::flip_x), L"FlipX",
                                   extension_id::flip_x, control_level_base);
  if (fatal(status)) return status;
  status = register_value_register(camera, on_unit(unit, sensor_selector::flip_y), L"FlipY",
                                   extension_id::flip_y, control_level_base);
  if (fatal(status)) return status;
  // The sensor window registers here, over the flips.
  status = register_sensor_gain(camera);
  if (fatal(status)) return status;
  status = register_trigger_delay(camera, on_unit(unit, sensor_selector::trigger_delay));
  if (fatal(status)) return status;
  status = register_sensor_exposure(camera, nullptr);
  if (fatal(status)) return status;
  if (!NT_SUCCESS(status)) {
    status = register_auto_mode_control(camera, on_unit(unit, sensor_selector::exposure_auto),
                                        L"ExposureAuto", exposure_keys, ARRAYSIZE(exposure_keys),
                                        control_level_family, true);
    if (fatal(status)) return status;
  }
  status = register_auto_mode_control(camera, on_unit(unit, sensor_selector::gain_auto),
                                      L"GainAuto", &gain_key, 1, control_level_family, true);
  if (fatal(status)) return status;
  status = register_one_push(camera, on_unit(unit, sensor_selector::one_push_focus),
                             extension_id::one_push_focus, false);
  return fatal(status) ? status : STATUS_SUCCESS;
}
