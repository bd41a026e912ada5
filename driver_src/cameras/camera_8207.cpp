// camera_8207: colour (GRBG, empia pattern fix on) or mono as register 26
// says, colour-temperature table 5; its frame rates come from the sensor
// window or the descriptors.
#include "cameras/camera_82xx.h"
#include "kernel/pool_tags.h"

namespace {

class camera_8207 final : public camera_82xx {
 public:
  camera_8207(PDEVICE_OBJECT device_object, frame_sink* sink) : camera_82xx(device_object, sink) {}

  NTSTATUS configure_sensor() override {
    set_temperature_table(5);
    const bool colour = colour_detected();
    return configure(colour ? sensor_flag::empia_pattern_fix : 0, colour, img::bayer_grbg);
  }
  bool wants_feature_defaults() override { return true; }
};

}  // namespace

uvc_camera* create_camera_8207(PDEVICE_OBJECT physical_device_object, frame_sink* sink) {
  return new (NonPagedPoolNx, pool_tag::objects, zero_filled)
      camera_8207(physical_device_object, sink);
}
