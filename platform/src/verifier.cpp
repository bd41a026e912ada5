// The stand-in's verifier: broken kernel rules are recorded here instead of
// halting the machine, and tests take them (kstandin/testing.h). A test that
// leaves one behind fails.
#include <mutex>
#include <vector>

#include <kstandin/testing.h>

#include "ke_core.h"

namespace kstandin {
namespace {

std::mutex& violations_lock() {
  static auto* lock = new std::mutex;
  return *lock;
}
// Never destroyed: detached system threads may still report during exit.
std::vector<violation>& recorded() {
  static auto* list = new std::vector<violation>;
  return *list;
}

}  // namespace

// Beyond this many untaken reports (a long run nobody inspects) only the
// first ones are kept: they are the ones that point at the cause.
constexpr size_t kMaxViolations = 10000;

void report_violation(const char* check, const std::string& message) {
  std::lock_guard<std::mutex> guard(violations_lock());
  if (recorded().size() < kMaxViolations) recorded().push_back(violation{check, message});
}

std::vector<violation> take_violations() {
  std::lock_guard<std::mutex> guard(violations_lock());
  std::vector<violation> taken;
  taken.swap(recorded());
  return taken;
}

size_t pending_violation_count() {
  std::lock_guard<std::mutex> guard(violations_lock());
  return recorded().size();
}

}  // namespace kstandin
