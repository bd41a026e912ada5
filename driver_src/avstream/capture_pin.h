// capture_pin: the video capture pin, the driver's only data path to
// clients. Owns the pin's callbacks (create, process, format validation and
// change, state changes, data intersection), its dropped-frames property,
// and capture_pin, the frame_sink that finally serves the camera: it hands
// out the client's empty buffers as stream pointer clones and, when the
// camera has filled one, stamps the stream header and releases it. The pin
// never processes frames itself; the camera pulls buffers through the
// device_context the pin is attached to (device.h).
#pragma once

#include "controls/property_handler.h"
#include "avstream/data_range.h"
#include "avstream/frame_sink.h"
#include "kernel/kernel_api.h"
#include "kernel/kernel_new.h"

class device_context;

// The pin's dispatch and automation table, referenced by the pin descriptor
// of the filter template (filter_descriptor.cpp).
extern const KSPIN_DISPATCH capture_pin_dispatch;
extern const KSAUTOMATION_TABLE capture_pin_automation_table;

// ---- callbacks from ks.sys, PASSIVE_LEVEL under the pin's control mutex ------
NTSTATUS pin_create(PKSPIN pin, PIRP irp);
// Always STATUS_PENDING: the camera pulls buffers, there is nothing to process.
NTSTATUS pin_process(PKSPIN pin);
NTSTATUS pin_set_data_format(PKSPIN pin, PKSDATAFORMAT old_format,
                             PKSMULTIPLE_ITEM old_attribute_list, const KSDATARANGE* data_range,
                             const KSATTRIBUTE_LIST* attribute_range);
NTSTATUS pin_set_device_state(PKSPIN pin, KSSTATE to_state, KSSTATE from_state);
// Intersects the caller's range with one of the pin's ranges (same major
// format and subtype, matched by ks.sys). With a zero `buffer_size` only the
// size needed is returned (STATUS_BUFFER_OVERFLOW).
NTSTATUS pin_intersect(PVOID context, PIRP irp, PKSP_PIN pin_request, PKSDATARANGE caller_range,
                       PKSDATARANGE pin_range, ULONG buffer_size, PVOID data, PULONG data_size);
// Get handler of the pin's dropped-frames property.
NTSTATUS pin_get_dropped_frames(PIRP irp, PKSIDENTIFIER request, PVOID data);

// ---- format checks -------------------------------------------------------------
// Byte offsets within a KSDATAFORMAT followed by a KS_VIDEOINFOHEADER.
constexpr ULONG video_info_offset = sizeof(KSDATAFORMAT);                            // 64
constexpr ULONG bitmap_header_offset = FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader);  // 48
constexpr ULONG minimum_video_format_size = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);   // 152

// biSizeImage holds at least |width| × |height| × bit count ÷ 8 bytes; a
// product that overflows 32 bits fails.
bool check_bitmap_size(const KS_BITMAPINFOHEADER& header);
// The visible size: the source rectangle when it has a width and a height,
// else the bitmap's absolute width and height. 64-bit, so that no rectangle
// a client sends can overflow it.
void get_video_size(const KS_VIDEOINFOHEADER& video, LONGLONG* width, LONGLONG* height);
// The format's bitmap fields equal the range's, its source and target
// rectangles are equal and start at (0, 0), and its size fits the caps
// (size_fits_caps, data_range.h).
bool format_matches_range(const KS_VIDEOINFOHEADER& video, const KS_DATARANGE_VIDEO& range);
// Whether the new format `next` may replace `current` on a pin that is not
// stopped: only the row stride and the row order may change.
// STATUS_NOT_SUPPORTED for other field changes, STATUS_NO_MATCH for another
// visible size.
NTSTATUS check_format_change(const KS_VIDEOINFOHEADER& next, const KS_VIDEOINFOHEADER& current);

// Values of capture_pin::run_state.
constexpr ULONG pin_not_started = 0;
constexpr ULONG pin_paused = 1;  // paused after running
constexpr ULONG pin_running = 2;

// One per pin, from non-paged pool ("Auvc"), in the pin's object bag;
// KSPIN.Context points at it.
//
// The frame_sink operations run on the camera's frame path (PASSIVE_LEVEL
// frame worker or DISPATCH_LEVEL completion, one context at a time)
// concurrently with the pin callbacks. They use only stream pointer
// routines, the two counters, `clock` and `format`: the counters are written
// there alone and read elsewhere with interlocked operations; `format` is
// replaced by publishing a new copy (the old one stays in the pin's bag) so a
// header being stamped never reads freed memory; `clock` changes only while
// the camera stream is closed.
class capture_pin final : public frame_sink, public pool_object {
 public:
  capture_pin(PKSPIN ks_pin, device_context* device_context);

  // ---- frame_sink ---------------------------------------------------------
  // Stamps a good frame's header or sets a failed buffer's status, then
  // deletes the clone, which returns the buffer to the client.
  void frame_done(PVOID buffer, NTSTATUS status, ULONGLONG drop_count, ULONGLONG delivered_count,
                  ULONG bytes_used) override;
  // The next queued client buffer with data as a clone, or null.
  PVOID acquire_frame_buffer(PUCHAR* data, ULONG* capacity) override;

  // The dropped-frames property (pin level, and the filter level through the
  // device): KSPROPERTY_DROPPEDFRAMES_CURRENT_S with the last picture number,
  // the drop count (the camera's current one while the pin's stream is open,
  // so frames lost with none delivered are reported; else that of the last
  // returned buffer) and, while acquired, the frame size.
  virtual NTSTATUS handle_dropped_frames(property_call* call);

  // ---- pieces of frame_done ------------------------------------------------
  // Takes the camera's totals for one returned buffer; true when the drop
  // count changed to a non-zero value since the last buffer (discontinuity).
  bool count_frame(ULONGLONG drop_count, ULONGLONG delivered_count);
  // Bytes of a good frame: `bytes_used`, or the clone's whole output when it
  // is 0 or larger than that.
  static ULONG used_bytes(const KSSTREAM_POINTER* clone, ULONG bytes_used);
  // Data length, duration, presentation time and flags, and with a 128-byte
  // header the frame info (picture number, drop count).
  void fill_stream_header(PKSSTREAM_POINTER clone, bool discontinuity, ULONG used);

  // ---- state callbacks --------------------------------------------------------
  NTSTATUS set_device_state(KSSTATE to_state, KSSTATE from_state);
  // Replaces `format` with a copy of the connection format's video info
  // header. STATUS_INSUFFICIENT_RESOURCES when out of memory.
  NTSTATUS copy_connection_format();
  // A validated format for a pin that exists already.
  NTSTATUS change_format();

  LONGLONG get_picture_number() const;
  LONGLONG get_drop_count() const;
  // The current format copy (published with a barrier).
  const KS_VIDEOINFOHEADER* current_format() const;

  PKSPIN pin;
  device_context* device;               // KSDEVICE.Context of the pin's device
  ULONG run_state;                      // pin_not_started, pin_paused, pin_running
  PIKSREFERENCECLOCK clock;             // held from ACQUIRE to STOP; may be null
  KS_VIDEOINFOHEADER* volatile format;  // copy with its whole bitmap header ("UVCD", pin bag)
  BOOLEAN acquired;                     // attach_pin succeeded
  LONGLONG volatile last_drop_count;    // drop count of the last returned buffer
  LONGLONG volatile picture_number;     // zero-based index of the last returned buffer
};
