// raw_sensor_pipeline: what the raw-sensor camera families (camera_83xx,
// camera_84xx) share and embed by value: the transform-pipe holder (the
// parameter record, the tone-mapping state and the scratch buffer), the
// automatic-loop holder (auto_state and auto_settings), the feature group,
// the sensor values the loops read, the queue of control writes the loops
// decide, and the record of the loops' values per delivered frame.
//
// Life cycle, as the family calls it:
//   on_init_end     create      tone-mapping state and auto_state (loops every 5 frames)
//   on_stream_start start       scratch for the stream's pair of formats, zeroed pipe
//                               and loop state, sensor values read, the write queue open
//   frame worker    auto_cycle  the automatic loops on the raw frame; changes queued
//                   transform   the features' parameters and img::transform
//   on_stream_stop  stop        write queue drained and closed, scratch freed
//   destructor      destroy
//
// Contexts: create, start, stop and destroy run at PASSIVE_LEVEL under the
// camera's stream mutex (or at init); auto_cycle and transform on the frame
// worker at PASSIVE_LEVEL, one frame at a time, allocating nothing and
// never waiting. Control writes run on the queue's work item.
#pragma once

#include "auto/auto_process.h"
#include "controls/uvc_control_records.h"
#include "features/image_feature.h"
#include "img/img_transform_pipe.h"
#include "kernel/kernel_api.h"

class uvc_camera;

// ---- the transform-pipe holder ---------------------------------------------------------
struct pipe_holder {
  img::transform_params params;   // zeroed at every stream start, refilled per frame
  img::tonemapping_state* state;  // non-paged, "ITUD"; lives with the camera
  void* scratch;                  // paged, "Auvc"; sized per stream
  ULONG scratch_length;
};

// Allocates the tone-mapping state. STATUS_INSUFFICIENT_RESOURCES.
NTSTATUS pipe_create(pipe_holder* pipe);
void pipe_destroy(pipe_holder* pipe);
// Zeroes the parameters and the tone-mapping state and sizes the scratch
// buffer for the pair (get_scratch_space_size): exactly that many bytes, a
// size of 0 frees it. STATUS_INSUFFICIENT_RESOURCES when it cannot be had.
NTSTATUS pipe_prepare(pipe_holder* pipe, const img::img_type& destination,
                      const img::img_type& source);
// Frees the scratch buffer and zeroes the parameters and the state.
void pipe_release(pipe_holder* pipe);

// ---- the automatic-loop holder ------------------------------------------------------------
struct auto_holder {
  img::auto_state* state;  // in `memory`
  void* memory;            // auto_state_size() bytes, non-paged, "Auvc"
  img::auto_settings settings;
  ULONGLONG time_us;           // of the current frame
  LONGLONG counter_frequency;  // read once
};

// Allocates the state memory and creates the state in it.
// STATUS_INSUFFICIENT_RESOURCES when either fails.
NTSTATUS auto_create(auto_holder* holder, const img::auto_init& init);
void auto_destroy(auto_holder* holder);
// Zeroes the settings and resets the state.
void auto_reset(auto_holder* holder);
// Stamps the settings with the performance counter in microseconds (and
// with `started`, the counter when the frame began to arrive, 0 when
// unknown) and returns them for filling.
img::auto_settings& frame_time(auto_holder* holder, LONGLONG started = 0);
// A performance-counter value in microseconds (0 for 0).
ULONGLONG counter_microseconds(const auto_holder* holder, LONGLONG counter);

// ---- the sensor values the loops read -------------------------------------------------------
// The family's exposure and gain controls as the features see them
// (sensor_access): private copies of the camera's control records, so that
// the work item's writes share no memory with the property requests that
// read and write the same controls, and the values last read or written,
// which the frame path reads under the feature group's lock.
//
// The focus is the camera's focus control (camera control 6), whichever
// control serves it on the family (the UVC camera terminal's focus, or
// the 0x82xx/0x83xx focus register): its range and value are read through
// the control registry when the family binds it, and each position the
// autofocus chooses is written through the same control, as a client's set
// would be (so the control keeps and saves it).
class sensor_values final : public sensor_access {
 public:
  explicit sensor_values(feature_group* group);

  // Copies the records (null: the camera has no such control). PASSIVE_LEVEL,
  // at init.
  void bind(const uvc_control_record* exposure, const uvc_control_record* gain);
  // Takes the range and value of the camera's focus control; without one
  // the camera has no focus motor. PASSIVE_LEVEL, at init, after the
  // family's controls are registered and before the features attach.
  void bind_focus(uvc_camera* camera);
  // Reads the current values from the camera (stream start, before any
  // write can be queued).
  void refresh(uvc_camera* camera);

  void read_exposure(img::auto_exposure_control* exposure) override;
  void read_gain(img::auto_gain_control* gain) override;
  bool read_focus(LONG* position, LONG* minimum, LONG* maximum) override;
  NTSTATUS write_exposure(uvc_camera* camera, LONG value) override;
  NTSTATUS write_gain(uvc_camera* camera, LONG value) override;
  NTSTATUS write_focus(uvc_camera* camera, LONG value) override;
  void refresh_focus(uvc_camera* camera) override;

 private:
  struct control {
    bool present;
    LONG value;  // guarded by the group's lock
    LONG minimum;
    LONG maximum;
  };
  NTSTATUS write(uvc_camera* camera, uvc_control_record* record, control* held, LONG value);
  static void take_range(const uvc_control_record* record, control* held);

  feature_group* group_;
  uvc_control_record exposure_record_;  // copies (see bind), used by the work item only
  uvc_control_record gain_record_;
  control exposure_;
  control gain_;
  control focus_;
};

// ---- control writes decided by the loops ----------------------------------------------------
// One work item, allocated when the stream opens, carries the changes the
// loops note to the camera. Changes posted while it is queued or running
// are merged (the newest value of each control wins) and sent by the same
// item, which queues itself again; posting never allocates. The writes are
// the feature group's (gain, focus, exposure).
class control_write_queue {
 public:
  control_write_queue();
  // Allocates the work item. PASSIVE_LEVEL. STATUS_INSUFFICIENT_RESOURCES.
  NTSTATUS open(PDEVICE_OBJECT device, uvc_camera* camera, feature_group* group);
  // Refuses further posts, waits until the item is idle and frees it.
  // PASSIVE_LEVEL, never from the item itself.
  void close();
  // Merges `changes` and queues the item unless it is queued already.
  // IRQL <= DISPATCH_LEVEL. Ignored while closed.
  void post(const auto_changes& changes);
  // Writes sent since open, and how many of them failed.
  ULONG writes() const { return writes_; }
  // The newest focus position written and the performance counter when the
  // camera answered the write (0: none since open). IRQL <= DISPATCH_LEVEL.
  void last_focus_write(LONG* position, LONGLONG* answered);

 private:
  static void routine(PDEVICE_OBJECT device, PVOID context);
  void run();

  KSPIN_LOCK lock_;
  KEVENT idle_;           // notification; signalled while nothing is queued or running
  PIO_WORKITEM item_;     // null while closed
  bool open_;             // guarded by lock_
  bool queued_;           // queued or running; guarded by lock_
  auto_changes pending_;  // guarded by lock_
  uvc_camera* camera_;
  feature_group* group_;
  ULONG writes_;  // work item only
  LONG focus_written_;         // guarded by lock_
  LONGLONG focus_answered_;    // guarded by lock_
};

// ---- the loops' values per delivered frame ---------------------------------------------------
// Read by clients through driver property loop_statistics_property: an
// 8-byte head (record count, record size) and the newest records that fit,
// oldest first. Little-endian, 64 bytes per record.
constexpr ULONG loop_statistics_property = 64;
namespace loop_record {
constexpr ULONG head_size = 8;
constexpr ULONG size = 64;
constexpr ULONG frame = 0;  // 64-bit: the delivered frame, 1 for the first of a stream
constexpr ULONG flags = 8;  // loop_record_flag bits
constexpr ULONG brightness =
    12;  // measured mean, 8-bit scale (the last one when the loops did not run)
constexpr ULONG exposure = 16;  // the loops' exposure for the camera (control unit)
constexpr ULONG gain = 20;      // the loops' gain (64 = 1.0)
constexpr ULONG wb_r = 24;      // the loops' white-balance gains (64 = 1.0)
constexpr ULONG wb_g = 28;
constexpr ULONG wb_b = 32;
constexpr ULONG temperature = 36;  // kelvin
constexpr ULONG applied_r = 40;    // white-balance gains of this frame's transform
constexpr ULONG applied_g = 44;
constexpr ULONG applied_b = 48;
constexpr ULONG applied_g2 = 52;
constexpr ULONG focus_position = 56;   // where the lens is or goes (the focus control's unit)
constexpr ULONG focus_sharpness = 60;  // the autofocus's last measured sharpness; 0 before any
}  // namespace loop_record
namespace loop_record_flag {
constexpr ULONG loops_ran = 0x1;      // the loops measured this frame
constexpr ULONG white_balance = 0x2;  // the transform applied the white-balance gains
constexpr ULONG write_queued = 0x4;   // changes for the camera were queued
constexpr ULONG focus_search = 0x8;   // the autofocus search is running
constexpr ULONG focus_moved = 0x10;   // the autofocus handed out a new focus position
}  // namespace loop_record_flag

class loop_statistics {
 public:
  static constexpr ULONG capacity = 32;
  loop_statistics();
  // Forgets every record (stream start). PASSIVE_LEVEL.
  void clear();
  // Frame worker: the record of `frame`, replacing one of the same frame.
  void put(ULONGLONG frame, const img::auto_result& result, const img::transform_params& params,
           bool write_queued);
  // Any thread at PASSIVE_LEVEL: the answer described above into `output`.
  // An output under the head: STATUS_BUFFER_TOO_SMALL. `returned` may be
  // null.
  NTSTATUS read(PVOID output, ULONG output_size, ULONG* returned);

 private:
  struct entry {
    ULONGLONG frame;
    ULONG flags;
    LONG values[13];  // brightness .. focus_sharpness, in record order
  };
  KSPIN_LOCK lock_;
  entry entries_[capacity];
  ULONG next_;  // where the next record goes
  ULONG count_;
};

// ---- the cycle -------------------------------------------------------------------------------
// How the exposure and focus regions the features give (sensor
// coordinates) lie on the image: a flipped sensor mirrors them, X' = width -
// X and Y' = height - Y with the frame's size. The regions keep offset 0 and
// scale 1 (no sensor description gives others).
struct region_mirror {
  bool x;
  bool y;
};

// Switches copied into the parameters of every frame.
struct raw_frame_switches {
  UCHAR empia_pattern_fix;
  UCHAR smooth_2x2;
  UCHAR j003_pattern_fix;
};

class raw_sensor_pipeline {
 public:
  static constexpr LONG loop_interval = 5;  // frames between runs of the loops

  raw_sensor_pipeline();
  ~raw_sensor_pipeline();

  NTSTATUS create();
  // `destination` and `source` are the stream's types (the source relabelled
  // as the family transforms it).
  NTSTATUS start(uvc_camera* camera, PDEVICE_OBJECT device, const img::img_type& destination,
                 const img::img_type& source);
  void stop();

  // The automatic cycle on the raw frame `source` (before the transform,
  // which may change it): the features fill the settings, the loops run,
  // the features take the result and note their changes, which are queued
  // to the camera. `frame` is the delivered-frame number the result is
  // recorded under.
  void auto_cycle(const img::img_descriptor& source, ULONGLONG frame, img::auto_result* result,
                  const region_mirror* mirror = nullptr);
  // The features' parameters, the family's switches, the processor mask,
  // the flip (bit 0) and the scratch buffer; then img::transform and the
  // features' read-back.
  void transform(const img::img_descriptor& destination, const img::img_descriptor& source,
                 UCHAR flip, const raw_frame_switches& switches, ULONG cpu_features);

  // The parameters of the last transform (the scratch buffer included).
  const img::transform_params& parameters() const { return pipe_.params; }
  feature_group& features() { return features_; }
  sensor_values& sensor() { return sensor_; }
  loop_statistics& statistics() { return statistics_; }
  control_write_queue& writes() { return writes_; }

 private:
  pipe_holder pipe_;
  auto_holder auto_;
  feature_group features_;
  sensor_values sensor_;
  control_write_queue writes_;
  loop_statistics statistics_;
  ULONGLONG pending_frame_;  // the frame auto_cycle recorded
  img::auto_result pending_result_;
  bool pending_queued_;
  uvc_camera* camera_;  // of the running stream
};

// The overlay line of a frame whose loops ran, into `buffer` (`size` bytes,
// zero-terminated): "bright=%d, exp=%d, gain=%d r=%3d g=%3d b=%3d", and
// ", temp=%d" after it when `with_temperature`.
constexpr ULONG loop_line_size = 100;
void format_loop_line(char* buffer, ULONG size, const img::auto_result& result,
                      bool with_temperature);
