// usb_utils: the driver's synchronous requests to the USB device's physical
// device object (the target device): URB submission with the
// cancel-on-time-out protocol, internal device-control requests without a
// URB (port reset and cycle), the USBDI bus-interface query, device and
// string descriptors, pipe abort and reset, the descriptor walk and the
// little-endian accessors every parser of wire data uses. The setup-packet
// funnel and the camera-level request wrappers built on it are in
// control_request; the device's configuration state is in usbdevice.
//
// Every function that waits runs at PASSIVE_LEVEL. None holds a lock; several
// threads may submit at once (the state of a request lives in its own call).
//
// Time-outs are in milliseconds. A request that has not completed when its
// time-out expires is cancelled, and the call returns STATUS_IO_TIMEOUT only
// once the lower driver has given the IRP back; nothing the request refers to
// (URB, buffers, the caller's stack) is in use by then.
#pragma once

#include "kernel/kernel_api.h"

// ---- little-endian wire accessors ------------------------------------------
// Callers check the length first; these only assemble the bytes.
inline USHORT le16(const UCHAR* p) { return static_cast<USHORT>(p[0] | (p[1] << 8)); }
inline ULONG le32(const UCHAR* p) {
  return static_cast<ULONG>(p[0]) | (static_cast<ULONG>(p[1]) << 8) |
         (static_cast<ULONG>(p[2]) << 16) | (static_cast<ULONG>(p[3]) << 24);
}
inline void put_le16(UCHAR* p, USHORT v) {
  p[0] = static_cast<UCHAR>(v);
  p[1] = static_cast<UCHAR>(v >> 8);
}
inline void put_le32(UCHAR* p, ULONG v) {
  p[0] = static_cast<UCHAR>(v);
  p[1] = static_cast<UCHAR>(v >> 8);
  p[2] = static_cast<UCHAR>(v >> 16);
  p[3] = static_cast<UCHAR>(v >> 24);
}

// ---- standard descriptor layout ----------------------------------------------
namespace usb_desc {

// Every descriptor.
constexpr ULONG bLength = 0;
constexpr ULONG bDescriptorType = 1;

constexpr UCHAR type_device = 1;
constexpr UCHAR type_configuration = 2;
constexpr UCHAR type_string = 3;
constexpr UCHAR type_interface = 4;
constexpr UCHAR type_endpoint = 5;

// Device descriptor (18 bytes).
constexpr ULONG device_size = 18;
constexpr ULONG dev_bcdUSB = 2;
constexpr ULONG dev_idVendor = 8;
constexpr ULONG dev_idProduct = 10;
constexpr ULONG dev_iManufacturer = 14;
constexpr ULONG dev_iProduct = 15;
constexpr ULONG dev_iSerialNumber = 16;
constexpr ULONG dev_bNumConfigurations = 17;

// Configuration descriptor header (9 bytes), followed by wTotalLength - 9
// bytes of interface, endpoint and class descriptors.
constexpr ULONG configuration_size = 9;
constexpr ULONG cfg_wTotalLength = 2;
constexpr ULONG cfg_bNumInterfaces = 4;
constexpr ULONG cfg_bConfigurationValue = 5;

// Interface descriptor (9 bytes).
constexpr ULONG interface_size = 9;
constexpr ULONG if_bInterfaceNumber = 2;
constexpr ULONG if_bAlternateSetting = 3;
constexpr ULONG if_bNumEndpoints = 4;
constexpr ULONG if_bInterfaceClass = 5;

// Endpoint descriptor (7 bytes).
constexpr ULONG endpoint_size = 7;
constexpr ULONG ep_bEndpointAddress = 2;
constexpr ULONG ep_bmAttributes = 3;
constexpr ULONG ep_wMaxPacketSize = 4;

// String descriptor: bLength, bDescriptorType, then UTF-16LE characters.
constexpr ULONG string_header_size = 2;

}  // namespace usb_desc

// Synchronous requests wait this long unless the caller says otherwise.
constexpr ULONG usb_default_timeout_ms = 1000;
// String descriptors: some devices are slow to answer them.
constexpr ULONG usb_string_timeout_ms = 3000;
// Language of every string the driver reads (LANG_ENGLISH, no sublanguage).
constexpr USHORT usb_string_language = 0x0009;
// Size of the buffer get_string_descriptor returns, and how much of it is
// requested from the device.
constexpr ULONG usb_string_buffer_size = 258;
constexpr ULONG usb_string_request_length = 244;

// ---- submission ----------------------------------------------------------------
// Sends `urb` with IOCTL_INTERNAL_USB_SUBMIT_URB and waits up to `timeout_ms`
// (null device → STATUS_INVALID_HANDLE).
// Returns the IRP's status (the URB keeps its own USBD status), or
// STATUS_IO_TIMEOUT after the timed-out request was cancelled and has come
// back, or STATUS_INSUFFICIENT_RESOURCES when no IRP could be built.
NTSTATUS submit_urb_sync(PDEVICE_OBJECT device, PURB urb, ULONG timeout_ms);

// An internal device-control request without buffers, e.g.
// IOCTL_INTERNAL_USB_CYCLE_PORT; waits for it without a time-out.
NTSTATUS send_ioctl_sync(PDEVICE_OBJECT device, ULONG ioctl_code);

// As send_ioctl_sync, with `argument` in the next stack location's
// Argument1 when non-null, and the cancel-on-time-out protocol of
// submit_urb_sync (STATUS_IO_TIMEOUT).
NTSTATUS send_ioctl_timed(PDEVICE_OBJECT device, ULONG ioctl_code, PVOID argument,
                          ULONG timeout_ms);

// Asks the bus for USB_BUS_INTERFACE_USBDI_V1. On success `*is_high_speed`
// and `*host_usb_version` (the host stack's Supported_USB_Version, BCD, e.g.
// 0x200) are filled; when the bus has no such interface, or it lacks
// GetUSBDIVersion or IsDeviceHighSpeed, they are FALSE and 0 and the result is
// STATUS_NOT_SUPPORTED.
NTSTATUS query_usbdi_interface(PDEVICE_OBJECT device, BOOLEAN* is_high_speed,
                               ULONG* host_usb_version);

// ---- descriptors ----------------------------------------------------------------
// The 18-byte device descriptor into `descriptor` (zeroed first, so a short
// answer leaves zeros rather than stale bytes). Null device or buffer →
// STATUS_INVALID_PARAMETER.
NTSTATUS get_device_descriptor(PDEVICE_OBJECT device, UCHAR* descriptor);

// String descriptor `index` in language `language_id`. On success
// `*descriptor` is a zero-filled usb_string_buffer_size-byte buffer ("Pcvu")
// holding what the device returned; free it with free_string_descriptor.
// On failure `*descriptor` is null.
NTSTATUS get_string_descriptor(PDEVICE_OBJECT device, UCHAR index, USHORT language_id,
                               ULONG timeout_ms, UCHAR** descriptor);
void free_string_descriptor(UCHAR* descriptor);

// The text of string `index` into `text` (Buffer and MaximumLength given by
// the caller; Length set here, a terminator appended when there is room).
// A descriptor of 4 bytes or less reads "DEADBEEF". Characters are taken up to
// a NUL, the end of the descriptor or the end of `text`; a string that does
// not fit gives STATUS_BUFFER_OVERFLOW with the part that fits.
NTSTATUS get_string(PDEVICE_OBJECT device, UCHAR index, USHORT language_id,
                    PUNICODE_STRING text, ULONG timeout_ms);

// First descriptor of `descriptor_type` at or after `start`, walking by
// bLength; null at a bLength below 2 (a zero length would never advance),
// at a descriptor that would run past `end`, or at `end`.
const UCHAR* find_descriptor(const UCHAR* start, const UCHAR* end, UCHAR descriptor_type);

// ---- pipes ------------------------------------------------------------------------
// URB_FUNCTION_ABORT_PIPE / URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL on
// the pipe, 1000 ms. The result is USBD_STATUS_ERROR_BUSY when the URB ends
// with it (the pipe still has requests the caller must wait for), else the
// status of the submission.
NTSTATUS abort_pipe(PDEVICE_OBJECT device, const USBD_PIPE_INFORMATION* pipe);
NTSTATUS reset_pipe(PDEVICE_OBJECT device, const USBD_PIPE_INFORMATION* pipe);
