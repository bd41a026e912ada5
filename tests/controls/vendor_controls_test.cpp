// Vendor controls as a camera family registers them: the registration
// rules, the automatic modes over the standard controls, the records of
// strobe, trigger and key 122, the camera terminal's focus, the regions,
// the sensor unit's exposure, and the video-control mode built on them.
#include "controls_support.h"

#include "../camera/camera_support.h"
#include "avstream/device.h"
#include "controls/property_handler.h"
#include "controls/property_request.h"
#include "controls/region_controls.h"
#include "controls/sensor_controls.h"

#include <regex>

namespace ctltest {
namespace {

constexpr uint8_t kCameraTerminal = 1;
constexpr uint8_t kProcessingUnit = 2;
constexpr uint8_t kUnit = 4;  // the first extension unit's id

// A family-like camera: registers the vendor controls in on_init_begin.
class family_camera : public camtest::camera_view {
 public:
  family_camera(PDEVICE_OBJECT pdo, frame_sink* sink, int table) : camera_view(pdo, sink), table_(table) {}
  NTSTATUS on_init_begin() override {
    if (table_ == 0) return register_vendor_unit_controls(this, vendor_unit_registers::extension_unit);
    if (table_ == 1) {
      NTSTATUS status =
          register_vendor_unit_controls(this, vendor_unit_registers::extension_unit_then_terminal);
      if (NT_SUCCESS(status)) status = register_region_of_interest(this, &region);
      if (NT_SUCCESS(status)) status = register_focus_region(this);
      return status;
    }
    return register_sensor_unit_controls(this, sensor_unit_family::sensor_cameras);
  }
  region_control* region = nullptr;

 private:
  int table_;
};

// A record of `size` bytes sent through property_request, value and flags
// at their offsets for a set.
struct request {
  std::vector<uint8_t> data;
  ULONG returned = 0;
  NTSTATUS status = STATUS_SUCCESS;
  uint32_t field(size_t offset) const {
    uint32_t v;
    memcpy(&v, data.data() + offset, 4);
    return v;
  }
};
request send(uvc_camera* camera, const GUID& set, ULONG id, ULONG flags, size_t size,
             LONG value = 0, ULONG value_flags = 2) {
  request r;
  r.data.assign(size, 0);
  if (size >= 32) {
    memcpy(r.data.data() + 24, &value, 4);
    memcpy(r.data.data() + 28, &value_flags, 4);
  }
  r.status = property_request(camera, set, id, flags, r.data.data() + (size > 24 ? 24 : 0),
                              ULONG(size > 24 ? size - 24 : 0), r.data.data(), ULONG(size), &r.returned);
  return r;
}

sim::uvc_camera_desc vendor_camera(std::vector<uint8_t> bits, uint32_t camera_controls = 0x0A,
                                   uint32_t processing_controls = 0x0241) {
  sim::uvc_camera_desc desc = sim::plain_camera_desc();
  desc.camera_controls = camera_controls;
  desc.processing_controls = processing_controls;  // brightness, white balance, gain
  sim::uvc_extension_unit_desc unit;
  unit.guid = vendor_extension_unit;
  unit.bm_controls = std::move(bits);
  desc.extension_units.push_back(unit);
  return desc;
}

// bmControls with the bits of these selectors (bit = selector - 1).
std::vector<uint8_t> selectors(std::initializer_list<int> list, size_t bytes = 5) {
  std::vector<uint8_t> bits(bytes, 0);
  for (int s : list) bits[(s - 1) / 8] |= uint8_t(1u << ((s - 1) % 8));
  return bits;
}

class vendor_controls : public camtest::camera_fixture {
 protected:
  family_camera& start(std::shared_ptr<sim::uvc_camera> device, int table = 0) {
    plug(std::move(device));
    auto* camera = new (NonPagedPoolNx, pool_tag::objects) family_camera(pdo, sink_.get(), table);
    cam = camera;
    EXPECT_EQ(camera->init(), STATUS_SUCCESS);
    return *camera;
  }
  family_camera& start(const sim::uvc_camera_desc& desc, int table = 0) {
    return start(sim::uvc_camera::create(desc), table);
  }
};

TEST_F(vendor_controls, the_table_follows_the_rules_and_the_automatic_gain_sits_over_the_standard) {
  // A camera whose standard exposure has its automatic mode gets no
  // "ExposureAuto"; gain has none, so "GainAuto" goes over it.
  family_camera& camera = start(vendor_camera(selectors({1, 6, 8, 10, 12, 13, 14, 15, 20, 21, 22, 33})));
  const control_entry* exposure = camera.control_table().find(PROPSETID_VIDCAP_CAMERACONTROL, 4);
  ASSERT_NE(exposure, nullptr);
  EXPECT_EQ(exposure->levels[control_level_family], nullptr);
  const control_entry* gain = camera.control_table().find(PROPSETID_VIDCAP_VIDEOPROCAMP, 9);
  ASSERT_NE(gain, nullptr);
  EXPECT_NE(gain->levels[control_level_base], nullptr);
  EXPECT_NE(gain->levels[control_level_family], nullptr);
  // The plain camera's key 102 (component red) is not there, so the
  // extension unit's red is registered; green's bit is missing.
  EXPECT_NE(camera.control_table().find(camera_extension_set, extension_id::whitebalance_red), nullptr);
  EXPECT_EQ(camera.control_table().find(camera_extension_set, extension_id::whitebalance_green), nullptr);

  request r = send(&camera, PROPSETID_VIDCAP_VIDEOPROCAMP, 9, 1, 40);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.field(28), 2u);  // manual: the unit's register is 0
  EXPECT_EQ(r.field(32), 2u);
  const auto automatic_gain = [&] {
    EXPECT_EQ(send(&camera, PROPSETID_VIDCAP_VIDEOPROCAMP, 9, 2, 40, 50, 1).status, STATUS_SUCCESS);
  };
  EXPECT_EQ(sets_during(*sim_camera, automatic_gain), "4.14=1");
  EXPECT_EQ(kstandin::registry_get_dword(device_values(), "GainAuto"), 1u);
  r = send(&camera, PROPSETID_VIDCAP_VIDEOPROCAMP, 9, 1, 40);
  EXPECT_EQ(r.field(28), 3u);  // the automatic flag joins the standard answer
  // Mode unchanged: the value goes to the processing unit, manual.
  EXPECT_EQ(sets_during(*sim_camera, automatic_gain), "2.4=50");

  // The white-balance mode goes over the standard white balance, which
  // keeps writing its temperature.
  EXPECT_NE(camera.control_table().find(PROPSETID_VIDCAP_VIDEOPROCAMP, 7)->levels[control_level_family],
            nullptr);
  ASSERT_EQ(send(&camera, PROPSETID_VIDCAP_VIDEOPROCAMP, 7, 2, 40, 5000).status, STATUS_SUCCESS);
  EXPECT_EQ(sim_value(*sim_camera, kProcessingUnit, 10), 5000);
}

TEST_F(vendor_controls, exposure_auto_joins_an_exposure_without_its_own_mode) {
  family_camera& camera = start(vendor_camera(selectors({13, 15}), 0x08, 0));
  const control_entry* exposure = camera.control_table().find(PROPSETID_VIDCAP_CAMERACONTROL, 4);
  ASSERT_NE(exposure, nullptr);
  ASSERT_NE(exposure->levels[control_level_family], nullptr);
  EXPECT_EQ(exposure->levels[control_level_family],
            camera.control_table().find(camera_extension_set, extension_id::exposure)->levels[1]);
  sim_camera->set_current(kUnit, 13, {1, 0, 0, 0});
  request r = send(&camera, camera_extension_set, extension_id::exposure, 1, 48);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.field(28), 3u);  // flags: automatic and manual
  EXPECT_EQ(r.field(32), 3u);  // capabilities gain the automatic bit on the own key
  r = send(&camera, PROPSETID_VIDCAP_CAMERACONTROL, 4, 1, 40);
  EXPECT_EQ(r.field(28), 3u);
  EXPECT_EQ(r.field(32), 2u);  // the standard key keeps the standard capabilities

  // Without a standard white balance the mode stands alone at level 0: it
  // switches, and a manual value has nowhere to go.
  EXPECT_EQ(send(&camera, PROPSETID_VIDCAP_VIDEOPROCAMP, 7, 2, 40, 5000).status, STATUS_NOT_IMPLEMENTED);
  ASSERT_EQ(send(&camera, PROPSETID_VIDCAP_VIDEOPROCAMP, 7, 2, 40, 0, 1).status, STATUS_SUCCESS);
  EXPECT_EQ(sim_value(*sim_camera, kUnit, 15), 1);
  EXPECT_EQ(send(&camera, PROPSETID_VIDCAP_VIDEOPROCAMP, 7, 1, 40).field(28), 1u);
}

TEST_F(vendor_controls, strobe_trigger_and_the_pair_register_records) {
  family_camera& camera = start(vendor_camera(selectors({1, 10, 22, 33})));
  // Strobe: 88 bytes or nothing.
  EXPECT_EQ(send(&camera, camera_extension_set, extension_id::strobe, 1, 87).status,
            STATUS_BUFFER_TOO_SMALL);
  sim_camera->set_current(kUnit, 22, {3, 0, 0, 0});
  request r = send(&camera, camera_extension_set, extension_id::strobe, 1, 88);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.returned, 88u);
  EXPECT_EQ(r.field(24), 1u);
  EXPECT_EQ(r.field(60), 1u);
  EXPECT_EQ(r.field(64), 1u);
  EXPECT_EQ(r.field(68), 1u);
  EXPECT_EQ(r.field(72), 6u);
  r.data.assign(88, 0);
  uint32_t one = 1;
  memcpy(r.data.data() + 60, &one, 4);  // polarity only
  ASSERT_EQ(property_request(&camera, camera_extension_set, extension_id::strobe, 2, r.data.data() + 24,
                             64, r.data.data(), 88, &r.returned),
            STATUS_SUCCESS);
  EXPECT_EQ(sim_value(*sim_camera, kUnit, 22), 2);
  EXPECT_EQ(kstandin::registry_get_dword(device_values(), "StrobeEnable"), 2u);

  // Trigger words: register bit 0 clear is "enabled" (0x4), bit 1 the
  // polarity; the camera's maximum offers the polarity.
  r = send(&camera, camera_extension_set, extension_id::trigger, 1, 48);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.field(24), 0x4u);
  EXPECT_EQ(r.field(32), 0x02000004u);
  EXPECT_EQ(send(&camera, camera_extension_set, extension_id::software_trigger, 2, 48, 0, 8).status,
            STATUS_INVALID_PARAMETER);  // only while register bit 0 is set
  ASSERT_EQ(send(&camera, camera_extension_set, extension_id::trigger, 2, 48, 0x02000000).status,
            STATUS_SUCCESS);
  EXPECT_EQ(sim_value(*sim_camera, kUnit, 1), 3);
  EXPECT_EQ(kstandin::registry_get_dword(device_values(), "TriggerFlags"), 3u);
  EXPECT_EQ(sets_during(*sim_camera, [&] {
              EXPECT_EQ(send(&camera, camera_extension_set, extension_id::software_trigger, 2, 48, 0, 2).status,
                        STATUS_SUCCESS);
            }),
            "");  // manual with 0: nothing
  ASSERT_EQ(send(&camera, camera_extension_set, extension_id::software_trigger, 2, 48, 0, 8).status,
            STATUS_SUCCESS);
  EXPECT_EQ(sim_value(*sim_camera, kUnit, 10), 1);

  // Key 122: bit 1 and bit 0 of the register, then 1 and 1.
  sim_camera->set_current(kUnit, 33, {2, 0, 0, 0});
  r = send(&camera, camera_extension_set, extension_id::pair_register, 1, 40);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.field(24), 1u);
  EXPECT_EQ(r.field(28), 0u);
  EXPECT_EQ(r.field(32), 1u);
  EXPECT_EQ(r.field(36), 1u);
  EXPECT_EQ(send(&camera, camera_extension_set, extension_id::pair_register, 2, 39).status,
            STATUS_INVALID_PARAMETER);
  ASSERT_EQ(send(&camera, camera_extension_set, extension_id::pair_register, 2, 40, 0, 1).status,
            STATUS_SUCCESS);  // the second field (offset 28) holds 1
  EXPECT_EQ(sim_value(*sim_camera, kUnit, 33), 1);
}

// The video-control mode built on the trigger and the flips, through the
// property routes.
TEST_F(vendor_controls, video_control_mode_without_trigger_sets_only_the_flips) {
  family_camera& camera = start(vendor_camera(selectors({20, 21})));
  device_context context(nullptr);
  context.camera = &camera;
  KSPROPERTY_VIDEOCONTROL_MODE_S mode = {};
  mode.Property = kstandin::ks_make_property(PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_MODE,
                                             KSPROPERTY_TYPE_SET);
  mode.Mode = 3;
  KSPROPERTY_VIDEOCONTROL_MODE_S data = mode;
  property_call call = {};
  call.property = &mode.Property;
  call.extra_input = reinterpret_cast<uint8_t*>(&mode) + 24;
  call.extra_input_length = 8;
  call.data = &data;
  call.data_length = sizeof(data);
  EXPECT_EQ(sets_during(*sim_camera, [&] { EXPECT_EQ(dispatch_property(&context, &call), STATUS_SUCCESS); }),
            "4.20=1 4.21=1");

  KSPROPERTY_VIDEOCONTROL_CAPS_S caps = {};
  caps.Property = kstandin::ks_make_property(PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_CAPS,
                                             KSPROPERTY_TYPE_GET);
  call = {};
  call.property = &caps.Property;
  call.data = &caps;
  call.data_length = sizeof(caps);
  EXPECT_EQ(dispatch_property(&context, &call), STATUS_SUCCESS);
  EXPECT_EQ(caps.VideoControlCaps, 3u);
  context.camera = nullptr;  // the fixture owns it
}

TEST_F(vendor_controls, terminal_focus_region_of_interest_and_focus_region) {
  sim::uvc_camera_desc desc = vendor_camera(selectors({2, 3, 4, 12, 18, 19}));
  auto device = sim::uvc_camera::create(desc);
  sim::uvc_control capability;
  capability.entity = kCameraTerminal;
  capability.selector = 32;
  capability.length = 4;
  capability.range_checked = false;
  capability.cur = {0x00, 0x40, 0, 0};  // focus present
  device->define_control(capability);
  sim::uvc_control focus = capability;
  focus.selector = 65;
  focus.length = 3;  // takes "A0\r"
  device->define_control(focus);
  sim::uvc_control offset;
  offset.entity = kUnit;
  offset.length = 4;
  offset.range_checked = false;
  offset.min = {0, 0, 0, 0};
  offset.max = {100, 0, 0, 0};
  offset.cur = {0, 0, 0, 0};
  for (uint8_t s : {2, 3}) {
    offset.selector = s;
    device->define_control(offset);
  }
  offset.selector = 4;
  offset.max = {4, 0, 0, 0};
  device->define_control(offset);
  family_camera* camera = &start(device, 1);

  // Focus: out of range sends nothing; 0 is the text "A0\r".
  sim_camera->clear_requests();
  EXPECT_EQ(send(camera, PROPSETID_VIDCAP_CAMERACONTROL, 6, 2, 40, 1001).status, STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(sim_camera->control_requests().empty());
  ASSERT_EQ(send(camera, PROPSETID_VIDCAP_CAMERACONTROL, 6, 2, 40, 0).status, STATUS_SUCCESS);
  const auto requests = sim_camera->control_requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(std::string(requests[0].out_data.begin(), requests[0].out_data.end()), "A0\r");
  EXPECT_EQ(kstandin::registry_get_dword(device_values(), "Focus"), 0u);

  // Region of interest: offsets only without centring, rounded down; the
  // centre is the middle of the range; binning 3 is refused.
  ASSERT_NE(camera->region, nullptr);
  EXPECT_EQ(camera->region->offset_x(), 48);
  EXPECT_EQ(send(camera, camera_extension_set, extension_id::offset_x, 2, 48, 21).status,
            STATUS_INVALID_PARAMETER);
  sim_camera->set_current(kUnit, 2, {40, 0, 0, 0});
  ASSERT_EQ(send(camera, camera_extension_set, extension_id::auto_centre, 2, 48, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(camera->region->offset_x(), 40);  // taken from the camera
  ASSERT_EQ(send(camera, camera_extension_set, extension_id::offset_x, 2, 48, 21).status, STATUS_SUCCESS);
  EXPECT_EQ(sim_value(*sim_camera, kUnit, 2), 16);
  EXPECT_EQ(send(camera, camera_extension_set, extension_id::binning, 2, 48, 3).status,
            STATUS_INVALID_PARAMETER);
  ASSERT_EQ(send(camera, camera_extension_set, extension_id::binning, 2, 48, 2, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(camera->region->binning(), 1);  // without the manual flag nothing changes
  ASSERT_EQ(send(camera, camera_extension_set, extension_id::binning, 2, 48, 2).status, STATUS_SUCCESS);
  EXPECT_EQ(sim_value(*sim_camera, kUnit, 4), 2);

  // Focus region: clamped to the sensor; the one-push sends the region first.
  ASSERT_EQ(send(camera, camera_extension_set, extension_id::focus_left, 2, 48, 5000).status, STATUS_SUCCESS);
  EXPECT_EQ(send(camera, camera_extension_set, extension_id::focus_left, 1, 48).field(24), 2592u);
  ASSERT_EQ(send(camera, camera_extension_set, extension_id::focus_region_enable, 2, 48, 1).status,
            STATUS_SUCCESS);
  const std::string sent = sets_during(*sim_camera, [&] {
    EXPECT_EQ(send(camera, camera_extension_set, extension_id::one_push_focus, 2, 48, 1).status, STATUS_SUCCESS);
  });
  EXPECT_TRUE(std::regex_match(sent, std::regex("4\\.18=63703584 4\\.19=[0-9]+ 4\\.12=1"))) << sent;  // 2592 | 972 << 16
}

TEST_F(vendor_controls, saved_strobe_is_written_while_the_camera_initialises) {
  plug(vendor_camera(selectors({22})));
  kstandin::registry_set_dword(device_values(), "StrobeEnable", 1);
  auto* camera = new (NonPagedPoolNx, pool_tag::objects) family_camera(pdo, sink_.get(), 0);
  cam = camera;
  ASSERT_EQ(camera->init(), STATUS_SUCCESS);
  EXPECT_EQ(sim_value(*sim_camera, kUnit, 22), 1);
}

// The sensor unit's exposure: microseconds on selector 27, shown in log2
// seconds, 100 us, us and float seconds.
TEST_F(vendor_controls, sensor_exposure_in_every_unit) {
  sim::uvc_camera_desc desc = sim::plain_camera_desc();
  desc.camera_controls = 0;
  desc.processing_controls = 0;
  sim::uvc_extension_unit_desc unit;
  unit.guid = sensor_extension_unit;
  unit.bm_controls = selectors({1, 27});
  unit.control_length = 1;  // selector 1's length; 27 is defined below
  desc.extension_units.push_back(unit);
  auto device = sim::uvc_camera::create(desc);
  sim::uvc_control exposure;
  exposure.entity = kUnit;
  exposure.selector = 27;
  exposure.length = 4;
  exposure.range_checked = false;
  exposure.min = {100, 0, 0, 0};                  // 100 us
  exposure.max = {0x40, 0x42, 0x0F, 0};           // 1000000 us
  exposure.def = {0x10, 0x27, 0, 0};              // 10000 us
  exposure.cur = {0x50, 0xC3, 0, 0};              // 50000 us
  device->define_control(exposure);
  family_camera* camera = &start(device, 2);

  request r = send(camera, PROPSETID_VIDCAP_CAMERACONTROL, 4, 1, 40);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(LONG(r.field(24)), -4);  // 31250 us < 50000 us <= 62500 us
  EXPECT_EQ(r.field(28), 2u);        // selector 1 reads 0: manual
  r = send(camera, camera_extension_set, extension_id::exposure, 1, 48);
  EXPECT_EQ(r.field(24), 500u);
  EXPECT_EQ(r.field(36), 1u);  // 100 us as 1 x 100 us
  r = send(camera, camera_extension_set, extension_id::exposure_seconds, 1, 56);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  float seconds;
  memcpy(&seconds, r.data.data() + 24, 4);
  EXPECT_FLOAT_EQ(seconds, 0.05f);
  EXPECT_EQ(send(camera, camera_extension_set, extension_id::exposure_seconds, 2, 55).status,
            STATUS_INVALID_BUFFER_SIZE);
  r.data.assign(56, 0);
  const float quarter = 0.25f;
  memcpy(r.data.data() + 24, &quarter, 4);
  ASSERT_EQ(property_request(camera, camera_extension_set, extension_id::exposure_seconds, 2,
                             r.data.data() + 24, 32, r.data.data(), 56, &r.returned),
            STATUS_SUCCESS);
  EXPECT_EQ(sim_value(*sim_camera, kUnit, 27), 250000);
  // The automatic mode on selector 1 is switched alone.
  ASSERT_EQ(send(camera, PROPSETID_VIDCAP_CAMERACONTROL, 4, 2, 40, -1, 1).status, STATUS_SUCCESS);
  EXPECT_EQ(sim_value(*sim_camera, kUnit, 1), 1);
  EXPECT_EQ(sim_value(*sim_camera, kUnit, 27), 250000);
}

}  // namespace
}  // namespace ctltest
