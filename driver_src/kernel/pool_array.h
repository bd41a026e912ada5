// pool_array<T>: a growable array of plain records in pool memory, for the
// lists a driver object owns (format records, format entries, property
// records). Elements are copied as bytes and never constructed or
// destroyed, so T must be trivially copyable. The array owns its block and
// frees it in its destructor; it is not copyable, and swap() hands a
// finished list over to its owner without copying.
//
// No locking: the owner serialises access. Growing allocates, so it runs
// where the pool type allows (PASSIVE_LEVEL for paged pool).
#pragma once

#include <stddef.h>

#include "kernel/kernel_api.h"
#include "kernel/pool_tags.h"

template <typename T>
class pool_array {
  static_assert(__is_trivially_copyable(T), "pool_array holds plain records only");

 public:
  explicit pool_array(POOL_TYPE pool_type = NonPagedPoolNx, ULONG tag = pool_tag::objects)
      : pool_type_(pool_type), tag_(tag) {}
  ~pool_array() { reset(); }

  pool_array(const pool_array&) = delete;
  pool_array& operator=(const pool_array&) = delete;

  ULONG count() const { return count_; }
  ULONG capacity() const { return capacity_; }
  bool empty() const { return count_ == 0; }

  // Valid until the next call that grows, resets or swaps the array.
  T* data() { return items_; }
  const T* data() const { return items_; }
  T* begin() { return items_; }
  T* end() { return items_ + count_; }
  const T* begin() const { return items_; }
  const T* end() const { return items_ + count_; }

  // The caller keeps `index` below count().
  T& operator[](ULONG index) { return items_[index]; }
  const T& operator[](ULONG index) const { return items_[index]; }

  // Makes room for `capacity` elements in all. STATUS_INSUFFICIENT_RESOURCES
  // when the pool has no block that large, or the size does not fit a
  // ULONG of bytes; the array is unchanged then.
  NTSTATUS reserve(ULONG capacity) {
    if (capacity <= capacity_) return STATUS_SUCCESS;
    if (capacity > max_capacity) return STATUS_INSUFFICIENT_RESOURCES;
    auto* items = static_cast<T*>(ExAllocatePoolWithTag(pool_type_, capacity * sizeof(T), tag_));
    if (items == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (count_ > 0) RtlCopyMemory(items, items_, count_ * sizeof(T));
    if (items_ != nullptr) ExFreePoolWithTag(items_, tag_);
    items_ = items;
    capacity_ = capacity;
    return STATUS_SUCCESS;
  }

  // Appends a copy of `item`, growing by doubling. On failure the array is
  // unchanged.
  NTSTATUS append(const T& item) {
    if (count_ == capacity_) {
      if (capacity_ >= max_capacity) return STATUS_INSUFFICIENT_RESOURCES;
      ULONG grown = capacity_ < initial_capacity ? initial_capacity : capacity_ * 2;
      if (grown > max_capacity) grown = max_capacity;
      const NTSTATUS status = reserve(grown);
      if (!NT_SUCCESS(status)) return status;
    }
    items_[count_++] = item;
    return STATUS_SUCCESS;
  }

  // Forgets the elements and keeps the block.
  void clear() { count_ = 0; }

  // Forgets the elements from `count` on.
  void truncate(ULONG count) {
    if (count < count_) count_ = count;
  }

  // Forgets the elements and frees the block.
  void reset() {
    if (items_ != nullptr) ExFreePoolWithTag(items_, tag_);
    items_ = nullptr;
    count_ = 0;
    capacity_ = 0;
  }

  // Exchanges contents, pool type and tag with `other`.
  void swap(pool_array& other) {
    exchange(items_, other.items_);
    exchange(count_, other.count_);
    exchange(capacity_, other.capacity_);
    exchange(pool_type_, other.pool_type_);
    exchange(tag_, other.tag_);
  }

 private:
  static constexpr ULONG initial_capacity = 8;
  // Keeps capacity * sizeof(T) within a ULONG.
  static constexpr ULONG max_capacity = static_cast<ULONG>(0xFFFFFFFFu / sizeof(T));

  template <typename U>
  static void exchange(U& a, U& b) {
    U t = a;
    a = b;
    b = t;
  }

  T* items_ = nullptr;
  ULONG count_ = 0;
  ULONG capacity_ = 0;
  POOL_TYPE pool_type_;
  ULONG tag_;
};
