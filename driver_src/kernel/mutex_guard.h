// mutex_guard: holds a KMUTEX for a scope (the camera's stream mutex, the
// device context's state mutex). PASSIVE_LEVEL: waiting for a mutex keeps
// the thread at PASSIVE_LEVEL (it only holds off normal kernel APCs), so USB
// and registry requests may be made while it is held; it must never be
// taken on the frame path.
#pragma once

#include "kernel/kernel_api.h"

class mutex_guard {
 public:
  explicit mutex_guard(PKMUTEX mutex) : mutex_(mutex) {
    KeWaitForSingleObject(mutex_, Executive, KernelMode, FALSE, nullptr);
  }
  ~mutex_guard() { KeReleaseMutex(mutex_, FALSE); }
  mutex_guard(const mutex_guard&) = delete;
  mutex_guard& operator=(const mutex_guard&) = delete;

 private:
  PKMUTEX mutex_;
};
