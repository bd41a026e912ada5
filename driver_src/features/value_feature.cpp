// The values, keys and records the feature objects share (value_feature.h).
#include "features/value_feature.h"

#include "uvc/uvc_descriptors.h"

bool is_register_call(const control_call* call) { return same_guid(call->set, named_property_set); }

NTSTATUS answer_register(control_call* call, ULONG v) {
  if (is_range_query(call)) return STATUS_NOT_IMPLEMENTED;
  if (call->output == nullptr || call->output_length < sizeof(ULONG)) return STATUS_INVALID_BUFFER_SIZE;
  put_field(call->output, 0, v);
  call->bytes_returned = sizeof(ULONG);
  return STATUS_SUCCESS;
}

NTSTATUS read_register(const control_call* call, ULONG* v) {
  if (call->output == nullptr || call->output_length < sizeof(ULONG)) return STATUS_INVALID_BUFFER_SIZE;
  *v = get_field(call->output, 0);
  return STATUS_SUCCESS;
}

LONG real_bits(LONG hundredths) {
  const float f = float(hundredths) / 100.0f;
  LONG bits;
  RtlCopyMemory(&bits, &f, sizeof(bits));
  return bits;
}

float bits_to_real(LONG bits) {
  float f;
  RtlCopyMemory(&f, &bits, sizeof(f));
  return f;
}

value_feature::value_feature(feature_kind kind, feature_group* group, const value_def* defs,
                             ULONG count)
    : image_feature(kind),
      group_(group),
      defs_(),
      count_(count < max_values ? count : max_values),
      values_(),
      keys_(),
      key_count_(0) {
  for (ULONG i = 0; i < count_; ++i) {
    defs_[i] = defs[i];
    values_[i] = defs_[i].type == value_type::real ? real_bits(defs_[i].default_value)
                                                     : defs_[i].default_value;
  }
}

void value_feature::set_bounds(ULONG index, LONG minimum, LONG maximum, LONG default_value) {
  if (index >= count_) return;
  defs_[index].minimum = minimum;
  defs_[index].maximum = maximum;
  defs_[index].default_value = default_value;
  values_[index] = default_value;
}

NTSTATUS value_feature::serve(uvc_camera* camera, const GUID& set, ULONG id, ULONG index,
                              ULONG level) {
  if (index >= count_ || key_count_ == max_keys) return STATUS_INVALID_PARAMETER;
  const property_key key = {set, id};
  const NTSTATUS status = register_control(camera, &key, 1, this, level);
  if (NT_SUCCESS(status)) keys_[key_count_++] = served_key{key, index};
  return status;
}

bool value_feature::served_value(const control_call* call, ULONG* index) const {
  for (ULONG i = 0; i < key_count_; ++i) {
    if (same_key(keys_[i].key, call->set, call->id)) {
      *index = keys_[i].index;
      return true;
    }
  }
  return false;
}

float value_feature::real(ULONG index) const { return bits_to_real(values_[index]); }

LONG value_feature::read(ULONG index) {
  feature_lock lock(group_);
  return values_[index];
}

void value_feature::write(ULONG index, LONG v) {
  feature_lock lock(group_);
  values_[index] = v;
}

void value_feature::store(uvc_camera* camera, ULONG index, LONG v) {
  write(index, v);
  if (defs_[index].name != nullptr) save_control_value(camera, defs_[index].name, ULONG(v));
  changed(camera, index);
}

bool value_feature::accept(ULONG index, LONG* v) const {
  const value_def& def = defs_[index];
  switch (def.type) {
    case value_type::flag:
      *v = *v != 0 ? 1 : 0;
      return true;
    case value_type::real: {
      const float f = bits_to_real(*v);
      // NaN fails both comparisons.
      return f >= float(def.minimum) / 100.0f && f <= float(def.maximum) / 100.0f;
    }
    case value_type::number:
      break;
  }
  if (*v >= def.minimum && *v <= def.maximum) return true;
  if (!def.clamp) return false;
  *v = *v < def.minimum ? def.minimum : def.maximum;
  return true;
}

void value_feature::answer_flags(ULONG, ULONG* flags, ULONG* capabilities) {
  *flags = control_flag_manual;
  *capabilities = control_flag_manual;
}

NTSTATUS value_feature::answer(control_call* call, ULONG index, LONG v) {
  const value_def& def = defs_[index];
  control_answer a = {};
  a.value = v;
  a.minimum = def.type == value_type::flag ? 0 : def.minimum;
  a.maximum = def.type == value_type::flag ? 1 : def.maximum;
  a.default_value = def.default_value;
  a.step = def.step != 0 ? def.step : 1;
  answer_flags(index, &a.flags, &a.capabilities);
  return write_control_answer(call, a);
}

NTSTATUS value_feature::get_property(uvc_camera*, control_call* call) {
  ULONG index = 0;
  if (!served_value(call, &index)) return STATUS_NOT_IMPLEMENTED;
  const LONG v = read(index);
  return is_register_call(call) ? answer_register(call, ULONG(v)) : answer(call, index, v);
}

NTSTATUS value_feature::set_property(uvc_camera* camera, control_call* call) {
  ULONG index = 0;
  if (!served_value(call, &index)) return STATUS_NOT_IMPLEMENTED;
  LONG v = 0;
  NTSTATUS status;
  if (is_register_call(call)) {
    ULONG raw = 0;
    status = read_register(call, &raw);
    v = LONG(raw);
  } else {
    ULONG flags = 0;
    status = read_control_value(call, &v, &flags);
  }
  if (!NT_SUCCESS(status)) return status;
  if (!accept(index, &v)) return STATUS_INVALID_PARAMETER;
  store(camera, index, v);
  return STATUS_SUCCESS;
}

NTSTATUS value_feature::apply_default(uvc_camera* camera, const control_value_provider& provider) {
  for (ULONG i = 0; i < count_; ++i) {
    ULONG stored = 0;
    if (defs_[i].name == nullptr || !NT_SUCCESS(provider.lookup(provider.context, defs_[i].name, &stored))) {
      continue;
    }
    LONG v = LONG(stored);
    if (!accept(i, &v)) continue;
    write(i, v);
    changed(camera, i);
  }
  return STATUS_SUCCESS;
}
