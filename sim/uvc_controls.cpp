// The control tables of the simulated camera (see uvc_controls.h).
#include "uvc_controls.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace sim {

const GUID kVendorExtensionGuid = {
    0x923ED695, 0x56F2, 0x11E1, {0x83, 0xF7, 0x37, 0x70, 0x48, 0x24, 0x01, 0x9B}};
const GUID kSensorExtensionGuid = {
    0xDE49BA0A, 0x0B5C, 0xD549, {0x8F, 0x71, 0x0B, 0xE4, 0x0F, 0x94, 0xA6, 0x7A}};

namespace {

using namespace uvc;

// One row per bmControls bit: selector, length, a plausible range, and
// what the control answers.
struct control_row {
  uint8_t selector;    // 0: the bit is not used
  uint8_t length;
  int64_t min, max, res, def;
  bool is_signed;
  bool range_checked;  // false: composite value, any bytes accepted
  uint8_t info;        // GET_INFO of the control itself
  uint8_t answers;     // ANSWERS_*: GET_MIN, GET_MAX, GET_RES, GET_DEF
};
constexpr uint8_t kGetSet = INFO_GET | INFO_SET;
constexpr uint8_t kGetOnly = INFO_GET;
constexpr uint8_t kDefOnly = ANSWERS_DEF;  // switches and modes have no range

// Two signed 32-bit fields in one 8-byte value (pan, tilt).
constexpr int64_t pair32(int32_t low, int32_t high) {
  return (int64_t)((uint64_t)(uint32_t)low | (uint64_t)(uint32_t)high << 32);
}

// Camera terminal, bits 0 to 18 (bits 15 and 16 unused). Exposure times in
// 100 us, focus in device units, iris in f-stop x 100, zoom as an objective
// focal length, pan and tilt in arc seconds, roll in degrees.
constexpr control_row kCameraTerminalRows[] = {
    {CT_SCANNING_MODE, 1, 0, 1, 1, 0, false, true, kGetSet, kDefOnly},
    // Auto-exposure mode: GET_RES lists the modes offered (manual and aperture priority).
    {CT_AE_MODE, 1, 1, 8, AE_MANUAL | AE_APERTURE_PRIORITY, AE_APERTURE_PRIORITY, false, false, kGetSet,
     ANSWERS_RES | ANSWERS_DEF},
    {CT_AE_PRIORITY, 1, 0, 1, 1, 0, false, true, kGetSet, kDefOnly},
    {CT_EXPOSURE_TIME_ABSOLUTE, 4, 3, 2047, 1, 166, false, true, kGetSet, ANSWERS_ALL},
    {CT_EXPOSURE_TIME_RELATIVE, 1, -1, 1, 1, 0, true, true, kGetSet, kDefOnly},
    {CT_FOCUS_ABSOLUTE, 2, 0, 250, 5, 0, false, true, kGetSet, ANSWERS_ALL},
    {CT_FOCUS_RELATIVE, 2, 0, 0x01FF, 0x0101, 0x0100, false, false, kGetSet, ANSWERS_ALL},  // direction, speed
    {CT_IRIS_ABSOLUTE, 2, 100, 1600, 10, 280, false, true, kGetSet, ANSWERS_ALL},
    {CT_IRIS_RELATIVE, 1, 0, 255, 1, 0, false, false, kGetSet, kDefOnly},
    {CT_ZOOM_ABSOLUTE, 2, 100, 500, 1, 100, false, true, kGetSet, ANSWERS_ALL},
    {0x0C, 3, 0, 0x0101FF, 0x010101, 0x000100, false, false, kGetSet, ANSWERS_ALL},  // zoom relative: zoom, digital, speed
    {0x0D, 8, pair32(-36000, -36000), pair32(36000, 36000), pair32(3600, 3600), 0, false, false, kGetSet,
     ANSWERS_ALL},  // pan/tilt absolute
    {0x0E, 4, 0, 0x01FF01FF, 0x01010101, 0x00010001, false, false, kGetSet, ANSWERS_ALL},  // pan/tilt relative
    {CT_ROLL_ABSOLUTE, 2, -180, 180, 1, 0, true, true, kGetSet, ANSWERS_ALL},
    {0x10, 2, 0, 0x01FF, 0x0101, 0x0001, false, false, kGetSet, ANSWERS_ALL},  // roll relative
    {0, 0, 0, 0, 0, 0, false, false, 0, 0},                                     // bit 15: reserved
    {0, 0, 0, 0, 0, 0, false, false, 0, 0},                                     // bit 16: reserved
    {CT_FOCUS_AUTO, 1, 0, 1, 1, 1, false, true, kGetSet, kDefOnly},
    {0x11, 1, 0, 1, 1, 0, false, true, kGetSet, kDefOnly},  // privacy
};

// Processing unit, bits 0 to 17. Hue in 1/100 degree, gamma x 100, white
// balance temperature in kelvin, multipliers x 100.
constexpr control_row kProcessingUnitRows[] = {
    {PU_BRIGHTNESS, 2, -64, 64, 1, 0, true, true, kGetSet, ANSWERS_ALL},
    {PU_CONTRAST, 2, 0, 95, 1, 32, false, true, kGetSet, ANSWERS_ALL},
    {PU_HUE, 2, -2000, 2000, 100, 0, true, true, kGetSet, ANSWERS_ALL},
    {PU_SATURATION, 2, 0, 100, 1, 64, false, true, kGetSet, ANSWERS_ALL},
    {PU_SHARPNESS, 2, 0, 7, 1, 3, false, true, kGetSet, ANSWERS_ALL},
    {PU_GAMMA, 2, 100, 300, 1, 100, false, true, kGetSet, ANSWERS_ALL},
    {PU_WHITE_BALANCE_TEMPERATURE, 2, 2800, 6500, 10, 4600, false, true, kGetSet, ANSWERS_ALL},
    // White balance component: blue in the low, red in the high 16 bits.
    {PU_WHITE_BALANCE_COMPONENT, 4, 0, 0x03FF03FF, 0x00010001, 0x02000200, false, false, kGetSet, ANSWERS_ALL},
    {PU_BACKLIGHT_COMPENSATION, 2, 0, 2, 1, 1, false, true, kGetSet, ANSWERS_ALL},
    {PU_GAIN, 2, 0, 100, 1, 0, false, true, kGetSet, ANSWERS_ALL},
    {PU_POWER_LINE_FREQUENCY, 1, 0, 2, 1, 1, false, true, kGetSet, kDefOnly},  // disabled, 50 Hz, 60 Hz
    {PU_HUE_AUTO, 1, 0, 1, 1, 0, false, true, kGetSet, kDefOnly},
    {PU_WHITE_BALANCE_TEMPERATURE_AUTO, 1, 0, 1, 1, 1, false, true, kGetSet, kDefOnly},
    {PU_WHITE_BALANCE_COMPONENT_AUTO, 1, 0, 1, 1, 1, false, true, kGetSet, kDefOnly},
    {0x0E, 2, 100, 400, 1, 100, false, true, kGetSet, ANSWERS_ALL},  // digital multiplier
    {0x0F, 2, 100, 400, 1, 400, false, true, kGetSet, ANSWERS_ALL},  // digital multiplier limit
    {0x11, 1, 0, 0, 0, 0, false, true, kGetOnly, 0},                 // analog video standard
    {0x12, 1, 0, 0, 0, 0, false, true, kGetOnly, 0},                 // analog video lock status
};

// Controls of the known extension units that are not 4 bytes of anything.
// A fresh camera's registers read 0, the automatic modes included.
struct extension_row {
  const GUID* guid;
  uint8_t selector;
  uint8_t length;
  int64_t min, max, def;
};
constexpr int64_t kAny32 = 0xFFFFFFFF;
const extension_row kExtensionRows[] = {
    // {DE49BA0A-...}: the automatic modes and their limits.
    {&kSensorExtensionGuid, 1, 1, 0, 1, 0},         // exposure automatic
    {&kSensorExtensionGuid, 2, 1, 0, 1, 0},         // gain automatic
    {&kSensorExtensionGuid, 3, 1, 0, 1, 0},         // one-push
    {&kSensorExtensionGuid, 4, 4, 0, 255, 128},     // automatic reference brightness
    {&kSensorExtensionGuid, 9, 4, 0, kAny32, 0},    // extension access
    {&kSensorExtensionGuid, 10, 1, 0, 1, 0},        // automatic exposure maximum automatic
    {&kSensorExtensionGuid, 46, 1, 0, 1, 0},        // flip x
    {&kSensorExtensionGuid, 47, 1, 0, 1, 0},        // flip y
    // {923ED695-...}: white balance, automatic modes, flips.
    {&kVendorExtensionGuid, 6, 4, 0, 255, 64},      // white balance red
    {&kVendorExtensionGuid, 7, 4, 0, 255, 64},      // white balance green
    {&kVendorExtensionGuid, 8, 4, 0, 255, 64},      // white balance blue
    {&kVendorExtensionGuid, 12, 4, 0, 1, 0},        // one-push focus
    {&kVendorExtensionGuid, 13, 4, 0, 1, 0},        // exposure automatic
    {&kVendorExtensionGuid, 14, 4, 0, 1, 0},        // gain automatic
    {&kVendorExtensionGuid, 15, 4, 0, 1, 0},        // white balance automatic
    {&kVendorExtensionGuid, 16, 4, 1, 10000000, 333333},  // automatic exposure maximum, us
    {&kVendorExtensionGuid, 17, 4, 0, 255, 128},    // automatic reference brightness
    {&kVendorExtensionGuid, 20, 4, 0, 1, 0},        // flip x
    {&kVendorExtensionGuid, 21, 4, 0, 1, 0},        // flip y
};

uvc_control control_of(uint8_t entity, const control_row& row) {
  uvc_control c;
  c.entity = entity;
  c.selector = row.selector;
  c.length = row.length;
  c.info = row.info;
  c.is_signed = row.is_signed;
  c.range_checked = row.range_checked;
  c.answers = row.answers;
  c.min = control_bytes(row.min, row.length);
  c.max = control_bytes(row.max, row.length);
  c.res = control_bytes(row.res, row.length);
  c.def = control_bytes(row.def, row.length);
  c.cur = c.def;
  return c;
}

const auto_rule kAutoRules[] = {
    {INPUT_TERMINAL, CT_EXPOSURE_TIME_ABSOLUTE, CT_AE_MODE, false, AE_AUTO | AE_APERTURE_PRIORITY},
    {INPUT_TERMINAL, CT_EXPOSURE_TIME_RELATIVE, CT_AE_MODE, false, AE_AUTO | AE_APERTURE_PRIORITY},
    {INPUT_TERMINAL, CT_IRIS_ABSOLUTE, CT_AE_MODE, false, AE_AUTO | AE_SHUTTER_PRIORITY},
    {INPUT_TERMINAL, CT_IRIS_RELATIVE, CT_AE_MODE, false, AE_AUTO | AE_SHUTTER_PRIORITY},
    {INPUT_TERMINAL, CT_FOCUS_ABSOLUTE, CT_FOCUS_AUTO, true, 0},
    {INPUT_TERMINAL, CT_FOCUS_RELATIVE, CT_FOCUS_AUTO, true, 0},
    {PROCESSING_UNIT, PU_HUE, PU_HUE_AUTO, true, 0},
    {PROCESSING_UNIT, PU_WHITE_BALANCE_TEMPERATURE, PU_WHITE_BALANCE_TEMPERATURE_AUTO, true, 0},
    {PROCESSING_UNIT, PU_WHITE_BALANCE_COMPONENT, PU_WHITE_BALANCE_COMPONENT_AUTO, true, 0},
};

}  // namespace

std::vector<uint8_t> control_bytes(int64_t v, size_t length) {
  std::vector<uint8_t> out(length, 0);
  for (size_t i = 0; i < length && i < 8; ++i) out[i] = (uint8_t)((uint64_t)v >> (8 * i));
  return out;
}

int64_t control_number(const std::vector<uint8_t>& bytes, bool is_signed) {
  const size_t n = std::min<size_t>(bytes.size(), 4);
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= (uint64_t)bytes[i] << (8 * i);
  if (is_signed && n > 0 && (bytes[n - 1] & 0x80)) v |= ~0ull << (8 * n);
  return (int64_t)v;
}

std::optional<uvc_control> standard_control(uint8_t subtype, uint8_t entity, unsigned bit) {
  const control_row* row = nullptr;
  if (subtype == INPUT_TERMINAL && bit < std::size(kCameraTerminalRows)) row = &kCameraTerminalRows[bit];
  if (subtype == PROCESSING_UNIT && bit < std::size(kProcessingUnitRows)) row = &kProcessingUnitRows[bit];
  if (row == nullptr || row->selector == 0) return std::nullopt;
  return control_of(entity, *row);
}

uvc_control extension_control(const GUID& guid, uint8_t entity, unsigned bit, uint16_t length) {
  uvc_control c;
  c.entity = entity;
  c.selector = (uint8_t)(bit + 1);
  c.length = length;
  c.range_checked = false;
  c.min.assign(length, 0);
  c.max.assign(length, 0xFF);
  c.res.assign(length, 0);
  if (length > 0) c.res[0] = 1;
  c.def.assign(length, 0);
  for (const extension_row& row : kExtensionRows) {
    if (!(*row.guid == guid) || row.selector != c.selector) continue;
    c.length = row.length;
    c.range_checked = row.max != kAny32;
    c.min = control_bytes(row.min, row.length);
    c.max = control_bytes(row.max, row.length);
    c.res = control_bytes(1, row.length);
    c.def = control_bytes(row.def, row.length);
  }
  c.cur = c.def;
  return c;
}

const auto_rule* find_auto_rule(uint8_t subtype, uint8_t selector) {
  for (const auto_rule& rule : kAutoRules) {
    if (rule.subtype == subtype && rule.selector == selector) return &rule;
  }
  return nullptr;
}

bool is_automatic(const auto_rule& rule, int64_t auto_value) {
  if (rule.any_nonzero) return auto_value != 0;
  return auto_value > 0 && auto_value < 256 && (rule.mode_bits & auto_value) == auto_value &&
         (auto_value & (auto_value - 1)) == 0;
}

}  // namespace sim
