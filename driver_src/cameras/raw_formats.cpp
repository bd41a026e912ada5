// raw_formats: the traits of a raw-sensor camera's declared formats and the
// derived format entries (see the header).
#include "cameras/raw_formats.h"

#include "avstream/data_range.h"

namespace {

using namespace img;

// 8-bit Bayer FOURCCs in the order the pattern decision looks for them, with
// the pattern each names ("BY8 " names none).
struct pattern_row {
  ULONG fourcc;
  bayer_pattern pattern;
};
const pattern_row pattern_order[] = {
    {FOURCC_BGGR8, bayer_bggr},  // "BA81"
    {FOURCC_GBRG8, bayer_gbrg},
    {FOURCC_RGGB8, bayer_rggb},
    {FOURCC_GRBG8, bayer_grbg},
};
constexpr bayer_pattern default_pattern = bayer_grbg;

}  // namespace

bool is_bayer8_fourcc(ULONG fourcc) {
  return fourcc == FOURCC_BY8 || fourcc == FOURCC_BGGR8 || fourcc == FOURCC_GBRG8 ||
         fourcc == FOURCC_GRBG8 || fourcc == FOURCC_RGGB8;
}

bool is_bayer16_fourcc(ULONG fourcc) {
  return fourcc == FOURCC_BGGR16 || fourcc == FOURCC_GBRG16 || fourcc == FOURCC_GRBG16 ||
         fourcc == FOURCC_RGGB16;
}

raw_format_traits examine_raw_formats(const raw_format_list& records, bool uyvy_counts_as_yuy2) {
  raw_format_traits traits = {};
  bool declared[ARRAYSIZE(pattern_order)] = {};
  bool has_y800 = false;
  bool has_rgb = false;
  for (const raw_format_record& record : records) {
    const ULONG fourcc = fourcc_from_subtype(record.subtype);
    for (ULONG i = 0; i < ARRAYSIZE(pattern_order); ++i) {
      if (pattern_order[i].fourcc == fourcc) declared[i] = true;
    }
    if (is_bayer8_fourcc(fourcc)) traits.colour = true;
    if (is_bayer16_fourcc(fourcc)) traits.has_bayer16 = true;
    if (fourcc == FOURCC_YUY2 || (uyvy_counts_as_yuy2 && fourcc == FOURCC_UYVY)) {
      traits.has_yuy2 = true;
    }
    if (fourcc == FOURCC_Y800) has_y800 = true;
    if (fourcc == FOURCC_Y16) traits.has_y16 = true;
    if (fourcc == FOURCC_RGB24) traits.native_rgb24 = true;
    if (fourcc == FOURCC_RGB32) traits.native_rgb32 = true;
    if (fourcc == FOURCC_RGB24 || fourcc == FOURCC_RGB32) has_rgb = true;
  }
  traits.pattern = default_pattern;
  for (ULONG i = 0; i < ARRAYSIZE(pattern_order); ++i) {
    if (declared[i]) {
      traits.pattern = pattern_order[i].pattern;
      break;
    }
  }
  traits.mono_rgb = has_y800 && !traits.has_yuy2 && !traits.colour && !has_rgb;
  return traits;
}

NTSTATUS derive_format(const raw_format_list& records, ULONG raw_index, ULONG fourcc,
                       ULONG bits_per_pixel, format_entry_list* entries) {
  const raw_format_record& record = records[raw_index];
  format_entry entry;
  entry.raw_index = raw_index;
  make_data_range(&entry.range, subtype_from_fourcc(fourcc), LONG(record.width),
                  LONG(record.height), bits_per_pixel, record.default_interval, record.min_interval,
                  record.max_interval);
  return entries->append(entry);
}

NTSTATUS keep_format(const raw_format_list& records, ULONG raw_index, format_entry_list* entries) {
  const raw_format_record& record = records[raw_index];
  format_entry entry;
  entry.raw_index = raw_index;
  make_data_range(&entry.range, record.subtype, LONG(record.width), LONG(record.height),
                  record.bits_per_pixel, record.default_interval, record.min_interval,
                  record.max_interval);
  return entries->append(entry);
}

ULONG source_fourcc_for_pattern(ULONG fourcc, bayer_pattern pattern) {
  return fourcc == FOURCC_BY8 ? get_by8_fcc_from_pattern(pattern) : fourcc;
}
