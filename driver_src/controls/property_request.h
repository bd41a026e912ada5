// property_request: the one entry into the camera's controls. The filter
// property handler sends gets and sets through it, and the filter descriptor
// builder asks it for the value range of every property item at device
// start. PASSIVE_LEVEL.
#pragma once

#include "kernel/kernel_api.h"

class uvc_camera;

// Request flag of a range query: the answer is five 32-bit words, minimum,
// maximum and default (signed), stepping delta and capability flags.
constexpr ULONG property_request_range = 0x1000;
constexpr ULONG property_range_answer_size = 20;

// Sends the request for key (`set`, `id`) to the control registered for it:
// a get (0x1) or a range query (0x1000) to forward_get, a set (0x2) to
// forward_set, both from the highest level down. `input` is the request's
// bytes after the property header, `output` the data buffer; on return
// `*bytes_returned` is the length written to `output`. A key without a
// control, or any other flag → STATUS_NOT_IMPLEMENTED.
NTSTATUS property_request(uvc_camera* camera, const GUID& set, ULONG id, ULONG flags, PVOID input,
                          ULONG input_length, PVOID output, ULONG output_length,
                          ULONG* bytes_returned);
