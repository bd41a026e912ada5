// The family models as registry entries (family_models.h).
#include "family_models.h"

#include "model_0109.h"
#include "model_810x.h"
#include "model_8209.h"
#include "model_82xx.h"
#include "model_8800.h"

namespace sim {
namespace {

// An entry for a model with a sensor: `make` builds it with options.
template <typename Make>
camera_model sensor_entry(const std::string& id, const std::string& description, const std::string& family,
                          uint16_t product_id, bool colour, Make make) {
  camera_model m;
  m.id = id;
  m.description = description;
  m.family = family;
  m.vendor_id = 0x199E;
  m.product_id = product_id;
  m.colour = colour;
  m.create = [make] { return std::shared_ptr<uvc_camera>(make(sensor_options{})); };
  m.create_with = [make](const sensor_options& options) { return std::shared_ptr<uvc_camera>(make(options)); };
  return m;
}

}  // namespace

std::vector<camera_model> family_camera_models() {
  std::vector<camera_model> models;
  for (const model_82xx_desc& d : model_82xx_descs()) {
    models.push_back(sensor_entry(d.id, d.description, d.family, d.product_id, d.colour,
                                  [d](const sensor_options& o) { return model_82xx::create(d, o); }));
  }
  for (const model_810x_desc& d : model_810x_descs()) {
    models.push_back(sensor_entry(d.id, d.description, d.family, d.product_id, d.colour,
                                  [d](const sensor_options& o) { return model_810x::create(d, o); }));
  }
  const model_8209_desc jpeg = model_8209_default();
  models.push_back(sensor_entry(jpeg.id, jpeg.description, "camera_8209", jpeg.product_id, true,
                                [jpeg](const sensor_options& o) { return model_8209::create(jpeg, o); }));

  camera_model capture;
  capture.id = "8800-hd";
  capture.description = "camera_8800 HD capture, bulk: YUY2 1080i as alternate 540-line fields, 1080p, 720p";
  capture.family = "camera_8800";
  capture.vendor_id = 0x199E;
  capture.product_id = 0x8800;
  capture.create = [] { return std::shared_ptr<uvc_camera>(model_8800::create()); };
  models.push_back(capture);

  camera_model webcam;
  webcam.id = "0109-webcam";
  webcam.description = "camera_0109 webcam, isochronous: MJPG and YUY2, controls it does not read back";
  webcam.family = "camera_0109";
  webcam.vendor_id = 0x199E;
  webcam.product_id = 0x0109;
  webcam.create = [] { return std::shared_ptr<uvc_camera>(model_0109::create()); };
  models.push_back(webcam);
  return models;
}

}  // namespace sim
