// The filter's properties through the kernel-streaming stand-in, as a
// client reads and writes them (see property_backend.h). Which properties
// exist comes from the filter's automation table (its descriptor, as the
// driver built it for this camera); a property is listed when its get
// succeeds. Ranges of the standard sets come from basic support, those of
// the driver's 48-byte records from the record itself, their stepping
// delta from the item's value ranges.
#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>
#include <kstandin/testing_ks.h>
#include <stdio.h>
#include <string.h>

#include "driver_properties.h"
#include "status_text.h"

namespace tvcam {
namespace {

constexpr ULONG kStandardSize = 40;  // KSPROPERTY_VIDEOPROCAMP_S, KSPROPERTY_CAMERACONTROL_S
constexpr ULONG kScalarSize = 48;    // header, value, flags, capabilities, minimum, maximum, default
constexpr ULONG kWordSize = 4;
// Field offsets of the standard and scalar records.
constexpr size_t kValue = 24;
constexpr size_t kFlags = 28;
constexpr size_t kCapabilities = 32;
constexpr size_t kMinimum = 36;
constexpr size_t kMaximum = 40;
constexpr size_t kDefault = 44;

set_guid to_set_guid(const GUID& g) {
  set_guid s{g.Data1, g.Data2, g.Data3, {}};
  memcpy(s.data4, g.Data4, 8);
  return s;
}

GUID to_guid(const set_guid& s) {
  GUID g{s.data1, s.data2, s.data3, {}};
  memcpy(g.Data4, s.data4, 8);
  return g;
}

int32_t field(const std::vector<uint8_t>& b, size_t offset) {
  int32_t v;
  memcpy(&v, b.data() + offset, sizeof v);
  return v;
}

void put_field(std::vector<uint8_t>& b, size_t offset, int32_t v) { memcpy(b.data() + offset, &v, sizeof v); }

// Statuses that say the filter or the camera has no such property.
bool means_absent(NTSTATUS status) {
  return status == STATUS_NOT_IMPLEMENTED || status == STATUS_NOT_FOUND || status == STATUS_PROPSET_NOT_FOUND;
}

// What a value range (KSPROPERTY_VALUES, or the member lists of a basic
// support answer) says: the first stepped or plain range and the default.
struct range_members {
  bool has_bounds = false;
  int32_t min = 0, max = 0, step = 0;
  bool has_default = false;
  int32_t def = 0;

  void take(const KSPROPERTY_MEMBERSHEADER& header, const uint8_t* members) {
    if (header.MembersCount == 0) return;
    const bool stepped = header.MembersFlags == KSPROPERTY_MEMBER_STEPPEDRANGES;
    if ((stepped || header.MembersFlags == KSPROPERTY_MEMBER_RANGES) && !has_bounds &&
        header.MembersSize >= sizeof(KSPROPERTY_STEPPING_LONG)) {
      KSPROPERTY_STEPPING_LONG s;
      memcpy(&s, members, sizeof s);
      min = s.Bounds.SignedMinimum;
      max = s.Bounds.SignedMaximum;
      step = stepped ? static_cast<int32_t>(s.SteppingDelta) : 1;
      has_bounds = true;
    } else if (header.MembersFlags == KSPROPERTY_MEMBER_VALUES && (header.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT) &&
               header.MembersSize >= sizeof(LONG)) {
      LONG v;
      memcpy(&v, members, sizeof v);
      def = v;
      has_default = true;
    }
  }
};

// Member lists of a basic-support answer, walked within its length.
range_members members_of_description(const std::vector<uint8_t>& answer) {
  range_members r;
  if (answer.size() < sizeof(KSPROPERTY_DESCRIPTION)) return r;
  KSPROPERTY_DESCRIPTION d;
  memcpy(&d, answer.data(), sizeof d);
  size_t at = sizeof d;
  for (ULONG i = 0; i < d.MembersListCount && at + sizeof(KSPROPERTY_MEMBERSHEADER) <= answer.size(); ++i) {
    KSPROPERTY_MEMBERSHEADER h;
    memcpy(&h, answer.data() + at, sizeof h);
    at += sizeof h;
    const uint64_t bytes = static_cast<uint64_t>(h.MembersSize) * h.MembersCount;
    if (bytes > answer.size() - at) break;
    r.take(h, answer.data() + at);
    at += static_cast<size_t>(bytes);
  }
  return r;
}

range_members members_of_values(const KSPROPERTY_VALUES* values) {
  range_members r;
  if (values == nullptr || values->MembersList == nullptr) return r;
  for (ULONG i = 0; i < values->MembersListCount; ++i) {
    const KSPROPERTY_MEMBERSLIST& list = values->MembersList[i];
    if (list.Members != nullptr) r.take(list.MembersHeader, static_cast<const uint8_t*>(list.Members));
  }
  return r;
}

class driver_properties final : public property_access {
 public:
  driver_properties(kstandin::ks_filter* filter, const KSFILTER_DESCRIPTOR* descriptor)
      : filter_(filter), descriptor_(descriptor) {}

  std::vector<property_value> list() override {
    std::vector<property_value> all;
    const KSAUTOMATION_TABLE* table = descriptor_ != nullptr ? descriptor_->AutomationTable : nullptr;
    if (table == nullptr || table->PropertySets == nullptr) return all;
    for (ULONG s = 0; s < table->PropertySetsCount; ++s) {
      const KSPROPERTY_SET& set = table->PropertySets[s];
      for (ULONG i = 0; i < set.PropertiesCount && set.PropertyItem != nullptr; ++i) {
        const property_key key{to_set_guid(*set.Set), set.PropertyItem[i].PropertyId};
        property_value v;
        if (record_of(key, set.PropertyItem[i]) && read(key, &v).ok) all.push_back(v);
      }
    }
    return all;
  }

  property_result read(const property_key& key, property_value* value) override {
    property_result result;
    const KSPROPERTY_ITEM* item = find_item(key);
    property_value v;
    v.key = key;
    if (item == nullptr) {
      result.absent = true;
      result.error = "the filter has no property " + property_name(key);
      return result;
    }
    if (!record_of(key, *item, &v.record)) {
      result.no_value = true;
      result.error = property_name(key) + " does not hold a single value";
      return result;
    }
    std::vector<uint8_t> data;
    const NTSTATUS status = get(key, v.record, &data);
    result.status = static_cast<uint32_t>(status);
    if (!NT_SUCCESS(status)) {
      result.absent = means_absent(status);
      result.error = "reading " + property_name(key) + " failed: " + status_text(status);
      return result;
    }
    v.can_set = item->SetPropertyHandler != nullptr && !is_read_only_property(key);
    if (v.record == property_record::word) {
      memcpy(&v.value, data.data(), sizeof v.value);
      // The driver's support answer says whether the camera takes the value.
      ULONG access = 0;
      if (support_word(key, &access)) v.can_set = v.can_set && (access & KSPROPERTY_TYPE_SET) != 0;
    } else {
      v.value = field(data, kValue);
      v.flags = static_cast<uint32_t>(field(data, kFlags));
      v.capabilities = static_cast<uint32_t>(field(data, kCapabilities));
      range_members range = members_of_values(item->Values);
      if (v.record == property_record::standard) {
        std::vector<uint8_t> description;
        if (NT_SUCCESS(kstandin::ks_basic_support(filter_, to_guid(key.set), key.id, &description))) {
          const range_members answered = members_of_description(description);
          if (answered.has_bounds) range = answered;
        }
        v.has_range = range.has_bounds;
        v.min = range.min, v.max = range.max, v.step = range.step, v.def = range.def;
      } else {
        v.has_range = true;
        v.min = field(data, kMinimum), v.max = field(data, kMaximum), v.def = field(data, kDefault);
        v.step = range.has_bounds && range.step > 0 ? range.step : 1;
      }
    }
    *value = v;
    result.ok = true;
    return result;
  }

  property_result get_bytes(const property_key& key, std::vector<uint8_t>* data) override {
    const KSPROPERTY p = kstandin::ks_make_property(to_guid(key.set), key.id, KSPROPERTY_TYPE_GET);
    ULONG_PTR returned = 0;
    const NTSTATUS status =
        kstandin::ks_property(filter_, &p, sizeof p, data->data(), static_cast<ULONG>(data->size()), &returned);
    data->resize(returned < data->size() ? returned : data->size());
    return outcome(key, "reading", status);
  }

  property_result set_bytes(const property_key& key, const std::vector<uint8_t>& data) override {
    const KSPROPERTY p = kstandin::ks_make_property(to_guid(key.set), key.id, KSPROPERTY_TYPE_SET);
    std::vector<uint8_t> copy = data;
    ULONG_PTR returned = 0;
    const NTSTATUS status = kstandin::ks_property(filter_, &p, sizeof p, copy.empty() ? nullptr : copy.data(),
                                                  static_cast<ULONG>(copy.size()), &returned);
    return outcome(key, "setting", status);
  }

  property_result write(const property_value& property, int32_t value, uint32_t flags) override {
    property_result result;
    const property_key& key = property.key;
    std::vector<uint8_t> record = header(key, KSPROPERTY_TYPE_SET, size_of(property.record));
    NTSTATUS status;
    if (property.record == property_record::word) {
      std::vector<uint8_t> word(kWordSize);
      put_field(word, 0, value);
      status = kstandin::ks_property(filter_, record.data(), static_cast<ULONG>(record.size()), word.data(),
                                     kWordSize);
    } else {
      put_field(record, kValue, value);
      put_field(record, kFlags, static_cast<int32_t>(flags));
      std::vector<uint8_t> data = record;
      status = kstandin::ks_property(filter_, record.data(), static_cast<ULONG>(record.size()), data.data(),
                                     static_cast<ULONG>(data.size()));
    }
    result.status = static_cast<uint32_t>(status);
    result.ok = NT_SUCCESS(status);
    if (!result.ok) {
      result.absent = means_absent(status);
      result.error = "setting " + property_name(key) + " failed: " + status_text(status);
    }
    return result;
  }

 private:
  static property_result outcome(const property_key& key, const char* what, NTSTATUS status) {
    property_result result;
    result.status = static_cast<uint32_t>(status);
    result.ok = NT_SUCCESS(status);
    if (!result.ok) {
      result.absent = means_absent(status);
      result.error = std::string(what) + " " + property_name(key) + " failed: " + status_text(status);
    }
    return result;
  }

  static ULONG size_of(property_record record) {
    return record == property_record::standard ? kStandardSize
           : record == property_record::scalar ? kScalarSize
                                                : static_cast<ULONG>(sizeof(KSPROPERTY));
  }

  // The record a property of this set and item carries; false for the
  // sets and records that hold no single number.
  static bool record_of(const property_key& key, const KSPROPERTY_ITEM& item,
                        property_record* record = nullptr) {
    property_record r;
    if (key.set == kVideoProcAmpSet || key.set == kCameraControlSet) {
      r = property_record::standard;
    } else if ((key.set == kCameraExtensionSet || key.set == kCameraFeatureSet) && item.MinData == kScalarSize) {
      r = property_record::scalar;
    } else if ((key.set == kDriverPropertySet || key.set == kRegisterSet) && item.MinData == kWordSize) {
      r = property_record::word;
    } else {
      return false;
    }
    if (item.GetPropertyHandler == nullptr) return false;
    if (record != nullptr) *record = r;
    return true;
  }

  const KSPROPERTY_ITEM* find_item(const property_key& key) const {
    const KSAUTOMATION_TABLE* table = descriptor_ != nullptr ? descriptor_->AutomationTable : nullptr;
    if (table == nullptr || table->PropertySets == nullptr) return nullptr;
    for (ULONG s = 0; s < table->PropertySetsCount; ++s) {
      const KSPROPERTY_SET& set = table->PropertySets[s];
      if (!(to_set_guid(*set.Set) == key.set) || set.PropertyItem == nullptr) continue;
      for (ULONG i = 0; i < set.PropertiesCount; ++i) {
        if (set.PropertyItem[i].PropertyId == key.id) return &set.PropertyItem[i];
      }
    }
    return nullptr;
  }

  static std::vector<uint8_t> header(const property_key& key, ULONG flags, ULONG size) {
    std::vector<uint8_t> b(size, 0);
    const KSPROPERTY p = kstandin::ks_make_property(to_guid(key.set), key.id, flags);
    memcpy(b.data(), &p, sizeof p < size ? sizeof p : size);
    return b;
  }

  NTSTATUS get(const property_key& key, property_record record, std::vector<uint8_t>* data) {
    const std::vector<uint8_t> request = header(key, KSPROPERTY_TYPE_GET, size_of(record));
    data->assign(record == property_record::word ? kWordSize : request.size(), 0);
    ULONG_PTR returned = 0;
    const NTSTATUS status = kstandin::ks_property(filter_, request.data(), static_cast<ULONG>(request.size()),
                                                  data->data(), static_cast<ULONG>(data->size()), &returned);
    if (NT_SUCCESS(status) && returned < data->size()) return STATUS_BUFFER_TOO_SMALL;  // a short answer
    return status;
  }

  bool support_word(const property_key& key, ULONG* access) {
    const KSPROPERTY p = kstandin::ks_make_property(to_guid(key.set), key.id, KSPROPERTY_TYPE_BASICSUPPORT);
    ULONG_PTR returned = 0;
    return NT_SUCCESS(kstandin::ks_property(filter_, &p, sizeof p, access, sizeof *access, &returned)) &&
           returned == sizeof *access;
  }

  kstandin::ks_filter* filter_;
  const KSFILTER_DESCRIPTOR* descriptor_;
};

}  // namespace

std::unique_ptr<property_access> make_driver_properties(kstandin::ks_filter* filter,
                                                        const KSFILTER_DESCRIPTOR* descriptor) {
  return std::unique_ptr<property_access>(new driver_properties(filter, descriptor));
}

}  // namespace tvcam
