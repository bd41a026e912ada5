// The simulated 0x8800 HD capture device (model_8800.h).
#include "model_8800.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>

#include "sim/wire.h"

namespace sim {
namespace {

using namespace family_wire;

constexpr uint8_t kCameraTerminal = 1;
constexpr uint8_t kProcessingUnit = 2;
constexpr uint8_t kSensorUnit = 3;
constexpr uint8_t kOutputTerminal = 4;
constexpr uint8_t kVideoMode = 57;  // sensor extension unit, bmControls bit 56
constexpr uint8_t kVendorFirmware = 0x01;
constexpr uint8_t kVendorSetsLength = 0x19;  // IN, 4 bytes
constexpr uint8_t kVendorSetsData = 0x1A;    // IN: a chunk
constexpr uint32_t kFirmwareRevision = 0x00010007;
constexpr uint32_t kFieldLines = 540;  // the field format: half of 1080
constexpr uint32_t kFieldInterval = 166666;  // 100 ns: 60 fields per second
constexpr uint8_t kFieldFlag = 0x10;   // bmHeaderInfo bit 4: the second field of a pair
constexpr uint8_t kOrderFlag = 0x20;   // bmHeaderInfo bit 5: the first field holds the bottom lines
constexpr size_t kNumberBytes = 4;

uvc_camera_desc describe() {
  uvc_camera_desc u;
  u.vendor_id = 0x199E;
  u.product_id = 0x8800;
  u.manufacturer = "Talvexa";
  u.product = "HD Capture 8800";
  u.serial = "00088000";
  u.camera_terminal_id = kCameraTerminal;
  u.processing_unit_id = kProcessingUnit;
  u.output_terminal_id = kOutputTerminal;
  u.camera_controls = 0;
  u.processing_controls = 0x3;  // brightness, contrast
  uvc_extension_unit_desc xu;
  xu.unit_id = kSensorUnit;
  xu.guid = kSensorUnitGuid;
  xu.bm_controls = bm_controls({kVideoMode}, 8);
  xu.num_controls = 1;
  u.extension_units = {xu};
  uvc_format_desc f;
  f.kind = uvc_format_kind::uncompressed;
  f.guid = fourcc_guid("YUY2");
  f.bits_per_pixel = 16;
  f.frames.clear();
  const struct {
    uint16_t width, height;
    std::vector<uint32_t> intervals;
  } sizes[] = {{1920, 1080, {333333}}, {1920, 540, {166666}}, {1280, 720, {166666, 333333}}};
  for (const auto& s : sizes) {
    uvc_frame_desc fr;
    fr.width = s.width;
    fr.height = s.height;
    fr.intervals = s.intervals;
    fr.default_interval = s.intervals.front();
    f.frames.push_back(fr);
  }
  u.formats = {f};
  u.iso_packet_sizes.clear();  // bulk
  u.bulk_packet_size = 512;
  return u;
}

void copy_lines(const std::vector<uint8_t>& from, uint32_t from_line, uint32_t step, uint32_t lines, size_t pitch,
                uint8_t* to, uint32_t to_line, uint32_t to_step) {
  for (uint32_t i = 0; i < lines; ++i) {
    std::memcpy(to + (size_t)(to_line + i * to_step) * pitch, from.data() + (size_t)(from_line + i * step) * pitch,
                pitch);
  }
}

}  // namespace

uint8_t video_mode_of(video_source source) {
  switch (source) {
    case video_source::p1080: return 1;
    case video_source::i1080: return 2;
    case video_source::p720: return 3;
  }
  return 0;
}

// What is on the cable. `lock` is a leaf: the frame source reads it inside
// the stream's lock.
struct model_8800::cable {
  mutable std::mutex lock;
  video_source source = video_source::i1080;
  bool bottom_first = false;
  std::set<uint64_t> lost;  // fields the device never sends
  std::shared_ptr<frame_source> pattern = make_test_pattern();
};

class model_8800::capture_source final : public frame_source {
 public:
  explicit capture_source(const model_8800* device) : device_(device) {}
  void render(const frame_format& format, uint64_t number, std::vector<uint8_t>& frame) override {
    // Fields the device loses are skipped: this frame shows the next one
    // it keeps, and the time until the next frame spans the lost ones.
    uint64_t shown = number;
    period_ = 0;
    if (format.height == kFieldLines) {
      shown += skipped_;
      while (device_->field_lost(shown)) ++shown, ++skipped_;
      uint64_t lost_after = 0;
      while (device_->field_lost(shown + 1 + lost_after)) ++lost_after;
      if (lost_after != 0) period_ = uint32_t((1 + lost_after) * kFieldInterval);
    }
    device_->picture(format.width, format.height, shown, &frame, &bits_);
  }
  frame_traits traits(const frame_format&, uint64_t) override {
    frame_traits t;
    t.header_bits = bits_;
    t.interval = period_;
    return t;
  }

 private:
  const model_8800* device_;  // owns the stream that owns this source
  uint8_t bits_ = 0;          // of the frame rendered last; the stream calls render and traits in turn
  uint32_t period_ = 0;
  uint64_t skipped_ = 0;      // fields lost so far
};

std::shared_ptr<model_8800> model_8800::create(video_source source, bool bottom_field_first) {
  auto camera = std::make_shared<model_8800>(describe(), source, bottom_field_first);
  camera->set_stream_options(camera->get_stream_options());
  return camera;
}

model_8800::model_8800(const uvc_camera_desc& usb, video_source source, bool bottom_field_first)
    : family_camera(usb, "camera_8800", nullptr), cable_(std::make_shared<cable>()),
      source_(std::make_shared<capture_source>(this)) {
  define_control(read_only(kSensorUnit, kVideoMode, le_bytes(0, 4)));
  set_video_source(source, bottom_field_first);
}

model_8800::~model_8800() = default;

void model_8800::set_video_source(video_source source, bool bottom_field_first) {
  {
    std::lock_guard<std::mutex> guard(cable_->lock);
    cable_->source = source;
    cable_->bottom_first = bottom_field_first;
  }
  set_current(kSensorUnit, kVideoMode, le_bytes(video_mode_of(source), 4));
}

void model_8800::lose_fields(std::set<uint64_t> fields) {
  std::lock_guard<std::mutex> guard(cable_->lock);
  cable_->lost = std::move(fields);
}

bool model_8800::field_lost(uint64_t field) const {
  std::lock_guard<std::mutex> guard(cable_->lock);
  return cable_->lost.count(field) != 0;
}

video_source model_8800::source() const {
  std::lock_guard<std::mutex> guard(cable_->lock);
  return cable_->source;
}

void model_8800::picture(uint32_t width, uint32_t height, uint64_t number, std::vector<uint8_t>* frame,
                         uint8_t* header_bits) const {
  video_source source;
  bool bottom_first;
  std::shared_ptr<frame_source> pattern;
  {
    std::lock_guard<std::mutex> guard(cable_->lock);
    source = cable_->source;
    bottom_first = cable_->bottom_first;
    pattern = cable_->pattern;
  }
  const bool interlaced = source == video_source::i1080;
  const size_t pitch = (size_t)width * 2;
  frame->assign(pitch * height, 0);
  *header_bits = 0;
  std::vector<uint8_t> full;
  // The line of the picture that the first field of a pair starts on.
  const uint32_t first_parity = bottom_first ? 1 : 0;
  if (height == kFieldLines) {
    const bool second = number & 1;
    const uint64_t shown = interlaced ? number : number / 2;
    pattern->render(frame_format{kFourccYUY2, width, 2 * height, 16, 0}, shown, full);
    copy_lines(full, second ? 1 - first_parity : first_parity, 2, height, pitch, frame->data(), 0, 1);
    *header_bits = (uint8_t)((second ? kFieldFlag : 0) | (bottom_first ? kOrderFlag : 0));
  } else if (interlaced && height == 2 * kFieldLines) {
    // The two fields of a pair woven, each taken at its own time.
    std::vector<uint8_t> later;
    pattern->render(frame_format{kFourccYUY2, width, height, 16, 0}, 2 * number, full);
    pattern->render(frame_format{kFourccYUY2, width, height, 16, 0}, 2 * number + 1, later);
    copy_lines(full, first_parity, 2, height / 2, pitch, frame->data(), first_parity, 2);
    copy_lines(later, 1 - first_parity, 2, height / 2, pitch, frame->data(), 1 - first_parity, 2);
  } else {
    pattern->render(frame_format{kFourccYUY2, width, height, 16, 0}, number, *frame);
  }
  for (size_t i = 0; i < kNumberBytes && i < frame->size(); ++i) (*frame)[i] = (uint8_t)(number >> (8 * i));
}

void model_8800::set_stream_options(const stream_options& options) {
  stream_options own = options;
  if (!own.source) own.source = source_;
  uvc_camera::set_stream_options(own);
}

void model_8800::set_stored_default_sets(std::vector<uint8_t> document) {
  std::lock_guard<std::mutex> guard(stored_lock_);
  stored_default_sets_ = std::move(document);
}

bool model_8800::answer(const setup_packet& setup, std::vector<uint8_t>& data, USBD_STATUS* status) {
  if (setup.type() != kRequestTypeVendor) return false;
  const uint8_t request = setup.request;
  if (request != kVendorFirmware && request != kVendorSetsLength && request != kVendorSetsData) return false;
  if (!setup.is_in() || setup.recipient() != kRecipientDevice) {
    *status = USBD_STATUS_STALL_PID;
    return true;
  }
  *status = USBD_STATUS_SUCCESS;
  if (request == kVendorFirmware) {
    data = le_bytes(kFirmwareRevision, 4);
    return true;
  }
  std::lock_guard<std::mutex> guard(stored_lock_);
  if (request == kVendorSetsLength) {
    data = le_bytes((int64_t)stored_default_sets_.size(), 4);
    return true;
  }
  const size_t offset = ((size_t)setup.value << 16) | setup.index;
  const size_t begin = std::min(offset, stored_default_sets_.size());
  const size_t end = std::min(stored_default_sets_.size(), begin + setup.length);
  data.assign(stored_default_sets_.begin() + (ptrdiff_t)begin, stored_default_sets_.begin() + (ptrdiff_t)end);
  return true;
}

}  // namespace sim
