#include "base/update_log.h"

#include <gtest/gtest.h>

#include "testing/test_util.h"

using testing_util::ReadFile;
using testing_util::ScopedTempDir;
using testing_util::WriteFile;

namespace {

TEST(UpdateLogTest, LinesWarningsAndClosedLog) {
  ScopedTempDir dir;
  UpdateLog& log = UpdateLog::Instance();
  log.Log("dropped before open %d", 1);
  log.Open(dir.path().c_str(), "update.log", nullptr, false);
  ASSERT_TRUE(log.IsOpen());
  log.Open(dir.path().c_str(), "other.log", nullptr, false);  // ignored while open
  log.Log("PREPARE ADD %s", "a/b");
  log.LogWarning("x");
  log.Close();
  log.Close();
  log.Log("dropped after close");
  EXPECT_EQ(ReadFile(dir.Sub("update.log")), "PREPARE ADD a/b\n*** Warning: x***\n");
  EXPECT_FALSE(testing_util::Exists(dir.Sub("other.log")));
}

TEST(UpdateLogTest, AlternateNameOnlyWhenFirstIsMissing) {
  ScopedTempDir dir;
  UpdateLog& log = UpdateLog::Instance();
  WriteFile(dir.Sub("last-update.log"), "old\n");
  log.Open(dir.path().c_str(), "last-update.log", "update.log", true);
  log.Log("new");
  log.Close();
  EXPECT_EQ(ReadFile(dir.Sub("last-update.log")), "old\nnew\n");
  EXPECT_FALSE(testing_util::Exists(dir.Sub("update.log")));

  ScopedTempDir other;
  log.Open(other.path().c_str(), "last-update.log", "update.log", true);
  log.Log("alt");
  log.Close();
  EXPECT_EQ(ReadFile(other.Sub("update.log")), "alt\n");
  EXPECT_FALSE(testing_util::Exists(other.Sub("last-update.log")));
}

TEST(UpdateLogTest, FailedOpenIsSilent) {
  ScopedTempDir dir;
  UpdateLog& log = UpdateLog::Instance();
  log.Open(dir.Sub("missing").c_str(), "update.log", nullptr, false);
  EXPECT_FALSE(log.IsOpen());
  log.Log("nothing");
  log.Flush();
  EXPECT_FALSE(testing_util::Exists(dir.Sub("missing")));
}

}  // namespace
