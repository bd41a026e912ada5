// Host stand-in for the Windows header usbdlib.h: the URB-building macros and
// the descriptor-parsing and configuration-request routines of usbd.sys
// (implemented in platform/src/usb_descriptors.cpp).
#pragma once

#include "wdm.h"
#include "usb.h"

typedef struct _USBD_INTERFACE_LIST_ENTRY {
  PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;  // in: the interface and alternate setting
  PUSBD_INTERFACE_INFORMATION Interface;  // out: its record inside the configuration URB
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;
static_assert(sizeof(USBD_INTERFACE_LIST_ENTRY) == 16, "USBD_INTERFACE_LIST_ENTRY layout");

// ---- sizes ----------------------------------------------------------------------
// Each interface record already holds its first pipe.
#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes) \
  (sizeof(struct _URB_SELECT_CONFIGURATION) +                              \
   (((totalInterfaces) - 1) * sizeof(USBD_INTERFACE_INFORMATION)) +        \
   (((totalPipes) - (totalInterfaces)) * sizeof(USBD_PIPE_INFORMATION)))

#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes) \
  (sizeof(struct _URB_SELECT_INTERFACE) + (((totalPipes) - 1) * sizeof(USBD_PIPE_INFORMATION)))

#define GET_USBD_INTERFACE_SIZE(numEndpoints)                                         \
  (sizeof(USBD_INTERFACE_INFORMATION) + (sizeof(USBD_PIPE_INFORMATION) * (numEndpoints)) - \
   sizeof(USBD_PIPE_INFORMATION))

#define GET_ISO_URB_SIZE(n) \
  (sizeof(struct _URB_ISOCH_TRANSFER) + sizeof(USBD_ISO_PACKET_DESCRIPTOR) * (n))

static_assert(GET_ISO_URB_SIZE(40) == 632, "GET_ISO_URB_SIZE");
static_assert(GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 3) == 88 + 48 + 24,
              "GET_SELECT_CONFIGURATION_REQUEST_SIZE");
static_assert(GET_SELECT_INTERFACE_REQUEST_SIZE(2) == 56 + 24 * 2, "GET_SELECT_INTERFACE_REQUEST_SIZE");
static_assert(GET_USBD_INTERFACE_SIZE(3) == 24 * 4, "GET_USBD_INTERFACE_SIZE");

// ---- URB builders ---------------------------------------------------------------
#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer,        \
                                               transferBufferMDL, transferBufferLength,        \
                                               transferFlags, link)                            \
  {                                                                                            \
    (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                       \
    (urb)->UrbHeader.Length = (length);                                                        \
    (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                               \
    (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);           \
    (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);                 \
    (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                       \
    (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                         \
    (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                        \
  }

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId, \
                                     transferBuffer, transferBufferMDL, transferBufferLength,  \
                                     link)                                                     \
  {                                                                                            \
    (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                       \
    (urb)->UrbHeader.Length = (length);                                                        \
    (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);          \
    (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                \
    (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                      \
    (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                      \
    (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                              \
    (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                              \
    (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                       \
  }

#define UsbBuildGetStatusRequest(urb, op, index, transferBuffer, transferBufferMDL, link) \
  {                                                                                       \
    (urb)->UrbHeader.Function = (op);                                                     \
    (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);            \
    (urb)->UrbControlGetStatusRequest.TransferBufferLength = sizeof(USHORT);              \
    (urb)->UrbControlGetStatusRequest.TransferBufferMDL = (transferBufferMDL);            \
    (urb)->UrbControlGetStatusRequest.TransferBuffer = (transferBuffer);                  \
    (urb)->UrbControlGetStatusRequest.Index = (index);                                    \
    (urb)->UrbControlGetStatusRequest.UrbLink = (link);                                   \
  }

#define UsbBuildFeatureRequest(urb, op, featureSelector, index, link)          \
  {                                                                            \
    (urb)->UrbHeader.Function = (op);                                          \
    (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);     \
    (urb)->UrbControlFeatureRequest.FeatureSelector = (featureSelector);       \
    (urb)->UrbControlFeatureRequest.Index = (index);                           \
    (urb)->UrbControlFeatureRequest.UrbLink = (link);                          \
  }

#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor) \
  {                                                                              \
    (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;               \
    (urb)->UrbHeader.Length = (length);                                          \
    (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor); \
  }

#define UsbBuildSelectInterfaceRequest(urb, length, configurationHandle, interfaceNumber, \
                                       alternateSetting)                                  \
  {                                                                                       \
    (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;                            \
    (urb)->UrbHeader.Length = (length);                                                   \
    (urb)->UrbSelectInterface.Interface.AlternateSetting = (alternateSetting);            \
    (urb)->UrbSelectInterface.Interface.InterfaceNumber = (interfaceNumber);              \
    (urb)->UrbSelectInterface.Interface.Length =                                          \
        (sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION));             \
    (urb)->UrbSelectInterface.ConfigurationHandle = (configurationHandle);                \
  }

#define UsbBuildVendorRequest(urb, cmd, length, transferFlags, reservedbits, request, value, \
                              index, transferBuffer, transferBufferMDL, transferBufferLength, \
                              link)                                                           \
  {                                                                                          \
    (urb)->UrbHeader.Function = (cmd);                                                       \
    (urb)->UrbHeader.Length = (length);                                                      \
    (urb)->UrbControlVendorClassRequest.TransferBufferLength = (transferBufferLength);       \
    (urb)->UrbControlVendorClassRequest.TransferBufferMDL = (transferBufferMDL);             \
    (urb)->UrbControlVendorClassRequest.TransferBuffer = (transferBuffer);                   \
    (urb)->UrbControlVendorClassRequest.RequestTypeReservedBits = (reservedbits);            \
    (urb)->UrbControlVendorClassRequest.Request = (request);                                 \
    (urb)->UrbControlVendorClassRequest.Value = (value);                                     \
    (urb)->UrbControlVendorClassRequest.Index = (index);                                     \
    (urb)->UrbControlVendorClassRequest.TransferFlags = (transferFlags);                     \
    (urb)->UrbControlVendorClassRequest.UrbLink = (link);                                    \
  }

// ---- usbd.sys routines ---------------------------------------------------------------
// PASSIVE_LEVEL unless stated otherwise.

// Fills the USBD interface version and the highest USB version the stack
// supports.
EXTERN_C DECLSPEC_IMPORT VOID USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation);

// The first descriptor of DescriptorType at or after StartPosition within
// the TotalLength bytes at DescriptorBuffer, or NULL. Never reads past the
// buffer; a zero bLength ends the search.
EXTERN_C DECLSPEC_IMPORT PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer,
                                                                      ULONG TotalLength,
                                                                      PVOID StartPosition,
                                                                      LONG DescriptorType);

// The first interface descriptor at or after StartPosition inside the
// configuration (wTotalLength bytes) that matches every criterion that is
// not -1, or NULL.
EXTERN_C DECLSPEC_IMPORT PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol);

// A select-configuration URB for the interfaces of InterfaceList (ended by
// an entry with a NULL InterfaceDescriptor); each entry's Interface is set
// to its record inside the URB, with NumberOfPipes = bNumEndpoints and every
// pipe's MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE. The URB
// is non-paged pool; the caller frees it with ExFreePool. NULL when out of
// pool.
EXTERN_C DECLSPEC_IMPORT PURB USBD_CreateConfigurationRequestEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

// Bytes from the interface descriptor up to the next interface descriptor
// or BufferEnd, whichever comes first.
EXTERN_C DECLSPEC_IMPORT ULONG USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor,
                                                       PUCHAR BufferEnd);
