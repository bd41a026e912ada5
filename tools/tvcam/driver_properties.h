// The filter's properties of the driver on the kernel stand-in, for the
// driver backend (driver_backend.cpp). Needs the kernel-streaming headers.
#pragma once

#include <ks.h>
#include <kstandin/testing_ks.h>

#include <memory>

#include "property_backend.h"

namespace tvcam {

// Reads and writes the properties of an open filter; `descriptor` is the
// filter's descriptor (ks_filter_info::descriptor), whose automation table
// says which properties exist. Both must outlive the object.
std::unique_ptr<property_access> make_driver_properties(kstandin::ks_filter* filter,
                                                        const KSFILTER_DESCRIPTOR* descriptor);

}  // namespace tvcam
