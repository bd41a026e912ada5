// The serial EEPROM of the older raw-sensor cameras (the 0x82xx models), as
// its host sees it through three vendor requests to the device (value 0):
//
//   OUT 0x03, index 0x00A1, 2 bytes: the read address, most significant
//       byte first (any other length stalls)
//   IN  0x02, index 0x00A0, 1 to 64 bytes: bytes from the read address on;
//       the address moves on by what was read. A read reaching the end of
//       the memory returns what is left, so a read at the end returns 0
//       bytes; more than 64 bytes stall
//   OUT 0x02, index 0x00A1, 3 to 18 bytes: the write address (most
//       significant byte first) and 1 to 16 bytes to write there; a write
//       beyond the end stalls. The bytes land at once and whole (no page
//       wrap, no write cycle to wait for)
//
// Any other index or direction stalls. The memory starts erased (0xFF).
// Tests and later models fill it directly (write) and may spoil the next
// reads (corrupt_reads), as a marginal part or bus would. Every member may
// be called from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "sim/usb_device.h"

namespace sim {

class serial_eeprom {
 public:
  explicit serial_eeprom(uint32_t size);

  // Registers the vendor requests 0x02 and 0x03 with the device.
  void attach(usb_device& device);

  uint32_t size() const { return (uint32_t)bytes_.size(); }
  // Bytes [address, address + length); erased (0xFF) past the end.
  std::vector<uint8_t> read(uint32_t address, uint32_t length) const;
  // Writes what fits below the end.
  void write(uint32_t address, const std::vector<uint8_t>& bytes);
  // The next `count` host reads return their data with one byte inverted.
  void corrupt_reads(unsigned count);
  // Host writes so far (OUT 0x02 requests that landed).
  unsigned host_writes() const;

  // The vendor request handlers (for attach).
  USBD_STATUS set_address(const setup_packet& setup, const std::vector<uint8_t>& data);
  USBD_STATUS transfer(const setup_packet& setup, std::vector<uint8_t>& data);

 private:
  mutable std::mutex lock_;
  std::vector<uint8_t> bytes_;
  uint32_t read_address_ = 0;
  unsigned corrupt_reads_ = 0;
  unsigned host_writes_ = 0;
};

}  // namespace sim
