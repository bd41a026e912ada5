// Pool allocation for driver objects: `new (NonPagedPoolNx, pool_tag::objects)
// T(...)` allocates T's storage with ExAllocatePoolWithTag and yields null when
// the pool is exhausted. The operator is noexcept, so the compiler checks the
// pointer and skips the constructor when it is null; callers check it too.
//
// Objects made this way derive from pool_object, whose operator delete gives
// the storage back to the pool, so `delete p` is right in both builds: on the
// host the global operator delete belongs to the C++ runtime and must never
// see a pool block. (In the Windows build the global operator delete frees to
// the pool as well; see win_runtime/cxx_runtime.cpp.)
#pragma once

#include <stddef.h>

#include "kernel/kernel_api.h"

inline void* operator new(size_t size, POOL_TYPE pool_type, ULONG tag) noexcept {
  return ExAllocatePoolWithTag(pool_type, size, tag);
}

// Arrays of records without destructors only (no array cookie precedes the
// elements, so the block is the array and ExFreePoolWithTag frees it).
inline void* operator new[](size_t size, POOL_TYPE pool_type, ULONG tag) noexcept {
  return ExAllocatePoolWithTag(pool_type, size, tag);
}

// Called only if a constructor run by the operators above exits with an
// exception, which kernel code never throws; declared so the pair is complete.
inline void operator delete(void* p, POOL_TYPE, ULONG tag) noexcept {
  if (p != nullptr) ExFreePoolWithTag(p, tag);
}

inline void operator delete[](void* p, POOL_TYPE, ULONG tag) noexcept {
  if (p != nullptr) ExFreePoolWithTag(p, tag);
}

// Tag of the operator new that zero-fills the storage before the
// constructor runs (`new (pool, tag, zero_filled) T(...)`), for objects whose
// members not named in a constructor must start as zero.
struct zero_filled_t {};
constexpr zero_filled_t zero_filled{};

// Base of every class whose objects are created with the pool operator new.
// The class-level operators take precedence over the global ones for the
// class and everything derived from it; deleting through a base pointer
// needs a virtual destructor, as always.
class pool_object {
 public:
  static void* operator new(size_t size, POOL_TYPE pool_type, ULONG tag) noexcept {
    return ExAllocatePoolWithTag(pool_type, size, tag);
  }
  static void operator delete(void* p, POOL_TYPE, ULONG tag) noexcept {
    if (p != nullptr) ExFreePoolWithTag(p, tag);
  }
  static void* operator new(size_t size, POOL_TYPE pool_type, ULONG tag, zero_filled_t) noexcept {
    void* p = ExAllocatePoolWithTag(pool_type, size, tag);
    if (p != nullptr) RtlZeroMemory(p, size);
    return p;
  }
  static void operator delete(void* p, POOL_TYPE, ULONG tag, zero_filled_t) noexcept {
    if (p != nullptr) ExFreePoolWithTag(p, tag);
  }
  static void operator delete(void* p) noexcept {
    if (p != nullptr) ExFreePool(p);
  }

  // Objects live in the pool only: no arrays of them, no plain new.
  static void* operator new[](size_t) = delete;
  static void* operator new(size_t) = delete;
};
