// Simulated 0x8101 and 0x8102 cameras (model_810x.h).
#include "model_810x.h"

#include <cstdio>
#include <cstring>

namespace sim {
namespace {

using namespace family_wire;

constexpr uint8_t kCameraTerminal = 1;
constexpr uint8_t kProcessingUnit = 2;
constexpr uint8_t kSensorUnit = 3;
constexpr uint8_t kOutputTerminal = 4;

// Sensor extension unit selectors.
constexpr uint8_t kExposureAuto = 1, kGainAuto = 2, kOnePush = 3, kReference = 4, kTrigger = 5;
constexpr uint8_t kStrobe = 6, kStrobePolarity = 7, kOption = 8;
constexpr uint8_t kStrobeDelay = 11, kStrobeDuration = 12, kStrobeMode = 13, kSoftwareTrigger = 15;
constexpr uint8_t kOptionWritable = 0x01;
constexpr int64_t kStrobeTimeMaxUs = 100000;

// Vendor requests.
constexpr uint8_t kVendorFirmware = 0x16;     // IN, 2 bytes
constexpr uint8_t kVendorHardware = 0x17;     // IN, 2 bytes
constexpr uint8_t kVendorDeviceValue = 0x19;  // OUT, 4 bytes
constexpr uint8_t kVendorCommand = 0x42;      // OUT, no data
constexpr uint16_t kCommandValue = 0x5A17, kCommandIndex = 0x71C3;

bool is_8bit_raw(uint32_t fcc) {
  return fcc == fourcc("Y800") || fcc == fourcc("BY8 ") || fcc == fourcc("BA81") || fcc == fourcc("GBRG") ||
         fcc == fourcc("GRBG") || fcc == fourcc("RGGB");
}

uvc_camera_desc describe(const model_810x_desc& d) {
  uvc_camera_desc u;
  u.vendor_id = 0x199E;
  u.product_id = d.product_id;
  u.manufacturer = "Talvexa";
  u.product = d.product;
  char serial[16];
  snprintf(serial, sizeof serial, "%08X", 0x30000u + d.product_id + (d.colour ? 0 : 0x100000u));
  u.serial = serial;
  u.camera_terminal_id = kCameraTerminal;
  u.processing_unit_id = kProcessingUnit;
  u.output_terminal_id = kOutputTerminal;
  u.camera_controls = 1u << 3;      // exposure time absolute, no automatic mode
  u.processing_controls = 1u << 9;  // gain
  uvc_extension_unit_desc xu;
  xu.unit_id = kSensorUnit;
  xu.guid = kSensorUnitGuid;
  xu.bm_controls = bm_controls({kExposureAuto, kGainAuto, kOnePush, kReference, kTrigger, kStrobe, kStrobePolarity,
                                kOption, kStrobeDelay, kStrobeDuration, kStrobeMode, kSoftwareTrigger},
                               2);
  xu.num_controls = 12;
  u.extension_units = {xu};
  for (const raw_format& f : d.formats) {
    uvc_format_desc format;
    format.kind = uvc_format_kind::uncompressed;
    format.guid = fourcc_guid(f.fourcc);
    format.bits_per_pixel = f.bits_per_pixel;
    format.frames.clear();
    for (const auto& size : f.sizes) {
      uvc_frame_desc frame;
      frame.width = size.first;
      frame.height = size.second;
      frame.intervals = f.intervals;
      frame.default_interval = f.intervals.front();
      format.frames.push_back(frame);
    }
    u.formats.push_back(format);
  }
  u.iso_packet_sizes = {1024, 0x0C00, 0x1400};  // 1, 2 and 3 x 1024 bytes per microframe
  return u;
}

}  // namespace

// What the stream shows: raw samples, or the processed picture for "YUY2".
class model_810x::picture_source final : public frame_source {
 public:
  explicit picture_source(std::shared_ptr<sensor_model> sensor) : sensor_(std::move(sensor)) {}

  void render(const frame_format& format, uint64_t number, std::vector<uint8_t>& frame) override {
    const readout r = centred_readout(sensor_->config(), format.width, format.height);
    if (is_8bit_raw(format.fourcc)) {
      sensor_->render(r, 8, number, frame);
    } else if (format.fourcc == kFourccYUY2) {
      colour_processing p;
      p.white_balance = sensor_->neutral_gains();
      std::vector<uint8_t> rgb;
      sensor_->render_rgb(r, number, p, rgb);
      frame = rgb_to_yuy2(rgb, format.width, format.height, false);
    } else {
      frame.assign(uncompressed_frame_bytes(format), 0);
    }
  }

 private:
  std::shared_ptr<sensor_model> sensor_;
};

std::shared_ptr<model_810x> model_810x::create(const model_810x_desc& desc, const sensor_options& options) {
  double exposure_us = 0, gain = 1;
  std::shared_ptr<sensor_model> sensor = make_model_sensor(desc.sensor, desc.light, options, &exposure_us, &gain);
  if (!sensor) return nullptr;
  auto camera = std::make_shared<model_810x>(desc, describe(desc), std::move(sensor));
  camera->define_registers(exposure_us, gain);
  camera->set_stream_options(camera->get_stream_options());
  return camera;
}

model_810x::model_810x(const model_810x_desc& desc, const uvc_camera_desc& usb, std::shared_ptr<sensor_model> sensor)
    : family_camera(usb, desc.family, sensor), desc_(desc), source_(std::make_shared<picture_source>(sensor)) {}

model_810x::~model_810x() = default;

void model_810x::define_registers(double exposure_us, double gain) {
  wire_exposure_and_gain(kCameraTerminal, kProcessingUnit, exposure_us, gain);
  define_control(value_control(kSensorUnit, kExposureAuto, 1, 0, 1, 0));
  define_control(value_control(kSensorUnit, kGainAuto, 1, 0, 1, 0));
  define_control(value_control(kSensorUnit, kOnePush, 1, 0, 1, 0));
  define_control(value_control(kSensorUnit, kReference, 4, 0, 255, 128));
  define_control(value_control(kSensorUnit, kTrigger, 1, 0, 3, 0));
  define_control(value_control(kSensorUnit, kStrobe, 1, 0, 1, 0));
  define_control(value_control(kSensorUnit, kStrobePolarity, 1, 0, 1, 0));
  define_control(value_control(kSensorUnit, kOption, 1, 0, 3, 0));
  define_control(value_control(kSensorUnit, kStrobeDelay, 4, 0, kStrobeTimeMaxUs, 0));
  define_control(value_control(kSensorUnit, kStrobeDuration, 4, 0, kStrobeTimeMaxUs, 1000));
  define_control(value_control(kSensorUnit, kStrobeMode, 4, 0, 1, 0));
  define_control(value_control(kSensorUnit, kSoftwareTrigger, 1, 0, 1, 0));
}

void model_810x::set_stream_options(const stream_options& options) {
  stream_options own = options;
  if (!own.source) own.source = source_;
  uvc_camera::set_stream_options(own);
}

uint32_t model_810x::device_value() const {
  std::lock_guard<std::mutex> guard(values_lock_);
  return device_value_;
}

unsigned model_810x::vendor_commands() const {
  std::lock_guard<std::mutex> guard(values_lock_);
  return vendor_commands_;
}

bool model_810x::answer(const setup_packet& setup, std::vector<uint8_t>& data, USBD_STATUS* status) {
  if (setup.type() == kRequestTypeClass) {
    // The option register keeps bit 0 only; one-push and the software
    // trigger act at once and read 0 again.
    const bool unit_write = setup.request == uvc::SET_CUR && setup.recipient() == kRecipientInterface &&
                            (uint8_t)setup.index == control_interface() && (uint8_t)(setup.index >> 8) == kSensorUnit;
    const uint8_t selector = (uint8_t)(setup.value >> 8);
    if (unit_write && selector == kOption && data.size() == 1) data[0] &= kOptionWritable;
    if (unit_write && (selector == kOnePush || selector == kSoftwareTrigger) && data.size() == 1 && data[0] <= 1) {
      *status = USBD_STATUS_SUCCESS;
      return true;
    }
    return false;
  }
  if (setup.type() != kRequestTypeVendor || setup.request == kVendorCameraMemory) return false;
  *status = USBD_STATUS_STALL_PID;
  if (setup.recipient() != kRecipientDevice) return true;
  switch (setup.request) {
    case kVendorFirmware:
    case kVendorHardware:
      if (!setup.is_in()) return true;
      data = le_bytes(setup.request == kVendorFirmware ? desc_.firmware_revision : desc_.hardware_revision, 2);
      break;
    case kVendorDeviceValue: {
      if (setup.is_in() || data.size() != 4) return true;
      std::lock_guard<std::mutex> guard(values_lock_);
      device_value_ = (uint32_t)le_value(data);
      break;
    }
    case kVendorCommand: {
      if (setup.is_in() || setup.value != kCommandValue || setup.index != kCommandIndex || !data.empty()) return true;
      std::lock_guard<std::mutex> guard(values_lock_);
      ++vendor_commands_;
      break;
    }
    default:
      return true;
  }
  *status = USBD_STATUS_SUCCESS;
  return true;
}

// ---- models ------------------------------------------------------------------------------------------

namespace {

// The 1.2-megapixel sensor of 3.75 um pixels the raw-sensor models also use.
sensor_config sensor_810x(cfa_pattern cfa) {
  sensor_config s;
  s.width = 1280;
  s.height = 960;
  s.pixel_um = 3.75;
  s.full_well_e = 10000;
  s.read_noise_e = 8;
  s.cfa = cfa;
  if (cfa != cfa_pattern::mono) {
    s.channels = {channel_response{605, 22, 0.42, true}, channel_response{540, 38, 0.55, true},
                  channel_response{465, 35, 0.52, true}};
  } else {
    s.channels[0] = channel_response{550, 110, 0.60, false};
  }
  s.optics = {cfa != cfa_pattern::mono ? 2.8 : 5.6, 0.9};
  s.exposure_min_us = 100;
  s.exposure_max_us = 33300;
  s.exposure_default_us = 10000;
  return s;
}

raw_format format_of(const char* fcc, uint8_t bits) {
  raw_format f;
  std::memcpy(f.fourcc, fcc, 5);
  f.bits_per_pixel = bits;
  f.sizes = {{1280, 960}, {640, 480}};
  f.intervals = {333333, 666666, 1333333};
  return f;
}

}  // namespace

std::vector<model_810x_desc> model_810x_descs() {
  std::vector<model_810x_desc> models;
  model_810x_desc m;
  m.family = "camera_8101";
  m.id = "8101-colour";
  m.product_id = 0x8101;
  m.product = "Video Camera 8101";
  m.colour = true;
  m.sensor = sensor_810x(cfa_pattern::gbrg);
  m.formats = {format_of("YUY2", 16), format_of("BY8 ", 8)};
  m.firmware_revision = 0x0112;
  m.hardware_revision = 0x0003;
  m.description = "camera_8101 colour, isochronous: processed YUY2 and raw BY8 (GBRG), 1280x960 and 640x480";
  models.push_back(m);

  m.id = "8101-mono";
  m.colour = false;
  m.sensor = sensor_810x(cfa_pattern::mono);
  m.formats = {format_of("Y800", 8)};
  m.description = "camera_8101 mono, isochronous: Y800, 1280x960 and 640x480";
  models.push_back(m);

  m.family = "camera_8102";
  m.id = "8102-colour";
  m.product_id = 0x8102;
  m.product = "Video Camera 8102";
  m.colour = true;
  m.sensor = sensor_810x(cfa_pattern::gbrg);
  m.formats = {format_of("GBRG", 8)};
  m.firmware_revision = 0x0120;
  m.hardware_revision = 0x0004;
  m.description = "camera_8102 colour, isochronous: raw GBRG, 1280x960 and 640x480";
  models.push_back(m);

  m.id = "8102-mono";
  m.colour = false;
  m.sensor = sensor_810x(cfa_pattern::mono);
  m.formats = {format_of("Y800", 8)};
  m.description = "camera_8102 mono, isochronous: Y800, 1280x960 and 640x480";
  models.push_back(m);
  return models;
}

}  // namespace sim
