// Device lifecycle: the device callbacks ks.sys makes, device_context's
// start and power handling, and the camera stream it carries for the
// capture pin.
//
// Restart: ks.sys frees the filter factory when the device stops
// (KSCREATE_ITEM_FREEONSTOP) and calls start again later. The second start
// runs the whole sequence again: the camera of the earlier start is
// destroyed first (so no camera is ever orphaned or shared by two starts),
// unless a capture pin still owns its stream, in which case the start is
// refused with STATUS_INVALID_DEVICE_STATE and the pin keeps its camera.
// The earlier start's descriptor is taken out of the device bag and freed.
//
// A start that fails at any step (a USB request, the camera's init, out of
// memory, the descriptor or the factory) returns that step's status and
// leaves neither camera nor descriptor behind, so the device can be
// started again.
#include "avstream/device.h"

#include "cameras/camera_factory.h"
#include "avstream/capture_pin.h"
#include "avstream/filter_descriptor.h"
#include "controls/property_handler.h"
#include "kernel/mutex_guard.h"
#include "kernel/pool_tags.h"
#include "kernel/registry.h"
#include "usb/usb_utils.h"
#include "uvc/uvc_camera.h"

extern const KSDEVICE_DISPATCH device_dispatch = {
    device_add,                 // Add
    device_start,               // Start
    nullptr,                    // PostStart
    nullptr,                    // QueryStop
    nullptr,                    // CancelStop
    device_stop,                // Stop
    nullptr,                    // QueryRemove
    nullptr,                    // CancelRemove
    nullptr,                    // Remove: the device bag frees the context
    device_query_capabilities,  // QueryCapabilities
    nullptr,                    // SurpriseRemoval
    nullptr,                    // QueryPower
    device_set_power,           // SetPower
    nullptr,                    // QueryInterface
};

extern const KSDEVICE_DESCRIPTOR ks_device_descriptor = {
    &device_dispatch,
    0,  // no filter descriptors: device start creates the filter factory
    nullptr,
    0,  // Version
    0,  // Flags
};

namespace {

constexpr USHORT string_language = 0x0009;
constexpr ULONG string_timeout_ms = 3000;
constexpr ULONG probe_timeout_ms = 10000;
constexpr ULONG name_buffer_size = 256;            // bytes per name read at start
constexpr ULONG probe_buffer_size = 200;           // bytes of the manufacturer read at power-up
constexpr ACCESS_MASK key_write_access = 0x20006;  // KEY_WRITE

const WCHAR talvexa_vendor_name[] = L"Talvexa";

void free_device_context(PVOID context) { delete static_cast<device_context*>(context); }

device_context* context_of(PKSDEVICE device) {
  return device != nullptr ? static_cast<device_context*>(device->Context) : nullptr;
}

// Reads string `index` into `text`; index 0 means the device has no such
// string (string descriptor 0 is the language table, not text).
NTSTATUS read_device_string(PDEVICE_OBJECT pdo, UCHAR index, PUNICODE_STRING text,
                            ULONG timeout_ms) {
  if (index == 0) return STATUS_NOT_FOUND;
  return get_string(pdo, index, string_language, text, timeout_ms);
}

}  // namespace

// ---- device callbacks ----------------------------------------------------------------

NTSTATUS device_add(PKSDEVICE device) {
  auto* context = new (NonPagedPoolNx, pool_tag::objects) device_context(device);
  if (context == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  KsAcquireDevice(device);
  const NTSTATUS status = KsAddItemToObjectBag(device->Bag, context, free_device_context);
  KsReleaseDevice(device);
  if (!NT_SUCCESS(status)) {
    free_device_context(context);
    return status;
  }
  device->Context = context;
  return STATUS_SUCCESS;
}

NTSTATUS device_start(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translated_resources,
                      PCM_RESOURCE_LIST untranslated_resources) {
  device_context* context = context_of(device);
  if (context == nullptr) return STATUS_INVALID_DEVICE_STATE;
  return context->start();
}

// The filter factory goes with the stop (KSCREATE_ITEM_FREEONSTOP); the
// camera stays until the next start or the removal.
void device_stop(PKSDEVICE device, PIRP irp) {}

NTSTATUS device_query_capabilities(PKSDEVICE device, PIRP irp, PDEVICE_CAPABILITIES capabilities) {
  if (capabilities == nullptr) return STATUS_UNSUCCESSFUL;
  // Unplugging a camera needs no warning to the user. Later versions of the
  // structure are left as the bus driver filled them.
  if (capabilities->Version == 1) capabilities->SurpriseRemovalOK = TRUE;
  return STATUS_SUCCESS;
}

void device_set_power(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE to_state,
                      DEVICE_POWER_STATE from_state) {
  device_context* context = context_of(device);
  if (context != nullptr) context->set_power(to_state, from_state);
}

// ---- device_context --------------------------------------------------------------------

device_context::device_context(PKSDEVICE ks_device)
    : device(ks_device),
      pin_attached(0),
      active_pin(nullptr),
      camera(nullptr),
      power_state(PowerDeviceD0),
      stream_state(stream_closed),
      stream_format{},
      state_mutex{},
      descriptor_blocks(nullptr) {
  KeInitializeMutex(&state_mutex, 0);
}

device_context::~device_context() { destroy_camera(); }

void device_context::destroy_camera() {
  if (camera == nullptr) return;
  delete camera;  // through the camera's virtual destructor
  camera = nullptr;
}

capture_pin* device_context::attached_pin() {
  return static_cast<capture_pin*>(InterlockedCompareExchangePointer(
      reinterpret_cast<PVOID volatile*>(&active_pin), nullptr, nullptr));
}

NTSTATUS device_context::serve_property(property_call* call) {
  mutex_guard lock(&state_mutex);
  if (camera == nullptr) return STATUS_INVALID_PARAMETER;
  return dispatch_property(this, call);
}

NTSTATUS device_context::query_dropped_frames_locked(property_call* call) {
  capture_pin* pin = attached_pin();
  if (pin == nullptr) return STATUS_INVALID_DEVICE_STATE;
  return pin->handle_dropped_frames(call);
}

bool device_context::stream_drop_count(const capture_pin* pin, ULONGLONG* drops) {
  mutex_guard lock(&state_mutex);
  if (camera == nullptr || stream_state == stream_closed || attached_pin() != pin) return false;
  *drops = camera->p_drops();
  return true;
}

NTSTATUS device_context::start() {
  if (device->Started) return STATUS_SUCCESS;
  PDEVICE_OBJECT pdo = device->PhysicalDeviceObject;
  NTSTATUS status = STATUS_SUCCESS;
  {
    mutex_guard lock(&state_mutex);
    if (camera != nullptr) {
      if (InterlockedCompareExchange(&pin_attached, 0, 0) != 0) return STATUS_INVALID_DEVICE_STATE;
      destroy_camera();
      stream_state = stream_closed;
    }
    // The earlier start's descriptor: its factory went with the stop.
    release_filter_descriptor(this);

    UCHAR descriptor[usb_desc::device_size] = {};
    status = get_device_descriptor(pdo, descriptor);
    if (!NT_SUCCESS(status)) return status;
    const USHORT product = le16(descriptor + usb_desc::dev_idProduct);
    store_device_strings(pdo, descriptor, product == talvexa_branded_product);
    camera = create_camera(descriptor, pdo, this);
    if (camera == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

    status = camera->init();
    if (!NT_SUCCESS(status)) {
      destroy_camera();
      return status;
    }
  }

  const KSFILTER_DESCRIPTOR* filter_descriptor = nullptr;
  status = build_filter_descriptor(this, &filter_descriptor_template, &filter_descriptor);
  if (NT_SUCCESS(status)) {
    WCHAR reference_string[] = L"GLOBAL";
    KsAcquireDevice(device);
    status =
        KsCreateFilterFactory(device->FunctionalDeviceObject, filter_descriptor, reference_string,
                              nullptr, KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, nullptr);
    KsReleaseDevice(device);
  }
  if (!NT_SUCCESS(status)) {
    // No filter serves the camera: the device is left as if it had never
    // started, and the next start begins afresh.
    release_filter_descriptor(this);
    mutex_guard lock(&state_mutex);
    destroy_camera();
  }
  return status;
}

void device_context::probe_device() {
  PDEVICE_OBJECT pdo = device->PhysicalDeviceObject;
  UCHAR descriptor[usb_desc::device_size] = {};
  if (!NT_SUCCESS(get_device_descriptor(pdo, descriptor))) return;
  WCHAR buffer[probe_buffer_size / sizeof(WCHAR)];
  UNICODE_STRING text = {0, sizeof(buffer), buffer};
  read_device_string(pdo, descriptor[usb_desc::dev_iManufacturer], &text, probe_timeout_ms);
}

// Power transitions. Leaving D0 closes an open stream and keeps
// stream_state, so the stream can be restored. Returning to D0 from any
// lower state probes the device, has the camera write every control value
// back and reopens the stream (running it again when it ran): from D3 too,
// since a pin that was running when the device went down expects frames
// once it is back. Results of the camera calls cannot be reported (the
// power callback returns nothing); a stream that does not reopen is marked
// closed and opens again with the pin's next run.
void device_context::set_power(DEVICE_POWER_STATE to_state, DEVICE_POWER_STATE from_state) {
  mutex_guard lock(&state_mutex);
  if (to_state == PowerDeviceD0) {
    if (power_state != PowerDeviceD0 && camera != nullptr) {
      probe_device();
      camera->restore_controls();
      if (stream_state != stream_closed) {
        if (!NT_SUCCESS(camera->open_stream(&stream_format))) {
          stream_state = stream_closed;
        } else if (stream_state == stream_running && !NT_SUCCESS(camera->pause_stream(true))) {
          stream_state = stream_open_idle;
        }
      }
    }
  } else if (power_state == PowerDeviceD0 && stream_state != stream_closed && camera != nullptr) {
    camera->close_stream();
  }
  power_state = to_state;
}

NTSTATUS device_context::attach_pin(capture_pin* pin, const KS_VIDEOINFOHEADER* format) {
  if (InterlockedCompareExchange(&pin_attached, 1, 0) != 0) return STATUS_SHARING_VIOLATION;
  mutex_guard lock(&state_mutex);
  NTSTATUS status = STATUS_INVALID_DEVICE_STATE;
  if (camera != nullptr) {
    RtlCopyMemory(&stream_format, format, sizeof(stream_format));
    // Out of D0 the stream opens when the device returns.
    status = power_state == PowerDeviceD0 ? camera->open_stream(format) : STATUS_SUCCESS;
  }
  if (!NT_SUCCESS(status)) {
    InterlockedExchange(&pin_attached, 0);
    return status;
  }
  stream_state = stream_open_idle;
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&active_pin), pin);
  return STATUS_SUCCESS;
}

// Runs the stream, opening it first when it was closed (by stop_streaming
// on PAUSE→ACQUIRE, or by a failure). Out of D0 only the wish is recorded.
NTSTATUS device_context::run_stream_locked() {
  if (power_state != PowerDeviceD0) {
    stream_state = stream_running;
    return STATUS_SUCCESS;
  }
  NTSTATUS status = STATUS_SUCCESS;
  if (stream_state == stream_closed) {
    status = camera->open_stream(&stream_format);
    if (!NT_SUCCESS(status)) return status;
    stream_state = stream_open_idle;
  }
  status = camera->pause_stream(true);
  if (!NT_SUCCESS(status)) {
    // The stream is closed now, and stream_state says so: nothing reopens
    // it behind the pin's back on the next power-up.
    camera->close_stream();
    stream_state = stream_closed;
    return status;
  }
  stream_state = stream_running;
  return STATUS_SUCCESS;
}

NTSTATUS device_context::start_streaming(const KS_VIDEOINFOHEADER* format) {
  mutex_guard lock(&state_mutex);
  if (camera == nullptr) return STATUS_INVALID_DEVICE_STATE;
  return run_stream_locked();
}

NTSTATUS device_context::set_paused(bool paused) {
  mutex_guard lock(&state_mutex);
  if (camera == nullptr) return STATUS_INVALID_DEVICE_STATE;
  if (!paused) return run_stream_locked();
  if (power_state != PowerDeviceD0 || stream_state == stream_closed) {
    // Nothing runs: the pause is only recorded.
    if (stream_state != stream_closed) stream_state = stream_open_idle;
    return STATUS_SUCCESS;
  }
  const NTSTATUS status = camera->pause_stream(false);
  if (NT_SUCCESS(status)) stream_state = stream_open_idle;
  return status;
}

// A closed stream (or one closed for the power state) takes the format when
// it opens; an open one is told now.
void device_context::update_stream_format(const KS_VIDEOINFOHEADER* format) {
  mutex_guard lock(&state_mutex);
  RtlCopyMemory(&stream_format, format, sizeof(stream_format));
  if (camera != nullptr && stream_state != stream_closed && power_state == PowerDeviceD0) {
    camera->update_output_format(format);
  }
}

void device_context::stop_streaming() {
  mutex_guard lock(&state_mutex);
  if (camera != nullptr) camera->close_stream();
  stream_state = stream_closed;
}

// The stream closes before the sink is unhooked, so that a client buffer
// the camera may still hold goes back to the pin (and so to the client)
// instead of being dropped. In the pin's state sequence there is none: a
// started stream was closed by stop_streaming on the way to ACQUIRE.
void device_context::detach_pin() {
  mutex_guard lock(&state_mutex);
  if (camera != nullptr) camera->close_stream();
  stream_state = stream_closed;
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&active_pin), nullptr);
  InterlockedExchange(&pin_attached, 0);
}

void device_context::frame_done(PVOID buffer, NTSTATUS status, ULONGLONG drop_count,
                                ULONGLONG delivered_count, ULONG bytes_used) {
  capture_pin* pin = attached_pin();
  if (pin != nullptr) pin->frame_done(buffer, status, drop_count, delivered_count, bytes_used);
}

PVOID device_context::acquire_frame_buffer(PUCHAR* data, ULONG* capacity) {
  capture_pin* pin = attached_pin();
  return pin != nullptr ? pin->acquire_frame_buffer(data, capacity) : nullptr;
}

// ---- names in the registry -----------------------------------------------------------

void store_device_strings(PDEVICE_OBJECT physical_device_object, const UCHAR* device_descriptor,
                          bool replace_vendor) {
  WCHAR product_buffer[name_buffer_size / sizeof(WCHAR)];
  WCHAR vendor_buffer[name_buffer_size / sizeof(WCHAR)];
  UNICODE_STRING product = {0, sizeof(product_buffer), product_buffer};
  UNICODE_STRING vendor = {0, sizeof(vendor_buffer), vendor_buffer};

  const NTSTATUS product_status =
      read_device_string(physical_device_object, device_descriptor[usb_desc::dev_iProduct],
                         &product, string_timeout_ms);
  const NTSTATUS vendor_status =
      read_device_string(physical_device_object, device_descriptor[usb_desc::dev_iManufacturer],
                         &vendor, string_timeout_ms);
  if (!NT_SUCCESS(product_status) && !NT_SUCCESS(vendor_status)) return;
  // A read that stopped with a warning (STATUS_BUFFER_OVERFLOW) keeps the
  // part that fitted; empty strings are not written.

  if (replace_vendor) {
    ULONG length = sizeof(talvexa_vendor_name) - sizeof(WCHAR);
    if (length > vendor.MaximumLength) length = vendor.MaximumLength;
    RtlCopyMemory(vendor.Buffer, talvexa_vendor_name, length);
    vendor.Length = static_cast<USHORT>(length);
  }
  write_vendor_model_names(physical_device_object, &vendor, &product);
}

NTSTATUS write_vendor_model_names(PDEVICE_OBJECT physical_device_object, PCUNICODE_STRING vendor,
                                  PCUNICODE_STRING model) {
  HANDLE key = nullptr;
  NTSTATUS status =
      open_device_key(&key, physical_device_object, PLUGPLAY_REGKEY_DEVICE, key_write_access);
  if (!NT_SUCCESS(status)) return status;
  if (vendor->Length != 0) {
    status = write_registry_value(key, L"VendorName", vendor->Buffer, vendor->Length, REG_SZ);
  }
  if (model->Length != 0) {
    status = write_registry_value(key, L"ModelName", model->Buffer, model->Length, REG_SZ);
  }
  ZwClose(key);
  return status;
}
