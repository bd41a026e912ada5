// The simulated 0x8209 camera: a colour camera with its own image
// processor that sends JPEG pictures as one continuous byte stream on its
// bulk endpoint, without USB Video Class payload headers: picture after
// picture, each from its start marker (FF D8) to its end marker (FF D9),
// cut into transfers wherever the device's FIFO happens to end one.
//
// Descriptors: one frame-based format with the GUID of FOURCC "GNFF"
// ({46464E47-0000-0010-8000-00AA00389B71}, 16 bits per pixel for the
// buffer size) at 2592 x 1944 (7.5 fps), 1920 x 1080 (15), 1280 x 960 (30)
// and 640 x 480 (60), one interval each: the camera runs at its own rate
// whatever the host asks. One bulk endpoint of 512-byte packets.
//
// What the family is asked, and the answers (everything else stalls):
//
//   camera terminal (1): exposure time absolute (100 us units), 45
//     firmware revision (4 bytes, get only)
//   processing unit (2): gain (64 = 1.0)
//   vendor extension unit {923ED695-56F2-11E1-83F7-37704824019B} (3), all
//   4 bytes:
//     6, 7, 8   white balance red, green, blue (0..255, 64 = 1.0), used
//               while 15 is off
//     12        one-push focus (write 1; reads 0; counted, no lens yet)
//     13, 14    exposure and gain automatic (0..1, off: the camera holds
//               the host's choice and adjusts nothing itself)
//     15        white balance automatic (0..1, on: gains for the light)
//     16        automatic exposure maximum (us, the exposure range)
//     17        automatic reference brightness (0..255, 128)
//     18, 19    focus region: left | top << 16, right | bottom << 16
//               (pixels of the 2592 x 1944 sensor)
//     20, 21    flip x / y (0..1)
//
// The stream (jpeg_stream_options): each picture is the sensor's window of
// the committed size (binned by the largest whole factor that fits,
// centred, flips applied), processed (white balance, gamma 2.2), encoded
// as a baseline JFIF JPEG (4:2:2, full-range YCbCr, jpeg_encoder.h) with
// the frame number in a comment segment after the start marker, re-encoded
// coarser while above 4 999 000 bytes. A transfer of L bytes gets the next
// n bytes of the stream: n = L when `split` is off, else a seeded 1..L;
// with `cut_markers` a transfer also ends after the first byte of the next
// marker (FF of FF D8 or FF D9), so that the marker's two bytes arrive in
// two transfers;
// pictures continue across transfers, so one transfer may hold the end of
// one and the start of the next. Seeded faults drop a picture's start
// marker or end marker, or cut it short (its end marker goes with the
// rest). With real-time pacing a picture is due every committed interval
// and a transfer ends early with what is there.
//
// Common stream options map as: real_time, seed, frame_limit,
// record_limit, record_bytes as given; faults.bad_header → missing start
// markers, faults.missing_eof → missing end markers, faults.short_frame
// → pictures cut short; other kinds do not apply.
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "family_camera.h"

namespace sim {

struct jpeg_stream_options {
  uint32_t seed = 1;
  bool real_time = false;
  bool split = true;           // transfers end at seeded points
  bool cut_markers = false;    // every marker (FF D8, FF D9) is cut between two transfers
  unsigned missing_start = 0;  // per mille of pictures sent without FF D8
  unsigned missing_end = 0;    // per mille of pictures sent without FF D9
  unsigned cut_short = 0;      // per mille of pictures cut after 1 to size - 3 bytes
  int quality = 85;            // JPEG quality 1..100
  uint64_t frame_limit = 0;    // pictures to begin after these options were set; 0: no limit
  size_t record_limit = 1000;  // pictures sent_pictures() keeps, the newest
  bool record_bytes = true;
};

// One picture as the stream carried it.
struct sent_picture {
  uint64_t sequence = 0;         // 0, 1, ... over the camera's life; also in the comment segment
  uint32_t width = 0, height = 0;
  uint32_t size = 0;             // bytes put into the stream
  uint64_t checksum = 0;         // frame_checksum of them
  std::vector<uint8_t> bytes;    // them, when recorded
  bool start_marker = true;      // begins with FF D8
  bool end_marker = true;        // ends with FF D9
};

struct jpeg_stream_counters {
  uint64_t pictures = 0;
  uint64_t missing_start = 0, missing_end = 0;  // cut-short pictures count as missing their end
  uint64_t bytes = 0;
  uint64_t transfers = 0;
};

struct model_8209_desc {
  std::string id = "8209-colour";
  std::string description;
  uint16_t product_id = 0x8209;
  std::string product = "Autofocus Camera 8209";
  sensor_config sensor;
  illuminant light{5000, 2500};
  uint32_t firmware_revision = 0;
};

class model_8209 : public family_camera {
 public:
  static std::shared_ptr<model_8209> create(const model_8209_desc& desc, const sensor_options& options = {});
  model_8209(const model_8209_desc& desc, const uvc_camera_desc& usb, std::shared_ptr<sensor_model> sensor);
  ~model_8209() override;

  const model_8209_desc& desc() const { return desc_; }
  void set_jpeg_stream(const jpeg_stream_options& options);
  jpeg_stream_options jpeg_stream() const;
  std::vector<sent_picture> sent_pictures() const;
  void clear_sent_pictures();
  jpeg_stream_counters jpeg_counters() const;
  unsigned one_push_focus_count() const;

  void set_stream_options(const stream_options& options) override;

 protected:
  bool answer(const setup_packet& setup, std::vector<uint8_t>& data, USBD_STATUS* status) override;

 private:
  struct picture_settings;
  bool produce(uint32_t max_bytes, std::vector<uint8_t>& block);
  bool next_picture(const picture_settings& settings);  // lock_ of the stream held
  void define_registers(double exposure_us, double gain);

  const model_8209_desc desc_;
  std::shared_ptr<sensor_model> sensor_;

  mutable std::mutex stream_lock_;  // the byte stream; taken before the device's lock_, never after
  jpeg_stream_options options_;
  std::deque<uint8_t> pending_;     // stream bytes not yet sent
  unsigned seen_commits_ = 0;
  uint64_t next_sequence_ = 0;
  uint64_t since_options_ = 0;
  uint64_t draws_ = 0;              // transfers served, for the split draw
  std::chrono::steady_clock::time_point next_due_;
  bool wake_pending_ = false;
  std::deque<sent_picture> records_;
  jpeg_stream_counters counters_;
  unsigned one_push_ = 0;
};

model_8209_desc model_8209_default();

}  // namespace sim
