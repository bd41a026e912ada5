// camera_83xx: the raw-sensor cameras of the 0x83xx products: 8-bit Bayer
// or monochrome sensors whose frames the driver turns into the client's
// format on the frame worker, running the automatic exposure, gain and
// white-balance loops on them (raw_sensor_pipeline.h). Controls on the
// vendor extension unit {923ED695-56F2-11E1-83F7-37704824019B}, falling
// back to the camera terminal's vendor registers; the region of interest
// with binning; the firmware revision from camera-terminal register 45.
//
// Colour or mono and the Bayer pattern follow from the declared formats
// (filter_raw_formats). Formats offered, per camera format:
//   8-bit Bayer    RGB32, RGB24, "Y800" (the raw mosaic), "BY8 "
//   "Y800"         RGB24 then "Y800" when the camera has nothing colour
//                  (the mono-RGB case), else not offered
//   anything else  as the camera declares it
#pragma once

#include "cameras/raw_formats.h"
#include "cameras/raw_sensor_pipeline.h"
#include "features/documents/register_descriptions.h"
#include "uvc/uvc_camera.h"

class defect_list;
class region_control;

uvc_camera* create_camera_83xx(PDEVICE_OBJECT physical_device_object, frame_sink* sink);

// Driver properties of the raw-sensor families.
namespace family_property {
constexpr ULONG bayer_pattern = 14;      // 0..3; colour cameras only
constexpr ULONG empia_pattern_fix = 16;  // 1 or 0
constexpr ULONG focus_register = 27;     // camera_82xx only; camera_83xx reports it unsupported
constexpr ULONG onload_filename = 29;    // set only: a wide string naming the defect-pixel file
}  // namespace family_property

class camera_83xx : public uvc_camera {
 public:
  static constexpr ULONG model_code = 5;
  static constexpr ULONG colour_code_colour = 4;
  static constexpr ULONG colour_code_mono = 1;

  camera_83xx(PDEVICE_OBJECT device_object, frame_sink* sink);
  ~camera_83xx() override;

  NTSTATUS get_device_info(camera_device_info* info) override;         // slot 1
  bool is_driver_property_supported(ULONG id) override;                // slot 2
  NTSTATUS set_driver_property(ULONG id, PVOID buffer, ULONG size) override;  // slot 3
  NTSTATUS set_driver_property_value(ULONG id, ULONG value) override;  // slot 4
  NTSTATUS get_driver_property(ULONG id, PVOID input, ULONG input_size, PVOID output,
                               ULONG output_size, ULONG* returned) override;  // slot 5
  NTSTATUS get_driver_property_value(ULONG id, ULONG* value) override;        // slot 6
  NTSTATUS on_init_begin() override;                                          // slot 8
  NTSTATUS on_init_end() override;                                            // slot 9
  NTSTATUS on_stream_start() override;                                        // slot 10
  NTSTATUS on_stream_stop() override;                                         // slot 11
  void on_format_selected() override;                                         // slot 14
  NTSTATUS build_format_entries(const raw_format_list& records,
                                format_entry_list* entries) override;  // slot 17
  NTSTATUS filter_raw_formats(raw_format_list* records) override;      // slot 18
  ULONG get_bulk_transfer_size(const UCHAR* committed, ULONG raw_buffer_length,
                               const USBD_PIPE_INFORMATION* pipe) override;  // slot 19
  ULONG get_firmware_revision() override;                                    // slot 22
  NTSTATUS transform_frame(img::img_descriptor* dst, const img::img_descriptor* src,
                           UCHAR flip) override;  // slot 24

  bool is_colour() const { return traits_.colour; }
  img::bayer_pattern pattern() const { return img::bayer_pattern(pattern_); }

 private:
  raw_frame_switches switches() const;

  raw_format_traits traits_;  // from the declared formats
  LONG volatile pattern_;     // Bayer pattern index; property 14 may change it while streaming
  LONG volatile empia_pattern_fix_;  // property 16, "force_empia_pattern_fix"
  LONG volatile smooth_2x2_;         // "force_apply_2x2_smooth"
  ULONG firmware_revision_;          // cached once non-zero
  ULONG sensor_width_;               // the largest frame declared
  ULONG sensor_height_;
  region_control* region_;  // null without a region of interest
  defect_list* defects_;    // null when it could not be created
  // The region in force when the stream opened, for the defect-pixel
  // correction on the frame worker.
  LONG frame_offset_x_;
  LONG frame_offset_y_;
  LONG frame_binning_;
  register_description_store documents_;  // what the features publish
  raw_sensor_pipeline pipeline_;
};
