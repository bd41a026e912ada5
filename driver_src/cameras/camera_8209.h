// camera_8209: a colour camera with its own image processor that sends JPEG
// pictures as one continuous byte stream on its bulk endpoint, without
// payload headers. Every completed transfer is scanned for the JPEG markers
// (process_raw_transfer): a picture runs from its start marker FF D8 to its
// end marker FF D9 and is delivered whole, as "MJPG", when it has both.
//
// Formats: the camera's frame-based "GNFF" formats are offered as "MJPG"
// (24 bits per pixel), with frame intervals from the camera's own down to
// 7.5 frames per second; a slower rate than the camera's is reached by
// dropping pictures that come too early. Controls on the vendor extension
// unit {923ED695-56F2-11E1-83F7-37704824019B} with the focus region; the
// firmware revision is camera-terminal register 45.
#pragma once

#include "uvc/uvc_camera.h"

uvc_camera* create_camera_8209(PDEVICE_OBJECT physical_device_object, frame_sink* sink);

// What the assembly has seen since the stream opened.
struct jpeg_counters {
  ULONGLONG good;           // pictures with both markers
  ULONGLONG missing_start;  // closed without a start marker
  ULONGLONG missing_end;    // closed without an end marker (cut short, or too long)
  ULONGLONG rate_dropped;   // good pictures dropped by the frame-rate limit
  ULONGLONG damaged;        // both markers, but bytes lost on the bus between them
};

class camera_8209 final : public uvc_camera {
 public:
  static constexpr ULONG model_code = 11;
  static constexpr ULONG colour_code = 4;
  static constexpr ULONG assembly_size = 5000000;  // bytes of the longest picture
  static constexpr ULONG transfer_size = 16384;
  static constexpr ULONG padding_pairs = 32;         // FF D9 pairs after a delivered picture
  static constexpr ULONG slowest_interval = 1333333;  // 7.5 frames per second
  static constexpr LONGLONG spacing_tolerance = 20000;  // 2 ms, in 100 ns

  camera_8209(PDEVICE_OBJECT device_object, frame_sink* sink);
  ~camera_8209() override;

  NTSTATUS get_device_info(camera_device_info* info) override;  // slot 1
  NTSTATUS get_frame_intervals(const raw_format_record* record, PVOID request,
                               ULONG request_size, LONGLONG* intervals,
                               ULONG* count) override;  // slot 7
  NTSTATUS on_init_begin() override;                    // slot 8
  NTSTATUS on_transfer_start() override;                // slot 12
  NTSTATUS build_probe_control(const raw_format_record* record, LONGLONG interval,
                               UCHAR* probe, const img::img_type& raw_type) override;  // slot 13
  void on_format_selected() override;                                                  // slot 14
  NTSTATUS add_frame_based_format(const UCHAR* format, const UCHAR* frame,
                                  raw_format_list* records) override;  // slot 15
  ULONG get_bulk_transfer_size(const UCHAR* committed, ULONG raw_buffer_length,
                               const USBD_PIPE_INFORMATION* pipe) override;  // slot 19
  ULONG get_firmware_revision() override;                                    // slot 22
  NTSTATUS process_raw_transfer(PUCHAR data, ULONG length) override;         // slot 30

  // A copy taken under the assembly lock.
  jpeg_counters counters();
  // The minimum spacing of delivered pictures (100 ns), 0: none.
  LONGLONG minimum_spacing() const { return spacing_; }

 private:
  void close_picture(ULONG length);
  void deliver(ULONG length);
  LONGLONG now_100ns() const;

  UCHAR* assembly_;  // non-paged, "Auvc"; assembly_size bytes
  ULONG fill_;       // bytes pending in the assembly buffer
  // Bytes were lost on the bus (a failed transfer) after the first gap_ of
  // the pending bytes: a piece closed across that point is not whole.
  bool has_gap_;
  ULONG gap_;
  jpeg_counters counters_;
  ULONG firmware_revision_;
  ULONG selected_first_interval_;  // of the format being opened
  LONGLONG spacing_;
  LONGLONG last_delivery_;  // 100 ns; 0: none yet
  LONGLONG counter_frequency_;
};
