// What the list, formats and capture commands need from a camera, kept
// apart from how it is provided. The driver backend (driver_backend.cpp)
// loads the driver into the kernel stand-in, plugs a simulated camera and
// talks to the capture filter and pin as a kernel-streaming client does;
// tests may hand the commands another backend.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "capture_stats.h"
#include "fault_list.h"
#include "property_backend.h"

namespace tvcam {

struct camera_model_info {
  std::string id;
  std::string description;
  bool is_default = false;
  std::string family;       // the driver's class for its product identifier ("uvc_camera", "camera_84xx")
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  bool colour = true;
  std::vector<std::string> scenes;  // raw-sensor models: the scenes the sensor can look at; else empty
};

// A starting value of a raw-sensor camera's control.
struct start_choice {
  enum class kind { model_default, minimum, maximum, value };
  kind which = kind::model_default;
  double value = 0;  // exposure in microseconds, gain as a factor
};

// What a raw-sensor camera's sensor looks at and how it starts.
struct sensor_choice {
  std::string scene;    // empty: the model's ("chart")
  uint32_t kelvin = 0;  // illuminant colour temperature; 0: the model's
  start_choice exposure;
  start_choice gain;
  bool any() const {
    return !scene.empty() || kelvin != 0 || exposure.which != start_choice::kind::model_default ||
           gain.which != start_choice::kind::model_default;
  }
};

// Which camera to simulate and how.
struct camera_request {
  std::string camera_id;           // a model id; empty: the default model
  std::string descriptors_prefix;  // PREFIX of PREFIX.device.bin and PREFIX.config.bin; wins over camera_id
  std::string registry_file;       // hive loaded before and saved after; empty: none kept
  fault_list faults;
  uint32_t seed = 1;               // of the simulated faults and the sensor noise
  sensor_choice sensor;            // raw-sensor models only
  std::vector<uint8_t> stored_sets;         // camera_84xx models: the default-set document it keeps
  std::vector<uint8_t> stored_description;  // camera_84xx models: the register description it keeps
  bool verbose = false;            // echo the driver's debug output
  unsigned defects = 0;            // raw-sensor models: seeded defective pixels, stored in the camera
};

// One data range of the capture pin.
struct video_format {
  uint32_t fourcc = 0;        // from the subtype: RGB24/RGB32/RGB8 as "RGB3"/"RGB4"/"RGB8"
  int width = 0;
  int height = 0;             // bitmap height as offered (positive: RGB is bottom-up)
  int bit_count = 0;
  uint32_t sample_size = 0;   // bytes of one frame
  int64_t default_interval = 0;  // 100 ns
  int64_t min_interval = 0;
  int64_t max_interval = 0;
  std::vector<int64_t> intervals;  // the discrete intervals the driver lists; empty: not listed
};

struct stream_request {
  size_t format_index = 0;  // into camera_session::formats()
  int64_t interval = 0;     // 100 ns; 0: the format's default
  unsigned buffers = 4;     // client buffers kept queued
};

enum class wait_result { frame, timeout, failed };

class register_access;

class camera_session {
 public:
  virtual ~camera_session() = default;
  // What the device reports about itself ("Talvexa Simulated Camera").
  virtual std::string device_name() const = 0;
  virtual const std::vector<video_format>& formats() const = 0;
  // Creates the pin with the format and runs it. False with a message.
  virtual bool start(const stream_request& request, std::string* error) = 0;
  // Waits up to `timeout_ms` for the next completed buffer. `data` gets the
  // bytes of the frame (data_used of them); `record` the header fields
  // (index and host_time are filled by the caller).
  virtual wait_result next_frame(unsigned timeout_ms, frame_record* record, std::vector<uint8_t>* data,
                                 std::string* error) = 0;
  // The frame interval (100 ns) the driver committed to the camera for the
  // running stream, which may differ from the one asked for; 0 when unknown.
  virtual int64_t negotiated_interval() const = 0;
  // The pin's own drop counter (KSPROPERTY_DROPPEDFRAMES_CURRENT); false
  // when it cannot be read.
  virtual bool dropped_frames(int64_t* picture_number, int64_t* drop_count) = 0;
  // Stops and closes the pin; further frames are not delivered.
  virtual void stop() = 0;
  // What the simulated camera did wrong on purpose so far, as (what, count)
  // pairs ("dropped payload" frames, "empty packets", ...); empty without
  // faults.
  virtual std::vector<std::pair<std::string, uint64_t>> faults_sent() const = 0;
  // Ends the session: stops, removes the device and saves what is to be
  // kept (the registry hive). False with a message when saving failed.
  virtual bool finish(std::string* error) = 0;
  // The filter's properties (property_backend.h); null when the camera
  // offers none. Valid as long as the session.
  virtual property_access* properties() { return nullptr; }
  // The register-description documents and registers
  // (register_backend.h); null when the camera offers none.
  virtual register_access* registers() { return nullptr; }
};

class camera_backend {
 public:
  virtual ~camera_backend() = default;
  virtual std::vector<camera_model_info> models() const = 0;
  // Plugs and starts the camera. Null with a message; `*refused` is set
  // when the request is one this camera cannot serve (an unknown camera id,
  // a fault it cannot have) rather than a failure of the camera or driver.
  virtual std::unique_ptr<camera_session> open(const camera_request& request, std::string* error,
                                               bool* refused) = 0;
};

// The driver on the kernel stand-in with simulated cameras.
std::unique_ptr<camera_backend> make_driver_backend();

}  // namespace tvcam
