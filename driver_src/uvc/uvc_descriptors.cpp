// uvc_descriptors: parsing the configuration descriptor into the descriptor
// set, and the unit look-ups over it (see the header).
#include "uvc/uvc_descriptors.h"

#include "usb/usb_utils.h"

namespace {

using namespace uvc_desc;

// ---- walking the configuration ----------------------------------------------------
// The parser first finds how far the configuration is well formed; every
// later walk stays inside that prefix, where each descriptor is at least
// 2 bytes long, ends inside the data and, for interface and endpoint
// descriptors, has its standard size. Stepping by bLength is safe there and
// always advances.
const UCHAR* well_formed_end(const UCHAR* p, const UCHAR* end) {
  while (p < end) {
    const ULONG left = static_cast<ULONG>(end - p);
    if (left < 2) break;
    const ULONG length = p[usb_desc::bLength];
    const UCHAR type = p[usb_desc::bDescriptorType];
    if (length < 2 || length > left ||
        (type == usb_desc::type_interface && length < usb_desc::interface_size) ||
        (type == usb_desc::type_endpoint && length < usb_desc::endpoint_size)) {
      DbgPrint("uvc: malformed descriptor (bLength %u, %u bytes left), ignoring the rest\n", length,
               left);
      break;
    }
    p += length;
  }
  return p;
}

const UCHAR* next_descriptor(const UCHAR* p) { return p + p[usb_desc::bLength]; }

bool is_interface(const UCHAR* p) {
  return p[usb_desc::bDescriptorType] == usb_desc::type_interface;
}

bool is_endpoint(const UCHAR* p) { return p[usb_desc::bDescriptorType] == usb_desc::type_endpoint; }

bool is_video_interface(const UCHAR* p, UCHAR subclass) {
  return is_interface(p) && p[usb_desc::if_bInterfaceClass] == class_video &&
         p[if_bInterfaceSubClass] == subclass;
}

// The subtype of a class-specific interface descriptor; 0 (no subtype the
// parser knows) for anything else.
UCHAR cs_subtype(const UCHAR* p) {
  if (p[usb_desc::bDescriptorType] != type_cs_interface || p[usb_desc::bLength] < cs_header_size) {
    return 0;
  }
  return p[bDescriptorSubtype];
}

void add_unit(uvc_unit_list* list, const UCHAR* unit) {
  if (list->count < uvc_max_units) list->units[list->count++] = unit;
}

// One class-specific VideoControl descriptor.
void record_vc_descriptor(uvc_descriptor_set* set, const UCHAR* p) {
  const ULONG length = p[usb_desc::bLength];
  switch (cs_subtype(p)) {
    case vc_header:
      if (length >= vc_header_size && set->vc_header == nullptr) set->vc_header = p;
      break;
    case vc_input_terminal:
      if (length >= input_terminal_size) add_unit(&set->input_terminals, p);
      break;
    case vc_output_terminal:
      if (length >= output_terminal_size) add_unit(&set->output_terminals, p);
      break;
    case vc_selector_unit:
      if (length >= selector_unit_size) add_unit(&set->selector_units, p);
      break;
    case vc_processing_unit:
      if (length >= processing_unit_size) add_unit(&set->processing_units, p);
      break;
    case vc_extension_unit:
      if (length >= extension_unit_size) add_unit(&set->extension_units, p);
      break;
    default:
      break;
  }
}

// Smallest bLength of a format descriptor of `subtype`.
ULONG format_size(UCHAR subtype) {
  switch (subtype) {
    case vs_format_uncompressed:
      return format_uncompressed_size;
    case vs_format_mjpeg:
      return format_mjpeg_size;
    default:
      return format_frame_based_size;
  }
}

// One class-specific VideoStreaming descriptor. `*current` is the format
// slot the following frames and colour matching belong to; it is null before
// the first format and after a format that was not taken, so that the frames
// of an ignored format never land in another format's slot.
void record_vs_descriptor(uvc_descriptor_set* set, const UCHAR* p, uvc_format_slot** current) {
  const ULONG length = p[usb_desc::bLength];
  const UCHAR subtype = cs_subtype(p);
  switch (subtype) {
    case vs_input_header:
      if (length >= vs_input_header_size && set->vs_input_header == nullptr) {
        set->vs_input_header = p;
      }
      break;

    case vs_format_uncompressed:
    case vs_format_mjpeg:
    case vs_format_frame_based: {
      *current = nullptr;
      if (length < format_size(subtype) || set->format_count >= uvc_max_formats) break;
      for (ULONG i = 0; i < set->format_count; ++i) {
        if (set->formats[i].format[bFormatIndex] == p[bFormatIndex]) return;
      }
      uvc_format_slot* slot = &set->formats[set->format_count++];
      slot->subtype = subtype;
      slot->frame_count = 0;
      slot->format = p;
      slot->color_matching = nullptr;
      *current = slot;
      break;
    }

    case vs_frame_uncompressed:
    case vs_frame_mjpeg:
    case vs_frame_frame_based: {
      // Taken by the most recent format whatever the frame's own kind, and
      // read later with that format's frame layout; so the intervals are
      // checked by that layout too.
      uvc_format_slot* slot = *current;
      if (slot == nullptr || slot->frame_count >= uvc_max_frames || length < frame_size) break;
      const ULONG type_offset = slot->subtype == vs_format_frame_based ? fb_frame_bFrameIntervalType
                                                                       : frame_bFrameIntervalType;
      if (length < frame_intervals + uvc_frame_interval_bytes(p, type_offset)) break;
      for (ULONG i = 0; i < slot->frame_count; ++i) {
        if (slot->frames[i][bFrameIndex] == p[bFrameIndex]) return;
      }
      slot->frames[slot->frame_count++] = p;
      break;
    }

    case vs_color_format:
      if (*current != nullptr && length >= color_format_size) (*current)->color_matching = p;
      break;

    default:
      break;
  }
}

// The alternate setting whose interface descriptor is `iface`: its first
// endpoint (among the descriptors up to the next interface), when that is
// an IN endpoint.
void record_alternate_setting(uvc_descriptor_set* set, const UCHAR* iface, const UCHAR* end) {
  if (iface[usb_desc::if_bNumEndpoints] == 0 ||
      set->alternate_count >= uvc_max_alternate_settings) {
    return;
  }
  for (const UCHAR* p = next_descriptor(iface); p < end && !is_interface(p);
       p = next_descriptor(p)) {
    if (!is_endpoint(p)) continue;
    if ((p[usb_desc::ep_bEndpointAddress] & ep_direction_in) != 0) {
      uvc_alternate_setting* entry = &set->alternates[set->alternate_count++];
      entry->alternate_setting = iface[usb_desc::if_bAlternateSetting];
      entry->is_isochronous =
          (p[usb_desc::ep_bmAttributes] & ep_transfer_type_mask) == ep_transfer_isochronous ? 1 : 0;
      entry->max_packet_size = le16(p + usb_desc::ep_wMaxPacketSize);
    }
    return;
  }
}

// Order of the alternate-setting table: ascending by the bytes a setting
// moves per (micro)frame, which for a high-bandwidth endpoint is not the
// order of the raw wMaxPacketSize word (0x0BFF, 2046 bytes, is below
// 0x1200, 3 x 512 = 1536 bytes, as a word); equal ones by setting number.
bool alternate_before(const uvc_alternate_setting& a, const uvc_alternate_setting& b) {
  const ULONG bytes_a = uvc_packet_bytes_per_interval(a.max_packet_size);
  const ULONG bytes_b = uvc_packet_bytes_per_interval(b.max_packet_size);
  return bytes_a != bytes_b ? bytes_a < bytes_b : a.alternate_setting < b.alternate_setting;
}

// Heap sort of the alternate-setting table in that order.
void sift_down(uvc_alternate_setting* a, ULONG root, ULONG count) {
  for (;;) {
    ULONG child = 2 * root + 1;
    if (child >= count) return;
    if (child + 1 < count && alternate_before(a[child], a[child + 1])) ++child;
    if (!alternate_before(a[root], a[child])) return;
    const uvc_alternate_setting t = a[root];
    a[root] = a[child];
    a[child] = t;
    root = child;
  }
}

void sort_alternate_settings(uvc_alternate_setting* a, ULONG count) {
  if (count < 2) return;
  for (ULONG i = count / 2; i-- > 0;) sift_down(a, i, count);
  for (ULONG last = count - 1; last > 0; --last) {
    const uvc_alternate_setting t = a[0];
    a[0] = a[last];
    a[last] = t;
    sift_down(a, 0, last);
  }
}

// Devices with the video class codes. False when the VideoControl or the
// VideoStreaming interface is missing (the caller then falls back).
bool parse_class_coded(uvc_descriptor_set* set, const UCHAR* first, const UCHAR* end) {
  const UCHAR* p = first;
  while (p < end && !is_video_interface(p, subclass_video_control)) p = next_descriptor(p);
  if (p >= end) return false;
  set->vc_interface = p;

  for (p = next_descriptor(p); p < end && !is_interface(p); p = next_descriptor(p)) {
    record_vc_descriptor(set, p);
  }

  while (p < end && !is_video_interface(p, subclass_video_streaming)) p = next_descriptor(p);
  if (p >= end) return false;
  const UCHAR* streaming = p;
  set->vs_interface = streaming;

  // Alternate settings: this interface descriptor, then alternate settings
  // 0 to 15 of the same interface, each the first one found after it.
  record_alternate_setting(set, streaming, end);
  const UCHAR number = streaming[usb_desc::if_bInterfaceNumber];
  for (ULONG alternate = 0; alternate < uvc_max_alternate_settings; ++alternate) {
    for (const UCHAR* q = next_descriptor(streaming); q < end; q = next_descriptor(q)) {
      if (is_interface(q) && q[usb_desc::if_bInterfaceNumber] == number &&
          q[usb_desc::if_bAlternateSetting] == alternate) {
        record_alternate_setting(set, q, end);
        break;
      }
    }
  }
  sort_alternate_settings(set->alternates, set->alternate_count);

  uvc_format_slot* current = nullptr;
  for (p = next_descriptor(streaming); p < end && !is_interface(p); p = next_descriptor(p)) {
    record_vs_descriptor(set, p, &current);
  }
  return true;
}

// Devices without the video class codes: the first interface is read as
// VideoControl, the second as VideoStreaming.
bool parse_by_position(uvc_descriptor_set* set, const UCHAR* first, const UCHAR* end) {
  ULONG interfaces = 0;
  uvc_format_slot* current = nullptr;
  for (const UCHAR* p = first; p < end; p = next_descriptor(p)) {
    if (is_interface(p)) {
      ++interfaces;
      if (interfaces == 1) set->vc_interface = p;
      if (interfaces == 2) set->vs_interface = p;
      if (interfaces > 2) break;
    } else if (interfaces == 1) {
      record_vc_descriptor(set, p);
    } else if (interfaces == 2) {
      record_vs_descriptor(set, p, &current);
    }
  }
  return set->vc_header != nullptr && set->vs_input_header != nullptr && set->format_count > 0;
}

}  // namespace

bool parse_uvc_descriptors(uvc_descriptor_set* set, const UCHAR* configuration, ULONG length) {
  if (set == nullptr) return false;
  RtlZeroMemory(set, sizeof(*set));
  if (configuration == nullptr || length < usb_desc::configuration_size ||
      configuration[usb_desc::bDescriptorType] != usb_desc::type_configuration ||
      configuration[usb_desc::bLength] < usb_desc::configuration_size) {
    return false;
  }
  ULONG total = le16(configuration + usb_desc::cfg_wTotalLength);
  if (total > length) total = length;
  if (total < configuration[usb_desc::bLength]) return false;

  const UCHAR* first = configuration + configuration[usb_desc::bLength];
  const UCHAR* end = well_formed_end(first, configuration + total);
  set->configuration = configuration;
  if (parse_class_coded(set, first, end)) return true;

  RtlZeroMemory(set, sizeof(*set));
  set->configuration = configuration;
  return parse_by_position(set, first, end);
}

GUID read_wire_guid(const UCHAR* p) {
  GUID guid;
  guid.Data1 = le32(p);
  guid.Data2 = le16(p + 4);
  guid.Data3 = le16(p + 6);
  for (ULONG i = 0; i < 8; ++i) guid.Data4[i] = p[8 + i];
  return guid;
}

ULONG uvc_frame_interval_bytes(const UCHAR* frame, ULONG type_offset) {
  const ULONG type = frame[type_offset];
  return 4 * (type != 0 ? type : continuous_interval_values);
}

// ---- unit look-ups ---------------------------------------------------------------

const UCHAR* find_camera_terminal(const uvc_descriptor_set* set) {
  if (set == nullptr) return nullptr;
  for (ULONG i = 0; i < set->input_terminals.count && i < uvc_max_units; ++i) {
    const UCHAR* terminal = set->input_terminals.units[i];
    if (le16(terminal + wTerminalType) == terminal_type_camera) return terminal;
  }
  return nullptr;
}

const UCHAR* get_processing_unit(const uvc_descriptor_set* set, ULONG index) {
  if (set == nullptr || index >= set->processing_units.count || index >= uvc_max_units) {
    return nullptr;
  }
  return set->processing_units.units[index];
}

bool find_unit_id(const uvc_descriptor_set* set, ULONG kind, UCHAR* id) {
  if (set == nullptr || id == nullptr) return false;
  const UCHAR* unit = nullptr;
  switch (kind) {
    case uvc_kind_camera_terminal:
      unit = find_camera_terminal(set);
      break;
    case uvc_kind_processing_unit:
      unit = get_processing_unit(set, 0);
      break;
    case uvc_kind_extension_unit:
      unit = set->extension_units.count > 0 ? set->extension_units.units[0] : nullptr;
      break;
    default:
      break;
  }
  if (unit == nullptr) return false;
  // bTerminalID and bUnitID share offset 3.
  *id = unit[bUnitID];
  return true;
}

bool get_unit_controls(const UCHAR* unit, const UCHAR** bitmap, ULONG* size) {
  if (unit == nullptr || bitmap == nullptr || size == nullptr) return false;
  const ULONG length = unit[usb_desc::bLength];
  ULONG size_offset = 0;
  switch (cs_subtype(unit)) {
    case vc_input_terminal:
      if (length < camera_terminal_size || le16(unit + wTerminalType) != terminal_type_camera) {
        return false;
      }
      size_offset = ct_bControlSize;
      break;
    case vc_processing_unit:
      if (length < processing_unit_size) return false;
      size_offset = pu_bControlSize;
      break;
    case vc_extension_unit:
      // bControlSize follows the bNrInPins source ids.
      if (length < extension_unit_size) return false;
      size_offset = xu_baSourceID + unit[xu_bNrInPins];
      break;
    default:
      return false;
  }
  if (size_offset >= length) return false;
  const ULONG bytes = unit[size_offset];
  if (bytes > length - size_offset - 1) return false;
  *bitmap = unit + size_offset + 1;
  *size = bytes;
  return true;
}

bool unit_has_control(const UCHAR* unit, ULONG bit) {
  const UCHAR* bitmap = nullptr;
  ULONG size = 0;
  if (!get_unit_controls(unit, &bitmap, &size) || bit / 8 >= size) return false;
  return (bitmap[bit / 8] & (1u << (bit % 8))) != 0;
}

const UCHAR* find_extension_unit(const uvc_descriptor_set* set, const GUID& guid,
                                 ULONG control_bit) {
  if (set == nullptr) return nullptr;
  for (ULONG i = 0; i < set->extension_units.count && i < uvc_max_units; ++i) {
    const UCHAR* unit = set->extension_units.units[i];
    if (same_guid(read_wire_guid(unit + xu_guidExtensionCode), guid) &&
        unit_has_control(unit, control_bit)) {
      return unit;
    }
  }
  return nullptr;
}
