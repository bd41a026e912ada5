// Registry routines: the device-key-first DWORD lookup and its fallback to
// the driver key, strings read into caller buffers, where writes land,
// handle slots, and name handling.
#include <gtest/gtest.h>

#include <kstandin/testing_io.h>

#include <cstring>
#include <string>
#include <vector>

#include "kernel/kernel_api.h"
#include "kernel/pool_tags.h"
#include "kernel/registry.h"
#include "verifier_listener.h"

namespace {

class DriverRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kstandin::registry_reset();
    bus = kstandin::create_driver_object("\\Driver\\testbus");
    pdo = kstandin::create_physical_device(bus, "USB\\VID_199E&PID_8619\\0001");
    ASSERT_NE(pdo, nullptr);
    device_data = kstandin::device_key_path(pdo) + "\\DriverData";
    driver_data = kstandin::driver_key_path(pdo) + "\\DriverData";
    handles_at_start = kstandin::open_handle_count();
  }
  void TearDown() override {
    EXPECT_EQ(kstandin::open_handle_count(), handles_at_start) << "key handles left open";
    if (pdo != nullptr) kstandin::delete_physical_device(pdo);
    kstandin::delete_driver_object(bus);
    kstandin::registry_reset();
  }

  PDRIVER_OBJECT bus = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  std::string device_data;  // hive paths of the two "DriverData" keys
  std::string driver_data;
  size_t handles_at_start = 0;
};

TEST_F(DriverRegistryTest, DwordComesFromTheDeviceKeyElseTheDriverKey) {
  ULONG value = 0xDEAD;
  EXPECT_FALSE(NT_SUCCESS(read_driver_dword(pdo, L"gain", &value)));
  EXPECT_EQ(value, 0xDEADu);  // untouched on failure
  EXPECT_FALSE(kstandin::registry_key_exists(device_data));  // reading creates nothing

  ASSERT_TRUE(kstandin::registry_set_dword(driver_data, "gain", 7));
  ASSERT_EQ(read_driver_dword(pdo, L"gain", &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 7u);

  // A device value that is not a REG_DWORD of at most 4 bytes counts as absent.
  ASSERT_TRUE(kstandin::registry_set_string(device_data, "gain", "12"));
  ASSERT_EQ(read_driver_dword(pdo, L"gain", &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 7u);
  const unsigned char eight[8] = {9, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_TRUE(kstandin::registry_set_value(device_data, "gain", REG_DWORD, eight, 8));
  ASSERT_EQ(read_driver_dword(pdo, L"gain", &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 7u);

  // A proper device value wins; a short one is zero-extended.
  const unsigned char two[2] = {0x34, 0x12};
  ASSERT_TRUE(kstandin::registry_set_value(device_data, "GAIN", REG_DWORD, two, 2));
  ASSERT_EQ(read_driver_dword(pdo, L"gain", &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 0x1234u);

  // Wrong-typed under both keys: rejected.
  ASSERT_TRUE(kstandin::registry_set_value(device_data, "gain", REG_DWORD, eight, 8));
  ASSERT_TRUE(kstandin::registry_set_string(driver_data, "gain", "x"));
  EXPECT_EQ(read_driver_dword(pdo, L"gain", &value), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(value, 0x1234u);
}

TEST_F(DriverRegistryTest, WritesLandUnderDriverDataOfTheDeviceKey) {
  ASSERT_EQ(write_driver_dword(pdo, L"Brightness", 0x01020304), STATUS_SUCCESS);
  EXPECT_EQ(kstandin::registry_get_dword(device_data, "brightness"), 0x01020304u);
  EXPECT_FALSE(kstandin::registry_key_exists(driver_data));

  UNICODE_STRING file;
  RtlInitUnicodeString(&file, L"C:\\defects.htpx");
  ASSERT_EQ(write_driver_string(pdo, L"DefectFile", &file), STATUS_SUCCESS);
  EXPECT_EQ(kstandin::registry_get_string(device_data, "DefectFile"), "C:\\defects.htpx");

  // An empty string is an empty REG_SZ and reads back empty.
  UNICODE_STRING empty = {0, 0, nullptr};
  ASSERT_EQ(write_driver_string(pdo, L"Note", &empty), STATUS_SUCCESS);
  auto raw = kstandin::registry_get_value(device_data, "Note");
  ASSERT_TRUE(raw.has_value());
  EXPECT_EQ(raw->type, static_cast<ULONG>(REG_SZ));
  EXPECT_TRUE(raw->data.empty());
  WCHAR buffer[4] = {L'?', L'?', L'?', L'?'};
  UNICODE_STRING out = {6, sizeof(buffer), buffer};
  ASSERT_EQ(read_driver_string(pdo, L"Note", &out), STATUS_SUCCESS);
  EXPECT_EQ(out.Length, 0);
  EXPECT_EQ(buffer[0], 0);
}

TEST_F(DriverRegistryTest, StringIsReadOnlyWhenItFitsTheCallersBuffer) {
  UNICODE_STRING hello;
  RtlInitUnicodeString(&hello, L"Hello");
  ASSERT_EQ(write_driver_string(pdo, L"bare", &hello), STATUS_SUCCESS);  // no terminator
  ASSERT_TRUE(kstandin::registry_set_string(device_data, "terminated", "Hello"));
  for (const WCHAR* name : {L"bare", L"terminated"}) {
    WCHAR exact[5];  // the characters fit, a terminator would not
    UNICODE_STRING fit = {0, sizeof(exact), exact};
    ASSERT_EQ(read_driver_string(pdo, name, &fit), STATUS_SUCCESS);
    EXPECT_EQ(fit.Length, 10);
    EXPECT_EQ(std::memcmp(exact, L"Hello", 10), 0);

    WCHAR small[4] = {L'a', L'b', L'c', L'd'};
    UNICODE_STRING too_small = {2, sizeof(small), small};
    EXPECT_EQ(read_driver_string(pdo, name, &too_small), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(too_small.Length, 2);  // left alone
    EXPECT_EQ(small[0], L'a');
  }

  // The string ends at its first null even when data follows it.
  const WCHAR junk[] = L"Hi\0junk after the terminator";
  ASSERT_TRUE(kstandin::registry_set_value(device_data, "junk", REG_SZ, junk, sizeof(junk)));
  WCHAR two[2];
  UNICODE_STRING out = {0, sizeof(two), two};
  ASSERT_EQ(read_driver_string(pdo, L"junk", &out), STATUS_SUCCESS);
  EXPECT_EQ(out.Length, 4);
  EXPECT_EQ(std::memcmp(two, L"Hi", 4), 0);

  ASSERT_TRUE(kstandin::registry_set_dword(device_data, "number", 1));
  EXPECT_EQ(read_driver_string(pdo, L"number", &out), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(read_driver_string(pdo, L"missing", &out), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(DriverRegistryTest, HandleSlotIsReplacedOnSuccessAndKeptOnFailure) {
  HANDLE slot = nullptr;
  ASSERT_EQ(open_device_key(&slot, pdo, PLUGPLAY_REGKEY_DEVICE, registry_read_write_access),
            STATUS_SUCCESS);
  const HANDLE device_key = slot;
  EXPECT_EQ(open_device_key(&slot, pdo, PLUGPLAY_REGKEY_CURRENT_HWPROFILE, registry_read_access),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(open_registry_key(&slot, device_key, L"NoSuchKey", registry_read_access),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(slot, device_key);
  ASSERT_EQ(write_registry_value(slot, L"still_open", "ok", 2, REG_BINARY), STATUS_SUCCESS);

  ASSERT_EQ(create_registry_key(&slot, device_key, L"Sub", registry_read_write_access),
            STATUS_SUCCESS);
  EXPECT_NE(slot, device_key);
  EXPECT_EQ(ZwClose(device_key), STATUS_INVALID_HANDLE);  // the routine closed it
  EXPECT_TRUE(tvtest::take_violation("invalid_handle"));
  EXPECT_TRUE(kstandin::registry_key_exists(kstandin::device_key_path(pdo) + "\\Sub"));
  ZwClose(slot);
}

TEST_F(DriverRegistryTest, NullNameIsTheDefaultValueAndOverlongNamesAreRefused) {
  HANDLE key = nullptr;
  ASSERT_EQ(open_driver_data_key(&key, pdo, PLUGPLAY_REGKEY_DEVICE, TRUE), STATUS_SUCCESS);
  const ULONG seven = 7;
  ASSERT_EQ(write_registry_value(key, nullptr, &seven, sizeof(seven), REG_DWORD), STATUS_SUCCESS);
  ULONG value = 0;
  ASSERT_EQ(query_registry_dword(key, L"", &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 7u);

  std::vector<WCHAR> long_name(40000, L'a');  // more than a counted string holds
  long_name.push_back(0);
  EXPECT_EQ(write_registry_value(key, long_name.data(), &seven, sizeof(seven), REG_DWORD),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(query_registry_dword(key, long_name.data(), &value), STATUS_INVALID_PARAMETER);

  kstandin::fail_next_allocations(1, pool_tag::registry_values);
  EXPECT_EQ(query_registry_dword(key, L"", &value), STATUS_INSUFFICIENT_RESOURCES);
  ZwClose(key);
}

}  // namespace
