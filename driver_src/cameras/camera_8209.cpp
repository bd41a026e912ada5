// camera_8209: formats, controls and the JPEG assembly of the byte stream
// (see the header).
#include "cameras/camera_8209.h"

#include "controls/region_controls.h"
#include "controls/vendor_controls.h"
#include "kernel/pool_tags.h"
#include "usb/control_request.h"

namespace {

// {46464E47-0000-0010-8000-00AA00389B71}: the camera's frame-based JPEG format.
constexpr ULONG fourcc_gnff = img::make_fourcc('G', 'N', 'F', 'F');
constexpr ULONG mjpeg_bits = 24;
constexpr UCHAR firmware_register = 45;
constexpr UCHAR marker = 0xFF;
constexpr UCHAR start_of_image = 0xD8;
constexpr UCHAR end_of_image = 0xD9;
constexpr ULONG shortest_picture = 3;  // closed pieces below this are ignored
constexpr ULONG end_check_minimum = 4;  // an end marker closes only after more than this

// Intervals of 30, 15 and 7.5 frames per second, with the bound below which
// each is added after the camera's own.
struct added_interval {
  ULONG below;
  ULONG interval;
};
constexpr added_interval added_intervals[] = {
    {166668, 333333}, {333335, 666666}, {666668, 1333333}};

}  // namespace

uvc_camera* create_camera_8209(PDEVICE_OBJECT physical_device_object, frame_sink* sink) {
  return new (NonPagedPoolNx, pool_tag::objects, zero_filled)
      camera_8209(physical_device_object, sink);
}

camera_8209::camera_8209(PDEVICE_OBJECT device_object, frame_sink* sink)
    : uvc_camera(device_object, sink),
      assembly_(nullptr),
      fill_(0),
      has_gap_(false),
      gap_(0),
      counters_(),
      firmware_revision_(0),
      selected_first_interval_(0),
      spacing_(0),
      last_delivery_(0),
      counter_frequency_(0) {
  raw_flag_ = true;
}

camera_8209::~camera_8209() {
  // The reader goes before the buffer it fills.
  close_stream();
  if (assembly_ != nullptr) ExFreePoolWithTag(assembly_, pool_tag::objects);
}

NTSTATUS camera_8209::get_device_info(camera_device_info* info) {
  const NTSTATUS status = uvc_camera::get_device_info(info);
  if (NT_SUCCESS(status)) {
    info->model_code = model_code;
    info->colour_code = colour_code;
  }
  return status;
}

ULONG camera_8209::get_firmware_revision() { return firmware_revision_; }

NTSTATUS camera_8209::on_init_begin() {
  assembly_ = static_cast<UCHAR*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, assembly_size, pool_tag::objects));
  if (assembly_ == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  UCHAR terminal = 0;
  UCHAR bytes[4] = {};
  if (camera_terminal_id(&terminal) &&
      NT_SUCCESS(uvc_get_cur(device_object_, terminal, firmware_register, sizeof(bytes), bytes,
                             nullptr))) {
    firmware_revision_ = le32(bytes);
  }
  LARGE_INTEGER frequency = {};
  KeQueryPerformanceCounter(&frequency);
  counter_frequency_ = frequency.QuadPart;
  // Controls the camera lacks are left out; only a lack of memory fails.
  NTSTATUS status = register_vendor_unit_controls(this, vendor_unit_registers::extension_unit);
  if (status == STATUS_INSUFFICIENT_RESOURCES) return status;
  status = register_focus_region(this);
  return status == STATUS_INSUFFICIENT_RESOURCES ? status : STATUS_SUCCESS;
}

// ---- formats ----------------------------------------------------------------------------

NTSTATUS camera_8209::add_frame_based_format(const UCHAR* format, const UCHAR* frame,
                                             raw_format_list* records) {
  const ULONG first = records->count();
  const NTSTATUS status = append_frame_based_record(format, frame, records);
  if (!NT_SUCCESS(status) || records->count() == first) return status;
  raw_format_record& record = (*records)[first];
  if (fourcc_from_subtype(record.subtype) == fourcc_gnff) {
    record.subtype = subtype_from_fourcc(img::FOURCC_MJPG);
    record.bits_per_pixel = mjpeg_bits;
  }
  record.max_interval = slowest_interval;
  return STATUS_SUCCESS;
}

NTSTATUS camera_8209::get_frame_intervals(const raw_format_record* record, PVOID, ULONG,
                                          LONGLONG* intervals, ULONG* count) {
  if (record == nullptr || count == nullptr) return STATUS_INVALID_PARAMETER;
  LONGLONG list[1 + ARRAYSIZE(added_intervals)];
  ULONG n = 0;
  list[n++] = record->min_interval;
  for (const added_interval& added : added_intervals) {
    if (record->min_interval < added.below) list[n++] = added.interval;
  }
  const ULONG capacity = intervals != nullptr ? *count : 0;
  *count = n;
  if (capacity < n) return STATUS_BUFFER_OVERFLOW;
  for (ULONG i = 0; i < n; ++i) intervals[i] = list[i];
  return STATUS_SUCCESS;
}

// The camera runs at its own rate: the probe asks for the format's interval.
NTSTATUS camera_8209::build_probe_control(const raw_format_record* record, LONGLONG interval,
                                          UCHAR* probe, const img::img_type& raw_type) {
  const NTSTATUS status = uvc_camera::build_probe_control(record, interval, probe, raw_type);
  if (NT_SUCCESS(status) && record != nullptr) {
    selected_first_interval_ = record->min_interval;
    put_le32(probe + uvc_probe::dwFrameInterval, record->min_interval);
  }
  return status;
}

void camera_8209::on_format_selected() {
  spacing_ = frame_interval_ == LONGLONG(selected_first_interval_) ? 0 : frame_interval_;
}

ULONG camera_8209::get_bulk_transfer_size(const UCHAR*, ULONG, const USBD_PIPE_INFORMATION*) {
  return transfer_size;
}

// ---- the byte stream ---------------------------------------------------------------------

NTSTATUS camera_8209::on_transfer_start() {
  KIRQL irql;
  KeAcquireSpinLock(&assembly_lock_, &irql);
  fill_ = 0;
  has_gap_ = false;
  counters_ = {};
  last_delivery_ = 0;
  KeReleaseSpinLock(&assembly_lock_, irql);
  return STATUS_SUCCESS;
}

jpeg_counters camera_8209::counters() {
  KIRQL irql;
  KeAcquireSpinLock(&assembly_lock_, &irql);
  const jpeg_counters copy = counters_;
  KeReleaseSpinLock(&assembly_lock_, irql);
  return copy;
}

LONGLONG camera_8209::now_100ns() const {
  const LONGLONG counter = KeQueryPerformanceCounter(nullptr).QuadPart;
  const LONGLONG frequency = counter_frequency_ > 0 ? counter_frequency_ : 1;
  // Whole seconds and the rest apart, so that a fast counter cannot overflow.
  return counter / frequency * 10000000 + counter % frequency * 10000000 / frequency;
}

// DISPATCH_LEVEL, assembly lock held: every byte of the transfer goes to the
// assembly buffer; a start marker after pending bytes, a full buffer and an
// end marker close what is pending as one picture. No data: a transfer was
// lost on the bus after the pending bytes. A picture whose start and end
// markers both arrived around that gap would look whole, so the gap is
// remembered until the piece that spans it is closed (and dropped). Bytes
// lost before anything is pending leave a piece without its start marker.
NTSTATUS camera_8209::process_raw_transfer(PUCHAR data, ULONG length) {
  if (assembly_ == nullptr) return STATUS_SUCCESS;
  if (data == nullptr) {
    if (fill_ > 0 && !has_gap_) {
      has_gap_ = true;
      gap_ = fill_;
    }
    return STATUS_SUCCESS;
  }
  for (ULONG i = 0; i < length; ++i) {
    const UCHAR byte = data[i];
    if (byte == start_of_image && fill_ > 0 && assembly_[fill_ - 1] == marker) {
      // The marker's first byte is already stored: what came before it is
      // one picture, and the marker begins the next (with the gap, when it
      // fell between the marker's two bytes).
      const bool gap_in_marker = has_gap_ && gap_ == fill_;
      if (fill_ > 1) close_picture(fill_ - 1);
      assembly_[0] = marker;
      fill_ = 1;
      has_gap_ = gap_in_marker;
      gap_ = 1;
    }
    assembly_[fill_++] = byte;
    if (fill_ == assembly_size) {
      close_picture(fill_);
      fill_ = 0;
    } else if (byte == end_of_image && fill_ > end_check_minimum &&
               assembly_[fill_ - 2] == marker) {
      close_picture(fill_);
      fill_ = 0;
    }
  }
  return STATUS_SUCCESS;
}

// The first `length` pending bytes are one closed piece; a gap among them
// is closed with it.
void camera_8209::close_picture(ULONG length) {
  const bool damaged = has_gap_ && gap_ < length;
  has_gap_ = false;
  if (length < shortest_picture) return;
  const bool has_start = assembly_[0] == marker && assembly_[1] == start_of_image;
  const bool has_end = assembly_[length - 2] == marker && assembly_[length - 1] == end_of_image;
  if (!has_start || !has_end || damaged) {
    if (!has_start) ++counters_.missing_start;
    if (!has_end) ++counters_.missing_end;
    if (has_start && has_end) ++counters_.damaged;
    count(&camera_statistics::p_drops);
    return;
  }
  ++counters_.good;
  if (spacing_ != 0) {
    const LONGLONG now = now_100ns();
    if (last_delivery_ != 0 && now - last_delivery_ < spacing_ - spacing_tolerance) {
      ++counters_.rate_dropped;
      return;
    }
    last_delivery_ = now;
  }
  deliver(length);
}

void camera_8209::deliver(ULONG length) {
  payload_info picture = {};
  picture.data = assembly_;
  picture.length = length;
  picture.eof = 1;
  output_frame_slot slot = {};
  if (!acquire_output_frame(&slot, &picture)) return;  // counted in q_drops
  if (length > slot.capacity) {
    // A picture larger than the client's buffer cannot be delivered whole:
    // the buffer goes back empty and the picture counts as dropped.
    count(&camera_statistics::p_drops);
    camera_statistics now;
    get_statistics(&now);
    sink_->frame_done(slot.sink_frame, STATUS_CANCELLED, now.p_drops, now.frames_delivered, 0);
    return;
  }
  RtlCopyMemory(slot.data, assembly_, length);
  // End markers after the picture, for decoders that read past its end;
  // the frame's length is the picture's.
  ULONG padded = length;
  for (ULONG pair = 0; pair < padding_pairs && padded + 2 <= slot.capacity; ++pair) {
    slot.data[padded++] = marker;
    slot.data[padded++] = end_of_image;
  }
  slot.filled = length;
  complete_frame(&slot);
}
