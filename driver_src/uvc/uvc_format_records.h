// uvc_format_records: the raw format records (one per format and frame the
// camera declares) built from the descriptor set, the frame intervals a
// frame descriptor declares, and the subtype GUID <-> FOURCC mapping used
// wherever a format is compared by FOURCC. The format entries (the pin's
// data ranges), the registry constraints and the choice of a format at
// stream open belong to the camera.
//
// PASSIVE_LEVEL; no locks. The descriptor set must come from
// parse_uvc_descriptors (or hold descriptors that are as long as their
// bLength says); the builders still check each field they read against
// bLength.
#pragma once

#include "kernel/kernel_api.h"
#include "kernel/pool_array.h"
#include "uvc/uvc_descriptors.h"

// One (format, frame) pair of the camera. 48 bytes.
struct raw_format_record {
  ULONG format_index;      // bFormatIndex
  ULONG frame_index;       // bFrameIndex
  GUID subtype;            // guidFormat; the "MJPG" GUID for MJPEG
  ULONG bits_per_pixel;    // bBitsPerPixel; 24 for MJPEG
  ULONG width;             // wWidth
  ULONG height;            // wHeight
  ULONG min_interval;      // 100 ns: the first interval (a continuous range's minimum)
  ULONG max_interval;      // 100 ns: the last discrete interval or the range's maximum
  ULONG default_interval;  // 100 ns: dwDefaultFrameInterval
};
static_assert(sizeof(raw_format_record) == 48, "raw format record is 48 bytes");

typedef pool_array<raw_format_record> raw_format_list;

// ---- subtype GUID <-> FOURCC ---------------------------------------------------
// The DirectShow subtypes of the RGB formats, whose GUIDs do not carry their
// FOURCC.
constexpr GUID MEDIASUBTYPE_RGB8 = {
    0xE436EB7A, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr GUID MEDIASUBTYPE_RGB24 = {
    0xE436EB7D, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr GUID MEDIASUBTYPE_RGB32 = {
    0xE436EB7E, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};

// MEDIASUBTYPE_RGB24/RGB32/RGB8 give "RGB3"/"RGB4"/"RGB8"; any other GUID
// gives its first 32 bits (Data1).
ULONG fourcc_from_subtype(const GUID& subtype);

// "RGB3"/"RGB4"/"RGB8" give MEDIASUBTYPE_RGB24/RGB32/RGB8; any other FOURCC
// gives {FOURCC-0000-0010-8000-00AA00389B71}.
GUID subtype_from_fourcc(ULONG fourcc);

// ---- raw format records ---------------------------------------------------------
// One record for a format descriptor and one of its frame descriptors,
// appended to `records`. STATUS_INVALID_PARAMETER when a pointer is null or
// a descriptor is too short for the fields read (the list is unchanged);
// STATUS_INSUFFICIENT_RESOURCES when the list cannot grow.
//   uncompressed: GUID and bits per pixel from the format; the frame's
//     default interval at 21, interval type at 25.
//   frame-based: as uncompressed, with the frame's default interval at 17
//     and interval type at 21.
//   MJPEG: the "MJPG" GUID, 24 bits per pixel, frame read as uncompressed.
NTSTATUS append_uncompressed_record(const UCHAR* format, const UCHAR* frame,
                                    raw_format_list* records);
NTSTATUS append_frame_based_record(const UCHAR* format, const UCHAR* frame,
                                   raw_format_list* records);
NTSTATUS append_mjpeg_record(const UCHAR* format, const UCHAR* frame, raw_format_list* records);

// The record makers build_raw_format_records uses by default; a camera
// family that reads some formats its own way passes an object with the same
// two members.
struct default_record_makers {
  NTSTATUS add_uncompressed_format(const UCHAR* format, const UCHAR* frame,
                                   raw_format_list* records) {
    return append_uncompressed_record(format, frame, records);
  }
  NTSTATUS add_frame_based_format(const UCHAR* format, const UCHAR* frame,
                                  raw_format_list* records) {
    return append_frame_based_record(format, frame, records);
  }
};

// Appends one record per frame of every format slot, in slot and frame
// order: uncompressed and frame-based pairs through `makers`, MJPEG pairs
// with append_mjpeg_record. STATUS_INVALID_PARAMETER for a null set, a
// count beyond the set's limits, or a null format or frame pointer; the
// first failure of a maker is returned. On failure `records` holds the
// records appended before it.
template <typename Makers>
NTSTATUS build_raw_format_records(const uvc_descriptor_set* set, raw_format_list* records,
                                  Makers& makers) {
  if (set == nullptr || records == nullptr || set->format_count > uvc_max_formats) {
    return STATUS_INVALID_PARAMETER;
  }
  for (ULONG f = 0; f < set->format_count; ++f) {
    const uvc_format_slot& slot = set->formats[f];
    if (slot.format == nullptr || slot.frame_count > uvc_max_frames)
      return STATUS_INVALID_PARAMETER;
    for (ULONG r = 0; r < slot.frame_count; ++r) {
      const UCHAR* frame = slot.frames[r];
      if (frame == nullptr) return STATUS_INVALID_PARAMETER;
      NTSTATUS status = STATUS_INVALID_PARAMETER;
      switch (slot.subtype) {
        case uvc_desc::vs_format_uncompressed:
          status = makers.add_uncompressed_format(slot.format, frame, records);
          break;
        case uvc_desc::vs_format_frame_based:
          status = makers.add_frame_based_format(slot.format, frame, records);
          break;
        case uvc_desc::vs_format_mjpeg:
          status = append_mjpeg_record(slot.format, frame, records);
          break;
        default:
          break;
      }
      if (!NT_SUCCESS(status)) return status;
    }
  }
  return STATUS_SUCCESS;
}

inline NTSTATUS build_raw_format_records(const uvc_descriptor_set* set, raw_format_list* records) {
  default_record_makers makers;
  return build_raw_format_records(set, records, makers);
}

// ---- frame intervals -------------------------------------------------------------
// No frame lists more values than this: a continuous range is thinned to
// it, and a discrete list holds at most 57 (bLength is one byte).
constexpr ULONG uvc_max_listed_intervals = 128;

// The frame descriptor with `frame_index` in the format with `format_index`;
// null when there is none. `*format_subtype` (optional) receives the
// format's subtype, which decides the frame's layout.
const UCHAR* find_frame_descriptor(const uvc_descriptor_set* set, ULONG format_index,
                                   ULONG frame_index, ULONG* format_subtype);

// The frame intervals (100 ns) of frame `frame_index` of format
// `format_index`, ascending, into `intervals`, which holds `*count` values.
//   Discrete (bFrameIntervalType n > 0): the n values.
//   Continuous (0; minimum, maximum, step): minimum, minimum + step,
//     minimum + 2 step, ... while below the maximum, then the maximum; a
//     range that is not a whole number of steps ends with a shorter step
//     to the maximum. A step of 0 lists minimum and maximum; a maximum at or
//     below the minimum lists the minimum alone. A range that would list
//     more than uvc_max_listed_intervals values lists every k-th step
//     instead, for the smallest k that keeps it within that number (still
//     from the minimum to the maximum).
// Returns STATUS_INVALID_PARAMETER for a null set or count, or a frame that
// does not exist; STATUS_BUFFER_OVERFLOW with `*count` := the number needed
// when `intervals` is null or smaller; else success with `*count` := the
// number written.
NTSTATUS list_frame_intervals(const uvc_descriptor_set* set, ULONG format_index, ULONG frame_index,
                              LONGLONG* intervals, ULONG* count);

// Heap sort of signed 64-bit values, ascending.
void sort_intervals(LONGLONG* values, ULONG count);
