// The driver backend: the driver linked into the tool, loaded into the
// kernel stand-in through its DriverEntry, with a simulated camera on the
// simulated USB bus below it. The tool then acts as a kernel-streaming
// client: it opens the capture filter, reads the pin's data ranges,
// intersects the chosen one, creates the pin with a reference clock, runs
// it and keeps read buffers queued. Frames are paced in real time.
//
// One session at a time per process: the stand-in's registry hive and pool
// are process-wide.
#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>
#include <kstandin/testing.h>
#include <kstandin/testing_io.h>
#include <kstandin/testing_ks.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <deque>

#include "capture_backend.h"
#include "driver_registers.h"
#include "status_text.h"
#include "driver_properties.h"
#include "img/img_type.h"
#include "sim/families/family_camera.h"
#include "sim/families/model_82xx.h"
#include "sim/raw_sensor_camera.h"
#include "sim/usb_bus.h"
#include "sim/uvc_camera.h"
#include "sim/uvc_profiles.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path);

namespace tvcam {
namespace {

constexpr ULONG kCapturePin = 0;
// The driver property of the raw-sensor cameras' loop statistics: an 8-byte
// head (count, record size) and 56-byte records (docs/tvcam.md).
const GUID kDriverPropertySetGuid = {0x4CB0D141, 0x9C2C, 0x49E5, {0x90, 0x05, 0xD7, 0xC0, 0x38, 0x2F, 0xD9, 0xD2}};
constexpr ULONG kLoopStatisticsId = 64;
constexpr size_t kLoopHeadSize = 8;
constexpr size_t kLoopRecordSize = 56;  // the smallest record read; 64 with the focus
constexpr size_t kLoopRecordsRead = 32;
// Reads that complete with an error in a row before the stream counts as broken.
constexpr unsigned kMaxFailedReadsInRow = 16;

// The last line the driver wrote to its debug log since the log was last
// taken: what it said about a failure it then returned a status for.
std::string driver_reason() {
  const std::vector<std::string> log = kstandin::take_debug_log();
  for (auto it = log.rbegin(); it != log.rend(); ++it) {
    std::string line = *it;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (!line.empty()) return line;
  }
  return std::string();
}

// What the tool itself can tell about descriptors a device start refused.
std::string descriptor_reason(const sim::uvc_camera& camera) {
  const std::vector<uint8_t>& config = camera.configuration_descriptor();
  if (config.size() >= 4) {
    const size_t declared = config[2] | config[3] << 8;
    if (declared > config.size()) {
      return "the configuration descriptor is " + std::to_string(config.size()) + " bytes but declares " +
             std::to_string(declared);
    }
  }
  return std::string();
}

// The streaming endpoint's transfer type from the configuration descriptor.
bool streams_isochronously(const sim::uvc_camera& camera) {
  const std::vector<uint8_t>& c = camera.configuration_descriptor();
  for (size_t at = 0; at + 2 <= c.size() && c[at] >= 2; at += c[at]) {
    if (c[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && c[at] >= 4 && at + 4 <= c.size() &&
        c[at + 2] == camera.streaming_endpoint()) {
      return (c[at + 3] & 3) == USB_ENDPOINT_TYPE_ISOCHRONOUS;
    }
  }
  return false;
}

// The DirectShow bitmap subtypes {E436EB7x-524F-11CE-9F53-0020AF0BA770}
// carry no FOURCC; their names are "RGB8", "RGB3" and "RGB4".
uint32_t subtype_fourcc(const GUID& subtype) {
  static const uint8_t kBitmapTail[8] = {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70};
  if (subtype.Data2 == 0x524F && subtype.Data3 == 0x11CE && memcmp(subtype.Data4, kBitmapTail, 8) == 0) {
    if (subtype.Data1 == 0xE436EB7A) return img::FOURCC_RGB8;
    if (subtype.Data1 == 0xE436EB7D) return img::FOURCC_RGB24;
    if (subtype.Data1 == 0xE436EB7E) return img::FOURCC_RGB32;
  }
  return subtype.Data1;
}

// The frame intervals the driver lists for range `index`
// (KSPROPERTY_VIDEOCONTROL_FRAME_RATES: a KSMULTIPLE_ITEM of LONGLONGs);
// empty when it lists none.
std::vector<int64_t> listed_intervals(kstandin::ks_filter* filter, ULONG index, const KS_DATARANGE_VIDEO& range) {
  KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S request = {};
  request.Property = kstandin::ks_make_property(PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_FRAME_RATES,
                                                KSPROPERTY_TYPE_GET);
  request.StreamIndex = kCapturePin;
  request.RangeIndex = index;
  request.Dimensions.cx = range.VideoInfoHeader.bmiHeader.biWidth;
  request.Dimensions.cy = range.VideoInfoHeader.bmiHeader.biHeight;
  std::vector<uint8_t> answer(sizeof(KSMULTIPLE_ITEM) + 64 * sizeof(LONGLONG));
  ULONG_PTR returned = 0;
  const NTSTATUS status = kstandin::ks_property(filter, &request, sizeof request, answer.data(),
                                                static_cast<ULONG>(answer.size()), &returned);
  std::vector<int64_t> intervals;
  if (!NT_SUCCESS(status) || returned < sizeof(KSMULTIPLE_ITEM)) return intervals;
  KSMULTIPLE_ITEM header;
  memcpy(&header, answer.data(), sizeof header);
  const size_t available = (returned - sizeof(KSMULTIPLE_ITEM)) / sizeof(LONGLONG);
  const size_t count = header.Count < available ? header.Count : available;
  for (size_t i = 0; i < count; ++i) {
    LONGLONG v;
    memcpy(&v, answer.data() + sizeof(KSMULTIPLE_ITEM) + i * sizeof(LONGLONG), sizeof v);
    if (v > 0) intervals.push_back(v);
  }
  return intervals;
}

bool video_format_of(const std::vector<uint8_t>& bytes, video_format* f) {
  if (bytes.size() < sizeof(KS_DATARANGE_VIDEO)) return false;
  KS_DATARANGE_VIDEO range;
  memcpy(&range, bytes.data(), sizeof range);
  const KS_BITMAPINFOHEADER& bmi = range.VideoInfoHeader.bmiHeader;
  f->fourcc = subtype_fourcc(range.DataRange.SubFormat);
  f->width = bmi.biWidth;
  f->height = bmi.biHeight;
  f->bit_count = bmi.biBitCount;
  f->sample_size = range.DataRange.SampleSize;
  f->default_interval = range.VideoInfoHeader.AvgTimePerFrame;
  f->min_interval = range.ConfigCaps.MinFrameInterval;
  f->max_interval = range.ConfigCaps.MaxFrameInterval;
  return true;
}

sim::start_value start_of(const start_choice& c) {
  sim::start_value v;
  v.value = c.value;
  switch (c.which) {
    case start_choice::kind::minimum: v.which = sim::start_value::kind::minimum; break;
    case start_choice::kind::maximum: v.which = sim::start_value::kind::maximum; break;
    case start_choice::kind::value: v.which = sim::start_value::kind::value; break;
    case start_choice::kind::model_default: break;
  }
  return v;
}

// A raw-sensor model with the user's scene, light and starting values; its
// noise follows the seed.
std::shared_ptr<sim::uvc_camera> create_with_sensor(const sim::camera_model& model, const camera_request& request,
                                                   std::string* error) {
  if (!model.create_with) {
    *error = "camera '" + model.id + "' has no sensor to set up";
    return nullptr;
  }
  sim::sensor_options options;
  if (!request.sensor.scene.empty()) options.scene = request.sensor.scene;
  options.kelvin = request.sensor.kelvin;
  options.exposure = start_of(request.sensor.exposure);
  options.gain = start_of(request.sensor.gain);
  options.seed = request.seed;
  options.stored_default_sets = request.stored_sets;
  options.stored_register_description = request.stored_description;
  options.defects = request.defects;
  std::shared_ptr<sim::uvc_camera> camera = model.create_with(options);
  if (!camera) *error = "unknown scene '" + options.scene + "'";
  return camera;
}

class driver_session : public camera_session {
 public:
  driver_session() = default;
  ~driver_session() override {
    const std::string failure = close();
    if (!failure.empty()) fprintf(stderr, "tvcam: %s\n", failure.c_str());
  }

  bool open(const camera_request& request, std::string* error, bool* refused) {
    kstandin::set_debug_echo(request.verbose);
    kstandin::take_debug_log();  // what earlier sessions left is not this one's reason
    registry_file_ = request.registry_file;
    kstandin::registry_reset();
    if (!registry_file_.empty() && access(registry_file_.c_str(), F_OK) == 0 &&
        !kstandin::registry_load(registry_file_)) {
      *error = "cannot load the registry hive " + registry_file_ + " (unreadable or not a hive file)";
      registry_file_.clear();  // never overwrite a file that did not load
      return false;
    }

    std::shared_ptr<sim::uvc_camera> camera;
    if (!request.descriptors_prefix.empty()) {
      const std::string& prefix = request.descriptors_prefix;
      const size_t slash = prefix.rfind('/');
      const std::string dir = slash == std::string::npos ? "." : prefix.substr(0, slash == 0 ? 1 : slash);
      camera = sim::uvc_camera::from_files(dir, slash == std::string::npos ? prefix : prefix.substr(slash + 1));
      if (!camera) {
        *error = "cannot read the descriptor files " + prefix + ".device.bin and " + prefix + ".config.bin";
        return false;
      }
    } else {
      const std::vector<sim::camera_model> models = sim::camera_models();
      const sim::camera_model* model =
          request.camera_id.empty() ? &models.front() : sim::find_camera_model(models, request.camera_id);
      if (!model) {
        *error = "unknown camera '" + request.camera_id + "'";
        *refused = true;
        return false;
      }
      const bool set_up = request.sensor.any() || !request.stored_sets.empty() || !request.stored_description.empty() ||
                          request.defects != 0;
      camera = set_up ? create_with_sensor(*model, request, error) : model->create();
      if (!camera) return false;
      // A sensor's first frame comes on time, as a real camera's does.
      if (auto raw = std::dynamic_pointer_cast<sim::raw_sensor_camera>(camera)) raw->sensor().prepare();
      auto family = std::dynamic_pointer_cast<sim::family_camera>(camera);
      if (family && family->sensor() != nullptr) family->sensor()->prepare();
    }
    if (!faults_apply(request.faults, streams_isochronously(*camera), camera->interrupt_endpoint() != 0, error)) {
      *refused = true;
      return false;
    }
    sim::stream_options options = camera->get_stream_options();
    options.real_time = true;
    options.seed = request.seed;
    options.faults = request.faults.stream;
    options.record_limit = 64;     // the counters say what was sent; the newest records
    options.record_bytes = false;  // only keep the faults of late losses; the driver has the frames
    camera->set_stream_options(options);
    sim::fault_plan plan;
    plan.seed = request.seed;
    plan.stall_per_mille = request.faults.control_stall;
    plan.hang_per_mille = request.faults.control_timeout;
    camera->set_fault_plan(plan);
    control_faults_ = plan.stall_per_mille != 0 || plan.hang_per_mille != 0;
    camera_ = camera;

    bus_.reset(new sim::usb_bus());
    // The same instance id in every session, so the device key (where the
    // driver keeps its saved values) is the same one the registry file had.
    char instance[64];
    snprintf(instance, sizeof instance, "USB\\VID_%04X&PID_%04X\\5&1A2B0001&0&1", camera->vendor_id(),
             camera->product_id());
    pdo_ = bus_->plug(camera, instance);
    if (!pdo_) {
      *error = "cannot plug the simulated camera (out of pool)";
      return false;
    }
    NTSTATUS status = kstandin::ks_load_driver(DriverEntry, &driver_);
    if (!NT_SUCCESS(status)) {
      *error = "the driver did not load: DriverEntry returned " + status_text(status, driver_reason());
      return false;
    }
    status = kstandin::ks_plug_device(driver_, pdo_, &device_);
    if (!NT_SUCCESS(status)) {
      std::string reason = descriptor_reason(*camera);
      const std::string logged = driver_reason();
      if (reason.empty()) reason = logged;
      *error = "the driver did not start the camera: " + status_text(status, reason);
      return false;
    }
    const std::vector<kstandin::ks_filter_info> filters = kstandin::ks_list_filters(device_);
    if (filters.empty()) {
      *error = "the started device has no filter";
      return false;
    }
    status = kstandin::ks_open_filter(filters.front(), &filter_);
    if (!NT_SUCCESS(status)) {
      *error = "cannot open the capture filter: " + status_text(status, driver_reason());
      return false;
    }
    properties_ = make_driver_properties(filter_, filters.front().descriptor);
    registers_ = make_driver_registers(filter_);
    status = kstandin::ks_pin_data_ranges(filter_, kCapturePin, &ranges_);
    if (!NT_SUCCESS(status)) {
      *error = "cannot read the pin's data ranges: " + status_text(status, driver_reason());
      return false;
    }
    for (size_t i = 0; i < ranges_.size(); ++i) {
      video_format f;
      if (!video_format_of(ranges_[i], &f)) {
        *error = "data range " + std::to_string(i) + " is shorter than a KS_DATARANGE_VIDEO";
        return false;
      }
      KS_DATARANGE_VIDEO range;
      memcpy(&range, ranges_[i].data(), sizeof range);
      f.intervals = listed_intervals(filter_, static_cast<ULONG>(i), range);
      formats_.push_back(f);
    }

    const std::string key = kstandin::device_key_path(pdo_);
    const std::string vendor = kstandin::registry_get_string(key, "VendorName").value_or("");
    const std::string model = kstandin::registry_get_string(key, "ModelName").value_or("");
    char ids[32];
    snprintf(ids, sizeof ids, "%04x:%04x", camera->vendor_id(), camera->product_id());
    name_ = vendor.empty() && model.empty() ? std::string("USB camera ") + ids
                                            : vendor + (vendor.empty() || model.empty() ? "" : " ") + model;
    return true;
  }

  std::string device_name() const override { return name_; }
  const std::vector<video_format>& formats() const override { return formats_; }

  bool start(const stream_request& request, std::string* error) override {
    if (request.format_index >= ranges_.size()) {
      *error = "no data range " + std::to_string(request.format_index);
      return false;
    }
    // The caller's range is the pin's own with the chosen frame interval:
    // the intersection takes the caller's frame fields and the pin's header.
    std::vector<uint8_t> wanted = ranges_[request.format_index];
    KS_DATARANGE_VIDEO range;
    memcpy(&range, wanted.data(), sizeof range);
    if (request.interval > 0) range.VideoInfoHeader.AvgTimePerFrame = request.interval;
    memcpy(wanted.data(), &range, sizeof range);
    std::vector<uint8_t> format;
    NTSTATUS status = kstandin::ks_intersect(filter_, kCapturePin, wanted.data(), &format);
    if (!NT_SUCCESS(status) || format.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
      *error = "the pin refused the data intersection: " + status_text(status, driver_reason());
      return false;
    }
    requested_interval_ = range.VideoInfoHeader.AvgTimePerFrame;
    KS_DATAFORMAT_VIDEOINFOHEADER header;
    memcpy(&header, format.data(), sizeof header);
    pin_height_ = header.VideoInfoHeader.bmiHeader.biHeight < 0 ? -header.VideoInfoHeader.bmiHeader.biHeight
                                                                : header.VideoInfoHeader.bmiHeader.biHeight;
    // MJPEG frames vary in size: the buffer holds the largest the range allows.
    buffer_size_ = header.VideoInfoHeader.bmiHeader.biSizeImage;
    if (range.DataRange.SampleSize > buffer_size_) buffer_size_ = range.DataRange.SampleSize;
    if (buffer_size_ == 0) {
      *error = "the negotiated format has no image size";
      return false;
    }

    clock_ = std::make_shared<kstandin::reference_clock>();
    status = kstandin::ks_create_pin(filter_, kCapturePin, format.data(), clock_, &pin_);
    if (!NT_SUCCESS(status)) {
      *error = "cannot create the capture pin: " + status_text(status, driver_reason());
      return false;
    }
    // ACQUIRE opens the camera stream: format negotiation and the pipe.
    status = kstandin::ks_set_pin_state(pin_, KSSTATE_PAUSE);
    if (!NT_SUCCESS(status)) {
      *error = "the pin did not reach PAUSE: " + status_text(status, driver_reason());
      return false;
    }
    buffers_ = request.buffers == 0 ? 1 : request.buffers;
    for (unsigned i = 0; i < buffers_; ++i) {
      if (!queue_read(error)) return false;
    }
    status = kstandin::ks_set_pin_state(pin_, KSSTATE_RUN);
    if (!NT_SUCCESS(status)) {
      *error = "the pin did not reach RUN: " + status_text(status, driver_reason());
      return false;
    }
    return true;
  }

  wait_result next_frame(unsigned timeout_ms, frame_record* record, std::vector<uint8_t>* data,
                         std::string* error) override {
    if (!pin_) {
      *error = "the stream is not running";
      return wait_result::failed;
    }
    unsigned failed_in_row = 0;
    for (;;) {
      if (completed_.empty()) {
        std::vector<kstandin::ks_completed_read> reads = kstandin::ks_take_completed(pin_, 1, timeout_ms);
        if (reads.empty()) return wait_result::timeout;
        for (auto& r : reads) completed_.push_back(std::move(r));
      }
      kstandin::ks_completed_read read = std::move(completed_.front());
      completed_.pop_front();
      // Every completed read is replaced, so the driver always has buffers.
      if (!queue_read(error)) return wait_result::failed;
      if (!NT_SUCCESS(read.status)) {
        if (++failed_in_row >= kMaxFailedReadsInRow) {
          *error = std::to_string(failed_in_row) + " reads in a row completed with an error, the last with " +
                   status_text(read.status, driver_reason());
          return wait_result::failed;
        }
        continue;
      }
      const KSSTREAM_HEADER& h = read.header;
      record->data_used = h.DataUsed;
      record->options_flags = h.OptionsFlags;
      record->presentation_time = h.PresentationTime.Time;
      record->duration = h.Duration;
      record->has_frame_info = read.has_frame_info;
      if (read.has_frame_info) {
        record->picture_number = read.frame_info.PictureNumber;
        record->drop_count = read.frame_info.DropCount;
        record->frame_flags = read.frame_info.dwFrameFlags;
      }
      if (read.has_frame_info) loop_values_of(record);
      // DataUsed beyond the buffer would be a driver fault; never read past it.
      const size_t used = h.DataUsed < read.data.size() ? h.DataUsed : read.data.size();
      read.data.resize(used);
      *data = std::move(read.data);
      return wait_result::frame;
    }
  }

  // The loops' values the driver recorded for the frame of `record`: the
  // frame is the driver's delivered-frame number, picture number + 1 - drop
  // count. Cameras without loops do not answer the property.
  void loop_values_of(frame_record* record) {
    if (!loops_answer_) return;
    const int64_t frame = record->picture_number + 1 - record->drop_count;
    KSPROPERTY request = kstandin::ks_make_property(kDriverPropertySetGuid, kLoopStatisticsId, KSPROPERTY_TYPE_GET);
    std::vector<uint8_t> answer(kLoopHeadSize + kLoopRecordSize * kLoopRecordsRead);
    ULONG_PTR returned = 0;
    const NTSTATUS status =
        kstandin::ks_property(filter_, &request, sizeof request, answer.data(), static_cast<ULONG>(answer.size()), &returned);
    if (!NT_SUCCESS(status) || returned < kLoopHeadSize) {
      loops_answer_ = false;
      return;
    }
    auto le32 = [&](size_t at) {
      return static_cast<uint32_t>(answer[at] | answer[at + 1] << 8 | answer[at + 2] << 16 |
                                   static_cast<uint32_t>(answer[at + 3]) << 24);
    };
    const uint32_t count = le32(0);
    const uint32_t size = le32(4);
    if (size < kLoopRecordSize) return;
    for (uint32_t i = 0; i < count && kLoopHeadSize + (i + 1) * size <= returned; ++i) {
      const size_t at = kLoopHeadSize + i * size;
      const int64_t recorded = static_cast<int64_t>(le32(at) | static_cast<uint64_t>(le32(at + 4)) << 32);
      if (recorded != frame) continue;
      loop_values& v = record->loop;
      v.ran = (le32(at + 8) & 1) != 0;
      v.brightness = static_cast<int32_t>(le32(at + 12));
      v.exposure = static_cast<int32_t>(le32(at + 16));
      v.gain = static_cast<int32_t>(le32(at + 20));
      v.wb_r = static_cast<int32_t>(le32(at + 24));
      v.wb_g = static_cast<int32_t>(le32(at + 28));
      v.wb_b = static_cast<int32_t>(le32(at + 32));
      v.temperature = static_cast<int32_t>(le32(at + 36));
      if (size >= kLoopRecordSize + 8) {
        const uint32_t flags = le32(at + 8);
        v.has_focus = true;
        v.focus_searching = (flags & 0x8) != 0;
        v.focus_moved = (flags & 0x10) != 0;
        v.focus_position = static_cast<int32_t>(le32(at + 56));
        v.focus_sharpness = static_cast<int32_t>(le32(at + 60));
      }
      record->has_loop_values = true;
    }
  }

  bool dropped_frames(int64_t* picture_number, int64_t* drop_count) override {
    if (!pin_) return false;
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S request = {};
    request.Property =
        kstandin::ks_make_property(PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT, KSPROPERTY_TYPE_GET);
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S answer = {};
    ULONG_PTR returned = 0;
    const NTSTATUS status = kstandin::ks_property(pin_, &request, sizeof request, &answer, sizeof answer, &returned);
    if (!NT_SUCCESS(status) || returned < sizeof answer) return false;
    *picture_number = answer.PictureNumber;
    *drop_count = answer.DropCount;
    return true;
  }

  int64_t negotiated_interval() const override {
    if (!camera_ || !pin_) return 0;
    // A camera whose pixel clock sets the frame time (an 0x82xx with timing
    // registers) runs at that clock's period, whatever interval the commit
    // names; the driver sets the clock for the rate asked.
    if (auto window = std::dynamic_pointer_cast<sim::model_82xx>(camera_)) {
      if (window->current_period() != 0) return window->current_period();
    }
    const sim::uvc_streaming_control committed = camera_->committed();
    if (committed.dwFrameInterval == 0) return requested_interval_;
    // A camera that sends a picture as two fields (the 0x8800 with an
    // interlaced source) commits the field rate: the client gets half.
    const std::vector<sim::uvc_format_info>& formats = camera_->formats();
    if (committed.bFormatIndex >= 1 && committed.bFormatIndex <= formats.size()) {
      const sim::uvc_format_info& f = formats[committed.bFormatIndex - 1];
      if (committed.bFrameIndex >= 1 && committed.bFrameIndex <= f.frames.size() &&
          2 * int64_t(f.frames[committed.bFrameIndex - 1].height) == pin_height_) {
        return 2 * int64_t(committed.dwFrameInterval);
      }
    }
    return committed.dwFrameInterval;
  }

  property_access* properties() override { return properties_.get(); }
  register_access* registers() override { return registers_.get(); }

  void stop() override {
    if (!pin_) return;
    kstandin::ks_set_pin_state(pin_, KSSTATE_STOP);
    kstandin::ks_close_pin(pin_);
    pin_ = nullptr;
    completed_.clear();
  }

  std::vector<std::pair<std::string, uint64_t>> faults_sent() const override {
    std::vector<std::pair<std::string, uint64_t>> sent;
    if (!camera_) return sent;
    const sim::stream_counters c = camera_->sent_counters();
    for (size_t i = 0; i < sim::kStreamFaultKinds; ++i) {
      const auto fault = static_cast<sim::stream_fault>(i);
      if (fault != sim::stream_fault::none && fault != sim::stream_fault::abandoned && c.frames_by_fault[i] != 0) {
        sent.emplace_back(std::string(sim::fault_name(fault)) + " frames", c.frames_by_fault[i]);
      }
    }
    if (c.empty_packets != 0) sent.emplace_back("empty packets", c.empty_packets);
    if (c.failed_requests != 0) sent.emplace_back("failed transfers", c.failed_requests);
    if (c.interrupts != 0) {
      sent.emplace_back("interrupt packets", c.interrupts);
      // The driver reads the interrupt endpoint only for camera families
      // that use it; packets nobody took are still queued.
      const size_t unread = camera_->queued_in_blocks(camera_->interrupt_endpoint());
      if (unread != 0) sent.emplace_back("interrupt packets the driver did not read", unread);
    }
    if (control_faults_) {
      uint64_t stalled = 0, unanswered = 0;
      for (const sim::request_record& r : camera_->control_requests()) {
        stalled += r.usbd_status == USBD_STATUS_STALL_PID ? 1 : 0;
        unanswered += r.cancelled ? 1 : 0;
      }
      if (stalled != 0) sent.emplace_back("stalled control requests", stalled);
      if (unanswered != 0) sent.emplace_back("unanswered control requests", unanswered);
    }
    return sent;
  }

  bool finish(std::string* error) override {
    std::string failure = close();
    if (!failure.empty()) *error = failure;
    return failure.empty();
  }

 private:
  bool queue_read(std::string* error) {
    const NTSTATUS status = kstandin::ks_queue_read(pin_, buffer_size_, true);
    if (status != STATUS_PENDING && !NT_SUCCESS(status)) {
      *error = "cannot queue a read buffer: " + status_text(status, driver_reason());
      return false;
    }
    return true;
  }

  // Undoes open() and start() in reverse, whatever point they reached, and
  // saves the registry hive; returns why that failed, or nothing.
  std::string close() {
    stop();
    properties_.reset();
    registers_.reset();
    if (filter_) kstandin::ks_close_filter(filter_);
    filter_ = nullptr;
    if (device_) kstandin::ks_remove_device(device_);
    device_ = nullptr;
    if (driver_) kstandin::ks_unload_driver(driver_);
    driver_ = nullptr;
    if (pdo_) bus_->unplug(pdo_);
    pdo_ = nullptr;
    bus_.reset();
    camera_.reset();
    std::string failure;
    if (!registry_file_.empty() && !kstandin::registry_save(registry_file_)) {
      failure = "cannot save the registry hive to " + registry_file_;
    }
    registry_file_.clear();
    return failure;
  }

  std::string registry_file_;
  std::shared_ptr<sim::uvc_camera> camera_;
  std::unique_ptr<sim::usb_bus> bus_;
  PDEVICE_OBJECT pdo_ = nullptr;
  kstandin::ks_driver* driver_ = nullptr;
  kstandin::ks_device* device_ = nullptr;
  kstandin::ks_filter* filter_ = nullptr;
  bool loops_answer_ = true;  // cleared when the camera has no loop statistics
  std::unique_ptr<property_access> properties_;  // of filter_
  std::unique_ptr<register_access> registers_;   // of filter_
  kstandin::ks_pin* pin_ = nullptr;
  std::shared_ptr<kstandin::reference_clock> clock_;
  std::vector<std::vector<uint8_t>> ranges_;
  std::vector<video_format> formats_;
  std::string name_;
  ULONG buffer_size_ = 0;
  unsigned buffers_ = 0;
  int64_t requested_interval_ = 0;
  int64_t pin_height_ = 0;  // lines of the pin's format
  bool control_faults_ = false;
  std::deque<kstandin::ks_completed_read> completed_;
};

class driver_backend : public camera_backend {
 public:
  std::vector<camera_model_info> models() const override {
    std::vector<camera_model_info> list;
    for (const sim::camera_model& m : sim::camera_models()) {
      camera_model_info info;
      info.id = m.id;
      info.description = m.description;
      info.is_default = list.empty();
      info.family = m.family;
      info.vendor_id = m.vendor_id;
      info.product_id = m.product_id;
      info.colour = m.colour;
      info.focus = m.focus;
      if (m.create_with) info.scenes = sim::scene_names();
      list.push_back(info);
    }
    return list;
  }

  std::unique_ptr<camera_session> open(const camera_request& request, std::string* error,
                                       bool* refused) override {
    std::unique_ptr<driver_session> session(new driver_session());
    *refused = false;
    if (!session->open(request, error, refused)) return nullptr;
    return session;
  }
};

}  // namespace

std::unique_ptr<camera_backend> make_driver_backend() { return std::unique_ptr<camera_backend>(new driver_backend()); }

}  // namespace tvcam
