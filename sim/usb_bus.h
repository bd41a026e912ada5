// The simulated USB bus: owns simulated devices, gives each a physical
// device object (the bus driver object's dispatch routines take
// IRP_MJ_INTERNAL_DEVICE_CONTROL and IRP_MJ_PNP query-interface requests
// and hand them to the device), and runs the bus thread that completes
// delayed and pending requests at DISPATCH_LEVEL.
//
// A test plugs a device, gives the returned PDO to the driver (which
// attaches its own device object on top), and unplugs or destroys the bus
// when done. Destroying the bus unplugs every device; requests still
// pending then complete with STATUS_NO_SUCH_DEVICE.
#pragma once

#include <wdm.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "usb_device.h"

namespace sim {

class usb_bus {
 public:
  usb_bus();
  ~usb_bus();
  usb_bus(const usb_bus&) = delete;
  usb_bus& operator=(const usb_bus&) = delete;

  // Creates the device's physical device object. `instance_id` defaults to
  // "USB\VID_vvvv&PID_pppp\<n>". The bus keeps the device alive until it is
  // unplugged. NULL when out of pool.
  PDEVICE_OBJECT plug(std::shared_ptr<usb_device> device, const std::string& instance_id = "");
  // Completes the device's pending requests with STATUS_NO_SUCH_DEVICE and
  // deletes its physical device object. The driver must have detached.
  void unplug(PDEVICE_OBJECT pdo);
  // The device behind a physical device object of this bus, or null.
  std::shared_ptr<usb_device> device(PDEVICE_OBJECT pdo) const;

  // ---- bus thread
  // Runs `action` on the bus thread at DISPATCH_LEVEL after `delay_ms`.
  // Actions due at the same time run in the order they were scheduled.
  void schedule(unsigned delay_ms, std::function<void()> action);
  // Asks the bus thread to move queued endpoint data into pending transfers.
  void kick();
  // Waits (bounded) until no scheduled action is due within `horizon_ms`
  // and the thread is idle. False on timeout.
  bool settle(unsigned timeout_ms = 5000, unsigned horizon_ms = 0);
  // Frame counter of QueryBusTime (1 ms frames since the bus started).
  ULONG current_frame() const;

 private:
  struct timed_action {
    std::chrono::steady_clock::time_point due;
    uint64_t order;
    std::function<void()> action;
  };
  void thread_main();

  PDRIVER_OBJECT driver_ = nullptr;
  mutable std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::vector<timed_action> actions_;  // kept as a heap ordered by (due, order)
  std::vector<std::pair<PDEVICE_OBJECT, std::shared_ptr<usb_device>>> devices_;
  uint64_t next_order_ = 0;
  unsigned next_instance_ = 1;
  bool kicked_ = false;
  bool busy_ = false;
  bool stopping_ = false;
  std::chrono::steady_clock::time_point started_;
  std::thread thread_;
};

}  // namespace sim
