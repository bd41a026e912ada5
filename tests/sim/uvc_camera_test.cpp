// The simulated UVC camera as the driver sees it: class requests to its
// controls with a real device's stalls, probe/commit negotiation, camera
// memory, and the real cameras' descriptors.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/uvc_profiles.h"
#include "sim_client.h"

namespace {

using namespace simtest;
namespace uvc = sim::uvc;

constexpr UCHAR kProcessingUnit = 2;
constexpr UCHAR kBrightness = 2;  // processing unit selector, signed 16 bits, -64..64

class uvc_camera_test : public camera_fixture {
 protected:
  void SetUp() override { plug(); }
  control_result brightness(UCHAR request, void* data, ULONG length) {
    return uvc_request(pdo, request, kProcessingUnit, 0, kBrightness, data, length);
  }
  control_result memory(bool in, USHORT address_low, void* data, ULONG length) {
    return control(pdo, URB_FUNCTION_VENDOR_DEVICE, in, sim::kVendorCameraMemory, 0x0001, address_low, data, length);
  }
  UCHAR error_code() {
    UCHAR code = 0xEE;
    uvc_request(pdo, uvc::GET_CUR, 0, 0, uvc::VC_REQUEST_ERROR_CODE_CONTROL, &code, 1);
    return code;
  }
};

TEST_F(uvc_camera_test, controls_answer_their_ranges_and_stall_like_a_device_on_bad_requests) {
  SHORT value = 0;
  auto r = brightness(uvc::GET_MIN, &value, 2);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.transferred, 2u);
  EXPECT_EQ(value, -64);
  UCHAR info = 0;
  brightness(uvc::GET_INFO, &info, 1);
  EXPECT_EQ(info, uvc::INFO_GET | uvc::INFO_SET);
  USHORT length = 0;
  brightness(uvc::GET_LEN, &length, 2);
  EXPECT_EQ(length, 2);

  value = -10;
  EXPECT_EQ(brightness(uvc::SET_CUR, &value, 2).status, STATUS_SUCCESS);
  EXPECT_EQ(error_code(), uvc::ERROR_NONE);
  value = 0;
  brightness(uvc::GET_CUR, &value, 2);
  EXPECT_EQ(value, -10);

  // Out of range: stall, the value stays, the error code says why.
  value = 65;
  r = brightness(uvc::SET_CUR, &value, 2);
  EXPECT_EQ(r.usbd_status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(error_code(), uvc::ERROR_OUT_OF_RANGE);
  EXPECT_EQ(camera->control(kProcessingUnit, kBrightness)->cur, (std::vector<uint8_t>{0xF6, 0xFF}));

  // Wrong length, unknown selector, unknown unit.
  EXPECT_EQ(brightness(uvc::SET_CUR, &value, 1).usbd_status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(error_code(), uvc::ERROR_INVALID_REQUEST);
  EXPECT_EQ(uvc_request(pdo, uvc::GET_CUR, kProcessingUnit, 0, 0x30, &value, 2).usbd_status,
            USBD_STATUS_STALL_PID);
  EXPECT_EQ(error_code(), uvc::ERROR_INVALID_CONTROL);
  EXPECT_EQ(uvc_request(pdo, uvc::GET_CUR, 0x42, 0, kBrightness, &value, 2).usbd_status,
            USBD_STATUS_STALL_PID);
  EXPECT_EQ(error_code(), uvc::ERROR_INVALID_UNIT);

  // A GET with a shorter wLength is answered with what fits (the driver's
  // 1-byte GET_RES); strict mode stalls it.
  UCHAR one = 0;
  EXPECT_EQ(brightness(uvc::GET_RES, &one, 1).transferred, 1u);
  camera->set_strict_get_length(true);
  EXPECT_EQ(brightness(uvc::GET_RES, &one, 1).usbd_status, USBD_STATUS_STALL_PID);
}

TEST_F(uvc_camera_test, automatic_modes_own_their_manual_controls_and_the_picture_follows_the_controls) {
  camera_fixture::bus.unplug(pdo);
  plug(sim::with_webcam_controls(sim::plain_camera_desc()));  // white balance and exposure automatic
  constexpr UCHAR kTerminal = 1;
  auto request = [&](UCHAR r, UCHAR entity, UCHAR selector, int32_t value, ULONG length) {
    return uvc_request(pdo, r, entity, 0, selector, &value, length);
  };
  auto info = [&](UCHAR entity, UCHAR selector) {
    UCHAR bits = 0;
    uvc_request(pdo, uvc::GET_INFO, entity, 0, selector, &bits, 1);
    return bits;
  };
  constexpr UCHAR kOwned = uvc::INFO_GET | uvc::INFO_SET | uvc::INFO_AUTOUPDATE | uvc::INFO_DISABLED;

  // White balance temperature under its automatic mode: disabled; a value is
  // kept, or with strict automatic modes stalls with "wrong state".
  EXPECT_EQ(info(kProcessingUnit, uvc::PU_WHITE_BALANCE_TEMPERATURE), kOwned);
  EXPECT_EQ(request(uvc::SET_CUR, kProcessingUnit, uvc::PU_WHITE_BALANCE_TEMPERATURE, 4000, 2).status, STATUS_SUCCESS);
  camera->set_strict_automatic_modes(true);
  EXPECT_EQ(request(uvc::SET_CUR, kProcessingUnit, uvc::PU_WHITE_BALANCE_TEMPERATURE, 5000, 2).usbd_status,
            USBD_STATUS_STALL_PID);
  EXPECT_EQ(error_code(), uvc::ERROR_WRONG_STATE);
  EXPECT_EQ(camera->control(kProcessingUnit, uvc::PU_WHITE_BALANCE_TEMPERATURE)->cur, (std::vector<uint8_t>{0xA0, 0x0F}));
  // The automatic switch has a default but no range.
  EXPECT_EQ(request(uvc::GET_MIN, kProcessingUnit, uvc::PU_WHITE_BALANCE_TEMPERATURE_AUTO, 0, 1).usbd_status,
            USBD_STATUS_STALL_PID);
  EXPECT_EQ(error_code(), uvc::ERROR_INVALID_REQUEST);
  EXPECT_EQ(request(uvc::SET_CUR, kProcessingUnit, uvc::PU_WHITE_BALANCE_TEMPERATURE_AUTO, 0, 1).status, STATUS_SUCCESS);
  EXPECT_EQ(info(kProcessingUnit, uvc::PU_WHITE_BALANCE_TEMPERATURE), kOwned & ~uvc::INFO_DISABLED);
  EXPECT_EQ(request(uvc::SET_CUR, kProcessingUnit, uvc::PU_WHITE_BALANCE_TEMPERATURE, 5000, 2).status, STATUS_SUCCESS);

  // Auto-exposure mode: GET_RES lists manual and aperture priority; one offered bit is accepted.
  UCHAR modes = 0;
  uvc_request(pdo, uvc::GET_RES, kTerminal, 0, uvc::CT_AE_MODE, &modes, 1);
  EXPECT_EQ(modes, uvc::AE_MANUAL | uvc::AE_APERTURE_PRIORITY);
  EXPECT_EQ(request(uvc::GET_MAX, kTerminal, uvc::CT_AE_MODE, 0, 1).usbd_status, USBD_STATUS_STALL_PID);
  for (int32_t refused : {3, int32_t{uvc::AE_AUTO}}) {
    EXPECT_EQ(request(uvc::SET_CUR, kTerminal, uvc::CT_AE_MODE, refused, 1).usbd_status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(error_code(), uvc::ERROR_OUT_OF_RANGE);
  }
  camera->set_strict_automatic_modes(false);
  EXPECT_EQ(request(uvc::SET_CUR, kTerminal, uvc::CT_EXPOSURE_TIME_ABSOLUTE, 332, 4).status, STATUS_SUCCESS);
  EXPECT_EQ(camera->picture().exposure, 1.0);  // automatic: the time is kept but not used
  EXPECT_EQ(request(uvc::SET_CUR, kTerminal, uvc::CT_AE_MODE, uvc::AE_MANUAL, 1).status, STATUS_SUCCESS);
  EXPECT_EQ(camera->picture().exposure, 2.0);  // twice the default time, now in use

  // Brightness over its range moves the picture by 255 levels; gain and contrast scale it.
  request(uvc::SET_CUR, kProcessingUnit, kBrightness, 255, 2);
  request(uvc::SET_CUR, kProcessingUnit, uvc::PU_GAIN, 255, 2);
  request(uvc::SET_CUR, kProcessingUnit, uvc::PU_CONTRAST, 0, 2);
  const sim::picture_settings picture = camera->picture();
  EXPECT_NEAR(picture.brightness, 127, 0.5);
  EXPECT_EQ(picture.gain, 4.0);
  EXPECT_EQ(picture.contrast, 0.0);
  EXPECT_EQ(picture.saturation, 1.0);
}

TEST_F(uvc_camera_test, probe_commit_negotiates_indices_and_intervals_and_fills_sizes) {
  auto streaming = [&](UCHAR request, UCHAR selector, UCHAR* data, ULONG length) {
    return uvc_request(pdo, request, 0, camera->streaming_interface(), selector, data, length);
  };
  UCHAR probe[34] = {};
  // Format 1 (YUY2), frame 2 (320x240), 70 ms: the camera offers 66.7 ms as the nearest.
  probe[0] = 1;
  probe[2] = 1;
  probe[3] = 2;
  const ULONG wanted = 700000;
  memcpy(probe + 4, &wanted, 4);
  EXPECT_EQ(streaming(uvc::SET_CUR, uvc::VS_PROBE_CONTROL, probe, 34).status, STATUS_SUCCESS);
  UCHAR answer[34] = {};
  auto r = streaming(uvc::GET_CUR, uvc::VS_PROBE_CONTROL, answer, 34);
  EXPECT_EQ(r.transferred, 34u);
  const auto negotiated = sim::uvc_streaming_control::from_bytes(answer, 34);
  EXPECT_EQ(negotiated.bFormatIndex, 1);
  EXPECT_EQ(negotiated.bFrameIndex, 2);
  EXPECT_EQ(negotiated.dwFrameInterval, 666666u);
  EXPECT_EQ(negotiated.dwMaxVideoFrameSize, 320u * 240 * 2);
  EXPECT_EQ(negotiated.dwMaxPayloadTransferSize, 3u * 1024);  // the largest alternate setting
  EXPECT_EQ(negotiated.dwClockFrequency, 48000000u);
  EXPECT_EQ(camera->commit_count(), 0u);

  // Indices the camera does not have fall back to its first format and frame;
  // a continuous range rounds to its step.
  probe[2] = 2;  // MJPEG
  probe[3] = 7;
  const ULONG odd = 500000;
  memcpy(probe + 4, &odd, 4);
  streaming(uvc::SET_CUR, uvc::VS_PROBE_CONTROL, probe, 34);
  streaming(uvc::GET_CUR, uvc::VS_PROBE_CONTROL, answer, 34);
  const auto mjpeg = sim::uvc_streaming_control::from_bytes(answer, 34);
  EXPECT_EQ(mjpeg.bFormatIndex, 2);
  EXPECT_EQ(mjpeg.bFrameIndex, 1);
  EXPECT_EQ(mjpeg.dwFrameInterval, 666666u);

  EXPECT_EQ(streaming(uvc::SET_CUR, uvc::VS_COMMIT_CONTROL, answer, 34).status, STATUS_SUCCESS);
  EXPECT_EQ(camera->commit_count(), 1u);
  EXPECT_EQ(camera->committed().bFormatIndex, 2);
  // A 26-byte (UVC 1.0) read is answered with 26 bytes unless strict.
  UCHAR short_answer[26] = {};
  EXPECT_EQ(streaming(uvc::GET_CUR, uvc::VS_COMMIT_CONTROL, short_answer, 26).transferred, 26u);
  camera->set_strict_probe_length(true);
  EXPECT_EQ(streaming(uvc::GET_CUR, uvc::VS_COMMIT_CONTROL, short_answer, 26).usbd_status, USBD_STATUS_STALL_PID);
}

// (The driver's request tests write, verify, read and erase the memory in
// chunks and blocks; here its addressing and limits.)
TEST_F(uvc_camera_test, camera_memory_addresses_by_value_and_index_and_stalls_beyond_its_limits) {
  std::vector<UCHAR> data = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(memory(false, 0x2345, data.data(), (ULONG)data.size()).status, STATUS_SUCCESS);
  EXPECT_EQ(camera->memory(0x12345, 8), std::vector<uint8_t>(data.begin(), data.end()));  // wValue 1, wIndex 0x2345
  const auto log = camera->control_requests();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].setup.request_type, sim::kRequestTypeVendor);
  EXPECT_EQ(log[0].out_data, std::vector<uint8_t>(data.begin(), data.end()));

  camera->set_memory_size(0x20000);
  EXPECT_EQ(memory(true, 0xFFFC, data.data(), 8).usbd_status, USBD_STATUS_STALL_PID);  // beyond the memory
  std::vector<UCHAR> big(4097);
  EXPECT_EQ(control(pdo, URB_FUNCTION_VENDOR_DEVICE, true, sim::kVendorCameraMemory, 0, 0, big.data(),
                    (ULONG)big.size()).usbd_status, USBD_STATUS_STALL_PID);  // longer than one request
  EXPECT_EQ(control(pdo, URB_FUNCTION_VENDOR_DEVICE, true, 0x55, 0, 0, big.data(), 2).usbd_status,
            USBD_STATUS_STALL_PID);  // nobody handles it
}

TEST(uvc_described_camera, descriptors_generated_from_a_description_parse_back_to_it) {
  sim::uvc_camera_desc desc = sim::default_camera_desc();
  desc.interrupt_endpoint = true;
  desc.iso_packet_sizes.clear();  // bulk
  sim::uvc_extension_unit_desc xu;
  xu.guid = sim::fourcc_guid("XU01");
  xu.num_controls = 2;
  xu.bm_controls = {0x05, 0x00};  // selectors 1 and 3
  xu.control_length = 6;
  // The vendor unit: its table's control on selector 13, a replaced one on 40, nothing for 41.
  sim::uvc_extension_unit_desc vendor;
  vendor.guid = sim::kVendorExtensionGuid;
  vendor.bm_controls = {0x00, 0x10, 0x00, 0x00, 0x80};  // bits 12 and 39
  sim::uvc_control strobe;
  strobe.selector = 40;
  strobe.length = 2;
  strobe.min = {0, 0}, strobe.max = {3, 0}, strobe.def = {1, 0};
  sim::uvc_control absent = strobe;
  absent.selector = 41;
  vendor.controls = {strobe, absent};
  desc.extension_units = {xu, vendor};
  sim::uvc_control brightness = *sim::standard_control(sim::uvc::PROCESSING_UNIT, desc.processing_unit_id, 0);
  brightness.max = {100, 0};
  desc.control_overrides = {brightness};
  sim::uvc_format_desc h264;
  h264.kind = sim::uvc_format_kind::frame_based;
  h264.guid = sim::fourcc_guid("H264");
  h264.frames.front().intervals.clear();  // continuous 333333..10000000 in steps of 333333
  desc.formats.push_back(h264);
  auto camera = sim::uvc_camera::create(desc);

  const auto& config = camera->configuration_descriptor();
  auto* header = (PUSB_CONFIGURATION_DESCRIPTOR)const_cast<uint8_t*>(config.data());
  EXPECT_EQ(header->wTotalLength, config.size());
  // The interrupt endpoint sits on the VideoControl interface, the bulk one on streaming alternate 0.
  auto* vc = USBD_ParseConfigurationDescriptorEx(header, header, 0, 0, 0x0E, 1, -1);
  ASSERT_NE(vc, nullptr);
  EXPECT_EQ(vc->bNumEndpoints, 1);
  auto* ep = (PUSB_ENDPOINT_DESCRIPTOR)USBD_ParseDescriptors(header, header->wTotalLength, vc,
                                                             USB_ENDPOINT_DESCRIPTOR_TYPE);
  ASSERT_NE(ep, nullptr);
  EXPECT_EQ(ep->bEndpointAddress, 0x83);
  EXPECT_EQ(ep->bmAttributes, USB_ENDPOINT_TYPE_INTERRUPT);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(header, header, 1, 1, -1, -1, -1), nullptr);

  ASSERT_EQ(camera->formats().size(), 3u);
  EXPECT_EQ(camera->formats()[2].subtype, 0x10);
  const auto& frame = camera->formats()[2].frames.front();
  EXPECT_TRUE(frame.intervals.empty());
  EXPECT_EQ(frame.interval_step, 333333u);
  ASSERT_EQ(camera->formats()[0].frames.size(), 2u);
  EXPECT_EQ(camera->formats()[0].frames[1].width, 320);
  EXPECT_EQ(camera->formats()[0].frames[0].max_frame_size, 640u * 480 * 2);

  uint8_t xu_id = 0, vendor_id = 0;
  for (const auto& e : camera->entities()) {
    if (e.subtype == 6) (e.guid == sim::kVendorExtensionGuid ? vendor_id : xu_id) = e.id;
  }
  ASSERT_NE(xu_id, 0);
  ASSERT_NE(vendor_id, 0);
  const auto exposure_auto = camera->control(vendor_id, 13);
  ASSERT_TRUE(exposure_auto.has_value());
  EXPECT_EQ(exposure_auto->max, (std::vector<uint8_t>{1, 0, 0, 0}));
  EXPECT_EQ(camera->control(vendor_id, 40)->length, 2);
  EXPECT_FALSE(camera->control(vendor_id, 41).has_value());
  EXPECT_EQ(camera->control(desc.processing_unit_id, 2)->max, (std::vector<uint8_t>{100, 0}));
  EXPECT_EQ(camera->control(xu_id, 1)->length, 6);
  EXPECT_TRUE(camera->control(xu_id, 3).has_value());
  EXPECT_FALSE(camera->control(xu_id, 2).has_value());
  // Processing-unit bits 0-7 and camera-terminal bits 1 and 3 of the description.
  EXPECT_EQ(camera->controls().size(), 8u + 2u + 2u + 2u);
  EXPECT_EQ(camera->control(desc.camera_terminal_id, 4)->length, 4);
}

TEST(uvc_real_cameras, every_camera_loads_and_answers_get_def_for_every_declared_control_and_probe) {
  const auto names = testdata_cameras();
  ASSERT_GE(names.size(), 6u) << testdata_directory();
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    auto camera = sim::uvc_camera::from_files(testdata_directory(), name);
    ASSERT_NE(camera, nullptr);
    sim::usb_bus bus;
    PDEVICE_OBJECT pdo = bus.plug(camera);
    ASSERT_NE(pdo, nullptr);
    EXPECT_FALSE(camera->entities().empty());
    EXPECT_FALSE(camera->formats().empty());
    for (const auto& c : camera->controls()) {
      std::vector<UCHAR> value(c.length + 1, 0xAA);
      const auto r = uvc_request(pdo, uvc::GET_DEF, c.entity, camera->control_interface(), c.selector,
                                 value.data(), c.length);
      EXPECT_EQ(r.status, STATUS_SUCCESS) << "entity " << int(c.entity) << " selector " << int(c.selector);
      EXPECT_EQ(r.transferred, c.length);
      EXPECT_EQ(value[c.length], 0xAA);
    }
    // Probe with the camera's first format and frame and its default interval.
    const auto& format = camera->formats().front();
    ASSERT_FALSE(format.frames.empty());
    std::vector<UCHAR> probe(camera->probe_length(), 0);
    probe[2] = format.index;
    probe[3] = format.frames.front().index;
    const auto r = uvc_request(pdo, uvc::SET_CUR, 0, camera->streaming_interface(), uvc::VS_PROBE_CONTROL,
                               probe.data(), (ULONG)probe.size());
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(camera->probe().dwFrameInterval, format.frames.front().default_interval);
    EXPECT_NE(camera->probe().dwMaxVideoFrameSize, 0u);
  }

  // Details of two of them.
  auto c270 = sim::uvc_camera::from_files(testdata_directory(), "logitech_c270");
  ASSERT_NE(c270, nullptr);
  ASSERT_EQ(c270->formats().size(), 2u);  // the header announces 3
  EXPECT_EQ(c270->formats()[0].frames.size(), 19u);
  int extension_units = 0;
  for (const auto& e : c270->entities()) extension_units += e.subtype == 6;
  EXPECT_EQ(extension_units, 4);
  auto dual = sim::uvc_camera::from_files(testdata_directory(), "dual_tusb");
  ASSERT_NE(dual, nullptr);
  const auto& frame = dual->formats().front().frames.front();
  EXPECT_TRUE(frame.intervals.empty());
  EXPECT_EQ(frame.min_interval, frame.max_interval);
  EXPECT_EQ(dual->probe_length(), 48u);
}

}  // namespace
