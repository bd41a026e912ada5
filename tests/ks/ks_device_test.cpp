// Devices as the host's PnP and power manager drives them: callbacks in
// order, filter factories published and freed with the device's start and
// stop, object bags freed with their objects, and the removal checks.

#include "toy_driver.h"

using namespace kstandin;

namespace {

constexpr ULONG kBagTag = 0x20676142;  // "Bag "

bool contains(const std::vector<std::string>& list, const std::string& entry) {
  return std::find(list.begin(), list.end(), entry) != list.end();
}

}  // namespace

TEST_F(ks_fixture, device_lifecycle_publishes_filters_while_started) {
  EXPECT_EQ(toy::take_trace(), (std::vector<std::string>{"Add", "Start"}));
  PKSDEVICE device = ks_device_object(device_);
  EXPECT_TRUE(device->Started);
  EXPECT_EQ(KsGetDeviceForDeviceObject(device->FunctionalDeviceObject), device);
  EXPECT_EQ(device->PhysicalDeviceObject, pdo_);
  EXPECT_EQ(device->NextDeviceObject, pdo_);

  auto filters = ks_list_filters();
  ASSERT_EQ(filters.size(), 1u);
  EXPECT_EQ(filters[0].reference_string, "GLOBAL");
  EXPECT_EQ(filters[0].create_item_flags, (ULONG)KSCREATE_ITEM_FREEONSTOP);
  ASSERT_EQ(filters[0].categories.size(), 2u);
  EXPECT_EQ(filters[0].categories[1], KSCATEGORY_CAPTURE);
  EXPECT_EQ(filters[0].interfaces[0],
            "\\??\\USB#VID_1234&PID_0001#7#{6994ad05-93ef-11d0-a3cc-00a0c9223196}\\GLOBAL");

  // A second start reaches the driver, which keeps its one factory.
  EXPECT_EQ(ks_start_device(device_), STATUS_SUCCESS);
  EXPECT_EQ(ks_list_filters(device_).size(), 1u);

  EXPECT_EQ(ks_set_power(device_, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(ks_set_power(device_, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(device->DevicePowerState, PowerDeviceD0);

  // Stop is refused while a filter is open; afterwards the factory goes.
  ks_filter* filter = open_filter();
  EXPECT_EQ(ks_stop_device(device_), STATUS_DEVICE_BUSY);
  ks_close_filter(filter);
  EXPECT_EQ(ks_stop_device(device_), STATUS_SUCCESS);
  EXPECT_FALSE(device->Started);
  EXPECT_TRUE(ks_list_filters().empty());
  EXPECT_EQ(ks_open_filter(device_, 0, &filter), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ks_start_device(device_), STATUS_SUCCESS);
  EXPECT_EQ(ks_list_filters().size(), 1u);

  EXPECT_EQ(ks_remove_device(device_), STATUS_SUCCESS);
  EXPECT_EQ(toy::take_trace(),
            (std::vector<std::string>{"Start again", "SetPower 4<-1", "SetPower 1<-4", "FilterCreate",
                                      "FilterClose", "FreeFilterContext", "Stop", "Start", "Stop",
                                      "Remove", "FreeDeviceContext"}));
}

TEST_F(ks_fixture, surprise_removal_hides_the_device_and_removal_closes_what_is_open) {
  ks_pin* pin = create_pin();
  ASSERT_NE(pin, nullptr);
  ASSERT_EQ(ks_set_pin_state(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  ks_queue_read(pin, 16, false);
  toy::take_trace();
  ks_surprise_remove(device_);
  EXPECT_TRUE(ks_list_filters().empty());
  ks_filter* second = nullptr;
  EXPECT_EQ(ks_open_filter(device_, 0, &second), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(ks_remove_device(device_), STATUS_SUCCESS);
  EXPECT_EQ(toy::take_trace(),
            (std::vector<std::string>{"SurpriseRemoval", "State 1<-2", "State 0<-1", "PinClose",
                                      "FreePinContext", "FilterClose", "FreeFilterContext", "Stop",
                                      "Remove", "FreeDeviceContext"}));
}

TEST_F(ks_fixture, removal_reports_what_the_driver_leaves_behind) {
  // A pool block kept past removal.
  toy::g_knobs.leak_at_remove = true;
  ASSERT_EQ(ks_remove_device(device_), STATUS_SUCCESS);
  EXPECT_TRUE(tvtest::take_violation("pool_leak_at_removal"));
  ExFreePool(toy::g_leaked);
  toy::g_knobs.leak_at_remove = false;

  // A system thread and an IRP of the device still there.
  ASSERT_EQ(ks_plug_device(driver_, pdo_, &device_), STATUS_SUCCESS);
  static KEVENT stop;
  KeInitializeEvent(&stop, NotificationEvent, FALSE);
  HANDLE thread = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr,
                                 [](PVOID) { KeWaitForSingleObject(&stop, Executive, KernelMode, FALSE, nullptr); },
                                 nullptr),
            STATUS_SUCCESS);
  PIRP irp = IoAllocateIrp(2, FALSE);
  ASSERT_EQ(ks_remove_device(device_), STATUS_SUCCESS);
  const auto checks = tvtest::take_violation_checks();
  EXPECT_TRUE(contains(checks, "thread_running_at_removal"));
  EXPECT_TRUE(contains(checks, "irp_pending_at_removal"));
  IoFreeIrp(irp);
  PVOID object = nullptr;
  ObReferenceObjectByHandle(thread, 0, nullptr, KernelMode, &object, nullptr);
  KeSetEvent(&stop, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(object);
  ZwClose(thread);
  device_ = nullptr;
}

TEST_F(ks_fixture, object_bags_free_their_items_once_and_edits_replace_them) {
  KSOBJECT_BAG bag = ks_device_object(device_)->Bag;
  static int freed;
  freed = 0;
  auto count_free = [](PVOID item) {
    ++freed;
    ExFreePool(item);
  };
  ks_filter* filter = open_filter();
  KSOBJECT_BAG filter_bag = ks_filter_object(filter)->Bag;
  PVOID shared = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kBagTag);
  ASSERT_EQ(KsAddItemToObjectBag(bag, shared, count_free), STATUS_SUCCESS);
  ASSERT_EQ(KsAddItemToObjectBag(filter_bag, shared, count_free), STATUS_SUCCESS);
  ks_close_filter(filter);  // the device bag still holds it
  EXPECT_EQ(freed, 0);
  EXPECT_EQ(KsRemoveItemFromObjectBag(bag, shared, TRUE), 0u);
  EXPECT_EQ(freed, 1);

  // _KsEdit: a larger copy with the old content; the old item, being in the
  // bag, goes; an edit that fits keeps the item.
  auto* item = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 4, kBagTag));
  memcpy(item, "abcd", 4);
  ASSERT_EQ(KsAddItemToObjectBag(bag, item, count_free), STATUS_SUCCESS);
  PVOID edited = item;
  ASSERT_EQ(_KsEdit(bag, &edited, 12, 4, kBagTag), STATUS_SUCCESS);
  EXPECT_NE(edited, (PVOID)item);
  EXPECT_EQ(freed, 2);
  EXPECT_EQ(memcmp(edited, "abcd\0\0\0\0\0\0\0\0", 12), 0);
  PVOID again = edited;
  ASSERT_EQ(_KsEdit(bag, &again, 12, 12, kBagTag), STATUS_SUCCESS);
  EXPECT_EQ(again, edited);
  // The edited copy is freed with the device (checked by the test's leak check).
}
