// uvc_descriptors: the index of a camera's USB Video Class descriptors (the
// descriptor set) built from its configuration descriptor, and the look-ups
// of terminals and units over it. The raw format records built from the
// formats and frames are in uvc_format_records; reading the configuration
// descriptor from the device is usbdevice's.
//
// The configuration descriptor comes from the device and is untrusted. Every
// pointer the set holds points into the caller's copy of it, at a descriptor
// whose whole declared length (bLength) lies inside the bytes given to the
// parser and is at least as long as the fixed fields of its kind; so a
// reader of a stored descriptor only needs to check the variable-length
// parts against that descriptor's own bLength. The set is valid as long as
// that copy lives.
//
// Everything here runs at PASSIVE_LEVEL or below, takes no lock and
// allocates nothing.
#pragma once

#include "kernel/kernel_api.h"

// ---- USB Video Class descriptor layout -----------------------------------------
// Offsets are from the start of the descriptor; the *_size constants are the
// smallest bLength that holds every fixed field of the kind.
namespace uvc_desc {

constexpr UCHAR class_video = 14;
constexpr UCHAR subclass_video_control = 1;
constexpr UCHAR subclass_video_streaming = 2;

constexpr UCHAR type_cs_interface = 0x24;  // class-specific interface descriptor

constexpr ULONG if_bInterfaceSubClass = 6;

// Class-specific descriptors: bLength, bDescriptorType, bDescriptorSubtype.
constexpr ULONG bDescriptorSubtype = 2;
constexpr ULONG cs_header_size = 3;

// VideoControl subtypes.
constexpr UCHAR vc_header = 1;
constexpr UCHAR vc_input_terminal = 2;
constexpr UCHAR vc_output_terminal = 3;
constexpr UCHAR vc_selector_unit = 4;
constexpr UCHAR vc_processing_unit = 5;
constexpr UCHAR vc_extension_unit = 6;

// VideoStreaming subtypes.
constexpr UCHAR vs_input_header = 1;
constexpr UCHAR vs_format_uncompressed = 4;
constexpr UCHAR vs_frame_uncompressed = 5;
constexpr UCHAR vs_format_mjpeg = 6;
constexpr UCHAR vs_frame_mjpeg = 7;
constexpr UCHAR vs_color_format = 13;
constexpr UCHAR vs_format_frame_based = 16;
constexpr UCHAR vs_frame_frame_based = 17;

// VC_HEADER: 12 bytes and one interface number per streaming interface.
constexpr ULONG vc_header_size = 12;

// Terminals: bTerminalID and wTerminalType are common to input and output.
constexpr ULONG bTerminalID = 3;
constexpr ULONG wTerminalType = 4;
constexpr ULONG input_terminal_size = 8;
constexpr ULONG output_terminal_size = 9;
constexpr USHORT terminal_type_camera = 0x0201;  // ITT_CAMERA
// Camera terminal: the input terminal fields, three focal lengths, then
// bControlSize and bmControls.
constexpr ULONG ct_bControlSize = 14;
constexpr ULONG ct_bmControls = 15;
constexpr ULONG camera_terminal_size = 15;

// Units: bUnitID is common to all of them.
constexpr ULONG bUnitID = 3;
// Selector unit: bNrInPins, baSourceID[p], iSelector.
constexpr ULONG selector_unit_size = 6;
// Processing unit: bSourceID, wMaxMultiplier, bControlSize, bmControls,
// iProcessing and (from version 1.1) bmVideoStandards.
constexpr ULONG pu_bControlSize = 7;
constexpr ULONG pu_bmControls = 8;
constexpr ULONG processing_unit_size = 9;
// Extension unit: guidExtensionCode, bNumControls, bNrInPins, baSourceID[p],
// then bControlSize, bmControls[n] and iExtension.
constexpr ULONG xu_guidExtensionCode = 4;
constexpr ULONG xu_bNrInPins = 21;
constexpr ULONG xu_baSourceID = 22;
constexpr ULONG extension_unit_size = 24;

// VS_INPUT_HEADER: 13 bytes and bControlSize bytes per format.
constexpr ULONG vs_input_header_size = 13;

// Format descriptors (all three kinds).
constexpr ULONG bFormatIndex = 3;
constexpr ULONG bNumFrameDescriptors = 4;
// Uncompressed and frame-based formats.
constexpr ULONG guidFormat = 5;
constexpr ULONG bBitsPerPixel = 21;
constexpr ULONG format_uncompressed_size = 27;
constexpr ULONG format_mjpeg_size = 11;
constexpr ULONG format_frame_based_size = 28;

// Frame descriptors (all three kinds).
constexpr ULONG bFrameIndex = 3;
constexpr ULONG wWidth = 5;
constexpr ULONG wHeight = 7;
// Uncompressed and MJPEG frames.
constexpr ULONG frame_dwDefaultFrameInterval = 21;
constexpr ULONG frame_bFrameIntervalType = 25;
// Frame-based frames (dwBytesPerLine sits between the type and the intervals).
constexpr ULONG fb_frame_dwDefaultFrameInterval = 17;
constexpr ULONG fb_frame_bFrameIntervalType = 21;
// Both: the intervals (100 ns units). bFrameIntervalType 0 means a
// continuous range of three values (minimum, maximum, step); n > 0 means n
// discrete values.
constexpr ULONG frame_intervals = 26;
constexpr ULONG frame_size = 26;
constexpr ULONG continuous_interval_values = 3;

// Colour-matching descriptor.
constexpr ULONG color_format_size = 6;

// Endpoint bmAttributes transfer type; bEndpointAddress direction.
constexpr UCHAR ep_transfer_type_mask = 3;
constexpr UCHAR ep_transfer_isochronous = 1;
constexpr UCHAR ep_direction_in = 0x80;

}  // namespace uvc_desc

// ---- the descriptor set --------------------------------------------------------
constexpr ULONG uvc_max_units = 5;  // per kind of unit or terminal
constexpr ULONG uvc_max_formats = 10;
constexpr ULONG uvc_max_frames = 16;              // per format
constexpr ULONG uvc_max_alternate_settings = 16;  // of the streaming interface

struct uvc_unit_list {
  ULONG count;
  const UCHAR* units[uvc_max_units];  // in descriptor order
};

struct uvc_format_slot {
  ULONG subtype;      // vs_format_uncompressed, vs_format_mjpeg or vs_format_frame_based
  ULONG frame_count;  // entries of frames[] in use
  const UCHAR* format;
  const UCHAR* frames[uvc_max_frames];  // each long enough for its intervals
  const UCHAR* color_matching;          // null when the format has none
};

struct uvc_alternate_setting {
  ULONG alternate_setting;  // bAlternateSetting of the streaming interface
  ULONG is_isochronous;     // 1 when the endpoint's transfer type is isochronous
  ULONG max_packet_size;    // wMaxPacketSize as in the descriptor (bits 11-12:
                            // additional transactions per microframe)
};

static_assert(sizeof(uvc_format_slot) == 152, "format slot is 152 bytes");
static_assert(sizeof(uvc_alternate_setting) == 12, "alternate-setting entry is 12 bytes");

// Zeroed, then filled by parse_uvc_descriptors. The camera keeps one per
// device (paged pool, tag "Auvc").
struct uvc_descriptor_set {
  const UCHAR* configuration;  // the configuration descriptor parsed
  const UCHAR* vc_interface;   // VideoControl interface descriptor
  const UCHAR* vc_header;
  uvc_unit_list input_terminals;
  uvc_unit_list selector_units;
  uvc_unit_list output_terminals;
  uvc_unit_list extension_units;
  uvc_unit_list processing_units;
  const UCHAR* vs_interface;  // VideoStreaming interface, alternate setting 0
  const UCHAR* vs_input_header;
  ULONG format_count;
  uvc_format_slot formats[uvc_max_formats];
  ULONG alternate_count;
  uvc_alternate_setting alternates[uvc_max_alternate_settings];  // ascending bytes per interval
};
// 2008 bytes on x64: the pointers (descriptors and unit lists) are 8 bytes
// each, and each unit list's count is padded to their alignment. The camera
// allocates sizeof(uvc_descriptor_set); nothing depends on the figure.
static_assert(sizeof(PVOID) != 8 || sizeof(uvc_descriptor_set) == 2008,
              "descriptor set is 2008 bytes on x64");

// Fills `set` from the configuration descriptor `configuration` of `length`
// bytes (the bytes read from the device; when its wTotalLength is smaller,
// only wTotalLength bytes are used). Returns false when the bytes do not
// start with a configuration descriptor or, on a device without video class
// codes, when no VC header, VS input header and format were found; `set` is
// then partly filled and must not be used. With the class codes the result
// is true once both interfaces are found, whatever they declare (an empty
// format list is the camera's to judge).
//
// Devices whose interfaces carry the video class codes: the first
// VideoControl interface's terminals and units, then the first
// VideoStreaming interface after it with its formats and frames, and the
// streaming interface's alternate settings that have an IN endpoint.
// Other devices: the first interface is read as VideoControl, the second as
// VideoStreaming, and the alternate-setting table stays empty (bulk).
//
// The walk ends at the first descriptor that is shorter than 2 bytes, runs
// past the end, or is an interface or endpoint descriptor shorter than its
// standard size; everything before it is used. Descriptors too short for
// the fixed fields of their kind (a frame: also for the intervals it
// declares) are ignored, as are those beyond the limits above, a format
// whose bFormatIndex was seen before (and the frames and colour matching
// that follow it), and a frame whose bFrameIndex its format has already.
bool parse_uvc_descriptors(uvc_descriptor_set* set, const UCHAR* configuration, ULONG length);

// ---- wire readers shared with the format records -------------------------------
// Reads a GUID stored as on the wire (Data1..Data3 little-endian, then the
// eight bytes of Data4). The caller has checked that 16 bytes are there.
GUID read_wire_guid(const UCHAR* p);

// Field-by-field GUID comparison, the same in both kernel header sets.
inline bool same_guid(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (ULONG i = 0; i < 8; ++i) {
    if (a.Data4[i] != b.Data4[i]) return false;
  }
  return true;
}

// Number of bytes of the intervals a frame descriptor declares, when its
// bFrameIntervalType sits at `type_offset`; the descriptor's bLength must be
// at least frame_intervals plus this.
ULONG uvc_frame_interval_bytes(const UCHAR* frame, ULONG type_offset);

// ---- unit look-ups -------------------------------------------------------------
// The camera terminal: the first input terminal with wTerminalType 0x0201;
// null when there is none.
const UCHAR* find_camera_terminal(const uvc_descriptor_set* set);

// The processing unit at `index` in descriptor order; null beyond the count.
const UCHAR* get_processing_unit(const uvc_descriptor_set* set, ULONG index);

// Kinds of unit named by an entity type of the control records.
constexpr ULONG uvc_kind_camera_terminal = 2;
constexpr ULONG uvc_kind_processing_unit = 5;
constexpr ULONG uvc_kind_extension_unit = 6;

// Terminal or unit id of the camera terminal (kind 2), the first processing
// unit (5) or the first extension unit (6). False, with `*id` untouched,
// when the camera has no such unit or `kind` is none of these.
bool find_unit_id(const uvc_descriptor_set* set, ULONG kind, UCHAR* id);

// The bmControls bitmap of a camera terminal, processing unit or extension
// unit: `*bitmap` and `*size` (bControlSize bytes) when the unit is one of
// these and the bitmap lies inside its bLength; else false.
bool get_unit_controls(const UCHAR* unit, const UCHAR** bitmap, ULONG* size);

// True when bit `bit` (byte bit / 8, bit bit % 8) of the unit's bmControls
// exists and is set.
bool unit_has_control(const UCHAR* unit, ULONG bit);

// The first extension unit whose guidExtensionCode is `guid` and whose
// bmControls has bit `control_bit` set (a control with selector s is bit
// s - 1); null when there is none.
const UCHAR* find_extension_unit(const uvc_descriptor_set* set, const GUID& guid,
                                 ULONG control_bit);

// Bytes per microframe an isochronous endpoint moves for a wMaxPacketSize
// value: the packet size (bits 0-10) times one plus the additional
// transactions (bits 11-12).
inline ULONG uvc_packet_bytes_per_interval(ULONG max_packet_size) {
  return (max_packet_size & 0x7FF) * (1 + ((max_packet_size >> 11) & 3));
}
