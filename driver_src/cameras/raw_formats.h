// raw_formats: what the declared formats of a raw-sensor camera say about
// it (colour or mono, the Bayer pattern, the formats that decide which
// client formats it may offer), and the builder of a derived format entry.
// The tables of what each family derives from which camera format are the
// families' own (camera_83xx.cpp, camera_84xx.cpp). PASSIVE_LEVEL, at init.
#pragma once

#include "img/img_type.h"
#include "kernel/kernel_api.h"
#include "uvc/uvc_camera.h"

struct raw_format_traits {
  img::bayer_pattern pattern;  // "BA81" 0, else "GBRG" 1, else "RGGB" 3, else "GRBG" 2, else 2
  bool colour;                 // an 8-bit Bayer format ("BY8 ", "BA81", "GBRG", "RGGB", "GRBG")
  bool has_yuy2;               // "YUY2" (and "UYVY" where the family counts it)
  // "Y800" and nothing the camera could deliver colour from: no "YUY2"
  // (nor "UYVY"), no Bayer format, no "RGB3"/"RGB4".
  bool mono_rgb;
  bool has_bayer16;  // "BG16", "GB16", "BA16" or "RG16"
  bool has_y16;
  bool native_rgb24;  // the camera's own RGB24 (RGB32) media subtype
  bool native_rgb32;
};

// The traits of `records`. `uyvy_counts_as_yuy2`: the 84xx counts "UYVY" like
// "YUY2" for the mono-RGB decision.
raw_format_traits examine_raw_formats(const raw_format_list& records, bool uyvy_counts_as_yuy2);

bool is_bayer8_fourcc(ULONG fourcc);   // "BY8 ", "BA81", "GBRG", "GRBG", "RGGB"
bool is_bayer16_fourcc(ULONG fourcc);  // "BG16", "GB16", "BA16", "RG16"

// Appends an entry for raw record `raw_index` with another sub-format and
// bit depth, keeping its size and frame intervals. "RGB3" and "RGB4" get the
// RGB24 and RGB32 media subtypes, every other FOURCC its FOURCC subtype.
NTSTATUS derive_format(const raw_format_list& records, ULONG raw_index, ULONG fourcc,
                       ULONG bits_per_pixel, format_entry_list* entries);
// The record's own entry, unchanged.
NTSTATUS keep_format(const raw_format_list& records, ULONG raw_index, format_entry_list* entries);

// The FOURCC a raw source is transformed as: "BY8 " stands for the
// camera's own pattern.
ULONG source_fourcc_for_pattern(ULONG fourcc, img::bayer_pattern pattern);
