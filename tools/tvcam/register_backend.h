// What the genapi, regs and named-set commands need from a camera: the
// register-description documents the driver lists and its registers, read
// and written by address as a GenICam client does (extension_access_set
// ids 1, 2 and 3). driver_registers.cpp provides them for the driver on
// the kernel stand-in.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace tvcam {

// Virtual registers of the driver's features: 0xCEBB0001 in the high half.
constexpr uint64_t kVirtualRegisterBase = 0xCEBB000100000000ull;
constexpr uint32_t kNamedSetSelected = 0x11;  // the selected named set's index
constexpr uint32_t kNamedSetLoad = 0x12;      // write: load the selected set

class register_access {
 public:
  virtual ~register_access() = default;
  // The documents in index order, each without its terminating zero.
  // `*status` is the NTSTATUS of the first request that failed (the one
  // past the last document, or the first when there is none).
  virtual std::vector<std::string> documents(int32_t* status) = 0;
  // NTSTATUS of a read of `size` bytes at `address`; `*returned` the bytes
  // the driver returned.
  virtual int32_t read(uint64_t address, void* data, uint32_t size, uint32_t* returned) = 0;
  virtual int32_t write(uint64_t address, const void* data, uint32_t size) = 0;
};

// The "ModelName" attribute of a register description; empty when none.
std::string document_model_name(const std::string& document);

}  // namespace tvcam
