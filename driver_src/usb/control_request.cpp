// Control requests: control_transfer builds the vendor or class URB around
// an MDL of the caller's buffer and sends it through submit_urb_sync; the
// rest are requests composed from it. Owns nothing beyond a call: the URB
// ("uvcU"), the MDL and the camera-memory verification buffer ("Auvc") are
// freed before each function returns.
#include "usb/control_request.h"

#include "kernel/pool_tags.h"

namespace {

// The streaming interface, whose probe and commit controls are addressed
// with entity 0.
constexpr UCHAR streaming_interface = 1;

NTSTATUS map_timeout(NTSTATUS status) {
  return status == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : status;
}

control_request memory_request(UCHAR is_out, ULONG address, PVOID data, USHORT length) {
  control_request r;
  r.is_out = is_out;
  r.is_vendor = 1;
  r.recipient = 0;
  r.request = camera_memory_request;
  r.value = static_cast<USHORT>(address >> 16);
  r.index = static_cast<USHORT>(address & 0xFFFF);
  r.length = length;
  r.data = data;
  return r;
}

// True when [address, address + length) fits the 32-bit address space.
bool range_fits(ULONG address, ULONG length) {
  return static_cast<ULONGLONG>(address) + length <= 0x100000000ull;
}

}  // namespace

// Device, interface, endpoint, other.
constexpr UCHAR raw_control_recipients = 4;

USHORT control_urb_function(UCHAR is_vendor, UCHAR recipient) {
  // Vendor and class "other" are not next to their neighbours.
  static constexpr USHORT vendor_functions[4] = {
      URB_FUNCTION_VENDOR_DEVICE, URB_FUNCTION_VENDOR_INTERFACE, URB_FUNCTION_VENDOR_ENDPOINT,
      URB_FUNCTION_VENDOR_OTHER};
  static constexpr USHORT class_functions[4] = {
      URB_FUNCTION_CLASS_DEVICE, URB_FUNCTION_CLASS_INTERFACE, URB_FUNCTION_CLASS_ENDPOINT,
      URB_FUNCTION_CLASS_OTHER};
  ASSERTMSG("RequestTarget < 4", recipient < 4);
  if (recipient >= 4) {
    return 0xFFFF;
  }
  return is_vendor ? vendor_functions[recipient] : class_functions[recipient];
}

NTSTATUS control_transfer(PDEVICE_OBJECT device, const control_request& request, LONG timeout_ms,
                          ULONG* transferred) {
  ASSERTMSG("pDev != 0", device != nullptr);
  if (device == nullptr) {
    return STATUS_INVALID_HANDLE;
  }
  // An unknown recipient has no URB function; the bus driver would refuse
  // the request, so it is not sent.
  const USHORT function = control_urb_function(request.is_vendor, request.recipient);
  if (function == 0xFFFF || (request.length != 0 && request.data == nullptr)) {
    return STATUS_INVALID_PARAMETER;
  }

  constexpr USHORT urb_size = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  static_assert(urb_size == 136, "x64 _URB_CONTROL_VENDOR_OR_CLASS_REQUEST layout");
  auto* urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPoolNx, urb_size, pool_tag::usb_utility_urbs));
  if (urb == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(urb, urb_size);

  // The data stage goes by MDL; a request without data carries no buffer.
  // The buffers handed here are the driver's own kernel memory (pool, its
  // stack, or ks.sys' system buffer of a property), which probing in kernel
  // mode locks without raising; an OUT buffer may be read-only.
  PMDL mdl = nullptr;
  if (request.length != 0) {
    mdl = IoAllocateMdl(request.data, request.length, FALSE, FALSE, nullptr);
    if (mdl == nullptr) {
      ExFreePoolWithTag(urb, pool_tag::usb_utility_urbs);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    MmProbeAndLockPages(mdl, KernelMode, request.is_out ? IoReadAccess : IoModifyAccess);
  }

  const ULONG flags = request.is_out ? 0 : USBD_TRANSFER_DIRECTION_IN;
  UsbBuildVendorRequest(urb, function, urb_size, flags, 0, request.request, request.value,
                        request.index, nullptr, mdl, request.length, nullptr);

  const ULONG timeout = timeout_ms < 0 ? usb_default_timeout_ms : static_cast<ULONG>(timeout_ms);
  NTSTATUS status = submit_urb_sync(device, urb, timeout);
  if (NT_SUCCESS(status)) {
    if (transferred != nullptr) {
      ULONG length = urb->UrbControlVendorClassRequest.TransferBufferLength;
      *transferred = length > request.length ? request.length : length;
    }
  } else {
    DbgPrint("control request 0x%02x (%s, recipient %u, value 0x%04x, index 0x%04x, length %u) "
             "failed: 0x%08x, USBD status 0x%08x\n",
             request.request, request.is_vendor ? "vendor" : "class", request.recipient,
             request.value, request.index, request.length, static_cast<ULONG>(status),
             static_cast<ULONG>(urb->UrbHeader.Status));
  }

  if (mdl != nullptr) {
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
  }
  ExFreePoolWithTag(urb, pool_tag::usb_utility_urbs);
  return status;
}

NTSTATUS vendor_request(PDEVICE_OBJECT device, const control_request& request,
                        ULONG* transferred) {
  return map_timeout(control_transfer(device, request, usb_default_timeout_ms, transferred));
}

NTSTATUS uvc_request(PDEVICE_OBJECT device, UCHAR request, UCHAR entity_id,
                     UCHAR interface_number, UCHAR selector, USHORT length, PVOID buffer,
                     ULONG* transferred) {
  control_request r;
  r.is_out = request == uvc_request_code::set_cur ? 1 : 0;
  r.is_vendor = 0;
  r.recipient = 1;
  r.request = request;
  r.value = static_cast<USHORT>(selector << 8);
  r.index = static_cast<USHORT>((entity_id << 8) | interface_number);
  r.length = length;
  r.data = buffer;
  return map_timeout(control_transfer(device, r, usb_default_timeout_ms, transferred));
}

NTSTATUS uvc_get_cur(PDEVICE_OBJECT device, UCHAR entity_id, UCHAR selector, USHORT length,
                     PVOID buffer, ULONG* transferred) {
  return uvc_request(device, uvc_request_code::get_cur, entity_id, 0, selector, length, buffer,
                     transferred);
}

NTSTATUS uvc_set_cur(PDEVICE_OBJECT device, UCHAR entity_id, UCHAR selector, USHORT length,
                     PVOID buffer) {
  return uvc_request(device, uvc_request_code::set_cur, entity_id, 0, selector, length, buffer,
                     nullptr);
}

NTSTATUS probe_commit_request(PDEVICE_OBJECT device, ULONG which, UCHAR request, UCHAR* buffer) {
  if (which > uvc_probe::commit || buffer == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  return uvc_request(device, request, 0, streaming_interface, static_cast<UCHAR>(which + 1),
                     uvc_probe::size, buffer, nullptr);
}

NTSTATUS commit_again(PDEVICE_OBJECT device, const UCHAR* committed) {
  UCHAR copy[uvc_probe::size];
  RtlCopyMemory(copy, committed, sizeof(copy));
  return probe_commit_request(device, uvc_probe::commit, uvc_request_code::set_cur, copy);
}

NTSTATUS negotiate_stream_format(PDEVICE_OBJECT device, const UCHAR* desired,
                                 BOOLEAN skip_unchanged, UCHAR* committed) {
  // Structures read from the device start zeroed, so a device that answers
  // with fewer bytes (a 26-byte UVC 1.0 structure) leaves zeros, not stack.
  UCHAR current[uvc_probe::size] = {};
  UCHAR negotiated[uvc_probe::size] = {};
  UCHAR result[uvc_probe::size] = {};

  if (!NT_SUCCESS(probe_commit_request(device, uvc_probe::probe, uvc_request_code::get_cur,
                                       current))) {
    return STATUS_INVALID_PARAMETER;
  }

  const bool unchanged =
      skip_unchanged && le16(desired + uvc_probe::bmHint) == 1 &&
      current[uvc_probe::bFormatIndex] == desired[uvc_probe::bFormatIndex] &&
      current[uvc_probe::bFrameIndex] == desired[uvc_probe::bFrameIndex] &&
      le32(current + uvc_probe::dwFrameInterval) == le32(desired + uvc_probe::dwFrameInterval);
  if (unchanged) {
    RtlCopyMemory(negotiated, current, uvc_probe::size);
  } else {
    UCHAR probe[uvc_probe::size];
    RtlCopyMemory(probe, desired, uvc_probe::size);
    if (!NT_SUCCESS(probe_commit_request(device, uvc_probe::probe, uvc_request_code::set_cur,
                                         probe)) ||
        !NT_SUCCESS(probe_commit_request(device, uvc_probe::probe, uvc_request_code::get_cur,
                                         negotiated))) {
      return STATUS_INVALID_PARAMETER;
    }
    if (negotiated[uvc_probe::bFormatIndex] != desired[uvc_probe::bFormatIndex] ||
        negotiated[uvc_probe::bFrameIndex] != desired[uvc_probe::bFrameIndex]) {
      return STATUS_INVALID_PARAMETER;
    }
  }

  if (skip_unchanged && RtlEqualMemory(current, negotiated, uvc_probe::size)) {
    RtlCopyMemory(committed, current, uvc_probe::size);
    return STATUS_SUCCESS;
  }

  NTSTATUS status =
      probe_commit_request(device, uvc_probe::commit, uvc_request_code::set_cur, negotiated);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = probe_commit_request(device, uvc_probe::commit, uvc_request_code::get_cur, result);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  RtlCopyMemory(committed, result, uvc_probe::size);
  return STATUS_SUCCESS;
}

NTSTATUS read_camera_memory(PDEVICE_OBJECT device, ULONG address, PVOID buffer, ULONG length,
                            ULONG* bytes_read) {
  if (bytes_read != nullptr) *bytes_read = 0;
  if (!range_fits(address, length) || (length != 0 && buffer == nullptr)) {
    return STATUS_INVALID_PARAMETER;
  }
  auto* bytes = static_cast<UCHAR*>(buffer);
  ULONG total = 0;
  for (ULONG offset = 0; offset < length; offset += camera_memory_chunk) {
    const ULONG left = length - offset;
    const USHORT chunk = static_cast<USHORT>(left < camera_memory_chunk ? left : camera_memory_chunk);
    ULONG got = 0;
    NTSTATUS status =
        vendor_request(device, memory_request(0, address + offset, bytes + offset, chunk), &got);
    if (!NT_SUCCESS(status)) {
      if (bytes_read != nullptr) *bytes_read = total;
      return status;
    }
    total += got;
  }
  if (bytes_read != nullptr) *bytes_read = total;
  return STATUS_SUCCESS;
}

NTSTATUS write_camera_memory(PDEVICE_OBJECT device, ULONG address, const void* buffer,
                             ULONG length) {
  if (!range_fits(address, length) || (length != 0 && buffer == nullptr)) {
    return STATUS_INVALID_PARAMETER;
  }
  auto* verify = static_cast<UCHAR*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, camera_memory_chunk, pool_tag::objects));
  if (verify == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  auto* source = static_cast<UCHAR*>(const_cast<void*>(buffer));
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG offset = 0; offset < length && NT_SUCCESS(status); offset += camera_memory_chunk) {
    const ULONG left = length - offset;
    const USHORT page = static_cast<USHORT>(left < camera_memory_chunk ? left : camera_memory_chunk);
    bool verified = false;
    for (ULONG attempt = 0; attempt < camera_memory_write_attempts && !verified; ++attempt) {
      status = vendor_request(device, memory_request(1, address + offset, source + offset, page),
                              nullptr);
      if (!NT_SUCCESS(status)) break;
      ULONG got = 0;
      status = read_camera_memory(device, address + offset, verify, page, &got);
      if (!NT_SUCCESS(status)) break;
      // A short read-back is a failed verification, not a comparison with
      // whatever the buffer held before.
      verified = got == page && RtlEqualMemory(verify, source + offset, page);
    }
    if (NT_SUCCESS(status) && !verified) {
      DbgPrint("camera memory at 0x%08x did not verify after %u writes\n", address + offset,
               camera_memory_write_attempts);
      status = STATUS_HARDWARE_MEMORY_ERROR;
    }
  }
  ExFreePoolWithTag(verify, pool_tag::objects);
  return status;
}

NTSTATUS erase_camera_memory(PDEVICE_OBJECT device, ULONG start_address, ULONG end_address) {
  // 64-bit so that a range ending at the top of the address space ends.
  for (ULONGLONG address = start_address; address < end_address;
       address += camera_memory_erase_block) {
    NTSTATUS status =
        vendor_request(device, memory_request(1, static_cast<ULONG>(address), nullptr, 0), nullptr);
    if (!NT_SUCCESS(status)) {
      return status;
    }
  }
  return STATUS_SUCCESS;
}

namespace {

control_request raw_header_request(const UCHAR* header, PVOID data) {
  control_request r;
  r.is_vendor = header[raw_control::is_vendor] != 0 ? 1 : 0;
  r.recipient = header[raw_control::recipient];
  r.is_out = header[raw_control::is_out] != 0 ? 1 : 0;
  r.request = header[raw_control::request];
  r.value = le16(header + raw_control::value);
  r.index = le16(header + raw_control::index);
  r.length = le16(header + raw_control::length);
  r.data = r.length != 0 ? data : nullptr;
  return r;
}

}  // namespace

NTSTATUS raw_control_set(PDEVICE_OBJECT device, PVOID buffer, ULONG size) {
  auto* bytes = static_cast<UCHAR*>(buffer);
  if (bytes == nullptr || size < raw_control::header_size ||
      size - raw_control::header_size < le16(bytes + raw_control::length)) {
    return STATUS_BUFFER_OVERFLOW;
  }
  // The header is the client's: a recipient no URB has is refused here,
  // not asserted on below.
  if (bytes[raw_control::recipient] >= raw_control_recipients) return STATUS_INVALID_PARAMETER;
  return vendor_request(device, raw_header_request(bytes, bytes + raw_control::header_size),
                        nullptr);
}

NTSTATUS raw_control_get(PDEVICE_OBJECT device, const void* input, ULONG input_size,
                         PVOID output, ULONG output_size, ULONG* returned) {
  if (returned != nullptr) *returned = 0;
  auto* header = static_cast<const UCHAR*>(input);
  if (header == nullptr || input_size < raw_control::header_size ||
      output_size < le16(header + raw_control::length) ||
      (output == nullptr && le16(header + raw_control::length) != 0)) {
    return STATUS_BUFFER_OVERFLOW;
  }
  if (header[raw_control::recipient] >= raw_control_recipients) return STATUS_INVALID_PARAMETER;
  ULONG transferred = 0;
  NTSTATUS status = vendor_request(device, raw_header_request(header, output), &transferred);
  if (NT_SUCCESS(status) && returned != nullptr) {
    *returned = transferred;
  }
  return status;
}

NTSTATUS cycle_port(PDEVICE_OBJECT device) {
  return send_ioctl_sync(device, IOCTL_INTERNAL_USB_CYCLE_PORT);
}

NTSTATUS reset_port(PDEVICE_OBJECT device) {
  return send_ioctl_sync(device, IOCTL_INTERNAL_USB_RESET_PORT);
}

NTSTATUS reset_port_timed(PDEVICE_OBJECT device) {
  return send_ioctl_timed(device, IOCTL_INTERNAL_USB_RESET_PORT, nullptr, usb_default_timeout_ms);
}
