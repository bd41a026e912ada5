// IRPs: allocation and reuse, sending down a device stack, completion up
// the stack, cancellation, and the device-control IRPs the I/O manager
// builds for drivers.
//
// Who owns an IRP follows from CurrentLocation alone: at StackCount + 1 it
// is with the driver that allocated it (before sending, or back in that
// driver's completion routine); at or below StackCount a lower driver has
// it; at StackCount + 2 it has completed all the way up. The verifier checks
// below use exactly this. The platform also keeps the set of live IRPs, so
// that completing or freeing one that is already gone is reported without
// touching its memory.
#include <map>
#include <mutex>
#include <set>

#include "io_internal.h"

namespace kstandin {
namespace {

// IRPs built by IoBuildDeviceIoControlRequest, with the caller's output
// length: the I/O manager finishes and frees them when they complete.
struct built_irps {
  std::mutex lock;
  std::map<PIRP, ULONG> output_length;
};

built_irps& built() {
  static auto* b = new built_irps;
  return *b;
}

struct live_irps {
  std::mutex lock;
  std::set<PIRP> irps;  // initialised and not freed
};

live_irps& live() {
  static auto* l = new live_irps;
  return *l;
}

void set_live(PIRP irp, bool alive) {
  auto& l = live();
  std::lock_guard<std::mutex> guard(l.lock);
  if (alive) {
    l.irps.insert(irp);
  } else {
    l.irps.erase(irp);
  }
}

bool is_live(PIRP irp) {
  auto& l = live();
  std::lock_guard<std::mutex> guard(l.lock);
  return l.irps.count(irp) != 0;
}

KSPIN_LOCK cancel_spin_lock = 0;

std::string irp_text(PIRP irp) {
  char buf[96];
  snprintf(buf, sizeof buf, "IRP %p (location %d of %d)", (void*)irp, irp->CurrentLocation,
           irp->StackCount);
  return buf;
}

bool with_lower_driver(PIRP irp) { return irp->CurrentLocation <= irp->StackCount; }

bool take_built(PIRP irp, ULONG* output_length) {
  auto& b = built();
  std::lock_guard<std::mutex> guard(b.lock);
  auto it = b.output_length.find(irp);
  if (it == b.output_length.end()) return false;
  if (output_length != nullptr) *output_length = it->second;
  b.output_length.erase(it);
  return true;
}

void release_irp_memory(PIRP irp) {
  set_live(irp, false);
  irp->Type = 0;
  ExFreePoolWithTag(irp, kIrpTag);
}

// The I/O manager's part of completing a built IRP: copy buffered output to
// the caller, release buffers and MDLs, report the status, signal the event,
// free the IRP. Nothing of the caller's is touched after the event is set.
void finish_built_irp(PIRP irp, ULONG output_length) {
  const NTSTATUS status = irp->IoStatus.Status;
  if ((irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) &&
      !NT_ERROR(status) && irp->UserBuffer != NULL && irp->AssociatedIrp.SystemBuffer != NULL) {
    ULONG_PTR count = irp->IoStatus.Information;
    if (count > output_length) count = output_length;
    memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, count);
  }
  if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer != NULL) {
    ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kIoBufferTag);
    irp->AssociatedIrp.SystemBuffer = NULL;
  }
  for (PMDL mdl = irp->MdlAddress; mdl != NULL;) {
    PMDL next = mdl->Next;
    if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    mdl = next;
  }
  irp->MdlAddress = NULL;
  const IO_STATUS_BLOCK result = irp->IoStatus;
  PIO_STATUS_BLOCK iosb = irp->UserIosb;
  PKEVENT event = irp->UserEvent;
  release_irp_memory(irp);
  if (iosb != NULL) *iosb = result;
  if (event != NULL) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

}  // namespace
}  // namespace kstandin

using namespace kstandin;

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  if (StackSize < 1) return NULL;
  const USHORT size = IoSizeOfIrp(StackSize);
  auto irp = (PIRP)ExAllocatePoolWithTag(NonPagedPoolNx, size, kIrpTag);
  if (irp == NULL) return NULL;
  IoInitializeIrp(irp, size, StackSize);
  irp->AllocationFlags = IRP_ALLOCATED_FIXED_SIZE;
  return irp;
}

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  memset(Irp, 0, PacketSize);
  Irp->Type = IO_TYPE_IRP;
  Irp->Size = PacketSize;
  Irp->StackCount = StackSize;
  Irp->CurrentLocation = (CHAR)(StackSize + 1);
  InitializeListHead(&Irp->ThreadListEntry);
  Irp->Tail.Overlay.CurrentStackLocation = (PIO_STACK_LOCATION)(Irp + 1) + StackSize;
  set_live(Irp, true);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  if (with_lower_driver(Irp) || Irp->CancelRoutine != NULL) {
    report_violation("irp_reused_while_pending",
                     irp_text(Irp) + " reused while a lower driver still owns it");
    return;  // re-initialising it would pull it from under the lower driver
  }
  const UCHAR allocation_flags = Irp->AllocationFlags;
  IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
  Irp->AllocationFlags = allocation_flags;
  Irp->IoStatus.Status = Iostatus;
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
  if (!is_live(Irp)) {
    report_violation("irp_double_free", "IoFreeIrp of something that is not a live IRP");
    return;
  }
  if (with_lower_driver(Irp) || Irp->CancelRoutine != NULL) {
    // Left allocated: the lower driver will still touch it.
    report_violation("irp_freed_while_pending",
                     irp_text(Irp) + " freed while a lower driver still owns it");
    return;
  }
  take_built(Irp, nullptr);
  release_irp_memory(Irp);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
  if (DeviceObject == NULL) return NULL;
  PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
  if (irp == NULL) return NULL;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction =
      InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;

  auto fail = [irp]() {
    if (irp->AssociatedIrp.SystemBuffer != NULL) {
      ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kIoBufferTag);
    }
    if (irp->MdlAddress != NULL) IoFreeMdl(irp->MdlAddress);
    release_irp_memory(irp);
    return (PIRP)NULL;
  };
  const ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
  if (method == METHOD_BUFFERED) {
    const ULONG length =
        InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
    if (length != 0) {
      irp->AssociatedIrp.SystemBuffer = ExAllocatePoolWithTag(NonPagedPoolNx, length, kIoBufferTag);
      if (irp->AssociatedIrp.SystemBuffer == NULL) return fail();
      memset(irp->AssociatedIrp.SystemBuffer, 0, length);
      if (InputBuffer != NULL && InputBufferLength != 0) {
        memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
      }
      irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      if (OutputBuffer != NULL && OutputBufferLength != 0) irp->Flags |= IRP_INPUT_OPERATION;
    }
    irp->UserBuffer = OutputBuffer;
  } else if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
    if (InputBuffer != NULL && InputBufferLength != 0) {
      irp->AssociatedIrp.SystemBuffer =
          ExAllocatePoolWithTag(NonPagedPoolNx, InputBufferLength, kIoBufferTag);
      if (irp->AssociatedIrp.SystemBuffer == NULL) return fail();
      memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
      irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    }
    if (OutputBuffer != NULL && OutputBufferLength != 0) {
      PMDL mdl = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp);
      if (mdl == NULL) return fail();
      MmProbeAndLockPages(mdl, KernelMode,
                          method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
    }
  } else {
    irp->UserBuffer = OutputBuffer;
    stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
  }
  irp->RequestorMode = KernelMode;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  auto& b = built();
  std::lock_guard<std::mutex> guard(b.lock);
  b.output_length[irp] = OutputBufferLength;
  return irp;
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (current_irql() > DISPATCH_LEVEL) {
    report_violation("call_driver_at_wrong_irql",
                     "IoCallDriver at IRQL " + std::to_string(current_irql()));
  }
  if (DeviceObject == NULL || !is_device_object(DeviceObject)) {
    report_violation("invalid_device_object", "IoCallDriver to a device that does not exist");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (!is_live(Irp)) {
    report_violation("invalid_irp", "IoCallDriver with an IRP that does not exist");
    return STATUS_INVALID_PARAMETER;
  }
  if (Irp->CurrentLocation <= 1) {
    // The real kernel halts (NO_MORE_IRP_STACK_LOCATIONS); the IRP stays
    // with the caller untouched.
    report_violation("irp_stack_overflow",
                     irp_text(Irp) + " sent with no stack location left for the next driver");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  IoSetNextIrpStackLocation(Irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  stack->DeviceObject = DeviceObject;
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
  irql_guard guard("dispatch routine");
  return dispatch(DeviceObject, Irp);
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  if (current_irql() > DISPATCH_LEVEL) {
    report_violation("completion_at_wrong_irql",
                     irp_text(Irp) + " completed at IRQL " + std::to_string(current_irql()));
  }
  if (!is_live(Irp)) {
    // A built IRP is freed when it completes; this is its second completion.
    report_violation("irp_double_complete", "completion of an IRP that no longer exists");
    return;
  }
  if (Irp->CurrentLocation > Irp->StackCount + 1) {
    report_violation("irp_double_complete", irp_text(Irp) + " completed again");
    return;
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    report_violation("irp_completed_with_pending_status",
                     irp_text(Irp) + " completed with STATUS_PENDING");
  }
  // IoCancelIrp may exchange the routine on another thread at this moment.
  if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE) != NULL) {
    report_violation("irp_completed_with_cancel_routine",
                     irp_text(Irp) + " completed with its cancel routine still set");
    IoSetCancelRoutine(Irp, NULL);
  }

  // Walk up from the completing driver's location. While location L's
  // completion routine runs, CurrentLocation is L + 1: the IRP belongs to
  // the driver that set the routine.
  const bool owner_completes = Irp->CurrentLocation == Irp->StackCount + 1;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  if (!owner_completes) {
    for (;;) {
      Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
      const NTSTATUS status = Irp->IoStatus.Status;
      const UCHAR control = stack->Control;
      const bool invoke = (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                          (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                          (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL));
      PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
      PVOID context = stack->Context;
      // The location is cleared before the routine sees the IRP.
      stack->MinorFunction = 0;
      stack->Flags = 0;
      stack->Control = 0;
      memset(&stack->Parameters, 0, sizeof stack->Parameters);
      stack->FileObject = NULL;
      stack->CompletionRoutine = NULL;
      stack->Context = NULL;
      if (invoke && routine != NULL) {
        PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                    ? NULL
                                    : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
        NTSTATUS result;
        {
          irql_guard guard("completion routine");
          result = routine(device, Irp, context);
        }
        // The routine's owner has the IRP again; it may already be gone.
        if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
      } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
        IoMarkIrpPending(Irp);
      }
      if (Irp->CurrentLocation > Irp->StackCount) break;
      IoSkipCurrentIrpStackLocation(Irp);
      ++stack;
    }
    IoSkipCurrentIrpStackLocation(Irp);
  }
  ULONG output_length = 0;
  if (take_built(Irp, &output_length)) finish_built_irp(Irp, output_length);
}

NTSTATUS NTAPI IoSetCompletionRoutineEx(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                        PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                                        BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                        BOOLEAN InvokeOnCancel) {
  IoSetCompletionRoutine(Irp, CompletionRoutine, Context, InvokeOnSuccess, InvokeOnError,
                         InvokeOnCancel);
  return STATUS_SUCCESS;
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&cancel_spin_lock, Irql); }

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&cancel_spin_lock, Irql); }

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  if (current_irql() > DISPATCH_LEVEL) {
    report_violation("cancel_at_wrong_irql",
                     "IoCancelIrp at IRQL " + std::to_string(current_irql()));
  }
  // The guard is taken at the caller's IRQL: the cancel routine releases the
  // cancel spin lock and must come back at that IRQL.
  irql_guard guard("cancel routine");
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->CancelIrql = irql;
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, NULL);
  if (routine == NULL) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
  return TRUE;
}
