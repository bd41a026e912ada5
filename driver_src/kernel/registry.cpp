// Registry routines: key handles in slots, typed value queries through a
// "Cnxt" pool buffer, and the device's "DriverData" values. Owns nothing
// beyond the duration of a call except the handles it stores in the caller's
// slots. PASSIVE_LEVEL throughout, so the value buffers are paged.
#include "kernel/registry.h"

#include "kernel/pool_tags.h"

namespace {

constexpr ULONG partial_header_size = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
// Longest name a UNICODE_STRING can count (Length is a USHORT of bytes).
constexpr SIZE_T max_name_chars = MAXUSHORT / sizeof(WCHAR);

const WCHAR driver_data_name[] = L"DriverData";

// Makes `name` a counted string over the caller's characters.
NTSTATUS make_counted_name(PCWSTR name, UNICODE_STRING* counted) {
  SIZE_T chars = 0;
  if (name != nullptr) {
    while (name[chars] != 0) {
      if (chars == max_name_chars) {
        return STATUS_INVALID_PARAMETER;
      }
      ++chars;
    }
  }
  counted->Length = static_cast<USHORT>(chars * sizeof(WCHAR));
  counted->MaximumLength = counted->Length;
  counted->Buffer = const_cast<PWSTR>(name);
  return STATUS_SUCCESS;
}

void store_in_slot(HANDLE* slot, HANDLE handle) {
  if (*slot != nullptr) {
    ZwClose(*slot);
  }
  *slot = handle;
}

// Queries value `name` with room for `capacity` data bytes. On success and on
// STATUS_BUFFER_OVERFLOW (data longer than `capacity`) `*info` is the pool
// buffer ("Cnxt") with the value's type and data length filled in; the
// caller frees it. Otherwise `*info` is null.
NTSTATUS query_partial(HANDLE key, PCWSTR name, ULONG capacity,
                       KEY_VALUE_PARTIAL_INFORMATION** info) {
  *info = nullptr;
  UNICODE_STRING counted;
  NTSTATUS status = make_counted_name(name, &counted);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  if (capacity > MAXULONG - partial_header_size) {
    return STATUS_INVALID_PARAMETER;
  }
  const ULONG buffer_size = partial_header_size + capacity;
  auto* buffer = static_cast<KEY_VALUE_PARTIAL_INFORMATION*>(
      ExAllocatePoolWithTag(PagedPool, buffer_size, pool_tag::registry_values));
  if (buffer == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ULONG result_length = 0;
  status = ZwQueryValueKey(key, &counted, KeyValuePartialInformation, buffer, buffer_size,
                           &result_length);
  if (status == STATUS_SUCCESS && buffer->DataLength > capacity) {
    status = STATUS_BUFFER_OVERFLOW;  // never trust a length beyond the buffer
  }
  if (status != STATUS_SUCCESS && status != STATUS_BUFFER_OVERFLOW) {
    ExFreePoolWithTag(buffer, pool_tag::registry_values);
    return status;
  }
  *info = buffer;
  return status;
}

NTSTATUS read_driver_dword_of(PDEVICE_OBJECT physical_device_object, ULONG key_type, PCWSTR name,
                              ULONG* value) {
  HANDLE key = nullptr;
  NTSTATUS status = open_driver_data_key(&key, physical_device_object, key_type, FALSE);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = query_registry_dword(key, name, value);
  ZwClose(key);
  return status;
}

NTSTATUS write_driver_value(PDEVICE_OBJECT physical_device_object, PCWSTR name, const void* data,
                            ULONG size, ULONG type) {
  HANDLE key = nullptr;
  NTSTATUS status =
      open_driver_data_key(&key, physical_device_object, PLUGPLAY_REGKEY_DEVICE, TRUE);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = write_registry_value(key, name, data, size, type);
  ZwClose(key);
  return status;
}

}  // namespace

namespace {

// Opens (create = false) or creates the key `name` below `root` and stores the
// handle in the slot on success.
NTSTATUS open_key_into_slot(HANDLE* slot, HANDLE root, PCWSTR name, ACCESS_MASK access,
                            bool create) {
  UNICODE_STRING counted;
  NTSTATUS status = make_counted_name(name, &counted);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &counted, registry_key_attributes, root, nullptr);
  HANDLE key = nullptr;
  status = create ? ZwCreateKey(&key, access, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                nullptr)
                  : ZwOpenKey(&key, access, &attributes);
  if (NT_SUCCESS(status)) {
    store_in_slot(slot, key);
  }
  return status;
}

}  // namespace

NTSTATUS create_registry_key(HANDLE* slot, HANDLE root, PCWSTR name, ACCESS_MASK access) {
  return open_key_into_slot(slot, root, name, access, true);
}

NTSTATUS open_registry_key(HANDLE* slot, HANDLE root, PCWSTR name, ACCESS_MASK access) {
  return open_key_into_slot(slot, root, name, access, false);
}

NTSTATUS open_device_key(HANDLE* slot, PDEVICE_OBJECT physical_device_object, ULONG key_type,
                         ACCESS_MASK access) {
  if (key_type != PLUGPLAY_REGKEY_DEVICE && key_type != PLUGPLAY_REGKEY_DRIVER) {
    return STATUS_INVALID_PARAMETER;
  }
  HANDLE key = nullptr;
  const NTSTATUS status = IoOpenDeviceRegistryKey(physical_device_object, key_type, access, &key);
  if (NT_SUCCESS(status) && key != nullptr) {
    store_in_slot(slot, key);
  }
  return status;
}

NTSTATUS open_driver_data_key(HANDLE* slot, PDEVICE_OBJECT physical_device_object, ULONG key_type,
                              BOOLEAN create) {
  HANDLE device_key = nullptr;
  NTSTATUS status =
      open_device_key(&device_key, physical_device_object, key_type,
                      create ? registry_read_write_access : registry_read_access);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  if (create) {
    status = create_registry_key(slot, device_key, driver_data_name, registry_read_write_access);
  } else {
    status = open_registry_key(slot, device_key, driver_data_name, registry_read_access);
  }
  if (device_key != nullptr) {
    ZwClose(device_key);
  }
  return status;
}

NTSTATUS query_registry_value(HANDLE key, PCWSTR name, ULONG type, PVOID data, ULONG size,
                              ULONG* length) {
  KEY_VALUE_PARTIAL_INFORMATION* info = nullptr;
  NTSTATUS status = query_partial(key, name, size, &info);
  if (info == nullptr) {
    return status;
  }
  if (info->Type != type) {
    status = STATUS_INVALID_PARAMETER;
  } else if (status == STATUS_BUFFER_OVERFLOW) {
    *length = info->DataLength;
  } else {
    if (info->DataLength > 0) {
      RtlCopyMemory(data, info->Data, info->DataLength);
    }
    *length = info->DataLength;
  }
  ExFreePoolWithTag(info, pool_tag::registry_values);
  return status;
}

NTSTATUS query_registry_dword(HANDLE key, PCWSTR name, ULONG* value) {
  ULONG data = 0;
  ULONG length = 0;
  NTSTATUS status = query_registry_value(key, name, REG_DWORD, &data, sizeof(data), &length);
  if (status == STATUS_BUFFER_OVERFLOW) {
    return STATUS_INVALID_PARAMETER;  // a REG_DWORD of more than 4 bytes
  }
  if (NT_SUCCESS(status)) {
    *value = data;
  }
  return status;
}

NTSTATUS query_registry_string(HANDLE key, PCWSTR name, PUNICODE_STRING value) {
  const ULONG max_chars = value->MaximumLength / sizeof(WCHAR);
  // Room for a stored terminator besides the characters that fit.
  ULONG capacity = (max_chars + 1) * sizeof(WCHAR);
  KEY_VALUE_PARTIAL_INFORMATION* info = nullptr;
  NTSTATUS status = query_partial(key, name, capacity, &info);
  if (status == STATUS_BUFFER_OVERFLOW && info->Type == REG_SZ) {
    // The data is longer, but the string may still end early at a null
    // character; look at all of it before calling it too long.
    capacity = info->DataLength;
    ExFreePoolWithTag(info, pool_tag::registry_values);
    status = query_partial(key, name, capacity, &info);
  }
  if (info == nullptr) {
    return status;
  }
  if (info->Type != REG_SZ) {
    status = STATUS_INVALID_PARAMETER;
  } else if (status == STATUS_SUCCESS) {
    const WCHAR* chars = reinterpret_cast<const WCHAR*>(info->Data);
    const ULONG data_chars = info->DataLength / sizeof(WCHAR);
    ULONG string_chars = 0;
    while (string_chars < data_chars && chars[string_chars] != 0) {
      ++string_chars;
    }
    if (string_chars > max_chars) {
      status = STATUS_BUFFER_OVERFLOW;
    } else {
      if (string_chars > 0) {
        RtlCopyMemory(value->Buffer, info->Data, string_chars * sizeof(WCHAR));
      }
      if (string_chars < max_chars) {
        value->Buffer[string_chars] = 0;
      }
      value->Length = static_cast<USHORT>(string_chars * sizeof(WCHAR));
    }
  }
  ExFreePoolWithTag(info, pool_tag::registry_values);
  return status;
}

NTSTATUS write_registry_value(HANDLE key, PCWSTR name, const void* data, ULONG size, ULONG type) {
  UNICODE_STRING counted;
  const NTSTATUS status = make_counted_name(name, &counted);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  return ZwSetValueKey(key, &counted, 0, type, const_cast<PVOID>(data), size);
}

NTSTATUS read_driver_dword(PDEVICE_OBJECT physical_device_object, PCWSTR name, ULONG* value) {
  const NTSTATUS status =
      read_driver_dword_of(physical_device_object, PLUGPLAY_REGKEY_DEVICE, name, value);
  if (NT_SUCCESS(status)) {
    return status;
  }
  return read_driver_dword_of(physical_device_object, PLUGPLAY_REGKEY_DRIVER, name, value);
}

NTSTATUS read_driver_string(PDEVICE_OBJECT physical_device_object, PCWSTR name,
                            PUNICODE_STRING value) {
  HANDLE key = nullptr;
  NTSTATUS status =
      open_driver_data_key(&key, physical_device_object, PLUGPLAY_REGKEY_DEVICE, FALSE);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = query_registry_string(key, name, value);
  ZwClose(key);
  return status;
}

NTSTATUS write_driver_string(PDEVICE_OBJECT physical_device_object, PCWSTR name,
                             PCUNICODE_STRING value) {
  return write_driver_value(physical_device_object, name, value->Buffer, value->Length, REG_SZ);
}

NTSTATUS write_driver_dword(PDEVICE_OBJECT physical_device_object, PCWSTR name, ULONG value) {
  return write_driver_value(physical_device_object, name, &value, sizeof(value), REG_DWORD);
}
