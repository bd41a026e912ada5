// The constant shape of the capture filter: what ks.sys is told about the
// filter, its property sets and its one capture pin (whose dispatch,
// framing and dropped-frames property the capture stream tests check
// through ks.sys).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "avstream/capture_pin.h"
#include "controls/property_handler.h"
#include "avstream/filter_descriptor.h"

namespace {

bool same(const GUID& a, const GUID& b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }

std::vector<ULONG> ids_of(const KSPROPERTY_SET& set) {
  std::vector<ULONG> ids;
  for (ULONG i = 0; i < set.PropertiesCount; ++i) ids.push_back(set.PropertyItem[i].PropertyId);
  return ids;
}

TEST(filter_template, eleven_property_sets_in_order_with_their_items_and_one_capture_pin) {
  const KSFILTER_DESCRIPTOR& d = filter_descriptor_template;
  EXPECT_EQ(d.Version, KSFILTER_DESCRIPTOR_VERSION);
  EXPECT_TRUE(same(*d.ReferenceGuid, KSNAME_Filter));  // categories: see device_lifecycle

  const KSAUTOMATION_TABLE& table = *d.AutomationTable;
  EXPECT_EQ(table.PropertyItemSize, sizeof(KSPROPERTY_ITEM));
  EXPECT_EQ(table.MethodSetsCount, 0u);
  EXPECT_EQ(table.EventSetsCount, 0u);
  const GUID* const order[] = {&device_identity_set,
                               &driver_information_set,
                               &PROPSETID_VIDCAP_VIDEOPROCAMP,
                               &PROPSETID_VIDCAP_CAMERACONTROL,
                               &camera_extension_set,
                               &PROPSETID_VIDCAP_VIDEOCONTROL,
                               &driver_property_set,
                               &PROPSETID_VIDCAP_DROPPEDFRAMES,
                               &camera_feature_set,
                               &frame_interval_list_set,
                               &extension_access_set};
  const ULONG counts[] = {4, 2, 13, 16, 42, 3, 22, 1, 21, 2, 4};
  ASSERT_EQ(table.PropertySetsCount, 11u);
  for (ULONG s = 0; s < 11; ++s) {
    SCOPED_TRACE(s);
    const KSPROPERTY_SET& set = table.PropertySets[s];
    EXPECT_TRUE(same(*set.Set, *order[s]));
    EXPECT_EQ(set.PropertiesCount, counts[s]);
    EXPECT_EQ(set.FastIoCount, 0u);
    for (ULONG i = 0; i < set.PropertiesCount; ++i) {
      const KSPROPERTY_ITEM& item = set.PropertyItem[i];
      EXPECT_EQ(item.GetPropertyHandler, filter_property_handler);  // every item has a get
      EXPECT_TRUE(item.SetPropertyHandler == nullptr ||
                  item.SetPropertyHandler == filter_property_handler);
      EXPECT_TRUE(item.SupportHandler == nullptr || item.SupportHandler == filter_property_handler);
      EXPECT_EQ(item.Values, nullptr);
      EXPECT_EQ(item.RelationsCount, 0u);
    }
  }

  // Items keep their listed order, which is not ascending, and the sizes
  // ks.sys checks requests against; the frame interval list can be read
  // but not set.
  const KSPROPERTY_SET* sets = table.PropertySets;
  EXPECT_EQ(ids_of(sets[0]), (std::vector<ULONG>{100, 101, 103, 102}));
  EXPECT_EQ(sets[0].PropertyItem[3].MinProperty, 296u);
  EXPECT_EQ(sets[4].PropertyItem[5].MinData, 88u);  // 125
  EXPECT_EQ(ids_of(sets[5]), (std::vector<ULONG>{2, 0, 3}));
  EXPECT_EQ(ids_of(sets[6])[14], 34u);  // 34 comes before 24
  EXPECT_EQ(sets[9].PropertyItem[0].SetPropertyHandler, nullptr);

  // One capture pin, processing in RUN only.
  ASSERT_EQ(d.PinDescriptorsCount, 1u);
  EXPECT_EQ(d.PinDescriptorSize, sizeof(KSPIN_DESCRIPTOR_EX));
  const KSPIN_DESCRIPTOR_EX& pin = d.PinDescriptors[0];
  EXPECT_EQ(pin.IntersectHandler, pin_intersect);
  EXPECT_EQ(pin.PinDescriptor.DataFlow, KSPIN_DATAFLOW_OUT);
  EXPECT_TRUE(same(*pin.PinDescriptor.Name, PINNAME_VIDEO_CAPTURE));
  EXPECT_EQ(pin.Flags, ULONG(KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY));
  EXPECT_TRUE(pin.InstancesPossible == 1 && pin.InstancesNecessary == 1);
}

}  // namespace
