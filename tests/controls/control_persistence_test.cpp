// Control values across power transitions and restarts, and property
// requests while the camera streams, changes power state and is replaced by
// a restart.
#include "controls_support.h"

#include <atomic>
#include <map>
#include <thread>

#include "controls/property_handler.h"
#include "controls/uvc_control_records.h"
#include "uvc/uvc_camera.h"

namespace ctltest {
namespace {

using control_persistence = devtest::device_test;

constexpr uint8_t kCameraTerminal = 1;
constexpr uint8_t kProcessingUnit = 2;

// Values a client sets on the plain camera, and where they land.
struct setting {
  const GUID* set;
  ULONG id;
  LONG value;
  uint8_t entity, selector;
  uint32_t wire;  // the value's first four bytes on the wire
};
const setting kSettings[] = {
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, 0, -5, kProcessingUnit, 2, 0xFFFB},
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, 1, 50, kProcessingUnit, 3, 50},
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, 2, 300, kProcessingUnit, 6, 300},
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, 3, 70, kProcessingUnit, 7, 70},
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, 4, 6, kProcessingUnit, 8, 6},
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, 5, 150, kProcessingUnit, 9, 150},
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, 7, 5000, kProcessingUnit, 10, 5000},
    {&camera_extension_set, extension_id::whitebalance_red, 0x100, kProcessingUnit, 12, 0x01000200},
    {&camera_extension_set, extension_id::exposure, 1200, kCameraTerminal, 4, 1200},
};

void apply_settings(kstandin::ks_filter* filter) {
  // The camera starts with automatic exposure: the first manual set only
  // changes the mode.
  ASSERT_EQ(set_scalar(filter, extension_id::exposure, 1200), STATUS_SUCCESS);
  for (const setting& s : kSettings) {
    const NTSTATUS status = same_guid(*s.set, camera_extension_set)
                                ? set_scalar(filter, s.id, s.value)
                                : set_standard(filter, *s.set, s.id, s.value);
    ASSERT_EQ(status, STATUS_SUCCESS) << s.id;
  }
}

void expect_camera_holds_settings(const sim::uvc_camera& camera) {
  for (const setting& s : kSettings) {
    EXPECT_EQ(uint32_t(sim_value(camera, s.entity, s.selector)), s.wire) << int(s.selector);
  }
  EXPECT_EQ(sim_value(camera, kCameraTerminal, 2), 1);  // manual exposure
}

// Returns every control of the camera to its default (automatic exposure
// on, as at power-up) and has it refuse a value while its automatic mode is
// on, as strict cameras do.
void reset_to_strict_defaults(sim::uvc_camera& camera) {
  for (const sim::uvc_control& control : camera.controls()) {
    camera.set_current(control.entity, control.selector, control.def);
  }
  camera.set_strict_automatic_modes(true);
}

// After D3 (which loses the camera's settings) the camera receives SET_CUR
// of every control's value: the settings, and the unchanged ones with the
// values the driver holds; a manual mode before its value, so a strict
// camera takes them all.
TEST_F(control_persistence, power_up_resends_every_control) {
  ASSERT_EQ(plug(), STATUS_SUCCESS);
  filter_ = open_filter();
  apply_settings(filter_);
  camera_->clear_requests();
  ASSERT_EQ(kstandin::ks_set_power(device_, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_TRUE(set_cur_requests(*camera_).empty());
  reset_to_strict_defaults(*camera_);
  ASSERT_EQ(kstandin::ks_set_power(device_, PowerDeviceD0), STATUS_SUCCESS);
  expect_camera_holds_settings(*camera_);

  std::map<std::pair<uint8_t, uint8_t>, uint32_t> sent;
  for (const set_cur& s : set_cur_requests(*camera_)) sent[{s.entity, s.selector}] = s.value;
  for (const uvc_control_record& record : context()->camera->control_records()) {
    const auto key = std::make_pair(uint8_t(record.unit_id), uint8_t(record.selector));
    ASSERT_TRUE(sent.count(key)) << "selector " << record.selector;
    uint32_t held = 0;
    memcpy(&held, record.current, 4);
    const uint32_t mask = record.length >= 4 ? 0xFFFFFFFFu : (1u << (8 * record.length)) - 1;
    EXPECT_EQ(sent[key], held & mask) << "selector " << record.selector;
  }
  for (const setting& s : kSettings) EXPECT_EQ(sent[std::make_pair(s.entity, s.selector)], s.wire);
}

// A restart (and so a new camera object) with the same registry writes
// every saved value back, to a strict camera too.
TEST_F(control_persistence, a_restart_restores_every_value_that_was_set) {
  ASSERT_EQ(plug(), STATUS_SUCCESS);
  filter_ = open_filter();
  apply_settings(filter_);
  close_client();
  ASSERT_EQ(kstandin::ks_stop_device(device_), STATUS_SUCCESS);
  reset_to_strict_defaults(*camera_);
  ASSERT_EQ(kstandin::ks_start_device(device_), STATUS_SUCCESS);
  expect_camera_holds_settings(*camera_);
  filter_ = open_filter();
  KSPROPERTY_VIDEOPROCAMP_S answer;
  ASSERT_EQ(get_standard(filter_, PROPSETID_VIDCAP_VIDEOPROCAMP, 0, &answer), STATUS_SUCCESS);
  EXPECT_EQ(answer.Value, -5);
}

// Property requests keep coming while the pin streams, the device goes to
// D3 and back, and (without a filter, straight to the device context, as
// nothing else could) while restarts replace the camera. Every request ends
// with a status; nothing waits for them on the frame path.
TEST_F(control_persistence, requests_during_streaming_power_changes_and_restarts) {
  ASSERT_EQ(plug(), STATUS_SUCCESS);
  ASSERT_EQ(open_pin(nullptr), STATUS_SUCCESS);
  ASSERT_EQ(kstandin::ks_set_pin_state(pin_, KSSTATE_RUN), STATUS_SUCCESS);
  queue_reads(4);

  std::atomic<bool> done{false};
  std::atomic<int> answered{0};
  std::thread client([&] {
    LONG value = 0;
    while (!done.load()) {
      KSPROPERTY_VIDEOPROCAMP_S answer;
      const NTSTATUS get = get_standard(filter_, PROPSETID_VIDCAP_VIDEOPROCAMP, 0, &answer);
      EXPECT_TRUE(get == STATUS_SUCCESS || NT_ERROR(get));
      EXPECT_EQ(set_standard(filter_, PROPSETID_VIDCAP_VIDEOPROCAMP, 3, value++ % 100), STATUS_SUCCESS);
      ++answered;
    }
  });
  // Ten power cycles at least, and more until the client's requests have
  // met them (on a busy machine its thread may start late); bounded.
  for (int i = 0; i < 10 || (answered.load() < 3 && i < 20000); ++i) {
    ASSERT_EQ(kstandin::ks_set_power(device_, PowerDeviceD3), STATUS_SUCCESS);
    ASSERT_EQ(kstandin::ks_set_power(device_, PowerDeviceD0), STATUS_SUCCESS);
  }
  done = true;
  client.join();
  EXPECT_GT(answered.load(), 0);
  close_client();

  // Restarts under a stream of requests straight to the device context.
  device_context* context = this->context();
  done = false;
  std::thread direct([&] {
    while (!done.load()) {
      KSPROPERTY_VIDEOPROCAMP_S request =
          standard_request(PROPSETID_VIDCAP_VIDEOPROCAMP, 0, KSPROPERTY_TYPE_GET);
      KSPROPERTY_VIDEOPROCAMP_S data = {};
      property_call call = {};
      call.property = &request.Property;
      call.extra_input = reinterpret_cast<uint8_t*>(&request) + sizeof(KSPROPERTY);
      call.extra_input_length = sizeof(request) - sizeof(KSPROPERTY);
      call.data = &data;
      call.data_length = sizeof(data);
      const NTSTATUS status = context->serve_property(&call);
      EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INVALID_PARAMETER) << std::hex << status;
      EXPECT_LE(call.bytes_returned, sizeof(data));
    }
  });
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(kstandin::ks_stop_device(device_), STATUS_SUCCESS);
    ASSERT_EQ(kstandin::ks_start_device(device_), STATUS_SUCCESS);
  }
  done = true;
  direct.join();
}

}  // namespace
}  // namespace ctltest
