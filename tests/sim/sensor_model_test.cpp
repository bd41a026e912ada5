// The simulated image sensor: exposure and gain against the signal, the
// full well and the black level, the colour filter layouts, seeded noise
// of the size the model states, the delay of control writes, the scene's
// box filter, the colour chart's ratios under warm and cold light, and the
// focus motor with its lens blur.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>

#include "sim/raw_sensor_camera.h"
#include "sim/uvc_profiles.h"
#include "sim_client.h"

namespace {

using namespace sim;

// A small mono or colour sensor looking at a flat surface.
sensor_config small_sensor(cfa_pattern cfa, uint32_t width = 64, uint32_t height = 48) {
  sensor_config c = raw_camera_models()[cfa == cfa_pattern::mono ? 1 : 0].sensor;
  c.width = width;
  c.height = height;
  c.cfa = cfa;
  return c;
}

std::shared_ptr<const scene> flat(band_values reflectance) {
  scene_node root;
  root.rect = {0, 0, 1, 1};
  root.value = reflectance;
  return std::make_shared<scene>("test", root);
}

readout whole(const sensor_config& c) {
  readout r;
  r.width = c.width;
  r.height = c.height;
  return r;
}

uint32_t sample(const std::vector<uint8_t>& frame, unsigned bits, size_t index) {
  return bits == 8 ? frame[index] : (uint32_t)(frame[2 * index] | frame[2 * index + 1] << 8);
}

struct moments {
  double mean = 0, sigma = 0;
};
// Mean and deviation of the samples of channel `c` (of `cfa`) in a frame.
moments channel_moments(const std::vector<uint8_t>& frame, unsigned bits, const readout& r, cfa_pattern cfa, int c,
                        const pixel_rect* area = nullptr) {
  double sum = 0, squares = 0;
  size_t n = 0;
  const pixel_rect all{0, 0, r.width, r.height};
  const pixel_rect& a = area != nullptr ? *area : all;
  for (uint32_t y = a.top; y < a.bottom; ++y) {
    for (uint32_t x = a.left; x < a.right; ++x) {
      if (cfa_channel(cfa, x, y) != c) continue;
      const double v = sample(frame, bits, (size_t)y * r.width + x);
      sum += v, squares += v * v, ++n;
    }
  }
  moments m;
  m.mean = sum / (double)n;
  m.sigma = std::sqrt(std::max(0.0, squares / (double)n - m.mean * m.mean));
  return m;
}

TEST(sensor_model, signal_is_linear_in_exposure_and_gain_above_the_black_level_and_clips_at_full_scale) {
  sensor_config c = small_sensor(cfa_pattern::mono);
  c.noise = false;
  sensor_model s(c, flat({0.2, 0.2, 0.2}), {5000, 2500});
  const readout r = whole(c);
  std::vector<uint8_t> frame;
  auto level = [&](double exposure_us, double gain, unsigned bits, uint64_t number) {
    s.write_exposure_us(exposure_us, false);
    s.write_gain(gain, false);
    s.render(r, bits, number, frame);
    return channel_moments(frame, bits, r, c.cfa, 0);
  };
  const double black16 = c.black_level * 16;
  const moments base = level(2000, 1, 16, 0);
  EXPECT_EQ(base.sigma, 0);
  EXPECT_NEAR(base.mean, s.mean_sample(0, {0.2, 0.2, 0.2}, {2000, 1}, 16), 16);
  EXPECT_GT(base.mean - black16, 20 * 16);
  EXPECT_NEAR(level(4000, 1, 16, 1).mean - black16, 2 * (base.mean - black16), 16);
  EXPECT_NEAR(level(2000, 2.5, 16, 2).mean - black16, 2.5 * (base.mean - black16), 16);
  // Beyond full scale every sample is the ADC's largest count, in either depth.
  EXPECT_EQ(level(c.exposure_max_us, c.gain_max, 16, 3).mean, 4095 * 16);
  EXPECT_EQ(level(c.exposure_max_us, c.gain_max, 8, 4).mean, 255);
  // Writes outside the ranges are clamped to them.
  EXPECT_EQ(s.settings_for(5).exposure_us, c.exposure_max_us);
  s.write_exposure_us(0, false);
  s.write_gain(100, false);
  EXPECT_EQ(s.settings_for(5).exposure_us, c.exposure_min_us);
  EXPECT_EQ(s.settings_for(5).gain, c.gain_max);

  // In the dark only the black level remains: 16 counts, 1 in 8 bits, 256 in 16.
  sensor_model dark(c, flat({0.2, 0.2, 0.2}), {5000, 0});
  dark.render(r, 16, 0, frame);
  EXPECT_EQ(channel_moments(frame, 16, r, c.cfa, 0).mean, black16);
  dark.render(r, 8, 1, frame);
  EXPECT_EQ(channel_moments(frame, 8, r, c.cfa, 0).mean, 1);
}

TEST(sensor_model, colour_filter_layout_follows_each_pattern_and_binning_and_mirroring_keep_it) {
  // Each site is identified by the channel whose expected level it shows
  // (the three differ by far more than a count).
  const char* const kLayouts[] = {"BGGR", "GBRG", "GRBG", "RGGB"};
  const band_values surface{0.8, 0.3, 0.02};
  for (int p = 0; p < 4; ++p) {
    sensor_config c = small_sensor((cfa_pattern)p, 8, 8);
    c.noise = false;
    sensor_model s(c, flat(surface), {6504, 2500});
    s.write_exposure_us(1000, false);
    double expected[3];
    for (int ch = 0; ch < 3; ++ch) expected[ch] = s.mean_sample(ch, surface, s.settings_for(0), 16);
    for (bool binned_mirrored : {false, true}) {
      readout r = whole(c);
      if (binned_mirrored) {
        r.width = r.height = 4;
        r.bin_x = r.bin_y = 2;
        r.mirror_x = r.mirror_y = true;
      }
      std::vector<uint8_t> frame;
      s.render(r, 16, binned_mirrored, frame);
      for (uint32_t y = 0; y < r.height; y += 2) {
        for (uint32_t x = 0; x < r.width; x += 2) {
          std::string layout;
          for (int i = 0; i < 4; ++i) {
            const double v = sample(frame, 16, (y + i / 2) * r.width + x + i % 2);
            int best = 0;
            for (int ch = 1; ch < 3; ++ch) {
              if (std::fabs(v - expected[ch]) < std::fabs(v - expected[best])) best = ch;
            }
            EXPECT_LT(std::fabs(v - expected[best]), 16);
            layout += "RGB"[best];
          }
          EXPECT_EQ(layout, kLayouts[p]) << "cell " << x << "," << y << (binned_mirrored ? " binned, mirrored" : "");
        }
      }
    }
  }
}

TEST(sensor_model, noise_is_seeded_per_frame_whatever_the_thread_and_has_the_stated_size) {
  const sensor_config c = small_sensor(cfa_pattern::grbg, 256, 192);
  const band_values grey{0.18, 0.18, 0.18};
  auto render = [&](uint32_t seed, uint64_t number, const readout& r) {
    sensor_config seeded = c;
    seeded.seed = seed;
    sensor_model s(seeded, flat(grey), {5000, 2500});
    s.write_exposure_us(8000, false);
    std::vector<uint8_t> frame;
    s.render(r, 16, number, frame);
    return frame;
  };
  const readout r = whole(c);
  std::vector<uint8_t> on_thread;
  std::thread([&] { on_thread = render(7, 3, r); }).join();
  EXPECT_EQ(render(7, 3, r), on_thread);
  EXPECT_NE(render(7, 4, r), on_thread);
  EXPECT_NE(render(8, 3, r), on_thread);

  sensor_model model(c, flat(grey), {5000, 2500});
  const sensor_settings settings{8000, 1};
  for (int ch = 0; ch < 3; ++ch) {
    const moments m = channel_moments(on_thread, 16, r, c.cfa, ch);
    EXPECT_NEAR(m.mean, model.mean_sample(ch, grey, settings, 16), 0.01 * m.mean) << "channel " << ch;
    EXPECT_NEAR(m.sigma, 16 * model.noise_counts(ch, grey, settings), 0.06 * m.sigma) << "channel " << ch;
  }
  // Binning 2 x 2 averages four pixels: half the deviation.
  readout binned = r;
  binned.width /= 2, binned.height /= 2, binned.bin_x = binned.bin_y = 2;
  const moments m = channel_moments(render(7, 3, binned), 16, binned, c.cfa, 1);
  EXPECT_NEAR(m.sigma, 16 * model.noise_counts(1, grey, settings, 4), 0.08 * m.sigma);
}

TEST(sensor_model, a_control_written_while_streaming_reaches_the_frame_after_next_and_at_once_when_idle) {
  sensor_config c = small_sensor(cfa_pattern::mono, 16, 16);
  c.noise = false;
  sensor_model s(c, flat({0.2, 0.2, 0.2}), {5000, 2500});
  s.write_exposure_us(1000, false);  // idle: at once
  const readout r = whole(c);
  std::vector<uint8_t> frame;
  for (uint64_t n = 10; n <= 12; ++n) s.render(r, 16, n, frame);
  const double before = channel_moments(frame, 16, r, c.cfa, 0).mean;
  s.write_exposure_us(2000, true);  // while frame 12 is read out
  s.write_gain(2, true);
  EXPECT_EQ(s.settings_for(13).exposure_us, 1000);
  EXPECT_EQ(s.settings_for(14).exposure_us, 2000);
  EXPECT_EQ(s.settings_for(14).gain, 2);
  s.render(r, 16, 13, frame);
  EXPECT_EQ(channel_moments(frame, 16, r, c.cfa, 0).mean, before);
  s.render(r, 16, 14, frame);
  EXPECT_GT(channel_moments(frame, 16, r, c.cfa, 0).mean, 3.5 * (before - 256));
  const std::vector<frame_exposure> log = s.exposure_log();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[3].frame, 13u);
  EXPECT_EQ(log[3].settings.exposure_us, 1000);
  EXPECT_EQ(log[4].settings.exposure_us, 2000);
  // A write pending when the stream stops lands at once with the next one.
  s.write_exposure_us(3000, true);
  s.write_gain(1, false);
  EXPECT_EQ(s.settings_for(15).exposure_us, 3000);
  EXPECT_EQ(s.settings_for(15).gain, 1);
}

TEST(scene, means_are_exact_box_filters_of_patches_ramps_and_bars) {
  const std::shared_ptr<const scene> chart = make_scene("chart");
  ASSERT_NE(chart, nullptr);
  EXPECT_EQ(make_scene("nothing"), nullptr);
  const chart_layout& l = chart_scene_layout();
  EXPECT_NEAR(chart->mean_reflectance(l.ramp)[1], 0.45, 1e-9);
  EXPECT_NEAR(chart->mean_reflectance(l.patches[20])[0], colour_chart()[20].reflectance[0], 1e-9);
  // Half on a patch, half on the card.
  const scene_rect p = l.patches[19];
  const scene_rect straddle{p.left - 0.01, p.top, p.left + 0.01, p.bottom};
  EXPECT_NEAR(chart->mean_reflectance(straddle)[2], (0.03 + colour_chart()[19].reflectance[2]) / 2, 1e-9);
  // The coarsest vertical bars: a whole period is half dark, half light.
  const double bars_left = l.detail.left + l.detail.width() / 10 * 0.1;  // the first group, inset by a tenth
  const scene_rect group{bars_left, l.detail.top + 0.01, bars_left + 1.0 / 40, l.detail.top + 0.02};
  EXPECT_NEAR(chart->mean_reflectance(group)[1], (0.05 + 0.6) / 2, 1e-9);
  EXPECT_NEAR(make_scene("flat")->mean_reflectance({0.1, 0.1, 0.3, 0.2})[0], 0.18, 1e-12);
  EXPECT_NEAR(chart->mean_reflectance({-1, -1, 2, 2})[1], chart->mean_reflectance({0, 0, 1, 1})[1], 1e-12);
}

TEST(scene, chart_patches_under_warm_and_cold_light_give_the_ratios_of_their_reflectances) {
  const band_values daylight = illuminant_rgb(6504);
  for (double v : daylight) EXPECT_NEAR(v, 1.0, 1e-9);
  const band_values warm = illuminant_rgb(2800), cold = illuminant_rgb(10000);
  EXPECT_GT(warm[0], 1.5);
  EXPECT_LT(warm[2], 0.5);
  EXPECT_LT(cold[0], 1.0);
  EXPECT_GT(cold[2], 1.0);

  const raw_camera_model model = *find_raw_camera_model(raw_camera_models(), "8406-colour");
  sensor_options options;
  options.noise = false;
  std::vector<std::vector<double>> neutral_rg;  // per light
  for (double kelvin : {2800.0, 6500.0}) {
    neutral_rg.emplace_back();
    options.kelvin = kelvin;
    auto camera = raw_sensor_camera::create(model, options);
    sensor_model& s = camera->sensor();
    s.write_exposure_us(4000, false);
    const uint32_t fcc = fourcc("BG16");
    const readout r = camera->readout_for(fcc, 640, 480);
    EXPECT_EQ(r.bin_x, 2u);
    std::vector<uint8_t> frame;
    s.render(r, 16, 0, frame);
    const band_values rate_r = s.channel_rate(0), rate_g = s.channel_rate(1), rate_b = s.channel_rate(2);
    auto signal = [](const band_values& rate, const band_values& reflect) {
      return rate[0] * reflect[0] + rate[1] * reflect[1] + rate[2] * reflect[2];
    };
    const double black = model.sensor.black_level * 16;
    const std::vector<float> table = sensor_temperature_table(model.sensor);
    const size_t entry = (size_t)(kelvin - 2500) / 100 * 3;
    for (int i = 0; i < 24; ++i) {
      const pixel_rect area = camera->pixels_of(chart_scene_layout().patches[i].inset(0.1), fcc, 640, 480);
      ASSERT_FALSE(area.empty());
      const band_values& reflect = colour_chart()[i].reflectance;
      const double red = channel_moments(frame, 16, r, model.sensor.cfa, 0, &area).mean - black;
      const double green = channel_moments(frame, 16, r, model.sensor.cfa, 1, &area).mean - black;
      const double blue = channel_moments(frame, 16, r, model.sensor.cfa, 2, &area).mean - black;
      if (std::max({red, green, blue}) > 60000) continue;  // clipped
      EXPECT_NEAR(red / green, signal(rate_r, reflect) / signal(rate_g, reflect), 0.01 * red / green + 0.002) << i;
      EXPECT_NEAR(blue / green, signal(rate_b, reflect) / signal(rate_g, reflect), 0.01 * blue / green + 0.002)
          << i;
      if (i >= kFirstNeutralPatch && green > 2000) {
        neutral_rg.back().push_back(red / green);
        // The sensor's own temperature table makes the neutrals neutral.
        EXPECT_NEAR(red * table[entry] / (green * table[entry + 1]), 1.0, 0.02) << kelvin << " K, patch " << i;
        EXPECT_NEAR(blue * table[entry + 2] / (green * table[entry + 1]), 1.0, 0.02) << kelvin << " K, patch " << i;
      }
    }
  }
  // Every neutral patch has the light's ratio; warm light is redder.
  for (const std::vector<double>& ratios : neutral_rg) {
    ASSERT_GE(ratios.size(), 3u);
    for (double ratio : ratios) EXPECT_NEAR(ratio, ratios.front(), 0.01);
  }
  EXPECT_GT(neutral_rg[0].front(), 1.4 * neutral_rg[1].front());
}

}  // namespace

namespace {

using simtest::control;
using simtest::uvc_request;

constexpr UCHAR kUnit2 = 2, kCameraTerminal = 1, kProcessingUnit = 3;

TEST(raw_camera_models, answer_what_their_family_reads_and_pass_exposure_gain_and_flips_to_the_sensor) {
  const std::vector<camera_model> listed = camera_models();
  for (const raw_camera_model& model : raw_camera_models()) {
    SCOPED_TRACE(model.id);
    const camera_model* entry = find_camera_model(listed, model.id);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->family, model.family == raw_family::camera_83xx ? "camera_83xx" : "camera_84xx");
    EXPECT_EQ(entry->product_id, model.product_id);
    EXPECT_EQ(entry->colour, model.colour);
    EXPECT_EQ(entry->focus, model.focus.present);
    EXPECT_EQ(model.focus.present, model.colour);  // the colour models have a focus motor

    usb_bus bus;
    auto camera = raw_sensor_camera::create(model);
    PDEVICE_OBJECT pdo = bus.plug(camera);
    ASSERT_NE(pdo, nullptr);
    const bool is_84xx = model.family == raw_family::camera_84xx;
    UCHAR bytes[1024] = {};
    auto vendor_in = [&](UCHAR request, USHORT index, ULONG length) {
      memset(bytes, 0xEE, sizeof bytes);
      return control(pdo, URB_FUNCTION_VENDOR_DEVICE, true, request, 0, index, bytes, length);
    };
    auto get_cur = [&](UCHAR entity, UCHAR selector, ULONG length) {
      memset(bytes, 0xEE, sizeof bytes);
      return uvc_request(pdo, uvc::GET_CUR, entity, 0, selector, bytes, length);
    };
    auto set_cur = [&](UCHAR entity, UCHAR selector, uint32_t value, ULONG length) {
      return uvc_request(pdo, uvc::SET_CUR, entity, 0, selector, &value, length).status;
    };
    auto le32 = [&] { return (uint32_t)(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | (uint32_t)bytes[3] << 24); };

    // Register 26: the colour bit; other registers are unknown.
    EXPECT_EQ(vendor_in(0x00, 26, 1).transferred, 1u);
    EXPECT_EQ(bytes[0], model.colour ? 0x02 : 0x00);
    EXPECT_EQ(vendor_in(0x00, 25, 1).usbd_status, USBD_STATUS_STALL_PID);
    // Firmware revision: a vendor request on the 84xx, the camera
    // terminal's vendor register 45 on the 83xx.
    if (is_84xx) {
      ASSERT_EQ(vendor_in(0x01, 0, 4).transferred, 4u);
      EXPECT_EQ(le32(), model.firmware_revision);
      for (UCHAR stored_document : {0x15, 0x19}) {
        ASSERT_EQ(vendor_in(stored_document, 0, 4).transferred, 4u);
        EXPECT_EQ(le32(), 0u);  // none stored
      }
      EXPECT_EQ(get_cur(kUnit2, 45, 4).usbd_status, USBD_STATUS_STALL_PID);
      EXPECT_EQ(get_cur(kUnit2, 29, 1).transferred, 1u);  // no pattern fix wanted
      EXPECT_EQ(bytes[0], 0);
      if (model.colour) {
        ASSERT_EQ(get_cur(kUnit2, 44, 912).transferred, 912u);
        const std::vector<float> table = sensor_temperature_table(model.sensor);
        EXPECT_EQ(memcmp(bytes, table.data(), 912), 0);
      } else {
        EXPECT_EQ(get_cur(kUnit2, 44, 912).usbd_status, USBD_STATUS_STALL_PID);
      }
    } else {
      EXPECT_EQ(vendor_in(0x01, 0, 4).usbd_status, USBD_STATUS_STALL_PID);
      ASSERT_EQ(get_cur(kCameraTerminal, 45, 4).transferred, 4u);
      EXPECT_EQ(le32(), model.firmware_revision);
      ASSERT_EQ(get_cur(kCameraTerminal, 32, 4).transferred, 4u);
      EXPECT_EQ(le32(), model.focus.present ? 0x4000u : 0u);  // the focus motor; no strobe
    }
    EXPECT_EQ(vendor_in(0x17, 0, 2).usbd_status, USBD_STATUS_STALL_PID);

    // Exposure and gain reach the sensor (at once: nothing streams); the
    // 84xx's two gain controls are one gain.
    const UCHAR exposure_unit = is_84xx ? kUnit2 : kCameraTerminal;
    const UCHAR exposure_selector = is_84xx ? 27 : 4;
    EXPECT_EQ(set_cur(exposure_unit, exposure_selector, 250, 4), STATUS_SUCCESS);
    EXPECT_EQ(camera->sensor().settings_for(0).exposure_us, is_84xx ? 250 : 25000);
    EXPECT_EQ(set_cur(kProcessingUnit, 4, 128, 2), STATUS_SUCCESS);
    EXPECT_EQ(camera->sensor().settings_for(0).gain, 2.0);
    if (is_84xx) {
      get_cur(kUnit2, 24, 4);
      EXPECT_EQ(le32(), 128u);
      EXPECT_EQ(set_cur(kUnit2, 24, 96, 4), STATUS_SUCCESS);
      EXPECT_EQ(camera->sensor().settings_for(0).gain, 1.5);
      get_cur(kProcessingUnit, 4, 2);
      EXPECT_EQ(bytes[0], 96);
    }
    EXPECT_EQ(set_cur(kProcessingUnit, 4, 300, 2), STATUS_UNSUCCESSFUL);  // above 4.0
    const uint32_t fcc = model.formats[0].fourcc[0] | model.formats[0].fourcc[1] << 8 |
                         model.formats[0].fourcc[2] << 16 | (uint32_t)model.formats[0].fourcc[3] << 24;
    EXPECT_FALSE(camera->readout_for(fcc, 640, 480).mirror_x);
    EXPECT_EQ(set_cur(kUnit2, is_84xx ? 46 : 20, 1, is_84xx ? 1 : 4), STATUS_SUCCESS);
    EXPECT_TRUE(camera->readout_for(fcc, 640, 480).mirror_x);
    EXPECT_FALSE(camera->readout_for(fcc, 640, 480).mirror_y);

    // Every request is on record with where it came from.
    const std::vector<request_context> contexts = camera->request_contexts();
    ASSERT_FALSE(contexts.empty());
    EXPECT_EQ(contexts.front().setup.request, 0x00);
    EXPECT_EQ(contexts.front().irql, PASSIVE_LEVEL);
    EXPECT_EQ(contexts.front().thread, KeGetCurrentThread());
    bus.unplug(pdo);
  }
  EXPECT_EQ(raw_sensor_camera::create(raw_camera_models()[0], sensor_options{"nothing"}), nullptr);
}

// The focus control moves the motor at its speed from where the lens is;
// the frames through the lens are sharpest at the sharp position.
TEST(focus_lens, the_motor_travels_at_its_speed_and_contrast_peaks_at_the_sharp_position) {
  for (const raw_camera_model& model : raw_camera_models()) {
    if (!model.focus.present) continue;
    SCOPED_TRACE(model.id);
    const bool is_84xx = model.family == raw_family::camera_84xx;
    double now_ms = 0;
    sensor_options options;
    options.focus_start = 0;
    options.focus_sharp_position = 400;
    options.focus_clock = [&now_ms] { return now_ms; };
    usb_bus bus;
    auto camera = raw_sensor_camera::create(model, options);
    PDEVICE_OBJECT pdo = bus.plug(camera);
    focus_motor& motor = *camera->motor();
    // The 84xx: the camera terminal's focus absolute; the 83xx: its focus
    // register 65, as text, checked against the range.
    auto focus = [&](std::string text) {
      uint32_t value = (uint32_t)atoi(text.c_str() + 1);
      return is_84xx ? uvc_request(pdo, uvc::SET_CUR, kCameraTerminal, 0, 6, &value, 2).status
                     : uvc_request(pdo, uvc::SET_CUR, kCameraTerminal, 0, 65, text.data(), (ULONG)text.size()).status;
    };
    EXPECT_EQ(focus("A1000\r"), STATUS_SUCCESS);
    now_ms = 250;  // the whole range takes 500 ms
    EXPECT_DOUBLE_EQ(motor.position(), 500);
    EXPECT_EQ(focus("A300\r"), STATUS_SUCCESS);  // turns back from 500
    now_ms = 300;
    EXPECT_DOUBLE_EQ(motor.position(), 400);
    now_ms = 400;
    EXPECT_FALSE(motor.moving());
    EXPECT_EQ(focus("A1001\r"), STATUS_UNSUCCESSFUL);
    if (!is_84xx) {
      EXPECT_EQ(focus("A3x0\r"), STATUS_UNSUCCESSFUL);
    }
    EXPECT_EQ(motor.target(), 300);

    // Same-colour neighbour differences over a 640 x 480 frame fall with
    // the distance from the sharp position, on either side.
    const readout r = camera->readout_for(fourcc(model.formats[0].fourcc), 640, 480);
    uint64_t frame = 0;
    auto contrast_at = [&](int32_t position) {
      motor.move_to(position);
      now_ms += 1000;
      std::vector<uint8_t> out;
      camera->sensor().render(r, 8, ++frame, out);
      EXPECT_EQ(motor.position_of_frame(frame), position);
      double sum = 0;
      for (size_t i = 0; i + 2 * r.width + 2 < out.size(); ++i) {
        sum += std::abs(out[i] - out[i + 2]) + std::abs(out[i] - out[i + 2 * r.width]);
      }
      return sum;
    };
    const double sharp = contrast_at(400), beyond = contrast_at(420), near = contrast_at(380);
    EXPECT_GT(sharp, beyond);
    EXPECT_GT(sharp, near);
    EXPECT_GT(near, contrast_at(300));
    EXPECT_GT(contrast_at(300), contrast_at(0));
    bus.unplug(pdo);
  }
}

}  // namespace
