// image_feature: what a camera family needs from the feature objects that
// present its software image corrections (white balance, colour
// enhancement, tone mapping, denoise, highlight reduction, exposure and
// gain automation, focus region, sensor WDR) as properties, and the
// feature group a raw-sensor camera embeds to hold them.
//
// A feature is a camera control (camera_control.h): it answers its
// property keys through the control registry, saves every change under its
// store names with save_control_value and takes stored values back in
// apply_default (uvc_camera::init runs apply_defaults after on_init_end, so
// a feature attached in on_init_end gets its saved values). On top of that
// it has four per-frame operations, called in this order by the family for
// every raw frame on the frame worker (PASSIVE_LEVEL, one frame at a time
// per camera, nothing allocated or waited for):
//
//   fill_auto_settings      its part of img::auto_settings, before the loops
//   take_auto_result        compares img::auto_result with what it holds,
//                           keeps what is its own (the white balance takes
//                           its new gains) and notes in `auto_changes`
//                           what must go to the camera
//   fill_transform_params   its fields of img::transform_params
//   after_transform         reads back what the pipe computed (tone mapping)
//
// and one operation on the family's work item (PASSIVE_LEVEL, never on the
// frame path): write_to_camera, which sends the noted values.
//
// Locking: property requests (client threads, under the device's state
// mutex) and the frame worker both touch a feature. The frame operations
// run with the group's spin lock held (DISPATCH_LEVEL: they must not wait,
// page or call the camera); a feature takes the same lock (feature_lock)
// whenever a property request changes a field those operations read. USB
// requests are never made with the lock held. write_to_camera runs without
// it.
#pragma once

#include "auto/auto_types.h"
#include "controls/camera_control.h"
#include "img/img_transform_pipe.h"
#include "kernel/kernel_api.h"

// What the frame's loops decided to send to the camera: one record per
// queued work item, merged when the work item has not run yet (the newest
// value of each control wins).
struct auto_changes {
  bool exposure_changed;
  LONG exposure;  // the exposure control's unit (sensor_access)
  bool gain_changed;
  LONG gain;
  bool focus_changed;
  LONG focus;
  // New white-balance gains for a camera that applies them itself (it has
  // colour-channel controls of its own); 64 = 1.0. A camera whose gains the
  // driver applies never gets these: they reach the image through
  // img::transform_params.
  bool white_balance_changed;
  LONG wb_red;
  LONG wb_green;
  LONG wb_blue;
};

// Folds `newer` into `pending` (a work item not yet run): each control
// that changed again takes its newest value.
inline void merge_auto_changes(auto_changes& pending, const auto_changes& newer) {
  if (newer.exposure_changed) {
    pending.exposure_changed = true;
    pending.exposure = newer.exposure;
  }
  if (newer.gain_changed) {
    pending.gain_changed = true;
    pending.gain = newer.gain;
  }
  if (newer.focus_changed) {
    pending.focus_changed = true;
    pending.focus = newer.focus;
  }
  if (newer.white_balance_changed) {
    pending.white_balance_changed = true;
    pending.wb_red = newer.wb_red;
    pending.wb_green = newer.wb_green;
    pending.wb_blue = newer.wb_blue;
  }
}

// The camera's sensor controls as the family gives them to its features.
// The read operations answer from values the family keeps in memory (no
// request to the camera: they are called on the frame path with the group
// lock held); the write operations send a value to the camera and, on
// success, make it the value the reads give. Writes run at PASSIVE_LEVEL
// on the work item only.
class sensor_access {
 public:
  // Current value, range and step, in the control's own unit (the 84xx:
  // exposure in microseconds; the 83xx: in 100 us; gains 64 = 1.0).
  // Fills the value fields only; the automatic flags are the features'.
  virtual void read_exposure(img::auto_exposure_control* exposure) = 0;
  virtual void read_gain(img::auto_gain_control* gain) = 0;
  // False when the camera has no focus motor.
  virtual bool read_focus(LONG* position, LONG* minimum, LONG* maximum) = 0;
  virtual NTSTATUS write_exposure(uvc_camera* camera, LONG value) = 0;
  virtual NTSTATUS write_gain(uvc_camera* camera, LONG value) = 0;
  virtual NTSTATUS write_focus(uvc_camera* camera, LONG value) = 0;
  // Takes the focus position from the camera again, where a client's set
  // may have moved it since (PASSIVE_LEVEL, no feature lock held).
  virtual void refresh_focus(uvc_camera* camera) {}

 protected:
  ~sensor_access() {}
};

// Kinds the family orders the control writes by: gain, focus, exposure.
enum class feature_kind : ULONG {
  exposure,
  gain,
  focus,
  white_balance,
  colour,  // colour enhancement
  image,   // saturation, hue, sharpness, denoise, tone mapping, highlight reduction, gamma
  other,
};

class image_feature : public camera_control {
 public:
  explicit image_feature(feature_kind kind) : kind_(kind) {}
  ~image_feature() override {}

  feature_kind kind() const { return kind_; }

  // A feature without properties of its own answers none.
  NTSTATUS set_property(uvc_camera*, control_call*) override { return STATUS_NOT_IMPLEMENTED; }
  NTSTATUS get_property(uvc_camera*, control_call*) override { return STATUS_NOT_IMPLEMENTED; }

  // ---- frame worker, group lock held ------------------------------------------
  virtual void fill_auto_settings(img::auto_settings& settings) {}
  // `settings` are what the loops ran with (the current values).
  virtual void take_auto_result(const img::auto_result& result, const img::auto_settings& settings,
                                auto_changes& changes) {}
  virtual void fill_transform_params(img::transform_params& params) {}
  virtual void after_transform(const img::transform_params& params) {}

  // ---- work item, PASSIVE_LEVEL, no lock held ---------------------------------
  // Sends this feature's part of `changes`; the first failure is returned.
  virtual NTSTATUS write_to_camera(uvc_camera* camera, const auto_changes& changes) {
    return STATUS_SUCCESS;
  }

 private:
  feature_kind kind_;
};

// The features of one camera, in the order they were attached. The camera
// owns the feature objects (its owned sub-objects); the group points at
// them and serialises their frame operations with its spin lock. Embedded
// by value in the raw-sensor families.
class feature_group {
 public:
  static constexpr ULONG capacity = 16;

  feature_group();
  feature_group(const feature_group&) = delete;
  feature_group& operator=(const feature_group&) = delete;

  // Hands `feature` to the camera (destroyed with it, also when this
  // fails) and adds it to the group. The feature registers its property
  // keys itself. PASSIVE_LEVEL, while the camera initialises.
  // STATUS_INSUFFICIENT_RESOURCES for a null feature (an allocation that
  // failed) or a full group.
  NTSTATUS attach(uvc_camera* camera, image_feature* feature);

  ULONG count() const { return count_; }
  image_feature* at(ULONG index) const { return index < count_ ? features_[index] : nullptr; }
  // The first feature of a kind, or null.
  image_feature* find(feature_kind kind) const;

  // The lock of the frame operations (see the header comment).
  KSPIN_LOCK* lock() { return &lock_; }

  // Each frame operation of every feature, in attach order. The caller
  // holds the lock.
  void fill_auto_settings(img::auto_settings& settings);
  // True when some feature noted a change for the camera.
  bool take_auto_result(const img::auto_result& result, const img::auto_settings& settings,
                        auto_changes& changes);
  void fill_transform_params(img::transform_params& params);
  void after_transform(const img::transform_params& params);

  // The work item's writes: the gain, the focus position, the exposure and
  // the white-balance gains, each by the features of its kind and only when
  // it changed. Returns the first failure. PASSIVE_LEVEL, lock not held.
  NTSTATUS write_to_camera(uvc_camera* camera, const auto_changes& changes);

 private:
  image_feature* features_[capacity];
  ULONG count_;
  KSPIN_LOCK lock_;
};

// Holds the group's lock for a scope (raises to DISPATCH_LEVEL).
class feature_lock {
 public:
  explicit feature_lock(feature_group* group) : lock_(group->lock()) {
    KeAcquireSpinLock(lock_, &irql_);
  }
  ~feature_lock() { KeReleaseSpinLock(lock_, irql_); }
  feature_lock(const feature_lock&) = delete;
  feature_lock& operator=(const feature_lock&) = delete;

 private:
  KSPIN_LOCK* lock_;
  KIRQL irql_;
};
