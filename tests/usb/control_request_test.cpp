// Control requests: the URB control_transfer builds, the class and vendor
// requests the camera sees, probe/commit negotiation, camera memory access
// with verification, the raw pass-through and the status mapping of the
// camera-level requests.
#include <gtest/gtest.h>

#include <kstandin/testing.h>

#include <array>
#include <vector>

#include "usb/control_request.h"
#include "usb_test_support.h"
#include "verifier_listener.h"

namespace {

using bytes = std::vector<uint8_t>;
// (bmRequestType, bRequest, wValue, wIndex, wLength) of a request.
using setup_fields = std::array<int, 5>;

class ControlRequestTest : public usbtest::bus_fixture {
 protected:
  // The class and vendor requests the device saw since the last clear.
  std::vector<setup_fields> setups() {
    std::vector<setup_fields> out;
    for (const sim::request_record& r : device->control_requests()) {
      out.push_back({r.setup.request_type, r.setup.request, r.setup.value, r.setup.index,
                     r.setup.length});
    }
    device->clear_requests();
    return out;
  }
};

TEST_F(ControlRequestTest, UrbCarriesTheRequestAndOnlyARealDataStage) {
  usbtest::scripted_device lower;
  _URB_CONTROL_VENDOR_OR_CLASS_REQUEST seen{};
  lower.on_request = usbtest::scripted_device::completing(STATUS_SUCCESS, [&](PIRP irp) {
    seen = usbtest::scripted_device::urb_of(irp)->UrbControlVendorClassRequest;
  });
  // No data: no buffer and no MDL, and no direction flag for OUT.
  ULONG transferred = 99;
  ASSERT_EQ(control_transfer(lower.device(), {1, 1, 0, 0x10, 2, 3, 0, nullptr}, -1, &transferred),
            STATUS_SUCCESS);
  EXPECT_EQ(seen.Hdr.Function, URB_FUNCTION_VENDOR_DEVICE);
  EXPECT_EQ(seen.Hdr.Length, 136);
  EXPECT_TRUE(seen.TransferBufferLength == 0 && seen.TransferBuffer == nullptr &&
              seen.TransferBufferMDL == nullptr && seen.TransferFlags == 0);
  EXPECT_EQ(transferred, 0u);

  // IN: the direction flag alone (no short-transfer flag); the data by MDL.
  UCHAR data[6] = {};
  ASSERT_EQ(control_transfer(lower.device(), {0, 0, 1, 0x81, 0x0200, 0x0301, 6, data}, -1,
                             &transferred),
            STATUS_SUCCESS);
  EXPECT_EQ(seen.Hdr.Function, URB_FUNCTION_CLASS_INTERFACE);
  EXPECT_EQ(seen.TransferFlags, (ULONG)USBD_TRANSFER_DIRECTION_IN);
  EXPECT_NE(seen.TransferBufferMDL, nullptr);
  EXPECT_TRUE(seen.TransferBufferLength == 6 && seen.Request == 0x81 && seen.Value == 0x0200 &&
              seen.Index == 0x0301);
  EXPECT_EQ(transferred, 6u);

  // Recipient "other" is 0x1F (class) and 0x20 (vendor), not the codes next
  // to the endpoint ones.
  const USHORT expected[2][4] = {
      {URB_FUNCTION_CLASS_DEVICE, URB_FUNCTION_CLASS_INTERFACE, URB_FUNCTION_CLASS_ENDPOINT, 0x1F},
      {URB_FUNCTION_VENDOR_DEVICE, URB_FUNCTION_VENDOR_INTERFACE, URB_FUNCTION_VENDOR_ENDPOINT, 0x20}};
  for (UCHAR vendor = 0; vendor < 2; ++vendor) {
    for (UCHAR recipient = 0; recipient < 4; ++recipient) {
      ASSERT_EQ(control_transfer(lower.device(), {1, vendor, recipient, 1, 0, 0, 0, nullptr}, -1,
                                 nullptr),
                STATUS_SUCCESS);
      EXPECT_EQ(seen.Hdr.Function, expected[vendor][recipient]) << int(vendor) << int(recipient);
    }
  }

  // From a camera that does not answer in time: STATUS_TIMEOUT from below
  // is the camera-level requests' STATUS_IO_TIMEOUT.
  lower.on_request = usbtest::scripted_device::completing(STATUS_TIMEOUT);
  PDEVICE_OBJECT d = lower.device();
  UCHAR raw[12] = {1, 0, 0, 0x20, 0, 0, 0, 0, 2, 0};
  EXPECT_EQ(control_transfer(d, {0, 1, 0, 1, 0, 0, 2, data}, -1, nullptr), STATUS_TIMEOUT);
  EXPECT_EQ(vendor_request(d, {0, 1, 0, 1, 0, 0, 2, data}, nullptr), STATUS_IO_TIMEOUT);
  EXPECT_EQ(uvc_get_cur(d, 2, 2, 2, data, nullptr), STATUS_IO_TIMEOUT);
  EXPECT_EQ(raw_control_set(d, raw, sizeof(raw)), STATUS_IO_TIMEOUT);
  EXPECT_EQ(read_camera_memory(d, 0, data, 4, nullptr), STATUS_IO_TIMEOUT);
  kstandin::take_debug_log();
}

TEST_F(ControlRequestTest, BadArgumentsAreRefusedWithoutARequest) {
  plug_camera();
  UCHAR data[4];
  EXPECT_EQ(control_transfer(nullptr, {0, 1, 0, 1, 0, 0, 4, data}, -1, nullptr),
            STATUS_INVALID_HANDLE);
  EXPECT_TRUE(tvtest::take_violation("assertion"));  // "pDev != 0"
  kstandin::take_debug_log();
  EXPECT_EQ(control_transfer(pdo, {0, 1, 4, 1, 0, 0, 4, data}, -1, nullptr),
            STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(tvtest::take_violation("assertion"));
  EXPECT_TRUE(usbtest::log_contains(kstandin::take_debug_log(), "RequestTarget < 4"));
  EXPECT_EQ(control_transfer(pdo, {0, 1, 0, 1, 0, 0, 4, nullptr}, -1, nullptr),
            STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(device->control_requests().empty());
}

TEST_F(ControlRequestTest, UvcRequestsAddressEntityInterfaceAndSelector) {
  plug_camera();
  const UCHAR unit = sim::default_camera_desc().processing_unit_id;
  UCHAR value[2] = {3, 0};
  ULONG transferred = 0;
  EXPECT_EQ(uvc_set_cur(pdo, unit, 2, 2, value), STATUS_SUCCESS);
  EXPECT_EQ(camera->control(unit, 2)->cur, (bytes{3, 0}));
  ASSERT_EQ(uvc_get_cur(pdo, unit, 2, 2, value, &transferred), STATUS_SUCCESS);
  EXPECT_EQ(transferred, 2u);
  // Only SET_CUR is host-to-device.
  EXPECT_EQ(setups(), (std::vector<setup_fields>{{0x21, 0x01, 0x0200, unit << 8, 2},
                                                 {0xA1, 0x81, 0x0200, unit << 8, 2}}));
}

// ---- probe / commit ----------------------------------------------------------------

bytes desired_probe(uint8_t format, uint8_t frame, uint32_t interval) {
  bytes p(uvc_probe::size, 0);
  put_le16(&p[uvc_probe::bmHint], 1);
  p[uvc_probe::bFormatIndex] = format;
  p[uvc_probe::bFrameIndex] = frame;
  put_le32(&p[uvc_probe::dwFrameInterval], interval);
  return p;
}

TEST_F(ControlRequestTest, NegotiationProbesAndCommitsEvenAnUnchangedFormat) {
  plug_camera();
  const bytes desired = desired_probe(1, 2, 666666);
  UCHAR committed[uvc_probe::size] = {};
  ASSERT_EQ(negotiate_stream_format(pdo, desired.data(), FALSE, committed), STATUS_SUCCESS);
  EXPECT_EQ(committed[uvc_probe::bFrameIndex], 2);
  EXPECT_EQ(le32(committed + uvc_probe::dwFrameInterval), 666666u);
  EXPECT_EQ(le32(committed + uvc_probe::dwMaxVideoFrameSize), camera->committed().dwMaxVideoFrameSize);
  EXPECT_EQ(le32(committed + uvc_probe::dwMaxPayloadTransferSize),
            camera->committed().dwMaxPayloadTransferSize);

  // The same format again, skip flag clear: probe and commit all the same,
  // each request of 34 bytes to entity 0 on the streaming interface 1.
  setups();
  ASSERT_EQ(negotiate_stream_format(pdo, desired.data(), FALSE, committed), STATUS_SUCCESS);
  using rq = std::vector<setup_fields>;
  EXPECT_EQ(setups(), (rq{{0xA1, 0x81, 0x100, 1, 34}, {0x21, 0x01, 0x100, 1, 34},
                          {0xA1, 0x81, 0x100, 1, 34}, {0x21, 0x01, 0x200, 1, 34},
                          {0xA1, 0x81, 0x200, 1, 34}}));
  EXPECT_EQ(camera->commit_count(), 2u);

  // Skip flag set and nothing changed: only the current probe is read.
  ASSERT_EQ(negotiate_stream_format(pdo, desired.data(), TRUE, committed), STATUS_SUCCESS);
  EXPECT_EQ(setups(), (rq{{0xA1, 0x81, 0x100, 1, 34}}));
  EXPECT_EQ(committed[uvc_probe::bFrameIndex], 2);

  // Skip flag set, another frame: negotiated and committed.
  ASSERT_EQ(negotiate_stream_format(pdo, desired_probe(1, 1, 333333).data(), TRUE, committed),
            STATUS_SUCCESS);
  EXPECT_EQ(setups().size(), 5u);
  EXPECT_EQ(committed[uvc_probe::bFrameIndex], 1);

  // commit_again sends the stored structure to the commit control.
  ASSERT_EQ(commit_again(pdo, committed), STATUS_SUCCESS);
  EXPECT_EQ(device->control_requests()[0].out_data, bytes(committed, committed + uvc_probe::size));
  EXPECT_EQ(setups(), (rq{{0x21, 0x01, 0x200, 1, 34}}));
}

// A camera that refuses SET_CUR of its commit control.
class commit_refusing_camera : public sim::uvc_camera {
 public:
  using sim::uvc_camera::uvc_camera;

 protected:
  USBD_STATUS handle_class_or_vendor(const sim::setup_packet& setup, bytes& data) override {
    if (setup.request == sim::uvc::SET_CUR && setup.value == 0x0200) return USBD_STATUS_STALL_PID;
    return sim::uvc_camera::handle_class_or_vendor(setup, data);
  }
};

TEST_F(ControlRequestTest, FailedNegotiationLeavesTheCommittedCopyAlone) {
  plug_camera();
  UCHAR committed[uvc_probe::size];
  memset(committed, 0xC5, sizeof(committed));
  // A frame the format lacks, or a stalled probe: STATUS_INVALID_PARAMETER.
  EXPECT_EQ(negotiate_stream_format(pdo, desired_probe(1, 40, 333333).data(), FALSE, committed),
            STATUS_INVALID_PARAMETER);
  device->inject_control_fault(sim::control_fault::stall, 1, 0x81);
  EXPECT_EQ(negotiate_stream_format(pdo, desired_probe(1, 1, 333333).data(), FALSE, committed),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(camera->commit_count(), 0u);

  // A refused commit: the device's own failure, and no GET_CUR(commit).
  std::shared_ptr<sim::uvc_camera> model = sim::uvc_camera::create(sim::default_camera_desc());
  plug(std::make_shared<commit_refusing_camera>(model->device_descriptor(),
                                                model->configuration_descriptor()));
  const NTSTATUS status =
      negotiate_stream_format(pdo, desired_probe(1, 1, 333333).data(), FALSE, committed);
  EXPECT_FALSE(NT_SUCCESS(status));
  EXPECT_NE(status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(device->control_requests().size(), 4u);
  EXPECT_EQ(bytes(committed, committed + uvc_probe::size), bytes(uvc_probe::size, 0xC5));
  kstandin::take_debug_log();
}

// ---- camera memory ---------------------------------------------------------------------

bytes pattern(size_t n, uint32_t seed) {
  bytes v(n);
  for (auto& b : v) b = (uint8_t)((seed = seed * 1103515245u + 12345u) >> 16);
  return v;
}

TEST_F(ControlRequestTest, CameraMemoryIsWrittenAndVerifiedByPageReadInChunksAndErasedByBlock) {
  plug_camera();
  // Two pages, the second of one byte: write, read back, write, read back.
  const ULONG address = 0x00123000;
  const bytes data = pattern(4097, 1);
  ASSERT_EQ(write_camera_memory(pdo, address, data.data(), 4097), STATUS_SUCCESS);
  EXPECT_EQ(camera->memory(address, 4097), data);
  EXPECT_EQ(setups(), (std::vector<setup_fields>{{0x40, 0x10, 0x12, 0x3000, 4096},
                                                 {0xC0, 0x10, 0x12, 0x3000, 4096},
                                                 {0x40, 0x10, 0x12, 0x4000, 1},
                                                 {0xC0, 0x10, 0x12, 0x4000, 1}}));
  // Four bad read-backs are retried and the fifth verifies; five bad ones
  // report the memory broken after five writes.
  const bytes small = pattern(100, 2);
  for (unsigned bad : {4u, 5u}) {
    camera->corrupt_memory_reads(bad);
    EXPECT_EQ(write_camera_memory(pdo, address, small.data(), 100),
              bad == 5 ? STATUS_HARDWARE_MEMORY_ERROR : STATUS_SUCCESS);
    EXPECT_EQ(setups().size(), 10u);
  }

  // Reads go in chunks of a page.
  const bytes big = pattern(10000, 3);
  camera->write_memory(0x20000, big);
  bytes back(10000, 0);
  ULONG got = 0;
  ASSERT_EQ(read_camera_memory(pdo, 0x20000, back.data(), 10000, &got), STATUS_SUCCESS);
  EXPECT_EQ(got, 10000u);
  EXPECT_EQ(back, big);
  const std::vector<setup_fields> reads = setups();
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(reads[2], (setup_fields{0xC0, 0x10, 0x2, 8192, 10000 - 8192}));
  // A failing chunk ends the read with its status; ranges past 4 GiB are refused.
  camera->set_memory_size(0x20000 + 5000);
  EXPECT_FALSE(NT_SUCCESS(read_camera_memory(pdo, 0x20000, back.data(), 10000, &got)));
  EXPECT_EQ(got, 4096u);
  EXPECT_EQ(read_camera_memory(pdo, 0xFFFFF000, back.data(), 0x2000, &got),
            STATUS_INVALID_PARAMETER);
  camera->set_memory_size(16u << 20);

  // Erase: one OUT request without data per 64 KiB block below the end.
  setups();
  ASSERT_EQ(erase_camera_memory(pdo, 0x20000, 0x40000), STATUS_SUCCESS);
  EXPECT_EQ(camera->memory_erase_count(), 2u);
  const std::vector<setup_fields> erases = setups();
  ASSERT_EQ(erases.size(), 2u);
  EXPECT_EQ(erases[1][2], 3);  // wValue
  EXPECT_EQ(erases[1][4], 0);  // wLength
  EXPECT_EQ(camera->memory(0x20000, 2), (bytes{0xFF, 0xFF}));
  kstandin::take_debug_log();
}

// ---- raw pass-through and port requests -------------------------------------------------

TEST_F(ControlRequestTest, RawPassThroughChecksTheBufferBeforeTheDeviceAndPortRequestsReachTheHub) {
  plug_camera();
  bytes received;
  device->set_vendor_handler(0x55, [&](const sim::setup_packet& s, bytes& data) {
    if (s.is_in()) data = {0xA0, 0xA1, 0xA2};
    else received = data;
    return (USBD_STATUS)USBD_STATUS_SUCCESS;
  });
  // vendor, device, OUT, bRequest 0x55, wValue 0x0102, wIndex 0x0304, wLength 4
  UCHAR set[14] = {1, 0, 1, 0x55, 0x02, 0x01, 0x04, 0x03, 4, 0, 9, 8, 7, 6};
  EXPECT_EQ(raw_control_set(pdo, set, 13), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(raw_control_set(pdo, set, 9), STATUS_BUFFER_OVERFLOW);
  // A recipient no URB has is the client's mistake: refused, not asserted on.
  set[1] = 4;
  EXPECT_EQ(raw_control_set(pdo, set, 14), STATUS_INVALID_PARAMETER);
  set[1] = 0;
  EXPECT_TRUE(device->control_requests().empty());
  ASSERT_EQ(raw_control_set(pdo, set, 14), STATUS_SUCCESS);
  EXPECT_EQ(received, (bytes{9, 8, 7, 6}));
  EXPECT_EQ(setups(), (std::vector<setup_fields>{{0x40, 0x55, 0x0102, 0x0304, 4}}));

  // Get: the header from the input, the data stage into the output.
  UCHAR get[10] = {1, 0, 0, 0x55, 0, 0, 0, 0, 8, 0};
  UCHAR out[8] = {};
  ULONG returned = 5;
  EXPECT_EQ(raw_control_get(pdo, get, 10, out, 7, &returned), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(raw_control_get(pdo, get, 9, out, 8, &returned), STATUS_BUFFER_OVERFLOW);
  EXPECT_TRUE(device->control_requests().empty());
  ASSERT_EQ(raw_control_get(pdo, get, 10, out, 8, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 3u);  // the device answered short
  EXPECT_EQ(out[2], 0xA2);

  EXPECT_EQ(cycle_port(pdo), STATUS_SUCCESS);
  EXPECT_EQ(reset_port(pdo), STATUS_SUCCESS);
  EXPECT_EQ(reset_port_timed(pdo), STATUS_SUCCESS);
  EXPECT_EQ(device->port_cycle_count(), 1u);
  EXPECT_EQ(device->port_reset_count(), 2u);
}

}  // namespace
