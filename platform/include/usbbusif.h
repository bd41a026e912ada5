// Host stand-in for the Windows header usbbusif.h: the USBDI bus interface
// that the USB bus driver returns for IRP_MN_QUERY_INTERFACE with
// USB_BUS_INTERFACE_USBDI_GUID. Its routines are called with BusContext and
// may be called at IRQL <= DISPATCH_LEVEL.
#pragma once

#include "wdm.h"
#include "usb.h"

#define USB_BUSIFFN

// {B1A96A13-3DE0-4574-9B01-C08FEAB318D6}. Declared only, as in the kernel
// headers: a driver that names it must define its own storage, so code that
// links here also links against the real headers.
EXTERN_C const GUID USB_BUS_INTERFACE_USBDI_GUID;

#define USB_BUSIF_USBDI_VERSION_0 0x0000
#define USB_BUSIF_USBDI_VERSION_1 0x0001
#define USB_BUSIF_USBDI_VERSION_2 0x0002
#define USB_BUSIF_USBDI_VERSION_3 0x0003

typedef NTSTATUS(USB_BUSIFFN* PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB)(PVOID BusContext, PURB Urb);
// HcdCapabilities receives the host controller's capability bits.
typedef VOID(USB_BUSIFFN* PUSB_BUSIFFN_GETUSBDI_VERSION)(PVOID BusContext,
                                                        PUSBD_VERSION_INFORMATION VersionInformation,
                                                        PULONG HcdCapabilities);
// CurrentFrame receives the current 1 ms frame number.
typedef NTSTATUS(USB_BUSIFFN* PUSB_BUSIFFN_QUERY_BUS_TIME)(PVOID BusContext, PULONG CurrentFrame);
typedef NTSTATUS(USB_BUSIFFN* PUSB_BUSIFFN_QUERY_BUS_INFORMATION)(PVOID BusContext, ULONG Level,
                                                                  PVOID BusInformationBuffer,
                                                                  PULONG BusInformationBufferLength,
                                                                  PULONG BusInformationActualLength);
typedef BOOLEAN(USB_BUSIFFN* PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED)(PVOID BusContext);
typedef NTSTATUS(USB_BUSIFFN* PUSB_BUSIFFN_ENUM_LOG_ENTRY)(PVOID BusContext, ULONG DriverTag,
                                                           ULONG EnumTag, ULONG P1, ULONG P2);

typedef struct _USB_BUS_INTERFACE_USBDI_V0 {
  USHORT Size;
  USHORT Version;
  PVOID BusContext;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
  PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
  PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
  PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
  PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
} USB_BUS_INTERFACE_USBDI_V0, *PUSB_BUS_INTERFACE_USBDI_V0;

typedef struct _USB_BUS_INTERFACE_USBDI_V1 {
  USHORT Size;
  USHORT Version;
  PVOID BusContext;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
  PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
  PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
  PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
  PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
  PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
} USB_BUS_INTERFACE_USBDI_V1, *PUSB_BUS_INTERFACE_USBDI_V1;

typedef struct _USB_BUS_INTERFACE_USBDI_V2 {
  USHORT Size;
  USHORT Version;
  PVOID BusContext;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
  PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
  PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
  PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
  PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
  PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
  PUSB_BUSIFFN_ENUM_LOG_ENTRY EnumLogEntry;
} USB_BUS_INTERFACE_USBDI_V2, *PUSB_BUS_INTERFACE_USBDI_V2;

static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V0) == 64, "USB_BUS_INTERFACE_USBDI_V0 layout");
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) == 72, "USB_BUS_INTERFACE_USBDI_V1 layout");
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V2) == 80, "USB_BUS_INTERFACE_USBDI_V2 layout");
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V1, IsDeviceHighSpeed) == 64,
              "USB_BUS_INTERFACE_USBDI_V1 layout");
