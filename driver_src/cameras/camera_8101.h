// camera_8101: cameras with an image processor of their own that send what
// they declare ("YUY2", raw "BY8 " or "Y800"), offered as declared and
// delivered without a transform of the driver's. Their controls are bound to
// the sensor extension unit {DE49BA0A-0B5C-D549-8F71-0BE40F94A67A} (trigger,
// strobe with its timing, one-push, key 122, the automatic modes); the
// firmware revision and two device values are vendor requests.
#pragma once

#include "uvc/uvc_camera.h"

uvc_camera* create_camera_8101(PDEVICE_OBJECT physical_device_object, frame_sink* sink);

// Driver properties of camera_8101 and camera_8102.
namespace family_8101_property {
constexpr ULONG vendor_command = 3;  // set: vendor OUT request 0x42, the value is not sent
constexpr ULONG hardware_value = 5;  // get: vendor IN request 0x17, 16 bits
constexpr ULONG device_value = 11;   // set: vendor OUT request 0x19 with the 32-bit value
}  // namespace family_8101_property

class camera_8101 : public uvc_camera {
 public:
  static constexpr ULONG model_code = 6;
  static constexpr ULONG colour_code_yuy2 = 4;
  static constexpr ULONG colour_code_bayer = 2;
  static constexpr ULONG colour_code_mono = 1;

  camera_8101(PDEVICE_OBJECT device_object, frame_sink* sink);

  NTSTATUS get_device_info(camera_device_info* info) override;         // slot 1
  bool is_driver_property_supported(ULONG id) override;                // slot 2
  NTSTATUS set_driver_property_value(ULONG id, ULONG value) override;  // slot 4
  NTSTATUS get_driver_property_value(ULONG id, ULONG* value) override;  // slot 6
  NTSTATUS on_init_begin() override;                                    // slot 8
  ULONG get_firmware_revision() override;                               // slot 22

 protected:
  // A 16-bit vendor IN request to the device (value 0, index 0).
  NTSTATUS read_vendor_word(UCHAR request, ULONG* value);
};
