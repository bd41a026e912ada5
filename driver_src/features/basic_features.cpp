// basic_features: the minimal features a raw-sensor camera runs its loops
// with until the full feature objects exist: automatic exposure and gain
// (automatic, reference 128) and a white balance that keeps the gains the
// loop finds and applies them to the raw frame. They have no properties and
// store nothing. The full feature objects replace this file: they provide
// attach_camera_features and builtin_temperature_table themselves.
#include "features/camera_features.h"

#include "kernel/pool_tags.h"

namespace {

constexpr LONG unity_gain = 64;
constexpr LONG default_reference = 128;

// Exposure automation: the exposure control of auto_settings and the
// target brightness; a new exposure goes to the camera.
class basic_exposure : public image_feature {
 public:
  explicit basic_exposure(sensor_access* sensor)
      : image_feature(feature_kind::exposure), sensor_(sensor) {}

  void fill_auto_settings(img::auto_settings& settings) override {
    sensor_->read_exposure(&settings.exposure);
    settings.exposure.auto_enabled = true;
    settings.reference = default_reference;
    settings.highlight_protection = false;
  }
  void take_auto_result(const img::auto_result& result, const img::auto_settings& settings,
                        auto_changes& changes) override {
    if (result.valid && result.exposure != settings.exposure.value) {
      changes.exposure_changed = true;
      changes.exposure = result.exposure;
    }
  }
  NTSTATUS write_to_camera(uvc_camera* camera, const auto_changes& changes) override {
    return sensor_->write_exposure(camera, changes.exposure);
  }

 private:
  sensor_access* sensor_;
};

class basic_gain : public image_feature {
 public:
  explicit basic_gain(sensor_access* sensor) : image_feature(feature_kind::gain), sensor_(sensor) {}

  void fill_auto_settings(img::auto_settings& settings) override {
    sensor_->read_gain(&settings.gain);
    settings.gain.auto_enabled = true;
  }
  void take_auto_result(const img::auto_result& result, const img::auto_settings& settings,
                        auto_changes& changes) override {
    if (result.valid && result.gain != settings.gain.value) {
      changes.gain_changed = true;
      changes.gain = result.gain;
    }
  }
  NTSTATUS write_to_camera(uvc_camera* camera, const auto_changes& changes) override {
    return sensor_->write_gain(camera, changes.gain);
  }

 private:
  sensor_access* sensor_;
};

// Continuous grey-world balance: the gains the loop finds are the driver's
// own and reach the image through the transform parameters.
class basic_white_balance : public image_feature {
 public:
  explicit basic_white_balance(const feature_setup& setup)
      : image_feature(feature_kind::white_balance),
        driver_applies_(!setup.camera_has_colour_channels),
        table_(setup.temperature_table),
        r_(unity_gain),
        g_(unity_gain),
        b_(unity_gain),
        temperature_(6500) {}

  void fill_auto_settings(img::auto_settings& settings) override {
    img::auto_white_balance_settings& wb = settings.wb;
    wb.r = r_;
    wb.g = g_;
    wb.b = b_;
    wb.auto_enabled = true;
    wb.one_push = false;
    wb.grey_search = driver_applies_;
    wb.temperature_mode = false;
    wb.temperature = temperature_;
    wb.temperature_low = img::wb_temperature_min;
    wb.temperature_high = img::wb_temperature_max;
    wb.table = table_;
  }
  void take_auto_result(const img::auto_result& result, const img::auto_settings&,
                        auto_changes&) override {
    if (!result.valid) return;
    r_ = result.wb_r;
    g_ = result.wb_g;
    b_ = result.wb_b;
    temperature_ = result.temperature;
  }
  void fill_transform_params(img::transform_params& params) override {
    params.wb_enable = driver_applies_ ? 1 : 0;
    params.wb_gain_r = ULONG(r_);
    params.wb_gain_g = ULONG(g_);
    params.wb_gain_b = ULONG(b_);
    params.wb_gain_g2 = ULONG(g_);
  }

 private:
  bool driver_applies_;
  const img::wb_temperature_table* table_;
  LONG r_, g_, b_;
  LONG temperature_;
};

template <typename T, typename Arg>
T* make_feature(Arg arg) {
  return new (NonPagedPoolNx, pool_tag::objects) T(arg);
}

}  // namespace

NTSTATUS attach_camera_features(uvc_camera* camera, feature_group* group,
                                const feature_setup& setup) {
  if (camera == nullptr || group == nullptr || setup.sensor == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS status = group->attach(camera, make_feature<basic_exposure>(setup.sensor));
  if (NT_SUCCESS(status)) status = group->attach(camera, make_feature<basic_gain>(setup.sensor));
  if (NT_SUCCESS(status) && setup.colour) {
    status = group->attach(camera, make_feature<basic_white_balance>(setup));
  }
  return status;
}

const img::wb_temperature_table* builtin_temperature_table(ULONG) { return nullptr; }
