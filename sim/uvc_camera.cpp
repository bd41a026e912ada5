// The simulated USB Video Class camera: parsing of its own configuration
// descriptor, the controls its units and terminals declare, the class
// requests to them, probe/commit negotiation and the vendor requests
// (camera memory, firmware revision), and the wiring of the video stream
// (uvc_stream.cpp) to the streaming endpoint. The descriptors of a
// described camera are generated in uvc_descriptors.cpp.
//
// Locking: class and vendor requests arrive with no device lock held, on
// the submitting thread or on the bus thread; all model state here is
// guarded by usb_device::lock_. The stream has its own lock, taken inside
// lock_ (commit, alternate settings) or alone (the IN hook).
#include "uvc_camera.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "wire.h"

namespace sim {
namespace {

// Class-specific descriptor types and subtypes.
constexpr uint8_t kCsInterface = 0x24;
constexpr uint8_t kVcHeader = 0x01;
constexpr uint8_t kVcInputTerminal = 0x02;
constexpr uint8_t kVcOutputTerminal = 0x03;
constexpr uint8_t kVcSelectorUnit = 0x04;
constexpr uint8_t kVcProcessingUnit = 0x05;
constexpr uint8_t kVcExtensionUnit = 0x06;
constexpr uint8_t kVsFormatUncompressed = 0x04;
constexpr uint8_t kVsFrameUncompressed = 0x05;
constexpr uint8_t kVsFormatMjpeg = 0x06;
constexpr uint8_t kVsFrameMjpeg = 0x07;
constexpr uint8_t kVsFormatFrameBased = 0x10;
constexpr uint8_t kVsFrameFrameBased = 0x11;
constexpr uint8_t kVideoClass = 0x0E;
constexpr uint8_t kVideoControl = 0x01;
constexpr uint8_t kVideoStreaming = 0x02;
constexpr uint16_t kCameraTerminalType = 0x0201;

// Offsets in class-specific VC descriptors.
constexpr size_t kVcHeaderBcdUvc = 3;
constexpr size_t kVcHeaderClock = 7;
constexpr size_t kEntityId = 3;
constexpr size_t kTerminalType = 4;
constexpr size_t kCameraControlSize = 14;
constexpr size_t kCameraControls = 15;
constexpr size_t kProcessingControlSize = 7;
constexpr size_t kProcessingControls = 8;
constexpr size_t kExtensionGuid = 4;
constexpr size_t kExtensionNrInPins = 21;
constexpr size_t kSelectorNrInPins = 4;
constexpr uint8_t kSelectorInputControl = 0x01;  // SU_INPUT_SELECT_CONTROL
constexpr uint16_t kDefaultExtensionLength = 4;   // bytes of an extension-unit control of a real camera
// Offsets in VS format and frame descriptors.
constexpr size_t kFormatIndex = 3;
constexpr size_t kFormatGuid = 5;            // uncompressed and frame-based
constexpr size_t kFormatBitsPerPixel = 21;   // uncompressed and frame-based
constexpr size_t kFormatDefaultFrame = 22;   // uncompressed and frame-based
constexpr size_t kMjpegDefaultFrame = 6;
constexpr size_t kFrameIndex = 3;
constexpr size_t kFrameWidth = 5;
constexpr size_t kFrameHeight = 7;
constexpr size_t kFrameMaxBufferSize = 17;   // uncompressed and MJPEG
constexpr size_t kFrameDefaultInterval = 21; // uncompressed and MJPEG
constexpr size_t kFrameIntervalType = 25;    // uncompressed and MJPEG
constexpr size_t kFbFrameDefaultInterval = 17;
constexpr size_t kFbFrameIntervalType = 21;
constexpr size_t kFrameIntervals = 26;

GUID guid_at(const uint8_t* p) {
  GUID g;
  g.Data1 = le32(p);
  g.Data2 = le16(p + 4);
  g.Data3 = le16(p + 6);
  memcpy(g.Data4, p + 8, 8);
  return g;
}

uint32_t frame_bytes(uint16_t width, uint16_t height, uint8_t bits_per_pixel) {
  return (uint32_t)width * height * (bits_per_pixel != 0 ? bits_per_pixel : 16) / 8;
}

// Streaming-control field offsets.
constexpr size_t kScHint = 0;
constexpr size_t kScFormatIndex = 2;
constexpr size_t kScFrameIndex = 3;
constexpr size_t kScFrameInterval = 4;
constexpr size_t kScKeyFrameRate = 8;
constexpr size_t kScPFrameRate = 10;
constexpr size_t kScCompQuality = 12;
constexpr size_t kScCompWindowSize = 14;
constexpr size_t kScDelay = 16;
constexpr size_t kScMaxVideoFrameSize = 18;
constexpr size_t kScMaxPayloadTransferSize = 22;
constexpr size_t kScClockFrequency = 26;
constexpr size_t kScFramingInfo = 30;
constexpr size_t kScPreferedVersion = 31;
constexpr size_t kScMinVersion = 32;
constexpr size_t kScMaxVersion = 33;
constexpr size_t kProbeLength10 = 26;
constexpr size_t kProbeLength11 = 34;
constexpr size_t kProbeLength15 = 48;

constexpr uint32_t kMemoryBlock = 0x10000;

// DirectShow media subtypes some cameras use as guidFormat for RGB.
constexpr GUID kSubtypeRgb24 = {0xE436EB7D, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr GUID kSubtypeRgb32 = {0xE436EB7E, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};

// The FOURCC a format's frames are rendered in: the first four bytes of
// guidFormat ({FOURCC-0000-0010-8000-00AA00389B71}), "MJPG" for MJPEG.
uint32_t fourcc_of(const uvc_format_info& format) {
  if (format.subtype == kVsFormatMjpeg) return kFourccMJPG;
  if (format.guid == kSubtypeRgb24) return kFourccRGB24;
  if (format.guid == kSubtypeRgb32) return kFourccRGB32;
  return format.guid.Data1;
}

// Interrupt packet the camera sends while a frame goes out: a VideoStreaming
// status packet (bStatusType 2) reporting a button press (bEvent 0, value 1).
constexpr uint8_t kStatusStreaming = 2;
constexpr uint8_t kEventButton = 0;

}  // namespace

// ---- streaming control -------------------------------------------------------------------

std::vector<uint8_t> uvc_streaming_control::to_bytes(size_t length) const {
  std::vector<uint8_t> b(std::max<size_t>(length, kProbeLength11), 0);
  put_le16(&b[kScHint], bmHint);
  b[kScFormatIndex] = bFormatIndex;
  b[kScFrameIndex] = bFrameIndex;
  put_le32(&b[kScFrameInterval], dwFrameInterval);
  put_le16(&b[kScKeyFrameRate], wKeyFrameRate);
  put_le16(&b[kScPFrameRate], wPFrameRate);
  put_le16(&b[kScCompQuality], wCompQuality);
  put_le16(&b[kScCompWindowSize], wCompWindowSize);
  put_le16(&b[kScDelay], wDelay);
  put_le32(&b[kScMaxVideoFrameSize], dwMaxVideoFrameSize);
  put_le32(&b[kScMaxPayloadTransferSize], dwMaxPayloadTransferSize);
  put_le32(&b[kScClockFrequency], dwClockFrequency);
  b[kScFramingInfo] = bmFramingInfo;
  b[kScPreferedVersion] = bPreferedVersion;
  b[kScMinVersion] = bMinVersion;
  b[kScMaxVersion] = bMaxVersion;
  b.resize(length);
  return b;
}

uvc_streaming_control uvc_streaming_control::from_bytes(const uint8_t* bytes, size_t length) {
  std::vector<uint8_t> b(kProbeLength11, 0);
  if (bytes != nullptr) memcpy(b.data(), bytes, std::min(length, b.size()));
  uvc_streaming_control c;
  c.bmHint = le16(&b[kScHint]);
  c.bFormatIndex = b[kScFormatIndex];
  c.bFrameIndex = b[kScFrameIndex];
  c.dwFrameInterval = le32(&b[kScFrameInterval]);
  c.wKeyFrameRate = le16(&b[kScKeyFrameRate]);
  c.wPFrameRate = le16(&b[kScPFrameRate]);
  c.wCompQuality = le16(&b[kScCompQuality]);
  c.wCompWindowSize = le16(&b[kScCompWindowSize]);
  c.wDelay = le16(&b[kScDelay]);
  c.dwMaxVideoFrameSize = le32(&b[kScMaxVideoFrameSize]);
  c.dwMaxPayloadTransferSize = le32(&b[kScMaxPayloadTransferSize]);
  c.dwClockFrequency = le32(&b[kScClockFrequency]);
  c.bmFramingInfo = b[kScFramingInfo];
  c.bPreferedVersion = b[kScPreferedVersion];
  c.bMinVersion = b[kScMinVersion];
  c.bMaxVersion = b[kScMaxVersion];
  return c;
}

// ---- construction and parsing -----------------------------------------------------------------

uvc_camera::uvc_camera(std::vector<uint8_t> device_descriptor, std::vector<uint8_t> configuration)
    : usb_device(std::move(device_descriptor), std::move(configuration)),
      picture_(std::make_shared<picture_controls>()),
      pattern_(make_test_pattern(80, picture_)) {
  stream_options options;
  options.source = pattern_;
  stream_.set_options(options);
  parse_configuration();
  add_declared_controls();
  auto vs = streaming_.find(vs_interface_);
  if (vs != streaming_.end()) streaming_endpoint_ = vs->second.endpoint;
  install_video_source();
}

uvc_camera::~uvc_camera() = default;

std::shared_ptr<uvc_camera> uvc_camera::from_descriptors(std::vector<uint8_t> device_descriptor,
                                                         std::vector<uint8_t> configuration) {
  return std::make_shared<uvc_camera>(std::move(device_descriptor), std::move(configuration));
}

namespace {
bool read_file(const std::string& path, std::vector<uint8_t>* bytes) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  bytes->clear();
  uint8_t buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes->insert(bytes->end(), buf, buf + n);
  const bool ok = ferror(f) == 0;
  fclose(f);
  return ok;
}
}  // namespace

std::shared_ptr<uvc_camera> uvc_camera::from_files(const std::string& directory,
                                                   const std::string& name) {
  std::vector<uint8_t> device;
  std::vector<uint8_t> config;
  if (!read_file(directory + "/" + name + ".device.bin", &device)) return nullptr;
  if (!read_file(directory + "/" + name + ".config.bin", &config)) return nullptr;
  return from_descriptors(std::move(device), std::move(config));
}

void uvc_camera::parse_configuration() {
  const std::vector<uint8_t>& config = configuration_descriptor();
  int interface_number = -1;
  uint8_t interface_class = 0;
  uint8_t interface_subclass = 0;
  bool have_vs = false;
  streaming_state* vs = nullptr;
  uvc_format_info* format = nullptr;  // the most recent format of `vs`
  bool have_vc = false;
  for_each_descriptor(config, [&](const uint8_t* d, size_t length) {
    const uint8_t type = d[kDescType];
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= 9) {
      interface_number = d[kIfNumber];
      interface_class = d[kIfClass];
      interface_subclass = d[kIfSubClass];
      format = nullptr;
      vs = nullptr;
      if (interface_class == kVideoClass && interface_subclass == kVideoControl) {
        if (!have_vc) vc_interface_ = (uint8_t)interface_number;
        have_vc = true;
        if (std::find(vc_interfaces_.begin(), vc_interfaces_.end(), interface_number) ==
            vc_interfaces_.end()) {
          vc_interfaces_.push_back((uint8_t)interface_number);
        }
      } else if (interface_class == kVideoClass && interface_subclass == kVideoStreaming) {
        if (!have_vs) vs_interface_ = (uint8_t)interface_number;
        have_vs = true;
        vs = &streaming_[(uint8_t)interface_number];
      }
      return;
    }
    if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= 7 && interface_class == kVideoClass &&
        interface_subclass == kVideoControl && USB_ENDPOINT_DIRECTION_IN(d[kEpAddress]) &&
        (d[kEpAttributes] & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_INTERRUPT) {
      if (interrupt_endpoint_ == 0) interrupt_endpoint_ = d[kEpAddress];
      return;
    }
    if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= 7 && interface_class == kVideoClass &&
        interface_subclass == kVideoStreaming && USB_ENDPOINT_DIRECTION_IN(d[kEpAddress])) {
      streaming_state& s = streaming_[(uint8_t)interface_number];
      const uint16_t raw = le16(d + kEpMaxPacket);
      const uint8_t kind = d[kEpAttributes] & USB_ENDPOINT_TYPE_MASK;
      if (kind == USB_ENDPOINT_TYPE_ISOCHRONOUS) {
        const uint32_t payload = (raw & kMaxPacketSizeMask) * (1 + additional_transactions(raw));
        s.max_payload = std::max(s.max_payload, payload);
        if (s.endpoint == 0) s.endpoint = d[kEpAddress];
      } else if (kind == USB_ENDPOINT_TYPE_BULK) {
        s.bulk = true;
        s.bulk_packet = raw & kMaxPacketSizeMask;
        if (s.endpoint == 0) s.endpoint = d[kEpAddress];
      }
      return;
    }
    if (type != kCsInterface || length < 3 || interface_class != kVideoClass) return;
    const uint8_t subtype = d[kDescSubtype];
    if (interface_subclass == kVideoControl) {
      if (subtype == kVcHeader && length >= 12) {
        if (vc_interfaces_.size() == 1) {
          bcd_uvc_ = le16(d + kVcHeaderBcdUvc);
          clock_frequency_ = le32(d + kVcHeaderClock);
        }
        return;
      }
      if (length < 4 || subtype < kVcInputTerminal || subtype > kVcExtensionUnit) return;
      uvc_entity_info e;
      e.id = d[kEntityId];
      e.subtype = subtype;
      if (subtype == kVcInputTerminal && length >= 8) {
        e.terminal_type = le16(d + kTerminalType);
        if (e.terminal_type == kCameraTerminalType && length > kCameraControlSize) {
          const size_t n = d[kCameraControlSize];
          if (kCameraControls + n <= length) e.bm_controls.assign(d + kCameraControls, d + kCameraControls + n);
        }
      } else if (subtype == kVcOutputTerminal && length >= 6) {
        e.terminal_type = le16(d + kTerminalType);
      } else if (subtype == kVcSelectorUnit && length >= 5) {
        e.input_pins = d[kSelectorNrInPins];
      } else if (subtype == kVcProcessingUnit && length > kProcessingControlSize) {
        const size_t n = d[kProcessingControlSize];
        if (kProcessingControls + n <= length) {
          e.bm_controls.assign(d + kProcessingControls, d + kProcessingControls + n);
        }
      } else if (subtype == kVcExtensionUnit && length >= 24) {
        e.guid = guid_at(d + kExtensionGuid);
        const size_t pins = d[kExtensionNrInPins];
        const size_t size_at = kExtensionNrInPins + 1 + pins;
        if (size_at < length) {
          const size_t n = d[size_at];
          if (size_at + 1 + n <= length) e.bm_controls.assign(d + size_at + 1, d + size_at + 1 + n);
        }
      }
      const bool seen = std::any_of(entities_.begin(), entities_.end(),
                                    [&](const uvc_entity_info& x) { return x.id == e.id; });
      if (!seen && e.id != 0) entities_.push_back(e);
      return;
    }
    if (interface_subclass != kVideoStreaming || vs == nullptr) return;
    if ((subtype == kVsFormatUncompressed || subtype == kVsFormatMjpeg ||
         subtype == kVsFormatFrameBased) && length >= 11) {
      const uint8_t index = d[kFormatIndex];
      format = nullptr;
      for (auto& f : vs->formats) {
        if (f.index == index) return;  // a repeated index is ignored
      }
      uvc_format_info f;
      f.index = index;
      f.subtype = subtype;
      if (subtype != kVsFormatMjpeg && length >= kFormatGuid + 16) f.guid = guid_at(d + kFormatGuid);
      if (subtype == kVsFormatMjpeg) {
        f.bits_per_pixel = 16;
        f.default_frame = d[kMjpegDefaultFrame];
      } else if (length > kFormatDefaultFrame) {
        f.bits_per_pixel = d[kFormatBitsPerPixel];
        f.default_frame = d[kFormatDefaultFrame];
      }
      vs->formats.push_back(f);
      format = &vs->formats.back();
      return;
    }
    if ((subtype == kVsFrameUncompressed || subtype == kVsFrameMjpeg ||
         subtype == kVsFrameFrameBased) && format != nullptr && length >= kFrameIntervals) {
      uvc_frame_info fr;
      fr.index = d[kFrameIndex];
      for (const auto& existing : format->frames) {
        if (existing.index == fr.index) return;
      }
      fr.width = le16(d + kFrameWidth);
      fr.height = le16(d + kFrameHeight);
      uint8_t interval_type;
      if (subtype == kVsFrameFrameBased) {
        fr.default_interval = le32(d + kFbFrameDefaultInterval);
        interval_type = d[kFbFrameIntervalType];
        fr.max_frame_size = frame_bytes(fr.width, fr.height, format->bits_per_pixel);
      } else {
        fr.default_interval = le32(d + kFrameDefaultInterval);
        interval_type = d[kFrameIntervalType];
        fr.max_frame_size = le32(d + kFrameMaxBufferSize);
      }
      if (interval_type == 0) {
        if (length >= kFrameIntervals + 12) {
          fr.min_interval = le32(d + kFrameIntervals);
          fr.max_interval = le32(d + kFrameIntervals + 4);
          fr.interval_step = le32(d + kFrameIntervals + 8);
        } else {
          fr.min_interval = fr.max_interval = fr.default_interval;
        }
      } else {
        for (size_t i = 0; i < interval_type && kFrameIntervals + 4 * i + 4 <= length; ++i) {
          fr.intervals.push_back(le32(d + kFrameIntervals + 4 * i));
        }
        if (fr.intervals.empty()) fr.intervals.push_back(fr.default_interval);
      }
      if (fr.max_frame_size == 0) fr.max_frame_size = frame_bytes(fr.width, fr.height, format->bits_per_pixel);
      format->frames.push_back(fr);
    }
  });
  for (auto& s : streaming_) {
    s.second.probe = default_probe(s.second);
    s.second.commit = s.second.probe;
  }
}

void uvc_camera::add_declared_controls() {
  for (const auto& e : entities_) {
    const bool camera_terminal = e.subtype == kVcInputTerminal && e.terminal_type == kCameraTerminalType;
    if (camera_terminal && camera_terminal_id_ == 0) camera_terminal_id_ = e.id;
    if (e.subtype == kVcProcessingUnit && processing_unit_id_ == 0) processing_unit_id_ = e.id;
    if (e.subtype == kVcSelectorUnit && e.input_pins > 0) {
      // The selected input pin, 1..bNrInPins.
      uvc_control c;
      c.entity = e.id;
      c.selector = kSelectorInputControl;
      c.length = 1;
      c.min = {1};
      c.max = {e.input_pins};
      c.res = {1};
      c.def = c.cur = {1};
      define_control(c);
      continue;
    }
    if (!camera_terminal && e.subtype != kVcProcessingUnit && e.subtype != kVcExtensionUnit) continue;
    for (unsigned bit = 0; bit < e.bm_controls.size() * 8 && bit < 255; ++bit) {
      if (!(e.bm_controls[bit / 8] & (1u << (bit % 8)))) continue;
      if (e.subtype == kVcExtensionUnit) {
        define_control(extension_control(e.guid, e.id, bit, kDefaultExtensionLength));
      } else if (auto c = standard_control(e.subtype, e.id, bit)) {
        define_control(*c);
      }
    }
  }
}

const std::vector<uvc_format_info>& uvc_camera::formats() const {
  static const std::vector<uvc_format_info> none;
  auto it = streaming_.find(vs_interface_);
  return it == streaming_.end() ? none : it->second.formats;
}

const std::vector<uvc_format_info>* uvc_camera::formats_of(uint8_t streaming_interface) const {
  auto it = streaming_.find(streaming_interface);
  return it == streaming_.end() ? nullptr : &it->second.formats;
}

size_t uvc_camera::probe_length() const {
  if (bcd_uvc_ >= 0x0150) return kProbeLength15;
  if (bcd_uvc_ >= 0x0110) return kProbeLength11;
  return kProbeLength10;
}

// ---- controls -------------------------------------------------------------------------------

void uvc_camera::define_control(const uvc_control& control) {
  std::lock_guard<std::mutex> guard(lock_);
  uvc_control c = control;
  for (auto* v : {&c.min, &c.max, &c.res, &c.def, &c.cur}) v->resize(c.length, 0);
  controls_[(uint16_t)(c.entity << 8 | c.selector)] = std::move(c);
  update_picture();
}

void uvc_camera::remove_control(uint8_t entity, uint8_t selector) {
  std::lock_guard<std::mutex> guard(lock_);
  controls_.erase((uint16_t)(entity << 8 | selector));
  update_picture();
}

std::optional<uvc_control> uvc_camera::control(uint8_t entity, uint8_t selector) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = controls_.find((uint16_t)(entity << 8 | selector));
  if (it == controls_.end()) return std::nullopt;
  return it->second;
}

std::vector<uvc_control> uvc_camera::controls() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<uvc_control> all;
  for (const auto& c : controls_) all.push_back(c.second);
  return all;
}

void uvc_camera::set_current(uint8_t entity, uint8_t selector, const std::vector<uint8_t>& value) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = controls_.find((uint16_t)(entity << 8 | selector));
  if (it == controls_.end()) return;
  it->second.cur = value;
  it->second.cur.resize(it->second.length, 0);
  update_picture();
}

uint8_t uvc_camera::request_error_code() const {
  std::lock_guard<std::mutex> guard(lock_);
  return error_code_;
}

void uvc_camera::set_strict_get_length(bool strict) {
  std::lock_guard<std::mutex> guard(lock_);
  strict_get_length_ = strict;
}

void uvc_camera::set_strict_automatic_modes(bool strict) {
  std::lock_guard<std::mutex> guard(lock_);
  strict_automatic_modes_ = strict;
}

void uvc_camera::set_strict_probe_length(bool strict) {
  std::lock_guard<std::mutex> guard(lock_);
  strict_probe_length_ = strict;
}

uvc_streaming_control uvc_camera::probe() const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = streaming_.find(vs_interface_);
  return it == streaming_.end() ? uvc_streaming_control{} : it->second.probe;
}

uvc_streaming_control uvc_camera::committed() const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = streaming_.find(vs_interface_);
  return it == streaming_.end() ? uvc_streaming_control{} : it->second.commit;
}

unsigned uvc_camera::commit_count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return commit_count_;
}

// ---- memory -----------------------------------------------------------------------------------

void uvc_camera::set_memory_size(uint32_t bytes) {
  std::lock_guard<std::mutex> guard(lock_);
  memory_size_ = bytes;
}

std::vector<uint8_t> uvc_camera::memory(uint32_t address, uint32_t length) const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<uint8_t> out(length, 0xFF);
  for (uint32_t i = 0; i < length; ++i) {
    const uint32_t a = address + i;
    auto it = memory_blocks_.find(a / kMemoryBlock);
    if (it != memory_blocks_.end()) out[i] = it->second[a % kMemoryBlock];
  }
  return out;
}

void uvc_camera::write_memory(uint32_t address, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> guard(lock_);
  for (size_t i = 0; i < bytes.size(); ++i) {
    const uint32_t a = address + (uint32_t)i;
    auto& block = memory_blocks_[a / kMemoryBlock];
    if (block.empty()) block.assign(kMemoryBlock, 0xFF);
    block[a % kMemoryBlock] = bytes[i];
  }
}

void uvc_camera::corrupt_memory_reads(unsigned count) {
  std::lock_guard<std::mutex> guard(lock_);
  corrupt_reads_ = count;
}

unsigned uvc_camera::memory_erase_count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return erase_count_;
}

void uvc_camera::set_memory_max_request(uint16_t bytes) {
  std::lock_guard<std::mutex> guard(lock_);
  memory_max_request_ = bytes;
}

void uvc_camera::set_firmware_revision(uint32_t revision) {
  auto answer = [revision](size_t bytes) {
    return [revision, bytes](const setup_packet& setup, std::vector<uint8_t>& data) -> USBD_STATUS {
      if (!setup.is_in()) return USBD_STATUS_STALL_PID;
      data = control_bytes(revision, bytes);
      return USBD_STATUS_SUCCESS;
    };
  };
  set_vendor_handler(0x16, answer(2));
  set_vendor_handler(0x01, answer(4));
}

// ---- requests ----------------------------------------------------------------------------------

USBD_STATUS uvc_camera::stall(uint8_t error_code) {
  error_code_ = error_code;
  return USBD_STATUS_STALL_PID;
}

USBD_STATUS uvc_camera::handle_class_or_vendor(const setup_packet& setup, std::vector<uint8_t>& data) {
  std::lock_guard<std::mutex> guard(lock_);
  if (setup.type() == kRequestTypeVendor) {
    if (setup.request == kVendorCameraMemory && setup.recipient() == kRecipientDevice) {
      return memory_request(setup, data);
    }
    return USBD_STATUS_STALL_PID;
  }
  if (setup.recipient() != kRecipientInterface) return USBD_STATUS_STALL_PID;
  const uint8_t interface_number = (uint8_t)setup.index;
  if (streaming_.count(interface_number) != 0) return streaming_request(setup, data);
  if (std::find(vc_interfaces_.begin(), vc_interfaces_.end(), interface_number) != vc_interfaces_.end()) {
    return control_request(setup, data);
  }
  return USBD_STATUS_STALL_PID;
}

// Caller holds lock_.
USBD_STATUS uvc_camera::control_request(const setup_packet& setup, std::vector<uint8_t>& data) {
  const uint8_t entity = (uint8_t)(setup.index >> 8);
  const uint8_t selector = (uint8_t)(setup.value >> 8);
  if (entity == 0) {
    // Interface controls of VideoControl: only the request error code.
    if (selector != uvc::VC_REQUEST_ERROR_CODE_CONTROL) return stall(uvc::ERROR_INVALID_CONTROL);
    if (setup.request == uvc::GET_CUR) {
      data = {error_code_};
      return USBD_STATUS_SUCCESS;
    }
    if (setup.request == uvc::GET_INFO) {
      data = {uvc::INFO_GET};
      error_code_ = uvc::ERROR_NONE;
      return USBD_STATUS_SUCCESS;
    }
    return stall(uvc::ERROR_INVALID_REQUEST);
  }
  const bool known_entity = std::any_of(entities_.begin(), entities_.end(),
                                        [entity](const uvc_entity_info& e) { return e.id == entity; });
  auto it = controls_.find((uint16_t)(entity << 8 | selector));
  if (it == controls_.end()) {
    return stall(known_entity ? uvc::ERROR_INVALID_CONTROL : uvc::ERROR_INVALID_UNIT);
  }
  uvc_control& c = it->second;
  auto answer = [&](const std::vector<uint8_t>& field, uint8_t needs) {
    if ((c.answers & needs) != needs) return stall(uvc::ERROR_INVALID_REQUEST);
    if (strict_get_length_ && setup.length != c.length) return stall(uvc::ERROR_INVALID_REQUEST);
    data = field;
    error_code_ = uvc::ERROR_NONE;
    return USBD_STATUS_SUCCESS;
  };
  const uvc_control* automatic = nullptr;
  const bool disabled = under_automatic_control(c, &automatic);
  switch (setup.request) {
    case uvc::SET_CUR: {
      if (!(c.info & uvc::INFO_SET)) return stall(uvc::ERROR_INVALID_REQUEST);
      if (setup.length != c.length || data.size() != c.length) return stall(uvc::ERROR_INVALID_REQUEST);
      if (disabled && strict_automatic_modes_) return stall(uvc::ERROR_WRONG_STATE);
      const int64_t v = control_number(data, c.is_signed);
      if (c.entity == camera_terminal_id_ && c.selector == uvc::CT_AE_MODE) {
        // One mode, and one of those GET_RES lists.
        const int64_t offered = control_number(c.res, false);
        if (v <= 0 || (v & (v - 1)) != 0 || (v & offered) != v) return stall(uvc::ERROR_OUT_OF_RANGE);
      } else if (c.range_checked && c.length <= 4) {
        if (v < control_number(c.min, c.is_signed) || v > control_number(c.max, c.is_signed)) {
          return stall(uvc::ERROR_OUT_OF_RANGE);
        }
      }
      c.cur = data;
      error_code_ = uvc::ERROR_NONE;
      update_picture();
      return USBD_STATUS_SUCCESS;
    }
    case uvc::GET_CUR:
      if (!(c.info & uvc::INFO_GET)) return stall(uvc::ERROR_INVALID_REQUEST);
      return answer(c.cur, 0);
    case uvc::GET_MIN:
      return answer(c.min, uvc::ANSWERS_MIN);
    case uvc::GET_MAX:
      return answer(c.max, uvc::ANSWERS_MAX);
    case uvc::GET_RES:
      return answer(c.res, uvc::ANSWERS_RES);
    case uvc::GET_DEF:
      return answer(c.def, uvc::ANSWERS_DEF);
    case uvc::GET_LEN:
      data = control_bytes(c.length, 2);
      error_code_ = uvc::ERROR_NONE;
      return USBD_STATUS_SUCCESS;
    case uvc::GET_INFO:
      data = {(uint8_t)(c.info | (automatic != nullptr ? uvc::INFO_AUTOUPDATE : 0) |
                        (disabled ? uvc::INFO_DISABLED : 0))};
      error_code_ = uvc::ERROR_NONE;
      return USBD_STATUS_SUCCESS;
    default:
      return stall(uvc::ERROR_INVALID_REQUEST);
  }
}

// Caller holds lock_. Whether an automatic mode owns `c` now; *automatic
// gets the automatic partner when the camera has one.
bool uvc_camera::under_automatic_control(const uvc_control& c, const uvc_control** automatic) const {
  *automatic = nullptr;
  uint8_t subtype = 0;
  if (c.entity == camera_terminal_id_) subtype = uvc::INPUT_TERMINAL;
  if (c.entity == processing_unit_id_) subtype = uvc::PROCESSING_UNIT;
  const auto_rule* rule = subtype != 0 ? find_auto_rule(subtype, c.selector) : nullptr;
  if (rule == nullptr) return false;
  auto it = controls_.find((uint16_t)(c.entity << 8 | rule->auto_selector));
  if (it == controls_.end()) return false;
  *automatic = &it->second;
  return is_automatic(*rule, control_number(it->second.cur, false));
}

// Caller holds lock_. Hands the picture controls' values to the test pattern.
void uvc_camera::update_picture() {
  auto find = [this](uint8_t entity, uint8_t selector) -> const uvc_control* {
    if (entity == 0) return nullptr;
    auto it = controls_.find((uint16_t)(entity << 8 | selector));
    return it == controls_.end() ? nullptr : &it->second;
  };
  picture_control_values v;
  v.brightness = find(processing_unit_id_, uvc::PU_BRIGHTNESS);
  v.contrast = find(processing_unit_id_, uvc::PU_CONTRAST);
  v.saturation = find(processing_unit_id_, uvc::PU_SATURATION);
  v.gain = find(processing_unit_id_, uvc::PU_GAIN);
  v.exposure = find(camera_terminal_id_, uvc::CT_EXPOSURE_TIME_ABSOLUTE);
  const uvc_control* automatic = nullptr;
  v.exposure_automatic = v.exposure != nullptr && under_automatic_control(*v.exposure, &automatic);
  picture_->set(picture_from_controls(v));
}

// Caller holds lock_.
USBD_STATUS uvc_camera::streaming_request(const setup_packet& setup, std::vector<uint8_t>& data) {
  streaming_state& vs = streaming_[(uint8_t)setup.index];
  const uint8_t entity = (uint8_t)(setup.index >> 8);
  const uint8_t selector = (uint8_t)(setup.value >> 8);
  if (entity != 0 || (selector != uvc::VS_PROBE_CONTROL && selector != uvc::VS_COMMIT_CONTROL)) {
    return stall(uvc::ERROR_INVALID_CONTROL);
  }
  const size_t length = probe_length();
  const bool is_commit = selector == uvc::VS_COMMIT_CONTROL;
  error_code_ = uvc::ERROR_NONE;  // a stall below sets its own code
  if (setup.request == uvc::GET_LEN) {
    data = control_bytes((int64_t)length, 2);
    return USBD_STATUS_SUCCESS;
  }
  if (setup.request == uvc::GET_INFO) {
    data = {uvc::INFO_GET | uvc::INFO_SET};
    return USBD_STATUS_SUCCESS;
  }
  if (setup.length < kProbeLength10 || (strict_probe_length_ && setup.length != length)) {
    return stall(uvc::ERROR_INVALID_REQUEST);
  }
  switch (setup.request) {
    case uvc::SET_CUR: {
      if (vs.formats.empty()) return stall(uvc::ERROR_WRONG_STATE);
      const uvc_streaming_control wanted = uvc_streaming_control::from_bytes(data.data(), data.size());
      if (is_commit) {
        vs.commit = negotiate(vs, wanted);
        ++commit_count_;
        vs.committed = true;
        if ((uint8_t)setup.index == vs_interface_) restart_stream(vs);
      } else {
        vs.probe = negotiate(vs, wanted);
      }
      return USBD_STATUS_SUCCESS;
    }
    case uvc::GET_CUR:
      data = (is_commit ? vs.commit : vs.probe).to_bytes(length);
      return USBD_STATUS_SUCCESS;
    case uvc::GET_DEF:
    case uvc::GET_MIN:
    case uvc::GET_MAX: {
      if (is_commit) return stall(uvc::ERROR_INVALID_REQUEST);
      uvc_streaming_control c = default_probe(vs);
      const uvc_frame_info* frame = nullptr;
      for (const auto& f : vs.formats) {
        if (f.index != c.bFormatIndex) continue;
        for (const auto& fr : f.frames) {
          if (fr.index == c.bFrameIndex) frame = &fr;
        }
      }
      if (frame != nullptr && setup.request != uvc::GET_DEF) {
        const bool min = setup.request == uvc::GET_MIN;
        if (!frame->intervals.empty()) {
          c.dwFrameInterval = min ? frame->intervals.front() : frame->intervals.back();
        } else {
          c.dwFrameInterval = min ? frame->min_interval : frame->max_interval;
        }
      }
      data = c.to_bytes(length);
      return USBD_STATUS_SUCCESS;
    }
    default:
      return stall(uvc::ERROR_INVALID_REQUEST);
  }
}

// The device's answer to a probe: unsupported indices fall back to the
// first format or frame, the interval to the nearest one the frame offers;
// the sizes are the device's own.
uvc_streaming_control uvc_camera::negotiate(const streaming_state& vs,
                                            const uvc_streaming_control& wanted) const {
  uvc_streaming_control c;
  if (vs.formats.empty()) return c;
  const uvc_format_info* format = &vs.formats.front();
  for (const auto& f : vs.formats) {
    if (f.index == wanted.bFormatIndex) format = &f;
  }
  c.bmHint = wanted.bmHint;
  c.bFormatIndex = format->index;
  if (format->frames.empty()) return c;
  const uvc_frame_info* frame = &format->frames.front();
  for (const auto& fr : format->frames) {
    if (fr.index == wanted.bFrameIndex) frame = &fr;
  }
  c.bFrameIndex = frame->index;
  uint32_t interval = wanted.dwFrameInterval != 0 ? wanted.dwFrameInterval : frame->default_interval;
  if (!frame->intervals.empty()) {
    uint32_t best = frame->intervals.front();
    for (uint32_t candidate : frame->intervals) {
      const uint32_t d_best = best > interval ? best - interval : interval - best;
      const uint32_t d_cand = candidate > interval ? candidate - interval : interval - candidate;
      if (d_cand < d_best) best = candidate;
    }
    interval = best;
  } else {
    interval = std::max(frame->min_interval, std::min(frame->max_interval, interval));
    if (frame->interval_step != 0) {
      const uint32_t steps = (interval - frame->min_interval + frame->interval_step / 2) / frame->interval_step;
      interval = std::min(frame->max_interval, frame->min_interval + steps * frame->interval_step);
    }
  }
  c.dwFrameInterval = interval;
  if (format->subtype != kVsFormatUncompressed) {
    c.wKeyFrameRate = wanted.wKeyFrameRate;
    c.wPFrameRate = wanted.wPFrameRate;
    c.wCompQuality = wanted.wCompQuality;
    c.wCompWindowSize = wanted.wCompWindowSize;
  }
  c.dwMaxVideoFrameSize = frame->max_frame_size;
  c.dwMaxPayloadTransferSize = vs.bulk || vs.max_payload == 0 ? frame->max_frame_size + 12 : vs.max_payload;
  if (bcd_uvc_ >= 0x0110) {
    c.dwClockFrequency = clock_frequency_;
    c.bmFramingInfo = 0x03;
    c.bPreferedVersion = 1;
    c.bMinVersion = 1;
    c.bMaxVersion = 1;
  }
  return c;
}

uvc_streaming_control uvc_camera::default_probe(const streaming_state& vs) const {
  uvc_streaming_control wanted;
  wanted.bmHint = 0;
  if (!vs.formats.empty()) {
    wanted.bFormatIndex = vs.formats.front().index;
    wanted.bFrameIndex = vs.formats.front().default_frame;
  }
  return negotiate(vs, wanted);
}

// Caller holds lock_.
USBD_STATUS uvc_camera::memory_request(const setup_packet& setup, std::vector<uint8_t>& data) {
  const uint32_t address = (uint32_t)setup.value << 16 | setup.index;
  if (setup.length > memory_max_request_) return USBD_STATUS_STALL_PID;
  if (address >= memory_size_ || setup.length > memory_size_ - address) return USBD_STATUS_STALL_PID;
  if (setup.is_in()) {
    data.assign(setup.length, 0xFF);
    for (uint32_t i = 0; i < setup.length; ++i) {
      const uint32_t a = address + i;
      auto it = memory_blocks_.find(a / kMemoryBlock);
      if (it != memory_blocks_.end()) data[i] = it->second[a % kMemoryBlock];
    }
    if (corrupt_reads_ > 0 && !data.empty()) {
      --corrupt_reads_;
      data[data.size() / 2] ^= 0xFF;
    }
    return USBD_STATUS_SUCCESS;
  }
  if (setup.length == 0) {
    memory_blocks_.erase(address / kMemoryBlock);
    ++erase_count_;
    return USBD_STATUS_SUCCESS;
  }
  for (size_t i = 0; i < data.size(); ++i) {
    const uint32_t a = address + (uint32_t)i;
    auto& block = memory_blocks_[a / kMemoryBlock];
    if (block.empty()) block.assign(kMemoryBlock, 0xFF);
    block[a % kMemoryBlock] = data[i];
  }
  return USBD_STATUS_SUCCESS;
}

// ---- video ------------------------------------------------------------------------------------

void uvc_camera::install_video_source() {
  // The stream and the two endpoints are fixed at construction; the hook
  // runs on the bus thread with no lock held and calls back into the device
  // after the stream's lock is released.
  set_in_packet_source([this](const in_request& request, std::vector<uint8_t>& block, USBD_STATUS& status) {
    stream_effects effects;
    const bool produced = stream_.produce(request, block, status, &effects);
    if (effects.fail_transfer != USBD_STATUS_SUCCESS) {
      fail_next_in_transfer(request.endpoint_address, effects.fail_transfer);
    }
    if (effects.interrupt && interrupt_endpoint_ != 0) {
      queue_in_data(interrupt_endpoint_, {kStatusStreaming, vs_interface_, kEventButton, 1});
    }
    if (effects.wake_after_ms >= 0) service_endpoints_after((unsigned)effects.wake_after_ms);
    return produced;
  });
}

void uvc_camera::set_payload_source(payload_source source) {
  if (source) {
    set_in_data_source(std::move(source));
  } else {
    install_video_source();
  }
}

// Caller holds lock_. What the commit says, as the stream needs it.
void uvc_camera::restart_stream(streaming_state& vs) {
  const uint64_t generation = discard_in_data(vs.endpoint);
  if (!vs.committed || vs.endpoint == 0 || (!vs.bulk && vs.alternate == 0)) {
    stream_.stop(generation);
    return;
  }
  const uvc_streaming_control& c = vs.commit;
  stream_setup setup;
  for (const auto& f : vs.formats) {
    if (f.index != c.bFormatIndex) continue;
    setup.format.fourcc = fourcc_of(f);
    setup.format.bits_per_pixel = f.bits_per_pixel;
    for (const auto& fr : f.frames) {
      if (fr.index != c.bFrameIndex) continue;
      setup.format.width = fr.width;
      setup.format.height = fr.height;
      setup.format.max_bytes = fr.max_frame_size;
      setup.frame_interval = c.dwFrameInterval != 0 ? c.dwFrameInterval : fr.default_interval;
    }
  }
  setup.max_payload = c.dwMaxPayloadTransferSize;
  setup.clock_frequency = c.dwClockFrequency != 0 ? c.dwClockFrequency : clock_frequency_;
  setup.endpoint = vs.endpoint;
  setup.isochronous = !vs.bulk;
  setup.bulk_packet_size = vs.bulk_packet;
  setup.interrupt_endpoint = interrupt_endpoint_ != 0;
  stream_.start(setup, generation);
}

void uvc_camera::on_alternate_setting(uint8_t interface_number, uint8_t alternate_setting) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = streaming_.find(interface_number);
  if (it == streaming_.end()) return;
  it->second.alternate = alternate_setting;
  if (interface_number == vs_interface_) restart_stream(it->second);
}

void uvc_camera::on_port_reset() {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& s : streaming_) {
    s.second.committed = false;
    s.second.alternate = 0;
    if (s.first == vs_interface_) restart_stream(s.second);
  }
}

// The stream always has a source: the caller's, or the test pattern that
// shows the picture controls.
void uvc_camera::set_stream_options(const stream_options& options) {
  // A call still making frames for the last stream ends with the old settings.
  wait_for_in_source_idle();
  std::lock_guard<std::mutex> guard(lock_);
  stream_options own = options;
  user_source_ = options.source;
  if (!own.source) own.source = pattern_;
  stream_.set_options(own);
}

stream_options uvc_camera::get_stream_options() const {
  std::lock_guard<std::mutex> guard(lock_);
  stream_options options = stream_.options();
  options.source = user_source_;
  return options;
}

picture_settings uvc_camera::picture() const { return picture_->get(); }
std::vector<sent_frame> uvc_camera::sent_frames() const { return stream_.sent_frames(); }
void uvc_camera::clear_sent_frames() { stream_.clear_sent_frames(); }
stream_counters uvc_camera::sent_counters() const { return stream_.counters(); }

bool uvc_camera::streaming() const {
  std::lock_guard<std::mutex> guard(lock_);
  return stream_.running();
}

}  // namespace sim
