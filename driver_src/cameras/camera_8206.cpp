// camera_8206: a colour GBRG sensor with one frame-rate table for every
// width.
#include "cameras/camera_82xx.h"
#include "kernel/pool_tags.h"

namespace {

constexpr frame_rate_entry rates[] = {{666666, 2}, {1333333, 3}, {2000000, 4}};

class camera_8206 final : public camera_82xx {
 public:
  camera_8206(PDEVICE_OBJECT device_object, frame_sink* sink) : camera_82xx(device_object, sink) {}

  NTSTATUS configure_sensor() override { return configure(0, true, img::bayer_gbrg); }
  NTSTATUS get_frame_rate_table(ULONG, frame_rate_entry* table, ULONG* count) override {
    return copy_rate_table(rates, ARRAYSIZE(rates), table, count);
  }
};

}  // namespace

uvc_camera* create_camera_8206(PDEVICE_OBJECT physical_device_object, frame_sink* sink) {
  return new (NonPagedPoolNx, pool_tag::objects, zero_filled)
      camera_8206(physical_device_object, sink);
}
