// Test and tool access to the kernel stand-in: verifier results, pool
// accounting, the debug log, the registry hive and the file root. Never
// included by the driver.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kstandin {

// ---- verifier ------------------------------------------------------------
struct violation {
  std::string check;    // stable name, e.g. "wait_at_dispatch"
  std::string message;  // human-readable detail
};
// Removes and returns every violation recorded so far.
std::vector<violation> take_violations();
// Number of violations recorded and not yet taken.
size_t pending_violation_count();

// ---- pool --------------------------------------------------------------
struct tag_usage {
  ULONG tag;            // pool tag as passed to ExAllocatePoolWithTag
  uint64_t live_count;  // allocations not yet freed
  uint64_t live_bytes;
};
struct tag_allocations {
  ULONG tag;
  uint64_t count;
};
struct pool_snapshot {
  uint64_t allocation_serial;  // allocations ever made, at the time of the snapshot
  std::vector<tag_usage> live;  // per tag, only tags with live allocations
  std::vector<tag_allocations> allocated;  // allocations ever made, per tag
};
pool_snapshot take_pool_snapshot();
// Allocations made since `since` was taken.
uint64_t allocations_since(const pool_snapshot& since);
// The same per tag, tags without allocations left out, in tag order.
std::vector<tag_allocations> allocations_by_tag_since(const pool_snapshot& since);
// Blocks allocated after `since` and still live, per tag ("leaks by tag").
std::vector<tag_usage> leaks_since(const pool_snapshot& since);
// Readable "tag 'Auvc': 2 blocks, 64 bytes" lines.
std::string describe(const std::vector<tag_usage>& usage);
// Makes the next `count` allocations (optionally only those with `tag`;
// 0 = any tag) fail, for tests of the out-of-memory paths.
void fail_next_allocations(uint64_t count, ULONG tag = 0);
// Lets the next `successes` allocations (with `tag`, or of any tag) succeed
// and makes the one after them fail: walking `successes` = 0, 1, 2, ...
// fails each allocation of a path in turn.
void fail_allocation_after(uint64_t successes, ULONG tag = 0);
// Forced failures armed and not yet happened.
uint64_t forced_failures_left();

// ---- debug output ----------------------------------------------------
// Everything DbgPrint wrote, one entry per call, oldest first; taking clears.
std::vector<std::string> take_debug_log();
// When set, DbgPrint also writes to stderr (the tool's --verbose).
void set_debug_echo(bool on);

// ---- registry ---------------------------------------------------------
// Empties the in-memory hive.
void registry_reset();
// Loads / saves the hive as a readable text file. Return false on I/O or
// syntax errors (the hive is unchanged after a failed load).
bool registry_load(const std::string& path);
bool registry_save(const std::string& path);

// ---- files ------------------------------------------------------------
// Host directory that "\DosDevices\X:\..." and "\??\X:\..." paths map into.
void set_file_root(const std::string& host_directory);

// ---- delays ------------------------------------------------------------
// The relative intervals (100 ns) the calling thread asked
// KeDelayExecutionThread for since its last take, oldest first.
std::vector<int64_t> take_thread_delays();

// ---- settling --------------------------------------------------------
// Waits (bounded) until every queued system work item has run. Returns false
// when they did not finish within `timeout_ms`.
bool drain_work_queues(unsigned timeout_ms = 10000);

}  // namespace kstandin
