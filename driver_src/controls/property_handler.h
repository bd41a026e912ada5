// The filter's property handler: every property item of the filter's
// automation table (avstream/filter_descriptor.cpp) names
// filter_property_handler for its get, set and support requests. It finds
// the device behind the request and routes it: a key with a registered
// control goes to the camera's control registry (property_request);
// otherwise the set decides: device identity, driver information, driver
// properties (the camera's driver-property slots), video control (trigger
// and flips through their controls, the frame rates from the camera's
// format tables), dropped frames (the attached capture pin), the
// frame-interval list. Anything else is STATUS_NOT_IMPLEMENTED.
//
// Everything here runs at PASSIVE_LEVEL, called by ks.sys, under the
// device's state mutex (device_context::serve_property). A route never
// reports more bytes than the data buffer holds.
#pragma once

#include "kernel/kernel_api.h"

class device_context;

// Property request flags (the kernel-streaming property types).
constexpr ULONG property_flag_get = KSPROPERTY_TYPE_GET;                     // 0x1
constexpr ULONG property_flag_set = KSPROPERTY_TYPE_SET;                     // 0x2
constexpr ULONG property_flag_set_support = KSPROPERTY_TYPE_SETSUPPORT;      // 0x100
constexpr ULONG property_flag_basic_support = KSPROPERTY_TYPE_BASICSUPPORT;  // 0x200

// One property request as the routes see it, built per request.
struct property_call {
  PIRP irp;
  const KSPROPERTY* property;  // set GUID, id and flags
  PVOID extra_input;           // input bytes after the 24-byte property header
  ULONG extra_input_length;
  PVOID data;            // the data buffer (the output of a get)
  ULONG data_length;     // the IRP's output buffer length
  ULONG bytes_returned;  // starts at 0; becomes IoStatus.Information
};

// ---- records answered here (byte offsets; all little-endian, zero-filled) -----
namespace driver_information {
constexpr ULONG version_id = 0;      // 144 bytes
constexpr ULONG device_info_id = 1;  // 424 bytes: uvc_camera::get_device_info
constexpr ULONG version_size = 144;
constexpr ULONG device_info_size = 424;
constexpr ULONG record_kind = 0;     // 32-bit 4
constexpr ULONG version = 8;         // 64-bit: 2, 9, 8, 2001 from the most significant part
constexpr ULONG build_flavour = 16;  // UTF-16 "fre", 64 characters with the terminator
}  // namespace driver_information

namespace device_identity {
constexpr ULONG manufacturer_id = 100;  // 288 bytes
constexpr ULONG product_id = 101;       // 288 bytes
constexpr ULONG version_id = 102;       // 296 bytes
constexpr ULONG interface_id = 103;     // 288 bytes
constexpr ULONG record_size = 288;
constexpr ULONG version_record_size = 296;
constexpr ULONG text_capacity = 256;  // 8-bit texts, zero-terminated within
// id 100: idVendor at 24, the manufacturer string at 28.
constexpr ULONG vendor_id = 24;
constexpr ULONG manufacturer = 28;
// id 101: the serial number as a hexadecimal number at 24 (64-bit;
// 0xDEADBEEF when it is none), the product string at 32.
constexpr ULONG serial_number = 24;
constexpr ULONG product = 32;
constexpr ULONGLONG no_serial_number = 0xDEADBEEF;
// id 102: 5 at 24, 7 at 28, idProduct at 32, the version banner at 36.
constexpr ULONG version_major = 24;
constexpr ULONG version_minor = 28;
constexpr ULONG product_number = 32;
constexpr ULONG banner = 36;
// id 103: 66 at 24.
constexpr ULONG interface_version = 24;
}  // namespace device_identity

// Frame-interval list id 0: the request (after the header) holds the format
// index, width, height and a flag word; the answer is a 32-bit count and
// that many 64-bit intervals (100 ns).
namespace frame_interval_list {
constexpr ULONG intervals_id = 0;
constexpr ULONG request_size = 16;
constexpr ULONG format_index = 0;
}  // namespace frame_interval_list

// PFNKSHANDLER of every filter property item. No filter, device or camera
// behind the IRP → STATUS_INVALID_PARAMETER.
NTSTATUS filter_property_handler(PIRP irp, PKSIDENTIFIER request, PVOID data);

// Routes `call` for the device; the caller holds the device's state mutex
// and the device has a camera.
NTSTATUS dispatch_property(device_context* context, property_call* call);

