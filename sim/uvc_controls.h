// The controls of a simulated USB Video Class camera as data: the request
// and error codes, one control's record (uvc_control), the standard
// camera-terminal and processing-unit controls by bmControls bit with the
// requests each answers and a plausible range, the controls of the vendor
// extension units, and the automatic modes that put a manual control under
// the device's control. uvc_camera.cpp answers the class requests from
// these; picture_controls.cpp turns some of them into a visible change of
// the test pattern.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

// ---- USB Video Class codes ---------------------------------------------------
namespace uvc {
constexpr uint8_t SET_CUR = 0x01;
constexpr uint8_t GET_CUR = 0x81;
constexpr uint8_t GET_MIN = 0x82;
constexpr uint8_t GET_MAX = 0x83;
constexpr uint8_t GET_RES = 0x84;
constexpr uint8_t GET_LEN = 0x85;
constexpr uint8_t GET_INFO = 0x86;
constexpr uint8_t GET_DEF = 0x87;

constexpr uint8_t VS_PROBE_CONTROL = 0x01;
constexpr uint8_t VS_COMMIT_CONTROL = 0x02;
constexpr uint8_t VC_REQUEST_ERROR_CODE_CONTROL = 0x02;

// Request error codes
constexpr uint8_t ERROR_NONE = 0x00;
constexpr uint8_t ERROR_NOT_READY = 0x01;
constexpr uint8_t ERROR_WRONG_STATE = 0x02;
constexpr uint8_t ERROR_OUT_OF_RANGE = 0x04;
constexpr uint8_t ERROR_INVALID_UNIT = 0x05;
constexpr uint8_t ERROR_INVALID_CONTROL = 0x06;
constexpr uint8_t ERROR_INVALID_REQUEST = 0x07;
constexpr uint8_t ERROR_UNKNOWN = 0xFF;

// GET_INFO bits
constexpr uint8_t INFO_GET = 0x01;
constexpr uint8_t INFO_SET = 0x02;
constexpr uint8_t INFO_DISABLED = 0x04;    // under automatic control at the moment
constexpr uint8_t INFO_AUTOUPDATE = 0x08;  // the device may change the value by itself
constexpr uint8_t INFO_ASYNC = 0x10;

// Requests a control answers besides GET_CUR, GET_INFO, GET_LEN and
// SET_CUR; the others stall with ERROR_INVALID_REQUEST.
constexpr uint8_t ANSWERS_MIN = 0x01;
constexpr uint8_t ANSWERS_MAX = 0x02;
constexpr uint8_t ANSWERS_RES = 0x04;
constexpr uint8_t ANSWERS_DEF = 0x08;
constexpr uint8_t ANSWERS_ALL = 0x0F;

// Descriptor subtypes of the entities that carry controls.
constexpr uint8_t INPUT_TERMINAL = 0x02;
constexpr uint8_t PROCESSING_UNIT = 0x05;
constexpr uint8_t EXTENSION_UNIT = 0x06;

// Camera-terminal selectors
constexpr uint8_t CT_SCANNING_MODE = 0x01;
constexpr uint8_t CT_AE_MODE = 0x02;
constexpr uint8_t CT_AE_PRIORITY = 0x03;
constexpr uint8_t CT_EXPOSURE_TIME_ABSOLUTE = 0x04;
constexpr uint8_t CT_EXPOSURE_TIME_RELATIVE = 0x05;
constexpr uint8_t CT_FOCUS_ABSOLUTE = 0x06;
constexpr uint8_t CT_FOCUS_RELATIVE = 0x07;
constexpr uint8_t CT_FOCUS_AUTO = 0x08;
constexpr uint8_t CT_IRIS_ABSOLUTE = 0x09;
constexpr uint8_t CT_IRIS_RELATIVE = 0x0A;
constexpr uint8_t CT_ZOOM_ABSOLUTE = 0x0B;
constexpr uint8_t CT_ROLL_ABSOLUTE = 0x0F;
// Auto-exposure modes (one bit each; GET_RES of CT_AE_MODE lists those offered)
constexpr uint8_t AE_MANUAL = 0x01;
constexpr uint8_t AE_AUTO = 0x02;
constexpr uint8_t AE_SHUTTER_PRIORITY = 0x04;
constexpr uint8_t AE_APERTURE_PRIORITY = 0x08;

// Processing-unit selectors
constexpr uint8_t PU_BACKLIGHT_COMPENSATION = 0x01;
constexpr uint8_t PU_BRIGHTNESS = 0x02;
constexpr uint8_t PU_CONTRAST = 0x03;
constexpr uint8_t PU_GAIN = 0x04;
constexpr uint8_t PU_POWER_LINE_FREQUENCY = 0x05;
constexpr uint8_t PU_HUE = 0x06;
constexpr uint8_t PU_SATURATION = 0x07;
constexpr uint8_t PU_SHARPNESS = 0x08;
constexpr uint8_t PU_GAMMA = 0x09;
constexpr uint8_t PU_WHITE_BALANCE_TEMPERATURE = 0x0A;
constexpr uint8_t PU_WHITE_BALANCE_TEMPERATURE_AUTO = 0x0B;
constexpr uint8_t PU_WHITE_BALANCE_COMPONENT = 0x0C;
constexpr uint8_t PU_WHITE_BALANCE_COMPONENT_AUTO = 0x0D;
constexpr uint8_t PU_HUE_AUTO = 0x10;
}  // namespace uvc

// One control of a unit or terminal. Values are little-endian byte strings
// of `length` bytes; range checks on SET_CUR compare the first
// min(length, 4) bytes as integers (signed when `is_signed`).
struct uvc_control {
  uint8_t entity = 0;    // bUnitID / bTerminalID
  uint8_t selector = 0;
  uint16_t length = 0;
  uint8_t info = uvc::INFO_GET | uvc::INFO_SET;  // GET_INFO without the bits the camera's state adds
  bool is_signed = false;
  bool range_checked = true;  // false for composite values (several fields in one control)
  uint8_t answers = uvc::ANSWERS_ALL;  // uvc::ANSWERS_*
  std::vector<uint8_t> min, max, res, def, cur;
};

// Vendor extension units the driver knows. Their controls answer every
// request, 4 bytes each unless the tables in uvc_controls.cpp say otherwise.
// {923ED695-56F2-11E1-83F7-37704824019B}: bit n of bmControls is selector n + 1.
extern const GUID kVendorExtensionGuid;
// {DE49BA0A-0B5C-D549-8F71-0BE40F94A67A}: bit n of bmControls is selector n + 1.
extern const GUID kSensorExtensionGuid;

// The standard control of bmControls bit `bit` of a camera terminal
// (uvc::INPUT_TERMINAL) or processing unit (uvc::PROCESSING_UNIT), with
// `entity` as its id; none for an unused bit.
std::optional<uvc_control> standard_control(uint8_t subtype, uint8_t entity, unsigned bit);

// The control of bit `bit` of an extension unit with `guid`: selector
// bit + 1, `length` bytes (the units the driver knows have their own
// lengths and ranges), any value accepted unless the unit's table says.
uvc_control extension_control(const GUID& guid, uint8_t entity, unsigned bit, uint16_t length);

// A manual control that an automatic mode takes over: while the automatic
// control (same entity, `auto_selector`) holds a value in `auto_values`,
// the manual one reports INFO_DISABLED and SET_CUR stalls with
// ERROR_WRONG_STATE. Manual controls with an automatic partner also report
// INFO_AUTOUPDATE.
struct auto_rule {
  uint8_t subtype;        // uvc::INPUT_TERMINAL or uvc::PROCESSING_UNIT
  uint8_t selector;       // the manual control
  uint8_t auto_selector;  // its automatic partner
  bool any_nonzero;       // automatic while the partner is not 0 ...
  uint8_t mode_bits;      // ... or, for the auto-exposure mode, while it is one of these bits
};
const auto_rule* find_auto_rule(uint8_t subtype, uint8_t selector);
bool is_automatic(const auto_rule& rule, int64_t auto_value);

// Value bytes of `v` in `length` bytes, little-endian.
std::vector<uint8_t> control_bytes(int64_t v, size_t length);
// The first min(size, 4) bytes as a number, sign-extended when `is_signed`.
int64_t control_number(const std::vector<uint8_t>& bytes, bool is_signed);

}  // namespace sim
