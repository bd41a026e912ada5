// The property name tables (see property_names.h).
#include "property_names.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

namespace tvcam {

const set_guid kVideoProcAmpSet = {0xC6E13360, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
const set_guid kCameraControlSet = {0xC6E13370, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
const set_guid kCameraExtensionSet = {0x515E97D1, 0xC453, 0x4772, {0xA4, 0x89, 0xCC, 0x07, 0x0A, 0x5A, 0x24, 0x42}};
const set_guid kCameraFeatureSet = {0x8CBCF1C6, 0x53C3, 0x4D79, {0x8E, 0xDB, 0xC0, 0x64, 0x65, 0x75, 0xDA, 0xC8}};
const set_guid kDriverPropertySet = {0x4CB0D141, 0x9C2C, 0x49E5, {0x90, 0x05, 0xD7, 0xC0, 0x38, 0x2F, 0xD9, 0xD2}};
const set_guid kRegisterSet = {0x720550CB, 0x806E, 0x44EB, {0xB9, 0xEE, 0x5B, 0x02, 0xB5, 0xCB, 0xCC, 0x3D}};

namespace {

struct named_set {
  const char* name;
  const set_guid* guid;
};
const named_set kSets[] = {
    {"vpa", &kVideoProcAmpSet},   {"cc", &kCameraControlSet},    {"ext", &kCameraExtensionSet},
    {"feature", &kCameraFeatureSet}, {"driver", &kDriverPropertySet}, {"reg", &kRegisterSet},
};

struct named_property {
  const set_guid* set;
  uint32_t id;
  const char* name;
};
// Standard sets: the kernel-streaming names (KSPROPERTY_VIDEOPROCAMP_*,
// KSPROPERTY_CAMERACONTROL_*) in lower case. The driver's sets: what the
// property does.
const named_property kNames[] = {
    {&kVideoProcAmpSet, 0, "brightness"},
    {&kVideoProcAmpSet, 1, "contrast"},
    {&kVideoProcAmpSet, 2, "hue"},
    {&kVideoProcAmpSet, 3, "saturation"},
    {&kVideoProcAmpSet, 4, "sharpness"},
    {&kVideoProcAmpSet, 5, "gamma"},
    {&kVideoProcAmpSet, 6, "color_enable"},
    {&kVideoProcAmpSet, 7, "white_balance"},
    {&kVideoProcAmpSet, 8, "backlight_compensation"},
    {&kVideoProcAmpSet, 9, "gain"},
    {&kVideoProcAmpSet, 10, "digital_multiplier"},
    {&kVideoProcAmpSet, 11, "digital_multiplier_limit"},
    {&kVideoProcAmpSet, 12, "white_balance_component"},
    {&kVideoProcAmpSet, 13, "power_line_frequency"},
    {&kCameraControlSet, 0, "pan"},
    {&kCameraControlSet, 1, "tilt"},
    {&kCameraControlSet, 2, "roll"},
    {&kCameraControlSet, 3, "zoom"},
    {&kCameraControlSet, 4, "exposure"},
    {&kCameraControlSet, 5, "iris"},
    {&kCameraControlSet, 6, "focus"},
    {&kCameraControlSet, 7, "scan_mode"},
    {&kCameraControlSet, 8, "privacy"},
    {&kCameraControlSet, 9, "pan_tilt"},
    {&kCameraControlSet, 10, "pan_relative"},
    {&kCameraControlSet, 11, "tilt_relative"},
    {&kCameraControlSet, 12, "roll_relative"},
    {&kCameraControlSet, 13, "zoom_relative"},
    {&kCameraControlSet, 14, "exposure_relative"},
    {&kCameraControlSet, 15, "iris_relative"},
    {&kCameraControlSet, 16, "focus_relative"},
    {&kCameraControlSet, 17, "pan_tilt_relative"},
    {&kCameraControlSet, 18, "focal_length"},
    {&kCameraExtensionSet, 101, "white_balance_blue"},
    {&kCameraExtensionSet, 102, "white_balance_red"},
    {&kCameraExtensionSet, 106, "exposure_auto_reference"},
    {&kCameraExtensionSet, 107, "one_push"},
    {&kCameraExtensionSet, 109, "exposure_time"},  // 100 us
    {&kCameraExtensionSet, 115, "trigger"},
    {&kCameraExtensionSet, 118, "offset_x"},
    {&kCameraExtensionSet, 119, "offset_y"},
    {&kCameraExtensionSet, 122, "pair_register"},
    {&kCameraExtensionSet, 124, "one_push_focus"},
    {&kCameraExtensionSet, 125, "strobe"},
    {&kCameraExtensionSet, 200, "exposure_seconds"},
    {&kCameraExtensionSet, 201, "exposure_auto_max"},
    {&kCameraExtensionSet, 202, "exposure_auto_max_auto"},
    {&kCameraExtensionSet, 203, "strobe_delay"},
    {&kCameraExtensionSet, 204, "strobe_duration"},
    {&kCameraExtensionSet, 205, "strobe_mode"},
    {&kCameraExtensionSet, 206, "white_balance_green"},
    {&kCameraExtensionSet, 211, "auto_centre"},
    {&kCameraExtensionSet, 212, "binning"},
    {&kCameraExtensionSet, 213, "software_trigger"},
    {&kCameraExtensionSet, 238, "trigger_delay"},
    {&kCameraExtensionSet, 239, "exposure_us"},
    {&kCameraExtensionSet, 240, "exposure_auto_max_us"},
    {&kCameraExtensionSet, 241, "sensor_gain"},
    {&kCameraExtensionSet, 246, "exposure_auto_max_seconds"},
    {&kCameraExtensionSet, 247, "focus_top"},
    {&kCameraExtensionSet, 248, "focus_left"},
    {&kCameraExtensionSet, 249, "focus_bottom"},
    {&kCameraExtensionSet, 250, "focus_right"},
    {&kCameraExtensionSet, 251, "focus_region"},
    {&kCameraExtensionSet, 0x100004, "flip_x"},
    {&kCameraExtensionSet, 0x100005, "flip_y"},
    {&kDriverPropertySet, 1, "show_overlay"},
    {&kDriverPropertySet, 2, "drop_incomplete_frames"},
    {&kDriverPropertySet, 4, "firmware_revision"},
    {&kDriverPropertySet, 18, "force_clear_buffers"},
    {&kDriverPropertySet, 14, "bayer_pattern"},
    {&kDriverPropertySet, 16, "empia_pattern_fix"},
    {&kDriverPropertySet, 26, "cpu_level"},
    // The image features' virtual registers (32-bit integers; the tone
    // mapping's floats are left to reg:ID).
    {&kRegisterSet, 0x01, "denoise"},
    {&kRegisterSet, 0x02, "wb_temperature"},
    {&kRegisterSet, 0x03, "wb_auto"},
    {&kRegisterSet, 0x04, "wb_one_push"},
    {&kRegisterSet, 0x05, "wb_auto_preset"},
    {&kRegisterSet, 0x06, "wb_red"},
    {&kRegisterSet, 0x07, "wb_green"},
    {&kRegisterSet, 0x08, "wb_blue"},
    {&kRegisterSet, 0x09, "wb_mode"},
    {&kRegisterSet, 0x0A, "highlight_reduction"},
    {&kRegisterSet, 0x11, "named_set"},
    {&kRegisterSet, 0x12, "named_set_load"},
    {&kRegisterSet, 0x20, "tonemapping"},
    {&kRegisterSet, 0x2C, "tonemapping_auto"},
    {&kRegisterSet, 0x80, "sensor_wdr"},
};

const property_key kReadOnly[] = {{kDriverPropertySet, 4}};

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses exactly `digits` hexadecimal digits at *p; advances *p.
bool hex_field(const char** p, int digits, uint32_t* value) {
  uint32_t v = 0;
  for (int i = 0; i < digits; ++i) {
    const int d = hex_digit((*p)[i]);
    if (d < 0) return false;
    v = v << 4 | static_cast<uint32_t>(d);
  }
  *p += digits;
  *value = v;
  return true;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
bool parse_guid(const std::string& text, set_guid* guid) {
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
  const char* p = text.c_str() + 1;
  uint32_t a, b, c, d, byte;
  if (!hex_field(&p, 8, &a) || *p++ != '-' || !hex_field(&p, 4, &b) || *p++ != '-' || !hex_field(&p, 4, &c) ||
      *p++ != '-' || !hex_field(&p, 4, &d) || *p++ != '-') {
    return false;
  }
  set_guid g{a, static_cast<uint16_t>(b), static_cast<uint16_t>(c), {}};
  g.data4[0] = static_cast<uint8_t>(d >> 8);
  g.data4[1] = static_cast<uint8_t>(d);
  for (int i = 2; i < 8; ++i) {
    if (!hex_field(&p, 2, &byte)) return false;
    g.data4[i] = static_cast<uint8_t>(byte);
  }
  *guid = g;
  return true;
}

bool parse_id(const std::string& text, uint32_t* id) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    for (size_t i = 2; i < text.size(); ++i) {
      const int d = hex_digit(text[i]);
      if (d < 0) return false;
      v = v << 4 | static_cast<uint64_t>(d);
    }
  } else {
    for (char c : text) {
      if (c < '0' || c > '9') return false;
      v = v * 10 + static_cast<uint64_t>(c - '0');
    }
  }
  if (v > UINT32_MAX) return false;
  *id = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

bool operator==(const set_guid& a, const set_guid& b) {
  return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 && memcmp(a.data4, b.data4, 8) == 0;
}

bool operator==(const property_key& a, const property_key& b) { return a.set == b.set && a.id == b.id; }

std::string guid_text(const set_guid& g) {
  char buf[40];
  snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned>(g.data1),
           g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6],
           g.data4[7]);
  return buf;
}

std::string set_name(const set_guid& set) {
  for (const named_set& s : kSets) {
    if (*s.guid == set) return s.name;
  }
  return guid_text(set);
}

std::string property_name(const property_key& key) {
  for (const named_property& n : kNames) {
    if (*n.set == key.set && n.id == key.id) return n.name;
  }
  return set_name(key.set) + ":" + std::to_string(key.id);
}

bool parse_property_name(const std::string& text, property_key* key, std::string* error) {
  for (const named_property& n : kNames) {
    if (strcasecmp(n.name, text.c_str()) == 0) {
      *key = {*n.set, n.id};
      return true;
    }
  }
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) {
    *error = "unknown property '" + text + "'; run 'tvcam props' for the names, or give SET:ID";
    return false;
  }
  const std::string set = text.substr(0, colon);
  property_key k{};
  bool known_set = parse_guid(set, &k.set);
  for (const named_set& s : kSets) {
    if (strcasecmp(s.name, set.c_str()) == 0) {
      k.set = *s.guid;
      known_set = true;
    }
  }
  if (!known_set) {
    *error = "unknown property set '" + set + "'; sets: vpa, cc, ext, feature, driver, reg or a GUID in braces";
    return false;
  }
  if (!parse_id(text.substr(colon + 1), &k.id)) {
    *error = "bad property id in '" + text + "', expected a number (decimal or 0x hexadecimal)";
    return false;
  }
  *key = k;
  return true;
}

bool is_read_only_property(const property_key& key) {
  for (const property_key& k : kReadOnly) {
    if (k == key) return true;
  }
  return false;
}

}  // namespace tvcam
