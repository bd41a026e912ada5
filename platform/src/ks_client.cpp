// The host as a kernel-streaming client (kstandin/testing_ks.h): opens
// filters and pins through IRP_MJ_CREATE with a file object of its own,
// sends IOCTL_KS_PROPERTY and IOCTL_KS_READ_STREAM IRPs to the device's
// functional device object, and collects completed reads.
#include <algorithm>
#include <chrono>

#include "ks_internal.h"

namespace kstandin {
namespace {

// A file object and the name it was opened with; owned by the host, freed
// after the object's close.
struct host_file {
  FILE_OBJECT object;
  std::u16string name;
};

host_file* new_file(PDEVICE_OBJECT device, const std::u16string& name, PFILE_OBJECT related) {
  auto* file = new host_file{};
  file->name = name;
  file->object.Type = IO_TYPE_FILE;
  file->object.Size = sizeof(FILE_OBJECT);
  file->object.DeviceObject = device;
  file->object.RelatedFileObject = related;
  file->object.FileName.Buffer = (PWSTR)file->name.data();
  file->object.FileName.Length = (USHORT)(file->name.size() * sizeof(WCHAR));
  file->object.FileName.MaximumLength = file->object.FileName.Length;
  return file;
}

void delete_file(PFILE_OBJECT file) { delete reinterpret_cast<host_file*>(file); }

PDEVICE_OBJECT fdo_of(ks_device* device) { return device->shell.pub.FunctionalDeviceObject; }

NTSTATUS create_irp(PDEVICE_OBJECT fdo, PFILE_OBJECT file, void* request, ULONG request_length) {
  return send_irp(fdo, IRP_MJ_CREATE, 0,
                  [&](PIRP irp, PIO_STACK_LOCATION stack) {
                    stack->FileObject = file;
                    stack->Parameters.Create.EaLength = request_length;
                    irp->AssociatedIrp.SystemBuffer = request;
                  },
                  nullptr, STATUS_SUCCESS);
}

void close_irp(PDEVICE_OBJECT fdo, PFILE_OBJECT file) {
  send_irp(fdo, IRP_MJ_CLOSE, 0, [&](PIRP, PIO_STACK_LOCATION stack) { stack->FileObject = file; },
           nullptr, STATUS_SUCCESS);
}

NTSTATUS property_irp(PDEVICE_OBJECT fdo, PFILE_OBJECT file, const void* request,
                      ULONG request_length, void* data, ULONG data_length, ULONG_PTR* returned) {
  return send_irp(fdo, IRP_MJ_DEVICE_CONTROL, 0,
                  [&](PIRP irp, PIO_STACK_LOCATION stack) {
                    stack->FileObject = file;
                    stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_KS_PROPERTY;
                    stack->Parameters.DeviceIoControl.InputBufferLength = request_length;
                    stack->Parameters.DeviceIoControl.OutputBufferLength = data_length;
                    stack->Parameters.DeviceIoControl.Type3InputBuffer = (PVOID)request;
                    irp->UserBuffer = data;
                  },
                  returned, STATUS_SUCCESS);
}

// Two calls: the size, then the answer.
NTSTATUS sized_property(const std::function<NTSTATUS(void*, ULONG, ULONG_PTR*)>& call,
                        std::vector<uint8_t>* answer) {
  answer->clear();
  ULONG_PTR size = 0;
  NTSTATUS status = call(nullptr, 0, &size);
  if (status != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  answer->resize(size);
  ULONG_PTR returned = 0;
  status = call(answer->data(), (ULONG)size, &returned);
  answer->resize(NT_SUCCESS(status) ? returned : 0);
  return status;
}

// ---- reads ------------------------------------------------------------------------

struct host_read {
  ks_pin* pin;
  uint64_t id;
  std::vector<uint64_t> header;  // the stream header (and frame info), 8-byte aligned
  std::vector<uint8_t> data;
};

NTSTATUS read_completion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* read = static_cast<host_read*>(context);
  ks_pin* pin = read->pin;
  ks_completed_read done;
  done.id = read->id;
  done.status = irp->IoStatus.Status;
  auto* header = reinterpret_cast<const KSSTREAM_HEADER*>(read->header.data());
  done.header = *header;
  done.header.Data = nullptr;
  if (read->header.size() * 8 >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) {
    done.has_frame_info = true;
    memcpy(&done.frame_info, header + 1, sizeof(KS_FRAME_INFO));
  }
  done.data = std::move(read->data);
  delete read;
  IoFreeIrp(irp);
  std::lock_guard<std::mutex> guard(pin->reads_lock);
  pin->completed.push_back(std::move(done));
  --pin->outstanding;
  pin->reads_changed.notify_all();
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

// ---- filters ----------------------------------------------------------------------

NTSTATUS ks_open_filter(ks_device* device, size_t factory_index, ks_filter** filter) {
  *filter = nullptr;
  std::u16string reference;
  {
    std::lock_guard<std::mutex> guard(device->objects_lock);
    if (factory_index >= device->factories.size()) return STATUS_OBJECT_NAME_NOT_FOUND;
    reference = device->factories[factory_index]->reference;
  }
  host_file* file = new_file(fdo_of(device), reference, nullptr);
  const NTSTATUS status = create_irp(fdo_of(device), &file->object, nullptr, 0);
  auto* header = static_cast<ks_object_header*>(file->object.FsContext);
  if (!NT_SUCCESS(status) || header == nullptr) {
    delete file;
    return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  }
  *filter = static_cast<ks_filter*>(header->object);
  return status;
}

NTSTATUS ks_open_filter(const ks_filter_info& info, ks_filter** filter) {
  return ks_open_filter(info.device, info.factory_index, filter);
}

NTSTATUS ks_close_filter(ks_filter* filter) {
  std::vector<ks_pin*> pins;
  {
    std::lock_guard<std::mutex> guard(filter->device->objects_lock);
    pins = filter->pins;
  }
  for (auto it = pins.rbegin(); it != pins.rend(); ++it) ks_close_pin(*it);
  PFILE_OBJECT file = filter->file;
  close_irp(fdo_of(filter->device), file);
  delete_file(file);
  return STATUS_SUCCESS;
}

PKSFILTER ks_filter_object(ks_filter* filter) { return &filter->shell.pub; }

// ---- properties -------------------------------------------------------------------

NTSTATUS ks_property(ks_filter* filter, const void* request, ULONG request_length, void* data,
                     ULONG data_length, ULONG_PTR* returned) {
  return property_irp(fdo_of(filter->device), filter->file, request, request_length, data,
                      data_length, returned);
}

NTSTATUS ks_property(ks_pin* pin, const void* request, ULONG request_length, void* data,
                     ULONG data_length, ULONG_PTR* returned) {
  return property_irp(fdo_of(pin->device), pin->file, request, request_length, data, data_length,
                      returned);
}

KSPROPERTY ks_make_property(const GUID& set, ULONG id, ULONG flags) {
  KSPROPERTY property{};
  property.Set = set;
  property.Id = id;
  property.Flags = flags;
  return property;
}

NTSTATUS ks_get_property(ks_filter* filter, const GUID& set, ULONG id, void* data,
                         ULONG data_length, ULONG_PTR* returned) {
  const KSPROPERTY property = ks_make_property(set, id, KSPROPERTY_TYPE_GET);
  return ks_property(filter, &property, sizeof property, data, data_length, returned);
}

NTSTATUS ks_get_property(ks_pin* pin, const GUID& set, ULONG id, void* data, ULONG data_length,
                         ULONG_PTR* returned) {
  const KSPROPERTY property = ks_make_property(set, id, KSPROPERTY_TYPE_GET);
  return ks_property(pin, &property, sizeof property, data, data_length, returned);
}

NTSTATUS ks_set_property(ks_filter* filter, const GUID& set, ULONG id, const void* data,
                         ULONG data_length) {
  const KSPROPERTY property = ks_make_property(set, id, KSPROPERTY_TYPE_SET);
  return ks_property(filter, &property, sizeof property, (void*)data, data_length);
}

NTSTATUS ks_set_property(ks_pin* pin, const GUID& set, ULONG id, const void* data,
                         ULONG data_length) {
  const KSPROPERTY property = ks_make_property(set, id, KSPROPERTY_TYPE_SET);
  return ks_property(pin, &property, sizeof property, (void*)data, data_length);
}

NTSTATUS ks_basic_support(ks_filter* filter, const GUID& set, ULONG id,
                          std::vector<uint8_t>* description) {
  const KSPROPERTY property = ks_make_property(set, id, KSPROPERTY_TYPE_BASICSUPPORT);
  return sized_property(
      [&](void* data, ULONG length, ULONG_PTR* returned) {
        return ks_property(filter, &property, sizeof property, data, length, returned);
      },
      description);
}

NTSTATUS ks_basic_support(ks_pin* pin, const GUID& set, ULONG id,
                          std::vector<uint8_t>* description) {
  const KSPROPERTY property = ks_make_property(set, id, KSPROPERTY_TYPE_BASICSUPPORT);
  return sized_property(
      [&](void* data, ULONG length, ULONG_PTR* returned) {
        return ks_property(pin, &property, sizeof property, data, length, returned);
      },
      description);
}

// ---- pins -------------------------------------------------------------------------

namespace {
KSP_PIN pin_request(ULONG property_id, ULONG pin_id) {
  KSP_PIN request{};
  request.Property = ks_make_property(KSPROPSETID_Pin, property_id, KSPROPERTY_TYPE_GET);
  request.PinId = pin_id;
  return request;
}
}  // namespace

NTSTATUS ks_pin_count(ks_filter* filter, ULONG* count) {
  return ks_get_property(filter, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, count, sizeof *count);
}

NTSTATUS ks_pin_instances(ks_filter* filter, ULONG pin_id, KSPIN_CINSTANCES* instances) {
  const KSP_PIN request = pin_request(KSPROPERTY_PIN_CINSTANCES, pin_id);
  return ks_property(filter, &request, sizeof request, instances, sizeof *instances);
}

NTSTATUS ks_pin_data_ranges(ks_filter* filter, ULONG pin_id,
                            std::vector<std::vector<uint8_t>>* ranges) {
  ranges->clear();
  const KSP_PIN request = pin_request(KSPROPERTY_PIN_DATARANGES, pin_id);
  std::vector<uint8_t> answer;
  const NTSTATUS status = sized_property(
      [&](void* data, ULONG length, ULONG_PTR* returned) {
        return ks_property(filter, &request, sizeof request, data, length, returned);
      },
      &answer);
  if (!NT_SUCCESS(status)) return status;
  if (answer.size() < sizeof(KSMULTIPLE_ITEM)) return STATUS_UNSUCCESSFUL;
  KSMULTIPLE_ITEM list;
  memcpy(&list, answer.data(), sizeof list);
  size_t offset = sizeof(KSMULTIPLE_ITEM);
  for (ULONG i = 0; i < list.Count; ++i) {
    KSDATARANGE range;
    if (offset + sizeof range > answer.size()) return STATUS_UNSUCCESSFUL;
    memcpy(&range, answer.data() + offset, sizeof range);
    if (range.FormatSize < sizeof range || offset + range.FormatSize > answer.size()) {
      return STATUS_UNSUCCESSFUL;
    }
    ranges->emplace_back(answer.begin() + offset, answer.begin() + offset + range.FormatSize);
    offset += (range.FormatSize + 7) & ~7u;
  }
  return status;
}

NTSTATUS ks_intersect(ks_filter* filter, ULONG pin_id, const void* data_range,
                      std::vector<uint8_t>* format) {
  KSDATARANGE range;
  memcpy(&range, data_range, sizeof range);
  const ULONG range_size = (range.FormatSize + 7) & ~7u;
  std::vector<uint64_t> request((sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM) + range_size) / 8, 0);
  auto* pin = reinterpret_cast<PKSP_PIN>(request.data());
  *pin = pin_request(KSPROPERTY_PIN_DATAINTERSECTION, pin_id);
  auto* list = reinterpret_cast<PKSMULTIPLE_ITEM>(pin + 1);
  list->Size = sizeof(KSMULTIPLE_ITEM) + range_size;
  list->Count = 1;
  memcpy(list + 1, data_range, range.FormatSize);
  const ULONG request_length = (ULONG)(request.size() * 8);
  return sized_property(
      [&](void* data, ULONG length, ULONG_PTR* returned) {
        return ks_property(filter, request.data(), request_length, data, length, returned);
      },
      format);
}

NTSTATUS ks_create_pin(ks_filter* filter, ULONG pin_id, const void* format,
                       std::shared_ptr<reference_clock> clock, ks_pin** pin) {
  *pin = nullptr;
  KSDATAFORMAT header;
  memcpy(&header, format, sizeof header);
  std::vector<uint64_t> request((sizeof(KSPIN_CONNECT) + header.FormatSize + 7) / 8, 0);
  auto* connect = reinterpret_cast<PKSPIN_CONNECT>(request.data());
  connect->Interface.Set = KSINTERFACESETID_Standard;
  connect->Interface.Id = KSINTERFACE_STANDARD_STREAMING;
  connect->Medium.Set = KSMEDIUMSETID_Standard;
  connect->Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
  connect->PinId = pin_id;
  connect->Priority.PriorityClass = KSPRIORITY_NORMAL;
  connect->Priority.PrioritySubClass = 1;
  memcpy(connect + 1, format, header.FormatSize);
  PDEVICE_OBJECT fdo = fdo_of(filter->device);
  host_file* file = new_file(fdo, u"", filter->file);
  const NTSTATUS status = create_irp(fdo, &file->object, request.data(),
                                     (ULONG)(sizeof(KSPIN_CONNECT) + header.FormatSize));
  auto* object = static_cast<ks_object_header*>(file->object.FsContext);
  if (!NT_SUCCESS(status) || object == nullptr) {
    delete file;
    return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  }
  *pin = static_cast<ks_pin*>(object->object);
  attach_clock(*pin, std::move(clock));
  return status;
}

NTSTATUS ks_set_pin_format(ks_pin* pin, const void* format) {
  KSDATAFORMAT header;
  memcpy(&header, format, sizeof header);
  return ks_set_property(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, format,
                         header.FormatSize);
}

NTSTATUS ks_get_pin_format(ks_pin* pin, std::vector<uint8_t>* format) {
  const KSPROPERTY property =
      ks_make_property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, KSPROPERTY_TYPE_GET);
  return sized_property(
      [&](void* data, ULONG length, ULONG_PTR* returned) {
        return ks_property(pin, &property, sizeof property, data, length, returned);
      },
      format);
}

NTSTATUS ks_set_pin_state(ks_pin* pin, KSSTATE state) {
  return ks_set_property(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &state,
                         sizeof state);
}

KSSTATE ks_pin_state(ks_pin* pin) {
  return (KSSTATE)__atomic_load_n((int*)&pin->shell.pub.DeviceState, __ATOMIC_ACQUIRE);
}

NTSTATUS ks_pin_allocator_framing(ks_pin* pin, std::vector<uint8_t>* framing) {
  const KSPROPERTY property = ks_make_property(
      KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX, KSPROPERTY_TYPE_GET);
  return sized_property(
      [&](void* data, ULONG length, ULONG_PTR* returned) {
        return ks_property(pin, &property, sizeof property, data, length, returned);
      },
      framing);
}

NTSTATUS ks_close_pin(ks_pin* pin) {
  PFILE_OBJECT file = pin->file;
  close_irp(fdo_of(pin->device), file);
  delete_file(file);
  return STATUS_SUCCESS;
}

PKSPIN ks_pin_object(ks_pin* pin) { return &pin->shell.pub; }

// ---- streaming --------------------------------------------------------------------

NTSTATUS ks_queue_read(ks_pin* pin, ULONG buffer_size, bool frame_info, uint64_t* id) {
  auto* read = new host_read;
  read->pin = pin;
  const ULONG header_size =
      sizeof(KSSTREAM_HEADER) + (frame_info ? (ULONG)sizeof(KS_FRAME_INFO) : 0u);
  read->header.assign(header_size / 8, 0);
  read->data.assign(buffer_size, 0xCD);
  auto* header = reinterpret_cast<PKSSTREAM_HEADER>(read->header.data());
  header->Size = header_size;
  header->FrameExtent = buffer_size;
  header->Data = buffer_size != 0 ? read->data.data() : nullptr;
  if (frame_info) reinterpret_cast<PKS_FRAME_INFO>(header + 1)->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
  {
    std::lock_guard<std::mutex> guard(pin->reads_lock);
    read->id = pin->next_read_id++;
    ++pin->outstanding;
  }
  if (id != nullptr) *id = read->id;
  const uint64_t read_id = read->id;

  PDEVICE_OBJECT fdo = fdo_of(pin->device);
  PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
  if (irp == NULL) {
    delete read;
    std::lock_guard<std::mutex> guard(pin->reads_lock);
    --pin->outstanding;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->RequestorMode = KernelMode;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  irp->UserBuffer = header;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  stack->FileObject = pin->file;
  stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_KS_READ_STREAM;
  stack->Parameters.DeviceIoControl.OutputBufferLength = header_size;
  IoSetCompletionRoutine(irp, read_completion, read, TRUE, TRUE, TRUE);
  const NTSTATUS status = IoCallDriver(fdo, irp);
  if (NT_ERROR(status)) {
    // Refused at once: the completion routine has recorded it; it is not a
    // completed read for the client.
    std::lock_guard<std::mutex> guard(pin->reads_lock);
    auto& list = pin->completed;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [read_id](const ks_completed_read& r) { return r.id == read_id; }),
               list.end());
  }
  return status;
}

std::vector<ks_completed_read> ks_take_completed(ks_pin* pin, size_t min_count,
                                                 unsigned timeout_ms) {
  std::unique_lock<std::mutex> lock(pin->reads_lock);
  pin->reads_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [&] { return pin->completed.size() >= min_count; });
  std::vector<ks_completed_read> taken(std::make_move_iterator(pin->completed.begin()),
                                       std::make_move_iterator(pin->completed.end()));
  pin->completed.clear();
  return taken;
}

size_t ks_outstanding_reads(ks_pin* pin) {
  std::lock_guard<std::mutex> guard(pin->reads_lock);
  return pin->outstanding;
}

size_t ks_cancel_reads(ks_pin* pin) { return flush_queue(pin); }

}  // namespace kstandin
