// Focus region and one-push focus, for sensors with a focus motor: the
// driver's contrast autofocus searches the focus range for the sharpest
// position of the region (sensor coordinates), started by a one-push
// request; the positions it chooses go to the camera from the family's
// work item.
//
// Keys: camera_extension_set 247 (top), 248 (left), 249 (bottom), 250
// (right), 251 (region enable) and 124 (one-push focus: a non-zero set
// starts a search; a get tells whether one is pending or running). The
// search range is kept under its store keys only.
#include "features/feature_objects.h"
#include "features/value_feature.h"
#include "kernel/pool_tags.h"

namespace {

enum focus_value : ULONG { region_enable, left, top, right, bottom, range_min, range_max, one_push, focus_count };

// Bounds and defaults of the edges and the range depend on the camera and
// are set at attach time; edges outside the sensor are clamped.
const value_def focus_defs[focus_count] = {
    {L"FocusAutoROI_Enabled", value_type::flag, 0, 1, 0, 1, false},
    {L"FocusAutoROI_Left", value_type::number, 0, 0, 0, 1, true},
    {L"FocusAutoROI_Top", value_type::number, 0, 0, 0, 1, true},
    {L"FocusAutoROI_Right", value_type::number, 0, 0, 0, 1, true},
    {L"FocusAutoROI_Bottom", value_type::number, 0, 0, 0, 1, true},
    {L"FocusAutoRange_Min", value_type::number, 0, 0, 0, 1, true},
    {L"FocusAutoRange_Max", value_type::number, 0, 0, 0, 1, true},
    {nullptr, value_type::flag, 0, 1, 0, 1, false},
};

class focus_region_feature : public value_feature {
 public:
  focus_region_feature(feature_group* group, const feature_setup& setup)
      : value_feature(feature_kind::focus, group, focus_defs, focus_count),
        sensor_(setup.sensor),
        searching_(false) {}

  NTSTATUS attach(uvc_camera* camera, const feature_setup& setup, LONG motor_min, LONG motor_max) {
    const LONG w = LONG(setup.max_width);
    const LONG h = LONG(setup.max_height);
    // The middle half of the frame until a client chooses.
    set_bounds(left, 0, w, w / 4);
    set_bounds(top, 0, h, h / 4);
    set_bounds(right, 0, w, w - w / 4);
    set_bounds(bottom, 0, h, h - h / 4);
    set_bounds(range_min, motor_min, motor_max, motor_min);
    set_bounds(range_max, motor_min, motor_max, motor_max);
    static const struct {
      ULONG id;
      ULONG value;
    } keys[] = {
        {extension_id::focus_top, top},     {extension_id::focus_left, left},
        {extension_id::focus_bottom, bottom}, {extension_id::focus_right, right},
        {extension_id::focus_region_enable, region_enable}, {extension_id::one_push_focus, one_push},
    };
    for (const auto& k : keys) {
      const NTSTATUS status = serve(camera, camera_extension_set, k.id, k.value, control_level_override);
      if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
  }

  NTSTATUS get_property(uvc_camera* camera, control_call* call) override {
    ULONG index = 0;
    if (served_value(call, &index) && index == one_push) {
      bool busy;
      {
        feature_lock lock(group_);
        busy = searching_ || values_[one_push] != 0;
      }
      return answer(call, one_push, busy ? 1 : 0);
    }
    return value_feature::get_property(camera, call);
  }

  NTSTATUS set_property(uvc_camera* camera, control_call* call) override {
    ULONG index = 0;
    if (served_value(call, &index) && index == one_push) {
      LONG v = 0;
      ULONG flags = 0;
      const NTSTATUS status = read_control_value(call, &v, &flags);
      if (NT_SUCCESS(status) && v != 0) {
        // The search starts where the lens is: a client may have set the
        // focus since the stream started.
        sensor_->refresh_focus(camera);
        write(one_push, 1);
      }
      return status;
    }
    return value_feature::set_property(camera, call);
  }

  void fill_auto_settings(img::auto_settings& settings) override {
    img::auto_focus_settings& f = settings.focus;
    LONG position = 0, minimum = 0, maximum = 0;
    if (!sensor_->read_focus(&position, &minimum, &maximum)) {
      f.enabled = false;
      return;
    }
    f.enabled = true;
    f.start = values_[one_push] != 0;
    f.stop = false;
    f.position = position;
    // The stored range within the motor's; a range that is empty there
    // is the motor's whole range.
    LONG low = values_[range_min] > minimum ? values_[range_min] : minimum;
    LONG high = values_[range_max] < maximum ? values_[range_max] : maximum;
    if (low >= high) {
      low = minimum;
      high = maximum;
    }
    f.range_min = low;
    f.range_max = high;
    f.full_travel_ms = 0;
    f.settle_ms = 0;
    f.step_divisor = 0;
    f.coarse_sweep = true;
    f.region_enabled = values_[region_enable] != 0;
    f.region = img::auto_region{values_[left], values_[top], values_[right], values_[bottom]};
  }

  void take_auto_result(const img::auto_result& result, const img::auto_settings& settings,
                        auto_changes& changes) override {
    // The search takes a start when it turns on; it need not stay on.
    if (settings.focus.start) values_[one_push] = 0;
    searching_ = result.focus_searching;
    if (settings.focus.enabled && result.focus_move) {
      changes.focus_changed = true;
      changes.focus = result.focus_position;
    }
  }

  NTSTATUS write_to_camera(uvc_camera* camera, const auto_changes& changes) override {
    return changes.focus_changed ? sensor_->write_focus(camera, changes.focus) : STATUS_SUCCESS;
  }

 private:
  sensor_access* sensor_;
  bool searching_;  // the last frame's search was running
};

}  // namespace

NTSTATUS attach_focus_region(uvc_camera* camera, feature_group* group, const feature_setup& setup) {
  LONG position = 0, minimum = 0, maximum = 0;
  if (!setup.sensor->read_focus(&position, &minimum, &maximum)) return STATUS_SUCCESS;
  auto* feature = new (NonPagedPoolNx, pool_tag::objects) focus_region_feature(group, setup);
  const NTSTATUS status = group->attach(camera, feature);
  return NT_SUCCESS(status) ? feature->attach(camera, setup, minimum, maximum) : status;
}
