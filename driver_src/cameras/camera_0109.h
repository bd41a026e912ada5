// camera_0109: a USB Video Class webcam streaming "MJPG" or "YUY2" over
// isochronous packets. Its MJPEG stream needs 1020-byte packets whatever
// the camera commits; a frame ends with its end-of-frame bit, whatever its
// length. The firmware applies some controls without reading them back, so
// the driver holds their values itself: the camera terminal's exposure time
// and auto-exposure mode, and the processing unit's brightness, contrast,
// hue, saturation, sharpness, gamma, white-balance temperature and its
// automatic mode.
#pragma once

#include "uvc/uvc_camera.h"

uvc_camera* create_camera_0109(PDEVICE_OBJECT physical_device_object, frame_sink* sink);

class camera_0109 final : public uvc_camera {
 public:
  static constexpr ULONG model_code = 13;
  static constexpr ULONG colour_code = 0;
  static constexpr ULONG mjpeg_payload = 1020;

  camera_0109(PDEVICE_OBJECT device_object, frame_sink* sink);

  NTSTATUS get_device_info(camera_device_info* info) override;  // slot 1
  NTSTATUS on_init_begin() override;                            // slot 8
  ULONG get_iso_payload_size(const UCHAR* committed, ULONG raw_buffer_length) override;  // slot 20
};
