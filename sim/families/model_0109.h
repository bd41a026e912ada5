// The simulated 0x0109 camera: a USB Video Class webcam that streams the
// test pattern (frame_source.h) as "MJPG" or "YUY2" over isochronous
// packets, and whose firmware does not read back what the host set on
// some of its controls.
//
// Formats: "MJPG" at 1280 x 720, 640 x 480 and 320 x 240, "YUY2" at
// 640 x 480 and 320 x 240, each at 30 and 15 fps. Isochronous alternate
// settings of 192, 384, 640, 1020 and 3 x 1020 bytes per microframe: a
// stream in 1020-byte packets has a setting of exactly that size.
//
// Controls: camera terminal (1) auto-exposure mode and exposure time
// absolute; processing unit (2) brightness, contrast, hue, saturation,
// sharpness, gamma, white balance temperature and its automatic mode, gain
// (the plain camera's ranges, uvc_camera.h). GET_CUR of the camera
// terminal's selectors 2 and 4 and of the processing unit's 2, 3, 6, 7,
// 8, 9, 10 and 11 answers the power-on default whatever was set: the
// camera applies a SET_CUR but keeps no readable copy (the reason a driver
// holds those values itself). GET_MIN, GET_MAX, GET_RES and GET_DEF answer
// as usual.
#pragma once

#include <memory>

#include "family_camera.h"

namespace sim {

class model_0109 : public family_camera {
 public:
  static std::shared_ptr<model_0109> create();
  explicit model_0109(const uvc_camera_desc& usb);
  ~model_0109() override;

  // The value the camera applies (the last SET_CUR), which GET_CUR does
  // not show for the controls above.
  std::vector<uint8_t> applied(uint8_t entity, uint8_t selector) const;

 protected:
  bool answer(const setup_packet& setup, std::vector<uint8_t>& data, USBD_STATUS* status) override;
};

}  // namespace sim
