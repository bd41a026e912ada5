// Internal interface between the sources of the ks.sys stand-in (ks_*.cpp):
// the object records behind KSDEVICE, KSFILTERFACTORY, KSFILTER and KSPIN,
// object bags, the stream queue of a pin, and the routines the host-side
// client code (ks_client.cpp, ks_pnp.cpp) shares with the kernel side.
//
// Memory of ks.sys itself (object records, file objects, format copies,
// stream pointers) comes from the host heap, not from the pool: the pool
// accounting then shows only what the driver allocates. IRPs and work items
// are the platform's and carry its own pool tags.
#pragma once

#include <kstandin/testing_ks.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "io_internal.h"

namespace kstandin {

// ---- object headers ----------------------------------------------------------
// Every AVStream object is a header followed directly by its public record,
// the way ks.sys finds its own data from the pointer a driver passes in
// (KsGetDevice, KsAcquireControl). A file object's FsContext points at the
// header of the filter or pin it was opened for.
enum class ks_kind : ULONG { device = 1, factory, filter, pin };
constexpr ULONG kKsObjectMagic = make_tag('K', 's', 'O', 'b');

struct ks_object_header {
  ULONG magic;
  ks_kind kind;
  void* object;  // the ks_device, ks_factory, ks_filter or ks_pin
};

template <class T>
struct ks_shell {
  ks_object_header header;
  T pub;
};
constexpr size_t kPublicOffset = offsetof(ks_shell<KSPIN>, pub);
static_assert(offsetof(ks_shell<KSDEVICE>, pub) == kPublicOffset, "shell layout");
static_assert(offsetof(ks_shell<KSFILTER>, pub) == kPublicOffset, "shell layout");
static_assert(offsetof(ks_shell<KSFILTERFACTORY>, pub) == kPublicOffset, "shell layout");

// The header of a public record, or null (reported as "ks_invalid_object",
// with `routine` naming the caller) when the pointer is not an AVStream
// object.
ks_object_header* header_of(const void* object, const char* routine);

// ---- object bags -------------------------------------------------------------
// An item can be in several bags; it is freed (with its free routine, or
// ExFreePool when it has none) when the last bag lets it go. Bags are freed
// newest item first.
struct ks_bag {
  std::mutex lock;
  std::vector<PVOID> items;
};
void free_bag(ks_bag* bag);

// ---- objects -----------------------------------------------------------------
struct ks_factory;
struct ks_frame;

struct ks_driver {
  PDRIVER_OBJECT driver_object = nullptr;
  const KSDEVICE_DESCRIPTOR* descriptor = nullptr;  // set by KsInitializeDriver
  std::u16string registry_path;
  std::vector<ks_device*> devices;  // guarded by driver_list_lock()
};
std::mutex& driver_list_lock();
// The driver record of a driver object (created by KsInitializeDriver or by
// the host loader), or null.
ks_driver* driver_record(PDRIVER_OBJECT driver_object, bool create);

// What the functional device object's extension holds.
struct ks_fdo_extension {
  ULONG magic;
  ks_device* device;
};

struct ks_device {
  ks_shell<KSDEVICE> shell;
  ks_driver* driver = nullptr;
  ks_bag bag;
  KMUTEX device_mutex;     // KsAcquireDevice
  std::mutex pnp_lock;     // PnP and power callbacks run one at a time
  std::mutex objects_lock;  // factories and filters lists, filter pin lists
  std::vector<ks_factory*> factories;
  std::vector<ks_filter*> filters;
  bool surprise_removed = false;
  std::string instance_id;
  // State when the device was added, for the removal checks.
  pool_snapshot added;
  size_t threads_at_add = 0;
};

struct ks_factory {
  ks_shell<KSFILTERFACTORY> shell;
  ks_device* device = nullptr;
  ks_bag bag;
  std::u16string reference;
  ULONG create_item_flags = 0;
};

struct ks_filter {
  ks_shell<KSFILTER> shell;
  ks_device* device = nullptr;
  ks_factory* factory = nullptr;
  ks_bag bag;
  KMUTEX control_mutex;  // also the control mutex of the filter's pins
  PFILE_OBJECT file = nullptr;
  std::vector<ks_pin*> pins;  // guarded by the device's objects_lock
};

// A stream pointer: the leading edge of a pin or a clone. Standard layout:
// the public record is first, so the record is found from the pointer the
// driver passes. Deleted clones are parked (a bounded number per pin)
// before their memory is reused, so a pointer used after its delete is
// recognised and reported instead of touching freed memory.
constexpr ULONG kStreamPointerMagic = make_tag('K', 's', 'S', 'p');
struct ks_stream_pointer {
  KSSTREAM_POINTER pub;
  ULONG magic;
  bool leading_edge;
  bool locked;
  bool deleted;
  ks_pin* pin;
  ks_frame* frame;  // null when pointing at no frame
  PFNKSSTREAMPOINTER cancel_callback;
  uint64_t* context_storage;
};

// One queued read: the client's IRP and its stream header. `refs` counts
// the stream pointers on it; it completes once the leading edge has passed
// it (`passed`) and no pointer is left on it.
struct ks_frame {
  PIRP irp = nullptr;
  PKSSTREAM_HEADER header = nullptr;
  int refs = 0;
  bool passed = false;
  NTSTATUS status = STATUS_SUCCESS;
};

class pin_clock;

struct ks_pin {
  ks_shell<KSPIN> shell;
  ks_device* device = nullptr;
  ks_filter* filter = nullptr;
  ks_bag bag;
  PFILE_OBJECT file = nullptr;
  std::vector<uint64_t> format;  // the connection format (8-byte aligned copy)

  // Master clock given by the client (null: none) and the interface the
  // driver gets from KsPinGetReferenceClockInterface.
  std::shared_ptr<reference_clock> clock;
  pin_clock* clock_interface = nullptr;

  // Stream queue; the lock is taken at any IRQL and never held while
  // driver code runs.
  std::mutex queue_lock;
  std::deque<ks_frame*> frames;  // queued and not completed, in arrival order
  ks_stream_pointer leading_edge{};
  std::vector<ks_stream_pointer*> clones;   // every clone record, live or parked
  std::deque<ks_stream_pointer*> parked;    // deleted clones, oldest first

  // Process dispatch: requests counted so that only one thread runs it.
  std::atomic<int> process_requests{0};
  std::atomic<int> async_processing{0};  // work items queued by KsPinAttemptProcessing

  // Host side: reads of this pin.
  std::mutex reads_lock;
  std::condition_variable reads_changed;
  std::deque<ks_completed_read> completed;
  size_t outstanding = 0;
  uint64_t next_read_id = 1;
};

// ---- kernel-side routines shared between the ks sources --------------------------
// Pin descriptor `id` of a filter descriptor (PinDescriptorSize stride), or
// null when out of range.
const KSPIN_DESCRIPTOR_EX* pin_descriptor(const KSFILTER_DESCRIPTOR* descriptor, ULONG id);
// Major format, sub format and specifier of `format` match `range`, a
// GUID_NULL on either side matching anything.
bool format_guids_match(const KSDATARANGE& range, const KSDATAFORMAT& format);

// IRP handlers of ks.sys (dispatch table entries set by KsInitializeDriver
// call into these); each returns the status the IRP completes with, or
// STATUS_PENDING after marking it pending.
NTSTATUS ks_create_filter(ks_device* device, PIRP irp);
NTSTATUS ks_create_pin(ks_filter* filter, PIRP irp);
void ks_close_filter_object(ks_filter* filter, PIRP irp);
void ks_close_pin_object(ks_pin* pin, PIRP irp);
NTSTATUS ks_dispatch_property(ks_object_header* object, PIRP irp);
NTSTATUS ks_queue_stream_read(ks_pin* pin, PIRP irp);

// Pin operations of ks.sys (callers hold the filter's control mutex).
NTSTATUS ks_change_pin_state(ks_pin* pin, KSSTATE to);
NTSTATUS ks_change_pin_format(ks_pin* pin, const KSDATAFORMAT* format, ULONG length);

// Stream queue (ks_stream.cpp).
void queue_frame(ks_pin* pin, ks_frame* frame);
// Cancels the frames no clone holds and calls the cancel callbacks of clones
// holding the others; the leading edge is left without a frame. Returns the
// number of frames completed at once.
size_t flush_queue(ks_pin* pin);
// At pin close: reports and releases clones still held, frees every clone
// record.
void release_stream_pointers(ks_pin* pin);
// Runs the pin's Process dispatch when its state and queue call for it.
void attempt_processing(ks_pin* pin);
bool pin_has_frame(ks_pin* pin);

// Reference clock interface of a pin (ks_pin.cpp).
void attach_clock(ks_pin* pin, std::shared_ptr<reference_clock> clock);
void detach_clock(ks_pin* pin);

// ---- host side --------------------------------------------------------------------
// Sends an IRP to `device` (the top of its stack) and waits for it: `setup`
// fills the first stack location. Returns the completion status;
// *information (may be null) gets IoStatus.Information.
NTSTATUS send_irp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                  const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup,
                  ULONG_PTR* information = nullptr, NTSTATUS initial_status = STATUS_NOT_SUPPORTED);

}  // namespace kstandin
