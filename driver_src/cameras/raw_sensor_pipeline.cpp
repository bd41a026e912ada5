// raw_sensor_pipeline: the holders, the sensor values, the control-write
// queue, the per-frame record and the automatic cycle of the raw-sensor
// families (see the header).
#include "cameras/raw_sensor_pipeline.h"

#include "controls/camera_control.h"
#include "controls/property_request.h"
#include "controls/uvc_control_records.h"
#include "kernel/extended_state.h"
#include "kernel/pool_tags.h"
#include "usb/control_request.h"
#include "uvc/uvc_camera.h"
#include "uvc/version_banner.h"

namespace {

void* allocate_state(void*, size_t size, uint32_t tag) {
  return ExAllocatePoolWithTag(NonPagedPoolNx, size, tag);
}

void release_state(void*, void* block, uint32_t tag) {
  if (block != nullptr) ExFreePoolWithTag(block, tag);
}

const img::transform_state_allocator state_allocator = {allocate_state, release_state, nullptr};

constexpr ULONGLONG microseconds_per_second = 1000000;

// A region in image coordinates of a flipped sensor; an empty region (all
// zero: the whole image, or none) stays empty.
void mirror_one(img::auto_region& r, const img::img_type& image, const region_mirror& mirror) {
  if ((r.left | r.top | r.right | r.bottom) == 0) return;
  if (mirror.x) {
    const LONG left = image.dim_x - r.right;
    r.right = image.dim_x - r.left;
    r.left = left;
  }
  if (mirror.y) {
    const LONG top = image.dim_y - r.bottom;
    r.bottom = image.dim_y - r.top;
    r.top = top;
  }
}

// The exposure and focus regions of a flipped sensor: both are given as
// the client sees the image.
void mirror_region(img::auto_settings& settings, const img::img_type& image,
                   const region_mirror& mirror) {
  settings.offset_x = 0;
  settings.offset_y = 0;
  settings.scale_x = 1;
  settings.scale_y = 1;
  mirror_one(settings.region, image, mirror);
  mirror_one(settings.focus.region, image, mirror);
}

bool any_change(const auto_changes& changes) {
  return changes.exposure_changed || changes.gain_changed || changes.focus_changed;
}

}  // namespace

// ---- pipe holder ----------------------------------------------------------------------------

NTSTATUS pipe_create(pipe_holder* pipe) {
  RtlZeroMemory(&pipe->params, sizeof(pipe->params));
  pipe->scratch = nullptr;
  pipe->scratch_length = 0;
  pipe->state = img::create_transform_state(state_allocator);
  return pipe->state != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

void pipe_destroy(pipe_holder* pipe) {
  pipe_release(pipe);
  img::destroy_transform_state(pipe->state, state_allocator);
  pipe->state = nullptr;
}

NTSTATUS pipe_prepare(pipe_holder* pipe, const img::img_type& destination,
                      const img::img_type& source) {
  RtlZeroMemory(&pipe->params, sizeof(pipe->params));
  if (pipe->state != nullptr) img::init_transform_state(pipe->state, img::transform_state_size);
  const int wanted = img::get_scratch_space_size(destination, source);
  const ULONG size = wanted > 0 ? ULONG(wanted) : 0;
  if (size != pipe->scratch_length || (size != 0 && pipe->scratch == nullptr)) {
    if (pipe->scratch != nullptr) ExFreePoolWithTag(pipe->scratch, pool_tag::objects);
    pipe->scratch = nullptr;
    pipe->scratch_length = 0;
    if (size != 0) {
      // The transform runs at PASSIVE_LEVEL on the frame worker.
      pipe->scratch = ExAllocatePoolWithTag(PagedPool, size, pool_tag::objects);
      if (pipe->scratch == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
      pipe->scratch_length = size;
    }
  }
  return STATUS_SUCCESS;
}

void pipe_release(pipe_holder* pipe) {
  if (pipe->scratch != nullptr) ExFreePoolWithTag(pipe->scratch, pool_tag::objects);
  pipe->scratch = nullptr;
  pipe->scratch_length = 0;
  RtlZeroMemory(&pipe->params, sizeof(pipe->params));
  if (pipe->state != nullptr) img::init_transform_state(pipe->state, img::transform_state_size);
}

// ---- auto holder -------------------------------------------------------------------------------

NTSTATUS auto_create(auto_holder* holder, const img::auto_init& init) {
  LARGE_INTEGER frequency;
  KeQueryPerformanceCounter(&frequency);
  holder->counter_frequency = frequency.QuadPart;
  RtlZeroMemory(&holder->settings, sizeof(holder->settings));
  holder->time_us = 0;
  const size_t size = img::auto_state_size();
  holder->memory = ExAllocatePoolWithTag(NonPagedPoolNx, size, pool_tag::objects);
  if (holder->memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  holder->state = img::auto_state_create(holder->memory, size, init);
  if (holder->state == nullptr) {
    ExFreePoolWithTag(holder->memory, pool_tag::objects);
    holder->memory = nullptr;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

void auto_destroy(auto_holder* holder) {
  if (holder->memory != nullptr) ExFreePoolWithTag(holder->memory, pool_tag::objects);
  holder->memory = nullptr;
  holder->state = nullptr;
}

void auto_reset(auto_holder* holder) {
  RtlZeroMemory(&holder->settings, sizeof(holder->settings));
  if (holder->state != nullptr) img::auto_state_reset(*holder->state);
}

ULONGLONG counter_microseconds(const auto_holder* holder, LONGLONG counter) {
  if (counter <= 0) return 0;
  const ULONGLONG frequency =
      holder->counter_frequency > 0 ? ULONGLONG(holder->counter_frequency) : 1;
  // Whole seconds and the rest apart: counter x 10^6 overflows 64 bits
  // after days of a fast counter.
  return ULONGLONG(counter) / frequency * microseconds_per_second +
         ULONGLONG(counter) % frequency * microseconds_per_second / frequency;
}

img::auto_settings& frame_time(auto_holder* holder, LONGLONG started) {
  holder->time_us = counter_microseconds(holder, KeQueryPerformanceCounter(nullptr).QuadPart);
  holder->settings.time_us = holder->time_us;
  holder->settings.frame_start_us = counter_microseconds(holder, started);
  return holder->settings;
}

// ---- sensor values
// ---------------------------------------------------------------------------------

sensor_values::sensor_values(feature_group* group)
    : group_(group),
      exposure_record_(),
      gain_record_(),
      exposure_(),
      gain_(),
      focus_() {}

void sensor_values::take_range(const uvc_control_record* record, control* held) {
  held->present = true;
  held->value = control_value(record, record->current);
  held->minimum = record->has_range ? control_value(record, record->minimum) : held->value;
  held->maximum = record->has_range ? control_value(record, record->maximum) : held->value;
  if (held->maximum < held->minimum) held->maximum = held->minimum;
}

void sensor_values::bind(const uvc_control_record* exposure, const uvc_control_record* gain) {
  exposure_ = {};
  gain_ = {};
  if (exposure != nullptr && exposure->length != 0) {
    exposure_record_ = *exposure;
    exposure_record_.mode = control_mode_camera;
    take_range(&exposure_record_, &exposure_);
  }
  if (gain != nullptr && gain->length != 0) {
    gain_record_ = *gain;
    gain_record_.mode = control_mode_camera;
    take_range(&gain_record_, &gain_);
  }
}

namespace {

// The focus control's current value: a get of camera control 6 as a client
// would send it (the 40-byte standard record).
NTSTATUS read_focus_control(uvc_camera* camera, LONG* value) {
  UCHAR record[control_record::standard_size] = {};
  ULONG returned = 0;
  const NTSTATUS status =
      property_request(camera, PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_FOCUS,
                       control_request_get, nullptr, 0, record, sizeof(record), &returned);
  if (!NT_SUCCESS(status)) return status;
  if (returned < control_record::value + sizeof(ULONG)) return STATUS_UNSUCCESSFUL;
  *value = LONG(get_field(record, control_record::value));
  return STATUS_SUCCESS;
}

}  // namespace

void sensor_values::bind_focus(uvc_camera* camera) {
  focus_ = {};
  UCHAR range[control_record::range_size] = {};
  ULONG returned = 0;
  if (!NT_SUCCESS(property_request(camera, PROPSETID_VIDCAP_CAMERACONTROL,
                                   KSPROPERTY_CAMERACONTROL_FOCUS, control_request_range, nullptr,
                                   0, range, sizeof(range), &returned)) ||
      returned < sizeof(range)) {
    return;
  }
  control held = {};
  held.minimum = LONG(get_field(range, 0));
  held.maximum = LONG(get_field(range, 4));
  // A focus that cannot move is no motor; one that does not answer its
  // value starts at the bottom of its range.
  if (held.maximum <= held.minimum) return;
  if (!NT_SUCCESS(read_focus_control(camera, &held.value))) held.value = held.minimum;
  held.present = true;
  feature_lock lock(group_);
  focus_ = held;
}

void sensor_values::refresh_focus(uvc_camera* camera) {
  LONG focus = 0;
  if (camera != nullptr && focus_.present && NT_SUCCESS(read_focus_control(camera, &focus))) {
    feature_lock lock(group_);
    focus_.value = focus;
  }
}

void sensor_values::refresh(uvc_camera* camera) {
  refresh_focus(camera);
  const struct {
    uvc_control_record* record;
    control* held;
  } controls[] = {{&exposure_record_, &exposure_}, {&gain_record_, &gain_}};
  for (const auto& c : controls) {
    if (!c.held->present) continue;
    // A camera that does not answer keeps the value last known.
    if (!NT_SUCCESS(control_record_request(camera, c.record, uvc_request_code::get_cur))) continue;
    const LONG value = control_value(c.record, c.record->current);
    feature_lock lock(group_);
    c.held->value = value;
  }
}

void sensor_values::read_exposure(img::auto_exposure_control* exposure) {
  exposure->min = exposure_.minimum;
  exposure->max = exposure_.maximum;
  exposure->value = exposure_.value;
  exposure->step = 1;
}

void sensor_values::read_gain(img::auto_gain_control* gain) {
  gain->min = gain_.minimum;
  gain->max = gain_.maximum;
  gain->value = gain_.value;
  gain->step = 1;
  gain->logarithmic = false;
}

bool sensor_values::read_focus(LONG* position, LONG* minimum, LONG* maximum) {
  if (!focus_.present) return false;
  *position = focus_.value;
  *minimum = focus_.minimum;
  *maximum = focus_.maximum;
  return true;
}

NTSTATUS sensor_values::write(uvc_camera* camera, uvc_control_record* record, control* held,
                              LONG value) {
  if (!held->present) return STATUS_NOT_SUPPORTED;
  const NTSTATUS status = write_control_record(camera, record, ULONG(value));
  if (NT_SUCCESS(status)) {
    feature_lock lock(group_);
    held->value = value;
  }
  return status;
}

NTSTATUS sensor_values::write_exposure(uvc_camera* camera, LONG value) {
  return write(camera, &exposure_record_, &exposure_, value);
}

NTSTATUS sensor_values::write_gain(uvc_camera* camera, LONG value) {
  return write(camera, &gain_record_, &gain_, value);
}

// A manual set of camera control 6, as a client's would be: the family's
// focus control sends it to the camera and keeps and saves the value.
NTSTATUS sensor_values::write_focus(uvc_camera* camera, LONG value) {
  if (!focus_.present) return STATUS_NOT_SUPPORTED;
  UCHAR record[control_record::standard_size] = {};
  RtlCopyMemory(record, &PROPSETID_VIDCAP_CAMERACONTROL, sizeof(GUID));
  put_field(record, sizeof(GUID), KSPROPERTY_CAMERACONTROL_FOCUS);
  put_field(record, sizeof(GUID) + 4, control_request_set);
  put_field(record, control_record::value, ULONG(value));
  put_field(record, control_record::flags, control_flag_manual);
  ULONG returned = 0;
  const NTSTATUS status =
      property_request(camera, PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_FOCUS,
                       control_request_set, nullptr, 0, record, sizeof(record), &returned);
  if (NT_SUCCESS(status)) {
    feature_lock lock(group_);
    focus_.value = value;
  }
  return status;
}

// ---- control write queue
// --------------------------------------------------------------------------

control_write_queue::control_write_queue()
    : item_(nullptr),
      open_(false),
      queued_(false),
      pending_(),
      camera_(nullptr),
      group_(nullptr),
      writes_(0),
      focus_written_(0),
      focus_answered_(0) {
  KeInitializeSpinLock(&lock_);
  KeInitializeEvent(&idle_, NotificationEvent, TRUE);
}

NTSTATUS control_write_queue::open(PDEVICE_OBJECT device, uvc_camera* camera,
                                   feature_group* group) {
  if (item_ != nullptr) return STATUS_SUCCESS;
  item_ = IoAllocateWorkItem(device);
  if (item_ == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  camera_ = camera;
  group_ = group;
  writes_ = 0;
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  pending_ = {};
  queued_ = false;
  open_ = true;
  focus_written_ = 0;
  focus_answered_ = 0;
  KeSetEvent(&idle_, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&lock_, irql);
  return STATUS_SUCCESS;
}

void control_write_queue::close() {
  if (item_ == nullptr) return;
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  open_ = false;
  KeReleaseSpinLock(&lock_, irql);
  KeWaitForSingleObject(&idle_, Executive, KernelMode, FALSE, nullptr);
  // The routine signals idle with the lock held; taking it once more makes
  // sure it has let go of this object before the item is freed.
  KeAcquireSpinLock(&lock_, &irql);
  KeReleaseSpinLock(&lock_, irql);
  IoFreeWorkItem(item_);
  item_ = nullptr;
}

void control_write_queue::post(const auto_changes& changes) {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  if (open_ && any_change(changes)) {
    if (changes.exposure_changed) {
      pending_.exposure_changed = true;
      pending_.exposure = changes.exposure;
    }
    if (changes.gain_changed) {
      pending_.gain_changed = true;
      pending_.gain = changes.gain;
    }
    if (changes.focus_changed) {
      pending_.focus_changed = true;
      pending_.focus = changes.focus;
    }
    if (!queued_) {
      queued_ = true;
      KeClearEvent(&idle_);
      IoQueueWorkItem(item_, routine, DelayedWorkQueue, this);
    }
  }
  KeReleaseSpinLock(&lock_, irql);
}

// System worker thread, PASSIVE_LEVEL.
void control_write_queue::routine(PDEVICE_OBJECT, PVOID context) {
  static_cast<control_write_queue*>(context)->run();
}

// Sends what is pending until nothing is; changes posted meanwhile go out
// in the next round. Only a close stops it from sending what was posted.
void control_write_queue::run() {
  for (;;) {
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    const auto_changes changes = pending_;
    pending_ = {};
    if (!any_change(changes)) {
      queued_ = false;
      KeSetEvent(&idle_, IO_NO_INCREMENT, FALSE);
      KeReleaseSpinLock(&lock_, irql);
      return;
    }
    KeReleaseSpinLock(&lock_, irql);
    group_->write_to_camera(camera_, changes);
    ++writes_;
    if (changes.focus_changed) {
      // Failed or not, the camera has answered: the autofocus waits for
      // the lens from here, not from when it chose the position.
      const LONGLONG answered = KeQueryPerformanceCounter(nullptr).QuadPart;
      KeAcquireSpinLock(&lock_, &irql);
      focus_written_ = changes.focus;
      focus_answered_ = answered;
      KeReleaseSpinLock(&lock_, irql);
    }
  }
}

void control_write_queue::last_focus_write(LONG* position, LONGLONG* answered) {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  *position = focus_written_;
  *answered = focus_answered_;
  KeReleaseSpinLock(&lock_, irql);
}

// ---- loop statistics
// ------------------------------------------------------------------------------

loop_statistics::loop_statistics() : entries_(), next_(0), count_(0) {
  KeInitializeSpinLock(&lock_);
}

void loop_statistics::clear() {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  next_ = 0;
  count_ = 0;
  KeReleaseSpinLock(&lock_, irql);
}

void loop_statistics::put(ULONGLONG frame, const img::auto_result& result,
                          const img::transform_params& params, bool write_queued) {
  entry e;
  e.frame = frame;
  e.flags = (result.valid ? loop_record_flag::loops_ran : 0) |
            (params.wb_enable ? loop_record_flag::white_balance : 0) |
            (write_queued ? loop_record_flag::write_queued : 0) |
            (result.focus_searching ? loop_record_flag::focus_search : 0) |
            (result.focus_move ? loop_record_flag::focus_moved : 0);
  const LONG values[] = {result.brightness,
                         result.exposure,
                         result.gain,
                         result.wb_r,
                         result.wb_g,
                         result.wb_b,
                         result.temperature,
                         LONG(params.wb_gain_r),
                         LONG(params.wb_gain_g),
                         LONG(params.wb_gain_b),
                         LONG(params.wb_gain_g2),
                         result.focus_position,
                         result.focus_sharpness};
  static_assert(sizeof(values) == sizeof(e.values), "one value per record field");
  RtlCopyMemory(e.values, values, sizeof(values));
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  // A frame whose transform failed comes again under the same number.
  const ULONG last = (next_ + capacity - 1) % capacity;
  if (count_ > 0 && entries_[last].frame == frame) {
    entries_[last] = e;
  } else {
    entries_[next_] = e;
    next_ = (next_ + 1) % capacity;
    if (count_ < capacity) ++count_;
  }
  KeReleaseSpinLock(&lock_, irql);
}

NTSTATUS loop_statistics::read(PVOID output, ULONG output_size, ULONG* returned) {
  ULONG ignored = 0;
  if (returned == nullptr) returned = &ignored;
  *returned = 0;
  if (output == nullptr || output_size < loop_record::head_size) return STATUS_BUFFER_TOO_SMALL;
  // Copied out under the lock, written to the client's buffer without it.
  entry copy[capacity];
  ULONG count;
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  count = count_;
  for (ULONG i = 0; i < count; ++i) copy[i] = entries_[(next_ + capacity - count + i) % capacity];
  KeReleaseSpinLock(&lock_, irql);

  const ULONG fit = (output_size - loop_record::head_size) / loop_record::size;
  const ULONG written = count < fit ? count : fit;
  UCHAR* out = static_cast<UCHAR*>(output);
  put_le32(out, written);
  put_le32(out + 4, loop_record::size);
  for (ULONG i = 0; i < written; ++i) {
    const entry& e = copy[count - written + i];
    UCHAR* r = out + loop_record::head_size + i * loop_record::size;
    put_le32(r + loop_record::frame, ULONG(e.frame));
    put_le32(r + loop_record::frame + 4, ULONG(e.frame >> 32));
    put_le32(r + loop_record::flags, e.flags);
    for (ULONG v = 0; v < ARRAYSIZE(e.values); ++v) {
      put_le32(r + loop_record::brightness + 4 * v, ULONG(e.values[v]));
    }
  }
  *returned = loop_record::head_size + written * loop_record::size;
  return STATUS_SUCCESS;
}

// ---- the cycle
// ------------------------------------------------------------------------------------------

raw_sensor_pipeline::raw_sensor_pipeline()
    : pipe_(),
      auto_(),
      features_(),
      sensor_(&features_),
      writes_(),
      statistics_(),
      pending_frame_(0),
      pending_result_(),
      pending_queued_(false),
      camera_(nullptr) {}

raw_sensor_pipeline::~raw_sensor_pipeline() {
  stop();
  pipe_destroy(&pipe_);
  auto_destroy(&auto_);
}

NTSTATUS raw_sensor_pipeline::create() {
  NTSTATUS status = pipe_create(&pipe_);
  if (!NT_SUCCESS(status)) return status;
  img::auto_init init = {};
  init.frame_interval = loop_interval;
  return auto_create(&auto_, init);
}

NTSTATUS raw_sensor_pipeline::start(uvc_camera* camera, PDEVICE_OBJECT device,
                                    const img::img_type& destination, const img::img_type& source) {
  NTSTATUS status = pipe_prepare(&pipe_, destination, source);
  if (!NT_SUCCESS(status)) return status;
  auto_reset(&auto_);
  statistics_.clear();
  camera_ = camera;
  pending_frame_ = 0;
  pending_result_ = {};
  pending_queued_ = false;
  sensor_.refresh(camera);
  return writes_.open(device, camera, &features_);
}

void raw_sensor_pipeline::stop() {
  writes_.close();
  pipe_release(&pipe_);
}

void raw_sensor_pipeline::auto_cycle(const img::img_descriptor& source, ULONGLONG frame,
                                     img::auto_result* result, const region_mirror* mirror) {
  img::auto_settings& settings = frame_time(&auto_, camera_ != nullptr ? camera_->frame_started() : 0);
  {
    feature_lock lock(&features_);
    sensor_.read_exposure(&settings.exposure);
    sensor_.read_gain(&settings.gain);
    features_.fill_auto_settings(settings);
  }
  LONG written = 0;
  LONGLONG answered = 0;
  writes_.last_focus_write(&written, &answered);
  settings.focus.written_position = written;
  settings.focus.written_us = counter_microseconds(&auto_, answered);
  if (mirror != nullptr) mirror_region(settings, source, *mirror);
  if (auto_.state != nullptr) {
    img::auto_process_frame(*result, source, settings, *auto_.state);
  } else {
    *result = {};
  }
  auto_changes changes = {};
  bool changed;
  {
    feature_lock lock(&features_);
    changed = features_.take_auto_result(*result, settings, changes);
  }
  if (changed) writes_.post(changes);
  pending_frame_ = frame;
  pending_result_ = *result;
  pending_queued_ = changed;
}

void raw_sensor_pipeline::transform(const img::img_descriptor& destination,
                                    const img::img_descriptor& source, UCHAR flip,
                                    const raw_frame_switches& switches, ULONG cpu_features) {
  img::transform_params& params = pipe_.params;
  {
    feature_lock lock(&features_);
    features_.fill_transform_params(params);
  }
  params.cpu_features = cpu_features;
  params.flip_vertical = flip & 1;
  params.empia_pattern_fix = switches.empia_pattern_fix;
  params.smooth_2x2 = switches.smooth_2x2;
  params.j003_pattern_fix = switches.j003_pattern_fix;
  params.scratch_space = pipe_.scratch;
  params.scratch_space_len = LONG(pipe_.scratch_length);
  // The AVX2 kernels only between a save and a restore of the extended
  // processor state, once per frame.
  transform_with_extended_state(destination, source, params, pipe_.state);
  {
    feature_lock lock(&features_);
    features_.after_transform(params);
  }
  statistics_.put(pending_frame_, pending_result_, params, pending_queued_);
}

void format_loop_line(char* buffer, ULONG size, const img::auto_result& result,
                      bool with_temperature) {
  ansi_text line(buffer, size);
  line.append("bright=");
  line.append_decimal(result.brightness);
  line.append(", exp=");
  line.append_decimal(result.exposure);
  line.append(", gain=");
  line.append_decimal(result.gain);
  line.append(" r=");
  line.append_decimal(result.wb_r, 1, 3);
  line.append(" g=");
  line.append_decimal(result.wb_g, 1, 3);
  line.append(" b=");
  line.append_decimal(result.wb_b, 1, 3);
  if (with_temperature) {
    line.append(", temp=");
    line.append_decimal(result.temperature);
  }
}
