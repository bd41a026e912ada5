// uvc_camera: the camera object, one per started device: a plain USB Video
// Class camera, or the base of a camera family that overrides its virtual
// operations. This header declares the assembly side of the class: the
// frame sink, the streaming reader it consumes, the assembly state and
// counters, the frame pool and the frame worker with its work items. The
// assembly algorithms are in uvc_payload.cpp, construction and the default
// operations in uvc_camera.cpp.
//
// Virtual operations are declared in slot order; the comment after each
// names its slot.
#pragma once

#include "async_work.h"
#include "frame_pool.h"
#include "frame_sink.h"
#include "img/img_type.h"
#include "kernel_api.h"
#include "kernel_new.h"
#include "stream_reader.h"
#include "uvc_payload.h"
#include "worker_thread.h"

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

class uvc_camera : public pool_object {
 public:
  static constexpr ULONG work_item_count = 15;
  static constexpr LONG max_frames_in_worker = 2;
  static constexpr ULONG pool_buffer_count = 6;
  static constexpr ULONG statistics_period_ms = 3000;
  static constexpr ULONG no_fid = 255;  // expected FID that matches neither 0 nor 1

  // `device_object`: the USB device's physical device object. `sink`: where
  // frames go; it outlives the camera.
  uvc_camera(PDEVICE_OBJECT device_object, frame_sink* sink);

  virtual ~uvc_camera();                                                        // slot 0

  // Open: starts the deferred work item and, when the worker flag is set,
  // allocates the work items and starts the frame worker. PASSIVE_LEVEL,
  // stream mutex held.
  virtual NTSTATUS on_stream_start();                                           // slot 10
  // Close: stops the deferred work item. PASSIVE_LEVEL, stream mutex held.
  virtual NTSTATUS on_stream_stop();                                            // slot 11

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
  virtual NTSTATUS process_raw_transfer(PUCHAR data, ULONG length);             // slot 30

  // The data callback given to the video data reader (stream_reader.h);
  // `context` is the camera. DISPATCH_LEVEL.
  static NTSTATUS data_callback(PVOID request, PVOID context, PUCHAR data, ULONG length);

  // Counters since open (p_drops, q_drops, frames_delivered,
  // no_buffer_count) and since run (callback_count, fid_toggles). Exact
  // once the data path and the worker are quiet.
  ULONGLONG p_drops() { return ULONGLONG(InterlockedCompareExchange64(&p_drops_, 0, 0)); }
  ULONGLONG q_drops() const { return q_drops_; }
  ULONGLONG frames_delivered() const { return frames_delivered_; }
  ULONGLONG no_buffer_count() const { return no_buffer_count_; }
  ULONGLONG callback_count() const { return callback_count_; }
  ULONGLONG fid_toggles() const { return fid_toggles_; }
  ULONG fps_x100() const { return fps_x100_; }
  ULONGLONG bytes_per_second() const { return bytes_per_second_; }

  // Appends ANSI `text` to the custom overlay line (cut at its capacity).
  void set_overlay_text(const char* text);

 protected:
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

  // ---- behaviour flags set by families (constructor) ------------------------
  bool raw_flag_;       // every transfer goes to process_raw_transfer
  bool eof_only_;       // a frame ends only with EOF, whatever its length
  bool worker_flag_;    // frames are transformed on the frame worker

  // ---- mode flags set when the stream opens ------------------------------
  bool pooled_;         // payloads are collected in the frame pool
  bool chunked_;        // bulk transfers smaller than a frame, one header per frame

  // ---- formats --------------------------------------------------------------
  img::img_type raw_type_;     // what the camera sends; buffer_length = raw frame size
  img::img_type output_type_;  // what the client asked for
  UCHAR flip_;                 // 1: the output is stored bottom-up

  // ---- options (single-byte stores, may change at any time) -----------------
  UCHAR show_overlay_;
  UCHAR force_clear_buffers_;
  UCHAR should_reduce_read_count_;
  UCHAR drop_incomplete_;

  // ---- objects -----------------------------------------------------------------
  PDEVICE_OBJECT device_object_;
  frame_sink* sink_;
  stream_reader* data_request_pipe_;  // video data reader; owned, null when closed
  async_work async_work_;             // deferred work of the camera
  ULONG cpu_features_;                // img::get_cpu_features mask

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
  UCHAR frame_bad_;                   // set by on_interrupt_data, cleared at frame end
  UCHAR frame_refused_;               // direct: the sink had no buffer for this frame
  UCHAR pool_starved_;                // pooled: data of this frame found no pool buffer
  LONG volatile stopped_;             // 1 while not running (initially 1)
  frame_pool frame_pool_;

  // ---- counters ---------------------------------------------------------------
  // p_drops_ is changed by the data path and the worker: interlocked. The
  // others have one writer at a time (the assembly lock, or the worker).
  LONG64 volatile p_drops_;
  ULONGLONG q_drops_;
  ULONGLONG frames_delivered_;
  ULONGLONG no_buffer_count_;
  ULONGLONG callback_count_;
  ULONGLONG callback_count_at_queue_;  // callback_count_ when a frame was last queued
  ULONGLONG fid_toggles_;

  // ---- statistics (kept in complete_frame while show_overlay_ is on) ---------
  LONG64 volatile byte_count_;        // bytes received since the last update
  LONGLONG counter_frequency_;        // KeQueryPerformanceCounter ticks per second
  LONGLONG last_statistics_time_;     // counter value of the last update
  ULONGLONG last_delivered_;          // frames_delivered_ at the last update
  ULONG fps_x100_;
  ULONGLONG bytes_per_second_;

  // ---- overlay (drawn by complete_frame while show_overlay_ is on) -----------
  static constexpr ULONG overlay_text_capacity = 128;
  enum overlay_line { overlay_banner, overlay_firmware, overlay_custom, overlay_line_count };
  char overlay_text_[overlay_line_count][overlay_text_capacity];  // zero-terminated ANSI
  ULONG overlay_text_length_[overlay_line_count];                 // characters, no terminator

 private:
  NTSTATUS dispatch_transfer(PVOID request, PUCHAR data, ULONG length);
  NTSTATUS chunked_step(payload_info* payload);
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
};
