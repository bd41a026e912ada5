// camera_8203: a 2048 x 1536 sensor, GRBG when colour (register 26),
// empia pattern fix on, frame rates for the full and half width only.
#include "cameras/camera_82xx.h"
#include "kernel/pool_tags.h"

namespace {

constexpr frame_rate_entry rates_2048[] = {
    {1000000, 0}, {1333332, 1}, {2000000, 2}, {2666664, 3}};
constexpr frame_rate_entry rates_1024[] = {{281690, 0}, {333333, 1}, {666666, 2}, {1000000, 3}};

class camera_8203 final : public camera_82xx {
 public:
  camera_8203(PDEVICE_OBJECT device_object, frame_sink* sink) : camera_82xx(device_object, sink) {}

  NTSTATUS configure_sensor() override {
    return configure(sensor_flag::empia_pattern_fix, colour_detected(), img::bayer_grbg);
  }
  NTSTATUS get_frame_rate_table(ULONG width, frame_rate_entry* table, ULONG* count) override {
    if (width == 2048) return copy_rate_table(rates_2048, ARRAYSIZE(rates_2048), table, count);
    if (width == 1024) return copy_rate_table(rates_1024, ARRAYSIZE(rates_1024), table, count);
    if (count != nullptr) *count = 0;
    return STATUS_INVALID_PARAMETER;
  }
};

}  // namespace

uvc_camera* create_camera_8203(PDEVICE_OBJECT physical_device_object, frame_sink* sink) {
  return new (NonPagedPoolNx, pool_tag::objects, zero_filled)
      camera_8203(physical_device_object, sink);
}
