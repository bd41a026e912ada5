// Shared pieces of the control tests: the records a client exchanges with
// the filter's property items, helpers that send them through the client
// API, and the simulated camera's view of a control.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../device/device_support.h"
#include "controls/property_sets.h"

namespace ctltest {

// The driver's own scalar record: header, value, flags, capabilities,
// minimum, maximum, default.
struct scalar_record {
  KSPROPERTY property;
  LONG value;
  ULONG flags;
  ULONG capabilities;
  LONG minimum;
  LONG maximum;
  LONG default_value;
};
static_assert(sizeof(scalar_record) == 48, "scalar record");

inline KSPROPERTY_VIDEOPROCAMP_S standard_request(const GUID& set, ULONG id, ULONG type,
                                                  LONG value = 0, ULONG flags = 0) {
  KSPROPERTY_VIDEOPROCAMP_S r = {};
  r.Property = kstandin::ks_make_property(set, id, type);
  r.Value = value;
  r.Flags = flags;
  return r;
}

// A get of a standard (40-byte) property; the record in `*out`.
inline NTSTATUS get_standard(kstandin::ks_filter* filter, const GUID& set, ULONG id,
                             KSPROPERTY_VIDEOPROCAMP_S* out) {
  KSPROPERTY_VIDEOPROCAMP_S request = standard_request(set, id, KSPROPERTY_TYPE_GET);
  *out = {};
  return kstandin::ks_property(filter, &request, sizeof(request), out, sizeof(*out));
}

// A set of a standard property, value and flags in both the request and the data.
inline NTSTATUS set_standard(kstandin::ks_filter* filter, const GUID& set, ULONG id, LONG value,
                             ULONG flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL) {
  KSPROPERTY_VIDEOPROCAMP_S request = standard_request(set, id, KSPROPERTY_TYPE_SET, value, flags);
  KSPROPERTY_VIDEOPROCAMP_S data = request;
  return kstandin::ks_property(filter, &request, sizeof(request), &data, sizeof(data));
}

inline NTSTATUS get_scalar(kstandin::ks_filter* filter, ULONG id, scalar_record* out) {
  scalar_record request = {};
  request.property = kstandin::ks_make_property(camera_extension_set, id, KSPROPERTY_TYPE_GET);
  *out = {};
  return kstandin::ks_property(filter, &request, sizeof(request), out, sizeof(*out));
}

inline NTSTATUS set_scalar(kstandin::ks_filter* filter, ULONG id, LONG value,
                           ULONG flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL) {
  scalar_record request = {};
  request.property = kstandin::ks_make_property(camera_extension_set, id, KSPROPERTY_TYPE_SET);
  request.value = value;
  request.flags = flags;
  scalar_record data = request;
  return kstandin::ks_property(filter, &request, sizeof(request), &data, sizeof(data));
}

// The stepped range and default of an item's basic-support answer.
struct item_range {
  bool present = false;
  LONG minimum = 0, maximum = 0, default_value = 0;
  ULONG step = 0;
};
inline item_range basic_support_range(kstandin::ks_filter* filter, const GUID& set, ULONG id) {
  // A request as long as the standard records (the items' minimum), size first.
  KSPROPERTY_VIDEOPROCAMP_S request = standard_request(set, id, KSPROPERTY_TYPE_BASICSUPPORT);
  item_range range;
  ULONG_PTR size = 0;
  if (kstandin::ks_property(filter, &request, sizeof(request), nullptr, 0, &size) !=
      STATUS_BUFFER_OVERFLOW) {
    return range;
  }
  std::vector<uint8_t> answer(size);
  if (kstandin::ks_property(filter, &request, sizeof(request), answer.data(), ULONG(size)) !=
      STATUS_SUCCESS) {
    return range;
  }
  if (answer.size() < sizeof(KSPROPERTY_DESCRIPTION)) return range;
  KSPROPERTY_DESCRIPTION d;
  memcpy(&d, answer.data(), sizeof(d));
  if (d.MembersListCount != 2) return range;
  size_t at = sizeof(d);
  KSPROPERTY_MEMBERSHEADER header;
  memcpy(&header, answer.data() + at, sizeof(header));
  at += sizeof(header);
  KSPROPERTY_STEPPING_LONG stepping;
  memcpy(&stepping, answer.data() + at, sizeof(stepping));
  at += header.MembersSize * header.MembersCount + sizeof(header);
  memcpy(&range.default_value, answer.data() + at, sizeof(LONG));
  range.present = true;
  range.minimum = stepping.Bounds.SignedMinimum;
  range.maximum = stepping.Bounds.SignedMaximum;
  range.step = stepping.SteppingDelta;
  return range;
}

// The simulated camera's current value of a control, as a little-endian
// number of its first four bytes.
inline int64_t sim_value(const sim::uvc_camera& camera, uint8_t entity, uint8_t selector,
                         bool is_signed = false) {
  const auto control = camera.control(entity, selector);
  if (!control) return INT64_MIN;
  uint64_t v = 0;
  const size_t n = std::min<size_t>(control->cur.size(), 4);
  for (size_t i = 0; i < n; ++i) v |= uint64_t(control->cur[i]) << (8 * i);
  if (is_signed && n > 0 && (control->cur[n - 1] & 0x80)) v |= ~0ull << (8 * n);
  return int64_t(v);
}

// SET_CUR requests the camera received since its log was cleared, as
// (entity, selector, value of the first four bytes).
struct set_cur {
  uint8_t entity;
  uint8_t selector;
  uint32_t value;
  size_t length;
};
inline std::vector<set_cur> set_cur_requests(const sim::uvc_camera& camera) {
  std::vector<set_cur> out;
  for (const auto& r : camera.control_requests()) {
    if (r.setup.request != sim::uvc::SET_CUR || (r.setup.index & 0xFF) != camera.control_interface()) {
      continue;
    }
    uint32_t v = 0;
    for (size_t i = 0; i < r.out_data.size() && i < 4; ++i) v |= uint32_t(r.out_data[i]) << (8 * i);
    out.push_back({uint8_t(r.setup.index >> 8), uint8_t(r.setup.value >> 8), v, r.out_data.size()});
  }
  return out;
}

// The SET_CUR requests the camera receives while `step` runs, as
// "entity.selector=value" words in order.
template <typename F>
std::string sets_during(sim::uvc_camera& camera, F step) {
  camera.clear_requests();
  step();
  std::string out;
  for (const set_cur& s : set_cur_requests(camera)) {
    out += (out.empty() ? "" : " ") + std::to_string(s.entity) + "." + std::to_string(s.selector) + "=" +
           std::to_string(s.value);
  }
  return out;
}

}  // namespace ctltest
