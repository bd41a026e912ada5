// camera_82xx: colour detection, the "YUY2" container, formats and frame
// rates, controls, driver properties, streaming and the frame transform of
// the 0x82xx cameras (see the header). The subclasses are in
// camera_8201.cpp ... camera_8208.cpp.
#include "cameras/camera_82xx.h"

#include "avstream/data_range.h"
#include "cameras/camera_83xx.h"
#include "cameras/defect_list.h"
#include "controls/control_registry.h"
#include "controls/vendor_controls.h"
#include "features/camera_features.h"
#include "kernel/pool_tags.h"
#include "kernel/registry.h"
#include "usb/control_request.h"

namespace {

constexpr USHORT colour_register = 26;  // vendor IN request 0x00, 1 byte
constexpr UCHAR colour_bit = 0x02;
constexpr UCHAR vendor_register_request = 0x00;
constexpr UCHAR firmware_register = 45;     // camera terminal, 32-bit
constexpr UCHAR capability_register = 32;   // camera terminal, 32-bit
constexpr ULONG capability_focus = 0x4000;  // the terminal's focus register exists
constexpr UCHAR focus_register = 65;        // camera terminal, 32-bit raw value
constexpr ULONG terminal_exposure_absolute = 4;  // camera terminal, 100 us
constexpr ULONG processing_unit_gain = 4;
constexpr ULONG control_block_selector = 9;  // sensor extension unit: the sensor's code
constexpr ULONG max_pattern = 3;
constexpr ULONG header_room = 12;  // the longest payload header a camera sends

bool out_of_memory(NTSTATUS status) { return status == STATUS_INSUFFICIENT_RESOURCES; }

ULONG absolute(LONG v) { return ULONG(v < 0 ? -v : v); }

}  // namespace

camera_82xx::camera_82xx(PDEVICE_OBJECT device_object, frame_sink* sink)
    : uvc_camera(device_object, sink),
      colour_detected_(false),
      colour_(false),
      configured_(false),
      pattern_(img::bayer_bggr),
      empia_pattern_fix_(0),
      smooth_2x2_(0),
      balance_flags_(0),
      temperature_table_index_(-1),
      interrupt_frame_drop_(true),
      terminal_focus_(false),
      firmware_revision_(0),
      first_width_(0),
      first_height_(0),
      window_first_record_(MAXULONG),
      window_(nullptr),
      defects_(nullptr),
      frame_offset_x_(0),
      frame_offset_y_(0),
      frame_binning_(1),
      documents_(),
      pipeline_() {
  worker_flag_ = true;
  // An unchanged format is not negotiated again: the window registers the
  // camera has been given stay as they are.
  skip_unchanged_ = true;
}

camera_82xx::~camera_82xx() {
  // The stream (the worker, the write queue and the interrupt reader) goes
  // first, while the pipeline still exists.
  close_stream();
  stop_interrupt_reader();
}

// ---- the three slots of the family ------------------------------------------------------

NTSTATUS camera_82xx::configure_sensor() { return STATUS_SUCCESS; }

bool camera_82xx::wants_feature_defaults() { return false; }

NTSTATUS camera_82xx::get_frame_rate_table(ULONG, frame_rate_entry*, ULONG* count) {
  if (count != nullptr) *count = 0;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS camera_82xx::copy_rate_table(const frame_rate_entry* source, ULONG source_count,
                                      frame_rate_entry* table, ULONG* count) {
  if (count == nullptr) return STATUS_INVALID_PARAMETER;
  const ULONG capacity = table != nullptr ? *count : 0;
  *count = source_count;
  if (capacity < source_count) return STATUS_BUFFER_TOO_SMALL;
  for (ULONG i = 0; i < source_count; ++i) table[i] = source[i];
  return STATUS_SUCCESS;
}

NTSTATUS camera_82xx::configure(ULONG flags, bool colour, LONG pattern) {
  colour_ = colour;
  if (pattern >= 0 && ULONG(pattern) <= max_pattern) InterlockedExchange(&pattern_, pattern);
  balance_flags_ = flags;
  configured_ = true;
  empia_pattern_fix_ = (flags & sensor_flag::empia_pattern_fix) != 0 ? 1 : 0;
  ULONG value = 0;
  if (NT_SUCCESS(read_registry_dword(L"force_empia_pattern_fix", &value))) {
    empia_pattern_fix_ = value != 0 ? 1 : 0;
  }
  return STATUS_SUCCESS;
}

// ---- device information and driver properties ------------------------------------------------

NTSTATUS camera_82xx::get_device_info(camera_device_info* info) {
  const NTSTATUS status = uvc_camera::get_device_info(info);
  if (NT_SUCCESS(status)) {
    info->model_code = model_code;
    info->colour_code = colour_ ? colour_code_colour : colour_code_mono;
  }
  return status;
}

bool camera_82xx::is_driver_property_supported(ULONG id) {
  switch (id) {
    case family_property::bayer_pattern:
      return colour_;
    case family_property::empia_pattern_fix:
    case family_82xx_property::onload_filename:
    case family_82xx_property::interrupt_reader:
    case loop_statistics_property:
      return true;
    case family_property::focus_register:
      return terminal_focus_;
    default:
      return uvc_camera::is_driver_property_supported(id);
  }
}

NTSTATUS camera_82xx::set_driver_property(ULONG id, PVOID buffer, ULONG size) {
  if (id == family_82xx_property::onload_filename) {
    return set_onload_filename(this, defects_, buffer, size);
  }
  return uvc_camera::set_driver_property(id, buffer, size);
}

NTSTATUS camera_82xx::set_driver_property_value(ULONG id, ULONG value) {
  switch (id) {
    case family_property::bayer_pattern:
      if (!colour_) return STATUS_NOT_IMPLEMENTED;
      if (value > max_pattern) return STATUS_INVALID_PARAMETER;
      InterlockedExchange(&pattern_, LONG(value));
      return STATUS_SUCCESS;
    case family_property::empia_pattern_fix:
      InterlockedExchange(&empia_pattern_fix_, value != 0 ? 1 : 0);
      return STATUS_SUCCESS;
    case family_property::focus_register: {
      UCHAR terminal = 0;
      if (!terminal_focus_ || !camera_terminal_id(&terminal)) return STATUS_NOT_IMPLEMENTED;
      UCHAR bytes[4];
      put_le32(bytes, value);
      return uvc_set_cur(device_object_, terminal, focus_register, sizeof(bytes), bytes);
    }
    case family_82xx_property::onload_filename:
      return set_onload_filename(this, defects_, nullptr, 0);
    case family_82xx_property::interrupt_reader:
      return STATUS_NOT_IMPLEMENTED;
    default:
      return uvc_camera::set_driver_property_value(id, value);
  }
}

NTSTATUS camera_82xx::get_driver_property(ULONG id, PVOID input, ULONG input_size, PVOID output,
                                          ULONG output_size, ULONG* returned) {
  if (id == loop_statistics_property) {
    return pipeline_.statistics().read(output, output_size, returned);
  }
  return uvc_camera::get_driver_property(id, input, input_size, output, output_size, returned);
}

NTSTATUS camera_82xx::get_driver_property_value(ULONG id, ULONG* value) {
  if (value == nullptr) return STATUS_INVALID_PARAMETER;
  switch (id) {
    case family_property::bayer_pattern:
      if (!colour_) return STATUS_NOT_IMPLEMENTED;
      *value = ULONG(pattern());
      return STATUS_SUCCESS;
    case family_property::empia_pattern_fix:
      *value = empia_pattern_fix() ? 1 : 0;
      return STATUS_SUCCESS;
    case family_property::focus_register: {
      UCHAR terminal = 0;
      UCHAR bytes[4] = {};
      if (!terminal_focus_ || !camera_terminal_id(&terminal)) return STATUS_NOT_IMPLEMENTED;
      const NTSTATUS status =
          uvc_get_cur(device_object_, terminal, focus_register, sizeof(bytes), bytes, nullptr);
      if (NT_SUCCESS(status)) *value = le32(bytes);
      return status;
    }
    case family_82xx_property::interrupt_reader:
      *value = interrupt_reader_ != nullptr ? 1 : 0;
      return STATUS_SUCCESS;
    case family_82xx_property::onload_filename:
      return STATUS_NOT_IMPLEMENTED;
    default:
      return uvc_camera::get_driver_property_value(id, value);
  }
}

ULONG camera_82xx::get_firmware_revision() { return firmware_revision_; }

// ---- initialisation -------------------------------------------------------------------------------

NTSTATUS camera_82xx::on_init_begin() {
  UCHAR colour = 0;
  control_request request = {0, 1, 0, vendor_register_request, 0, colour_register, 1, &colour};
  colour_detected_ = NT_SUCCESS(vendor_request(device_object_, request, nullptr)) &&
                     (colour & colour_bit) != 0;
  UCHAR terminal = 0;
  UCHAR bytes[4] = {};
  if (camera_terminal_id(&terminal)) {
    if (NT_SUCCESS(uvc_get_cur(device_object_, terminal, firmware_register, sizeof(bytes), bytes,
                               nullptr))) {
      firmware_revision_ = le32(bytes);
    }
    RtlZeroMemory(bytes, sizeof(bytes));
    terminal_focus_ = NT_SUCCESS(uvc_get_cur(device_object_, terminal, capability_register,
                                             sizeof(bytes), bytes, nullptr)) &&
                      (le32(bytes) & capability_focus) != 0;
  }

  NTSTATUS status = configure_sensor();
  if (!NT_SUCCESS(status)) return status;

  // Controls the camera lacks are left out; only a lack of memory fails.
  status = register_vendor_unit_controls(this, vendor_unit_registers::camera_terminal);
  if (out_of_memory(status)) return status;
  window_ = new (NonPagedPoolNx, pool_tag::objects) sensor_window_control(this);
  if (window_ == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  status = add_owned_object(window_);
  if (!NT_SUCCESS(status)) {
    delete window_;
    window_ = nullptr;
    return status;
  }
  status = window_->init();
  if (!NT_SUCCESS(status)) return status;

  ULONG value = 0;
  if (NT_SUCCESS(read_registry_dword(L"force_apply_2x2_smooth", &value))) {
    smooth_2x2_ = value != 0 ? 1 : 0;
  }
  interrupt_frame_drop_ =
      !NT_SUCCESS(read_registry_dword(L"INTERRUPTPIPE_BASED_FRAMEDROP_ENABLE", &value)) ||
      value != 0;
  // A camera that describes its sensor has a defect-pixel list for it (its
  // EEPROM store and the file named by "onload filename").
  if (window_->window_present()) {
    status = create_defect_list(this, window_->sensor_width(), window_->sensor_height(), &defects_);
    if (out_of_memory(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS camera_82xx::on_init_end() {
  pipeline_.sensor().bind(
      find_control(this, control_entity_camera_terminal, terminal_exposure_absolute),
      find_control(this, control_entity_processing_unit, processing_unit_gain));
  pipeline_.sensor().bind_focus(this);
  NTSTATUS status = pipeline_.create();
  if (!NT_SUCCESS(status)) return status;

  bool channels = false;
  bool settable = false;
  has_property(this, camera_extension_set, extension_id::whitebalance_blue, &channels, &settable);
  ULONG sensor_code = 0;
  const UCHAR* unit = find_extension_unit(sensor_extension_unit, control_block_selector - 1);
  UCHAR code[4] = {};
  if (unit != nullptr && NT_SUCCESS(uvc_get_cur(device_object_, unit[uvc_desc::bUnitID],
                                                control_block_selector, sizeof(code), code,
                                                nullptr))) {
    sensor_code = le32(code);
  }
  feature_setup setup = {};
  setup.colour = colour_;
  setup.white_balance_flags = balance_flags_;
  setup.pattern = pattern();
  setup.temperature_table =
      colour_ && temperature_table_index_ >= 0
          ? builtin_temperature_table(ULONG(temperature_table_index_))
          : nullptr;
  setup.camera_has_colour_channels = channels;
  setup.sensor = &pipeline_.sensor();
  // The white balance describes itself unless the sensor's flags say not to.
  setup.documents =
      colour_ && (balance_flags_ & sensor_flag::no_balance_document) == 0 ? &documents_ : nullptr;
  setup.max_width = window_ != nullptr && window_->window_present() ? window_->sensor_width()
                                                                   : first_width_;
  setup.max_height = window_ != nullptr && window_->window_present() ? window_->sensor_height()
                                                                     : first_height_;
  setup.exposure_unit_us = 100;
  setup.sensor_code = sensor_code;
  // The features start from their defaults; wants_feature_defaults only
  // names the products whose image features are meant to (all of them are,
  // until a camera keeps settings of its own).
  return attach_camera_features(this, &pipeline_.features(), setup);
}

// ---- formats --------------------------------------------------------------------------------------

NTSTATUS camera_82xx::rate_table_intervals(ULONG width, LONGLONG* intervals, ULONG* count) {
  frame_rate_entry table[max_rate_entries];
  ULONG entries = max_rate_entries;
  const NTSTATUS status = get_frame_rate_table(width, table, &entries);
  if (!NT_SUCCESS(status)) return status;
  const ULONG capacity = intervals != nullptr ? *count : 0;
  *count = entries;
  if (capacity < entries) return STATUS_BUFFER_OVERFLOW;
  for (ULONG i = 0; i < entries; ++i) intervals[i] = table[i].interval;
  return STATUS_SUCCESS;
}

NTSTATUS camera_82xx::get_frame_intervals(const raw_format_record* record, PVOID, ULONG,
                                          LONGLONG* intervals, ULONG* count) {
  if (record == nullptr || count == nullptr) return STATUS_INVALID_PARAMETER;
  if (window_ != nullptr && window_->offers_formats()) {
    return window_->get_frame_intervals(record->width, record->height, intervals, count);
  }
  NTSTATUS status = rate_table_intervals(record->width, intervals, count);
  // A width without a table entry takes the descriptor's intervals.
  return NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW ? status : STATUS_NOT_IMPLEMENTED;
}

// Only "YUY2" formats: each is raw 8-bit data of twice its width.
NTSTATUS camera_82xx::add_uncompressed_format(const UCHAR* format, const UCHAR* frame,
                                              raw_format_list* records) {
  if (format == nullptr || frame == nullptr) return STATUS_INVALID_PARAMETER;
  raw_format_list one;
  NTSTATUS status = append_uncompressed_record(format, frame, &one);
  if (!NT_SUCCESS(status)) return status;
  raw_format_record record = one[0];
  if (fourcc_from_subtype(record.subtype) != img::FOURCC_YUY2) return STATUS_SUCCESS;
  if (record.width > MAXULONG / 2) return STATUS_INVALID_PARAMETER;
  record.width *= 2;
  record.bits_per_pixel = 8;
  record.subtype =
      subtype_from_fourcc(colour_ ? img::get_by8_fcc_from_pattern(pattern()) : img::FOURCC_Y800);
  LONGLONG intervals[max_rate_entries];
  ULONG count = max_rate_entries;
  if (NT_SUCCESS(rate_table_intervals(record.width, intervals, &count)) && count > 0) {
    record.min_interval = ULONG(intervals[0]);
    record.max_interval = ULONG(intervals[count - 1]);
  }
  return records->append(record);
}

// The window's formats, when it has a format mask, made from the camera's
// largest container format (the one the probe then commits).
NTSTATUS camera_82xx::filter_raw_formats(raw_format_list* records) {
  window_first_record_ = MAXULONG;
  if (window_ == nullptr || !window_->offers_formats() || records->count() == 0) {
    return STATUS_SUCCESS;
  }
  ULONG largest = 0;
  for (ULONG i = 1; i < records->count(); ++i) {
    const raw_format_record& r = (*records)[i];
    const raw_format_record& l = (*records)[largest];
    if (ULONGLONG(r.width) * r.height > ULONGLONG(l.width) * l.height) largest = i;
  }
  const raw_format_record container = (*records)[largest];
  ULONG first = 0;
  const NTSTATUS status = window_->append_records(container, records, &first);
  if (NT_SUCCESS(status)) {
    window_first_record_ = first;
    return STATUS_SUCCESS;
  }
  return out_of_memory(status) ? status : STATUS_SUCCESS;
}

// The entries derived from `source` (of raw record `raw_index`), keeping its
// size range and intervals.
NTSTATUS camera_82xx::derive_entries(const raw_format_list& records, ULONG raw_index,
                                     const format_entry& source, format_entry_list* entries) {
  const bool described = window_first_record_ != MAXULONG;
  const ULONG fourcc = fourcc_from_subtype(source.range.DataRange.SubFormat);
  struct derived {
    ULONG fourcc;
    ULONG bits;
  };
  static const derived bayer[] = {{img::FOURCC_RGB32, 32},
                                  {img::FOURCC_Y800, 8},
                                  {img::FOURCC_BY8, 8},
                                  {img::FOURCC_RGB24, 24}};
  static const derived mono[] = {{img::FOURCC_Y800, 8}, {img::FOURCC_RGB24, 24}};
  const derived* list = nullptr;
  ULONG count = 0;
  if (is_bayer8_fourcc(fourcc)) {
    list = bayer;
    count = ARRAYSIZE(bayer);
  } else if (fourcc == img::FOURCC_Y800) {
    if (!colour_) {
      list = mono;
      count = ARRAYSIZE(mono);
    } else if (!described) {
      return STATUS_SUCCESS;  // the mosaic is offered as "Y800" derived from the Bayer entry
    }
  } else if (!is_bayer16_fourcc(fourcc) && !described) {
    list = colour_ ? bayer : mono;
    count = colour_ ? ARRAYSIZE(bayer) : ARRAYSIZE(mono);
  }
  if (list == nullptr) return entries->append(source);
  for (ULONG i = 0; i < count; ++i) {
    const KS_DATARANGE_VIDEO& from = source.range;
    format_entry entry;
    entry.raw_index = raw_index;
    make_data_range(&entry.range, subtype_from_fourcc(list[i].fourcc),
                    from.VideoInfoHeader.bmiHeader.biWidth, from.VideoInfoHeader.bmiHeader.biHeight,
                    list[i].bits, from.VideoInfoHeader.AvgTimePerFrame,
                    from.ConfigCaps.MinFrameInterval, from.ConfigCaps.MaxFrameInterval);
    set_output_size_range(&entry.range.ConfigCaps, from.ConfigCaps.MinOutputSize,
                          from.ConfigCaps.MaxOutputSize, from.ConfigCaps.OutputGranularityX,
                          from.ConfigCaps.OutputGranularityY);
    const NTSTATUS status = entries->append(entry);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS camera_82xx::build_format_entries(const raw_format_list& records,
                                           format_entry_list* entries) {
  format_entry_list sources;
  NTSTATUS status;
  if (window_first_record_ != MAXULONG) {
    status = window_->build_formats(records, window_first_record_, &sources);
  } else {
    status = uvc_camera::build_format_entries(records, &sources);
  }
  if (!NT_SUCCESS(status)) return status;
  for (ULONG i = 0; i < sources.count() && NT_SUCCESS(status); ++i) {
    status = derive_entries(records, ULONG(sources[i].raw_index), sources[i], entries);
  }
  if (NT_SUCCESS(status) && entries->count() > 0) {
    const KS_BITMAPINFOHEADER& bitmap = (*entries)[0].range.VideoInfoHeader.bmiHeader;
    first_width_ = absolute(bitmap.biWidth);
    first_height_ = absolute(bitmap.biHeight);
  }
  return status;
}

NTSTATUS camera_82xx::build_probe_control(const raw_format_record* record, LONGLONG interval,
                                          UCHAR* probe, const img::img_type& raw_type) {
  const NTSTATUS status = uvc_camera::build_probe_control(record, interval, probe, raw_type);
  if (NT_SUCCESS(status)) put_le32(probe + uvc_probe::dwFrameInterval, probe_interval);
  return status;
}

// A frame and its 12-byte header in one transfer when the camera's frame
// is larger; otherwise what the camera sends per transfer.
ULONG camera_82xx::get_bulk_transfer_size(const UCHAR* committed, ULONG raw_buffer_length,
                                          const USBD_PIPE_INFORMATION*) {
  const ULONG max_frame = le32(committed + uvc_probe::dwMaxVideoFrameSize);
  if (raw_buffer_length <= MAXULONG - header_room && raw_buffer_length + 2 < max_frame) {
    return raw_buffer_length + header_room;
  }
  return le32(committed + uvc_probe::dwMaxPayloadTransferSize);
}

// ---- streaming ------------------------------------------------------------------------------------

void camera_82xx::on_format_selected() {
  frame_offset_x_ = 0;
  frame_offset_y_ = 0;
  frame_binning_ = 1;
  if (window_ == nullptr) return;
  window_->select_window(ULONG(output_type_.dim_x), absolute(output_type_.dim_y), frame_interval_);
  frame_offset_x_ = window_->offset_x();
  frame_offset_y_ = window_->offset_y();
  frame_binning_ = window_->factor();
}

raw_frame_switches camera_82xx::switches() const {
  raw_frame_switches s = {};
  s.empia_pattern_fix = empia_pattern_fix() ? 1 : 0;
  s.smooth_2x2 = InterlockedCompareExchange(const_cast<LONG volatile*>(&smooth_2x2_), 0, 0) != 0;
  return s;
}

NTSTATUS camera_82xx::on_stream_start() {
  img::img_type source = raw_type_;
  if (colour_ && (source.type == img::FOURCC_BY8 || source.type == img::FOURCC_Y800)) {
    source.type = img::get_by8_fcc_from_pattern(pattern());
  }
  NTSTATUS status = pipeline_.start(this, device_object_, output_type_, source);
  if (NT_SUCCESS(status)) status = uvc_camera::on_stream_start();
  // Frames the camera reports lost on its interrupt endpoint are dropped;
  // a camera without the endpoint streams without the check.
  if (NT_SUCCESS(status) && interrupt_frame_drop_) start_interrupt_reader();
  return status;
}

NTSTATUS camera_82xx::on_stream_stop() {
  stop_interrupt_reader();
  pipeline_.stop();
  return uvc_camera::on_stream_stop();
}

// Frame worker, PASSIVE_LEVEL: the raw frame of a colour camera labelled
// with its pattern goes through the loops and then the pipe.
NTSTATUS camera_82xx::transform_frame(img::img_descriptor* dst, const img::img_descriptor* src,
                                      UCHAR flip) {
  img::img_descriptor source = *src;
  if (colour_ && (src->type == img::FOURCC_BY8 || src->type == img::FOURCC_Y800)) {
    source.type = img::get_by8_fcc_from_pattern(pattern());
  }
  if (defects_ != nullptr) defects_->correct(source, frame_offset_x_, frame_offset_y_, frame_binning_);
  img::auto_result result = {};
  pipeline_.auto_cycle(source, frames_delivered() + 1, &result);
  if (result.valid && show_overlay_) {
    char line[loop_line_size];
    format_loop_line(line, sizeof(line), result, true);
    set_loop_overlay_line(line);
  }
  pipeline_.transform(*dst, source, flip, switches(), cpu_features_);
  return STATUS_SUCCESS;
}
