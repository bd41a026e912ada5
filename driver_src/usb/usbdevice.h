// usb_device: the driver's view of the USB device below it. Owns the device
// descriptor, the complete configuration descriptor, the configuration
// handle, the list of interface descriptors found in the configuration and a
// private copy of the USBD_INTERFACE_INFORMATION (with its pipes) last
// returned for each interface. The requests themselves are usb_utils'; the
// camera owns the object and serialises alternate-setting changes with its
// stream mutex (the object has no lock of its own).
//
// Every operation runs at PASSIVE_LEVEL (they wait for the USB stack).
#pragma once

#include "kernel/kernel_api.h"
#include "kernel/kernel_new.h"
#include "usb/usb_utils.h"

// get_string selectors that name a string of the device descriptor rather
// than a string index.
constexpr ULONG usb_string_manufacturer = 256;
constexpr ULONG usb_string_serial_number = 257;
constexpr ULONG usb_string_product = 258;

class usb_device : public pool_object {
 public:
  // `target_device` is the USB device's physical device object; it receives
  // every URB and must outlive this object.
  explicit usb_device(PDEVICE_OBJECT target_device);
  ~usb_device();

  usb_device(const usb_device&) = delete;
  usb_device& operator=(const usb_device&) = delete;

  // The start sequence: USBDI query (a device that is not high speed, or a
  // bus without the interface → STATUS_DEVICE_CONFIGURATION_ERROR), device
  // descriptor, configuration descriptor, select configuration with
  // alternate setting 0 of every interface, then alternate setting 0 of the
  // streaming interface 1 when there is more than one interface.
  NTSTATUS init();

  // The stored configuration descriptor (wTotalLength bytes,
  // configuration_descriptor_length()), or null before a successful read.
  const USB_CONFIGURATION_DESCRIPTOR* get_configuration_descriptor() const;
  const UCHAR* configuration_bytes() const { return configuration_; }
  ULONG configuration_descriptor_length() const { return configuration_length_; }

  // The copy of the interface information last returned for
  // `interface_number`, or null when the number is not below bNumInterfaces
  // or the interface has not been selected.
  USBD_INTERFACE_INFORMATION* get_interface_info(ULONG interface_number) const;
  ULONG interface_count() const { return interface_count_; }

  // Interface descriptors of the configuration, one per (interface,
  // alternate setting) pair, in order of interface number then alternate
  // setting; pointers into the stored configuration descriptor.
  ULONG interface_descriptor_count() const { return descriptor_count_; }
  const UCHAR* interface_descriptor(ULONG index) const;

  // Selects `alternate_setting` on `interface_number` (URB_FUNCTION_SELECT_INTERFACE,
  // every pipe with the largest transfer size) and replaces the interface's
  // copy with the result. A pair the configuration does not have →
  // STATUS_INVALID_PARAMETER.
  NTSTATUS select_alternate_setting(ULONG interface_number, ULONG alternate_setting);

  // String `selector` (usb_string_manufacturer, _serial_number, _product, or
  // a string index) in language 0x0009 with a 3000 ms time-out. Before the
  // configuration descriptor has been read → STATUS_DEVICE_CONFIGURATION_ERROR.
  NTSTATUS get_string(ULONG selector, PUNICODE_STRING text);

  // The 18-byte device descriptor as read by init (zeros before).
  const UCHAR* device_descriptor() const { return device_descriptor_; }
  USHORT id_vendor() const { return le16(device_descriptor_ + usb_desc::dev_idVendor); }
  USHORT id_product() const { return le16(device_descriptor_ + usb_desc::dev_idProduct); }

  PDEVICE_OBJECT target_device() const { return target_device_; }
  USBD_CONFIGURATION_HANDLE configuration_handle() const { return configuration_handle_; }
  // Supported_USB_Version of the host controller stack (BCD: 0x200, 0x300).
  ULONG host_usb_version() const { return host_usb_version_; }

 private:
  NTSTATUS read_configuration_descriptor();
  NTSTATUS select_configuration();
  NTSTATUS collect_interface_descriptors();
  NTSTATUS reset_interface_table(ULONG count);
  NTSTATUS store_interface_info(const USBD_INTERFACE_INFORMATION* info);
  void free_interface_table();
  void free_configuration();

  PDEVICE_OBJECT target_device_;
  UCHAR device_descriptor_[usb_desc::device_size];
  USBD_INTERFACE_INFORMATION** interfaces_;  // bNumInterfaces slots, copies owned ("Auvc")
  ULONG interface_count_;
  const UCHAR** descriptors_;  // into configuration_; array owned ("Auvc")
  ULONG descriptor_count_;
  ULONG descriptor_capacity_;
  UCHAR* configuration_;       // owned ("Pcvu"), configuration_length_ bytes
  ULONG configuration_length_;
  USBD_CONFIGURATION_HANDLE configuration_handle_;
  ULONG host_usb_version_;
};
