// Defective pixels and their stored forms (sensor_defects.h).
#include "sensor_defects.h"

#include <mutex>

#include "sensor_model.h"

#include <algorithm>
#include <cstdlib>

namespace sim {
namespace {

constexpr uint32_t kEdge = 8;
constexpr uint32_t kApartColumns = 8;
constexpr uint32_t kApartLines = 2;

void put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back((uint8_t)v);
  out.push_back((uint8_t)(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

uint64_t next(uint64_t& state) {
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

}  // namespace

double defect_rate(double rate, uint8_t kind, double full_well, double exposure_s) {
  switch ((defect_kind)kind) {
    case defect_kind::hot:
      return 2 * full_well / exposure_s;
    case defect_kind::warm:
      return rate + 0.3 * full_well / exposure_s;
    case defect_kind::dead:
      return 0;
    default:
      return rate;
  }
}

void sensor_model::set_defects(std::vector<sensor_defect> defects) {
  auto map = std::make_shared<std::vector<uint8_t>>((size_t)config_.width * config_.height, 0);
  for (const sensor_defect& d : defects) {
    if (d.x < config_.width && d.y < config_.height) (*map)[(size_t)d.y * config_.width + d.x] = (uint8_t)d.kind;
  }
  std::lock_guard<std::mutex> guard(lock_);
  defects_ = std::move(defects);
  defect_map_ = defects_.empty() ? nullptr : std::move(map);
}

std::vector<sensor_defect> sensor_model::defects() const {
  std::lock_guard<std::mutex> guard(lock_);
  return defects_;
}

std::vector<sensor_defect> seeded_defects(uint32_t width, uint32_t height, unsigned count, uint32_t seed) {
  std::vector<sensor_defect> out;
  if (width <= 2 * kEdge || height <= 2 * kEdge) return out;
  uint64_t state = 0x9E3779B97F4A7C15ull ^ ((uint64_t)seed << 1 | 1);
  const defect_kind kinds[3] = {defect_kind::hot, defect_kind::warm, defect_kind::dead};
  for (unsigned attempts = 0; out.size() < count && attempts < count * 1000u; ++attempts) {
    sensor_defect d;
    d.x = kEdge + (uint32_t)(next(state) % (width - 2 * kEdge));
    d.y = kEdge + (uint32_t)(next(state) % (height - 2 * kEdge));
    d.kind = kinds[out.size() % 3];
    const bool crowded = std::any_of(out.begin(), out.end(), [&](const sensor_defect& o) {
      return (uint32_t)std::abs((int)o.x - (int)d.x) <= kApartColumns &&
             (uint32_t)std::abs((int)o.y - (int)d.y) <= kApartLines;
    });
    if (!crowded) out.push_back(d);
  }
  std::sort(out.begin(), out.end(), [](const sensor_defect& a, const sensor_defect& b) {
    return a.y != b.y ? a.y < b.y : a.x < b.x;
  });
  return out;
}

std::vector<uint32_t> defect_entries(const std::vector<sensor_defect>& defects) {
  std::vector<uint32_t> out;
  for (const sensor_defect& d : defects) out.push_back((d.x & 0xFFFF) | d.y << 16);
  return out;
}

std::vector<uint8_t> raw_defect_list(const std::vector<uint32_t>& entries) {
  std::vector<uint8_t> out;
  for (uint32_t e : entries) put32(out, e);
  return out;
}

std::vector<uint8_t> compressed_defect_list(std::vector<uint32_t> entries, uint32_t width) {
  std::sort(entries.begin(), entries.end());  // (y, x) order: y is the high half
  std::vector<uint8_t> out;
  put32(out, (uint32_t)entries.size());
  uint32_t px = 0, py = 0;
  for (uint32_t e : entries) {
    const uint32_t x = e & 0xFFFF, y = e >> 16;
    const uint32_t d = (y - py) * width - px + x;
    if (d < 0xFFFF) {
      put16(out, d);
    } else {
      put16(out, 0xFFFF);
      put16(out, d >> 16);
      put16(out, d & 0xFFFF);
    }
    px = x;
    py = y;
  }
  return out;
}

std::vector<uint8_t> eeprom_defect_store(const std::vector<uint32_t>& entries, uint32_t width, uint32_t start,
                                         uint32_t end, bool compressed) {
  std::vector<uint8_t> window(end - start, 0xFF);
  const std::vector<uint8_t> data = compressed ? compressed_defect_list(entries, width) : raw_defect_list(entries);
  const uint16_t id = compressed ? 11 : 10;
  size_t top = window.size() - 4;
  const uint8_t header[4] = {1, 0, 0xFF, 0x00};
  std::copy(header, header + 4, window.begin() + (ptrdiff_t)top);
  top -= 4;
  std::vector<uint8_t> record;
  put16(record, id);
  put16(record, (uint32_t)data.size());
  std::copy(record.begin(), record.end(), window.begin() + (ptrdiff_t)top);
  top -= data.size();
  std::copy(data.begin(), data.end(), window.begin() + (ptrdiff_t)top);
  if (top >= 4) std::fill(window.begin() + (ptrdiff_t)top - 4, window.begin() + (ptrdiff_t)top, 0);  // end: id 0
  return window;
}

std::vector<uint8_t> memory_defect_store(const std::vector<uint32_t>& entries, uint32_t width, bool compressed) {
  const std::vector<uint8_t> data = compressed ? compressed_defect_list(entries, width) : raw_defect_list(entries);
  std::vector<uint8_t> out = {1, 0, 0xFF, 0x00};
  put16(out, compressed ? 2 : 1);
  put16(out, (uint32_t)data.size());
  out.insert(out.end(), data.begin(), data.end());
  put32(out, 0xFFFFFFFF);
  return out;
}

}  // namespace sim
