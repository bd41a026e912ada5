// The device side of a simulated USB device: URB decoding, the standard
// requests, configuration state and pipe handles, pending IN transfers per
// endpoint with their cancellation, control requests that are delayed or
// never complete, fault injection and the request log.
//
// IRP ownership: an IRP that stays pending is kept in exactly one list
// (pending_controls or an endpoint's pending queue) with a cancel routine
// set. Whoever takes it out first clears the cancel routine with
// IoSetCancelRoutine; when that returns NULL, IoCancelIrp has already
// claimed the IRP and the cancel routine removes and completes it. IRPs are
// completed only after the device lock has been released.
#include "usb_device.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>

#include "usb_bus.h"
#include "wire.h"

namespace sim {
namespace {

constexpr ULONG_PTR kNoRecord = 0;

NTSTATUS nt_from_usbd(USBD_STATUS status) {
  if (USBD_SUCCESS(status)) return STATUS_SUCCESS;
  switch (status) {
    case USBD_STATUS_CANCELED:
      return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
      return STATUS_NO_SUCH_DEVICE;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
    case USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR:
      return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_BUFFER_TOO_SMALL:
      return STATUS_BUFFER_TOO_SMALL;
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
      return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_ERROR_BUSY:
      return STATUS_DEVICE_BUSY;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

// Transfer buffer of a URB: the MDL when there is one, else the pointer.
uint8_t* transfer_buffer(PVOID buffer, PMDL mdl) {
  if (mdl != NULL) return (uint8_t*)MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
  return (uint8_t*)buffer;
}

uint64_t now_100ns() { return KeQueryInterruptTime(); }

// Bytes a URB must at least have for its function: the record the bus
// reads. Shorter URBs fail with USBD_STATUS_INVALID_PARAMETER before any
// field beyond the header is touched.
size_t minimum_urb_length(USHORT function) {
  switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return offsetof(struct _URB_SELECT_CONFIGURATION, Interface);  // enough to unconfigure
    case URB_FUNCTION_SELECT_INTERFACE:
      return offsetof(struct _URB_SELECT_INTERFACE, Interface.Pipes);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
      return sizeof(struct _URB_PIPE_REQUEST);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
      return sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    case URB_FUNCTION_ISOCH_TRANSFER:
      return offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket);
    default:
      // Every request with a setup packet is a 136-byte record.
      return sizeof(struct _URB_CONTROL_TRANSFER);
  }
}

// MaximumPacketSize of a pipe: the bytes one (micro)frame carries, so a
// high-bandwidth endpoint's additional transactions (wMaxPacketSize bits
// 11-12) are multiplied in.
USHORT pipe_packet_size(uint8_t attributes, uint16_t raw) {
  const uint8_t type = attributes & USB_ENDPOINT_TYPE_MASK;
  USHORT size = raw & kMaxPacketSizeMask;
  if (type == USB_ENDPOINT_TYPE_ISOCHRONOUS || type == USB_ENDPOINT_TYPE_INTERRUPT) {
    size = (USHORT)(size * (1 + additional_transactions(raw)));
  }
  return size;
}

// splitmix64: small, fast and identical everywhere.
uint64_t next_random(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

struct endpoint_desc {
  uint8_t address = 0;
  uint8_t attributes = 0;
  uint16_t max_packet = 0;  // raw wMaxPacketSize
  uint8_t interval = 0;
};

struct alternate_desc {
  uint8_t number = 0;
  uint8_t alternate = 0;
  uint8_t cls = 0, subclass = 0, protocol = 0;
  std::vector<endpoint_desc> endpoints;
};

std::vector<alternate_desc> parse_alternates(const std::vector<uint8_t>& config) {
  std::vector<alternate_desc> result;
  for_each_descriptor(config, [&](const uint8_t* d, size_t length) {
    if (d[kDescType] == USB_INTERFACE_DESCRIPTOR_TYPE && length >= 9) {
      alternate_desc a;
      a.number = d[kIfNumber];
      a.alternate = d[kIfAlternate];
      a.cls = d[kIfClass];
      a.subclass = d[kIfSubClass];
      a.protocol = d[kIfProtocol];
      result.push_back(a);
    } else if (d[kDescType] == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= 7 && !result.empty()) {
      endpoint_desc e;
      e.address = d[kEpAddress];
      e.attributes = d[kEpAttributes];
      e.max_packet = le16(d + kEpMaxPacket);
      e.interval = d[kEpInterval];
      result.back().endpoints.push_back(e);
    }
  });
  return result;
}

}  // namespace

// Data waiting for an IN transfer: one transfer's or one packet's worth.
struct in_block {
  std::vector<uint8_t> bytes;
  USBD_STATUS status = USBD_STATUS_SUCCESS;  // an error: the packet or transfer fails, no data
};

struct usb_device::endpoint_state {
  endpoint_desc desc;
  uint8_t interface_number = 0;
  std::deque<PIRP> pending;
  std::deque<in_block> queued;
  std::deque<USBD_STATUS> failures;
};

struct usb_device::pending_control {
  PIRP irp = nullptr;
  bool hang = false;
};

struct usb_device::impl {
  std::atomic<usb_bus*> bus{nullptr};  // read without the lock by every path that kicks the bus
  void kick() {
    usb_bus* b = bus.load();
    if (b != nullptr) b->kick();
  }
  ULONG frame() {
    usb_bus* b = bus.load();
    return b != nullptr ? b->current_frame() : 0;
  }
  PDEVICE_OBJECT pdo = nullptr;
  std::vector<alternate_desc> alternates;
  std::map<uint8_t, std::vector<uint8_t>> strings;  // complete string descriptors
  bool high_speed = true;
  bool usbdi_fails = false;
  bool disconnected = false;
  uint32_t host_version = 0x200;
  std::map<uint8_t, control_handler> vendor_handlers;
  unsigned control_delay = 0;

  fault_plan plan;
  uint64_t random_state = 1;
  struct scripted_fault {
    control_fault fault;
    unsigned count;
    int request;
    unsigned delay_ms;
  };
  std::vector<scripted_fault> scripted;
  struct pipe_fault {
    uint16_t function;
    USBD_STATUS status;
    unsigned count;
  };
  std::vector<pipe_fault> pipe_faults;
  NTSTATUS port_fault_status = STATUS_SUCCESS;
  unsigned port_fault_count = 0;
  struct urb_fault_state {
    bool armed = false;
    unsigned skip = 0;
    USBD_STATUS status = USBD_STATUS_STALL_PID;
    bool hang = false;
  } urb_fault;
  // Counts one URB against the armed fault; true (with the fault, now
  // disarmed) when this URB is the one to fail.
  bool take_urb_fault(urb_fault_state* fault) {
    if (!urb_fault.armed) return false;
    if (urb_fault.skip != 0) {
      --urb_fault.skip;
      return false;
    }
    *fault = urb_fault;
    urb_fault.armed = false;
    return true;
  }

  // Endpoints of the selected alternate settings; the address of an entry
  // is its pipe handle, so a new selection invalidates old handles.
  std::map<uint8_t, std::unique_ptr<endpoint_state>> endpoints;
  std::map<uint8_t, std::deque<in_block>> early_data;  // queued before configuration
  std::map<uint8_t, uint8_t> alternate_of;  // interface -> selected alternate setting
  bool configured = false;
  int configuration_token = 0;  // its address is the configuration handle
  int interface_token = 0;
  in_packet_source source;
  uint64_t in_generation = 0;  // advanced by discard_in_data
  unsigned source_calls_running = 0;  // bus threads inside the source hook
  mutable std::condition_variable source_idle;

  std::vector<pending_control> pending_controls;
  std::vector<request_record> log;
  uint64_t first_sequence = 1;  // sequence number of log[0]; clearing moves it on
  std::vector<descriptor_read> reads;
  unsigned select_configuration = 0;
  unsigned select_interface = 0;
  unsigned port_resets = 0;
  unsigned port_cycles = 0;
  unsigned pipe_resets = 0;
  unsigned pipe_aborts = 0;

  const alternate_desc* find_alternate(uint8_t number, uint8_t alternate) const {
    for (const auto& a : alternates) {
      if (a.number == number && a.alternate == alternate) return &a;
    }
    return nullptr;
  }

  endpoint_state* endpoint_by_handle(USBD_PIPE_HANDLE handle) {
    for (auto& e : endpoints) {
      if (e.second.get() == handle) return e.second.get();
    }
    return nullptr;
  }

  // A pending IRP keeps the sequence number of its record in
  // DriverContext[0] (the current owner's field); the record may have been
  // cleared from the log since.
  request_record& record_of(PIRP irp) {
    const ULONG_PTR sequence = (ULONG_PTR)irp->Tail.Overlay.DriverContext[0];
    return log[sequence - first_sequence];
  }
  bool has_record(PIRP irp) const {
    const ULONG_PTR sequence = (ULONG_PTR)irp->Tail.Overlay.DriverContext[0];
    return sequence != kNoRecord && sequence >= first_sequence && sequence < first_sequence + log.size();
  }
  // Opens the pipes of an alternate setting and describes them in `info`
  // (whose Length the caller has checked). Data queued for an endpoint
  // before it existed moves into its queue.
  void open_alternate(const alternate_desc& alt, PUSBD_INTERFACE_INFORMATION info) {
    info->Class = alt.cls;
    info->SubClass = alt.subclass;
    info->Protocol = alt.protocol;
    info->InterfaceHandle = &interface_token;
    info->NumberOfPipes = (ULONG)alt.endpoints.size();
    for (size_t p = 0; p < alt.endpoints.size(); ++p) {
      const endpoint_desc& d = alt.endpoints[p];
      auto ep = std::make_unique<endpoint_state>();
      ep->desc = d;
      ep->interface_number = alt.number;
      USBD_PIPE_INFORMATION& pipe = info->Pipes[p];
      pipe.MaximumPacketSize = pipe_packet_size(d.attributes, d.max_packet);
      pipe.EndpointAddress = d.address;
      pipe.Interval = d.interval;
      pipe.PipeType = (USBD_PIPE_TYPE)(d.attributes & USB_ENDPOINT_TYPE_MASK);
      pipe.PipeHandle = ep.get();  // valid until the next selection replaces the endpoint
      auto early = early_data.find(d.address);
      if (early != early_data.end()) {
        ep->queued = std::move(early->second);
        early_data.erase(early);
      }
      endpoints[d.address] = std::move(ep);
    }
    alternate_of[alt.number] = alt.alternate;
  }

  // Notes the completion of a pending IRP in its record, if it still has one.
  void finish_record(PIRP irp, USBD_STATUS usbd_status, NTSTATUS status, uint32_t transferred,
                     bool cancelled) {
    if (!has_record(irp)) return;
    request_record& rec = record_of(irp);
    rec.completed = true;
    rec.completed_at = now_100ns();
    if (cancelled) {
      rec.cancelled = true;
      rec.cancelled_at = rec.completed_at;
    }
    rec.usbd_status = usbd_status;
    rec.status = status;
    rec.transferred = transferred;
  }

  // Appends a record and returns its sequence number. A long stream would
  // grow the log without bound: past kLogLimit records the older half is
  // forgotten (requests still pending then complete without a record).
  static constexpr size_t kLogLimit = 65536;
  uint64_t append(request_record& record) {
    if (log.size() >= kLogLimit) {
      const size_t forget = kLogLimit / 2;
      log.erase(log.begin(), log.begin() + forget);
      first_sequence += forget;
    }
    record.sequence = first_sequence + log.size();
    log.push_back(record);
    return record.sequence;
  }
};

// ---- construction -------------------------------------------------------------------

usb_device::usb_device(std::vector<uint8_t> device_descriptor, std::vector<uint8_t> configuration)
    : device_descriptor_(std::move(device_descriptor)),
      configuration_(std::move(configuration)),
      impl_(new impl) {
  impl_->alternates = parse_alternates(configuration_);
  impl_->strings[0] = {4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04};
}

usb_device::~usb_device() = default;

uint16_t usb_device::vendor_id() const {
  return device_descriptor_.size() >= 18 ? le16(&device_descriptor_[kDevVendor]) : 0;
}

uint16_t usb_device::product_id() const {
  return device_descriptor_.size() >= 18 ? le16(&device_descriptor_[kDevProduct]) : 0;
}

void usb_device::set_string(uint8_t index, const std::string& text) {
  // UTF-8 to UTF-16LE (characters outside the basic plane as surrogate pairs).
  std::vector<uint8_t> d{0, USB_STRING_DESCRIPTOR_TYPE};
  for (size_t i = 0; i < text.size();) {
    uint32_t c = (uint8_t)text[i];
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    if (extra > 0) c &= (0x3F >> extra);
    ++i;
    for (int k = 0; k < extra && i < text.size(); ++k, ++i) c = (c << 6) | ((uint8_t)text[i] & 0x3F);
    if (c >= 0x10000) {
      c -= 0x10000;
      append_le16(d, (uint16_t)(0xD800 + (c >> 10)));
      append_le16(d, (uint16_t)(0xDC00 + (c & 0x3FF)));
    } else {
      append_le16(d, (uint16_t)c);
    }
    if (d.size() >= 254) break;
  }
  d[0] = (uint8_t)d.size();
  set_raw_string_descriptor(index, std::move(d));
}

void usb_device::set_raw_string_descriptor(uint8_t index, std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> guard(lock_);
  impl_->strings[index] = std::move(bytes);
}

// ---- switches ---------------------------------------------------------------------------

void usb_device::set_high_speed(bool high_speed) {
  std::lock_guard<std::mutex> guard(lock_);
  impl_->high_speed = high_speed;
}
bool usb_device::high_speed() const {
  std::lock_guard<std::mutex> guard(lock_);
  return impl_->high_speed;
}
void usb_device::set_usbdi_query_fails(bool fails) {
  std::lock_guard<std::mutex> guard(lock_);
  impl_->usbdi_fails = fails;
}
bool usb_device::usbdi_query_fails() const {
  std::lock_guard<std::mutex> guard(lock_);
  return impl_->usbdi_fails;
}
void usb_device::set_host_usb_version(uint32_t bcd) {
  std::lock_guard<std::mutex> guard(lock_);
  impl_->host_version = bcd;
}
uint32_t usb_device::host_usb_version() const {
  std::lock_guard<std::mutex> guard(lock_);
  return impl_->host_version;
}
void usb_device::set_disconnected(bool disconnected) {
  std::lock_guard<std::mutex> guard(lock_);
  impl_->disconnected = disconnected;
}

void usb_device::set_vendor_handler(uint8_t request, control_handler handler) {
  std::lock_guard<std::mutex> guard(lock_);
  impl_->vendor_handlers[request] = std::move(handler);
}

void usb_device::set_control_delay(unsigned ms) {
  std::lock_guard<std::mutex> guard(lock_);
  impl_->control_delay = ms;
}

void usb_device::set_fault_plan(const fault_plan& plan) {
  std::lock_guard<std::mutex> guard(lock_);
  impl_->plan = plan;
  impl_->random_state = plan.seed;
}

void usb_device::inject_control_fault(control_fault fault, unsigned count, int request,
                                      unsigned delay_ms) {
  std::lock_guard<std::mutex> guard(lock_);
  impl_->scripted.push_back({fault, count, request, delay_ms});
}

void usb_device::inject_pipe_fault(uint16_t function, USBD_STATUS status, unsigned count) {
  std::lock_guard<std::mutex> guard(lock_);
  impl_->pipe_faults.push_back({function, status, count});
}

void usb_device::inject_port_fault(NTSTATUS status, unsigned count) {
  std::lock_guard<std::mutex> guard(lock_);
  impl_->port_fault_status = status;
  impl_->port_fault_count = count;
}

void usb_device::fail_urb_after(unsigned skip, USBD_STATUS status, bool hang) {
  std::lock_guard<std::mutex> guard(lock_);
  impl_->urb_fault = {true, skip, status, hang};
}

bool usb_device::urb_fault_pending() const {
  std::lock_guard<std::mutex> guard(lock_);
  return impl_->urb_fault.armed;
}

void usb_device::clear_faults() {
  std::lock_guard<std::mutex> guard(lock_);
  impl_->plan = fault_plan{};
  impl_->scripted.clear();
  impl_->pipe_faults.clear();
  impl_->port_fault_count = 0;
  impl_->urb_fault.armed = false;
}

// ---- inspection -----------------------------------------------------------------------------

std::vector<request_record> usb_device::requests() const {
  std::lock_guard<std::mutex> guard(lock_);
  return impl_->log;
}

std::vector<request_record> usb_device::control_requests() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<request_record> result;
  for (const auto& r : impl_->log) {
    const uint8_t type = r.setup.type();
    const bool control = r.function == URB_FUNCTION_CONTROL_TRANSFER ||
                         r.function == URB_FUNCTION_CONTROL_TRANSFER_EX ||
                         (r.function >= URB_FUNCTION_VENDOR_DEVICE &&
                          r.function <= URB_FUNCTION_CLASS_ENDPOINT) ||
                         r.function == URB_FUNCTION_CLASS_OTHER ||
                         r.function == URB_FUNCTION_VENDOR_OTHER;
    if (control && (type == kRequestTypeClass || type == kRequestTypeVendor)) result.push_back(r);
  }
  return result;
}

void usb_device::clear_requests() {
  std::lock_guard<std::mutex> guard(lock_);
  impl_->first_sequence += impl_->log.size();
  impl_->log.clear();
  impl_->reads.clear();
}

std::vector<descriptor_read> usb_device::descriptor_reads() const {
  std::lock_guard<std::mutex> guard(lock_);
  return impl_->reads;
}
unsigned usb_device::select_configuration_count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return impl_->select_configuration;
}
unsigned usb_device::select_interface_count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return impl_->select_interface;
}
int usb_device::current_alternate_setting(uint8_t interface_number) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (!impl_->configured) return -1;
  auto it = impl_->alternate_of.find(interface_number);
  return it == impl_->alternate_of.end() ? -1 : it->second;
}
bool usb_device::configured() const {
  std::lock_guard<std::mutex> guard(lock_);
  return impl_->configured;
}
unsigned usb_device::port_reset_count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return impl_->port_resets;
}
unsigned usb_device::port_cycle_count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return impl_->port_cycles;
}
unsigned usb_device::pipe_reset_count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return impl_->pipe_resets;
}
unsigned usb_device::pipe_abort_count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return impl_->pipe_aborts;
}
size_t usb_device::pending_control_requests() const {
  std::lock_guard<std::mutex> guard(lock_);
  return impl_->pending_controls.size();
}

// ---- endpoints ------------------------------------------------------------------------------

void usb_device::queue_in_data(uint8_t endpoint_address, std::vector<uint8_t> block) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = impl_->endpoints.find(endpoint_address);
    if (it != impl_->endpoints.end()) {
      it->second->queued.push_back(in_block{std::move(block)});
    } else {
      impl_->early_data[endpoint_address].push_back(in_block{std::move(block)});
    }
  }
  impl_->kick();
}

void usb_device::set_in_data_source(in_data_source source) {
  in_packet_source wrapped;
  if (source) {
    wrapped = [source = std::move(source)](const in_request& request, std::vector<uint8_t>& block,
                                           USBD_STATUS&) {
      return source(request.endpoint_address, request.max_bytes, block);
    };
  }
  set_in_packet_source(std::move(wrapped));
}

void usb_device::set_in_packet_source(in_packet_source source) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    impl_->source = std::move(source);
  }
  impl_->kick();
}

uint64_t usb_device::discard_in_data(uint8_t endpoint_address) {
  auto it = impl_->endpoints.find(endpoint_address);
  if (it != impl_->endpoints.end()) it->second->queued.clear();
  impl_->early_data.erase(endpoint_address);
  return ++impl_->in_generation;
}

void usb_device::service_endpoints_after(unsigned delay_ms) {
  usb_bus* bus = impl_->bus.load();
  if (bus != nullptr) bus->schedule(delay_ms, [] {});
}

void usb_device::fail_next_in_transfer(uint8_t endpoint_address, USBD_STATUS status) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = impl_->endpoints.find(endpoint_address);
    if (it == impl_->endpoints.end()) return;
    it->second->failures.push_back(status);
  }
  impl_->kick();
}

size_t usb_device::pending_in_transfers(uint8_t endpoint_address) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = impl_->endpoints.find(endpoint_address);
  return it == impl_->endpoints.end() ? 0 : it->second->pending.size();
}

void usb_device::wait_for_in_source_idle() const {
  std::unique_lock<std::mutex> guard(lock_);
  impl_->source_idle.wait(guard, [this] { return impl_->source_calls_running == 0; });
}

size_t usb_device::queued_in_blocks(uint8_t endpoint_address) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = impl_->endpoints.find(endpoint_address);
  if (it != impl_->endpoints.end()) return it->second->queued.size();
  auto early = impl_->early_data.find(endpoint_address);
  return early == impl_->early_data.end() ? 0 : early->second.size();
}

// ---- the default model ----------------------------------------------------------------------

USBD_STATUS usb_device::handle_class_or_vendor(const setup_packet&, std::vector<uint8_t>&) {
  return USBD_STATUS_STALL_PID;
}

// ---- request processing ---------------------------------------------------------------------
namespace {

// Completes an IRP with a URB result. Any IRQL <= DISPATCH_LEVEL.
void complete_urb_irp(PIRP irp, PURB urb, USBD_STATUS usbd_status, NTSTATUS status) {
  if (urb != nullptr) urb->UrbHeader.Status = usbd_status;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

PURB urb_of(PIRP irp) {
  return (PURB)IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
}

usb_device* device_of(PDEVICE_OBJECT pdo) {
  return pdo != nullptr && pdo->DeviceExtension != nullptr ? *(usb_device**)pdo->DeviceExtension
                                                           : nullptr;
}

}  // namespace

// The result of one control transfer as the device answered it.
struct control_outcome {
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  uint32_t transferred = 0;
};

namespace {

// Setup packet of a URB that carries one; false for other functions.
bool setup_of(PURB urb, setup_packet* setup, uint8_t** buffer, uint32_t* buffer_length) {
  const USHORT f = urb->UrbHeader.Function;
  auto from_bytes = [&](const UCHAR* s) {
    setup->request_type = s[0];
    setup->request = s[1];
    setup->value = le16(s + 2);
    setup->index = le16(s + 4);
    setup->length = le16(s + 6);
  };
  switch (f) {
    case URB_FUNCTION_CONTROL_TRANSFER: {
      auto& t = urb->UrbControlTransfer;
      from_bytes(t.SetupPacket);
      *buffer = transfer_buffer(t.TransferBuffer, t.TransferBufferMDL);
      *buffer_length = t.TransferBufferLength;
      return true;
    }
    case URB_FUNCTION_CONTROL_TRANSFER_EX: {
      auto& t = urb->UrbControlTransferEx;
      from_bytes(t.SetupPacket);
      *buffer = transfer_buffer(t.TransferBuffer, t.TransferBufferMDL);
      *buffer_length = t.TransferBufferLength;
      return true;
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: {
      auto& r = urb->UrbControlVendorClassRequest;
      const bool vendor = f == URB_FUNCTION_VENDOR_DEVICE || f == URB_FUNCTION_VENDOR_INTERFACE ||
                          f == URB_FUNCTION_VENDOR_ENDPOINT || f == URB_FUNCTION_VENDOR_OTHER;
      uint8_t recipient = kRecipientOther;
      if (f == URB_FUNCTION_VENDOR_DEVICE || f == URB_FUNCTION_CLASS_DEVICE) recipient = kRecipientDevice;
      if (f == URB_FUNCTION_VENDOR_INTERFACE || f == URB_FUNCTION_CLASS_INTERFACE) {
        recipient = kRecipientInterface;
      }
      if (f == URB_FUNCTION_VENDOR_ENDPOINT || f == URB_FUNCTION_CLASS_ENDPOINT) {
        recipient = kRecipientEndpoint;
      }
      setup->request_type =
          (uint8_t)(((r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? kRequestDirectionIn : 0) |
                    (vendor ? kRequestTypeVendor : kRequestTypeClass) | recipient |
                    r.RequestTypeReservedBits);
      setup->request = r.Request;
      setup->value = r.Value;
      setup->index = r.Index;
      setup->length = (uint16_t)std::min<ULONG>(r.TransferBufferLength, 0xFFFF);
      *buffer = transfer_buffer(r.TransferBuffer, r.TransferBufferMDL);
      *buffer_length = r.TransferBufferLength;
      return true;
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: {
      auto& r = urb->UrbControlDescriptorRequest;
      setup->request_type = (uint8_t)(kRequestDirectionIn |
          (f == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ? kRecipientDevice
           : f == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ? kRecipientInterface
                                                               : kRecipientEndpoint));
      setup->request = USB_REQUEST_GET_DESCRIPTOR;
      setup->value = (uint16_t)(r.DescriptorType << 8 | r.Index);
      setup->index = r.LanguageId;
      setup->length = (uint16_t)std::min<ULONG>(r.TransferBufferLength, 0xFFFF);
      *buffer = transfer_buffer(r.TransferBuffer, r.TransferBufferMDL);
      *buffer_length = r.TransferBufferLength;
      return true;
    }
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER: {
      auto& r = urb->UrbControlGetStatusRequest;
      setup->request_type =
          (uint8_t)(kRequestDirectionIn | (f - URB_FUNCTION_GET_STATUS_FROM_DEVICE < 3
                                               ? f - URB_FUNCTION_GET_STATUS_FROM_DEVICE
                                               : kRecipientOther));
      setup->request = USB_REQUEST_GET_STATUS;
      setup->index = r.Index;
      setup->length = 2;
      *buffer = transfer_buffer(r.TransferBuffer, r.TransferBufferMDL);
      *buffer_length = r.TransferBufferLength;
      return true;
    }
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: {
      auto& r = urb->UrbControlFeatureRequest;
      const bool set = f <= URB_FUNCTION_SET_FEATURE_TO_ENDPOINT;
      setup->request_type =
          (uint8_t)(set ? f - URB_FUNCTION_SET_FEATURE_TO_DEVICE : f - URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE);
      setup->request = set ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE;
      setup->value = r.FeatureSelector;
      setup->index = r.Index;
      *buffer = nullptr;
      *buffer_length = 0;
      return true;
    }
    case URB_FUNCTION_GET_CONFIGURATION: {
      auto& r = urb->UrbControlGetConfigurationRequest;
      setup->request_type = kRequestDirectionIn;
      setup->request = USB_REQUEST_GET_CONFIGURATION;
      setup->length = 1;
      *buffer = transfer_buffer(r.TransferBuffer, r.TransferBufferMDL);
      *buffer_length = r.TransferBufferLength;
      return true;
    }
    case URB_FUNCTION_GET_INTERFACE: {
      auto& r = urb->UrbControlGetInterfaceRequest;
      setup->request_type = kRequestDirectionIn | kRecipientInterface;
      setup->request = USB_REQUEST_GET_INTERFACE;
      setup->index = r.Interface;
      setup->length = 1;
      *buffer = transfer_buffer(r.TransferBuffer, r.TransferBufferMDL);
      *buffer_length = r.TransferBufferLength;
      return true;
    }
    default:
      return false;
  }
}

// Where the transferred length of a control URB goes.
void set_control_transferred(PURB urb, uint32_t transferred) {
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_CONTROL_TRANSFER:
      urb->UrbControlTransfer.TransferBufferLength = transferred;
      break;
    case URB_FUNCTION_CONTROL_TRANSFER_EX:
      urb->UrbControlTransferEx.TransferBufferLength = transferred;
      break;
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
      break;
    default:
      // Every other control URB keeps TransferBufferLength at the same offset.
      urb->UrbControlVendorClassRequest.TransferBufferLength = transferred;
      break;
  }
}

}  // namespace

// Runs one control transfer against the device model. No lock held.
static control_outcome run_control(const setup_packet& setup, uint8_t* buffer,
                                   uint32_t buffer_length, bool shorten,
                                   const std::function<USBD_STATUS(const setup_packet&,
                                                                   std::vector<uint8_t>&)>& model) {
  control_outcome out;
  std::vector<uint8_t> data;
  const uint32_t length = std::min<uint32_t>(setup.length, buffer_length);
  if (setup.length != 0 && buffer == nullptr) {
    out.status = USBD_STATUS_INVALID_PARAMETER;
    return out;
  }
  if (!setup.is_in() && length != 0) data.assign(buffer, buffer + length);
  out.status = model(setup, data);
  if (!USBD_SUCCESS(out.status)) return out;
  if (setup.is_in()) {
    uint32_t n = std::min<uint32_t>((uint32_t)data.size(), length);
    if (shorten && n > 0) n /= 2;
    if (n != 0) memcpy(buffer, data.data(), n);
    out.transferred = n;
  } else {
    out.transferred = length;
  }
  return out;
}

NTSTATUS usb_device::dispatch_internal_ioctl(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  irp->Tail.Overlay.DriverContext[0] = (PVOID)kNoRecord;

  std::unique_lock<std::mutex> guard(lock_);
  impl& s = *impl_;
  request_record record;
  record.ioctl = code;
  record.submitted_at = now_100ns();
  auto finish_now = [&](USBD_STATUS usbd_status, NTSTATUS status, PURB urb) {
    record.usbd_status = usbd_status;
    record.status = status;
    record.completed = true;
    record.completed_at = now_100ns();
    s.append(record);
    guard.unlock();
    complete_urb_irp(irp, urb, usbd_status, status);
    return status;
  };

  if (s.disconnected) {
    if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS && stack->Parameters.Others.Argument1 != nullptr) {
      *(PULONG)stack->Parameters.Others.Argument1 = 0;  // neither enabled nor connected
      return finish_now(USBD_STATUS_SUCCESS, STATUS_SUCCESS, nullptr);
    }
    PURB urb = code == IOCTL_INTERNAL_USB_SUBMIT_URB ? urb_of(irp) : nullptr;
    return finish_now(USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE, urb);
  }

  NTSTATUS port_status = STATUS_SUCCESS;
  if ((code == IOCTL_INTERNAL_USB_RESET_PORT || code == IOCTL_INTERNAL_USB_CYCLE_PORT) &&
      s.port_fault_count != 0) {
    --s.port_fault_count;
    port_status = s.port_fault_status;
  }
  switch (code) {
    case IOCTL_INTERNAL_USB_RESET_PORT:
      ++s.port_resets;
      if (!NT_SUCCESS(port_status)) return finish_now(USBD_STATUS_SUCCESS, port_status, nullptr);
      guard.unlock();
      on_port_reset();
      guard.lock();
      return finish_now(USBD_STATUS_SUCCESS, STATUS_SUCCESS, nullptr);
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
      ++s.port_cycles;
      return finish_now(USBD_STATUS_SUCCESS, port_status, nullptr);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
      auto* port_status = (PULONG)stack->Parameters.Others.Argument1;
      if (port_status == nullptr) return finish_now(USBD_STATUS_SUCCESS, STATUS_INVALID_PARAMETER, nullptr);
      *port_status = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
      return finish_now(USBD_STATUS_SUCCESS, STATUS_SUCCESS, nullptr);
    }
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      break;
    default:
      return finish_now(USBD_STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST, nullptr);
  }

  PURB urb = urb_of(irp);
  if (urb == nullptr || urb->UrbHeader.Length < sizeof(struct _URB_HEADER)) {
    return finish_now(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, nullptr);
  }
  const USHORT function = urb->UrbHeader.Function;
  record.function = function;
  if (urb->UrbHeader.Length < minimum_urb_length(function)) {
    return finish_now(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, urb);
  }
  urb->UrbHeader.Status = USBD_STATUS_PENDING;

  // Keeps the IRP pending (cancellable) among the control requests that
  // complete later or never (`hang`). False when it was cancelled already:
  // it is completed then and the lock released.
  auto hold = [&](bool hang) {
    irp->Tail.Overlay.DriverContext[0] = (PVOID)(ULONG_PTR)s.append(record);
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, &usb_device_cancel_routine);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
      s.finish_record(irp, USBD_STATUS_CANCELED, STATUS_CANCELLED, 0, true);
      guard.unlock();
      complete_urb_irp(irp, urb, USBD_STATUS_CANCELED, STATUS_CANCELLED);
      return false;
    }
    s.pending_controls.push_back({irp, hang});
    return true;
  };

  impl::urb_fault_state fault;
  if (s.take_urb_fault(&fault)) {
    uint8_t* unused_buffer = nullptr;
    uint32_t unused_length = 0;
    setup_of(urb, &record.setup, &unused_buffer, &unused_length);  // for the log, when it has one
    if (!fault.hang) return finish_now(fault.status, nt_from_usbd(fault.status), urb);
    if (hold(true)) guard.unlock();
    return STATUS_PENDING;
  }

  // ---- configuration
  if (function == URB_FUNCTION_SELECT_CONFIGURATION) {
    auto& r = urb->UrbSelectConfiguration;
    ++s.select_configuration;
    // Pending transfers of the old configuration end with it.
    std::vector<PIRP> aborted;
    for (auto& e : s.endpoints) {
      for (PIRP p : e.second->pending) {
        if (IoSetCancelRoutine(p, NULL) != NULL) {
          aborted.push_back(p);
          s.finish_record(p, USBD_STATUS_CANCELED, STATUS_CANCELLED, 0, true);
        }
      }
      e.second->pending.clear();
    }
    s.endpoints.clear();
    s.alternate_of.clear();
    s.configured = false;
    USBD_STATUS result = USBD_STATUS_SUCCESS;
    if (r.ConfigurationDescriptor != nullptr) {
      if (urb->UrbHeader.Length < sizeof(struct _URB_SELECT_CONFIGURATION)) {
        result = USBD_STATUS_BUFFER_TOO_SMALL;
      }
      const uint8_t count = r.ConfigurationDescriptor->bNumInterfaces;
      auto* info = &r.Interface;
      const uint8_t* urb_end = (const uint8_t*)urb + urb->UrbHeader.Length;
      for (uint8_t i = 0; i < count && USBD_SUCCESS(result); ++i) {
        if ((const uint8_t*)info + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > urb_end ||
            (const uint8_t*)info + info->Length > urb_end) {
          result = USBD_STATUS_BUFFER_TOO_SMALL;
          break;
        }
        const alternate_desc* alt = s.find_alternate(info->InterfaceNumber, info->AlternateSetting);
        if (alt == nullptr) {
          result = USBD_STATUS_INTERFACE_NOT_FOUND;
          break;
        }
        if (info->Length < GET_USBD_INTERFACE_SIZE(alt->endpoints.size())) {
          result = USBD_STATUS_BUFFER_TOO_SMALL;
          break;
        }
        s.open_alternate(*alt, info);
        info = (PUSBD_INTERFACE_INFORMATION)((uint8_t*)info + info->Length);
      }
      if (USBD_SUCCESS(result)) {
        s.configured = true;
        r.ConfigurationHandle = &s.configuration_token;
      } else {
        s.endpoints.clear();
        s.alternate_of.clear();
      }
    }
    const std::map<uint8_t, uint8_t> selected = s.alternate_of;
    guard.unlock();
    for (PIRP p : aborted) complete_urb_irp(p, urb_of(p), USBD_STATUS_CANCELED, STATUS_CANCELLED);
    for (const auto& a : selected) on_alternate_setting(a.first, a.second);
    guard.lock();
    return finish_now(result, nt_from_usbd(result), urb);
  }

  if (function == URB_FUNCTION_SELECT_INTERFACE) {
    auto& r = urb->UrbSelectInterface;
    ++s.select_interface;
    auto& info = r.Interface;
    USBD_STATUS result = USBD_STATUS_SUCCESS;
    const alternate_desc* alt = nullptr;
    if (!s.configured || r.ConfigurationHandle != &s.configuration_token) {
      result = USBD_STATUS_INVALID_PARAMETER;
    } else if ((alt = s.find_alternate(info.InterfaceNumber, info.AlternateSetting)) == nullptr) {
      result = USBD_STATUS_INTERFACE_NOT_FOUND;
    } else if (urb->UrbHeader.Length < GET_SELECT_INTERFACE_REQUEST_SIZE(alt->endpoints.size())) {
      result = USBD_STATUS_BUFFER_TOO_SMALL;
    }
    std::vector<PIRP> aborted;
    if (USBD_SUCCESS(result)) {
      for (auto it = s.endpoints.begin(); it != s.endpoints.end();) {
        if (it->second->interface_number == info.InterfaceNumber) {
          for (PIRP p : it->second->pending) {
            if (IoSetCancelRoutine(p, NULL) != NULL) {
              aborted.push_back(p);
              s.finish_record(p, USBD_STATUS_CANCELED, STATUS_CANCELLED, 0, true);
            }
          }
          for (auto& block : it->second->queued) s.early_data[it->first].push_back(std::move(block));
          it = s.endpoints.erase(it);
        } else {
          ++it;
        }
      }
      info.Length = (USHORT)GET_USBD_INTERFACE_SIZE(alt->endpoints.size());
      s.open_alternate(*alt, &info);
    }
    guard.unlock();
    for (PIRP p : aborted) complete_urb_irp(p, urb_of(p), USBD_STATUS_CANCELED, STATUS_CANCELLED);
    if (USBD_SUCCESS(result)) on_alternate_setting(alt->number, alt->alternate);
    if (USBD_SUCCESS(result)) impl_->kick();
    guard.lock();
    return finish_now(result, nt_from_usbd(result), urb);
  }

  // ---- pipe requests
  if (function == URB_FUNCTION_ABORT_PIPE || function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL ||
      function == URB_FUNCTION_SYNC_RESET_PIPE || function == URB_FUNCTION_SYNC_CLEAR_STALL) {
    endpoint_state* ep = s.endpoint_by_handle(urb->UrbPipeRequest.PipeHandle);
    if (ep == nullptr) {
      return finish_now(USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER, urb);
    }
    record.endpoint = ep->desc.address;
    for (auto& f : s.pipe_faults) {
      if (f.function != function || f.count == 0) continue;
      --f.count;
      if (function == URB_FUNCTION_ABORT_PIPE) {
        ++s.pipe_aborts;
      } else {
        ++s.pipe_resets;
      }
      return finish_now(f.status, nt_from_usbd(f.status), urb);
    }
    if (function != URB_FUNCTION_ABORT_PIPE) {
      ++s.pipe_resets;
      return finish_now(USBD_STATUS_SUCCESS, STATUS_SUCCESS, urb);
    }
    ++s.pipe_aborts;
    std::vector<PIRP> aborted;
    for (PIRP p : ep->pending) {
      if (IoSetCancelRoutine(p, NULL) != NULL) {
        aborted.push_back(p);
        s.finish_record(p, USBD_STATUS_CANCELED, STATUS_CANCELLED, 0, true);
      }
    }
    // IRPs whose cancel routine is already running stay for it to remove.
    std::deque<PIRP> left;
    for (PIRP p : ep->pending) {
      if (std::find(aborted.begin(), aborted.end(), p) == aborted.end()) left.push_back(p);
    }
    ep->pending = std::move(left);
    guard.unlock();
    for (PIRP p : aborted) complete_urb_irp(p, urb_of(p), USBD_STATUS_CANCELED, STATUS_CANCELLED);
    guard.lock();
    return finish_now(USBD_STATUS_SUCCESS, STATUS_SUCCESS, urb);
  }

  if (function == URB_FUNCTION_GET_CURRENT_FRAME_NUMBER) {
    urb->UrbGetCurrentFrameNumber.FrameNumber = s.frame();
    return finish_now(USBD_STATUS_SUCCESS, STATUS_SUCCESS, urb);
  }

  // ---- data transfers
  if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || function == URB_FUNCTION_ISOCH_TRANSFER) {
    const bool iso = function == URB_FUNCTION_ISOCH_TRANSFER;
    auto& t = urb->UrbBulkOrInterruptTransfer;  // common prefix of both layouts
    endpoint_state* ep = s.endpoint_by_handle(t.PipeHandle);
    if (ep == nullptr) return finish_now(USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER, urb);
    record.endpoint = ep->desc.address;
    record.requested_length = t.TransferBufferLength;
    const uint8_t type = ep->desc.attributes & USB_ENDPOINT_TYPE_MASK;
    const bool type_ok = iso ? type == USB_ENDPOINT_TYPE_ISOCHRONOUS
                             : (type == USB_ENDPOINT_TYPE_BULK || type == USB_ENDPOINT_TYPE_INTERRUPT);
    if (!type_ok) return finish_now(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, urb);
    if (iso) {
      auto& it = urb->UrbIsochronousTransfer;
      if (it.NumberOfPackets == 0 || it.NumberOfPackets > 1024 ||
          urb->UrbHeader.Length < GET_ISO_URB_SIZE(it.NumberOfPackets) - sizeof(USBD_ISO_PACKET_DESCRIPTOR)) {
        return finish_now(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, urb);
      }
    }
    if (t.TransferBufferLength != 0 && t.TransferBuffer == nullptr && t.TransferBufferMDL == nullptr) {
      return finish_now(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, urb);
    }
    if (!USB_ENDPOINT_DIRECTION_IN(ep->desc.address)) {
      // OUT data is accepted and recorded.
      const uint8_t* data = transfer_buffer(t.TransferBuffer, t.TransferBufferMDL);
      if (data != nullptr) record.out_data.assign(data, data + t.TransferBufferLength);
      record.transferred = t.TransferBufferLength;
      return finish_now(USBD_STATUS_SUCCESS, STATUS_SUCCESS, urb);
    }
    // IN: pending until data exists; completed by the bus thread.
    irp->Tail.Overlay.DriverContext[0] = (PVOID)(ULONG_PTR)s.append(record);
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, &usb_device_cancel_routine);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
      s.finish_record(irp, USBD_STATUS_CANCELED, STATUS_CANCELLED, 0, true);
      guard.unlock();
      complete_urb_irp(irp, urb, USBD_STATUS_CANCELED, STATUS_CANCELLED);
      return STATUS_PENDING;
    }
    ep->pending.push_back(irp);
    guard.unlock();
    s.kick();
    return STATUS_PENDING;
  }

  // ---- control transfers
  setup_packet setup;
  uint8_t* buffer = nullptr;
  uint32_t buffer_length = 0;
  if (!setup_of(urb, &setup, &buffer, &buffer_length)) {
    return finish_now(USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER, urb);
  }
  record.setup = setup;
  record.requested_length = buffer_length;
  if (!setup.is_in() && buffer != nullptr) {
    record.out_data.assign(buffer, buffer + std::min<uint32_t>(setup.length, buffer_length));
  }

  // Faults: scripted first, then the random plan (class and vendor only).
  const bool class_or_vendor = setup.type() == kRequestTypeClass || setup.type() == kRequestTypeVendor;
  bool hang = false, stall = false, shorten = false;
  unsigned delay = s.control_delay;
  for (auto& f : s.scripted) {
    if (f.count == 0) continue;
    const bool match = f.request < 0 ? class_or_vendor : f.request == setup.request;
    if (!match) continue;
    --f.count;
    switch (f.fault) {
      case control_fault::stall: stall = true; break;
      case control_fault::hang: hang = true; break;
      case control_fault::short_transfer: shorten = true; break;
      case control_fault::delay: delay += f.delay_ms; break;
    }
    break;
  }
  if (class_or_vendor) {
    const fault_plan& p = s.plan;
    if (p.stall_per_mille != 0 && next_random(s.random_state) % 1000 < p.stall_per_mille) stall = true;
    if (p.hang_per_mille != 0 && next_random(s.random_state) % 1000 < p.hang_per_mille) hang = true;
    if (p.short_per_mille != 0 && next_random(s.random_state) % 1000 < p.short_per_mille) shorten = true;
  }
  delay += s.plan.delay_ms;
  if (s.plan.delay_jitter_ms != 0) delay += (unsigned)(next_random(s.random_state) % (s.plan.delay_jitter_ms + 1));

  if (hang || delay != 0) {
    if (!hold(hang)) return STATUS_PENDING;
    usb_bus* bus = s.bus;
    guard.unlock();
    if (!hang && bus != nullptr) {
      std::weak_ptr<usb_device> self = weak_from_this();
      bus->schedule(delay, [self, irp, setup, buffer, buffer_length, stall, shorten]() {
        auto device = self.lock();
        if (device) device->finish_delayed_control(irp, setup, buffer, buffer_length, stall, shorten);
      });
    }
    return STATUS_PENDING;
  }

  guard.unlock();
  const control_outcome out = execute_control(setup, buffer, buffer_length, stall, shorten);
  set_control_transferred(urb, out.transferred);
  guard.lock();
  record.transferred = out.transferred;
  return finish_now(out.status, nt_from_usbd(out.status), urb);
}

// Runs a control transfer against the model: standard requests here,
// descriptor reads recorded, class and vendor requests to the model.
control_outcome usb_device::execute_control(const setup_packet& setup, uint8_t* buffer,
                                            uint32_t buffer_length, bool stall, bool shorten) {
  if (stall) return control_outcome{USBD_STATUS_STALL_PID, 0};
  auto model = [this](const setup_packet& s, std::vector<uint8_t>& data) -> USBD_STATUS {
    if (s.type() == kRequestTypeStandard) return standard_request(s, data);
    if (s.type() == kRequestTypeVendor) {
      control_handler handler;
      {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = impl_->vendor_handlers.find(s.request);
        if (it != impl_->vendor_handlers.end()) handler = it->second;
      }
      if (handler) return handler(s, data);
    }
    return handle_class_or_vendor(s, data);
  };
  control_outcome out = run_control(setup, buffer, buffer_length, shorten, model);
  if (setup.type() == kRequestTypeStandard && setup.request == USB_REQUEST_GET_DESCRIPTOR) {
    std::lock_guard<std::mutex> guard(lock_);
    descriptor_read read;
    read.type = (uint8_t)(setup.value >> 8);
    read.index = (uint8_t)setup.value;
    read.language = setup.index;
    read.requested_length = buffer_length;
    read.returned_length = out.transferred;
    impl_->reads.push_back(read);
  }
  return out;
}

USBD_STATUS usb_device::standard_request(const setup_packet& setup, std::vector<uint8_t>& data) {
  std::lock_guard<std::mutex> guard(lock_);
  switch (setup.request) {
    case USB_REQUEST_GET_DESCRIPTOR: {
      const uint8_t type = (uint8_t)(setup.value >> 8);
      const uint8_t index = (uint8_t)setup.value;
      if (type == USB_DEVICE_DESCRIPTOR_TYPE) {
        data = device_descriptor_;
      } else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0) {
        data = configuration_;
      } else if (type == USB_STRING_DESCRIPTOR_TYPE) {
        auto it = impl_->strings.find(index);
        if (it == impl_->strings.end()) return USBD_STATUS_STALL_PID;
        data = it->second;
      } else {
        return USBD_STATUS_STALL_PID;
      }
      return USBD_STATUS_SUCCESS;
    }
    case USB_REQUEST_GET_STATUS:
      data = {0, 0};
      return USBD_STATUS_SUCCESS;
    case USB_REQUEST_GET_CONFIGURATION:
      data = {(uint8_t)(impl_->configured && configuration_.size() > kConfigValue
                            ? configuration_[kConfigValue]
                            : 0)};
      return USBD_STATUS_SUCCESS;
    case USB_REQUEST_GET_INTERFACE: {
      auto it = impl_->alternate_of.find((uint8_t)setup.index);
      if (!impl_->configured || it == impl_->alternate_of.end()) return USBD_STATUS_STALL_PID;
      data = {it->second};
      return USBD_STATUS_SUCCESS;
    }
    case USB_REQUEST_SET_FEATURE:
    case USB_REQUEST_CLEAR_FEATURE:
      return USBD_STATUS_SUCCESS;
    default:
      return USBD_STATUS_STALL_PID;
  }
}

void usb_device::finish_delayed_control(PIRP irp, setup_packet setup, uint8_t* buffer,
                                        uint32_t buffer_length, bool stall, bool shorten) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto& list = impl_->pending_controls;
    auto it = std::find_if(list.begin(), list.end(),
                           [irp](const pending_control& p) { return p.irp == irp; });
    if (it == list.end()) return;  // cancelled or failed by detach
    if (IoSetCancelRoutine(irp, NULL) == NULL) return;  // the cancel routine has it
    list.erase(it);
  }
  PURB urb = urb_of(irp);
  const control_outcome out = execute_control(setup, buffer, buffer_length, stall, shorten);
  set_control_transferred(urb, out.transferred);
  {
    std::lock_guard<std::mutex> guard(lock_);
    impl_->finish_record(irp, out.status, nt_from_usbd(out.status), out.transferred, false);
  }
  complete_urb_irp(irp, urb, out.status, nt_from_usbd(out.status));
}

void usb_device::cancel(PIRP irp) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto& list = impl_->pending_controls;
    auto it = std::find_if(list.begin(), list.end(),
                           [irp](const pending_control& p) { return p.irp == irp; });
    if (it != list.end()) list.erase(it);
    for (auto& e : impl_->endpoints) {
      auto& q = e.second->pending;
      auto pos = std::find(q.begin(), q.end(), irp);
      if (pos != q.end()) q.erase(pos);
    }
    impl_->finish_record(irp, USBD_STATUS_CANCELED, STATUS_CANCELLED, 0, true);
  }
  // The IRP may already be off every list (detach or a selection dropped
  // it after failing to clear the routine); the cancel routine owns it then
  // and completes it in any case.
  complete_urb_irp(irp, urb_of(irp), USBD_STATUS_CANCELED, STATUS_CANCELLED);
  // Transfers queued behind the cancelled one may have data waiting.
  impl_->kick();
}

VOID usb_device_cancel_routine(PDEVICE_OBJECT pdo, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  usb_device* device = device_of(pdo);
  if (device != nullptr) device->cancel(irp);
}

// ---- bus attachment ---------------------------------------------------------------------------

void usb_device::attach(usb_bus* bus, PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(lock_);
  impl_->bus = bus;
  impl_->pdo = pdo;
}

void usb_device::detach() {
  std::vector<PIRP> failed;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& p : impl_->pending_controls) {
      if (IoSetCancelRoutine(p.irp, NULL) != NULL) failed.push_back(p.irp);
    }
    impl_->pending_controls.clear();
    for (auto& e : impl_->endpoints) {
      for (PIRP p : e.second->pending) {
        if (IoSetCancelRoutine(p, NULL) != NULL) failed.push_back(p);
      }
      e.second->pending.clear();
    }
    for (PIRP p : failed) impl_->finish_record(p, USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE, 0, false);
    impl_->disconnected = true;
  }
  for (PIRP p : failed) complete_urb_irp(p, urb_of(p), USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE);
  std::lock_guard<std::mutex> guard(lock_);
  impl_->bus = nullptr;
}

// Fills one pending IN transfer from the endpoint's data. Bus thread,
// DISPATCH_LEVEL.
void usb_device::service_endpoints() {
  for (;;) {
    PIRP irp = nullptr;
    endpoint_state* ep = nullptr;
    std::vector<in_block> blocks;
    USBD_STATUS failure = USBD_STATUS_SUCCESS;
    in_packet_source source;
    in_request ask;
    uint32_t source_calls = 0;
    {
      std::lock_guard<std::mutex> guard(lock_);
      for (auto& e : impl_->endpoints) {
        endpoint_state& candidate = *e.second;
        if (candidate.pending.empty()) continue;
        PIRP front = candidate.pending.front();
        if (!candidate.failures.empty() || !candidate.queued.empty()) {
          if (IoSetCancelRoutine(front, NULL) == NULL) continue;  // being cancelled
          candidate.pending.pop_front();
          irp = front;
          ep = &candidate;
          break;
        }
        if (impl_->source && source_calls == 0) {
          source = impl_->source;
          ask.endpoint_address = candidate.desc.address;
          ask.generation = impl_->in_generation;
          PURB front_urb = urb_of(front);
          if (front_urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) {
            // One block per packet, as many as the transfer has packets.
            ask.max_bytes = pipe_packet_size(candidate.desc.attributes, candidate.desc.max_packet);
            source_calls = front_urb->UrbIsochronousTransfer.NumberOfPackets;
          } else {
            ask.max_bytes = front_urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
            source_calls = 1;
          }
          ask.packets = source_calls;
        }
      }
      if (irp != nullptr) {
        PURB urb = urb_of(irp);
        if (!ep->failures.empty()) {
          failure = ep->failures.front();
          ep->failures.pop_front();
        } else if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) {
          const ULONG packets = urb->UrbIsochronousTransfer.NumberOfPackets;
          while (blocks.size() < packets && !ep->queued.empty()) {
            blocks.push_back(std::move(ep->queued.front()));
            ep->queued.pop_front();
          }
        } else {
          const ULONG max = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
          in_block& front = ep->queued.front();
          if (!USBD_SUCCESS(front.status)) {
            failure = front.status;
            ep->queued.pop_front();
          } else if (front.bytes.size() > max) {
            blocks.push_back(in_block{std::vector<uint8_t>(front.bytes.begin(), front.bytes.begin() + max)});
            front.bytes.erase(front.bytes.begin(), front.bytes.begin() + max);
          } else {
            blocks.push_back(std::move(front));
            ep->queued.pop_front();
          }
        }
      }
      // Counted in the same hold of the lock that chose to ask, so a
      // waiter never misses a call about to start.
      if (irp == nullptr && source) ++impl_->source_calls_running;
    }
    if (irp == nullptr) {
      if (!source) return;
      // Ask the streaming hook for data (no lock held), then go round again.
      std::vector<in_block> produced;
      for (uint32_t i = 0; i < source_calls; ++i) {
        in_block block;
        ask.packet = i;
        if (!source(ask, block.bytes, block.status)) break;
        produced.push_back(std::move(block));
      }
      std::lock_guard<std::mutex> guard(lock_);
      if (--impl_->source_calls_running == 0) impl_->source_idle.notify_all();
      if (produced.empty()) return;
      // Produced for a request made before the data was discarded: stale.
      if (ask.generation != impl_->in_generation) continue;
      auto it = impl_->endpoints.find(ask.endpoint_address);
      if (it == impl_->endpoints.end()) return;
      for (auto& block : produced) it->second->queued.push_back(std::move(block));
      continue;
    }
    PURB urb = urb_of(irp);
    uint32_t transferred = 0;
    if (USBD_SUCCESS(failure)) {
      auto& t = urb->UrbBulkOrInterruptTransfer;
      uint8_t* buffer = transfer_buffer(t.TransferBuffer, t.TransferBufferMDL);
      if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) {
        auto& iso = urb->UrbIsochronousTransfer;
        ULONG errors = 0;
        for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
          USBD_ISO_PACKET_DESCRIPTOR& packet = iso.IsoPacket[i];
          // Offsets come from the client: a packet never reaches past the buffer.
          ULONG end = i + 1 < iso.NumberOfPackets ? iso.IsoPacket[i + 1].Offset : iso.TransferBufferLength;
          end = std::min<ULONG>(end, iso.TransferBufferLength);
          const ULONG room = end > packet.Offset ? end - packet.Offset : 0;
          ULONG n = 0;
          packet.Status = USBD_STATUS_SUCCESS;
          if (i < blocks.size() && !USBD_SUCCESS(blocks[i].status)) {
            packet.Status = blocks[i].status;
            ++errors;
          } else if (i < blocks.size() && buffer != nullptr && packet.Offset <= iso.TransferBufferLength) {
            n = std::min<ULONG>((ULONG)blocks[i].bytes.size(), room);
            if (n != 0) memcpy(buffer + packet.Offset, blocks[i].bytes.data(), n);
          }
          packet.Length = n;
          transferred += n;
        }
        // Packet errors leave the transfer itself successful.
        iso.ErrorCount = errors;
        iso.StartFrame = impl_->frame();
        iso.TransferBufferLength = transferred;
      } else {
        if (!blocks.empty() && buffer != nullptr) {
          transferred = (uint32_t)blocks[0].bytes.size();
          if (transferred != 0) memcpy(buffer, blocks[0].bytes.data(), transferred);
        }
        t.TransferBufferLength = transferred;
      }
    } else if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) {
      urb->UrbIsochronousTransfer.TransferBufferLength = 0;
    } else {
      urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    }
    const NTSTATUS status = nt_from_usbd(failure);
    {
      std::lock_guard<std::mutex> guard(lock_);
      impl_->finish_record(irp, failure, status, transferred, false);
    }
    complete_urb_irp(irp, urb, failure, status);
  }
}

}  // namespace sim
