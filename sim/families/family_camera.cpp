// The common ground of the family models (family_camera.h).
#include "family_camera.h"

#include <algorithm>
#include <cmath>

namespace sim {

const GUID kSensorUnitGuid = {0xDE49BA0A, 0x0B5C, 0xD549, {0x8F, 0x71, 0x0B, 0xE4, 0x0F, 0x94, 0xA6, 0x7A}};
const GUID kVendorUnitGuid = {0x923ED695, 0x56F2, 0x11E1, {0x83, 0xF7, 0x37, 0x70, 0x48, 0x24, 0x01, 0x9B}};

namespace {

constexpr uint8_t kCtExposureAbsolute = 0x04;  // camera terminal, 100 us units
constexpr uint8_t kPuGain = 0x04;              // processing unit, 64 = 1.0
constexpr double kExposureUnitUs = 100.0;
constexpr double kGainUnit = 64.0;

double resolve(const start_value& v, double def, double min, double max) {
  switch (v.which) {
    case start_value::kind::minimum: return min;
    case start_value::kind::maximum: return max;
    case start_value::kind::value: return std::min(max, std::max(min, v.value));
    case start_value::kind::model_default: break;
  }
  return def;
}

// BT.601 in 8-bit fixed point (x 256), studio or full range.
uint8_t to_byte(int v) { return (uint8_t)std::clamp(v, 0, 255); }
uint8_t luma(const uint8_t* p, bool full) {
  return full ? to_byte((77 * p[0] + 150 * p[1] + 29 * p[2] + 128) >> 8)
              : to_byte(((66 * p[0] + 129 * p[1] + 25 * p[2] + 128) >> 8) + 16);
}
uint8_t chroma_u(int r, int g, int b, bool full) {
  return full ? to_byte(((-43 * r - 85 * g + 128 * b + 128) >> 8) + 128)
              : to_byte(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128);
}
uint8_t chroma_v(int r, int g, int b, bool full) {
  return full ? to_byte(((128 * r - 107 * g - 21 * b + 128) >> 8) + 128)
              : to_byte(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
}

}  // namespace

namespace family_wire {

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

uvc_control value_control(uint8_t entity, uint8_t selector, uint16_t length, int64_t min, int64_t max, int64_t def,
                          int64_t res) {
  uvc_control c;
  c.entity = entity;
  c.selector = selector;
  c.length = length;
  c.min = le_bytes(min, length);
  c.max = le_bytes(max, length);
  c.res = le_bytes(res, length);
  c.def = le_bytes(def, length);
  c.cur = c.def;
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

std::vector<uint8_t> bm_controls(std::initializer_list<uint8_t> selectors, size_t bytes) {
  std::vector<uint8_t> bits(bytes, 0);
  for (uint8_t s : selectors) {
    if (s != 0 && (s - 1u) / 8 < bytes) bits[(s - 1) / 8] |= (uint8_t)(1u << ((s - 1) % 8));
  }
  return bits;
}

}  // namespace family_wire

std::shared_ptr<sensor_model> make_model_sensor(const sensor_config& config, const illuminant& model_light,
                                                const sensor_options& options, double* exposure_us, double* gain) {
  std::shared_ptr<const scene> view = make_scene(options.scene);
  if (!view) return nullptr;
  sensor_config c = config;
  c.seed = options.seed;
  c.noise = options.noise;
  illuminant light = model_light;
  if (options.kelvin > 0) light.kelvin = options.kelvin;
  if (options.lux > 0) light.lux = options.lux;
  *exposure_us = resolve(options.exposure, c.exposure_default_us, c.exposure_min_us, c.exposure_max_us);
  *gain = resolve(options.gain, c.gain_default, c.gain_min, c.gain_max);
  return std::make_shared<sensor_model>(c, std::move(view), light);
}

readout centred_readout(const sensor_config& sensor, uint32_t width, uint32_t height, bool mirror_x,
                        bool mirror_y) {
  readout r;
  r.width = width;
  r.height = height;
  const uint32_t bin = std::max(1u, std::min(width ? sensor.width / width : 1, height ? sensor.height / height : 1));
  r.bin_x = r.bin_y = bin;
  const uint32_t span_x = std::min(sensor.width, width * bin), span_y = std::min(sensor.height, height * bin);
  r.x = (sensor.width - span_x) / 2;
  r.y = (sensor.height - span_y) / 2;
  if (sensor.cfa != cfa_pattern::mono) r.x &= ~1u, r.y &= ~1u;
  r.mirror_x = mirror_x;
  r.mirror_y = mirror_y;
  return r;
}

std::vector<uint8_t> rgb_to_yuy2(const std::vector<uint8_t>& rgb, uint32_t width, uint32_t height, bool full_range) {
  std::vector<uint8_t> out((size_t)width * height * 2, 0);
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* p = rgb.data() + (size_t)y * width * 3;
    uint8_t* o = out.data() + (size_t)y * width * 2;
    for (uint32_t x = 0; x < width; x += 2, p += 6, o += 4) {
      const uint8_t* q = x + 1 < width ? p + 3 : p;  // a last pixel without a partner pairs with itself
      const int r = (p[0] + q[0] + 1) / 2, g = (p[1] + q[1] + 1) / 2, b = (p[2] + q[2] + 1) / 2;
      o[0] = luma(p, full_range);
      o[1] = chroma_u(r, g, b, full_range);
      if (x + 1 == width) break;
      o[2] = luma(q, full_range);
      o[3] = chroma_v(r, g, b, full_range);
    }
  }
  return out;
}

std::vector<uint8_t> rgb_to_y800(const std::vector<uint8_t>& rgb, uint32_t width, uint32_t height) {
  std::vector<uint8_t> out((size_t)width * height);
  for (size_t i = 0; i < out.size(); ++i) out[i] = luma(&rgb[i * 3], true);
  return out;
}

// ---- the camera -----------------------------------------------------------------------------------

family_camera::family_camera(const uvc_camera_desc& desc, std::string family, std::shared_ptr<sensor_model> sensor)
    : family_camera(*uvc_camera::create(desc), desc, std::move(family), std::move(sensor)) {}

family_camera::family_camera(const uvc_camera& built, const uvc_camera_desc& desc, std::string family,
                             std::shared_ptr<sensor_model> sensor)
    : uvc_camera(built.device_descriptor(), built.configuration_descriptor()),
      family_(std::move(family)),
      sensor_(std::move(sensor)) {
  set_string(1, desc.manufacturer);
  set_string(2, desc.product);
  set_string(3, desc.serial);
}

family_camera::~family_camera() = default;

bool family_camera::answer(const setup_packet&, std::vector<uint8_t>&, USBD_STATUS*) { return false; }

void family_camera::written(uint8_t, uint8_t, const std::vector<uint8_t>&) {}

void family_camera::wire_exposure_and_gain(uint8_t camera_terminal, uint8_t processing_unit, double exposure_us,
                                           double gain) {
  using namespace family_wire;
  const sensor_config& c = sensor_->config();
  const int64_t e_min = (int64_t)std::ceil(c.exposure_min_us / kExposureUnitUs);
  const int64_t e_max = (int64_t)std::floor(c.exposure_max_us / kExposureUnitUs);
  uvc_control exposure = value_control(camera_terminal, kCtExposureAbsolute, 4, e_min, e_max,
                                       std::llround(c.exposure_default_us / kExposureUnitUs));
  const int64_t e = std::clamp<int64_t>(std::llround(exposure_us / kExposureUnitUs), e_min, e_max);
  exposure.cur = le_bytes(e, 4);
  define_control(exposure);
  sensor_->write_exposure_us(e * kExposureUnitUs, false);

  const int64_t g_min = (int64_t)std::ceil(c.gain_min * kGainUnit);
  const int64_t g_max = (int64_t)std::floor(c.gain_max * kGainUnit);
  uvc_control g = value_control(processing_unit, kPuGain, 2, g_min, g_max, std::llround(c.gain_default * kGainUnit));
  const int64_t v = std::clamp<int64_t>(std::llround(gain * kGainUnit), g_min, g_max);
  g.cur = le_bytes(v, 2);
  define_control(g);
  sensor_->write_gain(v / kGainUnit, false);
  exposure_entity_ = camera_terminal;
  gain_entity_ = processing_unit;
}

USBD_STATUS family_camera::handle_class_or_vendor(const setup_packet& setup, std::vector<uint8_t>& data) {
  USBD_STATUS status = USBD_STATUS_STALL_PID;
  if (answer(setup, data, &status)) return status;
  status = uvc_camera::handle_class_or_vendor(setup, data);
  const bool unit_write = setup.type() == kRequestTypeClass && setup.request == uvc::SET_CUR &&
                          setup.recipient() == kRecipientInterface && (uint8_t)setup.index == control_interface();
  if (!USBD_SUCCESS(status) || !unit_write) return status;
  const uint8_t entity = (uint8_t)(setup.index >> 8), selector = (uint8_t)(setup.value >> 8);
  if (sensor_ && exposure_entity_ != 0) {
    const bool streams = streaming();
    if (entity == exposure_entity_ && selector == kCtExposureAbsolute) {
      sensor_->write_exposure_us(family_wire::le_value(data) * kExposureUnitUs, streams);
    } else if (entity == gain_entity_ && selector == kPuGain) {
      sensor_->write_gain(family_wire::le_value(data) / kGainUnit, streams);
    }
  }
  written(entity, selector, data);
  return status;
}

}  // namespace sim
