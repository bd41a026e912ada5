// camera_8800: video mode, the 1080i look-up, field weaving and the
// transform hand-over (see the header).
#include "cameras/camera_8800.h"

#include "controls/vendor_controls.h"
#include "kernel/extended_state.h"
#include "kernel/pool_tags.h"
#include "usb/control_request.h"

namespace {

constexpr UCHAR request_firmware = 0x01;  // vendor IN, 4 bytes
constexpr ULONG mode_mask = 0xF;

}  // namespace

uvc_camera* create_camera_8800(PDEVICE_OBJECT physical_device_object, frame_sink* sink) {
  return new (NonPagedPoolNx, pool_tag::objects, zero_filled)
      camera_8800(physical_device_object, sink);
}

camera_8800::camera_8800(PDEVICE_OBJECT device_object, frame_sink* sink)
    : uvc_camera(device_object, sink),
      pipe_(),
      documents_(),
      weaving_(false),
      weave_(nullptr),
      weave_length_(0),
      first_field_(),
      pair_gap_(0),
      replaced_fields_(0) {
  worker_flag_ = true;
}

camera_8800::~camera_8800() {
  close_stream();
  if (weave_ != nullptr) ExFreePoolWithTag(weave_, pool_tag::objects);
  pipe_destroy(&pipe_);
}

NTSTATUS camera_8800::get_device_info(camera_device_info* info) {
  const NTSTATUS status = uvc_camera::get_device_info(info);
  if (NT_SUCCESS(status)) {
    info->model_code = model_code;
    info->colour_code = colour_code;
  }
  return status;
}

// Read every time: the device reports what it has on its input.
ULONG camera_8800::get_firmware_revision() {
  UCHAR bytes[4] = {};
  control_request request = {0, 1, 0, request_firmware, 0, 0, sizeof(bytes), bytes};
  return NT_SUCCESS(vendor_request(device_object_, request, nullptr)) ? le32(bytes) : 0;
}

// The device stores no register description of its own: its list holds the
// named sets' document.
NTSTATUS camera_8800::on_init_begin() {
  const NTSTATUS status = begin_camera_documents(this, false, &documents_);
  return status == STATUS_INSUFFICIENT_RESOURCES ? status : STATUS_SUCCESS;
}

NTSTATUS camera_8800::on_init_end() {
  const NTSTATUS status = pipe_create(&pipe_);
  if (!NT_SUCCESS(status)) return status;
  return finish_camera_documents(this, &documents_);
}

ULONG camera_8800::video_mode() {
  uvc_control_record* record =
      bind_control(this, control_binding{&sensor_extension_unit, mode_selector, mode_bit});
  if (record == nullptr ||
      !NT_SUCCESS(control_record_request(this, record, uvc_request_code::get_cur))) {
    return 0;
  }
  return ULONG(control_value(record, record->current)) & mode_mask;
}

const raw_format_record* camera_8800::find_format(img::img_type* raw_type,
                                                  const img::img_type& requested,
                                                  LONGLONG interval) {
  const LONG height = requested.dim_y < 0 ? -requested.dim_y : requested.dim_y;
  if (ULONG(height) == full_lines) {
    const ULONG mode = video_mode();
    ULONG forced = 0;
    const bool force = mode != video_mode::p1080 && mode != video_mode::p720 &&
                       NT_SUCCESS(read_registry_dword(L"force_1080i_for_1080_formats", &forced)) &&
                       forced != 0;
    if (mode == video_mode::i1080 || force) {
      img::img_type field = requested;
      field.dim_y = requested.dim_y < 0 ? -LONG(field_lines) : LONG(field_lines);
      return uvc_camera::find_format(raw_type, field, interval);
    }
  }
  return uvc_camera::find_format(raw_type, requested, interval);
}

NTSTATUS camera_8800::on_stream_start() {
  const LONG source = raw_type_.dim_y < 0 ? -raw_type_.dim_y : raw_type_.dim_y;
  const LONG destination = output_type_.dim_y < 0 ? -output_type_.dim_y : output_type_.dim_y;
  weaving_ = 2 * source == destination;
  RtlZeroMemory(&first_field_, sizeof(first_field_));
  replaced_fields_ = 0;
  // One and a half field intervals in the clock of the presentation times.
  const ULONGLONG interval = le32(committed() + uvc_probe::dwFrameInterval);
  const ULONGLONG clock = le32(committed() + uvc_probe::dwClockFrequency);
  const ULONGLONG ticks = interval * clock / 10000000;
  const ULONGLONG gap = ticks + ticks / 2;
  pair_gap_ = gap > MAXULONG ? 0 : ULONG(gap);
  img::img_type woven = raw_type_;
  if (weave_ != nullptr) ExFreePoolWithTag(weave_, pool_tag::objects);  // an open that failed
  weave_ = nullptr;
  weave_length_ = 0;
  if (weaving_) {
    woven = make_img_type_bits(raw_type_.type, raw_type_.dim_x, 2 * source,
                               ULONG(img::get_bits_per_pixel(raw_type_.type)));
    if (woven.buffer_length <= 0 || woven.buffer_length == MAXLONG) return STATUS_INVALID_PARAMETER;
    weave_length_ = ULONG(woven.buffer_length);
    weave_ = static_cast<UCHAR*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, weave_length_, pool_tag::objects));
    if (weave_ == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(weave_, weave_length_);
  }
  NTSTATUS status = pipe_prepare(&pipe_, output_type_, woven);
  if (NT_SUCCESS(status)) status = uvc_camera::on_stream_start();
  return status;
}

void camera_8800::release_first_field() {
  if (first_field_.request != nullptr) release_raw_frame(&first_field_);
  RtlZeroMemory(&first_field_, sizeof(first_field_));
}

// Close, after the worker has stopped: a field still held goes back.
void camera_8800::on_stream_stopped() { release_first_field(); }

NTSTATUS camera_8800::on_stream_stop() {
  release_first_field();
  pipe_release(&pipe_);
  if (weave_ != nullptr) ExFreePoolWithTag(weave_, pool_tag::objects);
  weave_ = nullptr;
  weave_length_ = 0;
  weaving_ = false;
  return uvc_camera::on_stream_stop();
}

// Frame worker, PASSIVE_LEVEL.
NTSTATUS camera_8800::prepare_raw_frame(payload_info* raw) {
  if (!weaving_) return STATUS_SUCCESS;
  if ((raw->header_bits & field_flag) == 0) {
    if (first_field_.request != nullptr) {
      // The second field of the held one never came: that pair is lost.
      release_first_field();
      ++replaced_fields_;
      count(&camera_statistics::p_drops);
    }
    first_field_ = *raw;
    return STATUS_PENDING;
  }
  if (first_field_.request == nullptr) return STATUS_CANCELLED;
  if (pair_gap_ != 0 && first_field_.pts != 0 && raw->pts != 0 &&
      ULONG(raw->pts - first_field_.pts) > pair_gap_) {
    // Fields of two pictures: the held field's partner was lost.
    release_first_field();
    ++replaced_fields_;
    count(&camera_statistics::p_drops);
    return STATUS_CANCELLED;
  }
  return STATUS_SUCCESS;
}

NTSTATUS camera_8800::transform_frame(img::img_descriptor* dst, const img::img_descriptor* src,
                                      UCHAR flip) {
  img::img_descriptor source = *src;
  if (weaving_ && first_field_.request != nullptr) {
    const ULONG row = ULONG(src->pitch < 0 ? -src->pitch : src->pitch);
    const ULONG lines = ULONG(src->dim_y < 0 ? -src->dim_y : src->dim_y);
    // The first field holds the top lines (0, 2, ...) unless its order flag
    // says it holds the bottom ones.
    const bool first_is_bottom = (first_field_.header_bits & order_flag) != 0;
    const UCHAR* top = first_is_bottom ? src->data : first_field_.data;
    const UCHAR* bottom = first_is_bottom ? first_field_.data : src->data;
    const ULONG top_length = first_is_bottom ? ULONG(src->buffer_length) : first_field_.length;
    const ULONG bottom_length = first_is_bottom ? first_field_.length : ULONG(src->buffer_length);
    for (ULONG r = 0; r < 2 * lines && ULONGLONG(r + 1) * row <= weave_length_; ++r) {
      const UCHAR* field = (r & 1) == 0 ? top : bottom;
      const ULONG length = (r & 1) == 0 ? top_length : bottom_length;
      const ULONG offset = (r / 2) * row;
      UCHAR* out = weave_ + ULONGLONG(r) * row;
      if (offset + row <= length) {
        RtlCopyMemory(out, field + offset, row);
      } else {
        RtlZeroMemory(out, row);  // a short field's missing lines
      }
    }
    release_first_field();
    source.dim_y = src->dim_y < 0 ? -LONG(2 * lines) : LONG(2 * lines);
    source.buffer_length = LONG(weave_length_);
    source.data = weave_;
  }
  // The parameters were zeroed when the stream started; only these change.
  img::transform_params& params = pipe_.params;
  params.cpu_features = cpu_features_;
  params.flip_vertical = flip & 1;
  params.scratch_space = pipe_.scratch;
  params.scratch_space_len = LONG(pipe_.scratch_length);
  transform_with_extended_state(*dst, source, params, pipe_.state);
  return STATUS_SUCCESS;
}
