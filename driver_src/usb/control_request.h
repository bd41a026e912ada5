// Control requests: the one funnel for every setup-packet exchange with the
// camera (control_transfer, which also logs every failure with its request,
// value and index), and the camera-level requests built on it: vendor
// requests, USB Video Class requests to a unit or terminal, probe/commit
// negotiation, camera memory access through vendor request 0x10, the raw
// pass-through of a client's setup packet, and the port requests.
//
// This module is the control-request half of the driver's USB utilities;
// URB submission, descriptors and pipe requests are in usb_utils. The
// functions here take the camera's target device (the USB device's physical
// device object) rather than the camera, so that they need nothing of the
// camera but that; the camera keeps the committed probe/commit structure and
// passes it in.
//
// All functions wait and run at PASSIVE_LEVEL; none holds a lock (the camera
// serialises probe/commit with its stream mutex). Statuses of the USB stack
// are returned unchanged, except that the camera-level requests report a
// STATUS_TIMEOUT from below as STATUS_IO_TIMEOUT, and the probe steps listed
// at negotiate_stream_format report STATUS_INVALID_PARAMETER.
#pragma once

#include "kernel/kernel_api.h"
#include "usb/usb_utils.h"

// One vendor or class control transfer.
struct control_request {
  UCHAR is_out;     // non-zero: host-to-device data stage; zero: device-to-host
  UCHAR is_vendor;  // non-zero: vendor request; zero: class request
  UCHAR recipient;  // 0 device, 1 interface, 2 endpoint, 3 other
  UCHAR request;    // bRequest
  USHORT value;     // wValue
  USHORT index;     // wIndex
  USHORT length;    // wLength: bytes at `data`
  PVOID data;       // may be null when length is 0
};

// The URB function for (is_vendor, recipient); a recipient of 4 or more
// reports "RequestTarget < 4" and yields 0xFFFF.
USHORT control_urb_function(UCHAR is_vendor, UCHAR recipient);

// Sends `request` with a time-out of `timeout_ms` (negative: 1000 ms). On
// success `*transferred` (may be null) is the length of the data stage as the
// bus driver reports it. Null device → STATUS_INVALID_HANDLE; a recipient of 4
// or more, or data missing for a non-zero length → STATUS_INVALID_PARAMETER
// without a request; a request that times out → STATUS_IO_TIMEOUT once it has
// been cancelled and has come back.
NTSTATUS control_transfer(PDEVICE_OBJECT device, const control_request& request, LONG timeout_ms,
                          ULONG* transferred);

// control_transfer with 1000 ms; STATUS_TIMEOUT → STATUS_IO_TIMEOUT.
NTSTATUS vendor_request(PDEVICE_OBJECT device, const control_request& request,
                        ULONG* transferred);

// ---- USB Video Class requests ---------------------------------------------------
namespace uvc_request_code {
constexpr UCHAR set_cur = 0x01;
constexpr UCHAR get_cur = 0x81;
constexpr UCHAR get_min = 0x82;
constexpr UCHAR get_max = 0x83;
constexpr UCHAR get_res = 0x84;
constexpr UCHAR get_len = 0x85;
constexpr UCHAR get_info = 0x86;
constexpr UCHAR get_def = 0x87;
}  // namespace uvc_request_code

// Class request to an interface: data stage OUT only for SET_CUR; wValue =
// selector << 8, wIndex = entity << 8 | interface; 1000 ms.
NTSTATUS uvc_request(PDEVICE_OBJECT device, UCHAR request, UCHAR entity_id,
                     UCHAR interface_number, UCHAR selector, USHORT length, PVOID buffer,
                     ULONG* transferred);
NTSTATUS uvc_get_cur(PDEVICE_OBJECT device, UCHAR entity_id, UCHAR selector, USHORT length,
                     PVOID buffer, ULONG* transferred);
NTSTATUS uvc_set_cur(PDEVICE_OBJECT device, UCHAR entity_id, UCHAR selector, USHORT length,
                     PVOID buffer);

// ---- video probe and commit ----------------------------------------------------------
// The 34-byte streaming control of USB Video Class 1.1 (byte offsets).
namespace uvc_probe {
constexpr ULONG size = 34;
constexpr ULONG bmHint = 0;                     // 16-bit
constexpr ULONG bFormatIndex = 2;
constexpr ULONG bFrameIndex = 3;
constexpr ULONG dwFrameInterval = 4;            // 32-bit, 100 ns units
constexpr ULONG wKeyFrameRate = 8;
constexpr ULONG wPFrameRate = 10;
constexpr ULONG wCompQuality = 12;
constexpr ULONG wCompWindowSize = 14;
constexpr ULONG wDelay = 16;
constexpr ULONG dwMaxVideoFrameSize = 18;       // 32-bit, bytes
constexpr ULONG dwMaxPayloadTransferSize = 22;  // 32-bit, bytes
constexpr ULONG dwClockFrequency = 26;          // 32-bit, Hz
constexpr ULONG bmFramingInfo = 30;
constexpr ULONG bPreferedVersion = 31;
constexpr ULONG bMinVersion = 32;
constexpr ULONG bMaxVersion = 33;

constexpr ULONG probe = 0;   // which control: VS_PROBE_CONTROL
constexpr ULONG commit = 1;  // VS_COMMIT_CONTROL
}  // namespace uvc_probe

// `request` (SET_CUR or GET_CUR...) of the probe (which 0) or commit (which 1)
// control of the streaming interface 1, 34 bytes at `buffer`.
NTSTATUS probe_commit_request(PDEVICE_OBJECT device, ULONG which, UCHAR request, UCHAR* buffer);

// SET_CUR of the committed structure to the commit control again.
NTSTATUS commit_again(PDEVICE_OBJECT device, const UCHAR* committed);

// Probe/commit negotiation of the structure `desired` (built by the camera).
// `committed` is the camera's stored copy (34 bytes): replaced on success,
// unchanged on failure.
//  - GET_CUR(probe) fails → STATUS_INVALID_PARAMETER.
//  - With `skip_unchanged` set and a desired bmHint of 1 whose format index,
//    frame index and interval equal the current ones, nothing is probed; the
//    current structure is the negotiated one. Otherwise SET_CUR(probe),
//    GET_CUR(probe) (either failing → STATUS_INVALID_PARAMETER), and a
//    device that changed the format or frame index → STATUS_INVALID_PARAMETER.
//  - With `skip_unchanged` set and the negotiated structure equal to the
//    current one, the current one is committed without a request.
//  - Otherwise SET_CUR(commit) of the negotiated structure and GET_CUR(commit)
//    into the committed copy; their failures are returned unchanged.
NTSTATUS negotiate_stream_format(PDEVICE_OBJECT device, const UCHAR* desired,
                                 BOOLEAN skip_unchanged, UCHAR* committed);

// ---- camera memory (vendor request 0x10) ----------------------------------------------
// The 32-bit camera address goes in wValue (high half) and wIndex (low
// half); requests carry at most camera_memory_chunk bytes. A range that
// runs past the 32-bit address space → STATUS_INVALID_PARAMETER.
constexpr UCHAR camera_memory_request = 0x10;
constexpr ULONG camera_memory_chunk = 4096;
constexpr ULONG camera_memory_erase_block = 0x10000;
constexpr ULONG camera_memory_write_attempts = 5;

// Reads `length` bytes; `*bytes_read` (may be null) is the sum of what the
// requests returned. The first failing request ends the read with its status.
NTSTATUS read_camera_memory(PDEVICE_OBJECT device, ULONG address, PVOID buffer, ULONG length,
                            ULONG* bytes_read);

// Writes `length` bytes page by page (4096 bytes), reading every page back
// and writing it again when it differs, up to 5 attempts; a page still
// different then → STATUS_HARDWARE_MEMORY_ERROR. A failing request returns
// its status.
NTSTATUS write_camera_memory(PDEVICE_OBJECT device, ULONG address, const void* buffer,
                             ULONG length);

// Erases the 64 KiB blocks at start, start + 0x10000, ... below `end` (an
// OUT request without data for each).
NTSTATUS erase_camera_memory(PDEVICE_OBJECT device, ULONG start_address, ULONG end_address);

// ---- raw pass-through of a client's setup packet ---------------------------------------
// Header: vendor flag, recipient, host-to-device flag, bRequest, wValue,
// wIndex, wLength, then the data stage.
namespace raw_control {
constexpr ULONG is_vendor = 0;
constexpr ULONG recipient = 1;
constexpr ULONG is_out = 2;
constexpr ULONG request = 3;
constexpr ULONG value = 4;   // 16-bit
constexpr ULONG index = 6;   // 16-bit
constexpr ULONG length = 8;  // 16-bit
constexpr ULONG header_size = 10;
}  // namespace raw_control

// The request in `buffer` with its data stage after the header. A buffer
// shorter than the header plus wLength → STATUS_BUFFER_OVERFLOW, a recipient
// of 4 or more → STATUS_INVALID_PARAMETER; nothing is sent then.
NTSTATUS raw_control_set(PDEVICE_OBJECT device, PVOID buffer, ULONG size);

// The request whose header is in `input`, its data stage in `output`; on
// success `*returned` is the length of the data stage. An input shorter than
// the header or an output shorter than wLength → STATUS_BUFFER_OVERFLOW, a
// recipient of 4 or more → STATUS_INVALID_PARAMETER; nothing is sent then.
NTSTATUS raw_control_get(PDEVICE_OBJECT device, const void* input, ULONG input_size,
                         PVOID output, ULONG output_size, ULONG* returned);

// ---- port requests --------------------------------------------------------------------
// IOCTL_INTERNAL_USB_CYCLE_PORT / IOCTL_INTERNAL_USB_RESET_PORT, waiting
// without a time-out.
NTSTATUS cycle_port(PDEVICE_OBJECT device);
NTSTATUS reset_port(PDEVICE_OBJECT device);
// IOCTL_INTERNAL_USB_RESET_PORT with 1000 ms (pipe recovery of the readers).
NTSTATUS reset_port_timed(PDEVICE_OBJECT device);
