// usb_device on the simulated bus: the start sequence as the device sees
// it, configuration descriptors of every length and shape, the interface
// table and alternate settings, and strings. (Real cameras' descriptors and
// every failure of the start path in turn: the camera and device tests.)
#include <gtest/gtest.h>

#include <kstandin/testing.h>

#include <string>
#include <vector>

#include "kernel/pool_tags.h"
#include "usb_test_support.h"
#include "usb/usbdevice.h"

namespace {

using usbtest::configuration;

std::vector<uint32_t> configuration_reads(const sim::usb_device& d) {
  std::vector<uint32_t> lengths;  // requested length of each read
  for (const sim::descriptor_read& r : d.descriptor_reads())
    if (r.type == USB_CONFIGURATION_DESCRIPTOR_TYPE) lengths.push_back(r.requested_length);
  return lengths;
}

// ASCII view of a counted 16-bit string (wide standard-library strings
// would assume a 32-bit wchar_t).
std::string text_of(const UNICODE_STRING& s) {
  std::string out;
  for (size_t i = 0; i < s.Length / sizeof(WCHAR); ++i) out.push_back((char)s.Buffer[i]);
  return out;
}

class UsbDeviceTest : public usbtest::bus_fixture {
 protected:
  void replug(std::vector<uint8_t> config) {
    plug(std::make_shared<sim::usb_device>(usbtest::device_descriptor(), std::move(config)));
  }
};

TEST_F(UsbDeviceTest, InitConfiguresAHighSpeedCamera) {
  plug_camera();
  device->set_host_usb_version(0x300);
  usb_device dev(pdo);
  ASSERT_EQ(dev.init(), STATUS_SUCCESS);
  EXPECT_EQ(dev.host_usb_version(), 0x300u);
  EXPECT_EQ(dev.id_product(), 0x8207);
  EXPECT_TRUE(device->configured());

  // Both interfaces in the table; the streaming one at its zero-bandwidth
  // setting through one select-interface request.
  EXPECT_EQ(device->select_interface_count(), 1u);
  EXPECT_EQ(device->current_alternate_setting(1), 0);
  ASSERT_NE(dev.get_interface_info(0), nullptr);
  EXPECT_EQ(dev.get_interface_info(1)->InterfaceNumber, 1);
  EXPECT_EQ(dev.get_interface_info(2), nullptr);

  // One descriptor per (interface, alternate setting) pair.
  const size_t alternates = sim::default_camera_desc().iso_packet_sizes.size();
  ASSERT_EQ(dev.interface_descriptor_count(), 2 + alternates);
  EXPECT_EQ(dev.interface_descriptor(1 + alternates)[usb_desc::if_bAlternateSetting], alternates);

  // An alternate setting replaces the interface's copy with its pipes; a
  // pair the configuration lacks is refused and changes nothing.
  ASSERT_EQ(dev.select_alternate_setting(1, 2), STATUS_SUCCESS);
  EXPECT_EQ(device->current_alternate_setting(1), 2);
  const USBD_INTERFACE_INFORMATION* streaming = dev.get_interface_info(1);
  ASSERT_EQ(streaming->NumberOfPipes, 1u);
  EXPECT_EQ(streaming->Pipes[0].PipeType, UsbdPipeTypeIsochronous);
  EXPECT_EQ(streaming->Pipes[0].EndpointAddress, 0x81);
  EXPECT_EQ(dev.select_alternate_setting(1, 1 + alternates), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(dev.select_alternate_setting(7, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(dev.get_interface_info(1)->AlternateSetting, 2);
}

// A device with one interface (of two alternate settings), configured
// without a select-interface request, whose configuration is read whole:
// once up to 521 bytes, twice beyond.
TEST_F(UsbDeviceTest, SingleInterfaceConfigurationIsReadOnceUpTo521BytesAndTwiceBeyond) {
  for (size_t total : {100, 521, 522, 1300}) {
    SCOPED_TRACE(total);
    std::vector<uint8_t> config = configuration({{0, 0, 1}, {0, 1, 2}}, total);
    replug(config);
    usb_device dev(pdo);
    ASSERT_EQ(dev.init(), STATUS_SUCCESS);
    ASSERT_EQ(dev.configuration_descriptor_length(), total);
    EXPECT_EQ(0, memcmp(dev.configuration_bytes(), config.data(), total));
    const std::vector<uint32_t> expected =
        total <= 521 ? std::vector<uint32_t>{521} : std::vector<uint32_t>{521, (uint32_t)total};
    EXPECT_EQ(configuration_reads(*device), expected);
    EXPECT_EQ(device->select_interface_count(), 0u);
    EXPECT_EQ(dev.interface_descriptor_count(), 2u);
    EXPECT_EQ(dev.get_interface_info(0)->NumberOfPipes, 1u);
    EXPECT_EQ(dev.get_interface_info(1), nullptr);
  }
}

TEST_F(UsbDeviceTest, DeviceThatIsNotHighSpeedDoesNotStart) {
  for (bool query_fails : {false, true}) {
    SCOPED_TRACE(query_fails);
    replug(configuration({{0, 0, 1}}));
    query_fails ? device->set_usbdi_query_fails(true) : device->set_high_speed(false);
    kstandin::take_debug_log();
    usb_device dev(pdo);
    EXPECT_EQ(dev.init(), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_TRUE(usbtest::log_contains(kstandin::take_debug_log(),
                                      "this is not a high speed device, so just quitting.\n"));
    EXPECT_TRUE(device->descriptor_reads().empty());
    EXPECT_EQ(dev.get_configuration_descriptor(), nullptr);
    UNICODE_STRING text{0, 0, nullptr};
    EXPECT_EQ(dev.get_string(usb_string_product, &text), STATUS_DEVICE_CONFIGURATION_ERROR);
  }
}

TEST_F(UsbDeviceTest, MalformedDescriptorsEndTheConfigurationWhereTheyStart) {
  const std::vector<uint8_t> good = configuration({{0, 0, 1}});
  const std::vector<std::vector<uint8_t>> tails = {
      {0, 4, 1, 0, 1, 0xFF, 0, 0, 0},  // zero bLength
      {5, 4, 1, 0, 1},                 // interface descriptor of 5 bytes
      {4, 5, 0x82, 2},                 // endpoint descriptor of 4 bytes
      {40, 0x24, 1, 2, 3},             // runs past wTotalLength
      {9}};                            // one stray byte
  for (const std::vector<uint8_t>& tail : tails) {
    SCOPED_TRACE(tail.size());
    std::vector<uint8_t> config = good;
    config.insert(config.end(), tail.begin(), tail.end());
    put_le16(&config[usb_desc::cfg_wTotalLength], (USHORT)config.size());
    replug(config);
    usb_device dev(pdo);
    ASSERT_EQ(dev.init(), STATUS_SUCCESS);
    EXPECT_EQ(dev.configuration_descriptor_length(), good.size());
    EXPECT_EQ(le16(dev.configuration_bytes() + usb_desc::cfg_wTotalLength), good.size());
    EXPECT_EQ(dev.interface_descriptor_count(), 1u);
  }
  // A header that cannot hold itself, a configuration cut short of its
  // wTotalLength (with the reason), and one without interfaces.
  replug({9, 2, 5, 0, 1, 1, 0, 0x80, 50});
  EXPECT_EQ(usb_device(pdo).init(), STATUS_DEVICE_CONFIGURATION_ERROR);
  std::vector<uint8_t> cut = configuration({{0, 0, 1}}, 600);
  cut.pop_back();
  replug(cut);
  kstandin::take_debug_log();
  EXPECT_EQ(usb_device(pdo).init(), STATUS_DEVICE_CONFIGURATION_ERROR);
  const std::vector<std::string> reason = {
      "the configuration descriptor is 599 bytes but declares 600\n"};
  EXPECT_EQ(kstandin::take_debug_log(), reason);
  replug(configuration({}));
  EXPECT_EQ(usb_device(pdo).init(), STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(device->configured());
  kstandin::take_debug_log();
}

TEST_F(UsbDeviceTest, StringsComeFromTheDeviceDescriptorIndices) {
  replug(configuration({{0, 0, 1}}));
  device->set_string(1, "Talvexa");
  device->set_string(2, "Camera DFK");
  device->set_raw_string_descriptor(3, {4, 3, 'A', 0});                   // too short: placeholder
  device->set_raw_string_descriptor(9, {6, 3, 'o', 0, 'k', 0, 'X', 0});  // bytes after bLength
  usb_device dev(pdo);
  ASSERT_EQ(dev.init(), STATUS_SUCCESS);

  WCHAR buffer[32];
  UNICODE_STRING text{0, sizeof(buffer), buffer};
  ASSERT_EQ(dev.get_string(usb_string_manufacturer, &text), STATUS_SUCCESS);
  EXPECT_EQ(text_of(text), "Talvexa");
  EXPECT_EQ(buffer[7], 0);
  ASSERT_EQ(dev.get_string(usb_string_serial_number, &text), STATUS_SUCCESS);
  EXPECT_EQ(text_of(text), "DEADBEEF");
  ASSERT_EQ(dev.get_string(9, &text), STATUS_SUCCESS);
  EXPECT_EQ(text_of(text), "ok");
  for (const sim::descriptor_read& r : device->descriptor_reads()) {
    if (r.type != USB_STRING_DESCRIPTOR_TYPE) continue;
    EXPECT_EQ(r.language, 0x0009);
    EXPECT_EQ(r.requested_length, 244u);
  }

  UNICODE_STRING small{0, 4 * sizeof(WCHAR), buffer};
  EXPECT_EQ(dev.get_string(usb_string_product, &small), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(text_of(small), "Came");

  kstandin::take_debug_log();
  EXPECT_FALSE(NT_SUCCESS(dev.get_string(42, &text)));
  EXPECT_TRUE(usbtest::log_contains(kstandin::take_debug_log(),
                                    "Failed to retrieve string descriptor for index 42, langID 0x9"));
}

}  // namespace
