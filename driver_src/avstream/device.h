// device: registration with ks.sys and the life of one camera device. Owns
// the device dispatch table and descriptor that DriverEntry registers, and
// device_context, the per-device object that owns the camera, publishes the
// capture filter at start, follows the device power state, and carries the
// camera's stream for the capture pin that attaches to it. The filter and
// pin descriptors are filter_descriptor's, the pin's callbacks capture_pin's.
//
// device_context is the camera's frame_sink: it forwards both operations to
// the attached pin (and drops them while no pin is attached).
#pragma once

#include "avstream/frame_sink.h"
#include "kernel/kernel_api.h"
#include "kernel/kernel_new.h"

class capture_pin;
class uvc_camera;
struct property_call;

// Registered by DriverEntry: device callbacks only, no filter descriptors
// (the filter factory is created by device start).
extern const KSDEVICE_DISPATCH device_dispatch;
extern const KSDEVICE_DESCRIPTOR ks_device_descriptor;

// Device callbacks, called by ks.sys one at a time at PASSIVE_LEVEL.
NTSTATUS device_add(PKSDEVICE device);
NTSTATUS device_start(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translated_resources,
                      PCM_RESOURCE_LIST untranslated_resources);
void device_stop(PKSDEVICE device, PIRP irp);
NTSTATUS device_query_capabilities(PKSDEVICE device, PIRP irp, PDEVICE_CAPABILITIES capabilities);
void device_set_power(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE to_state,
                      DEVICE_POWER_STATE from_state);

// Values of device_context::stream_state.
constexpr ULONG stream_closed = 0;
constexpr ULONG stream_open_idle = 1;  // open, not running
constexpr ULONG stream_running = 2;

// The USB product whose manufacturer name is replaced by "Talvexa".
constexpr USHORT talvexa_branded_product = 0x0109;

// One per device, from non-paged pool ("Auvc"), in the KSDEVICE object bag;
// KSDEVICE.Context points at it. Lives until the device is removed.
//
// Stream operations (attach_pin ... detach_pin) are called by the capture
// pin under its control mutex, set_power by ks.sys's power callback; both
// kinds take state_mutex, so a power transition and a pin state change never
// interleave between reading and writing power_state and stream_state. The
// frame_sink operations run on the camera's frame path (up to DISPATCH_LEVEL)
// and touch nothing but active_pin.
//
// stream_state tells whether the camera stream is open for the attached pin:
// 0 = closed, 1 = open, not running, 2 = running. While the device is out of
// D0 the camera stream is closed whatever stream_state says; it is reopened
// (and run, for 2) when the device returns to D0.
class device_context final : public frame_sink, public pool_object {
 public:
  explicit device_context(PKSDEVICE ks_device);
  // Destroys the camera (the object bag's free routine runs this).
  ~device_context();

  device_context(const device_context&) = delete;
  device_context& operator=(const device_context&) = delete;

  // Device start: names, camera, filter descriptor, filter factory. A start
  // that fails leaves no camera and no descriptor behind.
  NTSTATUS start();
  // Power transition; leaving D0 closes the stream, returning reopens it.
  void set_power(DEVICE_POWER_STATE to_state, DEVICE_POWER_STATE from_state);

  // ---- the capture pin's stream, in the order a stream uses them ----------
  // STOP→ACQUIRE: takes the camera (STATUS_SHARING_VIOLATION when another
  // pin has it) and opens its stream with `format`.
  NTSTATUS attach_pin(capture_pin* pin, const KS_VIDEOINFOHEADER* format);
  // First PAUSE→RUN (and RUN after the stream was closed): opens the stream
  // again when needed, then runs it.
  NTSTATUS start_streaming(const KS_VIDEOINFOHEADER* format);
  // RUN→PAUSE (`paused` true) and PAUSE→RUN after a pause (false).
  NTSTATUS set_paused(bool paused);
  // A format change accepted while the pin owns the stream (ACQUIRE, PAUSE,
  // RUN); the camera is told when its stream is open.
  void update_stream_format(const KS_VIDEOINFOHEADER* format);
  // PAUSE→ACQUIRE (and ACQUIRE→STOP) after the stream was started.
  void stop_streaming();
  // ACQUIRE→STOP: closes the stream and frees the camera for another pin.
  void detach_pin();

  // ---- frame_sink: forwarded to the attached pin ---------------------------
  void frame_done(PVOID buffer, NTSTATUS status, ULONGLONG drop_count, ULONGLONG delivered_count,
                  ULONG bytes_used) override;
  PVOID acquire_frame_buffer(PUCHAR* data, ULONG* capacity) override;

  // The attached pin, or null (read with a full barrier: the frame path
  // reads it while the pin attaches or detaches).
  capture_pin* attached_pin();

  // One filter property request (controls/property_handler.cpp routes it).
  // It is served under state_mutex, which a restart holds while it replaces
  // the camera and a power transition while it restores the controls and
  // reopens the stream, so the camera a request reaches stays alive and is
  // not written by two requests at once. No camera → STATUS_INVALID_PARAMETER.
  // PASSIVE_LEVEL; the frame path never takes state_mutex.
  NTSTATUS serve_property(property_call* call);

  // The filter-level dropped-frames property, answered by the attached pin
  // (STATUS_INVALID_DEVICE_STATE without one). The client may be another
  // filter's, so the pin's own control mutex does not keep it from closing:
  // the caller holds state_mutex (serve_property), which detach_pin needs
  // too.
  NTSTATUS query_dropped_frames_locked(property_call* call);
  // The camera's count of frames it lost since its stream opened, while
  // `pin` owns the open stream; false otherwise. Frames lost before any is
  // delivered show here, not in a stream header. Takes state_mutex (a KMUTEX
  // may be taken again by its owner: serve_property holds it).
  bool stream_drop_count(const capture_pin* pin, ULONGLONG* drops);

  PKSDEVICE device;                  // back pointer
  LONG volatile pin_attached;        // 1: a capture pin owns the camera stream
  capture_pin* volatile active_pin;  // set only while pin_attached and the stream is the pin's
  uvc_camera* camera;                // owned; null before start
  DEVICE_POWER_STATE power_state;    // last state set; PowerDeviceD0 initially
  ULONG stream_state;                // stream_closed, stream_open_idle, stream_running
  KS_VIDEOINFOHEADER stream_format;  // the attached pin's format, to reopen after power-up
  KMUTEX state_mutex;                // serialises set_power and the stream operations
  PVOID descriptor_blocks;           // this start's filter descriptor blocks (filter_descriptor's)

 private:
  void destroy_camera();
  NTSTATUS run_stream_locked();
  void probe_device();
};

// Reads the product and manufacturer strings and writes them as "ModelName"
// and "VendorName" into the device's hardware key; with `replace_vendor` the
// manufacturer becomes "Talvexa". Failures are not reported.
void store_device_strings(PDEVICE_OBJECT physical_device_object, const UCHAR* device_descriptor,
                          bool replace_vendor);

// Writes the non-empty strings as REG_SZ (without a terminator) into the
// device's hardware key; returns the status of the last write, or of the
// key's opening.
NTSTATUS write_vendor_model_names(PDEVICE_OBJECT physical_device_object, PCUNICODE_STRING vendor,
                                  PCUNICODE_STRING model);
