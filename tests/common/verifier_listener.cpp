#include "verifier_listener.h"

namespace tvtest {

void verifier_listener::OnTestStart(const ::testing::TestInfo&) {
  kstandin::take_violations();  // nothing from an earlier test leaks in
  kstandin::take_debug_log();
  start_ = kstandin::take_pool_snapshot();
}

void verifier_listener::OnTestEnd(const ::testing::TestInfo&) {
  // Work items queued by the test must finish before leaks are judged.
  if (!kstandin::drain_work_queues()) {
    ADD_FAILURE() << "system work items still running at the end of the test";
  }
  for (const auto& v : kstandin::take_violations()) {
    ADD_FAILURE() << "kernel verifier: " << v.check << ": " << v.message;
  }
  const auto leaks = kstandin::leaks_since(start_);
  if (!leaks.empty()) {
    ADD_FAILURE() << "pool leaks at the end of the test:\n" << kstandin::describe(leaks);
  }
}

bool take_violation(const std::string& check) {
  bool found = false;
  for (const auto& v : kstandin::take_violations()) {
    if (v.check == check) {
      found = true;
    } else {
      ADD_FAILURE() << "unexpected kernel verifier report: " << v.check << ": " << v.message;
    }
  }
  return found;
}

std::vector<std::string> take_violation_checks() {
  std::vector<std::string> names;
  for (const auto& v : kstandin::take_violations()) names.push_back(v.check);
  return names;
}

}  // namespace tvtest
