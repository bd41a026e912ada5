// Frame rendering, payload cutting, fault drawing and the record of sent
// frames of a simulated camera's video stream (see uvc_stream.h).
#include "uvc_stream.h"

#include <algorithm>

#include "wire.h"

namespace sim {
namespace {

// bmHeaderInfo bits.
constexpr uint8_t kHeaderFid = 0x01;
constexpr uint8_t kHeaderEof = 0x02;
constexpr uint8_t kHeaderPts = 0x04;
constexpr uint8_t kHeaderScr = 0x08;
constexpr uint8_t kHeaderEoh = 0x80;
constexpr uint8_t kHeaderPayloadBits = 0x30;  // bits 4 and 5: left to the payload (frame_traits)
// Header offsets.
constexpr size_t kHeaderLength = 0;
constexpr size_t kHeaderInfo = 1;
constexpr size_t kHeaderPtsAt = 2;
constexpr size_t kHeaderStcAt = 6;
constexpr size_t kHeaderSofAt = 10;
constexpr uint8_t kHeaderWithPts = 6;
constexpr uint8_t kHeaderWithScr = 12;
constexpr uint8_t kInvalidHeaderLength = 4;  // between the valid 2 and 6
constexpr uint32_t kFallbackPayload = 1024;  // when nothing limits the payload

// What draw() decides: every fault kind has a draw of its own, so the
// same seed spoils different payloads and frames for each kind.
enum draw_kind : unsigned {
  kMissingEof = 1, kShortFrame, kLongFrame, kInterrupt, kFrameFaultSize,  // per frame
  kDropPayload, kBadHeader, kPacketError, kBadHeaderLength,               // per payload
  kEmptyPacket,                                                           // per packet
  kBabble, kRequestError,                                                 // per transfer
};

uint64_t mix(uint64_t z) {
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Ticks of `clock` in `t` units of 100 ns, without overflowing for long runs.
uint64_t clock_ticks(uint64_t t, uint32_t clock) {
  return t / 10000000 * clock + t % 10000000 * clock / 10000000;
}

}  // namespace

const char* fault_name(stream_fault fault) {
  switch (fault) {
    case stream_fault::none: return "none";
    case stream_fault::dropped_payload: return "dropped payload";
    case stream_fault::bad_header: return "bad header";
    case stream_fault::packet_error: return "packet error";
    case stream_fault::missing_eof: return "missing EOF";
    case stream_fault::short_frame: return "short frame";
    case stream_fault::long_frame: return "long frame";
    case stream_fault::interrupt: return "interrupt";
    case stream_fault::overrun: return "overrun";
    case stream_fault::failed_transfer: return "failed transfer";
    case stream_fault::abandoned: return "abandoned";
  }
  return "?";
}

uint64_t frame_checksum(const uint8_t* data, size_t length) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (size_t i = 0; i < length; ++i) h = (h ^ data[i]) * 0x100000001B3ull;
  return h;
}

uvc_stream::uvc_stream() : pattern_(make_test_pattern()) {}

void uvc_stream::set_options(const stream_options& options) {
  std::lock_guard<std::mutex> guard(mutex_);
  options_ = options;
  frames_since_options_ = 0;
  while (records_.size() > options_.record_limit) records_.pop_front();
}

stream_options uvc_stream::options() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return options_;
}

void uvc_stream::start(const stream_setup& setup, uint64_t generation) {
  std::lock_guard<std::mutex> guard(mutex_);
  abandon();
  setup_ = setup;
  running_ = true;
  generation_ = generation;
  stream_time_ = 0;
  next_due_ = std::chrono::steady_clock::now();
  last_period_ = setup.frame_interval;
  wake_pending_ = false;
  request_errors_ = 0;
}

void uvc_stream::stop(uint64_t generation) {
  std::lock_guard<std::mutex> guard(mutex_);
  abandon();
  running_ = false;
  generation_ = generation;
}

bool uvc_stream::running() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return running_;
}

std::vector<sent_frame> uvc_stream::sent_frames() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return std::vector<sent_frame>(records_.begin(), records_.end());
}

void uvc_stream::clear_sent_frames() {
  std::lock_guard<std::mutex> guard(mutex_);
  records_.clear();
}

stream_counters uvc_stream::counters() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return counters_;
}

// A number in 0..999 from the seed and the arguments.
unsigned uvc_stream::draw(unsigned kind, uint64_t a, uint64_t b) const {
  return (unsigned)(mix(mix((uint64_t)options_.seed << 8 | kind) ^ mix(a) * 3 ^ b) % 1000);
}

// ---- frames (mutex_ held) -----------------------------------------------------------------

// Starts the next frame: false when the frame limit is reached or, in real
// time, the frame is not due yet.
bool uvc_stream::begin_frame(stream_effects* effects) {
  if (options_.frame_limit != 0 && frames_since_options_ >= options_.frame_limit) return false;
  if (options_.real_time && setup_.frame_interval != 0) {
    const auto now = std::chrono::steady_clock::now();
    if (now < next_due_) {
      if (!wake_pending_) {
        effects->wake_after_ms = (int)std::chrono::ceil<std::chrono::milliseconds>(next_due_ - now).count();
        wake_pending_ = true;
      }
      return false;
    }
    // A reader that fell behind gets the frames at the pace, not in a burst.
    if (now - next_due_ > std::chrono::nanoseconds((uint64_t)last_period_ * 100)) next_due_ = now;
    wake_pending_ = false;
  }

  current_ = sent_frame{};
  current_.sequence = next_sequence_++;
  fid_ ^= 1;
  current_.fid = fid_;
  current_.pts = (uint32_t)clock_ticks(stream_time_, setup_.clock_frequency);
  frame_source& source = options_.source ? *options_.source : *pattern_;
  source.render(setup_.format, current_.sequence, frame_);
  const frame_traits traits = source.traits(setup_.format, current_.sequence);
  current_.header_bits = traits.header_bits & kHeaderPayloadBits;
  // The frame's own period paces the next one: a sensor's timing may differ
  // from the committed interval.
  last_period_ = traits.interval != 0 ? traits.interval : setup_.frame_interval;
  stream_time_ += last_period_;
  next_due_ += std::chrono::nanoseconds((uint64_t)last_period_ * 100);
  nominal_ = frame_.size();
  offset_ = 0;
  interrupt_planned_ = false;
  ++frames_since_options_;
  ++counters_.frames_started;

  // Each frame fault is drawn on its own; when several hit, the first in
  // this order is the frame's. A frame begun by a transfer that fails takes
  // that fault instead (lose_transfer).
  const stream_faults& f = options_.faults;
  const uint64_t n = current_.sequence;
  const unsigned size_draw = draw(kFrameFaultSize, n);
  if (losing_transfer_) {
    current_.fault = stream_fault::failed_transfer;
  } else if (draw(kMissingEof, n) < f.missing_eof) {
    current_.fault = stream_fault::missing_eof;
  } else if (draw(kShortFrame, n) < f.short_frame && frame_.size() > 1) {
    frame_.resize(1 + size_draw % (frame_.size() - 1));
    nominal_ = frame_.size();
    current_.fault = stream_fault::short_frame;
  } else if (draw(kLongFrame, n) < f.long_frame) {
    // 1 to 256 extra bytes, in payloads of their own after the full frame.
    const size_t extra = 1 + size_draw % 256;
    for (size_t i = 0; i < extra; ++i) frame_.push_back((uint8_t)(0xA5 ^ i));
    current_.fault = stream_fault::long_frame;
  } else if (draw(kInterrupt, n) < f.interrupt && setup_.interrupt_endpoint) {
    interrupt_planned_ = true;  // the fault counts once the packet is sent
  }
  frame_active_ = true;
  return true;
}

sent_frame* uvc_stream::record_of(uint64_t sequence) {
  if (frame_active_ && current_.sequence == sequence) return &current_;
  for (auto it = records_.rbegin(); it != records_.rend(); ++it) {
    if (it->sequence == sequence) return &*it;
  }
  return nullptr;
}

void uvc_stream::finish_frame(bool complete) {
  current_.complete = complete;
  if (!complete && current_.fault == stream_fault::none) current_.fault = stream_fault::abandoned;
  current_.intact = complete && current_.fault == stream_fault::none;
  current_.size = (uint32_t)frame_.size();
  current_.checksum = frame_checksum(frame_.data(), frame_.size());
  if (options_.record_bytes) current_.bytes = frame_;
  if (complete) {
    ++counters_.frames_sent;
  } else {
    ++counters_.frames_abandoned;
  }
  counters_.intact_frames += current_.intact ? 1 : 0;
  ++counters_.frames_by_fault[(size_t)current_.fault];
  frame_active_ = false;
  if (options_.record_limit == 0) return;
  if (records_.size() >= options_.record_limit) records_.pop_front();
  records_.push_back(std::move(current_));
}

// A frame (in progress or recorded) that did not reach the host whole:
// `fault` unless it has one already; `lost_payload` counts one more lost
// payload, which ends the frame when `ends_frame`.
void uvc_stream::spoil(uint64_t sequence, stream_fault fault, bool lost_payload, bool ends_frame) {
  sent_frame* owner = record_of(sequence);
  if (owner == nullptr) return;
  if (lost_payload) {
    ++owner->payloads_lost;
    owner->last_payload_lost |= ends_frame;
  }
  if (owner->fault == stream_fault::none) {
    owner->fault = fault;
    if (owner != &current_) {  // finished: counted as intact so far
      --counters_.frames_by_fault[(size_t)stream_fault::none];
      ++counters_.frames_by_fault[(size_t)fault];
    }
  }
  if (owner->intact) {
    owner->intact = false;
    --counters_.intact_frames;
  }
}

void uvc_stream::abandon() {
  if (!tail_.empty()) {
    // The rest of a cut payload will not go out.
    spoil(tail_sequence_, stream_fault::abandoned, false, false);
    tail_.clear();
  }
  zero_length_pending_ = false;
  if (frame_active_) finish_frame(false);
}

// ---- payloads (mutex_ held) ----------------------------------------------------------------

// Puts `payload` into a bulk transfer of `transfer_length` bytes, as the
// device's FIFO would (see the header): true with the block, or the status
// of an overrun.
bool uvc_stream::cut_bulk(uint32_t transfer_length, std::vector<uint8_t>& payload, uint64_t sequence,
                          bool ends_frame, std::vector<uint8_t>& block, USBD_STATUS& status) {
  const uint32_t packet = setup_.bulk_packet_size;
  if (payload.size() <= transfer_length) {
    // A payload shorter than dwMaxPayloadTransferSize that ends with a full
    // packet is ended by a zero-length packet; when it also filled the
    // transfer, that packet is a transfer of its own.
    zero_length_pending_ = payload.size() == transfer_length && packet != 0 &&
                           transfer_length % packet == 0 && payload_total_ < setup_.max_payload;
    block.swap(payload);
    payload.clear();
    return true;
  }
  if (transfer_length != 0 && packet != 0 && transfer_length % packet == 0) {
    block.assign(payload.begin(), payload.begin() + transfer_length);
    tail_.assign(payload.begin() + transfer_length, payload.end());
    tail_sequence_ = sequence;
    tail_ends_frame_ = ends_frame;
    return true;
  }
  status = USBD_STATUS_BABBLE_DETECTED;
  block.clear();
  ++counters_.failed_requests;
  spoil(sequence, stream_fault::overrun, true, ends_frame);
  return true;
}

// The next payload of the stream for a request of `request_bytes` (an
// isochronous packet's size, or a bulk transfer's length), header
// included, with its payload faults applied: false when there is none (the
// frame limit, real-time pacing, or no room for data). A dropped payload
// is skipped; the next one takes its place. While a transfer is being lost
// (lose_transfer) every payload is lost. `sequence` is the frame the
// payload belongs to and `last` says whether it ends that frame (which is
// then finished); `lost` that the host will not get it whole.
// `packets_after`: packets of the transfer after this one (an interrupt
// packet is placed only where the frame still goes on after the transfer).
bool uvc_stream::next_payload(uint32_t request_bytes, std::vector<uint8_t>& payload, uint64_t& sequence,
                              bool& last, bool& lost, USBD_STATUS& status, stream_effects* effects,
                              uint32_t packets_after) {
  const stream_faults& f = options_.faults;
  for (;;) {
    if (!frame_active_ && !begin_frame(effects)) return false;

    // The payload limit, header included.
    uint32_t limit = setup_.max_payload;
    if (setup_.isochronous && (limit == 0 || request_bytes < limit)) limit = request_bytes;
    if (options_.max_payload != 0 && (limit == 0 || options_.max_payload < limit)) limit = options_.max_payload;
    if (limit == 0) limit = kFallbackPayload;
    const uint8_t header = options_.header_length;
    if (limit <= header) return false;  // no room for data: nothing sensible to send

    // A long frame's extra bytes begin a payload of their own.
    const size_t end = offset_ < nominal_ ? nominal_ : frame_.size();
    const size_t n = std::min<size_t>(limit - header, end - offset_);
    last = offset_ + n == frame_.size();
    const bool eof = last && current_.fault != stream_fault::missing_eof;
    const uint32_t index = current_.payloads++;
    if (index == 0) first_transfer_ = transfers_;

    payload.assign(header + n, 0);
    payload[kHeaderLength] = header;
    payload[kHeaderInfo] = (uint8_t)(kHeaderEoh | current_.header_bits | (current_.fid ? kHeaderFid : 0) |
                                     (eof ? kHeaderEof : 0) |
                                     (header >= kHeaderWithPts ? kHeaderPts : 0) |
                                     (header >= kHeaderWithScr ? kHeaderScr : 0));
    if (header >= kHeaderWithPts) put_le32(&payload[kHeaderPtsAt], current_.pts);
    if (header >= kHeaderWithScr) {
      // Source clock a microframe per payload on from the frame's start; SOF in 1 ms frames.
      const uint32_t stc = current_.pts + index * (setup_.clock_frequency / 8000);
      put_le32(&payload[kHeaderStcAt], stc);
      put_le16(&payload[kHeaderSofAt], (uint16_t)(stc / std::max<uint32_t>(1, setup_.clock_frequency / 1000) & 0x7FF));
    }
    std::copy(frame_.begin() + (long)offset_, frame_.begin() + (long)(offset_ + n), payload.begin() + header);
    const size_t payloads_after =
        last ? 0 : (frame_.size() - offset_ - n + (limit - header) - 1) / (limit - header);
    offset_ += n;

    // Payload faults, each drawn on its own (the first in this order
    // applies), only in a frame that has no fault yet.
    lost = false;
    bool dropped = false;
    if (losing_transfer_) {
      if (current_.fault == stream_fault::none) current_.fault = stream_fault::failed_transfer;
      lost = true;
    } else if (current_.fault == stream_fault::none && !interrupt_planned_) {
      const uint64_t frame = current_.sequence;
      if (draw(kDropPayload, frame, index) < f.drop_payload) {
        current_.fault = stream_fault::dropped_payload;
        lost = dropped = true;
      } else if (draw(kBadHeader, frame, index) < f.bad_header) {
        current_.fault = stream_fault::bad_header;
        const unsigned choice = draw(kBadHeaderLength, frame, index);
        payload[kHeaderLength] = (choice & 1) && payload.size() < 255
                                     ? (uint8_t)(payload.size() + 1 + choice % (255 - payload.size()))
                                     : kInvalidHeaderLength;
        lost = true;
      } else if (setup_.isochronous && draw(kPacketError, frame, index) < f.packet_error) {
        current_.fault = stream_fault::packet_error;
        status = f.packet_error_status;
        lost = true;
      }
    }
    // The interrupt packet goes out after this transfer; it must land
    // inside the frame on the host: not before its first payload has
    // arrived (a transfer later) and not after its last (which must not be
    // in this transfer).
    if (interrupt_planned_ && transfers_ != first_transfer_ && payloads_after > packets_after) {
      interrupt_planned_ = false;
      current_.fault = stream_fault::interrupt;
      effects->interrupt = true;
      ++counters_.interrupts;
    }
    if (lost) {
      ++current_.payloads_lost;
      current_.last_payload_lost |= last;
    }
    sequence = current_.sequence;
    if (last) finish_frame(true);
    if (dropped) continue;  // not sent: the next payload takes its place
    ++counters_.payloads;
    return true;
  }
}

// A transfer that fails on the bus loses what the device sent in it: the
// rest of a cut bulk payload or the next payload, or for an isochronous
// transfer a payload per packet. The frames they belong to take the fault
// failed_transfer; a frame that begins in the transfer takes no fault of its
// own. False (and
// the transfer goes ahead) when that would spoil a frame that has a fault
// already, so that a frame keeps at most one.
bool uvc_stream::lose_transfer(const usb_device::in_request& request, stream_effects* effects) {
  if (!setup_.isochronous && zero_length_pending_) {
    zero_length_pending_ = false;  // the transfer was to end a payload; the payload's data is whole
    return true;
  }
  if (!setup_.isochronous && !tail_.empty()) {
    const sent_frame* owner = record_of(tail_sequence_);
    if (owner != nullptr && owner->fault != stream_fault::none) return false;
    spoil(tail_sequence_, stream_fault::failed_transfer, true, tail_ends_frame_);
    tail_.clear();
    return true;
  }
  if (frame_active_ && (current_.fault != stream_fault::none || interrupt_planned_)) return false;
  losing_transfer_ = true;
  const uint32_t payloads = setup_.isochronous ? request.packets : 1;
  std::vector<uint8_t> payload;
  for (uint32_t i = 0; i < payloads; ++i) {
    uint64_t sequence = 0;
    bool last = false, lost = false;
    USBD_STATUS ignored = USBD_STATUS_SUCCESS;
    if (!next_payload(request.max_bytes, payload, sequence, last, lost, ignored, effects, 0)) break;
  }
  losing_transfer_ = false;
  return true;
}

bool uvc_stream::produce(const usb_device::in_request& request, std::vector<uint8_t>& block,
                         USBD_STATUS& status, stream_effects* effects) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!running_ || request.endpoint_address != setup_.endpoint || request.generation != generation_) {
    return false;
  }
  const stream_faults& f = options_.faults;
  if (request.packet == 0) {
    ++transfers_;
    USBD_STATUS failure = USBD_STATUS_SUCCESS;
    if (draw(kBabble, transfers_) < f.babble) {
      failure = USBD_STATUS_BABBLE_DETECTED;
    } else if (draw(kRequestError, transfers_) < f.request_error && request_errors_ < f.max_request_errors) {
      failure = f.request_error_status;
    }
    if (failure != USBD_STATUS_SUCCESS && lose_transfer(request, effects)) {
      if (failure != USBD_STATUS_BABBLE_DETECTED) ++request_errors_;
      effects->fail_transfer = failure;
      ++counters_.failed_requests;
      return false;
    }
  }
  if (!setup_.isochronous && zero_length_pending_) {
    zero_length_pending_ = false;
    block.clear();
    return true;
  }
  if (!setup_.isochronous && !tail_.empty()) {
    std::vector<uint8_t> rest;
    rest.swap(tail_);
    const bool produced =
        cut_bulk(request.max_bytes, rest, tail_sequence_, tail_ends_frame_, block, status);
    counters_.bytes += block.size();
    return produced;
  }

  if (!frame_active_ && !begin_frame(effects)) return false;
  if (setup_.isochronous && draw(kEmptyPacket, ++packets_) < f.empty_packet) {
    block.clear();
    ++counters_.empty_packets;
    return true;
  }
  std::vector<uint8_t> payload;
  uint64_t sequence = 0;
  bool last = false, lost = false;
  if (!next_payload(request.max_bytes, payload, sequence, last, lost, status, effects,
                    request.packets - 1 - request.packet)) {
    return false;
  }
  bool produced = true;
  if (setup_.isochronous) {
    block.swap(payload);
  } else {
    payload_total_ = payload.size();
    produced = cut_bulk(request.max_bytes, payload, sequence, last, block, status);
  }
  counters_.bytes += block.size();
  return produced;
}

}  // namespace sim
