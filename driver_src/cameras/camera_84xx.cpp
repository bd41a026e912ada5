// camera_84xx: initialisation, formats, driver properties, stream start and
// stop and the frame transform of the 0x84xx raw-sensor cameras (see the
// header). The automatic cycle and the transform hand-over are
// raw_sensor_pipeline's.
#include "cameras/camera_84xx.h"

#include "cameras/camera_83xx.h"
#include "cameras/camera_documents.h"
#include "cameras/defect_pixel_store.h"
#include "features/documents/register_description_list.h"
#include "controls/control_registry.h"
#include "controls/sensor_controls.h"
#include "features/camera_features.h"
#include "kernel/pool_tags.h"
#include "usb/control_request.h"

namespace {

// Selectors of the sensor extension unit the family reads itself.
constexpr UCHAR selector_exposure = 27;           // 4 bytes, microseconds
constexpr UCHAR selector_pattern_fix = 29;        // 1 byte, non-zero: the sensor needs the fix
constexpr UCHAR selector_temperature_table = 44;  // 912 bytes: 76 x R, G, B floats
constexpr UCHAR selector_flip_x = 46;             // 1 byte each
constexpr UCHAR selector_flip_y = 47;
constexpr ULONG processing_unit_gain = 4;
constexpr ULONG sensor_unit_gain = 24;

constexpr UCHAR firmware_request = 0x01;  // vendor IN to the device, 4 bytes
constexpr ULONG temperature_table_bytes = sizeof(img::wb_temperature_table);
static_assert(temperature_table_bytes == 912, "76 entries of three 32-bit floats");
// The largest multiplier a table may hold: a gain of 255 is 255 / 64.
constexpr float max_multiplier = 255.0f / 64.0f;

// Product identifiers by their low four bits.
constexpr ULONG product_low_bits_mask = 0xF;
constexpr ULONG empia_products = 6;  // need the empia fix when the camera cannot say
constexpr ULONG j003_products = 9;   // mono sensors that may need the j003 fix

bool out_of_memory(NTSTATUS status) { return status == STATUS_INSUFFICIENT_RESOURCES; }

// The table the camera stored, checked entry by entry: a multiplier that is
// not a number, negative or beyond what a gain can express makes the whole
// table unusable.
bool parse_temperature_table(const UCHAR* bytes, img::wb_temperature_table* table) {
  for (ULONG i = 0; i < img::wb_temperature_count; ++i) {
    for (ULONG c = 0; c < 3; ++c) {
      const ULONG bits = le32(bytes + (i * 3 + c) * 4);
      float value;
      RtlCopyMemory(&value, &bits, sizeof(value));
      if (!(value >= 0.0f && value <= max_multiplier)) return false;  // NaN fails too
      table->entries[i][c] = value;
    }
  }
  return true;
}

}  // namespace

uvc_camera* create_camera_84xx(PDEVICE_OBJECT physical_device_object, frame_sink* sink) {
  return new (NonPagedPoolNx, pool_tag::objects, zero_filled)
      camera_84xx(physical_device_object, sink);
}

camera_84xx::camera_84xx(PDEVICE_OBJECT device_object, frame_sink* sink)
    : uvc_camera(device_object, sink),
      traits_(),
      export_i420_(false),
      sixteen_bit_mode_(false),
      empia_pattern_fix_(0),
      smooth_2x2_(0),
      j003_pattern_fix_(0),
      flip_x_(false),
      flip_y_(false),
      firmware_revision_(0),
      max_width_(0),
      max_height_(0),
      temperature_table_(nullptr),
      defects_(nullptr),
      camera_table_(),
      pipeline_(),
      documents_() {
  worker_flag_ = true;
}

camera_84xx::~camera_84xx() { close_stream(); }

// ---- device information and driver properties -------------------------------------------

NTSTATUS camera_84xx::get_device_info(camera_device_info* info) {
  const NTSTATUS status = uvc_camera::get_device_info(info);
  if (NT_SUCCESS(status)) {
    info->model_code = model_code;
    info->colour_code = traits_.colour ? colour_code_colour : colour_code_mono;
  }
  return status;
}

bool camera_84xx::is_driver_property_supported(ULONG id) {
  return id == family_property::empia_pattern_fix || id == loop_statistics_property ||
         uvc_camera::is_driver_property_supported(id);
}

NTSTATUS camera_84xx::set_driver_property_value(ULONG id, ULONG value) {
  if (id == family_property::empia_pattern_fix) {
    InterlockedExchange(&empia_pattern_fix_, value != 0 ? 1 : 0);
    return STATUS_SUCCESS;
  }
  return uvc_camera::set_driver_property_value(id, value);
}

NTSTATUS camera_84xx::get_driver_property(ULONG id, PVOID input, ULONG input_size, PVOID output,
                                          ULONG output_size, ULONG* returned) {
  ULONG dummy = 0;
  if (returned == nullptr) returned = &dummy;
  if (id == loop_statistics_property) {
    return pipeline_.statistics().read(output, output_size, returned);
  }
  if (id == family_property::empia_pattern_fix) {
    // The byte-buffer form: 4 bytes or more, 4 returned.
    *returned = 0;
    if (output == nullptr || output_size < sizeof(ULONG)) return STATUS_INVALID_BUFFER_SIZE;
    put_le32(static_cast<UCHAR*>(output),
             ULONG(InterlockedCompareExchange(&empia_pattern_fix_, 0, 0)));
    *returned = sizeof(ULONG);
    return STATUS_SUCCESS;
  }
  return uvc_camera::get_driver_property(id, input, input_size, output, output_size, returned);
}

NTSTATUS camera_84xx::get_driver_property_value(ULONG id, ULONG* value) {
  if (value == nullptr) return STATUS_INVALID_PARAMETER;
  if (id == family_property::empia_pattern_fix) {
    *value = ULONG(InterlockedCompareExchange(&empia_pattern_fix_, 0, 0));
    return STATUS_SUCCESS;
  }
  return uvc_camera::get_driver_property_value(id, value);
}

ULONG camera_84xx::get_firmware_revision() {
  if (firmware_revision_ != 0) return firmware_revision_;
  UCHAR answer[4] = {};
  control_request request = {};
  request.is_vendor = 1;
  request.request = firmware_request;
  request.length = sizeof(answer);
  request.data = answer;
  ULONG transferred = 0;
  if (NT_SUCCESS(vendor_request(device_object_, request, &transferred)) &&
      transferred >= sizeof(answer)) {
    firmware_revision_ = le32(answer);
  }
  return firmware_revision_;
}

// ---- initialisation
// -------------------------------------------------------------------------------

NTSTATUS camera_84xx::on_init_begin() {
  ULONG value = 0;
  if (NT_SUCCESS(read_registry_dword(L"export_I420_streamformat", &value))) {
    export_i420_ = value != 0;
  }
  NTSTATUS status = register_sensor_unit_controls(this, sensor_unit_family::sensor_cameras);
  if (out_of_memory(status)) return status;
  // The register description the camera stores, its default-set document,
  // the named sets and their enumeration document.
  status = begin_camera_documents(this, true, &documents_);
  if (out_of_memory(status)) return status;

  const ULONG low_bits = id_product() & product_low_bits_mask;
  const UCHAR* unit = find_extension_unit(sensor_extension_unit, selector_temperature_table - 1);
  if (unit != nullptr) {
    UCHAR bytes[temperature_table_bytes];
    ULONG transferred = 0;
    if (NT_SUCCESS(uvc_get_cur(device_object_, unit[uvc_desc::bUnitID], selector_temperature_table,
                               USHORT(sizeof(bytes)), bytes, &transferred)) &&
        transferred == sizeof(bytes) && parse_temperature_table(bytes, &camera_table_)) {
      temperature_table_ = &camera_table_;
    }
  }
  if (temperature_table_ == nullptr && low_bits >= 1 && low_bits <= 6) {
    temperature_table_ = builtin_temperature_table(low_bits - 1);
  }

  // The empia fix: the camera says whether its sensor needs it; a camera
  // that cannot say needs it on the products that end in 6.
  empia_pattern_fix_ = low_bits == empia_products ? 1 : 0;
  unit = find_extension_unit(sensor_extension_unit, selector_pattern_fix - 1);
  UCHAR fix = 0;
  if (unit != nullptr && NT_SUCCESS(uvc_get_cur(device_object_, unit[uvc_desc::bUnitID],
                                                selector_pattern_fix, 1, &fix, nullptr))) {
    empia_pattern_fix_ = fix != 0 ? 1 : 0;
  }
  if (NT_SUCCESS(read_registry_dword(L"force_empia_pattern_fix", &value))) {
    empia_pattern_fix_ = value != 0 ? 1 : 0;
  }
  return STATUS_SUCCESS;
}

NTSTATUS camera_84xx::build_format_entries(const raw_format_list& records,
                                           format_entry_list* entries) {
  traits_ = examine_raw_formats(records, true);
  sixteen_bit_mode_ =
      (traits_.colour && traits_.has_bayer16) || (traits_.has_y16 && traits_.mono_rgb);
  const ULONG first = entries->count();
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < records.count() && NT_SUCCESS(status); ++i) {
    const ULONG fourcc = fourcc_from_subtype(records[i].subtype);
    if (is_bayer8_fourcc(fourcc)) {
      // An 8-bit Bayer format makes the camera a colour camera.
      if (!traits_.native_rgb32) status = derive_format(records, i, img::FOURCC_RGB32, 32, entries);
      if (NT_SUCCESS(status) && !traits_.native_rgb24) {
        status = derive_format(records, i, img::FOURCC_RGB24, 24, entries);
      }
      if (NT_SUCCESS(status)) status = derive_format(records, i, img::FOURCC_Y800, 8, entries);
      if (NT_SUCCESS(status) && export_i420_) {
        status = derive_format(records, i, img::FOURCC_I420, 12, entries);
      }
    } else if (fourcc == img::FOURCC_Y800) {
      if (traits_.colour) continue;
      if (!traits_.native_rgb24 && traits_.mono_rgb) {
        status = derive_format(records, i, img::FOURCC_RGB24, 24, entries);
      }
      if (NT_SUCCESS(status)) status = keep_format(records, i, entries);
    } else if (is_bayer16_fourcc(fourcc)) {
      if (traits_.colour) status = derive_format(records, i, img::FOURCC_Y16, 16, entries);
      if (NT_SUCCESS(status) && sixteen_bit_mode_) {
        status = derive_format(records, i, img::FOURCC_RGB64, 64, entries);
      }
    } else {
      status = keep_format(records, i, entries);
    }
  }
  for (ULONG e = first; e < entries->count(); ++e) {
    const KS_BITMAPINFOHEADER& bitmap = (*entries)[e].range.VideoInfoHeader.bmiHeader;
    const ULONG width = ULONG(bitmap.biWidth < 0 ? -bitmap.biWidth : bitmap.biWidth);
    const ULONG height = ULONG(bitmap.biHeight < 0 ? -bitmap.biHeight : bitmap.biHeight);
    if (width > max_width_) max_width_ = width;
    if (height > max_height_) max_height_ = height;
  }
  return status;
}

NTSTATUS camera_84xx::on_init_end() {
  const ULONG low_bits = id_product() & product_low_bits_mask;
  // A mono sensor of the products ending in 9 that is shown as RGB24 may
  // need the j003 fix: the camera says so, or it is on when it cannot.
  if (!traits_.colour && low_bits == j003_products && traits_.mono_rgb && !traits_.native_rgb24) {
    const UCHAR* unit = find_extension_unit(sensor_extension_unit, selector_pattern_fix - 1);
    UCHAR fix = 1;
    if (unit == nullptr || !NT_SUCCESS(uvc_get_cur(device_object_, unit[uvc_desc::bUnitID],
                                                   selector_pattern_fix, 1, &fix, nullptr))) {
      fix = 1;
    }
    j003_pattern_fix_ = fix != 0 ? 1 : 0;
  }
  // The camera's own defect table; the camera runs without it.
  NTSTATUS status = create_defect_pixel_store(this, max_width_, max_height_, &defects_);
  if (out_of_memory(status)) return status;

  const uvc_control_record* exposure =
      bind_control(this, on_unit(sensor_extension_unit, selector_exposure));
  const uvc_control_record* gain =
      find_control(this, control_entity_processing_unit, processing_unit_gain);
  if (gain == nullptr) gain = bind_control(this, on_unit(sensor_extension_unit, sensor_unit_gain));
  pipeline_.sensor().bind(exposure, gain);
  status = pipeline_.create();
  if (!NT_SUCCESS(status)) return status;

  bool channels = false;
  bool settable = false;
  has_property(this, camera_extension_set, extension_id::whitebalance_blue, &channels, &settable);
  feature_setup setup = {};
  setup.colour = traits_.colour;
  setup.white_balance_flags = traits_.colour ? white_balance_flag::raw_balance : 0;
  setup.pattern = traits_.pattern;
  setup.temperature_table = traits_.colour ? temperature_table_ : nullptr;
  setup.camera_has_colour_channels = channels;
  setup.sensor = &pipeline_.sensor();
  setup.documents = documents_.list;
  setup.exposure_unit_us = 1;
  setup.sensor_code = 0;  // the cameras do not report their sensor
  setup.max_width = max_width_;
  setup.max_height = max_height_;
  status = attach_camera_features(this, &pipeline_.features(), setup);
  if (!NT_SUCCESS(status)) return status;
  return finish_camera_documents(this, &documents_);
}

// ---- streaming
// ---------------------------------------------------------------------------------------

void camera_84xx::read_stream_switches() {
  ULONG value = 0;
  if (NT_SUCCESS(read_registry_dword(L"apply_j003_pattern_fix", &value))) {
    InterlockedExchange(&j003_pattern_fix_, value != 0 ? 1 : 0);
  }
  if (NT_SUCCESS(read_registry_dword(L"force_apply_2x2_smooth", &value))) {
    InterlockedExchange(&smooth_2x2_, value != 0 ? 1 : 0);
  }
  if (NT_SUCCESS(read_registry_dword(L"force_empia_pattern_fix", &value))) {
    InterlockedExchange(&empia_pattern_fix_, value != 0 ? 1 : 0);
  }
}

// The flips the exposure region is mirrored with; a camera that does not
// answer counts as unflipped.
void camera_84xx::read_flips() {
  flip_x_ = false;
  flip_y_ = false;
  const UCHAR* unit = find_extension_unit(sensor_extension_unit, selector_flip_x - 1);
  UCHAR value = 0;
  if (unit != nullptr && NT_SUCCESS(uvc_get_cur(device_object_, unit[uvc_desc::bUnitID],
                                                selector_flip_x, 1, &value, nullptr))) {
    flip_x_ = value != 0;
  }
  unit = find_extension_unit(sensor_extension_unit, selector_flip_y - 1);
  value = 0;
  if (unit != nullptr && NT_SUCCESS(uvc_get_cur(device_object_, unit[uvc_desc::bUnitID],
                                                selector_flip_y, 1, &value, nullptr))) {
    flip_y_ = value != 0;
  }
}

raw_frame_switches camera_84xx::switches() const {
  raw_frame_switches s = {};
  s.empia_pattern_fix =
      InterlockedCompareExchange(const_cast<LONG volatile*>(&empia_pattern_fix_), 0, 0) != 0;
  s.smooth_2x2 = InterlockedCompareExchange(const_cast<LONG volatile*>(&smooth_2x2_), 0, 0) != 0;
  s.j003_pattern_fix =
      InterlockedCompareExchange(const_cast<LONG volatile*>(&j003_pattern_fix_), 0, 0) != 0;
  return s;
}

NTSTATUS camera_84xx::on_stream_start() {
  read_stream_switches();
  read_flips();
  NTSTATUS status = pipeline_.start(this, device_object_, output_type_, raw_type_);
  if (NT_SUCCESS(status)) status = uvc_camera::on_stream_start();
  return status;
}

NTSTATUS camera_84xx::on_stream_stop() {
  pipeline_.stop();
  return uvc_camera::on_stream_stop();
}

NTSTATUS camera_84xx::transform_frame(img::img_descriptor* dst, const img::img_descriptor* src,
                                      UCHAR flip) {
  const img::img_descriptor& source = *src;
  if (defects_ != nullptr) {
    const defect_frame_params where = {0, 0, 1, flip_x_, flip_y_};
    defects_->apply(source, where);
  }
  img::auto_result result = {};
  const region_mirror mirror = {flip_x_, flip_y_};
  pipeline_.auto_cycle(source, frames_delivered() + 1, &result, &mirror);
  if (result.valid && show_overlay_) {
    char line[loop_line_size];
    format_loop_line(line, sizeof(line), result, false);
    set_loop_overlay_line(line);
  }
  pipeline_.transform(*dst, source, flip, switches(), cpu_features_);
  return STATUS_SUCCESS;
}
