#include "driver/status.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "base/run_settings.h"
#include "testing/test_util.h"

namespace {

// Each text replaces the previous one; missing directories are created.
TEST(StatusTest, TextsAreExactAndRewriteTheFile) {
  testing_util::ScopedTempDir dir;
  snprintf(updateDir, sizeof(updateDir), "%s", dir.Sub("a/b/updates").c_str());
  const std::string file = dir.Sub("a/b/updates/update.status");
  ASSERT_TRUE(WriteStatus(kStatusApplying));
  EXPECT_EQ(testing_util::ReadFile(file), "applying");
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(testing_util::ModeOf(dir.Sub("a")), 0755u & ~mask);
  ASSERT_TRUE(WriteStatusFailed(-2147483647 - 1));
  EXPECT_EQ(testing_util::ReadFile(file), "failed: -2147483648\n");
  ASSERT_TRUE(WriteStatus(kStatusPending));
  EXPECT_EQ(testing_util::ReadFile(file), "pending");
  ASSERT_TRUE(WriteStatus(kStatusApplied));
  EXPECT_EQ(testing_util::ReadFile(file), "applied\n");
  // The update directory's parent is a regular file: nothing can be created.
  snprintf(updateDir, sizeof(updateDir), "%s", dir.Sub("a/b/updates/update.status/x").c_str());
  EXPECT_FALSE(WriteStatus(kStatusApplying));
}

}  // namespace
