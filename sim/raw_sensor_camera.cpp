// Simulated raw-sensor cameras of the 0x83xx and 0x84xx families
// (raw_sensor_camera.h).
#include "raw_sensor_camera.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "wire.h"

namespace sim {
namespace {

constexpr GUID kVendorUnitGuid = {0x923ED695, 0x56F2, 0x11E1, {0x83, 0xF7, 0x37, 0x70, 0x48, 0x24, 0x01, 0x9B}};
constexpr GUID kSensorUnitGuid = {0xDE49BA0A, 0x0B5C, 0xD549, {0x8F, 0x71, 0x0B, 0xE4, 0x0F, 0x94, 0xA6, 0x7A}};

constexpr uint8_t kCameraTerminal = 1;
constexpr uint8_t kUnit2 = 2;  // the family's extension unit
constexpr uint8_t kProcessingUnit = 3;
constexpr uint8_t kOutputTerminal = 4;

constexpr uint8_t kCtExposureAbsolute = 0x04;
constexpr uint8_t kPuGain = 0x04;
constexpr uint32_t kCtExposureBit = 1u << 3;
constexpr uint32_t kPuGainBit = 1u << 9;

// Vendor requests.
constexpr uint8_t kVendorRegister = 0x00;        // IN, wIndex = register
constexpr uint8_t kVendorFirmware = 0x01;        // IN, 4 bytes
constexpr uint8_t kVendorEepromTransfer = 0x02;  // the 83xx's serial EEPROM (eeprom.h)
constexpr uint8_t kVendorEepromAddress = 0x03;
constexpr uint32_t kEepromSize = 16384;
constexpr uint8_t kVendorDescriptionLength = 0x15;  // IN, 4 bytes: stored register description
constexpr uint8_t kVendorDescriptionData = 0x16;    // IN: its bytes
constexpr uint8_t kVendorDocumentLength = 0x19;     // IN, 4 bytes: stored property-set document
constexpr uint8_t kVendorDocumentData = 0x1A;       // IN: its bytes
constexpr uint16_t kColourRegister = 26;
constexpr uint8_t kColourBit = 0x02;

// 83xx vendor unit selectors.
constexpr uint8_t kSel83ExposureAuto = 13, kSel83GainAuto = 14, kSel83WhiteBalanceAuto = 15;
constexpr uint8_t kSel83AutoMaximum = 16;  // its presence is read from bit 14, selector 15's
constexpr uint8_t kSel83Reference = 17, kSel83FlipX = 20, kSel83FlipY = 21;
constexpr uint8_t kSel83Capabilities = 32, kSel83Firmware = 45;
// 84xx sensor unit selectors.
constexpr uint8_t kSel84ExposureAuto = 1, kSel84GainAuto = 2, kSel84Reference = 4, kSel84Gain = 24;
constexpr uint8_t kSel84Exposure = 27, kSel84PatternFix = 29, kSel84TemperatureTable = 44;
constexpr uint8_t kSel84FlipX = 46, kSel84FlipY = 47;

constexpr double kGainUnit = 64.0;            // gain controls: 64 = 1.0
constexpr double kCtExposureUnitUs = 100.0;   // camera terminal: 100 us
constexpr size_t kContextLimit = 4096;

constexpr uint32_t kFps30 = 333333, kFps15 = 666666, kFps7_5 = 1333333;

std::vector<uint8_t> le_bytes(int64_t v, size_t length) {
  std::vector<uint8_t> out(length, 0);
  for (size_t i = 0; i < length && i < 8; ++i) out[i] = (uint8_t)((uint64_t)v >> (8 * i));
  return out;
}

int64_t le_value(const std::vector<uint8_t>& bytes) {
  uint64_t v = 0;
  for (size_t i = 0; i < bytes.size() && i < 4; ++i) v |= (uint64_t)bytes[i] << (8 * i);
  return (int64_t)v;
}

uvc_control value_control(uint8_t entity, uint8_t selector, uint16_t length, int64_t min, int64_t max,
                          int64_t def, int64_t cur) {
  uvc_control c;
  c.entity = entity;
  c.selector = selector;
  c.length = length;
  c.min = le_bytes(min, length);
  c.max = le_bytes(max, length);
  c.res = le_bytes(1, length);
  c.def = le_bytes(def, length);
  c.cur = le_bytes(cur, length);
  return c;
}

uvc_control read_only(uint8_t entity, uint8_t selector, std::vector<uint8_t> value) {
  uvc_control c;
  c.entity = entity;
  c.selector = selector;
  c.length = (uint16_t)value.size();
  c.info = uvc::INFO_GET;
  c.range_checked = false;
  c.min = c.max = c.def = c.cur = value;
  c.res = std::vector<uint8_t>(value.size(), 0);
  return c;
}

std::vector<uint8_t> bm_controls(const std::vector<uint8_t>& selectors, size_t bytes) {
  std::vector<uint8_t> bits(bytes, 0);
  for (uint8_t s : selectors) bits[(s - 1) / 8] |= (uint8_t)(1u << ((s - 1) % 8));
  return bits;
}

bool is_8bit_raw(uint32_t fcc) {
  return fcc == fourcc("Y800") || fcc == fourcc("BY8 ") || fcc == fourcc("BA81") || fcc == fourcc("GBRG") ||
         fcc == fourcc("GRBG") || fcc == fourcc("RGGB");
}
bool is_16bit_raw(uint32_t fcc) {
  return fcc == fourcc("Y16 ") || fcc == fourcc("BG16") || fcc == fourcc("GB16") || fcc == fourcc("BA16") ||
         fcc == fourcc("RG16");
}
bool is_container(uint32_t fcc) { return fcc == kFourccYUY2 || fcc == kFourccUYVY; }

double resolve(const start_value& v, double def, double min, double max) {
  switch (v.which) {
    case start_value::kind::minimum: return min;
    case start_value::kind::maximum: return max;
    case start_value::kind::value: return std::min(max, std::max(min, v.value));
    case start_value::kind::model_default: break;
  }
  return def;
}

uvc_camera_desc describe(const raw_camera_model& model) {
  uvc_camera_desc d;
  d.vendor_id = model.vendor_id;
  d.product_id = model.product_id;
  d.manufacturer = "Talvexa";
  d.product = model.product;
  char serial[16];
  snprintf(serial, sizeof serial, "%08X", 0x10000u + model.product_id);
  d.serial = serial;
  d.camera_terminal_id = kCameraTerminal;
  d.processing_unit_id = kProcessingUnit;
  d.output_terminal_id = kOutputTerminal;
  uvc_extension_unit_desc xu;
  xu.unit_id = kUnit2;
  if (model.family == raw_family::camera_83xx) {
    d.camera_controls = kCtExposureBit;
    xu.guid = kVendorUnitGuid;
    xu.bm_controls = bm_controls({kSel83ExposureAuto, kSel83GainAuto, kSel83WhiteBalanceAuto, kSel83AutoMaximum,
                                  kSel83Reference, kSel83FlipX, kSel83FlipY},
                                 6);
  } else {
    d.camera_controls = 0;
    xu.guid = kSensorUnitGuid;
    std::vector<uint8_t> selectors = {kSel84ExposureAuto, kSel84GainAuto, kSel84Reference, kSel84Gain,
                                      kSel84Exposure,     kSel84PatternFix, kSel84FlipX,  kSel84FlipY};
    if (model.colour) selectors.push_back(kSel84TemperatureTable);
    xu.bm_controls = bm_controls(selectors, 6);
  }
  xu.num_controls = 0;
  for (uint8_t b : xu.bm_controls) xu.num_controls = (uint8_t)(xu.num_controls + __builtin_popcount(b));
  d.processing_controls = kPuGainBit;
  d.extension_units = {xu};
  for (const raw_format& f : model.formats) {
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
    d.formats.push_back(format);
  }
  d.iso_packet_sizes.clear();  // bulk
  d.bulk_packet_size = 512;
  return d;
}

}  // namespace

const char* family_name(raw_family family) {
  return family == raw_family::camera_83xx ? "camera_83xx" : "camera_84xx";
}

// ---- the picture ------------------------------------------------------------------------------------

struct raw_sensor_camera::flips {
  std::atomic<bool> x{false};
  std::atomic<bool> y{false};
};

// What the stream shows: the sensor, read out for the committed format.
class raw_sensor_camera::sensor_source final : public frame_source {
 public:
  sensor_source(std::shared_ptr<sensor_model> sensor, std::shared_ptr<flips> f, bool raw_in_yuy2)
      : sensor_(std::move(sensor)), flips_(std::move(f)), raw_in_yuy2_(raw_in_yuy2) {}

  readout readout_for(uint32_t fcc, uint32_t width, uint32_t height) const {
    const sensor_config& c = sensor_->config();
    const bool colour = sensor_->colour();
    if (is_container(fcc) && raw_in_yuy2_) width *= 2;
    readout r;
    r.width = width;
    r.height = height;
    const uint32_t bin = std::max(1u, std::min(width ? c.width / width : 1, height ? c.height / height : 1));
    r.bin_x = r.bin_y = bin;
    const uint32_t span_x = std::min(c.width, width * bin), span_y = std::min(c.height, height * bin);
    r.x = (c.width - span_x) / 2;
    r.y = (c.height - span_y) / 2;
    if (colour) r.x &= ~1u, r.y &= ~1u;
    r.mirror_x = flips_->x.load();
    r.mirror_y = flips_->y.load();
    return r;
  }

  void render(const frame_format& format, uint64_t number, std::vector<uint8_t>& frame) override {
    const uint32_t fcc = format.fourcc;
    unsigned bits = 0;
    if (is_8bit_raw(fcc) || (is_container(fcc) && raw_in_yuy2_)) bits = 8;
    if (is_16bit_raw(fcc)) bits = 16;
    if (bits == 0) {
      const uint32_t bytes = (uint32_t)((uint64_t)format.width * format.height * format.bits_per_pixel / 8);
      frame.assign(bytes, 0);
      return;
    }
    sensor_->render(readout_for(fcc, format.width, format.height), bits, number, frame);
  }

 private:
  std::shared_ptr<sensor_model> sensor_;
  std::shared_ptr<flips> flips_;
  const bool raw_in_yuy2_;
};

// ---- the camera -----------------------------------------------------------------------------------

std::shared_ptr<raw_sensor_camera> raw_sensor_camera::create(const raw_camera_model& model,
                                                            const sensor_options& options) {
  std::shared_ptr<const scene> view = make_scene(options.scene);
  if (!view) return nullptr;
  // The descriptors exactly as a described camera has them.
  const uvc_camera_desc desc = describe(model);
  const std::shared_ptr<uvc_camera> described = uvc_camera::create(desc);
  auto camera = std::make_shared<raw_sensor_camera>(model, options, described->device_descriptor(),
                                                    described->configuration_descriptor(), std::move(view));
  camera->set_string(1, desc.manufacturer);
  camera->set_string(2, desc.product);
  camera->set_string(3, desc.serial);
  camera->define_controls(options);
  if (options.defects > 0) {
    const sensor_config& c = camera->sensor_->config();
    const std::vector<sensor_defect> defects = seeded_defects(c.width, c.height, options.defects, options.defect_seed);
    camera->sensor_->set_defects(defects);
    const std::vector<uint32_t> entries = defect_entries(defects);
    if (options.store_defects && model.family == raw_family::camera_84xx) {
      camera->write_memory(defect_memory_address, memory_defect_store(entries, c.width, !options.raw_defect_store));
    } else if (options.store_defects) {
      camera->eeprom_->write(defect_window_start, eeprom_defect_store(entries, c.width, defect_window_start,
                                                                      defect_window_end, !options.raw_defect_store));
    }
  }
  camera->set_stream_options(camera->get_stream_options());
  return camera;
}

raw_sensor_camera::raw_sensor_camera(const raw_camera_model& model, const sensor_options& options,
                                     std::vector<uint8_t> device_descriptor, std::vector<uint8_t> configuration,
                                     std::shared_ptr<const scene> view)
    : uvc_camera(std::move(device_descriptor), std::move(configuration)),
      model_(model),
      flips_(std::make_shared<flips>()),
      stored_default_sets_(options.stored_default_sets),
      stored_register_description_(options.stored_register_description) {
  sensor_config config = model.sensor;
  config.seed = options.seed;
  config.noise = options.noise;
  illuminant light = model.light;
  if (options.kelvin > 0) light.kelvin = options.kelvin;
  if (options.lux > 0) light.lux = options.lux;
  sensor_ = std::make_shared<sensor_model>(config, std::move(view), light);
  source_ = std::make_shared<sensor_source>(sensor_, flips_, model.raw_in_yuy2);
  if (model.family == raw_family::camera_83xx) eeprom_ = std::make_unique<serial_eeprom>(kEepromSize);
}

raw_sensor_camera::~raw_sensor_camera() = default;

void raw_sensor_camera::define_controls(const sensor_options& options) {
  const sensor_config& c = sensor_->config();
  const double start_us = resolve(options.exposure, c.exposure_default_us, c.exposure_min_us, c.exposure_max_us);
  const double start_gain = resolve(options.gain, c.gain_default, c.gain_min, c.gain_max);
  const int64_t gain_min = (int64_t)std::ceil(c.gain_min * kGainUnit);
  const int64_t gain_max = (int64_t)std::floor(c.gain_max * kGainUnit);
  const int64_t gain_def = std::llround(c.gain_default * kGainUnit);
  const int64_t gain = std::min(gain_max, std::max(gain_min, (int64_t)std::llround(start_gain * kGainUnit)));
  define_control(value_control(kProcessingUnit, kPuGain, 2, gain_min, gain_max, gain_def, gain));
  sensor_->write_gain(gain / kGainUnit, false);

  if (model_.family == raw_family::camera_83xx) {
    const int64_t min = (int64_t)std::ceil(c.exposure_min_us / kCtExposureUnitUs);
    const int64_t max = (int64_t)std::floor(c.exposure_max_us / kCtExposureUnitUs);
    const int64_t def = std::llround(c.exposure_default_us / kCtExposureUnitUs);
    const int64_t cur = std::min(max, std::max(min, (int64_t)std::llround(start_us / kCtExposureUnitUs)));
    define_control(value_control(kCameraTerminal, kCtExposureAbsolute, 4, min, max, def, cur));
    sensor_->write_exposure_us(cur * kCtExposureUnitUs, false);
    for (uint8_t s : {kSel83ExposureAuto, kSel83GainAuto, kSel83WhiteBalanceAuto}) {
      define_control(value_control(kUnit2, s, 4, 0, 1, 1, 1));
    }
    const int64_t longest = (int64_t)std::floor(c.exposure_max_us);
    define_control(value_control(kUnit2, kSel83AutoMaximum, 4, (int64_t)std::ceil(c.exposure_min_us), longest,
                                 longest, longest));
    define_control(value_control(kUnit2, kSel83Reference, 4, 0, 255, 128, 128));
    define_control(value_control(kUnit2, kSel83FlipX, 4, 0, 1, 0, 0));
    define_control(value_control(kUnit2, kSel83FlipY, 4, 0, 1, 0, 0));
    // Vendor registers of the camera terminal (selectors from 32 on).
    define_control(read_only(kCameraTerminal, kSel83Capabilities, le_bytes(0, 4)));
    define_control(read_only(kCameraTerminal, kSel83Firmware, le_bytes(model_.firmware_revision, 4)));
  } else {
    const int64_t min = (int64_t)std::ceil(c.exposure_min_us);
    const int64_t max = (int64_t)std::floor(c.exposure_max_us);
    const int64_t cur = std::min(max, std::max(min, (int64_t)std::llround(start_us)));
    define_control(value_control(kUnit2, kSel84Exposure, 4, min, max, std::llround(c.exposure_default_us), cur));
    sensor_->write_exposure_us((double)cur, false);
    define_control(value_control(kUnit2, kSel84Gain, 4, gain_min, gain_max, gain_def, gain));
    define_control(value_control(kUnit2, kSel84ExposureAuto, 1, 0, 1, 1, 1));
    define_control(value_control(kUnit2, kSel84GainAuto, 1, 0, 1, 1, 1));
    define_control(value_control(kUnit2, kSel84Reference, 4, 0, 255, 128, 128));
    define_control(value_control(kUnit2, kSel84PatternFix, 1, 0, 1, 0, 0));
    define_control(value_control(kUnit2, kSel84FlipX, 1, 0, 1, 0, 0));
    define_control(value_control(kUnit2, kSel84FlipY, 1, 0, 1, 0, 0));
    if (model_.colour) {
      const std::vector<float> table = sensor_temperature_table(c);
      std::vector<uint8_t> bytes(table.size() * 4);
      for (size_t i = 0; i < table.size(); ++i) {
        uint32_t bits;
        std::memcpy(&bits, &table[i], 4);
        put_le32(&bytes[i * 4], bits);
      }
      define_control(read_only(kUnit2, kSel84TemperatureTable, bytes));
    }
  }
}

void raw_sensor_camera::set_stream_options(const stream_options& options) {
  stream_options own = options;
  if (!own.source) own.source = source_;
  uvc_camera::set_stream_options(own);
}

readout raw_sensor_camera::readout_for(uint32_t fcc, uint32_t width, uint32_t height) const {
  return source_->readout_for(fcc, width, height);
}

pixel_rect raw_sensor_camera::pixels_of(const scene_rect& area, uint32_t fcc, uint32_t width, uint32_t height) const {
  return pixels_inside(sensor_->config(), readout_for(fcc, width, height), area);
}

void raw_sensor_camera::set_stored_default_sets(std::vector<uint8_t> document) {
  std::lock_guard<std::mutex> guard(stored_lock_);
  stored_default_sets_ = std::move(document);
}

void raw_sensor_camera::set_stored_register_description(std::vector<uint8_t> document) {
  std::lock_guard<std::mutex> guard(stored_lock_);
  stored_register_description_ = std::move(document);
}

std::vector<request_context> raw_sensor_camera::request_contexts() const {
  std::lock_guard<std::mutex> guard(contexts_lock_);
  return contexts_;
}

void raw_sensor_camera::clear_request_contexts() {
  std::lock_guard<std::mutex> guard(contexts_lock_);
  contexts_.clear();
}

USBD_STATUS raw_sensor_camera::handle_class_or_vendor(const setup_packet& setup, std::vector<uint8_t>& data) {
  request_context context;
  context.setup = setup;
  if (!setup.is_in()) context.out_data = data;
  context.irql = KeGetCurrentIrql();
  context.thread = KeGetCurrentThread();
  context.frame = sensor_->last_frame();

  USBD_STATUS status;
  if (eeprom_ && setup.type() == kRequestTypeVendor && setup.request == kVendorEepromAddress) {
    status = eeprom_->set_address(setup, data);
  } else if (eeprom_ && setup.type() == kRequestTypeVendor && setup.request == kVendorEepromTransfer) {
    status = eeprom_->transfer(setup, data);
  } else if (setup.type() == kRequestTypeVendor && setup.request != kVendorCameraMemory) {
    status = vendor_request(setup, data);
  } else {
    status = uvc_camera::handle_class_or_vendor(setup, data);
  }
  if (USBD_SUCCESS(status) && setup.type() == kRequestTypeClass && setup.request == uvc::SET_CUR &&
      setup.recipient() == kRecipientInterface && (uint8_t)setup.index == control_interface()) {
    control_written((uint8_t)(setup.index >> 8), (uint8_t)(setup.value >> 8), data);
  }
  context.status = status;
  std::lock_guard<std::mutex> guard(contexts_lock_);
  contexts_.push_back(std::move(context));
  if (contexts_.size() > kContextLimit) contexts_.erase(contexts_.begin());
  return status;
}

USBD_STATUS raw_sensor_camera::vendor_request(const setup_packet& setup, std::vector<uint8_t>& data) {
  if (!setup.is_in() || setup.recipient() != kRecipientDevice) return USBD_STATUS_STALL_PID;
  const bool is_84xx = model_.family == raw_family::camera_84xx;
  switch (setup.request) {
    case kVendorRegister:
      if (setup.index != kColourRegister) return USBD_STATUS_STALL_PID;
      data = {(uint8_t)(model_.colour ? kColourBit : 0)};
      return USBD_STATUS_SUCCESS;
    case kVendorFirmware:
      if (!is_84xx) return USBD_STATUS_STALL_PID;
      data = le_bytes(model_.firmware_revision, 4);
      return USBD_STATUS_SUCCESS;
    case kVendorDescriptionLength:
    case kVendorDocumentLength:
    case kVendorDescriptionData:
    case kVendorDocumentData: {
      if (!is_84xx) return USBD_STATUS_STALL_PID;
      std::lock_guard<std::mutex> guard(stored_lock_);
      const bool sets = setup.request == kVendorDocumentLength || setup.request == kVendorDocumentData;
      const std::vector<uint8_t>& document = sets ? stored_default_sets_ : stored_register_description_;
      if (setup.request == kVendorDescriptionLength || setup.request == kVendorDocumentLength) {
        data = le_bytes(document.size(), 4);
        return USBD_STATUS_SUCCESS;
      }
      // A chunk from the byte offset in wValue:wIndex, short at the end.
      const size_t offset = ((size_t)setup.value << 16) | setup.index;
      const size_t begin = std::min(offset, document.size());
      const size_t end = std::min(document.size(), begin + setup.length);
      data.assign(document.begin() + (ptrdiff_t)begin, document.begin() + (ptrdiff_t)end);
      return USBD_STATUS_SUCCESS;
    }
    default:
      return USBD_STATUS_STALL_PID;
  }
}

// After a successful SET_CUR: what the sensor does with it. No lock held.
void raw_sensor_camera::control_written(uint8_t entity, uint8_t selector, const std::vector<uint8_t>& data) {
  const bool streams = streaming();
  const int64_t v = le_value(data);
  if (entity == kProcessingUnit && selector == kPuGain) {
    sensor_->write_gain(v / kGainUnit, streams);
    if (model_.family == raw_family::camera_84xx) set_current(kUnit2, kSel84Gain, le_bytes(v, 4));
    return;
  }
  if (model_.family == raw_family::camera_83xx) {
    if (entity == kCameraTerminal && selector == kCtExposureAbsolute) {
      sensor_->write_exposure_us(v * kCtExposureUnitUs, streams);
    } else if (entity == kUnit2 && selector == kSel83FlipX) {
      flips_->x = v != 0;
    } else if (entity == kUnit2 && selector == kSel83FlipY) {
      flips_->y = v != 0;
    }
    return;
  }
  if (entity != kUnit2) return;
  switch (selector) {
    case kSel84Exposure:
      sensor_->write_exposure_us((double)v, streams);
      break;
    case kSel84Gain:
      sensor_->write_gain(v / kGainUnit, streams);
      set_current(kProcessingUnit, kPuGain, le_bytes(v, 2));
      break;
    case kSel84FlipX:
      flips_->x = v != 0;
      break;
    case kSel84FlipY:
      flips_->y = v != 0;
      break;
    default:
      break;
  }
}

// ---- models ------------------------------------------------------------------------------------------

std::vector<float> sensor_temperature_table(const sensor_config& sensor) {
  std::vector<float> table;
  const band_values neutral{1, 1, 1};
  for (int kelvin = 2500; kelvin <= 10000; kelvin += 100) {
    const illuminant light{(double)kelvin, 1000};
    double signal[3];
    for (int c = 0; c < 3; ++c) {
      const band_values rate = band_electron_rate(light, sensor.optics, sensor.channels[c]);
      signal[c] = rate[0] * neutral[0] + rate[1] * neutral[1] + rate[2] * neutral[2];
    }
    const double strongest = std::max({signal[0], signal[1], signal[2]});
    for (double s : signal) table.push_back((float)(strongest / s));
  }
  return table;
}

namespace {

raw_format format(const char* fcc, uint8_t bits, std::vector<std::pair<uint16_t, uint16_t>> sizes,
                       std::vector<uint32_t> intervals) {
  raw_format f;
  std::memcpy(f.fourcc, fcc, 5);
  f.bits_per_pixel = bits;
  f.sizes = std::move(sizes);
  f.intervals = std::move(intervals);
  return f;
}

// A 1.2-megapixel sensor of 3.75 um pixels with a 10 000 e- full well, as
// in machine-vision cameras of the USB 2.0 generation.
sensor_config sensor_83xx(bool colour) {
  sensor_config s;
  s.width = 1280;
  s.height = 960;
  s.pixel_um = 3.75;
  s.full_well_e = 10000;
  s.read_noise_e = 8;
  s.cfa = colour ? cfa_pattern::grbg : cfa_pattern::mono;
  if (colour) {
    s.channels = {channel_response{605, 22, 0.42, true}, channel_response{540, 38, 0.55, true},
                  channel_response{465, 35, 0.52, true}};
  } else {
    s.channels[0] = channel_response{550, 110, 0.60, false};
  }
  s.optics = {colour ? 2.8 : 5.6, 0.9};
  s.exposure_min_us = 100;  // the camera terminal's unit
  s.exposure_max_us = 33300;
  s.exposure_default_us = 10000;
  return s;
}

// A 2.3-megapixel sensor of 5.86 um pixels with a 32 000 e- full well and
// a higher quantum efficiency, as in current machine-vision cameras.
sensor_config sensor_84xx(bool colour) {
  sensor_config s;
  s.width = 1920;
  s.height = 1200;
  s.pixel_um = 5.86;
  s.full_well_e = 32000;
  s.read_noise_e = 7;
  s.cfa = colour ? cfa_pattern::bggr : cfa_pattern::mono;
  if (colour) {
    s.channels = {channel_response{605, 22, 0.55, true}, channel_response{540, 38, 0.72, true},
                  channel_response{465, 35, 0.68, true}};
  } else {
    s.channels[0] = channel_response{550, 110, 0.75, false};
  }
  s.optics = {colour ? 2.8 : 5.6, 0.9};
  s.exposure_min_us = 20;
  s.exposure_max_us = 33333;
  s.exposure_default_us = 10000;
  return s;
}

}  // namespace

std::vector<raw_camera_model> raw_camera_models() {
  const std::vector<uint32_t> rates8 = {kFps30, kFps15, kFps7_5};
  const std::vector<uint32_t> rates16 = {kFps15, kFps7_5};
  std::vector<raw_camera_model> models;

  raw_camera_model s;
  s.id = "8307-colour";
  s.family = raw_family::camera_83xx;
  s.product_id = 0x8307;
  s.product = "Raw Sensor Camera 8307";
  s.colour = true;
  s.sensor = sensor_83xx(true);
  s.formats = {format("BY8 ", 8, {{1280, 960}, {640, 480}}, rates8),
               format("BA16", 16, {{1280, 960}, {640, 480}}, rates16)};
  s.firmware_revision = 0x00010203;
  s.light = {5000, 2500};
  s.description = "camera_83xx colour, bulk: BY8 and BA16 (GRBG), 1280x960 and 640x480";
  models.push_back(s);

  s.id = "8308-mono";
  s.product_id = 0x8308;
  s.product = "Raw Sensor Camera 8308";
  s.colour = false;
  s.sensor = sensor_83xx(false);
  s.formats = {format("Y800", 8, {{1280, 960}, {640, 480}}, rates8),
               format("Y16 ", 16, {{1280, 960}, {640, 480}}, rates16)};
  s.description = "camera_83xx mono, bulk: Y800 and Y16, 1280x960 and 640x480";
  models.push_back(s);

  s.id = "8406-colour";
  s.family = raw_family::camera_84xx;
  s.product_id = 0x8406;
  s.product = "Raw Sensor Camera 8406";
  s.colour = true;
  s.sensor = sensor_84xx(true);
  s.formats = {format("BA81", 8, {{1920, 1200}, {1920, 1080}, {640, 480}}, rates8),
               format("BG16", 16, {{1920, 1200}, {1920, 1080}, {640, 480}}, rates16)};
  s.firmware_revision = 0x00020401;
  s.description = "camera_84xx colour, bulk: BA81 and BG16 (BGGR), 1920x1200, 1920x1080 and 640x480";
  models.push_back(s);

  s.id = "8416-mono";
  s.product_id = 0x8416;
  s.product = "Raw Sensor Camera 8416";
  s.colour = false;
  s.sensor = sensor_84xx(false);
  s.formats = {format("Y800", 8, {{1920, 1200}, {1920, 1080}, {640, 480}}, rates8),
               format("Y16 ", 16, {{1920, 1200}, {1920, 1080}, {640, 480}}, rates16)};
  s.description = "camera_84xx mono, bulk: Y800 and Y16, 1920x1200, 1920x1080 and 640x480";
  models.push_back(s);
  return models;
}

const raw_camera_model* find_raw_camera_model(const std::vector<raw_camera_model>& models, const std::string& id) {
  for (const raw_camera_model& s : models) {
    if (s.id == id) return &s;
  }
  return nullptr;
}

}  // namespace sim
