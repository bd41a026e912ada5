// Defective pixels of a simulated sensor, and the forms in which the
// cameras store their list for the driver.
//
// A defect is one sensor pixel whose signal does not follow the light: a
// hot pixel reads as if it had collected twice the full well (full scale),
// a warm one collects 30 % of the full well more than its light gives, a
// dead one collects nothing (it reads the black level and the read noise).
// The sensor model applies them to the sites it reads, before binning.
//
// Stores (little-endian):
//   EEPROM (0x82xx, 0x83xx): in the window [start, end) a 4-byte header in
//     its last 4 bytes (1, 0, 0xFF, 0x00); below it records, each a 4-byte
//     header (16-bit id, 16-bit length n) with its n bytes directly below;
//     an id of 0 ends the list. Record 11 holds the compressed list, record
//     10 the raw one.
//   camera memory (0x84xx): from the window's start a 4-byte header
//     (1, 0, 0xFF, 0x00), records (16-bit id, 16-bit length n, n bytes) one
//     after the other, and the end mark 0xFFFFFFFF. Record 2 holds the
//     compressed list, record 1 the raw one.
//   Raw: 4 bytes per defect, x in the low 16 bits, y in the high 16.
//   Compressed: a 32-bit count, then per defect in ascending (y, x) order
//     the linear distance from the one before (starting at (0, 0)),
//     (y - y') x width - x' + x, as one 16-bit word below 65535, else the
//     word 0xFFFF and the high and low 16 bits.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

enum class defect_kind : uint8_t { none = 0, hot = 1, warm = 2, dead = 3 };

struct sensor_defect {
  uint32_t x = 0, y = 0;
  defect_kind kind = defect_kind::hot;
  bool operator==(const sensor_defect& o) const { return x == o.x && y == o.y && kind == o.kind; }
};

// The electron rate a site of `kind` shows instead of `rate`, for an
// exposure of `exposure_s` seconds.
double defect_rate(double rate, uint8_t kind, double full_well, double exposure_s);

// `count` defects at positions drawn from `seed`, hot, warm and dead in
// turn, at least 8 pixels from every edge and far enough apart (8 columns
// on the same or the next two lines) that no defect is among the
// same-colour line neighbours of another. Sorted by (y, x).
std::vector<sensor_defect> seeded_defects(uint32_t width, uint32_t height, unsigned count, uint32_t seed);

// The defects as 32-bit entries (x low, y high), in the same order.
std::vector<uint32_t> defect_entries(const std::vector<sensor_defect>& defects);

std::vector<uint8_t> raw_defect_list(const std::vector<uint32_t>& entries);
std::vector<uint8_t> compressed_defect_list(std::vector<uint32_t> entries, uint32_t width);

// The whole store, ready to be written at the window's start (EEPROM: the
// bytes of [start, end); camera memory: from start to the end mark).
std::vector<uint8_t> eeprom_defect_store(const std::vector<uint32_t>& entries, uint32_t width, uint32_t start,
                                         uint32_t end, bool compressed);
std::vector<uint8_t> memory_defect_store(const std::vector<uint32_t>& entries, uint32_t width, bool compressed);

}  // namespace sim
