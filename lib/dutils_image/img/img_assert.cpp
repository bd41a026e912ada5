// Report-only assertions: the hook and the failure counter. Both are plain
// zero-initialised globals accessed atomically, so no constructor runs and
// any thread at any IRQL may report.
#include "img/img_assert.h"

namespace img {
namespace {

assert_handler g_assert_handler = nullptr;
uint32_t g_assert_failures = 0;

}  // namespace

assert_handler set_assert_handler(assert_handler handler) {
  return __atomic_exchange_n(&g_assert_handler, handler, __ATOMIC_ACQ_REL);
}

uint32_t get_assert_failure_count() { return __atomic_load_n(&g_assert_failures, __ATOMIC_RELAXED); }

void reset_assert_failure_count() { __atomic_store_n(&g_assert_failures, 0u, __ATOMIC_RELAXED); }

bool assert_failed(const char* condition, const char* file, int line) {
  __atomic_add_fetch(&g_assert_failures, 1u, __ATOMIC_RELAXED);
  const assert_handler handler = __atomic_load_n(&g_assert_handler, __ATOMIC_ACQUIRE);
  if (handler) handler(condition, file, line);
  return false;
}

}  // namespace img
