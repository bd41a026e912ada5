// Property requests as ks.sys routes them, the standard pin queries, data
// intersection, pin creation and format changes, the one-step state
// machine and the pin's reference clock.
#include "toy_driver.h"

using namespace kstandin;

TEST_F(ks_fixture, properties_are_routed_by_set_and_id_with_the_size_protocol) {
  ks_filter* filter = open_filter();
  LONG value = 7;
  EXPECT_EQ(ks_set_property(filter, toy::kFilterSet, toy::kValueItem, &value, sizeof value),
            STATUS_SUCCESS);
  value = 0;
  ULONG_PTR returned = 0;
  EXPECT_EQ(ks_get_property(filter, toy::kFilterSet, toy::kValueItem, &value, sizeof value, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(value, 7);
  EXPECT_EQ(returned, sizeof(LONG));
  toy::g_knobs.overstate_value = true;  // no more than the buffer is copied back
  EXPECT_EQ(ks_get_property(filter, toy::kFilterSet, toy::kValueItem, &value, sizeof value, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(returned, sizeof(LONG));
  EXPECT_TRUE(tvtest::take_violation("ks_information_exceeds_buffer"));
  toy::g_knobs.overstate_value = false;

  // Size query, short buffer, unknown id, unknown set, missing handler.
  EXPECT_EQ(ks_get_property(filter, toy::kFilterSet, toy::kValueItem, nullptr, 0, &returned),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, sizeof(LONG));
  SHORT small = 0;
  EXPECT_EQ(ks_get_property(filter, toy::kFilterSet, toy::kValueItem, &small, sizeof small),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(ks_get_property(filter, toy::kFilterSet, 9, &value, sizeof value), STATUS_NOT_FOUND);
  EXPECT_EQ(ks_get_property(filter, toy::kPinSet, 0, &value, sizeof value), STATUS_PROPSET_NOT_FOUND);
  EXPECT_EQ(ks_set_property(filter, toy::kFilterSet, toy::kRangeItem, &value, sizeof value),
            STATUS_NOT_FOUND);
  const KSPROPERTY truncated = ks_make_property(toy::kFilterSet, toy::kValueItem, KSPROPERTY_TYPE_GET);
  EXPECT_EQ(ks_property(filter, &truncated, 16, &value, sizeof value), STATUS_INVALID_BUFFER_SIZE);

  // Basic support built from the item's values: description, stepped range,
  // default; a 4-byte buffer gets the access flags alone.
  std::vector<uint8_t> answer;
  ASSERT_EQ(ks_basic_support(filter, toy::kFilterSet, toy::kRangeItem, &answer), STATUS_SUCCESS);
  ASSERT_EQ(answer.size(), 40u + 16 + 16 + 16 + 4);
  KSPROPERTY_DESCRIPTION description;
  memcpy(&description, answer.data(), sizeof description);
  EXPECT_EQ(description.AccessFlags, (ULONG)(KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET));
  EXPECT_EQ(description.DescriptionSize, answer.size());
  EXPECT_EQ(description.PropTypeSet.Id, (ULONG)VT_I4);
  EXPECT_EQ(description.MembersListCount, 2u);
  KSPROPERTY_STEPPING_LONG stepping;
  memcpy(&stepping, answer.data() + 56, sizeof stepping);
  EXPECT_EQ(stepping.SteppingDelta, 2u);
  EXPECT_EQ(stepping.Bounds.SignedMinimum, -10);
  LONG default_value = 0;
  memcpy(&default_value, answer.data() + 88, sizeof default_value);
  EXPECT_EQ(default_value, 4);
  const KSPROPERTY support = ks_make_property(toy::kFilterSet, toy::kValueItem, KSPROPERTY_TYPE_BASICSUPPORT);
  ULONG access = 0;
  EXPECT_EQ(ks_property(filter, &support, sizeof support, &access, sizeof access), STATUS_SUCCESS);
  EXPECT_EQ(access, (ULONG)(KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET));

  // The pin's own table, with KsGetPinFromIrp in the handler; the filter's
  // set is not the pin's.
  const toy::format f = toy::make_format(toy::kWidth);
  ks_pin* pin = nullptr;
  ASSERT_EQ(ks_create_pin(filter, 0, &f, nullptr, &pin), STATUS_SUCCESS);
  ULONG id = 99;
  EXPECT_EQ(ks_get_property(pin, toy::kPinSet, toy::kPinIdItem, &id, sizeof id), STATUS_SUCCESS);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(ks_get_property(pin, toy::kFilterSet, toy::kValueItem, &value, sizeof value),
            STATUS_PROPSET_NOT_FOUND);
  ks_close_filter(filter);
}

TEST_F(ks_fixture, pin_queries_and_intersection_follow_the_pin_descriptor) {
  ks_filter* filter = open_filter();
  toy::take_trace();
  ULONG count = 0;
  EXPECT_EQ(ks_pin_count(filter, &count), STATUS_SUCCESS);
  EXPECT_EQ(count, 1u);
  std::vector<std::vector<uint8_t>> ranges;
  ASSERT_EQ(ks_pin_data_ranges(filter, 0, &ranges), STATUS_SUCCESS);
  ASSERT_EQ(ranges.size(), 1u);
  ASSERT_EQ(ranges[0].size(), sizeof(toy::range));
  EXPECT_EQ(ks_pin_data_ranges(filter, 1, &ranges), STATUS_INVALID_PARAMETER);

  // Two calls: size, then the format; the caller's frame size is kept.
  toy::range wanted = toy::make_format(320, 240);
  std::vector<uint8_t> format;
  ASSERT_EQ(ks_intersect(filter, 0, &wanted, &format), STATUS_SUCCESS);
  ASSERT_EQ(format.size(), sizeof(toy::format));
  toy::format result;
  memcpy(&result, format.data(), sizeof result);
  EXPECT_EQ(result.width, 320u);
  EXPECT_EQ(result.header.SubFormat, toy::kSubFormat);
  EXPECT_EQ(toy::take_trace(), (std::vector<std::string>{"Intersect", "Intersect"}));

  // A wildcard sub format matches; another major format never reaches the
  // handler; the handler's own refusal is STATUS_NO_MATCH.
  wanted.header.SubFormat = KSDATAFORMAT_SUBTYPE_WILDCARD;
  EXPECT_EQ(ks_intersect(filter, 0, &wanted, &format), STATUS_SUCCESS);
  wanted.header.MajorFormat = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
  toy::take_trace();
  EXPECT_EQ(ks_intersect(filter, 0, &wanted, &format), STATUS_NO_MATCH);
  EXPECT_TRUE(toy::take_trace().empty());
  wanted = toy::make_format(999);
  EXPECT_EQ(ks_intersect(filter, 0, &wanted, &format), STATUS_NO_MATCH);
  ks_close_filter(filter);
}

TEST_F(ks_fixture, pin_creation_copies_the_format_and_enforces_instances) {
  ks_filter* filter = open_filter();
  toy::take_trace();
  toy::format f = toy::make_format(0);  // refused by SetDataFormat: the pin closes again
  ks_pin* pin = nullptr;
  EXPECT_EQ(ks_create_pin(filter, 0, &f, nullptr, &pin), STATUS_NO_MATCH);
  EXPECT_EQ(pin, nullptr);
  EXPECT_EQ(toy::take_trace(), (std::vector<std::string>{"PinCreate", "SetDataFormat new", "PinClose",
                                                         "FreePinContext"}));
  f.header.SubFormat = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
  EXPECT_EQ(ks_create_pin(filter, 0, &f, nullptr, &pin), STATUS_NO_MATCH);
  EXPECT_TRUE(toy::take_trace().empty());

  f = toy::make_format(toy::kWidth);
  ASSERT_EQ(ks_create_pin(filter, 0, &f, nullptr, &pin), STATUS_SUCCESS);
  PKSPIN object = ks_pin_object(pin);
  EXPECT_NE((void*)object->ConnectionFormat, (void*)&f);
  EXPECT_EQ(memcmp(object->ConnectionFormat, &f, sizeof f), 0);
  ks_pin* second = nullptr;
  EXPECT_EQ(ks_create_pin(filter, 0, &f, nullptr, &second), STATUS_INSUFFICIENT_RESOURCES);
  KSPIN_CINSTANCES instances{};
  EXPECT_EQ(ks_pin_instances(filter, 0, &instances), STATUS_SUCCESS);
  EXPECT_EQ(instances.CurrentCount, 1u);

  // The framing the driver edited into its private descriptor.
  std::vector<uint8_t> framing;
  ASSERT_EQ(ks_pin_allocator_framing(pin, &framing), STATUS_SUCCESS);
  ASSERT_EQ(framing.size(), sizeof(KSALLOCATOR_FRAMING_EX));
  KSALLOCATOR_FRAMING_EX read;
  memcpy(&read, framing.data(), sizeof read);
  EXPECT_EQ(read.FramingItem[0].Frames, 3u);
  EXPECT_EQ(read.FramingItem[0].PhysicalRange.MinFrameSize, toy::kWidth * toy::kHeight);

  // A format change goes through SetDataFormat with the old format; a
  // refusal keeps the old one.
  toy::take_trace();
  const toy::format wider = toy::make_format(128);
  EXPECT_EQ(ks_set_pin_format(pin, &wider), STATUS_SUCCESS);
  std::vector<uint8_t> current;
  ASSERT_EQ(ks_get_pin_format(pin, &current), STATUS_SUCCESS);
  EXPECT_EQ(reinterpret_cast<const toy::format*>(current.data())->width, 128u);
  toy::g_knobs.refuse_format_change = true;
  EXPECT_EQ(ks_set_pin_format(pin, &f), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(reinterpret_cast<const toy::format*>(object->ConnectionFormat)->width, 128u);
  EXPECT_EQ(toy::take_trace(),
            (std::vector<std::string>{"SetDataFormat change", "SetDataFormat change"}));

  ks_close_pin(pin);
  EXPECT_EQ(ks_create_pin(filter, 0, &f, nullptr, &second), STATUS_SUCCESS);
  ks_close_filter(filter);
}

TEST_F(ks_fixture, state_changes_step_one_state_at_a_time) {
  ks_pin* pin = create_pin();
  toy::take_trace();
  EXPECT_EQ(ks_set_pin_state(pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(ks_pin_state(pin), KSSTATE_RUN);
  EXPECT_EQ(ks_set_pin_state(pin, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(toy::take_trace(), (std::vector<std::string>{"State 1<-0", "State 2<-1", "State 3<-2",
                                                         "State 2<-3", "State 1<-2", "State 0<-1"}));
  // A refused step leaves the pin in the last state reached.
  toy::g_knobs.refuse_state = KSSTATE_RUN;
  EXPECT_EQ(ks_set_pin_state(pin, KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(ks_pin_state(pin), KSSTATE_PAUSE);
  KSSTATE state = KSSTATE_STOP;
  EXPECT_EQ(ks_get_property(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &state, sizeof state),
            STATUS_SUCCESS);
  EXPECT_EQ(state, KSSTATE_PAUSE);
  // Closing a pin that is not stopped steps it down first.
  toy::take_trace();
  ks_close_pin(pin);
  EXPECT_EQ(toy::take_trace(), (std::vector<std::string>{"State 1<-2", "State 0<-1", "PinClose",
                                                         "FreePinContext"}));
}

TEST_F(ks_fixture, reference_clock_is_given_only_with_a_master_clock) {
  ks_pin* without = create_pin();
  ASSERT_EQ(ks_set_pin_state(without, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(toy::g_clock, nullptr);
  ks_close_filter(filter_);

  auto clock = std::make_shared<reference_clock>();
  clock->set_time(123456);
  ks_pin* pin = create_pin(clock);
  ASSERT_EQ(ks_set_pin_state(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ASSERT_NE(toy::g_clock, nullptr);
  EXPECT_EQ(toy::g_clock_time_at_acquire, 123456);
  clock->advance(100);
  EXPECT_EQ(toy::g_clock->GetTime(), 123556);
  clock->run();
  EXPECT_GE(toy::g_clock->GetTime(), 123556);
  EXPECT_EQ(ks_set_pin_state(pin, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(toy::g_clock, nullptr);  // released at STOP

  // A driver that keeps its reference past the pin's close is reported.
  toy::g_keep_clock = true;
  ASSERT_EQ(ks_set_pin_state(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ks_close_filter(filter_);
  EXPECT_TRUE(tvtest::take_violation("reference_clock_leaked"));
  toy::g_clock->Release();
}
