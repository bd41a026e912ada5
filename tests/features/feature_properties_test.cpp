// The features as clients and the frame worker see them: their properties
// through the control registry (get, set, range, refusals) and across a
// restart, the virtual registers, the white balance with its temperature
// tables, presets and one-push, the automation flags over the family's
// exposure and gain, and what the features put into the transform
// parameters and the automatic settings.
#include "features_support.h"

#include <cmath>

namespace featuretest {
namespace {

using properties = feature_fixture;

constexpr ULONG kVpaWhiteBalance = KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE;

// Gains of the table's entry for `kelvin`, by the lookup rule.
std::array<LONG, 3> table_gains(const img::wb_temperature_table* table, int kelvin) {
  const int t = std::min(10000, std::max(2500, kelvin));
  std::array<LONG, 3> g;
  for (int c = 0; c < 3; ++c) {
    const float v = table->entries[(t - 2500) / 100][c] * 64.0f;
    g[c] = v >= 255.0f ? 255 : LONG(v);
  }
  return g;
}

// The simulated camera's current value of a control (first two bytes).
int sim_current(const sim::uvc_camera& camera, uint8_t entity, uint8_t selector) {
  const auto control = camera.control(entity, selector);
  return control && control->cur.size() >= 2 ? int16_t(control->cur[0] | control->cur[1] << 8) : -1;
}

TEST_F(properties, white_balance_temperature_takes_the_table_gains_and_survives_a_restart) {
  plug_sensor_camera();
  const img::wb_temperature_table* table = builtin_temperature_table(5);
  feature_camera* cam = &start(colour_setup(&sensor, table), family_controls::sensor_unit);

  reply r = get(cam, PROPSETID_VIDCAP_VIDEOPROCAMP, kVpaWhiteBalance);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.value(), 6500);
  EXPECT_EQ(r.flags(), 1u);         // automatic
  EXPECT_EQ(r.field(32), 3u);       // automatic and manual
  r = range(cam, PROPSETID_VIDCAP_VIDEOPROCAMP, kVpaWhiteBalance);
  EXPECT_EQ(LONG(r.field(0)), 2500);
  EXPECT_EQ(LONG(r.field(4)), 10000);
  EXPECT_EQ(LONG(r.field(8)), 6500);

  // A manual set while automatic only switches the mode; the next one takes
  // the temperature, its table gains and the temperature mode.
  ASSERT_EQ(set(cam, PROPSETID_VIDCAP_VIDEOPROCAMP, kVpaWhiteBalance, 3000), STATUS_SUCCESS);
  EXPECT_EQ(get(cam, PROPSETID_VIDCAP_VIDEOPROCAMP, kVpaWhiteBalance).value(), 6500);
  EXPECT_EQ(register_value(cam, feature_register::wb_auto), 0u);
  EXPECT_EQ(register_value(cam, feature_register::wb_mode), 0u);
  ASSERT_EQ(set(cam, PROPSETID_VIDCAP_VIDEOPROCAMP, kVpaWhiteBalance, 3000), STATUS_SUCCESS);
  EXPECT_EQ(register_value(cam, feature_register::wb_mode), 1u);
  EXPECT_EQ(set(cam, PROPSETID_VIDCAP_VIDEOPROCAMP, kVpaWhiteBalance, 10100), STATUS_INVALID_PARAMETER);
  const auto gains = table_gains(table, 3000);
  const img::transform_params p = fill_params();
  EXPECT_EQ(p.wb_enable, 1);
  EXPECT_EQ(LONG(p.wb_gain_r), gains[0]);
  EXPECT_EQ(LONG(p.wb_gain_g), gains[1]);
  EXPECT_EQ(LONG(p.wb_gain_b), gains[2]);
  EXPECT_EQ(p.wb_gain_g2, p.wb_gain_g);
  const img::auto_settings s = fill_settings();
  EXPECT_TRUE(s.wb.temperature_mode);
  EXPECT_FALSE(s.wb.auto_enabled);
  EXPECT_TRUE(s.wb.grey_search);  // the driver applies the gains
  EXPECT_EQ(s.wb.table, table);

  cam = &restart();
  EXPECT_EQ(get(cam, PROPSETID_VIDCAP_VIDEOPROCAMP, kVpaWhiteBalance).value(), 3000);
  EXPECT_EQ(get(cam, PROPSETID_VIDCAP_VIDEOPROCAMP, kVpaWhiteBalance).flags(), 2u);
  EXPECT_EQ(register_value(cam, feature_register::wb_mode), 1u);
  EXPECT_EQ(LONG(register_value(cam, feature_register::wb_red)), gains[0]);
  EXPECT_EQ(LONG(register_value(cam, feature_register::wb_blue)), gains[2]);
}

TEST_F(properties, every_temperature_register_value_gives_the_gains_of_its_table_entry) {
  plug_sensor_camera();
  for (ULONG index = 0; index < 6; ++index) {
    const img::wb_temperature_table* table = builtin_temperature_table(index);
    ASSERT_NE(table, nullptr);
    feature_camera* cam = &start(colour_setup(&sensor, table), family_controls::none);
    for (int kelvin = 2500; kelvin <= 10000; kelvin += 50) {
      ASSERT_EQ(write_register(cam, feature_register::wb_temperature, kelvin), STATUS_SUCCESS);
      const auto gains = table_gains(table, kelvin);
      EXPECT_EQ(LONG(register_value(cam, feature_register::wb_red)), gains[0]) << kelvin;
      EXPECT_EQ(LONG(register_value(cam, feature_register::wb_green)), gains[1]) << kelvin;
      EXPECT_EQ(LONG(register_value(cam, feature_register::wb_blue)), gains[2]) << kelvin;
    }
    EXPECT_EQ(write_register(cam, feature_register::wb_temperature, 2400), STATUS_INVALID_PARAMETER);
    // The strongest channel is 1.0 and warmer light needs more blue.
    for (int t = 0; t < 76; ++t) {
      const float* m = table->entries[t];
      EXPECT_FLOAT_EQ(std::min({m[0], m[1], m[2]}), 1.0f);
      if (t > 0) {
        EXPECT_LT(m[2], table->entries[t - 1][2]);
      }
    }
  }
  EXPECT_EQ(builtin_temperature_table(6), nullptr);
}

TEST_F(properties, presets_gains_one_push_and_the_loops_results) {
  plug_sensor_camera();
  feature_camera* cam = &start(colour_setup(&sensor, builtin_temperature_table(0)), family_controls::none);

  // Presets: an index outside the list searches the whole range.
  const std::pair<uint32_t, std::pair<int, int>> presets[] = {
      {0, {2500, 10000}}, {1, {2500, 4000}}, {3, {5700, 7500}}, {4, {7500, 9300}}, {7, {2500, 10000}}};
  for (const auto& p : presets) {
    ASSERT_EQ(write_register(cam, feature_register::wb_auto_preset, p.first), STATUS_SUCCESS);
    EXPECT_EQ(register_value(cam, feature_register::wb_auto_preset), p.first);
    const img::auto_settings s = fill_settings();
    EXPECT_EQ(s.wb.temperature_low, p.second.first) << p.first;
    EXPECT_EQ(s.wb.temperature_high, p.second.second) << p.first;
  }

  // Gains carry the automatic flag: the first manual set switches it off.
  reply r = get(cam, camera_extension_set, extension_id::whitebalance_red);
  EXPECT_EQ(r.value(), 64);
  EXPECT_EQ(r.flags(), 1u);
  EXPECT_EQ(LONG(r.field(40)), 255);
  ASSERT_EQ(set(cam, camera_extension_set, extension_id::whitebalance_red, 80), STATUS_SUCCESS);
  EXPECT_EQ(register_value(cam, feature_register::wb_red), 64u);
  ASSERT_EQ(set(cam, camera_extension_set, extension_id::whitebalance_red, 80), STATUS_SUCCESS);
  EXPECT_EQ(register_value(cam, feature_register::wb_red), 80u);
  EXPECT_EQ(set(cam, camera_extension_set, extension_id::whitebalance_green, 256), STATUS_INVALID_PARAMETER);

  // A loop result is not taken while neither automatic nor one-push is on.
  img::auto_settings s = fill_settings();
  img::auto_result result = {};
  result.valid = true;
  result.exposure = s.exposure.value;  // exposure and gain stay
  result.gain = s.gain.value;
  result.wb_r = 100, result.wb_g = 64, result.wb_b = 120, result.temperature = 4100;
  auto_changes changes;
  EXPECT_FALSE(take_result(result, s, &changes));
  EXPECT_EQ(register_value(cam, feature_register::wb_red), 80u);

  // One-push: writing 0 does nothing, 1 starts it; the loop's gains are
  // taken and the request ends when the loop says the balance is done.
  ASSERT_EQ(write_register(cam, feature_register::wb_one_push, 0), STATUS_SUCCESS);
  EXPECT_FALSE(fill_settings().wb.one_push);
  ASSERT_EQ(set(cam, camera_extension_set, extension_id::one_push, 1), STATUS_SUCCESS);
  s = fill_settings();
  EXPECT_TRUE(s.wb.one_push);
  result.wb_one_push_active = true;
  EXPECT_FALSE(take_result(result, s, &changes));  // the driver applies these gains: nothing to write
  EXPECT_EQ(register_value(cam, feature_register::wb_blue), 120u);
  EXPECT_EQ(register_value(cam, feature_register::wb_one_push), 1u);
  result.wb_one_push_active = false;
  take_result(result, s, &changes);
  EXPECT_EQ(register_value(cam, feature_register::wb_one_push), 0u);
  EXPECT_EQ(register_value(cam, feature_register::wb_temperature), 4100u);
}

TEST_F(properties, without_a_temperature_table_the_balance_is_grey_world_only) {
  plug_sensor_camera();
  kstandin::registry_set_dword(device_values(), "WhitebalanceMode", 1);
  feature_camera* cam = &start(colour_setup(&sensor, nullptr), family_controls::none);
  const reply r = range(cam, PROPSETID_VIDCAP_VIDEOPROCAMP, kVpaWhiteBalance);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.field(0), 0u);
  EXPECT_EQ(r.field(4), 0u);
  EXPECT_EQ(r.field(8), 0u);
  EXPECT_EQ(register_value(cam, feature_register::wb_mode), 0u);
  EXPECT_EQ(write_register(cam, feature_register::wb_mode, 1), STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(fill_settings().wb.temperature_mode);
  // Its document is not published; the image features' are.
  for (ULONG i = 0; i < cam->documents.count(); ++i) {
    ULONG size = 0;
    EXPECT_EQ(strstr(cam->documents.document(i, &size), "Whitebalance"), nullptr);
  }
  EXPECT_EQ(cam->documents.count(), 3u);
}

// One value of each feature as a client sets it, and what it reads back.
struct setting {
  const GUID* set;
  ULONG id;
  LONG value;
  LONG minimum, maximum, default_value;
  bool clamps = false;  // a value past the range is clamped, not refused
};

TEST_F(properties, every_feature_property_answers_its_range_and_keeps_its_value_across_a_restart) {
  plug_sensor_camera();
  sensor.has_focus = true;
  feature_camera* cam = &start(colour_setup(&sensor, builtin_temperature_table(1)), family_controls::sensor_unit);
  const setting settings[] = {
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, -20, -128, 128, 0},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_CONTRAST, 12, -50, 50, 0},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_HUE, -30, -180, 180, 0},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_SATURATION, 90, 0, 255, 64},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 5, 0, 14, 0},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAMMA, 80, 1, 500, 100},
      {&camera_feature_set, feature_id::colour_enhancement_enable, 1, 0, 1, 0},
      {&camera_feature_set, feature_id::colour_matrix_first + 1, -20, -256, 256, -13},
      {&camera_feature_set, feature_id::denoise, 7, 0, 25, 0},
      {&camera_feature_set, feature_id::highlight_reduction, 1, 0, 1, 0},
      {&camera_feature_set, feature_id::tone_mapping_enable, 1, 0, 1, 0},
      {&camera_extension_set, extension_id::exposure_auto_reference, 100, 0, 255, 128},
      {&camera_extension_set, extension_id::exposure_auto_max, 50, 0, 20000, 333},
      {&camera_extension_set, extension_id::exposure_auto_max_auto, 0, 0, 1, 1},
      {&camera_extension_set, extension_id::focus_left, 100, 0, 1280, 320, true},
      {&camera_extension_set, extension_id::focus_bottom, 900, 0, 960, 720, true},
      {&camera_extension_set, extension_id::focus_region_enable, 1, 0, 1, 0},
  };
  for (const setting& s : settings) {
    SCOPED_TRACE(testing::Message() << "id " << s.id);
    const reply r = range(cam, *s.set, s.id);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(LONG(r.field(0)), s.minimum);
    EXPECT_EQ(LONG(r.field(4)), s.maximum);
    EXPECT_EQ(LONG(r.field(8)), s.default_value);
    EXPECT_EQ(get(cam, *s.set, s.id).value(), s.default_value);
    if (s.maximum > 1) {
      EXPECT_EQ(set(cam, *s.set, s.id, s.maximum + 1), s.clamps ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
    }
    ASSERT_EQ(set(cam, *s.set, s.id, s.value), STATUS_SUCCESS);
  }
  // Registers: denoise is the same value; tone mapping's floats.
  EXPECT_EQ(register_value(cam, feature_register::denoise), 7u);
  ASSERT_EQ(write_register(cam, feature_register::tone_mapping_intensity, float_bits(-2.5f)), STATUS_SUCCESS);
  ASSERT_EQ(write_register(cam, feature_register::tone_mapping_auto, 0), STATUS_SUCCESS);

  cam = &restart();
  for (const setting& s : settings) {
    const reply r = get(cam, *s.set, s.id);
    EXPECT_EQ(r.status, STATUS_SUCCESS) << s.id;
    EXPECT_EQ(r.value(), s.value) << s.id;
    EXPECT_EQ(r.flags(), 2u) << s.id;
  }
  EXPECT_EQ(register_value(cam, feature_register::tone_mapping_intensity), float_bits(-2.5f));
  EXPECT_EQ(register_value(cam, feature_register::tone_mapping_auto), 0u);
  // A left edge beyond the sensor is clamped.
  ASSERT_EQ(set(cam, camera_extension_set, extension_id::focus_left, 5000), STATUS_SUCCESS);
  EXPECT_EQ(get(cam, camera_extension_set, extension_id::focus_left).value(), 1280);
}

TEST_F(properties, virtual_registers_are_four_bytes_and_floats_are_ieee_singles) {
  plug_sensor_camera();
  feature_camera* cam = &start(colour_setup(&sensor, builtin_temperature_table(2)), family_controls::none);
  // Short buffers, unknown registers, range queries.
  EXPECT_EQ(read_register(cam, feature_register::wb_temperature, 2).status, STATUS_INVALID_BUFFER_SIZE);
  EXPECT_EQ(write_register(cam, feature_register::denoise, 3, 3), STATUS_INVALID_BUFFER_SIZE);
  EXPECT_EQ(read_register(cam, 0x55).status, STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(write_register(cam, 0x55, 1), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(read_register(cam, feature_register::sensor_wdr).status, STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(request(cam, named_property_set, feature_register::denoise, property_request_range, 20).status,
            STATUS_NOT_IMPLEMENTED);
  // Reads report 4 bytes, even into a larger buffer.
  const reply r = read_register(cam, feature_register::wb_temperature, 8);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.returned, 4u);
  EXPECT_EQ(r.field(0), 6500u);

  const std::pair<ULONG, float> defaults[] = {
      {feature_register::tone_mapping_intensity, 0.5f}, {feature_register::tone_mapping_brightness, 0.5f},
      {feature_register::tone_mapping_a, 1.0f},         {feature_register::tone_mapping_b, 0.0f},
      {feature_register::tone_mapping_c, 1.0f},         {feature_register::tone_mapping_lum_avg, 0.0f}};
  for (const auto& d : defaults) EXPECT_EQ(register_value(cam, d.first), float_bits(d.second)) << d.first;
  EXPECT_EQ(write_register(cam, feature_register::tone_mapping_brightness, float_bits(0.25f)), STATUS_SUCCESS);
  EXPECT_EQ(write_register(cam, feature_register::tone_mapping_brightness, float_bits(1.5f)),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(write_register(cam, feature_register::tone_mapping_c, float_bits(std::nanf(""))),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(register_value(cam, feature_register::tone_mapping_brightness), float_bits(0.25f));
  // A boolean register takes any non-zero value as 1.
  ASSERT_EQ(write_register(cam, feature_register::highlight_reduction, 7), STATUS_SUCCESS);
  EXPECT_EQ(register_value(cam, feature_register::highlight_reduction), 1u);
}

TEST_F(properties, the_features_fill_the_transform_parameters_and_the_automatic_settings) {
  plug_sensor_camera();
  feature_camera* cam = &start(colour_setup(&sensor, builtin_temperature_table(3)), family_controls::none);
  ASSERT_EQ(set(cam, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_SATURATION, 40), STATUS_SUCCESS);
  ASSERT_EQ(set(cam, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_CONTRAST, -7), STATUS_SUCCESS);
  ASSERT_EQ(set(cam, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAMMA, 80), STATUS_SUCCESS);
  ASSERT_EQ(set(cam, camera_feature_set, feature_id::colour_enhancement_enable, 1), STATUS_SUCCESS);
  ASSERT_EQ(write_register(cam, feature_register::tone_mapping_enable, 1), STATUS_SUCCESS);
  ASSERT_EQ(write_register(cam, feature_register::highlight_reduction, 1), STATUS_SUCCESS);

  img::transform_params p = fill_params();
  EXPECT_EQ(p.saturation, 40 - 64);
  EXPECT_EQ(p.contrast, -35);
  EXPECT_EQ(p.gamma, 80);
  EXPECT_EQ(p.gamma_enable, 1);
  auto expected = std::make_unique<img::gamma_table>();
  img::build_gamma_lut(*expected, 80);
  EXPECT_EQ(memcmp(&p.gamma_lut, expected.get(), sizeof(img::gamma_table)), 0);
  EXPECT_EQ(p.color_matrix_enable, 1);
  const int16_t matrix[9] = {90, -13, -13, -13, 90, -13, -13, -13, 90};
  EXPECT_EQ(memcmp(p.color_matrix, matrix, sizeof(matrix)), 0);
  EXPECT_EQ(p.tonemapping_enable, 1);
  EXPECT_EQ(p.tonemapping_manual, 0);
  EXPECT_FLOAT_EQ(p.tonemapping_intensity, 0.5f);

  // Automatic tone mapping: the pipe's factors become the values.
  p.tonemapping_factors[0] = 2.0f;
  p.tonemapping_factors[3] = 0.375f;
  {
    feature_lock lock(&cam->group);
    cam->group.after_transform(p);
  }
  EXPECT_EQ(register_value(cam, feature_register::tone_mapping_a), float_bits(2.0f));
  EXPECT_EQ(register_value(cam, feature_register::tone_mapping_lum_avg), float_bits(0.375f));

  const img::auto_settings s = fill_settings();
  EXPECT_TRUE(s.highlight_protection);  // after the exposure feature cleared it
  EXPECT_TRUE(s.stat_matrix_enable);
  EXPECT_EQ(s.stat_matrix[0], 90);
  EXPECT_EQ(s.reference, 128);
  EXPECT_TRUE(s.exposure.auto_enabled);
  EXPECT_TRUE(s.gain.auto_enabled);
  EXPECT_EQ(s.exposure.value, 20000);
  EXPECT_FALSE(s.focus.enabled);  // no focus motor

  // Gamma back to 100 switches the table off.
  ASSERT_EQ(set(cam, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAMMA, 100), STATUS_SUCCESS);
  EXPECT_EQ(fill_params().gamma_enable, 0);
}

TEST_F(properties, a_mono_camera_and_a_camera_with_picture_controls_keep_what_is_theirs) {
  // A mono sensor camera: no white balance, colour matrix, hue or saturation.
  plug_sensor_camera("8416-mono");
  feature_setup setup = colour_setup(&sensor, builtin_temperature_table(0));
  setup.colour = false;
  feature_camera* cam = &start(setup, family_controls::sensor_unit);
  const std::pair<const GUID*, ULONG> absent[] = {
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_HUE},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_SATURATION},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, kVpaWhiteBalance},
      {&camera_extension_set, extension_id::whitebalance_red},
      {&camera_feature_set, feature_id::colour_enhancement_enable},
      {&named_property_set, feature_register::wb_temperature}};
  for (const auto& key : absent) EXPECT_EQ(get(cam, *key.first, key.second).status, STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(get(cam, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_SHARPNESS).status, STATUS_SUCCESS);
  img::transform_params p = fill_params();
  EXPECT_EQ(p.wb_enable, 0);
  EXPECT_EQ(p.saturation, 0);
  EXPECT_EQ(cam->documents.count(), 3u);  // highlight reduction, denoise, tone mapping

  // A camera whose processing unit has brightness to gamma keeps them: the
  // standard controls answer and the pipe leaves them alone.
  destroy();
  bus.unplug(pdo);
  plug(sim::default_camera_desc());
  cam = &start(colour_setup(&sensor, nullptr), family_controls::none);
  ASSERT_EQ(set(cam, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 10), STATUS_SUCCESS);
  EXPECT_EQ(sim_current(*sim_camera, 2, 2), 10);  // processing unit 2, brightness
  p = fill_params();
  EXPECT_EQ(p.brightness, 0);
  EXPECT_EQ(p.saturation, 0);
  EXPECT_EQ(p.gamma_enable, 0);
}

}  // namespace
}  // namespace featuretest
