// camera_8205: a colour RGGB sensor (empia pattern fix on) with one
// frame-rate table for every width.
#include "cameras/camera_82xx.h"
#include "kernel/pool_tags.h"

namespace {

constexpr frame_rate_entry rates[] = {
    {370009, 0}, {500000, 1}, {666666, 2}, {1333333, 3}, {2000000, 4}};

class camera_8205 final : public camera_82xx {
 public:
  camera_8205(PDEVICE_OBJECT device_object, frame_sink* sink) : camera_82xx(device_object, sink) {}

  NTSTATUS configure_sensor() override {
    return configure(sensor_flag::empia_pattern_fix, true, img::bayer_rggb);
  }
  NTSTATUS get_frame_rate_table(ULONG, frame_rate_entry* table, ULONG* count) override {
    return copy_rate_table(rates, ARRAYSIZE(rates), table, count);
  }
};

}  // namespace

uvc_camera* create_camera_8205(PDEVICE_OBJECT physical_device_object, frame_sink* sink) {
  return new (NonPagedPoolNx, pool_tag::objects, zero_filled)
      camera_8205(physical_device_object, sink);
}
