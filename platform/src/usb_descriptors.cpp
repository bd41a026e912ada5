// The routines of usbd.sys that client drivers import: descriptor parsing
// and the building of select-configuration requests. They read the
// configuration descriptor the client owns and never read past its
// wTotalLength; malformed descriptors (zero or overlong bLength) end a
// search instead of looping or overrunning.
#include <usbdlib.h>

#include <string.h>

namespace {

// Pool tag of the URBs that USBD_CreateConfigurationRequestEx allocates
// ("USBD" in a pool dump); the caller frees them.
constexpr ULONG kUsbdTag = (ULONG)'U' | ((ULONG)'S' << 8) | ((ULONG)'B' << 16) | ((ULONG)'D' << 24);

constexpr ULONG kCommonLength = 2;  // bLength, bDescriptorType
constexpr ULONG kInterfaceLength = 9;

}  // namespace

VOID USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
  if (VersionInformation == NULL) return;
  VersionInformation->USBDI_Version = USBDI_VERSION;
  VersionInformation->Supported_USB_Version = 0x200;
}

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                             PVOID StartPosition, LONG DescriptorType) {
  if (DescriptorBuffer == NULL || StartPosition == NULL) return NULL;
  const PUCHAR begin = (PUCHAR)DescriptorBuffer;
  const PUCHAR end = begin + TotalLength;
  PUCHAR at = (PUCHAR)StartPosition;
  if (at < begin) return NULL;
  while (at + kCommonLength <= end) {
    const UCHAR length = at[0];
    const UCHAR type = at[1];
    if (length < kCommonLength || at + length > end) return NULL;
    if (type == (UCHAR)DescriptorType) return (PUSB_COMMON_DESCRIPTOR)at;
    at += length;
  }
  return NULL;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
  if (ConfigurationDescriptor == NULL) return NULL;
  const PUCHAR begin = (PUCHAR)ConfigurationDescriptor;
  const ULONG total = ConfigurationDescriptor->wTotalLength;
  PVOID at = StartPosition != NULL ? StartPosition : (PVOID)begin;
  for (;;) {
    auto* found = USBD_ParseDescriptors(begin, total, at, USB_INTERFACE_DESCRIPTOR_TYPE);
    if (found == NULL) return NULL;
    if (found->bLength >= kInterfaceLength) {
      auto* d = (PUSB_INTERFACE_DESCRIPTOR)found;
      const bool match = (InterfaceNumber == -1 || d->bInterfaceNumber == InterfaceNumber) &&
                         (AlternateSetting == -1 || d->bAlternateSetting == AlternateSetting) &&
                         (InterfaceClass == -1 || d->bInterfaceClass == InterfaceClass) &&
                         (InterfaceSubClass == -1 || d->bInterfaceSubClass == InterfaceSubClass) &&
                         (InterfaceProtocol == -1 || d->bInterfaceProtocol == InterfaceProtocol);
      if (match) return d;
    }
    at = (PUCHAR)found + found->bLength;
  }
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  if (ConfigurationDescriptor == NULL || InterfaceList == NULL) return NULL;
  ULONG interfaces = 0;
  SIZE_T size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
  for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != NULL; ++e) {
    size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
    ++interfaces;
  }
  if (interfaces == 0) size = sizeof(struct _URB_SELECT_CONFIGURATION);
  if (size > MAXUSHORT) return NULL;  // the URB length is 16 bits
  auto* urb = (PURB)ExAllocatePoolWithTag(NonPagedPoolNx, size, kUsbdTag);
  if (urb == NULL) return NULL;
  memset(urb, 0, size);
  auto* info = &urb->UrbSelectConfiguration.Interface;
  for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != NULL; ++e) {
    const UCHAR pipes = e->InterfaceDescriptor->bNumEndpoints;
    info->Length = (USHORT)GET_USBD_INTERFACE_SIZE(pipes);
    info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
    info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
    info->NumberOfPipes = pipes;
    for (ULONG p = 0; p < pipes; ++p) {
      info->Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      info->Pipes[p].PipeFlags = 0;
    }
    e->Interface = info;
    info = (PUSBD_INTERFACE_INFORMATION)((PUCHAR)info + info->Length);
  }
  UsbBuildSelectConfigurationRequest(urb, (USHORT)size, ConfigurationDescriptor);
  return urb;
}

ULONG USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd) {
  if (InterfaceDescriptor == NULL || BufferEnd == NULL) return 0;
  PUCHAR at = (PUCHAR)InterfaceDescriptor;
  ULONG length = 0;
  bool first = true;
  while (at + kCommonLength <= BufferEnd) {
    const UCHAR l = at[0];
    if (l < kCommonLength || at + l > BufferEnd) break;
    if (!first && at[1] == USB_INTERFACE_DESCRIPTOR_TYPE) break;
    first = false;
    length += l;
    at += l;
  }
  return length;
}

// Storage for the bus interface GUID, used by the simulated bus and tests.
// (The driver defines its own copy, as it must against the kernel headers.)
EXTERN_C const GUID USB_BUS_INTERFACE_USBDI_GUID = {
    0xb1a96a13, 0x3de0, 0x4574, {0x9b, 0x01, 0xc0, 0x8f, 0xea, 0xb3, 0x18, 0xd6}};
