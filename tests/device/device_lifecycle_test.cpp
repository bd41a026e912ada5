// Device start, restart, names in the registry, capabilities and the
// filter the device publishes, as ks.sys and a client see them.
#include <atomic>
#include <functional>
#include <thread>

#include "device_support.h"

#include "uvc/uvc_camera.h"
#include "testdata.h"
#include "verifier_listener.h"

namespace devtest {
namespace {

using device_lifecycle = device_test;

// What a started device publishes: one filter with its 1332-byte data
// ranges and their frame rates, the names, its capabilities; a second
// start changes nothing.
TEST_F(device_lifecycle, start_publishes_one_filter_and_a_second_start_changes_nothing) {
  ASSERT_EQ(plug(), STATUS_SUCCESS);
  std::vector<kstandin::ks_filter_info> filters = kstandin::ks_list_filters(device_);
  ASSERT_EQ(filters.size(), 1u);
  EXPECT_EQ(filters[0].reference_string, "GLOBAL");
  EXPECT_EQ(filters[0].create_item_flags, ULONG(KSCREATE_ITEM_FREEONSTOP));
  ASSERT_EQ(filters[0].categories.size(), 2u);
  EXPECT_EQ(0, memcmp(&filters[0].categories[0], &KSCATEGORY_VIDEO, sizeof(GUID)));
  EXPECT_EQ(0, memcmp(&filters[0].categories[1], &KSCATEGORY_CAPTURE, sizeof(GUID)));
  EXPECT_EQ(kstandin::registry_get_string(device_key(), "VendorName"), "Talvexa");
  EXPECT_EQ(kstandin::registry_get_string(device_key(), "ModelName"), "Plain UVC Camera");

  kstandin::ks_filter* filter = open_filter();
  std::vector<std::vector<uint8_t>> ranges;
  ASSERT_EQ(kstandin::ks_pin_data_ranges(filter, kCapturePin, &ranges), STATUS_SUCCESS);
  ASSERT_EQ(ranges.size(), context()->camera->get_format_count());
  for (const auto& range : ranges) {
    EXPECT_EQ(range.size(), 1332u);
    EXPECT_EQ(reinterpret_cast<const KSDATARANGE*>(range.data())->FormatSize, 1332u);
    // The content ends after the KS_DATARANGE_VIDEO.
    for (size_t i = sizeof(KS_DATARANGE_VIDEO); i < range.size(); ++i) ASSERT_EQ(range[i], 0);
  }
  // The frame rates of every range: the frame descriptor's intervals,
  // ascending, in a KSMULTIPLE_ITEM; a size query, a buffer that holds one
  // interval, and a range index beyond the list.
  KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S request = {};
  request.Property = kstandin::ks_make_property(PROPSETID_VIDCAP_VIDEOCONTROL,
                                                KSPROPERTY_VIDEOCONTROL_FRAME_RATES, KSPROPERTY_TYPE_GET);
  for (ULONG i = 0; i <= ranges.size(); ++i) {
    request.RangeIndex = LONG(i);
    ULONG answer[10] = {};
    ULONG_PTR returned = 0;
    const NTSTATUS status = kstandin::ks_property(filter, &request, sizeof request, answer, sizeof answer, &returned);
    if (i == ranges.size()) {
      EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
      break;
    }
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(returned, 32u);
    LONGLONG intervals[3];
    memcpy(intervals, answer + 2, sizeof intervals);
    EXPECT_EQ(answer[0], 32u);
    EXPECT_EQ(answer[1], 3u);
    EXPECT_EQ(std::vector<LONGLONG>(intervals, intervals + 3), (std::vector<LONGLONG>{333333, 666666, 2000000}));
  }
  request.RangeIndex = 0;
  ULONG_PTR returned = 0;
  EXPECT_EQ(kstandin::ks_property(filter, &request, sizeof request, nullptr, 0, &returned), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, 32u);
  ULONG one[4] = {};
  EXPECT_EQ(kstandin::ks_property(filter, &request, sizeof request, one, sizeof one, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 16u);
  EXPECT_EQ(one[1], 3u);
  EXPECT_EQ(one[2], 333333u);

  EXPECT_EQ(kstandin::ks_close_filter(filter), STATUS_SUCCESS);

  // Capabilities of version 1 gain SurpriseRemovalOK only; others pass.
  DEVICE_CAPABILITIES caps = {};
  caps.Removable = 1;
  ASSERT_EQ(kstandin::ks_query_capabilities(device_, 1, &caps), STATUS_SUCCESS);
  EXPECT_TRUE(caps.SurpriseRemovalOK == 1 && caps.Removable == 1);
  caps = {};
  ASSERT_EQ(kstandin::ks_query_capabilities(device_, 2, &caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.SurpriseRemovalOK, 0u);

  // (Stopped and started again: every_early_failure_of_start_... below.)
  uvc_camera* first = context()->camera;
  EXPECT_EQ(kstandin::ks_start_device(device_), STATUS_SUCCESS);
  EXPECT_EQ(context()->camera, first);
  EXPECT_EQ(kstandin::ks_list_filters(device_)[0].factory, filters[0].factory);
}

// Every early failure of start in turn: each allocation, each USB request
// stalled or left unanswered, a bus without the USBDI interface. A start
// that fails returns that step's status and leaves nothing behind (no
// verifier report, no pool block of any tag, no filter); one whose failure
// is tolerated (a name that cannot be read) starts. The walk ends when the
// fault is no longer reached, with the device started as usual.
TEST_F(device_lifecycle, every_early_failure_of_start_unwinds_and_the_device_starts_afterwards) {
  camera_ = sim::uvc_camera::create(sim::plain_camera_desc());
  pdo_ = bus_.plug(camera_);
  ASSERT_EQ(kstandin::ks_add_device(driver_, pdo_, &device_), STATUS_SUCCESS);
  // Each kind arms its fault at the step after n more and says whether it
  // was reached; a start it fails returns the kind's status. An unanswered
  // request costs its whole time-out, so past the first ten requests (the
  // descriptors and configuration) only every tenth is left unanswered; the
  // control probes after them share one request path.
  const struct {
    const char* name;
    std::function<void(unsigned)> arm;
    std::function<bool()> reached;
    NTSTATUS status;
    unsigned stride_after_ten;
  } kinds[] = {
      {"allocation", [](unsigned n) { kstandin::fail_allocation_after(n); },
       [] { return kstandin::forced_failures_left() == 0; }, STATUS_INSUFFICIENT_RESOURCES, 1},
      {"stall", [&](unsigned n) { camera_->fail_urb_after(n, USBD_STATUS_STALL_PID); },
       [&] { return !camera_->urb_fault_pending(); }, STATUS_UNSUCCESSFUL, 1},
      {"no answer", [&](unsigned n) { camera_->fail_urb_after(n, 0, true); },
       [&] { return !camera_->urb_fault_pending(); }, STATUS_IO_TIMEOUT, 10},
      {"no USBDI", [&](unsigned n) { camera_->set_usbdi_query_fails(n == 0); },
       [&] { return camera_->usbdi_query_fails(); }, STATUS_DEVICE_CONFIGURATION_ERROR, 1},
  };
  for (const auto& kind : kinds) {
    for (unsigned n = 0;; n += n < 10 ? 1 : kind.stride_after_ten) {
      SCOPED_TRACE(testing::Message() << kind.name << " " << n);
      const kstandin::pool_snapshot before = kstandin::take_pool_snapshot();
      kind.arm(n);
      const NTSTATUS status = kstandin::ks_start_device(device_);
      const bool reached = kind.reached();
      kstandin::fail_next_allocations(0);
      camera_->clear_faults();
      EXPECT_EQ(tvtest::take_violation_checks(), std::vector<std::string>{});
      kstandin::take_debug_log();
      if (NT_SUCCESS(status)) {
        ASSERT_EQ(kstandin::ks_list_filters(device_).size(), 1u);
        ASSERT_EQ(kstandin::ks_stop_device(device_), STATUS_SUCCESS);
        if (!reached) break;
      } else {
        ASSERT_TRUE(reached);
        EXPECT_EQ(status, kind.status);
        EXPECT_TRUE(kstandin::ks_list_filters(device_).empty());
        EXPECT_EQ(kstandin::describe(kstandin::leaks_since(before)), "");
      }
    }
  }
  ASSERT_EQ(kstandin::ks_start_device(device_), STATUS_SUCCESS);
  EXPECT_EQ(open_pin(nullptr), STATUS_SUCCESS);
  EXPECT_EQ(kstandin::ks_set_pin_state(pin_, KSSTATE_ACQUIRE), STATUS_SUCCESS);

  // A real camera whose configuration is one byte short of its wTotalLength
  // is refused with the reason, and nothing else happens.
  close_client();
  remove();
  kstandin::take_debug_log();
  EXPECT_EQ(plug(sim::uvc_camera::from_files(tvtest::uvc_descriptor_dir(), "customer")),
            STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_EQ(kstandin::take_debug_log().back(),
            "the configuration descriptor is 483 bytes but declares 484\n");
  EXPECT_TRUE(kstandin::ks_list_filters(device_).empty());
}

TEST_F(device_lifecycle, product_0109_is_named_talvexa_and_unreadable_names_are_not_written) {
  sim::uvc_camera_desc desc = sim::plain_camera_desc();
  desc.product_id = 0x0109;
  desc.manufacturer = "Other Vendor Inc.";
  desc.product = "HD Capture";
  ASSERT_EQ(plug(sim::uvc_camera::create(desc)), STATUS_SUCCESS);
  EXPECT_EQ(kstandin::registry_get_string(device_key(), "VendorName"), "Talvexa");
  // Written with their length, without a terminator.
  const auto raw = kstandin::registry_get_value(device_key(), "ModelName");
  ASSERT_TRUE(raw.has_value());
  EXPECT_EQ(raw->type, ULONG(REG_SZ));
  EXPECT_EQ(raw->data, (std::vector<uint8_t>{'H', 0, 'D', 0, ' ', 0, 'C', 0, 'a', 0, 'p', 0,
                                             't', 0, 'u', 0, 'r', 0, 'e', 0}));

  // The same descriptors without string descriptors behind their indexes:
  // every string read stalls, no name is written, and the device starts.
  remove();
  kstandin::registry_reset();
  ASSERT_EQ(plug(sim::uvc_camera::from_descriptors(camera_->device_descriptor(),
                                                   camera_->configuration_descriptor())),
            STATUS_SUCCESS);
  EXPECT_FALSE(kstandin::registry_get_value(device_key(), "VendorName").has_value());
  EXPECT_FALSE(kstandin::registry_get_value(device_key(), "ModelName").has_value());
}

TEST_F(device_lifecycle, a_second_filters_pin_cannot_acquire_while_the_first_owns_the_camera) {
  ASSERT_EQ(plug(), STATUS_SUCCESS);
  ASSERT_EQ(open_pin(nullptr), STATUS_SUCCESS);
  ASSERT_EQ(kstandin::ks_set_pin_state(pin_, KSSTATE_ACQUIRE), STATUS_SUCCESS);

  kstandin::ks_filter* second_filter = open_filter();
  const std::vector<uint8_t> format = format_for(second_filter, fourcc("Y800"), 640, 480);
  kstandin::ks_pin* second = nullptr;
  ASSERT_EQ(kstandin::ks_create_pin(second_filter, kCapturePin, format.data(), nullptr, &second),
            STATUS_SUCCESS);
  EXPECT_EQ(kstandin::ks_set_pin_state(second, KSSTATE_ACQUIRE), STATUS_SHARING_VIOLATION);
  EXPECT_EQ(kstandin::ks_pin_state(second), KSSTATE_STOP);
  EXPECT_EQ(context()->attached_pin(),
            static_cast<capture_pin*>(kstandin::ks_pin_object(pin_)->Context));

  // Once the first lets go, the second can have the camera.
  ASSERT_EQ(kstandin::ks_set_pin_state(pin_, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(kstandin::ks_set_pin_state(second, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(kstandin::ks_close_pin(second), STATUS_SUCCESS);
  EXPECT_EQ(kstandin::ks_close_filter(second_filter), STATUS_SUCCESS);
  EXPECT_EQ(context()->attached_pin(), nullptr);
  EXPECT_EQ(context()->pin_attached, 0);
}

// Another filter's client asks the filter-level dropped-frames property
// while the owning pin is created, acquired and closed over and over: the
// answer comes from a pin that stays attached (and alive) while it answers.
TEST_F(device_lifecycle, filter_dropped_frames_query_while_the_owning_pin_closes) {
  ASSERT_EQ(plug(), STATUS_SUCCESS);
  kstandin::ks_filter* owner = open_filter();
  kstandin::ks_filter* observer = open_filter();
  const std::vector<uint8_t> format = format_for(owner, fourcc("Y800"), 640, 480);
  ASSERT_FALSE(format.empty());

  std::atomic<bool> done{false};
  std::thread asker([&] {
    while (!done.load()) {
      KSPROPERTY_DROPPEDFRAMES_CURRENT_S answer;
      ULONG_PTR returned = 0;
      const NTSTATUS status = query_dropped_frames(observer, &answer, &returned);
      if (status == STATUS_SUCCESS) {
        EXPECT_EQ(answer.AverageFrameSize, kFrameBytes);
      } else {
        EXPECT_EQ(status, STATUS_INVALID_DEVICE_STATE);
      }
    }
  });
  for (int i = 0; i < 100; ++i) {
    kstandin::ks_pin* pin = nullptr;
    ASSERT_EQ(kstandin::ks_create_pin(owner, kCapturePin, format.data(), nullptr, &pin),
              STATUS_SUCCESS);
    EXPECT_EQ(kstandin::ks_set_pin_state(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(kstandin::ks_close_pin(pin), STATUS_SUCCESS);
  }
  done = true;
  asker.join();
  EXPECT_EQ(context()->attached_pin(), nullptr);
  EXPECT_EQ(kstandin::ks_close_filter(observer), STATUS_SUCCESS);
  EXPECT_EQ(kstandin::ks_close_filter(owner), STATUS_SUCCESS);
}

}  // namespace
}  // namespace devtest
