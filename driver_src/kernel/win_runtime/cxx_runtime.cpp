// The part of the C++ runtime that compiled driver code refers to, for the
// Windows kernel build, where no C++ runtime exists. The host build gets all
// of this from the compiler's own runtime.
//
// Deliberately absent: the plain operator new(size_t). Driver objects are
// allocated with the pool operator new of kernel_new.h; a plain `new`
// anywhere in the driver fails the link of talvexa_usb.sys.
#include <stddef.h>

#include "kernel/kernel_api.h"

namespace {

// A pure virtual call (a call through a vtable during construction or
// destruction, or on a freed object) is a driver bug with no way to continue.
// The bug check names it as an exception not handled in kernel mode, with
// the caller's address as the faulting address.
constexpr ULONG kBugCheckExceptionNotHandled = 0x1E;  // KMODE_EXCEPTION_NOT_HANDLED

[[noreturn]] void bug_check_bad_virtual_call(void* caller) {
  KeBugCheckEx(kBugCheckExceptionNotHandled, static_cast<ULONG_PTR>(STATUS_NOT_IMPLEMENTED),
               reinterpret_cast<ULONG_PTR>(caller), 0, 0);
}

}  // namespace

extern "C" void __cxa_pure_virtual() { bug_check_bad_virtual_call(__builtin_return_address(0)); }

extern "C" void __cxa_deleted_virtual() { bug_check_bad_virtual_call(__builtin_return_address(0)); }

// Every block a driver object lives in comes from the pool (kernel_new.h);
// the deleting destructors the compiler emits for classes with virtual
// destructors call these.
void operator delete(void* p) noexcept {
  if (p != nullptr) ExFreePool(p);
}

void operator delete(void* p, size_t) noexcept {
  if (p != nullptr) ExFreePool(p);
}

void operator delete[](void* p) noexcept {
  if (p != nullptr) ExFreePool(p);
}

void operator delete[](void* p, size_t) noexcept {
  if (p != nullptr) ExFreePool(p);
}

// Registration of destructors for static objects. The driver has no static
// objects with destructors (the build check rejects static constructors
// altogether); should one appear, its destructor is never run rather than
// being run from a list nobody walks at unload.
extern "C" int atexit(void (*)(void)) { return -1; }
