// A fixture for code that works below the working directory: each case runs
// inside a fresh temporary directory, with the umask at 022.
#ifndef UPDATER_TESTING_IN_TEMP_DIR_H_
#define UPDATER_TESTING_IN_TEMP_DIR_H_

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "testing/test_util.h"

namespace testing_util {

class InTempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(in_dir_.ok());
    umask(022);
  }

  ScopedTempDir dir_;
  ScopedChdir in_dir_{dir_.path()};
};

}  // namespace testing_util

#endif  // UPDATER_TESTING_IN_TEMP_DIR_H_
