// The raw-sensor camera models through the driver: their descriptors parse
// into exactly the formats they declare, and raw frames stream end to end
// (the driver treats the models as plain cameras until their families
// exist), each delivered frame one the sensor sent, showing the chart at
// the levels the sensor model gives.
#include <map>
#include <set>
#include <tuple>

#include "device_support.h"
#include "sim/families/family_models.h"
#include "sim/raw_sensor_camera.h"

namespace devtest {
namespace {

using sim::raw_camera_model;

struct offered {
  ULONG fourcc;
  LONG width, height;
  WORD bits;
  auto key() const { return std::tie(fourcc, width, height, bits); }
  bool operator<(const offered& o) const { return key() < o.key(); }
  bool operator==(const offered& o) const { return key() == o.key(); }
};

class raw_camera_device : public device_test {
 protected:
  // Plugs the model and checks that the pin offers exactly what it declares.
  std::shared_ptr<sim::raw_sensor_camera> plug_model(const raw_camera_model& model) {
    auto camera = sim::raw_sensor_camera::create(model);
    EXPECT_EQ(plug(camera), STATUS_SUCCESS);
    std::set<offered> declared, ranges;
    for (const sim::raw_format& f : model.formats) {
      for (const auto& size : f.sizes) {
        declared.insert({fourcc(f.fourcc), size.first, size.second,
                         f.bits_per_pixel});
      }
    }
    filter_ = open_filter();
    std::vector<std::vector<uint8_t>> bytes;
    EXPECT_EQ(kstandin::ks_pin_data_ranges(filter_, kCapturePin, &bytes), STATUS_SUCCESS);
    for (const auto& range : bytes) {
      const KS_BITMAPINFOHEADER& h =
          reinterpret_cast<const KS_DATARANGE_VIDEO*>(range.data())->VideoInfoHeader.bmiHeader;
      ranges.insert({h.biCompression, h.biWidth, h.biHeight, h.biBitCount});
    }
    EXPECT_EQ(bytes.size(), declared.size());
    EXPECT_TRUE(ranges == declared);
    return camera;
  }
};

TEST_F(raw_camera_device, every_model_offers_its_formats_and_streams_sensor_frames_through_a_plain_camera) {
  constexpr size_t kFrames = 4;
  for (const raw_camera_model& model : sim::raw_camera_models()) {
    SCOPED_TRACE(model.id);
    auto camera = plug_model(model);
    sim::stream_options options;
    options.record_limit = 100;
    camera->set_stream_options(options);

    const sim::raw_format& first = model.formats.front();
    const ULONG code = fourcc(first.fourcc);
    format_ = format_for(filter_, code, 640, 480);
    ASSERT_FALSE(format_.empty());
    ASSERT_EQ(kstandin::ks_create_pin(filter_, kCapturePin, format_.data(), nullptr, &pin_), STATUS_SUCCESS);
    ASSERT_EQ(kstandin::ks_set_pin_state(pin_, KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(kstandin::ks_set_pin_state(pin_, KSSTATE_PAUSE), STATUS_SUCCESS);
    queue_reads(4);
    ASSERT_EQ(kstandin::ks_set_pin_state(pin_, KSSTATE_RUN), STATUS_SUCCESS);

    std::vector<std::vector<uint8_t>> delivered;
    while (delivered.size() < kFrames) {
      std::vector<kstandin::ks_completed_read> reads = kstandin::ks_take_completed(pin_, 1, 10000);
      ASSERT_FALSE(reads.empty()) << "no frame within 10 s after " << delivered.size();
      for (auto& read : reads) {
        ASSERT_EQ(read.status, STATUS_SUCCESS);
        ASSERT_EQ(read.header.DataUsed, kFrameBytes);
        delivered.push_back(read.data);
        queue_reads(1);
      }
    }
    close_client();

    // Each frame is, byte for byte, one the camera sent.
    std::map<uint64_t, uint64_t> sent;  // checksum -> sequence
    for (const sim::sent_frame& f : camera->sent_frames()) sent[f.checksum] = f.sequence;
    std::set<uint64_t> sequences;
    for (const auto& frame : delivered) {
      auto it = sent.find(sim::frame_checksum(frame.data(), frame.size()));
      ASSERT_NE(it, sent.end()) << "a frame the camera never sent";
      EXPECT_TRUE(sequences.insert(it->second).second) << "frame " << it->second << " delivered twice";
    }

    // The neutral 5 patch shows the level the sensor model gives for its
    // reflectance, on each of its colour sites.
    const sim::sensor_model& sensor = camera->sensor();
    const sim::pixel_rect patch =
        camera->pixels_of(sim::chart_scene_layout().patches[21].inset(0.1), code, 640, 480);
    ASSERT_FALSE(patch.empty());
    const sim::sensor_settings settings = sensor.settings_for(*sensor.last_frame());
    for (int c = 0; c < (model.colour ? 3 : 1); ++c) {
      double sum = 0;
      size_t n = 0;
      for (uint32_t y = patch.top; y < patch.bottom; ++y) {
        for (uint32_t x = patch.left; x < patch.right; ++x) {
          if (sim::cfa_channel(model.sensor.cfa, x, y) != c) continue;
          sum += delivered.back()[y * 640 + x];
          ++n;
        }
      }
      const double expected = sensor.mean_sample(c, sim::colour_chart()[21].reflectance, settings, 8);
      EXPECT_NEAR(sum / n, expected, 0.03 * expected + 0.5) << "channel " << c;
    }
    remove();
  }
}

// Every other family's simulated camera starts as a device whatever class
// its product selects, and its filter offers formats.
TEST_F(raw_camera_device, every_family_model_starts_and_offers_formats) {
  for (const sim::camera_model& m : sim::family_camera_models()) {
    SCOPED_TRACE(m.id);
    ASSERT_EQ(plug(m.create()), STATUS_SUCCESS);
    filter_ = open_filter();
    std::vector<std::vector<uint8_t>> ranges;
    EXPECT_EQ(kstandin::ks_pin_data_ranges(filter_, kCapturePin, &ranges), STATUS_SUCCESS);
    EXPECT_FALSE(ranges.empty());
    close_client();
    remove();
  }
}

}  // namespace
}  // namespace devtest
