// Little-endian accessors and a bounded descriptor walker for the
// simulator's own parsing of descriptor bytes (which may come from files of
// real devices and may be malformed).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

inline uint16_t le16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }
inline uint32_t le32(const uint8_t* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
inline void put_le16(uint8_t* p, uint16_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
}
inline void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = (uint8_t)(v >> (8 * i));
}
inline void append_le16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back((uint8_t)v);
  out.push_back((uint8_t)(v >> 8));
}
inline void append_le32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back((uint8_t)(v >> (8 * i)));
}

// Descriptor offsets shared by the parsers.
constexpr size_t kDescLength = 0;      // bLength
constexpr size_t kDescType = 1;        // bDescriptorType
constexpr size_t kDescSubtype = 2;     // bDescriptorSubtype of class-specific descriptors
constexpr size_t kConfigTotalLength = 2;   // wTotalLength
constexpr size_t kConfigNumInterfaces = 4;
constexpr size_t kConfigValue = 5;
constexpr size_t kIfNumber = 2;
constexpr size_t kIfAlternate = 3;
constexpr size_t kIfNumEndpoints = 4;
constexpr size_t kIfClass = 5;
constexpr size_t kIfSubClass = 6;
constexpr size_t kIfProtocol = 7;
constexpr size_t kEpAddress = 2;
constexpr size_t kEpAttributes = 3;
constexpr size_t kEpMaxPacket = 4;
constexpr size_t kEpInterval = 6;
constexpr size_t kDevVendor = 8;
// wMaxPacketSize: bits 0-10 bytes per transaction, bits 11-12 additional
// transactions per microframe (high-bandwidth endpoints).
constexpr uint16_t kMaxPacketSizeMask = 0x07FF;
inline unsigned additional_transactions(uint16_t w_max_packet_size) { return (w_max_packet_size >> 11) & 3; }
constexpr size_t kDevProduct = 10;

// Visits each complete descriptor of `bytes` in order; stops at a bLength
// below 2 or a descriptor that would run past the end.
template <typename Visit>
void for_each_descriptor(const std::vector<uint8_t>& bytes, Visit visit) {
  size_t at = 0;
  while (at + 2 <= bytes.size()) {
    const uint8_t length = bytes[at + kDescLength];
    if (length < 2 || at + length > bytes.size()) return;
    visit(&bytes[at], (size_t)length);
    at += length;
  }
}

}  // namespace sim
