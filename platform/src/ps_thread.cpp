// System threads and object references.
//
// A system thread's KTHREAD is owned here. It is referenced by its handles
// and by ObReferenceObjectByHandle / ObReferenceObject; the kernel core
// signals it when the thread's body has returned and then no longer touches
// it. It is freed once it is both unreferenced and signalled: an object that
// loses its last reference while its thread still runs is parked and freed
// by a later sweep.
//
// PsTerminateSystemThread unwinds the host thread with system_thread_exit,
// which only the wrapper below catches. Driver frames are compiled with
// -fno-exceptions but keep their unwind tables (the x86-64 default), so the
// unwinder passes through them without running further driver code.
#include <atomic>
#include <map>
#include <mutex>
#include <vector>

#include "io_internal.h"

namespace kstandin {
namespace {

struct system_thread_exit {
  NTSTATUS status;
};

struct thread_record {
  LONG_PTR references = 0;
};

struct thread_registry {
  std::mutex lock;
  std::map<PKTHREAD, thread_record> live;
  std::vector<PKTHREAD> parked;  // unreferenced, waiting for their thread to end
};

thread_registry& registry() {
  static auto* r = new thread_registry;
  return *r;
}

thread_local bool tls_system_thread = false;
std::atomic<ULONG_PTR> next_client_id{0x1000};

struct object_type_storage {
  ULONG tag;
};
object_type_storage thread_type_storage{make_tag('T', 'h', 'r', 'd')};
object_type_storage file_type_storage{make_tag('F', 'i', 'l', 'e')};
POBJECT_TYPE thread_type_pointer = (POBJECT_TYPE)&thread_type_storage;
POBJECT_TYPE file_type_pointer = (POBJECT_TYPE)&file_type_storage;

bool has_ended(PKTHREAD thread) {
  return wait_until([thread] { return thread->Header.SignalState != 0; }, 0);
}

// Frees parked objects whose thread has ended. Caller holds the lock.
void sweep_parked(thread_registry& r) {
  for (size_t i = 0; i < r.parked.size();) {
    if (has_ended(r.parked[i])) {
      delete r.parked[i];
      r.parked[i] = r.parked.back();
      r.parked.pop_back();
    } else {
      ++i;
    }
  }
}

LONG_PTR reference_thread(PKTHREAD thread) {
  auto& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  return ++r.live[thread].references;
}

LONG_PTR dereference_thread(PKTHREAD thread) {
  auto& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.live.find(thread);
  const LONG_PTR left = --it->second.references;
  if (left == 0) {
    r.live.erase(it);
    r.parked.push_back(thread);
  }
  sweep_parked(r);
  return left;
}

}  // namespace

bool is_thread_object(PVOID object) {
  auto& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  return r.live.count((PKTHREAD)object) != 0;
}

void release_thread_reference(PKTHREAD thread) { dereference_thread(thread); }

size_t running_system_thread_count() {
  auto& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  sweep_parked(r);
  size_t running = r.parked.size();  // parked threads have not ended yet
  for (const auto& entry : r.live) {
    if (!has_ended(entry.first)) ++running;
  }
  return running;
}

}  // namespace kstandin

using namespace kstandin;

POBJECT_TYPE* PsThreadType = &thread_type_pointer;
POBJECT_TYPE* IoFileObjectType = &file_type_pointer;

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                    PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext) {
  if (ThreadHandle == NULL || StartRoutine == NULL) return STATUS_INVALID_PARAMETER;
  if (current_irql() != PASSIVE_LEVEL) {
    report_violation("thread_create_at_dispatch",
                     "PsCreateSystemThread at IRQL " + std::to_string(current_irql()));
  }
  auto* thread = new KTHREAD{};
  thread->Header.Type = ThreadObject;
  thread->Header.Size = sizeof(KTHREAD) / sizeof(LONG);
  InitializeListHead(&thread->Header.WaitListHead);
  {
    auto& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    sweep_parked(r);
    r.live[thread].references = 1;  // the handle's
  }
  handle_entry entry;
  entry.kind = handle_kind::thread;
  entry.access = DesiredAccess;
  entry.thread = thread;
  const HANDLE handle = insert_handle(entry);

  const bool started = start_system_thread(thread, [StartRoutine, StartContext]() {
    tls_system_thread = true;
    try {
      StartRoutine(StartContext);
    } catch (const system_thread_exit&) {
      // PsTerminateSystemThread: the thread ends here.
    }
    tls_system_thread = false;
  });
  if (!started) {
    handle_entry removed;
    remove_handle(handle, &removed);
    auto& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    r.live.erase(thread);
    delete thread;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (ClientId != NULL) {
    ClientId->UniqueProcess = (HANDLE)(ULONG_PTR)4;  // the System process
    ClientId->UniqueThread = (HANDLE)next_client_id.fetch_add(4);
  }
  *ThreadHandle = handle;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
  if (!tls_system_thread) {
    report_violation("terminate_foreign_thread",
                     "PsTerminateSystemThread on a thread that PsCreateSystemThread did not start");
  }
  throw system_thread_exit{ExitStatus};
}

PETHREAD NTAPI PsGetCurrentThread(VOID) { return (PETHREAD)KeGetCurrentThread(); }

HANDLE NTAPI PsGetCurrentThreadId(VOID) {
  return (HANDLE)(KeGetCurrentThread()->UniqueThread * 4);
}

HANDLE NTAPI PsGetCurrentProcessId(VOID) { return (HANDLE)(ULONG_PTR)4; }

BOOLEAN NTAPI PsIsSystemThread(PETHREAD Thread) {
  return is_thread_object(Thread) || (Thread == PsGetCurrentThread() && tls_system_thread);
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
  if (is_thread_object(Object)) return reference_thread((PKTHREAD)Object);
  if (is_device_object(Object)) return reference_device((PDEVICE_OBJECT)Object);
  report_violation("invalid_object_reference", "ObReferenceObject of an unknown object");
  return 0;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
  if (is_thread_object(Object)) return dereference_thread((PKTHREAD)Object);
  if (is_device_object(Object)) return dereference_device((PDEVICE_OBJECT)Object);
  report_violation("invalid_object_reference",
                   "ObDereferenceObject of an object that holds no reference");
  return 0;
}
