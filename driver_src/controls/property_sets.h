// The driver's own property sets (GUIDs), shared by the filter's item table
// (avstream/filter_descriptor.cpp), the property handler and the controls.
// The standard sets (PROPSETID_VIDCAP_*) come from the kernel headers.
#pragma once

#include "kernel/kernel_api.h"

extern const GUID device_identity_set;      // {17B1576B-4B1B-4E5B-A677-EA9F62033727}
extern const GUID driver_information_set;   // {8E4DEEF8-B53B-4A30-B9B6-AFBBCBD182B4}
extern const GUID camera_extension_set;     // {515E97D1-C453-4772-A489-CC070A5A2442}
extern const GUID driver_property_set;      // {4CB0D141-9C2C-49E5-9005-D7C0382FD9D2}
extern const GUID camera_feature_set;       // {8CBCF1C6-53C3-4D79-8EDB-C0646575DAC8}
extern const GUID frame_interval_list_set;  // {BF3EC69E-94FC-4847-8DB0-F5636F7BE639}
extern const GUID extension_access_set;     // {9DDD5EDC-5EFF-4D3B-B85B-46FBC4E49E59}
extern const GUID named_property_set;       // {720550CB-806E-44EB-B9EE-5C02B5CBCC3D}

// Ids of camera_extension_set the driver's controls answer.
namespace extension_id {
constexpr ULONG whitebalance_blue = 101;       // white-balance component, blue (low 16 bits)
constexpr ULONG whitebalance_red = 102;        // white-balance component, red (high 16 bits)
constexpr ULONG exposure_auto_reference = 106;
constexpr ULONG one_push = 107;                // one-push register
constexpr ULONG exposure = 109;                // exposure in 100 us, with its automatic mode
constexpr ULONG trigger = 115;                 // trigger mode: capabilities and value words
constexpr ULONG offset_x = 118;                // region of interest
constexpr ULONG offset_y = 119;
constexpr ULONG pair_register = 122;           // 40-byte record: bit 1 and bit 0 of a register
constexpr ULONG one_push_focus = 124;
constexpr ULONG strobe = 125;                  // 88-byte record
constexpr ULONG exposure_seconds = 200;        // 56-byte float record
constexpr ULONG exposure_auto_max = 201;
constexpr ULONG exposure_auto_max_auto = 202;
constexpr ULONG strobe_delay = 203;            // strobe timing registers
constexpr ULONG strobe_duration = 204;
constexpr ULONG strobe_mode = 205;
constexpr ULONG whitebalance_green = 206;
constexpr ULONG auto_centre = 211;
constexpr ULONG binning = 212;
constexpr ULONG software_trigger = 213;
constexpr ULONG trigger_delay = 238;           // 56-byte float record
constexpr ULONG exposure_us = 239;
constexpr ULONG exposure_auto_max_us = 240;
constexpr ULONG gain = 241;
constexpr ULONG exposure_auto_max_seconds = 246;
constexpr ULONG focus_top = 247;               // focus region
constexpr ULONG focus_left = 248;
constexpr ULONG focus_bottom = 249;
constexpr ULONG focus_right = 250;
constexpr ULONG focus_region_enable = 251;
constexpr ULONG flip_x = 0x100004;
constexpr ULONG flip_y = 0x100005;
}  // namespace extension_id
