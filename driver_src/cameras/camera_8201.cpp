// camera_8201: the 0x8201 and 0x8202 products, a VGA sensor whose
// extension-unit control block names it; colour as register 26 says,
// GBRG, colour-temperature table 3, and frame rates by width.
#include "cameras/camera_82xx.h"
#include "kernel/pool_tags.h"

namespace {

constexpr frame_rate_entry rates_320[] = {
    {62500, 7}, {83333, 6}, {125000, 0}, {166666, 1}, {333333, 2}};
constexpr frame_rate_entry rates_640[] = {{114942, 7}, {166666, 6},  {333333, 0},
                                          {666666, 2}, {1333332, 3}, {2000000, 4}};
constexpr frame_rate_entry rates_other[] = {{131578, 7}, {166666, 6},  {333333, 0},
                                            {666666, 2}, {1333332, 3}, {2000000, 4}};

class camera_8201 final : public camera_82xx {
 public:
  camera_8201(PDEVICE_OBJECT device_object, frame_sink* sink) : camera_82xx(device_object, sink) {
    // Its camera terminal's automatic exposure mode is not the exposure's.
    controls_flag_ = true;
  }

  NTSTATUS configure_sensor() override {
    set_temperature_table(3);
    return configure(0, colour_detected(), img::bayer_gbrg);
  }
  bool wants_feature_defaults() override { return true; }
  NTSTATUS get_frame_rate_table(ULONG width, frame_rate_entry* table, ULONG* count) override {
    if (width == 320) return copy_rate_table(rates_320, ARRAYSIZE(rates_320), table, count);
    if (width == 640) return copy_rate_table(rates_640, ARRAYSIZE(rates_640), table, count);
    return copy_rate_table(rates_other, ARRAYSIZE(rates_other), table, count);
  }
};

}  // namespace

uvc_camera* create_camera_8201(PDEVICE_OBJECT physical_device_object, frame_sink* sink) {
  return new (NonPagedPoolNx, pool_tag::objects, zero_filled)
      camera_8201(physical_device_object, sink);
}
