// Simulated cameras of the 0x8101 and 0x8102 families: isochronous cameras
// with vendor requests of their own and the sensor extension unit
// {DE49BA0A-0B5C-D549-8F71-0BE40F94A67A}. The 0x8101 sends finished
// pictures ("YUY2" from its own image processor) or raw bytes ("BY8 ",
// "Y800"); the 0x8102 sends raw Bayer or "Y800" that the driver processes.
//
// What the families are asked, and the answers (everything else stalls):
//
//   vendor IN 0x16, 2 bytes    firmware revision
//   vendor IN 0x17, 2 bytes    second device value (the hardware revision)
//   vendor OUT 0x19, 4 bytes   32-bit device value: kept (device_value())
//   vendor OUT 0x42, value 0x5A17, index 0x71C3, no data: the vendor
//                              command, acknowledged and counted
//                              (vendor_commands()); other values stall
//   vendor 0x10                camera memory (erased, uvc_camera.h)
//   camera terminal (1): exposure time absolute, 100 us units (no
//   automatic mode of its own); processing unit (2): gain, 64 = 1.0
//   sensor extension unit (3):
//     1   exposure automatic (1 byte, 0..1, off)
//     2   gain automatic (1 byte, 0..1, off)
//     3   one-push (1 byte, write 1; reads 0)
//     4   automatic reference brightness (4 bytes, 0..255, 128)
//     5   trigger (1 byte): bit 0 trigger mode, bit 1 polarity; maximum 3
//     6   strobe enable (1 byte, 0..1)
//     7   strobe polarity (1 byte, 0..1)
//     8   option register (1 byte): bit 0 kept as written, bit 1 reads 0
//     11, 12, 13  strobe delay and duration (4 bytes, microseconds,
//         0..100000) and strobe mode (4 bytes, 0 fixed duration, 1 for
//         the exposure time)
//     15  software trigger (1 byte, write 1)
//
// The automatic modes only hold the host's choice; the trigger and strobe
// registers hold their values (frames keep coming in trigger mode).
//
// Frames: a committed W x H format reads a W x H window of the sensor,
// binned by the largest whole factor that fits and centred. "YUY2" is the
// camera's processed picture (every pixel all three colours, white balance
// for the light, gamma 2.2, BT.601 studio range); 8-bit Bayer formats and
// "Y800" carry raw 8-bit samples.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "family_camera.h"

namespace sim {

struct model_810x_desc {
  std::string id;           // "8101-colour", ...
  std::string description;  // one line for a listing
  std::string family;       // "camera_8101" or "camera_8102"
  uint16_t product_id = 0x8101;
  std::string product;
  bool colour = true;
  sensor_config sensor;
  illuminant light{5000, 2500};
  std::vector<raw_format> formats;  // FOURCC, bits, sizes and intervals of each format
  uint16_t firmware_revision = 0;
  uint16_t hardware_revision = 0;  // vendor request 0x17
};

class model_810x : public family_camera {
 public:
  // Null when the options name an unknown scene.
  static std::shared_ptr<model_810x> create(const model_810x_desc& desc, const sensor_options& options = {});
  model_810x(const model_810x_desc& desc, const uvc_camera_desc& usb, std::shared_ptr<sensor_model> sensor);
  ~model_810x() override;

  const model_810x_desc& desc() const { return desc_; }
  uint32_t device_value() const;      // the last 32-bit value of request 0x19
  unsigned vendor_commands() const;   // requests 0x42 answered

  void set_stream_options(const stream_options& options) override;

 protected:
  bool answer(const setup_packet& setup, std::vector<uint8_t>& data, USBD_STATUS* status) override;

 private:
  class picture_source;
  void define_registers(double exposure_us, double gain);

  const model_810x_desc desc_;
  std::shared_ptr<picture_source> source_;
  mutable std::mutex values_lock_;
  uint32_t device_value_ = 0;
  unsigned vendor_commands_ = 0;
};

std::vector<model_810x_desc> model_810x_descs();

}  // namespace sim
