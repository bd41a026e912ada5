// The simulated USB bus: the bus driver object and its dispatch routines
// for the physical device objects, the USBDI bus interface, and the bus
// thread.
//
// The bus thread runs every action at DISPATCH_LEVEL, as a host controller's
// DPC would: delayed control completions and the servicing of IN endpoints
// (completion routines of the driver's readers run there and may resubmit
// straight into the dispatch routine).
#include "usb_bus.h"

#include <kstandin/testing_io.h>
#include <usbbusif.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

namespace sim {
namespace {

// What the extension of a simulated physical device object holds.
struct pdo_extension {
  usb_device* device;  // first: usb_device's cancel routine reads it from here
  usb_bus* bus;
};

pdo_extension* extension_of(PDEVICE_OBJECT pdo) {
  return pdo != nullptr ? (pdo_extension*)pdo->DeviceExtension : nullptr;
}

std::atomic<unsigned> bus_serial{0};

// ---- USBDI bus interface (BusContext = the physical device object) ----------------------

VOID interface_reference(PVOID) {}
VOID interface_dereference(PVOID) {}

VOID get_usbdi_version(PVOID context, PUSBD_VERSION_INFORMATION info, PULONG capabilities) {
  pdo_extension* ext = extension_of((PDEVICE_OBJECT)context);
  if (info != nullptr) {
    info->USBDI_Version = USBDI_VERSION;
    info->Supported_USB_Version = ext->device->host_usb_version();
  }
  if (capabilities != nullptr) *capabilities = 0;
}

NTSTATUS query_bus_time(PVOID context, PULONG current_frame) {
  if (current_frame == nullptr) return STATUS_INVALID_PARAMETER;
  *current_frame = extension_of((PDEVICE_OBJECT)context)->bus->current_frame();
  return STATUS_SUCCESS;
}

NTSTATUS submit_iso_out_urb(PVOID, PURB) { return STATUS_NOT_SUPPORTED; }

NTSTATUS query_bus_information(PVOID, ULONG, PVOID, PULONG, PULONG) { return STATUS_NOT_SUPPORTED; }

BOOLEAN is_device_high_speed(PVOID context) {
  return extension_of((PDEVICE_OBJECT)context)->device->high_speed() ? TRUE : FALSE;
}

NTSTATUS enum_log_entry(PVOID, ULONG, ULONG, ULONG, ULONG) { return STATUS_SUCCESS; }

// Fills the USBDI interface of the requested version; false when the
// version is unknown or the caller's record is too small.
bool fill_usbdi_interface(PDEVICE_OBJECT pdo, PIO_STACK_LOCATION stack) {
  const USHORT version = stack->Parameters.QueryInterface.Version;
  const USHORT size = stack->Parameters.QueryInterface.Size;
  auto* v2 = (PUSB_BUS_INTERFACE_USBDI_V2)stack->Parameters.QueryInterface.Interface;
  if (v2 == nullptr) return false;
  USHORT needed = 0;
  switch (version) {
    case USB_BUSIF_USBDI_VERSION_0: needed = sizeof(USB_BUS_INTERFACE_USBDI_V0); break;
    case USB_BUSIF_USBDI_VERSION_1: needed = sizeof(USB_BUS_INTERFACE_USBDI_V1); break;
    case USB_BUSIF_USBDI_VERSION_2: needed = sizeof(USB_BUS_INTERFACE_USBDI_V2); break;
    default: return false;
  }
  if (size < needed) return false;
  // Every version is a prefix of the next.
  v2->Size = needed;
  v2->Version = version;
  v2->BusContext = pdo;
  v2->InterfaceReference = interface_reference;
  v2->InterfaceDereference = interface_dereference;
  v2->GetUSBDIVersion = get_usbdi_version;
  v2->QueryBusTime = query_bus_time;
  v2->SubmitIsoOutUrb = submit_iso_out_urb;
  v2->QueryBusInformation = query_bus_information;
  if (version >= USB_BUSIF_USBDI_VERSION_1) v2->IsDeviceHighSpeed = is_device_high_speed;
  if (version >= USB_BUSIF_USBDI_VERSION_2) v2->EnumLogEntry = enum_log_entry;
  v2->InterfaceReference(v2->BusContext);
  return true;
}

// ---- dispatch routines of the bus driver ----------------------------------------------------

NTSTATUS dispatch_internal_ioctl(PDEVICE_OBJECT pdo, PIRP irp) {
  pdo_extension* ext = extension_of(pdo);
  if (ext == nullptr || ext->device == nullptr) {
    irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_NO_SUCH_DEVICE;
  }
  return ext->device->dispatch_internal_ioctl(pdo, irp);
}

// A PDO completes the PnP requests it does not handle with the status
// already in the IRP.
NTSTATUS dispatch_pnp(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  pdo_extension* ext = extension_of(pdo);
  NTSTATUS status = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_INTERFACE: {
      const GUID* type = stack->Parameters.QueryInterface.InterfaceType;
      if (ext != nullptr && ext->device != nullptr && type != nullptr &&
          *type == USB_BUS_INTERFACE_USBDI_GUID && !ext->device->usbdi_query_fails()) {
        if (fill_usbdi_interface(pdo, stack)) {
          status = STATUS_SUCCESS;
        } else {
          status = STATUS_NOT_SUPPORTED;
        }
      }
      break;
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_CAPABILITIES:
      status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS dispatch_success(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS dispatch_keep_status(PDEVICE_OBJECT, PIRP irp) {
  const NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace

// ---- the bus ------------------------------------------------------------------------------------

usb_bus::usb_bus() : started_(std::chrono::steady_clock::now()) {
  char name[64];
  snprintf(name, sizeof name, "\\Driver\\sim_usbhub%u", bus_serial.fetch_add(1));
  driver_ = kstandin::create_driver_object(name);
  driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch_internal_ioctl;
  driver_->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
  driver_->MajorFunction[IRP_MJ_POWER] = dispatch_success;
  driver_->MajorFunction[IRP_MJ_CREATE] = dispatch_success;
  driver_->MajorFunction[IRP_MJ_CLOSE] = dispatch_success;
  driver_->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = dispatch_keep_status;
  thread_ = std::thread([this] { thread_main(); });
}

usb_bus::~usb_bus() {
  std::vector<PDEVICE_OBJECT> pdos;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& d : devices_) pdos.push_back(d.first);
  }
  for (PDEVICE_OBJECT pdo : pdos) unplug(pdo);
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
  kstandin::delete_driver_object(driver_);
}

PDEVICE_OBJECT usb_bus::plug(std::shared_ptr<usb_device> device, const std::string& instance_id) {
  if (!device) return nullptr;
  std::string id = instance_id;
  if (id.empty()) {
    char buf[64];
    std::lock_guard<std::mutex> guard(lock_);
    snprintf(buf, sizeof buf, "USB\\VID_%04X&PID_%04X\\5&%X&0&%u", device->vendor_id(),
             device->product_id(), 0x1A2B0000u + bus_serial.load(), next_instance_++);
    id = buf;
  }
  PDEVICE_OBJECT pdo = kstandin::create_physical_device(driver_, id, sizeof(pdo_extension));
  if (pdo == nullptr) return nullptr;
  auto* ext = (pdo_extension*)pdo->DeviceExtension;
  ext->device = device.get();
  ext->bus = this;
  device->attach(this, pdo);
  std::lock_guard<std::mutex> guard(lock_);
  devices_.emplace_back(pdo, std::move(device));
  return pdo;
}

void usb_bus::unplug(PDEVICE_OBJECT pdo) {
  std::shared_ptr<usb_device> device;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = std::find_if(devices_.begin(), devices_.end(),
                           [pdo](const auto& d) { return d.first == pdo; });
    if (it == devices_.end()) return;
    device = it->second;
    devices_.erase(it);
  }
  device->detach();
  // Wait for the bus thread to leave any service of this device.
  settle(5000, 0);
  auto* ext = (pdo_extension*)pdo->DeviceExtension;
  ext->device = nullptr;
  kstandin::delete_physical_device(pdo);
}

std::shared_ptr<usb_device> usb_bus::device(PDEVICE_OBJECT pdo) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (const auto& d : devices_) {
    if (d.first == pdo) return d.second;
  }
  return nullptr;
}

void usb_bus::schedule(unsigned delay_ms, std::function<void()> action) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    timed_action a{std::chrono::steady_clock::now() + std::chrono::milliseconds(delay_ms),
                   next_order_++, std::move(action)};
    actions_.push_back(std::move(a));
    std::push_heap(actions_.begin(), actions_.end(), [](const timed_action& x, const timed_action& y) {
      return x.due != y.due ? x.due > y.due : x.order > y.order;
    });
  }
  wake_.notify_all();
}

void usb_bus::kick() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    kicked_ = true;
  }
  wake_.notify_all();
}

bool usb_bus::settle(unsigned timeout_ms, unsigned horizon_ms) {
  std::unique_lock<std::mutex> guard(lock_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  return idle_.wait_until(guard, deadline, [&] {
    if (busy_ || kicked_) return false;
    if (actions_.empty()) return true;
    return actions_.front().due > std::chrono::steady_clock::now() + std::chrono::milliseconds(horizon_ms);
  });
}

ULONG usb_bus::current_frame() const {
  const auto elapsed = std::chrono::steady_clock::now() - started_;
  return (ULONG)std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

void usb_bus::thread_main() {
  auto later = [](const timed_action& x, const timed_action& y) {
    return x.due != y.due ? x.due > y.due : x.order > y.order;
  };
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    if (stopping_) break;
    const auto now = std::chrono::steady_clock::now();
    std::vector<std::function<void()>> due;
    while (!actions_.empty() && actions_.front().due <= now) {
      std::pop_heap(actions_.begin(), actions_.end(), later);
      due.push_back(std::move(actions_.back().action));
      actions_.pop_back();
    }
    const bool kicked = kicked_;
    kicked_ = false;
    if (due.empty() && !kicked) {
      idle_.notify_all();
      if (actions_.empty()) {
        wake_.wait(guard);
      } else {
        // A copy: schedule() may grow the heap while the lock is released.
        const auto next_due = actions_.front().due;
        wake_.wait_until(guard, next_due);
      }
      continue;
    }
    busy_ = true;
    std::vector<std::shared_ptr<usb_device>> devices;
    for (const auto& d : devices_) devices.push_back(d.second);
    guard.unlock();
    KIRQL old_irql;
    KeRaiseIrql(DISPATCH_LEVEL, &old_irql);
    for (auto& action : due) action();
    // Every pass also services the endpoints: a completion may have
    // resubmitted transfers for data that is already queued.
    for (auto& device : devices) device->service_endpoints();
    KeLowerIrql(old_irql);
    devices.clear();
    guard.lock();
    busy_ = false;
  }
  idle_.notify_all();
}

}  // namespace sim
