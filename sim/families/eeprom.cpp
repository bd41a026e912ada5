// The serial EEPROM behind vendor requests 0x02 and 0x03 (eeprom.h).
#include "eeprom.h"

#include <algorithm>

namespace sim {
namespace {

constexpr uint8_t kRequestTransfer = 0x02;   // IN: read, OUT: write
constexpr uint8_t kRequestAddress = 0x03;    // OUT: read address
constexpr uint16_t kIndexRead = 0x00A0;      // the part's read address on its bus
constexpr uint16_t kIndexWrite = 0x00A1;     // its write address
constexpr size_t kAddressBytes = 2;          // most significant byte first
constexpr uint16_t kMaxRead = 64;
constexpr size_t kMaxWrite = 16;

uint32_t address_of(const std::vector<uint8_t>& data) { return (uint32_t)data[0] << 8 | data[1]; }

}  // namespace

serial_eeprom::serial_eeprom(uint32_t size) : bytes_(size, 0xFF) {}

void serial_eeprom::attach(usb_device& device) {
  device.set_vendor_handler(kRequestAddress, [this](const setup_packet& setup, std::vector<uint8_t>& data) {
    return set_address(setup, data);
  });
  device.set_vendor_handler(kRequestTransfer, [this](const setup_packet& setup, std::vector<uint8_t>& data) {
    return transfer(setup, data);
  });
}

std::vector<uint8_t> serial_eeprom::read(uint32_t address, uint32_t length) const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<uint8_t> out(length, 0xFF);
  for (uint32_t i = 0; i < length && (uint64_t)address + i < bytes_.size(); ++i) out[i] = bytes_[address + i];
  return out;
}

void serial_eeprom::write(uint32_t address, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> guard(lock_);
  for (size_t i = 0; i < bytes.size() && (uint64_t)address + i < bytes_.size(); ++i) bytes_[address + i] = bytes[i];
}

void serial_eeprom::corrupt_reads(unsigned count) {
  std::lock_guard<std::mutex> guard(lock_);
  corrupt_reads_ = count;
}

unsigned serial_eeprom::host_writes() const {
  std::lock_guard<std::mutex> guard(lock_);
  return host_writes_;
}

USBD_STATUS serial_eeprom::set_address(const setup_packet& setup, const std::vector<uint8_t>& data) {
  if (setup.is_in() || setup.recipient() != kRecipientDevice || setup.index != kIndexWrite ||
      data.size() != kAddressBytes) {
    return USBD_STATUS_STALL_PID;
  }
  std::lock_guard<std::mutex> guard(lock_);
  const uint32_t address = address_of(data);
  if (address >= bytes_.size()) return USBD_STATUS_STALL_PID;
  read_address_ = address;
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS serial_eeprom::transfer(const setup_packet& setup, std::vector<uint8_t>& data) {
  if (setup.recipient() != kRecipientDevice) return USBD_STATUS_STALL_PID;
  std::lock_guard<std::mutex> guard(lock_);
  if (setup.is_in()) {
    if (setup.index != kIndexRead || setup.length == 0 || setup.length > kMaxRead) return USBD_STATUS_STALL_PID;
    const uint32_t n = (uint32_t)std::min<size_t>(setup.length, bytes_.size() - read_address_);
    data.assign(bytes_.begin() + read_address_, bytes_.begin() + read_address_ + n);
    read_address_ += n;
    if (corrupt_reads_ > 0 && !data.empty()) {
      --corrupt_reads_;
      data[data.size() / 2] ^= 0xFF;
    }
    return USBD_STATUS_SUCCESS;
  }
  if (setup.index != kIndexWrite || data.size() <= kAddressBytes || data.size() > kAddressBytes + kMaxWrite) {
    return USBD_STATUS_STALL_PID;
  }
  const uint32_t address = address_of(data);
  const size_t n = data.size() - kAddressBytes;
  if ((uint64_t)address + n > bytes_.size()) return USBD_STATUS_STALL_PID;
  std::copy(data.begin() + kAddressBytes, data.end(), bytes_.begin() + address);
  ++host_writes_;
  return USBD_STATUS_SUCCESS;
}

}  // namespace sim
