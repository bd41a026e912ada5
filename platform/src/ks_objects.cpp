// ks.sys stand-in: object bags and _KsEdit, the device and control mutexes,
// object look-ups (KsGetDevice, KsGetFilterFromIrp, KsGetPinFromIrp), filter
// factories, and the creation and close of filter instances. PnP and power
// are in ks_pnp.cpp, properties in ks_property.cpp, pins in ks_pin.cpp and
// the stream queue in ks_stream.cpp.
#include <algorithm>
#include <map>

#include "ks_internal.h"

namespace kstandin {
namespace {

// Bag membership of every item: how many bags hold it and how it is freed.
struct bag_item {
  ULONG bags = 0;
  PFNKSFREE free = nullptr;
};

struct bag_registry {
  std::mutex lock;
  std::map<PVOID, bag_item> items;
};

bag_registry& bag_items() {
  static auto* r = new bag_registry;
  return *r;
}

void free_item(PVOID item, PFNKSFREE free) {
  irql_guard guard("object bag free routine");
  if (free != nullptr) {
    free(item);
  } else {
    ExFreePool(item);
  }
}

// Drops one bag's hold on `item`; true (with its free routine) when it was
// the last.
bool drop_item(PVOID item, PFNKSFREE* free) {
  auto& r = bag_items();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.items.find(item);
  if (it == r.items.end()) return false;
  if (--it->second.bags != 0) return false;
  *free = it->second.free;
  r.items.erase(it);
  return true;
}

ks_bag* bag_of(KSOBJECT_BAG bag) { return static_cast<ks_bag*>(bag); }

ks_device* device_of(ks_object_header* header) {
  switch (header->kind) {
    case ks_kind::device:
      return static_cast<ks_device*>(header->object);
    case ks_kind::factory:
      return static_cast<ks_factory*>(header->object)->device;
    case ks_kind::filter:
      return static_cast<ks_filter*>(header->object)->device;
    case ks_kind::pin:
      return static_cast<ks_pin*>(header->object)->device;
  }
  return nullptr;
}

PRKMUTEX control_mutex_of(PVOID object, const char* routine) {
  ks_object_header* header = header_of(object, routine);
  if (header == nullptr) return nullptr;
  if (header->kind == ks_kind::filter) {
    return &static_cast<ks_filter*>(header->object)->control_mutex;
  }
  if (header->kind == ks_kind::pin) {
    return &static_cast<ks_pin*>(header->object)->filter->control_mutex;
  }
  report_violation("ks_invalid_object",
                   std::string(routine) + " on an object that is neither a filter nor a pin");
  return nullptr;
}

ks_object_header* irp_object(PIRP irp) {
  if (irp == nullptr) return nullptr;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack == nullptr || stack->FileObject == nullptr) return nullptr;
  auto* header = static_cast<ks_object_header*>(stack->FileObject->FsContext);
  if (header == nullptr || header->magic != kKsObjectMagic) return nullptr;
  return header;
}

std::u16string reference_text(PWSTR reference) {
  std::u16string text;
  if (reference == nullptr) return text;
  for (const WCHAR* p = reference; *p != 0; ++p) text += (char16_t)*p;
  return text;
}

}  // namespace

ks_object_header* header_of(const void* object, const char* routine) {
  if (object == nullptr) {
    report_violation("ks_invalid_object", std::string(routine) + " with a null object");
    return nullptr;
  }
  auto* header = (ks_object_header*)((const char*)object - kPublicOffset);
  if (header->magic != kKsObjectMagic) {
    report_violation("ks_invalid_object",
                     std::string(routine) + " on something that is not an AVStream object");
    return nullptr;
  }
  return header;
}

void free_bag(ks_bag* bag) {
  std::vector<PVOID> items;
  {
    std::lock_guard<std::mutex> guard(bag->lock);
    items.swap(bag->items);
  }
  for (auto it = items.rbegin(); it != items.rend(); ++it) {
    PFNKSFREE free = nullptr;
    if (drop_item(*it, &free)) free_item(*it, free);
  }
}

const KSPIN_DESCRIPTOR_EX* pin_descriptor(const KSFILTER_DESCRIPTOR* descriptor, ULONG id) {
  if (descriptor == nullptr || id >= descriptor->PinDescriptorsCount) return nullptr;
  const ULONG stride =
      descriptor->PinDescriptorSize != 0 ? descriptor->PinDescriptorSize : sizeof(KSPIN_DESCRIPTOR_EX);
  return (const KSPIN_DESCRIPTOR_EX*)((const char*)descriptor->PinDescriptors + (size_t)id * stride);
}

bool format_guids_match(const KSDATARANGE& range, const KSDATAFORMAT& format) {
  auto match = [](const GUID& a, const GUID& b) {
    return a == b || a == KSDATAFORMAT_TYPE_WILDCARD || b == KSDATAFORMAT_TYPE_WILDCARD;
  };
  return match(range.MajorFormat, format.MajorFormat) && match(range.SubFormat, format.SubFormat) &&
         match(range.Specifier, format.Specifier);
}

// ---- filter instances ---------------------------------------------------------

NTSTATUS ks_create_filter(ks_device* device, PIRP irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  const std::u16string name = from_unicode_string(&file->FileName);
  ks_factory* factory = nullptr;
  {
    std::lock_guard<std::mutex> guard(device->objects_lock);
    if (!device->shell.pub.Started || device->surprise_removed) return STATUS_DEVICE_NOT_CONNECTED;
    for (ks_factory* candidate : device->factories) {
      if (upcase(candidate->reference) == upcase(name)) {
        factory = candidate;
        break;
      }
    }
  }
  if (factory == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;

  auto* filter = new ks_filter;
  filter->shell.header = {kKsObjectMagic, ks_kind::filter, filter};
  filter->shell.pub = {};
  filter->shell.pub.Descriptor = factory->shell.pub.FilterDescriptor;
  filter->shell.pub.Bag = &filter->bag;
  filter->device = device;
  filter->factory = factory;
  filter->file = file;
  KeInitializeMutex(&filter->control_mutex, 0);
  {
    std::lock_guard<std::mutex> guard(device->objects_lock);
    device->filters.push_back(filter);
  }

  // The file object leads to the filter from here on, so the driver's
  // Create can already use KsGetFilterFromIrp.
  file->FsContext = &filter->shell.header;
  NTSTATUS status = STATUS_SUCCESS;
  const KSFILTER_DISPATCH* dispatch = filter->shell.pub.Descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->Create != nullptr) {
    KsAcquireControl(&filter->shell.pub);
    {
      irql_guard guard("filter Create");
      status = dispatch->Create(&filter->shell.pub, irp);
    }
    KsReleaseControl(&filter->shell.pub);
  }
  if (!NT_SUCCESS(status)) {
    file->FsContext = nullptr;
    free_bag(&filter->bag);
    {
      std::lock_guard<std::mutex> guard(device->objects_lock);
      auto& list = device->filters;
      list.erase(std::find(list.begin(), list.end(), filter));
    }
    delete filter;
    return status;
  }
  return STATUS_SUCCESS;
}

void ks_close_filter_object(ks_filter* filter, PIRP irp) {
  const KSFILTER_DISPATCH* dispatch = filter->shell.pub.Descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->Close != nullptr) {
    KsAcquireControl(&filter->shell.pub);
    {
      irql_guard guard("filter Close");
      dispatch->Close(&filter->shell.pub, irp);
    }
    KsReleaseControl(&filter->shell.pub);
  }
  ks_device* device = filter->device;
  {
    std::lock_guard<std::mutex> guard(device->objects_lock);
    auto& list = device->filters;
    list.erase(std::find(list.begin(), list.end(), filter));
  }
  free_bag(&filter->bag);
  filter->file->FsContext = nullptr;
  delete filter;
}

}  // namespace kstandin

using namespace kstandin;

// ---- object bags --------------------------------------------------------------

NTSTATUS NTAPI KsAddItemToObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, PFNKSFREE Free) {
  if (ObjectBag == NULL || Item == NULL) return STATUS_INVALID_PARAMETER;
  ks_bag* bag = bag_of(ObjectBag);
  std::lock_guard<std::mutex> bag_guard(bag->lock);
  if (std::find(bag->items.begin(), bag->items.end(), Item) != bag->items.end()) {
    return STATUS_SUCCESS;  // already in this bag
  }
  {
    auto& r = bag_items();
    std::lock_guard<std::mutex> guard(r.lock);
    bag_item& entry = r.items[Item];
    if (entry.bags++ == 0) entry.free = Free;
  }
  bag->items.push_back(Item);
  return STATUS_SUCCESS;
}

ULONG NTAPI KsRemoveItemFromObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, BOOLEAN Free) {
  if (ObjectBag == NULL || Item == NULL) return 0;
  ks_bag* bag = bag_of(ObjectBag);
  {
    std::lock_guard<std::mutex> bag_guard(bag->lock);
    auto it = std::find(bag->items.begin(), bag->items.end(), Item);
    if (it == bag->items.end()) return 0;
    bag->items.erase(it);
  }
  auto& r = bag_items();
  std::unique_lock<std::mutex> guard(r.lock);
  auto it = r.items.find(Item);
  if (it == r.items.end()) return 0;
  const ULONG left = --it->second.bags;
  if (left != 0) return left;
  const PFNKSFREE free = it->second.free;
  r.items.erase(it);
  guard.unlock();
  if (Free) free_item(Item, free);
  return 0;
}

NTSTATUS NTAPI _KsEdit(KSOBJECT_BAG ObjectBag, PVOID* PointerToPointerToItem, ULONG NewSize,
                       ULONG OldSize, ULONG Tag) {
  if (ObjectBag == NULL || PointerToPointerToItem == NULL) return STATUS_INVALID_PARAMETER;
  ks_bag* bag = bag_of(ObjectBag);
  PVOID old_item = *PointerToPointerToItem;
  bool old_in_bag = false;
  if (old_item != NULL) {
    std::lock_guard<std::mutex> guard(bag->lock);
    old_in_bag = std::find(bag->items.begin(), bag->items.end(), old_item) != bag->items.end();
  }
  // An item this bag already owns and that is large enough is edited in place.
  if (old_in_bag && NewSize <= OldSize) return STATUS_SUCCESS;
  PVOID item = ExAllocatePoolWithTag(PagedPool, NewSize != 0 ? NewSize : 1, Tag);
  if (item == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  memset(item, 0, NewSize);
  if (old_item != NULL) memcpy(item, old_item, OldSize < NewSize ? OldSize : NewSize);
  const NTSTATUS status = KsAddItemToObjectBag(ObjectBag, item, NULL);
  if (!NT_SUCCESS(status)) {
    ExFreePool(item);
    return status;
  }
  *PointerToPointerToItem = item;
  if (old_in_bag) KsRemoveItemFromObjectBag(ObjectBag, old_item, TRUE);
  return STATUS_SUCCESS;
}

// ---- mutexes ----------------------------------------------------------------

VOID NTAPI KsAcquireDevice(PKSDEVICE Device) {
  ks_object_header* header = header_of(Device, "KsAcquireDevice");
  if (header == nullptr || header->kind != ks_kind::device) return;
  KeWaitForSingleObject(&static_cast<ks_device*>(header->object)->device_mutex, Executive,
                        KernelMode, FALSE, NULL);
}

VOID NTAPI KsReleaseDevice(PKSDEVICE Device) {
  ks_object_header* header = header_of(Device, "KsReleaseDevice");
  if (header == nullptr || header->kind != ks_kind::device) return;
  KeReleaseMutex(&static_cast<ks_device*>(header->object)->device_mutex, FALSE);
}

VOID NTAPI KsAcquireControl(PVOID Object) {
  PRKMUTEX mutex = control_mutex_of(Object, "KsAcquireControl");
  if (mutex != nullptr) KeWaitForSingleObject(mutex, Executive, KernelMode, FALSE, NULL);
}

VOID NTAPI KsReleaseControl(PVOID Object) {
  PRKMUTEX mutex = control_mutex_of(Object, "KsReleaseControl");
  if (mutex != nullptr) KeReleaseMutex(mutex, FALSE);
}

// ---- look-ups ---------------------------------------------------------------

PKSDEVICE NTAPI KsGetDevice(PVOID Object) {
  ks_object_header* header = header_of(Object, "KsGetDevice");
  if (header == nullptr) return NULL;
  ks_device* device = device_of(header);
  return device != nullptr ? &device->shell.pub : NULL;
}

PKSDEVICE NTAPI KsGetDeviceForDeviceObject(PDEVICE_OBJECT FunctionalDeviceObject) {
  if (FunctionalDeviceObject == NULL || FunctionalDeviceObject->DeviceExtension == NULL) {
    return NULL;
  }
  auto* extension = static_cast<ks_fdo_extension*>(FunctionalDeviceObject->DeviceExtension);
  if (extension->magic != kKsObjectMagic) return NULL;
  return &extension->device->shell.pub;
}

PKSFILTER NTAPI KsGetFilterFromIrp(PIRP Irp) {
  ks_object_header* header = irp_object(Irp);
  if (header == nullptr) return NULL;
  if (header->kind == ks_kind::filter) return &static_cast<ks_filter*>(header->object)->shell.pub;
  if (header->kind == ks_kind::pin) {
    return &static_cast<ks_pin*>(header->object)->filter->shell.pub;
  }
  return NULL;
}

PKSPIN NTAPI KsGetPinFromIrp(PIRP Irp) {
  ks_object_header* header = irp_object(Irp);
  if (header == nullptr || header->kind != ks_kind::pin) return NULL;
  return &static_cast<ks_pin*>(header->object)->shell.pub;
}

PKSFILTER NTAPI KsPinGetParentFilter(PKSPIN Pin) {
  ks_object_header* header = header_of(Pin, "KsPinGetParentFilter");
  if (header == nullptr || header->kind != ks_kind::pin) return NULL;
  return &static_cast<ks_pin*>(header->object)->filter->shell.pub;
}

// ---- filter factories -------------------------------------------------------

NTSTATUS NTAPI KsCreateFilterFactory(PDEVICE_OBJECT DeviceObject,
                                     const KSFILTER_DESCRIPTOR* Descriptor, PWSTR RefString,
                                     PSECURITY_DESCRIPTOR SecurityDescriptor,
                                     ULONG CreateItemFlags, PFNKSFILTERFACTORYPOWER SleepCallback,
                                     PFNKSFILTERFACTORYPOWER WakeCallback,
                                     PKSFILTERFACTORY* FilterFactory) {
  if (FilterFactory != NULL) *FilterFactory = NULL;
  PKSDEVICE public_device = KsGetDeviceForDeviceObject(DeviceObject);
  if (public_device == NULL || Descriptor == NULL) return STATUS_INVALID_PARAMETER;
  ks_device* device = static_cast<ks_device*>(header_of(public_device, "")->object);
  auto* factory = new ks_factory;
  factory->shell.header = {kKsObjectMagic, ks_kind::factory, factory};
  factory->shell.pub = {};
  factory->shell.pub.FilterDescriptor = Descriptor;
  factory->shell.pub.Bag = &factory->bag;
  factory->device = device;
  factory->reference = reference_text(RefString);
  factory->create_item_flags = CreateItemFlags;
  {
    std::lock_guard<std::mutex> guard(device->objects_lock);
    device->factories.push_back(factory);
  }
  if (FilterFactory != NULL) *FilterFactory = &factory->shell.pub;
  return STATUS_SUCCESS;
}
