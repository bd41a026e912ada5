// Register descriptions: where the features put the GenICam GenApi documents
// that describe them to clients. A document maps a feature's values onto
// 32-bit registers of the virtual register space (register_address), which
// the features answer in named_property_set (the register number is the
// property id).
//
// register_description_sink is what a feature is handed at attach time;
// register_description_store is the camera's list of documents behind it,
// read by the control that lists them to clients. Documents are appended
// while the camera initialises (PASSIVE_LEVEL) and stay unchanged until the
// store is destroyed with the camera; no lock.
#pragma once

#include "kernel/kernel_api.h"
#include "kernel/pool_array.h"

// Virtual register addresses: 0xCEBB0001 in the high 32 bits, the register
// number (the property id in named_property_set) in the low 32 bits.
constexpr ULONGLONG virtual_register_base = 0xCEBB000100000000ull;
constexpr ULONGLONG register_address(ULONG number) { return virtual_register_base | number; }

class register_description_sink {
 public:
  // Copies `length` bytes of `text` (the terminating zero included: the
  // last byte must be 0) into a new pool buffer ("Auvc") and appends it.
  // STATUS_INVALID_PARAMETER for an empty or unterminated text,
  // STATUS_INSUFFICIENT_RESOURCES when the pool has no room (nothing is
  // appended then).
  virtual NTSTATUS append_register_description(const char* text, ULONG length) = 0;

 protected:
  ~register_description_sink() {}
};

class register_description_store : public register_description_sink {
 public:
  register_description_store() : documents_(PagedPool) {}
  ~register_description_store();
  register_description_store(const register_description_store&) = delete;
  register_description_store& operator=(const register_description_store&) = delete;

  NTSTATUS append_register_description(const char* text, ULONG length) override;

  ULONG count() const { return documents_.count(); }
  // Document `index` and its size (terminating zero included); null and 0
  // for an index at or beyond count().
  const char* document(ULONG index, ULONG* size) const;

 private:
  struct document_entry {
    char* text;  // paged pool, "Auvc"; owned
    ULONG size;
  };
  pool_array<document_entry> documents_;
};
