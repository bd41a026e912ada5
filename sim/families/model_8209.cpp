// The simulated 0x8209 camera and its JPEG byte stream (model_8209.h).
#include "model_8209.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "sim/jpeg_encoder.h"

namespace sim {
namespace {

using namespace family_wire;

constexpr uint8_t kCameraTerminal = 1;
constexpr uint8_t kProcessingUnit = 2;
constexpr uint8_t kVendorUnit = 3;
constexpr uint8_t kOutputTerminal = 4;
constexpr uint8_t kFirmware = 45;  // camera terminal

// Vendor extension unit selectors (4 bytes each).
constexpr uint8_t kWhiteBalanceRed = 6, kWhiteBalanceGreen = 7, kWhiteBalanceBlue = 8;
constexpr uint8_t kOnePushFocus = 12, kExposureAuto = 13, kGainAuto = 14, kWhiteBalanceAuto = 15;
constexpr uint8_t kAutoMaximum = 16, kReference = 17, kFocusTopLeft = 18, kFocusBottomRight = 19;
constexpr uint8_t kFlipX = 20, kFlipY = 21;
constexpr uint16_t kRegister = 4;
constexpr double kGainUnit = 64.0;

constexpr size_t kLargestPicture = 4999000;  // below the host's 5 000 000-byte picture buffer
constexpr uint8_t kMarker = 0xFF, kStart = 0xD8, kEnd = 0xD9;
constexpr char kCommentTag[] = "frame ";

enum draw_kind : unsigned { kSplit = 1, kMissingStart, kMissingEnd, kCutShort, kCutAt };

uint64_t mix(uint64_t z) {
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint64_t draw(uint32_t seed, unsigned kind, uint64_t n) { return mix(mix((uint64_t)seed << 8 | kind) ^ mix(n)); }

uvc_camera_desc describe(const model_8209_desc& d) {
  uvc_camera_desc u;
  u.vendor_id = 0x199E;
  u.product_id = d.product_id;
  u.manufacturer = "Talvexa";
  u.product = d.product;
  u.serial = "00048209";
  u.camera_terminal_id = kCameraTerminal;
  u.processing_unit_id = kProcessingUnit;
  u.output_terminal_id = kOutputTerminal;
  u.camera_controls = 1u << 3;      // exposure time absolute
  u.processing_controls = 1u << 9;  // gain
  uvc_extension_unit_desc xu;
  xu.unit_id = kVendorUnit;
  xu.guid = kVendorUnitGuid;
  xu.bm_controls = bm_controls({kWhiteBalanceRed, kWhiteBalanceGreen, kWhiteBalanceBlue, kOnePushFocus, kExposureAuto,
                                kGainAuto, kWhiteBalanceAuto, kAutoMaximum, kReference, kFocusTopLeft, kFocusBottomRight,
                                kFlipX, kFlipY},
                               3);
  xu.num_controls = 13;
  u.extension_units = {xu};
  uvc_format_desc f;
  f.kind = uvc_format_kind::frame_based;
  f.guid = fourcc_guid("GNFF");
  f.bits_per_pixel = 16;
  f.frames.clear();
  const struct {
    uint16_t width, height;
    uint32_t interval;
  } sizes[] = {{2592, 1944, 1333333}, {1920, 1080, 666666}, {1280, 960, 333333}, {640, 480, 166666}};
  for (const auto& s : sizes) {
    uvc_frame_desc fr;
    fr.width = s.width;
    fr.height = s.height;
    fr.intervals = {s.interval};
    fr.default_interval = s.interval;
    f.frames.push_back(fr);
  }
  f.color_matching = false;
  u.formats = {f};
  u.iso_packet_sizes.clear();  // bulk
  u.bulk_packet_size = 512;
  return u;
}

}  // namespace

// What the pictures are made with, read from the controls before a picture.
struct model_8209::picture_settings {
  uint32_t width = 0, height = 0, interval = 0;
  bool flip_x = false, flip_y = false;
  bool auto_white_balance = true;
  band_values gains{1, 1, 1};
};

std::shared_ptr<model_8209> model_8209::create(const model_8209_desc& desc, const sensor_options& options) {
  double exposure_us = 0, gain = 1;
  std::shared_ptr<sensor_model> sensor = make_model_sensor(desc.sensor, desc.light, options, &exposure_us, &gain);
  if (!sensor) return nullptr;
  auto camera = std::make_shared<model_8209>(desc, describe(desc), std::move(sensor));
  camera->define_registers(exposure_us, gain);
  // The hook belongs to the camera and goes with it.
  model_8209* self = camera.get();
  camera->set_payload_source(
      [self](uint8_t, uint32_t max_bytes, std::vector<uint8_t>& block) { return self->produce(max_bytes, block); });
  return camera;
}

model_8209::model_8209(const model_8209_desc& desc, const uvc_camera_desc& usb, std::shared_ptr<sensor_model> sensor)
    : family_camera(usb, "camera_8209", sensor), desc_(desc), sensor_(std::move(sensor)) {}

model_8209::~model_8209() = default;

void model_8209::define_registers(double exposure_us, double gain) {
  wire_exposure_and_gain(kCameraTerminal, kProcessingUnit, exposure_us, gain);
  define_control(read_only(kCameraTerminal, kFirmware, le_bytes(desc_.firmware_revision, kRegister)));
  for (uint8_t s : {kWhiteBalanceRed, kWhiteBalanceGreen, kWhiteBalanceBlue}) {
    define_control(value_control(kVendorUnit, s, kRegister, 0, 255, 64));
  }
  define_control(value_control(kVendorUnit, kOnePushFocus, kRegister, 0, 1, 0));
  define_control(value_control(kVendorUnit, kExposureAuto, kRegister, 0, 1, 0));
  define_control(value_control(kVendorUnit, kGainAuto, kRegister, 0, 1, 0));
  define_control(value_control(kVendorUnit, kWhiteBalanceAuto, kRegister, 0, 1, 1));
  const sensor_config& c = desc_.sensor;
  define_control(value_control(kVendorUnit, kAutoMaximum, kRegister, (int64_t)c.exposure_min_us,
                               (int64_t)c.exposure_max_us, (int64_t)c.exposure_max_us));
  define_control(value_control(kVendorUnit, kReference, kRegister, 0, 255, 128));
  uvc_control region = value_control(kVendorUnit, kFocusTopLeft, kRegister, 0, 0, 0);
  region.range_checked = false;  // two 16-bit halves
  region.max = le_bytes(c.width | c.height << 16, kRegister);
  define_control(region);
  region.selector = kFocusBottomRight;
  region.def = region.cur = region.max;
  define_control(region);
  define_control(value_control(kVendorUnit, kFlipX, kRegister, 0, 1, 0));
  define_control(value_control(kVendorUnit, kFlipY, kRegister, 0, 1, 0));
}

void model_8209::set_jpeg_stream(const jpeg_stream_options& options) {
  // A call still making pictures for the last stream ends with the old settings.
  wait_for_in_source_idle();
  std::lock_guard<std::mutex> guard(stream_lock_);
  options_ = options;
  since_options_ = 0;
  while (records_.size() > options_.record_limit) records_.pop_front();
}

jpeg_stream_options model_8209::jpeg_stream() const {
  std::lock_guard<std::mutex> guard(stream_lock_);
  return options_;
}

void model_8209::set_stream_options(const stream_options& options) {
  uvc_camera::set_stream_options(options);  // kept for get_stream_options; the byte stream sends nothing of it
  jpeg_stream_options j = jpeg_stream();
  j.real_time = options.real_time;
  j.seed = options.seed;
  j.frame_limit = options.frame_limit;
  j.record_limit = options.record_limit;
  j.record_bytes = options.record_bytes;
  j.missing_start = options.faults.bad_header;
  j.missing_end = options.faults.missing_eof;
  j.cut_short = options.faults.short_frame;
  set_jpeg_stream(j);
}

std::vector<sent_picture> model_8209::sent_pictures() const {
  std::lock_guard<std::mutex> guard(stream_lock_);
  return std::vector<sent_picture>(records_.begin(), records_.end());
}

void model_8209::clear_sent_pictures() {
  std::lock_guard<std::mutex> guard(stream_lock_);
  records_.clear();
}

jpeg_stream_counters model_8209::jpeg_counters() const {
  std::lock_guard<std::mutex> guard(stream_lock_);
  return counters_;
}

unsigned model_8209::one_push_focus_count() const {
  std::lock_guard<std::mutex> guard(stream_lock_);
  return one_push_;
}

bool model_8209::answer(const setup_packet& setup, std::vector<uint8_t>& data, USBD_STATUS* status) {
  const bool one_push = setup.type() == kRequestTypeClass && setup.request == uvc::SET_CUR &&
                        setup.recipient() == kRecipientInterface && (uint8_t)setup.index == control_interface() &&
                        (uint8_t)(setup.index >> 8) == kVendorUnit && (uint8_t)(setup.value >> 8) == kOnePushFocus;
  if (!one_push || data.size() != kRegister || le_value(data) > 1) return false;
  // The search starts at once and the register reads 0 again.
  std::lock_guard<std::mutex> guard(stream_lock_);
  one_push_ += le_value(data) == 1 ? 1 : 0;
  *status = USBD_STATUS_SUCCESS;
  return true;
}

// ---- the byte stream ----------------------------------------------------------------------------------

// Renders, encodes and queues the next picture, with its faults. False when
// the frame limit has been reached.
bool model_8209::next_picture(const picture_settings& settings) {
  if (options_.frame_limit != 0 && since_options_ >= options_.frame_limit) return false;
  const uint64_t n = next_sequence_++;
  ++since_options_;
  const readout r = centred_readout(sensor_->config(), settings.width, settings.height, settings.flip_x,
                                    settings.flip_y);
  colour_processing p;
  p.white_balance = settings.auto_white_balance ? sensor_->neutral_gains() : settings.gains;
  std::vector<uint8_t> rgb;
  sensor_->render_rgb(r, n, p, rgb);
  const std::vector<uint8_t> yuy2 = rgb_to_yuy2(rgb, settings.width, settings.height, true);
  const std::string text = kCommentTag + std::to_string(n);
  const std::vector<uint8_t> comment(text.begin(), text.end());
  std::vector<uint8_t> jpeg;
  for (int quality = options_.quality;; quality = quality * 3 / 4) {
    jpeg = encode_jpeg_yuy2(yuy2.data(), settings.width, settings.height, std::max(1, quality), comment);
    if (jpeg.size() <= kLargestPicture || quality <= 1) break;
  }

  sent_picture record;
  record.sequence = n;
  record.width = settings.width;
  record.height = settings.height;
  const uint32_t seed = options_.seed;
  if (draw(seed, kMissingStart, n) % 1000 < options_.missing_start && jpeg.size() > 4) {
    jpeg.erase(jpeg.begin(), jpeg.begin() + 2);
    record.start_marker = false;
    ++counters_.missing_start;
  }
  if (draw(seed, kMissingEnd, n) % 1000 < options_.missing_end && jpeg.size() > 4) {
    jpeg.resize(jpeg.size() - 2);
    record.end_marker = false;
    ++counters_.missing_end;
  } else if (draw(seed, kCutShort, n) % 1000 < options_.cut_short && jpeg.size() > 4) {
    jpeg.resize(1 + draw(seed, kCutAt, n) % (jpeg.size() - 3));
    record.end_marker = false;
    ++counters_.missing_end;
  }
  record.size = (uint32_t)jpeg.size();
  record.checksum = frame_checksum(jpeg.data(), jpeg.size());
  if (options_.record_bytes) record.bytes = jpeg;
  pending_.insert(pending_.end(), jpeg.begin(), jpeg.end());
  ++counters_.pictures;
  if (options_.record_limit != 0) {
    if (records_.size() >= options_.record_limit) records_.pop_front();
    records_.push_back(std::move(record));
  }
  return true;
}

// The IN hook of the bulk endpoint (bus thread, no device lock held): the
// next bytes of the stream for a transfer of `max_bytes`.
bool model_8209::produce(uint32_t max_bytes, std::vector<uint8_t>& block) {
  if (max_bytes == 0 || !streaming()) return false;
  // What the next pictures are made with (the device's lock_, before ours).
  picture_settings settings;
  const uvc_streaming_control committed_format = committed();
  const unsigned commits = commit_count();
  for (const auto& f : formats()) {
    if (f.index != committed_format.bFormatIndex) continue;
    for (const auto& fr : f.frames) {
      if (fr.index != committed_format.bFrameIndex) continue;
      settings.width = fr.width;
      settings.height = fr.height;
    }
  }
  if (settings.width == 0) return false;
  settings.interval = committed_format.dwFrameInterval;
  auto reg = [this](uint8_t selector) {
    const std::optional<uvc_control> c = control(kVendorUnit, selector);
    return c ? (uint32_t)le_value(c->cur) : 0u;
  };
  settings.flip_x = reg(kFlipX) != 0;
  settings.flip_y = reg(kFlipY) != 0;
  settings.auto_white_balance = reg(kWhiteBalanceAuto) != 0;
  settings.gains = {reg(kWhiteBalanceRed) / kGainUnit, reg(kWhiteBalanceGreen) / kGainUnit,
                    reg(kWhiteBalanceBlue) / kGainUnit};

  unsigned wake_ms = 0;
  {
    std::lock_guard<std::mutex> guard(stream_lock_);
    const auto now = std::chrono::steady_clock::now();
    if (commits != seen_commits_) {
      // A commit restarts the stream with a new picture.
      seen_commits_ = commits;
      pending_.clear();
      next_due_ = now;
      wake_pending_ = false;
    }
    const uint32_t want = options_.split ? (uint32_t)(1 + draw(options_.seed, kSplit, draws_) % max_bytes) : max_bytes;
    while (pending_.size() < want) {
      if (options_.real_time && settings.interval != 0) {
        if (now < next_due_) {
          if (pending_.empty() && !wake_pending_) {
            wake_ms = (unsigned)std::chrono::ceil<std::chrono::milliseconds>(next_due_ - now).count();
            wake_pending_ = true;
          }
          break;
        }
        // A reader that fell behind gets the pictures at the pace, not in a burst.
        const auto period = std::chrono::nanoseconds((uint64_t)settings.interval * 100);
        next_due_ = std::max(next_due_, now - period) + period;
        wake_pending_ = false;
      }
      if (!next_picture(settings)) break;
    }
    if (!pending_.empty()) {
      size_t n = std::min<size_t>(want, pending_.size());
      if (options_.cut_markers) {
        // Up to the first byte of the first marker whose second byte would
        // travel in the same transfer.
        for (size_t i = 0; i + 1 < n; ++i) {
          if (pending_[i] == kMarker && (pending_[i + 1] == kStart || pending_[i + 1] == kEnd)) {
            n = i + 1;
            break;
          }
        }
      }
      block.assign(pending_.begin(), pending_.begin() + (long)n);
      pending_.erase(pending_.begin(), pending_.begin() + (long)n);
      ++draws_;
      ++counters_.transfers;
      counters_.bytes += n;
    }
  }
  if (wake_ms != 0) service_endpoints_after(wake_ms);
  return !block.empty();
}

model_8209_desc model_8209_default() {
  model_8209_desc d;
  // A 5-megapixel sensor of 2.2 um pixels (RGGB) behind an f/2.8 lens.
  sensor_config& s = d.sensor;
  s.width = 2592;
  s.height = 1944;
  s.pixel_um = 2.2;
  s.full_well_e = 6000;
  s.read_noise_e = 4;
  s.cfa = cfa_pattern::rggb;
  s.channels = {channel_response{605, 22, 0.42, true}, channel_response{540, 38, 0.55, true},
                channel_response{465, 35, 0.52, true}};
  s.optics = {2.8, 0.9};
  s.exposure_min_us = 100;
  s.exposure_max_us = 33300;
  s.exposure_default_us = 16000;
  d.firmware_revision = 0x00050102;
  d.description = "camera_8209 colour, bulk: JPEG byte stream (GNFF), 2592x1944 to 640x480";
  return d;
}

}  // namespace sim
