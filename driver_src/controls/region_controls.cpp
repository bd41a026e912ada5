// The region of interest with binning, and the focus region.
#include "controls/region_controls.h"

#include "kernel/kernel_new.h"
#include "kernel/pool_tags.h"
#include "usb/control_request.h"
#include "uvc/uvc_camera.h"

namespace {

namespace region_selector {
constexpr ULONG offset_x = 2;
constexpr ULONG offset_y = 3;
constexpr ULONG binning = 4;
constexpr ULONG focus_first_corner = 18;
constexpr ULONG focus_second_corner = 19;
}  // namespace region_selector

constexpr LONG x_multiple = 8;
constexpr LONG y_multiple = 4;
constexpr LONG refused_binning = 3;

LONG maximum_of(const uvc_control_record* record) {
  return control_value(record, record->maximum);
}

LONG clamp(LONG value, LONG low, LONG high) { return value < low ? low : value > high ? high : value; }

LONG round_down(LONG value, LONG multiple) { return value - value % multiple; }

control_answer range_answer(LONG value, LONG minimum, LONG maximum, LONG default_value) {
  control_answer answer = {};
  answer.value = value;
  answer.flags = control_flag_manual;
  answer.capabilities = control_flag_manual;
  answer.minimum = minimum;
  answer.maximum = maximum;
  answer.default_value = default_value;
  answer.step = 1;
  return answer;
}

}  // namespace

// ---- region_control ----------------------------------------------------------------------

region_control::region_control(uvc_control_record* x, uvc_control_record* y,
                               uvc_control_record* binning)
    : x_(x),
      y_(y),
      binning_record_(binning),
      centring_(true),
      stored_x_(0),
      stored_y_(0),
      binning_(1),
      sensor_width_(0),
      sensor_height_(0),
      frame_width_(0),
      frame_height_(0) {}

void region_control::set_frame(ULONG sensor_width, ULONG sensor_height, ULONG width, ULONG height) {
  sensor_width_ = sensor_width;
  sensor_height_ = sensor_height;
  frame_width_ = width;
  frame_height_ = height;
}

LONG region_control::centred(const uvc_control_record* record, ULONG sensor, ULONG frame,
                             LONG multiple) const {
  const LONG maximum = maximum_of(record);
  LONG centre = maximum / 2;
  const ULONGLONG used = ULONGLONG(frame) * ULONG(binning_);
  if (sensor != 0 && frame != 0) centre = used < sensor ? LONG((sensor - used) / 2) : 0;
  return round_down(clamp(centre, 0, maximum < 0 ? 0 : maximum), multiple);
}

LONG region_control::offset_x() const {
  return centring_ ? centred(x_, sensor_width_, frame_width_, x_multiple) : stored_x_;
}

LONG region_control::offset_y() const {
  return centring_ ? centred(y_, sensor_height_, frame_height_, y_multiple) : stored_y_;
}

NTSTATUS region_control::apply(uvc_camera* camera) {
  NTSTATUS status = write_control_record(camera, x_, ULONG(offset_x()));
  if (NT_SUCCESS(status)) status = write_control_record(camera, y_, ULONG(offset_y()));
  if (NT_SUCCESS(status)) status = write_control_record(camera, binning_record_, ULONG(binning_));
  return status;
}

NTSTATUS region_control::get_property(uvc_camera* camera, control_call* call) {
  NTSTATUS status;
  switch (call->id) {
    case extension_id::auto_centre:
      return write_control_answer(call, range_answer(centring_ ? 1 : 0, 0, 1, 1));
    case extension_id::offset_x:
    case extension_id::offset_y: {
      uvc_control_record* record = call->id == extension_id::offset_x ? x_ : y_;
      status = control_record_request(camera, record, uvc_request_code::get_cur);
      if (!NT_SUCCESS(status)) return status;
      return write_control_answer(
          call, range_answer(control_value(record, record->current), 0, maximum_of(record),
                             control_value(record, record->default_value)));
    }
    case extension_id::binning:
      return write_control_answer(call, range_answer(binning_, 1, maximum_of(binning_record_), 1));
    default:
      return STATUS_NOT_IMPLEMENTED;
  }
}

NTSTATUS region_control::set_property(uvc_camera* camera, control_call* call) {
  LONG value = 0;
  ULONG flags = 0;
  NTSTATUS status = read_control_value(call, &value, &flags);
  if (!NT_SUCCESS(status)) return status;
  switch (call->id) {
    case extension_id::auto_centre:
      if (value == 0 && centring_) {
        // The region stays where the camera has it.
        status = control_record_request(camera, x_, uvc_request_code::get_cur);
        if (NT_SUCCESS(status)) status = control_record_request(camera, y_, uvc_request_code::get_cur);
        if (!NT_SUCCESS(status)) return status;
        stored_x_ = control_value(x_, x_->current);
        stored_y_ = control_value(y_, y_->current);
      }
      centring_ = value != 0;
      break;
    case extension_id::offset_x:
    case extension_id::offset_y: {
      if (centring_) return STATUS_INVALID_PARAMETER;
      const bool horizontal = call->id == extension_id::offset_x;
      const uvc_control_record* record = horizontal ? x_ : y_;
      const LONG offset = round_down(clamp(value, 0, maximum_of(record)),
                                     horizontal ? x_multiple : y_multiple);
      (horizontal ? stored_x_ : stored_y_) = offset;
      break;
    }
    case extension_id::binning:
      if ((flags & control_flag_manual) == 0) return STATUS_SUCCESS;
      if (value == refused_binning || value < 1 || value > maximum_of(binning_record_)) {
        return STATUS_INVALID_PARAMETER;
      }
      binning_ = value;
      break;
    default:
      return STATUS_NOT_IMPLEMENTED;
  }
  return apply(camera);
}

NTSTATUS region_control::restore_value(uvc_camera* camera) { return apply(camera); }

NTSTATUS register_region_of_interest(uvc_camera* camera, region_control** control) {
  if (control != nullptr) *control = nullptr;
  const GUID& unit = vendor_extension_unit;
  uvc_control_record* x = bind_control(camera, on_unit(unit, region_selector::offset_x));
  uvc_control_record* y = bind_control(camera, on_unit(unit, region_selector::offset_y));
  uvc_control_record* binning = bind_control(camera, on_unit(unit, region_selector::binning));
  if (x == nullptr || y == nullptr || binning == nullptr) return STATUS_NOT_IMPLEMENTED;
  const property_key keys[] = {{camera_extension_set, extension_id::auto_centre},
                               {camera_extension_set, extension_id::offset_x},
                               {camera_extension_set, extension_id::offset_y},
                               {camera_extension_set, extension_id::binning}};
  auto* region = new (NonPagedPoolNx, pool_tag::objects) region_control(x, y, binning);
  const NTSTATUS status = adopt_control(camera, region, keys, ARRAYSIZE(keys), control_level_base);
  if (NT_SUCCESS(status) && control != nullptr) *control = region;
  return status;
}

// ---- focus_region_control ------------------------------------------------------------------

focus_region_control::focus_region_control(uvc_control_record* first_corner,
                                           uvc_control_record* second_corner)
    : first_corner_(first_corner),
      second_corner_(second_corner),
      top_(sensor_height / 2),
      left_(sensor_width / 2),
      bottom_(sensor_height / 2),
      right_(sensor_width / 2),
      enabled_(0) {}

LONG* focus_region_control::field(ULONG id, LONG* maximum) {
  switch (id) {
    case extension_id::focus_top:
      *maximum = sensor_height;
      return &top_;
    case extension_id::focus_left:
      *maximum = sensor_width;
      return &left_;
    case extension_id::focus_bottom:
      *maximum = sensor_height;
      return &bottom_;
    case extension_id::focus_right:
      *maximum = sensor_width;
      return &right_;
    case extension_id::focus_region_enable:
      *maximum = 1;
      return &enabled_;
    default:
      return nullptr;
  }
}

NTSTATUS focus_region_control::get_property(uvc_camera* camera, control_call* call) {
  if (call->id == extension_id::one_push_focus) {
    return forward_get(camera, call, control_level_override - 1);
  }
  LONG maximum = 0;
  LONG* value = field(call->id, &maximum);
  if (value == nullptr) return STATUS_NOT_IMPLEMENTED;
  return write_control_answer(call, range_answer(*value, 0, maximum, maximum / 2));
}

NTSTATUS focus_region_control::set_property(uvc_camera* camera, control_call* call) {
  LONG value = 0;
  ULONG flags = 0;
  NTSTATUS status = read_control_value(call, &value, &flags);
  if (!NT_SUCCESS(status)) return status;
  if (call->id == extension_id::one_push_focus) {
    if (value != 0 && enabled_ != 0) {
      status = write_control_record(camera, first_corner_, ULONG(left_) | (ULONG(top_) << 16));
      if (NT_SUCCESS(status)) {
        status = write_control_record(camera, second_corner_, ULONG(right_) | (ULONG(bottom_) << 16));
      }
      if (!NT_SUCCESS(status)) return status;
    }
    return forward_set(camera, call, control_level_base);
  }
  LONG maximum = 0;
  LONG* stored = field(call->id, &maximum);
  if (stored == nullptr) return STATUS_NOT_IMPLEMENTED;
  *stored = call->id == extension_id::focus_region_enable ? LONG(value != 0)
                                                          : clamp(value, 0, maximum);
  return STATUS_SUCCESS;
}

NTSTATUS register_focus_region(uvc_camera* camera) {
  const GUID& unit = vendor_extension_unit;
  uvc_control_record* first = bind_control(camera, on_unit(unit, region_selector::focus_first_corner));
  uvc_control_record* second =
      bind_control(camera, on_unit(unit, region_selector::focus_second_corner));
  if (first == nullptr || second == nullptr) return STATUS_NOT_IMPLEMENTED;
  const property_key keys[] = {{camera_extension_set, extension_id::focus_top},
                               {camera_extension_set, extension_id::focus_left},
                               {camera_extension_set, extension_id::focus_bottom},
                               {camera_extension_set, extension_id::focus_right},
                               {camera_extension_set, extension_id::focus_region_enable},
                               {camera_extension_set, extension_id::one_push_focus}};
  return adopt_control(camera,
                       new (NonPagedPoolNx, pool_tag::objects) focus_region_control(first, second),
                       keys, ARRAYSIZE(keys), control_level_override);
}
