#include "toy_driver.h"

namespace toy {

knobs g_knobs;
std::atomic<int> g_process_calls{0};
LONG g_value = 0;
PVOID g_leaked = nullptr;
PIKSREFERENCECLOCK g_clock = nullptr;
LONGLONG g_clock_time_at_acquire = 0;
bool g_keep_clock = false;

namespace {

constexpr ULONG kTag = 'T' | 'o' << 8 | 'y' << 16 | 'K' << 24;  // "ToyK" in memory order

std::mutex g_trace_lock;
std::vector<std::string> g_trace;

struct context {
  const char* what;  // traced when freed
};

void free_context(PVOID item) {
  trace(std::string("Free") + static_cast<context*>(item)->what);
  ExFreePoolWithTag(item, kTag);
}

// A context in the object's bag, freed with it.
NTSTATUS bag_context(KSOBJECT_BAG bag, const char* what, PVOID* out) {
  auto* item = static_cast<context*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(context), kTag));
  if (item == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  item->what = what;
  const NTSTATUS status = KsAddItemToObjectBag(bag, item, free_context);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(item, kTag);
    return status;
  }
  *out = item;
  return status;
}

// ---- device ----
NTSTATUS device_add(PKSDEVICE device) {
  trace("Add");
  KsAcquireDevice(device);
  const NTSTATUS status = bag_context(device->Bag, "DeviceContext", &device->Context);
  KsReleaseDevice(device);
  return status;
}

extern const KSFILTER_DESCRIPTOR filter_descriptor;
WCHAR g_reference[] = L"GLOBAL";

NTSTATUS device_start(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
  trace(device->Started ? "Start again" : "Start");
  if (device->Started) return STATUS_SUCCESS;
  KsAcquireDevice(device);
  const NTSTATUS status =
      KsCreateFilterFactory(device->FunctionalDeviceObject, &filter_descriptor, g_reference, NULL,
                            KSCREATE_ITEM_FREEONSTOP, NULL, NULL, NULL);
  KsReleaseDevice(device);
  return status;
}

void device_stop(PKSDEVICE, PIRP) { trace("Stop"); }

void device_set_power(PKSDEVICE, PIRP, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from) {
  trace("SetPower " + std::to_string(to) + "<-" + std::to_string(from));
}

void device_surprise(PKSDEVICE, PIRP) { trace("SurpriseRemoval"); }

void device_remove(PKSDEVICE, PIRP) {
  trace("Remove");
  if (g_knobs.leak_at_remove) g_leaked = ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTag);
}

const KSDEVICE_DISPATCH device_dispatch = {
    device_add,    device_start,        nullptr,         nullptr, nullptr,          device_stop,
    nullptr,       nullptr,             device_remove,   nullptr,                   device_surprise,
    nullptr,       device_set_power,    nullptr};
const KSDEVICE_DESCRIPTOR device_descriptor = {&device_dispatch, 0, nullptr, 0, 0};

// ---- filter ----
NTSTATUS filter_create(PKSFILTER filter, PIRP irp) {
  trace("FilterCreate");
  if (KsGetFilterFromIrp(irp) != filter || KsGetDevice(filter)->Context == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  return bag_context(filter->Bag, "FilterContext", &filter->Context);
}

NTSTATUS filter_close(PKSFILTER, PIRP) {
  trace("FilterClose");
  return STATUS_SUCCESS;
}

const KSFILTER_DISPATCH filter_dispatch = {filter_create, filter_close, nullptr, nullptr};

NTSTATUS value_get(PIRP irp, PKSIDENTIFIER, PVOID data) {
  PKSFILTER filter = KsGetFilterFromIrp(irp);
  if (filter == nullptr || filter->Context == nullptr || KsGetPinFromIrp(irp) != nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  *static_cast<LONG*>(data) = g_value;
  irp->IoStatus.Information = g_knobs.overstate_value ? 2 * sizeof(LONG) : sizeof(LONG);
  return STATUS_SUCCESS;
}

NTSTATUS value_set(PIRP irp, PKSIDENTIFIER, PVOID data) {
  g_value = *static_cast<LONG*>(data);
  return STATUS_SUCCESS;
}

const KSPROPERTY_STEPPING_LONG range_stepping = {2, 0, {{-10, 10}}};
const LONG range_default = 4;
const KSPROPERTY_MEMBERSLIST range_members[] = {
    {{KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, &range_stepping},
    {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT}, &range_default},
};
const KSPROPERTY_VALUES range_values = {{{KSPROPTYPESETID_General, VT_I4, 0}}, 2, range_members};

const KSPROPERTY_ITEM filter_items[] = {
    {kValueItem, {value_get}, sizeof(KSPROPERTY), sizeof(LONG), {value_set}, nullptr, 0, nullptr, nullptr, 0},
    {kRangeItem, {value_get}, sizeof(KSPROPERTY), sizeof(LONG), {nullptr}, &range_values, 0, nullptr, nullptr, 0},
};
const KSPROPERTY_SET filter_sets[] = {{&kFilterSet, 2, filter_items, 0, nullptr}};
const KSAUTOMATION_TABLE filter_automation = {1, sizeof(KSPROPERTY_ITEM), filter_sets, 0, 0, nullptr, 0, 0, nullptr};

// ---- pin ----
NTSTATUS pin_id_get(PIRP irp, PKSIDENTIFIER, PVOID data) {
  PKSPIN pin = KsGetPinFromIrp(irp);
  if (pin == nullptr || KsGetFilterFromIrp(irp) != KsPinGetParentFilter(pin)) {
    return STATUS_INVALID_PARAMETER;
  }
  KsAcquireControl(pin);
  *static_cast<ULONG*>(data) = pin->Id;
  KsReleaseControl(pin);
  irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

const KSPROPERTY_ITEM pin_items[] = {
    {kPinIdItem, {pin_id_get}, sizeof(KSPROPERTY), sizeof(ULONG), {nullptr}, nullptr, 0, nullptr, nullptr, 0},
};
const KSPROPERTY_SET pin_sets[] = {{&kPinSet, 1, pin_items, 0, nullptr}};
const KSAUTOMATION_TABLE pin_automation = {1, sizeof(KSPROPERTY_ITEM), pin_sets, 0, 0, nullptr, 0, 0, nullptr};

NTSTATUS pin_create(PKSPIN pin, PIRP irp) {
  trace("PinCreate");
  if (KsGetPinFromIrp(irp) != pin || KsGetDevice(pin) != KsGetDevice(KsPinGetParentFilter(pin))) {
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS status = bag_context(pin->Bag, "PinContext", &pin->Context);
  if (!NT_SUCCESS(status)) return status;
  // A private descriptor with its own framing: frames sized from the format.
  status = _KsEdit(pin->Bag, (PVOID*)&pin->Descriptor, sizeof(KSPIN_DESCRIPTOR_EX),
                   sizeof(KSPIN_DESCRIPTOR_EX), kTag);
  if (!NT_SUCCESS(status)) return status;
  auto* descriptor = const_cast<KSPIN_DESCRIPTOR_EX*>(pin->Descriptor);
  status = _KsEdit(pin->Bag, (PVOID*)&descriptor->AllocatorFraming, sizeof(KSALLOCATOR_FRAMING_EX),
                   sizeof(KSALLOCATOR_FRAMING_EX), kTag);
  if (!NT_SUCCESS(status)) return status;
  auto* framing = const_cast<KSALLOCATOR_FRAMING_EX*>(descriptor->AllocatorFraming);
  const auto* connection = reinterpret_cast<const format*>(pin->ConnectionFormat);
  framing->FramingItem[0].Frames = 3;
  framing->FramingItem[0].PhysicalRange.MinFrameSize = connection->width * connection->height;
  return STATUS_SUCCESS;
}

NTSTATUS pin_close(PKSPIN, PIRP) {
  trace("PinClose");
  return STATUS_SUCCESS;
}

NTSTATUS pin_process(PKSPIN) {
  ++g_process_calls;
  return STATUS_PENDING;
}

NTSTATUS pin_set_format(PKSPIN pin, PKSDATAFORMAT old_format, PKSMULTIPLE_ITEM,
                        const KSDATARANGE* data_range, const KSATTRIBUTE_LIST*) {
  trace(old_format != nullptr ? "SetDataFormat change" : "SetDataFormat new");
  const auto* offered = reinterpret_cast<const format*>(pin->ConnectionFormat);
  if (offered->header.FormatSize < sizeof(format) || offered->width == 0 ||
      data_range->FormatSize < sizeof(range)) {
    return STATUS_NO_MATCH;
  }
  if (old_format != nullptr && g_knobs.refuse_format_change) return STATUS_INVALID_DEVICE_STATE;
  return STATUS_SUCCESS;
}

NTSTATUS pin_set_state(PKSPIN pin, KSSTATE to, KSSTATE from) {
  trace("State " + std::to_string(to) + "<-" + std::to_string(from));
  if ((int)to == g_knobs.refuse_state) return STATUS_INSUFFICIENT_RESOURCES;
  if (to == KSSTATE_ACQUIRE && from == KSSTATE_STOP &&
      NT_SUCCESS(KsPinGetReferenceClockInterface(pin, &g_clock))) {
    LONGLONG system_time = 0;
    g_clock_time_at_acquire = g_clock->GetCorrelatedTime(&system_time);
  }
  if (to == KSSTATE_STOP && g_clock != nullptr && !g_keep_clock) {
    g_clock->Release();
    g_clock = nullptr;
  }
  return STATUS_SUCCESS;
}

// Two-call protocol: the size with no buffer, then a format carrying the
// caller's frame size (width 999 is no match).
NTSTATUS pin_intersect(PVOID, PIRP, PKSP_PIN, PKSDATARANGE caller, PKSDATARANGE mine,
                       ULONG buffer_size, PVOID data, PULONG data_size) {
  trace("Intersect");
  const auto* wanted = caller->FormatSize >= sizeof(range) ? reinterpret_cast<const range*>(caller)
                                                           : reinterpret_cast<const range*>(mine);
  if (wanted->width == 999) return STATUS_NO_MATCH;
  *data_size = sizeof(format);
  if (buffer_size == 0) return STATUS_BUFFER_OVERFLOW;
  if (buffer_size < sizeof(format)) return STATUS_BUFFER_TOO_SMALL;
  auto* result = static_cast<format*>(data);
  result->header = *mine;
  result->header.FormatSize = sizeof(format);
  result->width = wanted->width;
  result->height = wanted->height;
  return STATUS_SUCCESS;
}

const KSPIN_DISPATCH pin_dispatch = {pin_create,     pin_close,     pin_process, nullptr, pin_set_format,
                                     pin_set_state,  nullptr,       nullptr,     nullptr, nullptr};

const range pin_range = {
    {{sizeof(range), 0, kWidth * kHeight, 0, KSDATAFORMAT_TYPE_VIDEO, kSubFormat,
      KSDATAFORMAT_SPECIFIER_NONE}},
    kWidth,
    kHeight};
const PKSDATARANGE pin_ranges[] = {(PKSDATARANGE)&pin_range};

const KSALLOCATOR_FRAMING_EX pin_framing = {
    1, 0, {1, 1, 0}, 0, {{KSMEMORY_TYPE_KERNEL_NONPAGED, {}, 0, 0, 0, 2, {0}, 0, {0, 0, 1}, {{0, 0, 1}, 0, 0}}}};

const KSPIN_DESCRIPTOR_EX pin_descriptors[] = {{
    &pin_dispatch,
    &pin_automation,
    {0, nullptr, 0, nullptr, 1, pin_ranges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH,
     &PINNAME_VIDEO_CAPTURE, &PINNAME_VIDEO_CAPTURE, {0}},
    KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY,
    1,
    1,
    &pin_framing,
    pin_intersect,
}};

const GUID filter_categories[] = {KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE};

const KSFILTER_DESCRIPTOR filter_descriptor = {
    &filter_dispatch, &filter_automation, KSFILTER_DESCRIPTOR_VERSION, 0, &KSNAME_Filter, 1,
    sizeof(KSPIN_DESCRIPTOR_EX), pin_descriptors, 2, filter_categories, 0, sizeof(KSNODE_DESCRIPTOR),
    nullptr, 0, nullptr, nullptr};

}  // namespace

format make_format(ULONG width, ULONG height) {
  format f = pin_range;
  f.width = width;
  f.height = height;
  return f;
}

void trace(const std::string& entry) {
  std::lock_guard<std::mutex> guard(g_trace_lock);
  g_trace.push_back(entry);
}

std::vector<std::string> take_trace() {
  std::lock_guard<std::mutex> guard(g_trace_lock);
  std::vector<std::string> taken;
  taken.swap(g_trace);
  return taken;
}

NTSTATUS driver_entry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  return KsInitializeDriver(driver, registry_path, &device_descriptor);
}

}  // namespace toy

namespace {

NTSTATUS bus_success(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

}  // namespace

void ks_fixture::SetUp() {
  toy::g_knobs = {};
  toy::g_process_calls = 0;
  toy::g_value = 0;
  toy::g_clock = nullptr;
  toy::g_keep_clock = false;
  toy::take_trace();
  bus_ = kstandin::create_driver_object("\\Driver\\toybus");
  bus_->MajorFunction[IRP_MJ_PNP] = bus_success;
  bus_->MajorFunction[IRP_MJ_POWER] = bus_success;
  pdo_ = kstandin::create_physical_device(bus_, "USB\\VID_1234&PID_0001\\7");
  ASSERT_NE(pdo_, nullptr);
  ASSERT_EQ(kstandin::ks_load_driver(toy::driver_entry, &driver_, "toy"), STATUS_SUCCESS);
  ASSERT_EQ(kstandin::ks_plug_device(driver_, pdo_, &device_), STATUS_SUCCESS);
}

void ks_fixture::TearDown() {
  if (driver_ != nullptr) kstandin::ks_unload_driver(driver_);
  if (pdo_ != nullptr) kstandin::delete_physical_device(pdo_);
  kstandin::delete_driver_object(bus_);
}

kstandin::ks_filter* ks_fixture::open_filter() {
  kstandin::ks_filter* filter = nullptr;
  EXPECT_EQ(kstandin::ks_open_filter(device_, 0, &filter), STATUS_SUCCESS);
  return filter;
}

kstandin::ks_pin* ks_fixture::create_pin(std::shared_ptr<kstandin::reference_clock> clock) {
  filter_ = open_filter();
  if (filter_ == nullptr) return nullptr;
  const toy::format f = toy::make_format(toy::kWidth);
  kstandin::ks_pin* pin = nullptr;
  EXPECT_EQ(kstandin::ks_create_pin(filter_, 0, &f, std::move(clock), &pin), STATUS_SUCCESS);
  return pin;
}
