// Exposure and gain automation: whether the driver's loops drive the
// sensor's exposure and gain, the brightness they aim at and the longest
// exposure they may choose. The values themselves stay with the camera
// family's controls (level 1 and below): these features put their
// automatic flag over those controls' keys and hand a manual value down.
//
// Exposure keys: camera control 4 and camera_extension_set 109 (the flag,
// over the family's exposure), 106 (reference), 201 (automatic maximum,
// 100 us), 202 (its automatic flag). Gain keys: video processing amplifier
// 9 and camera_extension_set 241 (the flag, over the family's gain).
#include "features/feature_objects.h"
#include "features/value_feature.h"
#include "kernel/pool_tags.h"

namespace {

// ---- the automatic flag over a lower control --------------------------------------------------

// The lower control's answer with this feature's automatic flag: flags
// automatic or manual, capabilities both.
NTSTATUS overlay_get(uvc_camera* camera, control_call* call, bool automatic) {
  const NTSTATUS status = forward_get(camera, call, control_level_family);
  if (!NT_SUCCESS(status)) return status;
  const ULONG both = control_flag_auto | control_flag_manual;
  if (is_range_query(call)) {
    put_field(call->output, 16, get_field(call->output, 16) | both);
    return STATUS_SUCCESS;
  }
  if (call->bytes_returned < control_record::capabilities + sizeof(ULONG)) return STATUS_SUCCESS;
  const ULONG flags = get_field(call->output, control_record::flags) & ~both;
  put_field(call->output, control_record::flags,
            flags | (automatic ? control_flag_auto : control_flag_manual));
  put_field(call->output, control_record::capabilities,
            get_field(call->output, control_record::capabilities) | both);
  return STATUS_SUCCESS;
}

// A manual value for the lower control. Lower controls keep an automatic
// mode of their own and take a request whose automatic flag differs from
// it as a mode change, so the value goes down with the flag the lower
// control is in: it then writes the value.
NTSTATUS pass_value_down(uvc_camera* camera, const control_call* call) {
  const ULONG size = is_standard_control_set(call->set) ? control_record::standard_size
                                                        : control_record::scalar_size;
  UCHAR lower[control_record::scalar_size] = {};
  control_call get = *call;
  get.flags = control_request_get;
  get.output = lower;
  get.output_length = size;
  get.bytes_returned = 0;
  NTSTATUS status = forward_get(camera, &get, control_level_family);
  if (!NT_SUCCESS(status)) return status;
  UCHAR record[control_record::scalar_size] = {};
  RtlCopyMemory(record, call->output, size);
  const ULONG flags = get_field(record, control_record::flags) & ~control_flag_auto;
  put_field(record, control_record::flags,
            flags | (get_field(lower, control_record::flags) & control_flag_auto));
  control_call set = *call;
  set.output = record;
  set.output_length = size;
  return forward_set(camera, &set, control_level_family);
}

// A key by the address of its set, so that the tables below are constant
// data (the kernel's set GUIDs are not constants of the compiler).
struct flag_key {
  const GUID* set;
  ULONG id;
};

// Registers `value` of `feature` over each key a lower control answers.
template <typename Feature>
NTSTATUS serve_over(Feature* feature, uvc_camera* camera, const flag_key* keys, ULONG count,
                    ULONG value, ULONG* served) {
  for (ULONG i = 0; i < count; ++i) {
    if (!camera_answers(camera, *keys[i].set, keys[i].id)) continue;
    const NTSTATUS status = feature->serve_key(camera, property_key{*keys[i].set, keys[i].id}, value);
    if (!NT_SUCCESS(status)) return status;
    ++*served;
  }
  return STATUS_SUCCESS;
}

// ---- exposure ---------------------------------------------------------------------------------

enum exposure_value : ULONG { exposure_auto, reference, auto_maximum, auto_maximum_auto, exposure_count };

const value_def exposure_defs[exposure_count] = {
    {L"ExposureAuto", value_type::flag, 0, 1, 1, 1, false},
    {L"ExposureAutoReference", value_type::number, 0, 255, 128, 1, false},  // 8-bit brightness
    {L"ExposureAutoMax", value_type::number, 0, 20000, 333, 1, false},      // 100 us
    {L"ExposureAutoMaxAuto", value_type::flag, 0, 1, 1, 1, false},
};

const flag_key exposure_flag_keys[] = {
    {&PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_EXPOSURE},
    {&camera_extension_set, extension_id::exposure},
};

class exposure_feature : public value_feature {
 public:
  exposure_feature(feature_group* group, const feature_setup& setup)
      : value_feature(feature_kind::exposure, group, exposure_defs, exposure_count),
        sensor_(setup.sensor),
        unit_us_(setup.exposure_unit_us != 0 ? setup.exposure_unit_us : 100) {}

  NTSTATUS serve_key(uvc_camera* camera, const property_key& key, ULONG value) {
    return serve(camera, key.set, key.id, value, control_level_override);
  }

  NTSTATUS attach(uvc_camera* camera) {
    ULONG served = 0;
    NTSTATUS status = serve_over(this, camera, exposure_flag_keys, ARRAYSIZE(exposure_flag_keys),
                                 exposure_auto, &served);
    if (NT_SUCCESS(status)) {
      status = serve(camera, camera_extension_set, extension_id::exposure_auto_reference, reference,
                     control_level_override);
    }
    if (NT_SUCCESS(status)) {
      status = serve(camera, camera_extension_set, extension_id::exposure_auto_max, auto_maximum,
                     control_level_override);
    }
    if (NT_SUCCESS(status)) {
      status = serve(camera, camera_extension_set, extension_id::exposure_auto_max_auto, auto_maximum_auto,
                     control_level_override);
    }
    return status;
  }

  NTSTATUS get_property(uvc_camera* camera, control_call* call) override {
    ULONG index = 0;
    if (served_value(call, &index) && index == exposure_auto) {
      return overlay_get(camera, call, read(exposure_auto) != 0);
    }
    return value_feature::get_property(camera, call);
  }

  NTSTATUS set_property(uvc_camera* camera, control_call* call) override {
    ULONG index = 0;
    if (!served_value(call, &index) || index != exposure_auto) {
      return value_feature::set_property(camera, call);
    }
    LONG v = 0;
    ULONG flags = 0;
    const NTSTATUS status = read_control_value(call, &v, &flags);
    if (!NT_SUCCESS(status)) return status;
    const LONG wants = (flags & control_flag_auto) != 0 ? 1 : 0;
    if (wants != read(exposure_auto)) {
      store(camera, exposure_auto, wants);
      return STATUS_SUCCESS;
    }
    return pass_value_down(camera, call);
  }

  void fill_auto_settings(img::auto_settings& settings) override {
    img::auto_exposure_control& e = settings.exposure;
    sensor_->read_exposure(&e);
    e.auto_enabled = values_[exposure_auto] != 0;
    if (values_[auto_maximum_auto] == 0) {
      // The client's maximum, from 100 us to the sensor's unit.
      LONG limit = LONG(ULONG(values_[auto_maximum]) * 100 / unit_us_);
      if (limit < e.min) limit = e.min;
      if (e.max > limit) e.max = limit;
    }
    if (e.step <= 0) e.step = 1;
    settings.reference = values_[reference];
    // The image features switch the highlight protection on when asked.
    settings.highlight_protection = false;
  }

  void take_auto_result(const img::auto_result& result, const img::auto_settings& settings,
                        auto_changes& changes) override {
    if (result.valid && settings.exposure.auto_enabled && result.exposure != settings.exposure.value) {
      changes.exposure_changed = true;
      changes.exposure = result.exposure;
    }
  }

  NTSTATUS write_to_camera(uvc_camera* camera, const auto_changes& changes) override {
    return changes.exposure_changed ? sensor_->write_exposure(camera, changes.exposure) : STATUS_SUCCESS;
  }

 private:
  sensor_access* sensor_;
  ULONG unit_us_;  // microseconds per unit of the sensor's exposure
};

// ---- gain -------------------------------------------------------------------------------------

const value_def gain_defs[] = {
    {L"GainAuto", value_type::flag, 0, 1, 1, 1, false},
};

const flag_key gain_flag_keys[] = {
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAIN},
    {&camera_extension_set, extension_id::gain},
};

class gain_feature : public value_feature {
 public:
  gain_feature(feature_group* group, const feature_setup& setup)
      : value_feature(feature_kind::gain, group, gain_defs, ARRAYSIZE(gain_defs)), sensor_(setup.sensor) {}

  NTSTATUS serve_key(uvc_camera* camera, const property_key& key, ULONG value) {
    return serve(camera, key.set, key.id, value, control_level_override);
  }

  NTSTATUS attach(uvc_camera* camera) {
    ULONG served = 0;
    return serve_over(this, camera, gain_flag_keys, ARRAYSIZE(gain_flag_keys), 0, &served);
  }

  NTSTATUS get_property(uvc_camera* camera, control_call* call) override {
    ULONG index = 0;
    if (!served_value(call, &index)) return STATUS_NOT_IMPLEMENTED;
    return overlay_get(camera, call, read(0) != 0);
  }

  NTSTATUS set_property(uvc_camera* camera, control_call* call) override {
    ULONG index = 0;
    if (!served_value(call, &index)) return STATUS_NOT_IMPLEMENTED;
    LONG v = 0;
    ULONG flags = 0;
    const NTSTATUS status = read_control_value(call, &v, &flags);
    if (!NT_SUCCESS(status)) return status;
    const LONG wants = (flags & control_flag_auto) != 0 ? 1 : 0;
    if (wants != read(0)) {
      store(camera, 0, wants);
      return STATUS_SUCCESS;
    }
    return pass_value_down(camera, call);
  }

  void fill_auto_settings(img::auto_settings& settings) override {
    sensor_->read_gain(&settings.gain);
    settings.gain.auto_enabled = values_[0] != 0;
  }

  void take_auto_result(const img::auto_result& result, const img::auto_settings& settings,
                        auto_changes& changes) override {
    if (result.valid && settings.gain.auto_enabled && result.gain != settings.gain.value) {
      changes.gain_changed = true;
      changes.gain = result.gain;
    }
  }

  NTSTATUS write_to_camera(uvc_camera* camera, const auto_changes& changes) override {
    return changes.gain_changed ? sensor_->write_gain(camera, changes.gain) : STATUS_SUCCESS;
  }

 private:
  sensor_access* sensor_;
};

}  // namespace

NTSTATUS attach_exposure_automation(uvc_camera* camera, feature_group* group,
                                    const feature_setup& setup) {
  auto* feature = new (NonPagedPoolNx, pool_tag::objects) exposure_feature(group, setup);
  const NTSTATUS status = group->attach(camera, feature);
  return NT_SUCCESS(status) ? feature->attach(camera) : status;
}

NTSTATUS attach_gain_automation(uvc_camera* camera, feature_group* group,
                                const feature_setup& setup) {
  auto* feature = new (NonPagedPoolNx, pool_tag::objects) gain_feature(group, setup);
  const NTSTATUS status = group->attach(camera, feature);
  return NT_SUCCESS(status) ? feature->attach(camera) : status;
}
