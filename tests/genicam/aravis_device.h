// A simulated camera as Aravis sees a GenICam device: its memory is the
// driver's register space, every read and write one request of the
// register-description list's register property (extension_access_set id 3)
// through the kernel-streaming client API, as a Windows GenICam client
// would send it. Also the documents the driver lists (ids 1 and 2).
#pragma once

#include <arv.h>

#include <kstandin/testing_ks.h>

#include <string>
#include <vector>

namespace genicamtest {

// A new ArvDevice (unref with g_object_unref) on `filter`. Requests that
// fail are reported to Aravis as errors and counted.
ArvDevice* register_device_new(kstandin::ks_filter* filter);
unsigned register_device_failures(ArvDevice* device);

// The documents of ids 1 and 2, in index order, each with its zero.
std::vector<std::string> listed_documents(kstandin::ks_filter* filter);

// One register through id 3 (the same route the device takes).
NTSTATUS read_register(kstandin::ks_filter* filter, uint64_t address, void* data, uint32_t size,
                       uint32_t* returned = nullptr);
NTSTATUS write_register(kstandin::ks_filter* filter, uint64_t address, const void* data, uint32_t size);

}  // namespace genicamtest
