// uvc_camera: the camera object, one per started device: a plain USB Video
// Class camera, or the base of a camera family that overrides its virtual
// operations. It owns the usb_device, the parsed descriptor set, the raw
// format records and the format entries (the pin's data ranges), the video
// data reader and the interrupt reader, the assembly state, the frame pool
// and the frame worker, the driver options and the statistics and overlay.
//
// Sources: uvc_camera.cpp (construction, init, driver properties, options,
// device information, the interrupt reader, the default operations),
// uvc_camera_stream.cpp (open, run, pause, close), uvc_format_list.cpp (the
// format list and its queries), uvc_payload.cpp (payload parsing and frame
// assembly).
//
// Virtual operations are declared in slot order; the comment after each
// names its slot.
#pragma once

#include "controls/control_registry.h"
#include "controls/uvc_control_records.h"
#include "kernel/async_work.h"
#include "usb/bulk_reader.h"
#include "usb/control_request.h"
#include "uvc/frame_pool.h"
#include "avstream/frame_sink.h"
#include "img/img_type.h"
#include "kernel/kernel_api.h"
#include "kernel/kernel_new.h"
#include "kernel/pool_array.h"
#include "usb/stream_reader.h"
#include "usb/usbdevice.h"
#include "uvc/uvc_descriptors.h"
#include "uvc/uvc_format_records.h"
#include "uvc/uvc_payload.h"
#include "kernel/worker_thread.h"

class uvc_camera;

// One frame handed to the frame worker. The camera preallocates
// work_item_count of them when a worker stream opens; an item is on the
// camera's free list or in the worker's queue, never both.
struct frame_work_item {
  LIST_ENTRY link;       // free list or worker queue
  uvc_camera* camera;
  payload_info raw;      // the raw frame; raw.reserved = 1 when incomplete
};
static_assert(sizeof(PVOID) != 8 || sizeof(frame_work_item) == 64, "work items are 64 bytes");

// An image type built by the rules of img::make_img_type, except that the
// pitch of the formats without planes of their own is width x bit_count / 8
// (so a "Y800" of 16 bits has a pitch of 2 x width). Sizes that do not fit
// 32 bits give a buffer length no buffer can hold (INT32_MAX).
img::img_type make_img_type_bits(ULONG fourcc, LONG width, LONG height, ULONG bit_count);

// One data range the pin offers: the raw format record it was built from
// and the range itself. 304 bytes.
struct format_entry {
  ULONGLONG raw_index;       // index into the camera's raw format records
  KS_DATARANGE_VIDEO range;  // built by make_data_range
};
static_assert(sizeof(format_entry) == 304, "format entries are 304 bytes");

typedef pool_array<format_entry> format_entry_list;

// The device-information record of the driver information property (424
// bytes, zeroed before it is filled).
struct camera_device_info {
  ULONG vendor_id;           // idVendor
  WCHAR manufacturer[64];    // UTF-16, zero-filled after the text
  WCHAR product[64];
  ULONG reserved0;
  ULONGLONG serial_number;   // the serial-number string read as hexadecimal; 0 when it is not
  ULONG model_code;          // the camera class: uvc_camera 4 (see the families)
  ULONG product_id;          // idProduct
  ULONG colour_code;         // uvc_camera 0; the families: 4 colour, 1 mono (see them)
  ULONG reserved1;           // 0
  ULONG firmware_revision;   // get_firmware_revision
  UCHAR reserved2[132];
};
static_assert(sizeof(camera_device_info) == 424, "device-information record is 424 bytes");
static_assert(FIELD_OFFSET(camera_device_info, serial_number) == 264 &&
                  FIELD_OFFSET(camera_device_info, model_code) == 272 &&
                  FIELD_OFFSET(camera_device_info, colour_code) == 280 &&
                  FIELD_OFFSET(camera_device_info, firmware_revision) == 288,
              "device-information record layout");

// The hexadecimal digits of the whole counted string (at most 16) as a
// number; false for anything else.
bool parse_hex64(const UNICODE_STRING& text, ULONGLONG* value);

// Driver property ids (slots 2 to 6).
namespace driver_property {
constexpr ULONG show_overlay = 1;
constexpr ULONG drop_incomplete_frames = 2;
constexpr ULONG firmware_revision = 4;
constexpr ULONG raw_control = 6;
constexpr ULONG force_clear_buffers = 18;
constexpr ULONG cycle_port = 24;
constexpr ULONG reserved_25 = 25;
constexpr ULONG cpu_feature_level = 26;
constexpr ULONG reset_port = 28;
}  // namespace driver_property

// Highest processor feature level of driver property 26.
constexpr ULONG max_cpu_feature_level = 9;
// The processor feature mask of a level (0 = detect; see the table in
// uvc_camera.cpp).
ULONG cpu_feature_mask_of_level(ULONG level);

// What the camera counts. The first four are kept from open (the pin's
// dropped-frames answer is p_drops + q_drops), the others from run.
struct camera_statistics {
  ULONGLONG p_drops;           // frames dropped, or delivered incomplete, at the raw stage
  ULONGLONG q_drops;           // frames lost because the sink had no client buffer
  ULONGLONG frames_delivered;  // frames completed to the sink with success
  ULONGLONG no_buffer_count;   // sink refusals
  ULONGLONG callback_count;    // data callbacks
  ULONGLONG fid_toggles;       // FID changes seen
  ULONG fps_x100;              // delivered frames per second x 100, over the last period
  ULONGLONG bytes_per_second;  // received, over the last period
};

// An object the camera destroys with itself (families hand theirs over).
class camera_owned_object : public pool_object {
 public:
  virtual ~camera_owned_object() {}
};

class uvc_camera : public pool_object {
 public:
  static constexpr ULONG work_item_count = 15;
  static constexpr LONG max_frames_in_worker = 2;
  static constexpr ULONG pool_buffer_count = 6;
  static constexpr ULONG statistics_period_ms = 3000;
  static constexpr ULONG no_fid = 255;  // expected FID that matches neither 0 nor 1
  static constexpr ULONG stream_request_count = 8;     // data reader requests while running
  static constexpr ULONG interrupt_request_count = 3;  // interrupt reader requests
  static constexpr ULONG banner_buffer_size = 400;     // bytes of the banner's UNICODE_STRING
  // The alternate settings of the streaming interface 1.
  static constexpr ULONG control_interface = 0;
  static constexpr ULONG streaming_interface = 1;

  // `device_object`: the USB device's physical device object; URBs, port
  // requests and the device's own registry values go through it. `sink`:
  // where frames go; it outlives the camera. PASSIVE_LEVEL. Nothing here
  // fails: a usb_device that cannot be allocated makes init fail.
  uvc_camera(PDEVICE_OBJECT device_object, frame_sink* sink);

  uvc_camera(const uvc_camera&) = delete;
  uvc_camera& operator=(const uvc_camera&) = delete;

  // ---- operations of the driver frame (device start, the capture pin) -------
  // All PASSIVE_LEVEL. `format` is the pin's video info header (with its
  // whole bitmap header).
  //
  // init: configures the device, parses its descriptors and builds the
  // format list. A failure leaves the camera for its creator to destroy;
  // a configuration without the video descriptors gives
  // STATUS_DEVICE_CONFIGURATION_ERROR.
  NTSTATUS init();
  // Selects and negotiates the format, chooses the pipe and the assembly
  // mode and prepares the reader, the pool and the worker; the stream is
  // then open but not running. A failure undoes everything opened so far.
  // STATUS_INVALID_DEVICE_STATE on an open stream (close it first).
  NTSTATUS open_stream(const KS_VIDEOINFOHEADER* format);
  // Starts the data reader with fresh requests and zeroed run counters.
  NTSTATUS run_stream();
  // run true: run_stream; false: stops the data reader, which stays for the
  // next run. Only while the stream is open: otherwise a pause succeeds
  // without effect and a run fails with STATUS_INVALID_DEVICE_STATE.
  NTSTATUS pause_stream(bool run);
  // Stops and destroys the reader, releases the bandwidth, stops the
  // worker and gives the current client buffer back. Success without
  // effect when the stream is not open.
  NTSTATUS close_stream();
  // A format change accepted while running: output image type, pitch and
  // flip as open_stream derives them, without a new negotiation.
  void update_output_format(const KS_VIDEOINFOHEADER* format);
  // After power-up: clears the read-once mark of every control record and
  // has every registered control write its value back to the device (each
  // control once, entry by entry, level 0 to 2). Returns the first failure;
  // every control is asked all the same.
  NTSTATUS restore_controls();
  // The pin's data ranges: one KS_DATARANGE_VIDEO per format entry, in
  // entry order.
  ULONG get_format_count() const;
  // Copies each entry's range into destinations[i]. Fewer destinations than
  // entries: STATUS_BUFFER_OVERFLOW; a null destination:
  // STATUS_INVALID_PARAMETER; nothing is copied in either case.
  NTSTATUS copy_format_entries(KS_DATARANGE_VIDEO* const* destinations, ULONG count) const;
  // Frame intervals (100 ns) of format entry `index`, ascending; `*count` is
  // the array's capacity on entry and the number of values on return. A
  // null or too small array: `*count` := the number needed and
  // STATUS_BUFFER_OVERFLOW. `request` is the client's property request,
  // for families that list intervals of their own.
  NTSTATUS get_frame_intervals_of(ULONG index, PVOID request, ULONG request_size,
                                  LONGLONG* intervals, ULONG* count);

  // ---- virtual operations, slot order ---------------------------------------
  virtual ~uvc_camera();                                                        // slot 0

  // Fills a zeroed 424-byte device-information record. PASSIVE_LEVEL.
  virtual NTSTATUS get_device_info(camera_device_info* info);                   // slot 1
  // Driver properties (ids in driver_property). PASSIVE_LEVEL, any time.
  virtual bool is_driver_property_supported(ULONG id);                          // slot 2
  // Id 6: a raw control transfer (header and data stage in `buffer`); other
  // ids: the first 32-bit value of `buffer` through slot 4.
  virtual NTSTATUS set_driver_property(ULONG id, PVOID buffer, ULONG size);     // slot 3
  virtual NTSTATUS set_driver_property_value(ULONG id, ULONG value);            // slot 4
  // Id 6: a raw control transfer whose header is `input` and whose data
  // stage lands in `output`; other ids: a 32-bit value through slot 6.
  virtual NTSTATUS get_driver_property(ULONG id, PVOID input, ULONG input_size, PVOID output,
                                       ULONG output_size, ULONG* returned);    // slot 5
  virtual NTSTATUS get_driver_property_value(ULONG id, ULONG* value);           // slot 6
  // A family's own interval list for a raw format; STATUS_NOT_IMPLEMENTED
  // (the default) means the descriptor's intervals are used.
  virtual NTSTATUS get_frame_intervals(const raw_format_record* record, PVOID request,
                                       ULONG request_size, LONGLONG* intervals,
                                       ULONG* count);                           // slot 7
  // init, before and after the format list is built.
  virtual NTSTATUS on_init_begin();                                             // slot 8
  virtual NTSTATUS on_init_end();                                               // slot 9
  // Open: starts the deferred work item and, for a worker or pooled stream
  // (open_assembly has chosen the mode), allocates the work items and
  // starts the frame worker. PASSIVE_LEVEL, stream mutex held.
  virtual NTSTATUS on_stream_start();                                           // slot 10
  // Close: stops the deferred work item. PASSIVE_LEVEL, stream mutex held.
  virtual NTSTATUS on_stream_stop();                                            // slot 11
  // Run, before the reader starts. Stream mutex held.
  virtual NTSTATUS on_transfer_start();                                         // slot 12
  // Fills the zeroed 34-byte probe structure for `record` at `interval`:
  // bmHint 1, format and frame index, frame interval.
  virtual NTSTATUS build_probe_control(const raw_format_record* record, LONGLONG interval,
                                       UCHAR* probe, const img::img_type& raw_type);  // slot 13
  // Open, after the format has been negotiated and stored.
  virtual void on_format_selected();                                            // slot 14
  // The raw records of one frame-based or uncompressed (format, frame) pair.
  virtual NTSTATUS add_frame_based_format(const UCHAR* format, const UCHAR* frame,
                                          raw_format_list* records);            // slot 15
  virtual NTSTATUS add_uncompressed_format(const UCHAR* format, const UCHAR* frame,
                                           raw_format_list* records);           // slot 16
  // One format entry per raw record, in order.
  virtual NTSTATUS build_format_entries(const raw_format_list& records,
                                        format_entry_list* entries);            // slot 17
  // May drop or change raw records before the entries are built.
  virtual NTSTATUS filter_raw_formats(raw_format_list* records);               // slot 18
  // Bytes per bulk transfer: raw buffer length + 12 when that is less than
  // dwMaxVideoFrameSize, else dwMaxPayloadTransferSize.
  virtual ULONG get_bulk_transfer_size(const UCHAR* committed, ULONG raw_buffer_length,
                                       const USBD_PIPE_INFORMATION* pipe);      // slot 19
  // Bytes per isochronous (micro)frame the stream needs:
  // dwMaxPayloadTransferSize.
  virtual ULONG get_iso_payload_size(const UCHAR* committed, ULONG raw_buffer_length);  // slot 20
  // The raw record for the requested output type (FOURCC, width, height),
  // with the type the camera sends in `*raw_type`; null when no format
  // entry admits it.
  virtual const raw_format_record* find_format(img::img_type* raw_type,
                                               const img::img_type& requested,
                                               LONGLONG interval);              // slot 21
  virtual ULONG get_firmware_revision();                                        // slot 22

  // Frame worker, PASSIVE_LEVEL: prepares a raw frame before its transform.
  // STATUS_PENDING: the family has taken over the raw frame (it copies the
  // record and later calls release_raw_frame); another failure drops it.
  virtual NTSTATUS prepare_raw_frame(payload_info* raw);                        // slot 23
  // Frame worker, PASSIVE_LEVEL: writes `src` into `dst` in dst's format.
  // On return dst->buffer_length holds the bytes written (0 = all of it).
  // The default copies min(source length, destination length) bytes.
  virtual NTSTATUS transform_frame(img::img_descriptor* dst, const img::img_descriptor* src,
                                   UCHAR flip);                                 // slot 24
  // Data from the interrupt endpoint, DISPATCH_LEVEL: while running, marks
  // the frame being assembled bad.
  virtual void on_interrupt_data(PUCHAR data, ULONG length);                    // slot 25
  // Fills `slot` with a client buffer from the sink; false when there is
  // none (counted in q_drops). DISPATCH_LEVEL under the assembly lock
  // (direct mode) or PASSIVE_LEVEL on the frame worker.
  virtual bool acquire_output_frame(output_frame_slot* slot, const payload_info* payload);  // slot 26
  // Delivers the slot's buffer as a finished frame and empties the slot.
  virtual void complete_frame(output_frame_slot* slot);                         // slot 27
  // Throws away the slot's data and keeps its buffer for the next frame.
  virtual void discard_frame(output_frame_slot* slot);                          // slot 28
  // Close, after the worker has stopped. PASSIVE_LEVEL.
  virtual void on_stream_stopped();                                             // slot 29
  // Raw flag set: every transfer, DISPATCH_LEVEL under the assembly lock.
  // `data` null (length 0): data was lost on the pipe here (a transfer that
  // failed, an isochronous packet with an error), so what is pending has a
  // gap; the result is ignored.
  virtual NTSTATUS process_raw_transfer(PUCHAR data, ULONG length);             // slot 30

  // The data callback given to the video data reader (stream_reader.h);
  // `context` is the camera. DISPATCH_LEVEL.
  static NTSTATUS data_callback(PVOID request, PVOID context, PUCHAR data, ULONG length);

  // A consistent copy of the counters and rates, taken under the statistics
  // lock. Exact once the data path and the worker are quiet. IRQL <=
  // DISPATCH_LEVEL, any thread.
  void get_statistics(camera_statistics* statistics);
  ULONGLONG p_drops() { return statistic(&camera_statistics::p_drops); }
  ULONGLONG q_drops() { return statistic(&camera_statistics::q_drops); }
  ULONGLONG frames_delivered() { return statistic(&camera_statistics::frames_delivered); }
  // Frame worker, during transform_frame: the performance counter when the
  // first bytes of the frame being transformed arrived (0 when unknown).
  LONGLONG frame_started() const { return worker_frame_started_; }
  ULONGLONG no_buffer_count() { return statistic(&camera_statistics::no_buffer_count); }
  ULONGLONG callback_count() { return statistic(&camera_statistics::callback_count); }
  ULONGLONG fid_toggles() { return statistic(&camera_statistics::fid_toggles); }

  // Appends ANSI `text` to the custom overlay line (cut at its capacity).
  void set_overlay_text(const char* text);
  // Replaces the automatic loops' overlay line, drawn below the custom text
  // (empty: not drawn). Frame worker only: complete_frame draws it there.
  void set_loop_overlay_line(const char* text);

  // ---- accessors for families and controls (after a successful init) -------
  USHORT id_vendor() const;
  USHORT id_product() const;
  // String of the device descriptor: usb_string_manufacturer (256),
  // usb_string_serial_number (257), usb_string_product (258), or a string
  // index. See usb_device::get_string.
  NTSTATUS get_string(ULONG selector, PUNICODE_STRING text);
  bool should_reduce_read_count() const { return should_reduce_read_count_ != 0; }
  // Unit ids: the camera terminal, the first processing unit, the first
  // extension unit; false when the camera has none.
  bool camera_terminal_id(UCHAR* id) const;
  bool processing_unit_id(UCHAR* id) const;
  bool extension_unit_id(UCHAR* id) const;
  // The first extension unit with `guid` whose bmControls has `control_bit`.
  const UCHAR* find_extension_unit(const GUID& guid, ULONG control_bit) const;
  const uvc_descriptor_set* descriptors() const { return descriptors_; }
  ULONG cpu_features() const { return cpu_features_; }

  // ---- format queries for families --------------------------------------------
  // A format entry with this sub-format exists.
  bool has_format_entry(const GUID& subtype) const;
  // Some raw record (or format entry) has one of the `count` FOURCCs.
  bool raw_formats_have_fourcc(const ULONG* fourccs, ULONG count) const;
  bool format_entries_have_fourcc(const ULONG* fourccs, ULONG count) const;

  // ---- options ------------------------------------------------------------------
  // A REG_DWORD looked up in the settings key, then among the device's own
  // values ("DriverData" of its device key, then of its driver key), which
  // override it; success when either has it. PASSIVE_LEVEL.
  NTSTATUS read_registry_dword(PCWSTR name, ULONG* value);
  // A REG_SZ looked up the same way; a value longer than `value` holds →
  // STATUS_BUFFER_OVERFLOW. PASSIVE_LEVEL.
  NTSTATUS read_registry_string(PCWSTR name, PUNICODE_STRING value);

  // Takes ownership of `object`, destroyed with the camera.
  NTSTATUS add_owned_object(camera_owned_object* object);

  // ---- controls (controls/) ---------------------------------------------------
  // The control registry and the UVC control records. Filled during init;
  // afterwards used by property requests, which the device serialises.
  control_registry& control_table() { return control_table_; }
  pool_array<uvc_control_record>& control_records() { return control_records_; }
  // The USB device's physical device object: control requests and the
  // device's own registry values go through it.
  PDEVICE_OBJECT device_object() const { return device_object_; }
  // Set by a family whose camera-terminal auto-exposure mode must not be
  // bound to the exposure control.
  bool controls_flag() const { return controls_flag_; }

 protected:
  // One counter up by one, and one counter's value, under the statistics
  // lock (families that assemble frames of their own count with these).
  void count(ULONGLONG camera_statistics::*counter);
  ULONGLONG statistic(ULONGLONG camera_statistics::*counter);
  // ---- assembly life cycle, called by the stream operations ----------------
  // Open, after the data pipe is chosen: sets the mode flags, clears the
  // slot, resets the per-open counters and, in pooled modes, allocates the
  // frame pool with raw_type_.buffer_length bytes per buffer.
  NTSTATUS open_assembly(bool chunked);
  // Run: zeroes the run counters and statistics, expected FID 255, and lets
  // the data callback assemble (stopped := 0).
  void run_assembly();
  // Pause and close, before the reader is stopped: every later callback
  // returns STATUS_CANCELLED.
  void stop_assembly();
  // Close, after the reader has stopped: stops the frame worker (frames
  // still queued are released without a transform), calls on_stream_stopped,
  // returns the current client buffer to the sink with STATUS_CANCELLED and
  // frees the pool and the work items. PASSIVE_LEVEL.
  void close_assembly();

  // Gives a raw frame back to its owner (pool buffer or reader request) and
  // clears its handle. IRQL <= DISPATCH_LEVEL.
  void release_raw_frame(payload_info* raw);

  // ---- interrupt endpoint (families call these; PASSIVE_LEVEL) ----------------
  // When interface 0's first pipe is an interrupt pipe and no interrupt
  // reader exists: a reader whose data goes to on_interrupt_data, started
  // with interrupt_request_count requests. A failed start destroys it.
  NTSTATUS start_interrupt_reader();
  void stop_interrupt_reader();

  usb_device* usb() const { return usb_; }
  // The committed probe/commit structure (uvc_probe::size bytes).
  const UCHAR* committed() const { return committed_; }

  // ---- behaviour flags set by families (constructor) ------------------------
  bool raw_flag_;        // every transfer goes to process_raw_transfer
  bool skip_unchanged_;  // probe/commit leaves an unchanged format alone
  // A format has been committed since the device started (or since its
  // last power-up or port reset): only then does skip_unchanged_ apply, as
  // a device streams only a format it has been sent.
  bool commit_sent_;
  bool controls_flag_;   // read by the controls setup
  bool eof_only_;        // a frame ends only with EOF, whatever its length
  bool worker_flag_;     // frames are transformed on the frame worker

  // ---- mode flags set when the stream opens ------------------------------
  bool pooled_;         // payloads are collected in the frame pool
  bool chunked_;        // bulk transfers smaller than a payload (chunked_step)
  bool variable_size_;  // compressed format (MJPEG, frame-based): frames vary in
                        // length, so EOF ends a frame however full its buffer is
  ULONG chunk_size_;    // chunked: bytes per bulk transfer; a shorter one ends a payload
  ULONG chunk_payload_max_;  // chunked: committed dwMaxPayloadTransferSize (0: no limit)
  ULONG chunk_packet_;  // chunked: MaximumPacketSize of the bulk pipe (0: not known)

  // ---- formats --------------------------------------------------------------
  img::img_type raw_type_;     // what the camera sends; buffer_length = raw frame size
  img::img_type output_type_;  // what the client asked for
  UCHAR flip_;                 // 1: the output is stored bottom-up
  // The frame worker's copy of output_type_ and flip_ for the frame it is
  // finishing, taken under the assembly lock; the overlay of worker modes
  // reads these, never the fields a format change rewrites.
  img::img_type worker_output_type_;
  UCHAR worker_flip_;
  LONGLONG worker_frame_started_;  // see frame_started; frame worker only
  LONGLONG frame_interval_;    // 100 ns, as negotiated at open
  UCHAR committed_[uvc_probe::size];  // last committed probe/commit structure

  // ---- format list (built by init; read at PASSIVE_LEVEL only) ----------------
  uvc_descriptor_set* descriptors_;  // paged, "Auvc"; points into usb_'s configuration
  raw_format_list raw_formats_;
  format_entry_list format_entries_;
  LONGLONG forced_frame_time_;       // "force_avg_time_per_frame_0", 0 when absent

  // ---- options (single-byte stores, may change at any time) -----------------
  UCHAR show_overlay_;
  UCHAR force_clear_buffers_;
  UCHAR should_reduce_read_count_;
  UCHAR drop_incomplete_;

  // ---- objects -----------------------------------------------------------------
  PDEVICE_OBJECT device_object_;
  frame_sink* sink_;
  usb_device* usb_;                   // owned; null when it could not be allocated
  stream_reader* data_request_pipe_;  // video data reader; owned, null when closed
  bulk_reader* interrupt_reader_;     // owned, null when not running
  async_work async_work_;             // deferred work of the camera
  ULONG cpu_features_;                // processor feature mask (driver property 26)
  HANDLE settings_key_;               // the global settings key, null when absent
  pool_array<camera_owned_object*> owned_objects_;
  control_registry control_table_;                  // pointers to owned controls
  pool_array<uvc_control_record> control_records_;  // reserved once: records never move

  // ---- stream state, guarded by stream_mutex_ ----------------------------------
  KMUTEX stream_mutex_;               // serialises open, run, pause and close
  bool stream_open_;

  // ---- frame worker ---------------------------------------------------------
  worker_thread frame_worker_;
  frame_work_item* work_items_;       // block of work_item_count items; null when closed
  LIST_ENTRY work_free_;              // guarded by work_free_lock_
  KSPIN_LOCK work_free_lock_;
  LONG volatile in_worker_;           // frames queued to or running in the worker
  LONG volatile worker_closing_;      // 1: queued frames are released untransformed

  // ---- assembly state, guarded by assembly_lock_ ------------------------------
  KSPIN_LOCK assembly_lock_;
  output_frame_slot slot_;            // direct mode's current client buffer
  ULONG expected_fid_;                // 0, 1 or no_fid
  ULONG last_pts_;
  ULONG last_header_bits_;            // bmHeaderInfo of the last payload
  UCHAR frame_bad_;                   // set by on_interrupt_data and data_lost, cleared at frame end
  // Data was lost on the pipe (data_lost) and no payload has arrived since;
  // set only for frames of variable length, where the lost data may have
  // begun the next frame unnoticed, which is then bad as well.
  UCHAR data_lost_;
  UCHAR frame_refused_;               // direct: the sink had no buffer for this frame
  UCHAR pool_starved_;                // pooled: data of this frame found no pool buffer
  // Chunked: where the reader's transfers stand in the device's payloads.
  enum chunk_state : UCHAR {
    chunk_at_start,    // the next byte begins a payload (its header)
    chunk_in_payload,  // inside a payload with a valid header
    chunk_skipping,    // inside a payload whose header was invalid
    chunk_lost,        // out of step: everything up to a short transfer is skipped
  };
  UCHAR chunk_state_;
  ULONG chunk_position_;              // bytes of the current payload so far, header included
  payload_info chunk_header_;         // fid, pts and eof of the current payload's header
  LONG volatile stopped_;             // 1 while not running (initially 1)
  frame_pool frame_pool_;

  // ---- statistics, guarded by statistics_lock_ ---------------------------------
  // Written by the data path (inside the assembly lock) and by the frame
  // worker (alone); the lock is innermost: nothing else is taken or called
  // while it is held.
  KSPIN_LOCK statistics_lock_;
  camera_statistics statistics_;
  ULONGLONG byte_count_;              // bytes received since the last rate update
  LONGLONG counter_frequency_;        // KeQueryPerformanceCounter ticks per second; set once
  LONGLONG last_statistics_time_;     // counter value of the last rate update
  ULONGLONG last_delivered_;          // frames_delivered at the last rate update

  // ---- overlay (drawn by complete_frame while show_overlay_ is on) -----------
  static constexpr ULONG overlay_text_capacity = 128;
  enum overlay_line {
    overlay_banner,
    overlay_firmware,
    overlay_custom,
    overlay_loops,  // the automatic loops' values (raw-sensor families)
    overlay_line_count
  };
  char overlay_text_[overlay_line_count][overlay_text_capacity];  // zero-terminated ANSI
  ULONG overlay_text_length_[overlay_line_count];                 // characters, no terminator

 private:
  struct record_makers;  // slots 15 and 16 for build_raw_format_records

  // uvc_camera.cpp
  void read_options();
  // uvc_format_list.cpp
  NTSTATUS build_format_list();
  NTSTATUS apply_format_constraints(const format_entry_list& entries);
  // uvc_camera_stream.cpp
  NTSTATUS select_output_format(const KS_VIDEOINFOHEADER* format, img::img_type* output,
                                UCHAR* flip) const;
  NTSTATUS open_bulk_pipe(bool* chunked);
  NTSTATUS open_iso_pipe();
  NTSTATUS run_stream_locked();
  void teardown_stream();
  // True for MJPEG and frame-based formats, whose frames vary in length.
  bool is_variable_size_format(const raw_format_record* record) const;
  static NTSTATUS interrupt_callback(PVOID request, PVOID context, PUCHAR data, ULONG length);

  // uvc_payload.cpp
  NTSTATUS dispatch_transfer(PVOID request, PUCHAR data, ULONG length);
  void data_lost();
  NTSTATUS chunked_step(PVOID request, PUCHAR data, ULONG length);
  NTSTATUS assemble_payload(payload_info* payload);
  NTSTATUS append(payload_info* payload);
  NTSTATUS append_direct(payload_info* payload);
  NTSTATUS append_worker(payload_info* payload);
  void end_current_frame();
  void end_pooled_frame(frame_pool_buffer* buffer, const payload_info* payload);
  NTSTATUS queue_raw_frame(payload_info* raw);
  NTSTATUS hand_to_worker(const payload_info* raw, bool incomplete);
  void update_statistics();
  void draw_overlay(const output_frame_slot* slot);
  NTSTATUS allocate_work_items();
  void free_work_items();
  static void frame_worker_callback(PVOID context, PLIST_ENTRY entry);
  void stop_frame_worker();
  void process_work_item(frame_work_item* item);
  NTSTATUS transform_raw_frame(const payload_info* raw, output_frame_slot* slot);
};
