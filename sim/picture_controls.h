// What the simulated camera's image controls do to its picture: brightness,
// contrast, saturation, gain and exposure change the test pattern as a
// camera's image pipeline would, so that a setting shows in the captured
// frames. The camera derives picture_settings from its controls whenever
// one changes (uvc_camera.cpp); the test pattern applies them to each
// rendered picture (frame_source.h, picture_step). Other frame sources are
// left as they are.
//
// Per 8-bit luminance level v (and per R, G and B channel):
//   v' = clamp((v * exposure * gain - 128) * contrast + 128 + brightness)
// per colour difference c (U, V, or a channel's distance from the pixel's
// luminance): c' = clamp(c * saturation). Neutral settings leave every
// byte as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "frame_source.h"
#include "uvc_controls.h"

namespace sim {

struct picture_settings {
  double brightness = 0;  // offset in 8-bit levels
  double contrast = 1;    // factor of the distance from mid-grey (128)
  double saturation = 1;  // factor of the colour difference
  double exposure = 1;    // exposure time relative to the control's default
  double gain = 1;        // amplification relative to the control's default
  bool neutral() const;
};

// The camera's controls that shape the picture; null where it has none.
struct picture_control_values {
  const uvc_control* brightness = nullptr;
  const uvc_control* contrast = nullptr;
  const uvc_control* saturation = nullptr;
  const uvc_control* gain = nullptr;
  const uvc_control* exposure = nullptr;  // exposure time absolute, 100 us
  bool exposure_automatic = false;        // the auto-exposure mode owns the exposure time
};

// Settings from control values, each relative to its default: brightness
// spans 255 levels over the control's range; contrast and saturation scale
// with (value - minimum) / (default - minimum); gain runs from 1 to 4 over
// the range; exposure is the time over the default time (1/64 to 16), and 1
// while automatic.
picture_settings picture_from_controls(const picture_control_values& controls);

// Applies `settings` to a picture of `format` in place: "Y800", "Y16 ",
// "YUY2", "UYVY", "RGB3" and "RGB4"; other formats are left unchanged.
void apply_picture(const picture_settings& settings, const frame_format& format, uint8_t* pixels,
                   size_t bytes);

// The settings a camera hands to its test pattern. set() is called under
// the camera's lock, apply() on the bus thread under the stream's; the
// settings have a lock of their own that is taken last.
class picture_controls final : public picture_step {
 public:
  void set(const picture_settings& settings);
  picture_settings get() const;
  void apply(const frame_format& format, uint8_t* pixels, size_t bytes) const override;

 private:
  mutable std::mutex mutex_;
  picture_settings settings_;
};

}  // namespace sim
