// camera_82xx: the common class of the 0x82xx products, never created
// directly: each product has a subclass (camera_8201.cpp ... camera_8208.cpp)
// that says how its sensor is configured, whether it takes the
// image-feature defaults and which frame rates it runs at. Three virtual
// operations follow uvc_camera's 31 slots, in this order.
//
// The cameras carry raw 8-bit sensor bytes in "YUY2" formats: a "YUY2"
// format of W x H is a raw frame of 2 W x H samples, the Bayer mosaic of a
// colour camera (register 26, bit 1) or the pixels of a mono one. Other
// uncompressed formats are not offered. Formats offered, per raw format:
//   8-bit Bayer   RGB32, "Y800" (the raw mosaic), "BY8 ", RGB24
//   "Y800"        mono camera: "Y800", RGB24
// A camera whose sensor window (sensor_window_control.h) has a format mask
// and timing offers the mask's formats instead, at the sizes the window
// allows, derived the same way ("Y800" kept on a colour camera, formats of
// no Bayer kind unchanged).
//
// Controls: the camera terminal's vendor registers (trigger, strobe, key
// 122, focus), the sensor window's five properties. Frames go through the
// automatic loops and the transform pipe on the frame worker
// (raw_sensor_pipeline.h). The firmware revision is camera-terminal
// register 45, read when the camera initialises.
#pragma once

#include "cameras/camera_83xx.h"
#include "cameras/raw_formats.h"
#include "cameras/raw_sensor_pipeline.h"
#include "cameras/sensor_window_control.h"
#include "features/documents/register_descriptions.h"
#include "uvc/uvc_camera.h"

class defect_list;

// One frame interval (100 ns) and the camera's index of that rate.
struct frame_rate_entry {
  ULONG interval;
  ULONG rate_index;
};

// The 0x82xx products (each subclass's file).
uvc_camera* create_camera_8201(PDEVICE_OBJECT physical_device_object, frame_sink* sink);
uvc_camera* create_camera_8203(PDEVICE_OBJECT physical_device_object, frame_sink* sink);
uvc_camera* create_camera_8204(PDEVICE_OBJECT physical_device_object, frame_sink* sink);
uvc_camera* create_camera_8205(PDEVICE_OBJECT physical_device_object, frame_sink* sink);
uvc_camera* create_camera_8206(PDEVICE_OBJECT physical_device_object, frame_sink* sink);
uvc_camera* create_camera_8207(PDEVICE_OBJECT physical_device_object, frame_sink* sink);
uvc_camera* create_camera_8208(PDEVICE_OBJECT physical_device_object, frame_sink* sink);

// Driver properties of the family (with those of family_property,
// camera_83xx.h: 14 Bayer pattern, 16 empia pattern fix, 27 focus register).
namespace family_82xx_property {
constexpr ULONG onload_filename = family_property::onload_filename;
constexpr ULONG interrupt_reader = 32;  // get only: 1 while the interrupt reader exists
}  // namespace family_82xx_property

// How a subclass configures the sensor: configure(flags, colour, pattern).
namespace sensor_flag {
constexpr ULONG no_balance_document = 0x1;  // no white-balance register description
constexpr ULONG empia_pattern_fix = 0x10;   // the empia pattern fix starts on
}  // namespace sensor_flag

class camera_82xx : public uvc_camera {
 public:
  static constexpr ULONG model_code = 5;
  static constexpr ULONG colour_code_colour = 4;
  static constexpr ULONG colour_code_mono = 1;
  static constexpr ULONG probe_interval = 333333;  // every probe asks for 30 fps
  static constexpr ULONG max_rate_entries = 8;     // longest frame-rate table

  ~camera_82xx() override;

  NTSTATUS get_device_info(camera_device_info* info) override;                   // slot 1
  bool is_driver_property_supported(ULONG id) override;                          // slot 2
  NTSTATUS set_driver_property(ULONG id, PVOID buffer, ULONG size) override;     // slot 3
  NTSTATUS set_driver_property_value(ULONG id, ULONG value) override;            // slot 4
  NTSTATUS get_driver_property(ULONG id, PVOID input, ULONG input_size, PVOID output,
                               ULONG output_size, ULONG* returned) override;     // slot 5
  NTSTATUS get_driver_property_value(ULONG id, ULONG* value) override;           // slot 6
  NTSTATUS get_frame_intervals(const raw_format_record* record, PVOID request,
                               ULONG request_size, LONGLONG* intervals,
                               ULONG* count) override;                           // slot 7
  NTSTATUS on_init_begin() override;                                             // slot 8
  NTSTATUS on_init_end() override;                                               // slot 9
  NTSTATUS on_stream_start() override;                                           // slot 10
  NTSTATUS on_stream_stop() override;                                            // slot 11
  NTSTATUS build_probe_control(const raw_format_record* record, LONGLONG interval,
                               UCHAR* probe, const img::img_type& raw_type) override;  // slot 13
  void on_format_selected() override;                                            // slot 14
  NTSTATUS add_uncompressed_format(const UCHAR* format, const UCHAR* frame,
                                   raw_format_list* records) override;           // slot 16
  NTSTATUS build_format_entries(const raw_format_list& records,
                                format_entry_list* entries) override;            // slot 17
  NTSTATUS filter_raw_formats(raw_format_list* records) override;                // slot 18
  ULONG get_bulk_transfer_size(const UCHAR* committed, ULONG raw_buffer_length,
                               const USBD_PIPE_INFORMATION* pipe) override;      // slot 19
  ULONG get_firmware_revision() override;                                        // slot 22
  NTSTATUS transform_frame(img::img_descriptor* dst, const img::img_descriptor* src,
                           UCHAR flip) override;                                 // slot 24

  // Slot 31: the sensor's colour, Bayer pattern and white-balance flags
  // (configure), from on_init_begin before the controls are created.
  virtual NTSTATUS configure_sensor();
  // Slot 32: whether on_init_end applies the image-feature defaults.
  virtual bool wants_feature_defaults();
  // Slot 33: the (interval, rate index) pairs of a frame width (of the raw
  // frame), in the caller's array of `*count` entries; `*count` becomes the
  // number of pairs (STATUS_BUFFER_TOO_SMALL when they do not fit). A camera
  // without a table answers STATUS_NOT_IMPLEMENTED and an empty table: the
  // intervals then come from the UVC descriptors.
  virtual NTSTATUS get_frame_rate_table(ULONG width, frame_rate_entry* table, ULONG* count);

  bool is_colour() const { return colour_; }
  bool is_configured() const { return configured_; }
  img::bayer_pattern pattern() const {
    return img::bayer_pattern(InterlockedCompareExchange(const_cast<LONG volatile*>(&pattern_), 0, 0));
  }
  // Register 26's colour bit, read at the start of on_init_begin.
  bool colour_detected() const { return colour_detected_; }
  bool empia_pattern_fix() const {
    return InterlockedCompareExchange(const_cast<LONG volatile*>(&empia_pattern_fix_), 0, 0) != 0;
  }
  // The size of the first format entry (the region features' frame).
  ULONG first_width() const { return first_width_; }
  ULONG first_height() const { return first_height_; }
  sensor_window_control* window() const { return window_; }

 protected:
  camera_82xx(PDEVICE_OBJECT device_object, frame_sink* sink);

  // The sensor as a subclass's configure_sensor describes it: its colour,
  // Bayer pattern (0..3; -1 leaves it) and sensor_flag bits, and the
  // colour-temperature table of its white balance (-1: none).
  NTSTATUS configure(ULONG flags, bool colour, LONG pattern);
  void set_temperature_table(LONG index) { temperature_table_index_ = index; }
  // A table copied into the caller's array.
  static NTSTATUS copy_rate_table(const frame_rate_entry* source, ULONG source_count,
                                  frame_rate_entry* table, ULONG* count);

 private:
  NTSTATUS rate_table_intervals(ULONG width, LONGLONG* intervals, ULONG* count);
  NTSTATUS derive_entries(const raw_format_list& records, ULONG raw_index,
                          const format_entry& source, format_entry_list* entries);
  raw_frame_switches switches() const;

  bool colour_detected_;
  bool colour_;
  bool configured_;
  LONG volatile pattern_;            // property 14 may change it while streaming
  LONG volatile empia_pattern_fix_;  // property 16, "force_empia_pattern_fix"
  LONG volatile smooth_2x2_;         // "force_apply_2x2_smooth"
  ULONG balance_flags_;              // configure's flags
  LONG temperature_table_index_;
  bool interrupt_frame_drop_;        // "INTERRUPTPIPE_BASED_FRAMEDROP_ENABLE"
  bool terminal_focus_;              // register 32 has the focus bit
  ULONG firmware_revision_;
  ULONG first_width_;
  ULONG first_height_;
  ULONG window_first_record_;  // the first raw record the window's formats made; MAXULONG: none
  sensor_window_control* window_;  // owned by the camera's controls
  defect_list* defects_;           // null without a sensor description
  // The window in force for the defect-pixel correction (frame worker).
  LONG frame_offset_x_;
  LONG frame_offset_y_;
  LONG frame_binning_;
  register_description_store documents_;
  raw_sensor_pipeline pipeline_;
};
