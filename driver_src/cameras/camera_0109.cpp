// camera_0109: payload size and driver-held control records (see the header).
#include "cameras/camera_0109.h"

#include "kernel/pool_tags.h"
#include "usb/control_request.h"

namespace {

struct held_control {
  ULONG entity;
  ULONG selector;
};
constexpr held_control held_controls[] = {
    {control_entity_camera_terminal, 4},  {control_entity_camera_terminal, 2},
    {control_entity_processing_unit, 2},  {control_entity_processing_unit, 3},
    {control_entity_processing_unit, 6},  {control_entity_processing_unit, 7},
    {control_entity_processing_unit, 8},  {control_entity_processing_unit, 9},
    {control_entity_processing_unit, 10}, {control_entity_processing_unit, 11},
};

}  // namespace

uvc_camera* create_camera_0109(PDEVICE_OBJECT physical_device_object, frame_sink* sink) {
  return new (NonPagedPoolNx, pool_tag::objects, zero_filled)
      camera_0109(physical_device_object, sink);
}

camera_0109::camera_0109(PDEVICE_OBJECT device_object, frame_sink* sink)
    : uvc_camera(device_object, sink) {
  eof_only_ = true;
}

NTSTATUS camera_0109::get_device_info(camera_device_info* info) {
  const NTSTATUS status = uvc_camera::get_device_info(info);
  if (NT_SUCCESS(status)) {
    info->model_code = model_code;
    info->colour_code = colour_code;
  }
  return status;
}

NTSTATUS camera_0109::on_init_begin() {
  for (const held_control& c : held_controls) {
    uvc_control_record* record = find_control(this, c.entity, c.selector);
    if (record != nullptr) record->mode = control_mode_driver_held;
  }
  return STATUS_SUCCESS;
}

ULONG camera_0109::get_iso_payload_size(const UCHAR* committed, ULONG) {
  if (raw_type_.type == img::FOURCC_MJPG) return mjpeg_payload;
  return le32(committed + uvc_probe::dwMaxPayloadTransferSize);
}
