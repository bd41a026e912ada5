// uvc_camera: construction and destruction, init, the driver properties,
// the registry options, the device information, the accessors, the
// interrupt reader and the default virtual operations outside the stream
// and format code. Opening and running the stream is in
// uvc_camera_stream.cpp, the format list in uvc_format_list.cpp, payload
// parsing and frame assembly in uvc_payload.cpp.
#include "uvc/uvc_camera.h"

#include "auto/text_overlay.h"
#include "controls/camera_control.h"
#include "controls/control_registry.h"
#include "img/cpu_features.h"
#include "kernel/mutex_guard.h"
#include "kernel/pool_tags.h"
#include "kernel/registry.h"
#include "uvc/version_banner.h"

namespace {

// The global settings key; values of the same name among the device's own
// values override it.
const WCHAR settings_key_path[] = L"\\Registry\\Machine\\Software\\Talvexa\\usb_driver";

// Host controller stacks from this version on carry USB 3 (BCD).
constexpr ULONG usb3_version = 0x300;

// Processor feature mask of each level of driver property 26 (0: detect).
constexpr ULONG cpu_level_masks[max_cpu_feature_level + 1] = {
    0,      // 0: detected
    0,      // 1: plain code only
    0x3,    // 2: MMX, SSE
    0x7,    // 3: + SSE2
    0x1F,   // 4: + SSE3, SSSE3
    0x3F,   // 5: + SSE4.1
    0x7F,   // 6: + SSE4.2
    0x17F,  // 7: + AVX
    0xB7F,  // 8: + AVX2, FMA
    0xF7F,  // 9: + bit 10
};

// Driver property ids answered by the base class.
constexpr ULONG supported_driver_properties[] = {
    driver_property::show_overlay,      driver_property::drop_incomplete_frames,
    driver_property::firmware_revision, driver_property::raw_control,
    driver_property::force_clear_buffers, driver_property::cycle_port,
    driver_property::reserved_25,       driver_property::cpu_feature_level,
    driver_property::reset_port,
};

}  // namespace

bool parse_hex64(const UNICODE_STRING& text, ULONGLONG* value) {
  const ULONG chars = text.Length / sizeof(WCHAR);
  if (chars == 0 || chars > 16) return false;
  ULONGLONG v = 0;
  for (ULONG i = 0; i < chars; ++i) {
    const WCHAR c = text.Buffer[i];
    ULONG digit;
    if (c >= L'0' && c <= L'9') {
      digit = c - L'0';
    } else if (c >= L'a' && c <= L'f') {
      digit = c - L'a' + 10;
    } else if (c >= L'A' && c <= L'F') {
      digit = c - L'A' + 10;
    } else {
      return false;
    }
    v = (v << 4) | digit;
  }
  *value = v;
  return true;
}

ULONG cpu_feature_mask_of_level(ULONG level) {
  if (level == 0) return img::get_cpu_features();
  return level <= max_cpu_feature_level ? cpu_level_masks[level] : 0;
}

// ---- construction and destruction -----------------------------------------------

uvc_camera::uvc_camera(PDEVICE_OBJECT device_object, frame_sink* sink)
    : raw_flag_(false),
      skip_unchanged_(false),
      commit_sent_(false),
      controls_flag_(false),
      eof_only_(false),
      worker_flag_(false),
      pooled_(false),
      chunked_(false),
      variable_size_(false),
      chunk_size_(0),
      chunk_payload_max_(0),
      chunk_packet_(0),
      raw_type_(),
      output_type_(),
      flip_(0),
      worker_output_type_(),
      worker_flip_(0),
      worker_frame_started_(0),
      frame_interval_(0),
      committed_(),
      descriptors_(nullptr),
      raw_formats_(),
      format_entries_(),
      forced_frame_time_(0),
      show_overlay_(0),
      force_clear_buffers_(0),
      should_reduce_read_count_(0),
      drop_incomplete_(1),
      device_object_(device_object),
      sink_(sink),
      usb_(nullptr),
      data_request_pipe_(nullptr),
      interrupt_reader_(nullptr),
      cpu_features_(0),
      settings_key_(nullptr),
      owned_objects_(),
      control_table_(),
      control_records_(NonPagedPoolNx),
      stream_open_(false),
      work_items_(nullptr),
      in_worker_(0),
      worker_closing_(0),
      slot_(),
      expected_fid_(no_fid),
      last_pts_(0),
      last_header_bits_(0),
      frame_bad_(0),
      data_lost_(0),
      frame_refused_(0),
      pool_starved_(0),
      chunk_state_(chunk_at_start),
      chunk_position_(0),
      chunk_header_(),
      stopped_(1),
      statistics_(),
      byte_count_(0),
      counter_frequency_(0),
      last_statistics_time_(0),
      last_delivered_(0) {
  async_work_.init(device_object);
  frame_worker_.init();
  InitializeListHead(&work_free_);
  KeInitializeSpinLock(&work_free_lock_);
  KeInitializeSpinLock(&assembly_lock_);
  KeInitializeSpinLock(&statistics_lock_);
  KeInitializeMutex(&stream_mutex_, 0);
  frame_pool_.init();
  RtlZeroMemory(overlay_text_, sizeof(overlay_text_));
  RtlZeroMemory(overlay_text_length_, sizeof(overlay_text_length_));
  LARGE_INTEGER frequency;
  KeQueryPerformanceCounter(&frequency);
  counter_frequency_ = frequency.QuadPart;

  usb_ = new (NonPagedPoolNx, pool_tag::objects) usb_device(device_object);
  cpu_features_ = img::get_cpu_features();

  // A missing settings key leaves the handle null: only the device's own
  // values are read then.
  open_registry_key(&settings_key_, nullptr, settings_key_path, registry_read_access);

  // The banner is built wide, as every client sees it, and kept as ANSI for
  // the overlay.
  WCHAR banner[banner_buffer_size / sizeof(WCHAR)];
  UNICODE_STRING banner_text = {0, USHORT(sizeof(banner)), banner};
  if (NT_SUCCESS(build_version_banner(&banner_text))) {
    ULONG& length = overlay_text_length_[overlay_banner];
    char* line = overlay_text_[overlay_banner];
    for (ULONG i = 0; i < banner_text.Length / sizeof(WCHAR) && length + 1 < overlay_text_capacity;
         ++i) {
      const WCHAR c = banner[i];
      line[length++] = c < 0x80 ? char(c) : '?';
    }
    line[length] = 0;
  }

  read_options();
}

// Options that exist keep their value; missing ones keep the defaults.
void uvc_camera::read_options() {
  ULONG value = 0;
  if (NT_SUCCESS(read_registry_dword(L"show_overlay", &value))) show_overlay_ = value != 0;
  if (NT_SUCCESS(read_registry_dword(L"force_clear_buffers", &value))) {
    force_clear_buffers_ = value != 0;
  }
  if (NT_SUCCESS(read_registry_dword(L"drop_incomple_frames", &value))) {
    drop_incomplete_ = value != 0;
  }
}

// The device frame closes the stream before it destroys the camera; a stream
// still open is closed here all the same, so that the sink gets its buffer
// back and nothing runs on a camera that is going away.
uvc_camera::~uvc_camera() {
  if (stream_open_) {
    close_stream();
  }
  stop_interrupt_reader();
  if (descriptors_ != nullptr) {
    ExFreePoolWithTag(descriptors_, pool_tag::objects);
    descriptors_ = nullptr;
  }
  // The reader goes before the usb_device: its pipe lives in the device's
  // interface copy.
  if (data_request_pipe_ != nullptr) {
    data_request_pipe_->stop();
    delete data_request_pipe_;
    data_request_pipe_ = nullptr;
  }
  delete usb_;
  usb_ = nullptr;
  for (camera_owned_object* object : owned_objects_) {
    delete object;
  }
  owned_objects_.reset();
  stop_frame_worker();
  async_work_.close();
  if (settings_key_ != nullptr) {
    ZwClose(settings_key_);
    settings_key_ = nullptr;
  }
  frame_pool_.free_all();
  free_work_items();
}

NTSTATUS uvc_camera::add_owned_object(camera_owned_object* object) {
  if (object == nullptr) return STATUS_INVALID_PARAMETER;
  return owned_objects_.append(object);
}

// ---- init ------------------------------------------------------------------------

NTSTATUS uvc_camera::init() {
  if (usb_ == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (descriptors_ != nullptr) {
    return STATUS_INVALID_DEVICE_STATE;  // initialised already
  }
  NTSTATUS status = usb_->init();
  if (!NT_SUCCESS(status)) {
    return status;
  }
  descriptors_ = static_cast<uvc_descriptor_set*>(
      ExAllocatePoolWithTag(PagedPool, sizeof(uvc_descriptor_set), pool_tag::objects));
  if (descriptors_ == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  // The probe state the device starts with; a device that does not answer
  // is still negotiated with at open.
  probe_commit_request(device_object_, uvc_probe::probe, uvc_request_code::get_cur, committed_);

  if (!parse_uvc_descriptors(descriptors_, usb_->configuration_bytes(),
                             usb_->configuration_descriptor_length())) {
    ExFreePoolWithTag(descriptors_, pool_tag::objects);
    descriptors_ = nullptr;
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }

  // The control records of the units just found, and the standard controls
  // bound to them at level 0; families add theirs in on_init_begin.
  status = build_control_list(this);
  if (!NT_SUCCESS(status)) {
    return status;
  }

  status = on_init_begin();
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = build_format_list();
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = on_init_end();
  const ULONG firmware = get_firmware_revision();

  const bool usb3 = usb_->host_usb_version() >= usb3_version;
  should_reduce_read_count_ = usb3 ? 0 : 1;
  ULONG value = 0;
  if (NT_SUCCESS(read_registry_dword(L"should_reduce_read_count", &value))) {
    should_reduce_read_count_ = value != 0;
  }

  ansi_text line(overlay_text_[overlay_firmware], overlay_text_capacity);
  line.append("firmware_rev=");
  line.append_decimal(LONG(firmware));
  line.append(", is_usb3_supported=");
  line.append_decimal(usb3 ? 1 : 0);
  overlay_text_length_[overlay_firmware] = line.length();

  // The values saved by earlier sessions (device values first, then the
  // settings key) go to the camera now, so settings survive restarts.
  apply_defaults(this, registry_value_provider(this));
  return status;
}

NTSTATUS uvc_camera::restore_controls() {
  // After power-up the camera has lost what it was told: driver-held
  // records are read from the camera again before their values count, and
  // every control writes its value back.
  for (uvc_control_record& record : control_records_) {
    record.read_once = 0;
  }
  commit_sent_ = false;  // nor does it keep the committed format
  return restore_registered_controls(this);
}

// ---- default virtual operations ----------------------------------------------------

NTSTATUS uvc_camera::get_device_info(camera_device_info* info) {
  if (info == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  RtlZeroMemory(info, sizeof(*info));
  info->vendor_id = id_vendor();
  // A string the device does not have stays empty.
  UNICODE_STRING text = {0, USHORT(sizeof(info->manufacturer)), info->manufacturer};
  get_string(usb_string_manufacturer, &text);
  text = {0, USHORT(sizeof(info->product)), info->product};
  get_string(usb_string_product, &text);
  WCHAR serial[16];
  text = {0, USHORT(sizeof(serial)), serial};
  const NTSTATUS status = get_string(usb_string_serial_number, &text);
  ULONGLONG serial_number = 0;
  if ((NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) && parse_hex64(text, &serial_number)) {
    info->serial_number = serial_number;
  }
  info->model_code = 4;
  info->colour_code = 0;
  info->product_id = id_product();
  info->firmware_revision = get_firmware_revision();
  return STATUS_SUCCESS;
}

bool uvc_camera::is_driver_property_supported(ULONG id) {
  for (ULONG supported : supported_driver_properties) {
    if (supported == id) return true;
  }
  return false;
}

NTSTATUS uvc_camera::set_driver_property(ULONG id, PVOID buffer, ULONG size) {
  if (id == driver_property::raw_control) {
    return raw_control_set(device_object_, buffer, size);
  }
  if (size < sizeof(ULONG)) {
    return STATUS_NOT_IMPLEMENTED;
  }
  if (buffer == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG value;
  RtlCopyMemory(&value, buffer, sizeof(value));
  return set_driver_property_value(id, value);
}

NTSTATUS uvc_camera::set_driver_property_value(ULONG id, ULONG value) {
  switch (id) {
    case driver_property::show_overlay:
      show_overlay_ = value != 0;
      return STATUS_SUCCESS;
    case driver_property::drop_incomplete_frames:
      drop_incomplete_ = value != 0;
      return STATUS_SUCCESS;
    case driver_property::force_clear_buffers: {
      force_clear_buffers_ = value != 0;
      // Under the stream mutex: close_stream may be destroying the reader.
      mutex_guard lock(&stream_mutex_);
      if (data_request_pipe_ != nullptr) {
        data_request_pipe_->set_clear_buffers(force_clear_buffers_ != 0);
      }
      return STATUS_SUCCESS;
    }
    case driver_property::cycle_port:
      commit_sent_ = false;  // the device starts afresh
      return cycle_port(device_object_);
    case driver_property::reserved_25:
      return STATUS_SUCCESS;
    case driver_property::cpu_feature_level:
      if (value > max_cpu_feature_level) {
        return STATUS_INVALID_PARAMETER;
      }
      cpu_features_ = cpu_feature_mask_of_level(value);
      return STATUS_SUCCESS;
    case driver_property::reset_port:
      commit_sent_ = false;
      return reset_port(device_object_);
    default:
      return STATUS_NOT_IMPLEMENTED;
  }
}

NTSTATUS uvc_camera::get_driver_property(ULONG id, PVOID input, ULONG input_size, PVOID output,
                                         ULONG output_size, ULONG* returned) {
  ULONG dummy = 0;
  if (returned == nullptr) returned = &dummy;
  *returned = 0;
  if (id == driver_property::raw_control) {
    return raw_control_get(device_object_, input, input_size, output, output_size, returned);
  }
  if (output_size < sizeof(ULONG)) {
    return STATUS_NOT_IMPLEMENTED;
  }
  if (output == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG value = 0;
  const NTSTATUS status = get_driver_property_value(id, &value);
  if (NT_SUCCESS(status)) {
    RtlCopyMemory(output, &value, sizeof(value));
    *returned = sizeof(value);
  }
  return status;
}

NTSTATUS uvc_camera::get_driver_property_value(ULONG id, ULONG* value) {
  if (value == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  switch (id) {
    case driver_property::show_overlay:
      *value = show_overlay_;
      return STATUS_SUCCESS;
    case driver_property::drop_incomplete_frames:
      *value = drop_incomplete_;
      return STATUS_SUCCESS;
    case driver_property::firmware_revision:
      *value = get_firmware_revision();
      return STATUS_SUCCESS;
    case driver_property::force_clear_buffers:
      *value = force_clear_buffers_;
      return STATUS_SUCCESS;
    case driver_property::reserved_25:
      *value = 0;
      return STATUS_SUCCESS;
    case driver_property::cpu_feature_level: {
      // The highest level whose features are all enabled.
      const ULONG mask = cpu_features_;
      *value = 1;
      for (ULONG level = max_cpu_feature_level; level >= 2; --level) {
        if ((mask & cpu_level_masks[level]) == cpu_level_masks[level]) {
          *value = level;
          break;
        }
      }
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_NOT_IMPLEMENTED;
  }
}

NTSTATUS uvc_camera::get_frame_intervals(const raw_format_record*, PVOID, ULONG, LONGLONG*,
                                         ULONG*) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS uvc_camera::on_init_begin() { return STATUS_SUCCESS; }

NTSTATUS uvc_camera::on_init_end() { return STATUS_SUCCESS; }

NTSTATUS uvc_camera::on_transfer_start() { return STATUS_SUCCESS; }

NTSTATUS uvc_camera::build_probe_control(const raw_format_record* record, LONGLONG interval,
                                         UCHAR* probe, const img::img_type&) {
  if (record == nullptr || probe == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  // dwFrameInterval is 32 bits; a longer or negative request is clamped.
  const ULONG frame_interval =
      interval < 0 ? 0 : interval > LONGLONG(MAXULONG) ? MAXULONG : ULONG(interval);
  put_le16(probe + uvc_probe::bmHint, 1);  // keep the frame interval
  probe[uvc_probe::bFormatIndex] = UCHAR(record->format_index);
  probe[uvc_probe::bFrameIndex] = UCHAR(record->frame_index);
  put_le32(probe + uvc_probe::dwFrameInterval, frame_interval);
  return STATUS_SUCCESS;
}

void uvc_camera::on_format_selected() {}

ULONG uvc_camera::get_bulk_transfer_size(const UCHAR* committed, ULONG raw_buffer_length,
                                         const USBD_PIPE_INFORMATION*) {
  const ULONG max_frame = le32(committed + uvc_probe::dwMaxVideoFrameSize);
  // One transfer for the whole frame and its header when the device's frame
  // is no larger; otherwise what the device sends per transfer.
  if (raw_buffer_length <= MAXULONG - 12 && raw_buffer_length + 12 < max_frame) {
    return raw_buffer_length + 12;
  }
  return le32(committed + uvc_probe::dwMaxPayloadTransferSize);
}

ULONG uvc_camera::get_iso_payload_size(const UCHAR* committed, ULONG) {
  return le32(committed + uvc_probe::dwMaxPayloadTransferSize);
}

ULONG uvc_camera::get_firmware_revision() { return 0; }

// ---- options, strings and units -----------------------------------------------------

NTSTATUS uvc_camera::read_registry_dword(PCWSTR name, ULONG* value) {
  if (value == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  bool found = false;
  ULONG v = 0;
  // query_registry_dword refuses anything but a REG_DWORD of at most 4 bytes.
  if (settings_key_ != nullptr && NT_SUCCESS(query_registry_dword(settings_key_, name, &v))) {
    *value = v;
    found = true;
  }
  if (device_object_ != nullptr && NT_SUCCESS(read_driver_dword(device_object_, name, &v))) {
    *value = v;
    found = true;
  }
  return found ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS uvc_camera::read_registry_string(PCWSTR name, PUNICODE_STRING value) {
  if (value == nullptr || value->Buffer == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  // A value that exists but does not fit reports STATUS_BUFFER_OVERFLOW;
  // the device's value decides whenever it exists.
  NTSTATUS result = STATUS_OBJECT_NAME_NOT_FOUND;
  if (settings_key_ != nullptr) {
    const NTSTATUS status = query_registry_string(settings_key_, name, value);
    if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) result = status;
  }
  if (device_object_ != nullptr) {
    const NTSTATUS status = read_driver_string(device_object_, name, value);
    if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) result = status;
  }
  return result;
}

USHORT uvc_camera::id_vendor() const { return usb_ != nullptr ? usb_->id_vendor() : 0; }

USHORT uvc_camera::id_product() const { return usb_ != nullptr ? usb_->id_product() : 0; }

NTSTATUS uvc_camera::get_string(ULONG selector, PUNICODE_STRING text) {
  if (usb_ == nullptr) {
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }
  return usb_->get_string(selector, text);
}

bool uvc_camera::camera_terminal_id(UCHAR* id) const {
  return find_unit_id(descriptors_, uvc_kind_camera_terminal, id);
}

bool uvc_camera::processing_unit_id(UCHAR* id) const {
  return find_unit_id(descriptors_, uvc_kind_processing_unit, id);
}

bool uvc_camera::extension_unit_id(UCHAR* id) const {
  return find_unit_id(descriptors_, uvc_kind_extension_unit, id);
}

const UCHAR* uvc_camera::find_extension_unit(const GUID& guid, ULONG control_bit) const {
  return ::find_extension_unit(descriptors_, guid, control_bit);
}

// ---- interrupt endpoint --------------------------------------------------------------

NTSTATUS uvc_camera::start_interrupt_reader() {
  if (interrupt_reader_ != nullptr) {
    return STATUS_SUCCESS;
  }
  USBD_INTERFACE_INFORMATION* info =
      usb_ != nullptr ? usb_->get_interface_info(control_interface) : nullptr;
  if (info == nullptr || info->NumberOfPipes == 0 ||
      info->Pipes[0].PipeType != UsbdPipeTypeInterrupt) {
    return STATUS_NOT_SUPPORTED;
  }
  bulk_reader* reader = bulk_reader::create(device_object_, 0, interrupt_callback, this);
  if (reader == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  const NTSTATUS status = reader->start(&info->Pipes[0], interrupt_request_count);
  if (!NT_SUCCESS(status)) {
    delete reader;
    return status;
  }
  interrupt_reader_ = reader;
  return STATUS_SUCCESS;
}

void uvc_camera::stop_interrupt_reader() {
  if (interrupt_reader_ != nullptr) {
    interrupt_reader_->stop();
    delete interrupt_reader_;
    interrupt_reader_ = nullptr;
  }
}

// DISPATCH_LEVEL, in the interrupt reader's completion routine. A loss
// report (data null) carries nothing a family could read.
NTSTATUS uvc_camera::interrupt_callback(PVOID, PVOID context, PUCHAR data, ULONG length) {
  if (data == nullptr) {
    return STATUS_SUCCESS;
  }
  static_cast<uvc_camera*>(context)->on_interrupt_data(data, length);
  return STATUS_SUCCESS;
}

// Pooled streams (the worker flag, or a bulk pipe cut into chunks) deliver
// only through the frame worker, so it runs for every one of them.
NTSTATUS uvc_camera::on_stream_start() {
  NTSTATUS status = async_work_.open();
  if (NT_SUCCESS(status) && (worker_flag_ || pooled_)) {
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
    count(&camera_statistics::no_buffer_count);
    count(&camera_statistics::q_drops);
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
    KIRQL irql;
    KeAcquireSpinLock(&statistics_lock_, &irql);
    const ULONGLONG delivered = ++statistics_.frames_delivered;
    const ULONGLONG p_drops = statistics_.p_drops;
    KeReleaseSpinLock(&statistics_lock_, irql);
    sink_->frame_done(slot->sink_frame, STATUS_SUCCESS, p_drops, delivered, slot->filled);
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
    count(&camera_statistics::p_drops);
  }
}

void uvc_camera::on_stream_stopped() {}

NTSTATUS uvc_camera::process_raw_transfer(PUCHAR, ULONG) { return STATUS_SUCCESS; }

void uvc_camera::set_loop_overlay_line(const char* text) {
  ULONG length = 0;
  char* line = overlay_text_[overlay_loops];
  for (; text != nullptr && text[length] != 0 && length + 1 < overlay_text_capacity; ++length) {
    line[length] = text[length];
  }
  line[length] = 0;
  overlay_text_length_[overlay_loops] = length;
}

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
  // Direct mode completes frames under the assembly lock, which guards
  // output_type_; worker modes complete them on the worker, with its copy.
  const bool on_worker = worker_flag_ || pooled_;
  const img::img_type& type = on_worker ? worker_output_type_ : output_type_;
  if (type.buffer_length <= 0 || slot->capacity < ULONG(type.buffer_length)) {
    return;
  }
  img::img_descriptor image = {};
  static_cast<img::img_type&>(image) = type;
  image.data = slot->data;
  const int scale = type.dim_y / 1024 + 1;
  const bool bottom_up = (on_worker ? worker_flip_ : flip_) != 0;
  const int x = img::statistics_text_x;

  camera_statistics now;
  get_statistics(&now);
  img::statistics_line line = {};
  line.frame_number = LONG64(now.frames_delivered + now.p_drops + now.q_drops);
  line.id = slot->fid;
  line.dropped_p = LONG64(now.p_drops);
  line.dropped_q = LONG64(now.q_drops);
  line.fps_whole = int(now.fps_x100 / 100);
  line.fps_hundredths = int(now.fps_x100 % 100);
  line.pts = LONG(slot->pts);
  line.bps = LONG64(now.bytes_per_second);
  char statistics[100];
  img::format_statistics_line(statistics, sizeof(statistics), line);

  const char* lines[5] = {overlay_text_[overlay_banner], overlay_text_[overlay_firmware],
                          statistics, overlay_text_[overlay_custom], overlay_text_[overlay_loops]};
  int row = 0;
  for (int i = 0; i < 5; ++i) {
    if (i == 3 && overlay_text_length_[overlay_custom] <= 1) continue;
    if (i == 4 && overlay_text_length_[overlay_loops] == 0) continue;
    img::draw_text(image, x, img::statistics_text_y(row++, scale), scale, lines[i],
                   img::statistics_background, img::statistics_foreground, bottom_up);
  }
}

// ---- statistics ----------------------------------------------------------------
// Every counter and rate is written under statistics_lock_, from the data
// path (inside the assembly lock) and from the frame worker alike, so a
// snapshot is never torn and no update is lost between the two.

void uvc_camera::count(ULONGLONG camera_statistics::*counter) {
  KIRQL irql;
  KeAcquireSpinLock(&statistics_lock_, &irql);
  ++(statistics_.*counter);
  KeReleaseSpinLock(&statistics_lock_, irql);
}

ULONGLONG uvc_camera::statistic(ULONGLONG camera_statistics::*counter) {
  camera_statistics now;
  get_statistics(&now);
  return now.*counter;
}

void uvc_camera::get_statistics(camera_statistics* statistics) {
  KIRQL irql;
  KeAcquireSpinLock(&statistics_lock_, &irql);
  *statistics = statistics_;
  KeReleaseSpinLock(&statistics_lock_, irql);
}

// complete_frame, with show_overlay_ on: the rates over the last period,
// recomputed once the period has passed.
void uvc_camera::update_statistics() {
  const LONGLONG now = KeQueryPerformanceCounter(nullptr).QuadPart;
  if (counter_frequency_ <= 0) {
    return;
  }
  KIRQL irql;
  KeAcquireSpinLock(&statistics_lock_, &irql);
  const ULONGLONG elapsed_ms = ULONGLONG(now - last_statistics_time_) * 1000 / ULONGLONG(counter_frequency_);
  if (elapsed_ms > statistics_period_ms) {
    statistics_.fps_x100 = ULONG((statistics_.frames_delivered - last_delivered_) * 100000 / elapsed_ms);
    // 64-bit sums: several seconds of a fast stream exceed 32 bits.
    statistics_.bytes_per_second = byte_count_ * 1000 / elapsed_ms;
    byte_count_ = 0;
    last_statistics_time_ = now;
    last_delivered_ = statistics_.frames_delivered;
  }
  KeReleaseSpinLock(&statistics_lock_, irql);
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
