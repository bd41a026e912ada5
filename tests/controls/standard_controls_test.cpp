// The standard controls as a client sees them: the controls a camera's
// descriptors declare, their values, ranges and automatic modes, the
// exposure units, the white-balance rows, and the driver-held mode.
#include "controls_support.h"

#include "../camera/camera_support.h"
#include "testdata.h"
#include "controls/control_registry.h"
#include "controls/uvc_control_records.h"
#include "usb/control_request.h"

namespace ctltest {
namespace {

using devtest::device_test;
using standard_controls = device_test;

constexpr uint8_t kCameraTerminal = 1;  // ids of the simulated camera's units
constexpr uint8_t kProcessingUnit = 2;

sim::uvc_camera_desc camera_with(uint32_t camera_controls, uint32_t processing_controls) {
  sim::uvc_camera_desc desc = sim::plain_camera_desc();
  desc.camera_controls = camera_controls;
  desc.processing_controls = processing_controls;
  return desc;
}

TEST_F(standard_controls, brightness_is_read_set_saved_and_its_range_is_on_the_item) {
  ASSERT_EQ(plug(), STATUS_SUCCESS);
  filter_ = open_filter();
  KSPROPERTY_VIDEOPROCAMP_S answer;
  ASSERT_EQ(get_standard(filter_, PROPSETID_VIDCAP_VIDEOPROCAMP, 0, &answer), STATUS_SUCCESS);
  EXPECT_EQ(answer.Value, 0);
  EXPECT_EQ(answer.Flags, ULONG(KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL));
  EXPECT_EQ(answer.Capabilities, ULONG(KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL));

  const item_range range = basic_support_range(filter_, PROPSETID_VIDCAP_VIDEOPROCAMP, 0);
  EXPECT_TRUE(range.present);
  EXPECT_EQ(range.minimum, -64);
  EXPECT_EQ(range.maximum, 64);
  EXPECT_EQ(range.default_value, 0);
  EXPECT_EQ(range.step, 1u);
  // A property the camera does not have answers nothing and has no range.
  EXPECT_FALSE(basic_support_range(filter_, PROPSETID_VIDCAP_VIDEOPROCAMP, 6).present);
  EXPECT_EQ(get_standard(filter_, PROPSETID_VIDCAP_VIDEOPROCAMP, 6, &answer), STATUS_NOT_IMPLEMENTED);

  ASSERT_EQ(set_standard(filter_, PROPSETID_VIDCAP_VIDEOPROCAMP, 0, -10), STATUS_SUCCESS);
  EXPECT_EQ(sim_value(*camera_, kProcessingUnit, 2, true), -10);
  const std::string values = device_key() + "\\DriverData";
  EXPECT_EQ(kstandin::registry_get_dword(values, "Brightness"), uint32_t(-10));

  // The camera refuses a value out of its range: nothing is saved, and the
  // driver still reports what the camera holds.
  EXPECT_NE(set_standard(filter_, PROPSETID_VIDCAP_VIDEOPROCAMP, 0, 100), STATUS_SUCCESS);
  EXPECT_EQ(kstandin::registry_get_dword(values, "Brightness"), uint32_t(-10));
  camera_->clear_requests();
  EXPECT_EQ(context()->camera->restore_controls(), STATUS_SUCCESS);
  bool sent = false;
  for (const set_cur& s : set_cur_requests(*camera_)) {
    if (s.entity == kProcessingUnit && s.selector == 2) {
      EXPECT_EQ(int16_t(s.value), -10);
      sent = true;
    }
  }
  EXPECT_TRUE(sent);
}

TEST_F(standard_controls, a_one_bit_processing_unit_yields_one_record_and_one_control) {
  ASSERT_EQ(plug(sim::uvc_camera::create(camera_with(0, 0x1))), STATUS_SUCCESS);
  uvc_camera* camera = context()->camera;
  ASSERT_EQ(camera->control_records().count(), 1u);
  const uvc_control_record& record = camera->control_records()[0];
  EXPECT_EQ(record.entity_type, control_entity_processing_unit);
  EXPECT_EQ(record.selector, 2u);
  EXPECT_EQ(record.length, 2u);
  EXPECT_EQ(record.unit_id, kProcessingUnit);
  ASSERT_EQ(camera->control_table().count(), 1u);
  EXPECT_TRUE(same_key(camera->control_table().entry(0).key, PROPSETID_VIDCAP_VIDEOPROCAMP, 0));

  filter_ = open_filter();
  KSPROPERTY_VIDEOPROCAMP_S answer;
  EXPECT_EQ(get_standard(filter_, PROPSETID_VIDCAP_VIDEOPROCAMP, 0, &answer), STATUS_SUCCESS);
  EXPECT_EQ(get_standard(filter_, PROPSETID_VIDCAP_VIDEOPROCAMP, 1, &answer), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(get_standard(filter_, PROPSETID_VIDCAP_CAMERACONTROL, 4, &answer), STATUS_NOT_IMPLEMENTED);
}

// Hue with its automatic mode: a change of mode writes only the mode; the
// value is written only when the mode stays.
TEST_F(standard_controls, hue_automatic_toggle_writes_only_the_mode) {
  ASSERT_EQ(plug(sim::uvc_camera::create(camera_with(0, (1u << 2) | (1u << 11)))), STATUS_SUCCESS);
  filter_ = open_filter();
  const std::string values = device_key() + "\\DriverData";
  KSPROPERTY_VIDEOPROCAMP_S answer;
  ASSERT_EQ(get_standard(filter_, PROPSETID_VIDCAP_VIDEOPROCAMP, 2, &answer), STATUS_SUCCESS);
  EXPECT_EQ(answer.Capabilities, 3u);
  EXPECT_EQ(answer.Flags, ULONG(KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL));

  const auto set_hue = [&](LONG value, ULONG flags) {
    EXPECT_EQ(set_standard(filter_, PROPSETID_VIDCAP_VIDEOPROCAMP, 2, value, flags), STATUS_SUCCESS);
  };
  EXPECT_EQ(sets_during(*camera_, [&] { set_hue(500, KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO); }), "2.16=1");
  EXPECT_EQ(sim_value(*camera_, kProcessingUnit, 6, true), 0);
  EXPECT_EQ(kstandin::registry_get_dword(values, "Hue.auto"), 1u);
  EXPECT_FALSE(kstandin::registry_get_dword(values, "Hue").has_value());
  ASSERT_EQ(get_standard(filter_, PROPSETID_VIDCAP_VIDEOPROCAMP, 2, &answer), STATUS_SUCCESS);
  EXPECT_EQ(answer.Flags, ULONG(KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO));

  // The mode stays automatic: the value goes to the camera.
  EXPECT_EQ(sets_during(*camera_, [&] { set_hue(500, KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO); }), "2.6=500");
  EXPECT_EQ(kstandin::registry_get_dword(values, "Hue"), 500u);

  // Back to manual: again only the mode.
  EXPECT_EQ(sets_during(*camera_, [&] { set_hue(-500, KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL); }), "2.16=0");
  EXPECT_EQ(sim_value(*camera_, kProcessingUnit, 6, true), 500);
}

// Camera control 4 is a base-2 logarithm of seconds, key 109 the camera's
// 100 us units; the first manual set leaves the automatic mode.
TEST_F(standard_controls, exposure_in_log2_seconds_and_in_100us) {
  ASSERT_EQ(plug(), STATUS_SUCCESS);
  filter_ = open_filter();
  KSPROPERTY_CAMERACONTROL_S answer;
  ASSERT_EQ(get_standard(filter_, PROPSETID_VIDCAP_CAMERACONTROL, 4,
                         reinterpret_cast<KSPROPERTY_VIDEOPROCAMP_S*>(&answer)),
            STATUS_SUCCESS);
  EXPECT_EQ(answer.Capabilities, 3u);
  EXPECT_EQ(answer.Flags, 3u);  // the camera starts in aperture-priority mode
  const item_range range = basic_support_range(filter_, PROPSETID_VIDCAP_CAMERACONTROL, 4);
  EXPECT_TRUE(range.present);
  EXPECT_EQ(range.minimum, -11);  // 3 x 100 us
  EXPECT_EQ(range.maximum, -2);   // 2047 x 100 us
  EXPECT_EQ(range.step, 1u);

  const auto set_exposure = [&] {
    EXPECT_EQ(set_standard(filter_, PROPSETID_VIDCAP_CAMERACONTROL, 4, -3), STATUS_SUCCESS);
  };
  EXPECT_EQ(sets_during(*camera_, set_exposure), "1.2=1");     // the mode only: manual
  EXPECT_EQ(sets_during(*camera_, set_exposure), "1.4=1250");  // 2^-3 s
  const std::string values = device_key() + "\\DriverData";
  EXPECT_EQ(kstandin::registry_get_dword(values, "Exposure"), 1250u);
  EXPECT_EQ(kstandin::registry_get_dword(values, "ExposureAuto"), 1u);

  camera_->set_current(kCameraTerminal, 4, {0x4C, 0x1D, 0, 0});  // 7500
  ASSERT_EQ(get_standard(filter_, PROPSETID_VIDCAP_CAMERACONTROL, 4,
                         reinterpret_cast<KSPROPERTY_VIDEOPROCAMP_S*>(&answer)),
            STATUS_SUCCESS);
  EXPECT_EQ(answer.Value, 0);
  EXPECT_EQ(answer.Flags, ULONG(KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL));
  scalar_record raw;
  ASSERT_EQ(get_scalar(filter_, extension_id::exposure, &raw), STATUS_SUCCESS);
  EXPECT_EQ(raw.value, 7500);
  EXPECT_EQ(raw.minimum, 3);
  EXPECT_EQ(raw.maximum, 2047);
  EXPECT_EQ(raw.capabilities, 3u);
  ASSERT_EQ(set_scalar(filter_, extension_id::exposure, 2000), STATUS_SUCCESS);
  EXPECT_EQ(sim_value(*camera_, kCameraTerminal, 4), 2000);
}

// Each real camera gets a standard control exactly where its descriptors
// declare the UVC control (or its automatic mode), and every one answers
// with a range on its item.
TEST_F(standard_controls, real_cameras_get_the_controls_their_descriptors_declare) {
  struct row {
    const GUID* set;
    ULONG id;
    uint8_t subtype;  // 2 camera terminal, 5 processing unit
    std::vector<int> bits;
  };
  const row rows[] = {
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, 0, 5, {0}},      {&PROPSETID_VIDCAP_VIDEOPROCAMP, 1, 5, {1}},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, 2, 5, {2, 11}},  {&PROPSETID_VIDCAP_VIDEOPROCAMP, 3, 5, {3}},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, 4, 5, {4}},      {&PROPSETID_VIDCAP_VIDEOPROCAMP, 5, 5, {5}},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, 7, 5, {6, 12, 13}}, {&PROPSETID_VIDCAP_VIDEOPROCAMP, 8, 5, {8}},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, 9, 5, {9}},      {&PROPSETID_VIDCAP_CAMERACONTROL, 6, 2, {5, 17}},
      {&PROPSETID_VIDCAP_CAMERACONTROL, 5, 2, {7}},     {&PROPSETID_VIDCAP_CAMERACONTROL, 3, 2, {9}},
      {&PROPSETID_VIDCAP_CAMERACONTROL, 2, 2, {13}},    {&PROPSETID_VIDCAP_CAMERACONTROL, 4, 2, {3}},
      {&camera_extension_set, extension_id::whitebalance_red, 5, {7}},
      {&camera_extension_set, extension_id::exposure, 2, {3}},
  };
  int present = 0;
  for (const char* name : {"logitech_c270", "canyon_cne_cwc2", "trust_webcam", "anker_powerconf_c200",
                           "dual_tusb"}) {
    SCOPED_TRACE(name);
    auto device = sim::uvc_camera::from_files(tvtest::uvc_descriptor_dir(), name);
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(plug(device), STATUS_SUCCESS);
    auto declared = [&](const row& r) {
      for (const sim::uvc_entity_info& e : device->entities()) {
        const bool camera_terminal = e.subtype == 2 && e.terminal_type == 0x0201;
        if (!(r.subtype == 2 ? camera_terminal : e.subtype == 5)) continue;
        for (int bit : r.bits) {
          if (size_t(bit / 8) < e.bm_controls.size() && (e.bm_controls[bit / 8] >> (bit % 8)) & 1) return true;
        }
        return false;  // the first unit of its kind only
      }
      return false;
    };
    filter_ = open_filter();
    for (const row& r : rows) {
      SCOPED_TRACE(r.id);
      const bool registered = context()->camera->control_table().find(*r.set, r.id) != nullptr;
      EXPECT_EQ(registered, declared(r));
      if (!registered) continue;
      ++present;
      if (same_guid(*r.set, camera_extension_set)) {
        scalar_record answer;
        EXPECT_EQ(get_scalar(filter_, r.id, &answer), STATUS_SUCCESS);
      } else {
        KSPROPERTY_VIDEOPROCAMP_S answer;
        EXPECT_EQ(get_standard(filter_, *r.set, r.id, &answer), STATUS_SUCCESS);
        EXPECT_TRUE(basic_support_range(filter_, *r.set, r.id).present);
      }
    }
    close_client();
    remove();
  }
  EXPECT_GT(present, 20);
}

TEST(exposure_units, conversions_at_their_boundaries) {
  EXPECT_EQ(seconds_log2_to_100us(0), 10000u);
  EXPECT_EQ(seconds_log2_to_100us(-3), 1250u);
  EXPECT_EQ(seconds_log2_to_100us(3), 80000u);
  EXPECT_EQ(seconds_log2_to_100us(40), MAXULONG);  // saturates
  EXPECT_EQ(seconds_log2_to_100us(-40), 0u);
  EXPECT_EQ(us100_to_seconds_log2(7500), 0);
  EXPECT_EQ(us100_to_seconds_log2(5001), 0);
  EXPECT_EQ(us100_to_seconds_log2(5000), -1);
  EXPECT_EQ(us100_to_seconds_log2(1), -13);
  EXPECT_EQ(us100_to_seconds_log2(0), -14);
  EXPECT_EQ(us100_to_seconds_log2(ULONG(-5)), -14);
  EXPECT_EQ(us100_to_seconds_log2(10000), 0);
  EXPECT_EQ(us100_to_seconds_log2(39999), 1);
  EXPECT_EQ(us100_to_seconds_log2(40000), 2);
}

// With the white-balance-component automatic mode, VPA 7 is that mode only;
// the components are keys 101 (blue) and 102 (red).
TEST_F(standard_controls, both_white_balance_rows_leave_vpa_7_to_the_component_mode) {
  const uint32_t temperature = 1u << 6, component = 1u << 7, temperature_auto = 1u << 12,
                 component_auto = 1u << 13;
  ASSERT_EQ(plug(sim::uvc_camera::create(
                camera_with(0, temperature | component | temperature_auto | component_auto))),
            STATUS_SUCCESS);
  filter_ = open_filter();
  KSPROPERTY_VIDEOPROCAMP_S answer;
  ASSERT_EQ(get_standard(filter_, PROPSETID_VIDCAP_VIDEOPROCAMP, 7, &answer), STATUS_SUCCESS);
  EXPECT_EQ(answer.Capabilities, ULONG(KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO));
  EXPECT_EQ(answer.Flags, ULONG(KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO));  // camera default: on
  EXPECT_EQ(sets_during(*camera_, [&] {
              EXPECT_EQ(set_standard(filter_, PROPSETID_VIDCAP_VIDEOPROCAMP, 7, 5000), STATUS_SUCCESS);
            }),
            "2.13=0");
  EXPECT_EQ(sim_value(*camera_, kProcessingUnit, 10), 4600);  // the temperature is untouched

  scalar_record red, blue;
  ASSERT_EQ(get_scalar(filter_, extension_id::whitebalance_red, &red), STATUS_SUCCESS);
  ASSERT_EQ(get_scalar(filter_, extension_id::whitebalance_blue, &blue), STATUS_SUCCESS);
  EXPECT_EQ(red.value, 0x200);
  EXPECT_EQ(red.maximum, 0x3FF);
  EXPECT_EQ(red.flags, 2u);
  EXPECT_EQ(blue.value, 0x200);
  ASSERT_EQ(set_scalar(filter_, extension_id::whitebalance_red, 0x123), STATUS_SUCCESS);
  EXPECT_EQ(sim_value(*camera_, kProcessingUnit, 12), 0x01230200);
  EXPECT_EQ(kstandin::registry_get_dword(device_key() + "\\DriverData", "WhitebalanceComponent"),
            0x01230200u);
}

// A family marks a record driver-held: the camera is read once, later reads
// keep the value the driver last set.
class held_camera : public camtest::camera_view {
 public:
  using camera_view::camera_view;
  NTSTATUS on_init_begin() override {
    uvc_control_record* record = find_control(this, control_entity_processing_unit, 2);
    if (record != nullptr) record->mode = control_mode_driver_held;
    return STATUS_SUCCESS;
  }
};

using driver_held = camtest::camera_fixture;

TEST_F(driver_held, a_held_record_reads_the_camera_once_and_then_keeps_its_own_value) {
  plug(camera_with(0, 0x1));
  auto* camera = new (NonPagedPoolNx, pool_tag::objects) held_camera(pdo, sink_.get());
  cam = camera;
  ASSERT_EQ(camera->init(), STATUS_SUCCESS);
  uvc_control_record* record = find_control(camera, control_entity_processing_unit, 2);
  ASSERT_NE(record, nullptr);

  auto reads = [&] {
    size_t n = 0;
    for (const auto& r : sim_camera->control_requests()) n += r.setup.request == sim::uvc::GET_CUR;
    return n;
  };
  sim_camera->set_current(kProcessingUnit, 2, {7, 0});
  sim_camera->clear_requests();
  EXPECT_EQ(control_record_request(camera, record, uvc_request_code::get_cur), STATUS_SUCCESS);
  EXPECT_EQ(control_record_request(camera, record, uvc_request_code::get_cur), STATUS_SUCCESS);
  EXPECT_EQ(reads(), 1u);
  EXPECT_EQ(control_value(record, record->current), 0);  // the driver's value, not the camera's 7

  ASSERT_EQ(write_control_record(camera, record, 20), STATUS_SUCCESS);
  sim_camera->set_current(kProcessingUnit, 2, {9, 0});
  sim_camera->clear_requests();
  EXPECT_EQ(control_record_request(camera, record, uvc_request_code::get_cur), STATUS_SUCCESS);
  EXPECT_EQ(control_record_request(camera, record, uvc_request_code::get_cur), STATUS_SUCCESS);
  EXPECT_EQ(reads(), 1u);
  EXPECT_EQ(control_value(record, record->current), 20);

  // Power-up reads the camera again (its answer still does not count).
  EXPECT_EQ(camera->restore_controls(), STATUS_SUCCESS);
  sim_camera->clear_requests();
  EXPECT_EQ(control_record_request(camera, record, uvc_request_code::get_cur), STATUS_SUCCESS);
  EXPECT_EQ(reads(), 1u);
  EXPECT_EQ(control_value(record, record->current), 20);
}

}  // namespace
}  // namespace ctltest
