// Device and driver objects: creation and deletion, device stacks, object
// references on devices, the physical device objects of simulated devices,
// and the removal leak check.
//
// A device object is one pool block (tag 'DevO'): the DEVICE_OBJECT, its
// extension and its DEVOBJ_EXTENSION. IoDeleteDevice unlinks it at once and
// frees the block when no reference (work items, IoGetAttachedDeviceReference)
// is left.
#include <map>
#include <mutex>
#include <set>

#include "io_internal.h"

namespace kstandin {
namespace {

struct device_record {
  pool_snapshot created;  // pool state right after creation, for the removal check
  bool physical = false;
  bool delete_pending = false;
  std::string instance_id;
  std::u16string name;
};

struct device_registry {
  std::recursive_mutex lock;  // also guards the stack links of every device
  std::map<PDEVICE_OBJECT, device_record> devices;
  std::set<ULONG> platform_tags{kDeviceTag, kIrpTag, kMdlTag, kWorkItemTag, kIoBufferTag};
};

device_registry& devices() {
  static auto* r = new device_registry;
  return *r;
}

struct driver_storage {
  DRIVER_OBJECT object;  // first: the storage is found from the object pointer
  DRIVER_EXTENSION extension;
  std::u16string name;
};

NTSTATUS invalid_device_request(PDEVICE_OBJECT, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

std::string device_text(PDEVICE_OBJECT device, const device_record& record) {
  char buf[32];
  snprintf(buf, sizeof buf, "%p", (void*)device);
  std::string text = std::string("device ") + buf;
  if (!record.instance_id.empty()) text += " (" + record.instance_id + ")";
  return text;
}

// Caller holds the registry lock.
void free_device(device_registry& r, PDEVICE_OBJECT device) {
  r.devices.erase(device);
  device->Type = 0;
  ExFreePoolWithTag(device, kDeviceTag);
}

PDRIVER_OBJECT default_bus_driver() {
  static PDRIVER_OBJECT driver = create_driver_object("\\Driver\\kstandin_bus");
  return driver;
}

}  // namespace

bool is_platform_pool_tag(ULONG tag) {
  auto& r = devices();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  return r.platform_tags.count(tag) != 0;
}

void add_platform_pool_tag(ULONG tag) {
  auto& r = devices();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  r.platform_tags.insert(tag);
}

void check_pool_at_removal(const pool_snapshot& since, const std::string& what) {
  std::vector<tag_usage> leaks;
  for (const auto& usage : leaks_since(since)) {
    if (!is_platform_pool_tag(usage.tag)) leaks.push_back(usage);
  }
  if (!leaks.empty()) {
    report_violation("pool_leak_at_removal",
                     what + " removed with pool blocks still live:\n" + describe(leaks));
  }
}

bool physical_device_instance(PDEVICE_OBJECT device, std::string* instance_id) {
  auto& r = devices();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  auto it = r.devices.find(device);
  if (it == r.devices.end() || !it->second.physical || it->second.delete_pending) return false;
  *instance_id = it->second.instance_id;
  return true;
}

bool is_device_object(PVOID object) {
  auto& r = devices();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  return r.devices.count((PDEVICE_OBJECT)object) != 0;
}

LONG_PTR reference_device(PDEVICE_OBJECT device) {
  auto& r = devices();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  return InterlockedIncrement(&device->ReferenceCount);
}

LONG_PTR dereference_device(PDEVICE_OBJECT device) {
  auto& r = devices();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  const LONG left = InterlockedDecrement(&device->ReferenceCount);
  auto it = r.devices.find(device);
  if (left == 0 && it != r.devices.end() && it->second.delete_pending) free_device(r, device);
  return left;
}

// ---- test API --------------------------------------------------------------

PDRIVER_OBJECT create_driver_object(const std::string& name) {
  auto* storage = new driver_storage{};
  storage->name = utf16_from_utf8(name);
  DRIVER_OBJECT& d = storage->object;
  d.Type = IO_TYPE_DRIVER;
  d.Size = sizeof(DRIVER_OBJECT);
  d.DriverExtension = &storage->extension;
  storage->extension.DriverObject = &d;
  d.DriverName.Buffer = (PWSTR)storage->name.data();
  d.DriverName.Length = (USHORT)(storage->name.size() * sizeof(WCHAR));
  d.DriverName.MaximumLength = d.DriverName.Length;
  for (auto& f : d.MajorFunction) f = invalid_device_request;
  return &d;
}

void delete_driver_object(PDRIVER_OBJECT driver) {
  if (driver == nullptr) return;
  if (driver->DeviceObject != nullptr) {
    report_violation("driver_deleted_with_devices",
                     "driver object deleted while it still has device objects");
  }
  delete reinterpret_cast<driver_storage*>(driver);
}

PDEVICE_OBJECT create_physical_device(PDRIVER_OBJECT bus_driver, const std::string& instance_id,
                                      ULONG extension_size) {
  if (instance_id.empty()) return nullptr;
  if (bus_driver == nullptr) bus_driver = default_bus_driver();
  PDEVICE_OBJECT pdo = nullptr;
  const NTSTATUS status =
      IoCreateDevice(bus_driver, extension_size, nullptr, FILE_DEVICE_UNKNOWN,
                     FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &pdo);
  if (!NT_SUCCESS(status)) return nullptr;
  pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  std::string device_key;
  std::string driver_key;
  registry_prepare_device(instance_id, &device_key, &driver_key);
  auto& r = devices();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  device_record& record = r.devices[pdo];
  record.physical = true;
  record.instance_id = instance_id;
  return pdo;
}

void delete_physical_device(PDEVICE_OBJECT pdo) { IoDeleteDevice(pdo); }

// Recomputed each time: the keys come back (with the same driver key number)
// after the hive was reset or loaded.
std::string device_key_path(PDEVICE_OBJECT pdo) {
  std::string instance;
  std::string device_key;
  std::string driver_key;
  if (physical_device_instance(pdo, &instance)) {
    registry_prepare_device(instance, &device_key, &driver_key);
  }
  return device_key;
}

std::string driver_key_path(PDEVICE_OBJECT pdo) {
  std::string instance;
  std::string device_key;
  std::string driver_key;
  if (physical_device_instance(pdo, &instance)) {
    registry_prepare_device(instance, &device_key, &driver_key);
  }
  return driver_key;
}

}  // namespace kstandin

using namespace kstandin;

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
  if (DriverObject == NULL || DeviceObject == NULL) return STATUS_INVALID_PARAMETER;
  *DeviceObject = NULL;
  const std::u16string name = from_unicode_string(DeviceName);
  auto& r = devices();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  if (!name.empty()) {
    for (const auto& entry : r.devices) {
      if (!entry.second.delete_pending && upcase(entry.second.name) == upcase(name)) {
        return STATUS_OBJECT_NAME_COLLISION;
      }
    }
  }
  const size_t extension = ALIGN_UP_BY(DeviceExtensionSize, 16);
  const size_t size = sizeof(DEVICE_OBJECT) + extension + sizeof(DEVOBJ_EXTENSION);
  auto* block = (UCHAR*)ExAllocatePoolWithTag(NonPagedPoolNx, size, kDeviceTag);
  if (block == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  memset(block, 0, size);
  auto* device = (PDEVICE_OBJECT)block;
  auto* devobj_extension = (PDEVOBJ_EXTENSION)(block + sizeof(DEVICE_OBJECT) + extension);
  device->Type = IO_TYPE_DEVICE;
  device->Size = (USHORT)(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->DriverObject = DriverObject;
  device->Flags = DO_DEVICE_INITIALIZING;
  if (Exclusive) device->Flags |= DO_EXCLUSIVE;
  if (!name.empty()) device->Flags |= DO_DEVICE_HAS_NAME;
  device->Characteristics = DeviceCharacteristics;
  device->DeviceExtension = DeviceExtensionSize != 0 ? block + sizeof(DEVICE_OBJECT) : NULL;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  device->AlignmentRequirement = FILE_BYTE_ALIGNMENT;
  KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
  devobj_extension->Type = IO_TYPE_DEVICE;
  devobj_extension->Size = sizeof(DEVOBJ_EXTENSION);
  devobj_extension->DeviceObject = device;
  device->DeviceObjectExtension = devobj_extension;

  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;

  device_record& record = r.devices[device];
  record.name = name;
  record.created = take_pool_snapshot();
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  auto& r = devices();
  std::unique_lock<std::recursive_mutex> guard(r.lock);
  auto it = r.devices.find(DeviceObject);
  if (it == r.devices.end() || it->second.delete_pending) {
    report_violation("invalid_device_object", "IoDeleteDevice of a device that does not exist");
    return;
  }
  device_record& record = it->second;
  record.delete_pending = true;
  const std::string what = device_text(DeviceObject, record);
  if (DeviceObject->AttachedDevice != NULL ||
      DeviceObject->DeviceObjectExtension->AttachedTo != NULL) {
    report_violation("device_deleted_while_attached",
                     what + " deleted while still part of a device stack");
  }
  PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
  while (*link != NULL && *link != DeviceObject) link = &(*link)->NextDevice;
  if (*link == DeviceObject) *link = DeviceObject->NextDevice;
  const bool physical = record.physical;
  const pool_snapshot created = record.created;
  if (DeviceObject->ReferenceCount == 0) free_device(r, DeviceObject);
  guard.unlock();
  // Physical devices belong to the simulated bus, which may legitimately
  // outlive the driver's allocations; the check is for driver-made devices.
  if (!physical) check_pool_at_removal(created, what);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice) {
  if (SourceDevice == NULL || TargetDevice == NULL) return NULL;
  auto& r = devices();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  PDEVICE_OBJECT top = TargetDevice;
  while (top->AttachedDevice != NULL) top = top->AttachedDevice;
  auto it = r.devices.find(top);
  if (it == r.devices.end() || it->second.delete_pending) return NULL;
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = (CCHAR)(top->StackSize + 1);
  if (top->AlignmentRequirement > SourceDevice->AlignmentRequirement) {
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  }
  SourceDevice->SectorSize = top->SectorSize;
  SourceDevice->DeviceObjectExtension->AttachedTo = top;
  return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  auto& r = devices();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  PDEVICE_OBJECT attached = TargetDevice->AttachedDevice;
  if (attached == NULL) return;
  attached->DeviceObjectExtension->AttachedTo = NULL;
  TargetDevice->AttachedDevice = NULL;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
  auto& r = devices();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  while (DeviceObject->AttachedDevice != NULL) DeviceObject = DeviceObject->AttachedDevice;
  return DeviceObject;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  auto& r = devices();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
  reference_device(top);
  return top;
}

PDEVICE_OBJECT NTAPI IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject) {
  auto& r = devices();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  PDEVICE_OBJECT lower = DeviceObject->DeviceObjectExtension->AttachedTo;
  if (lower != NULL) reference_device(lower);
  return lower;
}
