// The camera's list of register-description documents.
#include "features/documents/register_descriptions.h"

register_description_store::~register_description_store() {
  for (document_entry& entry : documents_) ExFreePoolWithTag(entry.text, pool_tag::objects);
}

NTSTATUS register_description_store::append_register_description(const char* text, ULONG length) {
  if (text == nullptr || length == 0 || text[length - 1] != 0) return STATUS_INVALID_PARAMETER;
  auto* copy = static_cast<char*>(ExAllocatePoolWithTag(PagedPool, length, pool_tag::objects));
  if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(copy, text, length);
  const NTSTATUS status = documents_.append(document_entry{copy, length});
  if (!NT_SUCCESS(status)) ExFreePoolWithTag(copy, pool_tag::objects);
  return status;
}

const char* register_description_store::document(ULONG index, ULONG* size) const {
  const bool present = index < documents_.count();
  if (size != nullptr) *size = present ? documents_[index].size : 0;
  return present ? documents_[index].text : nullptr;
}
