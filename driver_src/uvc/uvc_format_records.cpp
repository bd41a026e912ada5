// uvc_format_records: raw format records, frame intervals and the subtype
// GUID <-> FOURCC mapping (see the header).
#include "uvc/uvc_format_records.h"

#include "img/img_type.h"
#include "usb/usb_utils.h"

namespace {

using namespace uvc_desc;

// {XXXXXXXX-0000-0010-8000-00AA00389B71}: the subtype GUID that carries a
// FOURCC in its first 32 bits.
constexpr GUID fourcc_subtype_base = {
    0x00000000, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

// A FOURCC whose subtype GUID is not the FOURCC form, and that GUID.
struct rgb_subtype {
  ULONG fourcc;
  const GUID* subtype;
};
const rgb_subtype rgb_subtypes[] = {
    {img::FOURCC_RGB24, &MEDIASUBTYPE_RGB24},  // "RGB3": 24-bit B G R
    {img::FOURCC_RGB32, &MEDIASUBTYPE_RGB32},  // "RGB4": 32-bit B G R X
    {img::FOURCC_RGB8, &MEDIASUBTYPE_RGB8},    // "RGB8": 8-bit palettised
};

// Where a frame descriptor keeps its default interval and interval type;
// the intervals themselves start at frame_intervals in every layout.
struct frame_layout {
  ULONG default_interval;
  ULONG interval_type;
};
constexpr frame_layout uncompressed_frame_layout = {frame_dwDefaultFrameInterval,
                                                    frame_bFrameIntervalType};
constexpr frame_layout frame_based_frame_layout = {fb_frame_dwDefaultFrameInterval,
                                                   fb_frame_bFrameIntervalType};

const frame_layout& layout_of(ULONG format_subtype) {
  return format_subtype == vs_format_frame_based ? frame_based_frame_layout
                                                 : uncompressed_frame_layout;
}

// True when the frame descriptor holds its fixed fields and every interval
// it declares.
bool frame_is_complete(const UCHAR* frame, const frame_layout& layout) {
  const ULONG length = frame[usb_desc::bLength];
  return length >= frame_size &&
         length >= frame_intervals + uvc_frame_interval_bytes(frame, layout.interval_type);
}

// The frame fields of a record; the caller has checked frame_is_complete.
void fill_frame_fields(const UCHAR* frame, const frame_layout& layout, raw_format_record* record) {
  const ULONG type = frame[layout.interval_type];
  record->frame_index = frame[bFrameIndex];
  record->width = le16(frame + wWidth);
  record->height = le16(frame + wHeight);
  record->min_interval = le32(frame + frame_intervals);
  // The last discrete interval, or the continuous range's maximum (the
  // second of minimum, maximum, step).
  record->max_interval = le32(frame + frame_intervals + 4 * (type != 0 ? type - 1 : 1));
  record->default_interval = le32(frame + layout.default_interval);
}

// A record whose GUID and bit depth come from an uncompressed or
// frame-based format descriptor.
NTSTATUS append_guid_record(const UCHAR* format, ULONG format_length, const UCHAR* frame,
                            const frame_layout& layout, raw_format_list* records) {
  if (format == nullptr || frame == nullptr || records == nullptr ||
      format[usb_desc::bLength] < format_length || !frame_is_complete(frame, layout)) {
    return STATUS_INVALID_PARAMETER;
  }
  raw_format_record record = {};
  record.format_index = format[bFormatIndex];
  record.subtype = read_wire_guid(format + guidFormat);
  record.bits_per_pixel = format[bBitsPerPixel];
  fill_frame_fields(frame, layout, &record);
  return records->append(record);
}

}  // namespace

ULONG fourcc_from_subtype(const GUID& subtype) {
  for (const rgb_subtype& row : rgb_subtypes) {
    if (same_guid(subtype, *row.subtype)) return row.fourcc;
  }
  return subtype.Data1;
}

GUID subtype_from_fourcc(ULONG fourcc) {
  for (const rgb_subtype& row : rgb_subtypes) {
    if (row.fourcc == fourcc) return *row.subtype;
  }
  GUID subtype = fourcc_subtype_base;
  subtype.Data1 = fourcc;
  return subtype;
}

NTSTATUS append_uncompressed_record(const UCHAR* format, const UCHAR* frame,
                                    raw_format_list* records) {
  return append_guid_record(format, format_uncompressed_size, frame, uncompressed_frame_layout,
                            records);
}

NTSTATUS append_frame_based_record(const UCHAR* format, const UCHAR* frame,
                                   raw_format_list* records) {
  return append_guid_record(format, format_frame_based_size, frame, frame_based_frame_layout,
                            records);
}

NTSTATUS append_mjpeg_record(const UCHAR* format, const UCHAR* frame, raw_format_list* records) {
  if (format == nullptr || frame == nullptr || records == nullptr ||
      format[usb_desc::bLength] < format_mjpeg_size ||
      !frame_is_complete(frame, uncompressed_frame_layout)) {
    return STATUS_INVALID_PARAMETER;
  }
  raw_format_record record = {};
  record.format_index = format[bFormatIndex];
  record.subtype = subtype_from_fourcc(img::FOURCC_MJPG);
  record.bits_per_pixel = 24;  // what a decoded MJPEG frame is sized as
  fill_frame_fields(frame, uncompressed_frame_layout, &record);
  return records->append(record);
}

// ---- frame intervals -------------------------------------------------------------

const UCHAR* find_frame_descriptor(const uvc_descriptor_set* set, ULONG format_index,
                                   ULONG frame_index, ULONG* format_subtype) {
  if (set == nullptr) return nullptr;
  for (ULONG f = 0; f < set->format_count && f < uvc_max_formats; ++f) {
    const uvc_format_slot& slot = set->formats[f];
    if (slot.format == nullptr || slot.format[bFormatIndex] != format_index) continue;
    for (ULONG r = 0; r < slot.frame_count && r < uvc_max_frames; ++r) {
      const UCHAR* frame = slot.frames[r];
      if (frame != nullptr && frame[bFrameIndex] == frame_index) {
        if (format_subtype != nullptr) *format_subtype = slot.subtype;
        return frame;
      }
    }
    return nullptr;  // format indices are unique in the set
  }
  return nullptr;
}

namespace {

void sift_down(LONGLONG* a, ULONG root, ULONG count) {
  for (;;) {
    ULONG child = 2 * root + 1;
    if (child >= count) return;
    if (child + 1 < count && a[child + 1] > a[child]) ++child;
    if (a[root] >= a[child]) return;
    const LONGLONG t = a[root];
    a[root] = a[child];
    a[child] = t;
    root = child;
  }
}

// The values a continuous range lists: minimum, then minimum + i * stride
// while below the maximum, then the maximum (see the header).
struct continuous_listing {
  ULONG count;
  ULONGLONG stride;  // 0 when the list is just minimum (and maximum)
};

continuous_listing plan_continuous(ULONG minimum, ULONG maximum, ULONG step) {
  if (maximum <= minimum) return {1, 0};
  if (step == 0) return {2, 0};
  const ULONGLONG span = static_cast<ULONGLONG>(maximum) - minimum;
  const ULONGLONG steps = (span + step - 1) / step;
  ULONGLONG stride = step;
  if (steps + 1 > uvc_max_listed_intervals) {
    stride *= (steps + uvc_max_listed_intervals - 2) / (uvc_max_listed_intervals - 1);
  }
  return {static_cast<ULONG>((span + stride - 1) / stride + 1), stride};
}

}  // namespace

void sort_intervals(LONGLONG* values, ULONG count) {
  if (values == nullptr || count < 2) return;
  for (ULONG i = count / 2; i-- > 0;) sift_down(values, i, count);
  for (ULONG last = count - 1; last > 0; --last) {
    const LONGLONG t = values[0];
    values[0] = values[last];
    values[last] = t;
    sift_down(values, 0, last);
  }
}

NTSTATUS list_frame_intervals(const uvc_descriptor_set* set, ULONG format_index, ULONG frame_index,
                              LONGLONG* intervals, ULONG* count) {
  if (set == nullptr || count == nullptr) return STATUS_INVALID_PARAMETER;
  ULONG format_subtype = 0;
  const UCHAR* frame = find_frame_descriptor(set, format_index, frame_index, &format_subtype);
  if (frame == nullptr) return STATUS_INVALID_PARAMETER;
  const frame_layout& layout = layout_of(format_subtype);
  if (!frame_is_complete(frame, layout)) return STATUS_INVALID_PARAMETER;

  const ULONG type = frame[layout.interval_type];
  const UCHAR* values = frame + frame_intervals;
  if (type != 0) {
    if (intervals == nullptr || *count < type) {
      *count = type;
      return STATUS_BUFFER_OVERFLOW;
    }
    for (ULONG i = 0; i < type; ++i) intervals[i] = le32(values + 4 * i);
    sort_intervals(intervals, type);
    *count = type;
    return STATUS_SUCCESS;
  }

  const ULONG minimum = le32(values);
  const ULONG maximum = le32(values + 4);
  const ULONG step = le32(values + 8);
  const continuous_listing plan = plan_continuous(minimum, maximum, step);
  if (intervals == nullptr || *count < plan.count) {
    *count = plan.count;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (plan.stride == 0) {
    intervals[0] = minimum;
    if (plan.count == 2) intervals[1] = maximum;
  } else {
    for (ULONG i = 0; i + 1 < plan.count; ++i) {
      intervals[i] = static_cast<LONGLONG>(minimum + i * plan.stride);
    }
    intervals[plan.count - 1] = maximum;
  }
  *count = plan.count;
  return STATUS_SUCCESS;
}
