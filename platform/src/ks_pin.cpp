// ks.sys stand-in: pins. Creation with a connection format, format changes,
// the one-step state machine, close, and the pin's reference clock
// (KsPinGetReferenceClockInterface) over the client's reference_clock.
//
// The pin's callbacks run under its filter's control mutex (ks.sys shares
// one mutex between a filter and its pins).
#include <algorithm>

#include "ks_internal.h"

namespace kstandin {

// The IKsReferenceClock a pin hands out: reads the client's clock. The pin
// holds one reference; each KsPinGetReferenceClockInterface adds one.
class pin_clock final : public IKsReferenceClock {
 public:
  explicit pin_clock(std::shared_ptr<reference_clock> clock) : clock_(std::move(clock)) {}

  NTSTATUS QueryInterface(REFIID, PVOID* object) override {
    if (object != nullptr) *object = nullptr;
    return STATUS_NOT_SUPPORTED;
  }
  ULONG AddRef() override { return references_.fetch_add(1) + 1; }
  ULONG Release() override {
    const ULONG left = references_.fetch_sub(1) - 1;
    if (left == 0) delete this;
    return left;
  }
  LONGLONG GetTime() override { return clock_->time(); }
  LONGLONG GetPhysicalTime() override { return clock_->time(); }
  LONGLONG GetCorrelatedTime(PLONGLONG SystemTime) override {
    if (SystemTime != nullptr) *SystemTime = KeQueryPerformanceCounter(nullptr).QuadPart;
    return clock_->time();
  }
  LONGLONG GetCorrelatedPhysicalTime(PLONGLONG SystemTime) override {
    return GetCorrelatedTime(SystemTime);
  }
  NTSTATUS GetResolution(PKSRESOLUTION Resolution) override {
    if (Resolution == nullptr) return STATUS_INVALID_PARAMETER;
    Resolution->Granularity = 1;
    Resolution->Error = 0;
    return STATUS_SUCCESS;
  }
  NTSTATUS GetState(PKSSTATE State) override {
    if (State == nullptr) return STATUS_INVALID_PARAMETER;
    *State = KSSTATE_RUN;
    return STATUS_SUCCESS;
  }
  ULONG references() const { return references_.load(); }

 private:
  std::shared_ptr<reference_clock> clock_;
  std::atomic<ULONG> references_{1};
};

namespace {

// Interfaces the driver never released: kept (and reachable) for the rest of
// the run, since the driver may still call them.
std::vector<pin_clock*>& leaked_clocks() {
  static auto* list = new std::vector<pin_clock*>;
  return *list;
}

const KSPIN_DISPATCH* pin_dispatch(ks_pin* pin) { return pin->shell.pub.Descriptor->Dispatch; }

void set_device_state(ks_pin* pin, KSSTATE state) {
  __atomic_store_n((int*)&pin->shell.pub.DeviceState, (int)state, __ATOMIC_RELEASE);
}

void copy_format(ks_pin* pin, const KSDATAFORMAT* format) {
  pin->format.assign((format->FormatSize + 7) / 8, 0);
  memcpy(pin->format.data(), format, format->FormatSize);
  pin->shell.pub.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(pin->format.data());
}

// Offers the pin's ConnectionFormat to the driver with each pin data range
// whose GUIDs match it, until one is accepted. STATUS_NO_MATCH when none
// matches; otherwise the last refusal.
NTSTATUS offer_format(ks_pin* pin, PKSDATAFORMAT old_format) {
  const KSPIN_DESCRIPTOR_EX* descriptor = pin->shell.pub.Descriptor;
  const KSPIN_DISPATCH* dispatch = pin_dispatch(pin);
  const KSDATAFORMAT& format = *pin->shell.pub.ConnectionFormat;
  NTSTATUS status = STATUS_NO_MATCH;
  for (ULONG i = 0; i < descriptor->PinDescriptor.DataRangesCount; ++i) {
    const KSDATARANGE* range = descriptor->PinDescriptor.DataRanges[i];
    if (!format_guids_match(*range, format)) continue;
    if (dispatch == nullptr || dispatch->SetDataFormat == nullptr) return STATUS_SUCCESS;
    {
      irql_guard guard("pin SetDataFormat");
      status = dispatch->SetDataFormat(&pin->shell.pub, old_format, NULL, range, NULL);
    }
    if (NT_SUCCESS(status)) return status;
  }
  return status;
}

bool any_range_matches(const KSPIN_DESCRIPTOR_EX* descriptor, const KSDATAFORMAT& format) {
  for (ULONG i = 0; i < descriptor->PinDescriptor.DataRangesCount; ++i) {
    if (format_guids_match(*descriptor->PinDescriptor.DataRanges[i], format)) return true;
  }
  return false;
}

void unlink_pin(ks_pin* pin) {
  std::lock_guard<std::mutex> guard(pin->device->objects_lock);
  auto& list = pin->filter->pins;
  list.erase(std::find(list.begin(), list.end(), pin));
}

}  // namespace

NTSTATUS ks_create_pin(ks_filter* filter, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG length = stack->Parameters.Create.EaLength;
  auto* connect = static_cast<const KSPIN_CONNECT*>(irp->AssociatedIrp.SystemBuffer);
  if (connect == nullptr || length < sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT)) {
    return STATUS_INVALID_PARAMETER;
  }
  auto* format = reinterpret_cast<const KSDATAFORMAT*>(connect + 1);
  if (format->FormatSize < sizeof(KSDATAFORMAT) ||
      format->FormatSize > length - sizeof(KSPIN_CONNECT)) {
    return STATUS_INVALID_PARAMETER;
  }
  const KSPIN_DESCRIPTOR_EX* descriptor =
      pin_descriptor(filter->shell.pub.Descriptor, connect->PinId);
  if (descriptor == nullptr) return STATUS_INVALID_PARAMETER;
  if (!any_range_matches(descriptor, *format)) return STATUS_NO_MATCH;

  auto* pin = new ks_pin;
  pin->shell.header = {kKsObjectMagic, ks_kind::pin, pin};
  pin->shell.pub = {};
  PKSPIN pub = &pin->shell.pub;
  pub->Descriptor = descriptor;
  pub->Bag = &pin->bag;
  pub->Id = connect->PinId;
  pub->Communication = descriptor->PinDescriptor.Communication;
  pub->ConnectionIsExternal = TRUE;
  pub->ConnectionInterface = connect->Interface;
  pub->ConnectionMedium = connect->Medium;
  pub->ConnectionPriority = connect->Priority;
  pub->DataFlow = descriptor->PinDescriptor.DataFlow;
  pub->DeviceState = KSSTATE_STOP;
  pub->ResetState = KSRESET_END;
  pub->ClientState = KSSTATE_STOP;
  copy_format(pin, format);
  pin->device = filter->device;
  pin->filter = filter;
  pin->file = stack->FileObject;
  ks_stream_pointer& edge = pin->leading_edge;
  edge.magic = kStreamPointerMagic;
  edge.leading_edge = true;
  edge.pin = pin;
  edge.pub.Pin = pub;
  edge.pub.Offset = pub->DataFlow == KSPIN_DATAFLOW_IN ? &edge.pub.OffsetIn : &edge.pub.OffsetOut;
  {
    std::lock_guard<std::mutex> guard(filter->device->objects_lock);
    ULONG count = 0;
    for (ks_pin* other : filter->pins) {
      if (other->shell.pub.Id == connect->PinId) ++count;
    }
    if (count >= descriptor->InstancesPossible) {
      delete pin;
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    filter->pins.push_back(pin);
  }

  // The file object leads to the pin from here on (KsGetPinFromIrp in Create).
  pin->file->FsContext = &pin->shell.header;
  const KSPIN_DISPATCH* dispatch = descriptor->Dispatch;
  NTSTATUS status = STATUS_SUCCESS;
  KsAcquireControl(pub);
  if (dispatch != nullptr && dispatch->Create != nullptr) {
    irql_guard guard("pin Create");
    status = dispatch->Create(pub, irp);
  }
  if (NT_SUCCESS(status)) {
    status = offer_format(pin, NULL);
    if (!NT_SUCCESS(status) && dispatch != nullptr && dispatch->Close != nullptr) {
      irql_guard guard("pin Close");
      dispatch->Close(pub, irp);
    }
  }
  KsReleaseControl(pub);
  if (!NT_SUCCESS(status)) {
    pin->file->FsContext = nullptr;
    free_bag(&pin->bag);
    unlink_pin(pin);
    delete pin;
    return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ks_change_pin_format(ks_pin* pin, const KSDATAFORMAT* format, ULONG length) {
  if (format == nullptr || length < sizeof(KSDATAFORMAT) || format->FormatSize < sizeof(KSDATAFORMAT) ||
      format->FormatSize > length) {
    return STATUS_INVALID_PARAMETER;
  }
  if (pin->shell.pub.Descriptor->Flags & KSPIN_FLAG_FIXED_FORMAT) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  std::vector<uint64_t> previous;
  previous.swap(pin->format);
  copy_format(pin, format);
  const NTSTATUS status = offer_format(pin, reinterpret_cast<PKSDATAFORMAT>(previous.data()));
  if (!NT_SUCCESS(status)) {
    pin->format.swap(previous);
    pin->shell.pub.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(pin->format.data());
  }
  return status;
}

NTSTATUS ks_change_pin_state(ks_pin* pin, KSSTATE to) {
  PKSPIN pub = &pin->shell.pub;
  const KSPIN_DISPATCH* dispatch = pin_dispatch(pin);
  pub->ClientState = to;
  while (pub->DeviceState != to) {
    const KSSTATE from = pub->DeviceState;
    const KSSTATE next = (KSSTATE)(from < to ? from + 1 : from - 1);
    if (dispatch != nullptr && dispatch->SetDeviceState != nullptr) {
      NTSTATUS status;
      {
        irql_guard guard("pin SetDeviceState");
        status = dispatch->SetDeviceState(pub, next, from);
      }
      if (!NT_SUCCESS(status)) return status;
    }
    set_device_state(pin, next);
    if (next == KSSTATE_STOP) flush_queue(pin);
  }
  return STATUS_SUCCESS;
}

void ks_close_pin_object(ks_pin* pin, PIRP irp) {
  PKSPIN pub = &pin->shell.pub;
  const KSPIN_DISPATCH* dispatch = pin_dispatch(pin);
  KsAcquireControl(pub);
  // Down to STOP one step at a time; a refusal cannot keep a closing pin up.
  while (pub->DeviceState != KSSTATE_STOP) {
    const KSSTATE from = pub->DeviceState;
    const KSSTATE next = (KSSTATE)(from - 1);
    if (dispatch != nullptr && dispatch->SetDeviceState != nullptr) {
      irql_guard guard("pin SetDeviceState");
      dispatch->SetDeviceState(pub, next, from);
    }
    set_device_state(pin, next);
  }
  flush_queue(pin);
  if (dispatch != nullptr && dispatch->Close != nullptr) {
    irql_guard guard("pin Close");
    dispatch->Close(pub, irp);
  }
  KsReleaseControl(pub);
  {
    std::unique_lock<std::mutex> lock(pin->reads_lock);
    pin->reads_changed.wait(lock, [pin] { return pin->async_processing.load() == 0; });
  }
  release_stream_pointers(pin);
  detach_clock(pin);
  free_bag(&pin->bag);
  unlink_pin(pin);
  pin->file->FsContext = nullptr;
  delete pin;
}

void attach_clock(ks_pin* pin, std::shared_ptr<reference_clock> clock) {
  std::lock_guard<std::mutex> guard(pin->queue_lock);
  pin->clock = std::move(clock);
  pin->clock_interface = pin->clock != nullptr ? new pin_clock(pin->clock) : nullptr;
}

void detach_clock(ks_pin* pin) {
  pin_clock* clock = nullptr;
  {
    std::lock_guard<std::mutex> guard(pin->queue_lock);
    std::swap(clock, pin->clock_interface);
  }
  if (clock == nullptr) return;
  const ULONG held = clock->references() - 1;
  if (held != 0) {
    report_violation("reference_clock_leaked",
                     "pin closed with " + std::to_string(held) +
                         " reference(s) to its clock the driver did not release");
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    leaked_clocks().push_back(clock);
    return;
  }
  clock->Release();
}

// ---- reference_clock ----------------------------------------------------------------

reference_clock::reference_clock() : offset_(-(LONGLONG)KeQueryInterruptTime()) {}

LONGLONG reference_clock::time() const {
  std::lock_guard<std::mutex> guard(lock_);
  return held_ ? offset_ : (LONGLONG)KeQueryInterruptTime() + offset_;
}

void reference_clock::set_time(LONGLONG time_100ns) {
  std::lock_guard<std::mutex> guard(lock_);
  held_ = true;
  offset_ = time_100ns;
}

void reference_clock::advance(LONGLONG delta_100ns) {
  std::lock_guard<std::mutex> guard(lock_);
  offset_ += delta_100ns;
}

void reference_clock::run() {
  std::lock_guard<std::mutex> guard(lock_);
  if (!held_) return;
  held_ = false;
  offset_ -= (LONGLONG)KeQueryInterruptTime();
}

bool reference_clock::held() const {
  std::lock_guard<std::mutex> guard(lock_);
  return held_;
}

}  // namespace kstandin

using namespace kstandin;

NTSTATUS NTAPI KsPinGetReferenceClockInterface(PKSPIN Pin, PIKSREFERENCECLOCK* Interface) {
  if (Interface != NULL) *Interface = NULL;
  ks_object_header* header = header_of(Pin, "KsPinGetReferenceClockInterface");
  if (header == nullptr || header->kind != ks_kind::pin || Interface == NULL) {
    return STATUS_INVALID_PARAMETER;
  }
  ks_pin* pin = static_cast<ks_pin*>(header->object);
  std::lock_guard<std::mutex> guard(pin->queue_lock);
  if (pin->clock_interface == nullptr) return STATUS_DEVICE_NOT_READY;
  pin->clock_interface->AddRef();
  *Interface = pin->clock_interface;
  return STATUS_SUCCESS;
}
