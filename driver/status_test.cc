#include "driver/status.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "base/run_settings.h"
#include "testing/test_util.h"

using testing_util::ReadFile;
using testing_util::ScopedTempDir;

namespace {

TEST(StatusTest, TextsAreExactAndRewriteTheFile) {
  ScopedTempDir dir;
  std::string deep = dir.Sub("a/b/updates");
  snprintf(updateDir, sizeof(updateDir), "%s", deep.c_str());
  ASSERT_TRUE(WriteStatus(kStatusApplying));
  EXPECT_EQ(ReadFile(deep + "/update.status"), "applying");
  {
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(testing_util::ModeOf(dir.Sub("a")), 0755u & ~mask);
  }
  ASSERT_TRUE(WriteStatusFailed(5));
  EXPECT_EQ(ReadFile(deep + "/update.status"), "failed: 5\n");
  ASSERT_TRUE(WriteStatusFailed(-2147483647 - 1));
  EXPECT_EQ(ReadFile(deep + "/update.status"), "failed: -2147483648\n");
  ASSERT_TRUE(WriteStatus(kStatusPending));
  EXPECT_EQ(ReadFile(deep + "/update.status"), "pending");
  ASSERT_TRUE(WriteStatus(kStatusSucceeded));
  EXPECT_EQ(ReadFile(deep + "/update.status"), "succeeded\n");
  ASSERT_TRUE(WriteStatus(kStatusApplied));
  EXPECT_EQ(ReadFile(deep + "/update.status"), "applied\n");
}

TEST(StatusTest, UnwritableLocationFails) {
  ScopedTempDir dir;
  testing_util::WriteFile(dir.Sub("file"), "x");
  // The update directory's parent is a regular file: nothing can be created.
  std::string bad = dir.Sub("file/updates");
  snprintf(updateDir, sizeof(updateDir), "%s", bad.c_str());
  EXPECT_FALSE(WriteStatus(kStatusApplying));
}

}  // namespace
