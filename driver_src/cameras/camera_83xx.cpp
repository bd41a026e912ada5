// camera_83xx: initialisation, formats, driver properties, stream start and
// stop and the frame transform of the 0x83xx raw-sensor cameras (see the
// header). The automatic cycle and the transform hand-over are
// raw_sensor_pipeline's.
#include "cameras/camera_83xx.h"

#include "cameras/defect_list.h"
#include "controls/control_registry.h"
#include "controls/region_controls.h"
#include "controls/vendor_controls.h"
#include "features/camera_features.h"
#include "kernel/pool_tags.h"
#include "usb/control_request.h"

namespace {

constexpr ULONG terminal_exposure_absolute = 4;  // camera terminal, 100 us
constexpr ULONG processing_unit_gain = 4;
constexpr UCHAR firmware_register = 45;  // camera-terminal vendor register, 32-bit
constexpr ULONG max_pattern = 3;
// The colour-temperature table of the family's sensors.
constexpr ULONG temperature_table_index = 5;

bool out_of_memory(NTSTATUS status) { return status == STATUS_INSUFFICIENT_RESOURCES; }

}  // namespace

uvc_camera* create_camera_83xx(PDEVICE_OBJECT physical_device_object, frame_sink* sink) {
  return new (NonPagedPoolNx, pool_tag::objects, zero_filled)
      camera_83xx(physical_device_object, sink);
}

camera_83xx::camera_83xx(PDEVICE_OBJECT device_object, frame_sink* sink)
    : uvc_camera(device_object, sink),
      traits_(),
      pattern_(img::bayer_grbg),
      empia_pattern_fix_(0),
      smooth_2x2_(0),
      firmware_revision_(0),
      sensor_width_(0),
      sensor_height_(0),
      region_(nullptr),
      defects_(nullptr),
      frame_offset_x_(0),
      frame_offset_y_(0),
      frame_binning_(1),
      pipeline_() {
  worker_flag_ = true;
}

camera_83xx::~camera_83xx() {
  // The stream (and with it the worker and the write queue) goes first, while
  // the pipeline still exists.
  close_stream();
}

// ---- device information and driver properties -------------------------------------------

NTSTATUS camera_83xx::get_device_info(camera_device_info* info) {
  const NTSTATUS status = uvc_camera::get_device_info(info);
  if (NT_SUCCESS(status)) {
    info->model_code = model_code;
    info->colour_code = traits_.colour ? colour_code_colour : colour_code_mono;
  }
  return status;
}

bool camera_83xx::is_driver_property_supported(ULONG id) {
  return id == family_property::empia_pattern_fix || id == loop_statistics_property ||
         id == family_property::onload_filename ||
         (id == family_property::bayer_pattern && traits_.colour) ||
         uvc_camera::is_driver_property_supported(id);
}

NTSTATUS camera_83xx::set_driver_property(ULONG id, PVOID buffer, ULONG size) {
  if (id == family_property::onload_filename) {
    return set_onload_filename(this, defects_, buffer, size);
  }
  return uvc_camera::set_driver_property(id, buffer, size);
}

NTSTATUS camera_83xx::set_driver_property_value(ULONG id, ULONG value) {
  switch (id) {
    case family_property::onload_filename:
      return set_onload_filename(this, defects_, nullptr, 0);
    case family_property::bayer_pattern:
      if (!traits_.colour) return STATUS_NOT_IMPLEMENTED;
      if (value > max_pattern) return STATUS_INVALID_PARAMETER;
      InterlockedExchange(&pattern_, LONG(value));
      return STATUS_SUCCESS;
    case family_property::empia_pattern_fix:
      InterlockedExchange(&empia_pattern_fix_, value != 0 ? 1 : 0);
      return STATUS_SUCCESS;
    default:
      return uvc_camera::set_driver_property_value(id, value);
  }
}

NTSTATUS camera_83xx::get_driver_property(ULONG id, PVOID input, ULONG input_size, PVOID output,
                                          ULONG output_size, ULONG* returned) {
  if (id == loop_statistics_property) {
    return pipeline_.statistics().read(output, output_size, returned);
  }
  return uvc_camera::get_driver_property(id, input, input_size, output, output_size, returned);
}

NTSTATUS camera_83xx::get_driver_property_value(ULONG id, ULONG* value) {
  if (value == nullptr) return STATUS_INVALID_PARAMETER;
  switch (id) {
    case family_property::bayer_pattern:
      if (!traits_.colour) return STATUS_NOT_IMPLEMENTED;
      *value = ULONG(InterlockedCompareExchange(&pattern_, 0, 0));
      return STATUS_SUCCESS;
    case family_property::empia_pattern_fix:
      *value = ULONG(InterlockedCompareExchange(&empia_pattern_fix_, 0, 0));
      return STATUS_SUCCESS;
    default:
      return uvc_camera::get_driver_property_value(id, value);
  }
}

ULONG camera_83xx::get_firmware_revision() {
  if (firmware_revision_ != 0) return firmware_revision_;
  UCHAR terminal = 0;
  UCHAR answer[4] = {};
  if (camera_terminal_id(&terminal) &&
      NT_SUCCESS(uvc_get_cur(device_object_, terminal, firmware_register, sizeof(answer), answer,
                             nullptr))) {
    firmware_revision_ = le32(answer);
  }
  return firmware_revision_;
}

// ---- initialisation
// -------------------------------------------------------------------------------

NTSTATUS camera_83xx::on_init_begin() {
  // Only a lack of memory fails the tables; controls the camera lacks are
  // left out.
  NTSTATUS status =
      register_vendor_unit_controls(this, vendor_unit_registers::extension_unit_then_terminal);
  if (out_of_memory(status)) return status;
  status = register_region_of_interest(this, &region_);
  if (out_of_memory(status)) return status;
  if (!NT_SUCCESS(status)) region_ = nullptr;

  ULONG value = 0;
  if (NT_SUCCESS(read_registry_dword(L"force_empia_pattern_fix", &value))) {
    empia_pattern_fix_ = value != 0 ? 1 : 0;
  }
  if (NT_SUCCESS(read_registry_dword(L"force_apply_2x2_smooth", &value))) {
    smooth_2x2_ = value != 0 ? 1 : 0;
  }
  return STATUS_SUCCESS;
}

NTSTATUS camera_83xx::filter_raw_formats(raw_format_list* records) {
  traits_ = examine_raw_formats(*records, false);
  pattern_ = traits_.pattern;
  return STATUS_SUCCESS;
}

NTSTATUS camera_83xx::build_format_entries(const raw_format_list& records,
                                           format_entry_list* entries) {
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < records.count() && NT_SUCCESS(status); ++i) {
    const raw_format_record& record = records[i];
    if (record.width > sensor_width_) sensor_width_ = record.width;
    if (record.height > sensor_height_) sensor_height_ = record.height;
    const ULONG fourcc = fourcc_from_subtype(record.subtype);
    if (is_bayer8_fourcc(fourcc)) {
      // The "BY8 " entry stands for the raw mosaic, whatever the camera calls it.
      status = derive_format(records, i, img::FOURCC_RGB32, 32, entries);
      if (NT_SUCCESS(status)) status = derive_format(records, i, img::FOURCC_RGB24, 24, entries);
      if (NT_SUCCESS(status)) status = derive_format(records, i, img::FOURCC_Y800, 8, entries);
      if (NT_SUCCESS(status)) status = derive_format(records, i, img::FOURCC_BY8, 8, entries);
    } else if (fourcc == img::FOURCC_Y800) {
      if (traits_.mono_rgb) {
        status = derive_format(records, i, img::FOURCC_RGB24, 24, entries);
        if (NT_SUCCESS(status)) status = keep_format(records, i, entries);
      }
    } else {
      status = keep_format(records, i, entries);
    }
  }
  return status;
}

NTSTATUS camera_83xx::on_init_end() {
  // The defect-pixel list from the EEPROM and the file named by "onload
  // filename"; only a lack of memory stops the camera.
  NTSTATUS status = create_defect_list(this, sensor_width_, sensor_height_, &defects_);
  if (out_of_memory(status)) return status;

  pipeline_.sensor().bind(
      find_control(this, control_entity_camera_terminal, terminal_exposure_absolute),
      find_control(this, control_entity_processing_unit, processing_unit_gain));
  pipeline_.sensor().bind_focus(this);
  status = pipeline_.create();
  if (!NT_SUCCESS(status)) return status;

  bool channels = false;
  bool settable = false;
  has_property(this, camera_extension_set, extension_id::whitebalance_blue, &channels, &settable);
  feature_setup setup = {};
  setup.colour = traits_.colour;
  setup.white_balance_flags = traits_.colour ? white_balance_flag::raw_balance : 0;
  setup.pattern = pattern();
  setup.temperature_table =
      traits_.colour ? builtin_temperature_table(temperature_table_index) : nullptr;
  setup.camera_has_colour_channels = channels;
  setup.sensor = &pipeline_.sensor();
  setup.documents = &documents_;
  setup.exposure_unit_us = 100;
  setup.sensor_code = 0;  // the cameras do not report their sensor
  setup.max_width = sensor_width_;
  setup.max_height = sensor_height_;
  return attach_camera_features(this, &pipeline_.features(), setup);
}

// ---- streaming
// ---------------------------------------------------------------------------------------

void camera_83xx::on_format_selected() {
  frame_offset_x_ = 0;
  frame_offset_y_ = 0;
  frame_binning_ = 1;
  if (region_ == nullptr) return;
  region_->set_frame(sensor_width_, sensor_height_, ULONG(output_type_.dim_x),
                     ULONG(output_type_.dim_y));
  region_->apply(this);
  frame_offset_x_ = region_->offset_x();
  frame_offset_y_ = region_->offset_y();
  frame_binning_ = region_->binning();
}

ULONG camera_83xx::get_bulk_transfer_size(const UCHAR* committed, ULONG raw_buffer_length,
                                          const USBD_PIPE_INFORMATION*) {
  const ULONG max_frame = le32(committed + uvc_probe::dwMaxVideoFrameSize);
  if (raw_buffer_length <= MAXULONG - 2 && raw_buffer_length + 2 < max_frame) {
    return raw_buffer_length + 2;
  }
  return le32(committed + uvc_probe::dwMaxPayloadTransferSize);
}

raw_frame_switches camera_83xx::switches() const {
  raw_frame_switches s = {};
  s.empia_pattern_fix =
      InterlockedCompareExchange(const_cast<LONG volatile*>(&empia_pattern_fix_), 0, 0) != 0;
  s.smooth_2x2 = InterlockedCompareExchange(const_cast<LONG volatile*>(&smooth_2x2_), 0, 0) != 0;
  return s;
}

NTSTATUS camera_83xx::on_stream_start() {
  ULONG value = 0;
  if (NT_SUCCESS(read_registry_dword(L"force_apply_2x2_smooth", &value))) {
    InterlockedExchange(&smooth_2x2_, value != 0 ? 1 : 0);
  }
  img::img_type source = raw_type_;
  source.type = source_fourcc_for_pattern(raw_type_.type, pattern());
  NTSTATUS status = pipeline_.start(this, device_object_, output_type_, source);
  if (NT_SUCCESS(status)) status = uvc_camera::on_stream_start();
  return status;
}

NTSTATUS camera_83xx::on_stream_stop() {
  pipeline_.stop();
  return uvc_camera::on_stream_stop();
}

// Frame worker, PASSIVE_LEVEL: the raw frame, relabelled with the camera's
// pattern, goes through the loops and then the pipe.
NTSTATUS camera_83xx::transform_frame(img::img_descriptor* dst, const img::img_descriptor* src,
                                      UCHAR flip) {
  img::img_descriptor source = *src;
  source.type = source_fourcc_for_pattern(
      src->type, img::bayer_pattern(InterlockedCompareExchange(&pattern_, 0, 0)));
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
