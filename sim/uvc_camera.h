// A simulated USB Video Class 1.1 camera, configured by data: either a
// description (uvc_camera_desc) from which the device and configuration
// descriptors are generated, or raw descriptor bytes of a real camera. In
// both cases the camera parses its own configuration descriptor and then
// answers the class requests of every unit, terminal and control declared
// there, negotiates probe/commit over the declared formats and frames, and
// serves vendor requests (camera memory, firmware revision, registered
// handlers). Once a format is committed it streams video (uvc_stream.h).
//
// Stall behaviour follows a real device: an unknown entity or selector, a
// SET_CUR with the wrong length, a value outside [min, max] or a request
// the control does not support stalls (USBD_STATUS_STALL_PID), and the
// reason is kept in the request error code control (VideoControl
// interface, selector VC_REQUEST_ERROR_CODE_CONTROL). A control an
// automatic mode owns (uvc_controls.h, auto_rule) reports so in GET_INFO;
// a value written to it is kept but shows only once the mode is manual
// (strict: the write stalls with "wrong state"). The test pattern the
// camera streams shows its picture controls (picture_controls.h).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "picture_controls.h"
#include "usb_device.h"
#include "uvc_controls.h"
#include "uvc_stream.h"

namespace sim {

// Vendor request of the camera memory: wValue = address >> 16, wIndex =
// address & 0xFFFF; IN reads wLength bytes, OUT writes them, OUT without
// data erases the 64 KiB block holding the address to 0xFF.
constexpr uint8_t kVendorCameraMemory = 0x10;

// ---- description --------------------------------------------------------------
struct uvc_frame_desc {
  uint16_t width = 640;
  uint16_t height = 480;
  uint32_t default_interval = 333333;  // 100 ns
  // Discrete intervals (100 ns), ascending; empty = continuous range below.
  std::vector<uint32_t> intervals{333333, 666666, 1000000};
  uint32_t min_interval = 333333;  // continuous range
  uint32_t max_interval = 10000000;
  uint32_t interval_step = 333333;
  uint32_t max_frame_size = 0;  // dwMaxVideoFrameBufferSize; 0 = width * height * bpp / 8
};

enum class uvc_format_kind { uncompressed, mjpeg, frame_based };

struct uvc_format_desc {
  uvc_format_kind kind = uvc_format_kind::uncompressed;
  GUID guid{};  // uncompressed and frame-based: guidFormat
  uint8_t bits_per_pixel = 16;
  std::vector<uvc_frame_desc> frames{uvc_frame_desc{}};
  bool color_matching = true;
};

struct uvc_extension_unit_desc {
  uint8_t unit_id = 0;     // 0 = assigned after the processing unit
  GUID guid{};
  uint8_t num_controls = 0;
  std::vector<uint8_t> bm_controls{0};  // bControlSize bytes
  uint16_t control_length = 4;           // bytes of every control of the unit the tables do not know
  // Controls that replace those the set bits give (entity is filled in);
  // a control whose bit is not set is not added.
  std::vector<uvc_control> controls;
};

// Streaming by isochronous alternate settings (iso_packet_sizes: one
// alternate setting per raw wMaxPacketSize value, bits 11-12 included) or,
// when that list is empty, by one bulk endpoint on alternate setting 0.
struct uvc_camera_desc {
  uint16_t vendor_id = 0x199E;
  uint16_t product_id = 0x8207;
  uint16_t bcd_device = 0x0100;
  uint16_t bcd_usb = 0x0200;
  std::string manufacturer = "Talvexa";
  std::string product = "Simulated Camera";
  std::string serial = "12345678";
  uint16_t bcd_uvc = 0x0110;
  uint32_t clock_frequency = 48000000;
  uint8_t camera_terminal_id = 1;
  uint8_t processing_unit_id = 2;
  uint8_t output_terminal_id = 3;
  uint32_t camera_controls = 0x00000A;    // bmControls (3 bytes): auto-exposure mode, exposure absolute
  uint32_t processing_controls = 0x0000FF;  // bmControls (2 bytes): brightness ... gamma, WB temperature
  std::vector<uvc_extension_unit_desc> extension_units;
  // Ranges and values that replace those of declared controls (entity and
  // selector name the control; undeclared ones are not added).
  std::vector<uvc_control> control_overrides;
  bool interrupt_endpoint = false;  // endpoint 0x83 on the VideoControl interface
  std::vector<uvc_format_desc> formats;
  std::vector<uint16_t> iso_packet_sizes{128, 512, 1024, 0x1400};  // 0x1400 = 3 x 1024
  uint16_t bulk_packet_size = 512;
  uint8_t streaming_endpoint = 0x81;
};

// A typical camera: YUY2 640x480 and 320x240 (discrete intervals) and MJPEG
// 1280x720 (continuous), four isochronous alternate settings.
uvc_camera_desc default_camera_desc();
// GUID of a FOURCC in the USB Video Class form {FOURCC-0000-0010-8000-00AA00389B71}.
GUID fourcc_guid(const char fourcc[4]);

// ---- streaming negotiation ------------------------------------------------------
// Probe/commit structure fields (offsets of the USB Video Class layout).
struct uvc_streaming_control {
  uint16_t bmHint = 0;
  uint8_t bFormatIndex = 0;
  uint8_t bFrameIndex = 0;
  uint32_t dwFrameInterval = 0;
  uint16_t wKeyFrameRate = 0;
  uint16_t wPFrameRate = 0;
  uint16_t wCompQuality = 0;
  uint16_t wCompWindowSize = 0;
  uint16_t wDelay = 0;
  uint32_t dwMaxVideoFrameSize = 0;
  uint32_t dwMaxPayloadTransferSize = 0;
  uint32_t dwClockFrequency = 0;  // UVC 1.1 and later from here on
  uint8_t bmFramingInfo = 0;
  uint8_t bPreferedVersion = 0;
  uint8_t bMinVersion = 0;
  uint8_t bMaxVersion = 0;

  // Serialises the first `length` bytes (26, 34 or 48).
  std::vector<uint8_t> to_bytes(size_t length) const;
  // Reads what `bytes` holds; missing fields stay 0.
  static uvc_streaming_control from_bytes(const uint8_t* bytes, size_t length);
};

// What the camera found in its own configuration descriptor.
struct uvc_frame_info {
  uint8_t index = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  uint32_t default_interval = 0;
  uint32_t max_frame_size = 0;
  std::vector<uint32_t> intervals;  // discrete; empty: continuous
  uint32_t min_interval = 0, max_interval = 0, interval_step = 0;
};
struct uvc_format_info {
  uint8_t index = 0;
  uint8_t subtype = 0;  // 4 uncompressed, 6 MJPEG, 16 frame-based
  GUID guid{};          // guidFormat of uncompressed and frame-based formats
  uint8_t bits_per_pixel = 0;
  uint8_t default_frame = 1;
  std::vector<uvc_frame_info> frames;
};
struct uvc_entity_info {
  uint8_t id = 0;
  uint8_t subtype = 0;           // 2 input terminal, 3 output terminal, 4 selector, 5 processing, 6 extension
  uint16_t terminal_type = 0;    // terminals
  GUID guid{};                   // extension units
  uint8_t input_pins = 0;        // selector units: bNrInPins
  std::vector<uint8_t> bm_controls;
};

class uvc_camera : public usb_device {
 public:
  // Generates the descriptors from the description.
  static std::shared_ptr<uvc_camera> create(const uvc_camera_desc& desc);
  // A camera from a real device's descriptors. Never fails: whatever the
  // descriptors declare (possibly nothing usable) is answered.
  static std::shared_ptr<uvc_camera> from_descriptors(std::vector<uint8_t> device_descriptor,
                                                      std::vector<uint8_t> configuration);
  // Reads "<directory>/<name>.device.bin" and "<directory>/<name>.config.bin";
  // null when a file cannot be read.
  static std::shared_ptr<uvc_camera> from_files(const std::string& directory,
                                                const std::string& name);

  uvc_camera(std::vector<uint8_t> device_descriptor, std::vector<uint8_t> configuration);
  ~uvc_camera() override;

  // ---- what was parsed
  uint16_t bcd_uvc() const { return bcd_uvc_; }
  uint8_t control_interface() const { return vc_interface_; }
  // The first VideoStreaming interface; formats() are its formats.
  uint8_t streaming_interface() const { return vs_interface_; }
  const std::vector<uvc_entity_info>& entities() const { return entities_; }
  const std::vector<uvc_format_info>& formats() const;
  // Formats of any VideoStreaming interface (a configuration may hold
  // several video functions).
  const std::vector<uvc_format_info>* formats_of(uint8_t streaming_interface) const;
  // Bytes of this camera's probe/commit structure: 26 (UVC 1.0), 34 (1.1), 48 (1.5).
  size_t probe_length() const;

  // ---- controls
  // Adds or replaces a control.
  void define_control(const uvc_control& control);
  void remove_control(uint8_t entity, uint8_t selector);
  std::optional<uvc_control> control(uint8_t entity, uint8_t selector) const;
  std::vector<uvc_control> controls() const;
  // Sets the current value as the device itself would (no range check).
  void set_current(uint8_t entity, uint8_t selector, const std::vector<uint8_t>& value);
  // What the picture controls (brightness, contrast, saturation, gain,
  // exposure) currently do to the test pattern (picture_controls.h).
  picture_settings picture() const;
  // The request error code of the last class request (uvc::ERROR_*).
  uint8_t request_error_code() const;
  // A GET_CUR, SET_CUR or range request with a wLength other than the
  // control's length stalls when strict (default: GET requests answer at
  // most wLength bytes, SET_CUR always needs the exact length).
  void set_strict_get_length(bool strict);
  // SET_CUR of a control an automatic mode owns stalls with
  // ERROR_WRONG_STATE when strict (default: the value is kept and ignored
  // until the mode is manual).
  void set_strict_automatic_modes(bool strict);

  // ---- probe / commit
  // State of the first VideoStreaming interface.
  uvc_streaming_control probe() const;
  uvc_streaming_control committed() const;
  unsigned commit_count() const;
  // Requests to the probe/commit controls with a wLength other than
  // probe_length() stall when strict (default: any wLength from 26 up is
  // accepted and answered with at most wLength bytes).
  void set_strict_probe_length(bool strict);

  // ---- camera memory (vendor request 0x10)
  void set_memory_size(uint32_t bytes);  // default 16 MiB; accesses beyond stall
  std::vector<uint8_t> memory(uint32_t address, uint32_t length) const;
  void write_memory(uint32_t address, const std::vector<uint8_t>& bytes);
  // The next `count` memory reads return data with one byte inverted.
  void corrupt_memory_reads(unsigned count);
  unsigned memory_erase_count() const;
  // Largest wLength of one memory request; longer ones stall.
  void set_memory_max_request(uint16_t bytes);

  // ---- firmware revision: vendor IN request 0x16 (2 bytes) and 0x01 (4 bytes)
  void set_firmware_revision(uint32_t revision);

  // ---- video
  // The first VideoStreaming interface streams the committed format, frame
  // and interval once a commit (VS_COMMIT_CONTROL SET_CUR) has been
  // received since the camera was plugged or its port reset: an
  // isochronous interface while an alternate setting other than 0 is
  // selected, a bulk one whenever transfers are pending on its endpoint. A
  // commit and every selection of an alternate setting of that interface
  // (a new configuration too) restart the stream with a new frame and
  // discard the data the host has not taken yet; alternate setting 0 of an
  // isochronous interface stops it. A camera model with a picture of its
  // own (a sensor) shows it where the options name no source.
  virtual void set_stream_options(const stream_options& options);
  virtual stream_options get_stream_options() const;
  // Frames sent since the record was last cleared (at most
  // stream_options::record_limit, the newest), oldest first.
  std::vector<sent_frame> sent_frames() const;
  void clear_sent_frames();
  stream_counters sent_counters() const;
  // A format is committed and the stream runs (see above).
  bool streaming() const;
  // The streaming interface's endpoint for video, and the VideoControl
  // interface's interrupt endpoint (0: none).
  uint8_t streaming_endpoint() const { return streaming_endpoint_; }
  uint8_t interrupt_endpoint() const { return interrupt_endpoint_; }

  // Tests that feed their own payloads replace the camera's video with
  // `source`; null gives the endpoint back to the camera's video.
  using payload_source = in_data_source;
  void set_payload_source(payload_source source);

 protected:
  USBD_STATUS handle_class_or_vendor(const setup_packet& setup, std::vector<uint8_t>& data) override;
  void on_alternate_setting(uint8_t interface_number, uint8_t alternate_setting) override;
  void on_port_reset() override;

 private:
  void parse_configuration();
  void add_declared_controls();
  bool under_automatic_control(const uvc_control& c, const uvc_control** automatic) const;
  void update_picture();
  USBD_STATUS control_request(const setup_packet& setup, std::vector<uint8_t>& data);
  USBD_STATUS streaming_request(const setup_packet& setup, std::vector<uint8_t>& data);
  USBD_STATUS memory_request(const setup_packet& setup, std::vector<uint8_t>& data);
  USBD_STATUS stall(uint8_t error_code);
  struct streaming_state {
    std::vector<uvc_format_info> formats;
    uvc_streaming_control probe;
    uvc_streaming_control commit;
    uint32_t max_payload = 0;  // largest per-microframe payload of its isochronous endpoints
    bool bulk = false;
    uint8_t endpoint = 0;         // the IN endpoint that carries video
    uint16_t bulk_packet = 0;     // wMaxPacketSize of a bulk endpoint
    bool committed = false;       // a commit since plugging or the last port reset
    uint8_t alternate = 0;        // the selected alternate setting
  };
  uvc_streaming_control negotiate(const streaming_state& vs, const uvc_streaming_control& wanted) const;
  uvc_streaming_control default_probe(const streaming_state& vs) const;
  void install_video_source();
  void restart_stream(streaming_state& vs);

  uint16_t bcd_uvc_ = 0x0100;
  uint8_t vc_interface_ = 0;
  uint8_t vs_interface_ = 1;
  uint32_t clock_frequency_ = 48000000;
  std::vector<uint8_t> vc_interfaces_;
  std::vector<uvc_entity_info> entities_;
  std::map<uint8_t, streaming_state> streaming_;  // by interface number

  std::map<uint16_t, uvc_control> controls_;  // key: entity << 8 | selector
  uint8_t camera_terminal_id_ = 0;  // the first camera terminal and processing unit; 0: none
  uint8_t processing_unit_id_ = 0;
  std::shared_ptr<picture_controls> picture_;  // shared with pattern_
  std::shared_ptr<frame_source> pattern_;      // the test pattern, with the picture controls
  std::shared_ptr<frame_source> user_source_;  // the source the caller set; null: pattern_
  uint8_t error_code_ = uvc::ERROR_NONE;
  bool strict_get_length_ = false;
  bool strict_automatic_modes_ = false;
  bool strict_probe_length_ = false;
  unsigned commit_count_ = 0;

  uint32_t memory_size_ = 16u << 20;
  std::map<uint32_t, std::vector<uint8_t>> memory_blocks_;  // 64 KiB blocks by block number
  unsigned corrupt_reads_ = 0;
  unsigned erase_count_ = 0;
  uint16_t memory_max_request_ = 4096;

  uint8_t streaming_endpoint_ = 0;  // of vs_interface_; set at construction
  uint8_t interrupt_endpoint_ = 0;
  uvc_stream stream_;               // its own lock; taken after lock_, never the reverse
};

}  // namespace sim
