// camera_8208: colour (GRBG) or mono as register 26 says,
// colour-temperature table 4; its frame rates come from the sensor window
// or the descriptors.
#include "cameras/camera_82xx.h"
#include "kernel/pool_tags.h"

namespace {

class camera_8208 final : public camera_82xx {
 public:
  camera_8208(PDEVICE_OBJECT device_object, frame_sink* sink) : camera_82xx(device_object, sink) {}

  NTSTATUS configure_sensor() override {
    set_temperature_table(4);
    return configure(0, colour_detected(), img::bayer_grbg);
  }
  bool wants_feature_defaults() override { return true; }
};

}  // namespace

uvc_camera* create_camera_8208(PDEVICE_OBJECT physical_device_object, frame_sink* sink) {
  return new (NonPagedPoolNx, pool_tag::objects, zero_filled)
      camera_8208(physical_device_object, sink);
}
