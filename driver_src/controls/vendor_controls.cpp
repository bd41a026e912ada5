// Vendor controls on the extension units and the camera terminal's vendor
// registers, with their registration rules and the vendor unit's table.
#include "controls/vendor_controls.h"

#include "kernel/kernel_new.h"
#include "kernel/pool_tags.h"
#include "usb/control_request.h"
#include "uvc/uvc_camera.h"
#include "uvc/uvc_descriptors.h"
#include "uvc/version_banner.h"

extern const GUID vendor_extension_unit = {
    0x923ed695, 0x56f2, 0x11e1, {0x83, 0xf7, 0x37, 0x70, 0x48, 0x24, 0x01, 0x9b}};
extern const GUID sensor_extension_unit = {
    0xde49ba0a, 0x0b5c, 0xd549, {0x8f, 0x71, 0x0b, 0xe4, 0x0f, 0x94, 0xa6, 0x7a}};

namespace {

constexpr ULONG camera_register_length = 4;

// Largest record a control answers (the strobe's), for the look-ups the
// registration rules make.
constexpr ULONG probe_record_size = 96;

NTSTATUS read_current(uvc_camera* camera, uvc_control_record* record) {
  return control_record_request(camera, record, uvc_request_code::get_cur);
}

LONG current_of(const uvc_control_record* record) { return control_value(record, record->current); }

// A get (`flags` 0x1) of `key` from the highest level down into a buffer
// large enough for every record; the answer's capability word in `*caps`.
NTSTATUS probe_key(uvc_camera* camera, const property_key& key, ULONG* caps) {
  UCHAR record[probe_record_size] = {};
  control_call call = {};
  call.set = key.set;
  call.id = key.id;
  call.flags = control_request_get;
  call.output = record;
  call.output_length = sizeof(record);
  const NTSTATUS status = forward_get(camera, &call, control_level_override);
  if (NT_SUCCESS(status) && caps != nullptr) *caps = get_field(record, control_record::capabilities);
  return status;
}

NTSTATUS save_if_named(uvc_camera* camera, PCWSTR name, ULONG value) {
  return name[0] != 0 ? save_control_value(camera, name, value) : STATUS_SUCCESS;
}

void apply_named(uvc_camera* camera, uvc_control_record* record, PCWSTR name,
                 const control_value_provider& provider) {
  ULONG value = 0;
  if (name[0] != 0 && NT_SUCCESS(provider.lookup(provider.context, name, &value))) {
    write_control_record(camera, record, value);
  }
}

control_answer register_answer(const uvc_control_record* record) {
  control_answer answer = {};
  answer.value = current_of(record);
  answer.flags = control_flag_manual;
  answer.capabilities = control_flag_manual;
  answer.minimum = control_value(record, record->minimum);
  answer.maximum = control_value(record, record->maximum);
  answer.default_value = control_value(record, record->default_value);
  answer.step = 1;
  return answer;
}

// The start of a get of a register shown as a record of `size` bytes: an
// output too small for it is `too_small` (a range query needs none), the
// register is read into `*reg`, a range query is answered 0 to 1 with its
// bit 0, default 0, and a get's record is begun with the request's header
// (bytes_returned: its size). The caller fills the fields of a get.
NTSTATUS begin_register_record(uvc_camera* camera, uvc_control_record* record, control_call* call,
                               ULONG size, NTSTATUS too_small, ULONG* reg) {
  if (!is_range_query(call) && (call->output == nullptr || call->output_length < size)) {
    return too_small;
  }
  const NTSTATUS status = read_current(camera, record);
  if (!NT_SUCCESS(status)) return status;
  *reg = ULONG(current_of(record));
  if (is_range_query(call)) return write_control_answer(call, boolean_answer(*reg & 1, 0));
  begin_record(call, size);
  call->bytes_returned = size;
  return STATUS_SUCCESS;
}

const WCHAR strobe_name[] = L"StrobeEnable";
const WCHAR trigger_name[] = L"TriggerFlags";
const WCHAR focus_name[] = L"Focus";
const WCHAR auto_maximum_name[] = L"ExposureAutoMax";
const WCHAR auto_maximum_auto_name[] = L"ExposureAutoMaxAuto";
const WCHAR trigger_delay_name[] = L"TriggerDelay";

}  // namespace

uvc_control_record* bind_control(uvc_camera* camera, const control_binding& binding) {
  if (camera == nullptr) return nullptr;
  UCHAR unit_id = 0;
  if (binding.unit == nullptr) {
    if (!camera->camera_terminal_id(&unit_id)) return nullptr;
    return bind_control_record(camera, control_entity_camera_terminal, unit_id, binding.selector,
                               camera_register_length);
  }
  const UCHAR* unit = camera->find_extension_unit(*binding.unit, binding.bit);
  if (unit == nullptr) return nullptr;
  return bind_control_record(camera, control_entity_extension_unit, unit[uvc_desc::bUnitID],
                             binding.selector, 0);
}

NTSTATUS check_key_is_free(uvc_camera* camera, const property_key& key) {
  return NT_SUCCESS(probe_key(camera, key, nullptr)) ? STATUS_ALREADY_REGISTERED : STATUS_SUCCESS;
}

namespace {

// Rule 1 and the binding: the record, or STATUS_NOT_IMPLEMENTED.
NTSTATUS bind_or_fail(uvc_camera* camera, const control_binding& binding,
                      uvc_control_record** record) {
  *record = bind_control(camera, binding);
  return *record != nullptr ? STATUS_SUCCESS : STATUS_NOT_IMPLEMENTED;
}

NTSTATUS adopt(uvc_camera* camera, camera_control* control, const property_key* keys,
               ULONG key_count, ULONG level) {
  return adopt_control(camera, control, keys, key_count, level);
}

// A control object from the pool; null when the pool is exhausted.
template <typename T, typename... Args>
T* make_control(Args... args) {
  return new (NonPagedPoolNx, pool_tag::objects) T(args...);
}

}  // namespace

// ---- auto_mode_control -------------------------------------------------------------------

auto_mode_control::auto_mode_control(uvc_control_record* mode, PCWSTR name, ULONG level)
    : mode_(mode), level_(level) {
  copy_control_name(name_, name, nullptr);
}

NTSTATUS auto_mode_control::get_property(uvc_camera* camera, control_call* call) {
  NTSTATUS status;
  if (level_ > control_level_base) {
    status = forward_get(camera, call, level_ - 1);
  } else {
    // Nothing below: the mode alone.
    control_answer answer = {};
    status = write_control_answer(call, answer);
  }
  if (!NT_SUCCESS(status)) return status;
  status = read_current(camera, mode_);
  if (!NT_SUCCESS(status)) return status;
  const bool on = current_of(mode_) != 0;
  if (is_range_query(call)) return STATUS_SUCCESS;
  if (is_standard_control_set(call->set)) {
    if (on) put_field(call->output, control_record::flags,
                      get_field(call->output, control_record::flags) | control_flag_auto);
  } else {
    put_field(call->output, control_record::capabilities,
              get_field(call->output, control_record::capabilities) | control_flag_auto);
    if (on) put_field(call->output, control_record::flags,
                      get_field(call->output, control_record::flags) | control_flag_auto);
  }
  return STATUS_SUCCESS;
}

NTSTATUS auto_mode_control::set_property(uvc_camera* camera, control_call* call) {
  LONG value = 0;
  ULONG flags = 0;
  NTSTATUS status = read_control_value(call, &value, &flags);
  if (!NT_SUCCESS(status)) return status;
  const ULONG wants = flags & control_flag_auto;
  if (wants != ULONG(current_of(mode_) != 0)) {
    status = write_control_record(camera, mode_, wants);
    if (NT_SUCCESS(status)) save_control_value(camera, name_, wants);
    return status;
  }
  // The manual value belongs to the standard control below; at level 0
  // there is none (and passing down would reach this control again).
  if (level_ == control_level_base) return STATUS_NOT_IMPLEMENTED;
  put_field(call->output, control_record::flags, flags & ~control_flag_auto);
  return forward_set(camera, call, control_level_base);
}

NTSTATUS auto_mode_control::restore_value(uvc_camera* camera) {
  return resend_control_record(camera, mode_);
}

NTSTATUS auto_mode_control::apply_default(uvc_camera* camera,
                                          const control_value_provider& provider) {
  apply_named(camera, mode_, name_, provider);
  return STATUS_SUCCESS;
}

NTSTATUS register_auto_mode_control(uvc_camera* camera, const control_binding& binding,
                                    PCWSTR name, const property_key* keys, ULONG key_count,
                                    ULONG level, bool check_standard) {
  if (keys == nullptr || key_count == 0) return STATUS_INVALID_PARAMETER;
  if (camera->find_extension_unit(*binding.unit, binding.bit) == nullptr) {
    return STATUS_NOT_IMPLEMENTED;
  }
  if (check_standard) {
    ULONG caps = 0;
    const NTSTATUS status = probe_key(camera, keys[0], &caps);
    if (!NT_SUCCESS(status)) return status;
    if ((caps & control_flag_auto) != 0) return STATUS_ALREADY_REGISTERED;
  }
  uvc_control_record* mode = nullptr;
  const NTSTATUS status = bind_or_fail(camera, binding, &mode);
  if (!NT_SUCCESS(status)) return status;
  return adopt(camera, make_control<auto_mode_control>(mode, name, level), keys, key_count,
               level);
}

// ---- register_value_control ------------------------------------------------------------------

register_value_control::register_value_control(uvc_control_record* record, PCWSTR name)
    : record_(record) {
  copy_control_name(name_, name, nullptr);
}

NTSTATUS register_value_control::get_property(uvc_camera* camera, control_call* call) {
  const NTSTATUS status = read_current(camera, record_);
  if (!NT_SUCCESS(status)) return status;
  return write_control_answer(call, register_answer(record_));
}

NTSTATUS register_value_control::set_property(uvc_camera* camera, control_call* call) {
  LONG value = 0;
  ULONG flags = 0;
  NTSTATUS status = read_control_value(call, &value, &flags);
  if (!NT_SUCCESS(status)) return status;
  status = write_control_record(camera, record_, ULONG(value));
  if (NT_SUCCESS(status)) save_if_named(camera, name_, ULONG(value));
  return status;
}

NTSTATUS register_value_control::restore_value(uvc_camera* camera) {
  return resend_control_record(camera, record_);
}

NTSTATUS register_value_control::apply_default(uvc_camera* camera,
                                               const control_value_provider& provider) {
  apply_named(camera, record_, name_, provider);
  return STATUS_SUCCESS;
}

NTSTATUS register_value_register(uvc_camera* camera, const control_binding& binding, PCWSTR name,
                                 ULONG id, ULONG level) {
  const property_key key = {camera_extension_set, id};
  uvc_control_record* record = nullptr;
  NTSTATUS status = bind_or_fail(camera, binding, &record);
  if (NT_SUCCESS(status)) status = check_key_is_free(camera, key);
  if (!NT_SUCCESS(status)) return status;
  return adopt(camera, make_control<register_value_control>(record, name), &key, 1, level);
}

NTSTATUS register_strobe_timing(uvc_camera* camera, const GUID& unit, ULONG delay_selector,
                                ULONG duration_selector, ULONG mode_selector) {
  const ULONG selectors[] = {delay_selector, duration_selector, mode_selector};
  const ULONG ids[] = {extension_id::strobe_delay, extension_id::strobe_duration,
                       extension_id::strobe_mode};
  for (ULONG selector : selectors) {
    if (!extension_has_control(camera, unit, selector)) return STATUS_NOT_IMPLEMENTED;
  }
  for (ULONG i = 0; i < ARRAYSIZE(ids); ++i) {
    const NTSTATUS status = register_value_register(camera, on_unit(unit, selectors[i]), nullptr,
                                                    ids[i], control_level_base);
    if (status == STATUS_INSUFFICIENT_RESOURCES) return status;
  }
  return STATUS_SUCCESS;
}

// ---- one_push_control --------------------------------------------------------------------------

one_push_control::one_push_control(uvc_control_record* record, bool reads_back)
    : record_(record), reads_back_(reads_back) {}

NTSTATUS one_push_control::get_property(uvc_camera* camera, control_call* call) {
  LONG value = 0;
  if (reads_back_) {
    const NTSTATUS status = read_current(camera, record_);
    if (!NT_SUCCESS(status)) return status;
    value = current_of(record_) != 0;
  }
  return write_control_answer(call, boolean_answer(value, 0));
}

NTSTATUS one_push_control::set_property(uvc_camera* camera, control_call* call) {
  LONG value = 0;
  ULONG flags = 0;
  const NTSTATUS status = read_control_value(call, &value, &flags);
  if (!NT_SUCCESS(status) || value == 0) return status;
  return write_control_record(camera, record_, 1);
}

NTSTATUS register_one_push(uvc_camera* camera, const control_binding& binding, ULONG id,
                           bool reads_back) {
  const property_key key = {camera_extension_set, id};
  uvc_control_record* record = nullptr;
  NTSTATUS status = bind_or_fail(camera, binding, &record);
  if (NT_SUCCESS(status)) status = check_key_is_free(camera, key);
  if (!NT_SUCCESS(status)) return status;
  return adopt(camera, make_control<one_push_control>(record, reads_back), &key, 1,
               control_level_base);
}

// ---- pair_register_control ------------------------------------------------------------------------

namespace pair {
constexpr ULONG companion = 24;  // register bit 1
constexpr ULONG value = 28;      // register bit 0
constexpr ULONG third = 32;
constexpr ULONG fourth = 36;
}  // namespace pair

pair_register_control::pair_register_control(uvc_control_record* record) : record_(record) {}

NTSTATUS pair_register_control::get_property(uvc_camera* camera, control_call* call) {
  ULONG reg = 0;
  const NTSTATUS status = begin_register_record(camera, record_, call, control_record::pair_size,
                                                STATUS_INVALID_BUFFER_SIZE, &reg);
  if (!NT_SUCCESS(status) || is_range_query(call)) return status;
  put_field(call->output, pair::companion, (reg >> 1) & 1);
  put_field(call->output, pair::value, reg & 1);
  put_field(call->output, pair::third, 1);
  put_field(call->output, pair::fourth, 1);
  return STATUS_SUCCESS;
}

NTSTATUS pair_register_control::set_property(uvc_camera* camera, control_call* call) {
  if (call->output == nullptr || call->output_length < control_record::pair_size) {
    return STATUS_INVALID_PARAMETER;
  }
  return write_control_record(camera, record_, get_field(call->output, pair::value) & 1);
}

NTSTATUS pair_register_control::restore_value(uvc_camera* camera) {
  return resend_control_record(camera, record_);
}

NTSTATUS register_pair_register(uvc_camera* camera, const control_binding& binding) {
  const property_key key = {camera_extension_set, extension_id::pair_register};
  uvc_control_record* record = nullptr;
  NTSTATUS status = bind_or_fail(camera, binding, &record);
  if (NT_SUCCESS(status)) status = check_key_is_free(camera, key);
  if (!NT_SUCCESS(status)) return status;
  return adopt(camera, make_control<pair_register_control>(record), &key, 1, control_level_base);
}

// ---- strobe_control -----------------------------------------------------------------------------------

namespace {
constexpr ULONG strobe_fixed_fields[] = {1, 1, 6};  // after the polarity; the last is the mode
}  // namespace

strobe_control::strobe_control(uvc_control_record* record, bool has_polarity)
    : record_(record), has_polarity_(has_polarity) {}

NTSTATUS strobe_control::get_property(uvc_camera* camera, control_call* call) {
  ULONG reg = 0;
  const NTSTATUS status = begin_register_record(camera, record_, call, control_record::strobe_size,
                                                STATUS_BUFFER_TOO_SMALL, &reg);
  if (!NT_SUCCESS(status) || is_range_query(call)) return status;
  put_field(call->output, control_record::strobe_enable, reg & 1);
  put_field(call->output, control_record::strobe_polarity, has_polarity_ ? (reg >> 1) & 1 : 0);
  for (ULONG i = 0; i < ARRAYSIZE(strobe_fixed_fields); ++i) {
    put_field(call->output, control_record::strobe_fixed + 4 * i, strobe_fixed_fields[i]);
  }
  return STATUS_SUCCESS;
}

NTSTATUS strobe_control::set_property(uvc_camera* camera, control_call* call) {
  if (call->output == nullptr || call->output_length < control_record::strobe_size) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  const bool enable = get_field(call->output, control_record::strobe_enable) != 0;
  const bool polarity =
      has_polarity_ && get_field(call->output, control_record::strobe_polarity) != 0;
  const ULONG reg = (polarity ? 2u : 0u) | (enable ? 1u : 0u);
  const NTSTATUS status = write_control_record(camera, record_, reg);
  if (NT_SUCCESS(status)) save_control_value(camera, strobe_name, reg);
  return status;
}

NTSTATUS strobe_control::restore_value(uvc_camera* camera) {
  return resend_control_record(camera, record_);
}

NTSTATUS strobe_control::apply_default(uvc_camera* camera, const control_value_provider& provider) {
  apply_named(camera, record_, strobe_name, provider);
  return STATUS_SUCCESS;
}

NTSTATUS register_strobe(uvc_camera* camera, const control_binding& binding, bool has_polarity) {
  const property_key key = {camera_extension_set, extension_id::strobe};
  uvc_control_record* record = nullptr;
  NTSTATUS status = bind_or_fail(camera, binding, &record);
  if (NT_SUCCESS(status)) status = check_key_is_free(camera, key);
  if (!NT_SUCCESS(status)) return status;
  return adopt(camera, make_control<strobe_control>(record, has_polarity), &key, 1,
               control_level_base);
}

// ---- trigger_control ----------------------------------------------------------------------------------

namespace {

constexpr ULONG trigger_enable = KS_VideoControlFlag_ExternalTriggerEnable;  // 0x4
constexpr ULONG trigger_polarity = 0x02000000;
constexpr ULONG software_trigger_fire = 0x8;

ULONG trigger_value_of(ULONG reg) {
  return ((reg & 1) == 0 ? trigger_enable : 0) | ((reg & 2) != 0 ? trigger_polarity : 0);
}

}  // namespace

trigger_control::trigger_control(uvc_control_record* trigger, uvc_control_record* software)
    : trigger_(trigger), software_(software) {}

NTSTATUS trigger_control::get_property(uvc_camera* camera, control_call* call) {
  if (call->id == extension_id::software_trigger && software_ != nullptr) {
    return write_control_answer(call, boolean_answer(0, 0));
  }
  if (call->id != extension_id::trigger) return STATUS_NOT_IMPLEMENTED;
  const NTSTATUS status = read_current(camera, trigger_);
  if (!NT_SUCCESS(status)) return status;
  control_answer answer = {};
  answer.capabilities = trigger_enable;
  if ((control_value(trigger_, trigger_->maximum) & 2) != 0) answer.capabilities |= trigger_polarity;
  answer.value = LONG(trigger_value_of(ULONG(current_of(trigger_))));
  answer.flags = control_flag_manual;
  answer.maximum = LONG(answer.capabilities);
  answer.default_value =
      LONG(trigger_value_of(ULONG(control_value(trigger_, trigger_->default_value))));
  answer.step = 1;
  return write_control_answer(call, answer);
}

NTSTATUS trigger_control::set_property(uvc_camera* camera, control_call* call) {
  LONG value = 0;
  ULONG flags = 0;
  NTSTATUS status = read_control_value(call, &value, &flags);
  if (!NT_SUCCESS(status)) return status;
  if (call->id == extension_id::software_trigger && software_ != nullptr) {
    status = read_current(camera, trigger_);
    if (!NT_SUCCESS(status)) return status;
    if ((current_of(trigger_) & 1) == 0) return STATUS_INVALID_PARAMETER;
    if ((flags & software_trigger_fire) != 0 || ((flags & control_flag_manual) != 0 && value != 0)) {
      return write_control_record(camera, software_, 1);
    }
    return STATUS_SUCCESS;
  }
  if (call->id != extension_id::trigger) return STATUS_NOT_IMPLEMENTED;
  const ULONG reg = ((ULONG(value) & trigger_enable) == 0 ? 1u : 0u) |
                    ((ULONG(value) & trigger_polarity) != 0 ? 2u : 0u);
  status = write_control_record(camera, trigger_, reg);
  if (NT_SUCCESS(status)) save_control_value(camera, trigger_name, reg);
  return status;
}

NTSTATUS trigger_control::restore_value(uvc_camera* camera) {
  return resend_control_record(camera, trigger_);
}

NTSTATUS trigger_control::apply_default(uvc_camera* camera, const control_value_provider& provider) {
  apply_named(camera, trigger_, trigger_name, provider);
  return STATUS_SUCCESS;
}

NTSTATUS register_trigger(uvc_camera* camera, const control_binding& trigger,
                          const control_binding& software) {
  const property_key keys[] = {{camera_extension_set, extension_id::trigger},
                               {camera_extension_set, extension_id::software_trigger}};
  uvc_control_record* record = nullptr;
  NTSTATUS status = bind_or_fail(camera, trigger, &record);
  if (NT_SUCCESS(status)) status = check_key_is_free(camera, keys[0]);
  if (!NT_SUCCESS(status)) return status;
  uvc_control_record* fire = bind_control(camera, software);
  return adopt(camera, make_control<trigger_control>(record, fire), keys, fire != nullptr ? 2 : 1,
               control_level_base);
}

// ---- terminal_focus_control -----------------------------------------------------------------------------

namespace {

constexpr ULONG capability_register = 32;  // camera-terminal register: what the camera has
constexpr ULONG capability_focus = 0x4000;
constexpr ULONG capability_strobe = 0x40000;
constexpr ULONG focus_register = 65;
constexpr LONG focus_maximum = 1000;
constexpr LONG focus_default = 500;

}  // namespace

terminal_focus_control::terminal_focus_control(uvc_control_record* record)
    : record_(record), value_(focus_default) {}

// "A<v>\r" as the data of a SET_CUR of exactly its length.
NTSTATUS terminal_focus_control::send(uvc_camera* camera, LONG value) {
  char text[16];
  ansi_text line(text, sizeof(text));
  line.append("A");
  line.append_decimal(value);
  line.append("\r");
  return uvc_request(camera->device_object(), uvc_request_code::set_cur, UCHAR(record_->unit_id),
                     uvc_camera::control_interface, UCHAR(record_->selector),
                     USHORT(line.length()), text, nullptr);
}

NTSTATUS terminal_focus_control::get_property(uvc_camera* camera, control_call* call) {
  control_answer answer = {};
  answer.value = value_;
  answer.flags = control_flag_manual;
  answer.capabilities = control_flag_manual;
  answer.minimum = 0;
  answer.maximum = focus_maximum;
  answer.default_value = focus_default;
  answer.step = 1;
  return write_control_answer(call, answer);
}

NTSTATUS terminal_focus_control::set_property(uvc_camera* camera, control_call* call) {
  LONG value = 0;
  ULONG flags = 0;
  NTSTATUS status = read_control_value(call, &value, &flags);
  if (!NT_SUCCESS(status)) return status;
  if (value < 0 || value > focus_maximum) return STATUS_INVALID_PARAMETER;
  status = send(camera, value);
  if (NT_SUCCESS(status)) {
    value_ = value;
    save_control_value(camera, focus_name, ULONG(value));
  }
  return status;
}

NTSTATUS terminal_focus_control::restore_value(uvc_camera* camera) { return send(camera, value_); }

NTSTATUS terminal_focus_control::apply_default(uvc_camera* camera,
                                               const control_value_provider& provider) {
  ULONG value = 0;
  if (NT_SUCCESS(provider.lookup(provider.context, focus_name, &value)) &&
      value <= ULONG(focus_maximum) && NT_SUCCESS(send(camera, LONG(value)))) {
    value_ = LONG(value);
  }
  return STATUS_SUCCESS;
}

// Camera-terminal register 32 tells which vendor registers exist.
namespace {
bool terminal_has(uvc_camera* camera, ULONG capability) {
  uvc_control_record* record = bind_control(camera, on_camera_terminal(capability_register));
  return record != nullptr && (ULONG(current_of(record)) & capability) != 0;
}
}  // namespace

NTSTATUS register_terminal_focus(uvc_camera* camera) {
  if (!terminal_has(camera, capability_focus)) return STATUS_NOT_IMPLEMENTED;
  uvc_control_record* record = nullptr;
  const NTSTATUS status = bind_or_fail(camera, on_camera_terminal(focus_register), &record);
  if (!NT_SUCCESS(status)) return status;
  const property_key key = {PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_FOCUS};
  return adopt(camera, make_control<terminal_focus_control>(record), &key, 1, control_level_base);
}

// ---- auto_maximum_control -------------------------------------------------------------------------------

auto_maximum_control::auto_maximum_control(uvc_control_record* record)
    : record_(record), automatic_(true) {}

NTSTATUS auto_maximum_control::get_property(uvc_camera* camera, control_call* call) {
  if (call->id == extension_id::exposure_auto_max_auto) {
    return write_control_answer(call, boolean_answer(automatic_ ? 1 : 0, 1));
  }
  const NTSTATUS status = read_current(camera, record_);
  if (!NT_SUCCESS(status)) return status;
  return write_control_answer(call, register_answer(record_));
}

NTSTATUS auto_maximum_control::set_property(uvc_camera* camera, control_call* call) {
  LONG value = 0;
  ULONG flags = 0;
  NTSTATUS status = read_control_value(call, &value, &flags);
  if (!NT_SUCCESS(status)) return status;
  if (call->id == extension_id::exposure_auto_max_auto) {
    automatic_ = value != 0;
    if (automatic_) {
      status = write_control_record(camera, record_,
                                    ULONG(control_value(record_, record_->default_value)));
    }
    if (NT_SUCCESS(status)) save_control_value(camera, auto_maximum_auto_name, automatic_ ? 1 : 0);
    return status;
  }
  status = write_control_record(camera, record_, ULONG(value));
  if (NT_SUCCESS(status)) save_control_value(camera, auto_maximum_name, ULONG(value));
  return status;
}

NTSTATUS auto_maximum_control::restore_value(uvc_camera* camera) {
  return resend_control_record(camera, record_);
}

NTSTATUS auto_maximum_control::apply_default(uvc_camera* camera,
                                             const control_value_provider& provider) {
  ULONG value = 0;
  if (NT_SUCCESS(provider.lookup(provider.context, auto_maximum_auto_name, &value))) {
    automatic_ = value != 0;
  }
  if (automatic_) {
    write_control_record(camera, record_, ULONG(control_value(record_, record_->default_value)));
  } else {
    apply_named(camera, record_, auto_maximum_name, provider);
  }
  return STATUS_SUCCESS;
}

NTSTATUS register_auto_maximum(uvc_camera* camera, const control_binding& binding) {
  const property_key keys[] = {{camera_extension_set, extension_id::exposure_auto_max},
                               {camera_extension_set, extension_id::exposure_auto_max_auto}};
  uvc_control_record* record = nullptr;
  NTSTATUS status = bind_or_fail(camera, binding, &record);
  if (NT_SUCCESS(status)) status = check_key_is_free(camera, keys[0]);
  if (!NT_SUCCESS(status)) return status;
  return adopt(camera, make_control<auto_maximum_control>(record), keys, ARRAYSIZE(keys),
               control_level_base);
}

// ---- trigger_delay_control ---------------------------------------------------------------------------------

ULONG float_to_count(float value, float scale, bool rounded) {
  const float scaled = value * scale + (rounded ? 0.5f : 0.0f);
  if (!(scaled > 0.0f)) return 0;  // negative, zero or NaN
  if (scaled >= 4294967295.0f) return MAXULONG;
  return ULONG(scaled);
}

namespace {

constexpr float trigger_delay_scale = 10.0f;

void put_float(void* buffer, ULONG offset, float value) {
  RtlCopyMemory(static_cast<UCHAR*>(buffer) + offset, &value, sizeof(value));
}

float get_float(const void* buffer, ULONG offset) {
  float value;
  RtlCopyMemory(&value, static_cast<const UCHAR*>(buffer) + offset, sizeof(value));
  return value;
}

float register_float(const uvc_control_record* record, const UCHAR* field) {
  return float(ULONG(control_value(record, field))) / trigger_delay_scale;
}

}  // namespace

trigger_delay_control::trigger_delay_control(uvc_control_record* record) : record_(record) {}

NTSTATUS trigger_delay_control::get_property(uvc_camera* camera, control_call* call) {
  NTSTATUS status = read_current(camera, record_);
  if (!NT_SUCCESS(status)) return status;
  if (is_range_query(call)) return write_control_answer(call, register_answer(record_));
  if (call->output == nullptr || call->output_length < float_record::size) {
    return STATUS_INVALID_BUFFER_SIZE;
  }
  begin_record(call, float_record::size);
  put_float(call->output, float_record::value, register_float(record_, record_->current));
  put_field(call->output, float_record::flags, control_flag_manual);
  put_field(call->output, float_record::capabilities, control_flag_manual);
  put_float(call->output, float_record::minimum, register_float(record_, record_->minimum));
  put_float(call->output, float_record::maximum, register_float(record_, record_->maximum));
  put_float(call->output, float_record::default_value,
            register_float(record_, record_->default_value));
  put_field(call->output, float_record::last, 1);
  call->bytes_returned = float_record::size;
  return STATUS_SUCCESS;
}

NTSTATUS trigger_delay_control::set_property(uvc_camera* camera, control_call* call) {
  if (call->output == nullptr || call->output_length < float_record::size) {
    return STATUS_INVALID_PARAMETER;
  }
  if ((get_field(call->output, float_record::flags) & control_flag_manual) == 0) {
    return STATUS_SUCCESS;
  }
  const ULONG reg = float_to_count(get_float(call->output, float_record::value),
                                   trigger_delay_scale, false);
  const NTSTATUS status = write_control_record(camera, record_, reg);
  if (NT_SUCCESS(status)) save_control_value(camera, trigger_delay_name, reg);
  return status;
}

NTSTATUS trigger_delay_control::restore_value(uvc_camera* camera) {
  return resend_control_record(camera, record_);
}

NTSTATUS trigger_delay_control::apply_default(uvc_camera* camera,
                                              const control_value_provider& provider) {
  apply_named(camera, record_, trigger_delay_name, provider);
  return STATUS_SUCCESS;
}

NTSTATUS register_trigger_delay(uvc_camera* camera, const control_binding& binding) {
  const property_key key = {camera_extension_set, extension_id::trigger_delay};
  uvc_control_record* record = nullptr;
  NTSTATUS status = bind_or_fail(camera, binding, &record);
  if (NT_SUCCESS(status)) status = check_key_is_free(camera, key);
  if (!NT_SUCCESS(status)) return status;
  return adopt(camera, make_control<trigger_delay_control>(record), &key, 1, control_level_base);
}

// ---- the vendor extension unit's table -----------------------------------------------------------------------

namespace {

// Selectors of {923ED695-56F2-11E1-83F7-37704824019B}.
namespace vendor_selector {
constexpr ULONG trigger = 1;
constexpr ULONG whitebalance_red = 6;
constexpr ULONG whitebalance_green = 7;
constexpr ULONG whitebalance_blue = 8;
constexpr ULONG software_trigger = 10;
constexpr ULONG one_push_focus = 12;
constexpr ULONG exposure_auto = 13;
constexpr ULONG gain_auto = 14;
constexpr ULONG whitebalance_auto = 15;
constexpr ULONG exposure_auto_max = 16;  // bmControls bit 14
constexpr ULONG exposure_auto_max_bit = 14;
constexpr ULONG exposure_auto_reference = 17;
constexpr ULONG flip_x = 20;
constexpr ULONG flip_y = 21;
constexpr ULONG strobe = 22;
constexpr ULONG pair_register = 33;
}  // namespace vendor_selector

// The same registers on the camera terminal.
namespace terminal_selector {
constexpr ULONG trigger = 17;
constexpr ULONG software_trigger = 43;
constexpr ULONG pair_register = 46;
constexpr ULONG strobe = 55;
}  // namespace terminal_selector

// Only a lack of memory ends the table.
bool fatal(NTSTATUS status) { return status == STATUS_INSUFFICIENT_RESOURCES; }

}  // namespace

NTSTATUS register_vendor_unit_controls(uvc_camera* camera, vendor_unit_registers registers) {
  const GUID& unit = vendor_extension_unit;
  NTSTATUS status;
  const property_key exposure_keys[] = {
      {PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_EXPOSURE},
      {camera_extension_set, extension_id::exposure}};
  const property_key gain_key = {PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAIN};
  const property_key whitebalance_key = {PROPSETID_VIDCAP_VIDEOPROCAMP,
                                         KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE};
  const bool unit_registers = registers != vendor_unit_registers::camera_terminal;
  const bool terminal_registers = registers != vendor_unit_registers::extension_unit;

  status = register_auto_mode_control(camera, on_unit(unit, vendor_selector::exposure_auto),
                                      L"ExposureAuto", exposure_keys, ARRAYSIZE(exposure_keys),
                                      control_level_family, true);
  if (fatal(status)) return status;
  status = register_auto_mode_control(camera, on_unit(unit, vendor_selector::gain_auto),
                                      L"GainAuto", &gain_key, 1, control_level_family, true);
  if (fatal(status)) return status;
  // The white-balance mode stands alone at level 0; over a standard white
  // balance it goes a level up, so that control keeps its values.
  const ULONG whitebalance_level = NT_SUCCESS(check_key_is_free(camera, whitebalance_key))
                                       ? control_level_base
                                       : control_level_family;
  status = register_auto_mode_control(camera, on_unit(unit, vendor_selector::whitebalance_auto),
                                      L"WhitebalanceAuto", &whitebalance_key, 1,
                                      whitebalance_level, false);
  if (fatal(status)) return status;

  struct value_row {
    ULONG selector;
    ULONG id;
    PCWSTR name;
  };
  const value_row values[] = {
      {vendor_selector::whitebalance_red, extension_id::whitebalance_red, L"WhitebalanceRed"},
      {vendor_selector::whitebalance_green, extension_id::whitebalance_green, L"WhitebalanceGreen"},
      {vendor_selector::whitebalance_blue, extension_id::whitebalance_blue, L"WhitebalanceBlue"},
  };
  for (const value_row& row : values) {
    status = register_value_register(camera, on_unit(unit, row.selector), row.name, row.id,
                                     control_level_family);
    if (fatal(status)) return status;
  }
  status = register_auto_maximum(camera, control_binding{&unit, vendor_selector::exposure_auto_max,
                                                         vendor_selector::exposure_auto_max_bit});
  if (fatal(status)) return status;
  const value_row more[] = {
      {vendor_selector::exposure_auto_reference, extension_id::exposure_auto_reference,
       L"ExposureAutoReference"},
      {vendor_selector::flip_x, extension_id::flip_x, L"FlipX"},
      {vendor_selector::flip_y, extension_id::flip_y, L"FlipY"},
  };
  for (const value_row& row : more) {
    status = register_value_register(camera, on_unit(unit, row.selector), row.name, row.id,
                                     control_level_family);
    if (fatal(status)) return status;
  }
  status = register_one_push(camera, on_unit(unit, vendor_selector::one_push_focus),
                             extension_id::one_push_focus, true);
  if (fatal(status)) return status;

  // Key 122, the trigger and the strobe: the extension unit's registers, or
  // the camera terminal's.
  status = STATUS_NOT_IMPLEMENTED;
  if (unit_registers) status = register_pair_register(camera, on_unit(unit, vendor_selector::pair_register));
  if (!NT_SUCCESS(status) && !fatal(status) && terminal_registers) {
    status = register_pair_register(camera, on_camera_terminal(terminal_selector::pair_register));
  }
  if (fatal(status)) return status;
  status = STATUS_NOT_IMPLEMENTED;
  if (unit_registers) {
    status = register_trigger(camera, on_unit(unit, vendor_selector::trigger),
                              on_unit(unit, vendor_selector::software_trigger));
  }
  if (!NT_SUCCESS(status) && !fatal(status) && terminal_registers) {
    status = register_trigger(camera, on_camera_terminal(terminal_selector::trigger),
                              on_camera_terminal(terminal_selector::software_trigger));
  }
  if (fatal(status)) return status;
  if (registers == vendor_unit_registers::camera_terminal) {
    status = terminal_has(camera, capability_strobe)
                 ? register_strobe(camera, on_camera_terminal(terminal_selector::strobe), true)
                 : STATUS_NOT_IMPLEMENTED;
  } else {
    status = register_strobe(camera, on_unit(unit, vendor_selector::strobe), true);
  }
  if (fatal(status)) return status;
  if (terminal_registers) {
    status = register_terminal_focus(camera);
    if (fatal(status)) return status;
  }
  return STATUS_SUCCESS;
}
