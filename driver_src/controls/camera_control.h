// camera_control: the interface of every control object, the request record
// a control is handed, and the records controls answer with. A control
// object turns property requests for one or more property keys into reads
// and writes of UVC controls on the camera; the camera's control registry
// (control_registry.h) holds pointers to the registered controls, the
// camera owns the objects (its owned sub-objects).
//
// Everything here runs at PASSIVE_LEVEL: property requests come from the
// filter's property handler under the device's state mutex, and the calls
// at initialisation and power-up from device start and the power callback.
// Controls keep no lock of their own.
#pragma once

#include "controls/property_sets.h"
#include "kernel/kernel_api.h"
#include "uvc/uvc_camera.h"

// ---- the request a control serves ----------------------------------------------
// Kinds of request (the kernel-streaming property types, and the range query
// of the filter descriptor builder).
constexpr ULONG control_request_get = KSPROPERTY_TYPE_GET;  // 0x1
constexpr ULONG control_request_set = KSPROPERTY_TYPE_SET;  // 0x2
constexpr ULONG control_request_range = 0x1000;

// One property request as a control sees it. `output` is the client's data
// buffer: the answer of a get (the record written from offset 0, property
// header included), the value record of a set, or the five words of a
// range query. `input` is the request's bytes after its property header.
struct control_call {
  GUID set;
  ULONG id;
  ULONG flags;           // control_request_get, _set or _range
  PVOID input;           // may be null
  ULONG input_length;
  PVOID output;          // may be null
  ULONG output_length;
  ULONG bytes_returned;  // bytes of `output` written; starts at 0
  ULONG extra_flags;     // 0 from property_request; free for a control that passes a
                         // request on to mark it
};

inline bool is_range_query(const control_call* call) {
  return (call->flags & control_request_range) != 0;
}

// ---- records ----------------------------------------------------------------------
// Byte offsets shared by the value records: the property header (set GUID,
// id, flags; 24 bytes), then 32-bit fields.
namespace control_record {
constexpr ULONG header_size = 24;
constexpr ULONG value = 24;
constexpr ULONG flags = 28;
constexpr ULONG capabilities = 32;
constexpr ULONG minimum = 36;  // 48-byte records only
constexpr ULONG maximum = 40;
constexpr ULONG default_value = 44;

// The standard video-processing-amplifier and camera-control record:
// header, value, flags, capabilities (40 with its alignment).
constexpr ULONG standard_size = 40;
// The value-and-range record of the driver's own scalar controls: header,
// value, flags, capabilities, minimum, maximum, default.
constexpr ULONG scalar_size = 48;
// Key 122's record: header and four 32-bit fields.
constexpr ULONG pair_size = 40;
// The strobe record: header and sixteen 32-bit fields. The enable is the
// first, the polarity the tenth, followed by three fixed fields.
constexpr ULONG strobe_size = 88;
constexpr ULONG strobe_enable = 24;
constexpr ULONG strobe_polarity = 24 + 9 * 4;
constexpr ULONG strobe_fixed = 24 + 10 * 4;  // 1, 1 and the mode 6

// The answer of a range query: minimum, maximum and default (signed),
// stepping delta, capabilities.
constexpr ULONG range_size = 20;
}  // namespace control_record

// Automatic and manual flags of the value records (the capability and flag
// words of the standard sets).
constexpr ULONG control_flag_auto = 0x1;
constexpr ULONG control_flag_manual = 0x2;

// A control's answer in numbers; written by write_control_answer in the
// record the request asks for.
struct control_answer {
  LONG value;
  ULONG flags;
  ULONG capabilities;
  LONG minimum;
  LONG maximum;
  LONG default_value;
  ULONG step;  // stepping delta of a range query
};

// True for the two standard sets (40-byte records).
bool is_standard_control_set(const GUID& set);

// Writes `answer` as the request asks: a range query gets the five words
// (STATUS_BUFFER_TOO_SMALL under 20 bytes); a get on a standard set the
// 40-byte record (value, flags, capabilities); any other get the 48-byte
// value-and-range record. An output shorter than the record →
// STATUS_INVALID_BUFFER_SIZE. The record is zero-filled first and carries
// the request's set, id and flags in its header; bytes_returned is its size.
NTSTATUS write_control_answer(control_call* call, const control_answer& answer);

// A switch: 0 to 1 in steps of 1 with `value` and `default_value`, flags and
// capabilities manual.
control_answer boolean_answer(LONG value, LONG default_value);

// Zero-fills `size` bytes of the output (which must hold them) and writes
// the request's set, id and flags as the record's header.
void begin_record(control_call* call, ULONG size);

// The value and flags of a set request, from its data buffer, which must
// hold the set's record (40 bytes on a standard set, 48 otherwise; else
// STATUS_INVALID_BUFFER_SIZE).
NTSTATUS read_control_value(const control_call* call, LONG* value, ULONG* flags);

// Little-endian 32-bit fields of a request's buffers at a byte offset; the
// caller has checked the length.
inline ULONG get_field(const void* buffer, ULONG offset) {
  ULONG v;
  RtlCopyMemory(&v, static_cast<const UCHAR*>(buffer) + offset, sizeof(v));
  return v;
}
inline void put_field(void* buffer, ULONG offset, ULONG v) {
  RtlCopyMemory(static_cast<UCHAR*>(buffer) + offset, &v, sizeof(v));
}

// ---- stored values ------------------------------------------------------------------
// Where apply_default finds the stored value of a control's name: the
// registry provider, or the named property set being loaded. Returns
// success with `*value` when the name is known.
typedef NTSTATUS (*control_value_lookup)(PVOID context, PCWSTR name, ULONG* value);
struct control_value_provider {
  control_value_lookup lookup;
  PVOID context;
};

// ---- the interface --------------------------------------------------------------------
// Levels of the control registry: a request is served by the highest level
// that holds a control for its key.
constexpr ULONG control_level_base = 0;      // the standard UVC mapping
constexpr ULONG control_level_family = 1;    // additions of a camera family
constexpr ULONG control_level_override = 2;  // overrides (image features)
constexpr ULONG control_level_count = 3;

// Control objects are camera-owned sub-objects: the camera destroys them
// with itself; the registry only points at them. Operations in slot order
// after the destructor.
class camera_control : public camera_owned_object {
 public:
  ~camera_control() override {}
  // The value in the request to the camera.
  virtual NTSTATUS set_property(uvc_camera* camera, control_call* call) = 0;
  // The current value, range and flags into the request's output.
  virtual NTSTATUS get_property(uvc_camera* camera, control_call* call) = 0;
  virtual NTSTATUS reserved() { return STATUS_SUCCESS; }
  // Sends the control's current value to the camera again (after power-up).
  virtual NTSTATUS restore_value(uvc_camera* camera) { return STATUS_SUCCESS; }
  // Writes the value `provider` holds for the control's name(s), if any.
  virtual NTSTATUS apply_default(uvc_camera* camera, const control_value_provider& provider) {
    return STATUS_SUCCESS;
  }
};
