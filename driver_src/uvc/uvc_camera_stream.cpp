// uvc_camera_stream: the stream operations of the camera: format selection
// and negotiation, the choice of the bulk or isochronous pipe and of the
// assembly mode, run, pause, close and the format change while running.
//
// All of it runs at PASSIVE_LEVEL under the stream mutex. Order matters at
// close: the data reader is stopped while the frame worker still runs
// (stopping the reader waits for the requests the consumer holds, and the
// worker is what gives them back), and nothing that waits is called with
// the assembly spin lock held.
#include "uvc/uvc_camera.h"

#include "kernel/mutex_guard.h"
#include "usb/iso_reader.h"
#include "usb/usb_utils.h"

namespace {

// Bulk transfer sizes the USB stack accepts when the pipe does not say:
// Windows Vista and later, and earlier systems.
constexpr ULONG max_bulk_transfer_vista = 0x400000;
constexpr ULONG max_bulk_transfer_legacy = 0x310000;
constexpr ULONG ntddi_vista = 0x06000000;

// Formats whose planes have a pitch of their own (img::make_img_type).
bool has_planar_pitch(ULONG fourcc) {
  return fourcc == img::FOURCC_I420 || fourcc == img::FOURCC_YV16 ||
         fourcc == img::FOURCC_YUV8PLANAR || fourcc == img::FOURCC_YUV16PLANAR ||
         fourcc == img::FOURCC_YUVF32PLANAR;
}

LONG clamp_to_long(LONGLONG value) {
  if (value > MAXLONG) return MAXLONG;
  if (value < -MAXLONG - 1) return -MAXLONG - 1;
  return LONG(value);
}

LONG absolute(LONG value) { return value < 0 ? clamp_to_long(-LONGLONG(value)) : value; }

}  // namespace

img::img_type make_img_type_bits(ULONG fourcc, LONG width, LONG height, ULONG bit_count) {
  if (has_planar_pitch(fourcc)) {
    return img::make_img_type(fourcc, width, height);
  }
  const LONG pitch = clamp_to_long(LONGLONG(width) * LONGLONG(bit_count) / 8);
  return img::make_img_type_with_pitch(fourcc, width, height, pitch);
}

// The output type the client's format asks for:
//   FOURCC: the compression code; for 0, "RGB4" at 32 bits, "RGB3" at 24,
//     otherwise "Y800" with the given bit count;
//   size: the source rectangle's when both sides are set, else the bitmap's
//     (absolute values);
//   pitch: by make_img_type_bits, or bitmap width x bit count / 8 when the
//     image is narrower or wider than the bitmap (the buffer length then
//     follows that pitch, so it always covers every line);
//   flip: a negative bitmap height of an RGB format.
NTSTATUS uvc_camera::select_output_format(const KS_VIDEOINFOHEADER* format, img::img_type* output,
                                          UCHAR* flip) const {
  if (format == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  const KS_BITMAPINFOHEADER& bitmap = format->bmiHeader;
  const ULONG bit_count = bitmap.biBitCount;
  ULONG fourcc = bitmap.biCompression;
  if (fourcc == 0) {
    fourcc = bit_count == 32 ? img::FOURCC_RGB32 : bit_count == 24 ? img::FOURCC_RGB24 : img::FOURCC_Y800;
  }
  const RECT& source = format->rcSource;
  const LONG source_width = clamp_to_long(LONGLONG(source.right) - source.left);
  const LONG source_height = clamp_to_long(LONGLONG(source.bottom) - source.top);
  LONG width = absolute(bitmap.biWidth);
  LONG height = absolute(bitmap.biHeight);
  if (source_width != 0 && source_height != 0) {
    width = source_width;
    height = source_height;
  }
  img::img_type type = make_img_type_bits(fourcc, width, height, bit_count);
  if (width != bitmap.biWidth) {
    const LONG pitch = clamp_to_long(LONGLONG(bitmap.biWidth) * LONGLONG(bit_count) / 8);
    type = img::make_img_type_with_pitch(fourcc, width, height, pitch);
  }
  *output = type;
  *flip = (bitmap.biHeight < 0 && (fourcc == img::FOURCC_RGB24 || fourcc == img::FOURCC_RGB32 ||
                                   fourcc == img::FOURCC_RGB8))
              ? 1
              : 0;
  return STATUS_SUCCESS;
}

// ---- open --------------------------------------------------------------------------

NTSTATUS uvc_camera::open_stream(const KS_VIDEOINFOHEADER* format) {
  mutex_guard lock(&stream_mutex_);
  if (stream_open_ || descriptors_ == nullptr || usb_ == nullptr) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  img::img_type output = {};
  UCHAR flip = 0;
  NTSTATUS status = select_output_format(format, &output, &flip);
  if (!NT_SUCCESS(status)) {
    return status;
  }

  // Format and negotiation; nothing is opened yet, so a failure here leaves
  // nothing to undo.
  const LONGLONG interval = format->AvgTimePerFrame;
  img::img_type raw = {};
  const raw_format_record* record = find_format(&raw, output, interval);
  if (record == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  UCHAR desired[uvc_probe::size] = {};
  status = build_probe_control(record, interval, desired, raw);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = negotiate_stream_format(device_object_, desired,
                                   skip_unchanged_ && commit_sent_ ? TRUE : FALSE,
                                   committed_);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  commit_sent_ = true;
  frame_interval_ = interval;
  variable_size_ = is_variable_size_format(record);
  raw_type_ = raw;
  output_type_ = output;
  flip_ = flip;
  on_format_selected();

  // The pipe: bulk when the streaming interface has no alternate setting to
  // choose, or a single one that is not isochronous.
  chunked_ = false;
  pooled_ = false;
  chunk_size_ = 0;
  chunk_payload_max_ = 0;
  chunk_packet_ = 0;
  const uvc_descriptor_set& set = *descriptors_;
  const bool bulk =
      set.alternate_count == 0 || (set.alternate_count == 1 && set.alternates[0].is_isochronous == 0);
  bool chunked = false;
  status = bulk ? open_bulk_pipe(&chunked) : open_iso_pipe();
  if (NT_SUCCESS(status)) {
    ASSERTMSG("data_request_pipe_ != 0", data_request_pipe_ != nullptr);
    // Counters, the slot, the mode flags and, when pooled, the frame pool.
    status = open_assembly(chunked);
  }
  if (NT_SUCCESS(status)) {
    status = on_stream_start();
  }
  if (NT_SUCCESS(status)) {
    stream_open_ = true;
  } else {
    teardown_stream();
  }
  return status;
}

// Interface 1's first pipe. A transfer size above what the stack moves in
// one request is cut, and the frame then arrives in chunks.
NTSTATUS uvc_camera::open_bulk_pipe(bool* chunked) {
  USBD_INTERFACE_INFORMATION* info = usb_->get_interface_info(streaming_interface);
  if (info == nullptr || info->NumberOfPipes == 0) {
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  const USBD_PIPE_INFORMATION* pipe = &info->Pipes[0];
  const ULONG raw_length = raw_type_.buffer_length > 0 ? ULONG(raw_type_.buffer_length) : 0;
  ULONG size = get_bulk_transfer_size(committed_, raw_length, pipe);
  ULONG limit;
  if (RtlIsNtDdiVersionAvailable(ntddi_vista)) {
    limit = size > pipe->MaximumTransferSize ? pipe->MaximumTransferSize : max_bulk_transfer_vista;
  } else {
    limit = max_bulk_transfer_legacy;
  }
  *chunked = false;
  if (size > limit) {
    size = limit;
    *chunked = true;
    // Where payloads end in the transfers (uvc_payload.cpp, chunked_step).
    chunk_size_ = size;
    chunk_payload_max_ = le32(committed_ + uvc_probe::dwMaxPayloadTransferSize);
    chunk_packet_ = pipe->MaximumPacketSize;
  }
  data_request_pipe_ = bulk_reader::create(device_object_, size, data_callback, this);
  return data_request_pipe_ != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

// The smallest alternate setting that carries what the stream needs per
// (micro)frame. wMaxPacketSize counts the additional transactions of a
// high-bandwidth endpoint in bits 11-12, so a setting is measured by the
// bytes it moves per interval; one whose pipe turns out smaller than its
// descriptor promised is passed over for the next.
NTSTATUS uvc_camera::open_iso_pipe() {
  const ULONG raw_length = raw_type_.buffer_length > 0 ? ULONG(raw_type_.buffer_length) : 0;
  const ULONG required = get_iso_payload_size(committed_, raw_length);
  const uvc_descriptor_set& set = *descriptors_;
  bool selected = false;
  for (ULONG i = 0; i < set.alternate_count && i < uvc_max_alternate_settings && !selected; ++i) {
    const uvc_alternate_setting& alternate = set.alternates[i];
    if (uvc_packet_bytes_per_interval(alternate.max_packet_size) < required) {
      continue;
    }
    if (!NT_SUCCESS(usb_->select_alternate_setting(streaming_interface,
                                                   alternate.alternate_setting))) {
      continue;
    }
    const USBD_INTERFACE_INFORMATION* info = usb_->get_interface_info(streaming_interface);
    selected = info != nullptr && info->NumberOfPipes > 0 &&
               info->Pipes[0].MaximumPacketSize >= required;
  }
  if (!selected) {
    // teardown_stream gives back whatever alternate setting was tried last.
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  data_request_pipe_ = iso_reader::create(device_object_, data_callback, this);
  return data_request_pipe_ != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

// ---- run and pause -------------------------------------------------------------------

NTSTATUS uvc_camera::run_stream() {
  mutex_guard lock(&stream_mutex_);
  return run_stream_locked();
}

NTSTATUS uvc_camera::run_stream_locked() {
  // Run counters and statistics from zero, expected FID 255, stopped := 0.
  run_assembly();
  NTSTATUS status = on_transfer_start();
  if (NT_SUCCESS(status)) {
    USBD_INTERFACE_INFORMATION* info =
        usb_ != nullptr ? usb_->get_interface_info(streaming_interface) : nullptr;
    if (info == nullptr || info->NumberOfPipes == 0 || data_request_pipe_ == nullptr) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      data_request_pipe_->set_clear_buffers(force_clear_buffers_ != 0);
      status = data_request_pipe_->start(&info->Pipes[0], stream_request_count);
    }
  }
  if (!NT_SUCCESS(status)) {
    stop_assembly();  // not running after all
  }
  return status;
}

NTSTATUS uvc_camera::pause_stream(bool run) {
  mutex_guard lock(&stream_mutex_);
  if (!stream_open_) {
    return run ? STATUS_INVALID_DEVICE_STATE : STATUS_SUCCESS;
  }
  if (run) {
    return run_stream_locked();
  }
  // Every callback from here on retires its request; stop then waits for
  // the requests the worker still holds. The reader stays for the next run.
  stop_assembly();
  return data_request_pipe_ != nullptr ? data_request_pipe_->stop() : STATUS_SUCCESS;
}

// ---- close -----------------------------------------------------------------------------

NTSTATUS uvc_camera::close_stream() {
  mutex_guard lock(&stream_mutex_);
  if (!stream_open_) {
    return STATUS_SUCCESS;
  }
  teardown_stream();
  return STATUS_SUCCESS;
}

bool uvc_camera::is_variable_size_format(const raw_format_record* record) const {
  if (fourcc_from_subtype(record->subtype) == img::FOURCC_MJPG) {
    return true;
  }
  for (ULONG i = 0; descriptors_ != nullptr && i < descriptors_->format_count; ++i) {
    const uvc_format_slot& slot = descriptors_->formats[i];
    if (slot.format != nullptr && slot.format[uvc_desc::bFormatIndex] == record->format_index) {
      return slot.subtype == uvc_desc::vs_format_mjpeg ||
             slot.subtype == uvc_desc::vs_format_frame_based;
    }
  }
  return false;
}

// Close, and the undo of a failed open: whatever exists is stopped and freed.
// Stream mutex held.
void uvc_camera::teardown_stream() {
  stop_assembly();
  if (data_request_pipe_ != nullptr) {
    // The worker still runs and gives back the requests it holds.
    data_request_pipe_->stop();
    delete data_request_pipe_;
    data_request_pipe_ = nullptr;
  }
  // An isochronous alternate setting reserves bus bandwidth; setting 0 has
  // none.
  USBD_INTERFACE_INFORMATION* info =
      usb_ != nullptr ? usb_->get_interface_info(streaming_interface) : nullptr;
  if (info != nullptr && info->NumberOfPipes > 0 &&
      info->Pipes[0].PipeType == UsbdPipeTypeIsochronous) {
    usb_->select_alternate_setting(streaming_interface, 0);
  }
  // Worker, on_stream_stopped, the client buffer of the slot, pool and work
  // items.
  close_assembly();
  stream_open_ = false;
  on_stream_stop();
}

// ---- format change while running ---------------------------------------------------

void uvc_camera::update_output_format(const KS_VIDEOINFOHEADER* format) {
  img::img_type output = {};
  UCHAR flip = 0;
  if (!NT_SUCCESS(select_output_format(format, &output, &flip))) {
    return;
  }
  // The direct path reads the output type under the assembly lock.
  mutex_guard lock(&stream_mutex_);
  KIRQL irql;
  KeAcquireSpinLock(&assembly_lock_, &irql);
  output_type_ = output;
  flip_ = flip;
  KeReleaseSpinLock(&assembly_lock_, irql);
}
