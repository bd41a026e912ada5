// Documents a camera stores for the driver (the named default sets, a
// register description): two vendor IN requests to the device, one that
// answers the document's length as a 32-bit value (offset 0, 4 bytes) and
// one that reads it in chunks, the byte offset of each chunk split into
// wValue (bits 31 to 16) and wIndex (bits 15 to 0). PASSIVE_LEVEL: the
// requests wait, and the document goes to paged pool.
#pragma once

#include "kernel/kernel_api.h"

constexpr ULONG camera_document_chunk = 4096;
constexpr ULONG camera_document_max = 0x100000;  // 1 MiB

// Reads the document. On success `*document` is a paged-pool block with
// `tag` holding `*length` bytes, which the caller owns. A camera holding
// none (length 0) → STATUS_NOT_IMPLEMENTED; a length above 1 MiB →
// STATUS_BUFFER_OVERFLOW; a length or chunk answered with fewer bytes than
// asked → STATUS_DEVICE_DATA_ERROR; a failing request → its status. Nothing
// is allocated on failure.
NTSTATUS read_camera_document(PDEVICE_OBJECT device, UCHAR length_request, UCHAR data_request,
                              ULONG tag, UCHAR** document, ULONG* length);
