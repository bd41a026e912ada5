// Fails the running test when the kernel stand-in recorded a violation that
// the test did not take, or when pool blocks allocated during the test are
// still live at its end.
#pragma once

#include <gtest/gtest.h>

#include <kstandin/testing.h>

#include <string>
#include <vector>

namespace tvtest {

class verifier_listener : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo& info) override;
  void OnTestEnd(const ::testing::TestInfo& info) override;

 private:
  kstandin::pool_snapshot start_{};
};

// Takes the recorded violations and returns true when one of them has the
// given check name; the others fail the test.
bool take_violation(const std::string& check);

// Takes every violation and returns their check names.
std::vector<std::string> take_violation_checks();

}  // namespace tvtest
