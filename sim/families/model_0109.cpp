// The simulated 0x0109 webcam (model_0109.h).
#include "model_0109.h"

#include <algorithm>

namespace sim {
namespace {

constexpr uint8_t kCameraTerminal = 1;
constexpr uint8_t kProcessingUnit = 2;
constexpr uint8_t kOutputTerminal = 3;

// Controls whose current value the firmware does not report.
struct unread {
  uint8_t entity, selector;
};
constexpr unread kUnread[] = {
    {kCameraTerminal, 2},                                                   // auto-exposure mode
    {kCameraTerminal, 4},                                                   // exposure time absolute
    {kProcessingUnit, 2},  {kProcessingUnit, 3},  {kProcessingUnit, 6},     // brightness, contrast, hue
    {kProcessingUnit, 7},  {kProcessingUnit, 8},  {kProcessingUnit, 9},     // saturation, sharpness, gamma
    {kProcessingUnit, 10}, {kProcessingUnit, 11},                           // white balance temperature, auto
};

uvc_format_desc format_of(uvc_format_kind kind, const char* fcc, std::vector<std::pair<uint16_t, uint16_t>> sizes) {
  uvc_format_desc f;
  f.kind = kind;
  if (kind != uvc_format_kind::mjpeg) f.guid = fourcc_guid(fcc);
  f.bits_per_pixel = 16;  // MJPEG: 2 bytes per pixel of buffer, above any picture the camera makes
  f.frames.clear();
  for (const auto& s : sizes) {
    uvc_frame_desc fr;
    fr.width = s.first;
    fr.height = s.second;
    fr.intervals = {333333, 666666};
    fr.default_interval = 333333;
    f.frames.push_back(fr);
  }
  return f;
}

uvc_camera_desc describe() {
  uvc_camera_desc u;
  u.vendor_id = 0x199E;
  u.product_id = 0x0109;
  u.manufacturer = "Talvexa";
  u.product = "Webcam 0109";
  u.serial = "00000109";
  u.camera_terminal_id = kCameraTerminal;
  u.processing_unit_id = kProcessingUnit;
  u.output_terminal_id = kOutputTerminal;
  u.camera_controls = (1u << 1) | (1u << 3);  // auto-exposure mode, exposure time absolute
  // brightness, contrast, hue, saturation, sharpness, gamma, white balance
  // temperature (bits 0 to 6), gain (9), white balance temperature auto (12)
  u.processing_controls = 0x7F | (1u << 9) | (1u << 12);
  u.formats = {format_of(uvc_format_kind::mjpeg, "MJPG", {{1280, 720}, {640, 480}, {320, 240}}),
               format_of(uvc_format_kind::uncompressed, "YUY2", {{640, 480}, {320, 240}})};
  u.iso_packet_sizes = {192, 384, 640, 1020, 0x1000 | 1020};  // the last: 3 transactions of 1020 bytes
  return u;
}

bool is_unread(uint8_t entity, uint8_t selector) {
  return std::any_of(std::begin(kUnread), std::end(kUnread),
                     [&](const unread& u) { return u.entity == entity && u.selector == selector; });
}

}  // namespace

std::shared_ptr<model_0109> model_0109::create() { return std::make_shared<model_0109>(describe()); }

model_0109::model_0109(const uvc_camera_desc& usb) : family_camera(usb, "camera_0109", nullptr) {}

model_0109::~model_0109() = default;

std::vector<uint8_t> model_0109::applied(uint8_t entity, uint8_t selector) const {
  const std::optional<uvc_control> c = control(entity, selector);
  return c ? c->cur : std::vector<uint8_t>{};
}

bool model_0109::answer(const setup_packet& setup, std::vector<uint8_t>& data, USBD_STATUS* status) {
  if (setup.type() != kRequestTypeClass || setup.request != uvc::GET_CUR || setup.recipient() != kRecipientInterface ||
      (uint8_t)setup.index != control_interface()) {
    return false;
  }
  const uint8_t entity = (uint8_t)(setup.index >> 8), selector = (uint8_t)(setup.value >> 8);
  if (!is_unread(entity, selector)) return false;
  const std::optional<uvc_control> c = control(entity, selector);
  if (!c) return false;
  data = c->def;
  if (data.size() > setup.length) data.resize(setup.length);
  *status = USBD_STATUS_SUCCESS;
  return true;
}

}  // namespace sim
