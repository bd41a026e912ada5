// A tiny AVStream minidriver for the ks.sys stand-in tests: one device
// descriptor, a filter factory created at start, a filter with one property
// set (a get/set item and a get item with value ranges), and one pin with a
// single data range, an intersect handler, a property of its own and the
// usual dispatch. Every callback is written to a trace; knobs make the next
// calls fail or misbehave. Plus the fixture that loads it and plugs one
// device on a minimal bus.
#pragma once

#include <gtest/gtest.h>

#include <kstandin/testing_io.h>
#include <kstandin/testing_ks.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "verifier_listener.h"

namespace toy {

// {5D8F0C2E-3A41-4E55-9C1B-7A2D6E0F4B11}
constexpr GUID kSubFormat = {0x5d8f0c2e, 0x3a41, 0x4e55, {0x9c, 0x1b, 0x7a, 0x2d, 0x6e, 0x0f, 0x4b, 0x11}};
// {A3C5E7F9-1B2D-4F60-8A9C-0E1F2A3B4C5D}: the filter's own property set.
constexpr GUID kFilterSet = {0xa3c5e7f9, 0x1b2d, 0x4f60, {0x8a, 0x9c, 0x0e, 0x1f, 0x2a, 0x3b, 0x4c, 0x5d}};
// {B4D6F8A0-2C3E-4071-9BAD-1F203A4B5C6E}: the pin's own property set.
constexpr GUID kPinSet = {0xb4d6f8a0, 0x2c3e, 0x4071, {0x9b, 0xad, 0x1f, 0x20, 0x3a, 0x4b, 0x5c, 0x6e}};

constexpr ULONG kValueItem = 1;   // get/set LONG
constexpr ULONG kRangeItem = 2;   // get only, with Values (stepped range -10..10 by 2, default 4)
constexpr ULONG kPinIdItem = 0;   // on the pin: its KSPIN.Id, read under the control mutex

// The pin's data range and formats: a header and a frame size.
struct range {
  KSDATARANGE header;
  ULONG width;
  ULONG height;
};
using format = range;
constexpr ULONG kWidth = 64;
constexpr ULONG kHeight = 8;

// Builds a format for the pin (width 0 is refused by SetDataFormat).
format make_format(ULONG width, ULONG height = kHeight);

struct knobs {
  int refuse_state = -1;               // SetDeviceState to this KSSTATE fails
  bool refuse_format_change = false;   // SetDataFormat with an old format fails
  bool leak_at_remove = false;         // Remove allocates a block and keeps it
  bool overstate_value = false;        // kValueItem's get claims 8 bytes for its 4
};
extern knobs g_knobs;

// Trace of callbacks, e.g. "Add", "Start", "SetPower 4<-1", "PinCreate",
// "SetDataFormat new", "State 1<-0", "FreeFilterContext".
void trace(const std::string& entry);
std::vector<std::string> take_trace();
extern std::atomic<int> g_process_calls;
extern LONG g_value;  // behind kValueItem
extern PVOID g_leaked;  // what leak_at_remove allocated
// Clock interface the pin took at ACQUIRE (released at STOP); correlated
// time read at ACQUIRE.
extern PIKSREFERENCECLOCK g_clock;
extern LONGLONG g_clock_time_at_acquire;
extern bool g_keep_clock;  // do not release the clock at STOP

NTSTATUS driver_entry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);

}  // namespace toy

// Loads the toy driver and plugs one device (added and started).
class ks_fixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Opens the device's filter.
  kstandin::ks_filter* open_filter();
  // Opens the filter and creates the pin with a width-64 format.
  kstandin::ks_pin* create_pin(std::shared_ptr<kstandin::reference_clock> clock = nullptr);

  PDRIVER_OBJECT bus_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  kstandin::ks_driver* driver_ = nullptr;
  kstandin::ks_device* device_ = nullptr;  // null once a test removed it
  kstandin::ks_filter* filter_ = nullptr;
};
