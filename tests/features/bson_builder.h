// BSON documents for tests, written element by element:
//   bson_doc().str("name", "Neutral").i64("version", 2).doc("properties", ...)
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace featuretest {

class bson_doc {
 public:
  bson_doc& str(const std::string& key, const std::string& value) {
    head(0x02, key);
    put32(uint32_t(value.size() + 1));
    body_.insert(body_.end(), value.begin(), value.end());
    body_.push_back(0);
    return *this;
  }
  bson_doc& i64(const std::string& key, int64_t value) {
    head(0x12, key);
    for (int i = 0; i < 8; ++i) body_.push_back(uint8_t(uint64_t(value) >> (8 * i)));
    return *this;
  }
  bson_doc& i32(const std::string& key, int32_t value) {
    head(0x10, key);
    put32(uint32_t(value));
    return *this;
  }
  bson_doc& boolean(const std::string& key, bool value) {
    head(0x08, key);
    body_.push_back(value ? 1 : 0);
    return *this;
  }
  bson_doc& object_id(const std::string& key) {
    head(0x07, key);
    for (int i = 0; i < 12; ++i) body_.push_back(uint8_t(0xA0 + i));
    return *this;
  }
  bson_doc& binary(const std::string& key, size_t size) {
    head(0x05, key);
    put32(uint32_t(size));
    body_.push_back(0);
    body_.insert(body_.end(), size, 0x5A);
    return *this;
  }
  bson_doc& doc(const std::string& key, const bson_doc& inner) { return nested(0x03, key, inner); }
  bson_doc& array(const std::string& key, const std::vector<bson_doc>& items) {
    bson_doc a;
    for (size_t i = 0; i < items.size(); ++i) a.doc(std::to_string(i), items[i]);
    return nested(0x04, key, a);
  }
  bson_doc& strings(const std::string& key, const std::vector<std::string>& items) {
    bson_doc a;
    for (size_t i = 0; i < items.size(); ++i) a.str(std::to_string(i), items[i]);
    return nested(0x04, key, a);
  }

  std::vector<uint8_t> bytes() const {
    // Sized once: the length, the body, the terminating zero.
    std::vector<uint8_t> b(body_.size() + 5, 0);
    const uint32_t size = uint32_t(b.size());
    for (int i = 0; i < 4; ++i) b[size_t(i)] = uint8_t(size >> (8 * i));
    std::copy(body_.begin(), body_.end(), b.begin() + 4);
    return b;
  }
  size_t size() const { return body_.size() + 5; }

 private:
  void head(uint8_t type, const std::string& key) {
    body_.push_back(type);
    body_.insert(body_.end(), key.begin(), key.end());
    body_.push_back(0);
  }
  void put32(uint32_t v) {
    for (int i = 0; i < 4; ++i) body_.push_back(uint8_t(v >> (8 * i)));
  }
  bson_doc& nested(uint8_t type, const std::string& key, const bson_doc& inner) {
    head(type, key);
    const std::vector<uint8_t> b = inner.bytes();
    body_.insert(body_.end(), b.begin(), b.end());
    return *this;
  }

  std::vector<uint8_t> body_;
};

// One set: name, version, seqnum, identifiers, properties.
inline bson_doc named_set(const std::string& name, int64_t version, int64_t seqnum,
                          const std::vector<std::string>& products, const bson_doc& properties) {
  return bson_doc().str("name", name).i64("version", version).i64("seqnum", seqnum)
      .strings("usb_device_identifiers", products).doc("properties", properties);
}

inline std::vector<uint8_t> sets_document(const std::vector<bson_doc>& sets) {
  return bson_doc().array("property_sets", sets).bytes();
}

}  // namespace featuretest
