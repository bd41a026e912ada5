// What the tests of the kernel stand-in share: counted strings over
// literals, object attributes, time-outs and waits, and a step run at
// DISPATCH_LEVEL.
#pragma once

#include <wdm.h>

namespace pltest {

// A counted string over a literal, which must outlive it.
struct ustring {
  explicit ustring(const wchar_t* text) { RtlInitUnicodeString(&s, text); }
  UNICODE_STRING s;
};

// Attributes of a kernel handle to `name` (case-insensitive), relative to
// `root` when one is given.
inline OBJECT_ATTRIBUTES attributes_of(PUNICODE_STRING name, HANDLE root = nullptr) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root,
                             nullptr);
  return attributes;
}

// A time-out `ms` milliseconds from now, in 100 ns units.
inline LARGE_INTEGER relative_ms(LONGLONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

// Waits on a dispatcher object, for ever without a time-out.
inline NTSTATUS wait_on(PVOID object, PLARGE_INTEGER timeout = nullptr) {
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, timeout);
}

// Waits at most `ms` milliseconds.
inline NTSTATUS wait_ms(PVOID object, LONGLONG ms) {
  LARGE_INTEGER timeout = relative_ms(ms);
  return wait_on(object, &timeout);
}

// Runs `step` at DISPATCH_LEVEL and returns its result.
template <typename F>
auto at_dispatch(F step) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  const auto result = step();
  KeLowerIrql(old);
  return result;
}

}  // namespace pltest
