// The device side of a simulated USB device: its descriptors, the standard
// requests the bus answers for it (descriptors, select configuration and
// interface, pipe requests), its endpoints with their queues of pending IN
// transfers, fault injection and the request log that tests inspect.
//
// Class and vendor control requests go to handle_class_or_vendor(), which a
// device model (uvc_camera) overrides; vendor requests may also be served by
// handlers registered per bRequest. The bus (usb_bus.h) owns the physical
// device object and its dispatch routines and calls into this class with
// the IRPs it receives.
//
// Threads: every public member may be called from any thread. The device's
// state is guarded by one mutex, which is never held while an IRP completes
// (a completion routine may send the next request straight back).
#pragma once

#include <wdm.h>
#include <usbdi.h>
#include <usbdlib.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

class usb_bus;

// ---- setup packets -----------------------------------------------------------
// bmRequestType bits
constexpr uint8_t kRequestDirectionIn = 0x80;
constexpr uint8_t kRequestTypeMask = 0x60;
constexpr uint8_t kRequestTypeStandard = 0x00;
constexpr uint8_t kRequestTypeClass = 0x20;
constexpr uint8_t kRequestTypeVendor = 0x40;
constexpr uint8_t kRecipientMask = 0x1F;
constexpr uint8_t kRecipientDevice = 0;
constexpr uint8_t kRecipientInterface = 1;
constexpr uint8_t kRecipientEndpoint = 2;
constexpr uint8_t kRecipientOther = 3;

struct setup_packet {
  uint8_t request_type = 0;  // bmRequestType
  uint8_t request = 0;       // bRequest
  uint16_t value = 0;        // wValue
  uint16_t index = 0;        // wIndex
  uint16_t length = 0;       // wLength

  bool is_in() const { return (request_type & kRequestDirectionIn) != 0; }
  uint8_t type() const { return request_type & kRequestTypeMask; }
  uint8_t recipient() const { return request_type & kRecipientMask; }
};

// A class or vendor request as the device model sees it. For OUT requests
// `data` holds what the host sent; for IN requests the handler fills it
// (the bus sends at most wLength bytes; fewer is a short transfer).
// Returning an error status (USBD_STATUS_STALL_PID for a protocol stall)
// fails the request.
using control_handler = std::function<USBD_STATUS(const setup_packet& setup,
                                                  std::vector<uint8_t>& data)>;

// ---- inspection records ---------------------------------------------------------
// One request the device received, in arrival order.
struct request_record {
  uint64_t sequence = 0;     // 1, 2, ... per device, continuing across clear_requests()
  ULONG ioctl = 0;           // IOCTL_INTERNAL_USB_* code
  uint16_t function = 0;     // URB_FUNCTION_*, for IOCTL_INTERNAL_USB_SUBMIT_URB
  setup_packet setup;        // control transfers: the setup packet as sent on the wire
  uint8_t endpoint = 0;      // data transfers and pipe requests: bEndpointAddress
  uint32_t requested_length = 0;  // TransferBufferLength at submission
  std::vector<uint8_t> out_data;  // bytes the host sent (OUT data stage)
  uint32_t transferred = 0;       // bytes moved when the request completed
  USBD_STATUS usbd_status = USBD_STATUS_PENDING;
  NTSTATUS status = STATUS_PENDING;  // IRP status at completion
  bool completed = false;
  bool cancelled = false;          // completed through IoCancelIrp or an abort
  uint64_t submitted_at = 0;       // KeQueryInterruptTime() values, 100 ns
  uint64_t cancelled_at = 0;       // when the cancellation reached the device (0: never)
  uint64_t completed_at = 0;
};

// A GET_DESCRIPTOR request (device, configuration or string).
struct descriptor_read {
  uint8_t type = 0;
  uint8_t index = 0;
  uint16_t language = 0;
  uint32_t requested_length = 0;  // TransferBufferLength of the URB
  uint32_t returned_length = 0;
};

// ---- fault injection --------------------------------------------------------------
// Random faults for class and vendor control requests, drawn from a
// generator seeded with `seed`: the same seed and the same request sequence
// give the same faults. Probabilities are in 1/1000.
struct fault_plan {
  uint64_t seed = 1;
  unsigned stall_per_mille = 0;  // the request stalls (USBD_STATUS_STALL_PID)
  unsigned hang_per_mille = 0;   // the request never completes until cancelled
  unsigned short_per_mille = 0;  // an IN request returns fewer bytes than asked
  unsigned delay_ms = 0;         // every control request completes this much later
  unsigned delay_jitter_ms = 0;  // plus a random 0..jitter ms
};

// Scripted faults: the next `count` control requests that match behave as
// asked. A negative `request` matches every class and vendor request; a
// bRequest value matches any control request with that code, standard ones
// (GET_DESCRIPTOR, 6) included.
enum class control_fault { stall, hang, short_transfer, delay };

struct control_outcome;
class usb_device;
// Cancel routine of the requests a device keeps pending (DISPATCH_LEVEL,
// entered with the cancel spin lock held).
VOID usb_device_cancel_routine(PDEVICE_OBJECT pdo, PIRP irp);

class usb_device : public std::enable_shared_from_this<usb_device> {
 public:
  // device_descriptor: 18 bytes; configuration: the complete configuration
  // descriptor (wTotalLength bytes; a shorter one is served as it is, like a
  // device whose descriptor is cut).
  usb_device(std::vector<uint8_t> device_descriptor, std::vector<uint8_t> configuration);
  virtual ~usb_device();
  usb_device(const usb_device&) = delete;
  usb_device& operator=(const usb_device&) = delete;

  // ---- identity and descriptors
  const std::vector<uint8_t>& device_descriptor() const { return device_descriptor_; }
  const std::vector<uint8_t>& configuration_descriptor() const { return configuration_; }
  uint16_t vendor_id() const;
  uint16_t product_id() const;
  // String descriptor `index` (1..255) answers with `text` (UTF-8, stored as
  // UTF-16). Index 0 (the language list) answers 0x0409 unless set.
  void set_string(uint8_t index, const std::string& text);
  void set_raw_string_descriptor(uint8_t index, std::vector<uint8_t> bytes);

  // ---- bus-level switches
  void set_high_speed(bool high_speed);          // IsDeviceHighSpeed; default true
  bool high_speed() const;
  void set_usbdi_query_fails(bool fails);        // IRP_MN_QUERY_INTERFACE for USBDI fails
  bool usbdi_query_fails() const;
  void set_host_usb_version(uint32_t bcd);       // Supported_USB_Version, default 0x200
  uint32_t host_usb_version() const;
  // The port reports not connected and every request fails with
  // USBD_STATUS_DEVICE_GONE / STATUS_NO_SUCH_DEVICE.
  void set_disconnected(bool disconnected);

  // ---- vendor and class requests
  // Handler for vendor requests with this bRequest (any recipient); replaces
  // an earlier one. Vendor requests without a handler stall.
  void set_vendor_handler(uint8_t request, control_handler handler);
  // Delay applied to every control request (ms), before fault_plan delays.
  void set_control_delay(unsigned ms);

  // ---- faults
  void set_fault_plan(const fault_plan& plan);
  void inject_control_fault(control_fault fault, unsigned count, int request = -1,
                            unsigned delay_ms = 0);
  // The next `count` pipe requests with this URB function (ABORT_PIPE,
  // SYNC_RESET_PIPE_AND_CLEAR_STALL, ...) fail with `status` (for example
  // USBD_STATUS_ERROR_BUSY, whose IRP status is STATUS_DEVICE_BUSY).
  void inject_pipe_fault(uint16_t function, USBD_STATUS status, unsigned count = 1);
  // Status of the next `count` IOCTL_INTERNAL_USB_RESET_PORT and
  // IOCTL_INTERNAL_USB_CYCLE_PORT requests (they are still counted).
  void inject_port_fault(NTSTATUS status, unsigned count = 1);
  // One URB of any function (descriptor reads, selections, class and
  // vendor requests, pipe requests, transfers) fails: the one that arrives
  // after `skip` more. It completes with `status` and nothing transferred
  // (USBD_STATUS_STALL_PID: a stalled control transfer), or with `hang` it
  // stays pending until it is cancelled, as for a device that does not
  // answer. Walking `skip` = 0, 1, 2, ... fails each request of a sequence
  // in turn; urb_fault_pending() is false once the fault has happened.
  void fail_urb_after(unsigned skip, USBD_STATUS status, bool hang = false);
  bool urb_fault_pending() const;
  void clear_faults();

  // ---- IN endpoints (bulk, interrupt, isochronous)
  // Queues data for an IN endpoint. Bulk and interrupt: one queued block
  // completes one transfer (a block larger than the transfer is split).
  // Isochronous: one block fills one packet. Pending transfers complete on
  // the bus thread at DISPATCH_LEVEL, in submission order.
  void queue_in_data(uint8_t endpoint_address, std::vector<uint8_t> block);
  // Called on the bus thread (DISPATCH_LEVEL, no device lock held) when a
  // transfer is pending on the endpoint and its queue is empty: once with
  // the transfer's length for bulk and interrupt, once per packet with the
  // packet size for isochronous transfers. Returning false leaves the
  // transfer pending (or ends it with the packets filled so far). This is
  // the hook streaming uses.
  using in_data_source = std::function<bool(uint8_t endpoint_address, uint32_t max_bytes,
                                            std::vector<uint8_t>& block)>;
  void set_in_data_source(in_data_source source);
  // The same hook with what a device model needs to know about the
  // request: which packet of which transfer it fills, and the status the
  // packet completes with. Replaces an in_data_source (and the reverse).
  struct in_request {
    uint8_t endpoint_address = 0;
    uint32_t max_bytes = 0;   // bulk, interrupt: the transfer's length; isochronous: the packet size
    uint32_t packet = 0;      // index of the packet in its transfer (0 for bulk and interrupt)
    uint32_t packets = 1;     // packets of the transfer (1 for bulk and interrupt)
    uint64_t generation = 0;  // of the device's IN data (see discard_in_data) when asked
  };
  // Fills `block`; `status` (preset to USBD_STATUS_SUCCESS) set to an error
  // makes an isochronous packet complete with that status and no data, and
  // a bulk or interrupt transfer fail with it.
  using in_packet_source =
      std::function<bool(const in_request& request, std::vector<uint8_t>& block, USBD_STATUS& status)>;
  void set_in_packet_source(in_packet_source source);
  // Completes the next pending transfer of the endpoint with an error
  // (for example USBD_STATUS_BABBLE_DETECTED).
  void fail_next_in_transfer(uint8_t endpoint_address, USBD_STATUS status);
  size_t pending_in_transfers(uint8_t endpoint_address) const;
  size_t queued_in_blocks(uint8_t endpoint_address) const;
  // Waits until no call of the source hook is running. A call may still be
  // under way for a transfer that has been cancelled meanwhile (the bus
  // asked before the cancel arrived); a model that changes what it sends
  // waits for it, so the old call cannot use the new settings. Any thread,
  // no lock held, never from inside the hook.
  void wait_for_in_source_idle() const;

  // ---- inspection
  // The most recent requests (at most 65536; older ones are forgotten).
  std::vector<request_record> requests() const;
  // Only the class and vendor control transfers, in order.
  std::vector<request_record> control_requests() const;
  // Empties the log and the descriptor reads; requests still pending then
  // complete without a record.
  void clear_requests();
  std::vector<descriptor_read> descriptor_reads() const;
  unsigned select_configuration_count() const;
  unsigned select_interface_count() const;
  // Alternate setting currently selected on an interface (-1: not configured).
  int current_alternate_setting(uint8_t interface_number) const;
  bool configured() const;
  unsigned port_reset_count() const;
  unsigned port_cycle_count() const;
  unsigned pipe_reset_count() const;
  unsigned pipe_abort_count() const;
  // Pending control requests (delayed or hanging) not yet completed.
  size_t pending_control_requests() const;

  // ---- called by the bus (PDO dispatch, any IRQL <= DISPATCH_LEVEL)
  NTSTATUS dispatch_internal_ioctl(PDEVICE_OBJECT pdo, PIRP irp);
  void attach(usb_bus* bus, PDEVICE_OBJECT pdo);
  void detach();  // fails every pending request with STATUS_NO_SUCH_DEVICE
  // Moves queued data into pending transfers; runs on the bus thread.
  void service_endpoints();

 protected:
  // Class requests and vendor requests without a registered handler.
  // Called with no device lock held, on the thread that submitted the
  // request or on the bus thread for delayed ones. The default stalls.
  virtual USBD_STATUS handle_class_or_vendor(const setup_packet& setup, std::vector<uint8_t>& data);
  // Called after a select-interface or select-configuration changed the
  // alternate setting of an interface.
  virtual void on_alternate_setting(uint8_t interface_number, uint8_t alternate_setting) {}
  virtual void on_port_reset() {}
  // Throws away the data queued for an IN endpoint (also what is kept for
  // it while no alternate setting has it) and whatever the source hook is
  // producing at this moment: data the hook returns for a request made
  // before this call is discarded. Returns the new generation, which later
  // requests carry (in_request::generation). Caller holds lock_.
  uint64_t discard_in_data(uint8_t endpoint_address);
  // Has the bus service the endpoints again after `delay_ms` (a source that
  // declined to produce data until a later time). Any thread, no lock held.
  void service_endpoints_after(unsigned delay_ms);

  mutable std::mutex lock_;  // guards the state below and the model's own state

 private:
  struct endpoint_state;
  struct pending_control;
  struct impl;
  friend VOID usb_device_cancel_routine(PDEVICE_OBJECT pdo, PIRP irp);

  control_outcome execute_control(const setup_packet& setup, uint8_t* buffer,
                                  uint32_t buffer_length, bool stall, bool shorten);
  USBD_STATUS standard_request(const setup_packet& setup, std::vector<uint8_t>& data);
  void finish_delayed_control(PIRP irp, setup_packet setup, uint8_t* buffer,
                              uint32_t buffer_length, bool stall, bool shorten);
  void cancel(PIRP irp);

  std::vector<uint8_t> device_descriptor_;
  std::vector<uint8_t> configuration_;
  std::unique_ptr<impl> impl_;
};

}  // namespace sim
