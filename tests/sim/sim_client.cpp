#include "sim_client.h"

#include "testdata.h"

#include <dirent.h>

#include <algorithm>
#include <cstring>

namespace simtest {

std::string testdata_directory() { return tvtest::uvc_descriptor_dir(); }

std::vector<std::string> testdata_cameras() {
  std::vector<std::string> names;
  DIR* dir = opendir(testdata_directory().c_str());
  if (dir == nullptr) return names;
  const std::string suffix = ".config.bin";
  while (dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      names.push_back(name.substr(0, name.size() - suffix.size()));
    }
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

void send_ioctl(PDEVICE_OBJECT pdo, ULONG code, PVOID argument, pending_irp* pending) {
  KeInitializeEvent(&pending->event, NotificationEvent, FALSE);
  pending->irp = IoBuildDeviceIoControlRequest(code, pdo, nullptr, 0, nullptr, 0, TRUE,
                                               &pending->event, &pending->iosb);
  IoGetNextIrpStackLocation(pending->irp)->Parameters.Others.Argument1 = argument;
  pending->call_status = IoCallDriver(pdo, pending->irp);
}

NTSTATUS send_ioctl_sync(PDEVICE_OBJECT pdo, ULONG code, PVOID argument) {
  pending_irp p;
  send_ioctl(pdo, code, argument, &p);
  if (!wait_for(&p)) return STATUS_IO_TIMEOUT;
  return p.iosb.Status;
}

NTSTATUS submit_urb(PDEVICE_OBJECT pdo, PURB urb) {
  return send_ioctl_sync(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
}

PIRP urb_irp(PDEVICE_OBJECT pdo, PURB urb, PIO_COMPLETION_ROUTINE routine, PVOID context) {
  PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, routine, context, TRUE, TRUE, TRUE);
  return irp;
}

control_result control(PDEVICE_OBJECT pdo, USHORT function, bool in, UCHAR request, USHORT value,
                       USHORT index, void* data, ULONG length) {
  URB urb;
  memset(&urb, 0, sizeof urb);
  UsbBuildVendorRequest(&urb, function, (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        in ? USBD_TRANSFER_DIRECTION_IN : 0, 0, request, value, index, data,
                        nullptr, length, nullptr);
  control_result r;
  r.status = submit_urb(pdo, &urb);
  r.usbd_status = urb.UrbHeader.Status;
  r.transferred = urb.UrbControlVendorClassRequest.TransferBufferLength;
  return r;
}

control_result uvc_request(PDEVICE_OBJECT pdo, UCHAR request, UCHAR entity, UCHAR interface_number,
                           UCHAR selector, void* data, ULONG length) {
  return control(pdo, URB_FUNCTION_CLASS_INTERFACE, (request & 0x80) != 0, request,
                 (USHORT)(selector << 8), (USHORT)(entity << 8 | interface_number), data, length);
}

control_result get_descriptor(PDEVICE_OBJECT pdo, UCHAR type, UCHAR index, USHORT language,
                              void* data, ULONG length) {
  URB urb;
  memset(&urb, 0, sizeof urb);
  UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type,
                               index, language, data, nullptr, length, nullptr);
  control_result r;
  r.status = submit_urb(pdo, &urb);
  r.usbd_status = urb.UrbHeader.Status;
  r.transferred = urb.UrbControlDescriptorRequest.TransferBufferLength;
  return r;
}

PURB select_configuration(PDEVICE_OBJECT pdo, std::vector<UCHAR>* configuration, NTSTATUS* status) {
  auto* config = (PUSB_CONFIGURATION_DESCRIPTOR)configuration->data();
  std::vector<USBD_INTERFACE_LIST_ENTRY> list;
  for (LONG i = 0; i < config->bNumInterfaces; ++i) {
    PUSB_INTERFACE_DESCRIPTOR d =
        USBD_ParseConfigurationDescriptorEx(config, config, i, 0, -1, -1, -1);
    if (d != nullptr) list.push_back({d, nullptr});
  }
  list.push_back({nullptr, nullptr});
  PURB urb = USBD_CreateConfigurationRequestEx(config, list.data());
  *status = urb != nullptr ? submit_urb(pdo, urb) : STATUS_INSUFFICIENT_RESOURCES;
  return urb;
}

NTSTATUS select_interface(PDEVICE_OBJECT pdo, USBD_CONFIGURATION_HANDLE configuration,
                          UCHAR alternate, USBD_INTERFACE_INFORMATION* out) {
  const USHORT size = (USHORT)GET_SELECT_INTERFACE_REQUEST_SIZE(1);
  std::vector<UCHAR> storage = urb_storage(size);
  auto* sel = (PURB)storage.data();
  UsbBuildSelectInterfaceRequest(sel, size, configuration, 1, alternate);
  sel->UrbSelectInterface.Interface.Length = (USHORT)GET_USBD_INTERFACE_SIZE(1);
  const NTSTATUS status = submit_urb(pdo, sel);
  if (out != nullptr) *out = sel->UrbSelectInterface.Interface;
  return status;
}

USBD_PIPE_INFORMATION select_streaming(PDEVICE_OBJECT pdo, std::vector<UCHAR> configuration,
                                       UCHAR alternate) {
  NTSTATUS status;
  PURB urb = select_configuration(pdo, &configuration, &status);
  USBD_INTERFACE_INFORMATION streaming{};
  if (urb != nullptr && status == STATUS_SUCCESS &&
      select_interface(pdo, urb->UrbSelectConfiguration.ConfigurationHandle, alternate,
                       &streaming) != STATUS_SUCCESS) {
    streaming = USBD_INTERFACE_INFORMATION{};
  }
  if (urb != nullptr) ExFreePool(urb);
  return streaming.Pipes[0];
}

PURB build_iso_in(std::vector<UCHAR>* storage, USBD_PIPE_HANDLE pipe, ULONG packets,
                  ULONG packet_size, std::vector<uint8_t>* buffer) {
  *storage = urb_storage(GET_ISO_URB_SIZE(packets));
  buffer->assign(packets * packet_size, 0);
  auto* urb = (PURB)storage->data();
  auto& iso = urb->UrbIsochronousTransfer;
  iso.Hdr.Length = (USHORT)GET_ISO_URB_SIZE(packets);
  iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
  iso.PipeHandle = pipe;
  iso.TransferFlags =
      USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | USBD_START_ISO_TRANSFER_ASAP;
  iso.TransferBuffer = buffer->data();
  iso.TransferBufferLength = packets * packet_size;
  iso.NumberOfPackets = packets;
  for (ULONG i = 0; i < packets; ++i) iso.IsoPacket[i].Offset = i * packet_size;
  return urb;
}

NTSTATUS pipe_request(PDEVICE_OBJECT pdo, USHORT function, USBD_PIPE_HANDLE pipe,
                      USBD_STATUS* usbd) {
  URB urb;
  memset(&urb, 0, sizeof urb);
  urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb.UrbHeader.Function = function;
  urb.UrbPipeRequest.PipeHandle = pipe;
  const NTSTATUS status = submit_urb(pdo, &urb);
  if (usbd != nullptr) *usbd = urb.UrbHeader.Status;
  return status;
}

}  // namespace simtest
