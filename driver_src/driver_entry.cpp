// Driver entry point. Registration with the kernel streaming class driver
// arrives with the device lifecycle; until then the driver loads and does
// nothing.
#include "kernel_api.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path) {
  UNREFERENCED_PARAMETER(driver_object);
  UNREFERENCED_PARAMETER(registry_path);
  return STATUS_SUCCESS;
}
