// The driver's register-description list through the kernel-streaming
// stand-in: each request is the property header of extension_access_set
// followed by 8 bytes, the document index in the second 32-bit word (ids 1
// and 2) or the register address (id 3).
#include <wdm.h>
#include <ks.h>
#include <string.h>

#include <regex>

#include "driver_registers.h"

namespace tvcam {
namespace {

// {9DDD5EDC-5EFF-4D3B-B85B-46FBC4E49E59}
const GUID kExtensionAccessSet = {0x9DDD5EDC, 0x5EFF, 0x4D3B, {0xB8, 0x5B, 0x46, 0xFB, 0xC4, 0xE4, 0x9E, 0x59}};
constexpr ULONG kDocumentSize = 1, kDocumentText = 2, kRegister = 3;

class driver_registers : public register_access {
 public:
  explicit driver_registers(kstandin::ks_filter* filter) : filter_(filter) {}

  std::vector<std::string> documents(int32_t* status) override {
    std::vector<std::string> texts;
    for (uint64_t index = 0;; ++index) {
      uint32_t size = 0;
      ULONG_PTR returned = 0;
      NTSTATUS s = request(kDocumentSize, KSPROPERTY_TYPE_GET, index << 32, &size, sizeof size, &returned);
      std::string text;
      if (NT_SUCCESS(s) && size != 0) {
        text.assign(size, '\0');
        s = request(kDocumentText, KSPROPERTY_TYPE_GET, index << 32, text.data(), size, &returned);
        if (NT_SUCCESS(s) && returned != size) s = STATUS_BUFFER_TOO_SMALL;
      }
      if (!NT_SUCCESS(s) || size == 0) {
        *status = NT_SUCCESS(s) ? STATUS_BUFFER_TOO_SMALL : s;
        return texts;
      }
      text.resize(size - 1);  // the terminating zero
      texts.push_back(std::move(text));
    }
  }

  int32_t read(uint64_t address, void* data, uint32_t size, uint32_t* returned) override {
    ULONG_PTR information = 0;
    const NTSTATUS s = request(kRegister, KSPROPERTY_TYPE_GET, address, data, size, &information);
    *returned = static_cast<uint32_t>(information);
    return s;
  }

  int32_t write(uint64_t address, const void* data, uint32_t size) override {
    std::vector<uint8_t> copy(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    ULONG_PTR information = 0;
    return request(kRegister, KSPROPERTY_TYPE_SET, address, copy.data(), size, &information);
  }

 private:
  NTSTATUS request(ULONG id, ULONG flags, uint64_t word, void* data, uint32_t size, ULONG_PTR* returned) {
    const KSPROPERTY header = kstandin::ks_make_property(kExtensionAccessSet, id, flags);
    uint8_t bytes[sizeof header + 8];
    memcpy(bytes, &header, sizeof header);
    memcpy(bytes + sizeof header, &word, 8);
    return kstandin::ks_property(filter_, bytes, sizeof bytes, data, size, returned);
  }

  kstandin::ks_filter* filter_;
};

}  // namespace

std::string document_model_name(const std::string& document) {
  static const std::regex model("<RegisterDescription[^>]*\\sModelName=\"([^\"]*)\"");
  std::smatch m;
  return std::regex_search(document, m, model) ? m[1].str() : std::string();
}

std::unique_ptr<register_access> make_driver_registers(kstandin::ks_filter* filter) {
  return std::unique_ptr<register_access>(new driver_registers(filter));
}

}  // namespace tvcam
