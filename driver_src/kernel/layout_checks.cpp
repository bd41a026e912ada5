// Sizes and field offsets of the kernel records the driver shares with the
// kernel, ks.sys and the USB stack, as the x64 kernel lays them out. This
// file is compiled in both builds: against the real kernel headers it proves
// the numbers, against the host stand-in it proves the stand-in matches them.
// No code.
#include <stddef.h>

#include "kernel/kernel_api.h"

static_assert(sizeof(UNICODE_STRING) == 16, "UNICODE_STRING");
static_assert(offsetof(UNICODE_STRING, Buffer) == 8, "UNICODE_STRING.Buffer");
static_assert(sizeof(LIST_ENTRY) == 16, "LIST_ENTRY");

static_assert(sizeof(KEVENT) == 24, "KEVENT");
static_assert(sizeof(KMUTEX) == 56, "KMUTEX");
static_assert(sizeof(KSEMAPHORE) == 32, "KSEMAPHORE");
static_assert(sizeof(FAST_MUTEX) == 56, "FAST_MUTEX");

static_assert(sizeof(XSTATE_SAVE) == 56, "XSTATE_SAVE");
static_assert(offsetof(XSTATE_SAVE, XStateContext) == 24, "XSTATE_SAVE.XStateContext");
static_assert(sizeof(XSTATE_CONTEXT) == 32, "XSTATE_CONTEXT");

static_assert(sizeof(IO_STATUS_BLOCK) == 16, "IO_STATUS_BLOCK");
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48, "OBJECT_ATTRIBUTES");

static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION) == 16, "KEY_VALUE_PARTIAL_INFORMATION");
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12, "KEY_VALUE_PARTIAL_INFORMATION.Data");
static_assert(offsetof(KEY_VALUE_BASIC_INFORMATION, Name) == 12, "KEY_VALUE_BASIC_INFORMATION.Name");
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, Name) == 20, "KEY_VALUE_FULL_INFORMATION.Name");
static_assert(offsetof(KEY_BASIC_INFORMATION, Name) == 16, "KEY_BASIC_INFORMATION.Name");
static_assert(sizeof(FILE_STANDARD_INFORMATION) == 24, "FILE_STANDARD_INFORMATION");

static_assert(sizeof(IRP) == 208, "IRP");
static_assert(offsetof(IRP, IoStatus) == 48, "IRP.IoStatus");
static_assert(offsetof(IRP, CancelRoutine) == 104, "IRP.CancelRoutine");
static_assert(offsetof(IRP, Tail) == 120, "IRP.Tail");
static_assert(offsetof(IRP, Tail.Overlay.ListEntry) == 168, "IRP.Tail.Overlay.ListEntry");
static_assert(offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 184,
              "IRP.Tail.Overlay.CurrentStackLocation");
static_assert(sizeof(IO_STACK_LOCATION) == 72, "IO_STACK_LOCATION");
static_assert(offsetof(IO_STACK_LOCATION, Parameters) == 8, "IO_STACK_LOCATION.Parameters");
static_assert(offsetof(IO_STACK_LOCATION, DeviceObject) == 40, "IO_STACK_LOCATION.DeviceObject");
static_assert(offsetof(IO_STACK_LOCATION, CompletionRoutine) == 56,
              "IO_STACK_LOCATION.CompletionRoutine");
// The kernel aligns DEVICE_OBJECT to 16 bytes (MEMORY_ALLOCATION_ALIGNMENT),
// which makes it 336 bytes; the mingw-w64 declaration lacks the alignment and
// is 328 bytes with the same fields at the same offsets. The driver never
// allocates or embeds one (IoCreateDevice does), so the fields are what count.
static_assert((sizeof(DEVICE_OBJECT) + 15) / 16 * 16 == 336, "DEVICE_OBJECT");
static_assert(offsetof(DEVICE_OBJECT, Reserved) == 320, "DEVICE_OBJECT.Reserved");
static_assert(offsetof(DEVICE_OBJECT, DeviceExtension) == 64, "DEVICE_OBJECT.DeviceExtension");
static_assert(offsetof(DEVICE_OBJECT, StackSize) == 76, "DEVICE_OBJECT.StackSize");
static_assert(offsetof(DEVICE_OBJECT, AlignmentRequirement) == 152,
              "DEVICE_OBJECT.AlignmentRequirement");
static_assert(offsetof(DEVICE_OBJECT, DeviceLock) == 280, "DEVICE_OBJECT.DeviceLock");
static_assert(sizeof(DRIVER_OBJECT) == 336, "DRIVER_OBJECT");
static_assert(offsetof(DRIVER_OBJECT, MajorFunction) == 112, "DRIVER_OBJECT.MajorFunction");
static_assert(sizeof(FILE_OBJECT) == 216, "FILE_OBJECT");
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES");
static_assert(sizeof(INTERFACE) == 32, "INTERFACE");
static_assert(sizeof(MDL) == 48, "MDL");

// USB descriptors as read from the device, and the URBs and interface
// records exchanged with the USB stack.
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "USB_DEVICE_DESCRIPTOR");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "USB_CONFIGURATION_DESCRIPTOR");
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9, "USB_INTERFACE_DESCRIPTOR");
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7, "USB_ENDPOINT_DESCRIPTOR");
static_assert(sizeof(_URB_HEADER) == 24, "_URB_HEADER");
static_assert(sizeof(_URB_SELECT_CONFIGURATION) == 88, "_URB_SELECT_CONFIGURATION");
static_assert(offsetof(_URB_SELECT_CONFIGURATION, ConfigurationHandle) == 32,
              "_URB_SELECT_CONFIGURATION.ConfigurationHandle");
static_assert(offsetof(_URB_SELECT_CONFIGURATION, Interface) == 40,
              "_URB_SELECT_CONFIGURATION.Interface");
static_assert(sizeof(_URB_SELECT_INTERFACE) == 80, "_URB_SELECT_INTERFACE");
static_assert(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) == 136, "_URB_CONTROL_DESCRIPTOR_REQUEST");
static_assert(sizeof(_URB_CONTROL_TRANSFER) == 136, "_URB_CONTROL_TRANSFER");
static_assert(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136,
              "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST");
static_assert(offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, RequestTypeReservedBits) == 128,
              "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST.RequestTypeReservedBits");
static_assert(offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value) == 130,
              "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST.Value");
static_assert(offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index) == 132,
              "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST.Index");
static_assert(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) == 128, "_URB_BULK_OR_INTERRUPT_TRANSFER");
static_assert(offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle) == 24,
              "_URB_BULK_OR_INTERRUPT_TRANSFER.PipeHandle");
static_assert(offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) == 36,
              "_URB_BULK_OR_INTERRUPT_TRANSFER.TransferBufferLength");
static_assert(offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL) == 48,
              "_URB_BULK_OR_INTERRUPT_TRANSFER.TransferBufferMDL");
static_assert(sizeof(_URB_ISOCH_TRANSFER) == 152, "_URB_ISOCH_TRANSFER");
static_assert(offsetof(_URB_ISOCH_TRANSFER, StartFrame) == 128, "_URB_ISOCH_TRANSFER.StartFrame");
static_assert(offsetof(_URB_ISOCH_TRANSFER, IsoPacket) == 140, "_URB_ISOCH_TRANSFER.IsoPacket");
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12, "USBD_ISO_PACKET_DESCRIPTOR");
static_assert(sizeof(_URB_PIPE_REQUEST) == 40, "_URB_PIPE_REQUEST");
static_assert(sizeof(URB) == 152, "URB");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24, "USBD_PIPE_INFORMATION");
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeHandle) == 8, "USBD_PIPE_INFORMATION.PipeHandle");
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48, "USBD_INTERFACE_INFORMATION");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 24, "USBD_INTERFACE_INFORMATION.Pipes");
static_assert(sizeof(USBD_INTERFACE_LIST_ENTRY) == 16, "USBD_INTERFACE_LIST_ENTRY");
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) == 72, "USB_BUS_INTERFACE_USBDI_V1");

// Property answers written for ks.sys's clients.
static_assert(sizeof(KSPROPERTY) == 24, "KSPROPERTY");
static_assert(sizeof(KSPROPERTY_DESCRIPTION) == 40, "KSPROPERTY_DESCRIPTION");
static_assert(offsetof(KSPROPERTY_DESCRIPTION, PropTypeSet) == 8, "KSPROPERTY_DESCRIPTION.PropTypeSet");
static_assert(offsetof(KSPROPERTY_DESCRIPTION, MembersListCount) == 32,
              "KSPROPERTY_DESCRIPTION.MembersListCount");
