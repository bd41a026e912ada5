// The simulated bus as a client driver sees it: descriptor reads,
// configuration and interface selection, port and pipe requests and their
// faults, and the usbd.sys parsing routines on the same descriptors.
#include <gtest/gtest.h>

#include <cstring>

#include "sim_client.h"

namespace {

using namespace simtest;

class bus_test : public camera_fixture {
 protected:
  void SetUp() override { plug(); }
};

TEST_F(bus_test, descriptor_reads_return_what_fits_and_are_logged_with_their_lengths) {
  UCHAR device[18] = {};
  auto r = get_descriptor(pdo, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, device, sizeof device);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.transferred, 18u);
  EXPECT_EQ(((PUSB_DEVICE_DESCRIPTOR)device)->idVendor, 0x199E);
  EXPECT_EQ(((PUSB_DEVICE_DESCRIPTOR)device)->idProduct, 0x8207);

  // A 9-byte read gives the header only; a larger buffer gets wTotalLength bytes.
  UCHAR header[9] = {};
  r = get_descriptor(pdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, header, sizeof header);
  EXPECT_EQ(r.transferred, 9u);
  const USHORT total = ((PUSB_CONFIGURATION_DESCRIPTOR)header)->wTotalLength;
  EXPECT_EQ(total, camera->configuration_descriptor().size());
  std::vector<UCHAR> full(1024, 0xCC);
  r = get_descriptor(pdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, full.data(), (ULONG)full.size());
  EXPECT_EQ(r.transferred, total);
  EXPECT_EQ(0, memcmp(full.data(), camera->configuration_descriptor().data(), total));
  EXPECT_EQ(full[total], 0xCC);  // nothing beyond the descriptor is written

  UCHAR text[64] = {};
  r = get_descriptor(pdo, USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, text, sizeof text);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(text[0], 2 + 2 * strlen("Simulated Camera"));
  EXPECT_EQ(text[2], 'S');
  // A string index the device does not have stalls.
  r = get_descriptor(pdo, USB_STRING_DESCRIPTOR_TYPE, 9, 0x0409, text, sizeof text);
  EXPECT_EQ(r.usbd_status, USBD_STATUS_STALL_PID);
  EXPECT_FALSE(NT_SUCCESS(r.status));

  const auto reads = camera->descriptor_reads();
  ASSERT_EQ(reads.size(), 5u);
  EXPECT_EQ(reads[1].type, USB_CONFIGURATION_DESCRIPTOR_TYPE);
  EXPECT_EQ(reads[1].requested_length, 9u);
  EXPECT_EQ(reads[2].requested_length, 1024u);
  EXPECT_EQ(reads[2].returned_length, total);
  EXPECT_EQ(reads[3].language, 0x0409);
}

// (The driver's own tests walk interfaces, alternate settings, pipes, speed
// and the USBDI interface through the same requests; here what they do not.)
TEST_F(bus_test, pipe_handles_belong_to_one_selection_and_unknown_settings_change_nothing) {
  std::vector<UCHAR> config = camera->configuration_descriptor();
  NTSTATUS status;
  PURB urb = select_configuration(pdo, &config, &status);
  ASSERT_NE(urb, nullptr);
  ASSERT_EQ(status, STATUS_SUCCESS);
  auto* vc = &urb->UrbSelectConfiguration.Interface;
  EXPECT_EQ(vc->Class, 0x0E);
  EXPECT_EQ(vc->SubClass, 1);
  auto* vs = (PUSBD_INTERFACE_INFORMATION)((PUCHAR)vc + vc->Length);
  EXPECT_EQ(vs->SubClass, 2);
  EXPECT_EQ(vs->NumberOfPipes, 0u);  // isochronous camera: no endpoint on alternate setting 0

  const USBD_CONFIGURATION_HANDLE handle = urb->UrbSelectConfiguration.ConfigurationHandle;
  USBD_INTERFACE_INFORMATION streaming{};
  ASSERT_EQ(select_interface(pdo, handle, 4, &streaming), STATUS_SUCCESS);
  const USBD_PIPE_INFORMATION pipe = streaming.Pipes[0];
  const USHORT reset = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
  EXPECT_EQ(pipe_request(pdo, reset, pipe.PipeHandle), STATUS_SUCCESS);
  ASSERT_EQ(select_interface(pdo, handle, 0), STATUS_SUCCESS);
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  EXPECT_EQ(pipe_request(pdo, reset, pipe.PipeHandle, &usbd), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(usbd, USBD_STATUS_INVALID_PIPE_HANDLE);
  EXPECT_FALSE(NT_SUCCESS(select_interface(pdo, handle, 9)));
  EXPECT_EQ(camera->current_alternate_setting(1), 0);
  ExFreePool(urb);
}

TEST_F(bus_test, port_and_pipe_requests_are_counted_faults_fail_the_next_only_and_unknown_requests_fail) {
  camera->inject_port_fault(STATUS_UNSUCCESSFUL);
  EXPECT_EQ(send_ioctl_sync(pdo, IOCTL_INTERNAL_USB_RESET_PORT), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(send_ioctl_sync(pdo, IOCTL_INTERNAL_USB_RESET_PORT), STATUS_SUCCESS);
  EXPECT_EQ(send_ioctl_sync(pdo, IOCTL_INTERNAL_USB_CYCLE_PORT), STATUS_SUCCESS);
  ULONG port = 0;
  EXPECT_EQ(send_ioctl_sync(pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port), STATUS_SUCCESS);
  EXPECT_EQ(port, (ULONG)(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
  EXPECT_EQ(camera->port_reset_count(), 2u);
  EXPECT_EQ(camera->port_cycle_count(), 1u);
  EXPECT_EQ(send_ioctl_sync(pdo, 0x220FFF), STATUS_INVALID_DEVICE_REQUEST);

  const USBD_PIPE_INFORMATION pipe = select_streaming(pdo, camera->configuration_descriptor(), 1);
  ASSERT_NE(pipe.PipeHandle, nullptr);
  const USHORT reset = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
  camera->inject_pipe_fault(reset, USBD_STATUS_ERROR_BUSY);
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  EXPECT_EQ(pipe_request(pdo, reset, pipe.PipeHandle, &usbd), STATUS_DEVICE_BUSY);
  EXPECT_EQ(usbd, USBD_STATUS_ERROR_BUSY);
  EXPECT_EQ(pipe_request(pdo, reset, pipe.PipeHandle), STATUS_SUCCESS);
  EXPECT_EQ(camera->pipe_reset_count(), 2u);

  // A URB function code the bus does not know; a URB shorter than its
  // function's record is refused before it is read.
  URB urb;
  memset(&urb, 0, sizeof urb);
  urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  urb.UrbHeader.Function = 0xFFFF;
  EXPECT_EQ(submit_urb(pdo, &urb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);
  urb.UrbHeader.Function = URB_FUNCTION_CLASS_INTERFACE;
  urb.UrbHeader.Length = sizeof(struct _URB_HEADER);
  EXPECT_EQ(submit_urb(pdo, &urb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(camera->control_requests().empty());
}

TEST(usbd_parsing, malformed_descriptors_end_the_search_instead_of_overrunning) {
  // Configuration: header, interface 0, a descriptor with bLength 0, interface 1.
  std::vector<UCHAR> c = {9, 2, 0, 0, 2,    1, 0, 0x80, 50, 9, 4,    0, 0, 0, 0x0E,
                          1, 0, 0, 0, 0x24, 9, 4, 1,    0,  0, 0x0E, 2, 0, 0};
  c[2] = (UCHAR)c.size();
  auto* config = (PUSB_CONFIGURATION_DESCRIPTOR)c.data();
  EXPECT_NE(USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1), nullptr);
  // A descriptor that would run past wTotalLength is not returned.
  std::vector<UCHAR> cut = {9, 2, 14, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0};
  auto* short_config = (PUSB_CONFIGURATION_DESCRIPTOR)cut.data();
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(short_config, short_config, 0, 0, -1, -1, -1),
            nullptr);
  EXPECT_EQ(USBD_ParseDescriptors(cut.data(), (ULONG)cut.size(), cut.data() + 9,
                                  USB_INTERFACE_DESCRIPTOR_TYPE),
            nullptr);
  // Criteria: class 0x0E subclass 2 finds nothing before the bad descriptor.
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 0x0E, 2, -1), nullptr);
  EXPECT_NE(
      USBD_ParseDescriptors(c.data(), (ULONG)c.size(), c.data(), USB_CONFIGURATION_DESCRIPTOR_TYPE),
      nullptr);
}

TEST(usbd_parsing, configuration_request_sizes_interfaces_by_their_endpoints) {
  auto camera = sim::uvc_camera::create(sim::default_camera_desc());
  std::vector<UCHAR> c = camera->configuration_descriptor();
  auto* config = (PUSB_CONFIGURATION_DESCRIPTOR)c.data();
  // Interface 1 alternate setting 2 has one endpoint.
  USBD_INTERFACE_LIST_ENTRY list[3] = {
      {USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1), nullptr},
      {USBD_ParseConfigurationDescriptorEx(config, config, 1, 2, -1, -1, -1), nullptr},
      {nullptr, nullptr}};
  ASSERT_NE(list[1].InterfaceDescriptor, nullptr);
  PURB urb = USBD_CreateConfigurationRequestEx(config, list);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  // Interface 0 has no endpoint: its record is the 24-byte head alone.
  EXPECT_EQ(urb->UrbHeader.Length, sizeof(struct _URB_SELECT_CONFIGURATION) -
                                       sizeof(USBD_INTERFACE_INFORMATION) +
                                       GET_USBD_INTERFACE_SIZE(0) + GET_USBD_INTERFACE_SIZE(1));
  EXPECT_EQ(list[0].Interface->Length, 24u);
  EXPECT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
  EXPECT_EQ(list[1].Interface->Length, GET_USBD_INTERFACE_SIZE(1));
  EXPECT_EQ(list[1].Interface->AlternateSetting, 2);
  EXPECT_EQ(list[1].Interface->NumberOfPipes, 1u);
  EXPECT_EQ(list[1].Interface->Pipes[0].MaximumTransferSize,
            (ULONG)USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
  ExFreePool(urb);
}

}  // namespace
