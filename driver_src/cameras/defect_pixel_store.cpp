// defect_pixel_store: the camera-stored defect-pixel table (see the header).
#include "cameras/defect_pixel_store.h"

#include "cameras/defect_codec.h"
#include "cameras/defect_list.h"
#include "cameras/raw_formats.h"
#include "controls/control_registry.h"
#include "controls/property_sets.h"
#include "kernel/pool_tags.h"
#include "usb/control_request.h"

namespace {

constexpr ULONG header_size = 4;
constexpr ULONG store_header = 0x00FF0001;  // version 1, 0, 0xFF, 0x00
constexpr ULONG end_mark = 0xFFFFFFFF;
constexpr ULONG compressed_reserve = 16;
constexpr ULONG max_record_id = 65534;
constexpr ULONG max_record_size = 65535;

NTSTATUS stream_source_read(PVOID context, ULONGLONG offset, PVOID buffer, ULONG length, ULONG* got) {
  auto* stream = static_cast<camera_memory_stream*>(context);
  *got = 0;
  if (offset < stream->start || offset > stream->end) return STATUS_INVALID_PARAMETER;
  stream->position = ULONG(offset);
  const NTSTATUS status = stream->read(buffer, length);
  if (NT_SUCCESS(status)) *got = length;
  return status;
}

ULONG binned(ULONG v, LONG binning) {
  return binning == 1 ? v : (v / (2 * ULONG(binning))) * 2 + (v & 1);
}

bool same_params(const defect_frame_params& a, const defect_frame_params& b) {
  return a.offset_x == b.offset_x && a.offset_y == b.offset_y && a.binning == b.binning &&
         a.flip_x == b.flip_x && a.flip_y == b.flip_y;
}

}  // namespace

// ---- camera_memory_stream -------------------------------------------------------------------

NTSTATUS camera_memory_stream::skip(ULONG n) {
  const ULONGLONG moved = ULONGLONG(position) + ((ULONGLONG(n) + 3) & ~3ull);
  if (moved > end) {
    position = end;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  position = ULONG(moved);
  return STATUS_SUCCESS;
}

NTSTATUS camera_memory_stream::read(PVOID buffer, ULONG n) {
  if (n > remaining()) return STATUS_INVALID_PARAMETER;
  ULONG got = 0;
  NTSTATUS status = read_camera_memory(device, position, buffer, n, &got);
  if (NT_SUCCESS(status) && got != n) status = STATUS_UNSUCCESSFUL;
  if (NT_SUCCESS(status)) position += n;
  return status;
}

NTSTATUS camera_memory_stream::write(const void* buffer, ULONG n) {
  if (n > remaining()) return STATUS_INSUFFICIENT_RESOURCES;
  const NTSTATUS status = write_camera_memory(device, position, buffer, n);
  if (NT_SUCCESS(status)) position += n;
  return status;
}

// ---- defect_pixel_store -------------------------------------------------------------------------

defect_pixel_store::defect_pixel_store(uvc_camera* camera)
    : camera_(camera),
      width_(0),
      height_(0),
      compressed_capacity_(window_size - compressed_reserve),
      enabled_(1),
      marking_(0),
      records_(PagedPool, pool_tag::record_store),
      list_(nullptr),
      count_(0),
      copy_(nullptr),
      copy_count_(0),
      copy_params_(),
      copy_width_(0),
      copy_height_(0),
      rebuild_(true),
      loading_stream_(nullptr),
      loading_(nullptr) {
  KeInitializeSpinLock(&lock_);
}

defect_pixel_store::~defect_pixel_store() {
  free_records(&records_);
  if (list_ != nullptr) ExFreePoolWithTag(list_, pool_tag::defect_lists);
  if (copy_ != nullptr) ExFreePoolWithTag(copy_, pool_tag::defect_lists);
}

void defect_pixel_store::free_records(pool_array<record>* records) {
  for (record& r : *records) {
    if (r.data != nullptr) ExFreePoolWithTag(r.data, pool_tag::record_store_data);
  }
  records->reset();
}

// ---- records ----

NTSTATUS defect_pixel_store::get_record(ULONG id, PVOID buffer, ULONG* size) const {
  if (id < 1 || id > max_record_id || size == nullptr) return STATUS_INVALID_PARAMETER;
  if (*size > max_record_size) return STATUS_BUFFER_OVERFLOW;
  for (const record& r : records_) {
    if (r.id != id || !r.present) continue;
    const ULONG n = *size < r.length ? *size : r.length;
    if (buffer != nullptr && n != 0) RtlCopyMemory(buffer, r.data, n);
    const bool more = r.length > *size || buffer == nullptr;
    *size = r.length;
    return more ? STATUS_MORE_ENTRIES : STATUS_SUCCESS;
  }
  return STATUS_NOT_FOUND;
}

NTSTATUS defect_pixel_store::set_record(ULONG id, const void* data, ULONG length) {
  if (id < 1 || id > max_record_id) return STATUS_INVALID_PARAMETER;
  if (length > max_record_size) return STATUS_BUFFER_OVERFLOW;
  if (data == nullptr && length != 0) return STATUS_INVALID_PARAMETER;
  UCHAR* copy = nullptr;
  if (length != 0) {
    copy = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, length, pool_tag::record_store_data));
    if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(copy, data, length);
  }
  for (record& r : records_) {
    if (r.id != id) continue;
    if (r.data != nullptr) ExFreePoolWithTag(r.data, pool_tag::record_store_data);
    r.data = copy;
    r.length = length;
    r.present = 1;
    return STATUS_SUCCESS;
  }
  const record r = {USHORT(id), 1, length, copy};
  const NTSTATUS status = records_.append(r);
  if (!NT_SUCCESS(status) && copy != nullptr) ExFreePoolWithTag(copy, pool_tag::record_store_data);
  return status;
}

void defect_pixel_store::clear_records() { free_records(&records_); }

// ---- the list ----

NTSTATUS defect_pixel_store::replace_list(const ULONG* entries, ULONG count) {
  if (count > max_defect_entries) return STATUS_BUFFER_OVERFLOW;
  ULONG* list = nullptr;
  ULONG* copy = nullptr;
  if (count != 0) {
    list = static_cast<ULONG*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, count * sizeof(ULONG), pool_tag::defect_lists));
    copy = static_cast<ULONG*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, count * sizeof(ULONG), pool_tag::defect_lists));
    if (list == nullptr || copy == nullptr) {
      if (list != nullptr) ExFreePoolWithTag(list, pool_tag::defect_lists);
      if (copy != nullptr) ExFreePoolWithTag(copy, pool_tag::defect_lists);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(list, entries, count * sizeof(ULONG));
  }
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  ULONG* old_list = list_;
  ULONG* old_copy = copy_;
  list_ = list;
  copy_ = copy;
  count_ = count;
  copy_count_ = 0;
  rebuild_ = true;
  KeReleaseSpinLock(&lock_, irql);
  if (old_list != nullptr) ExFreePoolWithTag(old_list, pool_tag::defect_lists);
  if (old_copy != nullptr) ExFreePoolWithTag(old_copy, pool_tag::defect_lists);
  return STATUS_SUCCESS;
}

NTSTATUS defect_pixel_store::set_entries(const ULONG* entries, ULONG count) {
  if (count == 0) return reset();
  return replace_list(entries, count);
}

NTSTATUS defect_pixel_store::reset() {
  clear_records();
  const NTSTATUS status = replace_list(nullptr, 0);
  if (!NT_SUCCESS(status)) return status;
  return erase_camera_memory(camera_->device_object(), window_start, window_start + window_size);
}

NTSTATUS defect_pixel_store::save() {
  PDEVICE_OBJECT device = camera_->device_object();
  NTSTATUS status = erase_camera_memory(device, window_start, window_start + window_size);
  if (!NT_SUCCESS(status)) return status;
  if (count_ != 0) {
    auto* packed = static_cast<UCHAR*>(
        ExAllocatePoolWithTag(PagedPool, compressed_capacity_, pool_tag::defect_lists));
    if (packed == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG size = 0;
    status = compress_defects(list_, count_, width_, height_, packed, compressed_capacity_, &size,
                              nullptr);
    if (NT_SUCCESS(status)) {
      // Record 2 is the list from now on; a raw record 1 would be read first.
      status = set_record(record_compressed, packed, size);
      for (record& r : records_) {
        if (r.id == record_raw) r.present = 0;
      }
    } else if (status == STATUS_BUFFER_TOO_SMALL) {
      status = STATUS_SUCCESS;  // nothing fits: the store is written as it is
    }
    ExFreePoolWithTag(packed, pool_tag::defect_lists);
    if (!NT_SUCCESS(status)) return status;
  }
  ULONG total = header_size + header_size;  // header and end mark
  for (const record& r : records_) {
    if (r.present && r.id != 0x8FFF) total += header_size + r.length;
  }
  if (total > window_size) return STATUS_BUFFER_TOO_SMALL;
  auto* image = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, total, pool_tag::record_store));
  if (image == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG at = 0;
  defect_put32(image, store_header);
  at += header_size;
  for (const record& r : records_) {
    if (!r.present || r.id == 0x8FFF) continue;
    defect_put16(image + at, r.id);
    defect_put16(image + at + 2, r.length);
    at += header_size;
    if (r.length != 0) RtlCopyMemory(image + at, r.data, r.length);
    at += r.length;
  }
  defect_put32(image + at, end_mark);
  camera_memory_stream stream = {window_start, window_start + window_size, window_start, device};
  status = stream.write(image, total);
  ExFreePoolWithTag(image, pool_tag::record_store);
  return status;
}

NTSTATUS defect_pixel_store::visit(PVOID context, USHORT id, ULONG offset, ULONG length) {
  auto* self = static_cast<defect_pixel_store*>(context);
  record r = {id, 1, length, nullptr};
  if (length != 0) {
    r.data = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, length, pool_tag::record_store_data));
    if (r.data == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    self->loading_stream_->position = offset;
    const NTSTATUS status = self->loading_stream_->read(r.data, length);
    if (!NT_SUCCESS(status)) {
      ExFreePoolWithTag(r.data, pool_tag::record_store_data);
      return status;
    }
  }
  const NTSTATUS status = self->loading_->append(r);
  if (!NT_SUCCESS(status) && r.data != nullptr) {
    ExFreePoolWithTag(r.data, pool_tag::record_store_data);
  }
  return status;
}

NTSTATUS defect_pixel_store::load() {
  camera_memory_stream stream = {window_start, window_start + window_size, window_start,
                                 camera_->device_object()};
  UCHAR header[header_size];
  if (!NT_SUCCESS(stream.read(header, sizeof(header)))) return STATUS_UNSUCCESSFUL;
  if (header[2] != 0xFF || header[3] != 0) return STATUS_UNSUCCESSFUL;
  if (header[0] == 0) return STATUS_NOT_SUPPORTED;

  stream.rewind();
  pool_array<record> loaded(PagedPool, pool_tag::record_store);
  camera_memory_stream reader = stream;
  loading_stream_ = &reader;
  loading_ = &loaded;
  const defect_source source = {stream_source_read, &stream};
  NTSTATUS status = walk_memory_records(source, stream.start, stream.end, visit, this);
  loading_stream_ = nullptr;
  loading_ = nullptr;
  if (status == STATUS_UNSUCCESSFUL) status = STATUS_NOT_FOUND;  // the header changed under us
  if (!NT_SUCCESS(status)) {
    free_records(&loaded);
    return status;
  }

  // The list: record 1 as raw entries, else record 2 decoded.
  ULONG* entries = nullptr;
  ULONG count = 0;
  const record* raw = nullptr;
  const record* compressed = nullptr;
  for (const record& r : loaded) {
    if (r.id == record_raw && raw == nullptr) raw = &r;
    if (r.id == record_compressed && compressed == nullptr) compressed = &r;
  }
  if (raw != nullptr) {
    count = raw->length / sizeof(ULONG);
    if (count > max_defect_entries) status = STATUS_BUFFER_OVERFLOW;
  } else if (compressed == nullptr) {
    status = STATUS_UNSUCCESSFUL;
  } else {
    status = compressed_defect_count(compressed->data, compressed->length, &count);
    if (!NT_SUCCESS(status)) status = STATUS_UNSUCCESSFUL;
  }
  if (NT_SUCCESS(status) && count != 0) {
    entries = static_cast<ULONG*>(
        ExAllocatePoolWithTag(PagedPool, count * sizeof(ULONG), pool_tag::defect_lists));
    if (entries == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (NT_SUCCESS(status) && raw != nullptr) {
    for (ULONG i = 0; i < count; ++i) entries[i] = defect_le32(raw->data + i * sizeof(ULONG));
  } else if (NT_SUCCESS(status)) {
    ULONG decoded = 0;
    status = decode_defects(compressed->data, compressed->length, width_, entries, count, &decoded);
    if (!NT_SUCCESS(status)) status = STATUS_UNSUCCESSFUL;
    count = decoded;
  }
  if (NT_SUCCESS(status)) status = replace_list(entries, count);
  if (entries != nullptr) ExFreePoolWithTag(entries, pool_tag::defect_lists);
  if (!NT_SUCCESS(status)) {
    free_records(&loaded);
    return status;
  }
  free_records(&records_);
  records_.swap(loaded);
  return STATUS_SUCCESS;
}

// ---- frames ----

void defect_pixel_store::rebuild_copy(const img::img_descriptor& frame,
                                      const defect_frame_params& params) {
  const LONG factor = params.binning == 2 || params.binning == 4 ? params.binning : 1;
  const LONG ox = params.offset_x / factor;
  const LONG oy = params.offset_y / factor;
  const bool bayer = is_bayer8_fourcc(frame.type);
  ULONG n = 0;
  for (ULONG i = 0; i < count_; ++i) {
    LONG x = LONG(binned(defect_x(list_[i]), factor)) - ox;
    LONG y = LONG(binned(defect_y(list_[i]), factor)) - oy;
    // A flipped Bayer sensor keeps its pattern: whole 2 x 2 cells are
    // mirrored, the site within the cell stays.
    if (params.flip_x) x = bayer ? frame.dim_x - 2 - (x & ~1) + (x & 1) : frame.dim_x - 1 - x;
    if (params.flip_y) y = bayer ? frame.dim_y - 2 - (y & ~1) + (y & 1) : frame.dim_y - 1 - y;
    if (x < 0 || y < 0 || x >= frame.dim_x || y >= frame.dim_y) continue;
    copy_[n++] = make_defect(ULONG(x), ULONG(y));
  }
  copy_count_ = n;
  copy_params_ = params;
  copy_width_ = frame.dim_x;
  copy_height_ = frame.dim_y;
  rebuild_ = false;
}

void defect_pixel_store::apply(const img::img_descriptor& frame, const defect_frame_params& params) {
  if (InterlockedCompareExchange(&enabled_, 0, 0) == 0) return;
  const bool marking = InterlockedCompareExchange(&marking_, 0, 0) != 0;
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  if (rebuild_ || !same_params(params, copy_params_) || copy_width_ != frame.dim_x ||
      copy_height_ != frame.dim_y) {
    rebuild_copy(frame, params);
  }
  correct_defect_entries(frame, copy_, copy_count_, marking);
  KeReleaseSpinLock(&lock_, irql);
}

// ---- properties ----

NTSTATUS defect_pixel_store::set_property(uvc_camera*, control_call* call) {
  switch (call->id) {
    case key_enabled:
    case key_marking: {
      if (call->output == nullptr || call->output_length < control_record::scalar_size) {
        return STATUS_INVALID_PARAMETER;
      }
      LONG value = 0;
      ULONG flags = 0;
      const NTSTATUS status = read_control_value(call, &value, &flags);
      if (!NT_SUCCESS(status)) return STATUS_INVALID_PARAMETER;
      if ((flags & control_flag_manual) != 0) {
        InterlockedExchange(call->id == key_enabled ? &enabled_ : &marking_, value != 0 ? 1 : 0);
      }
      return STATUS_SUCCESS;
    }
    case key_save:
    case key_load: {
      if (call->output == nullptr || call->output_length < sizeof(ULONG)) {
        return STATUS_INVALID_PARAMETER;
      }
      if (defect_le32(static_cast<const UCHAR*>(call->output)) == 0) return STATUS_SUCCESS;
      return call->id == key_save ? save() : load();
    }
    case key_entries: {
      const auto* data = static_cast<const UCHAR*>(call->output);
      const ULONG length = data != nullptr ? call->output_length : 0;
      if (length < sizeof(ULONG) || defect_le32(data) == 0) return reset();
      const ULONG count = defect_le32(data);
      if (count > max_defect_entries || (length - sizeof(ULONG)) / sizeof(ULONG) < count) {
        return STATUS_BUFFER_OVERFLOW;
      }
      auto* entries = static_cast<ULONG*>(
          ExAllocatePoolWithTag(PagedPool, count * sizeof(ULONG), pool_tag::defect_lists));
      if (entries == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
      for (ULONG i = 0; i < count; ++i) entries[i] = defect_le32(data + 4 * (i + 1));
      const NTSTATUS status = replace_list(entries, count);
      ExFreePoolWithTag(entries, pool_tag::defect_lists);
      return status;
    }
    default:
      return STATUS_NOT_IMPLEMENTED;
  }
}

NTSTATUS defect_pixel_store::get_property(uvc_camera*, control_call* call) {
  switch (call->id) {
    case key_enabled:
    case key_marking: {
      if (!is_range_query(call) &&
          (call->output == nullptr || call->output_length < control_record::scalar_size)) {
        return STATUS_INVALID_PARAMETER;
      }
      const bool enabled = call->id == key_enabled;
      return write_control_answer(
          call, boolean_answer(InterlockedCompareExchange(enabled ? &enabled_ : &marking_, 0, 0), enabled ? 1 : 0));
    }
    case key_entries:
      if (is_range_query(call)) return STATUS_NOT_IMPLEMENTED;
      return answer_defect_entries(call, list_, count_, STATUS_INVALID_PARAMETER);
    default:
      return STATUS_NOT_IMPLEMENTED;
  }
}

NTSTATUS defect_pixel_store::register_keys(ULONG sensor_width, ULONG sensor_height) {
  width_ = sensor_width;
  height_ = sensor_height;
  compressed_capacity_ = window_size - compressed_reserve;
  const property_key keys[] = {
      {camera_feature_set, key_enabled}, {camera_feature_set, key_marking},
      {camera_feature_set, key_save},    {camera_feature_set, key_load},
      {camera_feature_set, key_entries},
  };
  return register_control(camera_, keys, ARRAYSIZE(keys), this, control_level_base);
}

NTSTATUS create_defect_pixel_store(uvc_camera* camera, ULONG sensor_width, ULONG sensor_height,
                                   defect_pixel_store** created) {
  *created = nullptr;
  auto* store = new (NonPagedPoolNx, pool_tag::record_store) defect_pixel_store(camera);
  if (store == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = camera->add_owned_object(store);
  if (!NT_SUCCESS(status)) {
    delete store;
    return status;
  }
  status = store->register_keys(sensor_width, sensor_height);
  if (!NT_SUCCESS(status)) return status;
  *created = store;
  status = store->load();
  return status == STATUS_INSUFFICIENT_RESOURCES ? status : STATUS_SUCCESS;
}
