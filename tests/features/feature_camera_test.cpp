// What the features send to the camera: the automatic flags over the
// family's exposure and gain with manual values passed down to them, the
// loops' exposure, gain and focus for the work item, white-balance gains
// for a camera that applies them itself, and the IMX236's wide dynamic
// range in the camera's register.
#include "features_support.h"

namespace featuretest {
namespace {

using camera_writes = feature_fixture;

constexpr uint8_t kUnit2 = 2;  // the raw models' extension unit
constexpr uint8_t kSelExposureUs = 27;

uint32_t sim_register(const sim::uvc_camera& camera, uint8_t entity, uint8_t selector) {
  const auto control = camera.control(entity, selector);
  if (!control) return 0xFFFFFFFF;
  uint32_t v = 0;
  for (size_t i = 0; i < control->cur.size() && i < 4; ++i) v |= uint32_t(control->cur[i]) << (8 * i);
  return v;
}

TEST_F(camera_writes, automation_flags_sit_over_the_familys_exposure_and_gain) {
  plug_sensor_camera();
  feature_camera* cam = &start(colour_setup(&sensor, nullptr), family_controls::sensor_unit);
  // The family's exposure answers the value; the feature the flag.
  reply r = get(cam, PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_EXPOSURE);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.flags(), 1u);
  EXPECT_EQ(r.field(32) & 3u, 3u);
  EXPECT_EQ(get(cam, camera_extension_set, extension_id::exposure).flags() & 1u, 1u);
  EXPECT_EQ(get(cam, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAIN).flags(), 1u);

  // A manual exposure: the first set switches the loops off (saved), the
  // next reaches the camera through the family's control.
  ASSERT_EQ(set(cam, camera_extension_set, extension_id::exposure, 50), STATUS_SUCCESS);
  EXPECT_FALSE(fill_settings().exposure.auto_enabled);
  EXPECT_EQ(kstandin::registry_get_dword(device_values(), "ExposureAuto"), 0u);
  ASSERT_EQ(set(cam, camera_extension_set, extension_id::exposure, 50), STATUS_SUCCESS);
  EXPECT_EQ(sim_register(*sensor_camera, kUnit2, kSelExposureUs), 5000u);  // 50 x 100 us
  r = get(cam, camera_extension_set, extension_id::exposure);
  EXPECT_EQ(r.value(), 50);
  EXPECT_EQ(r.flags() & 3u, 2u);
  // Gain likewise; switching back to automatic touches no value.
  ASSERT_EQ(set(cam, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAIN, 128), STATUS_SUCCESS);
  ASSERT_EQ(set(cam, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAIN, 128), STATUS_SUCCESS);
  EXPECT_EQ(get(cam, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAIN).value(), 128);
  ASSERT_EQ(set(cam, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAIN, 64,
                KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO),
            STATUS_SUCCESS);
  EXPECT_EQ(get(cam, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAIN).value(), 128);
  EXPECT_TRUE(fill_settings().gain.auto_enabled);

  // The automatic maximum bounds the loops' exposure once it is manual:
  // 50 x 100 us in the sensor's microseconds.
  ASSERT_EQ(set(cam, camera_extension_set, extension_id::exposure_auto_max, 50), STATUS_SUCCESS);
  EXPECT_EQ(fill_settings().exposure.max, 1000000);
  ASSERT_EQ(set(cam, camera_extension_set, extension_id::exposure_auto_max_auto, 0), STATUS_SUCCESS);
  EXPECT_EQ(fill_settings().exposure.max, 5000);

  // The restart keeps the manual exposure and the automatic gain.
  cam = &restart();
  const img::auto_settings s = fill_settings();
  EXPECT_FALSE(s.exposure.auto_enabled);
  EXPECT_TRUE(s.gain.auto_enabled);
  EXPECT_EQ(s.exposure.max, 5000);
}

TEST_F(camera_writes, the_loops_changes_reach_the_work_item_gain_focus_exposure_in_that_order) {
  plug_sensor_camera();
  sensor.has_focus = true;
  feature_camera* cam = &start(colour_setup(&sensor, nullptr), family_controls::sensor_unit);

  // One-push focus starts a search on the next frame only.
  EXPECT_EQ(get(cam, camera_extension_set, extension_id::one_push_focus).value(), 0);
  ASSERT_EQ(set(cam, camera_extension_set, extension_id::one_push_focus, 1), STATUS_SUCCESS);
  EXPECT_EQ(get(cam, camera_extension_set, extension_id::one_push_focus).value(), 1);
  ASSERT_EQ(set(cam, camera_extension_set, extension_id::focus_region_enable, 1), STATUS_SUCCESS);
  img::auto_settings s = fill_settings();
  EXPECT_TRUE(s.focus.enabled);
  EXPECT_TRUE(s.focus.start);
  EXPECT_TRUE(s.focus.region_enabled);
  EXPECT_EQ(s.focus.region.left, 320);
  EXPECT_EQ(s.focus.region.bottom, 720);
  EXPECT_EQ(s.focus.range_max, 1000);

  img::auto_result result = {};
  result.valid = true;
  result.exposure = s.exposure.value * 2;
  result.gain = 96;
  result.wb_r = result.wb_g = result.wb_b = 64;
  result.focus_move = true;
  result.focus_searching = true;
  result.focus_position = 730;
  auto_changes changes;
  ASSERT_TRUE(take_result(result, s, &changes));
  EXPECT_TRUE(changes.exposure_changed);
  EXPECT_EQ(changes.exposure, s.exposure.value * 2);
  EXPECT_TRUE(changes.gain_changed);
  EXPECT_TRUE(changes.focus_changed);
  EXPECT_FALSE(changes.white_balance_changed);  // the driver applies the gains
  EXPECT_FALSE(fill_settings().focus.start);
  EXPECT_EQ(get(cam, camera_extension_set, extension_id::one_push_focus).value(), 1);  // searching

  // A later frame's changes merge into the pending ones.
  auto_changes later = {};
  later.gain_changed = true;
  later.gain = 100;
  merge_auto_changes(changes, later);
  ASSERT_EQ(cam->group.write_to_camera(cam, changes), STATUS_SUCCESS);
  const std::vector<std::pair<char, LONG>> expected = {{'g', 100}, {'f', 730}, {'e', s.exposure.value * 2}};
  EXPECT_EQ(sensor.writes, expected);

  // Manual exposure: the loops' values are not taken.
  ASSERT_EQ(set(cam, PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_EXPOSURE, 0), STATUS_SUCCESS);
  s = fill_settings();
  result.exposure = s.exposure.value + 1;
  result.gain = s.gain.value;
  result.focus_move = false;
  EXPECT_FALSE(take_result(result, s, &changes));
}

TEST_F(camera_writes, a_camera_with_colour_channels_of_its_own_gets_the_gains) {
  // The vendor unit's white-balance registers 6, 7, 8 (red, green, blue).
  sim::uvc_camera_desc d = sim::default_camera_desc();
  d.processing_controls = 0;
  sim::uvc_extension_unit_desc unit;
  unit.unit_id = 4;
  unit.guid = sim::kVendorExtensionGuid;
  unit.bm_controls = {0xE0, 0, 0};  // selectors 6, 7, 8
  unit.num_controls = 3;
  d.extension_units = {unit};
  plug(d);
  feature_camera* cam = &start(colour_setup(&sensor, builtin_temperature_table(2)), family_controls::vendor_unit);

  img::transform_params p = fill_params();
  EXPECT_EQ(p.wb_enable, 0);
  img::auto_settings s = fill_settings();
  EXPECT_FALSE(s.wb.grey_search);
  img::auto_result result = {};
  result.valid = true;
  result.exposure = s.exposure.value;
  result.gain = s.gain.value;
  result.wb_r = 70, result.wb_g = 64, result.wb_b = 90;
  auto_changes changes;
  ASSERT_TRUE(take_result(result, s, &changes));
  ASSERT_TRUE(changes.white_balance_changed);
  ASSERT_EQ(cam->group.write_to_camera(cam, changes), STATUS_SUCCESS);
  EXPECT_EQ(sim_register(*sim_camera, 4, 6), 70u);
  EXPECT_EQ(sim_register(*sim_camera, 4, 7), 64u);
  EXPECT_EQ(sim_register(*sim_camera, 4, 8), 90u);

  // A manual gain goes to the camera as well.
  ASSERT_EQ(write_register(cam, feature_register::wb_auto, 0), STATUS_SUCCESS);
  ASSERT_EQ(write_register(cam, feature_register::wb_blue, 75), STATUS_SUCCESS);
  EXPECT_EQ(sim_register(*sim_camera, 4, 8), 75u);
  EXPECT_EQ(register_value(cam, feature_register::wb_blue), 75u);
}

TEST_F(camera_writes, the_imx236_wide_dynamic_range_is_the_cameras_register) {
  // The sensor unit with selector 49 (0..1).
  sim::uvc_camera_desc d = sim::default_camera_desc();
  sim::uvc_extension_unit_desc unit;
  unit.unit_id = 4;
  unit.guid = sim::kSensorExtensionGuid;
  unit.bm_controls = {0, 0, 0, 0, 0, 0, 0x01};
  unit.num_controls = 1;
  sim::uvc_control wdr;
  wdr.selector = 49;
  wdr.length = 4;
  wdr.min = wdr.def = wdr.cur = {0, 0, 0, 0};
  wdr.max = wdr.res = {1, 0, 0, 0};
  unit.controls = {wdr};
  d.extension_units = {unit};
  plug(d);
  feature_setup setup = colour_setup(&sensor, nullptr);
  setup.sensor_code = 0x800A;
  feature_camera* cam = &start(setup, family_controls::none);

  EXPECT_EQ(register_value(cam, feature_register::sensor_wdr), 0u);
  EXPECT_EQ(read_register(cam, feature_register::sensor_wdr, 3).status, STATUS_INVALID_BUFFER_SIZE);
  EXPECT_EQ(write_register(cam, feature_register::sensor_wdr, 1, 2), STATUS_INVALID_BUFFER_SIZE);
  ASSERT_EQ(write_register(cam, feature_register::sensor_wdr, 1), STATUS_SUCCESS);
  EXPECT_EQ(sim_register(*sim_camera, 4, 49), 1u);
  EXPECT_EQ(kstandin::registry_get_dword(device_values(), "SensorWDREnable"), 1u);
  // A value the camera refuses is reported and not saved.
  EXPECT_NE(write_register(cam, feature_register::sensor_wdr, 5), STATUS_SUCCESS);
  EXPECT_EQ(kstandin::registry_get_dword(device_values(), "SensorWDREnable"), 1u);

  // The saved value reaches the camera again at the next start.
  sim_camera->set_current(4, 49, {0, 0, 0, 0});
  cam = &restart();
  EXPECT_EQ(sim_register(*sim_camera, 4, 49), 1u);
  EXPECT_EQ(register_value(cam, feature_register::sensor_wdr), 1u);

  // Another sensor has none.
  setup.sensor_code = 0x8009;
  cam = &start(setup, family_controls::none);
  EXPECT_EQ(read_register(cam, feature_register::sensor_wdr).status, STATUS_NOT_IMPLEMENTED);
}

}  // namespace
}  // namespace featuretest
