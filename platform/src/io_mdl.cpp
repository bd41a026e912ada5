// Memory descriptor lists. The host has no physical pages: an MDL's page
// array holds the virtual page numbers, locking only records the state, and
// the system address of a buffer is its own address.
#include "io_internal.h"

using namespace kstandin;

namespace {

void fill_pages(PMDL mdl) {
  const ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
  PPFN_NUMBER pfn = MmGetMdlPfnArray(mdl);
  const ULONG_PTR first = (ULONG_PTR)mdl->StartVa >> PAGE_SHIFT;
  for (ULONG i = 0; i < pages; ++i) pfn[i] = first + i;
}

}  // namespace

SIZE_T NTAPI MmSizeOfMdl(PVOID Base, SIZE_T Length) {
  return sizeof(MDL) + sizeof(PFN_NUMBER) * ADDRESS_AND_SIZE_TO_SPAN_PAGES(Base, Length);
}

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, PIRP Irp) {
  if (Length == 0 || Length > MAXULONG - PAGE_SIZE) return NULL;
  const SIZE_T size = MmSizeOfMdl(VirtualAddress, Length);
  auto mdl = (PMDL)ExAllocatePoolWithTag(NonPagedPoolNx, size, kMdlTag);
  if (mdl == NULL) return NULL;
  memset(mdl, 0, size);
  mdl->Size = (CSHORT)(size > 0x7FFF ? 0x7FFF : size);
  mdl->MdlFlags = MDL_ALLOCATED_FIXED_SIZE;
  mdl->StartVa = PAGE_ALIGN(VirtualAddress);
  mdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
  mdl->ByteCount = Length;
  if (Irp != NULL) {
    if (!SecondaryBuffer || Irp->MdlAddress == NULL) {
      Irp->MdlAddress = mdl;
    } else {
      PMDL last = Irp->MdlAddress;
      while (last->Next != NULL) last = last->Next;
      last->Next = mdl;
    }
  }
  return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
  if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
    report_violation("mdl_freed_locked", "IoFreeMdl of an MDL whose pages are still locked");
  }
  ExFreePoolWithTag(Mdl, kMdlTag);
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
  MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
  fill_pages(MemoryDescriptorList);
}

VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                               LOCK_OPERATION Operation) {
  if (current_irql() > DISPATCH_LEVEL) {
    report_violation("mdl_lock_at_wrong_irql", "MmProbeAndLockPages above DISPATCH_LEVEL");
  }
  if (MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED) {
    report_violation("mdl_double_lock", "MmProbeAndLockPages of an MDL that is already locked");
  }
  MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
  if (Operation != IoReadAccess) MemoryDescriptorList->MdlFlags |= MDL_WRITE_OPERATION;
  fill_pages(MemoryDescriptorList);
}

VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList) {
  if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED)) {
    report_violation("mdl_not_locked", "MmUnlockPages of an MDL that is not locked");
    return;
  }
  MemoryDescriptorList->MdlFlags &=
      (CSHORT) ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA | MDL_WRITE_OPERATION);
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                         ULONG BugCheckOnFailure, ULONG Priority) {
  PMDL mdl = MemoryDescriptorList;
  if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))) {
    report_violation("mdl_not_locked", "mapping an MDL whose pages are not locked");
    return NULL;
  }
  mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
  mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  return mdl->MappedSystemVa;
}

VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
  MemoryDescriptorList->MdlFlags &= (CSHORT)~MDL_MAPPED_TO_SYSTEM_VA;
}
