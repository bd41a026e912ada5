// The registry as the driver sees it through the Zw routines, the device
// keys of physical device objects, and saving and loading the hive.
#include <gtest/gtest.h>

#include <kstandin/testing_io.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform_support.h"
#include "temp_dir.h"
#include "verifier_listener.h"

namespace {

using pltest::ustring;

const char kGlobalKey[] = "\\Registry\\Machine\\Software\\Talvexa\\usb_driver";

NTSTATUS open_key(HANDLE* key, const wchar_t* path, ACCESS_MASK access, HANDLE root = nullptr) {
  ustring name(path);
  OBJECT_ATTRIBUTES attributes = pltest::attributes_of(&name.s, root);
  return ZwOpenKey(key, access, &attributes);
}

NTSTATUS create_key(HANDLE* key, const wchar_t* path, HANDLE root = nullptr,
                    ULONG* disposition = nullptr) {
  ustring name(path);
  OBJECT_ATTRIBUTES attributes = pltest::attributes_of(&name.s, root);
  return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE,
                     disposition);
}

NTSTATUS set_dword(HANDLE key, const wchar_t* name, ULONG value) {
  ustring n(name);
  return ZwSetValueKey(key, &n.s, 0, REG_DWORD, &value, sizeof value);
}

class Registry : public ::testing::Test {
 protected:
  void SetUp() override { kstandin::registry_reset(); }
  void TearDown() override { kstandin::registry_reset(); }
};

TEST_F(Registry, KeysAreCreatedOneLevelAtATimeAndFoundWithoutCase) {
  HANDLE vendor = nullptr, driver = nullptr, again = nullptr, missing = nullptr;
  ULONG disposition = 0;
  // The parent must exist: the global key needs its vendor key first.
  EXPECT_EQ(create_key(&driver, L"\\Registry\\Machine\\Software\\Talvexa\\usb_driver"),
            STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(create_key(&vendor, L"\\REGISTRY\\machine\\SOFTWARE\\Talvexa", nullptr, &disposition),
            STATUS_SUCCESS);
  EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
  ASSERT_EQ(create_key(&driver, L"usb_driver", vendor, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
  EXPECT_EQ(set_dword(driver, L"TriggerMode", 3), STATUS_SUCCESS);
  EXPECT_EQ(set_dword(driver, L"TRIGGERMODE", 5), STATUS_SUCCESS);  // the same value
  ZwClose(driver);

  ASSERT_EQ(create_key(&again, L"USB_DRIVER", vendor, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, (ULONG)REG_OPENED_EXISTING_KEY);
  ZwClose(again);
  EXPECT_EQ(kstandin::registry_get_dword(kGlobalKey, "triggermode"), 5u);
  EXPECT_EQ(kstandin::registry_value_names(kGlobalKey), std::vector<std::string>{"TriggerMode"});

  EXPECT_EQ(open_key(&missing, L"NoSuchKey", KEY_READ, vendor), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(open_key(&missing, L"\\Registry\\Machine\\Software\\Talvexa", KEY_READ, vendor),
            STATUS_OBJECT_PATH_SYNTAX_BAD);  // absolute name with a root
  ZwClose(vendor);
}

TEST_F(Registry, QueryAnswersShortBuffersAsWindowsDoes) {
  ASSERT_TRUE(kstandin::registry_set_dword(kGlobalKey, "Exposure", 0x1234));
  HANDLE key = nullptr;
  ASSERT_EQ(open_key(&key, L"\\Registry\\Machine\\Software\\Talvexa\\usb_driver", KEY_READ),
            STATUS_SUCCESS);
  ustring name(L"exposure");
  alignas(8) UCHAR buffer[64];
  ULONG result = 0;
  auto query = [&](KEY_VALUE_INFORMATION_CLASS type, ULONG size) {
    return ZwQueryValueKey(key, &name.s, type, buffer, size, &result);
  };

  // Partial: 12 bytes of header and 4 of data.
  EXPECT_EQ(query(KeyValuePartialInformation, 8), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result, 16u);
  memset(buffer, 0xEE, sizeof buffer);
  EXPECT_EQ(query(KeyValuePartialInformation, 12), STATUS_BUFFER_OVERFLOW);
  auto* partial = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
  EXPECT_EQ(result, 16u);
  EXPECT_EQ(partial->Type, (ULONG)REG_DWORD);
  EXPECT_EQ(partial->DataLength, 4u);
  EXPECT_EQ(query(KeyValuePartialInformation, 16), STATUS_SUCCESS);
  ULONG value = 0;
  memcpy(&value, partial->Data, 4);
  EXPECT_EQ(value, 0x1234u);

  // Full: 20 bytes of header, the name as stored ("Exposure", 16 bytes), data.
  EXPECT_EQ(query(KeyValueFullInformation, sizeof buffer), STATUS_SUCCESS);
  EXPECT_EQ(result, 40u);
  EXPECT_EQ(memcmp(reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer)->Name, L"Exposure", 16), 0);

  ustring absent(L"Gain");
  EXPECT_EQ(ZwQueryValueKey(key, &absent.s, KeyValuePartialInformation, buffer, 64, &result),
            STATUS_OBJECT_NAME_NOT_FOUND);
  // Read access does not allow writing.
  EXPECT_EQ(set_dword(key, L"Exposure", 1), STATUS_ACCESS_DENIED);
  ZwClose(key);
}

TEST_F(Registry, ValuesAreReplacedInPlaceDeletedAndEnumeratedInOrder) {
  HANDLE key = nullptr;
  ASSERT_EQ(open_key(&key, L"\\Registry\\Machine\\Software", KEY_ALL_ACCESS), STATUS_SUCCESS);
  ustring second(L"Second");
  EXPECT_EQ(ZwSetValueKey(key, &second.s, 0, REG_SZ, (PVOID)L"abc", 8), STATUS_SUCCESS);
  EXPECT_EQ(set_dword(key, L"Third", 3), STATUS_SUCCESS);
  EXPECT_EQ(set_dword(key, L"second", 2), STATUS_SUCCESS);  // type changes, position stays
  alignas(8) UCHAR buffer[64];
  ULONG result = 0;
  ASSERT_EQ(ZwEnumerateValueKey(key, 0, KeyValueBasicInformation, buffer, sizeof buffer, &result),
            STATUS_SUCCESS);
  EXPECT_EQ(reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer)->Type, (ULONG)REG_DWORD);
  EXPECT_EQ(ZwDeleteValueKey(key, &second.s), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteValueKey(key, &second.s), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwEnumerateValueKey(key, 1, KeyValueBasicInformation, buffer, sizeof buffer, &result),
            STATUS_NO_MORE_ENTRIES);
  ZwClose(key);
  ASSERT_EQ(open_key(&key, L"\\Registry\\Machine", KEY_READ), STATUS_SUCCESS);
  ASSERT_EQ(ZwEnumerateKey(key, 2, KeyBasicInformation, buffer, sizeof buffer, &result),
            STATUS_SUCCESS);
  auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(info->Name), info->NameLength / 2),
            u"System");  // after Hardware and Software
  ZwClose(key);
}

TEST_F(Registry, PhysicalDeviceHasSeparateDeviceAndDriverKeys) {
  PDEVICE_OBJECT first = kstandin::create_physical_device(nullptr, "USB\\VID_199E&PID_8207\\A1");
  PDEVICE_OBJECT second = kstandin::create_physical_device(nullptr, "USB\\VID_199E&PID_8300\\B2");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  const std::string device_key = kstandin::device_key_path(first);
  const std::string driver_key = kstandin::driver_key_path(first);
  EXPECT_EQ(device_key,
            "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_199E&PID_8207\\A1"
            "\\Device Parameters");
  EXPECT_EQ(driver_key,
            "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
            "{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\0000");
  EXPECT_EQ(kstandin::driver_key_path(second).substr(driver_key.size() - 4), "0001");

  HANDLE software = nullptr;
  ASSERT_EQ(IoOpenDeviceRegistryKey(first, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &software),
            STATUS_SUCCESS);
  EXPECT_EQ(set_dword(software, L"Where", 2), STATUS_SUCCESS);
  ZwClose(software);
  EXPECT_EQ(kstandin::registry_get_dword(driver_key, "Where"), 2u);

  HANDLE refused = nullptr;
  EXPECT_EQ(IoOpenDeviceRegistryKey(first, 3, KEY_READ, &refused), STATUS_INVALID_PARAMETER);
  PDRIVER_OBJECT driver = kstandin::create_driver_object("\\Driver\\registrytest");
  PDEVICE_OBJECT fdo = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_KS, 0, FALSE, &fdo), STATUS_SUCCESS);
  EXPECT_EQ(IoOpenDeviceRegistryKey(fdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &refused),
            STATUS_INVALID_DEVICE_REQUEST);
  IoDeleteDevice(fdo);
  kstandin::delete_driver_object(driver);
  kstandin::delete_physical_device(second);
  kstandin::delete_physical_device(first);
}

class RegistryFile : public Registry {
 protected:
  tvtest::temp_dir dir_;
  const std::string path_ = dir_.file("hive.txt");
};

TEST_F(RegistryFile, SavedHiveLoadsBackIdentically) {
  // Two device instances take driver keys 0000 and 0001.
  kstandin::delete_physical_device(
      kstandin::create_physical_device(nullptr, "USB\\VID_199E&PID_8207\\S1"));
  kstandin::delete_physical_device(
      kstandin::create_physical_device(nullptr, "USB\\VID_199E&PID_8300\\S2"));
  const std::string key = std::string(kGlobalKey) + "\\Odd [names] \"here\"";
  const UCHAR blob[] = {0x00, 0x01, 0xfe, 0xff};
  const WCHAR unterminated[] = {L'a', L'b'};
  const WCHAR multi[] = L"one\0tw\"o\\\0";
  const ULONGLONG big = 0x0123456789abcdefull;
  ASSERT_TRUE(kstandin::registry_set_string(key, "", "default"));
  ASSERT_TRUE(kstandin::registry_set_dword(key, "dword", 0xdeadbeef));
  ASSERT_TRUE(kstandin::registry_set_value(key, "qword", REG_QWORD, &big, sizeof big));
  ASSERT_TRUE(kstandin::registry_set_value(key, "binary", REG_BINARY, blob, sizeof blob));
  ASSERT_TRUE(kstandin::registry_set_value(key, "empty", REG_BINARY, nullptr, 0));
  ASSERT_TRUE(kstandin::registry_set_value(key, "short dword", REG_DWORD, blob, 2));
  ASSERT_TRUE(
      kstandin::registry_set_value(key, "unterminated", REG_SZ, unterminated, sizeof unterminated));
  ASSERT_TRUE(kstandin::registry_set_value(key, "multi", REG_MULTI_SZ, multi, sizeof multi));
  ASSERT_TRUE(kstandin::registry_set_value(key, "odd type", 0x12345678u, blob, 3));
  ASSERT_TRUE(kstandin::registry_set_string(key, "quote\"back\\slash", "line\nbreak \xc3\xa9"));
  ASSERT_TRUE(kstandin::registry_set_dword(key, "\xc3\xa9t\xe2\x98\xba", 1));  // non-ASCII name

  ASSERT_TRUE(kstandin::registry_save(path_));
  const auto names = kstandin::registry_value_names(key);
  std::vector<kstandin::registry_value> before;
  for (const auto& n : names) before.push_back(*kstandin::registry_get_value(key, n));

  kstandin::registry_reset();
  EXPECT_FALSE(kstandin::registry_key_exists(key));
  ASSERT_TRUE(kstandin::registry_load(path_));
  EXPECT_EQ(kstandin::registry_value_names(key), names);
  for (size_t i = 0; i < names.size(); ++i) {
    const auto after = kstandin::registry_get_value(key, names[i]);
    ASSERT_TRUE(after.has_value()) << names[i];
    EXPECT_EQ(after->type, before[i].type) << names[i];
    EXPECT_EQ(after->data, before[i].data) << names[i];
  }
  // A device instance finds its driver key again after the reload (the
  // first free number would now be 0002).
  PDEVICE_OBJECT again = kstandin::create_physical_device(nullptr, "USB\\VID_199E&PID_8300\\S2");
  EXPECT_EQ(kstandin::driver_key_path(again).substr(kstandin::driver_key_path(again).size() - 4),
            "0001");
  kstandin::delete_physical_device(again);
}

TEST_F(RegistryFile, MalformedFileLeavesTheHiveAlone) {
  ASSERT_TRUE(kstandin::registry_set_dword(kGlobalKey, "Kept", 7));
  const char* bad_files[] = {
      "\"Orphan\" = dword:0x1\n",                                         // value before any key
      "[\\Registry\\Machine\\Software\\X]\n\"V\" = dword:12\n",           // missing 0x
      "[\\Registry\\Machine\\Software\\X]\n\"V\" = sz:\"open\n",          // unterminated string
      "[\\Registry\\Machine\\Software\\X]\n\"V\" = binary:0g\n",          // not hex
      "[\\Nowhere\\X]\n",                                                 // outside \Registry
      "[\\Registry\\Machine\\Software\\X]\n\"V\" = dword:0x100000000\n",  // too wide
  };
  for (const char* text : bad_files) {
    {
      std::ofstream out(path_, std::ios::trunc);
      out << text << "[\\Registry\\Machine\\Software\\Loaded]\n\"A\" = dword:0x00000001\n";
    }
    EXPECT_FALSE(kstandin::registry_load(path_)) << text;
    EXPECT_EQ(kstandin::registry_get_dword(kGlobalKey, "Kept"), 7u) << text;
    EXPECT_FALSE(kstandin::registry_key_exists("\\Registry\\Machine\\Software\\Loaded")) << text;
    EXPECT_FALSE(kstandin::registry_key_exists("\\Registry\\Machine\\Software\\X")) << text;
  }
  EXPECT_FALSE(kstandin::registry_load(path_ + ".missing"));
}

}  // namespace
