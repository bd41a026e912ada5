// camera_82xx: the common class of the 0x82xx products (see the header).
#include "cameras/camera_82xx.h"

camera_82xx::camera_82xx(PDEVICE_OBJECT device_object, frame_sink* sink)
    : uvc_camera(device_object, sink) {
  worker_flag_ = true;
}

NTSTATUS camera_82xx::configure_sensor() { return STATUS_SUCCESS; }

bool camera_82xx::wants_feature_defaults() { return false; }

NTSTATUS camera_82xx::get_frame_rate_table(ULONG, frame_rate_entry*, ULONG* count) {
  if (count != nullptr) *count = 0;
  return STATUS_NOT_IMPLEMENTED;
}
