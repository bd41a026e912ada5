// The register-description documents and registers of the driver on the
// kernel stand-in, for the driver backend. Needs the kernel-streaming
// headers.
#pragma once

#include <kstandin/testing_ks.h>

#include <memory>

#include "register_backend.h"

namespace tvcam {

// Reads through an open filter, which must outlive the object.
std::unique_ptr<register_access> make_driver_registers(kstandin::ks_filter* filter);

}  // namespace tvcam
