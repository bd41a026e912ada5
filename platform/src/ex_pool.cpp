// Pool memory of the stand-in. Every block is its own host allocation, so
// AddressSanitizer sees overruns and use after free; a registry of live
// blocks (tag, size, allocation serial) gives the per-tag accounting and
// the "allocated since" leak checks of kstandin/testing.h, and catches
// double frees and tag mismatches before they reach the host allocator.
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

#include <kstandin/testing.h>

#include "ke_core.h"

namespace kstandin {
namespace {

// Fill pattern of fresh blocks: pool memory is not zeroed on Windows either.
constexpr unsigned char kFreshFill = 0xA5;
constexpr size_t kCacheLine = 64;
// Larger requests fail as they would on a real machine's pool (and are kept
// away from the host allocator, which sanitizers abort on for absurd sizes).
constexpr SIZE_T kLargestBlock = (SIZE_T)1 << 31;

struct block_info {
  ULONG tag;
  SIZE_T size;
  uint64_t serial;
  bool pageable;
};

struct pool_state {
  std::mutex lock;
  std::unordered_map<const void*, block_info> live;
  uint64_t serial = 0;      // allocations ever made
  std::map<ULONG, uint64_t> allocated;  // allocations ever made, per tag
  uint64_t fail_count = 0;  // allocations still to fail
  uint64_t fail_skip = 0;   // matching allocations that succeed before them
  ULONG fail_tag = 0;       // 0: any tag
};

// Never destroyed: detached system threads may still free blocks during exit.
pool_state& pool() {
  static auto* state = new pool_state;
  return *state;
}

bool is_pageable(POOL_TYPE type) { return (type & BASE_POOL_TYPE_MASK) != 0; }
bool is_cache_aligned(POOL_TYPE type) { return (type & 4) != 0; }

std::string tag_text(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    const char c = (char)((tag >> (8 * i)) & 0xFF);
    text += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return text;
}

std::string hex(const void* p) {
  char text[32];
  std::snprintf(text, sizeof(text), "%p", p);
  return text;
}

std::vector<tag_usage> usage_of(const pool_state& state, uint64_t after_serial) {
  std::map<ULONG, tag_usage> by_tag;
  for (const auto& entry : state.live) {
    if (entry.second.serial <= after_serial) continue;
    auto& usage = by_tag[entry.second.tag];
    usage.tag = entry.second.tag;
    usage.live_count += 1;
    usage.live_bytes += entry.second.size;
  }
  std::vector<tag_usage> result;
  for (const auto& entry : by_tag) result.push_back(entry.second);
  return result;
}

}  // namespace

pool_snapshot take_pool_snapshot() {
  auto& state = pool();
  std::lock_guard<std::mutex> guard(state.lock);
  pool_snapshot snapshot;
  snapshot.allocation_serial = state.serial;
  snapshot.live = usage_of(state, 0);
  for (const auto& entry : state.allocated) snapshot.allocated.push_back({entry.first, entry.second});
  return snapshot;
}

uint64_t allocations_since(const pool_snapshot& since) {
  auto& state = pool();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.serial - since.allocation_serial;
}

std::vector<tag_allocations> allocations_by_tag_since(const pool_snapshot& since) {
  auto& state = pool();
  std::lock_guard<std::mutex> guard(state.lock);
  std::vector<tag_allocations> result;
  for (const auto& entry : state.allocated) {
    uint64_t before = 0;
    for (const tag_allocations& old : since.allocated) {
      if (old.tag == entry.first) before = old.count;
    }
    if (entry.second > before) result.push_back({entry.first, entry.second - before});
  }
  return result;
}

std::vector<tag_usage> leaks_since(const pool_snapshot& since) {
  auto& state = pool();
  std::lock_guard<std::mutex> guard(state.lock);
  return usage_of(state, since.allocation_serial);
}

std::string describe(const std::vector<tag_usage>& usage) {
  std::string text;
  for (const auto& u : usage) {
    text += "tag '" + tag_text(u.tag) + "': " + std::to_string(u.live_count) +
            (u.live_count == 1 ? " block, " : " blocks, ") + std::to_string(u.live_bytes) +
            " bytes\n";
  }
  return text;
}

void fail_next_allocations(uint64_t count, ULONG tag) {
  auto& state = pool();
  std::lock_guard<std::mutex> guard(state.lock);
  state.fail_count = count;
  state.fail_skip = 0;
  state.fail_tag = tag;
}

void fail_allocation_after(uint64_t successes, ULONG tag) {
  auto& state = pool();
  std::lock_guard<std::mutex> guard(state.lock);
  state.fail_count = 1;
  state.fail_skip = successes;
  state.fail_tag = tag;
}

uint64_t forced_failures_left() {
  auto& state = pool();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.fail_count;
}

}  // namespace kstandin

using kstandin::report_violation;

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  const bool pageable = kstandin::is_pageable(PoolType);
  const KIRQL irql = kstandin::current_irql();
  if (pageable && irql >= DISPATCH_LEVEL) {
    report_violation("paged_pool_at_dispatch",
                     "pageable allocation of " + std::to_string(NumberOfBytes) + " bytes, tag '" +
                         kstandin::tag_text(Tag) + "', at IRQL " + std::to_string(irql));
  }
  auto& state = kstandin::pool();
  {
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.fail_count > 0 && (state.fail_tag == 0 || state.fail_tag == Tag)) {
      if (state.fail_skip > 0) {
        --state.fail_skip;
      } else {
        --state.fail_count;
        return NULL;
      }
    }
  }
  if (NumberOfBytes > kstandin::kLargestBlock) return NULL;
  // A zero-byte request still gets a distinct block that must be freed.
  const size_t host_size = NumberOfBytes == 0 ? 1 : NumberOfBytes;
  void* block = nullptr;
  if (kstandin::is_cache_aligned(PoolType)) {
    const size_t rounded = (host_size + kstandin::kCacheLine - 1) & ~(kstandin::kCacheLine - 1);
    block = std::aligned_alloc(kstandin::kCacheLine, rounded);
  } else {
    block = std::malloc(host_size);
  }
  if (block == nullptr) return NULL;
  std::memset(block, kstandin::kFreshFill, host_size);
  std::lock_guard<std::mutex> guard(state.lock);
  state.live[block] = kstandin::block_info{Tag, NumberOfBytes, ++state.serial, pageable};
  ++state.allocated[Tag];
  return block;
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0x656E6F4E /* 'None' */);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  auto& state = kstandin::pool();
  kstandin::block_info info{};
  {
    std::lock_guard<std::mutex> guard(state.lock);
    auto it = state.live.find(P);
    if (it == state.live.end()) {
      info.size = ~(SIZE_T)0;
    } else {
      info = it->second;
      state.live.erase(it);
    }
  }
  if (info.size == ~(SIZE_T)0) {
    // Not a live block: freed already, or never allocated from pool. The
    // host allocator never sees it, so the test can go on.
    report_violation("pool_double_free",
                     "ExFreePool of " + kstandin::hex(P) + ", which is not a live pool block");
    return;
  }
  const ULONG check_tag = Tag & 0x7FFFFFFF;  // without PROTECTED_POOL
  if (check_tag != 0 && check_tag != (info.tag & 0x7FFFFFFF)) {
    report_violation("pool_tag_mismatch", "block " + kstandin::hex(P) + " allocated with tag '" +
                                              kstandin::tag_text(info.tag) + "' freed with tag '" +
                                              kstandin::tag_text(Tag) + "'");
  }
  const KIRQL irql = kstandin::current_irql();
  if (info.pageable && irql >= DISPATCH_LEVEL) {
    report_violation("paged_pool_at_dispatch", "pageable block with tag '" +
                                                   kstandin::tag_text(info.tag) +
                                                   "' freed at IRQL " + std::to_string(irql));
  }
  std::free(P);
}

VOID NTAPI ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }
