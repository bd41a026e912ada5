// camera_8101: vendor requests, controls and device information (see the
// header).
#include "cameras/camera_8101.h"

#include "controls/sensor_controls.h"
#include "kernel/pool_tags.h"
#include "usb/control_request.h"

namespace {

constexpr UCHAR request_firmware = 0x16;
constexpr UCHAR request_hardware = 0x17;
constexpr UCHAR request_device_value = 0x19;
constexpr UCHAR request_command = 0x42;
constexpr USHORT command_value = 0x5A17;
constexpr USHORT command_index = 0x71C3;

}  // namespace

uvc_camera* create_camera_8101(PDEVICE_OBJECT physical_device_object, frame_sink* sink) {
  return new (NonPagedPoolNx, pool_tag::objects, zero_filled)
      camera_8101(physical_device_object, sink);
}

camera_8101::camera_8101(PDEVICE_OBJECT device_object, frame_sink* sink)
    : uvc_camera(device_object, sink) {
  // The exposure's automatic mode is the extension unit's, not the camera
  // terminal's.
  controls_flag_ = true;
}

NTSTATUS camera_8101::get_device_info(camera_device_info* info) {
  const NTSTATUS status = uvc_camera::get_device_info(info);
  if (NT_SUCCESS(status)) {
    const ULONG yuy2 = img::FOURCC_YUY2;
    const ULONG by8 = img::FOURCC_BY8;
    info->model_code = model_code;
    info->colour_code = format_entries_have_fourcc(&yuy2, 1)  ? colour_code_yuy2
                        : format_entries_have_fourcc(&by8, 1) ? colour_code_bayer
                                                              : colour_code_mono;
  }
  return status;
}

bool camera_8101::is_driver_property_supported(ULONG id) {
  return id == family_8101_property::vendor_command || id == driver_property::firmware_revision ||
         id == family_8101_property::hardware_value || id == family_8101_property::device_value ||
         uvc_camera::is_driver_property_supported(id);
}

NTSTATUS camera_8101::read_vendor_word(UCHAR code, ULONG* value) {
  UCHAR bytes[2] = {};
  control_request request = {0, 1, 0, code, 0, 0, sizeof(bytes), bytes};
  const NTSTATUS status = vendor_request(device_object_, request, nullptr);
  if (NT_SUCCESS(status)) *value = ULONG(bytes[0]) | ULONG(bytes[1]) << 8;
  return status;
}

NTSTATUS camera_8101::set_driver_property_value(ULONG id, ULONG value) {
  switch (id) {
    case family_8101_property::vendor_command: {
      // The command is the request itself; the client's value is not sent.
      control_request request = {1, 1, 0, request_command, command_value, command_index, 0, nullptr};
      return vendor_request(device_object_, request, nullptr);
    }
    case family_8101_property::device_value: {
      UCHAR bytes[4];
      put_le32(bytes, value);
      control_request request = {1, 1, 0, request_device_value, 0, 0, sizeof(bytes), bytes};
      return vendor_request(device_object_, request, nullptr);
    }
    case family_8101_property::hardware_value:
      return STATUS_NOT_IMPLEMENTED;
    default:
      return uvc_camera::set_driver_property_value(id, value);
  }
}

NTSTATUS camera_8101::get_driver_property_value(ULONG id, ULONG* value) {
  if (value == nullptr) return STATUS_INVALID_PARAMETER;
  switch (id) {
    case driver_property::firmware_revision:
      return read_vendor_word(request_firmware, value);
    case family_8101_property::hardware_value:
      return read_vendor_word(request_hardware, value);
    case family_8101_property::vendor_command:
    case family_8101_property::device_value:
      return STATUS_NOT_IMPLEMENTED;
    default:
      return uvc_camera::get_driver_property_value(id, value);
  }
}

ULONG camera_8101::get_firmware_revision() {
  ULONG revision = 0;
  return NT_SUCCESS(read_vendor_word(request_firmware, &revision)) ? revision : 0;
}

NTSTATUS camera_8101::on_init_begin() {
  // Controls the unit lacks are left out; only a lack of memory fails.
  const NTSTATUS status =
      register_sensor_unit_controls(this, sensor_unit_family::trigger_strobe_cameras);
  return status == STATUS_INSUFFICIENT_RESOURCES ? status : STATUS_SUCCESS;
}
