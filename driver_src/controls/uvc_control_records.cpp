// UVC control records: discovery from the units' bmControls, the one probe
// of each record, the one request function for every read and write, and
// the exposure unit conversions.
#include "controls/uvc_control_records.h"

#include "controls/standard_controls.h"
#include "usb/control_request.h"
#include "uvc/uvc_camera.h"
#include "uvc/uvc_descriptors.h"

namespace {

// ---- discovery tables: bmControls bit -> selector and value length ------------------
struct control_bit {
  UCHAR selector;  // 0: the bit names no control
  UCHAR length;
};

// Processing unit, bits 0 to 17.
constexpr control_bit processing_unit_bits[] = {
    {2, 2},   // brightness
    {3, 2},   // contrast
    {6, 2},   // hue
    {7, 2},   // saturation
    {8, 2},   // sharpness
    {9, 2},   // gamma
    {10, 2},  // white balance temperature
    {12, 4},  // white balance component (blue, red)
    {1, 2},   // backlight compensation
    {4, 2},   // gain
    {5, 1},   // power line frequency
    {16, 1},  // hue, auto
    {11, 1},  // white balance temperature, auto
    {13, 1},  // white balance component, auto
    {14, 2},  // digital multiplier
    {15, 2},  // digital multiplier limit
    {17, 1},  // analog video standard
    {18, 1},  // analog video lock status
};

// Camera terminal, bits 0 to 18 (15 and 16 unused).
constexpr control_bit camera_terminal_bits[] = {
    {1, 1},   // scanning mode
    {2, 1},   // auto-exposure mode
    {3, 1},   // auto-exposure priority
    {4, 4},   // exposure time, absolute (100 us)
    {5, 1},   // exposure time, relative
    {6, 2},   // focus, absolute
    {7, 2},   // focus, relative
    {9, 2},   // iris, absolute
    {10, 1},  // iris, relative
    {11, 2},  // zoom, absolute
    {12, 3},  // zoom, relative
    {13, 8},  // pan/tilt, absolute
    {14, 4},  // pan/tilt, relative
    {15, 2},  // roll, absolute
    {16, 2},  // roll, relative
    {0, 0},   // bit 15
    {0, 0},   // bit 16
    {8, 1},   // focus, auto
    {17, 1},  // privacy
};

// The one extension unit whose controls are listed here.
const GUID listed_extension_unit = {
    0xde49ba0a, 0x0b5c, 0xd549, {0x8f, 0x71, 0x0b, 0xe4, 0x0f, 0x94, 0xa6, 0x7a}};

constexpr control_bit listed_extension_bits[] = {
    {1, 1},  // bit 0
    {2, 1},  // bit 1
    {0, 0},  // bit 2
    {4, 4},  // bit 3
    {0, 0},  {0, 0}, {0, 0}, {0, 0},
    {9, 4},   // bit 8
    {10, 1},  // bit 9
};

// Camera-terminal and processing-unit selectors from here on are vendor
// registers of 4 bytes.
constexpr ULONG vendor_register_selector = 32;
constexpr ULONG vendor_register_length = 4;

NTSTATUS add_record(uvc_camera* camera, ULONG entity_type, ULONG unit_id, ULONG selector,
                    ULONG length, uvc_control_record** added) {
  pool_array<uvc_control_record>& records = camera->control_records();
  // The list never grows past its first block, so records never move.
  if (records.count() >= records.capacity()) return STATUS_INSUFFICIENT_RESOURCES;
  uvc_control_record record = {};
  record.entity_type = entity_type;
  record.selector = selector;
  record.unit_id = unit_id;
  record.length = length;
  const NTSTATUS status = records.append(record);
  if (NT_SUCCESS(status) && added != nullptr) *added = &records[records.count() - 1];
  return status;
}

// A record for every set bit of the unit's bmControls that the table names.
NTSTATUS add_unit_records(uvc_camera* camera, const UCHAR* unit, ULONG entity_type,
                          const control_bit* table, ULONG table_size) {
  const UCHAR* bitmap = nullptr;
  ULONG size = 0;
  if (unit == nullptr || !get_unit_controls(unit, &bitmap, &size)) return STATUS_SUCCESS;
  const UCHAR unit_id = unit[entity_type == control_entity_camera_terminal ? uvc_desc::bTerminalID
                                                                           : uvc_desc::bUnitID];
  for (ULONG bit = 0; bit < size * 8 && bit < table_size; ++bit) {
    if ((bitmap[bit / 8] & (1u << (bit % 8))) == 0 || table[bit].selector == 0) continue;
    const NTSTATUS status =
        add_record(camera, entity_type, unit_id, table[bit].selector, table[bit].length, nullptr);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

}  // namespace

LONG control_value(const uvc_control_record* record, const UCHAR* field) {
  if (record == nullptr || field == nullptr) return 0;
  switch (record->length) {
    case 1:
      return field[0];
    case 2:
      return SHORT(le16(field));
    default:
      return LONG(le32(field));
  }
}

void set_control_value(const uvc_control_record* record, UCHAR* field, ULONG value) {
  const ULONG bytes = record->length < 4 ? record->length : 4;
  for (ULONG i = 0; i < bytes; ++i) field[i] = UCHAR(value >> (8 * i));
}

NTSTATUS control_record_request(uvc_camera* camera, uvc_control_record* record, UCHAR request) {
  if (camera == nullptr || record == nullptr) return STATUS_INVALID_PARAMETER;
  const PDEVICE_OBJECT device = camera->device_object();
  const UCHAR unit = UCHAR(record->unit_id);
  const UCHAR selector = UCHAR(record->selector);

  if (request == uvc_request_code::set_cur) {
    if (record->length == 0) return STATUS_NOT_IMPLEMENTED;
    const NTSTATUS status =
        uvc_request(device, request, unit, uvc_camera::control_interface, selector,
                    USHORT(record->length), record->current, nullptr);
    if (NT_SUCCESS(status)) record->read_once = 0;
    return status;
  }
  if (record->mode == control_mode_driver_held && record->read_once != 0) {
    return STATUS_SUCCESS;
  }

  USHORT length = USHORT(record->length);
  if (request == uvc_request_code::get_len) length = 2;
  if (request == uvc_request_code::get_info) length = 1;
  if (length == 0) return STATUS_NOT_IMPLEMENTED;
  UCHAR answer[control_value_size] = {};
  const NTSTATUS status = uvc_request(device, request, unit, uvc_camera::control_interface,
                                      selector, length, answer, nullptr);
  if (!NT_SUCCESS(status)) return status;

  if (record->mode == control_mode_driver_held) {
    record->read_once = 1;
    if (request == uvc_request_code::get_cur) return STATUS_SUCCESS;  // the driver's value stands
  }
  UCHAR* field = nullptr;
  switch (request) {
    case uvc_request_code::get_cur:
      field = record->current;
      break;
    case uvc_request_code::get_min:
      field = record->minimum;
      break;
    case uvc_request_code::get_max:
      field = record->maximum;
      break;
    case uvc_request_code::get_res:
      field = record->resolution;
      break;
    case uvc_request_code::get_def:
      field = record->default_value;
      break;
    case uvc_request_code::get_len:
      record->length = le16(answer);
      return STATUS_SUCCESS;
    case uvc_request_code::get_info:
      record->info = answer[0];
      return STATUS_SUCCESS;
    default:
      return STATUS_SUCCESS;
  }
  RtlCopyMemory(field, answer, length);
  return STATUS_SUCCESS;
}

NTSTATUS write_control_record(uvc_camera* camera, uvc_control_record* record, ULONG value) {
  if (record == nullptr) return STATUS_INVALID_PARAMETER;
  UCHAR previous[control_value_size];
  RtlCopyMemory(previous, record->current, sizeof(previous));
  set_control_value(record, record->current, value);
  const NTSTATUS status = control_record_request(camera, record, uvc_request_code::set_cur);
  if (!NT_SUCCESS(status)) RtlCopyMemory(record->current, previous, sizeof(previous));
  return status;
}

NTSTATUS probe_control(uvc_camera* camera, uvc_control_record* record) {
  if (camera == nullptr || record == nullptr) return STATUS_INVALID_PARAMETER;
  NTSTATUS status;
  if ((record->entity_type == control_entity_camera_terminal ||
       record->entity_type == control_entity_processing_unit) &&
      record->selector >= vendor_register_selector) {
    record->length = vendor_register_length;
  } else if (record->length == 0) {
    status = control_record_request(camera, record, uvc_request_code::get_len);
    if (!NT_SUCCESS(status)) return status;
  }
  if (record->length == 0) return STATUS_NOT_SUPPORTED;
  if (record->length > control_value_size) {
    // Longer than the value fields: the control cannot be held.
    record->length = 0;
    return STATUS_NOT_SUPPORTED;
  }

  status = control_record_request(camera, record, uvc_request_code::get_info);
  if (!NT_SUCCESS(status)) {
    record->length = 0;
    return status;
  }
  if (NT_SUCCESS(control_record_request(camera, record, uvc_request_code::get_res))) {
    record->has_resolution = 1;
  }
  if (NT_SUCCESS(control_record_request(camera, record, uvc_request_code::get_min))) {
    record->has_range = 1;
  }
  if (NT_SUCCESS(control_record_request(camera, record, uvc_request_code::get_max))) {
    record->has_range = 1;
  }
  status = control_record_request(camera, record, uvc_request_code::get_def);
  if (NT_SUCCESS(status)) record->has_default = 1;
  if ((record->info & control_info_get) != 0) {
    control_record_request(camera, record, uvc_request_code::get_cur);
  }
  return status;
}

uvc_control_record* find_control(uvc_camera* camera, ULONG entity_type, ULONG selector) {
  if (camera == nullptr) return nullptr;
  for (uvc_control_record& record : camera->control_records()) {
    if (record.entity_type == entity_type && record.selector == selector) return &record;
  }
  return nullptr;
}

uvc_control_record* find_unit_control(uvc_camera* camera, ULONG entity_type, ULONG unit_id,
                                      ULONG selector) {
  if (camera == nullptr) return nullptr;
  for (uvc_control_record& record : camera->control_records()) {
    if (record.entity_type == entity_type && record.unit_id == unit_id &&
        record.selector == selector) {
      return &record;
    }
  }
  return nullptr;
}

NTSTATUS build_control_list(uvc_camera* camera) {
  if (camera == nullptr) return STATUS_INVALID_PARAMETER;
  pool_array<uvc_control_record>& records = camera->control_records();
  records.clear();
  NTSTATUS status = records.reserve(control_record_capacity);
  if (!NT_SUCCESS(status)) return status;
  const uvc_descriptor_set* set = camera->descriptors();
  if (set == nullptr) return STATUS_SUCCESS;

  status = add_unit_records(camera, find_camera_terminal(set), control_entity_camera_terminal,
                            camera_terminal_bits, ARRAYSIZE(camera_terminal_bits));
  if (NT_SUCCESS(status)) {
    status = add_unit_records(camera, get_processing_unit(set, 0), control_entity_processing_unit,
                              processing_unit_bits, ARRAYSIZE(processing_unit_bits));
  }
  for (ULONG i = 0; NT_SUCCESS(status) && i < set->extension_units.count; ++i) {
    const UCHAR* unit = set->extension_units.units[i];
    if (same_guid(read_wire_guid(unit + uvc_desc::xu_guidExtensionCode), listed_extension_unit)) {
      status = add_unit_records(camera, unit, control_entity_extension_unit, listed_extension_bits,
                                ARRAYSIZE(listed_extension_bits));
    }
  }
  if (!NT_SUCCESS(status)) return status;

  // Each record is addressed to the unit it was found in; a failed probe
  // leaves it absent (length 0).
  for (uvc_control_record& record : records) probe_control(camera, &record);
  return register_standard_controls(camera);
}

uvc_control_record* bind_control_record(uvc_camera* camera, ULONG entity_type, ULONG unit_id,
                                        ULONG selector, ULONG length) {
  uvc_control_record* record = find_unit_control(camera, entity_type, unit_id, selector);
  if (record != nullptr) return record->length != 0 ? record : nullptr;
  if (!NT_SUCCESS(add_record(camera, entity_type, unit_id, selector, length, &record))) {
    return nullptr;
  }
  probe_control(camera, record);
  return record->length != 0 ? record : nullptr;
}

// ---- exposure units ------------------------------------------------------------------
// The camera-control exposure is log2 of seconds; the camera terminal's is
// in 100 us, so 2^0 s is 10000.
constexpr ULONG one_second_100us = 10000;

ULONG seconds_log2_to_units(LONG exponent, ULONG units) {
  if (exponent >= 0) {
    if (exponent >= 32) return MAXULONG;
    const ULONGLONG time = ULONGLONG(units) << exponent;
    return time > MAXULONG ? MAXULONG : ULONG(time);
  }
  if (exponent <= -32) return 0;
  return units >> -exponent;
}

LONG units_to_seconds_log2(ULONG time, ULONG units) {
  const LONG t = LONG(time);
  LONG shortest = 0;  // -k for the smallest k with units / 2^k = 0
  while (shortest > -32 && (units >> -shortest) != 0) --shortest;
  if (t <= 0 || units == 0) return shortest;
  if (ULONG(t) >= units) {
    LONG k = 0;
    while (k < 31 && (ULONGLONG(units) << (k + 1)) <= ULONG(t)) ++k;
    return k;
  }
  LONG k = 0;
  while (k < 31 && (units >> (k + 1)) >= ULONG(t)) ++k;
  return -k;
}

ULONG seconds_log2_to_100us(LONG exponent) {
  return seconds_log2_to_units(exponent, one_second_100us);
}

LONG us100_to_seconds_log2(ULONG time) { return units_to_seconds_log2(time, one_second_100us); }
