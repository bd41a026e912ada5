// The camera's control registry and the operations on it: registration,
// look-up and forwarding by level, default values from a provider, restore
// after power-up, and the saved values in the registry.
#include "controls/control_registry.h"

#include "controls/camera_control.h"
#include "kernel/registry.h"
#include "uvc/uvc_camera.h"
#include "uvc/uvc_descriptors.h"

bool same_key(const property_key& a, const GUID& set, ULONG id) {
  return a.id == id && same_guid(a.set, set);
}

const control_entry* control_registry::find(const GUID& set, ULONG id) const {
  for (const control_entry& entry : entries_) {
    if (same_key(entry.key, set, id)) return &entry;
  }
  return nullptr;
}

NTSTATUS control_registry::put(const property_key& key, camera_control* control, ULONG level) {
  if (control == nullptr || level >= control_level_count) return STATUS_INVALID_PARAMETER;
  for (control_entry& entry : entries_) {
    if (same_key(entry.key, key.set, key.id)) {
      entry.levels[level] = control;
      return STATUS_SUCCESS;
    }
  }
  control_entry entry = {};
  entry.key = key;
  entry.levels[level] = control;
  return entries_.append(entry);
}

NTSTATUS register_control(uvc_camera* camera, const property_key* keys, ULONG key_count,
                          camera_control* control, ULONG level) {
  if (camera == nullptr || keys == nullptr) return STATUS_INVALID_PARAMETER;
  for (ULONG i = 0; i < key_count; ++i) {
    const NTSTATUS status = camera->control_table().put(keys[i], control, level);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS has_property(uvc_camera* camera, const GUID& set, ULONG id, bool* get_supported,
                      bool* set_supported) {
  const control_entry* entry = camera != nullptr ? camera->control_table().find(set, id) : nullptr;
  bool any = false;
  if (entry != nullptr) {
    for (camera_control* control : entry->levels) any = any || control != nullptr;
  }
  if (get_supported != nullptr) *get_supported = any;
  if (set_supported != nullptr) *set_supported = any;
  return any ? STATUS_SUCCESS : STATUS_NOT_IMPLEMENTED;
}

namespace {

// The control at `level` of the request's key or the next lower one that
// holds a control; null when none.
camera_control* control_at_or_below(uvc_camera* camera, const control_call* call, ULONG level) {
  if (camera == nullptr || call == nullptr || level >= control_level_count) return nullptr;
  const control_entry* entry = camera->control_table().find(call->set, call->id);
  if (entry == nullptr) return nullptr;
  for (ULONG l = level + 1; l-- > 0;) {
    if (entry->levels[l] != nullptr) return entry->levels[l];
  }
  return nullptr;
}

// True when `control` was met earlier in the walk: at a lower level of
// entry `index`, or at any level of an earlier entry.
bool seen_before(const control_registry& table, ULONG index, ULONG level,
                 const camera_control* control) {
  for (ULONG i = 0; i <= index; ++i) {
    const ULONG levels = i < index ? control_level_count : level;
    for (ULONG l = 0; l < levels; ++l) {
      if (table.entry(i).levels[l] == control) return true;
    }
  }
  return false;
}

}  // namespace

NTSTATUS forward_get(uvc_camera* camera, control_call* call, ULONG level) {
  camera_control* control = control_at_or_below(camera, call, level);
  return control != nullptr ? control->get_property(camera, call) : STATUS_NOT_IMPLEMENTED;
}

NTSTATUS forward_set(uvc_camera* camera, control_call* call, ULONG level) {
  camera_control* control = control_at_or_below(camera, call, level);
  return control != nullptr ? control->set_property(camera, call) : STATUS_NOT_IMPLEMENTED;
}

bool extension_has_control(uvc_camera* camera, const GUID& unit_guid, ULONG selector) {
  if (camera == nullptr || selector == 0) return false;
  return camera->find_extension_unit(unit_guid, selector - 1) != nullptr;
}

void apply_defaults(uvc_camera* camera, const control_value_provider& provider) {
  if (camera == nullptr || provider.lookup == nullptr) return;
  const control_registry& table = camera->control_table();
  for (ULONG i = 0; i < table.count(); ++i) {
    for (ULONG l = 0; l < control_level_count; ++l) {
      camera_control* control = table.entry(i).levels[l];
      if (control != nullptr && !seen_before(table, i, l, control)) {
        control->apply_default(camera, provider);
      }
    }
  }
}

NTSTATUS restore_registered_controls(uvc_camera* camera) {
  if (camera == nullptr) return STATUS_INVALID_PARAMETER;
  NTSTATUS result = STATUS_SUCCESS;
  const control_registry& table = camera->control_table();
  for (ULONG i = 0; i < table.count(); ++i) {
    for (ULONG l = 0; l < control_level_count; ++l) {
      camera_control* control = table.entry(i).levels[l];
      if (control == nullptr || seen_before(table, i, l, control)) continue;
      const NTSTATUS status = control->restore_value(camera);
      if (NT_SUCCESS(result) && !NT_SUCCESS(status)) result = status;
    }
  }
  return result;
}

NTSTATUS save_control_value(uvc_camera* camera, PCWSTR name, ULONG value) {
  if (camera == nullptr || name == nullptr) return STATUS_INVALID_PARAMETER;
  return write_driver_dword(camera->device_object(), name, value);
}

namespace {

NTSTATUS registry_lookup(PVOID context, PCWSTR name, ULONG* value) {
  return static_cast<uvc_camera*>(context)->read_registry_dword(name, value);
}

}  // namespace

control_value_provider registry_value_provider(uvc_camera* camera) {
  return control_value_provider{registry_lookup, camera};
}
