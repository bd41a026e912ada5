// NTSTATUS names (see status_text.h).
#include "status_text.h"

#include <wdm.h>
#include <ks.h>
#include <stdio.h>

namespace tvcam {
namespace {

#define TVCAM_STATUS(name) {name, #name}

const struct {
  NTSTATUS status;
  const char* name;
} kNames[] = {
    TVCAM_STATUS(STATUS_SUCCESS),
    TVCAM_STATUS(STATUS_TIMEOUT),
    TVCAM_STATUS(STATUS_PENDING),
    TVCAM_STATUS(STATUS_MORE_PROCESSING_REQUIRED),
    TVCAM_STATUS(STATUS_BUFFER_OVERFLOW),
    TVCAM_STATUS(STATUS_DEVICE_BUSY),
    TVCAM_STATUS(STATUS_UNSUCCESSFUL),
    TVCAM_STATUS(STATUS_NOT_IMPLEMENTED),
    TVCAM_STATUS(STATUS_INVALID_HANDLE),
    TVCAM_STATUS(STATUS_INVALID_PARAMETER),
    TVCAM_STATUS(STATUS_NO_SUCH_DEVICE),
    TVCAM_STATUS(STATUS_INVALID_DEVICE_REQUEST),
    TVCAM_STATUS(STATUS_NO_MEMORY),
    TVCAM_STATUS(STATUS_ACCESS_DENIED),
    TVCAM_STATUS(STATUS_BUFFER_TOO_SMALL),
    TVCAM_STATUS(STATUS_OBJECT_NAME_NOT_FOUND),
    TVCAM_STATUS(STATUS_SHARING_VIOLATION),
    TVCAM_STATUS(STATUS_INSUFFICIENT_RESOURCES),
    TVCAM_STATUS(STATUS_DEVICE_DATA_ERROR),
    TVCAM_STATUS(STATUS_DEVICE_NOT_CONNECTED),
    TVCAM_STATUS(STATUS_DEVICE_NOT_READY),
    TVCAM_STATUS(STATUS_IO_TIMEOUT),
    TVCAM_STATUS(STATUS_NOT_SUPPORTED),
    TVCAM_STATUS(STATUS_CANCELLED),
    TVCAM_STATUS(STATUS_DEVICE_CONFIGURATION_ERROR),
    TVCAM_STATUS(STATUS_INVALID_DEVICE_STATE),
    TVCAM_STATUS(STATUS_INVALID_BUFFER_SIZE),
    TVCAM_STATUS(STATUS_NOT_FOUND),
    TVCAM_STATUS(STATUS_PROPSET_NOT_FOUND),
    TVCAM_STATUS(STATUS_NO_MATCH),
    TVCAM_STATUS(STATUS_INTERNAL_ERROR),
};

#undef TVCAM_STATUS

}  // namespace

std::string status_text(int32_t status) {
  char value[16];
  snprintf(value, sizeof value, "0x%08X", static_cast<unsigned>(status));
  for (const auto& n : kNames) {
    if (n.status == status) return std::string(n.name) + " (" + value + ")";
  }
  return value;
}

std::string status_text(int32_t status, const std::string& reason) {
  return reason.empty() ? status_text(status) : status_text(status) + ": " + reason;
}

}  // namespace tvcam
