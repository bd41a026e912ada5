// Object manager of the stand-in: the one handle table shared by thread,
// registry key and file handles, ZwClose, and object references on thread
// and device objects.
//
// Handles are kernel handles (high bit set, multiples of 4, never reused
// while the process lives), so a stale handle is recognised as unknown.
#include <map>
#include <mutex>

#include "io_internal.h"

namespace kstandin {
namespace {

struct handle_table {
  std::mutex lock;
  std::map<ULONG_PTR, handle_entry> entries;
  ULONG_PTR next = 4;
};

// Never destroyed: detached system threads may close handles during exit.
handle_table& table() {
  static auto* t = new handle_table;
  return *t;
}

constexpr ULONG_PTR kKernelHandleBit = 0xFFFFFFFF80000000ull;

std::string handle_text(HANDLE handle) {
  char text[32];
  snprintf(text, sizeof text, "%p", handle);
  return text;
}

}  // namespace

HANDLE insert_handle(handle_entry entry) {
  auto& t = table();
  std::lock_guard<std::mutex> guard(t.lock);
  const ULONG_PTR value = kKernelHandleBit | t.next;
  t.next += 4;
  t.entries.emplace(value, std::move(entry));
  return (HANDLE)value;
}

bool lookup_handle(HANDLE handle, handle_entry* entry) {
  auto& t = table();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.entries.find((ULONG_PTR)handle);
  if (it == t.entries.end()) return false;
  *entry = it->second;
  return true;
}

bool remove_handle(HANDLE handle, handle_entry* entry) {
  auto& t = table();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.entries.find((ULONG_PTR)handle);
  if (it == t.entries.end()) return false;
  *entry = std::move(it->second);
  t.entries.erase(it);
  return true;
}

PKTHREAD reference_thread_by_handle(HANDLE handle) {
  auto& t = table();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.entries.find((ULONG_PTR)handle);
  if (it == t.entries.end() || it->second.kind != handle_kind::thread) return nullptr;
  ObfReferenceObject(it->second.thread);
  return it->second.thread;
}

size_t open_handle_count() {
  auto& t = table();
  std::lock_guard<std::mutex> guard(t.lock);
  return t.entries.size();
}

}  // namespace kstandin

using namespace kstandin;

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  check_zw_irql("ZwClose");
  handle_entry entry;
  if (!remove_handle(Handle, &entry)) {
    report_violation("invalid_handle", "ZwClose of unknown handle " + handle_text(Handle));
    return STATUS_INVALID_HANDLE;
  }
  if (entry.kind == handle_kind::thread) release_thread_reference(entry.thread);
  // Key nodes and open files go with the last shared_ptr.
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                         POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                         PVOID* Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation) {
  if (Object == NULL) return STATUS_INVALID_PARAMETER;
  *Object = NULL;
  handle_entry entry;
  if (!lookup_handle(Handle, &entry)) return STATUS_INVALID_HANDLE;
  if (entry.kind != handle_kind::thread) {
    // Only thread objects are handed out as pointers on the host.
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  if (ObjectType != NULL && ObjectType != *PsThreadType) return STATUS_OBJECT_TYPE_MISMATCH;
  if (AccessMode == UserMode && (DesiredAccess & ~entry.access) != 0 &&
      DesiredAccess != MAXIMUM_ALLOWED) {
    return STATUS_ACCESS_DENIED;
  }
  PKTHREAD thread = reference_thread_by_handle(Handle);
  if (thread == nullptr) return STATUS_INVALID_HANDLE;  // closed meanwhile
  if (HandleInformation != NULL) {
    HandleInformation->HandleAttributes = 0;
    HandleInformation->GrantedAccess = entry.access;
  }
  *Object = thread;
  return STATUS_SUCCESS;
}
