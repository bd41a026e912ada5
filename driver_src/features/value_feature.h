// value_feature: what the feature objects share. A feature holds a few
// values, each with its range, default and store key; clients reach a
// value through property keys: the standard sets and the driver's own
// (40- and 48-byte value records, camera_control.h) and the virtual
// registers of named_property_set (4 bytes; documents/feature_documents.h).
//
// Values change from property requests (PASSIVE_LEVEL) and from the frame
// operations (the white-balance gains the loops find, the tone-mapping
// factors the pipe computes). Both sides hold the group's spin lock while
// they touch values_, so a frame never sees half a change; nothing that
// waits or pages (registry, USB) is done with it held.
#pragma once

#include "controls/control_registry.h"
#include "features/image_feature.h"

enum class value_type : UCHAR {
  number,  // a signed 32-bit number
  flag,    // 0 or 1; any non-zero value sets it
  real,    // an IEEE single, held as its bits; bounds and default in hundredths
};

struct value_def {
  PCWSTR name;  // store key; null: not stored
  value_type type;
  LONG minimum;
  LONG maximum;
  LONG default_value;
  ULONG step;  // stepping delta of a range query
  bool clamp;  // a number outside the bounds is clamped instead of refused
};

class value_feature : public image_feature {
 public:
  // Get: a register answers its 4 bytes (a buffer under 4 bytes:
  // STATUS_INVALID_BUFFER_SIZE; a range query: STATUS_NOT_IMPLEMENTED);
  // any other key the value record with its range. Set: the value from the
  // data buffer, checked against the range (refused: STATUS_INVALID_PARAMETER),
  // stored, saved under its name and passed to changed(). A key the feature
  // does not serve: STATUS_NOT_IMPLEMENTED.
  NTSTATUS get_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS set_property(uvc_camera* camera, control_call* call) override;
  // Takes every named value the provider holds (checked like a set; not
  // saved again) and passes it to changed().
  NTSTATUS apply_default(uvc_camera* camera, const control_value_provider& provider) override;

 protected:
  static constexpr ULONG max_values = 16;
  static constexpr ULONG max_keys = 24;

  // `defs` (count at most max_values) are copied; the values start at
  // their defaults.
  value_feature(feature_kind kind, feature_group* group, const value_def* defs, ULONG count);
  // Bounds and default that depend on the camera; the value becomes the
  // new default. At attach time, before the keys are served.
  void set_bounds(ULONG index, LONG minimum, LONG maximum, LONG default_value);

  // Registers key (set, id) for value `index` at `level` and remembers it.
  NTSTATUS serve(uvc_camera* camera, const GUID& set, ULONG id, ULONG index, ULONG level);
  // The value a key serves; false when the feature does not serve it.
  bool served_value(const control_call* call, ULONG* index) const;

  // Current value; the caller holds the group lock (frame operations) or
  // reads its own writes (property requests are serialised).
  LONG value(ULONG index) const { return values_[index]; }
  float real(ULONG index) const;
  // Under the group lock.
  LONG read(ULONG index);
  void write(ULONG index, LONG v);
  // Store and save; changed() follows.
  void store(uvc_camera* camera, ULONG index, LONG v);

  // A value as a set would take it: booleans become 0 or 1, clamped numbers
  // are clamped; false when the value is refused.
  bool accept(ULONG index, LONG* v) const;

  // Flags and capabilities of a value record for `index`; manual unless a
  // feature says otherwise.
  virtual void answer_flags(ULONG index, ULONG* flags, ULONG* capabilities);
  // Derived state after value `index` changed (set or loaded).
  virtual void changed(uvc_camera* camera, ULONG index) {}

  // The value record for `index` with the value `v` (range from its def).
  NTSTATUS answer(control_call* call, ULONG index, LONG v);

  feature_group* group_;
  value_def defs_[max_values];
  ULONG count_;
  LONG values_[max_values];

 private:
  struct served_key {
    property_key key;
    ULONG index;
  };
  served_key keys_[max_keys];
  ULONG key_count_;
};

// ---- helpers the features share ------------------------------------------------------------
// True for the virtual register set (named_property_set).
bool is_register_call(const control_call* call);
// A register's 4 bytes: a get writes `v`, a set reads `*v` from the data
// buffer. A buffer under 4 bytes: STATUS_INVALID_BUFFER_SIZE.
NTSTATUS answer_register(control_call* call, ULONG v);
NTSTATUS read_register(const control_call* call, ULONG* v);
// Float bits for a value in hundredths.
LONG real_bits(LONG hundredths);
float bits_to_real(LONG bits);
