// camera_8204: a mono sensor (empia pattern fix on) that declares its
// picture twice; only its first uncompressed format is offered.
#include "cameras/camera_82xx.h"
#include "kernel/pool_tags.h"

namespace {

constexpr frame_rate_entry rates[] = {{361000, 0}, {500000, 1}, {666666, 2}, {1333333, 3}};

class camera_8204 final : public camera_82xx {
 public:
  camera_8204(PDEVICE_OBJECT device_object, frame_sink* sink) : camera_82xx(device_object, sink) {}

  NTSTATUS configure_sensor() override {
    return configure(sensor_flag::empia_pattern_fix, false, -1);
  }
  NTSTATUS get_frame_rate_table(ULONG, frame_rate_entry* table, ULONG* count) override {
    return copy_rate_table(rates, ARRAYSIZE(rates), table, count);
  }
  NTSTATUS add_uncompressed_format(const UCHAR* format, const UCHAR* frame,
                                   raw_format_list* records) override {
    // The camera's second uncompressed format is not offered.
    if (records->count() == 1) return STATUS_SUCCESS;
    return camera_82xx::add_uncompressed_format(format, frame, records);
  }
};

}  // namespace

uvc_camera* create_camera_8204(PDEVICE_OBJECT physical_device_object, frame_sink* sink) {
  return new (NonPagedPoolNx, pool_tag::objects, zero_filled)
      camera_8204(physical_device_object, sink);
}
