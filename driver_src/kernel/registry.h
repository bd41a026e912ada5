// Registry routines of the driver: opening and creating keys into handle
// slots, typed value queries, and the values kept under the "DriverData"
// subkey of a device's device key (PLUGPLAY_REGKEY_DEVICE) and driver key
// (PLUGPLAY_REGKEY_DRIVER). The camera's option lookup, the families' stored
// file name and the controls' saved values go through them. Every routine
// runs at PASSIVE_LEVEL.
//
// Handle slots: a slot holds a key handle or null. A routine that succeeds
// closes the handle already in the slot and stores the new one; on failure
// the slot is left alone. The owner closes the last handle with ZwClose.
//
// Value and key names are null-terminated 16-bit strings; a null name is the
// empty name (a key's default value). A name longer than a counted string
// can hold is refused with STATUS_INVALID_PARAMETER.
#pragma once

#include "kernel/kernel_api.h"

// Access masks used on the driver's keys.
constexpr ACCESS_MASK registry_read_access = 0x20019;        // KEY_READ
constexpr ACCESS_MASK registry_read_write_access = 0x2001F;  // KEY_READ | KEY_WRITE
// OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE: every key the driver opens.
constexpr ULONG registry_key_attributes = 0x240;

// ZwCreateKey of `name` relative to `root` (null: `name` is a full path),
// non-volatile.
NTSTATUS create_registry_key(HANDLE* slot, HANDLE root, PCWSTR name, ACCESS_MASK access);

// ZwOpenKey of an existing key, same attributes.
NTSTATUS open_registry_key(HANDLE* slot, HANDLE root, PCWSTR name, ACCESS_MASK access);

// The device's device key (1) or driver key (2); any other key type →
// STATUS_INVALID_PARAMETER.
NTSTATUS open_device_key(HANDLE* slot, PDEVICE_OBJECT physical_device_object, ULONG key_type,
                         ACCESS_MASK access);

// The "DriverData" subkey of the device's key of `key_type`: created (read
// and write access) when `create` is set, otherwise opened for reading.
NTSTATUS open_driver_data_key(HANDLE* slot, PDEVICE_OBJECT physical_device_object, ULONG key_type,
                              BOOLEAN create);

// Reads value `name` of `key`, which must be of type `type`, into `data`
// (`size` bytes). On success `*length` is the value's data length.
// STATUS_INVALID_PARAMETER: the value has another type.
// STATUS_BUFFER_OVERFLOW: the data is longer than `size`; `*length` is the
// length needed and `data` is left alone.
// Absent values give the system's status (STATUS_OBJECT_NAME_NOT_FOUND).
NTSTATUS query_registry_value(HANDLE key, PCWSTR name, ULONG type, PVOID data, ULONG size,
                              ULONG* length);

// A REG_DWORD value of at most 4 bytes (shorter data is zero-extended);
// another type or longer data → STATUS_INVALID_PARAMETER. `*value` is set
// only on success.
NTSTATUS query_registry_dword(HANDLE key, PCWSTR name, ULONG* value);

// A REG_SZ value into `value` (Buffer and MaximumLength given by the caller).
// The string ends at its first null character or at the end of the data,
// whichever comes first; Length counts the characters without a terminator,
// and a terminator is appended when there is room for it. A string longer
// than MaximumLength → STATUS_BUFFER_OVERFLOW and `value` is left alone.
NTSTATUS query_registry_string(HANDLE key, PCWSTR name, PUNICODE_STRING value);

// ZwSetValueKey of `size` bytes at `data` as a value of `type`.
NTSTATUS write_registry_value(HANDLE key, PCWSTR name, const void* data, ULONG size, ULONG type);

// A REG_DWORD from "DriverData" of the device key, or, when that fails for
// any reason (absent, wrong type or size), of the driver key.
NTSTATUS read_driver_dword(PDEVICE_OBJECT physical_device_object, PCWSTR name, ULONG* value);

// A REG_SZ from "DriverData" of the device key (see query_registry_string).
NTSTATUS read_driver_string(PDEVICE_OBJECT physical_device_object, PCWSTR name,
                            PUNICODE_STRING value);

// Write into "DriverData" of the device key, creating it when needed. The
// string is stored with its Length bytes, without a terminator; an empty
// string gives an empty REG_SZ value.
NTSTATUS write_driver_string(PDEVICE_OBJECT physical_device_object, PCWSTR name,
                             PCUNICODE_STRING value);
NTSTATUS write_driver_dword(PDEVICE_OBJECT physical_device_object, PCWSTR name, ULONG value);
