// The plain camera models as data, and the model registry.
#include "uvc_profiles.h"

#include "families/family_models.h"

namespace sim {
namespace {

constexpr uint32_t kFps30 = 333333;   // frame intervals, 100 ns
constexpr uint32_t kFps15 = 666666;
constexpr uint32_t kFps5 = 2000000;

uvc_frame_desc frame(uint16_t width, uint16_t height) {
  uvc_frame_desc f;
  f.width = width;
  f.height = height;
  f.default_interval = kFps30;
  f.intervals = {kFps30, kFps15, kFps5};
  return f;
}

uvc_format_desc uncompressed(const char fourcc[4], uint8_t bits_per_pixel) {
  uvc_format_desc f;
  f.kind = uvc_format_kind::uncompressed;
  f.guid = fourcc_guid(fourcc);
  f.bits_per_pixel = bits_per_pixel;
  f.frames = {frame(640, 480), frame(320, 240)};
  return f;
}

uvc_format_desc mjpeg() {
  uvc_format_desc f;
  f.kind = uvc_format_kind::mjpeg;
  f.bits_per_pixel = 16;  // dwMaxVideoFrameBufferSize: 2 bytes per pixel, above any JPEG the camera makes
  f.frames = {frame(1280, 720), frame(640, 480), frame(320, 240)};
  return f;
}

// An unsigned 2-byte processing-unit control of range 0..255.
uvc_control level_control(uint8_t unit, uint8_t selector, int def) {
  uvc_control c;
  c.entity = unit;
  c.selector = selector;
  c.length = 2;
  c.min = {0, 0};
  c.max = {255, 0};
  c.res = {1, 0};
  c.def = c.cur = control_bytes(def, 2);
  return c;
}

}  // namespace

uvc_camera_desc plain_camera_desc() {
  uvc_camera_desc d;
  d.vendor_id = 0x199E;
  d.product_id = 0x0001;
  d.manufacturer = "Talvexa";
  d.product = "Plain UVC Camera";
  d.serial = "00000001";
  d.bcd_uvc = 0x0110;
  d.formats = {uncompressed("Y800", 8), uncompressed("YUY2", 16), mjpeg()};
  d.iso_packet_sizes = {128, 512, 1024, 0x1400};  // 0x1400: 3 transactions of 1024 bytes
  return d;
}

uvc_camera_desc with_webcam_controls(uvc_camera_desc d) {
  // Auto-exposure mode, exposure time, focus with its automatic mode, zoom.
  d.camera_controls = 0x02022A;
  // Brightness to white balance temperature with its automatic mode,
  // backlight compensation, gain, power-line frequency.
  d.processing_controls = 0x17FF;
  d.control_overrides = {level_control(d.processing_unit_id, uvc::PU_BRIGHTNESS, 128),
                         level_control(d.processing_unit_id, uvc::PU_CONTRAST, 128),
                         level_control(d.processing_unit_id, uvc::PU_SATURATION, 128),
                         level_control(d.processing_unit_id, uvc::PU_GAIN, 0)};
  return d;
}

uvc_camera_desc plain_bulk_camera_desc() {
  uvc_camera_desc d = plain_camera_desc();
  d.product_id = 0x0002;
  d.product = "Plain UVC Bulk Camera";
  d.serial = "00000002";
  d.iso_packet_sizes.clear();
  d.bulk_packet_size = 512;
  return d;
}

std::vector<camera_model> camera_models() {
  std::vector<camera_model> models = {
      {"plain", "plain UVC 1.1 camera, isochronous: Y800, YUY2, MJPG",
       [] { return uvc_camera::create(with_webcam_controls(plain_camera_desc())); }},
      {"plain-bulk", "plain UVC 1.1 camera, bulk: Y800, YUY2, MJPG",
       [] { return uvc_camera::create(with_webcam_controls(plain_bulk_camera_desc())); }},
  };
  models[0].vendor_id = plain_camera_desc().vendor_id;
  models[0].product_id = plain_camera_desc().product_id;
  models[1].vendor_id = plain_bulk_camera_desc().vendor_id;
  models[1].product_id = plain_bulk_camera_desc().product_id;
  for (const raw_camera_model& model : raw_camera_models()) {
    camera_model m;
    m.id = model.id;
    m.description = model.description;
    m.family = family_name(model.family);
    m.vendor_id = model.vendor_id;
    m.product_id = model.product_id;
    m.colour = model.colour;
    m.focus = model.focus.present;
    m.create = [model] { return raw_sensor_camera::create(model); };
    m.create_with = [model](const sensor_options& options) -> std::shared_ptr<uvc_camera> {
      return raw_sensor_camera::create(model, options);
    };
    models.push_back(m);
  }
  for (camera_model& m : family_camera_models()) models.push_back(std::move(m));
  return models;
}

const camera_model* find_camera_model(const std::vector<camera_model>& models, const std::string& id) {
  for (const auto& m : models) {
    if (m.id == id) return &m;
  }
  return nullptr;
}

}  // namespace sim
