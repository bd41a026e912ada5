// Driver entry point: registers the device dispatch with ks.sys. Everything
// else happens in the device callbacks (device.cpp).
#include "avstream/device.h"
#include "kernel/kernel_api.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path) {
  return KsInitializeDriver(driver_object, registry_path, &ks_device_descriptor);
}
