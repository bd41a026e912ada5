// ks.sys stand-in: driver registration (KsInitializeDriver), the dispatch
// routines it installs, device creation (AddDevice, KsCreateDevice), PnP
// and power IRPs on the functional device object, and the host's side of
// them: loading a driver and plugging, starting, stopping, powering and
// removing its devices (kstandin/testing_ks.h).
//
// PnP and power IRPs of a device are handled one at a time (the device's
// pnp_lock), so the driver's device callbacks never overlap. Start, query
// capabilities and power-up go to the bus first and reach the driver on the
// way back; stop, removal and power-down reach the driver first.
#include <algorithm>
#include <map>

#include "ks_internal.h"

namespace kstandin {
namespace {

NTSTATUS remove_device_from_host(ks_device* device, bool query);

struct driver_registry {
  std::map<PDRIVER_OBJECT, std::unique_ptr<ks_driver>> drivers;
};

driver_registry& drivers() {
  static auto* r = new driver_registry;
  return *r;
}

ks_device* fdo_device(PDEVICE_OBJECT fdo) {
  PKSDEVICE device = KsGetDeviceForDeviceObject(fdo);
  if (device == NULL) return nullptr;
  return static_cast<ks_device*>(((ks_object_header*)((char*)device - kPublicOffset))->object);
}

const KSDEVICE_DISPATCH* device_dispatch(ks_device* device) {
  const KSDEVICE_DESCRIPTOR* descriptor = device->shell.pub.Descriptor;
  return descriptor != nullptr ? descriptor->Dispatch : nullptr;
}

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS signal_completion(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the IRP to the device below and waits until it is back with us.
NTSTATUS forward_and_wait(ks_device* device, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, signal_completion, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(device->shell.pub.NextDeviceObject, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = irp->IoStatus.Status;
  }
  return status;
}

NTSTATUS forward(ks_device* device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(device->shell.pub.NextDeviceObject, irp);
}

void set_started(ks_device* device, bool started) {
  std::lock_guard<std::mutex> guard(device->objects_lock);
  device->shell.pub.Started = started ? TRUE : FALSE;
}

// Frees the device's filter factories: those created with
// KSCREATE_ITEM_FREEONSTOP, or all of them.
void free_factories(ks_device* device, bool all) {
  std::vector<ks_factory*> doomed;
  {
    std::lock_guard<std::mutex> guard(device->objects_lock);
    auto& list = device->factories;
    for (auto it = list.begin(); it != list.end();) {
      if (all || ((*it)->create_item_flags & KSCREATE_ITEM_FREEONSTOP)) {
        doomed.push_back(*it);
        it = list.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (ks_factory* factory : doomed) {
    free_bag(&factory->bag);
    delete factory;
  }
}

void unregister_device(ks_device* device) {
  std::lock_guard<std::mutex> guard(driver_list_lock());
  auto& list = device->driver->devices;
  auto it = std::find(list.begin(), list.end(), device);
  if (it != list.end()) list.erase(it);
}

void stop_device(ks_device* device, PIRP irp) {
  const KSDEVICE_DISPATCH* dispatch = device_dispatch(device);
  if (dispatch != nullptr && dispatch->Stop != nullptr) {
    irql_guard guard("device Stop");
    dispatch->Stop(&device->shell.pub, irp);
  }
  set_started(device, false);
  free_factories(device, false);
}

// IRP_MN_REMOVE_DEVICE: the driver's last callbacks, then the device goes.
// The caller's lock on the device is released before the device is freed.
NTSTATUS remove_device(ks_device* device, PIRP irp, std::unique_lock<std::mutex>& pnp) {
  const KSDEVICE_DISPATCH* dispatch = device_dispatch(device);
  if (device->shell.pub.Started) stop_device(device, irp);
  if (dispatch != nullptr && dispatch->Remove != nullptr) {
    irql_guard guard("device Remove");
    dispatch->Remove(&device->shell.pub, irp);
  }
  free_factories(device, true);
  free_bag(&device->bag);
  pnp.unlock();
  PDEVICE_OBJECT fdo = device->shell.pub.FunctionalDeviceObject;
  PDEVICE_OBJECT next = device->shell.pub.NextDeviceObject;
  irp->IoStatus.Status = STATUS_SUCCESS;
  const NTSTATUS status = forward(device, irp);
  IoDetachDevice(next);
  unregister_device(device);
  auto* extension = static_cast<ks_fdo_extension*>(fdo->DeviceExtension);
  extension->magic = 0;
  // Checks the pool for what the driver left (everything it allocated since
  // the device object was created).
  IoDeleteDevice(fdo);
  delete device;
  return status;
}

NTSTATUS dispatch_pnp(PDEVICE_OBJECT fdo, PIRP irp) {
  ks_device* device = fdo_device(fdo);
  if (device == nullptr) return complete(irp, STATUS_NO_SUCH_DEVICE);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const KSDEVICE_DISPATCH* dispatch = device_dispatch(device);
  PKSDEVICE pub = &device->shell.pub;
  std::unique_lock<std::mutex> pnp(device->pnp_lock);
  NTSTATUS status = STATUS_SUCCESS;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = forward_and_wait(device, irp);
      if (NT_SUCCESS(status) && dispatch != nullptr && dispatch->Start != nullptr) {
        irql_guard guard("device Start");
        status = dispatch->Start(pub, irp, NULL, NULL);
      }
      if (NT_SUCCESS(status)) {
        set_started(device, true);
        if (dispatch != nullptr && dispatch->PostStart != nullptr) {
          irql_guard guard("device PostStart");
          status = dispatch->PostStart(pub);
        }
      }
      return complete(irp, status);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE: {
      PFNKSDEVICEIRP query = nullptr;
      if (dispatch != nullptr) {
        query = stack->MinorFunction == IRP_MN_QUERY_STOP_DEVICE ? dispatch->QueryStop
                                                                 : dispatch->QueryRemove;
      }
      if (query != nullptr) {
        irql_guard guard("device query callback");
        status = query(pub, irp);
      }
      if (!NT_SUCCESS(status)) return complete(irp, status);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return forward(device, irp);
    }
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE: {
      PFNKSDEVICEIRPVOID cancel = nullptr;
      if (dispatch != nullptr) {
        cancel = stack->MinorFunction == IRP_MN_CANCEL_STOP_DEVICE ? dispatch->CancelStop
                                                                   : dispatch->CancelRemove;
      }
      if (cancel != nullptr) {
        irql_guard guard("device cancel callback");
        cancel(pub, irp);
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      return forward(device, irp);
    }
    case IRP_MN_STOP_DEVICE:
      stop_device(device, irp);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return forward(device, irp);
    case IRP_MN_QUERY_CAPABILITIES:
      status = forward_and_wait(device, irp);
      if (NT_SUCCESS(status) && dispatch != nullptr && dispatch->QueryCapabilities != nullptr) {
        irql_guard guard("device QueryCapabilities");
        status = dispatch->QueryCapabilities(pub, irp,
                                             stack->Parameters.DeviceCapabilities.Capabilities);
      }
      return complete(irp, status);
    case IRP_MN_SURPRISE_REMOVAL:
      {
        std::lock_guard<std::mutex> guard(device->objects_lock);
        device->surprise_removed = true;
      }
      if (dispatch != nullptr && dispatch->SurpriseRemoval != nullptr) {
        irql_guard guard("device SurpriseRemoval");
        dispatch->SurpriseRemoval(pub, irp);
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      return forward(device, irp);
    case IRP_MN_REMOVE_DEVICE:
      return remove_device(device, irp, pnp);
    default:
      return forward(device, irp);
  }
}

NTSTATUS dispatch_power(PDEVICE_OBJECT fdo, PIRP irp) {
  ks_device* device = fdo_device(fdo);
  if (device == nullptr) return complete(irp, STATUS_NO_SUCH_DEVICE);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.Power.Type != DevicePowerState) return forward(device, irp);
  const KSDEVICE_DISPATCH* dispatch = device_dispatch(device);
  PKSDEVICE pub = &device->shell.pub;
  std::unique_lock<std::mutex> pnp(device->pnp_lock);
  const DEVICE_POWER_STATE to = stack->Parameters.Power.State.DeviceState;
  const DEVICE_POWER_STATE from = pub->DevicePowerState;
  NTSTATUS status = STATUS_SUCCESS;
  if (stack->MinorFunction == IRP_MN_QUERY_POWER) {
    if (dispatch != nullptr && dispatch->QueryPower != nullptr) {
      irql_guard guard("device QueryPower");
      status = dispatch->QueryPower(pub, irp, to, from, pub->SystemPowerState,
                                    pub->SystemPowerState, stack->Parameters.Power.ShutdownType);
    }
    if (!NT_SUCCESS(status)) return complete(irp, status);
    irp->IoStatus.Status = STATUS_SUCCESS;
    return complete(irp, forward_and_wait(device, irp));
  }
  if (stack->MinorFunction != IRP_MN_SET_POWER) return forward(device, irp);
  auto set_power = [&] {
    if (dispatch != nullptr && dispatch->SetPower != nullptr) {
      irql_guard guard("device SetPower");
      dispatch->SetPower(pub, irp, to, from);
    }
    pub->DevicePowerState = to;
  };
  irp->IoStatus.Status = STATUS_SUCCESS;
  if (to < from) {  // towards D0: the bus first
    status = forward_and_wait(device, irp);
    set_power();
  } else {
    set_power();
    status = forward_and_wait(device, irp);
  }
  return complete(irp, status);
}

NTSTATUS dispatch_create(PDEVICE_OBJECT fdo, PIRP irp) {
  ks_device* device = fdo_device(fdo);
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  if (device == nullptr || file == nullptr) return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  NTSTATUS status;
  if (file->RelatedFileObject != nullptr) {
    auto* parent = static_cast<ks_object_header*>(file->RelatedFileObject->FsContext);
    if (parent == nullptr || parent->magic != kKsObjectMagic || parent->kind != ks_kind::filter) {
      return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    status = ks_create_pin(static_cast<ks_filter*>(parent->object), irp);
  } else {
    status = ks_create_filter(device, irp);
  }
  return complete(irp, status);
}

NTSTATUS dispatch_close(PDEVICE_OBJECT, PIRP irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  auto* header = file != nullptr ? static_cast<ks_object_header*>(file->FsContext) : nullptr;
  if (header == nullptr || header->magic != kKsObjectMagic) return complete(irp, STATUS_SUCCESS);
  if (header->kind == ks_kind::filter) {
    ks_close_filter_object(static_cast<ks_filter*>(header->object), irp);
  } else if (header->kind == ks_kind::pin) {
    ks_close_pin_object(static_cast<ks_pin*>(header->object), irp);
  }
  return complete(irp, STATUS_SUCCESS);
}

NTSTATUS dispatch_device_control(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  auto* header = stack->FileObject != nullptr
                     ? static_cast<ks_object_header*>(stack->FileObject->FsContext)
                     : nullptr;
  if (header == nullptr || header->magic != kKsObjectMagic) {
    return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
  irp->IoStatus.Information = 0;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_KS_PROPERTY: {
      const NTSTATUS status = ks_dispatch_property(header, irp);
      return complete(irp, status, irp->IoStatus.Information);
    }
    case IOCTL_KS_READ_STREAM: {
      if (header->kind != ks_kind::pin) return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
      const NTSTATUS status = ks_queue_stream_read(static_cast<ks_pin*>(header->object), irp);
      if (status == STATUS_PENDING) return status;
      return complete(irp, status);
    }
    default:
      return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS dispatch_pass_down(PDEVICE_OBJECT fdo, PIRP irp) {
  ks_device* device = fdo_device(fdo);
  if (device == nullptr) return complete(irp, STATUS_NO_SUCH_DEVICE);
  return forward(device, irp);
}

NTSTATUS add_device(PDRIVER_OBJECT driver_object, PDEVICE_OBJECT physical_device) {
  ks_driver* driver = driver_record(driver_object, false);
  if (driver == nullptr || driver->descriptor == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  PKSDEVICE device = NULL;
  return KsCreateDevice(driver_object, physical_device, driver->descriptor, 0, &device);
}

VOID unload_nothing(PDRIVER_OBJECT) {}

std::string guid_text(const GUID& g) {
  char text[40];
  snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
           (unsigned)g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
           g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

void check_removal(const pool_snapshot& added, size_t threads_at_add, const std::string& what) {
  std::vector<tag_usage> pending;
  for (const auto& usage : leaks_since(added)) {
    if (usage.tag == kIrpTag || usage.tag == kWorkItemTag) pending.push_back(usage);
  }
  if (!pending.empty()) {
    report_violation("irp_pending_at_removal",
                     what + " removed with IRPs or work items still allocated:\n" +
                         describe(pending));
  }
  const size_t threads = running_system_thread_count();
  if (threads > threads_at_add) {
    report_violation("thread_running_at_removal",
                     what + " removed with " + std::to_string(threads - threads_at_add) +
                         " system thread(s) it started still running");
  }
}

}  // namespace

std::mutex& driver_list_lock() {
  static auto* lock = new std::mutex;
  return *lock;
}

ks_driver* driver_record(PDRIVER_OBJECT driver_object, bool create) {
  std::lock_guard<std::mutex> guard(driver_list_lock());
  auto& map = drivers().drivers;
  auto it = map.find(driver_object);
  if (it != map.end()) return it->second.get();
  if (!create) return nullptr;
  auto record = std::make_unique<ks_driver>();
  record->driver_object = driver_object;
  ks_driver* raw = record.get();
  map[driver_object] = std::move(record);
  return raw;
}

NTSTATUS send_irp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                  const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup,
                  ULONG_PTR* information, NTSTATUS initial_status) {
  if (information != nullptr) *information = 0;
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  irp->RequestorMode = KernelMode;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  irp->IoStatus.Status = initial_status;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = major;
  stack->MinorFunction = minor;
  if (setup) setup(irp, stack);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, signal_completion, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(device, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
  }
  const NTSTATUS status = irp->IoStatus.Status;
  if (information != nullptr) *information = irp->IoStatus.Information;
  IoFreeIrp(irp);
  return status;
}

// ---- host: drivers and devices ---------------------------------------------------

NTSTATUS ks_load_driver(PDRIVER_INITIALIZE driver_entry, ks_driver** driver,
                        const std::string& service_name) {
  *driver = nullptr;
  if (driver_entry == nullptr) return STATUS_INVALID_PARAMETER;
  PDRIVER_OBJECT object = create_driver_object("\\Driver\\" + service_name);
  ks_driver* record = driver_record(object, true);
  record->registry_path = utf16_from_utf8(
      "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service_name);
  UNICODE_STRING path;
  path.Buffer = (PWSTR)record->registry_path.data();
  path.Length = (USHORT)(record->registry_path.size() * sizeof(WCHAR));
  path.MaximumLength = path.Length;
  NTSTATUS status;
  {
    irql_guard guard("DriverEntry");
    status = driver_entry(object, &path);
  }
  if (!NT_SUCCESS(status)) {
    {
      std::lock_guard<std::mutex> guard(driver_list_lock());
      drivers().drivers.erase(object);
    }
    delete_driver_object(object);
    return status;
  }
  *driver = record;
  return status;
}

void ks_unload_driver(ks_driver* driver) {
  if (driver == nullptr) return;
  for (;;) {
    ks_device* last = nullptr;
    {
      std::lock_guard<std::mutex> guard(driver_list_lock());
      if (!driver->devices.empty()) last = driver->devices.back();
    }
    if (last == nullptr) break;
    remove_device_from_host(last, false);  // no veto at unload
  }
  PDRIVER_OBJECT object = driver->driver_object;
  if (object->DriverUnload != nullptr) {
    irql_guard guard("DriverUnload");
    object->DriverUnload(object);
  }
  {
    std::lock_guard<std::mutex> guard(driver_list_lock());
    drivers().drivers.erase(object);
  }
  delete_driver_object(object);
}

PDRIVER_OBJECT ks_driver_object(ks_driver* driver) { return driver->driver_object; }

NTSTATUS ks_add_device(ks_driver* driver, PDEVICE_OBJECT physical_device, ks_device** device) {
  *device = nullptr;
  PDRIVER_OBJECT object = driver->driver_object;
  PDRIVER_ADD_DEVICE add = object->DriverExtension->AddDevice;
  if (add == nullptr || physical_device == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  NTSTATUS status;
  {
    irql_guard guard("AddDevice");
    status = add(object, physical_device);
  }
  if (!NT_SUCCESS(status)) return status;
  ks_device* added = fdo_device(IoGetAttachedDevice(physical_device));
  if (added == nullptr) return STATUS_UNSUCCESSFUL;
  *device = added;
  return status;
}

NTSTATUS ks_start_device(ks_device* device) {
  return send_irp(device->shell.pub.FunctionalDeviceObject, IRP_MJ_PNP, IRP_MN_START_DEVICE,
                  nullptr);
}

NTSTATUS ks_plug_device(ks_driver* driver, PDEVICE_OBJECT physical_device, ks_device** device) {
  const NTSTATUS status = ks_add_device(driver, physical_device, device);
  if (!NT_SUCCESS(status)) return status;
  return ks_start_device(*device);
}

NTSTATUS ks_stop_device(ks_device* device) {
  {
    std::lock_guard<std::mutex> guard(device->objects_lock);
    if (!device->filters.empty()) return STATUS_DEVICE_BUSY;
  }
  PDEVICE_OBJECT fdo = device->shell.pub.FunctionalDeviceObject;
  const NTSTATUS status = send_irp(fdo, IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE, nullptr);
  if (!NT_SUCCESS(status)) {
    send_irp(fdo, IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE, nullptr);
    return status;
  }
  return send_irp(fdo, IRP_MJ_PNP, IRP_MN_STOP_DEVICE, nullptr);
}

NTSTATUS ks_query_capabilities(ks_device* device, USHORT version,
                               DEVICE_CAPABILITIES* capabilities) {
  capabilities->Size = sizeof(DEVICE_CAPABILITIES);
  capabilities->Version = version;
  return send_irp(device->shell.pub.FunctionalDeviceObject, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                  [capabilities](PIRP, PIO_STACK_LOCATION stack) {
                    stack->Parameters.DeviceCapabilities.Capabilities = capabilities;
                  });
}

namespace {
NTSTATUS power_irp(ks_device* device, UCHAR minor, DEVICE_POWER_STATE to) {
  return send_irp(device->shell.pub.FunctionalDeviceObject, IRP_MJ_POWER, minor,
                  [to](PIRP, PIO_STACK_LOCATION stack) {
                    stack->Parameters.Power.Type = DevicePowerState;
                    stack->Parameters.Power.State.DeviceState = to;
                    stack->Parameters.Power.ShutdownType = PowerActionNone;
                  });
}
}  // namespace

NTSTATUS ks_query_power(ks_device* device, DEVICE_POWER_STATE to) {
  return power_irp(device, IRP_MN_QUERY_POWER, to);
}

NTSTATUS ks_set_power(ks_device* device, DEVICE_POWER_STATE to) {
  return power_irp(device, IRP_MN_SET_POWER, to);
}

void ks_surprise_remove(ks_device* device) {
  send_irp(device->shell.pub.FunctionalDeviceObject, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL, nullptr);
}

namespace {
// Closes what the client left open and removes the device; with
// `query`, IRP_MN_QUERY_REMOVE_DEVICE first (a veto keeps the device).
NTSTATUS remove_device_from_host(ks_device* device, bool query) {
  std::vector<ks_filter*> open;
  {
    std::lock_guard<std::mutex> guard(device->objects_lock);
    open = device->filters;
  }
  for (auto it = open.rbegin(); it != open.rend(); ++it) ks_close_filter(*it);
  PDEVICE_OBJECT fdo = device->shell.pub.FunctionalDeviceObject;
  if (query && !device->surprise_removed) {
    const NTSTATUS status = send_irp(fdo, IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE, nullptr);
    if (!NT_SUCCESS(status)) {
      send_irp(fdo, IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE, nullptr);
      return status;
    }
  }
  const pool_snapshot added = device->added;
  const size_t threads_at_add = device->threads_at_add;
  const std::string what =
      "device " + (device->instance_id.empty() ? std::string("(no instance id)") : device->instance_id);
  send_irp(fdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr);
  check_removal(added, threads_at_add, what);
  return STATUS_SUCCESS;
}
}  // namespace

NTSTATUS ks_remove_device(ks_device* device) { return remove_device_from_host(device, true); }

PKSDEVICE ks_device_object(ks_device* device) { return &device->shell.pub; }

std::vector<ks_filter_info> ks_list_filters(ks_device* only) {
  std::vector<ks_device*> devices;
  {
    std::lock_guard<std::mutex> guard(driver_list_lock());
    for (const auto& entry : drivers().drivers) {
      for (ks_device* device : entry.second->devices) {
        if (only == nullptr || only == device) devices.push_back(device);
      }
    }
  }
  std::vector<ks_filter_info> list;
  for (ks_device* device : devices) {
    std::lock_guard<std::mutex> guard(device->objects_lock);
    if (!device->shell.pub.Started || device->surprise_removed) continue;
    std::string link_base = device->instance_id;
    std::replace(link_base.begin(), link_base.end(), '\\', '#');
    for (size_t i = 0; i < device->factories.size(); ++i) {
      ks_factory* factory = device->factories[i];
      ks_filter_info info;
      info.device = device;
      info.factory_index = i;
      info.factory = &factory->shell.pub;
      info.descriptor = factory->shell.pub.FilterDescriptor;
      info.reference_string = utf8_from_utf16(factory->reference);
      info.create_item_flags = factory->create_item_flags;
      for (ULONG c = 0; info.descriptor != nullptr && c < info.descriptor->CategoriesCount; ++c) {
        const GUID& category = info.descriptor->Categories[c];
        info.categories.push_back(category);
        info.interfaces.push_back("\\??\\" + link_base + "#" + guid_text(category) + "\\" +
                                  info.reference_string);
      }
      list.push_back(std::move(info));
    }
  }
  return list;
}

}  // namespace kstandin

using namespace kstandin;

NTSTATUS NTAPI KsInitializeDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath,
                                  const KSDEVICE_DESCRIPTOR* Descriptor) {
  if (DriverObject == NULL) return STATUS_INVALID_PARAMETER;
  ks_driver* driver = driver_record(DriverObject, true);
  driver->descriptor = Descriptor;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = dispatch_create;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = dispatch_close;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_device_control;
  DriverObject->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = dispatch_power;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = dispatch_pass_down;
  DriverObject->DriverExtension->AddDevice = add_device;
  if (DriverObject->DriverUnload == NULL) DriverObject->DriverUnload = unload_nothing;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI KsCreateDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                              const KSDEVICE_DESCRIPTOR* Descriptor, ULONG ExtensionSize,
                              PKSDEVICE* Device) {
  if (Device != NULL) *Device = NULL;
  if (DriverObject == NULL || PhysicalDeviceObject == NULL || Device == NULL) {
    return STATUS_INVALID_PARAMETER;
  }
  PDEVICE_OBJECT fdo = NULL;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(ks_fdo_extension) + ExtensionSize, NULL,
                                   FILE_DEVICE_KS, FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_OBJECT next = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
  if (next == NULL) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  auto* device = new ks_device;
  device->added = take_pool_snapshot();
  device->threads_at_add = running_system_thread_count();
  device->shell.header = {kKsObjectMagic, ks_kind::device, device};
  device->shell.pub = {};
  PKSDEVICE pub = &device->shell.pub;
  pub->Descriptor = Descriptor;
  pub->Bag = &device->bag;
  pub->FunctionalDeviceObject = fdo;
  pub->PhysicalDeviceObject = PhysicalDeviceObject;
  pub->NextDeviceObject = next;
  pub->Started = FALSE;
  pub->SystemPowerState = PowerSystemWorking;
  pub->DevicePowerState = PowerDeviceD0;
  KeInitializeMutex(&device->device_mutex, 0);
  physical_device_instance(PhysicalDeviceObject, &device->instance_id);
  auto* extension = static_cast<ks_fdo_extension*>(fdo->DeviceExtension);
  extension->magic = kKsObjectMagic;
  extension->device = device;
  device->driver = driver_record(DriverObject, true);
  {
    std::lock_guard<std::mutex> guard(driver_list_lock());
    device->driver->devices.push_back(device);
  }

  const KSDEVICE_DISPATCH* dispatch = Descriptor != nullptr ? Descriptor->Dispatch : nullptr;
  if (dispatch != nullptr && dispatch->Add != nullptr) {
    std::lock_guard<std::mutex> pnp(device->pnp_lock);
    irql_guard guard("device Add");
    status = dispatch->Add(pub);
  }
  if (!NT_SUCCESS(status)) {
    free_bag(&device->bag);
    IoDetachDevice(next);
    unregister_device(device);
    extension->magic = 0;
    IoDeleteDevice(fdo);
    delete device;
    return status;
  }
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  *Device = pub;
  return STATUS_SUCCESS;
}
