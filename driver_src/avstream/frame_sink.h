// frame_sink: the interface through which the camera obtains empty client
// buffers and hands back finished ones. The device context implements it and
// forwards to the capture pin attached to it.
//
// A client buffer travels as an opaque handle. On the pin side the handle is
// a KSSTREAM_POINTER clone: `data` is its stream header's Data and
// `capacity` the header's FrameExtent; the pin stamps DataUsed from
// `bytes_used` when the buffer comes back, then deletes the clone, which
// completes the client's request. Each handle given out by
// acquire_frame_buffer comes back through frame_done exactly once.
//
// Both operations are called at PASSIVE_LEVEL (frame worker) or
// DISPATCH_LEVEL (USB completion, with the camera's assembly spin lock held),
// from one camera context at a time; implementations must not block or wait.
#pragma once

#include "kernel/kernel_api.h"

class frame_sink {
 public:
  // Hands back `buffer` (a handle from acquire_frame_buffer; null is ignored).
  // `status` is STATUS_SUCCESS for a finished frame and STATUS_CANCELLED for
  // a buffer returned without a frame. `drop_count` and `delivered_count` are
  // the camera's running totals since the stream was opened (frames it lost
  // itself; frames delivered, this one included). `bytes_used` is the frame's
  // length in bytes, 0 meaning the whole buffer.
  virtual void frame_done(PVOID buffer, NTSTATUS status, ULONGLONG drop_count,
                          ULONGLONG delivered_count, ULONG bytes_used) = 0;

  // The next empty client buffer, or null when the client has none queued.
  // On success `*data` and `*capacity` describe the buffer's memory, which
  // the camera may write until it calls frame_done.
  virtual PVOID acquire_frame_buffer(PUCHAR* data, ULONG* capacity) = 0;

 protected:
  // The sink's owner destroys it through its own type, never through this
  // interface, so the interface has exactly the two slots above.
  ~frame_sink() = default;
};
