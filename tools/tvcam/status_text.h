// NTSTATUS values as a user reads them: "STATUS_INVALID_PARAMETER
// (0xC000000D)", with a reason when one is known.
#pragma once

#include <stdint.h>

#include <string>

namespace tvcam {

// The status's name and value, or the value alone for a status without a
// known name.
std::string status_text(int32_t status);

// "<name> (<value>): <reason>", or without ": <reason>" when it is empty.
std::string status_text(int32_t status, const std::string& reason);

}  // namespace tvcam
