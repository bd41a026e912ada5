// Simulated 0x82xx cameras (model_82xx.h): register 26, the camera
// terminal's window, timing, binning and skipping registers, the EEPROM,
// and frames read out of the sensor through the window.
#include "model_82xx.h"

#include <algorithm>
#include <cstdio>

#include "sim/wire.h"

namespace sim {
namespace {

using namespace family_wire;

constexpr uint8_t kCameraTerminal = 1;
constexpr uint8_t kProcessingUnit = 2;
constexpr uint8_t kOutputTerminal = 3;
constexpr uint8_t kSensorUnit = 4;

// Camera terminal vendor registers (selectors from 32 on are 4 bytes).
constexpr uint8_t kTrigger = 17;
constexpr uint8_t kCapabilities = 32;
constexpr uint8_t kPixelClock = 36;
constexpr uint8_t kWidth = 37, kHeight = 38;
constexpr uint8_t kBlanking = 39;
constexpr uint8_t kOffsetX = 40, kOffsetY = 41;
constexpr uint8_t kBinning = 42;
constexpr uint8_t kSoftwareTrigger = 43;
constexpr uint8_t kFirmware = 45;
constexpr uint8_t kTriggerOption = 46;
constexpr uint8_t kSkipping = 54;
constexpr uint8_t kStrobe = 55;
constexpr uint8_t kTimingWidth = 56, kTimingHeight = 57, kTimingBinning = 58, kTimingResult = 59;
constexpr uint8_t kEepromWindow = 71;
constexpr uint8_t kFormatMask = 33;    // processing unit
constexpr uint8_t kControlBlock = 9;   // sensor extension unit

// Capability bits of register 32.
constexpr uint32_t kCapWindow = 0x20 | 0x40;
constexpr uint32_t kCapTiming = 0x10 | 0x80;
constexpr uint32_t kCapBinning = 0x100;
constexpr uint32_t kCapSkipping = 0x10000;
constexpr uint32_t kCapStrobe = 0x40000;
constexpr uint32_t kFormatMaskPresent = 0x2;  // register 33's current value

constexpr uint16_t kRegister = 4;  // bytes of a vendor register
constexpr uint8_t kVendorRegister = 0x00;
constexpr uint16_t kColourRegister = 26;
constexpr uint8_t kColourBit = 0x02;
constexpr uint8_t kTriggerOptionWritable = 0x01;
constexpr uint8_t kRefusedFactor = 3;  // the sensor bins and skips by 1, 2 or 4

constexpr uint64_t kTicksPerSecond = 10000000;  // 100 ns

uint32_t round_down(uint32_t v, uint32_t step) { return step > 1 ? v / step * step : v; }

// The interval of `list` nearest to `v` (as the camera negotiates it).
uint32_t nearest(const std::vector<uint32_t>& list, uint32_t v) {
  auto distance = [v](uint32_t c) { return c > v ? c - v : v - c; };
  uint32_t best = list.front();
  for (uint32_t c : list) {
    if (distance(c) < distance(best)) best = c;
  }
  return best;
}

}  // namespace

// ---- the window -------------------------------------------------------------------------------

// What the registers hold now. Guarded by `lock`, a leaf: the frame source
// reads it inside the stream's lock, the request path writes it with no
// other lock held.
struct model_82xx::window_state {
  struct values {
    uint32_t width = 0, height = 0;  // output pixels
    uint32_t x = 0, y = 0;           // sensor pixels
    uint32_t binning = 1, skipping = 1;
    uint32_t clock = 0;              // pixels per second; 0: no timing
  };
  // The sensor and register layout the readout is computed from.
  uint32_t sensor_width = 0, sensor_height = 0;
  bool colour = false;
  sensor_window_desc window;

  mutable std::mutex lock;
  values current;

  values get() const {
    std::lock_guard<std::mutex> guard(lock);
    return current;
  }
  void set(const values& v) {
    std::lock_guard<std::mutex> guard(lock);
    current = v;
  }

  // Horizontal and vertical blanking for a window binned by `binning`.
  uint32_t blank_x(uint32_t binning) const {
    return window.blank_x + (window.extended_timing ? window.blank_x_per_bin * (std::max(1u, binning) - 1) : 0);
  }
  uint32_t blank_y() const { return window.blank_y; }
  uint64_t total_pixels(uint32_t width, uint32_t height, uint32_t binning) const {
    return (uint64_t)(blank_x(binning) + width) * (blank_y() + height);
  }

  readout readout_of(const values& v) const {
    readout r;
    r.width = v.width;
    r.height = v.height;
    r.bin_x = r.bin_y = std::max(1u, v.binning);
    r.skip_x = r.skip_y = std::max(1u, v.skipping);
    // The area read is moved in to fit the sensor where it can.
    const uint32_t span_x = r.span_x(colour), span_y = r.span_y(colour);
    r.x = span_x <= sensor_width ? std::min(v.x, sensor_width - span_x) : 0;
    r.y = span_y <= sensor_height ? std::min(v.y, sensor_height - span_y) : 0;
    if (colour) r.x &= ~1u, r.y &= ~1u;
    return r;
  }

  uint32_t period_of(const values& v) const {
    if (v.clock == 0) return 0;
    return (uint32_t)std::min<uint64_t>(UINT32_MAX, total_pixels(v.width, v.height, v.binning) * kTicksPerSecond / v.clock);
  }
};

// The stream's picture: the sensor through the window, 8-bit samples.
class model_82xx::window_source final : public frame_source {
 public:
  window_source(std::shared_ptr<sensor_model> sensor, std::shared_ptr<const window_state> state)
      : sensor_(std::move(sensor)), state_(std::move(state)) {}

  void render(const frame_format&, uint64_t number, std::vector<uint8_t>& frame) override {
    const window_state::values v = state_->get();
    period_ = state_->period_of(v);
    sensor_->render(state_->readout_of(v), 8, number, frame);
  }
  frame_traits traits(const frame_format&, uint64_t) override {
    frame_traits t;
    t.interval = period_;
    return t;
  }

 private:
  std::shared_ptr<sensor_model> sensor_;
  std::shared_ptr<const window_state> state_;
  uint32_t period_ = 0;  // of the frame rendered last; the stream calls render and traits in turn
};

// ---- the camera -------------------------------------------------------------------------------------

namespace {

uvc_camera_desc describe(const model_82xx_desc& d) {
  uvc_camera_desc u;
  u.vendor_id = 0x199E;
  u.product_id = d.product_id;
  u.manufacturer = "Talvexa";
  u.product = d.product;
  char serial[16];
  snprintf(serial, sizeof serial, "%08X", 0x20000u + d.product_id + (d.colour ? 0 : 0x100000u));
  u.serial = serial;
  u.camera_terminal_id = kCameraTerminal;
  u.processing_unit_id = kProcessingUnit;
  u.output_terminal_id = kOutputTerminal;
  u.camera_controls = 1u << 3;       // exposure time absolute
  u.processing_controls = 1u << 9;   // gain
  if (d.control_block != 0) {
    uvc_extension_unit_desc xu;
    xu.unit_id = kSensorUnit;
    xu.guid = kSensorUnitGuid;
    xu.bm_controls = bm_controls({kControlBlock}, 2);
    xu.num_controls = 1;
    u.extension_units = {xu};
  }
  u.interrupt_endpoint = true;  // the family watches it for dropped frames
  for (const auto& frames : d.formats) {
    uvc_format_desc f;
    f.kind = uvc_format_kind::uncompressed;
    f.guid = fourcc_guid("YUY2");
    f.bits_per_pixel = 16;
    f.frames.clear();
    for (const model_82xx_frame& m : frames) {
      uvc_frame_desc fr;
      fr.width = m.width;
      fr.height = m.height;
      fr.intervals = m.intervals;
      fr.default_interval =
          std::find(m.intervals.begin(), m.intervals.end(), 333333u) != m.intervals.end() ? 333333 : m.intervals.front();
      f.frames.push_back(fr);
    }
    u.formats.push_back(f);
  }
  u.iso_packet_sizes.clear();  // bulk
  u.bulk_packet_size = 512;
  return u;
}

}  // namespace

std::shared_ptr<model_82xx> model_82xx::create(const model_82xx_desc& desc, const sensor_options& options) {
  double exposure_us = 0, gain = 1;
  std::shared_ptr<sensor_model> sensor = make_model_sensor(desc.sensor, desc.light, options, &exposure_us, &gain);
  if (!sensor) return nullptr;
  if (options.defects > 0) {
    const std::vector<sensor_defect> defects =
        seeded_defects(desc.sensor.width, desc.sensor.height, options.defects, options.defect_seed);
    sensor->set_defects(defects);
  }
  auto camera = std::make_shared<model_82xx>(desc, describe(desc), sensor);
  camera->define_registers(exposure_us, gain);
  camera->eeprom_.attach(*camera);
  if (options.defects > 0 && options.store_defects) {
    const uint32_t start = camera->defect_window_start(), end = camera->defect_window_end();
    camera->eeprom_.write(start, eeprom_defect_store(defect_entries(sensor->defects()), desc.sensor.width, start, end,
                                                     !options.raw_defect_store));
  }
  camera->set_stream_options(camera->get_stream_options());
  return camera;
}

model_82xx::model_82xx(const model_82xx_desc& desc, const uvc_camera_desc& usb, std::shared_ptr<sensor_model> sensor)
    : family_camera(usb, desc.family, sensor), desc_(desc), eeprom_(desc.eeprom_size),
      state_(std::make_shared<window_state>()) {
  state_->sensor_width = desc.sensor.width;
  state_->sensor_height = desc.sensor.height;
  state_->colour = desc.sensor.cfa != cfa_pattern::mono;
  state_->window = desc.window;
  source_ = std::make_shared<window_source>(std::move(sensor), state_);
}

model_82xx::~model_82xx() = default;

void model_82xx::define_registers(double exposure_us, double gain) {
  const sensor_window_desc& w = desc_.window;
  const uint32_t sw = desc_.sensor.width, sh = desc_.sensor.height;
  wire_exposure_and_gain(kCameraTerminal, kProcessingUnit, exposure_us, gain);

  uint32_t capabilities = 0;
  if (w.window) {
    capabilities |= kCapWindow;
    define_control(value_control(kCameraTerminal, kWidth, kRegister, w.min_width, sw, sw, w.width_step));
    define_control(value_control(kCameraTerminal, kHeight, kRegister, w.min_height, sh, sh, w.height_step));
    define_control(value_control(kCameraTerminal, kOffsetX, kRegister, 0, sw - w.min_width, 0, w.offset_step));
    define_control(value_control(kCameraTerminal, kOffsetY, kRegister, 0, sh - w.min_height, 0, w.offset_step));
  }
  if (w.timing) {
    capabilities |= kCapTiming;
    define_control(value_control(kCameraTerminal, kPixelClock, kRegister, w.clock_min, w.clock_max, w.clock_max));
    define_control(read_only(kCameraTerminal, kBlanking, le_bytes(w.blank_x | (uint32_t)w.blank_y << 16, kRegister)));
  }
  if (w.max_binning != 0) {
    capabilities |= kCapBinning;
    define_control(value_control(kCameraTerminal, kBinning, kRegister, 1, w.max_binning, 1));
  }
  if (w.max_skipping != 0) {
    capabilities |= kCapSkipping;
    define_control(value_control(kCameraTerminal, kSkipping, kRegister, 1, w.max_skipping, 1));
  }
  if (w.extended_timing) {
    define_control(value_control(kCameraTerminal, kTimingWidth, kRegister, w.min_width, sw, sw));
    define_control(value_control(kCameraTerminal, kTimingHeight, kRegister, w.min_height, sh, sh));
    define_control(value_control(kCameraTerminal, kTimingBinning, kRegister, 1, std::max<uint8_t>(1, w.max_binning), 1));
    define_control(read_only(kCameraTerminal, kTimingResult,
                             le_bytes(state_->blank_x(1) | state_->blank_y() << 16, kRegister)));
  }
  if (w.format_mask != 0) {
    uvc_control mask = read_only(kProcessingUnit, kFormatMask, le_bytes(kFormatMaskPresent, kRegister));
    mask.min = le_bytes(0, kRegister);
    mask.max = le_bytes(w.format_mask, kRegister);
    define_control(mask);
  }
  if (desc_.strobe) {
    capabilities |= kCapStrobe;
    define_control(value_control(kCameraTerminal, kStrobe, kRegister, 0, 3, 0));
  }
  if (desc_.trigger) {
    define_control(value_control(kCameraTerminal, kTrigger, 1, 0, 3, 0));
    define_control(value_control(kCameraTerminal, kSoftwareTrigger, kRegister, 0, 1, 0));
    define_control(value_control(kCameraTerminal, kTriggerOption, kRegister, 0, 3, 0));
  }
  if (desc_.eeprom_window) {
    uvc_control window = read_only(kCameraTerminal, kEepromWindow, le_bytes(desc_.eeprom_size, kRegister));
    window.min = le_bytes(desc_.eeprom_size / 2, kRegister);
    define_control(window);
  }
  define_control(read_only(kCameraTerminal, kCapabilities, le_bytes(capabilities, kRegister)));
  define_control(read_only(kCameraTerminal, kFirmware, le_bytes(desc_.firmware_revision, kRegister)));
  if (desc_.control_block != 0) {
    uvc_control block = value_control(kSensorUnit, kControlBlock, kRegister, 0, 0, desc_.control_block);
    block.range_checked = false;
    block.max = le_bytes(UINT32_MAX, kRegister);
    define_control(block);
  }
  // Until a commit: the first format's first frame.
  if (!formats().empty() && !formats().front().frames.empty()) {
    uvc_streaming_control first;
    first.bFormatIndex = formats().front().index;
    first.bFrameIndex = formats().front().frames.front().index;
    commit_defaults(first.to_bytes(probe_length()));
  }
}

void model_82xx::set_stream_options(const stream_options& options) {
  stream_options own = options;
  if (!own.source) own.source = source_;
  uvc_camera::set_stream_options(own);
}

readout model_82xx::current_readout() const { return state_->readout_of(state_->get()); }
uint32_t model_82xx::current_period() const { return state_->period_of(state_->get()); }

// The window the firmware sets when a format is committed (see the header).
void model_82xx::commit_defaults(const std::vector<uint8_t>& commit) {
  const uvc_streaming_control wanted = uvc_streaming_control::from_bytes(commit.data(), commit.size());
  const uvc_format_info* format = nullptr;
  for (const auto& f : formats()) {
    if (format == nullptr || f.index == wanted.bFormatIndex) format = &f;
    if (f.index == wanted.bFormatIndex) break;
  }
  if (format == nullptr || format->frames.empty()) return;
  const uvc_frame_info* frame = &format->frames.front();
  for (const auto& fr : format->frames) {
    if (fr.index == wanted.bFrameIndex) frame = &fr;
  }
  uint32_t interval = wanted.dwFrameInterval != 0 ? wanted.dwFrameInterval : frame->default_interval;
  if (!frame->intervals.empty()) interval = nearest(frame->intervals, interval);

  const sensor_window_desc& w = desc_.window;
  const uint32_t sw = desc_.sensor.width, sh = desc_.sensor.height;
  window_state::values v;
  v.width = 2u * frame->width;
  v.height = frame->height;
  v.binning = 1;
  if (w.window) {
    for (uint32_t f : {4u, 2u}) {
      if (f <= w.max_binning && v.width * f <= sw && v.height * f <= sh) {
        v.binning = f;
        break;
      }
    }
  } else {
    v.binning = std::max(1u, std::min(sw / std::max(1u, v.width), sh / std::max(1u, v.height)));
  }
  const uint32_t step = w.window ? std::max<uint32_t>(2, w.offset_step) : 2;
  v.x = round_down((sw - std::min(sw, v.width * v.binning)) / 2, step);
  v.y = round_down((sh - std::min(sh, v.height * v.binning)) / 2, step);
  if (w.timing && interval != 0) {
    const uint64_t clock = state_->total_pixels(v.width, v.height, v.binning) * kTicksPerSecond / interval;
    v.clock = (uint32_t)std::clamp<uint64_t>(clock, w.clock_min, w.clock_max);
  }
  if (!w.window) {
    state_->set(v);
    return;
  }
  set_current(kCameraTerminal, kWidth, le_bytes(v.width, kRegister));
  set_current(kCameraTerminal, kHeight, le_bytes(v.height, kRegister));
  set_current(kCameraTerminal, kOffsetX, le_bytes(v.x, kRegister));
  set_current(kCameraTerminal, kOffsetY, le_bytes(v.y, kRegister));
  if (w.max_binning != 0) set_current(kCameraTerminal, kBinning, le_bytes(v.binning, kRegister));
  if (w.max_skipping != 0) set_current(kCameraTerminal, kSkipping, le_bytes(1, kRegister));
  if (w.timing) set_current(kCameraTerminal, kPixelClock, le_bytes(v.clock, kRegister));
  update_state();
}

// The registers as they are now, into the state the frames read.
void model_82xx::update_state() {
  const sensor_window_desc& w = desc_.window;
  if (!w.window) return;
  auto reg = [this](uint8_t selector, uint32_t otherwise) -> uint32_t {
    const std::optional<uvc_control> c = control(kCameraTerminal, selector);
    return c ? (uint32_t)le_value(c->cur) : otherwise;
  };
  window_state::values v;
  v.width = reg(kWidth, desc_.sensor.width);
  v.height = reg(kHeight, desc_.sensor.height);
  v.x = reg(kOffsetX, 0);
  v.y = reg(kOffsetY, 0);
  v.binning = reg(kBinning, 1);
  v.skipping = reg(kSkipping, 1);
  v.clock = w.timing ? reg(kPixelClock, w.clock_max) : 0;
  state_->set(v);
}

bool model_82xx::answer(const setup_packet& setup, std::vector<uint8_t>& data, USBD_STATUS* status) {
  if (setup.type() == kRequestTypeVendor) {
    if (setup.request != kVendorRegister) return false;  // camera memory and stalls: the plain camera
    if (!setup.is_in() || setup.recipient() != kRecipientDevice || setup.index != kColourRegister) {
      *status = USBD_STATUS_STALL_PID;
      return true;
    }
    data = {(uint8_t)(desc_.colour ? kColourBit : 0)};
    *status = USBD_STATUS_SUCCESS;
    return true;
  }
  if (setup.type() != kRequestTypeClass || setup.recipient() != kRecipientInterface) return false;
  const uint8_t interface_number = (uint8_t)setup.index;
  const uint8_t entity = (uint8_t)(setup.index >> 8), selector = (uint8_t)(setup.value >> 8);
  if (interface_number == streaming_interface() && entity == 0 && selector == uvc::VS_COMMIT_CONTROL &&
      setup.request == uvc::SET_CUR) {
    commit_defaults(data);  // before the stream restarts with the commit
    return false;
  }
  if (interface_number != control_interface() || entity != kCameraTerminal) return false;
  if (setup.request == uvc::GET_CUR && selector == kTimingResult && desc_.window.extended_timing) {
    const auto in = [this](uint8_t s) {
      const std::optional<uvc_control> c = control(kCameraTerminal, s);
      return c ? (uint32_t)le_value(c->cur) : 0u;
    };
    const uint32_t binning = in(kTimingBinning);
    set_current(kCameraTerminal, kTimingResult,
                le_bytes(state_->blank_x(binning) | state_->blank_y() << 16, kRegister));
    return false;
  }
  if (setup.request != uvc::SET_CUR || data.size() != kRegister) return false;
  uint32_t v = (uint32_t)le_value(data);
  switch (selector) {
    case kWidth: v = round_down(v, desc_.window.width_step); break;
    case kHeight: v = round_down(v, desc_.window.height_step); break;
    case kOffsetX:
    case kOffsetY: v = round_down(v, desc_.window.offset_step); break;
    case kBinning:
    case kSkipping:
      // A factor the sensor cannot take is refused like one out of range.
      if (v == kRefusedFactor) v = 0;
      break;
    case kTriggerOption: v &= kTriggerOptionWritable; break;
    default: return false;
  }
  data = le_bytes(v, kRegister);
  return false;
}

void model_82xx::written(uint8_t entity, uint8_t selector, const std::vector<uint8_t>&) {
  if (entity != kCameraTerminal) return;
  switch (selector) {
    case kWidth:
    case kHeight:
    case kOffsetX:
    case kOffsetY:
    case kBinning:
    case kSkipping:
    case kPixelClock:
      update_state();
      break;
    default:
      break;
  }
}

// ---- models ------------------------------------------------------------------------------------------

namespace {

// A sensor of `pixel_um` pixels: full well and read noise grow with the
// pixel, lenses as on the raw-sensor models (f/2.8 colour, f/5.6 mono);
// exposure 100 us to 33.3 ms, gain 1 to 4.
sensor_config sensor_of(uint32_t width, uint32_t height, double pixel_um, double full_well, double read_noise,
                        cfa_pattern cfa) {
  sensor_config s;
  s.width = width;
  s.height = height;
  s.pixel_um = pixel_um;
  s.full_well_e = full_well;
  s.read_noise_e = read_noise;
  s.cfa = cfa;
  if (cfa != cfa_pattern::mono) {
    s.channels = {channel_response{605, 22, 0.42, true}, channel_response{540, 38, 0.55, true},
                  channel_response{465, 35, 0.52, true}};
  } else {
    s.channels[0] = channel_response{550, 110, 0.60, false};
  }
  s.optics = {cfa != cfa_pattern::mono ? 2.8 : 5.6, 0.9};
  s.exposure_min_us = 100;  // the camera terminal's unit
  s.exposure_max_us = 33300;
  s.exposure_default_us = 10000;
  return s;
}

model_82xx_frame frame(uint16_t width, uint16_t height, std::vector<uint32_t> intervals) {
  return model_82xx_frame{width, height, std::move(intervals)};
}

}  // namespace

std::vector<model_82xx_desc> model_82xx_descs() {
  std::vector<model_82xx_desc> models;
  const std::vector<uint32_t> vga = {114942, 166666, 333333, 666666, 1333332, 2000000};
  const std::vector<uint32_t> qvga = {62500, 83333, 125000, 166666, 333333};
  const std::vector<uint32_t> fps30 = {333333, 666666, 1333333};

  // A VGA CCD of 5.6 um pixels; the first of the family, with its sensor's
  // control block on the sensor extension unit.
  model_82xx_desc m;
  m.family = "camera_8201";
  m.id = "8201-colour";
  m.product_id = 0x8201;
  m.product = "Sensor Camera 8201";
  m.colour = true;
  m.sensor = sensor_of(640, 480, 5.6, 25000, 12, cfa_pattern::gbrg);
  m.formats = {{frame(320, 480, vga), frame(160, 240, qvga)}};
  m.firmware_revision = 0x0103;
  m.control_block = 0x00010640;
  m.description = "camera_8201 colour, bulk: raw GBRG in YUY2, 640x480 sensor";
  models.push_back(m);

  m.id = "8202-mono";
  m.product_id = 0x8202;
  m.product = "Sensor Camera 8202";
  m.colour = false;
  m.sensor = sensor_of(640, 480, 5.6, 25000, 12, cfa_pattern::mono);
  m.control_block = 0x00010641;
  m.description = "camera_8201 mono (0x8202), bulk: raw Y800 in YUY2, 640x480 sensor";
  models.push_back(m);

  // A 3.1-megapixel sensor of 3.45 um pixels; a 1280-wide format whose
  // intervals only the descriptor gives.
  m = model_82xx_desc{};
  m.family = "camera_8203";
  m.id = "8203-colour";
  m.product_id = 0x8203;
  m.product = "Sensor Camera 8203";
  m.sensor = sensor_of(2048, 1536, 3.45, 11000, 6, cfa_pattern::grbg);
  m.formats = {{frame(1024, 1536, {1000000, 1333332, 2000000, 2666664}),
                frame(512, 768, {281690, 333333, 666666, 1000000}), frame(640, 480, fps30)}};
  m.firmware_revision = 0x0205;
  m.description = "camera_8203 colour, bulk: raw GRBG in YUY2, 2048x1536 sensor";
  models.push_back(m);

  m.id = "8203-mono";
  m.colour = false;
  m.sensor = sensor_of(2048, 1536, 3.45, 11000, 6, cfa_pattern::mono);
  m.description = "camera_8203 mono, bulk: raw Y800 in YUY2, 2048x1536 sensor";
  models.push_back(m);

  // A mono 1.2-megapixel sensor; its second format the family leaves out.
  m = model_82xx_desc{};
  m.family = "camera_8204";
  m.id = "8204-mono";
  m.product_id = 0x8204;
  m.product = "Sensor Camera 8204";
  m.colour = false;
  m.sensor = sensor_of(1280, 960, 3.75, 10000, 8, cfa_pattern::mono);
  const std::vector<uint32_t> table_8204 = {361000, 500000, 666666, 1333333};
  m.formats = {{frame(640, 960, table_8204)}, {frame(320, 480, table_8204)}};
  m.firmware_revision = 0x0207;
  m.description = "camera_8204 mono, bulk: raw Y800 in two YUY2 formats, 1280x960 sensor";
  models.push_back(m);

  // A 2-megapixel RGGB sensor of 4.4 um pixels with trigger and strobe.
  m = model_82xx_desc{};
  m.family = "camera_8205";
  m.id = "8205-colour";
  m.product_id = 0x8205;
  m.product = "Sensor Camera 8205";
  m.sensor = sensor_of(1600, 1200, 4.4, 15000, 7, cfa_pattern::rggb);
  const std::vector<uint32_t> table_8205 = {370009, 500000, 666666, 1333333, 2000000};
  m.formats = {{frame(800, 1200, table_8205), frame(640, 960, table_8205), frame(320, 480, table_8205)}};
  m.firmware_revision = 0x0301;
  m.trigger = true;
  m.strobe = true;
  m.description = "camera_8205 colour, bulk: raw RGGB in YUY2, 1600x1200 sensor, trigger and strobe";
  models.push_back(m);

  // A 1.3-megapixel GBRG sensor of 5.2 um pixels with a trigger.
  m = model_82xx_desc{};
  m.family = "camera_8206";
  m.id = "8206-colour";
  m.product_id = 0x8206;
  m.product = "Sensor Camera 8206";
  m.sensor = sensor_of(1280, 1024, 5.2, 20000, 9, cfa_pattern::gbrg);
  m.formats = {{frame(640, 1024, {666666, 1333333, 2000000}), frame(320, 512, {666666, 1333333, 2000000})}};
  m.firmware_revision = 0x0302;
  m.trigger = true;
  m.description = "camera_8206 colour, bulk: raw GBRG in YUY2, 1280x1024 sensor, trigger";
  models.push_back(m);

  // A 5-megapixel sensor of 2.2 um pixels with every register: window,
  // timing with extended timing, binning, skipping, format mask; trigger,
  // strobe and the EEPROM's window register.
  m = model_82xx_desc{};
  m.family = "camera_8207";
  m.id = "8207-colour";
  m.product_id = 0x8207;
  m.product = "Sensor Camera 8207";
  m.sensor = sensor_of(2592, 1944, 2.2, 6000, 4, cfa_pattern::grbg);
  m.formats = {{frame(1296, 1944, {666666, 1333333, 2000000}), frame(640, 960, fps30), frame(320, 480, fps30)}};
  m.firmware_revision = 0x0410;
  m.window.window = true;
  m.window.timing = true;
  m.window.extended_timing = true;
  m.window.max_binning = 4;
  m.window.max_skipping = 4;
  m.window.format_mask = 1u << 4;  // "GRBG"
  m.trigger = true;
  m.strobe = true;
  m.eeprom_size = 32768;
  m.eeprom_window = true;
  m.description = "camera_8207 colour, bulk: raw GRBG in YUY2, 2592x1944 sensor with window, binning and skipping";
  models.push_back(m);

  m.id = "8207-mono";
  m.colour = false;
  m.sensor = sensor_of(2592, 1944, 2.2, 6000, 4, cfa_pattern::mono);
  m.window.format_mask = 1u << 0;  // "Y800"
  m.description = "camera_8207 mono, bulk: raw Y800 in YUY2, 2592x1944 sensor with window, binning and skipping";
  models.push_back(m);

  // A 1.3-megapixel sensor with window, timing and binning by 2 only (no
  // skipping, no extended timing, no format mask).
  m = model_82xx_desc{};
  m.family = "camera_8208";
  m.id = "8208-colour";
  m.product_id = 0x8208;
  m.product = "Sensor Camera 8208";
  m.sensor = sensor_of(1280, 1024, 5.3, 20000, 8, cfa_pattern::grbg);
  m.formats = {{frame(640, 1024, fps30), frame(320, 512, fps30)}};
  m.firmware_revision = 0x0420;
  m.window.window = true;
  m.window.timing = true;
  m.window.clock_min = 6000000;
  m.window.clock_max = 48000000;
  m.window.blank_x = 160;
  m.window.blank_y = 32;
  m.window.max_binning = 2;
  m.eeprom_size = 32768;
  m.eeprom_window = true;
  m.description = "camera_8208 colour, bulk: raw GRBG in YUY2, 1280x1024 sensor with window and binning";
  models.push_back(m);

  m.id = "8208-mono";
  m.colour = false;
  m.sensor = sensor_of(1280, 1024, 5.3, 20000, 8, cfa_pattern::mono);
  m.description = "camera_8208 mono, bulk: raw Y800 in YUY2, 1280x1024 sensor with window and binning";
  models.push_back(m);
  return models;
}

}  // namespace sim
