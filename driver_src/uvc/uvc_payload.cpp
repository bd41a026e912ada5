// uvc_payload: payload header parsing and frame assembly of uvc_camera: the
// data callback of the video data reader, frame boundaries from FID and
// EOF, the direct, worker, pooled and chunked assembly modes, the hand-over
// of raw frames to the frame worker and the drop accounting.
//
// Modes (chosen by open_assembly):
//   direct   payloads are copied straight into the client buffer.
//   worker   each transfer is queued to the frame worker while the reader
//            keeps its request (STATUS_MORE_PROCESSING_REQUIRED); the
//            worker transforms it in place and releases the request. Only
//            sound when one transfer holds one whole frame.
//   pooled   payloads are collected in frame pool buffers; complete raw
//            frames go to the worker.
//   chunked  bulk transfers smaller than a payload: the transfers are put
//            back together into payloads (chunked_step); always pooled.
//
// Every frame that begins to arrive ends in exactly one of: delivered good
// (frames_delivered), delivered incomplete (frames_delivered and p_drops),
// dropped at the raw stage (p_drops) or lost for want of a client buffer
// (q_drops).
//
// Status codes of the data path, as the reader sees them:
//   STATUS_SUCCESS                   resubmit the request.
//   STATUS_MORE_PROCESSING_REQUIRED  the worker holds the request; it is
//                                    given back with release.
//   STATUS_CANCELLED                 the stream is stopped; retire the request.
#include "uvc/uvc_camera.h"

#include "usb/usb_utils.h"

bool parse_payload_header(PUCHAR data, ULONG length, payload_info* info) {
  if (data == nullptr || length < uvc_header::min_length) {
    return false;
  }
  const ULONG header_length = data[uvc_header::bHeaderLength];
  if ((header_length != 2 && header_length != 6 && header_length != 12) || header_length > length) {
    return false;
  }
  const UCHAR header_info = data[uvc_header::bmHeaderInfo];
  info->data = data + header_length;
  info->length = length - header_length;
  info->fid = (header_info & uvc_header::info_fid) ? 1 : 0;
  info->eof = (header_info & uvc_header::info_eof) ? 1 : 0;
  info->header_bits = header_info;
  // A 2-byte header has no room for the time even when the flag claims it.
  info->pts = ((header_info & uvc_header::info_pts) && header_length >= uvc_header::pts_end)
                  ? le32(data + uvc_header::dwPresentationTime)
                  : 0;
  return true;
}

// ---- data callback: DISPATCH_LEVEL, reader completion routine ---------------

NTSTATUS uvc_camera::data_callback(PVOID request, PVOID context, PUCHAR data, ULONG length) {
  uvc_camera* camera = static_cast<uvc_camera*>(context);
  KIRQL irql;
  if (data == nullptr) {
    // The reader lost data on the pipe here.
    KeAcquireSpinLock(&camera->assembly_lock_, &irql);
    if (camera->stopped_ == 0) {
      camera->data_lost();
    }
    KeReleaseSpinLock(&camera->assembly_lock_, irql);
    return STATUS_SUCCESS;
  }
  // Too short for a header, such a transfer holds no payload; in chunked
  // mode it is a short transfer that ends one, and in raw mode every byte
  // is data (a byte stream may end a transfer after any byte). Both flags
  // are fixed while the reader runs.
  if (length < uvc_header::min_length && !camera->chunked_ && !camera->raw_flag_) {
    return STATUS_SUCCESS;
  }
  KeAcquireSpinLock(&camera->assembly_lock_, &irql);
  const NTSTATUS status = camera->dispatch_transfer(request, data, length);
  KeReleaseSpinLock(&camera->assembly_lock_, irql);
  return status;
}

// Assembly lock held.
NTSTATUS uvc_camera::dispatch_transfer(PVOID request, PUCHAR data, ULONG length) {
  if (stopped_ != 0) {
    return STATUS_CANCELLED;
  }
  KIRQL irql;
  KeAcquireSpinLock(&statistics_lock_, &irql);
  ++statistics_.callback_count;
  byte_count_ += length;
  KeReleaseSpinLock(&statistics_lock_, irql);
  if (raw_flag_) {
    return process_raw_transfer(data, length);
  }
  if (chunked_) {
    return chunked_step(request, data, length);
  }
  payload_info payload = {};
  payload.request = request;
  if (!parse_payload_header(data, length, &payload)) {
    // Bytes that are not a payload (a header the camera spoiled, or a
    // payload cut short) are ignored and the request is resubmitted. Should
    // they have been frame data, an uncompressed frame shows it by its
    // length; a frame of variable length cannot, so for those it is data
    // lost, as when the bus loses a packet.
    if (variable_size_ || eof_only_) {
      data_lost();
    }
    return STATUS_SUCCESS;
  }
  return assemble_payload(&payload);
}

// Assembly lock held. Data was lost on the pipe: a transfer that failed on
// the bus, an isochronous packet that completed with an error, or (outside
// chunked and raw mode, for frames of variable length) a transfer of at
// least two bytes whose payload header is not valid. What it
// carried is missing from the frame being collected, which is marked bad as
// interrupt data marks a frame, and ends as bad frames do: dropped and
// counted in p_drops, or delivered and counted with drop-incomplete off.
// The lost data may also have begun the next frame. An uncompressed frame
// without its start is short and incomplete by its length; a frame of
// variable length (MJPEG, or any frame of a camera whose frames end at EOF
// alone) is not, so for those the next payload's frame is marked bad too
// (assemble_payload), unless that payload continues the frame being
// collected. In chunked mode this is a transfer lost on the bus, which
// ends the frame being collected incomplete and skips to the next certain
// payload start, as when the payload lengths show a lost transfer. A raw
// family is told in its own terms (process_raw_transfer with no data).
void uvc_camera::data_lost() {
  if (raw_flag_) {
    process_raw_transfer(nullptr, 0);
    return;
  }
  if (chunked_) {
    end_current_frame();
    chunk_state_ = chunk_lost;
    return;
  }
  const bool collecting = pooled_ ? frame_pool_.has_current() : slot_.filled > 0;
  if (collecting) {
    frame_bad_ = 1;
  }
  if (variable_size_ || eof_only_) {
    data_lost_ = 1;
  }
}

// Assembly lock held. One payload, or in chunked mode the part of one that
// a transfer carried: the frame boundaries from FID and EOF, then the data.
NTSTATUS uvc_camera::assemble_payload(payload_info* payload) {
  if (payload->fid != expected_fid_) {
    end_current_frame();
    count(&camera_statistics::fid_toggles);
    expected_fid_ = payload->fid;
  }
  if (data_lost_ != 0) {
    // Data was lost just before this payload: in its frame, or at the start
    // of it when this payload begins a frame (a FID toggle above has just
    // ended the frame before, and cleared that frame's mark with it).
    frame_bad_ = 1;
    data_lost_ = 0;
  }
  last_pts_ = payload->pts;
  last_header_bits_ = payload->header_bits;
  const NTSTATUS status = append(payload);
  if (payload->eof) {
    // The toggle that follows an EOF must not end the frame a second time.
    expected_fid_ = 1 - payload->fid;
  }
  if (status == STATUS_MORE_PROCESSING_REQUIRED || status == STATUS_CANCELLED) {
    return status;
  }
  return STATUS_SUCCESS;
}

// Assembly lock held. The transfer size was cut below the payload size, so
// a payload (header and data, at most dwMaxPayloadTransferSize bytes) spans
// several transfers. Its header is only at its start, and a payload starts
//   - with the first transfer after run,
//   - after a transfer shorter than the transfer size: the device ended its
//     payload with a short or zero-length packet,
//   - where the payload reaches dwMaxPayloadTransferSize; when that is a
//     whole number of packets, the next payload may follow in the same
//     transfer.
// Anything else continues the payload, whatever its first bytes look like:
// dark pixels of 2, 6 or 12 are pixels, never a header. Each transfer's part
// of a payload is assembled with the FID and time of the payload's header,
// and with its EOF on the part that ends the payload.
//
// A payload whose header is invalid is skipped to its end; the frame being
// collected misses its data. A payload that would pass the maximum where no
// packet can end (the maximum is not a whole number of packets, so its last
// packet was short and ended the transfer there) means a transfer was lost
// on the bus: the frame being collected ends incomplete and everything up
// to the next short transfer is skipped.
NTSTATUS uvc_camera::chunked_step(PVOID request, PUCHAR data, ULONG length) {
  const bool short_transfer = length < chunk_size_;
  ULONG offset = 0;
  for (;;) {
    if (chunk_state_ == chunk_at_start) {
      if (offset == length) {
        break;  // an empty transfer between payloads
      }
      payload_info header = {};
      const ULONG rest = length - offset;
      chunk_position_ = 0;
      if (parse_payload_header(data + offset, rest, &header) &&
          (chunk_payload_max_ == 0 || rest - header.length <= chunk_payload_max_)) {
        chunk_header_ = header;
        chunk_position_ = rest - header.length;
        offset += chunk_position_;
        chunk_state_ = chunk_in_payload;
      } else {
        chunk_state_ = chunk_skipping;
        if (frame_pool_.has_current()) {
          frame_bad_ = 1;  // the frame being collected misses this payload
        }
      }
    }
    ULONG part = length - offset;
    bool payload_ends = short_transfer;
    if (chunk_state_ != chunk_lost && chunk_payload_max_ != 0) {
      const ULONG left = chunk_payload_max_ - chunk_position_;
      if (part > left && chunk_packet_ != 0 && (offset + left) % chunk_packet_ != 0) {
        end_current_frame();
        chunk_state_ = chunk_lost;
      } else if (part >= left) {
        part = left;
        payload_ends = true;
      }
    }
    if (chunk_state_ == chunk_in_payload && (part != 0 || payload_ends)) {
      payload_info piece = chunk_header_;
      piece.request = request;
      piece.data = data + offset;
      piece.length = part;
      piece.eof = payload_ends ? chunk_header_.eof : 0;
      assemble_payload(&piece);
    }
    offset += part;
    chunk_position_ += part;
    if (payload_ends) {
      chunk_state_ = chunk_at_start;
    }
    if (offset >= length) {
      break;
    }
  }
  // Pooled: the data has been copied (or counted as lost); the request goes back.
  return STATUS_SUCCESS;
}

NTSTATUS uvc_camera::append(payload_info* payload) {
  return (worker_flag_ || pooled_) ? append_worker(payload) : append_direct(payload);
}

// Assembly lock held; the sink is called with it held.
NTSTATUS uvc_camera::append_direct(payload_info* payload) {
  if (frame_refused_) {
    // The sink had no buffer when this frame began; the frame is already
    // counted in q_drops and its remaining payloads are skipped. A bad mark
    // it got (interrupt data) ends with it and must not spoil the next frame.
    if (payload->eof) {
      frame_refused_ = 0;
      frame_bad_ = 0;
    }
    return STATUS_SUCCESS;
  }
  output_frame_slot* slot = &slot_;
  if (slot->sink_frame == nullptr && !acquire_output_frame(slot, payload)) {
    frame_refused_ = payload->eof ? 0 : 1;
    frame_bad_ = 0;
    return STATUS_SUCCESS;
  }
  if (slot->filled == 0) {
    // A buffer reused after discard_frame starts the new frame.
    slot->fid = payload->fid;
    slot->pts = payload->pts;
  }
  const ULONG room = slot->capacity - slot->filled;
  const ULONG copy = payload->length < room ? payload->length : room;
  RtlCopyMemory(slot->data + slot->filled, payload->data, copy);
  slot->filled += copy;
  if (slot->filled == 0) {
    if (payload->eof) frame_bad_ = 0;  // an empty frame ended
    return STATUS_SUCCESS;
  }

  bool incomplete;
  if (eof_only_ || variable_size_) {
    // Only EOF ends the frame; bytes that did not fit make it incomplete.
    if (copy < payload->length) frame_bad_ = 1;
    if (!payload->eof) return STATUS_SUCCESS;
    incomplete = false;
  } else {
    if (slot->filled < slot->capacity && !payload->eof) return STATUS_SUCCESS;
    incomplete = !(slot->filled >= slot->capacity && payload->eof);
  }
  if (incomplete || frame_bad_) {
    if (drop_incomplete_) {
      discard_frame(slot);
      frame_bad_ = 0;
      return STATUS_SUCCESS;
    }
    count(&camera_statistics::p_drops);
  }
  complete_frame(slot);
  frame_bad_ = 0;
  return STATUS_SUCCESS;
}

// Assembly lock held.
NTSTATUS uvc_camera::append_worker(payload_info* payload) {
  if (!pooled_) {
    // The worker reads the transfer in place; the reader keeps the request
    // out of circulation until the worker releases it.
    payload->reserved = 0;
    if (NT_SUCCESS(queue_raw_frame(payload))) {
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
    return STATUS_SUCCESS;
  }
  bool starved = false;
  frame_pool_buffer* buffer =
      frame_pool_.append(payload->data, payload->length, payload->eof != 0, &starved);
  if (starved) {
    pool_starved_ = 1;
    frame_bad_ = 1;  // whatever part of the frame does get a buffer is incomplete
  }
  if (buffer != nullptr || payload->eof) {
    end_pooled_frame(buffer, payload);
  }
  return STATUS_SUCCESS;
}

// Assembly lock held. A pooled frame has ended: with EOF, a full buffer or an
// FID toggle. `buffer` is what the pool returned, null when the frame had no
// buffer at all.
void uvc_camera::end_pooled_frame(frame_pool_buffer* buffer, const payload_info* payload) {
  if (buffer != nullptr) {
    payload_info raw = {};
    raw.request = buffer;
    raw.data = buffer->data;
    raw.length = buffer->fill;
    raw.fid = payload->fid;
    raw.pts = payload->pts;
    raw.eof = payload->eof;
    raw.header_bits = payload->header_bits;
    if (!NT_SUCCESS(queue_raw_frame(&raw))) {
      frame_pool_.give_back(buffer);
    }
  } else if (pool_starved_) {
    count(&camera_statistics::p_drops);  // the whole frame found no buffer
    frame_bad_ = 0;
  }
  pool_starved_ = 0;
}

// Assembly lock held. Ends the frame being assembled because the FID toggled
// (or, chunked, because the transfers lost step with the payloads).
void uvc_camera::end_current_frame() {
  if (worker_flag_ || pooled_) {
    if (!pooled_) return;  // each transfer was queued on its own
    frame_pool_buffer* buffer = frame_pool_.has_current() ? frame_pool_.append(nullptr, 0, true) : nullptr;
    payload_info end = {};
    end.fid = expected_fid_;
    end.pts = last_pts_;
    end.header_bits = last_header_bits_;
    end.eof = 0;  // cut off by the toggle: incomplete
    if (buffer != nullptr || pool_starved_) {
      end_pooled_frame(buffer, &end);
    }
    frame_bad_ = 0;
    return;
  }
  frame_refused_ = 0;
  if (slot_.sink_frame != nullptr && slot_.filled > 0) {
    if (drop_incomplete_) {
      discard_frame(&slot_);
    } else {
      count(&camera_statistics::p_drops);
      complete_frame(&slot_);
    }
  }
  frame_bad_ = 0;
}

// Assembly lock held. Hands a raw frame to the worker, or drops it. On
// success the worker owns the frame; on failure the caller still does.
NTSTATUS uvc_camera::queue_raw_frame(payload_info* raw) {
  if (raw->length == 0) {
    return STATUS_CANCELLED;
  }
  // A compressed frame is as long as its data; only an uncompressed one
  // must fill the raw buffer.
  const bool short_frame = !variable_size_ && raw->length < ULONG(raw_type_.buffer_length);
  const bool incomplete = (short_frame || !raw->eof) ? true : frame_bad_ != 0;
  NTSTATUS status = STATUS_CANCELLED;
  if (!(drop_incomplete_ && incomplete)) {
    status = hand_to_worker(raw, incomplete);
  }
  frame_bad_ = 0;
  if (!NT_SUCCESS(status)) {
    count(&camera_statistics::p_drops);
  }
  // Queued: counted by the worker (process_work_item).
  return status;
}

// Assembly lock held (the only producer), so the in-worker test and the
// increment below cannot interleave with another hand-over; the worker only
// decrements.
//
// How many frames may wait for the worker: a frame that holds a reader
// request (not pooled) is refused while max_frames_in_worker are in the
// worker, so the reader keeps requests to read with. A pooled frame waits
// in its own pool buffer, and every buffer but the one the next frame is
// collected in may wait: a burst of frames that comes faster than one
// transform (a triggered series, or completions that were held up
// together) is delivered whole even when the worker thread starts a few
// milliseconds late, and a worker that falls behind for good drops whole
// frames here, never starving the pool.
NTSTATUS uvc_camera::hand_to_worker(const payload_info* raw, bool incomplete) {
  const LONG limit = pooled_ ? LONG(pool_buffer_count) - 1 : max_frames_in_worker;
  if (InterlockedCompareExchange(&in_worker_, 0, 0) >= limit) {
    return STATUS_CANCELLED;
  }
  PLIST_ENTRY entry = ExInterlockedRemoveHeadList(&work_free_, &work_free_lock_);
  if (entry == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  frame_work_item* item = CONTAINING_RECORD(entry, frame_work_item, link);
  item->camera = this;
  item->raw = *raw;
  item->raw.reserved = incomplete ? 1 : 0;
  InterlockedIncrement(&in_worker_);
  if (!frame_worker_.post(&item->link)) {
    InterlockedDecrement(&in_worker_);
    ExInterlockedInsertHeadList(&work_free_, &item->link, &work_free_lock_);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

void uvc_camera::release_raw_frame(payload_info* raw) {
  if (raw->request == nullptr) {
    return;
  }
  if (pooled_) {
    frame_pool_.give_back(static_cast<frame_pool_buffer*>(raw->request));
  } else if (data_request_pipe_ != nullptr) {
    data_request_pipe_->release(raw->request);
  }
  raw->request = nullptr;
}

// ---- frame worker: PASSIVE_LEVEL, no lock held -------------------------------

void uvc_camera::frame_worker_callback(PVOID context, PLIST_ENTRY entry) {
  static_cast<uvc_camera*>(context)->process_work_item(
      CONTAINING_RECORD(entry, frame_work_item, link));
}

// Whatever happens to the frame, the item goes back to the free list and
// leaves the in-worker count, so a refused or pending frame never blocks
// the hand-over for good. The frame is counted once: delivered (and in
// p_drops too when it is incomplete), dropped (p_drops), or refused by the
// sink (q_drops, counted by acquire_output_frame); a family that takes an
// incomplete frame over (STATUS_PENDING) has it counted here.
void uvc_camera::process_work_item(frame_work_item* item) {
  payload_info* raw = &item->raw;
  const bool incomplete = raw->reserved != 0;
  NTSTATUS status = STATUS_CANCELLED;  // closing: given up untransformed
  if (InterlockedCompareExchange(&worker_closing_, 0, 0) == 0) {
    status = prepare_raw_frame(raw);
  }
  output_frame_slot slot = {};
  if (status == STATUS_PENDING) {
    if (incomplete) count(&camera_statistics::p_drops);
  } else if (!NT_SUCCESS(status)) {
    release_raw_frame(raw);
    count(&camera_statistics::p_drops);
  } else if (!acquire_output_frame(&slot, raw)) {
    release_raw_frame(raw);
  } else {
    status = transform_raw_frame(raw, &slot);
    release_raw_frame(raw);
    if (!NT_SUCCESS(status) || incomplete) {
      count(&camera_statistics::p_drops);
    }
    if (NT_SUCCESS(status)) {
      complete_frame(&slot);
    } else {
      // Nothing usable was written: the buffer goes back empty.
      camera_statistics now;
      get_statistics(&now);
      sink_->frame_done(slot.sink_frame, STATUS_CANCELLED, now.p_drops, now.frames_delivered, 0);
    }
  }
  InterlockedDecrement(&in_worker_);
  ExInterlockedInsertTailList(&work_free_, &item->link, &work_free_lock_);
}

// Frame worker: the family's transform of `raw` into the client buffer of
// `slot`, which gets the bytes written.
NTSTATUS uvc_camera::transform_raw_frame(const payload_info* raw, output_frame_slot* slot) {
  img::img_descriptor src = {};
  static_cast<img::img_type&>(src) = raw_type_;
  src.buffer_length = LONG(raw->length);
  src.data = raw->data;
  // A format change while running replaces the output type and flip under
  // the assembly lock: the frame is written with one whole pair.
  KIRQL irql;
  KeAcquireSpinLock(&assembly_lock_, &irql);
  worker_output_type_ = output_type_;
  worker_flip_ = flip_;
  KeReleaseSpinLock(&assembly_lock_, irql);
  img::img_descriptor dst = {};
  static_cast<img::img_type&>(dst) = worker_output_type_;
  const ULONG out_length =
      slot->capacity < ULONG(dst.buffer_length) ? slot->capacity : ULONG(dst.buffer_length);
  dst.buffer_length = LONG(out_length);
  dst.data = slot->data;
  worker_frame_started_ =
      pooled_ && raw->request != nullptr ? static_cast<frame_pool_buffer*>(raw->request)->started : 0;
  const NTSTATUS status = transform_frame(&dst, &src, worker_flip_);
  const ULONG written = ULONG(dst.buffer_length);
  slot->filled = (written == 0 || written > out_length) ? out_length : written;
  return status;
}

// ---- life cycle ------------------------------------------------------------

NTSTATUS uvc_camera::open_assembly(bool chunked) {
  // Worker streams are always pooled. On a bulk pipe a transfer rarely holds
  // a whole frame; on an isochronous pipe every packet is its own payload,
  // and queuing packets one by one would have the reader resubmit a request
  // (its completion reports only the last packet's result) while earlier
  // packets of it are still queued. Collecting the packets in pool buffers
  // gives the worker whole frames and hands every request back at once.
  chunked_ = chunked;
  pooled_ = chunked || worker_flag_;
  RtlZeroMemory(&slot_, sizeof(slot_));
  KIRQL irql;
  KeAcquireSpinLock(&statistics_lock_, &irql);
  statistics_.p_drops = 0;
  statistics_.q_drops = 0;
  statistics_.frames_delivered = 0;
  statistics_.no_buffer_count = 0;
  KeReleaseSpinLock(&statistics_lock_, irql);
  expected_fid_ = no_fid;
  frame_bad_ = 0;
  data_lost_ = 0;
  frame_refused_ = 0;
  pool_starved_ = 0;
  chunk_state_ = chunk_at_start;
  if (!pooled_) {
    return STATUS_SUCCESS;
  }
  if (raw_type_.buffer_length <= 0) {
    return STATUS_INVALID_PARAMETER;
  }
  return frame_pool_.allocate(ULONG(raw_type_.buffer_length), pool_buffer_count);
}

void uvc_camera::run_assembly() {
  KIRQL irql;
  KeAcquireSpinLock(&assembly_lock_, &irql);
  KIRQL statistics_irql;
  KeAcquireSpinLock(&statistics_lock_, &statistics_irql);
  statistics_.callback_count = 0;
  statistics_.fid_toggles = 0;
  statistics_.fps_x100 = 0;
  statistics_.bytes_per_second = 0;
  byte_count_ = 0;
  last_delivered_ = statistics_.frames_delivered;
  last_statistics_time_ = KeQueryPerformanceCounter(nullptr).QuadPart;
  KeReleaseSpinLock(&statistics_lock_, statistics_irql);
  expected_fid_ = no_fid;
  // The reader starts afresh: its first transfer begins a payload.
  chunk_state_ = chunk_at_start;
  InterlockedExchange(&stopped_, 0);
  KeReleaseSpinLock(&assembly_lock_, irql);
}

// Under the lock, so that once this returns no callback is still assembling
// with the old value.
void uvc_camera::stop_assembly() {
  KIRQL irql;
  KeAcquireSpinLock(&assembly_lock_, &irql);
  InterlockedExchange(&stopped_, 1);
  KeReleaseSpinLock(&assembly_lock_, irql);
}

// PASSIVE_LEVEL, not on the worker thread. Frames still queued are released
// untransformed (and counted as dropped); afterwards no work item is out.
void uvc_camera::stop_frame_worker() {
  InterlockedExchange(&worker_closing_, 1);
  frame_worker_.stop();
  // Without a running thread (a failed start) the queued items are still
  // there; they are released the same way.
  for (PLIST_ENTRY entry = frame_worker_.take(); entry != nullptr; entry = frame_worker_.take()) {
    process_work_item(CONTAINING_RECORD(entry, frame_work_item, link));
  }
}

void uvc_camera::close_assembly() {
  stop_assembly();
  stop_frame_worker();
  on_stream_stopped();

  KIRQL irql;
  KeAcquireSpinLock(&assembly_lock_, &irql);
  if (slot_.sink_frame != nullptr) {
    camera_statistics now;
    get_statistics(&now);
    sink_->frame_done(slot_.sink_frame, STATUS_CANCELLED, now.p_drops, now.frames_delivered, 0);
  }
  RtlZeroMemory(&slot_, sizeof(slot_));
  KeReleaseSpinLock(&assembly_lock_, irql);

  frame_pool_.free_all();
  free_work_items();
}
