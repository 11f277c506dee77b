#include "driver/status.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "driver/run.h"
#include "testing/test_util.h"

namespace {

// Each text replaces the previous one; missing directories are created.
TEST(StatusTest, TextsAreExactAndRewriteTheFile) {
  testing_util::ScopedTempDir dir;
  ::Run run;
  snprintf(run.updateDir, sizeof(run.updateDir), "%s", dir.Sub("a/b/updates").c_str());
  const std::string file = dir.Sub("a/b/updates/update.status");
  umask(022);
  ASSERT_TRUE(WriteStatusFailed(run, -2147483647 - 1));
  EXPECT_EQ(testing_util::ReadFile(file), "failed: -2147483648\n");
  EXPECT_EQ(testing_util::ModeOf(dir.Sub("a")), 0755u);
  ASSERT_TRUE(WriteStatus(run, kStatusPending));
  EXPECT_EQ(testing_util::ReadFile(file), "pending");
  // The update directory's parent is a regular file: nothing can be created,
  // yet the outcome still reports the text the run meant to write.
  snprintf(run.updateDir, sizeof(run.updateDir), "%s",
           dir.Sub("a/b/updates/update.status/x").c_str());
  EXPECT_FALSE(WriteStatus(run, kStatusApplying));
  EXPECT_STREQ(run.lastStatus, kStatusApplying);
}

}  // namespace
