// Test main for every test program: installs the verifier listener, which
// fails a test that leaves kernel-rule violations or live pool blocks behind.
#include <gtest/gtest.h>

#include "verifier_listener.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new tvtest::verifier_listener);
  return RUN_ALL_TESTS();
}
