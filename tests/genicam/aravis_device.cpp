// The Aravis device over the driver's register property (see the header).
#include "aravis_device.h"

#include <cstring>

#include "controls/property_sets.h"

namespace genicamtest {
namespace {

// The request of a register-description list id: the property header, then
// the address (id 3) or 0 and the document index (ids 1 and 2).
std::vector<uint8_t> access_request(ULONG id, ULONG flags, uint64_t word) {
  const KSPROPERTY header = kstandin::ks_make_property(extension_access_set, id, flags);
  std::vector<uint8_t> request(sizeof(header) + 8);
  memcpy(request.data(), &header, sizeof(header));
  memcpy(request.data() + sizeof(header), &word, 8);
  return request;
}

}  // namespace

NTSTATUS read_register(kstandin::ks_filter* filter, uint64_t address, void* data, uint32_t size,
                       uint32_t* returned) {
  std::vector<uint8_t> request = access_request(3, KSPROPERTY_TYPE_GET, address);
  ULONG_PTR information = 0;
  const NTSTATUS status =
      kstandin::ks_property(filter, request.data(), ULONG(request.size()), data, size, &information);
  if (returned != nullptr) *returned = uint32_t(information);
  return status;
}

NTSTATUS write_register(kstandin::ks_filter* filter, uint64_t address, const void* data, uint32_t size) {
  std::vector<uint8_t> request = access_request(3, KSPROPERTY_TYPE_SET, address);
  std::vector<uint8_t> copy(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
  ULONG_PTR information = 0;
  return kstandin::ks_property(filter, request.data(), ULONG(request.size()), copy.data(), size, &information);
}

std::vector<std::string> listed_documents(kstandin::ks_filter* filter) {
  std::vector<std::string> documents;
  for (uint64_t index = 0;; ++index) {
    std::vector<uint8_t> request = access_request(1, KSPROPERTY_TYPE_GET, index << 32);
    uint32_t size = 0;
    ULONG_PTR returned = 0;
    if (!NT_SUCCESS(kstandin::ks_property(filter, request.data(), ULONG(request.size()), &size, 4, &returned))) break;
    std::string text(size, '\0');
    request = access_request(2, KSPROPERTY_TYPE_GET, index << 32);
    if (!NT_SUCCESS(kstandin::ks_property(filter, request.data(), ULONG(request.size()), text.data(), size, &returned)) ||
        returned != size) {
      break;
    }
    documents.push_back(text);
  }
  return documents;
}

}  // namespace genicamtest

// ---- the GObject class -----------------------------------------------------------------------
struct TvRegisterDevice {
  ArvDevice parent;
  kstandin::ks_filter* filter;
  unsigned failures;
};
struct TvRegisterDeviceClass {
  ArvDeviceClass parent_class;
};

G_DEFINE_TYPE(TvRegisterDevice, tv_register_device, ARV_TYPE_DEVICE)

namespace {

TvRegisterDevice* self(ArvDevice* device) { return reinterpret_cast<TvRegisterDevice*>(device); }

gboolean failed(TvRegisterDevice* d, NTSTATUS status, const char* what, guint64 address, GError** error) {
  ++d->failures;
  g_set_error(error, ARV_DEVICE_ERROR, ARV_DEVICE_ERROR_PROTOCOL_ERROR, "%s of 0x%016llx: status 0x%08x", what,
              (unsigned long long)address, (unsigned)status);
  return FALSE;
}

gboolean read_memory(ArvDevice* device, guint64 address, guint32 size, void* buffer, GError** error) {
  TvRegisterDevice* d = self(device);
  uint32_t returned = 0;
  const NTSTATUS status = genicamtest::read_register(d->filter, address, buffer, size, &returned);
  if (!NT_SUCCESS(status) || returned != size) return failed(d, status, "read", address, error);
  return TRUE;
}

gboolean write_memory(ArvDevice* device, guint64 address, guint32 size, void* buffer, GError** error) {
  TvRegisterDevice* d = self(device);
  const NTSTATUS status = genicamtest::write_register(d->filter, address, buffer, size);
  if (!NT_SUCCESS(status)) return failed(d, status, "write", address, error);
  return TRUE;
}

gboolean read_reg(ArvDevice* device, guint64 address, guint32* value, GError** error) {
  return read_memory(device, address, 4, value, error);
}

gboolean write_reg(ArvDevice* device, guint64 address, guint32 value, GError** error) {
  return write_memory(device, address, 4, &value, error);
}

}  // namespace

static void tv_register_device_init(TvRegisterDevice* device) {
  device->filter = nullptr;
  device->failures = 0;
}

static void tv_register_device_class_init(TvRegisterDeviceClass* klass) {
  ArvDeviceClass* device_class = ARV_DEVICE_CLASS(klass);
  device_class->read_memory = read_memory;
  device_class->write_memory = write_memory;
  device_class->read_register = read_reg;
  device_class->write_register = write_reg;
}

namespace genicamtest {

ArvDevice* register_device_new(kstandin::ks_filter* filter) {
  auto* device = static_cast<TvRegisterDevice*>(g_object_new(tv_register_device_get_type(), nullptr));
  device->filter = filter;
  return ARV_DEVICE(device);
}

unsigned register_device_failures(ArvDevice* device) { return self(device)->failures; }

}  // namespace genicamtest
