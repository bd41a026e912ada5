// Test and tool access to the ks.sys stand-in: the host plays the PnP and
// power manager for an AVStream minidriver linked into the program, and the
// client that opens its filters, negotiates formats, creates pins, moves
// them through their states and streams buffers. Never included by the
// driver.
//
// Everything here runs the way the kernel would run it: device, filter and
// pin callbacks of the driver are called at PASSIVE_LEVEL on the calling
// thread, PnP and power callbacks of one device one at a time, pin and
// filter callbacks under the filter's control mutex. Requests to filters
// and pins travel as IRPs through the driver's dispatch table to the
// device's functional device object, with a file object per filter and pin,
// so KsGetFilterFromIrp / KsGetPinFromIrp work in the driver's handlers.
//
// Handles (ks_driver, ks_device, ks_filter, ks_pin) are owned by the stand-in
// and stay valid until the call that ends them (unload, remove, close).
// Removing a device closes the pins and filters still open on it (pins are
// first stepped down to KSSTATE_STOP), so their handles end with it.
//
// Checks reported through the verifier (kstandin/testing.h take_violations):
//   "pool_leak_at_removal"        pool blocks of the driver still live when
//                                 its device is removed (after the device's
//                                 object bag was freed);
//   "irp_pending_at_removal"      IRPs or work items the driver allocated for
//                                 the device still live at removal;
//   "thread_running_at_removal"   system threads started since the device was
//                                 added still running at removal;
//   "stream_pointer_double_delete", "stream_pointer_use_after_delete",
//   "stream_pointer_not_locked"   (advancing or cloning an unlocked pointer),
//   "stream_pointer_invalid"      (not a stream pointer, or deleting the
//                                 leading edge), "stream_pointer_at_wrong_irql";
//   "stream_pointer_leaked"       clones still held when their pin closes
//                                 (their buffers are then cancelled);
//   "reference_clock_leaked"      clock interfaces the driver did not release
//                                 by the time its pin closed;
//   "ks_invalid_object"           a ks.sys routine given something that is not
//                                 a device, filter or pin;
//   "ks_information_exceeds_buffer" a property handler returning more bytes
//                                 than the data buffer holds.
// The removal checks compare with the state when the device was added: with
// several devices at once, remove them in reverse order of adding.
#pragma once

#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kstandin {

struct ks_driver;  // a driver loaded through its DriverEntry
struct ks_device;  // a device added to a loaded driver
struct ks_filter;  // an open filter instance
struct ks_pin;     // an open pin instance

// ---- reference clock ------------------------------------------------------------
// A master clock a client can give to a pin. Its time, in 100 ns units,
// starts at 0 and advances with the platform's interrupt time until a test
// holds it at a value. The pin's IKsReferenceClock (KsPinGetReferenceClockInterface)
// reads this time: GetTime, GetPhysicalTime and GetCorrelatedTime return it,
// and GetCorrelatedTime's system time is KeQueryPerformanceCounter's count
// (10 MHz, so also 100 ns units). Thread-safe; pins keep the clock alive.
class reference_clock {
 public:
  reference_clock();
  reference_clock(const reference_clock&) = delete;
  reference_clock& operator=(const reference_clock&) = delete;

  LONGLONG time() const;
  // Holds the clock at `time_100ns` until set again, advanced or released.
  void set_time(LONGLONG time_100ns);
  // Moves the clock by `delta_100ns` (held or running).
  void advance(LONGLONG delta_100ns);
  // Lets a held clock run on with the platform time from its current value.
  void run();
  bool held() const;

 private:
  mutable std::mutex lock_;
  bool held_ = false;
  LONGLONG offset_ = 0;  // running: time = interrupt time + offset_; held: the time
};

// ---- driver ------------------------------------------------------------------------
// Creates a driver object "\Driver\<service_name>" and calls `driver_entry`
// with it and the registry path
// "\Registry\Machine\System\CurrentControlSet\Services\<service_name>".
// On success *driver is the loaded driver; on failure the driver object is
// deleted again, *driver is null and DriverEntry's status is returned.
NTSTATUS ks_load_driver(PDRIVER_INITIALIZE driver_entry, ks_driver** driver,
                        const std::string& service_name = "talvexa_usb");
// Removes the devices still added (as ks_remove_device), calls the driver's
// DriverUnload and deletes the driver object.
void ks_unload_driver(ks_driver* driver);
PDRIVER_OBJECT ks_driver_object(ks_driver* driver);

// ---- devices ------------------------------------------------------------------------
// AddDevice for a physical device object (for example one of sim::usb_bus):
// ks.sys creates the functional device object on top of it, the KSDEVICE,
// and calls the device dispatch's Add. On failure nothing is left and
// *device is null.
NTSTATUS ks_add_device(ks_driver* driver, PDEVICE_OBJECT physical_device, ks_device** device);
// IRP_MN_START_DEVICE with no resources: forwarded to the bus first, then
// the dispatch's Start (also when the device is started already, as a
// second start IRP would), then PostStart. KSDEVICE.Started is TRUE after a
// successful start.
NTSTATUS ks_start_device(ks_device* device);
// ks_add_device, then ks_start_device. When the start fails the device stays
// added (*device is set) with its start status returned; remove it.
NTSTATUS ks_plug_device(ks_driver* driver, PDEVICE_OBJECT physical_device, ks_device** device);
// IRP_MN_QUERY_STOP_DEVICE (QueryStop) and, when not vetoed,
// IRP_MN_STOP_DEVICE (Stop). Filter factories created with
// KSCREATE_ITEM_FREEONSTOP are freed. STATUS_DEVICE_BUSY while filter
// instances of the device are open (nothing is called then).
NTSTATUS ks_stop_device(ks_device* device);
// IRP_MN_QUERY_CAPABILITIES: the bus fills the record first, then the
// dispatch's QueryCapabilities sees it. `capabilities` is in and out: Size
// and Version are set here (Version = `version`), the rest is passed as the
// caller leaves it.
NTSTATUS ks_query_capabilities(ks_device* device, USHORT version,
                               DEVICE_CAPABILITIES* capabilities);
// IRP_MN_QUERY_POWER / IRP_MN_SET_POWER for a device power state (D0..D3).
// SetPower is called with `to` and the current KSDEVICE.DevicePowerState as
// `from` (before forwarding when powering down, after when powering up);
// DevicePowerState is `to` afterwards. QueryPower is passed the working
// system state and PowerActionNone.
NTSTATUS ks_query_power(ks_device* device, DEVICE_POWER_STATE to);
NTSTATUS ks_set_power(ks_device* device, DEVICE_POWER_STATE to);
// IRP_MN_SURPRISE_REMOVAL: the dispatch's SurpriseRemoval. The device's
// filters are no longer listed and cannot be opened; open ones keep working
// until closed or removed.
void ks_surprise_remove(ks_device* device);
// IRP_MN_QUERY_REMOVE_DEVICE (unless surprise-removed; a veto is returned and
// the device stays), then removal: open pins are stepped down to STOP and
// closed, open filters closed, Stop called when the device is started,
// Remove called, the device's object bag freed, the functional device
// object detached and deleted. The removal checks listed at the top run
// here. The handle is gone on success.
NTSTATUS ks_remove_device(ks_device* device);
PKSDEVICE ks_device_object(ks_device* device);

// ---- filters -----------------------------------------------------------------------
struct ks_filter_info {
  ks_device* device = nullptr;
  size_t factory_index = 0;            // among the device's factories, in creation order
  PKSFILTERFACTORY factory = nullptr;
  const KSFILTER_DESCRIPTOR* descriptor = nullptr;
  std::string reference_string;        // UTF-8, e.g. "GLOBAL"
  ULONG create_item_flags = 0;         // KSCREATE_ITEM_*
  std::vector<GUID> categories;        // the descriptor's categories, in order
  // Device interface symbolic link per category, e.g.
  // "\??\USB#VID_199E&PID_8207#1#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\GLOBAL".
  std::vector<std::string> interfaces;
};
// The filter factories of started (and not surprise-removed) devices: of
// `device` only, or of every device when it is null.
std::vector<ks_filter_info> ks_list_filters(ks_device* device = nullptr);
// Opens a filter instance (IRP_MJ_CREATE): the filter dispatch's Create is
// called under the new filter's control mutex; on failure the filter's bag
// is freed and *filter is null. STATUS_DEVICE_NOT_CONNECTED when the device
// is not started or surprise-removed, STATUS_OBJECT_NAME_NOT_FOUND for an
// unknown factory index.
NTSTATUS ks_open_filter(ks_device* device, size_t factory_index, ks_filter** filter);
NTSTATUS ks_open_filter(const ks_filter_info& info, ks_filter** filter);
// IRP_MJ_CLOSE: closes the filter's open pins first (as ks_close_pin), then
// the filter dispatch's Close; the filter's bag is freed.
NTSTATUS ks_close_filter(ks_filter* filter);
PKSFILTER ks_filter_object(ks_filter* filter);

// ---- properties ------------------------------------------------------------------------
// IOCTL_KS_PROPERTY to a filter or pin (METHOD_NEITHER: `request` is the
// input buffer, `data` the output buffer). Returns the request's status;
// *returned (may be null) receives IoStatus.Information. The request is
// routed as ks.sys routes it: the object's automation table (the filter
// descriptor's, the pin's KSPIN.Descriptor's), then the sets ks.sys answers
// itself (KSPROPSETID_Pin on filters, KSPROPSETID_Connection on pins).
NTSTATUS ks_property(ks_filter* filter, const void* request, ULONG request_length, void* data,
                     ULONG data_length, ULONG_PTR* returned = nullptr);
NTSTATUS ks_property(ks_pin* pin, const void* request, ULONG request_length, void* data,
                     ULONG data_length, ULONG_PTR* returned = nullptr);
// A property header.
KSPROPERTY ks_make_property(const GUID& set, ULONG id, ULONG flags);
// Get / set with a bare KSPROPERTY as the request.
NTSTATUS ks_get_property(ks_filter* filter, const GUID& set, ULONG id, void* data,
                         ULONG data_length, ULONG_PTR* returned = nullptr);
NTSTATUS ks_get_property(ks_pin* pin, const GUID& set, ULONG id, void* data, ULONG data_length,
                         ULONG_PTR* returned = nullptr);
NTSTATUS ks_set_property(ks_filter* filter, const GUID& set, ULONG id, const void* data,
                         ULONG data_length);
NTSTATUS ks_set_property(ks_pin* pin, const GUID& set, ULONG id, const void* data,
                         ULONG data_length);
// KSPROPERTY_TYPE_BASICSUPPORT with the two-call size protocol: the whole
// answer (KSPROPERTY_DESCRIPTION followed by the member lists, or just the
// 4-byte access flags when that is all the item gives) in *description.
NTSTATUS ks_basic_support(ks_filter* filter, const GUID& set, ULONG id,
                          std::vector<uint8_t>* description);
NTSTATUS ks_basic_support(ks_pin* pin, const GUID& set, ULONG id,
                          std::vector<uint8_t>* description);

// ---- pins -------------------------------------------------------------------------------
// KSPROPERTY_PIN_CTYPES: the number of pin types of the filter.
NTSTATUS ks_pin_count(ks_filter* filter, ULONG* count);
// KSPROPERTY_PIN_CINSTANCES.
NTSTATUS ks_pin_instances(ks_filter* filter, ULONG pin_id, KSPIN_CINSTANCES* instances);
// KSPROPERTY_PIN_DATARANGES: each range as its FormatSize bytes, in order.
NTSTATUS ks_pin_data_ranges(ks_filter* filter, ULONG pin_id,
                            std::vector<std::vector<uint8_t>>* ranges);
// KSPROPERTY_PIN_DATAINTERSECTION of one caller range (FormatSize bytes at
// `data_range`) with the pin's ranges, size query first: the resulting
// format in *format.
NTSTATUS ks_intersect(ks_filter* filter, ULONG pin_id, const void* data_range,
                      std::vector<uint8_t>* format);
// Creates a pin with a connection format (a KSDATAFORMAT and what follows
// it; FormatSize bytes). With `clock` the pin has a master clock (and
// KsPinGetReferenceClockInterface succeeds on it); without, it has none.
// ks.sys copies the format (KSPIN.ConnectionFormat), calls the pin
// dispatch's Create and then SetDataFormat (no old format) for each pin data
// range whose GUIDs match, until one accepts; a refusal closes the pin.
// STATUS_NO_MATCH when no range's GUIDs match the format,
// STATUS_INSUFFICIENT_RESOURCES when the filter has InstancesPossible pins
// of that id already.
NTSTATUS ks_create_pin(ks_filter* filter, ULONG pin_id, const void* format,
                       std::shared_ptr<reference_clock> clock, ks_pin** pin);
// KSPROPERTY_CONNECTION_DATAFORMAT set / get: a format change calls
// SetDataFormat with the old format; a refusal keeps the old one.
NTSTATUS ks_set_pin_format(ks_pin* pin, const void* format);
NTSTATUS ks_get_pin_format(ks_pin* pin, std::vector<uint8_t>* format);
// KSPROPERTY_CONNECTION_STATE set: ks.sys steps one state at a time
// (STOP, ACQUIRE, PAUSE, RUN), calling SetDeviceState for each step; the
// first refusal ends the change and is returned, the pin staying in the
// last state reached. Reaching STOP cancels the buffers the driver does not
// hold (and calls the cancel callbacks of clones that hold the others).
NTSTATUS ks_set_pin_state(ks_pin* pin, KSSTATE state);
// KSPIN.DeviceState.
KSSTATE ks_pin_state(ks_pin* pin);
// KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX: the framing the pin's
// descriptor declares (KSALLOCATOR_FRAMING_EX with its items).
NTSTATUS ks_pin_allocator_framing(ks_pin* pin, std::vector<uint8_t>* framing);
// IRP_MJ_CLOSE: steps the pin down to STOP, cancels its outstanding buffers
// (completed reads not yet taken stay available until the close returns and
// are dropped then), calls the pin dispatch's Close, checks for leaked
// clones and clock references, frees the pin's bag.
NTSTATUS ks_close_pin(ks_pin* pin);
PKSPIN ks_pin_object(ks_pin* pin);

// ---- streaming ------------------------------------------------------------------------
// Queues one read buffer (IOCTL_KS_READ_STREAM) of `buffer_size` bytes
// (0: a header without data, Data null) with a stream header of 56 bytes,
// or 56 + 72 with a KS_FRAME_INFO (ExtendedHeaderSize 72) when `frame_info`.
// The header is zeroed but for Size, FrameExtent and Data; the buffer is
// filled with 0xCD. Reads are accepted from ACQUIRE on
// (STATUS_INVALID_DEVICE_STATE in STOP); in RUN (and in PAUSE unless the
// pin's KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY is set) the pin's Process is
// called after the buffer is queued. *id (may be null) numbers the reads of
// the pin from 1. Returns STATUS_PENDING when queued.
NTSTATUS ks_queue_read(ks_pin* pin, ULONG buffer_size, bool frame_info, uint64_t* id = nullptr);

struct ks_completed_read {
  uint64_t id = 0;
  NTSTATUS status = STATUS_SUCCESS;   // the read's completion status
  KSSTREAM_HEADER header{};           // as the driver left it; Data is null here (see `data`)
  bool has_frame_info = false;
  KS_FRAME_INFO frame_info{};         // valid when has_frame_info
  std::vector<uint8_t> data;          // the whole buffer (FrameExtent bytes as queued)
};
// Waits (at most `timeout_ms`) until at least `min_count` reads of the pin
// have completed and not been taken, then takes every completed read, in
// completion order. Returns what there is when the time runs out.
std::vector<ks_completed_read> ks_take_completed(ks_pin* pin, size_t min_count,
                                                 unsigned timeout_ms = 5000);
// Reads queued and not yet completed.
size_t ks_outstanding_reads(ks_pin* pin);
// Cancels the outstanding reads no stream pointer holds (completed with
// STATUS_CANCELLED; a leading edge the driver holds locked keeps its read)
// and calls the cancel callbacks of clones holding the others. Returns how
// many were cancelled at once.
size_t ks_cancel_reads(ks_pin* pin);

}  // namespace kstandin
