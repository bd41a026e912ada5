// usb_device: device start (USBDI query, descriptors, configuration), the
// interface table and alternate-setting selection. The configuration
// descriptor is wire data: it is checked once when it is read (header, and
// every descriptor's bLength against wTotalLength) so that every later walk
// over it, here, in usbd's parser and in the camera's class-descriptor
// parser, stays inside the buffer.
#include "usb/usbdevice.h"

#include "kernel/pool_tags.h"

namespace {

// First read of the configuration descriptor; most devices fit, a longer
// one is read again at its full length.
constexpr ULONG first_configuration_read = 521;
// Alternate settings looked for per interface (bAlternateSetting is 8-bit).
constexpr LONG max_alternate_settings = 255;

// The select-interface URB: its header, the configuration handle, the
// interface information header and one pipe record per endpoint.
constexpr ULONG interface_info_header = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
constexpr ULONG select_interface_header =
    FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface) + interface_info_header;
static_assert(interface_info_header == 24 && sizeof(USBD_PIPE_INFORMATION) == 24,
              "x64 USBD_INTERFACE_INFORMATION layout");
static_assert(select_interface_header == 56, "x64 _URB_SELECT_INTERFACE layout");

ULONG interface_info_size(ULONG pipes) {
  return interface_info_header + pipes * static_cast<ULONG>(sizeof(USBD_PIPE_INFORMATION));
}

}  // namespace

usb_device::usb_device(PDEVICE_OBJECT target_device)
    : target_device_(target_device),
      device_descriptor_{},
      interfaces_(nullptr),
      interface_count_(0),
      descriptors_(nullptr),
      descriptor_count_(0),
      descriptor_capacity_(0),
      configuration_(nullptr),
      configuration_length_(0),
      configuration_handle_(nullptr),
      host_usb_version_(0) {}

usb_device::~usb_device() { free_configuration(); }

NTSTATUS usb_device::init() {
  BOOLEAN high_speed = FALSE;
  ULONG version = 0;
  NTSTATUS status = query_usbdi_interface(target_device_, &high_speed, &version);
  if (status == STATUS_INSUFFICIENT_RESOURCES) {
    return status;  // no memory for the query: nothing is known about the bus yet
  }
  if (!NT_SUCCESS(status) || !high_speed) {
    DbgPrint("this is not a high speed device, so just quitting.\n");
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }
  host_usb_version_ = version;

  status = get_device_descriptor(target_device_, device_descriptor_);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = read_configuration_descriptor();
  if (!NT_SUCCESS(status)) {
    return status;
  }
  return select_configuration();
}

const USB_CONFIGURATION_DESCRIPTOR* usb_device::get_configuration_descriptor() const {
  return reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(configuration_);
}

USBD_INTERFACE_INFORMATION* usb_device::get_interface_info(ULONG interface_number) const {
  if (interfaces_ == nullptr || interface_number >= interface_count_) {
    return nullptr;
  }
  return interfaces_[interface_number];
}

const UCHAR* usb_device::interface_descriptor(ULONG index) const {
  return index < descriptor_count_ ? descriptors_[index] : nullptr;
}

// Reads the whole configuration descriptor into configuration_. Leaves no
// descriptor stored when the request fails (its status) or the device
// returned less than wTotalLength, or a malformed header
// (STATUS_DEVICE_CONFIGURATION_ERROR).
NTSTATUS usb_device::read_configuration_descriptor() {
  free_configuration();

  ULONG size = first_configuration_read;
  ULONG returned = 0;
  auto* buffer = static_cast<UCHAR*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, size, pool_tag::usb_configuration));
  if (buffer == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // The descriptor request of usb_utils, with this path's buffer.
  auto read = [this](UCHAR* into, ULONG length, ULONG* got) {
    constexpr USHORT urb_size = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    auto* urb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPoolNx, urb_size, pool_tag::usb_configuration));
    if (urb == nullptr) {
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, urb_size);
    RtlZeroMemory(into, length);
    UsbBuildGetDescriptorRequest(urb, urb_size, usb_desc::type_configuration, 0, 0, into, nullptr,
                                 length, nullptr);
    NTSTATUS s = submit_urb_sync(target_device_, urb, usb_default_timeout_ms);
    *got = urb->UrbControlDescriptorRequest.TransferBufferLength;
    if (*got > length) *got = length;  // never trust a length beyond the buffer
    ExFreePoolWithTag(urb, pool_tag::usb_configuration);
    return s;
  };

  NTSTATUS status = read(buffer, size, &returned);
  if (NT_SUCCESS(status) && returned >= usb_desc::cfg_wTotalLength + 2 &&
      le16(buffer + usb_desc::cfg_wTotalLength) > first_configuration_read) {
    size = le16(buffer + usb_desc::cfg_wTotalLength);
    ExFreePoolWithTag(buffer, pool_tag::usb_configuration);
    buffer = static_cast<UCHAR*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, size, pool_tag::usb_configuration));
    if (buffer == nullptr) {
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = read(buffer, size, &returned);
  }
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(buffer, pool_tag::usb_configuration);
    return status;
  }
  // A read that succeeded with fewer bytes than the descriptor declares
  // (or too few to declare anything) is refused here: a descriptor cut
  // short cannot be configured.
  if (returned < usb_desc::cfg_wTotalLength + 2 ||
      returned < le16(buffer + usb_desc::cfg_wTotalLength)) {
    if (returned < usb_desc::cfg_wTotalLength + 2) {
      DbgPrint("the configuration descriptor read returned %u bytes\n", returned);
    } else {
      DbgPrint("the configuration descriptor is %u bytes but declares %u\n", returned,
               le16(buffer + usb_desc::cfg_wTotalLength));
    }
    ExFreePoolWithTag(buffer, pool_tag::usb_configuration);
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }

  ULONG total = le16(buffer + usb_desc::cfg_wTotalLength);
  if (total < usb_desc::configuration_size || buffer[usb_desc::bLength] < usb_desc::configuration_size ||
      buffer[usb_desc::bLength] > total ||
      buffer[usb_desc::bDescriptorType] != usb_desc::type_configuration) {
    DbgPrint("malformed configuration descriptor (wTotalLength %u, bLength %u, type %u)\n", total,
             buffer[usb_desc::bLength], buffer[usb_desc::bDescriptorType]);
    ExFreePoolWithTag(buffer, pool_tag::usb_configuration);
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }

  // Every descriptor must be at least 2 bytes and end inside wTotalLength;
  // interface and endpoint descriptors must have their standard size. The
  // configuration ends before the first one that does not: wTotalLength of
  // the stored copy is cut there, so no parser reads past the data.
  ULONG offset = buffer[usb_desc::bLength];
  while (offset < total) {
    const ULONG left = total - offset;
    const ULONG length = left >= 2 ? buffer[offset + usb_desc::bLength] : 0;
    const UCHAR type = left >= 2 ? buffer[offset + usb_desc::bDescriptorType] : 0;
    if (length < 2 || length > left ||
        (type == usb_desc::type_interface && length < usb_desc::interface_size) ||
        (type == usb_desc::type_endpoint && length < usb_desc::endpoint_size)) {
      DbgPrint("configuration descriptor: malformed descriptor at offset %u of %u, ignoring the rest\n",
               offset, total);
      total = offset;
      put_le16(buffer + usb_desc::cfg_wTotalLength, static_cast<USHORT>(total));
      break;
    }
    offset += length;
  }

  configuration_ = buffer;
  configuration_length_ = total;
  return STATUS_SUCCESS;
}

// Collects one pointer per (interface, alternate setting) pair, alternate
// settings 0, 1, 2, ... of each interface until the first one missing.
NTSTATUS usb_device::collect_interface_descriptors() {
  descriptor_count_ = 0;
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration_);
  const ULONG interfaces = configuration_[usb_desc::cfg_bNumInterfaces];
  for (ULONG number = 0; number < interfaces; ++number) {
    for (LONG alternate = 0; alternate < max_alternate_settings; ++alternate) {
      PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(
          config, config, static_cast<LONG>(number), alternate, -1, -1, -1);
      if (found == nullptr) break;
      if (descriptor_count_ == descriptor_capacity_) {
        const ULONG capacity = descriptor_capacity_ == 0 ? 8 : descriptor_capacity_ * 2;
        auto* grown = static_cast<const UCHAR**>(ExAllocatePoolWithTag(
            NonPagedPoolNx, capacity * sizeof(UCHAR*), pool_tag::objects));
        if (grown == nullptr) {
          return STATUS_INSUFFICIENT_RESOURCES;
        }
        for (ULONG i = 0; i < descriptor_count_; ++i) grown[i] = descriptors_[i];
        if (descriptors_ != nullptr) ExFreePoolWithTag(descriptors_, pool_tag::objects);
        descriptors_ = grown;
        descriptor_capacity_ = capacity;
      }
      descriptors_[descriptor_count_++] = reinterpret_cast<const UCHAR*>(found);
    }
  }
  return descriptor_count_ == 0 ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

// Frees every interface copy and makes the table `count` empty slots.
NTSTATUS usb_device::reset_interface_table(ULONG count) {
  free_interface_table();
  if (count == 0) {
    return STATUS_SUCCESS;
  }
  interfaces_ = static_cast<USBD_INTERFACE_INFORMATION**>(ExAllocatePoolWithTag(
      NonPagedPoolNx, count * sizeof(USBD_INTERFACE_INFORMATION*), pool_tag::objects));
  if (interfaces_ == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  for (ULONG i = 0; i < count; ++i) interfaces_[i] = nullptr;
  interface_count_ = count;
  return STATUS_SUCCESS;
}

// Copies `info` (Length bytes, as the bus driver returned it) into the slot
// of its interface number, replacing the previous copy.
NTSTATUS usb_device::store_interface_info(const USBD_INTERFACE_INFORMATION* info) {
  const ULONG number = info->InterfaceNumber;
  const ULONG length = info->Length;
  // The rest of the driver reads Pipes[0 .. NumberOfPipes - 1] of the copy.
  const ULONGLONG needed = interface_info_header +
                           static_cast<ULONGLONG>(info->NumberOfPipes) * sizeof(USBD_PIPE_INFORMATION);
  if (number >= interface_count_ || length < needed) {
    return STATUS_DEVICE_DATA_ERROR;
  }
  auto* copy = static_cast<USBD_INTERFACE_INFORMATION*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, length, pool_tag::objects));
  if (copy == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyMemory(copy, info, length);
  if (interfaces_[number] != nullptr) ExFreePoolWithTag(interfaces_[number], pool_tag::objects);
  interfaces_[number] = copy;
  return STATUS_SUCCESS;
}

NTSTATUS usb_device::select_configuration() {
  ASSERTMSG("pConfigDescr != 0", configuration_ != nullptr);
  if (configuration_ == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS status = collect_interface_descriptors();
  if (!NT_SUCCESS(status)) {
    return status;
  }
  const ULONG interfaces = configuration_[usb_desc::cfg_bNumInterfaces];
  status = reset_interface_table(interfaces);
  if (!NT_SUCCESS(status)) {
    return status;
  }

  // Alternate setting 0 of every interface, then the empty terminator.
  ULONG entries = 0;
  for (ULONG i = 0; i < descriptor_count_; ++i) {
    if (descriptors_[i][usb_desc::if_bAlternateSetting] == 0) ++entries;
  }
  const SIZE_T list_size = (entries + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
  auto* list = static_cast<USBD_INTERFACE_LIST_ENTRY*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, list_size, pool_tag::usb_configuration));
  if (list == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(list, list_size);
  ULONG filled = 0;
  for (ULONG i = 0; i < descriptor_count_; ++i) {
    if (descriptors_[i][usb_desc::if_bAlternateSetting] == 0) {
      list[filled++].InterfaceDescriptor =
          reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<UCHAR*>(descriptors_[i]));
    }
  }

  PURB urb = USBD_CreateConfigurationRequestEx(
      reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration_), list);
  if (urb == nullptr) {
    ExFreePoolWithTag(list, pool_tag::usb_configuration);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  status = submit_urb_sync(target_device_, urb, usb_default_timeout_ms);
  if (NT_SUCCESS(status)) {
    configuration_handle_ = urb->UrbSelectConfiguration.ConfigurationHandle;
    for (ULONG i = 0; i < filled && NT_SUCCESS(status); ++i) {
      if (list[i].Interface != nullptr) status = store_interface_info(list[i].Interface);
    }
  }
  ExFreePool(urb);  // allocated by USBD_CreateConfigurationRequestEx
  ExFreePoolWithTag(list, pool_tag::usb_configuration);
  if (!NT_SUCCESS(status)) {
    return status;
  }

  // The streaming interface starts at its zero-bandwidth setting.
  if (interfaces > 1) {
    status = select_alternate_setting(1, 0);
  }
  return status;
}

NTSTATUS usb_device::select_alternate_setting(ULONG interface_number, ULONG alternate_setting) {
  if (configuration_ == nullptr || interface_number > 0xFF || alternate_setting > 0xFF) {
    return STATUS_INVALID_PARAMETER;
  }
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration_);
  auto* found = reinterpret_cast<const UCHAR*>(USBD_ParseConfigurationDescriptorEx(
      config, config, static_cast<LONG>(interface_number), static_cast<LONG>(alternate_setting),
      -1, -1, -1));
  if (found == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  const ULONG pipes = found[usb_desc::if_bNumEndpoints];
  const ULONG urb_size = select_interface_header + pipes * sizeof(USBD_PIPE_INFORMATION);
  auto* urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPoolNx, urb_size, pool_tag::usb_configuration));
  if (urb == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(urb, urb_size);
  urb->UrbHeader.Length = static_cast<USHORT>(urb_size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
  urb->UrbSelectInterface.ConfigurationHandle = configuration_handle_;
  USBD_INTERFACE_INFORMATION* info = &urb->UrbSelectInterface.Interface;
  info->Length = static_cast<USHORT>(interface_info_size(pipes));
  info->InterfaceNumber = static_cast<UCHAR>(interface_number);
  info->AlternateSetting = static_cast<UCHAR>(alternate_setting);
  info->NumberOfPipes = pipes;
  for (ULONG i = 0; i < pipes; ++i) {
    info->Pipes[i].MaximumTransferSize = 0xFFFFFFFF;
  }

  NTSTATUS status = submit_urb_sync(target_device_, urb, usb_default_timeout_ms);
  if (NT_SUCCESS(status)) {
    // The bus driver may not claim more than the URB holds.
    if (info->Length > interface_info_size(pipes)) {
      status = STATUS_DEVICE_DATA_ERROR;
    } else {
      status = store_interface_info(info);
    }
  }
  ExFreePoolWithTag(urb, pool_tag::usb_configuration);
  return status;
}

NTSTATUS usb_device::get_string(ULONG selector, PUNICODE_STRING text) {
  if (configuration_ == nullptr) {
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }
  UCHAR index = 0;
  switch (selector) {
    case usb_string_manufacturer:
      index = device_descriptor_[usb_desc::dev_iManufacturer];
      break;
    case usb_string_serial_number:
      index = device_descriptor_[usb_desc::dev_iSerialNumber];
      break;
    case usb_string_product:
      index = device_descriptor_[usb_desc::dev_iProduct];
      break;
    default:
      if (selector > 0xFF) return STATUS_INVALID_PARAMETER;
      index = static_cast<UCHAR>(selector);
      break;
  }
  return ::get_string(target_device_, index, usb_string_language, text, usb_string_timeout_ms);
}

void usb_device::free_interface_table() {
  if (interfaces_ != nullptr) {
    for (ULONG i = 0; i < interface_count_; ++i) {
      if (interfaces_[i] != nullptr) ExFreePoolWithTag(interfaces_[i], pool_tag::objects);
    }
    ExFreePoolWithTag(interfaces_, pool_tag::objects);
  }
  interfaces_ = nullptr;
  interface_count_ = 0;
}

void usb_device::free_configuration() {
  free_interface_table();
  if (descriptors_ != nullptr) ExFreePoolWithTag(descriptors_, pool_tag::objects);
  descriptors_ = nullptr;
  descriptor_count_ = 0;
  descriptor_capacity_ = 0;
  if (configuration_ != nullptr) ExFreePoolWithTag(configuration_, pool_tag::usb_configuration);
  configuration_ = nullptr;
  configuration_length_ = 0;
  configuration_handle_ = nullptr;
}
