// The control registry: one per camera, a growable array of entries, each
// a property key with one control pointer per level (0 base, 1 family,
// 2 override). The camera owns the registry and the controls; the
// operations on it (register_control, forward_get, apply_defaults, ...) are
// control_registry.cpp's free functions, which take the camera.
//
// No lock: entries are added only while the camera initialises, and
// requests reach it at PASSIVE_LEVEL serialised by the device (see
// camera_control.h).
#pragma once

#include "kernel/kernel_api.h"
#include "kernel/pool_array.h"

class camera_control;
class uvc_camera;
struct control_call;
struct control_value_provider;

// Property set GUID and id; compared whole.
struct property_key {
  GUID set;
  ULONG id;
};
static_assert(sizeof(property_key) == 20, "property keys are 20 bytes");

bool same_key(const property_key& a, const GUID& set, ULONG id);

// One key with its controls; a null pointer is an empty level. 48 bytes on
// x64.
struct control_entry {
  property_key key;
  camera_control* levels[3];
};
static_assert(sizeof(PVOID) != 8 || sizeof(control_entry) == 48, "control entries are 48 bytes");

class control_registry {
 public:
  control_registry() : entries_(NonPagedPoolNx) {}

  ULONG count() const { return entries_.count(); }
  const control_entry& entry(ULONG index) const { return entries_[index]; }
  // The entry of the key, or null.
  const control_entry* find(const GUID& set, ULONG id) const;
  // Stores `control` at `level` of the key's entry, appending the entry when
  // the key is new; an existing control at that level is replaced.
  NTSTATUS put(const property_key& key, camera_control* control, ULONG level);

 private:
  pool_array<control_entry> entries_;
};

// ---- the operations of the Part's interface (PASSIVE_LEVEL) ----------------------
// For each key in turn: finds or appends its entry and stores `control` at
// `level`; the first failure ends the walk and is returned.
NTSTATUS register_control(uvc_camera* camera, const property_key* keys, ULONG key_count,
                          camera_control* control, ULONG level);

// Both true when any level of the key's entry holds a control; both false
// (and STATUS_NOT_IMPLEMENTED) otherwise.
NTSTATUS has_property(uvc_camera* camera, const GUID& set, ULONG id, bool* get_supported,
                      bool* set_supported);

// The get (or set) of the control at `level` of the request's key or, when
// that level is empty, at the next lower level that holds one.
// STATUS_NOT_IMPLEMENTED when none does, or `level` is out of range.
NTSTATUS forward_get(uvc_camera* camera, control_call* call, ULONG level);
NTSTATUS forward_set(uvc_camera* camera, control_call* call, ULONG level);

// True when one of the camera's extension units carries `unit_guid` and bit
// (selector - 1) of its bmControls.
bool extension_has_control(uvc_camera* camera, const GUID& unit_guid, ULONG selector);

// apply_default of every registered control with `provider`: entry by entry
// in registration order, within an entry level 0, 1, 2. A control
// registered under several keys is asked once.
void apply_defaults(uvc_camera* camera, const control_value_provider& provider);

// restore_value of every registered control, in the same order and once per
// control. Returns the first failure (every control is still asked).
NTSTATUS restore_registered_controls(uvc_camera* camera);

// Writes `value` as a REG_DWORD `name` among the device's own values (the
// "DriverData" subkey of its device key).
NTSTATUS save_control_value(uvc_camera* camera, PCWSTR name, ULONG value);

// The registry provider: a name is looked up among the device's own values
// first, then in the global settings key (uvc_camera::read_registry_dword).
// Its context is the camera.
control_value_provider registry_value_provider(uvc_camera* camera);
