// defect_codec: defect-pixel entries and the wire forms the defect stores
// share: the compressed, distance-coded list (sorted by line, then column;
// each entry the linear distance from the one before, 2 bytes below 65535
// and 6 bytes from there on), the tagged record walk of the camera's
// stores, and the "HTPX" defect file. Pure functions over caller buffers,
// so that the parsers can be driven from any byte source; any IRQL up to
// APC_LEVEL (they allocate from paged pool only where they say so).
#pragma once

#include "kernel/kernel_api.h"

// A defect entry: x in the low 16 bits, y in the high 16 bits (sensor
// coordinates, full resolution). Ascending entries are ascending (y, x).
constexpr ULONG defect_x(ULONG entry) { return entry & 0xFFFF; }
constexpr ULONG defect_y(ULONG entry) { return entry >> 16; }
constexpr ULONG make_defect(ULONG x, ULONG y) { return (x & 0xFFFF) | (y << 16); }

// The most entries a list may have.
constexpr ULONG max_defect_entries = 1000000;

// Sorts entries ascending in place (heap sort: no recursion, no memory).
void sort_defects(ULONG* entries, ULONG count);

// ---- compressed list ------------------------------------------------------------
// Compresses `count` entries for a sensor of width x height into `out`
// (`capacity` bytes): entries with x < 4, x >= width - 4 or y >= height are
// dropped, the rest sorted; while the words do not fit, the list is cut to
// its first k = ((capacity * 1024 / size) * n) / 1024 entries (n - 1 when
// that is n). `*size` is the bytes written. Needs a sorted copy: paged pool,
// tag "haat". STATUS_BUFFER_TOO_SMALL when not even one entry fits (nothing
// is written), STATUS_INVALID_PARAMETER for a width of 0 or above 65535.
NTSTATUS compress_defects(const ULONG* entries, ULONG count, ULONG width, ULONG height, UCHAR* out,
                          ULONG capacity, ULONG* size, ULONG* written_entries);

// The count word of a compressed list of `length` bytes, checked as
// decode_defects checks it: 0 for an empty (0-byte) list.
NTSTATUS compressed_defect_count(const UCHAR* data, ULONG length, ULONG* count);

// Decodes a compressed list of `length` bytes for a sensor of `width` into
// `out` (room for compressed_defect_count entries); `*decoded` is the number
// of entries. A length of 1 to 5 (6 bytes hold one defect), a count of 0 or above the length, a
// width of 0, a 6-byte distance cut short or a line beyond 65535 →
// STATUS_DATA_ERROR.
NTSTATUS decode_defects(const UCHAR* data, ULONG length, ULONG width, ULONG* out,
                        ULONG out_capacity, ULONG* decoded);

// ---- byte sources -----------------------------------------------------------------
// Reads `length` bytes at `offset`; `*got` the bytes read (a short read is
// the end of the source). A failure is returned unchanged.
typedef NTSTATUS (*defect_source_read)(PVOID context, ULONGLONG offset, PVOID buffer, ULONG length,
                                       ULONG* got);
struct defect_source {
  defect_source_read read;
  PVOID context;
};

// ---- "HTPX" defect file -------------------------------------------------------------
// The lists of one file for binning 1, 2 and 4 (pool tag "haat", paged);
// a list whose chunk was absent has present false. free_defect_file frees
// them.
struct defect_file_lists {
  ULONG* entries[3];
  ULONG count[3];
  bool present[3];
};
void free_defect_file(defect_file_lists* lists);

// The file's 12-byte header ("HTPX", version 1, first chunk offset), then
// chunk after chunk (16-byte GUID, 32-bit length n, n bytes) until a chunk
// header cannot be read whole. Chunks of the three list GUIDs give n / 4
// entries each (a later chunk of the same list replaces an earlier one);
// others are skipped; a chunk cut short by the end of the source ends the
// walk without its list. Header not "HTPX" version 1, or shorter than 12
// bytes → STATUS_INVALID_PARAMETER; a chunk longer than 0xA00000 bytes →
// STATUS_BUFFER_OVERFLOW; nothing is kept on a failure.
NTSTATUS parse_defect_file(const defect_source& source, defect_file_lists* lists);

// ---- tagged records (the EEPROM store's walk) --------------------------------------------
// One record found by the walk: its id, its data's offset in the source and
// its length.
typedef NTSTATUS (*defect_record_visit)(PVOID context, USHORT id, ULONG offset, ULONG length);

// The EEPROM layout: a 4-byte header in the last 4 bytes of the window
// [start, end) (version, 0, 0xFF, 0x00), the records below it, each a
// 4-byte header (16-bit id, 16-bit length n) with its n bytes directly
// below. Id 0 or 0xFFFF ends the walk, 0x8FFF is skipped; every other
// record is handed to `visit` (whose failure ends the walk with its status).
// A window under 4 bytes or whose header's bytes 2 and 3 are not 0xFF and 0
// → STATUS_NOT_FOUND; version 0 (the older layout) → STATUS_NOT_SUPPORTED;
// version 255 → STATUS_NOT_FOUND; a record reaching below the window's start
// → STATUS_DATA_ERROR. `*version` (may be null) receives the version byte.
NTSTATUS walk_eeprom_records(const defect_source& source, ULONG start, ULONG end,
                             defect_record_visit visit, PVOID context, UCHAR* version);

// The camera-memory layout: from `start`, a 4-byte header (version 1, 0,
// 0xFF, 0x00), then records (16-bit id, 16-bit length n, n bytes) each
// directly after the one before, up to an id of 0 or 0xFFFF (the end mark
// is 0xFFFFFFFF) or the window's end. Id 0x8FFF is skipped (its length
// increased to the next multiple of 4). A header whose byte 2 is not 0xFF
// or byte 3 not 0 → STATUS_UNSUCCESSFUL; version 0 → STATUS_NOT_SUPPORTED;
// a record whose data runs past `end` → STATUS_DATA_ERROR; a failed read →
// its status (a short read of the header: STATUS_UNSUCCESSFUL).
NTSTATUS walk_memory_records(const defect_source& source, ULONG start, ULONG end,
                             defect_record_visit visit, PVOID context);

// Little-endian fields of wire data; the caller has checked the length.
inline ULONG defect_le16(const UCHAR* p) { return ULONG(p[0]) | ULONG(p[1]) << 8; }
inline ULONG defect_le32(const UCHAR* p) {
  return ULONG(p[0]) | ULONG(p[1]) << 8 | ULONG(p[2]) << 16 | ULONG(p[3]) << 24;
}
inline void defect_put16(UCHAR* p, ULONG v) {
  p[0] = UCHAR(v);
  p[1] = UCHAR(v >> 8);
}
inline void defect_put32(UCHAR* p, ULONG v) {
  defect_put16(p, v);
  defect_put16(p + 2, v >> 16);
}
