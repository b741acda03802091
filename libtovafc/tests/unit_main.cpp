// The framework library carries its own main; the test program's main takes precedence.
#include <gtest/gtest.h>

#include "testutil.h"

std::string fctest::appPath(const std::string &base) {
  return std::string(FC_TEST_BIN) + "/fc_" + base + "_" + FC_APP_SUFFIX;
}

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
