// Simulated raw-sensor cameras: USB Video Class cameras whose video is the
// raw output of a sensor model (sensor_model.h) and that answer the vendor
// requests and extension-unit controls their camera family reads. Each
// model is data (raw_camera_model); the camera wires its exposure, gain and
// flip controls into the sensor, so values the host writes change the
// frames a frame or two later, as on a real sensor.
//
// What the families are asked, and what the models answer (everything
// else a family might ask stalls, as on a device without the feature):
//
//   both    vendor IN request 0x00, index 26, 1 byte: register 26, bit 1
//           set on colour cameras
//           vendor request 0x10: camera memory (erased, uvc_camera.h)
//   83xx    vendor requests 0x02 / 0x03: a 16 KiB serial EEPROM (families/eeprom.h)
//   83xx    camera terminal: exposure time absolute (100 us units)
//           processing unit: gain (64 = 1.0)
//           camera terminal vendor registers: 32 capability bits (4 bytes,
//             get only: 0, no focus motor, no strobe), 45 firmware revision
//             (4 bytes, get only)
//           unit 2 = vendor extension unit {923ED695-56F2-11E1-83F7-37704824019B}:
//             13 exposure automatic, 14 gain automatic, 15 white balance
//             automatic (4 bytes, 0..1, on), 16 automatic exposure maximum
//             (4 bytes, us, the exposure range, its maximum), 17 automatic
//             reference brightness (4 bytes, 0..255, 128), 20 / 21 flip x / y
//             (4 bytes)
//   84xx    vendor IN request 0x01, 4 bytes: firmware revision
//           vendor IN requests 0x15 and 0x19, 4 bytes: the length of the
//           register description and of the default-set document the
//           camera stores (0: none, the default); 0x16 and 0x1A read them,
//           the byte offset in wValue (bits 31..16) and wIndex (15..0)
//           processing unit: gain (64 = 1.0), the same gain as selector 24
//           unit 2 = sensor extension unit {DE49BA0A-0B5C-D549-8F71-0BE40F94A67A}:
//             1 exposure automatic, 2 gain automatic (1 byte, 0..1, on),
//             4 automatic reference brightness (4 bytes, 0..255, 128),
//             24 gain (4 bytes, 64 = 1.0), 27 exposure time (4 bytes, us),
//             29 empia pattern fix (1 byte, 0: the sensor needs none),
//             44 colour-temperature table (912 bytes, get only, colour
//             models: 76 x R, G, B floats for 2500..10000 K that make a
//             neutral surface neutral on this sensor, smallest 1.0),
//             46 / 47 flip x / y (1 byte)
//
// The automatic modes only record the host's choice: the camera never
// adjusts anything itself, the host's loops do.
//
// Frames: a committed format of width W and height H reads a W x H window
// of the sensor, binned by the largest whole factor that fits the sensor
// (both directions alike) and centred. Declared FOURCCs map to samples as:
// 8-bit Bayer and "Y800" 8-bit; 16-bit Bayer and "Y16 " 16-bit
// little-endian, left-aligned; "YUY2" and "UYVY" 8-bit raw samples of a
// 2 W x H window when the model carries raw data in that container, else
// zeros; anything else zeros.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "families/eeprom.h"
#include "sensor_model.h"
#include "uvc_camera.h"

namespace sim {

enum class raw_family { camera_83xx, camera_84xx };
// The driver's class name: "camera_83xx", "camera_84xx".
const char* family_name(raw_family family);

struct raw_format {
  char fourcc[5] = "Y800";
  uint8_t bits_per_pixel = 8;
  std::vector<std::pair<uint16_t, uint16_t>> sizes;  // width, height; the first is the default
  std::vector<uint32_t> intervals{333333, 666666, 1333333};  // 100 ns, ascending; the first is the default
};

struct raw_camera_model {
  std::string id;           // "8307-colour", ...
  std::string description;  // one line for a listing
  raw_family family = raw_family::camera_83xx;
  uint16_t vendor_id = 0x199E;
  uint16_t product_id = 0x8307;
  std::string product;      // the product string
  bool colour = true;
  bool raw_in_yuy2 = false;  // "YUY2"/"UYVY" formats carry raw 8-bit samples
  sensor_config sensor;
  std::vector<raw_format> formats;
  uint32_t firmware_revision = 0x00010000;
  illuminant light;          // the default lighting
};

// A starting value of a control: the model's default, its minimum, its
// maximum or a value in the sensor's units (microseconds, gain factor).
struct start_value {
  enum class kind { model_default, minimum, maximum, value };
  kind which = kind::model_default;
  double value = 0;
};

// What a user chooses about a model.
struct sensor_options {
  std::string scene = "chart";  // scene_names()
  double kelvin = 0;            // illuminant colour temperature; 0: the model's
  double lux = 0;               // illuminance; 0: the model's
  start_value exposure;
  start_value gain;
  uint32_t seed = 1;            // of the sensor noise
  bool noise = true;
  // What a camera_84xx stores for the driver; empty: nothing.
  std::vector<uint8_t> stored_default_sets;           // a BSON document of named default sets
  std::vector<uint8_t> stored_register_description;   // a GenApi register description
  // Defective pixels: this many at positions drawn from `defect_seed`
  // (sensor_defects.h), stored in the camera for the driver unless
  // `store_defects` is off: in the EEPROM's defect window (0x82xx, 0x83xx)
  // or at camera address 0x60000 (0x84xx), compressed or, with
  // `raw_defect_store`, as raw entries.
  unsigned defects = 0;
  uint32_t defect_seed = 1;
  bool store_defects = true;
  bool raw_defect_store = false;
};

// One class or vendor request as the camera received it: where it came
// from (IRQL and thread of the caller) and the last frame the sensor had
// rendered by then.
struct request_context {
  setup_packet setup;
  std::vector<uint8_t> out_data;
  KIRQL irql = PASSIVE_LEVEL;
  PKTHREAD thread = nullptr;
  std::optional<uint64_t> frame;
  USBD_STATUS status = USBD_STATUS_SUCCESS;
};

class raw_sensor_camera : public uvc_camera {
 public:
  // Null when the options name an unknown scene.
  static std::shared_ptr<raw_sensor_camera> create(const raw_camera_model& model, const sensor_options& options = {});

  raw_sensor_camera(const raw_camera_model& model, const sensor_options& options, std::vector<uint8_t> device_descriptor,
                    std::vector<uint8_t> configuration, std::shared_ptr<const scene> view);
  ~raw_sensor_camera() override;

  const raw_camera_model& model() const { return model_; }
  sensor_model& sensor() { return *sensor_; }
  const sensor_model& sensor() const { return *sensor_; }

  // Where things are in a frame: the readout of a W x H frame of a format
  // with `fourcc`, as it would be taken now (flips included), and the
  // pixels of that frame that lie wholly inside a scene area.
  readout readout_for(uint32_t fourcc, uint32_t width, uint32_t height) const;
  pixel_rect pixels_of(const scene_rect& area, uint32_t fourcc, uint32_t width, uint32_t height) const;

  // Replace what the camera stores for the driver (camera_84xx): the
  // default-set document (vendor requests 0x19, 0x1A) and the register
  // description (0x15, 0x16); empty: none. Read at the driver's next
  // initialisation.
  void set_stored_default_sets(std::vector<uint8_t> document);
  void set_stored_register_description(std::vector<uint8_t> document);

  // The serial EEPROM of a camera_83xx model (null on the others), and the
  // window its defect store lies in.
  serial_eeprom* eeprom() { return eeprom_.get(); }
  static constexpr uint32_t defect_window_start = 15872;
  static constexpr uint32_t defect_window_end = 16384;
  static constexpr uint32_t defect_memory_address = 0x60000;

  // Class and vendor requests in arrival order (the newest 4096).
  std::vector<request_context> request_contexts() const;
  void clear_request_contexts();

  // Stream options whose source is null show the sensor.
  void set_stream_options(const stream_options& options) override;

 protected:
  USBD_STATUS handle_class_or_vendor(const setup_packet& setup, std::vector<uint8_t>& data) override;

 private:
  class sensor_source;
  struct flips;
  USBD_STATUS vendor_request(const setup_packet& setup, std::vector<uint8_t>& data);
  void control_written(uint8_t entity, uint8_t selector, const std::vector<uint8_t>& data);
  void define_controls(const sensor_options& options);

  const raw_camera_model model_;
  std::shared_ptr<sensor_model> sensor_;
  std::shared_ptr<flips> flips_;
  std::shared_ptr<sensor_source> source_;
  std::unique_ptr<serial_eeprom> eeprom_;  // camera_83xx only
  mutable std::mutex contexts_lock_;
  std::vector<request_context> contexts_;
  mutable std::mutex stored_lock_;
  std::vector<uint8_t> stored_default_sets_;          // guarded by stored_lock_
  std::vector<uint8_t> stored_register_description_;  // guarded by stored_lock_
};

// The colour-temperature table a sensor would store for itself: for
// 2500 K to 10000 K in steps of 100 K, the R, G and B multipliers that make
// a neutral surface give equal signals, the smallest of the three 1.0.
std::vector<float> sensor_temperature_table(const sensor_config& sensor);

// The models: "8307-colour", "8308-mono" (camera_83xx) and "8406-colour",
// "8416-mono" (camera_84xx).
std::vector<raw_camera_model> raw_camera_models();
const raw_camera_model* find_raw_camera_model(const std::vector<raw_camera_model>& models, const std::string& id);

}  // namespace sim
