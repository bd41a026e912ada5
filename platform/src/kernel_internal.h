// Internal interface between the parts of the kernel stand-in (not visible
// to the driver). The thread/IRQL/wait core (ke_*.cpp) implements it; the
// I/O, thread, registry and file parts (io_*.cpp, ps_*.cpp, zw_*.cpp) use it.
#pragma once

#include <wdm.h>

#include <functional>
#include <string>

namespace kstandin {

// Per host thread kernel state. Every host thread that runs driver code has
// one; threads not created by the platform get one on first use, at
// PASSIVE_LEVEL.
struct thread_state;
thread_state& current_thread_state();

// The current IRQL of the calling thread, and a raw setter for the platform
// itself (bus threads that complete IRPs at DISPATCH_LEVEL, for example).
KIRQL current_irql();
void set_current_irql(KIRQL irql);

// Records a broken kernel rule: `check` is a short stable name (for example
// "wait_at_dispatch"), `message` says what happened. The violation is kept
// for the test to inspect and fails the running test unless the test takes it.
void report_violation(const char* check, const std::string& message);

// Dispatcher objects: every state change of any waitable object goes through
// these so that waiters on any thread see it.
// Sets SignalState and wakes the waiters of `header`.
void signal_object(DISPATCHER_HEADER* header, LONG signal_state);
// Waits until `ready()` is true (evaluated under the dispatcher lock, which
// signal_object takes too) or the relative time-out in 100 ns units expires
// (timeout_100ns < 0: no time-out). Returns true when ready.
bool wait_until(const std::function<bool()>& ready, LONGLONG timeout_100ns);

// Runs `body` on a new host thread that is a kernel system thread at
// PASSIVE_LEVEL. `thread_object` (may be null) is the KTHREAD the platform
// handed out for it; it becomes signalled when `body` returns.
// Returns false when the host thread could not be created.
bool start_system_thread(PKTHREAD thread_object, std::function<void()> body);

// Extended processor state saves the calling thread holds, and the check
// made when a thread or a callback ends: saves taken since `held_at_entry`
// and not restored are reported and dropped (ke_xstate.cpp).
unsigned xstate_saves_held();
void check_xstate_released(const char* what, unsigned held_at_entry);

// Checks made when a callback into driver code returns: the IRQL must be the
// one it was entered at, and every extended-state save taken in it restored.
// `what` names the callback for the report.
class irql_guard {
 public:
  explicit irql_guard(const char* what);
  ~irql_guard();
  irql_guard(const irql_guard&) = delete;
  irql_guard& operator=(const irql_guard&) = delete;

 private:
  const char* what_;
  KIRQL entry_;
  unsigned xstate_entry_;
};

}  // namespace kstandin
