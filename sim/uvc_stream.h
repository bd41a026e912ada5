// The video stream of a simulated USB Video Class camera: renders frames
// of the committed format with a frame_source, cuts them into payloads
// with a UVC payload header, answers the IN requests of the streaming
// endpoint with them, injects faults drawn from a seed, and keeps a record
// of what it sent. uvc_camera owns one and starts it at a commit; this
// class knows nothing of descriptors or requests.
//
// Payloads. Each frame is cut into payloads of at most the payload limit
// (header included): dwMaxPayloadTransferSize, for isochronous streaming
// also the packet size of the selected alternate setting, and
// stream_options::max_payload when set. The header is 2, 6 (PTS) or 12
// (PTS and SCR) bytes: bmHeaderInfo has EOH, FID (toggled per frame), EOF
// on the last payload of a frame, and PTS/SCR as present. PTS is the
// frame's nominal start in units of dwClockFrequency.
//
// Isochronous: one payload per packet; packets without data (empty-packet
// faults, or the rest of a transfer while real-time pacing waits for the
// next frame) have length 0.
//
// Bulk: one payload per transfer when the transfer holds it. A transfer
// shorter than the payload gets what a device's FIFO would put there: the
// host's transfer ends when its buffer is full, so with a length that is a
// multiple of the endpoint's wMaxPacketSize the first `length` bytes go
// out and the rest of the payload (without a header) fills the next
// transfer. With any other length the packet that no longer fits overruns
// the buffer: the transfer fails with USBD_STATUS_BABBLE_DETECTED and the
// rest of the payload is lost (fault `overrun`). A payload shorter than
// dwMaxPayloadTransferSize that ends exactly at the end of a transfer is
// followed by a zero-length transfer (the zero-length packet that ends it),
// so the host knows where it ends.
//
// Pacing: as fast as the host reads (default), or with real_time set,
// frame N is released N frame intervals after the stream started; until
// then the endpoint's transfers stay pending (an isochronous transfer that
// already holds packets completes with the rest empty). A source may give
// a frame a period of its own (frame_traits): the next frame is then due
// that much later, and PTS follows the same time line.
//
// bmHeaderInfo bits 4 and 5 are left to the payload: the source may set
// them per frame (frame_traits::header_bits), on every payload of it.
//
// Faults are drawn from stream_options::seed, every kind with a draw of its
// own: a hash of (kind, frame number[, payload number]), (kind, packet
// number) or (kind, transfer number). The same seed and the same requests
// give the same faults whatever the thread timing, and two kinds at the
// same rate hit different payloads. A frame takes at most one fault that
// spoils it: a frame fault drawn when the frame begins (the first kind in
// stream_faults' order that hits), else the first payload or transfer
// fault. Empty packets lose nothing.
//
// Threads: every member may be called from any thread; produce() runs on
// the bus thread. One mutex guards the state; it is never held while the
// camera calls into usb_device.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "frame_source.h"
#include "usb_device.h"

namespace sim {

enum class stream_fault : uint8_t {
  none,
  dropped_payload,  // a payload was not sent
  bad_header,       // a payload's bHeaderLength was 4, or longer than the payload
  packet_error,     // the isochronous packet of a payload completed with an error status
  missing_eof,      // the last payload had EOF clear
  short_frame,      // EOF came before the frame's full size
  long_frame,       // payloads of extra bytes (the last with EOF) followed the full frame
  interrupt,        // a packet arrived on the interrupt endpoint while the frame was sent
  overrun,          // a bulk transfer too short for the payload failed with babble
  failed_transfer,  // a transfer carrying its payloads failed (babble or another error)
  abandoned,        // a commit or an alternate setting restarted the stream mid-frame
};
constexpr size_t kStreamFaultKinds = (size_t)stream_fault::abandoned + 1;
const char* fault_name(stream_fault fault);

// Probabilities in 1/1000 of the unit named. What each puts on the wire,
// and what a host then sees:
struct stream_faults {
  // Per payload (a frame is many payloads: a 640x480 "Y800" frame in
  // 3072-byte isochronous payloads is 101 of them).
  unsigned drop_payload = 0;  // not sent: the frame arrives without its bytes
  unsigned bad_header = 0;    // bHeaderLength 4 or beyond the payload: not a payload to the host
  unsigned packet_error = 0;  // isochronous only: the packet completes with packet_error_status
  USBD_STATUS packet_error_status = USBD_STATUS_CRC;  // and no data
  // Per frame.
  unsigned missing_eof = 0;  // EOF clear on the last payload: the frame ends at the next FID toggle
  unsigned short_frame = 0;  // EOF after 1 .. size-1 bytes (a JPEG without its end marker)
  unsigned long_frame = 0;   // 1 to 256 extra bytes in payloads after the full frame, EOF on the last
  unsigned interrupt = 0;    // a VideoStreaming status packet on the interrupt endpoint while the
                             // frame is sent; only a camera with that endpoint, only a host that reads it
  // Per isochronous packet: a zero-length packet before the next payload
  // (the host skips it; nothing is lost).
  unsigned empty_packet = 0;
  // Per transfer: the transfer fails (usb_device::fail_next_in_transfer) and
  // what the device sent in it is lost: a bulk transfer's payload (or the
  // rest of a cut one), an isochronous transfer's payload per packet.
  unsigned babble = 0;         // USBD_STATUS_BABBLE_DETECTED (a host resets the pipe)
  unsigned request_error = 0;  // request_error_status, at most max_request_errors times a stream
  USBD_STATUS request_error_status = USBD_STATUS_XACT_ERROR;
  unsigned max_request_errors = 2;  // a reader retires the request of such an error for good
};

struct stream_options {
  uint8_t header_length = 12;  // 2, 6 (PTS) or 12 (PTS and SCR)
  bool real_time = false;      // frames at the committed interval's pace
  uint32_t seed = 1;           // of the faults
  stream_faults faults;
  std::shared_ptr<frame_source> source;  // null: the test pattern
  uint32_t max_payload = 0;    // bytes per payload, header included; 0: the limits above
  uint64_t frame_limit = 0;    // frames to begin after these options were set; 0: no limit
  size_t record_limit = 1000;  // frames sent_frames() keeps, the newest; 0: none
  bool record_bytes = true;    // keep each frame's data (else its checksum only)
};

// One frame as the camera sent it.
struct sent_frame {
  uint64_t sequence = 0;        // 0, 1, ... over the camera's life; the number the test pattern draws
  uint8_t fid = 0;
  uint8_t header_bits = 0;      // bits 4 and 5 of bmHeaderInfo the source set (frame_traits)
  uint32_t pts = 0;             // in units of dwClockFrequency
  uint32_t size = 0;            // bytes of the frame's data, after a short- or long-frame fault
  uint64_t checksum = 0;        // frame_checksum of that data
  std::vector<uint8_t> bytes;   // the data (payloads without headers), when recorded
  uint32_t payloads = 0;        // payloads the frame was cut into
  uint32_t payloads_lost = 0;   // of them: dropped, with a bad header, a failed packet or an overrun
  bool last_payload_lost = false;  // the payload that ends the frame is among them
  bool complete = false;        // the camera got to the frame's end (false: abandoned)
  bool intact = false;          // sent whole, valid headers, correct EOF, no fault the host must notice
  stream_fault fault = stream_fault::none;
};

struct stream_counters {
  uint64_t frames_started = 0;
  uint64_t frames_sent = 0;       // last payload out
  uint64_t frames_abandoned = 0;
  uint64_t intact_frames = 0;
  uint64_t payloads = 0;          // put on the bus (dropped ones are not)
  uint64_t bytes = 0;             // put on the bus, headers included
  uint64_t empty_packets = 0;
  uint64_t failed_requests = 0;   // transfers failed on purpose (babble, request errors, overruns)
  uint64_t interrupts = 0;        // interrupt packets sent
  std::array<uint64_t, kStreamFaultKinds> frames_by_fault{};  // finished frames by sent_frame::fault
};

// 64-bit FNV-1a, the checksum of sent_frame.
uint64_t frame_checksum(const uint8_t* data, size_t length);

// What the stream sends, fixed when it starts (at a commit).
struct stream_setup {
  frame_format format;
  uint32_t frame_interval = 333333;     // 100 ns
  uint32_t max_payload = 0;             // dwMaxPayloadTransferSize
  uint32_t clock_frequency = 48000000;  // dwClockFrequency: PTS and SCR units
  uint8_t endpoint = 0x81;              // the streaming endpoint
  bool isochronous = true;
  uint16_t bulk_packet_size = 512;      // wMaxPacketSize of the bulk endpoint
  bool interrupt_endpoint = false;      // interrupt faults may be sent
};

// What the camera does after produce() returned, without the stream's lock.
struct stream_effects {
  USBD_STATUS fail_transfer = USBD_STATUS_SUCCESS;  // else: fail the endpoint's next transfer
  bool interrupt = false;                           // queue a packet on the interrupt endpoint
  int wake_after_ms = -1;                           // >= 0: service the endpoints again then
};

class uvc_stream {
 public:
  uvc_stream();
  uvc_stream(const uvc_stream&) = delete;
  uvc_stream& operator=(const uvc_stream&) = delete;

  // Takes effect from the next payload (source and faults from the next
  // frame); restarts the frame limit.
  void set_options(const stream_options& options);
  stream_options options() const;

  // Starts with `setup`, or restarts: a frame in progress is abandoned.
  // Requests made before the device's data generation `generation` are
  // stale and answered with nothing.
  void start(const stream_setup& setup, uint64_t generation);
  // Ends the stream; a frame in progress is abandoned.
  void stop(uint64_t generation);
  bool running() const;

  // The IN hook of the streaming endpoint (usb_device::in_packet_source);
  // false when the stream has nothing for this request.
  bool produce(const usb_device::in_request& request, std::vector<uint8_t>& block, USBD_STATUS& status,
               stream_effects* effects);

  // Finished frames (sent or abandoned), oldest first.
  std::vector<sent_frame> sent_frames() const;
  void clear_sent_frames();
  stream_counters counters() const;

 private:
  bool begin_frame(stream_effects* effects);
  void finish_frame(bool complete);
  void abandon();
  sent_frame* record_of(uint64_t sequence);
  bool cut_bulk(uint32_t transfer_length, std::vector<uint8_t>& payload, uint64_t sequence, bool ends_frame,
                std::vector<uint8_t>& block, USBD_STATUS& status);
  bool next_payload(uint32_t request_bytes, std::vector<uint8_t>& payload, uint64_t& sequence, bool& last,
                    bool& lost, USBD_STATUS& status, stream_effects* effects, uint32_t packets_after);
  bool lose_transfer(const usb_device::in_request& request, stream_effects* effects);
  void spoil(uint64_t sequence, stream_fault fault, bool lost_payload, bool ends_frame);
  unsigned draw(unsigned kind, uint64_t a, uint64_t b = 0) const;

  mutable std::mutex mutex_;
  stream_options options_;
  std::shared_ptr<frame_source> pattern_;  // used when options_.source is null
  stream_setup setup_;
  bool running_ = false;
  uint64_t generation_ = 0;

  // The frame being sent.
  bool frame_active_ = false;
  sent_frame current_;
  std::vector<uint8_t> frame_;
  size_t nominal_ = 0;           // bytes of the full frame (less than frame_ for a long frame)
  size_t offset_ = 0;            // bytes of frame_ cut into payloads so far
  bool interrupt_planned_ = false;
  uint64_t first_transfer_ = 0;  // transfer that carried the frame's first payload

  // Bulk: the rest of a payload cut by a short transfer.
  std::vector<uint8_t> tail_;
  uint64_t tail_sequence_ = 0;
  bool tail_ends_frame_ = false;
  size_t payload_total_ = 0;          // bytes of the payload being cut, header included
  bool zero_length_pending_ = false;  // the next transfer is the zero-length packet ending a payload

  uint8_t fid_ = 1;              // toggled when a frame begins: the first frame has FID 0
  uint64_t next_sequence_ = 0;
  uint64_t frames_since_options_ = 0;
  uint64_t stream_time_ = 0;     // 100 ns from the stream's start to the next frame's nominal start
  std::chrono::steady_clock::time_point next_due_;  // real time: when the next frame may begin
  uint32_t last_period_ = 0;     // 100 ns: the period of the frame begun last
  bool wake_pending_ = false;
  bool losing_transfer_ = false;  // lose_transfer is cutting the payloads of a failed transfer
  uint64_t transfers_ = 0;       // requests with packet 0 on the streaming endpoint
  uint64_t packets_ = 0;         // isochronous packets asked for
  unsigned request_errors_ = 0;

  std::deque<sent_frame> records_;
  stream_counters counters_;
};

}  // namespace sim
