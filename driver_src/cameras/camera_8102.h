// camera_8102: a camera_8101 that sends raw 8-bit Bayer or "Y800" frames,
// which the driver turns into the client's format on the frame worker. Only
// the white balance runs automatically (the camera keeps its own exposure
// and gain); the image features adjust the picture.
//
// Formats offered, per camera format:
//   8-bit Bayer   RGB32, RGB24, "Y800" (the raw mosaic); the pattern is the
//                 FOURCC's ("BY8 " keeps the camera's, initially GBRG)
//   "Y800"        RGB24, then "Y800"
//   anything else as the camera declares it
#pragma once

#include "cameras/camera_8101.h"
#include "cameras/raw_sensor_pipeline.h"

uvc_camera* create_camera_8102(PDEVICE_OBJECT physical_device_object, frame_sink* sink);

class camera_8102 final : public camera_8101 {
 public:
  static constexpr ULONG colour_code_colour = 4;

  camera_8102(PDEVICE_OBJECT device_object, frame_sink* sink);
  ~camera_8102() override;

  NTSTATUS get_device_info(camera_device_info* info) override;  // slot 1
  bool is_driver_property_supported(ULONG id) override;         // slot 2
  NTSTATUS get_driver_property(ULONG id, PVOID input, ULONG input_size, PVOID output,
                               ULONG output_size, ULONG* returned) override;  // slot 5
  NTSTATUS on_init_end() override;                                            // slot 9
  NTSTATUS on_stream_start() override;                                        // slot 10
  NTSTATUS on_stream_stop() override;                                         // slot 11
  NTSTATUS build_format_entries(const raw_format_list& records,
                                format_entry_list* entries) override;  // slot 17
  NTSTATUS transform_frame(img::img_descriptor* dst, const img::img_descriptor* src,
                           UCHAR flip) override;  // slot 24

  bool found_bayer() const { return found_bayer_; }
  img::bayer_pattern pattern() const { return pattern_; }

 private:
  // The type the pipe reads a raw frame of `source` as, for `destination`.
  ULONG source_label(ULONG source, ULONG destination) const;

  bool found_bayer_;
  img::bayer_pattern pattern_;
  raw_sensor_pipeline pipeline_;
};
