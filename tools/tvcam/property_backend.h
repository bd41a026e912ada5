// What the props, get and set commands need from a camera: the filter's
// properties that carry one number, read and written as a kernel-streaming
// client does. driver_properties.cpp provides them for the driver on the
// kernel stand-in; tests may hand the commands another implementation.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "property_names.h"

namespace tvcam {

// How a property's value travels.
enum class property_record {
  standard,  // KSPROPERTY_VIDEOPROCAMP_S / KSPROPERTY_CAMERACONTROL_S: value, flags, capabilities
  scalar,    // the driver's 48-byte record: value, flags, capabilities, minimum, maximum, default
  word,      // a bare 32-bit value (driver properties)
};

// The KSPROPERTY_VIDEOPROCAMP_FLAGS_* / _CAMERACONTROL_FLAGS_* bits.
constexpr uint32_t kFlagAuto = 0x1;
constexpr uint32_t kFlagManual = 0x2;

// One property as the driver answered it.
struct property_value {
  property_key key;
  property_record record = property_record::standard;
  int32_t value = 0;
  uint32_t flags = 0;         // current mode (kFlag*)
  uint32_t capabilities = 0;  // modes it offers (kFlag*)
  bool has_range = false;     // min, max, step and default are known
  int32_t min = 0, max = 0, step = 0, def = 0;
  bool can_get = true;
  bool can_set = false;
};

// The outcome of a request: `status` is the driver's NTSTATUS.
struct property_result {
  bool ok = false;
  bool absent = false;  // the filter has no such property, or the camera has no control behind it
  bool no_value = false;  // the property exists but its record holds no single number
  uint32_t status = 0;
  std::string error;    // what went wrong, for a message
};

class property_access {
 public:
  virtual ~property_access() = default;
  // Every property of the filter that answers a get with one number, in
  // the filter's order of sets and items.
  virtual std::vector<property_value> list() = 0;
  // One property's value, range, flags and access.
  virtual property_result read(const property_key& key, property_value* value) = 0;
  // Sets value and flags (kFlag*) through the property's record.
  virtual property_result write(const property_value& property, int32_t value, uint32_t flags) = 0;
  // A property's bytes as they are: a get into `data` (its size is the
  // buffer offered; cut to what the driver returned) or a set of `data`.
  virtual property_result get_bytes(const property_key& key, std::vector<uint8_t>* data) {
    property_result r;
    r.absent = true;
    r.error = "no raw property access";
    return r;
  }
  virtual property_result set_bytes(const property_key& key, const std::vector<uint8_t>& data) {
    property_result r;
    r.absent = true;
    r.error = "no raw property access";
    return r;
  }
};

}  // namespace tvcam
