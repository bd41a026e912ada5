// uvc_camera: construction, destruction and the default virtual operations
// that are not part of the data path. The payload parsing and frame
// assembly are in uvc_payload.cpp.
#include "uvc_camera.h"

#include "auto/text_overlay.h"
#include "img/cpu_features.h"
#include "pool_tags.h"

uvc_camera::uvc_camera(PDEVICE_OBJECT device_object, frame_sink* sink)
    : raw_flag_(false),
      eof_only_(false),
      worker_flag_(false),
      pooled_(false),
      chunked_(false),
      raw_type_(),
      output_type_(),
      flip_(0),
      show_overlay_(0),
      force_clear_buffers_(0),
      should_reduce_read_count_(0),
      drop_incomplete_(1),
      device_object_(device_object),
      sink_(sink),
      data_request_pipe_(nullptr),
      cpu_features_(img::get_cpu_features()),
      work_items_(nullptr),
      in_worker_(0),
      worker_closing_(0),
      slot_(),
      expected_fid_(no_fid),
      last_pts_(0),
      frame_bad_(0),
      frame_refused_(0),
      pool_starved_(0),
      stopped_(1),
      p_drops_(0),
      q_drops_(0),
      frames_delivered_(0),
      no_buffer_count_(0),
      callback_count_(0),
      callback_count_at_queue_(0),
      fid_toggles_(0),
      byte_count_(0),
      counter_frequency_(0),
      last_statistics_time_(0),
      last_delivered_(0),
      fps_x100_(0),
      bytes_per_second_(0) {
  async_work_.init(device_object);
  frame_worker_.init();
  InitializeListHead(&work_free_);
  KeInitializeSpinLock(&work_free_lock_);
  KeInitializeSpinLock(&assembly_lock_);
  frame_pool_.init();
  RtlZeroMemory(overlay_text_, sizeof(overlay_text_));
  RtlZeroMemory(overlay_text_length_, sizeof(overlay_text_length_));
  LARGE_INTEGER frequency;
  KeQueryPerformanceCounter(&frequency);
  counter_frequency_ = frequency.QuadPart;
}

uvc_camera::~uvc_camera() {
  if (data_request_pipe_ != nullptr) {
    data_request_pipe_->stop();
    delete data_request_pipe_;
    data_request_pipe_ = nullptr;
  }
  stop_frame_worker();
  async_work_.close();
  frame_pool_.free_all();
  free_work_items();
}

NTSTATUS uvc_camera::on_stream_start() {
  NTSTATUS status = async_work_.open();
  if (NT_SUCCESS(status) && worker_flag_) {
    free_work_items();
    status = allocate_work_items();
    if (NT_SUCCESS(status)) {
      InterlockedExchange(&worker_closing_, 0);
      frame_worker_.set_callback(frame_worker_callback, this);
      status = frame_worker_.start();
    }
  }
  return status;
}

NTSTATUS uvc_camera::on_stream_stop() {
  async_work_.close();
  return STATUS_SUCCESS;
}

NTSTATUS uvc_camera::prepare_raw_frame(payload_info*) { return STATUS_SUCCESS; }

NTSTATUS uvc_camera::transform_frame(img::img_descriptor* dst, const img::img_descriptor* src,
                                     UCHAR) {
  // Never more than the destination holds, whatever the source claims.
  LONG length = src->buffer_length < dst->buffer_length ? src->buffer_length : dst->buffer_length;
  if (length < 0) length = 0;
  RtlCopyMemory(dst->data, src->data, SIZE_T(length));
  dst->buffer_length = length;
  return STATUS_SUCCESS;
}

// DISPATCH_LEVEL, in the interrupt reader's completion routine.
void uvc_camera::on_interrupt_data(PUCHAR, ULONG) {
  KIRQL irql;
  KeAcquireSpinLock(&assembly_lock_, &irql);
  if (stopped_ == 0) {
    frame_bad_ = 1;
  }
  KeReleaseSpinLock(&assembly_lock_, irql);
}

bool uvc_camera::acquire_output_frame(output_frame_slot* slot, const payload_info* payload) {
  PUCHAR data = nullptr;
  ULONG capacity = 0;
  PVOID frame = sink_ != nullptr ? sink_->acquire_frame_buffer(&data, &capacity) : nullptr;
  if (frame == nullptr) {
    ++no_buffer_count_;
    ++q_drops_;
    return false;
  }
  slot->sink_frame = frame;
  slot->data = data;
  slot->capacity = capacity;
  slot->filled = 0;
  slot->fid = payload->fid;
  slot->pts = payload->pts;
  if (force_clear_buffers_) {
    RtlZeroMemory(data, capacity);
  }
  return true;
}

void uvc_camera::complete_frame(output_frame_slot* slot) {
  if (slot->sink_frame != nullptr) {
    if (show_overlay_) {
      draw_overlay(slot);
    }
    ++frames_delivered_;
    sink_->frame_done(slot->sink_frame, STATUS_SUCCESS,
                      ULONGLONG(InterlockedCompareExchange64(&p_drops_, 0, 0)), frames_delivered_,
                      slot->filled);
    slot->sink_frame = nullptr;
    slot->data = nullptr;
    slot->capacity = 0;
    slot->filled = 0;
  }
  if (show_overlay_) {
    update_statistics();
  }
}

void uvc_camera::discard_frame(output_frame_slot* slot) {
  if (slot->sink_frame != nullptr && slot->filled > 0) {
    slot->filled = 0;
    InterlockedIncrement64(&p_drops_);
  }
}

void uvc_camera::on_stream_stopped() {}

NTSTATUS uvc_camera::process_raw_transfer(PUCHAR, ULONG) { return STATUS_SUCCESS; }

void uvc_camera::set_overlay_text(const char* text) {
  ULONG& length = overlay_text_length_[overlay_custom];
  char* line = overlay_text_[overlay_custom];
  for (; text != nullptr && *text != 0 && length + 1 < overlay_text_capacity; ++text) {
    line[length++] = *text;
  }
  line[length] = 0;
}

// complete_frame, before the frame goes to the sink: the version banner, the
// firmware line, the statistics line and the custom text, in the output
// format. Drawn only into a buffer that holds a whole output image.
void uvc_camera::draw_overlay(const output_frame_slot* slot) {
  if (output_type_.buffer_length <= 0 || slot->capacity < ULONG(output_type_.buffer_length)) {
    return;
  }
  img::img_descriptor image = {};
  static_cast<img::img_type&>(image) = output_type_;
  image.data = slot->data;
  const int scale = output_type_.dim_y / 1024 + 1;
  const bool bottom_up = flip_ != 0;
  const int x = img::statistics_text_x;

  img::statistics_line line = {};
  const LONG64 p = InterlockedCompareExchange64(&p_drops_, 0, 0);
  line.frame_number = LONG64(frames_delivered_ + ULONGLONG(p) + q_drops_);
  line.id = slot->fid;
  line.dropped_p = p;
  line.dropped_q = LONG64(q_drops_);
  line.fps_whole = int(fps_x100_ / 100);
  line.fps_hundredths = int(fps_x100_ % 100);
  line.pts = LONG(slot->pts);
  line.bps = LONG64(bytes_per_second_);
  char statistics[100];
  img::format_statistics_line(statistics, sizeof(statistics), line);

  const char* lines[4] = {overlay_text_[overlay_banner], overlay_text_[overlay_firmware],
                          statistics, overlay_text_[overlay_custom]};
  for (int i = 0; i < 4; ++i) {
    if (i == 3 && overlay_text_length_[overlay_custom] <= 1) break;
    img::draw_text(image, x, img::statistics_text_y(i, scale), scale, lines[i],
                   img::statistics_background, img::statistics_foreground, bottom_up);
  }
}

// Runs in complete_frame, which the camera calls from one context at a time.
void uvc_camera::update_statistics() {
  const LONGLONG now = KeQueryPerformanceCounter(nullptr).QuadPart;
  if (counter_frequency_ <= 0) {
    return;
  }
  const ULONGLONG elapsed_ms = ULONGLONG(now - last_statistics_time_) * 1000 / ULONGLONG(counter_frequency_);
  if (elapsed_ms <= statistics_period_ms) {
    return;
  }
  fps_x100_ = ULONG((frames_delivered_ - last_delivered_) * 100000 / elapsed_ms);
  // 64-bit sums: several seconds of a fast stream exceed 32 bits.
  bytes_per_second_ = ULONGLONG(InterlockedExchange64(&byte_count_, 0)) * 1000 / elapsed_ms;
  last_statistics_time_ = now;
  last_delivered_ = frames_delivered_;
}

NTSTATUS uvc_camera::allocate_work_items() {
  work_items_ = static_cast<frame_work_item*>(ExAllocatePoolWithTag(
      NonPagedPoolNx, sizeof(frame_work_item) * work_item_count, pool_tag::objects));
  if (work_items_ == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(work_items_, sizeof(frame_work_item) * work_item_count);
  for (ULONG i = 0; i < work_item_count; ++i) {
    ExInterlockedInsertTailList(&work_free_, &work_items_[i].link, &work_free_lock_);
  }
  InterlockedExchange(&in_worker_, 0);
  return STATUS_SUCCESS;
}

// PASSIVE_LEVEL with the worker stopped: every item is on the free list.
void uvc_camera::free_work_items() {
  InitializeListHead(&work_free_);
  if (work_items_ != nullptr) {
    ExFreePoolWithTag(work_items_, pool_tag::objects);
    work_items_ = nullptr;
  }
}
