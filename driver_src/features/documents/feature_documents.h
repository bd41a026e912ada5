// The register-description documents of the image features, and the
// registers they describe. Each append_* function writes one document and
// appends it to the sink; STATUS_INSUFFICIENT_RESOURCES when the pool has
// no room (nothing is appended then). PASSIVE_LEVEL, at camera
// initialisation.
#pragma once

#include "features/documents/register_descriptions.h"

// Registers of the virtual register space: the property ids the features
// answer in named_property_set. 4 bytes each, little-endian; integers
// unsigned, the tone-mapping values IEEE single floats.
namespace feature_register {
constexpr ULONG denoise = 0x01;                  // 0..25
constexpr ULONG wb_temperature = 0x02;           // kelvin
constexpr ULONG wb_auto = 0x03;
constexpr ULONG wb_one_push = 0x04;              // write 1
constexpr ULONG wb_auto_preset = 0x05;           // 0..4
constexpr ULONG wb_red = 0x06;                   // 0..255, 64 = 1.0
constexpr ULONG wb_green = 0x07;
constexpr ULONG wb_blue = 0x08;
constexpr ULONG wb_mode = 0x09;                  // 0 grey world, 1 temperature
constexpr ULONG highlight_reduction = 0x0A;
constexpr ULONG named_set_selected = 0x11;       // the named property sets' control
constexpr ULONG named_set_load = 0x12;           // write-only
constexpr ULONG tone_mapping_enable = 0x20;
constexpr ULONG tone_mapping_intensity = 0x24;   // float
constexpr ULONG tone_mapping_brightness = 0x28;  // float: global brightness factor
constexpr ULONG tone_mapping_auto = 0x2C;
constexpr ULONG tone_mapping_a = 0x30;           // floats: mul, add, pow, luminance average
constexpr ULONG tone_mapping_b = 0x34;
constexpr ULONG tone_mapping_c = 0x38;
constexpr ULONG tone_mapping_lum_avg = 0x3C;
constexpr ULONG sensor_wdr = 0x80;               // IMX236 wide dynamic range
}  // namespace feature_register

NTSTATUS append_white_balance_document(register_description_sink* sink);
NTSTATUS append_highlight_reduction_document(register_description_sink* sink);
NTSTATUS append_denoise_document(register_description_sink* sink);
NTSTATUS append_tone_mapping_document(register_description_sink* sink);
NTSTATUS append_sensor_wdr_document(register_description_sink* sink);

// The named property sets' document: the enumeration of the sets, one
// entry per name in list order (entry i has value i), and the load
// command. Names are byte strings of `length` bytes (a terminating zero
// within them ends the name). STATUS_INVALID_PARAMETER without names.
struct named_set_name {
  const char* text;
  ULONG length;
};
NTSTATUS append_named_sets_document(register_description_sink* sink, const named_set_name* names,
                                    ULONG count);
