// frame_pool: a fixed set of raw frame buffers in which pooled and chunked
// assembly collect the payloads of one frame, with a free list and at most
// one current (being filled) buffer. The pool owns every buffer from
// allocate to free_all; a buffer handed out by append belongs to the caller
// until give_back.
//
// Locking: the free list is guarded by the pool's own spin lock, because
// give_back runs on the frame worker while append runs in the USB completion
// path. The current buffer is touched only by append and has_current, which
// the camera calls under its assembly spin lock, one context at a time. allocate and free_all run at PASSIVE_LEVEL while no
// buffer is out.
#pragma once

#include "kernel/kernel_api.h"

// Header at the start of every pool block; the data area follows the
// header page.
struct frame_pool_buffer {
  LIST_ENTRY free_link;  // free list; unused while the buffer is out or current
  LIST_ENTRY all_link;   // every buffer of the pool, for free_all
  PUCHAR data;           // data area: header page + block
  ULONG capacity;        // bytes of the data area (the raw frame size)
  ULONG fill;            // bytes collected
  LONGLONG started;      // performance counter when its first bytes were collected
};

class frame_pool {
 public:
  static constexpr ULONG header_page = 4096;

  // Empty pool. Must be called once before any other operation.
  void init();

  // Frees all buffers, then allocates `count` buffers of `frame_size` data
  // bytes. STATUS_NO_MEMORY when one cannot be allocated (the pool is left
  // empty), STATUS_INVALID_PARAMETER for a size of 0 or one that does not fit
  // a block. PASSIVE_LEVEL.
  NTSTATUS allocate(ULONG frame_size, ULONG count);

  // Appends up to `length` bytes to the current buffer, taking one from the
  // free list first when there is none and `length` > 0. When `force` is set
  // or the buffer is full, the current buffer is returned (to the caller's
  // ownership) and the pool has no current buffer; otherwise null. Data that
  // finds no free buffer is lost and `*starved` (when given) is set to true.
  frame_pool_buffer* append(const UCHAR* data, ULONG length, bool force, bool* starved = nullptr);

  bool has_current() const { return current_ != nullptr; }

  // Takes back a buffer returned by append. IRQL <= DISPATCH_LEVEL.
  void give_back(frame_pool_buffer* buffer);

  // Frees every buffer. PASSIVE_LEVEL, with every buffer given back.
  void free_all();

  ULONG free_count();   // buffers on the free list (tests and diagnostics)

 private:
  LIST_ENTRY free_;             // guarded by lock_
  LIST_ENTRY all_;              // changed only by allocate and free_all
  KSPIN_LOCK lock_;
  frame_pool_buffer* current_;  // assembly lock of the camera
};
