// The common ground of the simulated cameras of the driver's camera
// families (0x82xx, 0x8101/0x8102, 0x8209, 0x8800, 0x0109): a USB Video
// Class camera (uvc_camera) described by data, with an optional image
// sensor (sensor_model.h) looking at a scene, and class and vendor
// requests that the model answers before the plain camera does. Each
// family's model is a class of its own in this folder; the list of models
// is family_models.h.
//
// Requests: a model's answer() sees every class and vendor request first
// (no lock held) and either answers it or lets the plain camera do so
// (controls defined with define_control, probe/commit, camera memory);
// after the plain camera accepted a SET_CUR of a unit's control, written()
// tells the model, which passes the value on to its sensor or picture.
//
// Standard exposure and gain (wire_exposure_and_gain): the camera
// terminal's exposure time absolute (100 us units) and the processing
// unit's gain (64 = 1.0), with the sensor's ranges, reach the sensor as on
// the raw-sensor models (a value lands with the frame after next while
// streaming).
//
// Locking: state a model's frame source reads while rendering (on the bus
// thread, inside the stream's lock) is kept under a lock of the model's own
// that is never held while calling into uvc_camera; the device's lock_
// must not be taken from a frame source (the stream's lock is taken inside
// it on a commit).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "sim/raw_sensor_camera.h"
#include "sim/sensor_model.h"
#include "sim/uvc_camera.h"

namespace sim {

// Little-endian control values and controls with their real ranges.
namespace family_wire {
std::vector<uint8_t> le_bytes(int64_t v, size_t length);
int64_t le_value(const std::vector<uint8_t>& bytes);  // the first 4 bytes at most, unsigned
// A get/set control of `length` bytes with minimum, maximum, default (also
// the current value) and resolution.
uvc_control value_control(uint8_t entity, uint8_t selector, uint16_t length, int64_t min, int64_t max, int64_t def,
                          int64_t res = 1);
// A get-only control whose every answer is `value`.
uvc_control read_only(uint8_t entity, uint8_t selector, std::vector<uint8_t> value);
// bmControls of an extension unit: bit (selector - 1) for each selector.
std::vector<uint8_t> bm_controls(std::initializer_list<uint8_t> selectors, size_t bytes);
}  // namespace family_wire

// {DE49BA0A-0B5C-D549-8F71-0BE40F94A67A}: the sensor extension unit of the
// 0x8101/0x8102, 0x8201 and 0x8800 models (and of the 0x84xx models).
extern const GUID kSensorUnitGuid;
// {923ED695-56F2-11E1-83F7-37704824019B}: the vendor extension unit of the
// 0x8209 (and of the 0x83xx models).
extern const GUID kVendorUnitGuid;

// A sensor for a model with the user's scene, light, starting values and
// noise seed; null for an unknown scene. `exposure_us` and `gain` receive
// the starting values (clamped to the sensor's ranges).
std::shared_ptr<sensor_model> make_model_sensor(const sensor_config& config, const illuminant& model_light,
                                                const sensor_options& options, double* exposure_us, double* gain);

// The readout of a `width` x `height` picture of as much of the sensor as
// fits: binned by the largest whole factor that fits in both directions,
// centred (on even pixels on a colour sensor), mirrored as asked.
readout centred_readout(const sensor_config& sensor, uint32_t width, uint32_t height, bool mirror_x = false,
                        bool mirror_y = false);

// Processed pictures: 8-bit RGB (R, G, B) to packed 4:2:2 "YUY2" (Y0 U Y1
// V; the chroma of a pixel pair is the mean of the two), BT.601 studio
// range (Y 16-235, as UVC cameras send it) or full range (as JFIF wants
// it), and to full-range luminance ("Y800").
std::vector<uint8_t> rgb_to_yuy2(const std::vector<uint8_t>& rgb, uint32_t width, uint32_t height, bool full_range);
std::vector<uint8_t> rgb_to_y800(const std::vector<uint8_t>& rgb, uint32_t width, uint32_t height);

class family_camera : public uvc_camera {
 public:
  ~family_camera() override;
  // The driver class the product identifier selects ("camera_8201", ...).
  const std::string& family() const { return family_; }
  // The image sensor; null for a camera without one.
  sensor_model* sensor() { return sensor_.get(); }
  const sensor_model* sensor() const { return sensor_.get(); }

 protected:
  // The camera with the descriptors `desc` describes.
  family_camera(const uvc_camera_desc& desc, std::string family, std::shared_ptr<sensor_model> sensor);

  // A model's own answer, asked first: true when it answered (`*status`
  // set, `data` filled for IN requests).
  virtual bool answer(const setup_packet& setup, std::vector<uint8_t>& data, USBD_STATUS* status);
  // A SET_CUR of (entity, selector) the plain camera accepted.
  virtual void written(uint8_t entity, uint8_t selector, const std::vector<uint8_t>& data);

  // Defines the camera terminal's exposure time absolute and the
  // processing unit's gain with the sensor's ranges and starting values,
  // and passes writes of them to the sensor.
  void wire_exposure_and_gain(uint8_t camera_terminal, uint8_t processing_unit, double exposure_us, double gain);

  USBD_STATUS handle_class_or_vendor(const setup_packet& setup, std::vector<uint8_t>& data) final;

 private:
  // The descriptors as a described camera `built` from `desc` has them.
  family_camera(const uvc_camera& built, const uvc_camera_desc& desc, std::string family,
                std::shared_ptr<sensor_model> sensor);

  const std::string family_;
  std::shared_ptr<sensor_model> sensor_;
  uint8_t exposure_entity_ = 0;  // 0: exposure and gain not wired
  uint8_t gain_entity_ = 0;
};

}  // namespace sim
