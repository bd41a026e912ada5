// The property routes as a client sees them: device identity, driver
// information, driver properties, support answers, the frame rates and the
// frame-interval list; and every property item of the filter with every
// data and request length and every request type.
#include "controls_support.h"

#include <string>

#include "avstream/filter_descriptor.h"
#include "controls/property_handler.h"
#include "uvc/uvc_descriptors.h"

namespace ctltest {
namespace {

using property_routes = devtest::device_test;

std::vector<uint8_t> get_record(kstandin::ks_filter* filter, const GUID& set, ULONG id, ULONG size,
                                NTSTATUS* status, ULONG_PTR* returned) {
  // The request as long as the record: the items ask for that much.
  std::vector<uint8_t> request(size);
  const KSPROPERTY header = kstandin::ks_make_property(set, id, KSPROPERTY_TYPE_GET);
  memcpy(request.data(), &header, sizeof(header));
  std::vector<uint8_t> data(size);
  *status = kstandin::ks_property(filter, request.data(), size, data.data(), size, returned);
  return data;
}

uint32_t u32(const std::vector<uint8_t>& d, size_t at) {
  uint32_t v;
  memcpy(&v, d.data() + at, 4);
  return v;
}

std::string text_at(const std::vector<uint8_t>& d, size_t at) {
  return std::string(reinterpret_cast<const char*>(d.data() + at));
}

TEST_F(property_routes, identity_information_and_driver_properties) {
  sim::uvc_camera_desc desc = sim::plain_camera_desc();
  desc.serial = "DEADBEEF";
  ASSERT_EQ(plug(sim::uvc_camera::create(desc)), STATUS_SUCCESS);
  filter_ = open_filter();
  NTSTATUS status;
  ULONG_PTR returned = 0;

  std::vector<uint8_t> d = get_record(filter_, device_identity_set, 100, 300, &status, &returned);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(returned, 288u);
  EXPECT_EQ(u32(d, 24), 0x199Eu);
  EXPECT_EQ(text_at(d, 28), "Talvexa");
  d = get_record(filter_, device_identity_set, 101, 288, &status, &returned);
  EXPECT_EQ(u32(d, 24), 0xDEADBEEFu);
  EXPECT_EQ(u32(d, 28), 0u);
  EXPECT_EQ(text_at(d, 32), "Plain UVC Camera");
  d = get_record(filter_, device_identity_set, 102, 296, &status, &returned);
  EXPECT_EQ(returned, 296u);
  EXPECT_EQ(u32(d, 24), 5u);
  EXPECT_EQ(u32(d, 28), 7u);
  EXPECT_EQ(u32(d, 32), 0x0001u);
  EXPECT_EQ(text_at(d, 36).rfind("var_aro, ver=2.9.8.2001 build (fre) ", 0), 0u);
  d = get_record(filter_, device_identity_set, 103, 288, &status, &returned);
  EXPECT_EQ(u32(d, 24), 66u);

  d = get_record(filter_, driver_information_set, 0, 150, &status, &returned);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(returned, 144u);
  EXPECT_EQ(u32(d, 0), 4u);
  uint64_t version;
  memcpy(&version, d.data() + 8, 8);
  EXPECT_EQ(version, (2ull << 48) | (9ull << 32) | (8ull << 16) | 2001);
  EXPECT_EQ(d[16], 'f');
  EXPECT_EQ(d[18], 'r');
  EXPECT_EQ(d[20], 'e');
  EXPECT_EQ(d[22], 0);
  d = get_record(filter_, driver_information_set, 1, 424, &status, &returned);
  EXPECT_EQ(u32(d, 0), 0x199Eu);
  EXPECT_EQ(u32(d, 276), 0x0001u);

  // Support: 4 bytes answer 1 (driver properties: 3 or 0), others nothing.
  auto support = [&](const GUID& set, ULONG id, ULONG type, ULONG size, ULONG* answer) {
    std::vector<uint8_t> request(424);  // no item asks for a longer request
    const KSPROPERTY header = kstandin::ks_make_property(set, id, type);
    memcpy(request.data(), &header, sizeof(header));
    std::vector<uint8_t> data(size);
    const NTSTATUS s =
        kstandin::ks_property(filter_, request.data(), ULONG(request.size()), data.data(), size);
    if (size >= 4) memcpy(answer, data.data(), 4);
    return s;
  };
  ULONG access = 0;
  EXPECT_EQ(support(driver_information_set, 0, KSPROPERTY_TYPE_SETSUPPORT, 4, &access), STATUS_SUCCESS);
  EXPECT_EQ(access, 1u);
  EXPECT_EQ(support(driver_information_set, 0, KSPROPERTY_TYPE_SETSUPPORT, 8, &access),
            STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(support(driver_property_set, 26, KSPROPERTY_TYPE_BASICSUPPORT, 4, &access), STATUS_SUCCESS);
  EXPECT_EQ(access, 3u);
  EXPECT_EQ(support(driver_property_set, 3, KSPROPERTY_TYPE_BASICSUPPORT, 4, &access), STATUS_SUCCESS);
  EXPECT_EQ(access, 0u);
  scalar_record exposure = {};
  exposure.property =
      kstandin::ks_make_property(camera_extension_set, extension_id::exposure, KSPROPERTY_TYPE_SETSUPPORT);
  ASSERT_EQ(kstandin::ks_property(filter_, &exposure, sizeof(exposure), &access, 4), STATUS_SUCCESS);
  EXPECT_EQ(access, 3u);
  // Basic support of other sizes, for a registered control and an answered
  // set: no data asks the size; a buffer shorter than the description is too
  // small, with nothing written; a whole one gets the description.
  const std::pair<const GUID*, ULONG> keys[] = {{&camera_extension_set, extension_id::exposure},
                                                {&driver_information_set, 0}};
  for (const auto& [set, id] : keys) {
    SCOPED_TRACE(id);
    std::vector<uint8_t> request(424);
    const KSPROPERTY header = kstandin::ks_make_property(*set, id, KSPROPERTY_TYPE_BASICSUPPORT);
    memcpy(request.data(), &header, sizeof(header));
    ULONG_PTR returned = 0;
    EXPECT_EQ(kstandin::ks_property(filter_, request.data(), ULONG(request.size()), nullptr, 0, &returned),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, sizeof(KSPROPERTY_DESCRIPTION));
    std::vector<uint8_t> data(48, 0xEE);
    EXPECT_EQ(kstandin::ks_property(filter_, request.data(), ULONG(request.size()), data.data(), 24, &returned),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(data[0], 0xEE);
    ASSERT_EQ(kstandin::ks_property(filter_, request.data(), ULONG(request.size()), data.data(), 48, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, sizeof(KSPROPERTY_DESCRIPTION));
    KSPROPERTY_DESCRIPTION description;
    memcpy(&description, data.data(), sizeof(description));
    EXPECT_EQ(description.AccessFlags, KSPROPERTY_TYPE_BASICSUPPORT | (id == 0 ? 1u : 3u));
    EXPECT_EQ(description.DescriptionSize, sizeof(KSPROPERTY_DESCRIPTION));
    EXPECT_TRUE(same_guid(description.PropTypeSet.Set, KSPROPTYPESETID_General));
    EXPECT_EQ(description.MembersListCount, 0u);
  }

  // Driver property 1 (the overlay) round trip; 4 is read-only.
  const ULONG on = 1;
  EXPECT_EQ(kstandin::ks_set_property(filter_, driver_property_set, 1, &on, 4), STATUS_SUCCESS);
  ULONG value = 0;
  EXPECT_EQ(kstandin::ks_get_property(filter_, driver_property_set, 1, &value, 4), STATUS_SUCCESS);
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(kstandin::ks_set_property(filter_, driver_property_set, 4, &on, 4), STATUS_NOT_IMPLEMENTED);
}

// The frame rates of the pin's first range (640 x 480 at 30, 15 and 5 fps;
// the device tests cover the short buffers) and the frame-interval list,
// with their size protocols.
TEST_F(property_routes, frame_rates_and_the_interval_list) {
  ASSERT_EQ(plug(), STATUS_SUCCESS);
  filter_ = open_filter();
  KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S request = {};
  request.Property = kstandin::ks_make_property(PROPSETID_VIDCAP_VIDEOCONTROL,
                                                KSPROPERTY_VIDEOCONTROL_FRAME_RATES, KSPROPERTY_TYPE_GET);
  request.RangeIndex = 0;
  request.Dimensions = {640, 480};
  ULONG_PTR returned = 0;
  EXPECT_EQ(kstandin::ks_property(filter_, &request, sizeof(request), nullptr, 0, &returned),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, 32u);
  std::vector<uint8_t> list(32);
  ASSERT_EQ(kstandin::ks_property(filter_, &request, sizeof(request), list.data(), 32, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(returned, 32u);
  EXPECT_EQ(u32(list, 0), 32u);
  EXPECT_EQ(u32(list, 4), 3u);
  int64_t intervals[3];
  memcpy(intervals, list.data() + 8, sizeof(intervals));
  EXPECT_EQ(intervals[0], 333333);
  EXPECT_EQ(intervals[1], 666666);
  EXPECT_EQ(intervals[2], 2000000);
  request.RangeIndex = 1000;
  EXPECT_EQ(kstandin::ks_property(filter_, &request, sizeof(request), list.data(), 32, &returned),
            STATUS_INVALID_PARAMETER);

  struct {
    KSPROPERTY property;
    ULONG format_index, width, height, flags;
  } query = {kstandin::ks_make_property(frame_interval_list_set, 0, KSPROPERTY_TYPE_GET), 0, 640, 480, 0};
  std::vector<uint8_t> answer(28);
  ASSERT_EQ(kstandin::ks_property(filter_, &query, sizeof(query), answer.data(), 28, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(returned, 28u);
  EXPECT_EQ(u32(answer, 0), 3u);
  int64_t first;
  memcpy(&first, answer.data() + 4, 8);
  EXPECT_EQ(first, 333333);
  ASSERT_EQ(kstandin::ks_property(filter_, &query, sizeof(query), answer.data(), 4, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(kstandin::ks_property(filter_, &query, sizeof(query), answer.data(), 20, &returned),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(kstandin::ks_property(filter_, &query, sizeof(KSPROPERTY) + 12, answer.data(), 28, &returned),
            STATUS_INVALID_PARAMETER);
}

// Every property item of the filter: each request type, every data length
// from 0 to its record size + 8 and every request length from a bare header
// to its minimum + 8, in buffers of exactly that size (the sanitizer sees
// any write past them). Each request ends with a status and never reports
// more than its buffer; the verifier (checked after the test) sees nothing.
TEST_F(property_routes, every_item_every_length_every_type) {
  ASSERT_EQ(plug(), STATUS_SUCCESS);
  filter_ = open_filter();
  const KSAUTOMATION_TABLE* table = filter_descriptor_template.AutomationTable;
  const ULONG types[] = {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT,
                         KSPROPERTY_TYPE_SETSUPPORT};
  constexpr ULONG kVariableRecord = 64;  // record size assumed for items without a minimum
  size_t requests = 0;
  for (ULONG s = 0; s < table->PropertySetsCount; ++s) {
    const KSPROPERTY_SET& set = table->PropertySets[s];
    for (ULONG i = 0; i < set.PropertiesCount; ++i) {
      const KSPROPERTY_ITEM& item = set.PropertyItem[i];
      const ULONG record = std::max(item.MinData, kVariableRecord);
      const ULONG min_request = std::max<ULONG>(item.MinProperty, sizeof(KSPROPERTY));
      for (ULONG type : types) {
        auto send = [&](ULONG request_length, ULONG data_length) {
          std::vector<uint8_t> request(request_length, 0);
          const KSPROPERTY header = kstandin::ks_make_property(*set.Set, item.PropertyId, type);
          memcpy(request.data(), &header, sizeof(header));
          std::unique_ptr<uint8_t[]> data(data_length != 0 ? new uint8_t[data_length]() : nullptr);
          ULONG_PTR returned = 0;
          const NTSTATUS status = kstandin::ks_property(filter_, request.data(), request_length,
                                                        data.get(), data_length, &returned);
          ++requests;
          if (data_length != 0 && !NT_ERROR(status)) {
            EXPECT_LE(returned, data_length) << item.PropertyId << " type " << type;
          }
          EXPECT_NE(status, STATUS_PENDING);
        };
        for (ULONG data_length = 0; data_length <= record + 8; ++data_length) {
          send(min_request, data_length);
        }
        for (ULONG request_length = sizeof(KSPROPERTY); request_length <= min_request + 16;
             ++request_length) {
          send(request_length, record);
        }
      }
    }
  }
  EXPECT_GT(requests, 10000u);
}

}  // namespace
}  // namespace ctltest
