// Shared pieces of the feature tests: a sensor the features read and write
// through, a family-like camera that attaches the features at the end of
// its initialisation, and property requests sent the way the controls
// receive them.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../camera/camera_support.h"
#include "controls/property_request.h"
#include "controls/sensor_controls.h"
#include "controls/vendor_controls.h"
#include "features/camera_features.h"
#include "features/documents/feature_documents.h"
#include "features/documents/register_descriptions.h"
#include "features/feature_objects.h"
#include "sim/raw_sensor_camera.h"

namespace featuretest {

// The family's view of the sensor, held in memory; writes are logged.
class test_sensor : public sensor_access {
 public:
  img::auto_exposure_control exposure{100, 1000000, 20000, false, 1};
  img::auto_gain_control gain{64, 1024, 64, false, 1, false};
  bool has_focus = false;
  LONG focus = 500, focus_min = 0, focus_max = 1000;
  std::vector<std::pair<char, LONG>> writes;  // 'e', 'g', 'f'

  void read_exposure(img::auto_exposure_control* e) override {
    e->min = exposure.min;
    e->max = exposure.max;
    e->value = exposure.value;
    e->step = exposure.step;
  }
  void read_gain(img::auto_gain_control* g) override {
    g->min = gain.min;
    g->max = gain.max;
    g->value = gain.value;
    g->step = gain.step;
    g->logarithmic = gain.logarithmic;
  }
  bool read_focus(LONG* position, LONG* minimum, LONG* maximum) override {
    *position = focus;
    *minimum = focus_min;
    *maximum = focus_max;
    return has_focus;
  }
  NTSTATUS write_exposure(uvc_camera*, LONG value) override { return log('e', value, &exposure.value); }
  NTSTATUS write_gain(uvc_camera*, LONG value) override { return log('g', value, &gain.value); }
  NTSTATUS write_focus(uvc_camera*, LONG value) override { return log('f', value, &focus); }

 private:
  NTSTATUS log(char what, LONG value, int32_t* held) {
    writes.push_back({what, value});
    *held = value;
    return STATUS_SUCCESS;
  }
};

// What a family registers before its features.
enum class family_controls { none, sensor_unit, vendor_unit };

// A camera that registers a family's controls in on_init_begin and
// attaches the features in on_init_end, as the raw-sensor families do.
class feature_camera : public camtest::camera_view {
 public:
  feature_camera(PDEVICE_OBJECT pdo, frame_sink* sink, const feature_setup& setup, family_controls controls)
      : camera_view(pdo, sink), setup_(setup), controls_(controls) {}
  NTSTATUS on_init_begin() override {
    switch (controls_) {
      case family_controls::sensor_unit:
        return register_sensor_unit_controls(this, sensor_unit_family::sensor_cameras);
      case family_controls::vendor_unit:
        return register_vendor_unit_controls(this, vendor_unit_registers::extension_unit);
      case family_controls::none:
        break;
    }
    return STATUS_SUCCESS;
  }
  NTSTATUS on_init_end() override {
    setup_.documents = &documents;
    return attach_camera_features(this, &group, setup_);
  }

  feature_group group;
  register_description_store documents;

 private:
  feature_setup setup_;
  family_controls controls_;
};

inline feature_setup colour_setup(test_sensor* sensor, const img::wb_temperature_table* table) {
  feature_setup s = {};
  s.colour = true;
  s.pattern = img::bayer_pattern(0);
  s.temperature_table = table;
  s.sensor = sensor;
  s.max_width = 1280;
  s.max_height = 960;
  s.exposure_unit_us = 1;
  return s;
}

// A property request as property_request hands it on: the data buffer
// holds the record (a set's value and flags at 24 and 28).
struct reply {
  NTSTATUS status = STATUS_SUCCESS;
  std::vector<uint8_t> data;
  ULONG returned = 0;
  uint32_t field(size_t offset) const {
    uint32_t v = 0;
    memcpy(&v, data.data() + offset, 4);
    return v;
  }
  LONG value() const { return LONG(field(24)); }
  uint32_t flags() const { return field(28); }
};

inline ULONG record_size(const GUID& set) {
  return same_guid(set, PROPSETID_VIDCAP_VIDEOPROCAMP) || same_guid(set, PROPSETID_VIDCAP_CAMERACONTROL) ? 40 : 48;
}

inline reply request(uvc_camera* camera, const GUID& set, ULONG id, ULONG flags, size_t size,
                     const void* data = nullptr) {
  reply r;
  r.data.assign(size, 0);
  if (data != nullptr) memcpy(r.data.data(), data, size);
  r.status = property_request(camera, set, id, flags, nullptr, 0, r.data.empty() ? nullptr : r.data.data(),
                              ULONG(size), &r.returned);
  return r;
}
inline reply get(uvc_camera* camera, const GUID& set, ULONG id) {
  return request(camera, set, id, KSPROPERTY_TYPE_GET, record_size(set));
}
inline reply range(uvc_camera* camera, const GUID& set, ULONG id) {
  return request(camera, set, id, property_request_range, 20);
}
inline NTSTATUS set(uvc_camera* camera, const GUID& set, ULONG id, LONG value,
                    ULONG flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL) {
  std::vector<uint8_t> record(record_size(set), 0);
  memcpy(record.data() + 24, &value, 4);
  memcpy(record.data() + 28, &flags, 4);
  return request(camera, set, id, KSPROPERTY_TYPE_SET, record.size(), record.data()).status;
}

// Virtual registers.
inline reply read_register(uvc_camera* camera, ULONG number, size_t size = 4) {
  return request(camera, named_property_set, number, KSPROPERTY_TYPE_GET, size);
}
inline uint32_t register_value(uvc_camera* camera, ULONG number) {
  const reply r = read_register(camera, number);
  EXPECT_EQ(r.status, STATUS_SUCCESS) << "register " << number;
  return r.field(0);
}
inline NTSTATUS write_register(uvc_camera* camera, ULONG number, uint32_t value, size_t size = 4) {
  std::vector<uint8_t> data(size, 0);
  memcpy(data.data(), &value, std::min<size_t>(size, 4));
  return request(camera, named_property_set, number, KSPROPERTY_TYPE_SET, size, data.data()).status;
}
inline uint32_t float_bits(float f) {
  uint32_t b;
  memcpy(&b, &f, 4);
  return b;
}

// Fixture: a simulated camera and the feature camera on it. The registry
// survives restart() within a test.
class feature_fixture : public camtest::camera_fixture {
 protected:
  feature_camera& start(const feature_setup& setup, family_controls controls) {
    setup_ = setup;
    controls_ = controls;
    return restart();
  }
  // Destroys the camera object and creates and initialises a new one on the
  // same device, as a device restart does.
  feature_camera& restart() {
    destroy();
    auto* camera = new (NonPagedPoolNx, pool_tag::objects) feature_camera(pdo, sink_.get(), setup_, controls_);
    cam = camera;
    EXPECT_EQ(camera->init(), STATUS_SUCCESS);
    return *camera;
  }
  feature_camera& camera() { return *static_cast<feature_camera*>(cam); }

  // The 0x84xx colour model: the sensor extension unit and no processing
  // controls but the gain.
  void plug_sensor_camera(const char* id = "8406-colour") {
    const auto models = sim::raw_camera_models();
    sensor_camera = sim::raw_sensor_camera::create(*sim::find_raw_camera_model(models, id));
    plug(sensor_camera);
  }

  img::auto_settings fill_settings() {
    img::auto_settings s = {};
    feature_lock lock(&camera().group);
    camera().group.fill_auto_settings(s);
    return s;
  }
  img::transform_params fill_params() {
    img::transform_params p = {};
    feature_lock lock(&camera().group);
    camera().group.fill_transform_params(p);
    return p;
  }
  bool take_result(const img::auto_result& result, const img::auto_settings& settings, auto_changes* changes) {
    *changes = {};
    feature_lock lock(&camera().group);
    return camera().group.take_auto_result(result, settings, *changes);
  }

  test_sensor sensor;
  std::shared_ptr<sim::raw_sensor_camera> sensor_camera;

 private:
  feature_setup setup_ = {};
  family_controls controls_ = family_controls::none;
};

}  // namespace featuretest
