// frame_pool: raw frame buffers of pooled and chunked assembly; see
// frame_pool.h for ownership and locking.
#include "uvc/frame_pool.h"

#include "kernel/pool_tags.h"

void frame_pool::init() {
  InitializeListHead(&free_);
  InitializeListHead(&all_);
  KeInitializeSpinLock(&lock_);
  current_ = nullptr;
}

NTSTATUS frame_pool::allocate(ULONG frame_size, ULONG count) {
  free_all();
  if (frame_size == 0 || frame_size > MAXULONG - header_page) {
    return STATUS_INVALID_PARAMETER;
  }
  for (ULONG i = 0; i < count; ++i) {
    PUCHAR block = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPoolNx, SIZE_T(frame_size) + header_page, pool_tag::objects));
    if (block == nullptr) {
      free_all();
      return STATUS_NO_MEMORY;
    }
    frame_pool_buffer* buffer = reinterpret_cast<frame_pool_buffer*>(block);
    buffer->data = block + header_page;
    buffer->capacity = frame_size;
    buffer->fill = 0;
    InsertTailList(&all_, &buffer->all_link);
    ExInterlockedInsertTailList(&free_, &buffer->free_link, &lock_);
  }
  return STATUS_SUCCESS;
}

frame_pool_buffer* frame_pool::append(const UCHAR* data, ULONG length, bool force, bool* starved) {
  if (current_ == nullptr && length > 0) {
    PLIST_ENTRY entry = ExInterlockedRemoveHeadList(&free_, &lock_);
    if (entry == nullptr) {
      if (starved != nullptr) *starved = true;
      return nullptr;
    }
    current_ = CONTAINING_RECORD(entry, frame_pool_buffer, free_link);
    current_->fill = 0;
    current_->started = KeQueryPerformanceCounter(nullptr).QuadPart;
  }
  frame_pool_buffer* buffer = current_;
  if (buffer == nullptr) {
    return nullptr;
  }
  ULONG room = buffer->capacity - buffer->fill;
  ULONG copy = length < room ? length : room;
  if (copy > 0) {
    RtlCopyMemory(buffer->data + buffer->fill, data, copy);
    buffer->fill += copy;
  }
  if (force || buffer->fill >= buffer->capacity) {
    current_ = nullptr;
    return buffer;
  }
  return nullptr;
}

void frame_pool::give_back(frame_pool_buffer* buffer) {
  if (buffer == nullptr) {
    return;
  }
  buffer->fill = 0;
  ExInterlockedInsertTailList(&free_, &buffer->free_link, &lock_);
}

void frame_pool::free_all() {
  InitializeListHead(&free_);
  current_ = nullptr;
  while (!IsListEmpty(&all_)) {
    PLIST_ENTRY entry = RemoveHeadList(&all_);
    ExFreePoolWithTag(CONTAINING_RECORD(entry, frame_pool_buffer, all_link), pool_tag::objects);
  }
}

ULONG frame_pool::free_count() {
  ULONG count = 0;
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  for (PLIST_ENTRY e = free_.Flink; e != &free_; e = e->Flink) ++count;
  KeReleaseSpinLock(&lock_, irql);
  return count;
}
