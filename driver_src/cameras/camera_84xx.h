// camera_84xx: the raw-sensor cameras of the 0x84xx products (and of any
// product 0x8400 to 0x89FF no other row claims): 8- or 16-bit Bayer or
// monochrome sensors behind the sensor extension unit
// {DE49BA0A-0B5C-D549-8F71-0BE40F94A67A}, with the exposure in
// microseconds, the gain, the flips and the automatic modes there, the
// colour-temperature table stored in the camera, and the firmware revision
// from vendor request 0x01. The frames go through the automatic loops and
// the transform pipe on the frame worker (raw_sensor_pipeline.h).
//
// Formats offered, per camera format:
//   8-bit Bayer    RGB32 and RGB24 (unless the camera has them itself),
//                  "Y800" (the raw mosaic), "I420" with "export_I420_streamformat"
//                  - on colour cameras only
//   "Y800"         colour camera: not offered; mono: RGB24 first (the mono-RGB
//                  case, unless the camera has RGB24), then "Y800"
//   16-bit Bayer   "Y16 " (the raw mosaic) on colour cameras, "RGB6" in 16-bit mode
//   anything else  as the camera declares it
#pragma once

#include "cameras/camera_documents.h"
#include "cameras/raw_formats.h"
#include "cameras/raw_sensor_pipeline.h"
#include "features/documents/register_descriptions.h"
#include "uvc/uvc_camera.h"

class defect_pixel_store;

uvc_camera* create_camera_84xx(PDEVICE_OBJECT physical_device_object, frame_sink* sink);

class camera_84xx : public uvc_camera {
 public:
  static constexpr ULONG model_code = 10;
  static constexpr ULONG colour_code_colour = 4;
  static constexpr ULONG colour_code_mono = 1;

  camera_84xx(PDEVICE_OBJECT device_object, frame_sink* sink);
  ~camera_84xx() override;

  NTSTATUS get_device_info(camera_device_info* info) override;         // slot 1
  bool is_driver_property_supported(ULONG id) override;                // slot 2
  NTSTATUS set_driver_property_value(ULONG id, ULONG value) override;  // slot 4
  NTSTATUS get_driver_property(ULONG id, PVOID input, ULONG input_size, PVOID output,
                               ULONG output_size, ULONG* returned) override;  // slot 5
  NTSTATUS get_driver_property_value(ULONG id, ULONG* value) override;        // slot 6
  NTSTATUS on_init_begin() override;                                          // slot 8
  NTSTATUS on_init_end() override;                                            // slot 9
  NTSTATUS on_stream_start() override;                                        // slot 10
  NTSTATUS on_stream_stop() override;                                         // slot 11
  NTSTATUS build_format_entries(const raw_format_list& records,
                                format_entry_list* entries) override;  // slot 17
  ULONG get_firmware_revision() override;                              // slot 22
  NTSTATUS transform_frame(img::img_descriptor* dst, const img::img_descriptor* src,
                           UCHAR flip) override;  // slot 24

  bool is_colour() const { return traits_.colour; }
  bool sixteen_bit_mode() const { return sixteen_bit_mode_; }
  // The colour-temperature table the white balance uses; null: none.
  const img::wb_temperature_table* temperature_table() const { return temperature_table_; }

 private:
  raw_frame_switches switches() const;
  void read_stream_switches();
  void read_flips();

  raw_format_traits traits_;
  bool export_i420_;                 // "export_I420_streamformat"
  bool sixteen_bit_mode_;            // 16-bit frames may be delivered as "RGB6"
  LONG volatile empia_pattern_fix_;  // property 16, "force_empia_pattern_fix"
  LONG volatile smooth_2x2_;         // "force_apply_2x2_smooth"
  LONG volatile j003_pattern_fix_;   // "apply_j003_pattern_fix"
  bool flip_x_;                      // the sensor's flips, read at stream start
  bool flip_y_;
  ULONG firmware_revision_;  // cached once non-zero
  ULONG max_width_;          // the largest frame among the entries
  ULONG max_height_;
  const img::wb_temperature_table* temperature_table_;
  defect_pixel_store* defects_;  // the table the camera stores; null without one
  img::wb_temperature_table camera_table_;  // loaded from the camera
  raw_sensor_pipeline pipeline_;
  camera_documents documents_;       // register descriptions and named default sets
};
