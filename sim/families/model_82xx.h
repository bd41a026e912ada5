// Simulated cameras of the 0x82xx family: raw 8-bit sensor bytes carried in
// "YUY2" formats, a colour bit in vendor register 26, a serial EEPROM, and
// (on the newer models) the sensor's window, timing, binning and skipping
// as vendor registers of the camera terminal and the processing unit.
//
// What the family is asked, and the answers (everything else stalls):
//
//   vendor IN 0x00, index 26, 1 byte     register 26: bit 1 set on colour models
//   vendor 0x02 / 0x03                   the serial EEPROM (eeprom.h); 16 KiB,
//                                        32 KiB on the models with register 71
//   vendor 0x10                          camera memory (erased, uvc_camera.h)
//   camera terminal (entity 1)
//     4   exposure time absolute, 100 us units, the sensor's range
//     17  trigger (1 byte): bit 0 trigger mode, bit 1 polarity; maximum 3
//         (both supported). Only models with a trigger
//     32  capabilities (get only): 0x20 | 0x40 window and offsets, 0x10 |
//         0x80 timing, 0x100 binning, 0x10000 skipping, 0x40000 strobe
//     36  pixel clock, pixels per second (timing)
//     37, 38  window width and height in output pixels, minimum, maximum
//         (the sensor size) and resolution as the sensor has them; a value
//         between steps is stored rounded down to its step (window)
//     39  blanking (get only): low 16 bits horizontal (pixels), high 16
//         bits vertical (lines) (timing)
//     40, 41  window offset x and y in sensor pixels, resolution 8: offset 13
//         is stored as 8 (window)
//     42  binning factor 1, 2 or 4 (3 is refused as out of range) (binning)
//     43  software trigger (4 bytes, write 1). Only models with a trigger
//     45  firmware revision (get only)
//     46  trigger option register (4 bytes): bit 0 kept as written, bit 1
//         reads 0 (the trigger input's level). Only models with a trigger
//     54  skipping factor 1, 2 or 4 (3 refused) (skipping)
//     55  strobe (4 bytes): bit 0 enable, bit 1 polarity (strobe)
//     56, 57, 58  extended timing inputs: width, height, binning factor
//     59  extended timing result (get only), for the inputs' window:
//         horizontal blanking (low 16 bits), vertical (high 16 bits)
//     71  the EEPROM's defect-store window (get only): minimum = start,
//         maximum = end (the EEPROM's upper half)
//   processing unit (entity 2)
//     4   gain, 64 = 1.0, the sensor's range
//     33  format mask (get only): current 2 (bit 1: a mask is present),
//         maximum the mask (bit 0 "Y800", 3 "RGGB", 4 "GRBG", 5 "BA81",
//         6 "GBRG")
//   sensor extension unit {DE49BA0A-0B5C-D549-8F71-0BE40F94A67A} (entity 4,
//   0x8201 and 0x8202 only)
//     9   the sensor's control block (4 bytes): the sensor code, writes kept
//
// Registers in parentheses exist only on models with that capability.
//
// Frames: the window. A committed "YUY2" format of W x H carries 2 W x H
// raw 8-bit samples (the sensor's pattern, or mono), lines top to bottom.
// A commit sets the window as the firmware does for the format: 2 W x H
// output pixels, binned by the largest factor (1, 2 or 4 where the binning
// register allows, any whole factor on models without window registers)
// for which the sensor area fits the sensor, centred (offsets rounded down
// to their step), skipping 1, and with timing the pixel clock for the
// committed interval (clamped to the clock's range). Registers written
// after the commit change the frames that begin after the write: W' x H'
// output pixels starting at the offsets (moved in so that the area read
// fits the sensor), each the mean of binning x binning same-coloured
// sensor pixels (colour sensors bin and skip whole 2 x 2 cells), groups
// taken every skipping-th group. With timing, frames follow each other at
// (blanking x + W') x (blanking y + H') / pixel clock, the blanking being
// the extended-timing result for the window when the model has it (real
// time pacing); without timing at the committed interval.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "eeprom.h"
#include "family_camera.h"

namespace sim {

struct model_82xx_frame {
  uint16_t width = 640;  // of the "YUY2" container: the raw line is twice as wide
  uint16_t height = 480;
  std::vector<uint32_t> intervals{333333};  // 100 ns, ascending
};

// The sensor's window, timing, binning and skipping registers.
struct sensor_window_desc {
  bool window = false;  // 37, 38 and the offsets 40, 41
  uint16_t min_width = 64, min_height = 48;
  uint16_t width_step = 8, height_step = 4, offset_step = 8;
  bool timing = false;  // 36 and 39
  uint32_t clock_min = 12000000, clock_max = 96000000;  // pixels per second
  uint16_t blank_x = 180, blank_y = 40;                  // pixels, lines
  bool extended_timing = false;                         // 56 to 59
  uint16_t blank_x_per_bin = 120;  // extended timing: horizontal blanking added per binning step
  uint8_t max_binning = 0;         // 42 with factors 1, 2 and 4 up to this; 0: none
  uint8_t max_skipping = 0;        // 54 likewise
  uint32_t format_mask = 0;        // processing unit 33; 0: none
};

struct model_82xx_desc {
  std::string id;           // "8207-colour", ...
  std::string description;  // one line for a listing
  std::string family;       // the driver class: "camera_8201", ...
  uint16_t product_id = 0x8207;
  std::string product;
  bool colour = true;
  sensor_config sensor;
  illuminant light{5000, 2500};
  std::vector<std::vector<model_82xx_frame>> formats;  // "YUY2" formats with their frames
  uint32_t firmware_revision = 0;
  sensor_window_desc window;
  bool trigger = false;         // 17, 43, 46
  bool strobe = false;          // 55
  uint32_t control_block = 0;   // non-zero: the sensor extension unit with selector 9
  uint32_t eeprom_size = 16384;
  bool eeprom_window = false;   // 71
};

class model_82xx : public family_camera {
 public:
  // Null when the options name an unknown scene.
  static std::shared_ptr<model_82xx> create(const model_82xx_desc& desc, const sensor_options& options = {});
  model_82xx(const model_82xx_desc& desc, const uvc_camera_desc& usb, std::shared_ptr<sensor_model> sensor);
  ~model_82xx() override;

  const model_82xx_desc& desc() const { return desc_; }
  serial_eeprom& eeprom() { return eeprom_; }
  // The EEPROM's defect-store window: its upper half on the models with
  // register 71, else 15872 to 16384.
  uint32_t defect_window_start() const { return desc_.eeprom_window ? desc_.eeprom_size / 2 : 15872; }
  uint32_t defect_window_end() const { return desc_.eeprom_window ? desc_.eeprom_size : 16384; }
  // What a frame that begins now reads, and the time to the next one (100
  // ns; 0: the committed interval).
  readout current_readout() const;
  uint32_t current_period() const;

  void set_stream_options(const stream_options& options) override;

 protected:
  bool answer(const setup_packet& setup, std::vector<uint8_t>& data, USBD_STATUS* status) override;
  void written(uint8_t entity, uint8_t selector, const std::vector<uint8_t>& data) override;

 private:
  struct window_state;
  class window_source;
  void define_registers(double exposure_us, double gain);
  void commit_defaults(const std::vector<uint8_t>& commit);
  void update_state();

  const model_82xx_desc desc_;
  serial_eeprom eeprom_;
  std::shared_ptr<window_state> state_;  // shared with the frame source
  std::shared_ptr<window_source> source_;
};

// The 0x82xx models: one per product of the family, colour and mono where
// the family has both.
std::vector<model_82xx_desc> model_82xx_descs();

}  // namespace sim
