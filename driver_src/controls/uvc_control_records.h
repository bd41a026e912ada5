// UVC control records: which USB Video Class controls the camera offers,
// found from the bmControls of its camera terminal, first processing unit
// and extension units, each probed once for its length, capabilities and
// range at initialisation. Every read and write of a record goes through
// control_record_request, which also keeps the driver-held mode (a value
// the driver last set stands in for the camera's answer).
//
// The records live in the camera (uvc_camera::control_records), which
// reserves room for control_record_capacity of them when the list is built
// and never grows it afterwards, so a pointer to a record stays valid for
// the camera's life. The standard controls bound to them are
// standard_controls.h's.
//
// PASSIVE_LEVEL: every operation sends control requests and waits.
#pragma once

#include "kernel/kernel_api.h"

class uvc_camera;

// Entity types of a record (the unit kinds of uvc_descriptors.h).
constexpr ULONG control_entity_camera_terminal = 2;
constexpr ULONG control_entity_processing_unit = 5;
constexpr ULONG control_entity_extension_unit = 6;

// Value fields hold at most this many bytes; a control declaring more is
// treated as absent.
constexpr ULONG control_value_size = 16;

// Records a camera can hold (discovery yields at most 17 + 18 + 5 x 5).
constexpr ULONG control_record_capacity = 128;

// Mode of a record.
constexpr ULONG control_mode_camera = 0;
constexpr ULONG control_mode_driver_held = 1;  // set by families

// One UVC control of the camera (108 bytes).
struct uvc_control_record {
  ULONG entity_type;  // control_entity_*
  ULONG selector;     // UVC control selector
  ULONG unit_id;      // bTerminalID / bUnitID the requests go to
  ULONG length;       // bytes of the value; 0 = the control is absent
  UCHAR current[control_value_size];        // last value read or written
  UCHAR minimum[control_value_size];        // GET_MIN
  UCHAR maximum[control_value_size];        // GET_MAX
  UCHAR default_value[control_value_size];  // GET_DEF
  UCHAR resolution[control_value_size];     // GET_RES
  UCHAR info;            // GET_INFO: bit 0 GET supported, bit 1 SET supported
  UCHAR has_range;       // GET_MIN or GET_MAX answered
  UCHAR has_default;     // GET_DEF answered
  UCHAR has_resolution;  // GET_RES answered
  ULONG mode;            // control_mode_*
  UCHAR read_once;       // driver-held: read since the last write
  UCHAR reserved[3];
};
static_assert(sizeof(uvc_control_record) == 108, "control records are 108 bytes");

constexpr UCHAR control_info_get = 0x01;
constexpr UCHAR control_info_set = 0x02;

// A value field as a number: length 1 unsigned 8-bit, length 2 signed
// 16-bit, any other length the first 32 bits.
LONG control_value(const uvc_control_record* record, const UCHAR* field);
// Stores `value` in a value field: the record's length in bytes (at most
// 4), little-endian.
void set_control_value(const uvc_control_record* record, UCHAR* field, ULONG value);

// One request for the record:
//  - SET_CUR sends the current field (length bytes) and, on success, clears
//    read-once;
//  - a GET on a driver-held record read once already succeeds without a
//    request;
//  - otherwise the GET is sent (GET_LEN: 2 bytes, GET_INFO: 1) and its
//    answer stored in its field (GET_LEN: the length); a driver-held record
//    keeps its current field and is marked read-once.
// Failures are returned unchanged; a failed GET leaves the field alone.
NTSTATUS control_record_request(uvc_camera* camera, uvc_control_record* record, UCHAR request);

// SET_CUR of `value` (the record's length); on failure the current field
// goes back to what it held, so it never claims a value the camera refused.
NTSTATUS write_control_record(uvc_camera* camera, uvc_control_record* record, ULONG value);

// Probes the record: its length (4 for camera-terminal and processing-unit
// selectors from 32 on, else GET_LEN when unknown), GET_INFO (a failure
// makes the control absent and is returned), GET_RES, GET_MIN, GET_MAX and
// GET_DEF (each sets its flag when answered), then GET_CUR when the control
// can be read. The result is that of GET_DEF.
NTSTATUS probe_control(uvc_camera* camera, uvc_control_record* record);

// The first record of that entity type and selector (of any length), or
// null. find_unit_control also names the unit.
uvc_control_record* find_control(uvc_camera* camera, ULONG entity_type, ULONG selector);
uvc_control_record* find_unit_control(uvc_camera* camera, ULONG entity_type, ULONG unit_id,
                                      ULONG selector);

// Builds the camera's control list from its descriptors, probes every
// record and registers the standard controls (standard_controls.h). Only a
// lack of memory fails it.
NTSTATUS build_control_list(uvc_camera* camera);

// A record for a control the descriptors do not list (vendor selectors of
// the camera terminal, controls of a vendor extension unit): the existing
// one when the list has it, else a new record, probed. Null when the list
// is full or the control does not answer GET_INFO. `length` 0: asked with
// GET_LEN.
uvc_control_record* bind_control_record(uvc_camera* camera, ULONG entity_type, ULONG unit_id,
                                        ULONG selector, ULONG length);

// Exposure in the camera-control unit (a base-2 logarithm of seconds) and
// in 100 us. 2^e s is 10000 x 2^e, or 10000 / 2^-e (integer division),
// saturating at 32 bits; back, a time of at least 10000 gives the largest e
// whose time does not exceed it, a shorter one -k for the smallest k with
// 10000 / 2^(k+1) below it (so 5001 to 9999 give 0, 5000 gives -1), and 0
// or less -14.
ULONG seconds_log2_to_100us(LONG exponent);
LONG us100_to_seconds_log2(ULONG time);
// The same with `units` per second (10000 above; 1000000 for microseconds,
// whose shortest exponent is -20).
ULONG seconds_log2_to_units(LONG exponent, ULONG units);
LONG units_to_seconds_log2(ULONG time, ULONG units);
