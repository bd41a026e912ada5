// Generation of a camera's device and configuration descriptors from a
// uvc_camera_desc: an interface association, the VideoControl interface
// (header, camera terminal, processing unit, extension units, output
// terminal, optional interrupt endpoint) and the VideoStreaming interface
// (input header, formats with their frames and colour matching, then
// either one bulk endpoint or one isochronous alternate setting per packet
// size).
#include <algorithm>
#include <cstring>

#include "uvc_camera.h"
#include "wire.h"

namespace sim {
namespace {

constexpr uint8_t kCsInterface = 0x24;
constexpr uint8_t kCsEndpoint = 0x25;
constexpr uint8_t kVideoClass = 0x0E;
constexpr uint8_t kScVideoControl = 0x01;
constexpr uint8_t kScVideoStreaming = 0x02;
constexpr uint8_t kScInterfaceCollection = 0x03;
constexpr uint8_t kVcInterface = 0;
constexpr uint8_t kVsInterface = 1;
constexpr uint8_t kInterruptEndpoint = 0x83;
constexpr uint16_t kInterruptPacket = 16;

// Offsets patched after the fact.
constexpr size_t kVcHeaderTotalLength = 5;
constexpr size_t kVsHeaderTotalLength = 4;

void append_guid(std::vector<uint8_t>& out, const GUID& g) {
  append_le32(out, g.Data1);
  append_le16(out, g.Data2);
  append_le16(out, g.Data3);
  out.insert(out.end(), g.Data4, g.Data4 + 8);
}

void append_interface(std::vector<uint8_t>& out, uint8_t number, uint8_t alternate,
                      uint8_t endpoints, uint8_t subclass) {
  out.insert(out.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints,
                         kVideoClass, subclass, 0, 0});
}

void append_endpoint(std::vector<uint8_t>& out, uint8_t address, uint8_t attributes,
                     uint16_t max_packet, uint8_t interval) {
  out.insert(out.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, attributes});
  append_le16(out, max_packet);
  out.push_back(interval);
}

uint32_t frame_size(const uvc_format_desc& format, const uvc_frame_desc& frame) {
  if (frame.max_frame_size != 0) return frame.max_frame_size;
  return (uint32_t)frame.width * frame.height * format.bits_per_pixel / 8;
}

void append_frame(std::vector<uint8_t>& out, const uvc_format_desc& format,
                  const uvc_frame_desc& frame, uint8_t index) {
  const bool frame_based = format.kind == uvc_format_kind::frame_based;
  const uint8_t subtype = format.kind == uvc_format_kind::uncompressed ? 0x05
                          : format.kind == uvc_format_kind::mjpeg      ? 0x07
                                                                       : 0x11;
  const bool continuous = frame.intervals.empty();
  const size_t start = out.size();
  const uint32_t size = frame_size(format, frame);
  const uint32_t fastest = continuous ? frame.min_interval : frame.intervals.front();
  const uint32_t slowest = continuous ? frame.max_interval : frame.intervals.back();
  out.insert(out.end(), {0, kCsInterface, subtype, index, 0});
  append_le16(out, frame.width);
  append_le16(out, frame.height);
  append_le32(out, (uint32_t)((uint64_t)size * 8 * 10000000 / std::max<uint32_t>(slowest, 1)));
  append_le32(out, (uint32_t)((uint64_t)size * 8 * 10000000 / std::max<uint32_t>(fastest, 1)));
  if (frame_based) {
    append_le32(out, frame.default_interval);
    out.push_back(continuous ? 0 : (uint8_t)frame.intervals.size());
    append_le32(out, 0);  // dwBytesPerLine: variable
  } else {
    append_le32(out, size);
    append_le32(out, frame.default_interval);
    out.push_back(continuous ? 0 : (uint8_t)frame.intervals.size());
  }
  if (continuous) {
    append_le32(out, frame.min_interval);
    append_le32(out, frame.max_interval);
    append_le32(out, frame.interval_step);
  } else {
    for (uint32_t interval : frame.intervals) append_le32(out, interval);
  }
  out[start] = (uint8_t)(out.size() - start);
}

void append_format(std::vector<uint8_t>& out, const uvc_format_desc& format, uint8_t index) {
  const uint8_t frames = (uint8_t)format.frames.size();
  switch (format.kind) {
    case uvc_format_kind::uncompressed:
      out.insert(out.end(), {27, kCsInterface, 0x04, index, frames});
      append_guid(out, format.guid);
      out.insert(out.end(), {format.bits_per_pixel, 1, 0, 0, 0, 0});
      break;
    case uvc_format_kind::mjpeg:
      // bmFlags 1: fixed-size samples; default frame 1; no aspect, interlace or copy protection.
      out.insert(out.end(), {11, kCsInterface, 0x06, index, frames, 1, 1, 0, 0, 0, 0});
      break;
    case uvc_format_kind::frame_based:
      out.insert(out.end(), {28, kCsInterface, 0x10, index, frames});
      append_guid(out, format.guid);
      out.insert(out.end(), {format.bits_per_pixel, 1, 0, 0, 0, 0, 1});  // ..., bVariableSize
      break;
  }
  for (size_t i = 0; i < format.frames.size(); ++i) append_frame(out, format, format.frames[i], (uint8_t)(i + 1));
  if (format.color_matching) {
    // BT.709 primaries, BT.709 transfer, SMPTE 170M matrix.
    out.insert(out.end(), {6, kCsInterface, 0x0D, 1, 1, 4});
  }
}

std::vector<uint8_t> build_device_descriptor(const uvc_camera_desc& desc) {
  std::vector<uint8_t> d{18, USB_DEVICE_DESCRIPTOR_TYPE};
  append_le16(d, desc.bcd_usb);
  d.insert(d.end(), {0xEF, 0x02, 0x01, 64});  // miscellaneous class, interface association
  append_le16(d, desc.vendor_id);
  append_le16(d, desc.product_id);
  append_le16(d, desc.bcd_device);
  d.insert(d.end(), {1, 2, 3, 1});  // string indices, one configuration
  return d;
}

std::vector<uint8_t> build_configuration(const uvc_camera_desc& desc) {
  std::vector<uint8_t> c{9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 2, 1, 0, 0x80, 250};
  // Interface association: both interfaces form one video function.
  c.insert(c.end(), {8, USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE, kVcInterface, 2, kVideoClass,
                     kScInterfaceCollection, 0, 0});
  append_interface(c, kVcInterface, 0, desc.interrupt_endpoint ? 1 : 0, kScVideoControl);

  const size_t vc_start = c.size();
  c.insert(c.end(), {13, kCsInterface, 0x01});
  append_le16(c, desc.bcd_uvc);
  append_le16(c, 0);  // wTotalLength, patched below
  append_le32(c, desc.clock_frequency);
  c.insert(c.end(), {1, kVsInterface});

  // Camera terminal with 3 bytes of bmControls.
  c.insert(c.end(), {18, kCsInterface, 0x02, desc.camera_terminal_id});
  append_le16(c, 0x0201);
  c.insert(c.end(), {0, 0, 0, 0, 0, 0, 0, 0, 3});
  c.insert(c.end(), {(uint8_t)desc.camera_controls, (uint8_t)(desc.camera_controls >> 8),
                     (uint8_t)(desc.camera_controls >> 16)});

  // Processing unit with 2 bytes of bmControls (UVC 1.1 adds bmVideoStandards).
  const bool uvc11 = desc.bcd_uvc >= 0x0110;
  c.insert(c.end(), {(uint8_t)(uvc11 ? 12 : 11), kCsInterface, 0x05, desc.processing_unit_id,
                     desc.camera_terminal_id});
  append_le16(c, 0);  // wMaxMultiplier
  c.insert(c.end(), {2, (uint8_t)desc.processing_controls, (uint8_t)(desc.processing_controls >> 8), 0});
  if (uvc11) c.push_back(0);

  uint8_t source = desc.processing_unit_id;
  uint8_t next_id = (uint8_t)(std::max({desc.camera_terminal_id, desc.processing_unit_id,
                                        desc.output_terminal_id}) + 1);
  for (const auto& xu : desc.extension_units) {
    const uint8_t id = xu.unit_id != 0 ? xu.unit_id : next_id++;
    const uint8_t n = (uint8_t)xu.bm_controls.size();
    c.insert(c.end(), {(uint8_t)(24 + 1 + n), kCsInterface, 0x06, id});
    append_guid(c, xu.guid);
    c.insert(c.end(), {xu.num_controls, 1, source, n});
    c.insert(c.end(), xu.bm_controls.begin(), xu.bm_controls.end());
    c.push_back(0);  // iExtension
    source = id;
  }

  // Output terminal: USB streaming.
  c.insert(c.end(), {9, kCsInterface, 0x03, desc.output_terminal_id});
  append_le16(c, 0x0101);
  c.insert(c.end(), {0, source, 0});
  put_le16(&c[vc_start + kVcHeaderTotalLength], (uint16_t)(c.size() - vc_start));

  if (desc.interrupt_endpoint) {
    append_endpoint(c, kInterruptEndpoint, USB_ENDPOINT_TYPE_INTERRUPT, kInterruptPacket, 8);
    c.insert(c.end(), {5, kCsEndpoint, 0x03});
    append_le16(c, kInterruptPacket);
  }

  const bool bulk = desc.iso_packet_sizes.empty();
  append_interface(c, kVsInterface, 0, bulk ? 1 : 0, kScVideoStreaming);
  const size_t vs_start = c.size();
  const uint8_t formats = (uint8_t)desc.formats.size();
  c.insert(c.end(), {(uint8_t)(13 + formats), kCsInterface, 0x01, formats});
  append_le16(c, 0);  // wTotalLength, patched below
  c.insert(c.end(), {desc.streaming_endpoint, 0, desc.output_terminal_id, 0, 0, 0, 1});
  for (uint8_t i = 0; i < formats; ++i) c.push_back(0);
  for (size_t i = 0; i < desc.formats.size(); ++i) append_format(c, desc.formats[i], (uint8_t)(i + 1));
  put_le16(&c[vs_start + kVsHeaderTotalLength], (uint16_t)(c.size() - vs_start));

  if (bulk) {
    append_endpoint(c, desc.streaming_endpoint, USB_ENDPOINT_TYPE_BULK, desc.bulk_packet_size, 0);
  } else {
    for (size_t i = 0; i < desc.iso_packet_sizes.size(); ++i) {
      append_interface(c, kVsInterface, (uint8_t)(i + 1), 1, kScVideoStreaming);
      // Asynchronous isochronous, one transaction window per microframe.
      append_endpoint(c, desc.streaming_endpoint, USB_ENDPOINT_TYPE_ISOCHRONOUS | 0x04,
                      desc.iso_packet_sizes[i], 1);
    }
  }
  put_le16(&c[kConfigTotalLength], (uint16_t)c.size());
  return c;
}

}  // namespace

GUID fourcc_guid(const char fourcc[4]) {
  GUID g{0, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
  g.Data1 = (uint32_t)(uint8_t)fourcc[0] | (uint32_t)(uint8_t)fourcc[1] << 8 |
            (uint32_t)(uint8_t)fourcc[2] << 16 | (uint32_t)(uint8_t)fourcc[3] << 24;
  return g;
}

uvc_camera_desc default_camera_desc() {
  uvc_camera_desc desc;
  uvc_format_desc yuy2;
  yuy2.kind = uvc_format_kind::uncompressed;
  yuy2.guid = fourcc_guid("YUY2");
  yuy2.bits_per_pixel = 16;
  uvc_frame_desc vga;  // 640x480 at 30, 15 and 10 fps
  uvc_frame_desc qvga = vga;
  qvga.width = 320;
  qvga.height = 240;
  yuy2.frames = {vga, qvga};

  uvc_format_desc mjpeg;
  mjpeg.kind = uvc_format_kind::mjpeg;
  mjpeg.bits_per_pixel = 16;
  uvc_frame_desc hd;
  hd.width = 1280;
  hd.height = 720;
  hd.intervals.clear();  // continuous 30 fps down to 1 fps in 1/30 s steps
  hd.min_interval = 333333;
  hd.max_interval = 333333 * 30;
  hd.interval_step = 333333;
  hd.default_interval = 333333;
  mjpeg.frames = {hd};
  desc.formats = {yuy2, mjpeg};
  return desc;
}

std::shared_ptr<uvc_camera> uvc_camera::create(const uvc_camera_desc& desc) {
  auto camera = std::make_shared<uvc_camera>(build_device_descriptor(desc), build_configuration(desc));
  camera->set_string(1, desc.manufacturer);
  camera->set_string(2, desc.product);
  camera->set_string(3, desc.serial);
  // Extension-unit controls take the length the description gives, then
  // the unit's own definitions; declared controls their overrides.
  for (const auto& xu : desc.extension_units) {
    for (const auto& e : camera->entities()) {
      if (e.subtype != 0x06 || !(e.guid == xu.guid)) continue;
      for (unsigned bit = 0; bit < e.bm_controls.size() * 8; ++bit) {
        if (!(e.bm_controls[bit / 8] & (1u << (bit % 8)))) continue;
        camera->define_control(extension_control(xu.guid, e.id, bit, xu.control_length));
      }
      for (uvc_control c : xu.controls) {
        c.entity = e.id;
        if (camera->control(e.id, c.selector)) camera->define_control(c);
      }
    }
  }
  for (const uvc_control& c : desc.control_overrides) {
    if (camera->control(c.entity, c.selector)) camera->define_control(c);
  }
  return camera;
}

}  // namespace sim
