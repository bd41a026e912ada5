// Internal interface between the I/O, object, thread, registry and file
// sources of the stand-in (io_*, ob_*, ps_*, registry_*, file_*, zw_*).
#pragma once

#include <kstandin/testing.h>
#include <kstandin/testing_io.h>

#include <memory>
#include <string>

#include "kernel_internal.h"

namespace kstandin {

// ---- pool tags of the I/O manager ------------------------------------------
constexpr ULONG make_tag(char a, char b, char c, char d) {
  return (ULONG)(UCHAR)a | ((ULONG)(UCHAR)b << 8) | ((ULONG)(UCHAR)c << 16) |
         ((ULONG)(UCHAR)d << 24);
}
constexpr ULONG kDeviceTag = make_tag('D', 'e', 'v', 'O');
constexpr ULONG kIrpTag = make_tag('I', 'r', 'p', ' ');
constexpr ULONG kMdlTag = make_tag('M', 'd', 'l', ' ');
constexpr ULONG kWorkItemTag = make_tag('I', 'o', 'W', 'k');
constexpr ULONG kIoBufferTag = make_tag('I', 'o', 'B', 'f');

bool is_platform_pool_tag(ULONG tag);
// Reports "pool_leak_at_removal" when blocks allocated after `since` are
// still live, platform tags left out. `what` names the device for the report.
void check_pool_at_removal(const pool_snapshot& since, const std::string& what);

// ---- devices ---------------------------------------------------------------
// Instance id of a physical device object made by create_physical_device.
bool physical_device_instance(PDEVICE_OBJECT device, std::string* instance_id);

// ---- handle table ----------------------------------------------------------
enum class handle_kind { thread, key, file };

struct handle_entry {
  handle_kind kind = handle_kind::thread;
  ACCESS_MASK access = 0;
  std::shared_ptr<void> object;  // key node or open file
  PKTHREAD thread = nullptr;     // thread handles: one reference held
};

HANDLE insert_handle(handle_entry entry);
bool lookup_handle(HANDLE handle, handle_entry* entry);
bool remove_handle(HANDLE handle, handle_entry* entry);
// Takes a reference on the thread behind a thread handle while the handle
// table is locked, so a concurrent ZwClose cannot free the object first.
// Null when the handle is not (or no longer) a thread handle.
PKTHREAD reference_thread_by_handle(HANDLE handle);

// Thread objects (ps_thread.cpp): drop the reference a handle held.
void release_thread_reference(PKTHREAD thread);
bool is_thread_object(PVOID object);
// Threads started with PsCreateSystemThread whose body has not yet returned.
size_t running_system_thread_count();
// Device objects (io_device.cpp): references taken by Ob*Object.
bool is_device_object(PVOID object);
LONG_PTR reference_device(PDEVICE_OBJECT device);
LONG_PTR dereference_device(PDEVICE_OBJECT device);

// ---- registry ------------------------------------------------------------
// Opens (or, with `create`, creates including missing parents) the key at an
// absolute path and returns a handle with `access`.
NTSTATUS registry_open_absolute(const std::u16string& path, ACCESS_MASK access, bool create,
                                HANDLE* handle);
// Creates the Enum and Class keys of a device instance and returns their
// absolute paths.
void registry_prepare_device(const std::string& instance_id, std::string* device_key,
                             std::string* driver_key);

// Reports "zw_at_dispatch" when called above PASSIVE_LEVEL.
void check_zw_irql(const char* routine);

// ---- text ----------------------------------------------------------------
std::u16string utf16_from_utf8(const std::string& text);
std::string utf8_from_utf16(const std::u16string& text);
std::u16string from_unicode_string(const UNICODE_STRING* s);
char16_t upcase(char16_t c);
std::u16string upcase(const std::u16string& s);

}  // namespace kstandin
