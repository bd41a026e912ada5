// Running tvcam's commands in a test: the whole command line through the
// real command table, stdout and stderr captured, and a camera backend that
// serves a fixed set of small formats with synthetic frames, so the command
// logic can be checked without the driver.
#pragma once

#include <png.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "../../tools/tvcam/capture_backend.h"
#include "../../tools/tvcam/cli.h"
#include "../../tools/tvcam/commands.h"
#include "../../tools/tvcam/fault_list.h"
#include "../../tools/tvcam/image_convert.h"
#include "img/img_type.h"
#include "temp_dir.h"
#include "testdata.h"

namespace tvcam_test {

struct run_result {
  int status;
  std::string out;
  std::string err;
};

inline std::string read_all(FILE* f) {
  std::string s;
  rewind(f);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

inline run_result run(tvcam::camera_backend* backend, std::vector<std::string> args) {
  args.insert(args.begin(), "tvcam");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  tvcam::context ctx{out, err, backend, false};
  run_result r;
  r.status = tvcam::run_cli(tvcam::command_table(), static_cast<int>(argv.size()), argv.data(), ctx);
  r.out = read_all(out);
  r.err = read_all(err);
  return r;
}

inline bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

// A command's --json output; a discarded value (is_discarded()) when it is not JSON.
inline nlohmann::json parse_json(const std::string& text) { return nlohmann::json::parse(text, nullptr, false); }

// Each member of `expected` has its value in `actual` (which may hold more).
inline void expect_members(const nlohmann::json& actual, const nlohmann::json& expected) {
  for (const auto& m : expected.items()) EXPECT_EQ(actual.value(m.key(), nlohmann::json()), m.value()) << m.key();
}

inline std::string read_file(const std::string& path) {
  std::string s;
  if (FILE* f = fopen(path.c_str(), "rb")) s = read_all(f);
  return s;
}

using temp_dir = tvtest::temp_dir;

inline bool write_file(const std::string& path, const char* text) {
  FILE* f = fopen(path.c_str(), "w");
  return f != nullptr && fputs(text, f) >= 0 && fclose(f) == 0;
}

// Reads an 8-bit PNG back with libpng: size, colour type (2 RGB, 0 grey)
// and the rows; false for anything else.
inline bool read_png(const std::string& path, tvcam::converted_image* image, int* colour_type) {
  png_image png;
  memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&png, path.c_str())) return false;
  if (png.format & PNG_FORMAT_FLAG_LINEAR) {
    png_image_free(&png);
    return false;
  }
  *colour_type = (png.format & PNG_FORMAT_FLAG_COLOR) ? 2 : 0;
  png.format = (png.format & PNG_FORMAT_FLAG_COLOR) ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
  image->width = static_cast<int>(png.width);
  image->height = static_cast<int>(png.height);
  image->pixels.resize(PNG_IMAGE_SIZE(png));
  return png_image_finish_read(&png, nullptr, image->pixels.data(), 0, nullptr) != 0;
}

// Three models ("plain" isochronous, "plain-bulk", and "raw" with a sensor);
// formats: YUY2 8x4 (30/15/10 fps), YUY2 4x2, MJPG 16x8 (a continuous 1..30
// fps range), RGB24 4x2. Frames carry picture numbers 0, 1, 2, 4, 5, ... (one
// dropped after the third, flagged as a discontinuity) and presentation times
// one interval apart; the second MJPG frame lacks its end marker.
class fake_backend : public tvcam::camera_backend {
 public:
  std::vector<tvcam::camera_model_info> models() const override {
    return {{"plain", "isochronous test camera", true, "uvc_camera", 0x199E, 0x0001},
            {"plain-bulk", "bulk test camera", false, "uvc_camera", 0x199E, 0x0002},
            {"raw", "raw-sensor test camera", false, "camera_84xx", 0x199E, 0x8416, false, {"chart", "flat"}, true}};
  }

  std::unique_ptr<tvcam::camera_session> open(const tvcam::camera_request& request, std::string* error,
                                              bool* refused) override {
    last_request = request;
    ++opens;
    *refused = !tvcam::faults_apply(request.faults, request.camera_id != "plain-bulk", false, error);
    if (fail_open) *error = "device start failed";
    if (fail_open || *refused) return nullptr;
    return std::unique_ptr<tvcam::camera_session>(new session(this));
  }

  tvcam::camera_request last_request;
  tvcam::stream_request last_stream;
  int opens = 0;
  bool fail_open = false;
  unsigned stall_after = ~0u;      // next_frame times out from this frame on
  unsigned interrupt_after = ~0u;  // Ctrl-C arrives with this frame
  int64_t lost_at_end = 0;         // frames the pin counts as dropped after the last one delivered
  int64_t negotiated = 0;          // the interval the camera takes; 0: the one asked for

 private:
  static tvcam::video_format make(uint32_t fcc, int w, int h, int bits, std::vector<int64_t> intervals,
                                  int64_t min, int64_t max) {
    tvcam::video_format f;
    f.fourcc = fcc;
    f.width = w;
    f.height = h;
    f.bit_count = bits;
    f.sample_size = static_cast<uint32_t>(w * h * bits / 8);
    f.default_interval = 333333;
    f.min_interval = min;
    f.max_interval = max;
    f.intervals = intervals;
    return f;
  }

  class session : public tvcam::camera_session {
   public:
    explicit session(fake_backend* owner) : owner_(owner) {
      formats_ = {make(img::FOURCC_YUY2, 8, 4, 16, {333333, 666666, 1000000}, 333333, 1000000),
                  make(img::FOURCC_YUY2, 4, 2, 16, {333333}, 333333, 333333),
                  make(img::FOURCC_MJPG, 16, 8, 24, {}, 333333, 10000000),
                  make(img::FOURCC_RGB24, 4, 2, 24, {333333}, 333333, 333333)};
    }
    std::string device_name() const override { return "Test \"Camera\""; }
    const std::vector<tvcam::video_format>& formats() const override { return formats_; }
    bool start(const tvcam::stream_request& request, std::string*) override {
      owner_->last_stream = request;
      format_ = formats_[request.format_index];
      interval_ = owner_->negotiated != 0 ? owner_->negotiated : request.interval;
      return true;
    }
    int64_t negotiated_interval() const override { return interval_; }
    tvcam::wait_result next_frame(unsigned, tvcam::frame_record* record, std::vector<uint8_t>* data,
                                  std::string*) override {
      if (n_ == owner_->interrupt_after) raise(SIGINT);
      if (n_ >= owner_->stall_after) return tvcam::wait_result::timeout;
      const int64_t picture = n_ < 3 ? n_ : n_ + 1;
      if (format_.fourcc == img::FOURCC_MJPG) {
        *data = n_ == 1 ? std::vector<uint8_t>{0xFF, 0xD8, 0xFF} : std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xD9, 0};
      } else {
        data->assign(format_.sample_size, static_cast<uint8_t>(0x80));
      }
      record->data_used = static_cast<uint32_t>(data->size());
      record->has_frame_info = true;
      record->picture_number = picture;
      record->drop_count = n_ < 3 ? 0 : 1;
      record->options_flags = 0x110 | (n_ == 3 ? 0x4 : 0);
      record->presentation_time = picture * interval_;
      record->duration = interval_;
      ++n_;
      return tvcam::wait_result::frame;
    }
    bool dropped_frames(int64_t* pictures, int64_t* drops) override {
      *pictures = n_;
      *drops = (n_ > 3 ? 1 : 0) + owner_->lost_at_end;
      return true;
    }
    void stop() override {}
    std::vector<std::pair<std::string, uint64_t>> faults_sent() const override {
      if (tvcam::fault_list_text(owner_->last_request.faults) == "none") return {};
      return {{"dropped payload frames", 1}};
    }
    bool finish(std::string*) override { return true; }

   private:
    fake_backend* owner_;
    std::vector<tvcam::video_format> formats_;
    tvcam::video_format format_;
    int64_t interval_ = 0;
    unsigned n_ = 0;
  };
};

}  // namespace tvcam_test
