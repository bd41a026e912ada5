// Named simulated cameras: descriptions of plain USB Video Class cameras
// (no vendor extensions, a product identifier no camera family claims, so
// the driver treats them as plain UVC cameras) and the registry of models
// the command-line tool offers.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "raw_sensor_camera.h"
#include "uvc_camera.h"

namespace sim {

// "Talvexa" / "Plain UVC Camera", 0x199E:0x0001, UVC 1.1: "Y800" and "YUY2"
// at 640x480 and 320x240, "MJPG" at 1280x720, 640x480 and 320x240, each
// at 30, 15 and 5 fps; isochronous alternate settings of 128, 512, 1024
// and 3 x 1024 bytes per microframe (the last carries 640x480 YUY2 at
// 30 fps). The description's default controls (uvc_camera_desc).
uvc_camera_desc plain_camera_desc();
// The same camera (product 0x0002, "Plain UVC Bulk Camera") streaming over
// one bulk endpoint of 512-byte packets.
uvc_camera_desc plain_bulk_camera_desc();

// `desc` with the controls of a webcam: auto-exposure mode (aperture
// priority at first) and exposure time, focus with its automatic mode (on),
// zoom; brightness, contrast, saturation and gain of 0..255 (defaults 128,
// 128, 128, 0), hue, sharpness, gamma, white balance temperature with its
// automatic mode (on) and as components, backlight compensation, power-line
// frequency.
uvc_camera_desc with_webcam_controls(uvc_camera_desc desc);

struct camera_model {
  std::string id;           // "plain", "plain-bulk", "8307-colour", ...
  std::string description;  // one line for a listing
  std::function<std::shared_ptr<uvc_camera>()> create;
  std::string family = "uvc_camera";  // the driver class the product identifier selects
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  bool colour = true;
  bool focus = false;  // the driver runs its autofocus on it: the lens has a focus motor
  // Raw-sensor models: the camera with a scene, light and starting exposure
  // of the user's choice (null when the options are not valid); null for
  // models without a sensor.
  std::function<std::shared_ptr<uvc_camera>(const sensor_options&)> create_with;
};
// The models, the default ("plain") first, each plain one with a webcam's
// controls, then the raw-sensor cameras (raw_camera_models()), then the
// cameras of the other families (families/family_models.h).
std::vector<camera_model> camera_models();
// The model with this id, or null.
const camera_model* find_camera_model(const std::vector<camera_model>& models, const std::string& id);

}  // namespace sim
