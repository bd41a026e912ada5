// uvc_payload: the USB Video Class payload header and the two records of
// frame assembly: payload_info (one received payload) and output_frame_slot
// (a client buffer being filled). The assembly itself is member code of
// uvc_camera (uvc_payload.cpp).
#pragma once

#include "kernel/kernel_api.h"

// Payload header at the start of every payload (little-endian).
namespace uvc_header {
constexpr ULONG bHeaderLength = 0;        // 8-bit: 2, 6 or 12
constexpr ULONG bmHeaderInfo = 1;         // 8-bit: bit flags below
constexpr ULONG dwPresentationTime = 2;   // 32-bit, present when info_pts is set
constexpr ULONG min_length = 2;
constexpr ULONG pts_end = dwPresentationTime + 4;

constexpr UCHAR info_fid = 0x01;  // frame identifier, toggles from frame to frame
constexpr UCHAR info_eof = 0x02;  // last payload of a frame
constexpr UCHAR info_pts = 0x04;  // dwPresentationTime is present
}  // namespace uvc_header

// One received payload, or a raw frame queued to the frame worker. 40 bytes.
struct payload_info {
  PVOID request;  // owner of the data: the reader's request handle, or the
                  // frame pool buffer for pooled raw frames; null once released
  PUCHAR data;    // first byte after the header
  ULONG length;   // bytes after the header
  ULONG fid;      // 0 or 1
  ULONG pts;      // presentation time, 0 when absent
  ULONG reserved; // 0 for a payload; for a queued raw frame 1 when the frame
                  // is incomplete (delivered with drop-incomplete off)
  ULONG eof;      // 0 or 1
  ULONG header_bits;  // bmHeaderInfo of the payload (of a raw frame: of its last
                      // payload); families read bits the header has beyond FID and EOF
};
static_assert(sizeof(PVOID) != 8 || sizeof(payload_info) == 40, "payload_info is 40 bytes");

// A client buffer being filled: the camera's current one in direct mode, the
// worker's local one in worker modes.
struct output_frame_slot {
  PVOID sink_frame;  // handle from frame_sink::acquire_frame_buffer; null = empty
  PUCHAR data;       // client buffer
  ULONG capacity;    // bytes of the client buffer
  ULONG filled;      // bytes written so far
  ULONG fid;         // FID of the payload that opened the frame
  ULONG pts;         // presentation time of that payload
};

// Parses the header at the start of a payload of `length` bytes. A valid
// header is at least 2 bytes, has bHeaderLength 2, 6 or 12 and is not longer
// than the payload; then `info` gets data and length past the header, fid,
// eof and pts (read only when the flag is set and the header is long enough
// to hold it), and the function returns true. Otherwise `info` is unchanged
// and the payload is not a UVC payload.
bool parse_payload_header(PUCHAR data, ULONG length, payload_info* info);
