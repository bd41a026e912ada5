// camera_8800: an HD capture device. Its video source may be interlaced:
// a 1080-line interlaced source comes as alternate 540-line fields, which
// the driver weaves into full frames on the frame worker.
//
// The source's kind is the device's video mode, the low 4 bits of selector
// 57 of the sensor extension unit {DE49BA0A-0B5C-D549-8F71-0BE40F94A67A}
// (1 1080p, 2 1080i, 3 720p; 0 when the control is missing or unreadable).
// A client asking for 1080 lines gets the 540-line field format woven when
// the mode is 2, or when it is neither 1 nor 3 and the registry option
// "force_1080i_for_1080_formats" is non-zero.
//
// Fields: each raw frame of a woven stream is one field; bit 4 (0x10) of
// its payload header is the field flag (clear on a pair's first field, set
// on its second) and bit 5 (0x20) the order flag (set when the first field
// holds the bottom lines). The first field is held until the second comes;
// a second field without a first is dropped, and a first field that finds
// another first held replaces it (the held one is dropped). When both
// fields carry a presentation time, a second field more than one and a half
// field intervals after the held one belongs to another picture (fields
// were lost between them, unseen when whole frames are lost): both are
// dropped rather than woven. The woven frame,
// or any frame of a stream that is not woven, goes through the transform
// pipe into the client's format.
//
// Named default sets: the device may store a document of sets (vendor
// requests 0x19, 0x1A) beside the driver's built-in ones; the sets that
// name the product are offered under named_property_set 17 and 18 and
// described to GenICam clients by the camera's register-description list.
#pragma once

#include "cameras/camera_documents.h"
#include "cameras/raw_sensor_pipeline.h"
#include "uvc/uvc_camera.h"

uvc_camera* create_camera_8800(PDEVICE_OBJECT physical_device_object, frame_sink* sink);

namespace video_mode {
constexpr ULONG p1080 = 1;
constexpr ULONG i1080 = 2;
constexpr ULONG p720 = 3;
}  // namespace video_mode

class camera_8800 final : public uvc_camera {
 public:
  static constexpr ULONG model_code = 12;
  static constexpr ULONG colour_code = 0;
  static constexpr ULONG mode_selector = 57;
  static constexpr ULONG mode_bit = 56;
  static constexpr ULONG field_lines = 540;
  static constexpr ULONG full_lines = 1080;
  static constexpr UCHAR field_flag = 0x10;  // payload header: a pair's second field
  static constexpr UCHAR order_flag = 0x20;  // payload header: the first field holds the bottom lines

  camera_8800(PDEVICE_OBJECT device_object, frame_sink* sink);
  ~camera_8800() override;

  NTSTATUS get_device_info(camera_device_info* info) override;  // slot 1
  NTSTATUS on_init_begin() override;                            // slot 8
  NTSTATUS on_init_end() override;                              // slot 9
  NTSTATUS on_stream_start() override;                          // slot 10
  NTSTATUS on_stream_stop() override;                           // slot 11
  const raw_format_record* find_format(img::img_type* raw_type, const img::img_type& requested,
                                       LONGLONG interval) override;  // slot 21
  ULONG get_firmware_revision() override;                            // slot 22
  NTSTATUS prepare_raw_frame(payload_info* raw) override;            // slot 23
  NTSTATUS transform_frame(img::img_descriptor* dst, const img::img_descriptor* src,
                           UCHAR flip) override;  // slot 24
  void on_stream_stopped() override;              // slot 29

  // The video mode as the device reports it now (0: unknown). PASSIVE_LEVEL.
  ULONG video_mode();
  bool weaving() const { return weaving_; }
  // Fields held back as first fields and later dropped, since the stream opened.
  ULONGLONG replaced_fields() const { return replaced_fields_; }

 private:
  void release_first_field();

  pipe_holder pipe_;
  camera_documents documents_;  // the named default sets and their register description
  bool weaving_;
  UCHAR* weave_;  // non-paged, "Auvc": one woven frame in the camera's format
  ULONG weave_length_;
  payload_info first_field_;  // held field; request null when none
  ULONG pair_gap_;            // presentation-time ticks a pair's fields may lie apart; 0: not checked
  ULONGLONG replaced_fields_;
};
