// The raw-sensor families through the whole driver with the simulated
// sensor cameras: the class each product gets and what it reports about
// itself, the formats each family offers, every derived format streamed and
// compared byte for byte with img::transform of the frame the camera sent,
// the automatic loops closing on the sensor (exposure from both ends, white
// balance under warm and cold light, none on a mono camera), the autofocus
// settling on the lens's sharp position, nothing allocated on the frame
// path and the loops' control writes (focus included) made from the work
// item only.
#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>

#include "cameras/camera_83xx.h"
#include "cameras/camera_84xx.h"
#include "cameras/raw_sensor_pipeline.h"
#include "controls/property_sets.h"
#include "device_support.h"
#include "img/cpu_features.h"
#include "img/img_transform_pipe.h"
#include "kernel/pool_tags.h"
#include "sim/raw_sensor_camera.h"

namespace devtest {
namespace {

using sim::raw_camera_model;

struct offered {
  ULONG fourcc;  // "RGB3"/"RGB4" for the RGB subtypes
  LONG width, height;
  WORD bits;
  auto key() const { return std::tie(fourcc, width, height, bits); }
  bool operator==(const offered& o) const { return key() == o.key(); }
};

std::ostream& operator<<(std::ostream& out, const offered& o) {
  const char c[5] = {char(o.fourcc), char(o.fourcc >> 8), char(o.fourcc >> 16),
                     char(o.fourcc >> 24), 0};
  return out << c << " " << o.width << "x" << o.height << "/" << o.bits;
}

struct loop_entry {
  uint64_t frame = 0;
  uint32_t flags = 0;
  int32_t brightness = 0, exposure = 0, gain = 0, wb[3] = {}, temperature = 0, applied[4] = {};
  int32_t focus = 0, sharpness = 0;
  bool ran() const { return (flags & loop_record_flag::loops_ran) != 0; }
  bool searching() const { return (flags & loop_record_flag::focus_search) != 0; }
};

struct delivered_frame {
  std::vector<uint8_t> data;
  uint64_t frame;  // the driver's delivered-frame number
};

const KS_DATARANGE_VIDEO& range_of(const std::vector<uint8_t>& bytes) {
  return *reinterpret_cast<const KS_DATARANGE_VIDEO*>(bytes.data());
}

const raw_camera_model& model_named(const std::string& id) {
  static const std::vector<raw_camera_model> models = sim::raw_camera_models();
  const raw_camera_model* model = sim::find_raw_camera_model(models, id);
  EXPECT_NE(model, nullptr) << id;
  return *model;
}

constexpr ULONG kRgb24 = img::FOURCC_RGB24, kRgb32 = img::FOURCC_RGB32, kY800 = img::FOURCC_Y800,
                kBy8 = img::FOURCC_BY8, kI420 = img::FOURCC_I420, kY16 = img::FOURCC_Y16,
                kRgb64 = img::FOURCC_RGB64;
const std::string kSettingsKey = "\\Registry\\Machine\\Software\\Talvexa\\usb_driver";

class raw_family_device : public device_test {
 protected:
  std::shared_ptr<sim::raw_sensor_camera> plug_model(const raw_camera_model& model,
                                                     const sim::sensor_options& options = {}) {
    auto camera = sim::raw_sensor_camera::create(model, options);
    EXPECT_EQ(plug(camera), STATUS_SUCCESS);
    filter_ = open_filter();
    return camera;
  }

  std::vector<offered> offered_formats() {
    std::vector<std::vector<uint8_t>> ranges;
    EXPECT_EQ(kstandin::ks_pin_data_ranges(filter_, kCapturePin, &ranges), STATUS_SUCCESS);
    std::vector<offered> list;
    for (const auto& range : ranges) {
      const KS_BITMAPINFOHEADER& h = range_of(range).VideoInfoHeader.bmiHeader;
      ULONG code = h.biCompression;
      if (code == 0) code = h.biBitCount == 32 ? kRgb32 : kRgb24;
      list.push_back({code, h.biWidth, h.biHeight, h.biBitCount});
    }
    return list;
  }

  // Creates and runs the pin with the range of that format and size.
  void start(ULONG code, LONG width, LONG height) {
    std::vector<std::vector<uint8_t>> ranges;
    ASSERT_EQ(kstandin::ks_pin_data_ranges(filter_, kCapturePin, &ranges), STATUS_SUCCESS);
    std::vector<uint8_t> range;
    for (auto& r : ranges) {
      const KS_BITMAPINFOHEADER& h = range_of(r).VideoInfoHeader.bmiHeader;
      const ULONG c = h.biCompression != 0 ? h.biCompression : h.biBitCount == 32 ? kRgb32 : kRgb24;
      if (c == code && h.biWidth == width && h.biHeight == height) range = r;
    }
    ASSERT_FALSE(range.empty());
    format_.clear();
    ASSERT_EQ(kstandin::ks_intersect(filter_, kCapturePin, range.data(), &format_), STATUS_SUCCESS);
    frame_bytes_ = video_info_of(format_)->bmiHeader.biSizeImage;
    ASSERT_EQ(kstandin::ks_create_pin(filter_, kCapturePin, format_.data(), nullptr, &pin_),
              STATUS_SUCCESS);
    ASSERT_EQ(kstandin::ks_set_pin_state(pin_, KSSTATE_PAUSE), STATUS_SUCCESS);
    requeue(4);
    ASSERT_EQ(kstandin::ks_set_pin_state(pin_, KSSTATE_RUN), STATUS_SUCCESS);
  }

  void requeue(unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
      ASSERT_EQ(kstandin::ks_queue_read(pin_, frame_bytes_, true), STATUS_PENDING);
    }
  }

  // The next `count` delivered frames, each with its delivered-frame
  // number, and the loops' records read after each.
  std::vector<delivered_frame> take(size_t count,
                                    std::map<uint64_t, loop_entry>* records = nullptr) {
    std::vector<delivered_frame> frames;
    while (frames.size() < count) {
      // Bounded, but far above a frame's time on a machine shared with a
      // parallel build: a sensor frame rendered and transformed at a tenth
      // of a core takes seconds.
      std::vector<kstandin::ks_completed_read> reads = kstandin::ks_take_completed(pin_, 1, 60000);
      if (reads.empty()) {
        ADD_FAILURE() << "no frame within 60 s after " << frames.size();
        break;
      }
      for (auto& read : reads) {
        EXPECT_EQ(read.status, STATUS_SUCCESS);
        EXPECT_TRUE(read.has_frame_info);
        const uint64_t frame =
            uint64_t(read.frame_info.PictureNumber + 1 - read.frame_info.DropCount);
        read.data.resize(read.header.DataUsed);
        frames.push_back({std::move(read.data), frame});
        requeue(1);
      }
      if (records != nullptr) {
        for (const auto& r : loop_records()) (*records)[r.first] = r.second;
      }
    }
    return frames;
  }

  std::map<uint64_t, loop_entry> loop_records() {
    KSPROPERTY request = kstandin::ks_make_property(driver_property_set, loop_statistics_property,
                                                    KSPROPERTY_TYPE_GET);
    std::vector<uint8_t> answer(loop_record::head_size +
                                loop_record::size * loop_statistics::capacity);
    ULONG_PTR returned = 0;
    EXPECT_EQ(kstandin::ks_property(filter_, &request, sizeof(request), answer.data(),
                                    ULONG(answer.size()), &returned),
              STATUS_SUCCESS);
    std::map<uint64_t, loop_entry> records;
    uint32_t count, size;
    memcpy(&count, answer.data(), 4);
    memcpy(&size, answer.data() + 4, 4);
    EXPECT_EQ(size, loop_record::size);
    EXPECT_EQ(returned, loop_record::head_size + count * size);
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* r = answer.data() + loop_record::head_size + i * size;
      loop_entry rec;
      memcpy(&rec.frame, r + loop_record::frame, 8);
      memcpy(&rec.flags, r + loop_record::flags, 4);
      memcpy(&rec.brightness, r + loop_record::brightness, 4);
      memcpy(&rec.exposure, r + loop_record::exposure, 4);
      memcpy(&rec.gain, r + loop_record::gain, 4);
      memcpy(rec.wb, r + loop_record::wb_r, 12);
      memcpy(&rec.temperature, r + loop_record::temperature, 4);
      memcpy(rec.applied, r + loop_record::applied_r, 16);
      memcpy(&rec.focus, r + loop_record::focus_position, 4);
      memcpy(&rec.sharpness, r + loop_record::focus_sharpness, 4);
      records[rec.frame] = rec;
    }
    return records;
  }

  void stop_pin() {
    if (pin_ != nullptr) {
      EXPECT_EQ(kstandin::ks_close_pin(pin_), STATUS_SUCCESS);
    }
    pin_ = nullptr;
  }

  ULONG frame_bytes_ = 0;
};

// ---- the classes and what they report ------------------------------------------------------

TEST_F(raw_family_device, each_model_reports_its_family_and_offers_the_derived_formats) {
  struct expectation {
    const char* model;
    ULONG model_code, colour_code;
    std::vector<offered> formats;
  };
  auto per_size = [](std::vector<std::pair<LONG, LONG>> sizes,
                     std::vector<std::pair<ULONG, WORD>> kinds) {
    std::vector<offered> list;
    for (auto s : sizes) {
      for (auto k : kinds) list.push_back({k.first, s.first, s.second, k.second});
    }
    return list;
  };
  auto join = [](std::vector<offered> a, const std::vector<offered>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::vector<std::pair<LONG, LONG>> sizes83 = {{1280, 960}, {640, 480}};
  const std::vector<std::pair<LONG, LONG>> sizes84 = {{1920, 1200}, {1920, 1080}, {640, 480}};
  const ULONG ba16 = fourcc("BA16");
  const std::vector<expectation> expectations = {
      {"8307-colour", 5, 4,
       join(per_size(sizes83, {{kRgb32, 32}, {kRgb24, 24}, {kY800, 8}, {kBy8, 8}}),
            per_size(sizes83, {{ba16, 16}}))},
      {"8308-mono", 5, 1,
       join(per_size(sizes83, {{kRgb24, 24}, {kY800, 8}}), per_size(sizes83, {{kY16, 16}}))},
      {"8406-colour", 10, 4,
       join(per_size(sizes84, {{kRgb32, 32}, {kRgb24, 24}, {kY800, 8}}),
            per_size(sizes84, {{kY16, 16}, {kRgb64, 64}}))},
      {"8416-mono", 10, 1,
       join(per_size(sizes84, {{kRgb24, 24}, {kY800, 8}}), per_size(sizes84, {{kY16, 16}}))},
  };
  for (const expectation& e : expectations) {
    SCOPED_TRACE(e.model);
    const raw_camera_model& model = model_named(e.model);
    plug_model(model);
    EXPECT_EQ(offered_formats(), e.formats);

    // The device-information record's codes and the firmware revision.
    std::vector<uint8_t> request(424), info(424);  // the item's request and data are 424 bytes
    const KSPROPERTY header =
        kstandin::ks_make_property(driver_information_set, 1, KSPROPERTY_TYPE_GET);
    memcpy(request.data(), &header, sizeof(header));
    ULONG_PTR returned = 0;
    ASSERT_EQ(kstandin::ks_property(filter_, request.data(), 424, info.data(), 424, &returned),
              STATUS_SUCCESS);
    uint32_t model_code, colour_code, firmware;
    memcpy(&model_code, info.data() + 272, 4);
    memcpy(&colour_code, info.data() + 280, 4);
    memcpy(&firmware, info.data() + 288, 4);
    EXPECT_EQ(model_code, e.model_code);
    EXPECT_EQ(colour_code, e.colour_code);
    EXPECT_EQ(firmware, model.firmware_revision);
    close_client();
    remove();
  }
}

TEST_F(raw_family_device,
       mosaic_and_16_bit_entries_follow_the_declared_formats_and_the_i420_switch) {
  // An 83xx with "BA81" and "Y800": the Bayer format gives the four colour
  // entries, the "Y800" of a colour camera is not offered.
  raw_camera_model model = model_named("8307-colour");
  model.product_id = 0x8302;
  model.formats[0].fourcc[0] = 'B', model.formats[0].fourcc[1] = 'A',
  model.formats[0].fourcc[2] = '8', model.formats[0].fourcc[3] = '1';
  model.formats[1] = model_named("8308-mono").formats[0];
  model.formats[0].sizes = model.formats[1].sizes = {{640, 480}};
  plug_model(model);
  EXPECT_EQ(offered_formats(), (std::vector<offered>{{kRgb32, 640, 480, 32},
                                                     {kRgb24, 640, 480, 24},
                                                     {kY800, 640, 480, 8},
                                                     {kBy8, 640, 480, 8}}));
  close_client();
  remove();

  // The 84xx offers "I420" after the colour entries of each Bayer entry
  // when asked to.
  kstandin::registry_set_dword(kSettingsKey, "export_I420_streamformat", 1);
  raw_camera_model colour = model_named("8406-colour");
  colour.formats[0].sizes = colour.formats[1].sizes = {{640, 480}};
  plug_model(colour);
  EXPECT_EQ(offered_formats(), (std::vector<offered>{{kRgb32, 640, 480, 32},
                                                     {kRgb24, 640, 480, 24},
                                                     {kY800, 640, 480, 8},
                                                     {kI420, 640, 480, 12},
                                                     {kY16, 640, 480, 16},
                                                     {kRgb64, 640, 480, 64}}));
}

// ---- frames
// -----------------------------------------------------------------------------------------

// What the pipe makes of `sent` (the camera's raw frame, with the source
// FOURCC the family transforms it as) with the parameters the driver
// recorded for the frame.
std::vector<uint8_t> expected_frame(const std::vector<uint8_t>& sent, ULONG source_fourcc,
                                    ULONG bits, ULONG destination_fourcc,
                                    const KS_BITMAPINFOHEADER& bitmap, const loop_entry& record) {
  const LONG width = bitmap.biWidth, height = std::abs(bitmap.biHeight);
  img::img_descriptor src = {};
  static_cast<img::img_type&>(src) =
      img::make_img_type_with_pitch(source_fourcc, width, height, LONG(width * bits / 8));
  std::vector<uint8_t> source = sent;
  src.data = source.data();
  img::img_descriptor dst = {};
  static_cast<img::img_type&>(dst) =
      destination_fourcc == kI420
          ? img::make_img_type(kI420, width, height)
          : img::make_img_type_with_pitch(destination_fourcc, width, height,
                                          LONG(width * bitmap.biBitCount / 8));
  std::vector<uint8_t> out(size_t(dst.buffer_length), 0);
  dst.data = out.data();
  auto params = std::make_unique<img::transform_params>();
  *params = {};
  params->cpu_features = img::get_cpu_features();
  params->wb_enable = (record.flags & loop_record_flag::white_balance) != 0;
  params->wb_gain_r = uint32_t(record.applied[0]);
  params->wb_gain_g = uint32_t(record.applied[1]);
  params->wb_gain_b = uint32_t(record.applied[2]);
  params->wb_gain_g2 = uint32_t(record.applied[3]);
  params->flip_vertical =
      bitmap.biHeight < 0 && (destination_fourcc == kRgb24 || destination_fourcc == kRgb32);
  std::vector<uint8_t> scratch(size_t(std::max(0, img::get_scratch_space_size(dst, src))));
  params->scratch_space = scratch.empty() ? nullptr : scratch.data();
  params->scratch_space_len = int32_t(scratch.size());
  img::transform(dst, src, *params, nullptr);
  return out;
}

TEST_F(raw_family_device, every_derived_format_is_the_pipe_applied_to_the_frame_the_camera_sent) {
  kstandin::registry_set_dword(kSettingsKey, "export_I420_streamformat", 1);
  const struct {
    const char* model;
    std::vector<ULONG> formats;
    int pattern;  // set through driver property 14 first; -1: the camera's own
  } cases[] = {
      {"8307-colour", {kRgb32, kRgb24, kY800, kBy8}, -1},
      // "BY8 " frames of a camera told its pattern is RGGB are debayered as
      // "RGGB" (whatever the sensor has).
      {"8307-colour", {kRgb24}, img::bayer_rggb},
      {"8308-mono", {kRgb24, kY800, kY16}, -1},
      {"8406-colour", {kRgb32, kRgb24, kY800, kI420, kY16, kRgb64}, -1},
      {"8416-mono", {kRgb24, kY800, kY16}, -1},
  };
  constexpr size_t kFrames = 7;  // past the second run of the loops (frames 1 and 6)
  for (const auto& c : cases) {
    const raw_camera_model& model = model_named(c.model);
    auto camera = plug_model(model);
    if (c.pattern >= 0) {
      const KSPROPERTY request = kstandin::ks_make_property(
          driver_property_set, family_property::bayer_pattern, KSPROPERTY_TYPE_SET);
      ULONG value = ULONG(c.pattern);
      ASSERT_EQ(kstandin::ks_property(filter_, &request, sizeof(request), &value, sizeof(value)),
                STATUS_SUCCESS);
    }
    for (ULONG code : c.formats) {
      SCOPED_TRACE(std::string(c.model) + " " +
                   std::string(reinterpret_cast<const char*>(&code), 4));
      sim::stream_options options;
      options.record_limit = 64;
      camera->set_stream_options(options);
      camera->clear_sent_frames();
      ASSERT_NO_FATAL_FAILURE(start(code, 640, 480));
      std::map<uint64_t, loop_entry> records;
      const std::vector<delivered_frame> frames = take(kFrames, &records);
      ASSERT_GE(frames.size(), size_t(kFrames));
      const KS_BITMAPINFOHEADER bitmap = video_info_of(format_)->bmiHeader;
      stop_pin();

      // The raw format behind the entry: 8-bit or 16-bit samples of the
      // sensor; "BY8 " stands for the camera's pattern.
      const bool sixteen = code == kY16 || code == kRgb64;
      const sim::raw_format& raw = model.formats[sixteen ? 1 : 0];
      ULONG source = fourcc(raw.fourcc);
      if (source == kBy8) {
        source = img::get_by8_fcc_from_pattern(
            img::bayer_pattern(c.pattern >= 0 ? c.pattern : int(model.sensor.cfa)));
      }
      const std::vector<sim::sent_frame> sent = camera->sent_frames();
      size_t next = 0;
      for (const delivered_frame& f : frames) {
        ASSERT_EQ(records.count(f.frame), 1u) << "no loop record of frame " << f.frame;
        // Any later frame the camera sent: on a loaded machine the driver
        // may drop several between two deliveries.
        bool found = false;
        for (size_t s = next; s < sent.size() && !found; ++s) {
          if (expected_frame(sent[s].bytes, source, raw.bits_per_pixel, code, bitmap,
                             records[f.frame]) == f.data) {
            found = true;
            next = s + 1;
          }
        }
        EXPECT_TRUE(found) << "frame " << f.frame << " is no transform of a frame the camera sent";
      }
      EXPECT_TRUE(records[frames.front().frame].ran());
    }
    close_client();
    remove();
  }
}

// ---- the loops on the sensor
// ------------------------------------------------------------------------

// The loops' target band around the reference 128, as the loops compute
// it: a ratio target x 100 / measured (whole numbers) of 96 to 104 is
// left alone.
bool in_band(int brightness) {
  const int ratio = brightness > 0 ? 128 * 100 / brightness : 128 * 100;
  return ratio >= 96 && ratio <= 104;
}

struct loop_run {
  std::map<uint64_t, loop_entry> records;
  std::vector<delivered_frame> frames;
  // The first frame whose loops measured a brightness in the band, 0: none.
  uint64_t first_in_band() const {
    for (const auto& r : records) {
      if (r.second.ran() && in_band(r.second.brightness)) return r.first;
    }
    return 0;
  }
};

class raw_family_loops : public raw_family_device {
 protected:
  loop_run run(const char* model, const sim::sensor_options& options, size_t frames,
               ULONG code = kRgb24) {
    plug_model(model_named(model), options);
    start(code, 640, 480);
    loop_run result;
    result.frames = take(frames, &result.records);
    stop_pin();
    return result;
  }
};

TEST_F(raw_family_loops, exposure_settles_in_the_band_from_either_end_and_stays_there) {
  const struct {
    const char* name;
    sim::start_value exposure, gain;
  } starts[] = {
      {"minimum exposure", {sim::start_value::kind::minimum}, {}},
      {"maximum exposure and gain",
       {sim::start_value::kind::maximum},
       {sim::start_value::kind::maximum}},
  };
  for (const auto& s : starts) {
    SCOPED_TRACE(s.name);
    sim::sensor_options options;
    options.exposure = s.exposure;
    options.gain = s.gain;
    options.seed = 7;
    const loop_run r = run("8406-colour", options, 60);
    const uint64_t settled = r.first_in_band();
    RecordProperty(std::string("settled_frame ") + s.name, int(settled));
    // The loops run every 5th frame and raise the exposure by a third of
    // the correction, or lower gain before exposure: 51 and 36 frames with
    // this sensor and seed (docs/automatic_loops.md).
    EXPECT_NE(settled, 0u);
    EXPECT_LE(settled, 60u);
    for (const auto& rec : r.records) {
      if (settled != 0 && rec.first >= settled && rec.second.ran()) {
        EXPECT_TRUE(in_band(rec.second.brightness))
            << "frame " << rec.first << ": " << rec.second.brightness;
      }
    }
    close_client();
    remove();
  }
}

// The mean of channel c (0 blue, 1 green, 2 red in the frame) over the
// pixels of a patch of a bottom-up RGB24 frame (a positive bitmap height).
double patch_mean(const delivered_frame& f, const sim::pixel_rect& p, int c, LONG width,
                  LONG height) {
  double sum = 0;
  size_t n = 0;
  for (uint32_t y = p.top; y < p.bottom; ++y) {
    for (uint32_t x = p.left; x < p.right; ++x) {
      sum += f.data[(size_t(height - 1 - y) * width + x) * 3 + c];
      ++n;
    }
  }
  return n ? sum / n : 0;
}

TEST_F(raw_family_loops, neutral_patches_come_out_neutral_under_warm_and_cold_light) {
  for (double kelvin : {2800.0, 6500.0}) {
    SCOPED_TRACE(kelvin);
    sim::sensor_options options;
    options.kelvin = kelvin;
    options.seed = 11;
    plug_model(model_named("8406-colour"), options);
    auto camera = std::static_pointer_cast<sim::raw_sensor_camera>(camera_);
    start(kRgb24, 640, 480);
    std::map<uint64_t, loop_entry> records;
    const std::vector<delivered_frame> frames = take(60, &records);
    stop_pin();
    ASSERT_GE(frames.size(), 60u);
    const delivered_frame& last = frames.back();
    // Neutral 8 to neutral 3.5: white may clip, black is mostly noise.
    for (int patch = sim::kFirstNeutralPatch + 1; patch <= sim::kFirstNeutralPatch + 4; ++patch) {
      const sim::pixel_rect p = camera->pixels_of(
          sim::chart_scene_layout().patches[patch].inset(0.2), fourcc("BA81"), 640, 480);
      ASSERT_FALSE(p.empty());
      double rgb[3];
      for (int c = 0; c < 3; ++c) rgb[c] = patch_mean(last, p, c, 640, 480);
      const double mean = (rgb[0] + rgb[1] + rgb[2]) / 3;
      for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(rgb[c], mean, 0.04 * mean)
            << sim::colour_chart()[patch].name << " channel " << c;
      }
    }
    close_client();
    remove();
  }
}

TEST_F(raw_family_loops, a_mono_camera_settles_without_white_balance) {
  sim::sensor_options options;
  options.exposure = {sim::start_value::kind::minimum};
  const loop_run r = run("8416-mono", options, 70);
  EXPECT_NE(r.first_in_band(), 0u);
  for (const auto& rec : r.records) {
    EXPECT_EQ(rec.second.flags & loop_record_flag::white_balance, 0u) << "frame " << rec.first;
    EXPECT_EQ(rec.second.applied[0] | rec.second.applied[1] | rec.second.applied[2], 0);
  }
}

// ---- the frame path
// ----------------------------------------------------------------------------------

// The thread the system's delayed work queue runs items on.
PKTHREAD work_queue_thread(PDEVICE_OBJECT device) {
  struct probe {
    KEVENT done;
    PKTHREAD thread;
  } p;
  KeInitializeEvent(&p.done, NotificationEvent, FALSE);
  PIO_WORKITEM item = IoAllocateWorkItem(device);
  IoQueueWorkItem(
      item,
      [](PDEVICE_OBJECT, PVOID context) {
        auto* q = static_cast<probe*>(context);
        q->thread = KeGetCurrentThread();
        KeSetEvent(&q->done, IO_NO_INCREMENT, FALSE);
      },
      DelayedWorkQueue, &p);
  KeWaitForSingleObject(&p.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_TRUE(kstandin::drain_work_queues());
  IoFreeWorkItem(item);
  return p.thread;
}

TEST_F(raw_family_loops, the_frame_path_allocates_nothing_and_the_loops_write_from_the_work_item) {
  sim::sensor_options options;
  options.exposure = {sim::start_value::kind::minimum};
  auto camera = plug_model(model_named("8406-colour"), options);
  const PKTHREAD writer = work_queue_thread(pdo_);
  start(kRgb24, 640, 480);
  take(2);
  camera->clear_request_contexts();
  const kstandin::pool_snapshot before = kstandin::take_pool_snapshot();
  const uint64_t reads = take(40).size();  // each replaced by a new read
  // The work item sends its requests one at a time, and one may straddle
  // either end of the window: allocated before the snapshot but seen by the
  // camera after the clear, or allocated before the end but not yet seen.
  const std::vector<sim::request_context> requests = camera->request_contexts();
  const std::vector<kstandin::tag_allocations> allocated =
      kstandin::allocations_by_tag_since(before);
  stop_pin();

  // Between the frames, the only allocations are those of the control
  // requests the work item sent (a URB, its IRP and MDL each, give or take
  // the one on its way at either end) and the IRPs of the test's own reads.
  size_t loop_writes = 0;
  for (const sim::request_context& r : requests) {
    EXPECT_EQ(r.irql, PASSIVE_LEVEL);
    EXPECT_EQ(r.thread, writer) << "request " << int(r.setup.request) << " not from the work queue";
    if (r.setup.request == 0x01 /* SET_CUR */) ++loop_writes;
  }
  EXPECT_GT(loop_writes, 0u) << "the loops wrote nothing: the exposure started at its minimum";
  std::map<ULONG, uint64_t> expected = {
      {make_pool_tag('u', 'v', 'c', 'U'), requests.size()},
      {make_pool_tag('M', 'd', 'l', ' '), requests.size()},
      {make_pool_tag('I', 'r', 'p', ' '), requests.size() + reads}};
  for (const kstandin::tag_allocations& a : allocated) {
    const char tag[5] = {char(a.tag), char(a.tag >> 8), char(a.tag >> 16), char(a.tag >> 24), 0};
    const uint64_t in_flight = expected.count(a.tag);  // a request's blocks only
    EXPECT_GE(a.count + in_flight, expected[a.tag]) << "allocations with tag '" << tag << "' while streaming";
    EXPECT_LE(a.count, expected[a.tag] + in_flight) << "allocations with tag '" << tag << "' while streaming";
  }
}

// ---- the autofocus on a motorised lens
// -------------------------------------------------------------------

// A set of one of the filter's value records (40 bytes on the standard
// sets, 48 on the driver's own) with the manual flag.
NTSTATUS set_value(kstandin::ks_filter* filter, const GUID& set, ULONG id, LONG value, ULONG size) {
  std::vector<uint8_t> record(size, 0);
  const KSPROPERTY header = kstandin::ks_make_property(set, id, KSPROPERTY_TYPE_SET);
  const ULONG manual = 2;
  memcpy(record.data(), &header, sizeof(header));
  memcpy(&record[24], &value, 4);
  memcpy(&record[28], &manual, 4);
  std::vector<uint8_t> data = record;
  ULONG_PTR returned = 0;
  return kstandin::ks_property(filter, record.data(), size, data.data(), size, &returned);
}

// The lens is sharp at `sharp` of 0..1000. The focus goes to `from`, then
// one one-push runs: it ends within 2 % of the range (20) of the sharp
// position, and every focus write (the 0x83xx's text register 65, the
// 0x84xx's camera-terminal focus 6) comes from the work queue.
struct focus_case {
  const char* model;
  LONG from, sharp;
  uint8_t selector;
};

class raw_family_focus : public raw_family_loops, public ::testing::WithParamInterface<focus_case> {};

TEST_P(raw_family_focus, autofocus_settles_at_the_sharp_position) {
  const focus_case& run = GetParam();
  const std::string name = std::string(run.model) + " from " + std::to_string(run.from);
  sim::sensor_options options;
  options.focus_sharp_position = run.sharp;
  options.seed = 5;
  auto camera = plug_model(model_named(run.model), options);
  sim::stream_options pace = camera->get_stream_options();
  pace.real_time = true;  // 30 frames a second, as the camera would send them
  camera->set_stream_options(pace);
  const PKTHREAD writer = work_queue_thread(pdo_);
  sim::focus_motor& motor = *camera->motor();
  start(kRgb24, 640, 480);
  EXPECT_EQ(set_value(filter_, PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_FOCUS,
                      run.from, 40),
            STATUS_SUCCESS);
  for (int i = 0; i < 100 && (motor.moving() || motor.target() != run.from); ++i) take(1);
  take(3);
  camera->clear_request_contexts();
  std::map<uint64_t, loop_entry> records;
  const uint64_t triggered = take(1, &records).back().frame;
  EXPECT_EQ(set_value(filter_, camera_extension_set, extension_id::one_push_focus, 1, 48),
            STATUS_SUCCESS);
  uint64_t started = 0, ended = 0;
  int32_t settled = -1;
  for (int i = 0; i < 900 && ended == 0; ++i) {
    take(1, &records);
    for (const auto& r : records) {
      if (r.first <= triggered) continue;
      if (r.second.searching() && started == 0) started = r.first;
      if (started != 0 && r.first > started && !r.second.searching() && ended == 0) {
        ended = r.first, settled = r.second.focus;
      }
    }
  }
  ASSERT_NE(ended, 0u) << "the search did not start or end";
  take(2);  // the last position goes out on the work item
  EXPECT_TRUE(kstandin::drain_work_queues());
  stop_pin();
  EXPECT_EQ(motor.target(), settled);
  EXPECT_NEAR(settled, run.sharp, 20);
  RecordProperty("frames " + name, int(ended - triggered));
  EXPECT_LE(ended - triggered, 600u);
  size_t writes = 0;
  for (const sim::request_context& r : camera->request_contexts()) {
    if (r.setup.request != 0x01 /* SET_CUR */ || (r.setup.index >> 8) != 1 ||
        (r.setup.value >> 8) != run.selector) {
      continue;
    }
    ++writes;
    EXPECT_EQ(r.irql, PASSIVE_LEVEL);
    EXPECT_EQ(r.thread, writer) << "a focus write not from the work queue";
  }
  RecordProperty("writes " + name, int(writes));
  EXPECT_GT(writes, 3u);
}

// From the near end, the far end and the middle; and the 0x84xx once.
INSTANTIATE_TEST_SUITE_P(Starts, raw_family_focus,
                         ::testing::Values(focus_case{"8307-colour", 0, 640, 65},
                                           focus_case{"8307-colour", 1000, 640, 65},
                                           focus_case{"8307-colour", 500, 640, 65},
                                           focus_case{"8406-colour", 900, 300, 6}));

}  // namespace
}  // namespace devtest
