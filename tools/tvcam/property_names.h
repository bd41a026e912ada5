// Names of the filter's properties for people: the property sets by a
// short name (vpa, cc, ext, feature, driver, reg), the standard properties by
// their kernel-streaming names in lower case (brightness, exposure, ...),
// the driver's own by names of their own (docs/tvcam.md lists them), and
// any property as SET:ID. Depends on nothing but the standard library.
#pragma once

#include <stdint.h>

#include <string>

namespace tvcam {

// A property set's GUID in its structured form.
struct set_guid {
  uint32_t data1;
  uint16_t data2, data3;
  uint8_t data4[8];
};
bool operator==(const set_guid& a, const set_guid& b);

struct property_key {
  set_guid set;
  uint32_t id;
};
bool operator==(const property_key& a, const property_key& b);

// The sets tvcam names.
extern const set_guid kVideoProcAmpSet;    // vpa: PROPSETID_VIDCAP_VIDEOPROCAMP
extern const set_guid kCameraControlSet;   // cc: PROPSETID_VIDCAP_CAMERACONTROL
extern const set_guid kCameraExtensionSet; // ext: the driver's own controls
extern const set_guid kCameraFeatureSet;   // feature: the driver's camera features
extern const set_guid kDriverPropertySet;  // driver: the driver's options
extern const set_guid kRegisterSet;        // reg: the image features' virtual registers

// "{C6E13360-30AC-11D0-A18C-00A0C9118956}".
std::string guid_text(const set_guid& guid);
// The short name of a named set, else guid_text.
std::string set_name(const set_guid& set);
// The property's name ("brightness", "flip_x"), or SET:ID ("ext:255") for
// one without a name.
std::string property_name(const property_key& key);
// Parses a name, or SET:ID with SET a short set name or a GUID in braces
// and ID decimal or 0x hexadecimal. Names are matched without regard to
// case. False with a message for anything else.
bool parse_property_name(const std::string& text, property_key* key, std::string* error);

// Properties that can be read but never written, whatever the driver's
// support answer says (the camera's firmware revision).
bool is_read_only_property(const property_key& key);

}  // namespace tvcam
