// Test and tool access to the I/O half of the kernel stand-in: driver
// objects, physical device objects of simulated devices, direct access to
// the registry hive and the handle table. Never included by the driver.
#pragma once

#include <wdm.h>
#include <kstandin/testing.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kstandin {

// ---- driver and device objects ---------------------------------------------
// A driver object as the I/O manager hands it to DriverEntry: every major
// function fails the request with STATUS_INVALID_DEVICE_REQUEST until the
// driver sets its own. `name` is e.g. "\Driver\usbvideo". Owned by the
// platform (not pool memory); delete it after its devices.
PDRIVER_OBJECT create_driver_object(const std::string& name);
void delete_driver_object(PDRIVER_OBJECT driver);

// A physical device object created by `bus_driver` (a driver object from
// create_driver_object, whose dispatch routines the simulated bus sets) for
// the device instance `instance_id` (e.g. "USB\VID_199E&PID_8207\5&1A2B").
// Its registry keys are created with it:
//   device key  \Registry\Machine\System\CurrentControlSet\Enum\<id>\Device Parameters
//   driver key  \Registry\Machine\System\CurrentControlSet\Control\Class\{6bdd1fc6-810f-11d0-bec7-08002be2092f}\<nnnn>
// The driver key number is remembered in the hive (value "Driver" of the
// Enum key), so a saved and reloaded hive gives the same instance the same
// key again. Returns NULL when out of pool.
PDEVICE_OBJECT create_physical_device(PDRIVER_OBJECT bus_driver, const std::string& instance_id,
                                      ULONG extension_size = 0);
// IoDeleteDevice for a physical device object; the registry keys stay.
void delete_physical_device(PDEVICE_OBJECT pdo);
// Absolute key paths of a physical device object ("" for other devices).
std::string device_key_path(PDEVICE_OBJECT pdo);
std::string driver_key_path(PDEVICE_OBJECT pdo);

// Pool tags that belong to platform components rather than to the driver
// under test; the removal leak check of IoDeleteDevice ignores them. The I/O
// manager's own tags are registered from the start.
void add_platform_pool_tag(ULONG tag);

// ---- registry ------------------------------------------------------------
// Paths are absolute key paths ("\Registry\Machine\Software\..."), names
// and strings UTF-8. The setters create missing keys on the way.
bool registry_set_value(const std::string& key_path, const std::string& value_name, ULONG type,
                        const void* data, size_t size);
bool registry_set_dword(const std::string& key_path, const std::string& value_name,
                        uint32_t value);
bool registry_set_string(const std::string& key_path, const std::string& value_name,
                         const std::string& value);  // REG_SZ with its terminator
struct registry_value {
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
};
std::optional<registry_value> registry_get_value(const std::string& key_path,
                                                 const std::string& value_name);
std::optional<uint32_t> registry_get_dword(const std::string& key_path,
                                           const std::string& value_name);
// REG_SZ / REG_EXPAND_SZ up to the first terminator.
std::optional<std::string> registry_get_string(const std::string& key_path,
                                               const std::string& value_name);
bool registry_key_exists(const std::string& key_path);
// Names of the values of a key, in creation order.
std::vector<std::string> registry_value_names(const std::string& key_path);

// ---- handles -------------------------------------------------------------
// Thread, key and file handles currently open (a test can compare the count
// before and after to find handles the driver forgot to close).
size_t open_handle_count();

}  // namespace kstandin
