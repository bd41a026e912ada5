// uvc_format_list: the camera's format list: raw format records from the
// descriptor set, the format entries (the pin's data ranges) with the
// registry's format constraints, the format an open request selects, the
// frame intervals of an entry, and the format queries of the families.
//
// PASSIVE_LEVEL. The lists are built once by init and only read afterwards
// (open and the pin's property and intersection handlers).
#include "uvc/uvc_camera.h"

#include "avstream/data_range.h"

// The camera's slots 15 and 16 as the record makers of
// build_raw_format_records.
struct uvc_camera::record_makers {
  uvc_camera* camera;
  NTSTATUS add_uncompressed_format(const UCHAR* format, const UCHAR* frame,
                                   raw_format_list* records) {
    return camera->add_uncompressed_format(format, frame, records);
  }
  NTSTATUS add_frame_based_format(const UCHAR* format, const UCHAR* frame,
                                  raw_format_list* records) {
    return camera->add_frame_based_format(format, frame, records);
  }
};

namespace {

// Most "allowed_fcc_%d" values read.
constexpr ULONG max_allowed_fourccs = 8;

bool contains(const ULONG* fourccs, ULONG count, ULONG fourcc) {
  for (ULONG i = 0; i < count; ++i) {
    if (fourccs[i] == fourcc) return true;
  }
  return false;
}

}  // namespace

NTSTATUS uvc_camera::build_format_list() {
  if (descriptors_ == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  raw_format_list records;
  record_makers makers = {this};
  NTSTATUS status = build_raw_format_records(descriptors_, &records, makers);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = filter_raw_formats(&records);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  format_entry_list entries;
  status = build_format_entries(records, &entries);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  raw_formats_.swap(records);
  return apply_format_constraints(entries);
}

// The registry may narrow the list to some FOURCCs ("allowed_fcc_0" to
// "allowed_fcc_7", up to the first missing or zero value) and one size
// ("allowed_width_0", "allowed_height_0"), and force one average time per
// frame ("force_avg_time_per_frame_0"). Kept entries are appended in order;
// running out of memory fails the whole list, so that no device starts
// with a format list cut short at random.
NTSTATUS uvc_camera::apply_format_constraints(const format_entry_list& entries) {
  ULONG allowed[max_allowed_fourccs];
  ULONG allowed_count = 0;
  WCHAR name[] = L"allowed_fcc_0";
  const ULONG digit = sizeof(name) / sizeof(WCHAR) - 2;
  for (ULONG i = 0; i < max_allowed_fourccs; ++i) {
    name[digit] = WCHAR(L'0' + i);
    ULONG fourcc = 0;
    if (!NT_SUCCESS(read_registry_dword(name, &fourcc)) || fourcc == 0) break;
    allowed[allowed_count++] = fourcc;
  }
  ULONG width = 0;
  ULONG height = 0;
  ULONG forced = 0;
  if (!NT_SUCCESS(read_registry_dword(L"allowed_width_0", &width))) width = 0;
  if (!NT_SUCCESS(read_registry_dword(L"allowed_height_0", &height))) height = 0;
  const NTSTATUS forced_status = read_registry_dword(L"force_avg_time_per_frame_0", &forced);
  if (!NT_SUCCESS(forced_status)) forced = 0;
  forced_frame_time_ = forced;
  DbgPrint("Format constraints: frame_time=%I64d, status=0x%x.\n", forced_frame_time_,
           forced_status);

  for (const format_entry& entry : entries) {
    const KS_BITMAPINFOHEADER& bitmap = entry.range.VideoInfoHeader.bmiHeader;
    if (allowed_count > 0 &&
        !contains(allowed, allowed_count, fourcc_from_subtype(entry.range.DataRange.SubFormat))) {
      continue;
    }
    if ((width != 0 && bitmap.biWidth != LONG(width)) ||
        (height != 0 && bitmap.biHeight != LONG(height))) {
      continue;
    }
    format_entry kept = entry;
    if (forced_frame_time_ != 0) {
      kept.range.VideoInfoHeader.AvgTimePerFrame = forced_frame_time_;
    }
    const NTSTATUS status = format_entries_.append(kept);
    if (!NT_SUCCESS(status)) {
      format_entries_.reset();
      return status;
    }
  }
  return STATUS_SUCCESS;
}

// ---- default slots of the format list ---------------------------------------------

NTSTATUS uvc_camera::add_frame_based_format(const UCHAR* format, const UCHAR* frame,
                                            raw_format_list* records) {
  return append_frame_based_record(format, frame, records);
}

NTSTATUS uvc_camera::add_uncompressed_format(const UCHAR* format, const UCHAR* frame,
                                             raw_format_list* records) {
  return append_uncompressed_record(format, frame, records);
}

NTSTATUS uvc_camera::build_format_entries(const raw_format_list& records,
                                          format_entry_list* entries) {
  for (ULONG i = 0; i < records.count(); ++i) {
    const raw_format_record& record = records[i];
    format_entry entry;
    entry.raw_index = i;
    make_data_range(&entry.range, record.subtype, LONG(record.width), LONG(record.height),
                    record.bits_per_pixel, record.default_interval, record.min_interval,
                    record.max_interval);
    const NTSTATUS status = entries->append(entry);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS uvc_camera::filter_raw_formats(raw_format_list*) { return STATUS_SUCCESS; }

// The first entry with the requested FOURCC's subtype whose output size
// range admits the requested size. The raw type has the requested size and
// the record's format and bit depth. The interval is not used here.
const raw_format_record* uvc_camera::find_format(img::img_type* raw_type,
                                                 const img::img_type& requested, LONGLONG) {
  const GUID subtype = subtype_from_fourcc(requested.type);
  for (const format_entry& entry : format_entries_) {
    if (!same_guid(entry.range.DataRange.SubFormat, subtype) ||
        !size_fits_caps(requested.dim_x, requested.dim_y, entry.range.ConfigCaps)) {
      continue;
    }
    if (entry.raw_index >= raw_formats_.count()) {
      continue;  // an entry of a family's builder that names no record
    }
    const raw_format_record& record = raw_formats_[ULONG(entry.raw_index)];
    *raw_type = make_img_type_bits(fourcc_from_subtype(record.subtype), requested.dim_x,
                                   requested.dim_y, record.bits_per_pixel);
    return &record;
  }
  return nullptr;
}

// ---- the pin's view ------------------------------------------------------------------

ULONG uvc_camera::get_format_count() const { return format_entries_.count(); }

NTSTATUS uvc_camera::copy_format_entries(KS_DATARANGE_VIDEO* const* destinations,
                                         ULONG count) const {
  const ULONG entries = format_entries_.count();
  if (count < entries) {
    return STATUS_BUFFER_OVERFLOW;
  }
  if (entries > 0 && destinations == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  for (ULONG i = 0; i < entries; ++i) {
    if (destinations[i] == nullptr) return STATUS_INVALID_PARAMETER;
  }
  for (ULONG i = 0; i < entries; ++i) {
    RtlCopyMemory(destinations[i], &format_entries_[i].range, sizeof(KS_DATARANGE_VIDEO));
  }
  return STATUS_SUCCESS;
}

NTSTATUS uvc_camera::get_frame_intervals_of(ULONG index, PVOID request, ULONG request_size,
                                            LONGLONG* intervals, ULONG* count) {
  if (descriptors_ == nullptr || count == nullptr || index >= format_entries_.count()) {
    return STATUS_INVALID_PARAMETER;
  }
  if (forced_frame_time_ != 0) {
    // Every format runs at the forced time, and only at it.
    const ULONG capacity = *count;
    *count = 1;
    if (intervals == nullptr || capacity == 0) return STATUS_BUFFER_OVERFLOW;
    intervals[0] = forced_frame_time_;
    return STATUS_SUCCESS;
  }
  const ULONGLONG raw_index = format_entries_[index].raw_index;
  if (raw_index >= raw_formats_.count()) {
    return STATUS_INVALID_PARAMETER;
  }
  const raw_format_record& record = raw_formats_[ULONG(raw_index)];
  NTSTATUS status = get_frame_intervals(&record, request, request_size, intervals, count);
  if (status != STATUS_NOT_IMPLEMENTED) {
    if (NT_SUCCESS(status) && intervals != nullptr) sort_intervals(intervals, *count);
    return status;
  }
  // The descriptor's own list: discrete values, or a continuous range from
  // its minimum to its maximum (list_frame_intervals says how it is thinned).
  return list_frame_intervals(descriptors_, record.format_index, record.frame_index, intervals,
                              count);
}

// ---- format queries for families ------------------------------------------------------

bool uvc_camera::has_format_entry(const GUID& subtype) const {
  for (const format_entry& entry : format_entries_) {
    if (same_guid(entry.range.DataRange.SubFormat, subtype)) return true;
  }
  return false;
}

bool uvc_camera::raw_formats_have_fourcc(const ULONG* fourccs, ULONG count) const {
  for (const raw_format_record& record : raw_formats_) {
    if (contains(fourccs, count, fourcc_from_subtype(record.subtype))) return true;
  }
  return false;
}

bool uvc_camera::format_entries_have_fourcc(const ULONG* fourccs, ULONG count) const {
  for (const format_entry& entry : format_entries_) {
    if (contains(fourccs, count, fourcc_from_subtype(entry.range.DataRange.SubFormat))) {
      return true;
    }
  }
  return false;
}
