// defect_codec: the compressed list, the record walks and the "HTPX" file
// (see the header).
#include "cameras/defect_codec.h"

#include "kernel/pool_tags.h"

namespace {

constexpr ULONG edge_columns = 4;          // never corrected, never stored compressed
constexpr ULONG long_distance = 0xFFFF;    // the word that announces a 6-byte distance
constexpr ULONG count_bytes = 4;
constexpr ULONG minimum_compressed = count_bytes + 2;

// ---- "HTPX" ----
constexpr ULONG file_magic = 0x58505448;  // "HTPX" read little-endian
constexpr ULONG file_version = 1;
constexpr ULONG file_header_size = 12;
constexpr ULONG chunk_header_size = 20;
constexpr ULONG max_chunk_bytes = 0xA00000;
// {C94A3606-EE1D-44C8-881C-4050EB2927C7}, ...07 binning 2, ...08 binning 4:
// the GUID's bytes as stored, after the first.
constexpr UCHAR chunk_guid_tail[15] = {0x36, 0x4A, 0xC9, 0x1D, 0xEE, 0xC8, 0x44, 0x88,
                                       0x1C, 0x40, 0x50, 0xEB, 0x29, 0x27, 0xC7};
constexpr UCHAR chunk_guid_first = 0x06;

// ---- records ----
constexpr ULONG record_header_size = 4;
constexpr ULONG end_id_zero = 0;
constexpr ULONG end_id_ones = 0xFFFF;
constexpr ULONG skipped_id = 0x8FFF;
constexpr UCHAR header_mark = 0xFF;
constexpr UCHAR invalid_version = 0xFF;

void sift_down(ULONG* a, ULONG root, ULONG count) {
  for (;;) {
    ULONG child = 2 * root + 1;
    if (child >= count) return;
    if (child + 1 < count && a[child + 1] > a[child]) ++child;
    if (a[root] >= a[child]) return;
    const ULONG t = a[root];
    a[root] = a[child];
    a[child] = t;
    root = child;
  }
}

ULONG distance_bytes(ULONG d) { return d < long_distance ? 2 : 6; }

ULONG distance(ULONG previous, ULONG entry, ULONG width) {
  return (defect_y(entry) - defect_y(previous)) * width - defect_x(previous) + defect_x(entry);
}

NTSTATUS read_exact(const defect_source& source, ULONGLONG offset, PVOID buffer, ULONG length,
                    bool* complete) {
  ULONG got = 0;
  const NTSTATUS status = source.read(source.context, offset, buffer, length, &got);
  *complete = NT_SUCCESS(status) && got == length;
  return status;
}

// 0, 1, 2 for the three list chunks; -1 for any other.
int chunk_list(const UCHAR* guid) {
  for (ULONG i = 0; i < sizeof(chunk_guid_tail); ++i) {
    if (guid[i + 1] != chunk_guid_tail[i]) return -1;
  }
  if (guid[0] < chunk_guid_first || guid[0] > chunk_guid_first + 2) return -1;
  return int(guid[0] - chunk_guid_first);
}

}  // namespace

void sort_defects(ULONG* entries, ULONG count) {
  if (count < 2) return;
  for (ULONG i = count / 2; i-- > 0;) sift_down(entries, i, count);
  for (ULONG end = count - 1; end > 0; --end) {
    const ULONG t = entries[0];
    entries[0] = entries[end];
    entries[end] = t;
    sift_down(entries, 0, end);
  }
}

NTSTATUS compress_defects(const ULONG* entries, ULONG count, ULONG width, ULONG height, UCHAR* out,
                          ULONG capacity, ULONG* size, ULONG* written_entries) {
  *size = 0;
  if (written_entries != nullptr) *written_entries = 0;
  if (width == 0 || width > 0xFFFF || (count != 0 && entries == nullptr)) {
    return STATUS_INVALID_PARAMETER;
  }
  if (count > max_defect_entries) return STATUS_BUFFER_OVERFLOW;
  ULONG* kept = nullptr;
  if (count != 0) {
    kept = static_cast<ULONG*>(
        ExAllocatePoolWithTag(PagedPool, count * sizeof(ULONG), pool_tag::defect_lists));
    if (kept == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  }
  ULONG n = 0;
  for (ULONG i = 0; i < count; ++i) {
    const ULONG x = defect_x(entries[i]);
    if (x < edge_columns || x + edge_columns >= width || defect_y(entries[i]) >= height) continue;
    kept[n++] = entries[i];
  }
  sort_defects(kept, n);
  NTSTATUS status = STATUS_SUCCESS;
  ULONGLONG bytes = 0;
  for (;;) {
    bytes = count_bytes;
    ULONG previous = 0;
    for (ULONG i = 0; i < n; ++i) {
      bytes += distance_bytes(distance(previous, kept[i], width));
      previous = kept[i];
    }
    if (bytes <= capacity) break;
    if (n == 0) {
      status = STATUS_BUFFER_TOO_SMALL;
      break;
    }
    ULONGLONG k = ((ULONGLONG(capacity) * 1024 / bytes) * n) / 1024;
    if (k == n) k = n - 1;
    if (k == 0) {
      status = STATUS_BUFFER_TOO_SMALL;
      break;
    }
    n = ULONG(k);
  }
  if (NT_SUCCESS(status)) {
    defect_put32(out, n);
    ULONG at = count_bytes;
    ULONG previous = 0;
    for (ULONG i = 0; i < n; ++i) {
      const ULONG d = distance(previous, kept[i], width);
      if (d < long_distance) {
        defect_put16(out + at, d);
        at += 2;
      } else {
        defect_put16(out + at, long_distance);
        defect_put16(out + at + 2, d >> 16);
        defect_put16(out + at + 4, d & 0xFFFF);
        at += 6;
      }
      previous = kept[i];
    }
    *size = at;
    if (written_entries != nullptr) *written_entries = n;
  }
  if (kept != nullptr) ExFreePoolWithTag(kept, pool_tag::defect_lists);
  return status;
}

NTSTATUS compressed_defect_count(const UCHAR* data, ULONG length, ULONG* count) {
  *count = 0;
  if (length == 0) return STATUS_SUCCESS;
  // A list of one defect 2 bytes away is 6 bytes long: the shortest there is.
  if (length < minimum_compressed || data == nullptr) return STATUS_DATA_ERROR;
  const ULONG n = defect_le32(data);
  if (n == 0 || n > length) return STATUS_DATA_ERROR;
  *count = n;
  return STATUS_SUCCESS;
}

NTSTATUS decode_defects(const UCHAR* data, ULONG length, ULONG width, ULONG* out,
                        ULONG out_capacity, ULONG* decoded) {
  *decoded = 0;
  ULONG count = 0;
  NTSTATUS status = compressed_defect_count(data, length, &count);
  if (!NT_SUCCESS(status)) return status;
  if (count == 0) return STATUS_SUCCESS;
  if (width == 0 || out_capacity < count) return STATUS_DATA_ERROR;
  ULONG x = 0;
  ULONG y = 0;
  ULONG n = 0;
  ULONG at = count_bytes;
  while (n < count && at + 2 <= length) {
    ULONG d = defect_le16(data + at);
    at += 2;
    if (d == long_distance) {
      if (at + 4 > length) return STATUS_DATA_ERROR;
      d = defect_le16(data + at) << 16 | defect_le16(data + at + 2);
      at += 4;
    }
    x += d % width;
    y += d / width;
    if (x >= width) {
      x -= width;
      y += 1;
    }
    if (y > 0xFFFF) return STATUS_DATA_ERROR;
    out[n++] = make_defect(x, y);
  }
  *decoded = n;
  return STATUS_SUCCESS;
}

void free_defect_file(defect_file_lists* lists) {
  for (ULONG i = 0; i < 3; ++i) {
    if (lists->entries[i] != nullptr) ExFreePoolWithTag(lists->entries[i], pool_tag::defect_lists);
    lists->entries[i] = nullptr;
    lists->count[i] = 0;
    lists->present[i] = false;
  }
}

NTSTATUS parse_defect_file(const defect_source& source, defect_file_lists* lists) {
  RtlZeroMemory(lists, sizeof(*lists));
  UCHAR header[file_header_size];
  bool complete = false;
  NTSTATUS status = read_exact(source, 0, header, sizeof(header), &complete);
  if (!NT_SUCCESS(status) || !complete || defect_le32(header) != file_magic ||
      defect_le32(header + 4) != file_version) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONGLONG offset = defect_le32(header + 8);
  for (;;) {
    UCHAR chunk[chunk_header_size];
    status = read_exact(source, offset, chunk, sizeof(chunk), &complete);
    if (!complete) break;  // the end of the chunks (or of the file)
    const ULONG length = defect_le32(chunk + 16);
    if (length > max_chunk_bytes) {
      free_defect_file(lists);
      return STATUS_BUFFER_OVERFLOW;
    }
    const int list = chunk_list(chunk);
    if (list >= 0) {
      const ULONG count = length / sizeof(ULONG);
      ULONG* entries = nullptr;
      if (count != 0) {
        entries = static_cast<ULONG*>(
            ExAllocatePoolWithTag(PagedPool, count * sizeof(ULONG), pool_tag::defect_lists));
        if (entries == nullptr) {
          free_defect_file(lists);
          return STATUS_INSUFFICIENT_RESOURCES;
        }
        read_exact(source, offset + chunk_header_size, entries, count * sizeof(ULONG), &complete);
        if (!complete) {
          ExFreePoolWithTag(entries, pool_tag::defect_lists);
          break;  // cut short: the walk ends without it
        }
        for (ULONG i = 0; i < count; ++i) {
          entries[i] = defect_le32(reinterpret_cast<const UCHAR*>(entries + i));
        }
      }
      if (lists->entries[list] != nullptr) {
        ExFreePoolWithTag(lists->entries[list], pool_tag::defect_lists);
      }
      lists->entries[list] = entries;
      lists->count[list] = count;
      lists->present[list] = true;
    }
    offset += chunk_header_size + ULONGLONG(length);
  }
  return STATUS_SUCCESS;
}

NTSTATUS walk_eeprom_records(const defect_source& source, ULONG start, ULONG end,
                             defect_record_visit visit, PVOID context, UCHAR* version) {
  if (version != nullptr) *version = 0;
  if (end < start || end - start < record_header_size) return STATUS_NOT_FOUND;
  UCHAR header[record_header_size];
  bool complete = false;
  NTSTATUS status = read_exact(source, end - record_header_size, header, sizeof(header), &complete);
  if (!NT_SUCCESS(status)) return status;
  if (!complete || header[2] != header_mark || header[3] != 0) return STATUS_NOT_FOUND;
  if (version != nullptr) *version = header[0];
  if (header[0] == 0) return STATUS_NOT_SUPPORTED;
  if (header[0] == invalid_version) return STATUS_NOT_FOUND;
  ULONG top = end - record_header_size;  // records lie below this address
  for (;;) {
    if (top - start < record_header_size) return STATUS_SUCCESS;  // the window is full
    UCHAR record[record_header_size];
    status = read_exact(source, top - record_header_size, record, sizeof(record), &complete);
    if (!NT_SUCCESS(status)) return status;
    if (!complete) return STATUS_DATA_ERROR;
    const ULONG id = defect_le16(record);
    const ULONG length = defect_le16(record + 2);
    if (id == end_id_zero || id == end_id_ones) return STATUS_SUCCESS;
    top -= record_header_size;
    if (top - start < length) return STATUS_DATA_ERROR;
    top -= length;
    if (id == skipped_id) continue;
    status = visit(context, USHORT(id), top, length);
    if (!NT_SUCCESS(status)) return status;
  }
}

NTSTATUS walk_memory_records(const defect_source& source, ULONG start, ULONG end,
                             defect_record_visit visit, PVOID context) {
  if (end < start || end - start < record_header_size) return STATUS_UNSUCCESSFUL;
  UCHAR header[record_header_size];
  bool complete = false;
  NTSTATUS status = read_exact(source, start, header, sizeof(header), &complete);
  if (!NT_SUCCESS(status)) return status;
  if (!complete || header[2] != header_mark || header[3] != 0) return STATUS_UNSUCCESSFUL;
  if (header[0] == 0) return STATUS_NOT_SUPPORTED;
  ULONG position = start + record_header_size;
  while (end - position >= record_header_size) {
    UCHAR record[record_header_size];
    status = read_exact(source, position, record, sizeof(record), &complete);
    if (!NT_SUCCESS(status)) return status;
    if (!complete) return STATUS_DATA_ERROR;
    const ULONG id = defect_le16(record);
    ULONG length = defect_le16(record + 2);
    if (id == end_id_zero || id == end_id_ones) return STATUS_SUCCESS;
    position += record_header_size;
    if (id == skipped_id) length = (length + 3) & ~3u;
    if (end - position < length) return STATUS_DATA_ERROR;
    if (id != skipped_id) {
      status = visit(context, USHORT(id), position, length);
      if (!NT_SUCCESS(status)) return status;
    }
    position += length;
  }
  return STATUS_SUCCESS;
}
