// The filter's property handler: every property item of the filter's
// automation table (filter_descriptor.cpp) names filter_property_handler for
// its get, set and support requests. It finds the device behind the request
// and routes it by property set. The dropped-frames set is forwarded to the
// capture pin attached to the device, and the frame-rate list of the video
// control set is answered from the camera's format list; every other
// property answers STATUS_NOT_IMPLEMENTED until its route exists.
//
// Everything here runs at PASSIVE_LEVEL, called by ks.sys.
#pragma once

#include "kernel/kernel_api.h"

class device_context;

// Property request flags (the kernel-streaming property types).
constexpr ULONG property_flag_get = KSPROPERTY_TYPE_GET;                     // 0x1
constexpr ULONG property_flag_set = KSPROPERTY_TYPE_SET;                     // 0x2
constexpr ULONG property_flag_set_support = KSPROPERTY_TYPE_SETSUPPORT;      // 0x100
constexpr ULONG property_flag_basic_support = KSPROPERTY_TYPE_BASICSUPPORT;  // 0x200

// One property request as the routes see it, built per request.
struct property_call {
  PIRP irp;
  const KSPROPERTY* property;  // set GUID, id and flags
  PVOID extra_input;           // input bytes after the 24-byte property header
  ULONG extra_input_length;
  PVOID data;            // the data buffer (the output of a get)
  ULONG data_length;     // the IRP's output buffer length
  ULONG bytes_returned;  // starts at 0; becomes IoStatus.Information
};

// PFNKSHANDLER of every filter property item. No filter, device or camera
// behind the IRP → STATUS_INVALID_PARAMETER.
NTSTATUS filter_property_handler(PIRP irp, PKSIDENTIFIER request, PVOID data);

// Routes `call` for the device. The dropped-frames set goes to the attached
// pin's handle_dropped_frames; with no pin attached there is no stream to
// report on: STATUS_INVALID_DEVICE_STATE. A get of the video-control frame
// rates goes to answer_frame_rates.
NTSTATUS dispatch_property(device_context* context, property_call* call);

// KSPROPERTY_VIDEOCONTROL_FRAME_RATES (get): the frame intervals the
// camera lists for data range RangeIndex of the request (the format entry of
// that index), as a KSMULTIPLE_ITEM of 64-bit intervals in 100 ns,
// ascending. The header holds the whole list (total size 8 + 8 x count and
// the count); as many intervals follow as the data buffer holds, and the
// bytes returned say how many that is. Without a data buffer only the total
// size is returned, with STATUS_BUFFER_OVERFLOW; a buffer shorter than the
// header: STATUS_BUFFER_TOO_SMALL. Errors of the interval query (an index
// beyond the entries: STATUS_INVALID_PARAMETER) are returned unchanged. The
// camera is used under the device context's state mutex.
NTSTATUS answer_frame_rates(device_context* context, property_call* call);
