// defect_list: the defect-pixel list of the 0x82xx and 0x83xx cameras, its
// EEPROM store, the "HTPX" file and the per-frame correction (see the
// header).
#include "cameras/defect_list.h"

#include "cameras/defect_codec.h"
#include "cameras/raw_formats.h"
#include "controls/control_registry.h"
#include "controls/property_sets.h"
#include "controls/vendor_controls.h"
#include "kernel/pool_tags.h"
#include "kernel/registry.h"
#include "usb/control_request.h"
#include "uvc/uvc_descriptors.h"

namespace {

// EEPROM requests.
constexpr UCHAR eeprom_request_transfer = 0x02;  // IN: read, OUT: write
constexpr UCHAR eeprom_request_address = 0x03;   // OUT: the read address
constexpr USHORT eeprom_index_read = 0x00A0;
constexpr USHORT eeprom_index_write = 0x00A1;
constexpr ULONG eeprom_max_read = 64;
constexpr ULONG eeprom_max_write = 16;
constexpr ULONG eeprom_max_address = 0xFFFF;
constexpr ULONG eeprom_read_pause_ms = 2;
constexpr ULONG eeprom_write_pause_ms = 10;  // times the attempt
constexpr ULONG eeprom_write_attempts = 4;

// Store layout.
constexpr ULONG window_alignment = 64;
constexpr ULONG record_header = 4;
constexpr UCHAR store_version = 1;
constexpr ULONG compressed_reserve = 44;  // the window less this is the compressed capacity
constexpr ULONG raw_block_bookkeeping = 8;
constexpr USHORT record_compressed = 11;
constexpr USHORT record_raw = 10;
constexpr USHORT record_old_first = 1;
constexpr USHORT record_old_last = 12;
constexpr ULONG old_records_per_binning = 4;
constexpr ULONG old_group_entries = 256;
constexpr USHORT raw_block_tag = 0x0010;
constexpr USHORT raw_block_size_word = 0x0020;

// Window selectors.
constexpr UCHAR window_unit_selector = 23;      // vendor extension unit
constexpr UCHAR window_register = 71;           // unit 2 or the camera terminal
constexpr ULONG window_register_min_end = 16384;
constexpr UCHAR window_register_unit = 2;

// Correction.
constexpr ULONG edge_columns = 4;
constexpr UCHAR marking_value = 255;

constexpr ULONG max_filename_chars = 1024;
constexpr ULONG max_filename_bytes = 65520;
constexpr ULONG dump_line = 16;

void pause_ms(ULONG ms) {
  LARGE_INTEGER interval;
  interval.QuadPart = -LONGLONG(ms) * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

NTSTATUS eeprom_source_read(PVOID context, ULONGLONG offset, PVOID buffer, ULONG length, ULONG* got) {
  *got = 0;
  if (offset > eeprom_max_address) return STATUS_INVALID_PARAMETER;
  const NTSTATUS status =
      eeprom_read(static_cast<PDEVICE_OBJECT>(context), ULONG(offset), buffer, length);
  if (NT_SUCCESS(status)) *got = length;
  return status;
}

// File reads through the handle in `context`.
NTSTATUS file_source_read(PVOID context, ULONGLONG offset, PVOID buffer, ULONG length, ULONG* got) {
  *got = 0;
  IO_STATUS_BLOCK io = {};
  LARGE_INTEGER at;
  at.QuadPart = LONGLONG(offset);
  const NTSTATUS status =
      ZwReadFile(static_cast<HANDLE>(context), nullptr, nullptr, nullptr, &io, buffer, length, &at,
                 nullptr);
  if (status == STATUS_END_OF_FILE) return STATUS_SUCCESS;
  if (NT_SUCCESS(status)) *got = ULONG(io.Information);
  return status;
}

bool same_guid_of(const control_call* call, const GUID& set) {
  const property_key key = {call->set, call->id};
  return same_key(key, set, call->id);
}

bool is_bayer8(ULONG fourcc) { return is_bayer8_fourcc(fourcc); }

ULONG binning_index(LONG binning) { return binning == 2 ? 1 : binning == 4 ? 2 : 0; }

ULONG binned(ULONG v, ULONG binning) {
  return binning == 1 ? v : (v / (2 * binning)) * 2 + (v & 1);
}

NTSTATUS window_range(PDEVICE_OBJECT device, UCHAR entity, UCHAR selector, ULONG* start, ULONG* end) {
  UCHAR minimum[4] = {};
  UCHAR maximum[4] = {};
  NTSTATUS status = uvc_request(device, uvc_request_code::get_min, entity, 0, selector,
                                sizeof(minimum), minimum, nullptr);
  if (NT_SUCCESS(status)) {
    status = uvc_request(device, uvc_request_code::get_max, entity, 0, selector, sizeof(maximum),
                         maximum, nullptr);
  }
  if (NT_SUCCESS(status)) {
    *start = defect_le32(minimum);
    *end = defect_le32(maximum);
  }
  return status;
}

}  // namespace

// ---- EEPROM access ------------------------------------------------------------------

NTSTATUS eeprom_read(PDEVICE_OBJECT device, ULONG address, PVOID buffer, ULONG length) {
  if (address > eeprom_max_address || (length != 0 && buffer == nullptr)) {
    return STATUS_INVALID_PARAMETER;
  }
  UCHAR where[2] = {UCHAR(address >> 8), UCHAR(address)};
  control_request set = {1, 1, 0, eeprom_request_address, 0, eeprom_index_write, sizeof(where),
                         where};
  NTSTATUS status = vendor_request(device, set, nullptr);
  ULONG done = 0;
  while (NT_SUCCESS(status) && done < length) {
    pause_ms(eeprom_read_pause_ms);
    const ULONG chunk = length - done < eeprom_max_read ? length - done : eeprom_max_read;
    control_request get = {0, 1, 0, eeprom_request_transfer, 0, eeprom_index_read, USHORT(chunk),
                           static_cast<UCHAR*>(buffer) + done};
    ULONG got = 0;
    status = vendor_request(device, get, &got);
    if (NT_SUCCESS(status) && got == 0) status = STATUS_UNSUCCESSFUL;
    done += got < chunk ? got : chunk;
  }
  return status;
}

NTSTATUS eeprom_write(PDEVICE_OBJECT device, ULONG address, const void* data, ULONG length) {
  if (address == 0) return STATUS_INVALID_DEVICE_STATE;
  if (address > eeprom_max_address || length > eeprom_max_write || length == 0 || data == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  UCHAR packet[2 + eeprom_max_write];
  packet[0] = UCHAR(address >> 8);
  packet[1] = UCHAR(address);
  RtlCopyMemory(packet + 2, data, length);
  for (ULONG attempt = 1; attempt <= eeprom_write_attempts; ++attempt) {
    control_request put = {1, 1, 0, eeprom_request_transfer, 0, eeprom_index_write,
                           USHORT(2 + length), packet};
    NTSTATUS status = vendor_request(device, put, nullptr);
    if (!NT_SUCCESS(status)) return status;
    pause_ms(attempt * eeprom_write_pause_ms);
    UCHAR back[eeprom_max_write];
    status = eeprom_read(device, address, back, length);
    if (!NT_SUCCESS(status)) return status;
    if (RtlCompareMemory(back, data, length) == length) return STATUS_SUCCESS;
  }
  return STATUS_UNSUCCESSFUL;
}

// ---- eeprom_store ---------------------------------------------------------------------

eeprom_store::eeprom_store()
    : start_(default_start),
      end_(default_end),
      records_(PagedPool, pool_tag::defect_lists),
      loading_device_(nullptr),
      loading_(nullptr) {}

eeprom_store::~eeprom_store() { free_records(&records_); }

void eeprom_store::free_records(pool_array<record>* records) {
  for (record& r : *records) {
    if (r.data != nullptr) ExFreePoolWithTag(r.data, pool_tag::defect_lists);
  }
  records->reset();
}

void eeprom_store::set_window(ULONG start, ULONG end) {
  const ULONGLONG rounded =
      (ULONGLONG(start) + window_alignment - 1) / window_alignment * window_alignment;
  start_ = rounded > end ? end : ULONG(rounded);
  end_ = end;
}

NTSTATUS eeprom_store::visit(PVOID context, USHORT id, ULONG offset, ULONG length) {
  auto* self = static_cast<eeprom_store*>(context);
  record r = {id, 0, length, nullptr};
  if (length != 0) {
    r.data = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, length, pool_tag::defect_lists));
    if (r.data == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    const NTSTATUS status = eeprom_read(self->loading_device_, offset, r.data, length);
    if (!NT_SUCCESS(status)) {
      ExFreePoolWithTag(r.data, pool_tag::defect_lists);
      return status;
    }
  }
  const NTSTATUS status = self->loading_->append(r);
  if (!NT_SUCCESS(status) && r.data != nullptr) ExFreePoolWithTag(r.data, pool_tag::defect_lists);
  return status;
}

NTSTATUS eeprom_store::load(PDEVICE_OBJECT device) {
  pool_array<record> loaded(PagedPool, pool_tag::defect_lists);
  loading_device_ = device;
  loading_ = &loaded;
  const defect_source source = {eeprom_source_read, device};
  const NTSTATUS status = walk_eeprom_records(source, start_, end_, visit, this, nullptr);
  loading_device_ = nullptr;
  loading_ = nullptr;
  if (!NT_SUCCESS(status)) {
    free_records(&loaded);
    return status;
  }
  free_records(&records_);
  records_.swap(loaded);
  return STATUS_SUCCESS;
}

ULONG eeprom_store::records_bytes() const {
  ULONG total = 0;
  for (const record& r : records_) total += record_header + r.length;
  return total;
}

bool eeprom_store::has_raw_block_room() const {
  return ULONGLONG(size()) >= ULONGLONG(raw_block_bookkeeping) + records_bytes() + raw_block_size;
}

NTSTATUS eeprom_store::save(PDEVICE_OBJECT device) {
  const ULONG used = record_header + records_bytes();
  if (used > size()) return STATUS_BUFFER_TOO_SMALL;
  // The end mark goes below the last record when the window has room.
  const ULONG total = size() - used >= record_header ? used + record_header : used;
  auto* image = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, total, pool_tag::defect_lists));
  if (image == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(image, total);
  ULONG top = total - record_header;
  image[top] = store_version;
  image[top + 1] = 0;
  image[top + 2] = 0xFF;
  image[top + 3] = 0;
  for (const record& r : records_) {
    top -= record_header;
    defect_put16(image + top, r.id);
    defect_put16(image + top + 2, r.length);
    top -= r.length;
    if (r.length != 0) RtlCopyMemory(image + top, r.data, r.length);
  }
  // What is left below is the zero end mark (id 0).
  const ULONG base = end_ - total;
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG at = 0; at < total && NT_SUCCESS(status); at += eeprom_max_write) {
    const ULONG n = total - at < eeprom_max_write ? total - at : eeprom_max_write;
    status = eeprom_write(device, base + at, image + at, n);
  }
  ExFreePoolWithTag(image, pool_tag::defect_lists);
  if (NT_SUCCESS(status)) {
    for (record& r : records_) r.changed = 0;
  }
  return status;
}

NTSTATUS eeprom_store::erase(PDEVICE_OBJECT device) {
  if (size() == 0) return STATUS_SUCCESS;
  auto* current =
      static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, size(), pool_tag::defect_lists));
  if (current == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = eeprom_read(device, start_, current, size());
  UCHAR erased[eeprom_max_write];
  RtlFillMemory(erased, sizeof(erased), 0xFF);
  for (ULONG at = 0; at < size() && NT_SUCCESS(status); at += eeprom_max_write) {
    const ULONG n = size() - at < eeprom_max_write ? size() - at : eeprom_max_write;
    if (RtlCompareMemory(current + at, erased, n) == n) continue;
    status = eeprom_write(device, start_ + at, erased, n);
  }
  ExFreePoolWithTag(current, pool_tag::defect_lists);
  return status;
}

bool eeprom_store::find(USHORT id, const UCHAR** data, ULONG* length) const {
  for (const record& r : records_) {
    if (r.id == id) {
      *data = r.data;
      *length = r.length;
      return true;
    }
  }
  return false;
}

NTSTATUS eeprom_store::set_record(USHORT id, const UCHAR* data, ULONG length) {
  if (id == 0 || id == 0xFFFF || length > 0xFFFF || (length != 0 && data == nullptr)) {
    return STATUS_INVALID_PARAMETER;
  }
  UCHAR* copy = nullptr;
  if (length != 0) {
    copy = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, length, pool_tag::defect_lists));
    if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(copy, data, length);
  }
  for (record& r : records_) {
    if (r.id == id) {
      if (r.data != nullptr) ExFreePoolWithTag(r.data, pool_tag::defect_lists);
      r.data = copy;
      r.length = length;
      r.changed = 1;
      return STATUS_SUCCESS;
    }
  }
  const record r = {id, 1, length, copy};
  const NTSTATUS status = records_.append(r);
  if (!NT_SUCCESS(status) && copy != nullptr) ExFreePoolWithTag(copy, pool_tag::defect_lists);
  return status;
}

void eeprom_store::remove_record(USHORT id) {
  ULONG kept = 0;
  for (ULONG i = 0; i < records_.count(); ++i) {
    record r = records_[i];
    if (r.id == id) {
      if (r.data != nullptr) ExFreePoolWithTag(r.data, pool_tag::defect_lists);
      continue;
    }
    records_[kept++] = r;
  }
  records_.truncate(kept);
}

void eeprom_store::clear() { free_records(&records_); }

// ---- shared by both defect stores ------------------------------------------------------

void correct_defect_entries(const img::img_descriptor& frame, const ULONG* entries, ULONG count,
                            bool marking) {
  const bool bayer = is_bayer8(frame.type);
  if ((!bayer && frame.type != img::FOURCC_Y800) || frame.data == nullptr || frame.dim_x <= 0) {
    return;
  }
  const ULONG inner = bayer ? 2 : 1;  // the same-colour neighbours' columns
  const ULONG outer = bayer ? 4 : 2;
  const ULONG width = ULONG(frame.dim_x);
  const ULONG height = frame.dim_y > 0 ? ULONG(frame.dim_y) : 0;
  for (ULONG i = 0; i < count; ++i) {
    const ULONG x = defect_x(entries[i]);
    const ULONG y = defect_y(entries[i]);
    if (y >= height || x < edge_columns || x + edge_columns >= width) continue;
    UCHAR* line = frame.data + LONGLONG(y) * frame.pitch;
    if (marking) {
      line[x] = marking_value;
    } else {
      line[x] =
          UCHAR((ULONG(line[x - outer]) + line[x - inner] + line[x + inner] + line[x + outer]) / 4);
    }
  }
}

NTSTATUS answer_defect_entries(control_call* call, const ULONG* entries, ULONG count,
                               NTSTATUS short_status) {
  call->bytes_returned = 0;
  if (call->output == nullptr || call->output_length < sizeof(ULONG)) return short_status;
  auto* out = static_cast<UCHAR*>(call->output);
  defect_put32(out, count);
  call->bytes_returned = sizeof(ULONG);
  if ((call->output_length - sizeof(ULONG)) / sizeof(ULONG) < count) return STATUS_BUFFER_OVERFLOW;
  for (ULONG i = 0; i < count; ++i) defect_put32(out + sizeof(ULONG) * (i + 1), entries[i]);
  call->bytes_returned = sizeof(ULONG) * (count + 1);
  return STATUS_SUCCESS;
}

// ---- defect_list --------------------------------------------------------------------------

defect_list::defect_list(uvc_camera* camera)
    : camera_(camera),
      width_(0),
      height_(0),
      master_(),
      binned_(),
      enabled_(1),
      marking_(0),
      store_() {
  KeInitializeSpinLock(&lock_);
}

defect_list::~defect_list() {
  free_list(&master_);
  for (list& l : binned_) free_list(&l);
}

void defect_list::free_list(list* l) {
  if (l->entries != nullptr) ExFreePoolWithTag(l->entries, pool_tag::defect_lists);
  l->entries = nullptr;
  l->count = 0;
}

NTSTATUS defect_list::copy_list(const ULONG* entries, ULONG count, ULONG binning, list* out) {
  out->entries = nullptr;
  out->count = 0;
  if (count == 0) return STATUS_SUCCESS;
  out->entries = static_cast<ULONG*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, count * sizeof(ULONG), pool_tag::defect_lists));
  if (out->entries == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  for (ULONG i = 0; i < count; ++i) {
    out->entries[i] =
        make_defect(binned(defect_x(entries[i]), binning), binned(defect_y(entries[i]), binning));
  }
  out->count = count;
  return STATUS_SUCCESS;
}

void defect_list::install(list* master, list* binned) {
  list old_master = {};
  list old_binned[3] = {};
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  if (master != nullptr) {
    old_master = master_;
    master_ = *master;
  }
  for (ULONG i = 0; i < 3; ++i) {
    if (binned == nullptr || (binned[i].entries == nullptr && binned[i].count == MAXULONG)) {
      continue;
    }
    old_binned[i] = binned_[i];
    binned_[i] = binned[i];
  }
  KeReleaseSpinLock(&lock_, irql);
  free_list(&old_master);
  for (list& l : old_binned) free_list(&l);
}

NTSTATUS defect_list::set_entries(const ULONG* entries, ULONG count) {
  if (count > max_defect_entries) return STATUS_BUFFER_OVERFLOW;
  list master = {};
  list binned[3] = {};
  NTSTATUS status = copy_list(entries, count, 1, &master);
  static const ULONG factors[3] = {1, 2, 4};
  for (ULONG i = 0; i < 3 && NT_SUCCESS(status); ++i) {
    status = copy_list(entries, count, factors[i], &binned[i]);
  }
  if (!NT_SUCCESS(status)) {
    free_list(&master);
    for (list& l : binned) free_list(&l);
    return status;
  }
  install(&master, binned);
  return STATUS_SUCCESS;
}

NTSTATUS defect_list::take_store_list() {
  const UCHAR* data = nullptr;
  ULONG length = 0;
  if (store_.find(record_raw, &data, &length)) {
    // Raw entries, little-endian.
    const ULONG count = length / sizeof(ULONG);
    ULONG* entries = nullptr;
    if (count != 0) {
      entries = static_cast<ULONG*>(
          ExAllocatePoolWithTag(PagedPool, count * sizeof(ULONG), pool_tag::defect_lists));
      if (entries == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
      for (ULONG i = 0; i < count; ++i) entries[i] = defect_le32(data + i * sizeof(ULONG));
    }
    const NTSTATUS status = set_entries(entries, count);
    if (entries != nullptr) ExFreePoolWithTag(entries, pool_tag::defect_lists);
    return status;
  }
  if (store_.find(record_compressed, &data, &length)) {
    ULONG count = 0;
    NTSTATUS status = compressed_defect_count(data, length, &count);
    if (!NT_SUCCESS(status)) return status;
    ULONG* entries = nullptr;
    if (count != 0) {
      entries = static_cast<ULONG*>(
          ExAllocatePoolWithTag(PagedPool, count * sizeof(ULONG), pool_tag::defect_lists));
      if (entries == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG decoded = 0;
    status = decode_defects(data, length, width_, entries, count, &decoded);
    if (NT_SUCCESS(status)) status = set_entries(entries, decoded);
    if (entries != nullptr) ExFreePoolWithTag(entries, pool_tag::defect_lists);
    return status;
  }
  // The older cameras: raw lists per binning factor, the master list empty.
  list binned[3] = {};
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG group = 0; group < 3 && NT_SUCCESS(status); ++group) {
    ULONG total = 0;
    for (ULONG r = 0; r < old_records_per_binning; ++r) {
      const USHORT id = USHORT(record_old_first + group * old_records_per_binning + r);
      if (store_.find(id, &data, &length)) total += length / sizeof(ULONG);
    }
    if (total > old_group_entries) total = old_group_entries;
    if (total == 0) continue;
    binned[group].entries = static_cast<ULONG*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, total * sizeof(ULONG), pool_tag::defect_lists));
    if (binned[group].entries == nullptr) {
      status = STATUS_INSUFFICIENT_RESOURCES;
      break;
    }
    ULONG n = 0;
    for (ULONG r = 0; r < old_records_per_binning; ++r) {
      const USHORT id = USHORT(record_old_first + group * old_records_per_binning + r);
      if (!store_.find(id, &data, &length)) continue;
      for (ULONG i = 0; i < length / sizeof(ULONG) && n < total; ++i) {
        binned[group].entries[n++] = defect_le32(data + i * sizeof(ULONG));
      }
    }
    binned[group].count = n;
  }
  if (!NT_SUCCESS(status)) {
    for (list& l : binned) free_list(&l);
    return status;
  }
  list master = {};
  install(&master, binned);
  return STATUS_SUCCESS;
}

NTSTATUS defect_list::load_from_eeprom() {
  NTSTATUS status = store_.load(camera_->device_object());
  if (NT_SUCCESS(status)) status = take_store_list();
  return status;
}

NTSTATUS defect_list::save_to_eeprom() {
  const ULONG capacity = store_.size() > compressed_reserve ? store_.size() - compressed_reserve : 0;
  UCHAR* packed = nullptr;
  ULONG size = 0;
  NTSTATUS status = STATUS_SUCCESS;
  if (master_.count != 0) {
    packed = static_cast<UCHAR*>(
        ExAllocatePoolWithTag(PagedPool, capacity != 0 ? capacity : 1, pool_tag::defect_lists));
    if (packed == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    status = compress_defects(master_.entries, master_.count, width_, height_, packed, capacity,
                              &size, nullptr);
  }
  if (NT_SUCCESS(status)) {
    // Record 11 is the list from now on: the raw and older records that
    // a load would take first go.
    store_.remove_record(record_raw);
    for (USHORT id = record_old_first; id <= record_old_last; ++id) {
      if (id != record_compressed) store_.remove_record(id);
    }
    status = store_.set_record(record_compressed, packed, size);
  }
  if (packed != nullptr) ExFreePoolWithTag(packed, pool_tag::defect_lists);
  if (NT_SUCCESS(status)) status = store_.save(camera_->device_object());
  return status;
}

NTSTATUS defect_list::clear_eeprom() {
  list empty[3] = {};
  list master = {};
  install(&master, empty);
  store_.clear();
  return store_.erase(camera_->device_object());
}

NTSTATUS defect_list::load_file(const UNICODE_STRING& path) {
  UNICODE_STRING name = path;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                             nullptr);
  HANDLE file = nullptr;
  IO_STATUS_BLOCK io = {};
  NTSTATUS status = ZwCreateFile(&file, GENERIC_READ | SYNCHRONIZE, &attributes, &io, nullptr,
                                 FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN,
                                 FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
  if (!NT_SUCCESS(status)) return STATUS_INVALID_PARAMETER;
  defect_file_lists lists;
  const defect_source source = {file_source_read, file};
  status = parse_defect_file(source, &lists);
  ZwClose(file);
  if (!NT_SUCCESS(status)) return status;

  list binned[3] = {};
  list master = {};
  for (ULONG i = 0; i < 3 && NT_SUCCESS(status); ++i) {
    if (!lists.present[i]) {
      binned[i].count = MAXULONG;  // keep the current list
      continue;
    }
    status = copy_list(lists.entries[i], lists.count[i], 1, &binned[i]);
  }
  const bool new_master = NT_SUCCESS(status) && lists.present[0] && lists.count[0] != 0;
  if (new_master) status = copy_list(lists.entries[0], lists.count[0], 1, &master);
  free_defect_file(&lists);
  if (!NT_SUCCESS(status)) {
    free_list(&master);
    for (list& l : binned) {
      if (l.count != MAXULONG) free_list(&l);
    }
    return status;
  }
  install(new_master ? &master : nullptr, binned);
  return STATUS_SUCCESS;
}

void defect_list::correct(const img::img_descriptor& frame, LONG offset_x, LONG offset_y,
                          LONG binning) {
  if (InterlockedCompareExchange(&enabled_, 0, 0) == 0) return;
  const bool marking = InterlockedCompareExchange(&marking_, 0, 0) != 0;
  const ULONG index = binning_index(binning);
  const LONG factor = index == 0 ? 1 : binning;
  const LONG ox = offset_x / factor;
  const LONG oy = offset_y / factor;
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  const list& l = binned_[index];
  for (ULONG i = 0; i < l.count; ++i) {
    const LONG x = LONG(defect_x(l.entries[i])) - ox;
    const LONG y = LONG(defect_y(l.entries[i])) - oy;
    if (x < 0 || y < 0) continue;
    const ULONG entry = make_defect(ULONG(x), ULONG(y));
    correct_defect_entries(frame, &entry, 1, marking);
  }
  KeReleaseSpinLock(&lock_, irql);
}

NTSTATUS defect_list::dump_eeprom() {
  const ULONG length = store_.end();
  if (length == 0) return STATUS_SUCCESS;
  auto* bytes = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, length, pool_tag::defect_lists));
  if (bytes == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  const NTSTATUS status = eeprom_read(camera_->device_object(), 0, bytes, length);
  static const char digits[] = "0123456789ABCDEF";
  for (ULONG at = 0; NT_SUCCESS(status) && at < length; at += dump_line) {
    char text[dump_line * 3 + dump_line + 2];
    ULONG n = 0;
    for (ULONG i = 0; i < dump_line; ++i) {
      if (at + i < length) {
        text[n++] = digits[bytes[at + i] >> 4];
        text[n++] = digits[bytes[at + i] & 15];
      } else {
        text[n++] = ' ';
        text[n++] = ' ';
      }
      text[n++] = ' ';
    }
    for (ULONG i = 0; i < dump_line && at + i < length; ++i) {
      const UCHAR c = bytes[at + i];
      text[n++] = c >= 0x20 && c < 0x7F ? char(c) : '.';
    }
    text[n] = 0;
    DbgPrint("%04X: %s\n", at, text);
  }
  ExFreePoolWithTag(bytes, pool_tag::defect_lists);
  return status;
}

NTSTATUS defect_list::raw_block_set(const control_call* call) {
  if (call->input == nullptr || call->input_length < sizeof(ULONG) ||
      defect_le32(static_cast<const UCHAR*>(call->input)) != 0) {
    return STATUS_INVALID_PARAMETER;
  }
  const ULONG length = call->output != nullptr ? call->output_length : 0;
  if (length > eeprom_store::raw_block_data) return STATUS_BUFFER_OVERFLOW;
  UCHAR block[eeprom_store::raw_block_size] = {};
  defect_put16(block, raw_block_tag);
  defect_put16(block + 2, raw_block_size_word);
  defect_put32(block + 4, length);
  if (length != 0) RtlCopyMemory(block + 8, call->output, length);
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG at = 0; at < sizeof(block) && NT_SUCCESS(status); at += eeprom_max_write) {
    status = eeprom_write(camera_->device_object(), store_.start() + at, block + at,
                          eeprom_max_write);
  }
  return status;
}

NTSTATUS defect_list::raw_block_get(control_call* call) {
  if (call->input == nullptr || call->input_length < sizeof(ULONG) ||
      defect_le32(static_cast<const UCHAR*>(call->input)) != 0) {
    return STATUS_INVALID_PARAMETER;
  }
  UCHAR block[eeprom_store::raw_block_size] = {};
  const NTSTATUS status =
      eeprom_read(camera_->device_object(), store_.start(), block, sizeof(block));
  if (!NT_SUCCESS(status)) return status;
  const ULONG n = call->output != nullptr
                      ? (call->output_length < sizeof(block) ? call->output_length : sizeof(block))
                      : 0;
  if (n != 0) RtlCopyMemory(call->output, block, n);
  call->bytes_returned = n;
  return STATUS_SUCCESS;
}

NTSTATUS defect_list::set_property(uvc_camera*, control_call* call) {
  if (same_guid_of(call, camera_feature_set)) {
    switch (call->id) {
      case key_enabled:
      case key_marking: {
        LONG value = 0;
        ULONG flags = 0;
        const NTSTATUS status = read_control_value(call, &value, &flags);
        if (!NT_SUCCESS(status)) return status;
        const LONG on = value != 0 && (flags & control_flag_manual) != 0 ? 1 : 0;
        InterlockedExchange(call->id == key_enabled ? &enabled_ : &marking_, on);
        return STATUS_SUCCESS;
      }
      case key_entries: {
        const auto* data = static_cast<const UCHAR*>(call->output);
        const ULONG length = data != nullptr ? call->output_length : 0;
        if (length < sizeof(ULONG)) return set_entries(nullptr, 0);
        const ULONG count = defect_le32(data);
        if (count > max_defect_entries || (length - sizeof(ULONG)) / sizeof(ULONG) < count) {
          return STATUS_BUFFER_OVERFLOW;
        }
        ULONG* entries = nullptr;
        if (count != 0) {
          entries = static_cast<ULONG*>(
              ExAllocatePoolWithTag(PagedPool, count * sizeof(ULONG), pool_tag::defect_lists));
          if (entries == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
          for (ULONG i = 0; i < count; ++i) entries[i] = defect_le32(data + 4 * (i + 1));
        }
        const NTSTATUS status = set_entries(entries, count);
        if (entries != nullptr) ExFreePoolWithTag(entries, pool_tag::defect_lists);
        return status;
      }
      default:
        return STATUS_SUCCESS;
    }
  }
  switch (call->id) {
    case key_save:
      return save_to_eeprom();
    case key_load:
      return load_from_eeprom();
    case key_clear:
      return clear_eeprom();
    case key_dump:
      return dump_eeprom();
    case key_raw_block:
      return raw_block_set(call);
    default:
      return STATUS_SUCCESS;
  }
}

NTSTATUS defect_list::get_property(uvc_camera*, control_call* call) {
  const bool features = same_guid_of(call, camera_feature_set);
  if (features && (call->id == key_enabled || call->id == key_marking)) {
    // Both records name 1 as their default.
    const bool enabled = call->id == key_enabled;
    return write_control_answer(
        call, boolean_answer(InterlockedCompareExchange(enabled ? &enabled_ : &marking_, 0, 0), 1));
  }
  if (is_range_query(call)) return STATUS_NOT_IMPLEMENTED;
  if (features && call->id == key_entries) {
    return answer_defect_entries(call, master_.entries, master_.count, STATUS_BUFFER_OVERFLOW);
  }
  if (!features && call->id == key_raw_block) return raw_block_get(call);
  return STATUS_SUCCESS;
}

void defect_list::window_from_camera() {
  PDEVICE_OBJECT device = camera_->device_object();
  ULONG start = 0;
  ULONG end = 0;
  const UCHAR* unit = camera_->find_extension_unit(vendor_extension_unit, window_unit_selector - 1);
  if (unit != nullptr &&
      NT_SUCCESS(window_range(device, unit[uvc_desc::bUnitID], window_unit_selector, &start, &end))) {
    store_.set_window(start, end);
    return;
  }
  UCHAR entities[2] = {window_register_unit, 0};
  ULONG entity_count = 1;
  if (camera_->camera_terminal_id(&entities[1]) && entities[1] != window_register_unit) {
    entity_count = 2;
  }
  for (ULONG i = 0; i < entity_count; ++i) {
    if (NT_SUCCESS(window_range(device, entities[i], window_register, &start, &end)) &&
        end >= window_register_min_end) {
      store_.set_window(start, end);
      return;
    }
  }
  store_.set_window(eeprom_store::default_start, eeprom_store::default_end);
}

NTSTATUS defect_list::register_keys(ULONG sensor_width, ULONG sensor_height) {
  width_ = sensor_width;
  height_ = sensor_height;
  const property_key feature_keys[] = {
      {camera_feature_set, key_enabled},
      {camera_feature_set, key_entries},
      {camera_feature_set, key_marking},
  };
  NTSTATUS status =
      register_control(camera_, feature_keys, ARRAYSIZE(feature_keys), this, control_level_family);
  if (!NT_SUCCESS(status)) return status;
  const property_key driver_keys[] = {
      {driver_property_set, key_save},
      {driver_property_set, key_load},
      {driver_property_set, key_clear},
      {driver_property_set, key_dump},
  };
  status = register_control(camera_, driver_keys, ARRAYSIZE(driver_keys), this, control_level_family);
  if (!NT_SUCCESS(status) || !store_.has_raw_block_room()) return status;
  const property_key raw_key = {driver_property_set, key_raw_block};
  return register_control(camera_, &raw_key, 1, this, control_level_family);
}

NTSTATUS create_defect_list(uvc_camera* camera, ULONG sensor_width, ULONG sensor_height,
                            defect_list** created) {
  *created = nullptr;
  auto* list = new (NonPagedPoolNx, pool_tag::objects) defect_list(camera);
  if (list == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = camera->add_owned_object(list);
  if (!NT_SUCCESS(status)) {
    delete list;
    return status;
  }
  list->window_from_camera();
  list->set_sensor(sensor_width, sensor_height);
  // A camera without a store (or with an unreadable one) starts empty.
  status = list->load_from_eeprom();
  if (status == STATUS_INSUFFICIENT_RESOURCES) return status;
  status = list->register_keys(sensor_width, sensor_height);
  if (!NT_SUCCESS(status)) return status;
  *created = list;

  // The file named last by driver property 29.
  const ULONG prefix_bytes = sizeof(L"\\DosDevices\\") - sizeof(WCHAR);
  const ULONG buffer_bytes = prefix_bytes + max_filename_chars * sizeof(WCHAR);
  auto* path = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, buffer_bytes, pool_tag::objects));
  if (path == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(path, L"\\DosDevices\\", prefix_bytes);
  UNICODE_STRING name = {0, USHORT(max_filename_chars * sizeof(WCHAR)),
                         path + prefix_bytes / sizeof(WCHAR)};
  if (NT_SUCCESS(camera->read_registry_string(L"onload filename", &name)) && name.Length != 0) {
    UNICODE_STRING full = {USHORT(prefix_bytes + name.Length), USHORT(buffer_bytes), path};
    list->load_file(full);
  }
  ExFreePoolWithTag(path, pool_tag::objects);
  return STATUS_SUCCESS;
}

NTSTATUS set_onload_filename(uvc_camera* camera, defect_list* list, PVOID buffer, ULONG size) {
  static const WCHAR prefix[] = L"\\DosDevices\\";
  constexpr ULONG prefix_bytes = sizeof(prefix) - sizeof(WCHAR);
  if (size <= sizeof(WCHAR) || buffer == nullptr) {
    static WCHAR nothing[1] = {0};
    UNICODE_STRING empty = {0, 0, nothing};
    return write_driver_string(camera->device_object(), L"onload filename", &empty);
  }
  if (size % sizeof(WCHAR) != 0) return STATUS_INVALID_PARAMETER;
  if (size > max_filename_bytes) return STATUS_BUFFER_OVERFLOW;
  if (list == nullptr) return STATUS_INVALID_PARAMETER;
  // The name ends at its first null character.
  const WCHAR* name = static_cast<const WCHAR*>(buffer);
  ULONG name_bytes = 0;
  while (name_bytes < size && name[name_bytes / sizeof(WCHAR)] != 0) name_bytes += sizeof(WCHAR);
  const ULONG total = prefix_bytes + name_bytes;
  if (total > 0xFFFF) return STATUS_BUFFER_OVERFLOW;
  auto* path = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, total, pool_tag::objects));
  if (path == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(path, prefix, prefix_bytes);
  RtlCopyMemory(reinterpret_cast<UCHAR*>(path) + prefix_bytes, name, name_bytes);
  UNICODE_STRING full = {USHORT(total), USHORT(total), path};
  NTSTATUS status = list->load_file(full);
  if (NT_SUCCESS(status)) {
    UNICODE_STRING stored = {USHORT(name_bytes), USHORT(name_bytes), const_cast<WCHAR*>(name)};
    status = write_driver_string(camera->device_object(), L"onload filename", &stored);
  }
  ExFreePoolWithTag(path, pool_tag::objects);
  return status;
}
