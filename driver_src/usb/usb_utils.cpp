// usb_utils: synchronous URB and internal-IOCTL submission to the target
// device, the USBDI bus-interface query, device and string descriptors, pipe
// requests and the descriptor walk. Owns nothing beyond a call: every URB
// ("uvcU") and buffer it allocates is freed before it returns, except the
// string descriptor it hands to its caller.
#include "usb/usb_utils.h"

#include "kernel/pool_tags.h"

namespace {

// Relative time-outs are negative counts of 100 ns.
LARGE_INTEGER relative_ms(ULONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
  return t;
}

// State word shared by a timed request's waiter and its completion routine.
//   idle: neither side has acted;
//   cancelling: the waiter timed out and is calling IoCancelIrp;
//   cancel_done: the waiter has finished IoCancelIrp;
//   completed: the completion routine has run.
// Whoever comes second decides who finishes the IRP: a completion routine
// that finds `cancelling` stops completion (the IRP must stay valid while
// IoCancelIrp runs), and the waiter then resumes it with IoCompleteRequest.
enum timed_request_state : LONG { idle = 0, cancelling = 1, cancel_done = 2, completed = 3 };

// Runs at IRQL <= DISPATCH_LEVEL in whatever context the lower driver
// completes the IRP. `context` is the waiter's state word, which lives on the
// waiter's stack: the waiter does not return before the event that the I/O
// manager sets after this routine has returned.
NTSTATUS timed_request_completion(PDEVICE_OBJECT, PIRP, PVOID context) {
  auto* state = static_cast<LONG volatile*>(context);
  if (InterlockedExchange(state, completed) == cancelling) {
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  return STATUS_SUCCESS;  // STATUS_CONTINUE_COMPLETION: let completion go on
}

// Builds an internal device-control IRP with `argument` in Argument1 and
// sends it; with a non-zero `timeout_ms` the wait is bounded and a timed-out
// IRP is cancelled and waited for (STATUS_IO_TIMEOUT), with 0 it waits until
// the IRP completes.
NTSTATUS send_internal_ioctl(PDEVICE_OBJECT device, ULONG ioctl_code, PVOID argument,
                             ULONG timeout_ms) {
  KEVENT done;
  IO_STATUS_BLOCK io_status;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  io_status.Status = STATUS_SUCCESS;
  io_status.Information = 0;

  PIRP irp = IoBuildDeviceIoControlRequest(ioctl_code, device, nullptr, 0, nullptr, 0, TRUE,
                                           &done, &io_status);
  if (irp == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  if (argument != nullptr) {
    next->Parameters.Others.Argument1 = argument;
  }

  LONG volatile state = idle;
  if (timeout_ms != 0) {
    IoSetCompletionRoutine(irp, timed_request_completion, const_cast<LONG*>(&state), TRUE, TRUE,
                           TRUE);
  }

  NTSTATUS status = IoCallDriver(device, irp);
  if (status != STATUS_PENDING) {
    return status;
  }
  if (timeout_ms == 0) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return io_status.Status;
  }

  LARGE_INTEGER timeout = relative_ms(timeout_ms);
  status = KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout);
  if (status != STATUS_TIMEOUT) {
    return io_status.Status;
  }

  // Timed out. The IRP may complete at any moment from here on; the state
  // word says whether it may still be touched.
  if (InterlockedExchange(&state, cancelling) == idle) {
    IoCancelIrp(irp);
    if (InterlockedExchange(&state, cancel_done) == completed) {
      // Completion ran during IoCancelIrp and stopped; finish it, which
      // sets `done` and frees the IRP.
      IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
  }
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return STATUS_IO_TIMEOUT;
}

// Sends a 40-byte pipe request of `function` for the pipe.
NTSTATUS pipe_request(PDEVICE_OBJECT device, const USBD_PIPE_INFORMATION* pipe, USHORT function) {
  if (device == nullptr) {
    return STATUS_INVALID_HANDLE;
  }
  if (pipe == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  constexpr USHORT size = sizeof(struct _URB_PIPE_REQUEST);
  auto* urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPoolNx, size, pool_tag::usb_utility_urbs));
  if (urb == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(urb, size);
  urb->UrbHeader.Length = size;
  urb->UrbHeader.Function = function;
  urb->UrbPipeRequest.PipeHandle = pipe->PipeHandle;

  NTSTATUS status = submit_urb_sync(device, urb, usb_default_timeout_ms);
  if (urb->UrbHeader.Status == USBD_STATUS_ERROR_BUSY) {
    status = static_cast<NTSTATUS>(USBD_STATUS_ERROR_BUSY);
  }
  ExFreePoolWithTag(urb, pool_tag::usb_utility_urbs);
  return status;
}

// Sends the GET_DESCRIPTOR URB for a device-recipient descriptor.
NTSTATUS get_descriptor(PDEVICE_OBJECT device, UCHAR type, UCHAR index, USHORT language_id,
                        PVOID buffer, ULONG length, ULONG timeout_ms) {
  constexpr USHORT size = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
  auto* urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPoolNx, size, pool_tag::usb_utility_urbs));
  if (urb == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(urb, size);
  UsbBuildGetDescriptorRequest(urb, size, type, index, language_id, buffer, nullptr, length,
                               nullptr);
  NTSTATUS status = submit_urb_sync(device, urb, timeout_ms);
  ExFreePoolWithTag(urb, pool_tag::usb_utility_urbs);
  return status;
}

const WCHAR placeholder_string[] = L"DEADBEEF";

// USB_BUS_INTERFACE_USBDI_GUID. The headers only declare it (its storage
// comes with INITGUID), so the driver keeps its own copy of the value.
const GUID usbdi_interface_guid = {
    0xb1a96a13, 0x3de0, 0x4574, {0x9b, 0x01, 0xc0, 0x8f, 0xea, 0xb3, 0x18, 0xd6}};

}  // namespace

NTSTATUS submit_urb_sync(PDEVICE_OBJECT device, PURB urb, ULONG timeout_ms) {
  if (device == nullptr) {
    return STATUS_INVALID_HANDLE;
  }
  // A zero time-out would mean "wait forever" below; the smallest bounded
  // wait is kept instead.
  return send_internal_ioctl(device, IOCTL_INTERNAL_USB_SUBMIT_URB, urb,
                             timeout_ms == 0 ? 1 : timeout_ms);
}

NTSTATUS send_ioctl_sync(PDEVICE_OBJECT device, ULONG ioctl_code) {
  if (device == nullptr) {
    return STATUS_INVALID_HANDLE;
  }
  return send_internal_ioctl(device, ioctl_code, nullptr, 0);
}

NTSTATUS send_ioctl_timed(PDEVICE_OBJECT device, ULONG ioctl_code, PVOID argument,
                          ULONG timeout_ms) {
  if (device == nullptr) {
    return STATUS_INVALID_HANDLE;
  }
  return send_internal_ioctl(device, ioctl_code, argument, timeout_ms == 0 ? 1 : timeout_ms);
}

namespace {

// Completion routine of the query-interface IRP: the IRP is ours (allocated
// with IoAllocateIrp), so completion stops here and the waiter frees it.
NTSTATUS query_interface_completion(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS query_usbdi_interface(PDEVICE_OBJECT device, BOOLEAN* is_high_speed,
                               ULONG* host_usb_version) {
  *is_high_speed = FALSE;
  *host_usb_version = 0;
  if (device == nullptr) {
    return STATUS_INVALID_HANDLE;
  }
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  if (irp == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // A PnP request starts as "not supported"; a bus that does not know the
  // interface passes it on unchanged.
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;

  USB_BUS_INTERFACE_USBDI_V1 usbdi;
  RtlZeroMemory(&usbdi, sizeof(usbdi));
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);

  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_INTERFACE;
  next->Parameters.QueryInterface.InterfaceType = &usbdi_interface_guid;
  next->Parameters.QueryInterface.Size = sizeof(USB_BUS_INTERFACE_USBDI_V1);
  next->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
  next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&usbdi);
  next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
  IoSetCompletionRoutine(irp, query_interface_completion, &done, TRUE, TRUE, TRUE);

  NTSTATUS status = IoCallDriver(device, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  status = irp->IoStatus.Status;
  IoFreeIrp(irp);

  if (NT_SUCCESS(status) && usbdi.GetUSBDIVersion != nullptr &&
      usbdi.IsDeviceHighSpeed != nullptr) {
    USBD_VERSION_INFORMATION version;
    RtlZeroMemory(&version, sizeof(version));
    ULONG hcd_capabilities = 0;
    usbdi.GetUSBDIVersion(usbdi.BusContext, &version, &hcd_capabilities);
    *host_usb_version = version.Supported_USB_Version;
    *is_high_speed = usbdi.IsDeviceHighSpeed(usbdi.BusContext) ? TRUE : FALSE;
    status = STATUS_SUCCESS;
  } else {
    status = STATUS_NOT_SUPPORTED;
  }
  // A returned interface carries a reference for us; it is only needed here.
  if (usbdi.InterfaceDereference != nullptr) {
    usbdi.InterfaceDereference(usbdi.BusContext);
  }
  return status;
}

NTSTATUS get_device_descriptor(PDEVICE_OBJECT device, UCHAR* descriptor) {
  if (device == nullptr || descriptor == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  RtlZeroMemory(descriptor, usb_desc::device_size);
  return get_descriptor(device, usb_desc::type_device, 0, 0, descriptor, usb_desc::device_size,
                        usb_default_timeout_ms);
}

NTSTATUS get_string_descriptor(PDEVICE_OBJECT device, UCHAR index, USHORT language_id,
                               ULONG timeout_ms, UCHAR** descriptor) {
  *descriptor = nullptr;
  if (device == nullptr) {
    return STATUS_INVALID_HANDLE;
  }
  auto* buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(
      NonPagedPoolNx, usb_string_buffer_size, pool_tag::usb_configuration));
  if (buffer == nullptr) {
    DbgPrint("Failed to allocate USD\n");
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(buffer, usb_string_buffer_size);

  constexpr USHORT size = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
  auto* urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPoolNx, size, pool_tag::usb_utility_urbs));
  if (urb == nullptr) {
    DbgPrint("Failed to allocate urb\n");
    ExFreePoolWithTag(buffer, pool_tag::usb_configuration);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(urb, size);
  UsbBuildGetDescriptorRequest(urb, size, usb_desc::type_string, index, language_id, buffer,
                               nullptr, usb_string_request_length, nullptr);
  NTSTATUS status = submit_urb_sync(device, urb, timeout_ms);
  ExFreePoolWithTag(urb, pool_tag::usb_utility_urbs);
  if (!NT_SUCCESS(status)) {
    DbgPrint("Failed to retrieve string descriptor for index %d, langID 0x%x\n", index,
             language_id);
    ExFreePoolWithTag(buffer, pool_tag::usb_configuration);
    return status;
  }
  *descriptor = buffer;
  return status;
}

void free_string_descriptor(UCHAR* descriptor) {
  if (descriptor != nullptr) {
    ExFreePoolWithTag(descriptor, pool_tag::usb_configuration);
  }
}

NTSTATUS get_string(PDEVICE_OBJECT device, UCHAR index, USHORT language_id,
                    PUNICODE_STRING text, ULONG timeout_ms) {
  if (text == nullptr || (text->Buffer == nullptr && text->MaximumLength != 0)) {
    return STATUS_INVALID_PARAMETER;
  }
  UCHAR* descriptor = nullptr;
  NTSTATUS status = get_string_descriptor(device, index, language_id, timeout_ms, &descriptor);
  if (!NT_SUCCESS(status)) {
    return status;
  }

  // The characters follow the two-byte header; bLength counts the header.
  // The buffer is zero-filled and longer than any bLength, so a descriptor
  // that claims more than the device sent ends at the first NUL.
  const ULONG length = descriptor[usb_desc::bLength];
  const WCHAR* source = placeholder_string;
  ULONG source_chars = ARRAYSIZE(placeholder_string) - 1;
  WCHAR chars[(usb_string_buffer_size - usb_desc::string_header_size) / sizeof(WCHAR)];
  if (length > 4) {
    source_chars = 0;
    const ULONG available = (length - usb_desc::string_header_size) / sizeof(WCHAR);
    for (ULONG i = 0; i < available; ++i) {
      const WCHAR c = le16(descriptor + usb_desc::string_header_size + i * sizeof(WCHAR));
      if (c == 0) break;
      chars[source_chars++] = c;
    }
    source = chars;
  }

  const ULONG capacity = text->MaximumLength / sizeof(WCHAR);
  ULONG copied = source_chars;
  status = STATUS_SUCCESS;
  if (copied > capacity) {
    copied = capacity;
    status = STATUS_BUFFER_OVERFLOW;
  }
  for (ULONG i = 0; i < copied; ++i) text->Buffer[i] = source[i];
  text->Length = static_cast<USHORT>(copied * sizeof(WCHAR));
  if (copied < capacity) text->Buffer[copied] = 0;
  free_string_descriptor(descriptor);
  return status;
}

const UCHAR* find_descriptor(const UCHAR* start, const UCHAR* end, UCHAR descriptor_type) {
  if (start == nullptr || end == nullptr) {
    return nullptr;
  }
  const UCHAR* p = start;
  while (p < end && end - p >= 2) {
    const ULONG length = p[usb_desc::bLength];
    if (length < 2 || length > static_cast<ULONG>(end - p)) {
      return nullptr;
    }
    if (p[usb_desc::bDescriptorType] == descriptor_type) {
      return p;
    }
    p += length;
  }
  return nullptr;
}

NTSTATUS abort_pipe(PDEVICE_OBJECT device, const USBD_PIPE_INFORMATION* pipe) {
  return pipe_request(device, pipe, URB_FUNCTION_ABORT_PIPE);
}

NTSTATUS reset_pipe(PDEVICE_OBJECT device, const USBD_PIPE_INFORMATION* pipe) {
  return pipe_request(device, pipe, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
}
